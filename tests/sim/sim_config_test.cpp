#include "sim_config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace mardo::sim {
namespace {

std::string one_camera(const std::string& members) {
  return R"({"cameras":[{"netns":"t1-c0","mac":"02:00:01:00:00:07","ip":"192.0.2.10")" +
         (members.empty() ? "" : "," + members) + "}]}";
}

TEST(SimConfig, MinimalCameraGetsTheDocumentedDefaults) {
  std::string error;
  auto cfg = parse_sim_config(one_camera(""), &error);
  ASSERT_TRUE(cfg) << error;
  ASSERT_EQ(cfg->cameras.size(), 1u);
  const sim_camera_t& c = cfg->cameras[0];
  EXPECT_EQ(c.netns, "t1-c0");
  EXPECT_EQ(c.ifname, "eth0");
  EXPECT_EQ(c.mac, (mac_t{0x02, 0x00, 0x01, 0x00, 0x00, 0x07}));
  EXPECT_EQ(c.ip, (ipv4_t{192, 0, 2, 10}));
  EXPECT_EQ(c.netmask, (ipv4_t{255, 255, 255, 0}));
  EXPECT_EQ(c.gateway, (ipv4_t{0, 0, 0, 0}));
  EXPECT_EQ(c.version, "V1.0.0");
  EXPECT_EQ(c.model, "IPC");
  EXPECT_TRUE(c.raw_search);
  EXPECT_EQ(c.text44, "");
  EXPECT_EQ(c.search_answer_len, 0);
  EXPECT_TRUE(c.ip_query);
  EXPECT_EQ(c.ip_query_len_field, 12);
  EXPECT_EQ(c.reply_delay_ms, 0);
  EXPECT_TRUE(c.set_ip_moves_interface);
  EXPECT_TRUE(c.mc_search);
  EXPECT_TRUE(c.mc_modify);
  EXPECT_EQ(c.mc_reply_to, mc_dest_t::requester);
  EXPECT_EQ(c.mc_modify_err, "noerror");
  ASSERT_EQ(c.mc_answers.size(), 1u);
  EXPECT_EQ(c.mc_answers[0].delay_ms, 0);
  EXPECT_FALSE(c.mc_answers[0].to || c.mc_answers[0].text || c.mc_answers[0].identify ||
               c.mc_answers[0].data_len);
  EXPECT_TRUE(c.mc_answers[0].members.empty());
  EXPECT_EQ(c.mc_modify_answers.size(), 1u);
  EXPECT_EQ(c.iface_ip, c.ip);
}

TEST(SimConfig, DefaultMulticastMacIsTheMacInUppercase) {
  auto cfg = parse_sim_config(R"({"cameras":[
      {"netns":"a","mac":"02:ab:cd:ef:00:1f","ip":"192.0.2.1"},
      {"netns":"b","mac":"02-AB-CD-EF-00-2F","ip":"192.0.2.2"},
      {"netns":"c","mac":"02:ab:cd:ef:00:3f","ip":"192.0.2.3","mc_mac":"02-ab-cd-ef-00-3f"}]})",
                              nullptr);
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->cameras[0].mc_mac, "02:AB:CD:EF:00:1F");
  EXPECT_EQ(cfg->cameras[1].mc_mac, "02:AB:CD:EF:00:2F") << "\":\" whatever the config used";
  EXPECT_EQ(cfg->cameras[2].mc_mac, "02-ab-cd-ef-00-3f") << "kept exactly as given";
}

