// `mardo-cli factory-test (--all | --mac MAC ...) [--station MAC --serial PORT --rs485 PORT]`:
// the factory test of the window after a search, every camera at once. Each text is printed
// as it changes, then one verdict line per camera.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/cli/verb.h"
#include "core/text.h"
#include "testing/factory_test.h"

namespace mardo {
namespace {

struct options_t {
  cli::row_choice_t rows;
  std::string station, serial, rs485 = "RS485-1";
};

// The answers the window's question and choosers would get, from the command line.
class cli_factory_prompts final : public factory_prompts {
 public:
  explicit cli_factory_prompts(const options_t& o) : o_(o) {}
  bool ask(std::string_view) override { return true; }
  bool choose_station(const std::vector<camera_t>& cameras, int* index) override {
    *index = -1;
    for (std::size_t i = 0; i < cameras.size(); ++i)
      if (!o_.station.empty() && cli::canonical_mac(cameras[i].mac) == cli::canonical_mac(o_.station))
        *index = static_cast<int>(i);
    return true;
  }
  bool choose_port(std::string* port, std::string* rs485) override {
    if (o_.serial.empty()) return false;
    *port = o_.serial;
    *rs485 = o_.rs485;
    return true;
  }

 private:
  const options_t& o_;
};

// Whether the station is one of the MAC texts (either spelling); no station always is.
bool names_station(const std::string& station, const std::vector<std::string>& macs) {
  for (const std::string& mac : macs)
    if (cli::canonical_mac(mac) == cli::canonical_mac(station)) return true;
  return station.empty();
}

int refuse_station(const std::string& station) {
  std::fprintf(stderr, "mardo-cli factory-test: --station %s names no chosen camera\n", station.c_str());
  return cli::kExitBadInput;
}

int run_factory(const options_t& o) {
  // A station that is not among the cameras tested would leave its items out without a word;
  // with --mac that shows before the search.
  if (!o.rows.all && !names_station(o.station, o.rows.macs)) return refuse_station(o.station);
  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, "factory-test", rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  // Texts as they change; the observer may not read the list, so the row's MAC is taken now.
  std::vector<std::string> macs;
  for (int r = 0; r < state.list.count(); ++r) macs.push_back(ansi_string(state.list.text(r, kColMac)));
  std::vector<std::string> chosen;
  for (int r : rows) chosen.push_back(macs[static_cast<std::size_t>(r)]);
  if (!names_station(o.station, chosen)) {
    state.adapters.clear();
    if (!names_station(o.station, missing)) return refuse_station(o.station);
    // Without it the others would miss the station's items, and a lone one would be taken
    // for the station.
    std::fprintf(stderr, "mardo-cli factory-test: the station was not found; nothing was tested\n");
    cli::print_not_found(missing);
    return cli::kExitSomeFailed;
  }
  std::mutex out;
  const int id = state.list.subscribe([&](const list_change_t& c) {
    if (c.kind != list_change_t::kText || c.column != kColInfo || !c.text || c.text->empty()) return;
    std::lock_guard lock(out);
    std::printf("%-17s %s\n", macs.at(static_cast<std::size_t>(c.row)).c_str(), ansi_string(*c.text).c_str());
    std::fflush(stdout);
  });
  cli_factory_prompts prompts(o);
  factory_station_t station;
  run_factory_test(state, prompts, &station);
  state.list.unsubscribe(id);
  bool all = true;
  for (int r : rows) {
    const std::string verdict = ansi_string(state.list.text(r, kColInfo));
    all = all && verdict == "出厂测试成功！";
    std::printf("%-17s %-15s %s%s\n", macs[static_cast<std::size_t>(r)].c_str(),
                ansi_string(state.list.text(r, kColIp)).c_str(), verdict.c_str(),
                state.list.id(r) == station.camera ? " (station)" : "");
  }
  std::fflush(stdout);
  cli::print_not_found(missing);
  state.adapters.clear();
  return cli::with_missing(all ? cli::kExitOk : cli::kExitSomeFailed, missing);
}

}  // namespace

namespace cli {

void add_factory_verb(CLI::App& app, int& status) {
  auto o = std::make_shared<options_t>();
  CLI::App* verb = app.add_subcommand("factory-test", "Search, then run the factory test on the chosen cameras at once.");
  add_row_choice(*verb, o->rows);
  verb->add_option("--station", o->station, "the camera wired to the audio and the serial port, "
                                            "one of those chosen (with one camera chosen, it is "
                                            "that one)")
      ->type_name("MAC")
      ->check(mac_check());
  verb->add_option("--serial", o->serial, "the workstation's serial port for the RS485 item")->type_name("PORT");
  verb->add_option("--rs485", o->rs485, "the camera's port: RS485-1 (default) or RS485-2")
      ->check(CLI::IsMember({"RS485-1", "RS485-2"}));
  verb->footer("Exit status: 0 every camera passed every item it was tested on; 1 otherwise, "
               "also when a --mac was not found (its line says 未找到; the others are still "
               "tested); 2 bad arguments, also a --station that names no chosen camera.");
  verb->callback([o, &status] { status = run_factory(*o); });
}

}  // namespace cli
}  // namespace mardo
