#include "core/text.h"

#include <cstddef>
#include <cstdint>
#include <new>

namespace mardo {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

constexpr bool is_high_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool is_low_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Calls emit(code point) for every code point; an unpaired surrogate gives U+FFFD.
template <typename Emit>
void decode_utf16(std::u16string_view text, Emit&& emit) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t unit = text[i];
    if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      emit(0x10000 + ((unit - 0xD800) << 10) + (std::uint32_t{text[i + 1]} - 0xDC00));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      emit(kReplacement);
    } else {
      emit(unit);
    }
  }
}

// Calls emit(code point) for every code point. Malformed input gives one U+FFFD per maximal
// subpart (the longest prefix of a well-formed sequence), as Unicode recommends, so that
// a broken sequence never swallows the valid byte after it. Overlong forms, encoded
// surrogates and values above U+10FFFF are ruled out by the range of the second byte.
template <typename Emit>
void decode_utf8(std::string_view text, Emit&& emit) {
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
      emit(lead);
      continue;
    }
    int extra = 0;
    std::uint32_t code = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0Fu;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07u;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      emit(kReplacement);
      continue;
    }
    bool complete = true;
    for (int k = 0; k < extra; ++k) {
      const auto next = i < size ? static_cast<unsigned char>(text[i]) : 0u;
      if (next < low || next > high) {  // also the end of the text, which reads as 0
        complete = false;
        break;
      }
      code = (code << 6) | (next & 0x3Fu);
      ++i;
      low = 0x80;
      high = 0xBF;
    }
    emit(complete ? code : kReplacement);
  }
}

constexpr std::size_t utf8_length(std::uint32_t code) {
  return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

template <typename Put>
void encode_utf8(std::uint32_t code, Put&& put) {
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

template <typename Put>
void encode_utf16(std::uint32_t code, Put&& put) {
  if (code < 0x10000) {
    put(code);
  } else {
    put(0xD800 + ((code - 0x10000) >> 10));
    put(0xDC00 + ((code - 0x10000) & 0x3FF));
  }
}

}  // namespace

std::unique_ptr<char[]> to_ansi(const char16_t* text) {
  if (text == nullptr || *text == u'\0') return nullptr;
  const std::u16string_view view(text);
  std::size_t length = 0;
  decode_utf16(view, [&](std::uint32_t code) { length += utf8_length(code); });
  std::unique_ptr<char[]> out(new (std::nothrow) char[length + 1]);
  if (!out) return nullptr;
  char* cursor = out.get();
  decode_utf16(view, [&](std::uint32_t code) {
    encode_utf8(code, [&](std::uint32_t byte) { *cursor++ = static_cast<char>(byte); });
  });
  *cursor = '\0';
  return out;
}

std::unique_ptr<char16_t[]> to_wide(const char* text) {
  if (text == nullptr || *text == '\0') return nullptr;
  const std::string_view view(text);
  std::size_t length = 0;
  decode_utf8(view, [&](std::uint32_t code) { length += code < 0x10000 ? 1 : 2; });
  std::unique_ptr<char16_t[]> out(new (std::nothrow) char16_t[length + 1]);
  if (!out) return nullptr;
  char16_t* cursor = out.get();
  decode_utf8(view, [&](std::uint32_t code) {
    encode_utf16(code, [&](std::uint32_t unit) { *cursor++ = static_cast<char16_t>(unit); });
  });
  *cursor = u'\0';
  return out;
}

// The views convert every character they hold, embedded NULs included.
std::string ansi_string(std::u16string_view text) {
  std::string out;
  decode_utf16(text, [&](std::uint32_t code) {
    encode_utf8(code, [&](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); });
  });
  return out;
}

std::u16string wide_string(std::string_view text) {
  std::u16string out;
  decode_utf8(text, [&](std::uint32_t code) {
    encode_utf16(code, [&](std::uint32_t unit) { out.push_back(static_cast<char16_t>(unit)); });
  });
  return out;
}

}  // namespace mardo
