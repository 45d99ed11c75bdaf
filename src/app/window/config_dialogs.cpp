#include "app/window/config_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "config/manual_entry.h"

namespace mardo {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }
std::string s(const QString& text) { return text.toStdString(); }

}  // namespace

field_dialog::field_dialog(QWidget* parent, const QString& title) : QDialog(parent) {
  setWindowTitle(title);
  setModal(true);
  auto* outer = new QVBoxLayout(this);
  form_ = new QFormLayout();
  outer->addLayout(form_);
}

QLineEdit* field_dialog::add_edit(int id, const QString& label, const QString& text) {
  auto* edit = new QLineEdit(text, this);
  edit->setObjectName(QString::number(id));
  form_->addRow(label, edit);
  return edit;
}

QCheckBox* field_dialog::add_check(int id, const QString& label, bool on) {
  auto* box = new QCheckBox(label, this);
  box->setObjectName(QString::number(id));
  box->setChecked(on);
  form_->addRow(QString(), box);
  return box;
}

QWidget* field_dialog::control(int id) const { return findChild<QWidget*>(QString::number(id)); }

void field_dialog::finish_layout(int ok_id, int cancel_id, QWidget* extra_button) {
  auto* buttons = new QDialogButtonBox(this);
  if (extra_button) buttons->addButton(static_cast<QPushButton*>(extra_button), QDialogButtonBox::ActionRole);
  QPushButton* ok = buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
  ok->setObjectName(QString::number(ok_id));
  cancel->setObjectName(QString::number(cancel_id));
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  static_cast<QVBoxLayout*>(layout())->addWidget(buttons);
}

CIPDlg::CIPDlg(QWidget* parent, const ip_fields_t& initial)
    : field_dialog(parent, QStringLiteral("IP地址")) {
  add_edit(kIdIpEdit, QStringLiteral("IP地址："), q(initial.ip));
  add_edit(kIdNetmaskEdit, QStringLiteral("子网掩码："), q(initial.netmask));
  add_edit(kIdGatewayEdit, QStringLiteral("默认网关："), q(initial.gateway));
  finish_layout();
}

ip_fields_t CIPDlg::fields() const {
  auto text = [this](int id) { return s(static_cast<QLineEdit*>(control(id))->text()); };
  return {text(kIdIpEdit), text(kIdNetmaskEdit), text(kIdGatewayEdit)};
}

CIPSDlg::CIPSDlg(QWidget* parent, const batch_ip_fields_t& initial)
    : field_dialog(parent, QStringLiteral("IP地址")) {
  add_edit(kIdIpEdit, QStringLiteral("起始IP地址："), q(initial.start_ip));
  add_edit(kIdNetmaskEdit, QStringLiteral("子网掩码："), q(initial.netmask));
  add_edit(kIdGatewayEdit, QStringLiteral("默认网关："), q(initial.gateway));
  add_check(kIdSameIpCheck, QStringLiteral("设置为同一IP"), initial.same_ip);
  finish_layout();
}

batch_ip_fields_t CIPSDlg::fields() const {
  auto text = [this](int id) { return s(static_cast<QLineEdit*>(control(id))->text()); };
  return {text(kIdIpEdit), text(kIdNetmaskEdit), text(kIdGatewayEdit),
          static_cast<QCheckBox*>(control(kIdSameIpCheck))->isChecked()};
}

CAddDlg::CAddDlg(QWidget* parent, const manual_entry_fields_t& initial, box_fn box)
    : field_dialog(parent, QStringLiteral("手动添加")), box_(std::move(box)) {
  add_edit(kIdMacEdit, QStringLiteral("Mac地址："), q(initial.mac));
  add_edit(kIdIpEdit, QStringLiteral("IP地址："), q(initial.ip));
  QLineEdit* count = add_edit(kIdCountEdit, QStringLiteral("连续个数："), QString::number(initial.count));
  // The template's edit takes digits only.
  count->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), count));
  finish_layout();
}

