#include "raw_camera.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "event_log.h"

namespace mardo::sim {
namespace {

using bytes_t = std::vector<std::uint8_t>;

const mac_t kCamMac = {0x02, 0x00, 0x01, 0x00, 0x00, 0x07};
const mac_t kWsMac = {0x02, 0x00, 0x00, 0x00, 0xFF, 0x00};
const mac_t kOtherMac = {0x02, 0x00, 0x01, 0x00, 0x00, 0x08};
const mac_t kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

sim_camera_t camera() {
  sim_camera_t c;
  c.netns = "t1-c0";
  c.mac = kCamMac;
  c.ip = {192, 0, 2, 10};
  c.netmask = {255, 255, 255, 0};
  c.gateway = {192, 0, 2, 1};
  c.version = "V2.4.1";
  c.model = "BOX";
  return c;
}

bytes_t frame(const mac_t& dst, const mac_t& src, std::uint16_t type, std::size_t payload) {
  bytes_t f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(static_cast<std::uint8_t>(type >> 8));
  f.push_back(static_cast<std::uint8_t>(type));
  f.resize(14 + payload, 0);
  return f;
}

// The search answer spelled out byte by byte from its field table.
bytes_t expected_search_answer(const sim_camera_t& c, const mac_t& to) {
  bytes_t f = frame(to, c.mac, 0xFFF1, 0);
  f.insert(f.end(), c.ip.begin(), c.ip.end());  // 14..17
  f.resize(44, 0);                              // 18..43
  f.insert(f.end(), c.text44.begin(), c.text44.end());
  f.resize(78, 0);  // 44..77
  f.insert(f.end(), c.version.begin(), c.version.end());
  f.push_back(0);
  f.insert(f.end(), c.model.begin(), c.model.end());
  f.push_back(0);
  return f;
}

TEST(RawCamera, SearchAnswerFollowsTheFieldTable) {
  sim_camera_t c = camera();
  c.text44 = "ALG:face";
  bytes_t got = build_search_answer(c, kWsMac);
  EXPECT_EQ(got, expected_search_answer(c, kWsMac));
  EXPECT_EQ(got.size(), 78u + 6 + 1 + 3 + 1);
}

TEST(RawCamera, FullText44RunsUpToTheVersion) {
  sim_camera_t c = camera();
  c.text44 = std::string(34, 'T');
  bytes_t got = build_search_answer(c, kWsMac);
  EXPECT_EQ(got[77], 'T');
  EXPECT_EQ(got[78], 'V');
  EXPECT_EQ(got, expected_search_answer(c, kWsMac));
}

TEST(RawCamera, EmptyTextsLeaveTwoNuls) {
  sim_camera_t c = camera();
  c.version.clear();
  c.model.clear();
  bytes_t got = build_search_answer(c, kWsMac);
  ASSERT_EQ(got.size(), 80u);
  EXPECT_EQ(got[78], 0);
  EXPECT_EQ(got[79], 0);
}

TEST(RawCamera, SearchAnswerLengthCutsOrPads) {
  const struct {
    const char* name;
    int len;
  } rows[] = {{"cut_inside_header_area", 16},
              {"cut_before_version", 60},
              {"cut_inside_version", 80},
              {"natural", 89},
              {"padded", 200}};
  sim_camera_t c = camera();
  bytes_t natural = build_search_answer(c, kWsMac);
  ASSERT_EQ(natural.size(), 89u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    c.search_answer_len = row.len;
    bytes_t got = build_search_answer(c, kWsMac);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(row.len));
    for (std::size_t i = 0; i < got.size(); ++i) {
      std::uint8_t want = i < natural.size() ? natural[i] : 0;
      ASSERT_EQ(got[i], want) << "offset " << i;
    }
  }
}

TEST(RawCamera, IpQueryAnswerCarriesTheConfiguredLengthField) {
  sim_camera_t c = camera();
  c.ip_query_len_field = 0x0140;
  bytes_t got = build_ip_query_answer(c, kWsMac);
  bytes_t want = frame(kWsMac, kCamMac, 0xFFF8, 0);
  bytes_t rest = {0x40, 0x01, 192, 0, 2, 10, 255, 255, 255, 0, 192, 0, 2, 1};
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, want);
}

struct reaction_row {
  const char* name;
  mac_t dst;
  std::uint16_t type;
  std::size_t payload;
  bool raw_search;
  bool ip_query;
  bool record;
  std::uint16_t answer_type;  // 0: no answer
};

