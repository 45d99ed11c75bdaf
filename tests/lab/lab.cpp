#include "lab/lab.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef MARDO_LAB_SCRIPT
#error "MARDO_LAB_SCRIPT must name scripts/lab"
#endif
#ifndef MARDO_CAMSIM
#error "MARDO_CAMSIM must name the camsim program"
#endif

extern char** environ;

namespace mardo::lab {
namespace {

constexpr int kReadyTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kSocketBuffer = 4 * 1024 * 1024;
const char* const kDefaultWsIp[] = {"192.0.2.1", "198.51.100.1", "203.0.113.1"};

struct json_deleter {
  void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::vector<std::string> environment_with_owner() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "LAB_OWNER_PID=", 14) != 0) env.emplace_back(*e);
  }
  env.push_back("LAB_OWNER_PID=" + std::to_string(getpid()));
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (std::string& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Runs a program to its end with stdout and stderr collected; gives its exit status or -1.
int run_program(std::vector<std::string> argv, std::string* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<std::string> env = environment_with_owner();
  std::vector<char*> c_argv = c_strings(argv);
  std::vector<char*> c_env = c_strings(env);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    if (output) *output = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::optional<std::array<int, 4>> parse_quad(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  std::array<std::uint8_t, 4> b{};
  std::memcpy(b.data(), &a, 4);
  return std::array<int, 4>{b[0], b[1], b[2], b[3]};
}

std::string netmask_text(int prefix) {
  std::uint32_t m = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return std::to_string(m >> 24) + "." + std::to_string((m >> 16) & 0xFF) + "." +
         std::to_string((m >> 8) & 0xFF) + "." + std::to_string(m & 0xFF);
}

std::string mac_text(const mac_bytes_t& m) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return buf;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
  };
  std::vector<std::uint8_t> out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  }
  return out;
}

std::string json_string(const cJSON* obj, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
  return cJSON_IsString(item) ? item->valuestring : "";
}

double json_number(const cJSON* obj, const char* key, double fallback) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
  return cJSON_IsNumber(item) && item->valuedouble >= 0 ? item->valuedouble : fallback;
}

std::atomic<int> lab_counter{0};

// A test killed on its time-out leaves its temp dir; the next lab removes it.
void remove_abandoned_temp_dirs() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
    if (entry.path().filename().string().rfind("mardo-lab-", 0) != 0) continue;
    std::string pid_text = read_file(entry.path().string() + "/owner.pid");
    char* end = nullptr;
    long pid = std::strtol(pid_text.c_str(), &end, 10);
    if (pid <= 0 || end == pid_text.c_str()) continue;  // not ours, or being made
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) continue;
    std::filesystem::remove_all(entry.path(), ec);
  }
}

}  // namespace

std::string lab_script_path() {
  return MARDO_LAB_SCRIPT;
}

std::string unique_lab_id(char prefix) {
  // The PID keeps parallel test processes apart, the counter the labs of one process.
  for (;;) {
    std::string id =
        prefix + std::to_string(getpid() % 100000) + "x" + std::to_string(lab_counter++);
    struct stat st {};
    if (stat(("/run/mardo-lab/" + id).c_str(), &st) != 0 &&
        stat(("/run/netns/" + id + "-ws").c_str(), &st) != 0) {
      return id;
    }
  }
}

std::vector<std::string> lab_namespaces(const std::string& id) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(id + "-", 0) == 0) out.push_back(name);
  }
  return out;
}

std::string json_member(const std::string& json_line, const char* name) {
  std::unique_ptr<cJSON, void (*)(cJSON*)> o(cJSON_Parse(json_line.c_str()), cJSON_Delete);
  const cJSON* item = o ? cJSON_GetObjectItem(o.get(), name) : nullptr;
  if (cJSON_IsString(item)) return item->valuestring;
  if (cJSON_IsBool(item)) return cJSON_IsTrue(item) ? "true" : "false";
  return {};
}

