#pragma once
// CAddDlg (129): rows entered by hand: the first MAC, one address, how many.
#include "app/window/field_dialog.h"

#include <functional>

#include "config/config_prompts.h"

namespace mardo {

inline constexpr int kIdCountEdit = 1008;
inline constexpr int kIdMacEdit = 1014;

// Refuses a count that "%d" cannot read, or more rows than a list holds, with "请输入一个整数。"
// and stays open.
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

}  // namespace mardo
