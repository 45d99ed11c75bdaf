#include "upgrade/rules.h"

#include <array>
#include <climits>

#include "upgrade/package.h"

namespace mardo {
namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The code of the first table text found in the text, or -1. Codes are table positions.
template <std::size_t N>
int first_hit(std::string_view text, const std::array<std::string_view, N>& table) {
  for (std::size_t code = 0; code < N; ++code) {
    if (contains(text, table[code])) return static_cast<int>(code);
  }
  return -1;
}

// --- The camera -------------------------------------------------------------------------

struct sensor_row_t {
  std::string_view text;
  int sensor_class;
  bool flash_rule;
};

// Order matters: the K702R text also contains the plain AR0237 one.
constexpr std::array<sensor_row_t, 5> kSensors = {{
    {"SONY_IMX122_DC_1080P", 0, false},
    {"PANASONIC_MN34220_SUBLVDS_1080P_30FPS", 1, true},
    {"K702R.SVR_APTINA_AR0237_DC_1080P_30FPS", 5, false},
    {"APTINA_AR0237_DC_1080P_30FPS", 3, false},
    {"SVR_SONY_IMX307_DC_1080P", 3, false},
}};

constexpr std::string_view kFlashItem = "flash : ";
struct flash_row_t {
  long low;
  long high;
  int sensor_class;
};
// Any other flash size (16 or less, or exactly 32) keeps class 1.
constexpr std::array<flash_row_t, 2> kFlashClasses = {{
    {17, 31, 2},
    {33, LONG_MAX, 4},
}};

constexpr std::array<std::string_view, 24> kDeviceRegions = {
    "_DL",   "_TW",   "_THAIA", "_INA", "_MASA", "_SGA",  "_CAA",  "_VNA",
    "_KSAA", "_INDA", "_JPNA",  "_TRA", "_ANGA", "_CHIA", "_ILA",  "_MOA",
    "_HKA",  "_KRA",  "_IEA",   "_BRA", "_UZA",  "_USA",  "_AUSA", "_ZA",
};

constexpr std::array<std::string_view, 4> kRegionKind0 = {"_DLM", "_TWM", "_DL_", "_TW_"};
constexpr std::array<std::string_view, 24> kRegionKind1 = {
    "_DLA",  "_TWA",  "_THAIA", "_INA", "_MASA", "_SGA",  "_CAA",  "_VNA",
    "_KSAA", "_INDA", "_JPNA",  "_TRA", "_ANGA", "_CHIA", "_ILA",  "_MOA",
    "_HKA",  "_KRA",  "_IEA",   "_BRA", "_UZA",  "_USA",  "_AUSA", "_ZA",
};

constexpr std::string_view kAlpuItem = "alpu : ";
// The alpu index is the position of the chip code.
constexpr std::array<std::string_view, 3> kAlpuCodes = {"8030", "802E", "8031"};

// atoi over the text, but saturating instead of overflowing.
long leading_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

int flash_refined(std::string_view description, int sensor_class) {
  const std::size_t at = description.find(kFlashItem);
  if (at == std::string_view::npos) return sensor_class;
  const long flash = leading_number(description.substr(at + kFlashItem.size()));
  for (const flash_row_t& row : kFlashClasses) {
    if (flash >= row.low && flash <= row.high) return row.sensor_class;
  }
  return sensor_class;
}

// --- The image --------------------------------------------------------------------------

struct model_row_t {
  std::string_view text;
  int model_class;
};

constexpr std::array<model_row_t, 6> kModels = {{
    {"T57QL600", 4},
    {"T57-QL210", 4},
    {"K8840M", 1},  // 2 with a "molk" mark, see below
    {"K8840", 0},
    {"K702W", 3},
    {"K702R", 5},
}};
constexpr std::string_view kMolkModel = "K8840M";
constexpr std::array<std::string_view, 2> kMolkMarks = {"molk", "MOLK"};
constexpr int kMolkClass = 2;

constexpr std::array<std::string_view, 24> kImageRegions = {
    "_SC_",  "_TC_",  "_THA_", "_INA_", "_MAS_", "_SG_",  "_CA_",  "_VN_",
    "_KSA_", "_IND_", "_JPN_", "_TR_",  "_ANG_", "_CHI_", "_IL_",  "_MO_",
    "_HK_",  "_KR_",  "_IE_",  "_BR_",  "_UZ_",  "_US_",  "_AUS_", "_ZA_",
};

constexpr std::array<std::string_view, 2> kImageKinds = {"_mac_", "_alpu_"};
constexpr int kAlpuKind = 1;
constexpr std::array<std::string_view, 3> kVariants = {"_C_", "_D_", "_E_"};

// Candidate 0 holds the generic image, candidates 1 to 3 the variants 0 to 2.
constexpr int kCandidates = 4;
constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);

}  // namespace

