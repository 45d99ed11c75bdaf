#include "upgrade/choice.h"

#include <optional>
#include <vector>

#include "upgrade/package.h"

namespace mardo {
namespace {

package_choice_t outcome(image_choice_kind_t kind) {
  package_choice_t choice;
  choice.kind = kind;
  choice.text = std::string(kind == image_choice_kind_t::model_mismatch ? kTextModelMismatch
                                                                        : kTextNoMatchingImage);
  return choice;
}

}  // namespace

package_choice_t choose_package_image(std::span<const std::uint8_t> package,
                                      std::string_view description) {
  const package_check_t check = validate_full_package(package);
  if (!check.ok()) {
    package_choice_t choice;
    choice.kind = image_choice_kind_t::check_failed;
    choice.text = std::string(check.failure);
    return choice;
  }
  std::vector<package_entry_t> entries;
  for (std::uint32_t j = 0; j < check.old_count; ++j) {
    // Validation keeps the table inside the header, so every place is there.
    std::optional<package_entry_t> entry = entry_at(package, check.new_count + j);
    if (!entry) break;
    entries.push_back(std::move(*entry));
  }
  std::vector<candidate_image_t> images;
  images.reserve(entries.size());
  for (const package_entry_t& e : entries)
    images.push_back({image_short_name(e.image_name), std::int64_t{e.image_length}});

  const image_choice_t chosen = select_image(
      description, images, [&](std::size_t i) { return image_crc_ok(package, entries[i]); });
  package_choice_t choice;
  switch (chosen.kind) {
    case image_choice_kind_t::selected:
      choice.kind = chosen.kind;
      choice.index = check.new_count + chosen.index;
      choice.text = std::string(image_short_name(entries[chosen.index].image_name));
      return choice;
    case image_choice_kind_t::check_failed:
      choice.kind = chosen.kind;
      choice.index = check.new_count + chosen.index;
      choice.text = image_crc_failure_text(entries[chosen.index], false);
      return choice;
    case image_choice_kind_t::model_mismatch:
    case image_choice_kind_t::no_match:
      break;
  }
  return outcome(chosen.kind);
}

package_choice_t choose_zip_slot(const zip_package_t& archive, std::string_view description) {
  std::vector<std::size_t> slot_of;
  std::vector<candidate_image_t> images;
  for (std::size_t k = 0; k < archive.slots.size(); ++k) {
    const zip_slot_t& slot = archive.slots[k];
    if (!slot.candidate()) continue;
    slot_of.push_back(k);
    images.push_back({slot.name, 1});
  }
  const image_choice_t chosen = select_image(description, images);
  if (chosen.kind != image_choice_kind_t::selected) return outcome(chosen.kind);
  package_choice_t choice;
  choice.index = slot_of[chosen.index];
  const zip_slot_t& slot = archive.slots[choice.index];
  if (slot.usable()) {
    choice.kind = chosen.kind;
    choice.text = slot.name;
  } else {
    choice.kind = image_choice_kind_t::check_failed;
    choice.text = slot.name + " " + std::string(slot.fault());
  }
  return choice;
}

}  // namespace mardo
