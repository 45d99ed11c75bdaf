#pragma once
// Zip archives (".zip", ".iupk") read into the slot table of an upgrade run: each ".bin"
// member in archive order, with and without the stored password, until the first complete
// full package.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mardo {

inline constexpr std::size_t kZipSlotCount = 255;
inline constexpr std::size_t kZipSlotCapacity = 134217728;  // 128 MiB
inline constexpr std::size_t kZipNameMax = 259;
// The password the package tools encrypt members with.
inline constexpr const char* kZipPassword = "Tq8RwZ2mKc7pXn4VbH9sLd";
// Directory attribute of the external attributes: a member whose attributes are exactly
// this value is a directory.
inline constexpr std::uint32_t kZipDirectoryAttributes = 0x10;

inline constexpr std::string_view kTextZipOpenFailed = "打开压缩包文件失败";
inline constexpr std::string_view kTextZipInfoFailed = "获取压缩包文件信息失败";
// Why a member cannot be sent, shown after its name ("%s %s").
inline constexpr std::string_view kTextMemberTooLarge = "大于128MB，无法使用";
inline constexpr std::string_view kTextMemberSizeMismatch = "大小与压缩包记录不符，无法使用";
inline constexpr std::string_view kTextMemberUnreadable = "读取失败，无法使用";

struct zip_slot_t {
  struct free_bytes {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  // Null for an empty slot: the member was skipped (or never reached).
  std::unique_ptr<std::uint8_t, free_bytes> data;
  std::string name;  // the member's name as stored, at most 259 bytes
  // Bytes read; -1 when the read failed (a damaged or still encrypted member).
  std::int64_t count = 0;
  std::uint64_t size = 0;        // the uncompressed size the archive declares
  bool password_tried = false;   // the first read fell short, so the member was reopened
  bool password_opened = false;  // ... and the open with the stored password succeeded
  bool overrun = false;          // the data went on past the declared size
  bool too_large = false;        // declared past 128 MiB: named, never read

  bool taken() const { return data != nullptr; }
  // All the member's bytes, exactly as declared.
  bool complete() const {
    return taken() && !overrun && count >= 0 && std::uint64_t(count) == size;
  }
  // A member that may be sent: every byte it declares, and at least one. A member cut short,
  // running long or too large for a slot would reach the camera as a truncated image.
  bool usable() const { return complete() && count > 0 && !name.empty(); }
  // A named member the image selection looks at: a usable one, or one that cannot be used
  // and, when chosen, says why.
  bool candidate() const { return !name.empty() && (too_large || (taken() && count != 0)); }
  // Why a candidate cannot be sent; empty when it is usable.
  std::string_view fault() const {
    if (usable()) return {};
    if (too_large) return kTextMemberTooLarge;
    return count < 0 ? kTextMemberUnreadable : kTextMemberSizeMismatch;
  }
  std::span<const std::uint8_t> bytes() const {
    return {data.get(), count > 0 ? static_cast<std::size_t>(count) : 0};
  }
};

struct zip_package_t {
  // One slot per member considered, in archive order (at most 255).
  std::vector<zip_slot_t> slots;
  // The slot holding a complete full package, or -1.
  int full_slot = -1;
};

// Reads the archive at path (the bytes the user typed, UTF-8). Returns an empty text on
// success, or "打开压缩包文件失败" / "获取压缩包文件信息失败". The archive is closed again at
// once: every member that is taken is in its slot.
std::string_view open_zip_package(const std::string& path, zip_package_t& package);

// The same over an archive already in memory.
std::string_view open_zip_package_bytes(std::span<const std::uint8_t> archive,
                                        zip_package_t& package);

}  // namespace mardo
