#include "app/window/ips_dlg.h"

#include <QCheckBox>

#include "app/window/qt_text.h"

namespace mardo {

CIPSDlg::CIPSDlg(QWidget* parent, const batch_ip_fields_t& initial)
    : field_dialog(parent, QStringLiteral("IP地址")) {
  add_edit(kIdIpEdit, QStringLiteral("起始IP地址："), qtext(initial.start_ip));
  add_edit(kIdNetmaskEdit, QStringLiteral("子网掩码："), qtext(initial.netmask));
  add_edit(kIdGatewayEdit, QStringLiteral("默认网关："), qtext(initial.gateway));
  add_check(kIdSameIpCheck, QStringLiteral("设置为同一IP"), initial.same_ip);
  finish_layout();
}

batch_ip_fields_t CIPSDlg::fields() const {
  return {edit_text(kIdIpEdit), edit_text(kIdNetmaskEdit), edit_text(kIdGatewayEdit),
          static_cast<QCheckBox*>(control(kIdSameIpCheck))->isChecked()};
}

}  // namespace mardo
