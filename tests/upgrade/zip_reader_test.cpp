#include "upgrade/zip_reader.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "case_name.h"
#include "upgrade/choice.h"
#include "upgrade/package.h"
#include "upgrade_fixtures.h"

namespace mardo {
namespace {

using test::bytes_t;
using test::pattern;
using test::temp_dir;

bytes_t full_package(std::uint32_t seed = 1) {
  return test::make_package({{"fw.bin", pattern(2000, seed)}}, {}, 0);
}

struct skip_case {
  const char* name;
  const char* member;
  bool taken;
};

class ZipMemberName : public ::testing::TestWithParam<skip_case> {};

TEST_P(ZipMemberName, DecidesWhetherTheMemberIsTaken) {
  temp_dir dir;
  dir.write(GetParam().member, pattern(100));
  ASSERT_TRUE(dir.zip("a.zip", {GetParam().member}));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("a.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 1u);
  EXPECT_EQ(archive.slots[0].taken(), GetParam().taken);
  if (GetParam().taken) {
    EXPECT_EQ(archive.slots[0].name, GetParam().member);
    EXPECT_EQ(archive.slots[0].count, 100);
    EXPECT_FALSE(archive.slots[0].password_tried);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipMemberName,
                         ::testing::Values(skip_case{"PlainBin", "fw.bin", true},
                                           skip_case{"LockedMark", "fw_L_x.bin", false},
                                           skip_case{"LockedMarkAnywhere", "_L_.bin", false},
                                           skip_case{"LowerCaseLIsNoMark", "fw_l_x.bin", true},
                                           skip_case{"UpperCaseExtension", "fw.BIN", false},
                                           skip_case{"NoDot", "firmware", false},
                                           skip_case{"LastExtensionCounts", "fw.bin.txt", false},
                                           skip_case{"EarlierDotsDoNotMatter", "fw.v2.bin", true},
                                           skip_case{"ExtensionOnly", ".bin", true},
                                           skip_case{"LongerExtension", "fw.bins", false},
                                           skip_case{"InAFolder", "sub/fw.bin", true}),
                         case_name());

TEST(ZipReader, FullPackageInTheSecondMemberEndsTheScan) {
  temp_dir dir;
  dir.write("a.bin", pattern(300, 1));
  dir.write("b.bin", full_package());
  dir.write("c.bin", pattern(300, 3));
  ASSERT_TRUE(dir.zip("p.zip", {"a.bin", "b.bin", "c.bin"}));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  EXPECT_EQ(archive.full_slot, 1);
  ASSERT_EQ(archive.slots.size(), 3u);
  EXPECT_TRUE(archive.slots[0].complete());
  EXPECT_TRUE(archive.slots[1].complete());
  EXPECT_EQ(archive.slots[1].bytes().size(), full_package().size());
  EXPECT_FALSE(archive.slots[2].taken());  // never read
}

TEST(ZipReader, ReadsMembersInArchiveOrderWithEmptySlotsForSkippedOnes) {
  temp_dir dir;
  dir.write("z.bin", pattern(10, 1));
  dir.write("skip.txt", pattern(10, 2));
  dir.write("a.bin", pattern(20, 3));
  ASSERT_TRUE(dir.zip("p.zip", {"z.bin", "skip.txt", "a.bin"}));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 3u);
  EXPECT_EQ(archive.slots[0].name, "z.bin");
  EXPECT_FALSE(archive.slots[1].taken());
  EXPECT_EQ(archive.slots[2].name, "a.bin");
  const bytes_t a = pattern(20, 3);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), archive.slots[2].bytes().begin(),
                         archive.slots[2].bytes().end()));
  EXPECT_EQ(archive.full_slot, -1);
}

TEST(ZipReader, PasswordMembersAreReadWithTheStoredPassword) {
  temp_dir dir;
  dir.write("img.bin", pattern(5000, 1));
  dir.write("pkg.bin", full_package(2));
  ASSERT_TRUE(dir.zip("p.zip", {"img.bin", "pkg.bin"}, kZipPassword));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 2u);
  for (const zip_slot_t& slot : archive.slots) {
    EXPECT_TRUE(slot.password_tried) << slot.name;
    EXPECT_TRUE(slot.password_opened) << slot.name;
    EXPECT_TRUE(slot.complete()) << slot.name;
  }
  const bytes_t img = pattern(5000, 1);
  EXPECT_TRUE(std::equal(img.begin(), img.end(), archive.slots[0].bytes().begin(),
                         archive.slots[0].bytes().end()));
  EXPECT_EQ(archive.full_slot, 1);
}

TEST(ZipReader, StoredMembersWithThePasswordAreReadToo) {
  temp_dir dir;
  dir.write("img.bin", pattern(700, 5));
  ASSERT_TRUE(dir.zip("p.zip", {"img.bin"}, kZipPassword, test::zip_method::store));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  EXPECT_TRUE(archive.slots.at(0).complete());
  EXPECT_EQ(archive.slots[0].count, 700);
}

