// mardo-cli from the outside: started in the workstation namespace like a technician's
// script would, its JSON lines read back.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lab/lab.h"

namespace {

std::vector<std::string> run_lines(const std::string& command) {
  std::vector<std::string> lines;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return lines;
  char buf[8192];
  while (std::fgets(buf, sizeof buf, pipe.get())) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TEST(CliLab, SearchPrintsOneJsonObjectPerRow) {
  mardo::lab::lab_config_t cfg;
  cfg.segments = {mardo::lab::segment_t{}, mardo::lab::segment_t{}};
  cfg.cameras.resize(3);
  cfg.cameras[0].mac = "02:AB:00:00:0A:01";
  cfg.cameras[0].ip = "192.0.2.101";
  cfg.cameras[0].version = "V1.SVR_2.0, algo : a, flash : 8M";
  cfg.cameras[0].extra_json = R"("mc_mac":"02:AB:00:00:0A:01")";
  cfg.cameras[1].mac = "02:AB:00:00:0A:02";
  cfg.cameras[1].ip = "192.0.2.100";
  cfg.cameras[1].extra_json = R"("mc_search":false)";
  cfg.cameras[2].segment = 1;
  cfg.cameras[2].mac = "02:AB:00:00:0A:03";
  cfg.cameras[2].ip = "198.51.100.5";
  cfg.cameras[2].extra_json = R"("raw_search":false,"mc_mac":"02:ab:00:00:0a:03")";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const auto lines = run_lines(std::string(MARDO_LAB_SCRIPT) + " exec " + lab.lab_id() + " " +
                               MARDO_CLI + " search --json");
  ASSERT_EQ(lines.size(), 3u);
  const char* expected_ip[] = {"192.0.2.100", "192.0.2.101", "198.51.100.5"};
  const char* expected_mac[] = {"02-AB-00-00-0A-02", "02-AB-00-00-0A-01", "02-ab-00-00-0a-03"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::unique_ptr<cJSON, void (*)(cJSON*)> row(cJSON_Parse(lines[i].c_str()), cJSON_Delete);
    ASSERT_TRUE(row) << lines[i];
    EXPECT_EQ(cJSON_GetObjectItem(row.get(), "row")->valueint, static_cast<int>(i));
    const cJSON* columns = cJSON_GetObjectItem(row.get(), "columns");
    ASSERT_EQ(cJSON_GetArraySize(columns), 11);
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 0)->valuestring, std::to_string(i + 1).c_str());
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 1)->valuestring, expected_mac[i]);
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 2)->valuestring, expected_ip[i]);
    const int adapter = i == 2 ? 1 : 0;
    EXPECT_EQ(cJSON_GetObjectItem(row.get(), "tag")->valueint >> 16, adapter);
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 8)->valuestring, adapter ? "eth1" : "eth0");
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(row.get(), "checked")));
  }
}

TEST(CliLab, ConsoleFlagPrintsTheDiagnosticLines) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.cameras[0].mac = "02:AB:00:00:0A:11";
  cfg.cameras[0].ip = "192.0.2.111";
  cfg.cameras[0].version = "V9";
  // The raw line is written only for a row the raw path makes, so the raw path must win.
  cfg.cameras[0].extra_json = R"("mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const auto lines = run_lines(std::string(MARDO_LAB_SCRIPT) + " exec " + lab.lab_id() + " " +
                               MARDO_CLI + " search --console");
  bool send = false, winpcap = false;
  for (const auto& l : lines) {
    send |=
        l == "[192.0.2.1]Send: iSend=37, acTempBuf={\"cmd\":\"devSearch\", \"type\":1}, error=0";
    winpcap |= l == "[192.0.2.1]winpcap recv: V9 ";
  }
  EXPECT_TRUE(send);
  EXPECT_TRUE(winpcap);
}

}  // namespace
