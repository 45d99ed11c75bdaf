#include "discovery/search_answer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/socket_api.h"

namespace mardo {
namespace {

const std::uint8_t kAdapter[6] = {0x02, 0x00, 0x00, 0x00, 0xff, 0x00};

// A search answer laid out by hand: addresses, FF F1, IP, gap, text at 44, texts at 78.
std::vector<std::uint8_t> answer_frame(const char* version, const char* model,
                                       const char* text44 = "") {
  std::vector<std::uint8_t> f(78, 0);
  std::memcpy(f.data(), kAdapter, 6);
  const std::uint8_t camera[6] = {0x02, 0xab, 0x0c, 0x00, 0x01, 0x0f};
  std::memcpy(f.data() + 6, camera, 6);
  f[12] = 0xFF;
  f[13] = 0xF1;
  f[14] = 192;
  f[15] = 0;
  f[16] = 2;
  f[17] = 33;
  std::memcpy(f.data() + 44, text44, std::min<std::size_t>(std::strlen(text44), 34));
  for (const char* p = version; *p; ++p) f.push_back(static_cast<std::uint8_t>(*p));
  f.push_back(0);
  for (const char* p = model; *p; ++p) f.push_back(static_cast<std::uint8_t>(*p));
  f.push_back(0);
  return f;
}

std::optional<raw_search_answer_t> parse(const std::vector<std::uint8_t>& f) {
  return parse_raw_search_answer(f.data(), f.size(), f.size(), kAdapter);
}

TEST(RawSearchAnswer, GivesMacIpVersionModelAndAlgoMark) {
  const auto a = parse(answer_frame("V1_MOLK_2.SVR_3", "IPC-Z1"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mac, "02-AB-0C-00-01-0F");
  EXPECT_EQ(a->ip, "192.0.2.33");
  EXPECT_TRUE(a->detailed);
  EXPECT_FALSE(a->hidden);
  EXPECT_EQ(a->version, "V1_MOLK_2.SVR_3");
  EXPECT_EQ(a->model, "IPC-Z1");
  EXPECT_EQ(a->algo, "1");
}

TEST(RawSearchAnswer, OtherAdapterOrTypeIsNotAnAnswer) {
  auto f = answer_frame("v", "m");
  f[0] ^= 1;
  EXPECT_FALSE(parse(f));
  f = answer_frame("v", "m");
  f[13] = 0xF8;
  EXPECT_FALSE(parse(f));
}

TEST(RawSearchAnswer, UpTo78BytesGivesOnlyMacAndIp) {
  auto f = answer_frame("V1", "M");
  f.resize(78);
  const auto a = parse(f);
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->detailed);
  EXPECT_EQ(a->ip, "192.0.2.33");
  EXPECT_EQ(a->version, "");
  f.resize(17);  // cut inside the address: nothing to make a row of
  EXPECT_FALSE(parse(f));
}

TEST(RawSearchAnswer, AlgorithmMarkersHideTheCamera) {
  EXPECT_TRUE(parse(answer_frame("V1, algo : rvk", "M"))->hidden);
  EXPECT_TRUE(parse(answer_frame("V1, algo : Rvkw2", "M"))->hidden);
  EXPECT_TRUE(parse(answer_frame("V1", "M", "algo : rvk"))->hidden);
  EXPECT_FALSE(parse(answer_frame("V1, algo : RVK", "M"))->hidden);
  // The marker only counts in a frame longer than 78 bytes.
  auto f = answer_frame("", "", "algo : rvk");
  f.resize(78);
  EXPECT_FALSE(parse(f)->hidden);
}

TEST(RawSearchAnswer, ModelOnlyWhenTheFrameGoesOnPastTheVersion) {
  auto f = answer_frame("V2", "");
  f.resize(78 + 3);  // version and its NUL, nothing after
  EXPECT_EQ(parse(f)->model, "");
  f = answer_frame("V2", "CAM");
  f.resize(f.size() - 1);  // model without its NUL, ends with the frame
  EXPECT_EQ(parse(f)->model, "CAM");
}

TEST(RawSearchAnswer, ReadsOnlyTheCapturedBytes) {
  auto f = answer_frame("V3.0_QKZW_", "MODEL");
  // On the wire the frame was longer than what was captured: the texts end at the capture.
  std::vector<std::uint8_t> captured(f.begin(), f.begin() + 82);
  const auto a = parse_raw_search_answer(captured.data(), captured.size(), 1514, kAdapter);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->version, "V3.0");
  EXPECT_EQ(a->model, "");
}

TEST(RawSearchAnswer, VersionIsAtMost1023Bytes) {
  std::string long_version(1500, 'v');
  const auto a = parse(answer_frame(long_version.c_str(), "M"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->version.size(), 1023u);
}

TEST(McSearchAnswer, ReadsTheMembersByExactKey) {
  const auto a = parse_mc_search_answer(
      R"({"cmd":"devSearchRsp","type":1,"mac":"02:ab:00:00:00:01","ip":"192.0.2.9",)"
      R"("netmask":"255.255.255.0","gateway":"bad","version":"V1_QKZW_","model":"IPC","Model":"x"})");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mac, "02-ab-00-00-00-01");
  EXPECT_EQ(a->ip, "192.0.2.9");
  EXPECT_EQ(a->addr.uiIp, inet_addr("192.0.2.9"));
  EXPECT_EQ(a->addr.uiNetmask, inet_addr("255.255.255.0"));
  EXPECT_EQ(a->addr.uiGateway, 0xFFFFFFFFu);
  EXPECT_EQ(a->model, "IPC");
  EXPECT_EQ(a->algo, "0");
}

TEST(McSearchAnswer, NeedsTheAnswerCommandAndTypeOne) {
  EXPECT_FALSE(parse_mc_search_answer(R"({"cmd":"devSearch","type":1})"));
  EXPECT_FALSE(parse_mc_search_answer(R"({"cmd":"devSearchRsp","type":2})"));
  EXPECT_FALSE(parse_mc_search_answer(R"({"cmd":"devSearchRsp","type":"1"})"));
  EXPECT_FALSE(parse_mc_search_answer(R"({"CMD":"devSearchRsp","type":1})"));
  EXPECT_FALSE(parse_mc_search_answer("not json"));
  EXPECT_FALSE(parse_mc_search_answer(R"(["devSearchRsp"])"));
}

TEST(McSearchAnswer, MembersOfAnotherTypeReadAsEmpty) {
  const auto a = parse_mc_search_answer(R"({"cmd":"devSearchRsp","type":1,"mac":5,"ip":null})");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mac, "");
  EXPECT_EQ(a->ip, "");
  EXPECT_EQ(a->addr.uiIp, 0xFFFFFFFFu);
}

TEST(McSearchAnswer, AlgoMarkLooksAtTheWholeText) {
  const auto a =
      parse_mc_search_answer(R"({"cmd":"devSearchRsp","type":1,"version":"V1","note":"_MOLK_"})");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->algo, "1");
}

}  // namespace
}  // namespace mardo
