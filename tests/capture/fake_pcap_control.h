#pragma once
// Reaches the control functions of the stand-in library the capture layer loaded.
#include <cstdint>
#include <vector>

namespace fake_pcap {

bool load();  // loads FAKE_PCAP_PATH through the capture layer, then binds the controls
void push(const std::vector<std::uint8_t>& frame, int wire_len = -1);
void push_cut(const std::vector<std::uint8_t>& frame, int caplen, int wire_len);
int sent_count();
std::vector<std::uint8_t> sent(int i);
int filter_calls();
int inbox_size();
void fail_reads(bool on);  // every read reports an error
int read_calls();
void reset();

}  // namespace fake_pcap