bool running_in_ci() {
  const char* ci = std::getenv("CI");
  if (!ci) return false;
  std::string v = ci;
  return v == "true" || v == "TRUE" || v == "True" || v == "1";
}

std::optional<mac_bytes_t> parse_mac(const std::string& text) {
  mac_bytes_t m{};
  unsigned v[6];
  char sep[5];
  char tail;
  if (text.size() != 17) return std::nullopt;
  int n = std::sscanf(text.c_str(), "%2x%c%2x%c%2x%c%2x%c%2x%c%2x%c", &v[0], &sep[0], &v[1],
                      &sep[1], &v[2], &sep[2], &v[3], &sep[3], &v[4], &sep[4], &v[5], &tail);
  if (n != 11) return std::nullopt;
  for (char c : sep) {
    if (c != sep[0] || (c != ':' && c != '-')) return std::nullopt;
  }
  for (std::size_t i = 0; i < 6; ++i) m[i] = static_cast<std::uint8_t>(v[i]);
  return m;
}

std::vector<std::uint8_t> make_frame(const mac_bytes_t& dst, const mac_bytes_t& src,
                                     std::uint16_t ethertype,
                                     const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(static_cast<std::uint8_t>(ethertype >> 8));
  f.push_back(static_cast<std::uint8_t>(ethertype));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

std::string sim_event_t::text() const {
  constexpr std::size_t kHeader = 8;
  if (bytes.size() <= kHeader) return {};
  return std::string(bytes.begin() + kHeader, bytes.end());
}

// ---- netns_scope ----

netns_scope::netns_scope(const std::string& netns) {
  const auto fail = [&](const char* step) {
    const std::string why = std::strerror(errno);
    if (own_fd_ >= 0) ::close(own_fd_);
    throw std::runtime_error("netns_scope: cannot enter network namespace '" + netns + "' (" +
                             step + ": " + why + ")");
  };
  own_fd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own_fd_ < 0) fail("own namespace");
  const int target = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
  if (target < 0) fail("open");
  const int entered = setns(target, CLONE_NEWNET);
  const int saved = errno;
  ::close(target);
  errno = saved;
  if (entered != 0) fail("setns");
}

netns_scope::~netns_scope() {
  if (setns(own_fd_, CLONE_NEWNET) != 0) {
    // A test thread left in a lab namespace would send on the wrong network.
    std::perror("netns_scope: cannot return to the own namespace");
    std::abort();
  }
  if (own_fd_ >= 0) ::close(own_fd_);
}

// ---- raw_port ----

