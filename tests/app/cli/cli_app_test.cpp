// mardo-cli's shared command line: help, version, the exit convention and the row choice.
#include "app/cli/cli_app.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/verb.h"
#include "core/text.h"

namespace mardo::cli {
namespace {

struct run_t {
  int status = -1;
  std::string out;
  std::string err;
};

run_t run_line(std::vector<std::string> args) {
  args.insert(args.begin(), "mardo-cli");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  run_t r;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  r.status = run(static_cast<int>(args.size()), argv.data());
  r.err = ::testing::internal::GetCapturedStderr();
  r.out = ::testing::internal::GetCapturedStdout();
  return r;
}

TEST(CliApp, HelpAndVersionPrintAndSucceedAndBadLinesGiveTwoWithTheReason) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* out_has;
    const char* err_has;
  } rows[] = {
      {"program_help", {"--help"}, 0, "Exit status: 0 every chosen camera succeeded", ""},
      {"search_help", {"search", "--help"}, 0, "--console", ""},
      {"package_help", {"package", "--help"}, 0, "FILE", ""},
      {"version", {"--version"}, 0, "1.1.1.6311", ""},
      {"no_verb", {}, 2, "", "subcommand"},
      {"unknown_verb", {"reboot-all"}, 2, "", "reboot-all"},
      {"unknown_option", {"search", "--fast"}, 2, "", "--fast"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const run_t r = run_line(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_NE(r.out.find(row.out_has), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
  }
}

void add_rows(device_list& list, const std::vector<const char*>& macs) {
  for (const char* mac : macs) {
    const int row = list.add_row();
    list.set_text(row, kColMac, wide_string(mac));
  }
}

TEST(RowChoice, MacMatchesColumnOneInEitherCaseAndSeparator) {
  // Uppercase "-" from the raw search and hand entry; as the camera sent it from multicast.
  device_list list;
  add_rows(list, {"02-AB-00-00-00-01", "02-ab-00-00-00-02", "02-AB-00-00-00-03"});
  const struct {
    const char* name;
    row_choice_t choice;
    std::vector<int> rows;
    std::vector<std::string> missing;
  } cases[] = {
      {"all", {.all = true, .macs = {}}, {0, 1, 2}, {}},
      {"colon_lowercase", {.macs = {"02:ab:00:00:00:01"}}, {0}, {}},
      {"dash_uppercase_of_lowercase_row", {.macs = {"02-AB-00-00-00-02"}}, {1}, {}},
      {"list_order_not_option_order",
       {.macs = {"02:AB:00:00:00:03", "02-ab-00-00-00-01"}},
       {0, 2},
       {}},
      {"unknown_is_named",
       {.macs = {"02-AB-00-00-00-09", "02-AB-00-00-00-01"}},
       {0},
       {"02-AB-00-00-00-09"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> missing;
    EXPECT_EQ(chosen_rows(list, c.choice, &missing), c.rows);
    EXPECT_EQ(missing, c.missing);
  }
  EXPECT_EQ(canonical_mac("02:ab:00:00:00:0g"), "");
  EXPECT_EQ(canonical_mac("2-ab-0-0-0-1"), "");
}

// The options the coming verbs share: exactly one of --all and --mac, and only real MACs.
TEST(RowChoice, OptionsNeedOneOfAllOrMacAndRefuseWhatIsNoMac) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool parses;
  } cases[] = {
      {"all", {"--all"}, true},
      {"macs", {"--mac", "02:ab:00:00:00:01", "--mac", "02-AB-00-00-00-02"}, true},
      {"neither", {}, false},
      {"both", {"--all", "--mac", "02:ab:00:00:00:01"}, false},
      {"not_a_mac", {"--mac", "02:ab:00:00:01"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CLI::App verb("verb");
    row_choice_t choice;
    add_row_choice(verb, choice);
    std::vector<std::string> args(c.args.rbegin(), c.args.rend());
    bool parsed = true;
    try {
      verb.parse(args);
    } catch (const CLI::ParseError&) {
      parsed = false;
    }
    EXPECT_EQ(parsed, c.parses);
  }
}

}  // namespace
}  // namespace mardo::cli
