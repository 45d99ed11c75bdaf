// Feeds arbitrary bytes to the full-package checks: the header validation, every table place
// with its image and checksum, the image names through the classification tables, and the
// older-device choice for a few camera descriptions (the names themselves among them).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "upgrade/choice.h"
#include "upgrade/package.h"
#include "upgrade/rules.h"

namespace {

constexpr const char* kCameras[] = {
    "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E",
    "K702R.SVR_APTINA_AR0237_DC_1080P_30FPS_USA, alpu : 8031",
    "SONY_IMX122_DC_1080P_DLM",
    "",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> package(data, size);
  (void)mardo::package_is_full(package);
  const mardo::package_check_t check = mardo::validate_full_package(package);
  for (std::uint32_t i = 0; i <= mardo::kEntryPlaces; ++i) {
    const auto entry = mardo::entry_at(package, i);
    if (!entry) continue;
    if (const auto image = mardo::image_of(package, *entry)) (void)mardo::package_crc32(*image);
    (void)mardo::image_crc_ok(package, *entry);
    (void)mardo::image_crc_failure_text(*entry, i < check.new_count);
    (void)mardo::classify_image(entry->image_name);
    (void)mardo::classify_device(entry->image_name);
  }
  for (const char* camera : kCameras) (void)mardo::choose_package_image(package, camera);
  return 0;
}