TEST(RawCamera, ReactsOnlyToItsOwnAndBroadcastFramesOfThePrivateTypes) {
  const reaction_row rows[] = {
      {"broadcast_search", kBroadcast, 0xFFF0, 114, true, true, true, 0xFFF1},
      {"unicast_search", kCamMac, 0xFFF0, 114, true, true, true, 0xFFF1},
      {"search_switched_off", kBroadcast, 0xFFF0, 114, false, true, true, 0},
      {"search_for_another_camera", kOtherMac, 0xFFF0, 114, true, true, false, 0},
      {"ip_query", kCamMac, 0xFFF8, 12, true, true, true, 0xFFF8},
      {"ip_query_switched_off", kCamMac, 0xFFF8, 12, true, false, true, 0},
      {"ip_query_for_another_camera", kOtherMac, 0xFFF8, 12, true, true, false, 0},
      {"reboot", kCamMac, 0xFFF1, 0, true, true, true, 0},
      {"clock", kCamMac, 0xFFF3, 16, true, true, true, 0},
      {"delete_logs", kCamMac, 0xFFF4, 0, true, true, true, 0},
      {"factory_test", kCamMac, 0xFFF5, 20, true, true, true, 0xFFF5},
      {"presence", kCamMac, 0xFFF6, 20, true, true, true, 0xFFF6},
      {"shell_command", kCamMac, 0xFFF7, 30, true, true, true, 0},
      {"below_private_range", kCamMac, 0xFFEF, 20, true, true, false, 0},
      {"above_private_range", kCamMac, 0xFFF9, 20, true, true, false, 0},
      {"ipv4", kCamMac, 0x0800, 40, true, true, false, 0},
  };
  for (const reaction_row& row : rows) {
    SCOPED_TRACE(row.name);
    sim_camera_t c = camera();
    c.raw_search = row.raw_search;
    c.ip_query = row.ip_query;
    raw_reaction_t r = react_to_frame(c, frame(row.dst, kWsMac, row.type, row.payload));
    EXPECT_EQ(r.record, row.record);
    if (row.answer_type == 0) {
      EXPECT_TRUE(r.answer.empty());
    } else {
      ASSERT_GE(r.answer.size(), 14u);
      EXPECT_EQ(bytes_t(r.answer.begin(), r.answer.begin() + 6),
                bytes_t(kWsMac.begin(), kWsMac.end()))
          << "answer goes to the requester";
      EXPECT_EQ(r.answer[12] << 8 | r.answer[13], row.answer_type);
    }
    EXPECT_FALSE(r.ip_changed);
  }
}

TEST(RawCamera, FrameShorterThanAHeaderIsIgnored) {
  sim_camera_t c = camera();
  bytes_t f = frame(kBroadcast, kWsMac, 0xFFF0, 0);
  f.pop_back();
  EXPECT_FALSE(react_to_frame(c, f).record);
}

TEST(RawCamera, SetIpChangesTheAddressesLaterAnswersCarry) {
  sim_camera_t c = camera();
  bytes_t set = frame(kCamMac, kWsMac, 0xFFF2, 0);
  bytes_t values = {198, 51, 100, 20, 255, 255, 0, 0, 198, 51, 100, 1};
  set.insert(set.end(), values.begin(), values.end());
  raw_reaction_t r = react_to_frame(c, set);
  EXPECT_TRUE(r.record);
  EXPECT_TRUE(r.ip_changed);
  EXPECT_TRUE(r.answer.empty()) << "set-IP has no answer";
  EXPECT_EQ(c.ip, (ipv4_t{198, 51, 100, 20}));
  EXPECT_EQ(c.netmask, (ipv4_t{255, 255, 0, 0}));
  EXPECT_EQ(c.gateway, (ipv4_t{198, 51, 100, 1}));

  raw_reaction_t search = react_to_frame(c, frame(kBroadcast, kWsMac, 0xFFF0, 114));
  ASSERT_GE(search.answer.size(), 18u);
  EXPECT_EQ(bytes_t(search.answer.begin() + 14, search.answer.begin() + 18),
            (bytes_t{198, 51, 100, 20}));
  raw_reaction_t query = react_to_frame(c, frame(kCamMac, kWsMac, 0xFFF8, 12));
  ASSERT_EQ(query.answer.size(), 28u);
  EXPECT_EQ(bytes_t(query.answer.begin() + 16, query.answer.end()),
            (bytes_t{198, 51, 100, 20, 255, 255, 0, 0, 198, 51, 100, 1}));
}

TEST(RawCamera, ShortSetIpIsRecordedButChangesNothing) {
  sim_camera_t c = camera();
  bytes_t set = frame(kCamMac, kWsMac, 0xFFF2, 11);
  set[14] = 198;
  raw_reaction_t r = react_to_frame(c, set);
  EXPECT_TRUE(r.record);
  EXPECT_FALSE(r.ip_changed);
  EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 10}));
}

TEST(EventLine, IsOneJsonObjectWithTheFrameInHex) {
  bytes_t f = frame(kCamMac, kWsMac, 0xFFF1, 0);
  std::string line = format_raw_event(1234, 3, kCamMac, "raw", f, 60);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "exactly one line";
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> obj(cJSON_Parse(line.c_str()), &cJSON_Delete);
  ASSERT_TRUE(obj);
  auto num = [&](const char* k) {
    return cJSON_GetObjectItemCaseSensitive(obj.get(), k)->valuedouble;
  };
  auto str = [&](const char* k) {
    return std::string(cJSON_GetObjectItemCaseSensitive(obj.get(), k)->valuestring);
  };
  EXPECT_EQ(num("t_ms"), 1234);
  EXPECT_EQ(num("camera"), 3);
  EXPECT_EQ(str("mac"), "02:00:01:00:00:07");
  EXPECT_EQ(str("channel"), "raw");
  EXPECT_EQ(num("ethertype"), 0xFFF1);
  EXPECT_EQ(str("src"), "02:00:00:00:ff:00");
  EXPECT_EQ(num("len"), 60) << "the length on the wire, not the bytes kept";
  EXPECT_EQ(str("hex"), "02000100000702000000ff00fff1");
}

TEST(EventLine, HexIsLowercaseAndComplete) {
  EXPECT_EQ(hex_text(bytes_t{0x00, 0xAB, 0xFF, 0x10}), "00abff10");
  EXPECT_EQ(hex_text(bytes_t{}), "");
}

}  // namespace
}  // namespace mardo::sim