TEST(ZipReader, WrongPasswordKeepsTheCountOfTheFirstRead) {
  temp_dir dir;
  dir.write("img.bin", pattern(5000, 1));
  dir.write("pkg.bin", full_package());
  ASSERT_TRUE(dir.zip("p.zip", {"img.bin", "pkg.bin"}, "not-the-password"));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 2u);
  for (const zip_slot_t& slot : archive.slots) {
    EXPECT_TRUE(slot.taken()) << slot.name;
    EXPECT_TRUE(slot.password_tried) << slot.name;
    EXPECT_EQ(slot.count, -1) << slot.name;  // the failed first read
    EXPECT_FALSE(slot.complete()) << slot.name;
    EXPECT_FALSE(slot.usable()) << slot.name;
    EXPECT_TRUE(slot.candidate()) << slot.name;  // chosen, it says why it cannot be sent
  }
  EXPECT_EQ(archive.full_slot, -1);
}

TEST(ZipReader, DirectoryEntriesAreSkipped) {
  temp_dir dir;
  dir.write("images/fw.bin", pattern(100));
  ASSERT_TRUE(dir.zip("p.zip", {"images/", "images/fw.bin"}));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 2u);
  EXPECT_FALSE(archive.slots[0].taken());  // "images/"
  EXPECT_EQ(archive.slots[1].name, "images/fw.bin");
}

TEST(ZipReader, ExactlyTheDirectoryAttributeSkipsAMember) {
  temp_dir dir;
  dir.write("a.bin", pattern(100, 1));
  dir.write("b.bin", pattern(100, 2));
  ASSERT_TRUE(dir.zip("p.zip", {"a.bin", "b.bin"}));
  bytes_t zip = dir.read("p.zip");
  const auto a = test::find_member(zip, "a.bin"), b = test::find_member(zip, "b.bin");
  ASSERT_TRUE(a.found && b.found);
  put_le32(zip.data() + a.central + 38, 0x10);
  put_le32(zip.data() + b.central + 38, 0x11);  // a directory bit among others
  dir.write("p.zip", zip);
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 2u);
  EXPECT_FALSE(archive.slots[0].taken());
  EXPECT_TRUE(archive.slots[1].taken());
}

TEST(ZipReader, OnlyTheFirst255MembersAreLookedAt) {
  temp_dir dir;
  std::vector<std::string> names;
  for (int i = 0; i < 256; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "m%03d.bin", i);
    names.push_back(name);
    dir.write(name, i == 255 ? full_package() : pattern(8, static_cast<std::uint32_t>(i)));
  }
  ASSERT_TRUE(dir.zip("p.zip", names));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), kZipSlotCount);
  EXPECT_EQ(archive.slots[254].name, "m254.bin");
  EXPECT_EQ(archive.full_slot, -1);  // the package in member 256 is not reached
}

// A member whose declared sizes are rewritten to `declared` after zip() made it.
void declare_size(const temp_dir& dir, const std::string& archive, const std::string& member,
                  std::uint32_t declared) {
  bytes_t zip = dir.read(archive);
  const auto at = test::find_member(zip, member);
  ASSERT_TRUE(at.found);
  put_le32(zip.data() + at.central + 24, declared);
  put_le32(zip.data() + at.local + 22, declared);
  dir.write(archive, zip);
}

TEST(ZipReader, MemberInflatingPastItsDeclaredSizeIsCutThere) {
  temp_dir dir;
  // A full package followed by 8 MiB of zeros, declared as just the package.
  bytes_t data = full_package();
  const auto declared = static_cast<std::uint32_t>(data.size());
  data.resize(data.size() + (8u << 20), 0);
  dir.write("bomb.bin", data);
  ASSERT_TRUE(dir.zip("p.zip", {"bomb.bin"}));
  declare_size(dir, "p.zip", "bomb.bin", declared);
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  const zip_slot_t& slot = archive.slots.at(0);
  EXPECT_EQ(slot.count, declared);
  EXPECT_TRUE(slot.overrun);
  EXPECT_FALSE(slot.complete());
  EXPECT_TRUE(slot.password_tried);
  EXPECT_EQ(archive.full_slot, -1);
}

TEST(ZipReader, MemberShorterThanDeclaredIsAFailedRead) {
  temp_dir dir;
  dir.write("short.bin", pattern(1000));
  ASSERT_TRUE(dir.zip("p.zip", {"short.bin"}));
  declare_size(dir, "p.zip", "short.bin", 5000);
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  EXPECT_EQ(archive.slots.at(0).count, -1);
  EXPECT_TRUE(archive.slots[0].password_tried);
}