void CAddDlg::accept() {
  auto* count = static_cast<QLineEdit*>(control(kIdCountEdit));
  const std::optional<int> n = read_count_like_scanf(s(count->text()));
  if (!n) {
    box_(QString::fromUtf8(kTextNotAnInteger));
    count->setFocus();
    return;
  }
  count_ = *n;
  QDialog::accept();
}

manual_entry_fields_t CAddDlg::fields() const {
  auto text = [this](int id) { return s(static_cast<QLineEdit*>(control(id))->text()); };
  return {text(kIdMacEdit), text(kIdIpEdit), count_};
}

CDevDlg::CDevDlg(QWidget* parent, const device_list& list)
    : field_dialog(parent, QStringLiteral("设备")) {
  auto* label = new QLabel(QStringLiteral("当前选中多台设备，请选择连接了音频和串口的那台设备"), this);
  static_cast<QVBoxLayout*>(layout())->insertWidget(0, label);
  auto* combo = new QComboBox(this);
  combo->setObjectName(QStringLiteral("1001"));
  for (int r = 0; r < list.count(); ++r)
    if (list.checked(r))
      combo->addItem(QString::fromStdU16String(list.text(r, kColMac)) + QStringLiteral(" ") +
                         QString::fromStdU16String(list.text(r, kColIp)),
                     r);
  combo->setCurrentIndex(-1);  // nothing preselected
  static_cast<QVBoxLayout*>(layout())->insertWidget(1, combo);
  finish_layout();
}

int CDevDlg::result_row() const {
  const auto* combo = static_cast<QComboBox*>(control(1001));
  return combo->currentIndex() < 0 ? -1 : combo->currentData().toInt();
}

CComDlg::CComDlg(QWidget* parent, const std::vector<std::string>& ports)
    : field_dialog(parent, QStringLiteral("串口")) {
  auto* form = new QFormLayout();
  auto* com = new QComboBox(this);
  com->setObjectName(QStringLiteral("1026"));
  for (const std::string& p : ports) com->addItem(q(p));
  auto* camera = new QComboBox(this);
  camera->setObjectName(QStringLiteral("1031"));
  camera->addItems({QStringLiteral("RS485-1"), QStringLiteral("RS485-2")});
  form->addRow(QStringLiteral("COM口:"), com);
  form->addRow(QStringLiteral("选择串口:"), camera);
  static_cast<QVBoxLayout*>(layout())->insertLayout(0, form);
  has_ports_ = com->count() > 0;
  com->setCurrentIndex(com->count() - 1);
  camera->setCurrentIndex(0);
  finish_layout();
}

std::string CComDlg::port() const { return s(static_cast<QComboBox*>(control(1026))->currentText()); }
std::string CComDlg::rs485() const { return s(static_cast<QComboBox*>(control(1031))->currentText()); }

CSetProduct::CSetProduct(QWidget* parent, choose_fn choose)
    : field_dialog(parent, QStringLiteral("设置产品型号")) {
  add_edit(1034, QStringLiteral("产品型号"), QString());
  add_edit(1035, QStringLiteral("硬件型号"), QString());
  QLineEdit* path = add_edit(1036, QStringLiteral("参数包路径"), QString());
  auto* browse = new QPushButton(QStringLiteral("浏览"), this);
  browse->setObjectName(QStringLiteral("1037"));
  connect(browse, &QPushButton::clicked, this, [this, path, choose = std::move(choose)] {
    const QString chosen = choose(this);
    if (!chosen.isEmpty()) path->setText(chosen);
  });
  finish_layout(1038, 1039, browse);
}

product_fields_t CSetProduct::fields() const {
  auto text = [this](int id) { return s(static_cast<QLineEdit*>(control(id))->text()); };
  return {text(1034), text(1035), text(1036)};
}

}  // namespace mardo
