#include "app/cli/cli_app.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "upgrade/package.h"
#include "upgrade/upgrade_fixtures.h"
#include "upgrade/zip_reader.h"

namespace mardo {
namespace {

using test::bytes_t;
using test::pattern;
using test::temp_dir;

struct run_t {
  int status = -1;
  std::string out;
};

run_t run(std::vector<std::string> args) {
  args.insert(args.begin(), {"mardo-cli", "package"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  run_t r;
  ::testing::internal::CaptureStdout();
  r.status = cli::run(static_cast<int>(args.size()), argv.data());
  r.out = ::testing::internal::GetCapturedStdout();
  return r;
}

struct json_deleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

json_ptr parse(const std::string& out) {
  json_ptr j(cJSON_Parse(out.c_str()));
  EXPECT_TRUE(j) << out;
  return j;
}

std::string str(const cJSON* obj, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
  return cJSON_IsString(item) ? item->valuestring : "<not a string>";
}
double num(const cJSON* obj, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
  return cJSON_IsNumber(item) ? item->valuedouble : -12345;
}
const cJSON* item(const cJSON* obj, const char* key) {
  return cJSON_GetObjectItemCaseSensitive(obj, key);
}

constexpr const char* kCamera =
    "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E";
constexpr const char* kImageD = "fw_K8840M_molk_SC_alpu_D_.bin";

TEST(CliPackage, ZipWithAFullPackageDescribesSlotsAndThatPackage) {
  temp_dir dir;
  dir.write("plain.bin", pattern(300, 1));
  dir.write("pkg.bin", test::make_package({{"n/new.bin", pattern(40, 2)}},
                                          {{std::string("o/") + kImageD, pattern(500, 3)}}, 0));
  dir.write("later.bin", pattern(10, 4));
  ASSERT_TRUE(dir.zip("p.iupk", {"plain.bin", "pkg.bin", "later.bin"}, kZipPassword));
  const run_t r = run({dir.file("p.iupk"), "--json", "--version", kCamera});
  EXPECT_EQ(r.status, 0) << r.out;
  const json_ptr j = parse(r.out);
  ASSERT_TRUE(j);
  EXPECT_EQ(str(j.get(), "kind"), "zip");
  EXPECT_EQ(str(j.get(), "check"), "");
  EXPECT_EQ(num(j.get(), "full_slot"), 1);
  const cJSON* slots = item(j.get(), "slots");
  ASSERT_EQ(cJSON_GetArraySize(slots), 2);
  EXPECT_EQ(str(cJSON_GetArrayItem(slots, 0), "name"), "plain.bin");
  EXPECT_EQ(num(cJSON_GetArrayItem(slots, 0), "count"), 300);
  EXPECT_TRUE(cJSON_IsTrue(item(cJSON_GetArrayItem(slots, 0), "password")));
  EXPECT_EQ(num(cJSON_GetArrayItem(slots, 1), "index"), 1);
  const cJSON* entries = item(j.get(), "entries");
  ASSERT_EQ(cJSON_GetArraySize(entries), 2);
  EXPECT_EQ(str(cJSON_GetArrayItem(entries, 0), "name"), "new.bin");
  EXPECT_EQ(num(cJSON_GetArrayItem(entries, 1), "offset"), 40);
  EXPECT_EQ(num(cJSON_GetArrayItem(entries, 1), "length"), 500);
  EXPECT_TRUE(cJSON_IsTrue(item(cJSON_GetArrayItem(entries, 1), "crc_ok")));
  EXPECT_EQ(str(j.get(), "choice"), kImageD);
}

TEST(CliPackage, ZipOfPlainImagesChoosesAMember) {
  temp_dir dir;
  dir.write("a/fw_K8840M_molk_SC_alpu_E_.bin", pattern(30, 1));
  dir.write(std::string("b/") + kImageD, pattern(30, 2));
  ASSERT_TRUE(dir.zip("p.zip", {"a/fw_K8840M_molk_SC_alpu_E_.bin", std::string("b/") + kImageD}));
  const run_t r = run({dir.file("p.zip"), "--version", kCamera, "--json"});
  EXPECT_EQ(r.status, 0);
  const json_ptr j = parse(r.out);
  ASSERT_TRUE(j);
  EXPECT_TRUE(cJSON_IsNull(item(j.get(), "full_slot")));
  EXPECT_EQ(cJSON_GetArraySize(item(j.get(), "entries")), 0);
  EXPECT_EQ(str(j.get(), "choice"), std::string("b/") + kImageD);

  const run_t mismatch = run({dir.file("p.zip"), "--json", "--version", "V1_USA"});
  EXPECT_EQ(mismatch.status, 1);
  EXPECT_EQ(str(parse(mismatch.out).get(), "choice"), "升级包校验错误！");
}

TEST(CliPackage, FullPackageShowsTheHeaderCheckAndEveryEntry) {
  temp_dir dir;
  bytes_t p = test::make_package({{"n.bin", pattern(40, 1)}}, {{"o.bin", pattern(40, 2)}}, 1);
  p[4096 + 40] ^= 1;  // the old image
  dir.write("fw.pkg", p);
  const run_t r = run({dir.file("fw.pkg"), "--json"});
  EXPECT_EQ(r.status, 1);
  const json_ptr j = parse(r.out);
  ASSERT_TRUE(j);
  EXPECT_EQ(str(j.get(), "kind"), "full");
  EXPECT_EQ(str(j.get(), "check"), "");
  EXPECT_EQ(item(j.get(), "choice"), nullptr);
  const cJSON* entries = item(j.get(), "entries");
  ASSERT_EQ(cJSON_GetArraySize(entries), 2);
  EXPECT_TRUE(cJSON_IsTrue(item(cJSON_GetArrayItem(entries, 0), "crc_ok")));
  EXPECT_TRUE(cJSON_IsFalse(item(cJSON_GetArrayItem(entries, 1), "crc_ok")));

  const run_t text = run({dir.file("fw.pkg"), "--version", kCamera});
  EXPECT_NE(text.out.find("kind: full\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("crc o.bin包CRC校验失败"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("choice: o.bin包CRC校验失败\n"), std::string::npos) << text.out;
}

TEST(CliPackage, RefusedFullPackageShowsItsCheckText) {
  temp_dir dir;
  bytes_t p = test::make_package({{"n.bin", pattern(400, 1)}}, {}, 0);
  p[4096] ^= 1;
  dir.write("fw", p);
  const run_t r = run({dir.file("fw"), "--json", "--version", kCamera});
  EXPECT_EQ(r.status, 1);
  const json_ptr j = parse(r.out);
  ASSERT_TRUE(j);
  EXPECT_EQ(str(j.get(), "check"), "大包CRC校验失败");
  EXPECT_EQ(str(j.get(), "choice"), "大包CRC校验失败");
}

TEST(CliPackage, FullPackageWithoutOldEntriesHasNoOlderDeviceChoice) {
  temp_dir dir;
  dir.write("fw.bin", test::make_package({{"n.bin", pattern(400, 1)}}, {}, 0));
  const json_ptr j = parse(run({dir.file("fw.bin"), "--json", "--version", kCamera}).out);
  ASSERT_TRUE(j);
  EXPECT_EQ(str(j.get(), "choice"), "旧升级包个数为0");
}

TEST(CliPackage, PlainImageGoesOutUnderItsOwnName) {
  temp_dir dir;
  dir.write("uImage.v2", pattern(100));
  const run_t r = run({dir.file("uImage.v2"), "--json", "--version", kCamera});
  EXPECT_EQ(r.status, 0);
  const json_ptr j = parse(r.out);
  ASSERT_TRUE(j);
  EXPECT_EQ(str(j.get(), "kind"), "plain");
  EXPECT_EQ(str(j.get(), "choice"), "uImage.v2");
}

TEST(CliPackage, RarAndUnopenableArchivesAreRefused) {
  temp_dir dir;
  dir.write("fw.rar", pattern(100));
  dir.write("fw.zip", pattern(100));
  const run_t rar = run({dir.file("fw.rar"), "--json"});
  EXPECT_EQ(rar.status, 1);
  EXPECT_EQ(str(parse(rar.out).get(), "check"), "升级包校验错误！");
  const run_t zip = run({dir.file("fw.zip"), "--json"});
  EXPECT_EQ(zip.status, 1);
  EXPECT_EQ(str(parse(zip.out).get(), "check"), "打开压缩包文件失败");
  EXPECT_EQ(run({dir.file("missing.bin")}).status, 2) << "a file that cannot be read is bad input";
}

TEST(CliPackage, BadArgumentsGiveTheUsage) {
  EXPECT_EQ(run({}).status, 2);
  EXPECT_EQ(run({"a.bin", "b.bin"}).status, 2);
  EXPECT_EQ(run({"a.bin", "--version"}).status, 2);
  EXPECT_EQ(run({"a.bin", "--verbose"}).status, 2);
  EXPECT_EQ(run({"--json"}).status, 2);
}

}  // namespace
}  // namespace mardo
