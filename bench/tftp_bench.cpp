// Writing a 20 MiB image by TFTP inside the lab: our socket transport into Debian's
// tftpd-hpa beside its own client tftp-hpa and atftp over the same path, and our frame
// transport into a simulated camera. Targets: our socket transport at least as fast as the
// faster of the two clients; our frames at least half our socket. Each run reports its
// throughput and, against the lock-step bound (512 bytes per UDP round trip on this path,
// measured by BM_RoundTrip), its share of it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/text.h"
#include "lab/lab.h"
#include "net/capture.h"
#include "net/raw_frame.h"
#include "net/sockets.h"
#include "upgrade/tftp_transfer.h"
#include "upgrade/tftp_write.h"

namespace {

using namespace mardo;

constexpr std::size_t kImageSize = 20u << 20;

class bench_owner : public upgrade_owner {
 public:
  device_state& state() override { return state_; }
  void post_transfer_progress(const upgrade_task_t&, int) override {}

 private:
  device_state state_;
};

// Camera 0 runs tftpd-hpa (camsim's own server off), camera 1 is camsim's.
struct tftp_lab {
  tftp_lab() : lab(config()) {
    if (!lab.ok()) return;
    dir = "/tmp/mardo-tftp-bench-" + lab.lab_id();
    std::filesystem::create_directories(dir);
    image.resize(kImageSize);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
    std::ofstream(dir + "/source.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    tftpd_pid = fork();
    if (tftpd_pid == 0) {
      const std::string listen = lab.camera(0).ip + ":69";
      execlp("ip", "ip", "netns", "exec", lab.camera_netns(0).c_str(), "in.tftpd", "--foreground",
             "--listen", "--address", listen.c_str(), "--create", "--secure", "--user", "root",
             (dir + "/served").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::filesystem::create_directories(dir + "/served");
    usleep(300 * 1000);
  }
  ~tftp_lab() {
    if (tftpd_pid > 0) {
      kill(tftpd_pid, SIGTERM);
      waitpid(tftpd_pid, nullptr, 0);
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
  static lab::lab_config_t config() {
    lab::lab_config_t cfg;
    cfg.cameras.resize(2);
    cfg.cameras[0].extra_json = R"("tftp":false)";
    return cfg;
  }
  // Runs a command in the workstation's namespace; true when it exits 0.
  bool in_ws(const std::string& command) const {
    const std::string line = lab::lab_script_path() + " exec " + lab.lab_id() + " " + command +
                             " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
  }

  lab::Lab lab;
  std::string dir;
  std::vector<std::uint8_t> image;
  pid_t tftpd_pid = -1;
};

tftp_lab& shared_lab() {
  static tftp_lab instance;
  return instance;
}

bool usable(benchmark::State& state, tftp_lab& l) {
  if (!l.lab.ok()) {
    state.SkipWithError(("lab unavailable: " + l.lab.why_not()).c_str());
    return false;
  }
  return true;
}

upgrade_task_t image_task(upgrade_owner& owner, int row, std::u16string name,
                        const std::vector<std::uint8_t>& image) {
  upgrade_task_t task;
  task.owner = &owner;
  task.camera = *camera_at(owner.state(), row);
  set_task_image(task, std::move(name), image.data(), static_cast<int>(image.size()));
  return task;
}

void finish(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}

void BM_OurSocketIntoTftpd(benchmark::State& state) {
  tftp_lab& l = shared_lab();
  if (!usable(state, l)) return;
  bench_owner owner;
  device_list& list = owner.state().list;
  const int row = list.add_row();
  list.set_text(row, kColIp, wide_string(l.lab.camera(0).ip));
  upgrade_task_t task = image_task(owner, row, u"ours.img", l.image);
  for (auto _ : state) {
    lab::netns_scope in(l.lab.ws_netns());
    run_tftp_transfer(task);
  }
  if (ansi_string(list.text(row, kColInfo)) != kTextUpgradeDone) state.SkipWithError("transfer failed");
  finish(state);
}

void BM_TftpHpaClient(benchmark::State& state) {
  tftp_lab& l = shared_lab();
  if (!usable(state, l)) return;
  for (auto _ : state) {
    if (!l.in_ws("tftp " + l.lab.camera(0).ip + " -m binary -c put " + l.dir + "/source.img hpa.img"))
      state.SkipWithError("tftp-hpa failed");
  }
  finish(state);
}

void BM_AtftpClient(benchmark::State& state) {
  tftp_lab& l = shared_lab();
  if (!usable(state, l)) return;
  for (auto _ : state) {
    if (!l.in_ws("atftp -p -l " + l.dir + "/source.img -r atftp.img " + l.lab.camera(0).ip))
      state.SkipWithError("atftp failed");
  }
  finish(state);
}

void BM_OurFramesIntoCamsim(benchmark::State& state) {
  tftp_lab& l = shared_lab();
  if (!usable(state, l) || !load_capture_library()) return;
  bench_owner owner;
  device_list& list = owner.state().list;
  const int row = list.add_row();
  const auto mac = l.lab.camera_mac(1);
  list.set_text(row, kColMac, wide_string(format_mac_upper(mac.data())));
  list.set_text(row, kColIp, wide_string(l.lab.camera(1).ip));
  list.set_text(row, kColDupMark, u"1");
  dev_info_t adapter{};
  std::snprintf(adapter.acName, sizeof adapter.acName, "%s", l.lab.ws_ifname(0).c_str());
  const auto ws_mac = l.lab.ws_mac(0);
  std::copy(ws_mac.begin(), ws_mac.end(), adapter.aucMac);
  std::snprintf(adapter.acIpAddr[0], 16, "%s", l.lab.ws_ip(0).c_str());
  std::snprintf(adapter.acIpMask[0], 16, "255.255.255.0");
  adapter.iIpNum = 1;
  owner.state().adapters.assign({adapter});
  upgrade_task_t task = image_task(owner, row, u"frames.img", l.image);
  for (auto _ : state) {
    lab::netns_scope in(l.lab.ws_netns());
    std::uint16_t port = 0;
    socket_handle reserved(open_bound_socket(kSockDatagram, port, 0));
    task.local_port = port;
    run_tftp_transfer(task);
  }
  if (ansi_string(list.text(row, kColInfo)) != kTextUpgradeDone) state.SkipWithError("transfer failed");
  finish(state);
}

// One UDP round trip on the same path: a write request and its option acknowledgement
// from camsim's camera, the bound the lock-step transfer cannot beat.
void BM_RoundTrip(benchmark::State& state) {
  tftp_lab& l = shared_lab();
  if (!usable(state, l)) return;
  lab::netns_scope in(l.lab.ws_netns());
  socket_handle fd(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kTftpPort);
  to.sin_addr.s_addr = inet_addr(l.lab.camera(1).ip.c_str());
  const auto request = tftp_write_request("rtt.img", 512);
  std::uint8_t answer[512];
  for (auto _ : state) {
    ::sendto(fd.fd(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    sockaddr_in from{};
    if (recvfrom_with_timeout(fd.fd(), answer, sizeof answer, 1000, &from) <= 0)
      state.SkipWithError("no answer");
  }
  state.counters["lockstep_MiB_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 512 / (1 << 20), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_RoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_OurSocketIntoTftpd)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TftpHpaClient)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AtftpClient)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurFramesIntoCamsim)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
