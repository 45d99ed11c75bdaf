#include "app/window/ip_dlg.h"

#include "app/window/qt_text.h"

namespace mardo {

CIPDlg::CIPDlg(QWidget* parent, const ip_fields_t& initial)
    : field_dialog(parent, QStringLiteral("IP地址")) {
  add_edit(kIdIpEdit, QStringLiteral("IP地址："), qtext(initial.ip));
  add_edit(kIdNetmaskEdit, QStringLiteral("子网掩码："), qtext(initial.netmask));
  add_edit(kIdGatewayEdit, QStringLiteral("默认网关："), qtext(initial.gateway));
  finish_layout();
}

ip_fields_t CIPDlg::fields() const {
  return {edit_text(kIdIpEdit), edit_text(kIdNetmaskEdit), edit_text(kIdGatewayEdit)};
}

}  // namespace mardo
