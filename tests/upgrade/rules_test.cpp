#include "upgrade/rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "upgrade/choice.h"
#include "upgrade_fixtures.h"

namespace mardo {
namespace {

// --- The camera's classes -------------------------------------------------------------

struct device_case {
  const char* name;
  const char* description;
  device_class_t expected;
};

class DeviceClasses : public ::testing::TestWithParam<device_case> {};

TEST_P(DeviceClasses, FollowTheSensorRegionAndAlpuTables) {
  const device_class_t got = classify_device(GetParam().description);
  const device_class_t& want = GetParam().expected;
  EXPECT_EQ(got.sensor, want.sensor);
  EXPECT_EQ(got.region, want.region);
  EXPECT_EQ(got.region_kind, want.region_kind);
  EXPECT_EQ(got.alpu, want.alpu);
  EXPECT_EQ(got.alpu_unrecognised, want.alpu_unrecognised);
}

#define MN34220 "PANASONIC_MN34220_SUBLVDS_1080P_30FPS"

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceClasses,
    ::testing::Values(
        device_case{"Imx122", "V1.SONY_IMX122_DC_1080P", {0, -1, -1, -1, false}},
        device_case{"Mn34220WithoutFlash", MN34220, {1, -1, -1, -1, false}},
        device_case{"Flash16KeepsClass1", MN34220 ", flash : 16", {1, -1, -1, -1, false}},
        device_case{"Flash17GivesClass2", MN34220 ", flash : 17", {2, -1, -1, -1, false}},
        device_case{"Flash31GivesClass2", MN34220 ", flash : 31", {2, -1, -1, -1, false}},
        device_case{"Flash32KeepsClass1", MN34220 ", flash : 32", {1, -1, -1, -1, false}},
        device_case{"Flash33GivesClass4", MN34220 ", flash : 33", {4, -1, -1, -1, false}},
        device_case{"Flash64GivesClass4", MN34220 ", flash : 64", {4, -1, -1, -1, false}},
        device_case{"FlashReadLikeAtoi", MN34220 ", flash : 24M", {2, -1, -1, -1, false}},
        device_case{"FlashWithoutDigitsIsZero", MN34220 ", flash : M", {1, -1, -1, -1, false}},
        device_case{"FlashHugeSaturates",
                    MN34220 ", flash : 999999999999999999999999",
                    {4, -1, -1, -1, false}},
        device_case{"FlashNeedsTheExactItem", MN34220 ", flash: 24", {1, -1, -1, -1, false}},
        device_case{
            "FlashOnlyRefinesMn34220", "SONY_IMX122_DC_1080P flash : 24", {0, -1, -1, -1, false}},
        device_case{
            "K702RBeatsAr0237", "K702R.SVR_APTINA_AR0237_DC_1080P_30FPS", {5, -1, -1, -1, false}},
        device_case{"Ar0237", "X.SVR_APTINA_AR0237_DC_1080P_30FPS", {3, -1, -1, -1, false}},
        device_case{"SensorTestIsCaseSensitive", "sony_imx122_dc_1080p", {-1, -1, -1, -1, false}},
        device_case{"NoSensor", "V9.9_DLA", {-1, 0, 1, -1, false}},
        device_case{"DlmIsRegion0Kind0", "X_DLM", {-1, 0, 0, -1, false}},
        device_case{"TwaIsKind1", "X_TWA", {-1, 1, 1, -1, false}},
        device_case{"DlAloneHasNoKind", "X_DL", {-1, 0, -1, -1, false}},
        device_case{"IndaIsNotIna", "X_INDA", {-1, 9, 1, -1, false}},
        device_case{"Ausa", "X_AUSA", {-1, 22, 1, -1, false}},
        device_case{"FirstRegionInTableOrderWins", "X_ZA_TWA", {-1, 1, 1, -1, false}},
        device_case{"Kind0TextsComeFirst", "X_DLA_TWM", {-1, 0, 0, -1, false}},
        device_case{"Alpu8030", MN34220 "_DLA, flash : 24, alpu : 8030", {2, 0, 1, 0, false}},
        device_case{"Alpu802E", MN34220 "_DLA, flash : 24, alpu : 802E", {2, 0, 1, 1, false}},
        device_case{"Alpu8031", MN34220 "_DLA, flash : 24, alpu : 8031", {2, 0, 1, 2, false}},
        device_case{"AlpuOtherCode", MN34220 "_DLA, flash : 24, alpu : 802e", {2, 0, 1, -1, true}},
        device_case{"AlpuCutShort", MN34220 "_DLA, flash : 24, alpu : 80", {2, 0, 1, -1, true}},
        device_case{"AlpuAbsent", MN34220 "_DLA, flash : 24", {2, 0, 1, -1, false}},
        device_case{"AlpuIgnoredForClass1", MN34220 "_DLA, alpu : 802E", {1, 0, 1, -1, false}},
        device_case{
            "AlpuIgnoredForKind0", MN34220 "_DLM, flash : 24, alpu : 802E", {2, 0, 0, -1, false}},
        device_case{
            "AlpuForClass3", "SVR_SONY_IMX307_DC_1080P_USA, alpu : 8031", {3, 21, 1, 2, false}},
        device_case{"Empty", "", {-1, -1, -1, -1, false}}),
    case_name());

// --- An image's classes ---------------------------------------------------------------

struct image_case {
  const char* name;
  const char* image;
  image_class_t expected;
};

class ImageClasses : public ::testing::TestWithParam<image_case> {};

TEST_P(ImageClasses, FollowTheModelRegionKindAndVariantTables) {
  const image_class_t got = classify_image(GetParam().image);
  const image_class_t& want = GetParam().expected;
  EXPECT_EQ(got.model, want.model);
  EXPECT_EQ(got.region, want.region);
  EXPECT_EQ(got.kind, want.kind);
  EXPECT_EQ(got.variant, want.variant);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageClasses,
    ::testing::Values(image_case{"MolkAlpuD", "fw_K8840M_molk_SC_alpu_D_.bin", {2, 0, 1, 1}},
                      image_case{"UpperMolkAlpuC", "fw_K8840M_MOLK_TC_alpu_C_.bin", {2, 1, 1, 0}},
                      image_case{"K8840MWithoutMolk", "fw_K8840M_SC_alpu_D_.bin", {1, 0, 1, -1}},
                      image_case{"K8840", "fw_K8840_SC_mac_.bin", {0, 0, 0, -1}},
                      image_case{"T57QL600", "T57QL600_THA_.bin", {4, 2, -1, -1}},
                      image_case{"T57QL210", "x_T57-QL210_IND_alpu_E_.bin", {4, 9, 1, 2}},
                      image_case{"K702R", "fw_K702R_US_alpu_E_.bin", {5, 21, 1, 2}},
                      image_case{
                          "FirstModelInTableOrderWins", "K702R_T57QL600.bin", {4, -1, -1, -1}},
                      image_case{"AusIsNotUs", "fw_K702R_AUS_alpu_.bin", {5, 22, 1, -1}},
                      image_case{"MacBeatsAlpu", "fw_K702R_SC_alpu_mac_D_.bin", {5, 0, 0, -1}},
                      image_case{"VariantNeedsAlpuKind", "fw_K702R_SC_D_.bin", {5, 0, -1, -1}},
                      image_case{"CBeforeD", "fw_K702R_SC_alpu_D_C_.bin", {5, 0, 1, 0}},
                      image_case{"OnlyTheNameAfterTheLastSlashCounts",
                                 "K8840M_molk_SC_alpu_D_/fw_ZA_.bin",
                                 {-1, 23, -1, -1}},
                      image_case{"NothingKnown", "firmware.bin", {-1, -1, -1, -1}}),
    case_name());

// --- The selection --------------------------------------------------------------------

constexpr const char* kDla802E = MN34220 "_DLA, flash : 24, alpu : 802E";
constexpr const char* kDlmClass2 = MN34220 "_DLM, flash : 24";
constexpr const char* kGeneric = "fw_K8840M_molk_SC_.bin";
constexpr const char* kVariantC = "fw_K8840M_molk_SC_alpu_C_.bin";
constexpr const char* kVariantD = "fw_K8840M_molk_SC_alpu_D_.bin";
constexpr const char* kVariantE = "fw_K8840M_molk_SC_alpu_E_.bin";

struct image_row {
  const char* image;
  std::int64_t length = 100;
};

struct selection_case {
  const char* name;
  const char* description;
  std::vector<image_row> images;
  image_choice_kind_t kind;
  std::size_t index = 0;  // for a selection or a failed check
  int failing_check = -1;
};

class ImageSelection : public ::testing::TestWithParam<selection_case> {};

TEST_P(ImageSelection, PicksTheImageOrGivesTheOutcome) {
  const selection_case& c = GetParam();
  std::vector<candidate_image_t> images;
  for (const image_row& row : c.images) images.push_back({row.image, row.length});
  std::vector<std::size_t> checked;
  const image_choice_t got = select_image(c.description, images, [&](std::size_t i) {
    checked.push_back(i);
    return static_cast<int>(i) != c.failing_check;
  });
  EXPECT_EQ(got.kind, c.kind);
  if (c.kind == image_choice_kind_t::selected || c.kind == image_choice_kind_t::check_failed) {
    EXPECT_EQ(got.index, c.index);
  }
  // Each image is tested once, in order, and none after the scan stopped.
  for (std::size_t i = 0; i < checked.size(); ++i) {
    EXPECT_EQ(checked[i], i);
  }
  if (c.kind == image_choice_kind_t::check_failed) {
    EXPECT_EQ(checked.size(), c.index + 1);
  }
}

using k = image_choice_kind_t;

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageSelection,
    ::testing::Values(
        selection_case{"AlpuVariantIsSelectedAtOnce",
                       kDla802E,
                       {{kVariantC}, {kVariantD}, {"broken.bin"}},
                       k::selected,
                       1,
                       2},
        selection_case{"FallbackTakesTheLastCImage",
                       kDla802E,
                       {{kVariantC}, {kGeneric}, {kVariantC}, {kVariantE}},
                       k::selected,
                       2},
        selection_case{"FallbackTakesTheFirstGenericWithoutC",
                       kDla802E,
                       {{kVariantE}, {kGeneric}, {kGeneric}},
                       k::selected,
                       1},
        selection_case{
            "EImageAloneIsAMismatchForAlpu802E", kDla802E, {{kVariantE}}, k::model_mismatch},
        selection_case{
            "OtherRegionIsNoCandidate", kDla802E, {{"fw_K8840M_molk_TC_alpu_D_.bin"}}, k::no_match},
        selection_case{
            "OtherModelIsNoCandidate", kDla802E, {{"fw_K8840M_SC_alpu_D_.bin"}}, k::no_match},
        selection_case{"RegionKind0FillsNoCandidates",
                       kDlmClass2,
                       {{kVariantC}, {kGeneric}, {kVariantE}},
                       k::no_match},
        selection_case{"RegionKind0SelectsOnlyAnExactMatch",
                       kDlmClass2,
                       {{kVariantC}, {"fw_K8840M_molk_SC_mac_.bin"}},
                       k::selected,
                       1},
        selection_case{"NoSensorMatchesOnlyModellessImages",
                       "V9_DLM",
                       {{"fw_K8840_SC_mac_.bin"}, {"fw_SC_mac_.bin"}},
                       k::selected,
                       1},
        selection_case{
            "NoSensorNeverTakesAModelImage", "V9_DLM", {{"fw_K8840_SC_mac_.bin"}}, k::no_match},
        selection_case{"Flash32CameraTakesTheClass1Image",
                       MN34220 "_DLM, flash : 32",
                       {{"fw_K8840M_molk_SC_mac_.bin"}, {"fw_K8840M_SC_mac_.bin"}},
                       k::selected,
                       1},
        selection_case{"Flash31CameraTakesTheClass2Image",
                       MN34220 "_DLM, flash : 31",
                       {{"fw_K8840M_SC_mac_.bin"}, {"fw_K8840M_molk_SC_mac_.bin"}},
                       k::selected,
                       1},
        selection_case{"Flash64CameraTakesTheClass4Image",
                       MN34220 "_DLM, flash : 64",
                       {{"fw_K8840M_SC_mac_.bin"}, {"fw_T57QL600_SC_mac_.bin"}},
                       k::selected,
                       1},
        selection_case{"K702RCameraTakesTheClass5Image",
                       "K702R.SVR_APTINA_AR0237_DC_1080P_30FPS_DLM",
                       {{"fw_K702W_SC_mac_.bin"}, {"fw_K702R_SC_mac_.bin"}},
                       k::selected,
                       1},
        selection_case{"Class2WithoutAlpuTakesTheFirstVariantCandidate",
                       MN34220 "_DLA, flash : 24",
                       {{kVariantE}, {kVariantD}, {kGeneric}},
                       k::selected,
                       1},
        selection_case{"Class2WithoutAlpuTakesAnAlpuImageWithoutVariantAtOnce",
                       MN34220 "_DLA, flash : 24",
                       {{kVariantE}, {"fw_K8840M_molk_SC_alpu_.bin"}},
                       k::selected,
                       1},
        selection_case{"Class2WithoutAlpuIgnoresTheGenericCandidate",
                       MN34220 "_DLA, flash : 24",
                       {{kGeneric}},
                       k::model_mismatch},
        selection_case{"UnrecognisedAlpuHasNoFallback",
                       MN34220 "_DLA, flash : 24, alpu : 9999",
                       {{kVariantD}, {kVariantC}},
                       k::model_mismatch},
        selection_case{"Alpu8030FallsBackToTheGenericImage",
                       MN34220 "_DLA, flash : 24, alpu : 8030",
                       {{kVariantD}, {kGeneric}},
                       k::selected,
                       1},
        selection_case{"Alpu8031TakesTheEImage",
                       MN34220 "_DLA, flash : 24, alpu : 8031",
                       {{kVariantC}, {kVariantE}, {kVariantD}},
                       k::selected,
                       1},
        selection_case{"EmptySelectedImageIsNoMatch", kDla802E, {{kVariantD, 0}}, k::no_match},
        selection_case{"FailedReadSelectedIsNoMatch", kDla802E, {{kVariantC, -1}}, k::no_match},
        selection_case{"FailedCheckEndsTheScan",
                       kDla802E,
                       {{kGeneric}, {kVariantE}, {kVariantD}},
                       k::check_failed,
                       1,
                       1},
        selection_case{"NoImagesIsNoMatch", kDla802E, {}, k::no_match}),
    case_name());

