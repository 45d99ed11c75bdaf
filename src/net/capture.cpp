#include "net/capture.h"

#ifdef _WIN32
#include <windows.h>

#include "core/system.h"
#else
#include <dlfcn.h>
#include <poll.h>
#endif

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace mardo {
namespace {

using open_live_fn = pcap_t* (*)(const char*, int, int, int, char*);
using close_fn = void (*)(pcap_t*);
using next_ex_fn = int (*)(pcap_t*, pcap_pkthdr**, const u_char**);
using sendpacket_fn = int (*)(pcap_t*, const u_char*, int);
using compile_fn = int (*)(pcap_t*, bpf_program*, const char*, int, bpf_u_int32);
using setfilter_fn = int (*)(pcap_t*, bpf_program*);
// Optional extras: immediate mode and releasing compiled filters.
using create_fn = pcap_t* (*)(const char*, char*);
using set_int_fn = int (*)(pcap_t*, int);
using activate_fn = int (*)(pcap_t*);
using freecode_fn = void (*)(bpf_program*);
using setnonblock_fn = int (*)(pcap_t*, int, char*);
using selectable_fd_fn = int (*)(pcap_t*);

struct capture_library {
  void* module = nullptr;
  std::atomic<open_live_fn> open_live{nullptr};
  std::atomic<close_fn> close{nullptr};
  std::atomic<next_ex_fn> next_ex{nullptr};
  std::atomic<sendpacket_fn> sendpacket{nullptr};
  std::atomic<compile_fn> compile{nullptr};
  std::atomic<setfilter_fn> setfilter{nullptr};
  create_fn create = nullptr;
  set_int_fn set_snaplen = nullptr;
  set_int_fn set_promisc = nullptr;
  set_int_fn set_timeout = nullptr;
  set_int_fn set_immediate_mode = nullptr;
  set_int_fn set_buffer_size = nullptr;
  activate_fn activate = nullptr;
  freecode_fn freecode = nullptr;
  setnonblock_fn setnonblock = nullptr;
  selectable_fd_fn selectable_fd = nullptr;
  bool complete = false;
};

capture_library& lib() {
  static capture_library instance;
  return instance;
}

std::mutex& load_mutex() {
  static std::mutex m;
  return m;
}

// What differs between the platforms: finding and opening the library, and what a read
// without a frame waits on.
#ifdef _WIN32

// By full path; what it loads in turn comes from its own folder (Npcap's wpcap.dll needs the
// Packet.dll beside it) or System32, never from the program's or the working folder.
void* open_library_file(const char* path) {
  return LoadLibraryExW(wide_text(path).c_str(), nullptr,
                        LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* open_system_library() {
  // Npcap keeps its wpcap.dll in System32\Npcap, outside the search path unless it was
  // installed WinPcap-compatible. WinPcap's, and Wine's (which hands the calls to the host's
  // libpcap), is in System32 itself. Both by full path: a wpcap.dll planted beside the
  // program or in the working folder is never loaded.
  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  for (const wchar_t* file : {L"\\Npcap\\wpcap.dll", L"\\wpcap.dll"}) {
    const std::wstring path = std::wstring(system, length) + file;
    if (HMODULE m = LoadLibraryExW(path.c_str(), nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32))
      return m;
  }
  return nullptr;
}

void* library_symbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

// A Windows handle has no selectable descriptor, so a read without a frame sleeps. Npcap's
// pcap_getevent would give an event to wait on, but Wine's wpcap has it only as a stub that
// faults when called.
int wait_on_descriptor(pcap_t*, int) {
  return -1;
}

#else

void* open_library_file(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* open_system_library() {
  // Upstream's soname first; Debian ships the same library as libpcap.so.0.8.
  for (const char* name : {"libpcap.so.1", "libpcap.so.0.8", "libpcap.so"})
    if (void* module = open_library_file(name)) return module;
  return nullptr;
}

void* library_symbol(void* module, const char* name) {
  return dlsym(module, name);
}

// 1 when the handle's descriptor became readable within timeout_ms, 0 when not, -1 when
// the handle has no descriptor to wait on.
int wait_on_descriptor(pcap_t* handle, int timeout_ms) {
  const int fd = handle && lib().selectable_fd ? lib().selectable_fd(handle) : -1;
  if (fd < 0) return -1;
  pollfd wait{fd, POLLIN, 0};
  return poll(&wait, 1, timeout_ms) > 0 ? 1 : 0;
}

#endif

template <typename Fn>
Fn resolve(void* module, const char* name) {
  return reinterpret_cast<Fn>(library_symbol(module, name));
}

// Resolves the six entry points in order, keeping those found before a missing one.
bool resolve_all(capture_library& l) {
  if (auto f = resolve<open_live_fn>(l.module, "pcap_open_live"))
    l.open_live = f;
  else
    return false;
  if (auto f = resolve<close_fn>(l.module, "pcap_close"))
    l.close = f;
  else
    return false;
  if (auto f = resolve<next_ex_fn>(l.module, "pcap_next_ex"))
    l.next_ex = f;
  else
    return false;
  if (auto f = resolve<sendpacket_fn>(l.module, "pcap_sendpacket"))
    l.sendpacket = f;
  else
    return false;
  if (auto f = resolve<compile_fn>(l.module, "pcap_compile"))
    l.compile = f;
  else
    return false;
  if (auto f = resolve<setfilter_fn>(l.module, "pcap_setfilter"))
    l.setfilter = f;
  else
    return false;
  return true;
}

void resolve_extras(capture_library& l) {
  l.create = resolve<create_fn>(l.module, "pcap_create");
  l.set_snaplen = resolve<set_int_fn>(l.module, "pcap_set_snaplen");
  l.set_promisc = resolve<set_int_fn>(l.module, "pcap_set_promisc");
  l.set_timeout = resolve<set_int_fn>(l.module, "pcap_set_timeout");
  l.set_immediate_mode = resolve<set_int_fn>(l.module, "pcap_set_immediate_mode");
  l.activate = resolve<activate_fn>(l.module, "pcap_activate");
  l.set_buffer_size = resolve<set_int_fn>(l.module, "pcap_set_buffer_size");
  l.freecode = resolve<freecode_fn>(l.module, "pcap_freecode");
  l.setnonblock = resolve<setnonblock_fn>(l.module, "pcap_setnonblock");
  l.selectable_fd = resolve<selectable_fd_fn>(l.module, "pcap_get_selectable_fd");
}

template <typename Open>
bool load_with(Open open) {
  std::lock_guard lock(load_mutex());
  capture_library& l = lib();
  if (l.module) return l.complete;
  l.module = open();
  if (!l.module) return false;
  resolve_extras(l);
  l.complete = resolve_all(l);
  return l.complete;
}

// libpcap on Linux does not end a read at its time-out: pcap_next_ex keeps polling until a
// frame comes, and so does Wine's wpcap, which hands the read to it. A reader would then
// never see its stop flag on an idle adapter. Every handle is therefore made non-blocking,
// and a read without a frame waits for one on the handle's descriptor, or sleeps where there
// is none, for at most the read time-out.
pcap_t* make_timed(pcap_t* handle) {
  capture_library& l = lib();
  if (handle && l.setnonblock) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    l.setnonblock(handle, 1, errbuf);
  }
  return handle;
}

}  // namespace

bool load_capture_library() {
  return load_with(open_system_library);
}

bool load_capture_library_from(const char* path) {
  return load_with([path] { return open_library_file(path); });
}

pcap_t* cap_open_live(const char* device, int snaplen, int promisc, int timeout_ms, char* errbuf) {
  auto f = lib().open_live.load();
  return f ? make_timed(f(device, snaplen, promisc, timeout_ms, errbuf)) : nullptr;
}

void cap_close(pcap_t* handle) {
  auto f = lib().close.load();
  if (f && handle) f(handle);
}

int cap_read_once(pcap_t* handle, pcap_pkthdr** header, const u_char** data) {
  auto f = lib().next_ex.load();
  return f && handle ? f(handle, header, data) : 0;
}

bool cap_wait_readable(pcap_t* handle, int timeout_ms) {
  const int wait_ms = timeout_ms < 0 ? 0 : timeout_ms;
  const int readable = wait_on_descriptor(handle, wait_ms);
  if (readable >= 0) return readable > 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  return false;
}

int cap_send_frame(pcap_t* handle, const u_char* bytes, int length) {
  auto f = lib().sendpacket.load();
  return f && handle ? f(handle, bytes, length) : 0;
}

int cap_compile(pcap_t* handle, bpf_program* program, const char* filter, int optimize,
                bpf_u_int32 netmask) {
  auto f = lib().compile.load();
  return f && handle ? f(handle, program, filter, optimize, netmask) : 0;
}

int cap_set_filter(pcap_t* handle, bpf_program* program) {
  auto f = lib().setfilter.load();
  return f && handle ? f(handle, program) : 0;
}

pcap_t* cap_open_adapter(const char* device) {
  capture_library& l = lib();
  if (l.open_live.load() && l.close.load() && l.create && l.set_snaplen && l.set_promisc &&
      l.set_timeout && l.set_immediate_mode && l.activate) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (pcap_t* h = l.create(device, errbuf)) {
      l.set_snaplen(h, kCapSnapLen);
      l.set_promisc(h, kCapPromisc);
      l.set_timeout(h, kCapTimeoutMs);
      l.set_immediate_mode(h, 1);
      // A search answer burst from a few hundred cameras must fit the capture ring.
      if (l.set_buffer_size) l.set_buffer_size(h, kCapBufferBytes);
      // Warnings (positive results) still leave a usable handle.
      if (l.activate(h) >= 0) return make_timed(h);
      l.close.load()(h);
    }
  }
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  return cap_open_live(device, kCapSnapLen, kCapPromisc, kCapTimeoutMs, errbuf);
}

void cap_apply_filter(pcap_t* handle, const char* filter) {
  if (!handle) return;
  bpf_program program{};
  if (!lib().compile.load()) return;
  if (cap_compile(handle, &program, filter, 1, 0) != 0) return;
  cap_set_filter(handle, &program);
  if (lib().freecode) lib().freecode(&program);
}

}  // namespace mardo
