#include "upgrade/package_kind.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "core/system.h"

namespace mardo {
package_route_t package_route_of(std::string_view path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return package_route_t::plain;
  const std::string_view extension = path.substr(dot + 1);
  if (extension == "rar") return package_route_t::refused;
  if (extension == "zip" || extension == "iupk") return package_route_t::zip;
  return package_route_t::plain;
}

bool read_plain_package(const std::string& path, file_bytes_t& out) {
  out = file_bytes_t{};
  struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, file_closer> file(open_file(path, "rb"));
  if (!file) return false;
  // Sized before anything is read: a device or a pipe has no end to read to, and a file past
  // the bound could never be sent.
  const std::optional<std::uint64_t> file_size = regular_file_size(file.get());
  if (!file_size || *file_size > kMaxPlainPackage) return false;
  const auto size = static_cast<std::size_t>(*file_size);
  std::unique_ptr<std::uint8_t, file_bytes_t::free_bytes> buffer(
      static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(size, 1))));
  if (!buffer) return false;
  // A file that shrank meanwhile reads short and fails; one that grew is read as it was sized.
  if (std::fread(buffer.get(), 1, size, file.get()) != size || std::ferror(file.get()) != 0)
    return false;
  out.data_ = std::move(buffer);
  out.size_ = size;
  return true;
}

}  // namespace mardo
