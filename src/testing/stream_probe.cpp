#include "testing/stream_probe.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "net/sockets.h"
#include "testing/rtsp_text.h"
#include "testing/stream_receive.h"

namespace mardo {
namespace {

constexpr int kConnectWaitMs = 1000;
constexpr int kRequestWaitMs = 1000;
constexpr int kAnswerWaitMs = 1000;
constexpr int kAnswerCapacity = 4095;
constexpr int kKeepAliveAnswer = 1024;
constexpr int kPushCheckWaitMs = 3000;
constexpr int kKeepAliveEvery = 100;  // passes
constexpr int kPassPauseMs = 30;
constexpr int kRetryPauseMs = 1000;
constexpr int kPortRetryMs = 10;
constexpr int kMaxFailures = 3;
constexpr int kPushBacklog = 10;
constexpr int kRtpReceiveBuffer = 64 * 1024 * 1024;

void drop_socket(socket_fd& fd) {
  close_socket(fd);
  fd = kNoSocket;
}

}  // namespace

struct stream_probe {
  std::thread thread;
  std::atomic<std::uint32_t> stop{0};
  char host[32] = {};
  std::uint16_t port = 0;
  probe_handler handler = nullptr;
  void* owner = nullptr;
  std::uint8_t interleaved = 1;
  std::uint8_t main_stream = 1;
  socket_fd control_socket = kNoSocket;
  int cseq = 1;
  std::string session_id;
  socket_fd rtp_socket = kNoSocket;
  std::uint16_t client_port = 0;
  socket_fd push_listener = kNoSocket;
  std::uint16_t track_id = 0;
  std::atomic<std::int32_t> push_disabled{0};
  receive_state rx;  // running, failures, reassembly, media sink

  // Pauses wake at once when the probe is stopped.
  std::mutex stop_lock;
  std::condition_variable stop_wake;

  bool pause(int ms) {
    std::unique_lock lock(stop_lock);
    return stop_wake.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return stop.load() != 0; });
  }
  bool stopping() const { return stop.load() != 0; }

  void status(std::int32_t state) {
    if (handler) handler(owner, host, 0, 0, nullptr, state);
  }
  bool send_request(rtsp_request_t r) {
    r.cseq = cseq++;
    r.host = host;
    r.session = session_id;
    const std::string text = rtsp_request_text(r);
    return send_all(control_socket, text.data(), static_cast<int>(text.size()), kRequestWaitMs) ==
           static_cast<int>(text.size());
  }
  // One answer in one receive; empty when nothing came.
  std::string receive_answer() {
    char answer[kAnswerCapacity + 1];
    const int n = recv_some(control_socket, answer, kAnswerCapacity, kAnswerWaitMs);
    return n > 0 ? std::string(answer, static_cast<std::size_t>(n)) : std::string();
  }

  bool open_local_ports();
  bool request_stream(const std::string& url);
  void run();
  void media_loop();
  void push_loop();
};

bool stream_probe::open_local_ports() {
  if (interleaved) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(control_socket, reinterpret_cast<sockaddr*>(&local), &len) != 0) return false;
    const unsigned p = ntohs(local.sin_port);
    if (p + 2 > 0xFFFF) return false;
    std::uint16_t push_port = static_cast<std::uint16_t>(p + 2);
    push_listener = open_bound_socket(kSockStream, push_port, kPushBacklog);
    return push_listener != kNoSocket;
  }
  while (!stopping()) {
    std::uint16_t free_port = 0;
    const socket_fd probe = open_bound_socket(kSockStream, free_port, 1);
    // A failure that lasts (no descriptors left) must not spin: each try waits a little.
    if (probe == kNoSocket) {
      if (pause(kPortRetryMs)) break;
      continue;
    }
    close_socket(probe);
    // RTP, RTCP and the push channel take three ports in a row.
    if (free_port == 0 || free_port > 0xFFFF - 2) continue;  // the next try takes another
    client_port = free_port;
    std::uint16_t port_copy = client_port;
    rtp_socket = open_bound_socket(kSockDatagram, port_copy, 0);
    if (rtp_socket == kNoSocket) {
      if (pause(kPortRetryMs)) break;
      continue;
    }
    std::uint16_t push_port = static_cast<std::uint16_t>(client_port + 2);
    push_listener = open_bound_socket(kSockStream, push_port, kPushBacklog);
    if (push_listener == kNoSocket) {
      drop_socket(rtp_socket);
      if (pause(kPortRetryMs)) break;
      continue;
    }
    set_io_timeouts(rtp_socket, 0, kUdpWaitMs);
    set_int_option(rtp_socket, SOL_SOCKET, SO_RCVBUF, kRtpReceiveBuffer);
    return true;
  }
  return false;
}

bool stream_probe::request_stream(const std::string& url) {
  if (stopping() || !send_request({.method = rtsp_method_t::describe, .url = url})) return false;
  std::string answer = receive_answer();
  if (answer.empty()) return false;
  track_id = answer_track_id(answer);

  if (stopping()) return false;
  const rtsp_method_t setup = interleaved ? rtsp_method_t::setup_tcp : rtsp_method_t::setup_udp;
  if (!send_request(
          {.method = setup, .url = url, .track_id = track_id, .client_port = client_port}))
    return false;
  answer = receive_answer();
  if (answer.empty() || !answer_session_id(answer, &session_id)) return false;

  if (stopping() || !send_request({.method = rtsp_method_t::play})) return false;
  // The answer's status is not looked at: a camera that streams anyway counts as playing.
  return !receive_answer().empty();
}

