// A stand-in for libpcap that the capture layer loads at run time in tests: it records
// what is sent and hands out frames the test queued, with any captured and on-wire
// lengths, so frame handling can be checked without a network.
#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct frame_t {
  std::vector<u_char> bytes;
  bpf_u_int32 wire_len;
};

struct fake_state {
  std::mutex mutex;
  std::deque<frame_t> inbox;
  std::vector<std::vector<u_char>> sent;
  std::vector<std::string> filters;
  int opened = 0;
  int closed = 0;
  int read_calls = 0;
  bool fail_reads = false;
  frame_t current;
  pcap_pkthdr header{};
};

fake_state& state() {
  static fake_state s;
  return s;
}

int handle_token;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) pcap_t* pcap_open_live(const char*, int, int, int, char*) {
  std::lock_guard lock(state().mutex);
  ++state().opened;
  return reinterpret_cast<pcap_t*>(&handle_token);
}

__attribute__((visibility("default"))) void pcap_close(pcap_t*) {
  std::lock_guard lock(state().mutex);
  ++state().closed;
}

__attribute__((visibility("default"))) int pcap_next_ex(pcap_t*, pcap_pkthdr** header,
                                                        const u_char** data) {
  fake_state& s = state();
  std::lock_guard lock(s.mutex);
  ++s.read_calls;
  if (s.fail_reads) return PCAP_ERROR;
  if (s.inbox.empty()) return 0;
  // As libpcap reuses its buffer, the frame handed out before is gone with this read: a
  // reader still looking at it sees the poison.
  std::fill(s.current.bytes.begin(), s.current.bytes.end(), 0xEE);
  s.current = std::move(s.inbox.front());
  s.inbox.pop_front();
  s.header = {};
  s.header.caplen = static_cast<bpf_u_int32>(s.current.bytes.size());
  s.header.len = s.current.wire_len;
  *header = &s.header;
  // Captured bytes live in their own allocation so a read past caplen is caught by ASan.
  *data = s.current.bytes.data();
  return 1;
}

__attribute__((visibility("default"))) int pcap_sendpacket(pcap_t*, const u_char* bytes,
                                                           int length) {
  std::lock_guard lock(state().mutex);
  state().sent.emplace_back(bytes, bytes + length);
  return 0;
}

__attribute__((visibility("default"))) int pcap_compile(pcap_t*, bpf_program* program,
                                                        const char* filter, int, bpf_u_int32) {
  std::lock_guard lock(state().mutex);
  state().filters.emplace_back(filter);
  program->bf_len = 0;
  program->bf_insns = nullptr;
  return 0;
}

#ifndef FAKE_PCAP_WITHOUT_SETFILTER
__attribute__((visibility("default"))) int pcap_setfilter(pcap_t*, bpf_program*) {
  std::lock_guard lock(state().mutex);
  state().filters.emplace_back("set");
  return 0;
}
#endif

// Control functions for the tests.
__attribute__((visibility("default"))) void fake_pcap_push(const u_char* bytes, int caplen,
                                                           int wire_len) {
  std::lock_guard lock(state().mutex);
  state().inbox.push_back(
      {std::vector<u_char>(bytes, bytes + caplen), static_cast<bpf_u_int32>(wire_len)});
}

__attribute__((visibility("default"))) int fake_pcap_sent_count() {
  std::lock_guard lock(state().mutex);
  return static_cast<int>(state().sent.size());
}

// Copies sent frame i; gives its length, or -1.
__attribute__((visibility("default"))) int fake_pcap_sent(int i, u_char* out, int capacity) {
  std::lock_guard lock(state().mutex);
  if (i < 0 || i >= static_cast<int>(state().sent.size())) return -1;
  const auto& f = state().sent[static_cast<std::size_t>(i)];
  std::memcpy(out, f.data(), std::min(f.size(), static_cast<std::size_t>(capacity)));
  return static_cast<int>(f.size());
}

__attribute__((visibility("default"))) int fake_pcap_filter_calls() {
  std::lock_guard lock(state().mutex);
  return static_cast<int>(state().filters.size());
}

__attribute__((visibility("default"))) int fake_pcap_inbox_size() {
  std::lock_guard lock(state().mutex);
  return static_cast<int>(state().inbox.size());
}

__attribute__((visibility("default"))) void fake_pcap_fail_reads(int on) {
  std::lock_guard lock(state().mutex);
  state().fail_reads = on != 0;
}

__attribute__((visibility("default"))) int fake_pcap_read_calls() {
  std::lock_guard lock(state().mutex);
  return state().read_calls;
}

__attribute__((visibility("default"))) void fake_pcap_reset() {
  std::lock_guard lock(state().mutex);
  state().fail_reads = false;
  state().read_calls = 0;
  state().inbox.clear();
  state().sent.clear();
  state().filters.clear();
}

}  // extern "C"
