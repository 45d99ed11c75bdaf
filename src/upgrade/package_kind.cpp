#include "upgrade/package_kind.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <memory>

namespace mardo {
namespace {

constexpr std::size_t kChunk = 65536;

}  // namespace

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
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  struct stat st {};
  // The size the file has now, plus a chunk's room; a file that is not a regular one (or
  // grows meanwhile) is read on in chunks.
  const bool sized = fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode);
  std::size_t capacity = sized ? static_cast<std::size_t>(st.st_size) + kChunk : kChunk;
  if (sized && static_cast<std::uint64_t>(st.st_size) > SIZE_MAX - kChunk) return false;
  std::unique_ptr<std::uint8_t, file_bytes_t::free_bytes> buffer(
      static_cast<std::uint8_t*>(std::malloc(capacity)));
  if (!buffer) return false;
  std::size_t size = 0;
  for (;;) {
    if (capacity - size < kChunk) {
      if (capacity > SIZE_MAX / 2) return false;
      auto* grown = static_cast<std::uint8_t*>(std::realloc(buffer.get(), capacity * 2));
      if (!grown) return false;
      buffer.release();
      buffer.reset(grown);
      capacity *= 2;
    }
    const std::size_t n = std::fread(buffer.get() + size, 1, kChunk, file.get());
    size += n;
    if (n < kChunk) break;
  }
  if (std::ferror(file.get()) != 0) return false;
  out.data_ = std::move(buffer);
  out.size_ = size;
  return true;
}

}  // namespace mardo
