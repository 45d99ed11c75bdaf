#include "net/capture_port.h"

#include <chrono>
#include <thread>

namespace mardo {

std::shared_ptr<capture_port> capture_port::adopt(pcap_t* handle) {
  if (!handle) return nullptr;
  return std::shared_ptr<capture_port>(new capture_port(handle));
}

std::shared_ptr<capture_port> capture_port::open(const char* device) {
  return adopt(cap_open_adapter(device));
}

capture_port::~capture_port() {
  cap_close(handle_);
}

int capture_port::read_locked(captured_frame_t& out) {
  std::lock_guard lock(mutex_);
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  const int got = cap_read_once(handle_, &header, &data);
  if (got < 0) return -1;
  if (got == 0 || !header || !data) return 0;
  out.wire_len = header->len;
  out.bytes.assign(data, data + header->caplen);
  return 1;
}

int capture_port::read(captured_frame_t& out) {
  int got = read_locked(out);
  // The wait for the next frame is made without the lock, so that a sender or another
  // reader is never held up by a reader that has nothing to read.
  if (got == 0 && cap_wait_readable(handle_, kCapTimeoutMs)) got = read_locked(out);
  if (got < 0) std::this_thread::sleep_for(std::chrono::milliseconds(kCapTimeoutMs));
  return got;
}

int capture_port::send(const std::uint8_t* bytes, int length) {
  std::lock_guard lock(mutex_);
  return cap_send_frame(handle_, bytes, length);
}

void capture_port::apply_filter(const char* filter) {
  std::lock_guard lock(mutex_);
  cap_apply_filter(handle_, filter);
}

void capture_port::drain() {
  captured_frame_t frame;
  while (read(frame) > 0) {
  }
}

}  // namespace mardo
