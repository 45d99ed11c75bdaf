#pragma once
// How the upgrade run treats the file the user chose: by the text after the last '.' of its
// path, then, for a file read whole, by its first bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace mardo {

enum class package_route_t {
  refused,  // ".rar": "升级包校验错误！"
  zip,      // ".zip" or ".iupk": read as an archive
  plain,    // anything else, no '.' included: read whole; a full package if it starts "QZUP"
};

package_route_t package_route_of(std::string_view path);

// A whole file in memory. Its buffer is reserved with malloc, never with a throwing
// allocation: a file too large for memory is a buffer that cannot be reserved, not an
// exception out of the upgrade's thread.
class file_bytes_t {
 public:
  std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }

 private:
  friend bool read_plain_package(const std::string& path, file_bytes_t& out);
  struct free_bytes {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, free_bytes> data_;
  std::size_t size_ = 0;
};

// The transfers count a package's bytes in an int.
inline constexpr std::uint64_t kMaxPlainPackage = 0x7FFFFFFF;

// Reads the whole file at path. False (and out empty) when it cannot be opened or read, is not
// a regular file, is larger than kMaxPlainPackage, or its buffer cannot be reserved.
bool read_plain_package(const std::string& path, file_bytes_t& out);

}  // namespace mardo
