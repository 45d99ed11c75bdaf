#pragma once
// A new folder of its own in the system's temporary folder, for a test to fill and remove.
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace mardo::test {

// The folder's path, or "" when none could be made.
inline std::string make_temp_dir(std::string_view prefix) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir = base / (std::string(prefix) + std::to_string(random()));
    if (std::filesystem::create_directory(dir, ec)) return dir.string();
  }
  return {};
}

}  // namespace mardo::test
