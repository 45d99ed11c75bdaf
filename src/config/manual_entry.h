#pragma once
// Rows entered by hand (consecutive MACs, one IP text) and the deletion of rows.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/device_list.h"
#include "core/string_table.h"
#include "config/config_prompts.h"

namespace mardo {

inline constexpr std::string_view kTextNotAnInteger = kStrEnterInteger;
// One entry adds at most this many rows (a row number is 16 bits of the row tag); a larger
// count is refused like one that is no number: a pasted MAC read as a count once asked for a
// billion rows.
inline constexpr int kMaxManualRows = 65535;
// The MAC text's buffer holds 31 characters and its NUL; a longer text is cut there.
inline constexpr std::size_t kManualMacChars = 31;

// Read as the C library's "%x" does: blanks, a sign, "0x", hex digits up to the first other
// character; a minus negates in 32-bit two's complement. No digit at all reads 0.
std::uint32_t read_hex_like_scanf(std::string_view text);
// Read as "%d" does from the first 63 characters; nothing when no number starts the text.
std::optional<int> read_count_like_scanf(std::string_view text);

// The MAC of a manual entry: from index 8 the low 16 bits give bytes 4 and 5, the first
// eight characters give bytes 0 to 3 (so twelve hex digits without separators read whole).
std::array<std::uint8_t, 6> manual_entry_mac(std::string_view text);
// The next MAC: byte 5 plus one, carrying towards byte 0, which wraps without carry.
void advance_mac(std::array<std::uint8_t, 6>& mac);

// Appends the rows of one entry (none for a count of 0 or less); gives how many.
int add_manual_rows(device_list& list, const manual_entry_fields_t& fields);
// The dialog, then the rows.
void add_manual_devices(device_list& list, config_prompts& prompts);
// After the question (none when nothing is ticked / the list is empty). Rows keep their ids.
void delete_checked_rows(device_list& list, config_prompts& prompts);
void delete_all_rows(device_list& list, config_prompts& prompts);

}  // namespace mardo
