#pragma once
// What the configuration jobs ask of the technician: the window shows its dialogs and
// question boxes; tests and the command line answer from a script.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/string_table.h"

namespace mardo {

inline constexpr std::string_view kAskDelete = kStrConfirmDelete;
inline constexpr std::string_view kAskReboot = kStrConfirmReboot;

// The IP dialog (CIPDlg): three texts, taken as typed.
struct ip_fields_t {
  std::string ip;
  std::string netmask;
  std::string gateway;
};

// The batch IP dialog (CIPSDlg).
struct batch_ip_fields_t {
  std::string start_ip = "192.168.55.100";
  std::string netmask = "255.255.255.0";
  std::string gateway = "192.168.55.1";
  bool same_ip = false;
};

// The manual entry dialog (CAddDlg); the count is already an integer (the dialog refuses
// what "%d" cannot read).
struct manual_entry_fields_t {
  std::string mac = "00-00-00-00-00-00";
  std::string ip = "192.168.55.100";
  int count = 1;
};

class config_prompts {
 public:
  virtual ~config_prompts() = default;
  // A Yes/No question under the application's title; true for Yes.
  virtual bool ask(std::string_view text) = 0;
  // Each dialog starts from the fields given and gives false when cancelled.
  virtual bool edit_ip(ip_fields_t& fields) = 0;
  virtual bool edit_batch_ip(batch_ip_fields_t& fields) = 0;
  virtual bool edit_manual_entry(manual_entry_fields_t& fields) = 0;
  // An information box.
  virtual void notify(std::string_view text, std::string_view caption) = 0;
};

}  // namespace mardo
