#include "upgrade/tftp_transfer.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "core/stop.h"
#include "core/text.h"
#include "net/capture_port.h"
#include "net/raw_frame.h"
#include "net/sockets.h"
#include "net/tick.h"
#include "net/udp_frame.h"
#include "upgrade/tftp_write.h"

namespace mardo {
namespace {

class socket_transport : public tftp_transport {
 public:
  socket_transport(socket_fd fd, std::uint32_t camera) : fd_(fd), camera_(camera) {
    peer_.sin_family = AF_INET;
    peer_.sin_addr.s_addr = camera;
    peer_.sin_port = htons(kTftpPort);
  }
  void send(std::span<const std::uint8_t> packet) override {
    send_datagram(fd_.fd(), packet.data(), static_cast<int>(packet.size()), peer_);
  }
  int receive(std::span<std::uint8_t> answer, int timeout_ms) override {
    const std::uint64_t start = tick_ms();
    for (;;) {
      const std::uint64_t spent = tick_ms() - start;
      if (spent >= static_cast<std::uint64_t>(timeout_ms)) return 0;
      sockaddr_in from{};
      const int n = recvfrom_with_timeout(fd_.fd(), answer.data(), static_cast<int>(answer.size()),
                                          timeout_ms - static_cast<int>(spent), &from);
      if (n == 0 || n == -1) return 0;
      // Only the camera's own datagrams; its answering port becomes the destination.
      if (n < 0 || from.sin_addr.s_addr != camera_) continue;
      peer_.sin_port = from.sin_port;
      return n;
    }
  }

 private:
  socket_handle fd_;
  std::uint32_t camera_;
  sockaddr_in peer_{};
};

class frame_transport : public tftp_transport {
 public:
  frame_transport(capture_port_ptr port, const udp_endpoints_t& ends)
      : port_(std::move(port)), ends_(ends) {}
  void send(std::span<const std::uint8_t> packet) override {
    frame_.resize(kUdpFrameHeader + packet.size());
    const std::size_t size = build_udp_frame(ends_, packet, frame_);
    if (size) port_->send(frame_.data(), static_cast<int>(size));
  }
  int receive(std::span<std::uint8_t> answer, int timeout_ms) override {
    const std::uint64_t start = tick_ms();
    captured_frame_t frame;
    while (tick_ms() - start < static_cast<std::uint64_t>(timeout_ms)) {
      if (port_->read(frame) != 1) continue;
      const auto d = parse_udp_frame(frame.bytes);
      if (!d || d->ends.destination_mac != ends_.source_mac ||
          d->ends.source_mac != ends_.destination_mac || d->ends.destination_ip != ends_.source_ip ||
          d->ends.source_ip != ends_.destination_ip || d->ends.destination_port != ends_.source_port)
        continue;
      const std::size_t n = std::min(d->payload.size(), answer.size());
      std::memcpy(answer.data(), d->payload.data(), n);
      ends_.destination_port = d->ends.source_port;
      return static_cast<int>(n);
    }
    return 0;
  }

 private:
  capture_port_ptr port_;
  udp_endpoints_t ends_;
  std::vector<std::uint8_t> frame_;
};

class row_observer : public tftp_observer {
 public:
  explicit row_observer(upgrade_task_t& task) : task_(task) {}
  void status(const std::string& text) override {
    show_status(task_.owner->state(), task_.camera, text);
  }
  void progress(int percent) override { task_.owner->post_transfer_progress(task_, percent); }
  void pause(int ms) override { pause_ms(ms); }

 private:
  upgrade_task_t& task_;
};

socket_fd socket_with_timeouts() {
  const socket_fd fd = open_socket(SOCK_DGRAM);
  if (fd != kNoSocket) set_io_timeouts(fd, 1000, 1000);
  return fd;
}

}  // namespace

std::u16string transfer_progress_text(std::u16string_view image_name, int percent) {
  const bool patch = image_name.find(u"patch.bin") != std::u16string_view::npos;
  return wide_string((patch ? "patch.bin 传输 " : "传输 ") + std::to_string(percent) + "%");
}

std::uint32_t local_address_for(const dev_info_t& adapter, std::uint32_t camera) {
  const int count = std::min(adapter.iIpNum, kMaxAdapterAddrs);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t addr = inet_addr(adapter.acIpAddr[i]);
    const std::uint32_t mask = inet_addr(adapter.acIpMask[i]);
    if ((addr & mask) == (camera & mask)) return addr;
  }
  return count > 0 ? inet_addr(adapter.acIpAddr[0]) : 0;
}

void run_tftp_transfer(upgrade_task_t& task) {
  const std::string& mac_text = task.camera.mac;
  // The mark is set when a search ends; a run started during the search reads it now.
  const bool shared_address =
      task.camera.shared_address ||
      task.owner->state().list.text_of(task.camera.id, kColDupMark) == u"1";
  const std::uint32_t camera = inet_addr(task.camera.ip.c_str());
  const std::span<const std::uint8_t> image(task.data, static_cast<std::size_t>(task.length));
  const std::string image_name = ansi_string(task.image_name);
  row_observer observer(task);

  if (!shared_address) {
    const socket_fd fd = socket_with_timeouts();
    if (fd == kNoSocket) return;
    socket_transport transport(fd, camera);
    tftp_write(transport, observer, image_name, image);
    return;
  }

  // Frames go to the camera's MAC alone; without one there is nobody to send them to.
  const auto mac = parse_mac_text(mac_text);
  const std::optional<dev_info_t>& adapter = task.camera.adapter;
  if (!mac || !adapter) return;
  // A handle of its own: the shared one is filtered for the search's answers.
  capture_port_ptr port = capture_port::open(adapter->acName);
  if (!port) return;
  port->apply_filter(kTftpCaptureFilter);
  udp_endpoints_t ends;
  std::memcpy(ends.source_mac.data(), adapter->aucMac, 6);
  ends.destination_mac = *mac;
  ends.source_ip = local_address_for(*adapter, camera);
  ends.destination_ip = camera;
  ends.source_port = task.local_port;
  ends.destination_port = kTftpPort;
  frame_transport transport(std::move(port), ends);
  tftp_write(transport, observer, image_name, image);
}

}  // namespace mardo
