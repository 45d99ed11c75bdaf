// camsim: plays many cameras, each in its own network namespace, for the lab tests.
//
//   camsim --config <file.json> --events <events.jsonl> [--exit-with-parent]
//
// Prints "ready" once every camera's sockets are open; SIGTERM or SIGINT end it.
// --exit-with-parent: a test killed on a time-out must not leave its cameras running.
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "event_log.h"
#include "mc_channel.h"
#include "raw_channel.h"
#include "rs485_channel.h"
#include "rtsp_channel.h"
#include "sim_config.h"
#include "sim_loop.h"
#include "tcp_channel.h"
#include "tftp_channel.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: camsim --config <file.json> --events <events.jsonl> [--exit-with-parent]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_path;
  std::string events_path;
  bool exit_with_parent = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      config_path = argv[++i];
    } else if (arg == "--events" && i + 1 < argc) {
      events_path = argv[++i];
    } else if (arg == "--exit-with-parent") {
      exit_with_parent = true;
    } else {
      return usage();
    }
  }
  if (config_path.empty() || events_path.empty()) return usage();
  std::signal(SIGPIPE, SIG_IGN);
  if (exit_with_parent) {
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have gone before the request took effect.
    if (getppid() != parent) return 1;
  }

  std::ifstream in(config_path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "camsim: cannot read %s\n", config_path.c_str());
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  auto config = mardo::sim::parse_sim_config(text.str(), &error);
  if (!config) {
    std::fprintf(stderr, "camsim: %s: %s\n", config_path.c_str(), error.c_str());
    return 2;
  }

  mardo::sim::event_log log;
  if (!log.open(events_path)) {
    std::fprintf(stderr, "camsim: cannot open %s: %s\n", events_path.c_str(), std::strerror(errno));
    return 1;
  }
  mardo::sim::sim_loop loop;
  if (!loop.init(&error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  mardo::sim::raw_channel raw(config->cameras, loop, log);
  mardo::sim::mc_channel mc(config->cameras, loop, log);
  mardo::sim::tftp_channel tftp(config->cameras, loop, log);
  mardo::sim::tcp_channel tcp(config->cameras, loop, log);
  mardo::sim::rtsp_channel rtsp(config->cameras, loop, log);
  mardo::sim::rs485_channel rs485(config->cameras, loop, log);
  const auto opened = [&error](auto& channel) {
    if (channel.open(&error)) return true;
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return false;
  };
  if (!opened(raw) || !opened(mc) || !opened(tftp) || !opened(tcp) || !opened(rtsp) ||
      !opened(rs485))
    return 1;
  // A camera that lacks the service until its bootstrap file came restarts with it.
  tftp.set_file_hook([&](std::size_t camera, const std::string& name) {
    const mardo::sim::sim_camera_t& cam = config->cameras[camera];
    if (!cam.svc.after_patch || cam.svc.enabled || name != "patch.bin") return;
    loop.after(cam.svc.restart_ms, [&tcp, camera] {
      std::string why;
      if (!tcp.start_service(camera, &why)) std::fprintf(stderr, "camsim: %s\n", why.c_str());
    });
  });
  std::printf("ready\n");
  std::fflush(stdout);
  return loop.run();
}
