// Round trip of one raw IP query to a simulated camera and its answer, through the
// adapter's capture handle: shows what immediate mode buys every lock-step exchange.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "lab/lab.h"
#include "net/adapters.h"
#include "net/capture.h"
#include "net/raw_frame.h"

namespace {

void BM_RawIpQueryRoundTrip(benchmark::State& state) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.cameras[0].mac = "02:ab:00:00:09:01";
  cfg.cameras[0].ip = "192.0.2.91";
  mardo::lab::Lab lab(cfg);
  if (!lab.ok() || !mardo::load_capture_library()) {
    state.SkipWithError(("lab unavailable: " + lab.why_not()).c_str());
    return;
  }
  mardo::adapter_table table;
  {
    mardo::lab::netns_scope in(lab.ws_netns());
    mardo::enumerate_adapters(table);
  }
  auto adapter = table.at(0);
  if (!adapter || !(*adapter)->pCapHandle) {
    state.SkipWithError("no capture handle");
    return;
  }
  pcap_t* h = (*adapter)->pCapHandle;
  std::uint8_t query[14] = {0xFF, 0xF8};
  std::uint8_t out[512];
  int failures = 0;
  for (auto _ : state) {
    mardo::send_raw_frame(h, (*adapter)->aucMac, "02-AB-00-00-09-01", query, sizeof query);
    if (mardo::wait_raw_reply(h, (*adapter)->aucMac, "02-AB-00-00-09-01", 0xFFF8, out, 512, 3000) !=
        12) {
      ++failures;
    }
  }
  state.counters["failures"] = failures;
  adapter.reset();
  table.rebuild().clear();
}
BENCHMARK(BM_RawIpQueryRoundTrip)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("median", [](const std::vector<double>& v) {
      std::vector<double> s = v;
      std::sort(s.begin(), s.end());
      return s[s.size() / 2];
    });

}  // namespace

BENCHMARK_MAIN();
