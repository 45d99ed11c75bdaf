// The command port and the upgrade service against camsim's cameras: what the tool
// concludes from each kind of camera, and what the camera saw on the wire.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "lab/lab.h"
#include "net/command_port.h"
#include "net/service_port.h"

namespace mardo {
namespace {

std::uint32_t le32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  if (b.size() < at + 4) return 0xFFFFFFFF;
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

// A getDevParam reply of 1500 bytes, models set, padded by a member the tool ignores.
std::string long_reply() {
  std::string head = R"({"cmd":"getDevParamRsp","errMsg":"noerror","interModel":"IPC","externModel":"IPC","pad":")";
  return head + std::string(1500 - head.size() - 2, 'x') + "\"}";
}

// As a JSON string literal; the texts here carry no control characters.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

struct ServiceRow {
  const char* name;
  std::string behaviour;  // camsim members of the camera
  int result;
  bool older_handshake;  // the four header fragments came on a second connection
};

// Each row's camera in one lab; the rows run one after another against their own camera.
TEST(ServiceLab, QueryDeviceParamTellsServiceCamerasAndTriesTheOlderHandshake) {
  const std::vector<ServiceRow> rows = {
      {"answers", "", 1, false},
      {"reply_in_two_fragments",
       R"("svc_param_text":)" + quoted(long_reply()) + R"(,"svc_param_fragment":1000)", 1, false},
      // The error word fails the exchange, but the text that came is still read.
      {"error_word_with_good_text", R"("svc_param_error":7)", 1, false},
      {"errmsg_not_noerror", R"("svc_param_err":"busy")", 1, true},
      {"empty_extern_model", R"("extern_model":"")", 1, true},
      {"older_handshake_without_model", R"("extern_model":"","svc_header_text":"{\"InterModel\":\"\"}")", 0, true},
      {"silent_on_getdevparam", R"("svc_param":"silence")", 1, true},
      {"hangs_up_on_getdevparam", R"("svc_param":"close")", 1, true},
      {"no_service", R"("svc":false)", 0, false},
  };
  lab::lab_config_t cfg;
  for (const auto& row : rows) cfg.cameras.push_back({.extra_json = row.behaviour});
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const std::array<std::uint8_t, kDeviceParamBlockSize> zero{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const int cam = static_cast<int>(i);
    int result = -1;
    {
      lab::netns_scope in(lab.ws_netns());
      result = query_device_param(lab.camera(cam).ip.c_str(), kServicePort, zero);
    }
    EXPECT_EQ(result, rows[i].result);
    std::string json_peer;
    std::vector<std::uint32_t> positions;
    std::string header_peer;
    for (const auto& e : lab.events()) {
      if (e.camera != cam || e.channel != "svc") continue;
      const std::uint32_t command = le32_at(e.bytes, 8);
      if (command == kSvcJsonCommand) json_peer = e.src;
      if (command != kSvcUpgradeHeader) continue;
      EXPECT_EQ(e.len, 1056u);
      EXPECT_EQ(le32_at(e.bytes, 16), positions.size());  // index
      positions.push_back(le32_at(e.bytes, 12));
      header_peer = e.src;
    }
    if (rows[i].older_handshake) {
      EXPECT_EQ(positions, (std::vector<std::uint32_t>{2, 4, 4, 1}));
      EXPECT_NE(header_peer, json_peer) << "the older handshake needs a connection of its own";
    } else {
      EXPECT_TRUE(positions.empty());
    }
  }
}

TEST(CommandPortLab, ModelsGoOutWithTheirPackageAndComeBack) {
  lab::lab_config_t cfg;
  cfg.cameras = {{.extra_json = R"("product_model":"OLD-P","hardware_model":"OLD-H")"},
                 {.extra_json = R"("cmd_accept_models":false,"product_model":"KEEP")"},
                 {.extra_json = R"("cmd":false)"}};
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const std::string package = ::testing::TempDir() + "params_" + lab.lab_id() + ".bin";
  std::vector<std::uint8_t> file(3000);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::ofstream(package, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  std::array<std::uint8_t, kFileCommandBlockSize> block{};
  // A product model that fills its field has no NUL: the camera reads all 128 bytes.
  std::memset(block.data(), 'P', 128);
  std::memcpy(block.data() + 128, "HW-2", 4);

  struct result_t {
    std::uint32_t prepare = 0, set = 0;
    int query = 0;
    std::array<std::uint8_t, 256> models{};
  };
  std::vector<result_t> results(3);
  {
    lab::netns_scope in(lab.ws_netns());
    for (int cam = 0; cam < 3; ++cam) {
      result_t& r = results[static_cast<std::size_t>(cam)];
      const char* ip = lab.camera(cam).ip.c_str();
      r.prepare = send_command_for_status(ip, 1000, {}, kCmdPrepareTransfer, kCmdPrepareTransferReply);
      r.set = send_file_command(ip, block, package.c_str(), 1000);
      r.query = send_command_with_reply(ip, 1000, {}, kCmdQueryProductModel,
                                        kCmdQueryProductModelReply, r.models);
    }
  }
  std::remove(package.c_str());
  auto field = [](const result_t& r, std::size_t at) {
    const char* p = reinterpret_cast<const char*>(r.models.data() + at);
    return std::string(p, strnlen(p, 128));
  };
  EXPECT_EQ(results[0].prepare, 1u);
  EXPECT_EQ(results[0].set, 1u);
  EXPECT_EQ(results[0].query, 256);
  EXPECT_EQ(field(results[0], 0), std::string(128, 'P'));
  EXPECT_EQ(field(results[0], 128), "HW-2");
  EXPECT_EQ(results[1].set, 0u) << "a refusal is status 0";
  EXPECT_EQ(field(results[1], 0), "KEEP");
  EXPECT_EQ(results[2].prepare + results[2].set, 0u);
  EXPECT_EQ(results[2].query, 0);

  // On the wire: 288 + 3000 bytes, and the package whole.
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), file.data(), static_cast<uInt>(file.size()));
  const std::vector<std::uint8_t> crc_be = {static_cast<std::uint8_t>(crc >> 24),
                                            static_cast<std::uint8_t>(crc >> 16),
                                            static_cast<std::uint8_t>(crc >> 8),
                                            static_cast<std::uint8_t>(crc)};
  int set_requests = 0, files = 0;
  for (const auto& e : lab.events()) {
    if (e.camera != 0) continue;
    if (e.channel == "cmd" && le32_at(e.bytes, 4) == kCmdSetProductModel) {
      ++set_requests;
      EXPECT_EQ(e.len, 3288u);
      EXPECT_EQ(le32_at(e.bytes, 0), 3288u);
    }
    if (e.channel == "cmd-file") {
      ++files;
      EXPECT_EQ(e.len, 3000u);
      EXPECT_EQ(e.bytes, crc_be);
    }
  }
  EXPECT_EQ(set_requests, 1);
  EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace mardo
