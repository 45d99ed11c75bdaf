#include "upgrade/package.h"

#include <zlib.h>

#include "net/byte_view.h"

namespace mardo {
namespace {

std::uint32_t le32_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  byte_reader r(bytes);
  r.seek(offset);
  return r.le32();
}

// The checksum of a range of the package; none when the range is not all there.
std::optional<std::uint32_t> range_crc(std::span<const std::uint8_t> package, std::size_t begin,
                                       std::size_t length) {
  byte_reader r(package);
  r.seek(begin);
  const std::span<const std::uint8_t> range = r.bytes(length);
  if (!r.ok()) return std::nullopt;
  return package_crc32(range);
}

}  // namespace

std::uint32_t package_crc32(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(
      crc32_z(crc32_z(0L, Z_NULL, 0), bytes.data(), static_cast<z_size_t>(bytes.size())));
}

bool package_is_full(std::span<const std::uint8_t> bytes) {
  byte_reader r(bytes);
  const std::span<const std::uint8_t> magic = r.bytes(kPackageMagic.size());
  return r.ok() && std::string_view(reinterpret_cast<const char*>(magic.data()), magic.size()) ==
                       kPackageMagic;
}

package_check_t validate_full_package(std::span<const std::uint8_t> package) {
  package_check_t check;
  if (package.size() < kPackageHeaderSize) {
    check.failure = kTextIllegalPackage;
    return check;
  }
  check.check_type = le32_at(package, kCheckTypeOffset);
  check.new_count = le32_at(package, kNewCountOffset);
  check.old_count = le32_at(package, kOldCountOffset);
  if (check.new_count == 0 && check.old_count == 0) {
    check.failure = kTextNoEntries;
    return check;
  }
  // Entries past the 26 places would be read out of the image area, or past the package.
  if (std::uint64_t{check.new_count} + check.old_count > kEntryPlaces) {
    check.failure = kTextIllegalPackage;
    return check;
  }
  std::optional<std::uint32_t> crc;
  std::uint32_t expected = 0;
  if (check.check_type == 0) {
    crc = range_crc(package, kHeaderCrc0Begin, kHeaderCrc0Length);
    expected = le32_at(package, kHeaderCrc0Offset);
  } else if (check.check_type == 1) {
    crc = range_crc(package, kHeaderCrc1Begin, kHeaderCrc1Length);
    expected = le32_at(package, kHeaderCrc1Offset);
  } else {
    return check;
  }
  if (!crc || *crc != expected) check.failure = kTextHeaderCrcFailed;
  return check;
}

std::string_view image_short_name(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::optional<package_entry_t> entry_at(std::span<const std::uint8_t> package, std::uint32_t i) {
  if (i >= kEntryPlaces) return std::nullopt;
  byte_reader r(package);
  r.seek(kEntryTableOffset + kEntrySize * i);
  const std::span<const std::uint8_t> place = r.bytes(kEntrySize);
  if (!r.ok()) return std::nullopt;
  byte_reader e(place);
  package_entry_t entry;
  entry.image_offset = e.le32();
  entry.image_length = e.le32();
  entry.image_crc = e.le32();
  e.seek(kImageNameOffset);
  entry.image_name = std::string(e.cstr(kImageNameSize));
  return entry;
}

std::optional<std::span<const std::uint8_t>> image_of(std::span<const std::uint8_t> package,
                                                      const package_entry_t& entry) {
  // 4096 + a 32-bit offset cannot overflow a 64-bit size_t.
  byte_reader r(package);
  r.seek(kPackageHeaderSize + std::size_t{entry.image_offset});
  const std::span<const std::uint8_t> image = r.bytes(entry.image_length);
  if (!r.ok()) return std::nullopt;
  return image;
}

bool image_crc_ok(std::span<const std::uint8_t> package, const package_entry_t& entry) {
  const auto image = image_of(package, entry);
  return image && package_crc32(*image) == entry.image_crc;
}

std::string image_crc_failure_text(const package_entry_t& entry, bool among_new) {
  std::string text(image_short_name(entry.image_name));
  if (among_new) {
    text += ' ';
    text += kTextNewImageCrcFailed;
  } else {
    text += kTextOldImageCrcFailed;
  }
  return text;
}

}  // namespace mardo
