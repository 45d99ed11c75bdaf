#pragma once
// Conversions between the UTF-16 text of the window and the list and the 8-bit text of
// JSON, frames, maps and sockets. The 8-bit text is UTF-8, converted the same way in both
// directions everywhere; malformed input becomes U+FFFD rather than being dropped.
#include <memory>
#include <string>
#include <string_view>

namespace mardo {

// A newly allocated NUL-terminated conversion; null for null or empty input.
std::unique_ptr<char[]> to_ansi(const char16_t* text);
std::unique_ptr<char16_t[]> to_wide(const char* text);

// String constructors over the conversions: an empty or null result gives "".
std::string ansi_string(std::u16string_view text);
std::u16string wide_string(std::string_view text);

// The value of one hexadecimal digit of either case, or -1.
inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace mardo
