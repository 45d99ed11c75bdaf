#include "upgrade/upgrade_manager.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/worker_thread.h"
#include "net/command_port.h"
#include "net/sockets.h"
#include "upgrade/choice.h"
#include "upgrade/package.h"
#include "upgrade/package_kind.h"
#include "upgrade/rules.h"
#include "upgrade/tftp_transfer.h"
#include "upgrade/zip_reader.h"

namespace mardo {
namespace {

// At most `limit` workers at once (0: no limit). The manager takes a place before it prepares
// a camera, so a capped run still sends each 21380 just before that camera's transfer.
class worker_gate {
 public:
  explicit worker_gate(int limit) : limit_(limit) {}
  void enter() {
    if (limit_ <= 0) return;
    std::unique_lock lock(mutex_);
    free_.wait(lock, [this] { return busy_ < limit_; });
    ++busy_;
  }
  void leave() {
    if (limit_ <= 0) return;
    {
      std::lock_guard lock(mutex_);
      --busy_;
    }
    free_.notify_one();
  }

 private:
  int limit_;
  int busy_ = 0;
  std::mutex mutex_;
  std::condition_variable free_;
};

struct run_t {
  explicit run_t(upgrade_host& h) : host(h), gate(h.max_parallel()) {}
  upgrade_host& host;
  std::vector<camera_t> cameras;  // ticked when the run started, in list order
  std::vector<upgrade_task_t> tasks;  // one per camera
  std::vector<std::thread> threads;
  worker_gate gate;
  int ticked = 0;
  std::uint16_t port = 0;
};

// Runs job on a worker of its own; the gate's place, already taken, is given back at its end.
void start_job(run_t& run, const camera_t& camera, std::function<void()> job) {
  struct leave_gate {
    worker_gate& gate;
    ~leave_gate() { gate.leave(); }
  };
  std::thread t = start_worker("upgrade " + camera.mac, [&gate = run.gate, job] {
    leave_gate on_end{gate};
    job();
  });
  if (!t.joinable()) {
    run.gate.leave();
    return;
  }
  run.threads.push_back(std::move(t));
}

upgrade_task_t& task_for(run_t& run, std::size_t i) {
  upgrade_task_t& task = run.tasks[i];
  task.owner = &run.host;
  task.camera = run.cameras[i];
  task.local_port = run.port;
  return task;
}

void start_session(run_t& run, std::size_t i, const std::uint8_t* data, int length) {
  upgrade_task_t& task = task_for(run, i);
  task.data = data;
  task.length = length;
  run.gate.enter();
  if (stop_requested()) return run.gate.leave();
  const session_timing_t& timing = run.host.timing();
  start_job(run, task.camera, [&task, &timing] { run_upgrade_session(task, timing); });
}

// An image for the TFTP route: the request 21380 and its wait on the manager's thread, then
// the transfer on a worker, and the event line.
void start_transfer(run_t& run, std::size_t i, std::u16string name, const std::uint8_t* data,
                    int length) {
  upgrade_task_t& task = task_for(run, i);
  const std::string& address = task.camera.ip;
  run.gate.enter();
  if (stop_requested()) return run.gate.leave();
  send_command_for_status(address.c_str(), 1000, {}, kCmdPrepareTransfer, kCmdPrepareTransferReply);
  pause_ms(run.host.timing().prepare_wait_ms);
  const std::string shown = ansi_string(name);
  set_task_image(task, std::move(name), data, length);
  start_job(run, task.camera, [&task] { run_tftp_transfer(task); });
  const std::string line = address + " [ " + task.camera.mac + " ] 开始升级 : " + shown;
  log_event(line.c_str());
}

void join_all(run_t& run) {
  for (std::thread& t : run.threads)
    if (t.joinable()) t.join();
  run.threads.clear();
}

// Declared after the package's bytes: whichever way a route ends, even by an exception, every
// worker has ended before the bytes it reads go.
struct workers_joined {
  run_t& run;
  ~workers_joined() { join_all(run); }
};

void run_zip_route(run_t& run, const std::u16string& path) {
  zip_package_t archive;
  const std::string_view failure = open_zip_package(ansi_string(path), archive);
  if (!failure.empty()) return run.host.message_box(failure, kCaptionNotice);
  const workers_joined joined{run};
  device_state& state = run.host.state();
  clear_statuses(state.list);
  // A run told to stop starts no further camera.
  for (std::size_t i = 0; i < run.cameras.size() && !stop_requested(); ++i) {
    const camera_t& camera = run.cameras[i];
    ++run.ticked;
    if (archive.full_slot >= 0) {
      const zip_slot_t& slot = archive.slots[static_cast<std::size_t>(archive.full_slot)];
      start_session(run, i, slot.data.get(), static_cast<int>(slot.count));
      continue;
    }
    const package_choice_t choice = choose_zip_slot(archive, camera.full_version);
    if (!choice.selected()) {
      show_status(state, camera, choice.text);
      continue;
    }
    const zip_slot_t& slot = archive.slots[choice.index];
    if (!slot.usable()) continue;
    show_status(state, camera, slot.name);
    start_transfer(run, i, wide_string(slot.name), slot.data.get(), static_cast<int>(slot.count));
  }
}

void run_plain_route(run_t& run, const std::u16string& path) {
  file_bytes_t file;
  // Not a regular file, too large to send, or unreadable: said, where it once ended silently.
  if (!read_plain_package(ansi_string(path), file))
    return run.host.message_box(kTextOpenFileFailed, kCaptionNotice);
  const std::uint8_t* bytes = file.bytes().data();
  const int count = static_cast<int>(file.size());
  const bool full = package_is_full(file.bytes());
  const workers_joined joined{run};
  clear_statuses(run.host.state().list);
  for (std::size_t i = 0; i < run.cameras.size() && !stop_requested(); ++i) {
    ++run.ticked;
    if (full)
      start_session(run, i, bytes, count);
    else
      start_transfer(run, i, path, bytes, count);
  }
}

// Steps 3 to 7 of a run; every worker has ended when it returns.
void serve_package(run_t& run, const std::u16string& path) {
  upgrade_host& host = run.host;
  if (path.empty()) return;
  // The reserved port stays bound for the whole run: the raw transport's answers come to it.
  socket_handle reserved(open_bound_socket(kSockDatagram, run.port, 0));
  if (!reserved.valid()) return host.message_box(kTextBindFailed, kCaptionNotice);
  try {
    run.tasks.resize(run.cameras.size());
  } catch (const std::bad_alloc&) {
    return host.message_box(kTextNoTaskMemory, kCaptionNotice);
  }
  try {
    run.threads.reserve(run.cameras.size());
  } catch (const std::bad_alloc&) {
    return host.message_box(kTextNoHandleMemory, kCaptionNotice);
  }
  switch (package_route_of(ansi_string(path))) {
    case package_route_t::refused:
      return host.message_box(kTextNoMatchingImage, "");
    case package_route_t::zip:
      return run_zip_route(run, path);
    case package_route_t::plain:
      return run_plain_route(run, path);
  }
}

}  // namespace

void on_upgrade_clicked(upgrade_host& host) {
  if (host.read_package_path().empty()) return host.message_box(kTextEmptyPath, kCaptionNotice);
  std::thread run = start_worker("upgrade", [&host] { run_upgrade(host); });
  if (run.joinable()) run.detach();
}

void run_upgrade(upgrade_host& host) { run_upgrade(host, ticked_cameras(host.state())); }

void run_upgrade(upgrade_host& host, std::vector<camera_t> cameras) {
  run_t run(host);
  run.cameras = std::move(cameras);
  host.set_upgrade_enabled(false);
  std::u16string path = host.read_package_path();
  if (path.size() > kMaxPackagePath) path.resize(kMaxPackagePath);
  host.keep_package_path(path);
  serve_package(run, path);
  join_all(run);
  host.set_upgrade_enabled(true);
  if (run.ticked == 0) host.message_box(kTextNoneTicked, kCaptionNotice);
}

}  // namespace mardo
