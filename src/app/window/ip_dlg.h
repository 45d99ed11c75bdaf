#pragma once
// CIPDlg (131): one camera's address, netmask and gateway, taken as typed.
#include "app/window/field_dialog.h"
#include "config/config_prompts.h"

namespace mardo {

inline constexpr int kIdIpEdit = 1009;
inline constexpr int kIdNetmaskEdit = 1020;
inline constexpr int kIdGatewayEdit = 1021;

class CIPDlg final : public field_dialog {
 public:
  CIPDlg(QWidget* parent, const ip_fields_t& initial);
  ip_fields_t fields() const;
};

}  // namespace mardo
