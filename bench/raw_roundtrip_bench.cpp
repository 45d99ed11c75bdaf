// Round trip of one raw IP query to a simulated camera and its answer, through the
// adapter's capture handle: shows what immediate mode buys every lock-step exchange.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "lab/lab.h"
#include "net/adapters.h"
#include "net/capture.h"
#include "net/capture_port.h"
#include "net/raw_frame.h"

namespace {

// mode 0: the adapter's own handle (immediate mode); 1: a buffered handle from
// pcap_open_live with the same parameters, for comparison.
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
  mardo::capture_port_ptr buffered;
  {
    mardo::lab::netns_scope in(lab.ws_netns());
    mardo::enumerate_adapters(table);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (state.range(0) == 1) {
      buffered = mardo::capture_port::adopt(mardo::cap_open_live(
          "eth0", mardo::kCapSnapLen, mardo::kCapPromisc, mardo::kCapTimeoutMs, errbuf));
      if (buffered) buffered->apply_filter("ether proto 0xFFF8");
    }
  }
  {
    auto adapter = table.at(0);
    mardo::capture_port* h =
        state.range(0) == 1 ? buffered.get() : (adapter ? adapter->pCapHandle.get() : nullptr);
    if (!h) {
      state.SkipWithError("no capture handle");
      return;
    }
    std::uint8_t query[14] = {0xFF, 0xF8};
    std::uint8_t out[512];
    int failures = 0;
    for (auto _ : state) {
      mardo::send_raw_frame(h, adapter->aucMac, "02-AB-00-00-09-01", query, sizeof query);
      if (mardo::wait_raw_reply(h, adapter->aucMac, "02-AB-00-00-09-01", 0xFFF8, out, 512, 3000) !=
          12) {
        ++failures;
      }
    }
    state.counters["failures"] = failures;
  }
  buffered.reset();
  table.clear();
}
BENCHMARK(BM_RawIpQueryRoundTrip)
    ->ArgName("buffered")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1000)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
