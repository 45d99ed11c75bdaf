#include "mc_camera.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "event_log.h"

namespace mardo::sim {
namespace {

using bytes_t = std::vector<std::uint8_t>;

const char kSearch[] = R"({"cmd":"devSearch", "type":1})";

sim_camera_t camera() {
  sim_camera_t c;
  c.netns = "t1-c0";
  c.mac = {0x02, 0x00, 0x01, 0x00, 0x00, 0xAB};
  c.mc_mac = "02:00:01:00:00:AB";
  c.ip = {192, 0, 2, 10};
  c.netmask = {255, 255, 255, 0};
  c.gateway = {192, 0, 2, 1};
  c.version = "V2.4.1";
  c.model = "BOX";
  return c;
}

// Header written out from its field table: identify and length little-endian, then the text.
bytes_t datagram(const std::string& text, std::uint32_t identify = 0x5ABABABA,
                 std::uint32_t length = 0xFFFFFFFF) {
  if (length == 0xFFFFFFFF) length = static_cast<std::uint32_t>(text.size());
  bytes_t d;
  for (std::uint32_t v : {identify, length}) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  d.insert(d.end(), text.begin(), text.end());
  return d;
}

std::string text_of(const bytes_t& d) {
  return d.size() < 8 ? std::string() : std::string(d.begin() + 8, d.end());
}

std::string modify_request(const std::string& mac, const std::string& ip = "192.0.2.77",
                           const std::string& netmask = "255.255.255.128",
                           const std::string& gateway = "192.0.2.126") {
  // The tool's layout: one member a line, nothing escaped.
  return "{\n\"cmd\":\"modifyDevIp\",\n\"mac\":\"" + mac + "\",\n\"ip\":\"" + ip +
         "\",\n\"netmask\":\"" + netmask + "\",\n\"gateway\":\"" + gateway + "\"\n}";
}

mc_answer_t with_members(std::vector<std::pair<std::string, std::string>> members) {
  mc_answer_t a;
  a.members = std::move(members);
  return a;
}

TEST(McCamera, SearchAnswerCarriesTheCameraValuesBehindTheHeader) {
  sim_camera_t c = camera();
  mc_reaction_t r = react_to_mc_datagram(c, datagram(kSearch));
  ASSERT_EQ(r.answers.size(), 1u);
  const mc_send_t& a = r.answers[0];
  EXPECT_EQ(a.delay_ms, 0);
  EXPECT_EQ(a.to, mc_dest_t::requester);
  const std::string want =
      R"({"cmd":"devSearchRsp","type":1,"mac":"02:00:01:00:00:AB","ip":"192.0.2.10",)"
      R"("netmask":"255.255.255.0","gateway":"192.0.2.1","version":"V2.4.1","model":"BOX"})";
  EXPECT_EQ(a.payload, datagram(want));
  EXPECT_EQ(bytes_t(a.payload.begin(), a.payload.begin() + 4), (bytes_t{0xBA, 0xBA, 0xBA, 0x5A}));
  EXPECT_FALSE(r.ip_changed);
}

TEST(McCamera, TextsAreEscapedAsJson) {
  sim_camera_t c = camera();
  c.version = "V1 \"beta\"\\x";
  c.mc_mac = "a\"b";
  cJSON* parsed = cJSON_Parse(build_search_rsp_text(c, {}).c_str());
  ASSERT_TRUE(parsed);
  EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(parsed, "version")->valuestring, "V1 \"beta\"\\x");
  EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(parsed, "mac")->valuestring, "a\"b");
  cJSON_Delete(parsed);
}

