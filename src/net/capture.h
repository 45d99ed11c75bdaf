#pragma once
// The packet-capture library, opened at run time so that the tool starts and works
// over multicast and TCP where libpcap (or the right to capture) is missing.
// Only libpcap's types come from its header; nothing links against it.
#include <pcap/pcap.h>

namespace mardo {

// Capture parameters used wherever the tool opens an adapter.
inline constexpr int kCapSnapLen = 65536;
inline constexpr int kCapPromisc = 1;
inline constexpr int kCapTimeoutMs = 1;
// Kernel capture buffer of the adapters' handles.
inline constexpr int kCapBufferBytes = 32 * 1024 * 1024;

// Loads libpcap and resolves pcap_open_live, pcap_close, pcap_next_ex, pcap_sendpacket,
// pcap_compile, pcap_setfilter in that order, each kept as soon as it is found. True when
// all six are there. Once loaded the library stays loaded; later calls answer at once.
bool load_capture_library();
// The same from a given file; the first library loaded wins for the process.
bool load_capture_library_from(const char* path);

// The call layer. A missing entry point or a null handle gives the result shown.
pcap_t* cap_open_live(const char* device, int snaplen, int promisc, int timeout_ms,
                      char* errbuf);  // null
void cap_close(pcap_t* handle);       // nothing
// Reading a frame in two steps: one read that does not wait (every handle is made
// non-blocking where the library allows), and the wait of at most timeout_ms for a frame to
// read, true when one may be there; without a descriptor to wait on it sleeps its time-out.
// The frame stays valid only until the handle's next read: threads read through a
// capture_port (net/capture_port.h), which copies it out.
int cap_read_once(pcap_t* handle, pcap_pkthdr** header, const u_char** data);  // 0
bool cap_wait_readable(pcap_t* handle, int timeout_ms);                        // false
int cap_send_frame(pcap_t* handle, const u_char* bytes, int length);           // 0
int cap_compile(pcap_t* handle, bpf_program* program, const char* filter, int optimize,
                bpf_u_int32 netmask);                      // 0
int cap_set_filter(pcap_t* handle, bpf_program* program);  // 0

// Opens an adapter with the capture parameters above. Where the library offers it the
// handle is made in immediate mode: every exchange of the tool is lock-step, and a
// buffered handle would hand each answer over only when its read time-out expires.
// Falls back to cap_open_live. Null when the adapter cannot be opened.
pcap_t* cap_open_adapter(const char* device);

// Compiles (optimised, netmask 0) and installs a filter. Failures are the caller's to
// ignore; the compiled program is released afterwards where the library allows it.
void cap_apply_filter(pcap_t* handle, const char* filter);

}  // namespace mardo