TEST(SimConfig, MulticastAnswerListsAreReadElementByElement) {
  std::string error;
  auto cfg = parse_sim_config(
      one_camera(R"("mc_search":false,"mc_modify":false,"mc_reply_to":"group",)"
                 R"("mc_modify_err":"busy","mc_answers":[{},)"
                 R"({"delay_ms":300,"to":"requester","ip":"198.51.100.7","version":5,)"
                 R"("model":null,"text":"raw","identify":4294967295,"data_len":0,"bogus":1}],)"
                 R"("mc_modify_answers":[{"err":"flash","mac":"x","ip":"not read","to":"group"}])"),
      &error);
  ASSERT_TRUE(cfg) << error;
  const sim_camera_t& c = cfg->cameras[0];
  EXPECT_FALSE(c.mc_search);
  EXPECT_FALSE(c.mc_modify);
  EXPECT_EQ(c.mc_reply_to, mc_dest_t::group);
  EXPECT_EQ(c.mc_modify_err, "busy");
  ASSERT_EQ(c.mc_answers.size(), 2u);
  EXPECT_TRUE(c.mc_answers[0].members.empty());
  const mc_answer_t& a = c.mc_answers[1];
  EXPECT_EQ(a.delay_ms, 300);
  EXPECT_EQ(a.to, mc_dest_t::requester);
  using members_t = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(a.members,
            (members_t{{"ip", "\"198.51.100.7\""}, {"version", "5"}, {"model", "null"}}));
  EXPECT_EQ(a.text, "raw");
  EXPECT_EQ(a.identify, 4294967295u);
  EXPECT_EQ(a.data_len, 0u);
  ASSERT_EQ(c.mc_modify_answers.size(), 1u);
  EXPECT_EQ(c.mc_modify_answers[0].members, (members_t{{"mac", "\"x\""}, {"errMsg", "\"flash\""}}))
      << "err is the errMsg member; address members do not belong to this answer";
  EXPECT_EQ(c.mc_modify_answers[0].to, mc_dest_t::group);

  auto empty = parse_sim_config(one_camera(R"("mc_answers":[])"), &error);
  ASSERT_TRUE(empty) << error;
  EXPECT_TRUE(empty->cameras[0].mc_answers.empty());
}

TEST(SimConfig, EveryMemberIsReadAndUnknownOnesAreIgnored) {
  std::string error;
  auto cfg = parse_sim_config(
      one_camera(R"("ifname":"veth3","netmask":"255.255.254.0","gateway":"192.0.2.1",)"
                 R"("version":"V5.2.1 build 7","model":"DOME-9","raw_search":false,)"
                 R"("text44":"ALG:face","search_answer_len":60,"ip_query":false,)"
                 R"("ip_query_len_field":40,"reply_delay_ms":250,)"
                 R"("set_ip_moves_interface":false,)"
                 R"("multicast":{"answer":"devSearchRsp"},"tcp_8117":[1,2,3])"),
      &error);
  ASSERT_TRUE(cfg) << error;
  const sim_camera_t& c = cfg->cameras[0];
  EXPECT_EQ(c.ifname, "veth3");
  EXPECT_EQ(c.netmask, (ipv4_t{255, 255, 254, 0}));
  EXPECT_EQ(c.gateway, (ipv4_t{192, 0, 2, 1}));
  EXPECT_EQ(c.version, "V5.2.1 build 7");
  EXPECT_EQ(c.model, "DOME-9");
  EXPECT_FALSE(c.raw_search);
  EXPECT_EQ(c.text44, "ALG:face");
  EXPECT_EQ(c.search_answer_len, 60);
  EXPECT_FALSE(c.ip_query);
  EXPECT_EQ(c.ip_query_len_field, 40);
  EXPECT_EQ(c.reply_delay_ms, 250);
  EXPECT_FALSE(c.set_ip_moves_interface);
}

TEST(SimConfig, CamerasKeepTheirOrder) {
  std::string error;
  auto cfg = parse_sim_config(R"({"cameras":[
      {"netns":"a","mac":"02:00:00:00:00:01","ip":"192.0.2.1"},
      {"netns":"b","mac":"02-00-00-00-00-02","ip":"192.0.2.2"},
      {"netns":"c","mac":"02:00:00:00:00:0C","ip":"192.0.2.3"}]})",
                              &error);
  ASSERT_TRUE(cfg) << error;
  ASSERT_EQ(cfg->cameras.size(), 3u);
  EXPECT_EQ(cfg->cameras[0].netns, "a");
  EXPECT_EQ(cfg->cameras[1].mac[5], 0x02);  // "-" separators
  EXPECT_EQ(cfg->cameras[2].mac[5], 0x0C);  // uppercase digits
}