TEST(McCamera, OnlyWellFramedJsonRequestsAreAnswered) {
  const std::string search = kSearch;
  bytes_t trailing = datagram(search);
  trailing.insert(trailing.end(), {'x', 'y'});
  bytes_t inner_nul = datagram(search + std::string(1, '\0') + "garbage");
  const struct {
    const char* name;
    bytes_t request;
    bool answered;
  } rows[] = {
      {"search", datagram(search), true},
      {"search_without_type", datagram(R"({"cmd":"devSearch"})"), true},
      {"length_covers_less_than_the_datagram", trailing, true},
      {"text_ends_at_a_nul", inner_nul, true},
      {"wrong_identify", datagram(search, 0x5ABABABB), false},
      {"identify_big_endian", datagram(search, 0xBABABA5A), false},
      {"zero_length", datagram(search, 0x5ABABABA, 0), false},
      {"length_past_the_datagram",
       datagram(search, 0x5ABABABA, static_cast<std::uint32_t>(search.size() + 1)), false},
      {"header_only_seven_bytes", bytes_t{0xBA, 0xBA, 0xBA, 0x5A, 0x1D, 0x00, 0x00}, false},
      {"empty", bytes_t{}, false},
      {"not_json", datagram("devSearch"), false},
      {"json_array", datagram(R"(["devSearch"])"), false},
      {"cmd_other_case", datagram(R"({"cmd":"DevSearch","type":1})"), false},
      {"cmd_key_other_case", datagram(R"({"CMD":"devSearch","type":1})"), false},
      {"cmd_not_a_string", datagram(R"({"cmd":1})"), false},
      {"unknown_cmd", datagram(R"({"cmd":"getDevInfo"})"), false},
      {"search_answer_from_another_camera", datagram(R"({"cmd":"devSearchRsp","type":1})"), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim_camera_t c = camera();
    EXPECT_EQ(react_to_mc_datagram(c, row.request).answers.size(), row.answered ? 1u : 0u);
  }
}

TEST(McCamera, SearchAnswerListOverridesEachAnswerOnly) {
  sim_camera_t c = camera();
  c.reply_delay_ms = 100;
  mc_answer_t plain;
  mc_answer_t late = with_members({{"ip", "\"198.51.100.5\""}, {"version", "42"}});
  late.delay_ms = 250;
  late.to = mc_dest_t::group;
  mc_answer_t odd_header;
  odd_header.identify = 0x12345678;
  odd_header.data_len = 0;
  mc_answer_t raw_text;
  raw_text.text = "not json at all";
  raw_text.data_len = 1000;
  c.mc_answers = {plain, late, odd_header, raw_text};

  mc_reaction_t r = react_to_mc_datagram(c, datagram(kSearch));
  ASSERT_EQ(r.answers.size(), 4u);
  std::string natural = build_search_rsp_text(c, {});
  EXPECT_EQ(r.answers[0].payload, datagram(natural));
  EXPECT_EQ(r.answers[0].delay_ms, 100) << "reply_delay_ms applies to every answer";
  EXPECT_EQ(r.answers[0].to, mc_dest_t::requester);

  EXPECT_EQ(r.answers[1].delay_ms, 350);
  EXPECT_EQ(r.answers[1].to, mc_dest_t::group);
  EXPECT_EQ(text_of(r.answers[1].payload),
            R"({"cmd":"devSearchRsp","type":1,"mac":"02:00:01:00:00:AB","ip":"198.51.100.5",)"
            R"("netmask":"255.255.255.0","gateway":"192.0.2.1","version":42,"model":"BOX"})");

  EXPECT_EQ(r.answers[2].payload, datagram(natural, 0x12345678, 0));
  EXPECT_EQ(r.answers[3].payload, datagram("not json at all", 0x5ABABABA, 1000))
      << "the whole text goes out whatever the header says";
  EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 10})) << "an override is not the camera's state";
}

TEST(McCamera, CameraSettingsSilenceOrRedirectTheSearchAnswer) {
  sim_camera_t silent = camera();
  silent.mc_search = false;
  EXPECT_TRUE(react_to_mc_datagram(silent, datagram(kSearch)).answers.empty());

  sim_camera_t none = camera();
  none.mc_answers.clear();
  EXPECT_TRUE(react_to_mc_datagram(none, datagram(kSearch)).answers.empty());

  sim_camera_t group = camera();
  group.mc_reply_to = mc_dest_t::group;
  mc_answer_t back;
  back.to = mc_dest_t::requester;
  group.mc_answers = {{}, back};
  mc_reaction_t r = react_to_mc_datagram(group, datagram(kSearch));
  ASSERT_EQ(r.answers.size(), 2u);
  EXPECT_EQ(r.answers[0].to, mc_dest_t::group);
  EXPECT_EQ(r.answers[1].to, mc_dest_t::requester);
}

