#include "config/manual_entry.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>

#include "core/text.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::uint32_t read_hex_like_scanf(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      i + 2 < text.size() && hex_digit(text[i + 2]) >= 0)
    i += 2;
  // As strtoul on a 64-bit long: a value past its range saturates, then the low 32 bits.
  std::uint64_t value = 0;
  for (; i < text.size() && hex_digit(text[i]) >= 0; ++i) {
    if (value > (UINT64_MAX >> 4)) {
      value = UINT64_MAX;
      continue;
    }
    value = value << 4 | static_cast<std::uint64_t>(hex_digit(text[i]));
  }
  if (negative) value = ~value + 1;
  return static_cast<std::uint32_t>(value);
}

std::optional<int> read_count_like_scanf(std::string_view text) {
  text = text.substr(0, 63);
  std::size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = std::min<long long>(value * 10 + (text[i] - '0'), static_cast<long long>(INT_MAX) + 1);
  value = negative ? -value : value;
  return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value)));
}

std::array<std::uint8_t, 6> manual_entry_mac(std::string_view text) {
  text = text.substr(0, kManualMacChars);
  std::array<std::uint8_t, 6> mac{};
  const std::uint32_t low = text.size() > 8 ? read_hex_like_scanf(text.substr(8)) : 0;
  const std::uint32_t high = read_hex_like_scanf(text.substr(0, 8));
  mac[0] = static_cast<std::uint8_t>(high >> 24);
  mac[1] = static_cast<std::uint8_t>(high >> 16);
  mac[2] = static_cast<std::uint8_t>(high >> 8);
  mac[3] = static_cast<std::uint8_t>(high);
  mac[4] = static_cast<std::uint8_t>(low >> 8);
  mac[5] = static_cast<std::uint8_t>(low);
  return mac;
}

void advance_mac(std::array<std::uint8_t, 6>& mac) {
  for (int i = 5; i >= 0; --i)
    if (++mac[static_cast<std::size_t>(i)] != 0) return;
}

int add_manual_rows(device_list& list, const manual_entry_fields_t& fields) {
  std::array<std::uint8_t, 6> mac = manual_entry_mac(fields.mac);
  const std::u16string ip = wide_string(fields.ip);
  const int count = std::clamp(fields.count, 0, kMaxManualRows);
  for (int k = 0; k < count; ++k) {
    // Through the id: a search may clear the list meanwhile.
    const camera_id row = list.append_row();
    list.set_text_of(row, kColMac, wide_string(format_mac_upper(mac.data())));
    list.set_text_of(row, kColIp, ip);
    advance_mac(mac);
  }
  return count;
}

void add_manual_devices(device_list& list, config_prompts& prompts) {
  manual_entry_fields_t fields;
  if (!prompts.edit_manual_entry(fields)) return;
  add_manual_rows(list, fields);
}

void delete_checked_rows(device_list& list, config_prompts& prompts) {
  if (!any_checked(list) || !prompts.ask(kAskDelete)) return;
  for (int r = list.count() - 1; r >= 0; --r)
    if (list.checked(r)) list.delete_row(r);
}

void delete_all_rows(device_list& list, config_prompts& prompts) {
  if (list.count() == 0 || !prompts.ask(kAskDelete)) return;
  list.delete_all();
}

}  // namespace mardo