TEST(SimConfig, EmptyCameraListIsAValidConfig) {
  auto cfg = parse_sim_config(R"({"cameras":[]})", nullptr);
  ASSERT_TRUE(cfg);
  EXPECT_TRUE(cfg->cameras.empty());
}

struct bad_config_row {
  const char* name;
  std::string json;
  const char* error_prefix;  // what the error must start with
};

TEST(SimConfig, RejectsBadConfigNamingTheMember) {
  const bad_config_row rows[] = {
      {"not_json", "{\"cameras\":", "not valid JSON"},
      {"top_level_array", "[]", "not a JSON object"},
      {"no_cameras", "{}", "cameras:"},
      {"cameras_not_array", R"({"cameras":{}})", "cameras:"},
      {"camera_not_object", R"({"cameras":[7]})", "cameras[0]:"},
      {"netns_missing", R"({"cameras":[{"mac":"02:00:00:00:00:01","ip":"192.0.2.1"}]})",
       "cameras[0].netns: missing"},
      {"mac_missing", R"({"cameras":[{"netns":"a","ip":"192.0.2.1"}]})", "cameras[0].mac: missing"},
      {"ip_missing", R"({"cameras":[{"netns":"a","mac":"02:00:00:00:00:01"}]})",
       "cameras[0].ip: missing"},
      {"mac_mixed_separators",
       R"({"cameras":[{"netns":"a","mac":"02:00-00:00:00:01","ip":"1.2.3.4"}]})", "cameras[0].mac"},
      {"mac_short", R"({"cameras":[{"netns":"a","mac":"2:0:0:0:0:1","ip":"1.2.3.4"}]})",
       "cameras[0].mac"},
      {"mac_not_hex", R"({"cameras":[{"netns":"a","mac":"02:00:00:00:00:0g","ip":"1.2.3.4"}]})",
       "cameras[0].mac"},
      {"ip_three_octets", one_camera("").replace(one_camera("").find("192.0.2.10"), 10, "192.0.2"),
       "cameras[0].ip"},
      {"netmask_octet_too_big", one_camera(R"("netmask":"255.255.256.0")"), "cameras[0].netmask"},
      {"gateway_number", one_camera(R"("gateway":3221225985)"), "cameras[0].gateway"},
      {"raw_search_as_text", one_camera(R"("raw_search":"true")"), "cameras[0].raw_search"},
      {"text44_too_long", one_camera(R"("text44":"0123456789012345678901234567890123X")"),
       "cameras[0].text44"},
      {"answer_len_below_header", one_camera(R"("search_answer_len":13)"),
       "cameras[0].search_answer_len"},
      {"answer_len_above_frame", one_camera(R"("search_answer_len":1515)"),
       "cameras[0].search_answer_len"},
      {"answer_len_fraction", one_camera(R"("search_answer_len":60.5)"),
       "cameras[0].search_answer_len"},
      {"len_field_above_16_bits", one_camera(R"("ip_query_len_field":65536)"),
       "cameras[0].ip_query_len_field"},
      {"negative_delay", one_camera(R"("reply_delay_ms":-1)"), "cameras[0].reply_delay_ms"},
      {"netns_with_slash",
       R"({"cameras":[{"netns":"../x","mac":"02:00:00:00:00:01","ip":"1.2.3.4"}]})",
       "cameras[0].netns"},
      {"ifname_too_long", one_camera(R"("ifname":"abcdefghijklmnop")"), "cameras[0].ifname"},
      {"mc_search_as_number", one_camera(R"("mc_search":1)"), "cameras[0].mc_search"},
      {"mc_mac_not_text", one_camera(R"("mc_mac":2)"), "cameras[0].mc_mac"},
      {"mc_reply_to_unknown", one_camera(R"("mc_reply_to":"both")"), "cameras[0].mc_reply_to"},
      {"mc_modify_err_not_text", one_camera(R"("mc_modify_err":false)"),
       "cameras[0].mc_modify_err"},
      {"mc_answers_object", one_camera(R"("mc_answers":{})"), "cameras[0].mc_answers: not"},
      {"mc_answer_not_object", one_camera(R"("mc_answers":[{},3])"),
       "cameras[0].mc_answers[1]: not an object"},
      {"mc_answer_negative_delay", one_camera(R"("mc_answers":[{"delay_ms":-5}])"),
       "cameras[0].mc_answers[0].delay_ms"},
      {"mc_answer_delay_too_long", one_camera(R"("mc_answers":[{"delay_ms":60001}])"),
       "cameras[0].mc_answers[0].delay_ms"},
      {"mc_answer_to_unknown", one_camera(R"("mc_answers":[{"to":"all"}])"),
       "cameras[0].mc_answers[0].to"},
      {"mc_answer_identify_above_32_bits", one_camera(R"("mc_answers":[{"identify":4294967296}])"),
       "cameras[0].mc_answers[0].identify"},
      {"mc_answer_identify_fraction", one_camera(R"("mc_answers":[{"identify":1.5}])"),
       "cameras[0].mc_answers[0].identify"},
      {"mc_answer_identify_text", one_camera(R"("mc_answers":[{"identify":"0x5ABABABA"}])"),
       "cameras[0].mc_answers[0].identify"},
      {"mc_answer_negative_data_len", one_camera(R"("mc_answers":[{"data_len":-1}])"),
       "cameras[0].mc_answers[0].data_len"},
      {"mc_answer_text_not_text", one_camera(R"("mc_answers":[{"text":{}}])"),
       "cameras[0].mc_answers[0].text"},
      {"mc_answer_text_past_a_datagram",
       one_camera(R"("mc_answers":[{"text":")" + std::string(65500, 't') + "\"}]"),
       "cameras[0].mc_answers[0].text"},
      {"mc_modify_answer_bad_delay", one_camera(R"("mc_modify_answers":[{"delay_ms":"1"}])"),
       "cameras[0].mc_modify_answers[0].delay_ms"},
      {"texts_do_not_fit_a_frame", one_camera(R"("version":")" + std::string(1440, 'v') + "\""),
       "cameras[0].version"},
  };
  for (const bad_config_row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    EXPECT_FALSE(parse_sim_config(row.json, &error));
    EXPECT_EQ(error.rfind(row.error_prefix, 0), 0u) << "error was: " << error;
  }
}

TEST(SimConfig, SecondCameraFaultIsReportedWithItsIndex) {
  std::string error;
  EXPECT_FALSE(parse_sim_config(R"({"cameras":[
      {"netns":"a","mac":"02:00:00:00:00:01","ip":"192.0.2.1"},
      {"netns":"b","mac":"02:00:00:00:00:02","ip":"192.0.2.300"}]})",
                                &error));
  EXPECT_EQ(error.rfind("cameras[1].ip", 0), 0u) << error;
}

TEST(SimConfig, NetmaskPrefixOfContiguousMasksOnly) {
  const struct {
    const char* name;
    ipv4_t mask;
    int prefix;
  } rows[] = {
      {"none", {0, 0, 0, 0}, 0},
      {"slash8", {255, 0, 0, 0}, 8},
      {"slash23", {255, 255, 254, 0}, 23},
      {"slash24", {255, 255, 255, 0}, 24},
      {"host", {255, 255, 255, 255}, 32},
      {"holes", {255, 0, 255, 0}, -1},
      {"low_bits_only", {0, 0, 0, 255}, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(netmask_prefix(row.mask), row.prefix);
  }
}

}  // namespace
}  // namespace mardo::sim
