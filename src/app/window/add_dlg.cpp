#include "app/window/add_dlg.h"

#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "app/window/ip_dlg.h"
#include "app/window/qt_text.h"
#include "config/manual_entry.h"

namespace mardo {

CAddDlg::CAddDlg(QWidget* parent, const manual_entry_fields_t& initial, box_fn box)
    : field_dialog(parent, QStringLiteral("手动添加")), box_(std::move(box)) {
  add_edit(kIdMacEdit, QStringLiteral("Mac地址："), qtext(initial.mac));
  add_edit(kIdIpEdit, QStringLiteral("IP地址："), qtext(initial.ip));
  QLineEdit* count = add_edit(kIdCountEdit, QStringLiteral("连续个数："), QString::number(initial.count));
  // The template's edit takes digits only.
  count->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), count));
  finish_layout();
}

void CAddDlg::accept() {
  auto* count = static_cast<QLineEdit*>(control(kIdCountEdit));
  const std::optional<int> n = read_count_like_scanf(utf8(count->text()));
  if (!n || *n > kMaxManualRows) {
    box_(qtext(kTextNotAnInteger));
    count->setFocus();
    return;
  }
  count_ = *n;
  QDialog::accept();
}

manual_entry_fields_t CAddDlg::fields() const {
  return {edit_text(kIdMacEdit), edit_text(kIdIpEdit), count_};
}

}  // namespace mardo
