// 1, 8 and 64 simulated cameras upgraded at once over the upgrade service from one 32 MiB
// package, through the manager as the window runs it. Targets: one camera within 1.3x the
// pacing bound the protocol sets (10 ms per 64 pieces of 1 KiB: 5.12 s for 32 MiB); 64 cameras
// in at most 2x the one-camera time; peak memory about the package plus a little per worker.
//
// Reported per run: the whole run (search not included), the longest image transfer as the
// cameras saw it (first header fragment to the image's last byte), its ratio to the bound, and
// the process's peak resident memory above what it held before the run.
//
// BM_UpgradeFleetFullLink: a large site behind the workstation's one 1 Gbit/s port. 254
// cameras on one segment (two TEST-NET /24s on the workstation's link), one 8 MiB image each,
// the link limited by a token bucket (tc tbf) in the workstation's namespace, so the link and
// not the pacing decides, and every wait of a session runs behind a full queue. Three runs,
// each in a process of its own: what a run frees stays with the process (the thread stacks
// glibc keeps for reuse, the malloc arenas) and would hide the next run's peak.
//   for i in 1 2 3; do build/default/bench/upgrade_bench --benchmark_filter=Fleet; done
// Targets: every camera ends with the success text in every run; the transfer phase (the
// first header fragment of any camera to the last image's last byte) within 1.15x the link
// bound (the service messages of all cameras at 1 Gbit/s: 17.6 s; TCP/IP and Ethernet
// headers add 4.6 % to what the bucket counts); peak memory the package plus at most
// 100 KiB per camera. Also reported: the slowest and the fastest camera's transfer.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "lab/lab.h"
#include "net/raw_frame.h"
#include "process_memory.h"
#include "upgrade/tftp_write.h"
#include "upgrade/upgrade_manager.h"

namespace {

using namespace mardo;

constexpr std::size_t kHeader = 4096;
constexpr std::size_t kPackageSize = 32u << 20;
constexpr std::size_t kImage = kPackageSize - kHeader;
constexpr double kPacingBoundS = (kImage + 1023) / 1024 / 64 * 0.010;

constexpr int kFleetCameras = 254;
constexpr int kFleetFirstSubnet = 127;  // cameras 0..126 in 192.0.2.0/24, the rest in 198.51.100.0/24
constexpr std::size_t kFleetImage = 8u << 20;
constexpr std::uint64_t kFleetRateBps = 1'000'000'000;
// What the protocol puts on the link per camera: the header's four messages and one
// 32-byte header per 1 KiB piece.
constexpr double kFleetWireBytes = (4 + kFleetImage / 1024) * 1056.0;
constexpr double kFleetBoundS = kFleetCameras * kFleetWireBytes * 8 / kFleetRateBps;

class bench_host : public upgrade_host {
 public:
  device_state& state() override { return state_; }
  void post_transfer_progress(const upgrade_task_t&, int) override {}
  std::u16string read_package_path() override { return wide_string(path); }
  void set_upgrade_enabled(bool) override {}
  void message_box(std::string_view, std::string_view) override {}
  std::string path;

 private:
  device_state state_;
};

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A full package with one image, written in pieces so that this process never holds it whole.
bool write_package(const std::string& path, std::size_t image_size) {
  std::vector<std::uint8_t> chunk(1u << 20);
  uLong crc = crc32(0L, Z_NULL, 0);
  auto fill = [&](std::size_t at) {
    for (std::size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = static_cast<std::uint8_t>((at + i) * 2654435761u >> 24);
  };
  for (std::size_t at = 0; at < image_size; at += chunk.size()) {
    fill(at);
    crc = crc32(crc, chunk.data(), static_cast<uInt>(std::min(chunk.size(), image_size - at)));
  }
  std::vector<std::uint8_t> header(kHeader, 0);
  std::memcpy(header.data(), "QZUP", 4);
  put_le32(header.data() + 8, 7);  // no header checksum: the images' are what is measured
  put_le32(header.data() + 272, 1);
  put_le32(header.data() + 280, 0);
  put_le32(header.data() + 284, static_cast<std::uint32_t>(image_size));
  put_le32(header.data() + 288, static_cast<std::uint32_t>(crc));
  std::memcpy(header.data() + 296, "bench.bin", 9);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(header.data()), kHeader);
  for (std::size_t at = 0; at < image_size; at += chunk.size()) {
    fill(at);
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(std::min(chunk.size(), image_size - at)));
  }
  return static_cast<bool>(out);
}

