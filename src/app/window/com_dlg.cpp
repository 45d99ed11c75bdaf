#include "app/window/com_dlg.h"

#include <QComboBox>
#include <QFormLayout>
#include <QVBoxLayout>

#include "app/window/qt_text.h"

namespace mardo {

CComDlg::CComDlg(QWidget* parent, const std::vector<std::string>& ports)
    : field_dialog(parent, QStringLiteral("串口")) {
  auto* form = new QFormLayout();
  auto* com = new QComboBox(this);
  com->setObjectName(QStringLiteral("1026"));
  for (const std::string& p : ports) com->addItem(qtext(p));
  auto* camera = new QComboBox(this);
  camera->setObjectName(QStringLiteral("1031"));
  camera->addItems({QStringLiteral("RS485-1"), QStringLiteral("RS485-2")});
  form->addRow(QStringLiteral("COM口:"), com);
  form->addRow(QStringLiteral("选择串口:"), camera);
  static_cast<QVBoxLayout*>(layout())->insertLayout(0, form);
  has_ports_ = com->count() > 0;
  com->setCurrentIndex(0);
  camera->setCurrentIndex(0);
  finish_layout();
}

std::string CComDlg::port() const { return utf8(static_cast<QComboBox*>(control(1026))->currentText()); }
std::string CComDlg::rs485() const { return utf8(static_cast<QComboBox*>(control(1031))->currentText()); }

}  // namespace mardo