TEST(ZipReader, DamagedMemberIsAFailedRead) {
  temp_dir dir;
  dir.write("d.bin", pattern(1000));
  ASSERT_TRUE(dir.zip("p.zip", {"d.bin"}, {}, test::zip_method::store));
  bytes_t zip = dir.read("p.zip");
  const auto at = test::find_member(zip, "d.bin");
  ASSERT_TRUE(at.found);
  byte_reader local(zip);
  local.seek(at.local + 26);
  const std::size_t name_length = local.le16(), extra_length = local.le16();
  zip[at.local + 30 + name_length + extra_length + 500] ^= 0xFF;  // inside the stored data
  dir.write("p.zip", zip);
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  EXPECT_EQ(archive.slots.at(0).count, -1);
}

TEST(ZipReader, MemberWithAnEncryptionItCannotDecodeIsAFailedRead) {
  temp_dir dir;
  dir.write("strong.bin", pattern(100));
  dir.write("next.bin", pattern(50));
  ASSERT_TRUE(dir.zip("p.zip", {"strong.bin", "next.bin"}, kZipPassword));
  bytes_t zip = dir.read("p.zip");
  const auto at = test::find_member(zip, "strong.bin");
  ASSERT_TRUE(at.found);
  zip[at.central + 8] |= 0x40;  // "strong encryption"
  zip[at.local + 6] |= 0x40;
  dir.write("p.zip", zip);
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  ASSERT_EQ(archive.slots.size(), 2u);
  EXPECT_EQ(archive.slots[0].count, -1);
  EXPECT_TRUE(archive.slots[0].password_tried);
  EXPECT_FALSE(archive.slots[0].password_opened);
  EXPECT_TRUE(archive.slots[1].complete());
}

// A member of 128 MiB and 1 KiB, deflated from a sparse file: nothing that large is written
// or read, and a camera it is chosen for is told why it cannot have it.
TEST(ZipReader, MemberLargerThan128MiBIsNeverReadOrSent) {
  temp_dir dir;
  const std::string name = "fw_K8840M_molk_SC_alpu_D_.bin";
  {
    std::FILE* f = std::fopen(dir.file(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(kZipSlotCapacity + 1023), SEEK_SET);
    std::fputc(1, f);
    std::fclose(f);
  }
  ASSERT_TRUE(dir.zip("p.zip", {name}));
  std::remove(dir.file(name).c_str());
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("p.zip"), archive), "");
  const zip_slot_t& slot = archive.slots.at(0);
  EXPECT_EQ(slot.size, kZipSlotCapacity + 1024);
  EXPECT_TRUE(slot.too_large);
  EXPECT_FALSE(slot.taken());
  EXPECT_FALSE(slot.usable());
  const package_choice_t choice =
      choose_zip_slot(archive, "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E");
  EXPECT_FALSE(choice.selected());
  EXPECT_EQ(choice.text, name + " 大于128MB，无法使用");
}

TEST(ZipReader, OpensTheUtf8PathAsTyped) {
  temp_dir dir;
  dir.write("固件/升级包.bin", pattern(10));
  ASSERT_TRUE(dir.zip("升级包.iupk", {"固件/升级包.bin"}));
  zip_package_t archive;
  ASSERT_EQ(open_zip_package(dir.file("升级包.iupk"), archive), "");
  EXPECT_EQ(archive.slots.at(0).name, "固件/升级包.bin");
}

TEST(ZipReader, WhatIsNoArchiveCannotBeOpened) {
  temp_dir dir;
  dir.write("text.zip", test::text_bytes("not an archive at all"));
  dir.write("empty.zip", {});
  zip_package_t archive;
  EXPECT_EQ(open_zip_package(dir.file("missing.zip"), archive), kTextZipOpenFailed);
  EXPECT_EQ(open_zip_package(dir.file("text.zip"), archive), kTextZipOpenFailed);
  EXPECT_EQ(open_zip_package(dir.file("empty.zip"), archive), kTextZipOpenFailed);
  EXPECT_EQ(open_zip_package(dir.path(), archive), kTextZipOpenFailed);
  EXPECT_TRUE(archive.slots.empty());
}

TEST(ZipReader, ReadsTheSameFromMemory) {
  temp_dir dir;
  dir.write("a.bin", pattern(100, 1));
  dir.write("b.bin", full_package());
  ASSERT_TRUE(dir.zip("p.zip", {"a.bin", "b.bin"}, kZipPassword));
  const bytes_t bytes = dir.read("p.zip");
  zip_package_t archive;
  ASSERT_EQ(open_zip_package_bytes(bytes, archive), "");
  EXPECT_EQ(archive.full_slot, 1);
  EXPECT_EQ(archive.slots.at(0).count, 100);
  EXPECT_EQ(open_zip_package_bytes({}, archive), kTextZipOpenFailed);
  const bytes_t cut(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2));
  EXPECT_EQ(open_zip_package_bytes(cut, archive), kTextZipOpenFailed);
}

}  // namespace
}  // namespace mardo
