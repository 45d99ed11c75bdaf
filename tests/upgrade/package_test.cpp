#include "upgrade/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "case_name.h"
#include "upgrade/choice.h"
#include "upgrade/package_kind.h"
#include "upgrade_fixtures.h"

namespace mardo {
namespace {

using test::bytes_t;
using test::image_t;
using test::make_package;
using test::pattern;

bytes_t one_image(std::uint32_t check_type, std::size_t image_size = 500) {
  return make_package({{"fw.bin", pattern(image_size)}}, {}, check_type);
}

struct header_case {
  const char* name;
  bytes_t (*make)();
  std::string_view failure;
};

class HeaderCheck : public ::testing::TestWithParam<header_case> {};

TEST_P(HeaderCheck, GivesTheFirstFailingCheckText) {
  const bytes_t package = GetParam().make();
  EXPECT_EQ(validate_full_package(package).failure, GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderCheck,
    ::testing::Values(
        header_case{"CheckType0Intact", [] { return one_image(0); }, ""},
        header_case{"CheckType0CoversTheFirst280BytesOfTheImageArea",
                    [] {
                      bytes_t p = one_image(0);
                      p[4096 + 279] ^= 1;
                      return p;
                    },
                    kTextHeaderCrcFailed},
        header_case{"CheckType0EndsAt4375",
                    [] {
                      bytes_t p = one_image(0);
                      p[4376] ^= 1;
                      return p;
                    },
                    ""},
        header_case{"CheckType0LeavesBytes16To279Out",
                    [] {
                      bytes_t p = one_image(0);
                      p[100] ^= 1;
                      return p;
                    },
                    ""},
        header_case{"CheckType0AlteredEntryTable",
                    [] {
                      bytes_t p = one_image(0);
                      p[280 + 16] ^= 1;
                      return p;
                    },
                    kTextHeaderCrcFailed},
        header_case{"CheckType0RangePastAShortPackage",
                    [] {
                      // Even a checksum of the bytes that are there does not pass.
                      bytes_t p = one_image(0, 50);
                      put_le32(p.data() + kHeaderCrc0Offset,
                               package_crc32(std::span<const std::uint8_t>(p).subspan(280)));
                      return p;
                    },
                    kTextHeaderCrcFailed},
        header_case{"CheckType1Intact", [] { return one_image(1, 10); }, ""},
        header_case{"CheckType1CoversByte16",
                    [] {
                      bytes_t p = one_image(1);
                      p[16] ^= 1;
                      return p;
                    },
                    kTextHeaderCrcFailed},
        header_case{"CheckType1CoversByte4095",
                    [] {
                      bytes_t p = one_image(1);
                      p[4095] ^= 1;
                      return p;
                    },
                    kTextHeaderCrcFailed},
        header_case{"CheckType1LeavesTheImageAreaOut",
                    [] {
                      bytes_t p = one_image(1);
                      p[4096] ^= 1;
                      return p;
                    },
                    ""},
        header_case{"CheckType1UsesItsOwnField",
                    [] {
                      bytes_t p = one_image(1);
                      put_le32(p.data() + kHeaderCrc0Offset, 0);
                      put_le32(p.data() + kHeaderCrc1Offset,
                               package_crc32(std::span<const std::uint8_t>(p).subspan(280, 4096)));
                      return p;
                    },
                    kTextHeaderCrcFailed},
        header_case{"CheckType7SkipsTheHeaderCheck",
                    [] {
                      bytes_t p = one_image(7, 10);
                      put_le32(p.data() + kHeaderCrc0Offset, 0xDEADBEEF);
                      put_le32(p.data() + kHeaderCrc1Offset, 0xDEADBEEF);
                      p[200] ^= 0xFF;
                      return p;
                    },
                    ""},
        header_case{"Exactly4096BytesWithNoEntriesHasNoEntries",
                    [] { return make_package({}, {}, 0); }, kTextNoEntries},
        header_case{"CountsAreCheckedBeforeTheChecksum",
                    [] {
                      bytes_t p = make_package({}, {}, 1);
                      p[20] ^= 1;
                      return p;
                    },
                    kTextNoEntries},
        header_case{"ShorterThanTheHeaderIsIllegal",
                    [] {
                      bytes_t p = make_package({}, {}, 7);
                      p.pop_back();
                      put_le32(p.data() + kNewCountOffset, 1);
                      return p;
                    },
                    kTextIllegalPackage},
        header_case{"EmptyFileIsIllegal", [] { return bytes_t{}; }, kTextIllegalPackage},
        header_case{"TwentySixEntriesFitTheHeader",
                    [] {
                      std::vector<image_t> imgs(26, image_t{"x.bin", pattern(3)});
                      return make_package(imgs, {}, 1);
                    },
                    ""},
        header_case{
            "TwentySevenEntriesRunPastTheHeader",
            [] {
              bytes_t p = make_package({}, std::vector<image_t>(26, {"x.bin", pattern(300)}), 7);
              put_le32(p.data() + kNewCountOffset, 1);
              return p;
            },
            kTextIllegalPackage},
        header_case{"CountsThatWrapAroundAreStillTooMany",
                    [] {
                      bytes_t p = one_image(7);
                      put_le32(p.data() + kNewCountOffset, 0xFFFFFFFF);
                      put_le32(p.data() + kOldCountOffset, 1);
                      return p;
                    },
                    kTextIllegalPackage}),
    case_name());

TEST(PackageCrc, IsTheZlibCrc32) {
  EXPECT_EQ(package_crc32(test::text_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(package_crc32({}), 0u);
}

TEST(PackageMagic, IsExactlyQZUPAtTheStart) {
  EXPECT_TRUE(package_is_full(test::text_bytes("QZUP")));
  EXPECT_TRUE(package_is_full(one_image(0)));
  EXPECT_FALSE(package_is_full(test::text_bytes("QZU")));
  EXPECT_FALSE(package_is_full(test::text_bytes("qzup....")));
  EXPECT_FALSE(package_is_full(test::text_bytes(" QZUP")));
  EXPECT_FALSE(package_is_full({}));
}

TEST(PackageEntries, ReadNewThenOldWithOffsetsLengthsAndShortNames) {
  const bytes_t a = pattern(1000, 1), b = pattern(10, 2), c = pattern(0, 3);
  const bytes_t p = make_package({{"dir/sub/a.bin", a}, {"b.bin", b}}, {{"c.bin", c}}, 0);
  const package_check_t check = validate_full_package(p);
  ASSERT_TRUE(check.ok()) << check.failure;
  EXPECT_EQ(check.new_count, 2u);
  EXPECT_EQ(check.old_count, 1u);
  const auto e0 = entry_at(p, 0), e1 = entry_at(p, 1), e2 = entry_at(p, 2);
  ASSERT_TRUE(e0 && e1 && e2);
  EXPECT_EQ(e0->image_name, "dir/sub/a.bin");
  EXPECT_EQ(image_short_name(e0->image_name), "a.bin");
  EXPECT_EQ(e1->image_offset, 1000u);
  EXPECT_EQ(e1->image_length, 10u);
  EXPECT_EQ(e2->image_offset, 1010u);
  const auto image = image_of(p, *e1);
  ASSERT_TRUE(image);
  EXPECT_EQ(bytes_t(image->begin(), image->end()), b);
  EXPECT_TRUE(image_crc_ok(p, *e0));
  EXPECT_TRUE(image_crc_ok(p, *e2));  // an empty image has CRC 0
}

TEST(PackageEntries, NameFillingAll128BytesIsCutThere) {
  bytes_t p = one_image(7);
  std::memset(test::entry_place(p, 0) + kImageNameOffset, 'n', kImageNameSize);
  test::entry_place(p, 0)[kImageNameOffset + kImageNameSize] = 'X';  // the next entry's start
  const auto e = entry_at(p, 0);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->image_name, std::string(128, 'n'));
}

TEST(PackageEntries, NoPlaceBeyondTheHeaderOrThePackage) {
  const bytes_t p = one_image(0);
  EXPECT_TRUE(entry_at(p, 25));
  EXPECT_FALSE(entry_at(p, 26));
  const bytes_t shorter(p.begin(), p.begin() + 280 + 143);
  EXPECT_FALSE(entry_at(shorter, 0));
}

TEST(PackageEntries, ImageEndingAtThePackageEndIsThereOneBytePastIsNot) {
  bytes_t p = one_image(7, 100);
  const auto at_end = entry_at(p, 0);
  ASSERT_TRUE(at_end);
  EXPECT_TRUE(image_of(p, *at_end));
  EXPECT_TRUE(image_crc_ok(p, *at_end));

  put_le32(test::entry_place(p, 0) + 4, 101);
  const auto past = entry_at(p, 0);
  EXPECT_FALSE(image_of(p, *past));
  EXPECT_FALSE(image_crc_ok(p, *past));

  put_le32(test::entry_place(p, 0), 0xFFFFFFFF);
  put_le32(test::entry_place(p, 0) + 4, 0xFFFFFFFF);
  EXPECT_FALSE(image_crc_ok(p, *entry_at(p, 0)));

  // An empty image right at the end is there; past the end it is not.
  put_le32(test::entry_place(p, 0), 100);
  put_le32(test::entry_place(p, 0) + 4, 0);
  put_le32(test::entry_place(p, 0) + 8, 0);
  EXPECT_TRUE(image_crc_ok(p, *entry_at(p, 0)));
  put_le32(test::entry_place(p, 0), 101);
  EXPECT_FALSE(image_crc_ok(p, *entry_at(p, 0)));
}

TEST(PackageEntries, BadImageChecksumTextDependsOnTheGroup) {
  bytes_t p = make_package({{"new/n.bin", pattern(64, 1)}}, {{"old/o.bin", pattern(64, 2)}}, 1);
  p[4096 + 3] ^= 1;
  p[4096 + 64 + 3] ^= 1;
  ASSERT_TRUE(validate_full_package(p).ok());
  const auto n = entry_at(p, 0), o = entry_at(p, 1);
  EXPECT_FALSE(image_crc_ok(p, *n));
  EXPECT_FALSE(image_crc_ok(p, *o));
  EXPECT_EQ(image_crc_failure_text(*n, true), "n.bin 小包CRC校验失败");
  EXPECT_EQ(image_crc_failure_text(*o, false), "o.bin包CRC校验失败");
}

// The older-device route over the old entries of a package.
constexpr const char* kCamera =
    "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E";

TEST(PackageChoice, SelectsAmongTheOldEntriesOnly) {
  const bytes_t p = make_package({{"fw_K8840M_molk_SC_alpu_D_.bin", pattern(10, 1)}},
                                 {{"a/fw_K8840M_SC_mac_.bin", pattern(10, 2)},
                                  {"b/fw_K8840M_molk_SC_alpu_D_.bin", pattern(10, 3)}},
                                 1);
  const package_choice_t choice = choose_package_image(p, kCamera);
  EXPECT_TRUE(choice.selected());
  EXPECT_EQ(choice.index, 2u);
  EXPECT_EQ(choice.text, "fw_K8840M_molk_SC_alpu_D_.bin");
}

TEST(PackageChoice, BadOldChecksumMetDuringTheScanEndsIt) {
  bytes_t p = make_package(
      {},
      {{"x_K702W_SC_mac_.bin", pattern(10, 1)}, {"fw_K8840M_molk_SC_alpu_D_.bin", pattern(10, 2)}},
      7);
  p[4096] ^= 1;
  const package_choice_t choice = choose_package_image(p, kCamera);
  EXPECT_EQ(choice.kind, image_choice_kind_t::check_failed);
  EXPECT_EQ(choice.text, "x_K702W_SC_mac_.bin包CRC校验失败");
}

TEST(PackageChoice, EntriesAfterTheSelectionAreNotTested) {
  bytes_t p = make_package(
      {}, {{"fw_K8840M_molk_SC_alpu_D_.bin", pattern(10, 1)}, {"broken.bin", pattern(10, 2)}}, 7);
  p[4096 + 10] ^= 1;
  EXPECT_TRUE(choose_package_image(p, kCamera).selected());
}

TEST(PackageChoice, ImageOutsideThePackageFailsItsChecksum) {
  bytes_t p = make_package({}, {{"fw_K8840M_molk_SC_alpu_D_.bin", pattern(10, 1)}}, 7);
  put_le32(test::entry_place(p, 0), 5);
  const package_choice_t choice = choose_package_image(p, kCamera);
  EXPECT_EQ(choice.kind, image_choice_kind_t::check_failed);
  EXPECT_EQ(choice.text, "fw_K8840M_molk_SC_alpu_D_.bin包CRC校验失败");
}

TEST(PackageChoice, RefusedPackageGivesItsCheckText) {
  const package_choice_t choice = choose_package_image(make_package({}, {}, 0), kCamera);
  EXPECT_FALSE(choice.selected());
  EXPECT_EQ(choice.text, kTextNoEntries);
}

TEST(PackageChoice, EmptyOldImageIsNoMatch) {
  const bytes_t p = make_package({}, {{"fw_K8840M_molk_SC_alpu_D_.bin", {}}}, 1);
  const package_choice_t choice = choose_package_image(p, kCamera);
  EXPECT_EQ(choice.kind, image_choice_kind_t::no_match);
  EXPECT_EQ(choice.text, kTextNoMatchingImage);
}

// A file past the bound, or a device with no end, is refused before a byte is read: reading
// on would take the machine's memory. A sparse file costs no space; sizes past 32 bits are
// where a 32-bit size would wrap to a small one.
TEST(PlainPackage, FileIsSizedBeforeItIsReadAndASmallOneReadsWhole) {
  test::temp_dir dir;
  dir.write("small.bin", pattern(70000, 3));
  file_bytes_t file;
  ASSERT_TRUE(read_plain_package(dir.file("small.bin"), file));
  EXPECT_TRUE(std::ranges::equal(file.bytes(), pattern(70000, 3)));
#ifdef _WIN32
  EXPECT_FALSE(read_plain_package("NUL", file));
  // The temporary folder: Windows has no tmpfs.
  const std::string huge = dir.file("huge.bin");
#else
  EXPECT_FALSE(read_plain_package("/dev/zero", file));
  // tmpfs takes a sparse file of any size.
  const std::string huge =
      "/dev/shm/" + std::filesystem::path(dir.path()).filename().string() + ".bin";
#endif
  EXPECT_EQ(file.size(), 0u);

  for (const std::uint64_t size :
       {kMaxPlainPackage + 1, (std::uint64_t{1} << 32) + 16, std::uint64_t{1} << 50}) {
    std::error_code failed;
    std::ofstream(huge, std::ios::binary).close();
    std::filesystem::resize_file(huge, size, failed);
    if (!failed) {
      EXPECT_FALSE(read_plain_package(huge, file)) << size;
    }
    std::error_code ignored;
    std::filesystem::remove(huge, ignored);
    if (failed) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
  }
}

}  // namespace
}  // namespace mardo
