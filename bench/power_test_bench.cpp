// 64 simulated cameras streaming 2 Mbit/s each into one power-off test for 60 s, with no
// power cut. Targets: no false break, and the tool's CPU a small fraction of one core.
//
// Reported: the tool's CPU time over the test (user + system, this process: the probes run
// here, camsim in its own), its share of one core, the peak resident memory above what the
// process held before, the connections and breaks counted, and what camsim sent and skipped
// (frames it could not queue because the tool did not take them), and how long the stop took.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "lab/lab.h"
#include "net/raw_frame.h"
#include "process_memory.h"
#include "testing/power_test.h"

namespace {

using namespace mardo;

constexpr int kCameras = 64;
constexpr int kSeconds = 60;

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// What camsim sent and skipped on every connection, from its "rtsp-closed" lines.
struct stream_totals {
  double nals = 0, dropped_frames = 0;
};

stream_totals closed_totals(const std::string& events_path) {
  std::ifstream in(events_path);
  stream_totals t;
  const auto member = [](const std::string& line, const char* name) {
    const std::size_t at = line.find(name);
    return at == std::string::npos ? 0.0 : std::atof(line.c_str() + at + std::strlen(name));
  };
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"channel\":\"rtsp-closed\"") == std::string::npos) continue;
    t.nals += member(line, "\"nals\":");
    t.dropped_frames += member(line, "\"dropped_frames\":");
  }
  return t;
}

void BM_PowerTestStreaming(benchmark::State& state) {
  lab::lab_config_t cfg;
  cfg.cameras.resize(kCameras);
  for (auto& c : cfg.cameras) c.extra_json = R"("rtsp_kbps":2000)";
  lab::Lab lab(cfg);
  if (!lab.ok()) {
    state.SkipWithError(("lab unavailable: " + lab.why_not()).c_str());
    return;
  }
  double cpu_s = 0, peak_mib = 0, stop_s = 0;
  int connects = 0, breaks = 0;
  for (auto _ : state) {
    device_state devices;
    for (int n = 0; n < kCameras; ++n) {
      const int row = devices.list.add_row();
      devices.list.set_text(row, kColMac, wide_string(format_mac_upper(lab.camera_mac(n).data())));
      devices.list.set_text(row, kColIp, wide_string(lab.camera(n).ip));
      devices.list.set_checked(row, true);
    }
    bench::reset_peak_rss();
    const long before = bench::status_kib("VmRSS:");
    const double cpu0 = cpu_seconds();
    std::vector<power_test_result> results;
    {
      power_test test(devices);
      std::int32_t reboot_count = 0;
      {
        lab::netns_scope in(lab.ws_netns());
        test.start(&reboot_count);
      }
      std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
      const auto t0 = std::chrono::steady_clock::now();
      results = test.stop();
      stop_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    cpu_s = cpu_seconds() - cpu0;
    peak_mib = static_cast<double>(bench::status_kib("VmHWM:") - before) / 1024.0;
    for (const auto& r : results) {
      connects += r.connects;
      breaks += r.drops;
    }
  }
  // camsim logs a connection's totals when it closes; give the teardowns a moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const stream_totals sent = closed_totals(lab.events_path());
  state.counters["cameras"] = kCameras;
  state.counters["seconds"] = kSeconds;
  state.counters["cpu_s"] = cpu_s;
  state.counters["cpu_share_of_core"] = cpu_s / kSeconds;
  state.counters["peak_mib"] = peak_mib;
  state.counters["stop_s"] = stop_s;  // every probe ended and every stop command sent
  state.counters["connections"] = connects;
  state.counters["false_breaks"] = breaks;
  state.counters["nals_sent"] = sent.nals;
  state.counters["frames_skipped_by_camsim"] = sent.dropped_frames;
}

BENCHMARK(BM_PowerTestStreaming)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
