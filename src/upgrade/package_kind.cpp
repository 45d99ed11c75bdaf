#include "upgrade/package_kind.h"

#include <cstdio>
#include <memory>

namespace mardo {

package_route_t package_route_of(std::string_view path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return package_route_t::plain;
  const std::string_view extension = path.substr(dot + 1);
  if (extension == "rar") return package_route_t::refused;
  if (extension == "zip" || extension == "iupk") return package_route_t::zip;
  return package_route_t::plain;
}

bool read_plain_package(const std::string& path, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (n < sizeof chunk) break;
  }
  return std::ferror(file.get()) == 0;
}

}  // namespace mardo