void stream_probe::media_loop() {
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kMediaBuffer]);
  while (rx.running.load() == 1) {
    if (interleaved)
      receive_interleaved_step(control_socket, buffer.get(), rx);
    else
      receive_udp_step(rtp_socket, buffer.get(), rx);
  }
}

void stream_probe::push_loop() {
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kPushBuffer]);
  while (rx.running.load() == 1) {
    const socket_fd connection = accept_with_timeout(push_listener, nullptr, nullptr, kPushWaitMs);
    if (connection == kNoSocket) {
      // A listener shut down for the teardown fails at once; do not spin on it.
      if (rx.running.load() == 1 && !stopping()) pause(10);
      continue;
    }
    if (push_disabled.load() == 1 || rx.running.load() != 1) {
      close_socket(connection);
      continue;
    }
    while (rx.running.load() == 1 && receive_push_message(connection, buffer.get(), rx)) {
    }
    close_socket(connection);
  }
}

void stream_probe::run() {
  const std::string url = std::string(host) + (main_stream ? "/stream_main" : "/stream_sub");
  while (!stopping()) {
    rx.failures = 0;
    session_id.clear();
    cseq = 1;
    track_id = 0;
    std::thread media, push;
    // A local port we could not open is our fault, not the camera's: no break is counted.
    bool quiet_end = false;

    control_socket = connect_to_host(host, port, kConnectWaitMs);
    if (control_socket != kNoSocket && !stopping()) {
      quiet_end = !open_local_ports();
      if (!quiet_end && request_stream(url) && !stopping()) {
        rx.running = 1;
        const socket_fd check = connect_to_host(host, kPushProbePort, kPushCheckWaitMs);
        if (check != kNoSocket) {
          push_disabled = 1;
          close_socket(check);
        }
        try {
          media = std::thread(&stream_probe::media_loop, this);
          push = std::thread(&stream_probe::push_loop, this);
        } catch (const std::system_error&) {
          rx.running = 0;
        }
        if (rx.running.load() == 1 && !stopping()) {
          status(1);
          for (int pass = 0; !stopping() && rx.failures.load() <= kMaxFailures; ++pass) {
            if (pass % kKeepAliveEvery == 0) {
              send_request({.method = rtsp_method_t::get_parameter});
              // Over TCP the answer comes among the media, where the receiver skips it.
              if (!interleaved) {
                char drop[kKeepAliveAnswer];
                recv_some(control_socket, drop, kKeepAliveAnswer, kAnswerWaitMs);
              }
            }
            if (pause(kPassPauseMs)) break;
          }
        }
      }
    }

    // Teardown. Shutting the receiving side wakes receivers that wait for data at once;
    // nothing goes to the camera for it. Windows resets a connection whose receiving side
    // is shut while data still arrives, so the TEARDOWN below would never reach the camera:
    // there the receivers end at their next wait's time-out (at most a second).
    rx.running = 0;
#ifndef _WIN32
    for (const socket_fd s : {control_socket, rtp_socket, push_listener})
      if (s != kNoSocket) shutdown(s, kShutReceive);
#endif
    if (push.joinable()) push.join();
    if (media.joinable()) media.join();
    if (!session_id.empty()) send_request({.method = rtsp_method_t::teardown});
    if (control_socket != kNoSocket) {
      if (!stopping() && !quiet_end) status(0);
      drop_socket(control_socket);
    }
    drop_socket(rtp_socket);
    drop_socket(push_listener);
    if (stopping() || pause(kRetryPauseMs)) break;
  }
}

stream_probe* probe_start(const char* host, std::uint16_t port, bool interleaved, bool main_stream,
                          probe_handler handler, void* owner) {
  stream_probe* p = nullptr;
  try {
    p = new stream_probe;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (host != nullptr) std::strncpy(p->host, host, sizeof p->host - 1);
  p->port = port;
  p->handler = handler;
  p->owner = owner;
  p->interleaved = interleaved ? 1 : 0;
  p->main_stream = main_stream ? 1 : 0;
  p->rx.sink.context = p;
  if (handler) {
    p->rx.sink.deliver = [](void* context, std::uint8_t payload_type, std::uint32_t timestamp,
                            const std::uint8_t* data, std::int32_t length) {
      auto* probe = static_cast<stream_probe*>(context);
      probe->handler(probe->owner, probe->host, payload_type, timestamp, data, length);
    };
  }
  try {
    p->thread = std::thread(&stream_probe::run, p);
  } catch (const std::system_error&) {
    delete p;
    return nullptr;
  }
  return p;
}

void probe_request_stop(stream_probe* probe) {
  if (probe == nullptr) return;
  {
    std::lock_guard lock(probe->stop_lock);
    probe->stop = 1;
  }
  probe->stop_wake.notify_all();
}

void probe_stop(stream_probe* probe) {
  if (probe == nullptr) return;
  probe_request_stop(probe);
  if (probe->thread.joinable()) probe->thread.join();
  delete probe;
}

}  // namespace mardo
