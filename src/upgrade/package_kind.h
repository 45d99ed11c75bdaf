#pragma once
// How the upgrade run treats the file the user chose: by the text after the last '.' of its
// path, then, for a file read whole, by its first bytes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mardo {

enum class package_route_t {
  refused,  // ".rar": "升级包校验错误！"
  zip,      // ".zip" or ".iupk": read as an archive
  plain,    // anything else, no '.' included: read whole; a full package if it starts "QZUP"
};

package_route_t package_route_of(std::string_view path);

// Reads the whole file at path. False when it cannot be opened or read.
bool read_plain_package(const std::string& path, std::vector<std::uint8_t>& bytes);

}  // namespace mardo
