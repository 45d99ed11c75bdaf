// The configuration jobs' texts, frames and row edits, without a network.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "config/batch_ip.h"
#include "config/ip_change.h"
#include "config/mac_export.h"
#include "config/maintenance.h"
#include "config/manual_entry.h"
#include "core/system.h"
#include "core/text.h"
#include "temp_dir.h"

namespace mardo {
namespace {

std::vector<std::string> column(const device_list& list, int c) {
  std::vector<std::string> out;
  for (int r = 0; r < list.count(); ++r) out.push_back(ansi_string(list.text(r, c)));
  return out;
}

class scripted_prompts : public config_prompts {
 public:
  bool ask(std::string_view text) override {
    asked.emplace_back(text);
    return yes;
  }
  bool edit_ip(ip_fields_t&) override { return false; }
  bool edit_batch_ip(batch_ip_fields_t&) override { return false; }
  bool edit_manual_entry(manual_entry_fields_t& f) override {
    f = entry;
    return true;
  }
  void notify(std::string_view, std::string_view) override {}
  bool yes = true;
  std::vector<std::string> asked;
  manual_entry_fields_t entry;
};

TEST(IpChange, RequestTextKeepsTheTypedTextsAndOnlyTurnsDashesIntoColons) {
  EXPECT_EQ(modify_ip_request("02-ab-00-00-0a-03", "10.0.0.%d\\", "255.255.255.0", ""),
            "{\n\"cmd\":\"modifyDevIp\",\n\"mac\":\"02:ab:00:00:0a:03\",\n\"ip\":\"10.0.0.%d\\\",\n"
            "\"netmask\":\"255.255.255.0\",\n\"gateway\":\"\"\n}");
}

TEST(IpChange, SetFrameCarriesParsedAddressesAndNonAddressesAsAllOnes) {
  const auto c = ip_set_command(dotted_value("192.0.2.7"), dotted_value("255.255.255.0"),
                                dotted_value(""));
  EXPECT_EQ(std::vector<std::uint8_t>(c.begin(), c.end()),
            (std::vector<std::uint8_t>{0xFF, 0xF2, 192, 0, 2, 7, 255, 255, 255, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  const ip_fields_t shown = initial_ip_fields("192.0.2.7", std::nullopt, std::nullopt);
  EXPECT_EQ(shown.netmask, "255.255.255.0");
  EXPECT_EQ(shown.gateway, "");
  EXPECT_EQ(initial_ip_fields("x", dotted_value("bad"), dotted_value("192.0.2.1")).netmask,
            "255.255.255.255");
}

TEST(IpChange, AddressTextsAreFourDecimalOctetsAndNetmasksHaveContiguousOnes) {
  using enum address_field_t;
  struct row_t {
    const char* name;
    const char* text;
    address_field_t field;
    bool ok;
  };
  const row_t rows[] = {
      {"plain", "192.0.2.3", address, true},
      {"no address", "0.0.0.0", address, false},
      {"broadcast", "255.255.255.255", address, false},
      {"letter O for zero", "192.0.2.3OO", address, false},
      {"three octets", "192.0.2", address, false},
      {"five octets", "192.0.2.3.4", address, false},
      {"trailing dot", "192.0.2.3.", address, false},
      {"octet above 255", "192.0.2.256", address, false},
      {"four digits", "192.0.2.0003", address, false},
      {"leading zero (octal to inet_addr)", "192.0.2.010", address, false},
      {"leading blank", " 192.0.2.3", address, false},
      {"sign", "192.0.+2.3", address, false},
      {"hexadecimal", "0xc0.0.2.3", address, false},
      {"empty address", "", address, false},
      {"contiguous netmask", "255.255.255.0", netmask, true},
      {"all-ones netmask", "255.255.255.255", netmask, true},
      {"netmask with a hole", "255.0.255.0", netmask, false},
      {"netmask of low ones", "0.0.0.255", netmask, false},
      {"empty netmask", "", netmask, false},
      {"netmask without ones", "0.0.0.0", netmask, false},
      {"gateway", "192.0.2.1", gateway, true},
      {"empty gateway (none)", "", gateway, true},
      {"gateway with a letter", "192.0.2.l", gateway, false},
  };
  for (const row_t& r : rows)
    EXPECT_EQ(address_text_fault(r.text, r.field).empty(), r.ok)
        << r.name << ": " << address_text_fault(r.text, r.field);
}

TEST(IpChange, QueryAnswerTakesAddressesOnlyWhenPayloadAndLengthFieldAreTwelve) {
  const std::vector<std::uint8_t> twelve = {192, 0, 2, 7, 255, 255, 254, 0, 192, 0, 2, 254};
  struct row_t {
    const char* name;
    std::size_t size;
    std::uint16_t length_field;
    bool taken;
  };
  for (const row_t& r : {row_t{"Twelve", 12, 12, true}, row_t{"LongerLengthField", 12, 40, false},
                         row_t{"ShortPayload", 11, 12, false}, row_t{"Empty", 0, 0, false}}) {
    const auto a = ip_query_answer(std::span(twelve).first(r.size), r.length_field);
    ASSERT_EQ(a.has_value(), r.taken) << r.name;
    if (a) {
      EXPECT_EQ(dotted_text(a->netmask), "255.255.254.0");
      EXPECT_EQ(dotted_text(a->gateway), "192.0.2.254");
    }
  }
}

TEST(BatchIp, RunRollsOverTheLastOctetWithoutCarry) {
  std::uint32_t a = dotted_value("10.0.0.254");
  std::vector<std::string> seen;
  for (int i = 0; i < 4; ++i, a = next_run_address(a)) seen.push_back(dotted_text(a));
  EXPECT_EQ(seen, (std::vector<std::string>{"10.0.0.254", "10.0.0.255", "10.0.0.0", "10.0.0.1"}));
}

// Raw rows on an adapter that cannot send: the run's addresses are still drawn and used up.
TEST(BatchIp, TickedRowsDrawInListOrderAndSameIpGivesEveryOneTheStart) {
  for (const bool same : {false, true}) {
    device_state state;
    dev_info_t adapter{};
    state.adapters.assign({adapter});
    for (int r = 0; r < 4; ++r) {
      state.list.add_row();
      state.list.set_text(r, kColMac, u"02-00-00-00-00-0" + std::u16string(1, static_cast<char16_t>(u'1' + r)));
      state.list.set_checked(r, r != 1);
    }
    std::vector<std::string> given;
    run_batch_ip(state, ticked_cameras(state), {"192.0.2.100", "255.255.255.0", "", same},
                 [&](const batch_ip_step_t& step) { given.push_back(std::to_string(step.camera->row) + " " + dotted_text(step.address)); });
    EXPECT_EQ(given, same ? (std::vector<std::string>{"0 192.0.2.100", "2 192.0.2.100", "3 192.0.2.100"})
                          : (std::vector<std::string>{"0 192.0.2.100", "2 192.0.2.101", "3 192.0.2.102"}));
  }
}

TEST(Maintenance, ClockIsTheUtcTimeSoMorningInUtcPlus8IsTheEveningBefore) {
  // 2026-12-08 07:30:05.250 at UTC+8 is 2026-12-07 23:30:05.250 UTC, a Monday.
  const auto t = std::chrono::system_clock::from_time_t(1796686205) + std::chrono::milliseconds(250);
  const auto c = clock_command(t);
  std::vector<int> fields;
  for (int i = 0; i < 8; ++i) fields.push_back(c[2 + 2 * i] | c[3 + 2 * i] << 8);
  EXPECT_EQ(c[0], 0xFF);
  EXPECT_EQ(c[1], 0xF3);
  EXPECT_EQ(fields, (std::vector<int>{2026, 12, 1, 7, 23, 30, 5, 250}));
}

TEST(Maintenance, NothingTickedAsksNothing) {
  device_state state;
  state.list.add_row();
  scripted_prompts prompts;
  int count = 0;
  EXPECT_EQ(reboot_checked(state, prompts, &count), 0);
  EXPECT_EQ(delete_logs_checked(state, prompts), 0);
  EXPECT_TRUE(prompts.asked.empty());
  EXPECT_EQ(count, 0);
  state.list.set_checked(0, true);
  prompts.yes = false;
  reboot_checked(state, prompts, &count);
  EXPECT_EQ(prompts.asked, (std::vector<std::string>{"是否确认重启？"}));
  EXPECT_EQ(count, 0);
}

TEST(ManualEntry, MacsReadAsScanfHexInTwoPartsAndCount) {
  struct row_t {
    const char* mac;
    int count;
    std::vector<std::string> macs;
  };
  for (const row_t& r : std::vector<row_t>{
           {"0011223344FE", 3, {"00-11-22-33-44-FE", "00-11-22-33-44-FF", "00-11-22-33-45-00"}},
           {"FFFFFFFFFFFF", 2, {"FF-FF-FF-FF-FF-FF", "00-00-00-00-00-00"}},
           {"00aabbccddee", 1, {"00-AA-BB-CC-DD-EE"}},
           {"00-11-22-33-44-55", 1, {"00-00-00-00-FF-CD"}},
           {"00-00-00-00-00-00", 1, {"00-00-00-00-00-00"}},
           {"0011223344FE", 0, {}},
           // More digits than 64 bits hold saturate, as strtoul does.
           {"001122334455667788990011223344", 1, {"00-11-22-33-FF-FF"}}}) {
    device_list list;
    add_manual_rows(list, {r.mac, "192.0.2.5", r.count});
    EXPECT_EQ(column(list, kColMac), r.macs) << r.mac;
  }
}

TEST(ManualEntry, IdsFollowTheListAndDeletesRenumberNothing) {
  device_list list;
  for (int i = 0; i < 7; ++i) list.add_row();
  scripted_prompts prompts;
  prompts.entry = {"0011223344FE", "192.0.2.9", 2};
  add_manual_devices(list, prompts);
  EXPECT_EQ(column(list, kColId).back(), "9");
  EXPECT_EQ(column(list, kColIp).back(), "192.0.2.9");
  list.set_checked(1, true);
  list.set_checked(3, true);
  delete_checked_rows(list, prompts);
  EXPECT_EQ(column(list, kColId), (std::vector<std::string>{"1", "3", "5", "6", "7", "8", "9"}));
  EXPECT_EQ(prompts.asked, (std::vector<std::string>{"是否确认删除？"}));
}

TEST(ManualEntry, CountReadsAsPercentD) {
  EXPECT_EQ(read_count_like_scanf("12ab"), 12);
  EXPECT_EQ(read_count_like_scanf("  -3"), -3);
  EXPECT_EQ(read_count_like_scanf(""), std::nullopt);
  EXPECT_EQ(read_count_like_scanf("x1"), std::nullopt);
}

TEST(MacExport, ThreeRowsAreFiftySevenBytesAndAFolderThatCannotTakeItIsReported) {
  device_list list;
  for (const char16_t* mac : {u"02-00-00-00-00-01", u"02-00-00-00-00-02", u"02-00-00-00-00-03"}) {
    const int r = list.add_row();
    list.set_text(r, kColMac, mac);
    list.set_checked(r, true);
  }
  list.add_row();  // not ticked
  const std::string folder = test::make_temp_dir("mardo-export-");
  ASSERT_FALSE(folder.empty());
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  const export_result_t done = export_macs(list, folder, t);
  EXPECT_EQ(done.path, folder + kPathSeparator + "20261207090503.txt");
  ASSERT_TRUE(done.wrote);
  std::string bytes(256, '\0');
  std::FILE* f = std::fopen(done.path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
  EXPECT_EQ(bytes.size(), 57u);
  EXPECT_EQ(bytes.substr(0, 19), "02-00-00-00-00-01\r\n");
  const export_result_t failed = export_macs(list, folder + "/missing", t);
  EXPECT_TRUE(failed.failed);
  std::remove(done.path.c_str());
  rmdir(folder.c_str());
}

}  // namespace
}  // namespace mardo