TEST(McCamera, ModifyIsForTheCameraWhoseMacMatchesIgnoringCaseAndSeparator) {
  const struct {
    const char* name;
    const char* camera_mac;
    std::string request;
    bool for_this_camera;
  } rows[] = {
      {"same_text", "02:00:01:00:00:AB", modify_request("02:00:01:00:00:AB"), true},
      {"lowercase", "02:00:01:00:00:AB", modify_request("02:00:01:00:00:ab"), true},
      {"dashes", "02:00:01:00:00:AB", modify_request("02-00-01-00-00-ab"), true},
      {"camera_writes_lowercase_dashes", "02-00-01-00-00-ab", modify_request("02:00:01:00:00:AB"),
       true},
      {"other_camera", "02:00:01:00:00:AB", modify_request("02:00:01:00:00:AC"), false},
      {"mac_without_separators", "02:00:01:00:00:AB", modify_request("020001 0000AB"), false},
      {"mac_prefix_only", "02:00:01:00:00:AB", modify_request("02:00:01:00:00"), false},
      {"no_mac", "02:00:01:00:00:AB",
       R"({"cmd":"modifyDevIp","ip":"192.0.2.77","netmask":"255.255.255.0","gateway":""})", false},
      {"mac_not_a_string", "",
       R"({"cmd":"modifyDevIp","mac":0,"ip":"192.0.2.77","netmask":"255.255.255.0"})", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim_camera_t c = camera();
    c.mc_mac = row.camera_mac;
    mc_reaction_t r = react_to_mc_datagram(c, datagram(row.request));
    ASSERT_EQ(r.answers.size(), row.for_this_camera ? 1u : 0u);
    EXPECT_EQ(r.ip_changed, row.for_this_camera);
    if (!row.for_this_camera) {
      EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 10}));
      continue;
    }
    EXPECT_EQ(r.answers[0].payload, datagram(std::string(R"({"cmd":"modifyDevIpRsp","mac":")") +
                                             row.camera_mac + R"(","errMsg":"noerror"})"))
        << "the answer carries the MAC as the camera writes it";
    EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 77}));
    EXPECT_EQ(c.netmask, (ipv4_t{255, 255, 255, 128}));
    EXPECT_EQ(c.gateway, (ipv4_t{192, 0, 2, 126}));
  }
}

TEST(McCamera, ModifyTakesOnlyAddressesItCanRead) {
  const struct {
    const char* name;
    std::string ip, netmask, gateway;
    bool taken;
    ipv4_t want_ip, want_gateway;
  } rows[] = {
      {"plain", "192.0.2.77", "255.255.255.0", "192.0.2.1", true, {192, 0, 2, 77}, {192, 0, 2, 1}},
      {"blanks_around", " 192.0.2.78\t", " 255.255.255.0 ", "", true, {192, 0, 2, 78}, {}},
      {"empty_gateway_is_none", "192.0.2.79", "255.255.255.0", "", true, {192, 0, 2, 79}, {}},
      {"ip_octet_too_big", "192.0.2.300", "255.255.255.0", "", false, {}, {}},
      {"ip_empty", "", "255.255.255.0", "192.0.2.1", false, {}, {}},
      {"ip_with_percent", "192.0.2.7%d", "255.255.255.0", "", false, {}, {}},
      {"netmask_empty", "192.0.2.80", "", "", false, {}, {}},
      {"gateway_text", "192.0.2.81", "255.255.255.0", "router", false, {}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim_camera_t c = camera();
    mc_reaction_t r = react_to_mc_datagram(
        c, datagram(modify_request("02:00:01:00:00:AB", row.ip, row.netmask, row.gateway)));
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.ip_changed, row.taken);
    std::string err = row.taken ? "noerror" : "invalid param";
    EXPECT_EQ(text_of(r.answers[0].payload),
              R"({"cmd":"modifyDevIpRsp","mac":"02:00:01:00:00:AB","errMsg":")" + err + "\"}");
    if (row.taken) {
      EXPECT_EQ(c.ip, row.want_ip);
      EXPECT_EQ(c.gateway, row.want_gateway);
    } else {
      EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 10})) << "a refused change leaves the camera as it was";
      EXPECT_EQ(c.gateway, (ipv4_t{192, 0, 2, 1}));
    }
  }
}

