// Reading a zip archive of 8 members of 16 MiB each into the slot table, as the upgrade run
// does before the first camera is served: how long it takes, and the peak resident memory
// against the target of 1.2 x the member data plus 30 MiB.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "process_memory.h"
#include "upgrade/zip_reader.h"

namespace {

constexpr int kMembers = 8;
constexpr std::size_t kMemberSize = 16u << 20;
constexpr double kMiB = 1024.0 * 1024.0;

// The process's peak resident set (VmHWM) in bytes, or 0 where it cannot be read.
double peak_rss_bytes() {
  return static_cast<double>(std::max(0L, mardo::bench::status_kib("VmHWM:"))) * 1024.0;
}

// Firmware-like members: compressible to about half, so the inflater does real work.
void write_member(const std::string& path, std::uint32_t seed) {
  std::vector<std::uint8_t> chunk(1u << 20);
  std::ofstream out(path, std::ios::binary);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t done = 0; done < kMemberSize; done += chunk.size()) {
    for (auto& b : chunk) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<std::uint8_t>((x & 0x0F) * 17);
    }
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(chunk.size()));
  }
}

class archive_dir {
 public:
  archive_dir() {
    char tmpl[] = "/tmp/mardo-zipbench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    std::string cmd = "cd '" + dir_ + "' && zip -q -X -1 bench.zip";
    for (int i = 0; i < kMembers; ++i) {
      const std::string name = "member" + std::to_string(i) + ".bin";
      write_member(dir_ + "/" + name, static_cast<std::uint32_t>(i + 1));
      cmd += " " + name;
    }
    ok_ = std::system(cmd.c_str()) == 0;
    for (int i = 0; i < kMembers; ++i)
      std::filesystem::remove(dir_ + "/member" + std::to_string(i) + ".bin");
  }
  ~archive_dir() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  archive_dir(const archive_dir&) = delete;
  archive_dir& operator=(const archive_dir&) = delete;

  bool ok() const { return ok_; }
  std::string archive() const { return dir_ + "/bench.zip"; }

 private:
  std::string dir_;
  bool ok_ = false;
};

void BM_ReadZipOf8Members16MiB(benchmark::State& state) {
  archive_dir dir;
  if (!dir.ok()) {
    state.SkipWithError("could not make the archive (is the zip command installed?)");
    return;
  }
  mardo::bench::reset_peak_rss();
  const double before = peak_rss_bytes();
  std::size_t data = 0;
  bool all_read = true;
  for (auto _ : state) {
    mardo::zip_package_t package;
    const std::string_view failure = mardo::open_zip_package(dir.archive(), package);
    data = 0;
    for (const mardo::zip_slot_t& slot : package.slots) {
      all_read = all_read && slot.complete();
      data += slot.bytes().size();
    }
    all_read = all_read && failure.empty() && package.slots.size() == kMembers;
    benchmark::DoNotOptimize(package.slots.data());
  }
  const double peak = peak_rss_bytes();
  const double target = 1.2 * static_cast<double>(data) + 30 * kMiB;
  state.counters["data_MiB"] = static_cast<double>(data) / kMiB;
  state.counters["rss_before_MiB"] = before / kMiB;
  state.counters["peak_rss_MiB"] = peak / kMiB;
  state.counters["target_MiB"] = target / kMiB;
  state.counters["within_target"] = peak < target ? 1 : 0;
  state.counters["all_read"] = all_read ? 1 : 0;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(data));
  std::fprintf(stderr,
               "zip read: %.1f MiB of members, peak RSS %.1f MiB, target below %.1f MiB: %s\n",
               static_cast<double>(data) / kMiB, peak / kMiB, target / kMiB,
               peak < target ? "met" : "MISSED");
}
BENCHMARK(BM_ReadZipOf8Members16MiB)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