TEST(ZipSlotChoice, UsesOnlyUsableSlotsAndNamesTheMember) {
  zip_package_t archive;
  archive.slots.resize(4);
  auto fill = [](zip_slot_t& slot, const char* name, std::int64_t count) {
    slot.data.reset(static_cast<std::uint8_t*>(std::malloc(1)));
    slot.name = name;
    slot.count = count;
    slot.size = static_cast<std::uint64_t>(count);
  };
  fill(archive.slots[0], "a/fw_K8840M_molk_SC_alpu_D_.bin", 0);  // not usable
  fill(archive.slots[2], "b/fw_K8840M_molk_SC_alpu_D_.bin", 10);
  const package_choice_t choice = choose_zip_slot(archive, kDla802E);
  EXPECT_TRUE(choice.selected());
  EXPECT_EQ(choice.index, 2u);
  EXPECT_EQ(choice.text, "b/fw_K8840M_molk_SC_alpu_D_.bin");
}

// A chosen member that would reach the camera cut short or not at all is never sent; the row
// says why.
TEST(ZipSlotChoice, ChosenMemberThatCannotBeSentSaysWhy) {
  struct Row {
    const char* name;
    std::int64_t count;
    std::uint64_t size;
    bool overrun, too_large;
    std::string_view why;
  } rows[] = {
      {"failed_read", -1, 100, false, false, kTextMemberUnreadable},
      {"shorter_than_declared", 60, 100, false, false, kTextMemberSizeMismatch},
      {"longer_than_declared", 100, 100, true, false, kTextMemberSizeMismatch},
      {"larger_than_a_slot", 0, kZipSlotCapacity + 1024, false, true, kTextMemberTooLarge},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    zip_package_t archive;
    archive.slots.resize(1);
    zip_slot_t& slot = archive.slots[0];
    if (!row.too_large) slot.data.reset(static_cast<std::uint8_t*>(std::malloc(1)));
    slot.name = kVariantD;
    slot.count = row.count;
    slot.size = row.size;
    slot.overrun = row.overrun;
    slot.too_large = row.too_large;
    const package_choice_t choice = choose_zip_slot(archive, kDla802E);
    EXPECT_EQ(choice.kind, image_choice_kind_t::check_failed);
    EXPECT_EQ(choice.text, std::string(kVariantD) + " " + std::string(row.why));
  }
}

TEST(ZipSlotChoice, OnlyCandidatesLeftIsAMismatch) {
  zip_package_t archive;
  archive.slots.resize(1);
  archive.slots[0].data.reset(static_cast<std::uint8_t*>(std::malloc(1)));
  archive.slots[0].name = kVariantE;
  archive.slots[0].count = 5;
  EXPECT_EQ(choose_zip_slot(archive, kDla802E).text, kTextModelMismatch);
}

}  // namespace
}  // namespace mardo
