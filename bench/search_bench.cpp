// A search of 254 simulated cameras on each of two segments, every camera answering over
// raw frames and over multicast: how many rows, and how long from the click until the
// Search button is enabled again. Targets: every camera every time, under 3.2 s. The
// multicast-only run shows that the answer sockets hold the whole burst.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "discovery/headless_search.h"
#include "lab/lab.h"
#include "net/capture.h"

namespace {

constexpr int kPerSegment = 254;

// paths: 0 both, 1 multicast only, 2 raw only.
mardo::lab::lab_config_t two_full_segments(std::int64_t paths) {
  mardo::lab::lab_config_t cfg;
  // The workstation takes an address outside the cameras' /24s, so each segment can hold
  // 254 cameras.
  cfg.segments = {mardo::lab::segment_t{"203.0.113.1", 32},
                  mardo::lab::segment_t{"203.0.113.2", 32}};
  const char* nets[] = {"192.0.2.", "198.51.100."};
  for (int seg = 0; seg < 2; ++seg) {
    for (int n = 1; n <= kPerSegment; ++n) {
      mardo::lab::camera_t c;
      c.segment = seg;
      char mac[18];
      std::snprintf(mac, sizeof mac, "02:CB:00:00:%02X:%02X", seg, n);
      c.mac = mac;
      c.ip = nets[seg] + std::to_string(n);
      c.version = "V2.3.1.SVR_4.0." + std::to_string(n) + ", algo : std, flash : 16M";
      c.model = "IPC-" + std::to_string(seg);
      c.raw_search = paths != 1;
      c.extra_json = std::string("\"mc_mac\":\"") + mac + "\"";
      if (paths == 2) c.extra_json += ",\"mc_search\":false";
      cfg.cameras.push_back(c);
    }
  }
  return cfg;
}

void BM_SearchTwoFullSegments(benchmark::State& state) {
  mardo::lab::Lab lab(two_full_segments(state.range(0)));
  if (!lab.ok() || !mardo::load_capture_library()) {
    state.SkipWithError(("lab unavailable: " + lab.why_not()).c_str());
    return;
  }
  int min_rows = 1 << 30;
  int max_rows = 0;
  double worst_s = 0;
  for (auto _ : state) {
    mardo::device_state s;
    mardo::headless_search_t result;
    {
      mardo::lab::netns_scope in(lab.ws_netns());
      result = mardo::run_headless_search(s);
    }
    const int rows = s.list.count();
    min_rows = std::min(min_rows, rows);
    max_rows = std::max(max_rows, rows);
    const double took = static_cast<double>(result.took_ms) / 1000.0;
    worst_s = std::max(worst_s, took);
    state.SetIterationTime(took);
    s.adapters.clear();
  }
  state.counters["cameras"] = 2 * kPerSegment;
  state.counters["rows_min"] = min_rows;
  state.counters["rows_max"] = max_rows;
  state.counters["worst_s"] = worst_s;
}
BENCHMARK(BM_SearchTwoFullSegments)
    ->ArgName("paths")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