struct run_figures_t {
  int ok = 0;
  double run_s = 0;
  double peak_mib = 0;  // VmHWM above the resident set before the run
};

// One upgrade run over every camera of the lab from the package at `path`, as the window
// starts it; a camera without the success text is named on stderr.
run_figures_t upgrade_every_camera(const lab::Lab& lab, int cameras, const std::string& path) {
  bench_host host;
  host.path = path;
  for (int n = 0; n < cameras; ++n) {
    device_list& list = host.state().list;
    const int row = list.add_row();
    list.set_text(row, kColMac, wide_string(format_mac_upper(lab.camera_mac(n).data())));
    list.set_text(row, kColIp, wide_string(lab.camera(n).ip));
    list.set_checked(row, true);
  }
  run_figures_t f;
  bench::reset_peak_rss();
  const long before = bench::status_kib("VmRSS:");
  const auto t0 = std::chrono::steady_clock::now();
  {
    lab::netns_scope in(lab.ws_netns());
    run_upgrade(host);
  }
  f.run_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  f.peak_mib = static_cast<double>(bench::status_kib("VmHWM:") - before) / 1024.0;
  for (int n = 0; n < cameras; ++n) {
    const std::string text = ansi_string(host.state().list.text(n, kColInfo));
    if (text == kTextUpgradeDone)
      ++f.ok;
    else
      std::fprintf(stderr, "camera %d (%s): %s\n", n, lab.camera(n).ip.c_str(), text.c_str());
  }
  return f;
}

// An image's transfer as a camera saw it: its first package header fragment, and the last
// byte of an intact image (camsim's "svc-image" line).
struct transfer_t {
  std::uint64_t first_ms = 0;
  std::uint64_t image_ms = 0;
  bool intact = false;
  double seconds() const { return static_cast<double>(image_ms - first_ms) / 1000.0; }
};

std::map<int, transfer_t> transfers(const std::vector<lab::sim_event_t>& events) {
  constexpr std::uint32_t kPackageHeaderCommand = 10001;
  std::map<int, transfer_t> out;
  for (const auto& e : events) {
    const bool header = e.channel == "svc" && e.bytes.size() >= 12 &&
                        (e.bytes[8] | e.bytes[9] << 8 | e.bytes[10] << 16 |
                         static_cast<std::uint32_t>(e.bytes[11]) << 24) == kPackageHeaderCommand;
    if (header && out.count(e.camera) == 0) out[e.camera].first_ms = e.t_ms;
    if (e.channel == "svc-image" && out.count(e.camera) != 0) {
      out[e.camera].image_ms = e.t_ms;
      out[e.camera].intact = true;
    }
  }
  return out;
}

struct lab_run_t {
  run_figures_t figures;
  std::map<int, transfer_t> transfers;  // by camera
};

// The lab built, the package written, the benchmark's iterations run and camsim's log read;
// none (the benchmark skipped) where the lab or the package cannot be made.
std::optional<lab_run_t> upgrade_in_lab(benchmark::State& state, const lab::lab_config_t& cfg,
                                        std::size_t image_size) {
  lab::Lab lab(cfg);
  if (!lab.ok()) {
    state.SkipWithError(("lab unavailable: " + lab.why_not()).c_str());
    return std::nullopt;
  }
  const std::string path = "/tmp/mardo-upgrade-bench-" + lab.lab_id() + ".bin";
  if (!write_package(path, image_size)) {
    state.SkipWithError("cannot write the package");
    return std::nullopt;
  }
  lab_run_t run;
  const int cameras = static_cast<int>(cfg.cameras.size());
  for (auto _ : state) run.figures = upgrade_every_camera(lab, cameras, path);
  std::remove(path.c_str());
  run.transfers = transfers(lab.events());
  return run;
}

