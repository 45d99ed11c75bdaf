#pragma once
// The full upgrade package ("QZUP"): a 4096-byte header with a table of entries, each one
// firmware image in the area after the header, and the CRC-32 checks over both.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mardo {

// Header layout; all integers are 32-bit little-endian.
inline constexpr std::size_t kPackageHeaderSize = 4096;
inline constexpr std::size_t kHeaderCrc0Offset = 4;
inline constexpr std::size_t kCheckTypeOffset = 8;
inline constexpr std::size_t kHeaderCrc1Offset = 12;
inline constexpr std::size_t kNewCountOffset = 272;
inline constexpr std::size_t kOldCountOffset = 276;
inline constexpr std::size_t kEntryTableOffset = 280;
inline constexpr std::size_t kEntrySize = 144;
// (4096 - 280) / 144: the table places inside the header.
inline constexpr std::uint32_t kEntryPlaces = 26;
inline constexpr std::size_t kImageNameOffset = 16;
inline constexpr std::size_t kImageNameSize = 128;

// The header checksum ranges by check type.
inline constexpr std::size_t kHeaderCrc0Begin = 280;
inline constexpr std::size_t kHeaderCrc0Length = 4096;  // offsets 280 to 4375
inline constexpr std::size_t kHeaderCrc1Begin = 16;
inline constexpr std::size_t kHeaderCrc1Length = 4080;  // offsets 16 to 4095

inline constexpr std::string_view kPackageMagic = "QZUP";

// The texts of a package that cannot be used, as shown in the device's status column.
inline constexpr std::string_view kTextIllegalPackage = "非法的升级文件";
inline constexpr std::string_view kTextNoEntries = "升级包个数为0";
inline constexpr std::string_view kTextHeaderCrcFailed = "大包CRC校验失败";
inline constexpr std::string_view kTextNewImageCrcFailed = "小包CRC校验失败";  // "%s %s"
inline constexpr std::string_view kTextOldImageCrcFailed = "包CRC校验失败";    // "%s%s"

// CRC-32 as zlib and IEEE 802.3 compute it.
std::uint32_t package_crc32(std::span<const std::uint8_t> bytes);

// True when the bytes start with "QZUP".
bool package_is_full(std::span<const std::uint8_t> bytes);

struct package_check_t {
  std::string_view failure;  // empty when the package may be used
  std::uint32_t check_type = 0;
  std::uint32_t new_count = 0;
  std::uint32_t old_count = 0;
  bool ok() const { return failure.empty(); }
};

// The checks made before a package is served, in order: size, counts, header checksum.
// A table that would run past the header is refused as an illegal file, and a check-type-0
// range that runs past the end of the package fails the header checksum. The magic is the
// caller's business (package_is_full).
package_check_t validate_full_package(std::span<const std::uint8_t> package);

struct package_entry_t {
  std::uint32_t image_offset = 0;  // from package byte 4096
  std::uint32_t image_length = 0;
  std::uint32_t image_crc = 0;
  std::string image_name;  // as stored, possibly with '/' separators
};

// The part of an image name after its last '/': the name used for matching, display and TFTP.
std::string_view image_short_name(std::string_view name);

// Entry i of the table (new entries first, then old ones); none when its place lies outside
// the header or the package.
std::optional<package_entry_t> entry_at(std::span<const std::uint8_t> package, std::uint32_t i);

// The entry's image bytes; none when any of them lies outside the package.
std::optional<std::span<const std::uint8_t>> image_of(std::span<const std::uint8_t> package,
                                                      const package_entry_t& entry);

// The image checksum test made just before an image is used. An image outside the package
// cannot be shown to be intact and fails like a wrong checksum.
bool image_crc_ok(std::span<const std::uint8_t> package, const package_entry_t& entry);

// What a failed image checksum shows: the name, a space and "小包CRC校验失败" for an entry
// among the new ones; the name directly followed by "包CRC校验失败" for an old one.
std::string image_crc_failure_text(const package_entry_t& entry, bool among_new);

}  // namespace mardo
