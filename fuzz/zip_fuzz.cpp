// Feeds arbitrary bytes to the zip reader as an archive in memory: the member rules, the reads
// with and without the stored password, the size bounds, then what the upgrade run does with
// the result (the full package's checks, or the choice among the members).
#include <cstddef>
#include <cstdint>
#include <span>

#include "upgrade/choice.h"
#include "upgrade/package.h"
#include "upgrade/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mardo::zip_package_t archive;
  if (!mardo::open_zip_package_bytes(std::span<const std::uint8_t>(data, size), archive).empty())
    return 0;
  for (const mardo::zip_slot_t& slot : archive.slots) {
    if (!slot.taken()) continue;
    // Every byte the slot claims must be readable.
    (void)mardo::package_crc32(slot.bytes());
  }
  if (archive.full_slot >= 0) {
    const auto package = archive.slots[static_cast<std::size_t>(archive.full_slot)].bytes();
    (void)mardo::validate_full_package(package);
    (void)mardo::choose_package_image(package, "V5_DLA, flash : 24, alpu : 802E");
  } else {
    (void)mardo::choose_zip_slot(
        archive, "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E");
  }
  return 0;
}