TEST(McCamera, ModifyErrorKeepsTheOldAddressesAndSaysSo) {
  sim_camera_t c = camera();
  c.mc_modify_err = "device busy";
  mc_reaction_t r = react_to_mc_datagram(c, datagram(modify_request("02:00:01:00:00:ab")));
  ASSERT_EQ(r.answers.size(), 1u);
  EXPECT_EQ(text_of(r.answers[0].payload),
            R"({"cmd":"modifyDevIpRsp","mac":"02:00:01:00:00:AB","errMsg":"device busy"})");
  EXPECT_FALSE(r.ip_changed);
  EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 10}));

  sim_camera_t deaf = camera();
  deaf.mc_modify = false;
  r = react_to_mc_datagram(deaf, datagram(modify_request("02:00:01:00:00:AB")));
  EXPECT_TRUE(r.answers.empty());
  EXPECT_FALSE(r.ip_changed);
  EXPECT_EQ(deaf.ip, (ipv4_t{192, 0, 2, 10})) << "a camera that ignores the request keeps its IP";
}

TEST(McCamera, ModifyAnswerListOverridesEachAnswerOnly) {
  sim_camera_t c = camera();
  mc_answer_t lying =
      with_members({{"errMsg", "\"flash error\""}, {"mac", "\"02-00-01-00-00-ab\""}});
  lying.delay_ms = 40;
  lying.to = mc_dest_t::group;
  mc_answer_t raw_text;
  raw_text.text = "ok";
  c.mc_modify_answers = {lying, raw_text, {}};
  mc_reaction_t r = react_to_mc_datagram(c, datagram(modify_request("02:00:01:00:00:AB")));
  ASSERT_EQ(r.answers.size(), 3u);
  EXPECT_EQ(text_of(r.answers[0].payload),
            R"({"cmd":"modifyDevIpRsp","mac":"02-00-01-00-00-ab","errMsg":"flash error"})");
  EXPECT_EQ(r.answers[0].delay_ms, 40);
  EXPECT_EQ(r.answers[0].to, mc_dest_t::group);
  EXPECT_EQ(r.answers[1].payload, datagram("ok"));
  EXPECT_EQ(text_of(r.answers[2].payload),
            R"({"cmd":"modifyDevIpRsp","mac":"02:00:01:00:00:AB","errMsg":"noerror"})");
  EXPECT_TRUE(r.ip_changed) << "what the answers say does not decide the change";
}

TEST(McCamera, SearchAfterAnAcceptedModifyShowsTheNewAddresses) {
  sim_camera_t c = camera();
  ASSERT_TRUE(react_to_mc_datagram(c, datagram(modify_request("02:00:01:00:00:AB", "203.0.113.9",
                                                              "255.255.0.0", "203.0.113.1")))
                  .ip_changed);
  mc_reaction_t r = react_to_mc_datagram(c, datagram(kSearch));
  ASSERT_EQ(r.answers.size(), 1u);
  EXPECT_EQ(text_of(r.answers[0].payload),
            R"({"cmd":"devSearchRsp","type":1,"mac":"02:00:01:00:00:AB","ip":"203.0.113.9",)"
            R"("netmask":"255.255.0.0","gateway":"203.0.113.1","version":"V2.4.1","model":"BOX"})");
}

TEST(McCamera, EventLineNamesThePeerAndCarriesTheWholePayload) {
  bytes_t payload = datagram(kSearch);
  std::string line = format_mc_event(1234, 7, {0x02, 0, 1, 0, 0, 0xAB}, "mc", "src",
                                     format_endpoint({192, 0, 2, 1}, 9982), payload, 40);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> obj(cJSON_Parse(line.c_str()), &cJSON_Delete);
  ASSERT_TRUE(obj);
  auto str = [&](const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj.get(), key);
    return cJSON_IsString(item) ? std::string(item->valuestring) : std::string("<none>");
  };
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(obj.get(), "t_ms")->valuedouble, 1234);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(obj.get(), "camera")->valuedouble, 7);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(obj.get(), "len")->valuedouble, 40)
      << "the length received, even past what was kept";
  EXPECT_EQ(str("mac"), "02:00:01:00:00:ab");
  EXPECT_EQ(str("channel"), "mc");
  EXPECT_EQ(str("src"), "192.0.2.1:9982");
  EXPECT_EQ(str("dst"), "<none>");
  EXPECT_EQ(str("hex"), hex_text(payload));
  EXPECT_EQ(str("hex").substr(0, 16), "bababa5a1d000000");
}

}  // namespace
}  // namespace mardo::sim
