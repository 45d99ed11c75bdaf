// 1, 8 and 64 simulated cameras upgraded at once over the upgrade service from one 32 MiB
// package, through the manager as the window runs it. Targets: one camera within 1.3x the
// pacing bound the protocol sets (10 ms per 64 pieces of 1 KiB: 5.12 s for 32 MiB); 64 cameras
// in at most 2x the one-camera time; peak memory about the package plus a little per worker.
//
// Reported per run: the whole run (search not included), the longest image transfer as the
// cameras saw it (first header fragment to the image's last byte), its ratio to the bound, and
// the process's peak resident memory above what it held before the run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
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

constexpr std::size_t kPackageSize = 32u << 20;
constexpr std::size_t kHeader = 4096;
constexpr std::size_t kImage = kPackageSize - kHeader;
constexpr double kPacingBoundS = (kImage + 1023) / 1024 / 64 * 0.010;

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

// The package written in pieces, so that this process never holds it whole.
bool write_package(const std::string& path) {
  std::vector<std::uint8_t> chunk(1u << 20);
  uLong crc = crc32(0L, Z_NULL, 0);
  auto fill = [&](std::size_t at) {
    for (std::size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = static_cast<std::uint8_t>((at + i) * 2654435761u >> 24);
  };
  for (std::size_t at = 0; at < kImage; at += chunk.size()) {
    fill(at);
    crc = crc32(crc, chunk.data(), static_cast<uInt>(std::min(chunk.size(), kImage - at)));
  }
  std::vector<std::uint8_t> header(kHeader, 0);
  std::memcpy(header.data(), "QZUP", 4);
  put_le32(header.data() + 8, 7);  // no header checksum: the images' are what is measured
  put_le32(header.data() + 272, 1);
  put_le32(header.data() + 280, 0);
  put_le32(header.data() + 284, static_cast<std::uint32_t>(kImage));
  put_le32(header.data() + 288, static_cast<std::uint32_t>(crc));
  std::memcpy(header.data() + 296, "bench.bin", 9);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(header.data()), kHeader);
  for (std::size_t at = 0; at < kImage; at += chunk.size()) {
    fill(at);
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(std::min(chunk.size(), kImage - at)));
  }
  return static_cast<bool>(out);
}

void BM_UpgradeAtOnce(benchmark::State& state) {
  const int cameras = static_cast<int>(state.range(0));
  lab::lab_config_t cfg;
  cfg.cameras.resize(static_cast<std::size_t>(cameras));
  lab::Lab lab(cfg);
  if (!lab.ok()) {
    state.SkipWithError(("lab unavailable: " + lab.why_not()).c_str());
    return;
  }
  const std::string path = "/tmp/mardo-upgrade-bench-" + lab.lab_id() + ".bin";
  if (!write_package(path)) {
    state.SkipWithError("cannot write the package");
    return;
  }
  double run_s = 0, transfer_s = 0, peak_mib = 0;
  int ok = 0;
  for (auto _ : state) {
    bench_host host;
    host.path = path;
    for (int n = 0; n < cameras; ++n) {
      device_list& list = host.state().list;
      const int row = list.add_row();
      list.set_text(row, kColMac, wide_string(format_mac_upper(lab.camera_mac(n).data())));
      list.set_text(row, kColIp, wide_string(lab.camera(n).ip));
      list.set_checked(row, true);
    }
    bench::reset_peak_rss();
    const long before = bench::status_kib("VmRSS:");
    const auto t0 = std::chrono::steady_clock::now();
    {
      lab::netns_scope in(lab.ws_netns());
      run_upgrade(host);
    }
    run_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    peak_mib = static_cast<double>(bench::status_kib("VmHWM:") - before) / 1024.0;
    ok = 0;
    for (int n = 0; n < cameras; ++n) {
      const std::string text = ansi_string(host.state().list.text(n, kColInfo));
      if (text == kTextUpgradeDone)
        ++ok;
      else
        std::fprintf(stderr, "camera %d (%s): %s\n", n, lab.camera(n).ip.c_str(), text.c_str());
    }
  }
  std::map<int, std::uint64_t> first;
  transfer_s = 0;
  int intact = 0;
  for (const auto& e : lab.events()) {
    if (e.channel == "svc" && e.len == 1056 && first.count(e.camera) == 0) first[e.camera] = e.t_ms;
    if (e.channel == "svc-image") {
      ++intact;
      transfer_s = std::max(transfer_s, static_cast<double>(e.t_ms - first[e.camera]) / 1000.0);
    }
  }
  std::remove(path.c_str());
  state.counters["cameras_ok"] = ok;
  state.counters["images_intact"] = intact;
  state.counters["run_s"] = run_s;
  state.counters["transfer_s"] = transfer_s;
  state.counters["bound_s"] = kPacingBoundS;
  state.counters["transfer_per_bound"] = transfer_s / kPacingBoundS;
  state.counters["peak_mib"] = peak_mib;
  state.counters["peak_per_worker_kib"] = (peak_mib - 32.0) * 1024.0 / cameras;
}

BENCHMARK(BM_UpgradeAtOnce)->Arg(1)->Arg(8)->Arg(64)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
