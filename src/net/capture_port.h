#pragma once
// A capture handle shared by the threads that send and wait on one adapter.
//
// libpcap gives every reader of a handle the same buffer, valid only until the next read
// on that handle, and a filter change empties the capture ring under a reader's feet. So
// every call on a port takes the port's lock, and a read copies its frame out before the
// lock is released: any number of threads may read one port, and each frame goes to exactly
// one of them. A reader that must see every frame on the wire opens a port of its own.
//
// Ports are shared by reference count, so no lock is held between calls: the adapter
// table's rebuild drops the table's references, and a port closes when its last holder
// lets it go, never under a thread that still uses it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "net/capture.h"

namespace mardo {

struct captured_frame_t {
  std::uint32_t wire_len = 0;       // the frame's length on the wire
  std::vector<std::uint8_t> bytes;  // what was captured (at most the snapshot length)
};

class capture_port {
 public:
  // Takes ownership of an open handle; null gives null.
  static std::shared_ptr<capture_port> adopt(pcap_t* handle);
  // Opens an adapter with the capture parameters (cap_open_adapter); null when it cannot.
  static std::shared_ptr<capture_port> open(const char* device);

  ~capture_port();
  capture_port(const capture_port&) = delete;
  capture_port& operator=(const capture_port&) = delete;

  // 1: a frame was copied into out. 0: none came within about the read time-out.
  // -1: the library reported an error; the call then waits out the read time-out, so a
  // loop of reads on an adapter that went down does not spin.
  int read(captured_frame_t& out);
  // The send-frame result.
  int send(const std::uint8_t* bytes, int length);
  // cap_apply_filter under the port's lock.
  void apply_filter(const char* filter);
  // Reads and drops frames until none is waiting.
  void drain();

 private:
  explicit capture_port(pcap_t* handle) : handle_(handle) {}
  int read_locked(captured_frame_t& out);

  std::mutex mutex_;
  pcap_t* const handle_;
};

using capture_port_ptr = std::shared_ptr<capture_port>;

}  // namespace mardo
