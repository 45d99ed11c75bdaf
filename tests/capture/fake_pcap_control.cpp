#include "fake_pcap_control.h"

#include <dlfcn.h>

#include "net/capture.h"

namespace fake_pcap {
namespace {

void* module() {
  static void* m = dlopen(FAKE_PCAP_PATH, RTLD_NOW | RTLD_NOLOAD);
  return m;
}

template <typename Fn>
Fn fn(const char* name) {
  return reinterpret_cast<Fn>(dlsym(module(), name));
}

}  // namespace

bool load() {
  mardo::load_capture_library_from(FAKE_PCAP_PATH);
  return module() != nullptr;
}

void push(const std::vector<std::uint8_t>& frame, int wire_len) {
  const int size = static_cast<int>(frame.size());
  push_cut(frame, size, wire_len < 0 ? size : wire_len);
}

void push_cut(const std::vector<std::uint8_t>& frame, int caplen, int wire_len) {
  fn<void (*)(const unsigned char*, int, int)>("fake_pcap_push")(frame.data(), caplen, wire_len);
}

int sent_count() {
  return fn<int (*)()>("fake_pcap_sent_count")();
}

std::vector<std::uint8_t> sent(int i) {
  std::vector<std::uint8_t> out(2048);
  const int n = fn<int (*)(int, unsigned char*, int)>("fake_pcap_sent")(i, out.data(), 2048);
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

int filter_calls() {
  return fn<int (*)()>("fake_pcap_filter_calls")();
}
int inbox_size() {
  return fn<int (*)()>("fake_pcap_inbox_size")();
}
void fail_reads(bool on) {
  fn<void (*)(int)>("fake_pcap_fail_reads")(on ? 1 : 0);
}
int read_calls() {
  return fn<int (*)()>("fake_pcap_read_calls")();
}
void reset() {
  fn<void (*)()>("fake_pcap_reset")();
}

}  // namespace fake_pcap
