#pragma once
// The "ver" column: a camera's full version text, with or without its algorithm part.
#include <string>
#include <string_view>

namespace mardo {

inline constexpr std::size_t kVersionTextMax = 511;

// show_algo != 0 keeps the text; otherwise the part before ".SVR_" and the algorithm
// description are left out. At most 511 bytes, never cut inside a UTF-8 character.
std::string format_version_text(std::string_view full, int show_algo);

}  // namespace mardo