int sensor_class_of(std::string_view description) {
  for (const sensor_row_t& row : kSensors) {
    if (!contains(description, row.text)) continue;
    return row.flash_rule ? flash_refined(description, row.sensor_class) : row.sensor_class;
  }
  return -1;
}

int device_region_of(std::string_view description) {
  return first_hit(description, kDeviceRegions);
}

int region_kind_of(std::string_view description) {
  if (first_hit(description, kRegionKind0) >= 0) return 0;
  if (first_hit(description, kRegionKind1) >= 0) return 1;
  return -1;
}

device_class_t classify_device(std::string_view description) {
  device_class_t c;
  c.sensor = sensor_class_of(description);
  c.region = device_region_of(description);
  c.region_kind = region_kind_of(description);
  if (c.region_kind == 1 && c.sensor > 1) {
    const std::size_t at = description.find(kAlpuItem);
    if (at != std::string_view::npos) {
      const std::string_view code = description.substr(at + kAlpuItem.size(), 4);
      for (std::size_t i = 0; i < kAlpuCodes.size(); ++i) {
        if (code == kAlpuCodes[i]) c.alpu = static_cast<int>(i);
      }
      c.alpu_unrecognised = c.alpu < 0;
    }
  }
  return c;
}

int model_class_of(std::string_view image_name) {
  const std::string_view name = image_short_name(image_name);
  for (const model_row_t& row : kModels) {
    if (!contains(name, row.text)) continue;
    if (row.text == kMolkModel && first_hit(name, kMolkMarks) >= 0) return kMolkClass;
    return row.model_class;
  }
  return -1;
}

int image_region_of(std::string_view image_name) {
  return first_hit(image_short_name(image_name), kImageRegions);
}

int image_kind_of(std::string_view image_name) {
  return first_hit(image_short_name(image_name), kImageKinds);
}

image_class_t classify_image(std::string_view image_name) {
  const std::string_view name = image_short_name(image_name);
  image_class_t c;
  c.model = model_class_of(name);
  c.region = image_region_of(name);
  c.kind = image_kind_of(name);
  if (c.kind == kAlpuKind && c.model > 1) c.variant = first_hit(name, kVariants);
  return c;
}

image_choice_t select_image(std::string_view description, std::span<const candidate_image_t> images,
                            const std::function<bool(std::size_t)>& image_ok) {
  const device_class_t dev = classify_device(description);
  std::array<std::size_t, kCandidates> candidate;
  candidate.fill(kEmpty);
  std::size_t selected = kEmpty;

  for (std::size_t i = 0; i < images.size(); ++i) {
    if (image_ok && !image_ok(i)) return {image_choice_kind_t::check_failed, i};
    const image_class_t img = classify_image(images[i].name);
    if (img.model != dev.sensor) continue;
    if (img.region == dev.region && dev.region_kind == 1) {
      if (img.variant == -1) {
        if (candidate[0] == kEmpty) candidate[0] = i;  // the first generic image wins
      } else {
        candidate[static_cast<std::size_t>(img.variant) + 1] = i;  // the last variant wins
      }
    }
    if (img.variant == dev.alpu && img.region == dev.region && img.kind == dev.region_kind) {
      selected = i;
      break;
    }
  }

  if (selected == kEmpty) {
    if (dev.alpu >= 0) {
      for (int c = dev.alpu + 1; c >= 0 && selected == kEmpty; --c)
        selected = candidate[static_cast<std::size_t>(c)];
    } else if (dev.sensor == 2 && !dev.alpu_unrecognised) {
      // A class-2 camera that did not report its alpu chip takes any variant.
      for (std::size_t c = 1; c < kCandidates && selected == kEmpty; ++c) selected = candidate[c];
    }
  }
  if (selected == kEmpty) {
    for (std::size_t c : candidate) {
      if (c != kEmpty) return {image_choice_kind_t::model_mismatch, 0};
    }
    return {image_choice_kind_t::no_match, 0};
  }
  if (images[selected].length <= 0) return {image_choice_kind_t::no_match, 0};
  return {image_choice_kind_t::selected, selected};
}

}  // namespace mardo
