#pragma once
// The image chosen for a camera from what a package offers: the old entries of a full package
// (the older-device route) or the usable members of a zip archive without a full package.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "upgrade/rules.h"
#include "upgrade/zip_reader.h"

namespace mardo {

struct package_choice_t {
  image_choice_kind_t kind = image_choice_kind_t::no_match;
  // The entry index in the package table (new entries counted) or the slot index.
  std::size_t index = 0;
  // What the status column shows: the selected image's name or the outcome text.
  std::string text;
  bool selected() const { return kind == image_choice_kind_t::selected; }
};

// Over the old entries of a full package that passed validate_full_package. Each entry's image
// checksum is tested as the scan reaches it; a failure gives "%s包CRC校验失败".
package_choice_t choose_package_image(std::span<const std::uint8_t> package,
                                      std::string_view description);

// Over the named members of an archive, by member name; the text of a selection is the member
// name. A chosen member that cannot be sent is a failed check whose text says why.
package_choice_t choose_zip_slot(const zip_package_t& archive, std::string_view description);

}  // namespace mardo