raw_port::raw_port(const std::string& netns, const std::string& ifname) {
  std::optional<netns_scope> scope;
  if (!netns.empty()) {
    scope.emplace(netns);
  }
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd < 0) return;
  int size = kSocketBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);
  sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  if (sll.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

raw_port::~raw_port() {
  if (fd_ >= 0) ::close(fd_);
}

bool raw_port::send(const std::vector<std::uint8_t>& frame) const {
  return fd_ >= 0 &&
         ::send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

std::optional<std::vector<std::uint8_t>> raw_port::receive(int timeout_ms,
                                                           std::uint16_t ethertype) const {
  if (fd_ < 0) return std::nullopt;
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<std::uint8_t> buf(65536);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int n = poll(&p, 1, ms_left(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    sockaddr_ll from{};
    socklen_t from_len = sizeof from;
    ssize_t got = recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got < 0) continue;
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    auto len = static_cast<std::size_t>(got);
    if (ethertype != 0 && (len < 14 || (std::uint16_t{buf[12]} << 8 | buf[13]) != ethertype)) {
      continue;
    }
    return std::vector<std::uint8_t>(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len));
  }
}

// ---- Lab ----

Lab::Lab(lab_config_t cfg) : cfg_(std::move(cfg)), id_(unique_lab_id('t')) {
  remove_abandoned_temp_dirs();
  char tmpl[] = "/tmp/mardo-lab-XXXXXX";
  if (!mkdtemp(tmpl)) {
    why_not_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  tmp_dir_ = tmpl;
  write_file(tmp_dir_ + "/owner.pid", std::to_string(getpid()) + "\n");
  events_path_ = tmp_dir_ + "/events.jsonl";
  if (!fill_defaults()) return;
  if (!bring_up()) return;
  if (cfg_.start_camsim && !start_camsim()) return;
  ok_ = true;
}

Lab::~Lab() {
  stop_camsim();
  if (up_) {
    std::string out;
    run_program({MARDO_LAB_SCRIPT, "down", id_}, &out);
  }
  if (!tmp_dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tmp_dir_, ec);
  }
}

std::string Lab::ws_ip(int segment) const {
  return cfg_.segments.at(static_cast<std::size_t>(segment)).ws_ip;
}

mac_bytes_t Lab::ws_mac(int segment) const {
  return parse_mac(cfg_.segments.at(static_cast<std::size_t>(segment)).ws_mac)
      .value_or(mac_bytes_t{});
}

mac_bytes_t Lab::camera_mac(int camera) const {
  return parse_mac(cfg_.cameras.at(static_cast<std::size_t>(camera)).mac).value_or(mac_bytes_t{});
}

bool Lab::fill_defaults() {
  if (cfg_.segments.empty() || cfg_.segments.size() > 100) {
    why_not_ = "a lab has 1..100 segments";
    return false;
  }
  for (std::size_t k = 0; k < cfg_.segments.size(); ++k) {
    segment_t& s = cfg_.segments[k];
    if (s.ws_ip.empty()) {
      if (k >= std::size(kDefaultWsIp)) {
        why_not_ = "segment " + std::to_string(k) + " needs a ws_ip";
        return false;
      }
      s.ws_ip = kDefaultWsIp[k];
    }
    if (s.ws_mac.empty()) {
      s.ws_mac = mac_text({0x02, 0, 0, 0, 0xFF, static_cast<std::uint8_t>(k)});
    }
    auto mac = parse_mac(s.ws_mac);
    if (!parse_quad(s.ws_ip) || s.prefix < 0 || s.prefix > 32 || !mac) {
      why_not_ = "segment " + std::to_string(k) + ": bad ws_ip, prefix or ws_mac";
      return false;
    }
    s.ws_mac = mac_text(*mac);
    for (const std::string& more : s.ws_more_ips) {
      const std::size_t slash = more.find('/');
      const std::string bits = slash == std::string::npos ? "" : more.substr(slash + 1);
      if (!parse_quad(more.substr(0, slash)) || bits.empty() || bits.size() > 2 ||
          bits.find_first_not_of("0123456789") != std::string::npos || std::stoi(bits) > 32) {
        why_not_ = "segment " + std::to_string(k) + ": bad ws_more_ips item " + more;
        return false;
      }
    }
  }
  for (std::size_t n = 0; n < cfg_.cameras.size(); ++n) {
    camera_t& c = cfg_.cameras[n];
    std::string where = "camera " + std::to_string(n);
    if (c.segment < 0 || static_cast<std::size_t>(c.segment) >= cfg_.segments.size()) {
      why_not_ = where + ": no segment " + std::to_string(c.segment);
      return false;
    }
    if (c.mac.empty()) {
      c.mac = mac_text({0x02, 0, 0x01, static_cast<std::uint8_t>(c.segment),
                        static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
    auto mac = parse_mac(c.mac);
    if (!mac) {
      why_not_ = where + ": bad mac " + c.mac;
      return false;
    }
    c.mac = mac_text(*mac);
    if (c.ip.empty()) {
      auto ws = parse_quad(cfg_.segments[static_cast<std::size_t>(c.segment)].ws_ip);
      if (10 + n > 254) {
        why_not_ = where + ": give an ip (the default host 10 + n is past 254)";
        return false;
      }
      c.ip = std::to_string((*ws)[0]) + "." + std::to_string((*ws)[1]) + "." +
             std::to_string((*ws)[2]) + "." + std::to_string(10 + n);
    }
    if (c.gateway.empty()) c.gateway = "0.0.0.0";
    if (!parse_quad(c.ip) || !parse_quad(c.gateway) || c.prefix < 0 || c.prefix > 32) {
      why_not_ = where + ": bad ip, gateway or prefix";
      return false;
    }
  }
  return true;
}

bool Lab::bring_up() {
  std::string out;
  run_program({MARDO_LAB_SCRIPT, "gc"}, &out);

  std::string topo;
  for (std::size_t k = 0; k < cfg_.segments.size(); ++k) {
    const segment_t& s = cfg_.segments[k];
    topo += "segment " + std::to_string(k) + " " + s.ws_ip + "/" + std::to_string(s.prefix) + " " +
            s.ws_mac + "\n";
    for (const std::string& more : s.ws_more_ips)
      topo += "ws-address " + std::to_string(k) + " " + more + "\n";
    if (s.ws_rate_bps > 0)
      topo += "ws-rate " + std::to_string(k) + " " + std::to_string(s.ws_rate_bps) + "\n";
  }
  for (std::size_t n = 0; n < cfg_.cameras.size(); ++n) {
    const camera_t& c = cfg_.cameras[n];
    topo += "camera " + std::to_string(n) + " " + std::to_string(c.segment) + " " + c.mac + " " +
            c.ip + "/" + std::to_string(c.prefix) + "\n";
  }
  if (cfg_.add_tun) topo += "tun\n";
  std::string topo_path = tmp_dir_ + "/topology";
  if (!write_file(topo_path, topo)) {
    why_not_ = "cannot write " + topo_path;
    return false;
  }
  int rc = run_program({MARDO_LAB_SCRIPT, "up", id_, topo_path}, &out);
  if (rc != 0) {
    why_not_ = "scripts/lab up failed (" + std::to_string(rc) + "): " + trim(out);
    return false;
  }
  up_ = true;
  return true;
}

bool Lab::start_camsim() {
  if (std::string(MARDO_CAMSIM).empty()) {
    why_not_ = "camsim was not built (MARDO_BUILD_SIM=OFF)";
    return false;
  }
  json_ptr root(cJSON_CreateObject());
  cJSON* cams = cJSON_AddArrayToObject(root.get(), "cameras");
  for (std::size_t n = 0; n < cfg_.cameras.size(); ++n) {
    const camera_t& c = cfg_.cameras[n];
    cJSON* o = cJSON_CreateObject();
    cJSON_AddItemToArray(cams, o);
    cJSON_AddStringToObject(o, "netns", camera_netns(static_cast<int>(n)).c_str());
    cJSON_AddStringToObject(o, "ifname", "eth0");
    cJSON_AddStringToObject(o, "mac", c.mac.c_str());
    cJSON_AddStringToObject(o, "ip", c.ip.c_str());
    cJSON_AddStringToObject(o, "netmask", netmask_text(c.prefix).c_str());
    cJSON_AddStringToObject(o, "gateway", c.gateway.c_str());
    cJSON_AddStringToObject(o, "version", c.version.c_str());
    cJSON_AddStringToObject(o, "model", c.model.c_str());
    cJSON_AddBoolToObject(o, "raw_search", c.raw_search);
    cJSON_AddStringToObject(o, "text44", c.text44.c_str());
    cJSON_AddNumberToObject(o, "search_answer_len", c.search_answer_len);
    cJSON_AddBoolToObject(o, "ip_query", c.ip_query);
    cJSON_AddNumberToObject(o, "ip_query_len_field", c.ip_query_len_field);
    cJSON_AddNumberToObject(o, "reply_delay_ms", c.reply_delay_ms);
    if (!c.extra_json.empty()) {
      json_ptr extra(cJSON_Parse(("{" + c.extra_json + "}").c_str()));
      if (!extra) {
        why_not_ = "camera " + std::to_string(n) + ": extra_json is not JSON members";
        return false;
      }
      while (cJSON* item = extra->child) {
        cJSON_DetachItemViaPointer(extra.get(), item);
        std::string key = item->string;
        if (cJSON_GetObjectItemCaseSensitive(o, key.c_str())) {
          cJSON_ReplaceItemInObjectCaseSensitive(o, key.c_str(), item);
        } else {
          cJSON_AddItemToObject(o, key.c_str(), item);
        }
      }
    }
  }
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(root.get()), &cJSON_free);
  std::string config_path = tmp_dir_ + "/camsim.json";
  std::string err_path = tmp_dir_ + "/camsim.err";
  if (!text || !write_file(config_path, text.get())) {
    why_not_ = "cannot write " + config_path;
    return false;
  }

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    why_not_ = "pipe failed";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv = {MARDO_CAMSIM, "--config",   config_path,
                                   "--events",   events_path_, "--exit-with-parent"};
  std::vector<std::string> env = environment_with_owner();
  std::vector<char*> c_argv = c_strings(argv);
  std::vector<char*> c_env = c_strings(env);
  int rc = posix_spawn(&camsim_pid_, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    camsim_pid_ = -1;
    why_not_ = std::string("cannot start camsim: ") + std::strerror(rc);
    return false;
  }

  auto deadline = clock_type::now() + std::chrono::milliseconds(kReadyTimeoutMs);
  std::string seen;
  bool ready = false;
  while (!ready) {
    pollfd p{fds[0], POLLIN, 0};
    int n = poll(&p, 1, ms_left(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buf[256];
    ssize_t got = ::read(fds[0], buf, sizeof buf);
    if (got <= 0) break;  // camsim ended
    seen.append(buf, static_cast<std::size_t>(got));
    ready = seen.find("ready\n") != std::string::npos;
  }
  ::close(fds[0]);
  if (!ready) {
    why_not_ = "camsim did not get ready: " + trim(read_file(err_path));
    return false;
  }
  return true;
}

void Lab::stop_camsim() {
  if (camsim_pid_ <= 0) return;
  kill(camsim_pid_, SIGTERM);
  auto deadline = clock_type::now() + std::chrono::milliseconds(kStopTimeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(camsim_pid_, &status, WNOHANG);
    if (r == camsim_pid_ || (r < 0 && errno != EINTR)) break;
    if (clock_type::now() >= deadline) {
      kill(camsim_pid_, SIGKILL);
      waitpid(camsim_pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  camsim_pid_ = -1;
}

std::vector<sim_event_t> Lab::events() const {
  std::vector<sim_event_t> out;
  std::string text = read_file(events_path_);
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // no line feed yet: still being written
    json_ptr obj(cJSON_ParseWithLength(text.data() + start, end - start));
    start = end + 1;
    if (!obj) continue;
    sim_event_t ev;
    ev.t_ms = static_cast<std::uint64_t>(json_number(obj.get(), "t_ms", 0));
    ev.camera = static_cast<int>(json_number(obj.get(), "camera", -1));
    ev.mac = json_string(obj.get(), "mac");
    ev.channel = json_string(obj.get(), "channel");
    ev.src = json_string(obj.get(), "src");
    ev.ethertype = static_cast<std::uint16_t>(json_number(obj.get(), "ethertype", 0));
    ev.len = static_cast<std::size_t>(json_number(obj.get(), "len", 0));
    ev.bytes = from_hex(json_string(obj.get(), "hex"));
    ev.dst = json_string(obj.get(), "dst");
    ev.serial = static_cast<std::int64_t>(json_number(obj.get(), "serial", -1));
    ev.transport = json_string(obj.get(), "transport");
    out.push_back(std::move(ev));
  }
  return out;
}

std::vector<sim_event_t> Lab::wait_events(
    const std::function<bool(const std::vector<sim_event_t>&)>& pred, int timeout_ms) const {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::vector<sim_event_t> ev = events();
    if (pred(ev) || clock_type::now() >= deadline) return ev;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Lab::inject(int camera, const std::vector<std::uint8_t>& frame) const {
  if (camera < 0 || static_cast<std::size_t>(camera) >= cfg_.cameras.size()) return false;
  raw_port port(camera_netns(camera), "eth0");
  return port.send(frame);
}

}  // namespace mardo::lab
