#include "discovery/version_text.h"

namespace mardo {
namespace {

std::string limit(std::string_view text) {
  if (text.size() <= kVersionTextMax) return std::string(text);
  std::size_t end = kVersionTextMax;
  // Back off continuation bytes so the cut falls between characters.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace

std::string format_version_text(std::string_view full, int show_algo) {
  if (show_algo != 0) return limit(full);
  std::string_view s = full;
  if (const auto svr = s.find(".SVR_"); svr != std::string_view::npos) s = s.substr(svr + 5);
  constexpr std::string_view kAlgo = ", algo : ";
  constexpr std::string_view kFlash = ", flash : ";
  if (const auto algo = s.find(kAlgo); algo != std::string_view::npos) {
    const auto flash = s.find(kFlash);
    if (flash == std::string_view::npos) return limit(s.substr(0, algo));
    if (flash > algo) return limit(std::string(s.substr(0, algo)) + std::string(s.substr(flash)));
    // Flash before algo: its description runs to the end; keep what precedes it.
    return limit(s.substr(0, algo));
  }
  if (const auto flash = s.find("flash : "); flash != std::string_view::npos) {
    return limit(s.substr(flash));
  }
  return limit(s);
}

}  // namespace mardo
