#pragma once
// The configuration dialogs: CIPDlg (131), CIPSDlg (132) and CAddDlg (129). Their controls
// carry their template ids as object names ("1009", ...), the buttons "1" (确定) and "2" (取消).
#include <QDialog>
#include <QString>

#include <functional>
#include <string>
#include <vector>

#include "app/core/device_list.h"

#include "config/config_prompts.h"
#include "testing/product_model.h"

class QLineEdit;
class QCheckBox;
class QFormLayout;

namespace mardo {

inline constexpr int kIdIpEdit = 1009;
inline constexpr int kIdNetmaskEdit = 1020;
inline constexpr int kIdGatewayEdit = 1021;
inline constexpr int kIdSameIpCheck = 1030;
inline constexpr int kIdCountEdit = 1008;
inline constexpr int kIdMacEdit = 1014;

// A modal dialog of labelled fields over its parent.
class field_dialog : public QDialog {
 public:
  field_dialog(QWidget* parent, const QString& title);
  QLineEdit* add_edit(int id, const QString& label, const QString& text);
  QCheckBox* add_check(int id, const QString& label, bool on);
  QWidget* control(int id) const;
  // The 确定/取消 buttons, with their template ids.
  void finish_layout(int ok_id = 1, int cancel_id = 2, QWidget* extra_button = nullptr);

 private:
  QFormLayout* form_;
};

class CIPDlg final : public field_dialog {
 public:
  CIPDlg(QWidget* parent, const ip_fields_t& initial);
  ip_fields_t fields() const;
};

class CIPSDlg final : public field_dialog {
 public:
  CIPSDlg(QWidget* parent, const batch_ip_fields_t& initial);
  batch_ip_fields_t fields() const;
};

// Refuses a count that "%d" cannot read with "请输入一个整数。" and stays open.
class CAddDlg final : public field_dialog {
 public:
  using box_fn = std::function<void(const QString& text)>;
  CAddDlg(QWidget* parent, const manual_entry_fields_t& initial, box_fn box);
  manual_entry_fields_t fields() const;
  void accept() override;

 private:
  box_fn box_;
  int count_ = 1;
};

// CDevDlg (133): the ticked rows as "MAC IP"; "确定" gives the picked row, −1 when none.
class CDevDlg final : public field_dialog {
 public:
  CDevDlg(QWidget* parent, const device_list& list);
  int result_row() const;
};

// CComDlg (134): the workstation's serial ports (the last one preselected) and the camera's
// port. has_ports() false: there is nothing to choose, and the caller does not show it.
class CComDlg final : public field_dialog {
 public:
  CComDlg(QWidget* parent, const std::vector<std::string>& ports);
  bool has_ports() const { return has_ports_; }
  std::string port() const;
  std::string rs485() const;

 private:
  bool has_ports_ = false;
};

// CSetProduct (135): the two model texts and the package path; "浏览" (1037) picks the file
// through `choose`, "确定" (1038) takes the texts unchecked, "取消" (1039).
class CSetProduct final : public field_dialog {
 public:
  using choose_fn = std::function<QString(QWidget* parent)>;
  CSetProduct(QWidget* parent, choose_fn choose);
  product_fields_t fields() const;
};

}  // namespace mardo
