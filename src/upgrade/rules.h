#pragma once
// The rules that pick, among several firmware images, the one that fits a camera's sensor,
// flash size, sales region and alpu chip: fixed substring tables over the camera's full
// version text and over each image name, then a match of the classes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "core/string_table.h"

namespace mardo {

inline constexpr std::string_view kTextModelMismatch = kStrModelMismatch;
inline constexpr std::string_view kTextNoMatchingImage = kStrPackageInvalid;

// The camera's classes; -1 means none.
struct device_class_t {
  int sensor = -1;       // 0 to 5
  int region = -1;       // 0 to 23
  int region_kind = -1;  // 0 or 1
  int alpu = -1;         // 0 to 2
  bool alpu_unrecognised = false;
};

// An image's classes; -1 means none.
struct image_class_t {
  int model = -1;    // 0 to 5
  int region = -1;   // 0 to 23
  int kind = -1;     // 0 "_mac_", 1 "_alpu_"
  int variant = -1;  // 0 "_C_", 1 "_D_", 2 "_E_"
};

int sensor_class_of(std::string_view description);
int device_region_of(std::string_view description);
int region_kind_of(std::string_view description);
device_class_t classify_device(std::string_view description);

// Each looks only at the part of the name after its last '/'.
int model_class_of(std::string_view image_name);
int image_region_of(std::string_view image_name);
int image_kind_of(std::string_view image_name);
image_class_t classify_image(std::string_view image_name);

struct candidate_image_t {
  std::string_view name;
  std::int64_t length = 0;  // a count read of 0 or less is no usable image
};

enum class image_choice_kind_t {
  selected,        // `index` is the image to send
  model_mismatch,  // "硬件型号与软件不匹配"
  no_match,        // "升级包校验错误！"
  check_failed,    // the integrity test of image `index` failed during the scan
};

struct image_choice_t {
  image_choice_kind_t kind = image_choice_kind_t::no_match;
  std::size_t index = 0;
};

// Chooses among the images in their order. image_ok, when given, is the integrity test made
// on each image just before it is classified; a failure ends the scan.
image_choice_t select_image(std::string_view description, std::span<const candidate_image_t> images,
                            const std::function<bool(std::size_t)>& image_ok = {});

}  // namespace mardo
