#pragma once
// CIPSDlg (132): the batch's start address, netmask, gateway and "设置为同一IP".
#include "app/window/ip_dlg.h"

namespace mardo {

inline constexpr int kIdSameIpCheck = 1030;

class CIPSDlg final : public field_dialog {
 public:
  CIPSDlg(QWidget* parent, const batch_ip_fields_t& initial);
  batch_ip_fields_t fields() const;
};

}  // namespace mardo
