#pragma once
// CComDlg (134): the workstation's serial port and the camera's RS485 port for the RS485 item.
#include "app/window/field_dialog.h"

#include <string>
#include <vector>

namespace mardo {

// The workstation's serial ports (the first one preselected) and the camera's port.
// has_ports() false: there is nothing to choose, and the caller does not show it.
class CComDlg final : public field_dialog {
 public:
  CComDlg(QWidget* parent, const std::vector<std::string>& ports);
  bool has_ports() const { return has_ports_; }
  std::string port() const;
  std::string rs485() const;

 private:
  bool has_ports_ = false;
};

}  // namespace mardo