// The counters both kinds of run report.
void report(benchmark::State& state, const run_figures_t& f, int intact, double transfer_s,
            double bound_s) {
  state.counters["cameras_ok"] = f.ok;
  state.counters["images_intact"] = intact;
  state.counters["run_s"] = f.run_s;
  state.counters["transfer_s"] = transfer_s;
  state.counters["bound_s"] = bound_s;
  state.counters["transfer_per_bound"] = transfer_s / bound_s;
  state.counters["peak_mib"] = f.peak_mib;
}

void BM_UpgradeAtOnce(benchmark::State& state) {
  const int cameras = static_cast<int>(state.range(0));
  lab::lab_config_t cfg;
  cfg.cameras.resize(static_cast<std::size_t>(cameras));
  const std::optional<lab_run_t> run = upgrade_in_lab(state, cfg, kImage);
  if (!run) return;
  double transfer_s = 0;
  int intact = 0;
  for (const auto& [camera, t] : run->transfers) {
    if (!t.intact) continue;
    ++intact;
    transfer_s = std::max(transfer_s, t.seconds());
  }
  report(state, run->figures, intact, transfer_s, kPacingBoundS);
  state.counters["peak_per_worker_kib"] = (run->figures.peak_mib - 32.0) * 1024.0 / cameras;
}

BENCHMARK(BM_UpgradeAtOnce)->Arg(1)->Arg(8)->Arg(64)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

lab::lab_config_t fleet_behind_one_port() {
  lab::lab_config_t cfg;
  cfg.segments[0].ws_ip = "192.0.2.1";
  cfg.segments[0].ws_more_ips = {"198.51.100.1/24"};
  cfg.segments[0].ws_rate_bps = kFleetRateBps;
  cfg.cameras.resize(kFleetCameras);
  for (int n = 0; n < kFleetCameras; ++n) {
    cfg.cameras[static_cast<std::size_t>(n)].ip =
        n < kFleetFirstSubnet ? "192.0.2." + std::to_string(10 + n)
                              : "198.51.100." + std::to_string(10 + n - kFleetFirstSubnet);
  }
  return cfg;
}

void BM_UpgradeFleetFullLink(benchmark::State& state) {
  const std::optional<lab_run_t> run = upgrade_in_lab(state, fleet_behind_one_port(), kFleetImage);
  if (!run) return;
  std::uint64_t phase_from = std::numeric_limits<std::uint64_t>::max(), phase_to = 0;
  double slowest_s = 0, fastest_s = 0;
  int intact = 0;
  for (const auto& [camera, t] : run->transfers) {
    phase_from = std::min(phase_from, t.first_ms);
    if (!t.intact) continue;
    phase_to = std::max(phase_to, t.image_ms);
    slowest_s = std::max(slowest_s, t.seconds());
    fastest_s = intact == 0 ? t.seconds() : std::min(fastest_s, t.seconds());
    ++intact;
  }
  const double phase_s = phase_to > phase_from ? static_cast<double>(phase_to - phase_from) / 1000.0 : 0;
  const double package_mib = static_cast<double>(kHeader + kFleetImage) / (1u << 20);
  report(state, run->figures, intact, phase_s, kFleetBoundS);
  state.counters["slowest_camera_s"] = slowest_s;
  state.counters["fastest_camera_s"] = fastest_s;
  state.counters["peak_per_camera_kib"] =
      (run->figures.peak_mib - package_mib) * 1024.0 / kFleetCameras;
}

BENCHMARK(BM_UpgradeFleetFullLink)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
