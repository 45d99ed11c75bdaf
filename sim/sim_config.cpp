#include "sim_config.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace mardo::sim {
namespace {

// The whole answer carrying it still fits the client's single read.
constexpr std::size_t kMaxRtspSession = 1024;

struct json_deleter {
  void operator()(cJSON* p) const { cJSON_Delete(p); }
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the members of one camera object; every failure names the member.
class camera_reader {
 public:
  camera_reader(const cJSON* object, std::string prefix, std::string* error)
      : object_(object), prefix_(std::move(prefix)), error_(error) {}

  bool ok() const { return ok_; }

  void text(const char* key, std::string& out, bool required = false) {
    const cJSON* item = member(key, required);
    if (!item) return;
    if (!cJSON_IsString(item)) return fail(key, "not a string");
    out = item->valuestring;
  }

  void flag(const char* key, bool& out) {
    const cJSON* item = member(key, false);
    if (!item) return;
    if (!cJSON_IsBool(item)) return fail(key, "not true or false");
    out = cJSON_IsTrue(item);
  }

  void integer(const char* key, int& out, int min, int max, bool required = false) {
    const cJSON* item = member(key, required);
    if (!item) return;
    if (!cJSON_IsNumber(item)) return fail(key, "not a number");
    double v = item->valuedouble;
    if (v != std::floor(v) || v < min || v > max) {
      return fail(
          key,
          ("not a whole number in " + std::to_string(min) + ".." + std::to_string(max)).c_str());
    }
    out = static_cast<int>(v);
  }

  void uint32(const char* key, std::optional<std::uint32_t>& out) {
    const cJSON* item = member(key, false);
    if (!item) return;
    double v = cJSON_IsNumber(item) ? item->valuedouble : -1;
    if (v != std::floor(v) || v < 0 || v > 4294967295.0) {
      return fail(key, "not a whole number in 0..4294967295");
    }
    out = static_cast<std::uint32_t>(v);
  }

  void dest(const char* key, std::optional<mc_dest_t>& out) {
    const cJSON* item = member(key, false);
    if (!item) return;
    std::string v = cJSON_IsString(item) ? item->valuestring : "";
    if (v == "requester") {
      out = mc_dest_t::requester;
    } else if (v == "group") {
      out = mc_dest_t::group;
    } else {
      fail(key, "not \"requester\" or \"group\"");
    }
  }

  // Any JSON value, kept as its text; stored under `as` (the member name on the wire).
  void raw_value(const char* key, const char* as,
                 std::vector<std::pair<std::string, std::string>>& out) {
    const cJSON* item = member(key, false);
    if (!item) return;
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(item), &cJSON_free);
    if (!text) return fail(key, "cannot be printed");
    out.emplace_back(as, text.get());
  }

  // The member's array of objects, each handed to fn with a reader of its own.
  template <typename Fn>
  void objects(const char* key, Fn&& fn) {
    const cJSON* item = member(key, false);
    if (!item) return;
    if (!cJSON_IsArray(item)) return fail(key, "not an array");
    int index = 0;
    for (const cJSON* e = item->child; e && ok_; e = e->next, ++index) {
      std::string at = std::string(key) + "[" + std::to_string(index) + "]";
      if (!cJSON_IsObject(e)) return fail(at.c_str(), "not an object");
      camera_reader r(e, prefix_ + "." + at, error_);
      fn(r);
      if (!r.ok()) ok_ = false;
    }
  }

  // The member's object, handed to fn with a reader of its own.
  template <typename Fn>
  void object(const char* key, Fn&& fn) {
    const cJSON* item = member(key, false);
    if (!item) return;
    if (!cJSON_IsObject(item)) return fail(key, "not an object");
    camera_reader r(item, prefix_ + "." + key, error_);
    fn(r);
    if (!r.ok()) ok_ = false;
  }

  // An array of exactly N whole numbers 0..255.
  template <std::size_t N>
  void int_array(const char* key, std::array<int, N>& out) {
    const cJSON* item = member(key, false);
    if (!item) return;
    if (!cJSON_IsArray(item) || cJSON_GetArraySize(item) != static_cast<int>(N))
      return fail(key, ("not an array of " + std::to_string(N) + " numbers").c_str());
    std::size_t i = 0;
    for (const cJSON* e = item->child; e; e = e->next, ++i) {
      if (!cJSON_IsNumber(e) || e->valuedouble < 0 || e->valuedouble > 255 ||
          e->valuedouble != std::floor(e->valuedouble))
        return fail(key, "not whole numbers in 0..255");
      out[i] = static_cast<int>(e->valuedouble);
    }
  }

  // A text that must be one of the names; out takes the value named.
  template <typename E>
  void one_of(const char* key, E& out, std::initializer_list<std::pair<const char*, E>> options) {
    if (!has(key)) return;
    std::string v;
    text(key, v);
    if (!ok_) return;
    std::string names;
    std::size_t i = 0;
    for (const auto& [name, value] : options) {
      if (v == name) {
        out = value;
        return;
      }
      names += (i == 0 ? "" : i + 1 == options.size() ? " or " : ", ") + std::string(name);
      ++i;
    }
    fail(key, ("not " + names).c_str());
  }

  bool has(const char* key) const {
    return ok_ && cJSON_GetObjectItemCaseSensitive(object_, key) != nullptr;
  }

  void mac(const char* key, mac_t& out) {
    std::string s;
    const cJSON* item = member(key, true);
    if (!item) return;
    if (!cJSON_IsString(item)) return fail(key, "not a string");
    s = item->valuestring;
    auto m = parse_mac(s);
    if (!m) return fail(key, "not a MAC address");
    out = *m;
  }

  void ipv4(const char* key, ipv4_t& out, bool required) {
    const cJSON* item = member(key, required);
    if (!item) return;
    if (!cJSON_IsString(item)) return fail(key, "not a string");
    auto a = parse_ipv4(item->valuestring);
    if (!a) return fail(key, "not a dotted IPv4 address");
    out = *a;
  }

  void fail(const char* key, const char* why) {
    if (!ok_) return;
    ok_ = false;
    *error_ = prefix_ + "." + key + ": " + why;
  }

 private:
  const cJSON* member(const char* key, bool required) {
    if (!ok_) return nullptr;
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object_, key);
    if (!item && required) fail(key, "missing");
    return item;
  }

  const cJSON* object_;
  std::string prefix_;
  std::string* error_;
  bool ok_ = true;
};

// Members both answer lists share; `names` are the JSON members an element may replace,
// each with its name on the wire.
std::vector<mc_answer_t> read_answers(
    camera_reader& r, const char* key,
    std::initializer_list<std::pair<const char*, const char*>> names) {
  std::vector<mc_answer_t> out;
  r.objects(key, [&](camera_reader& e) {
    mc_answer_t a;
    e.integer("delay_ms", a.delay_ms, 0, kMaxReplyDelayMs);
    e.dest("to", a.to);
    for (const auto& [config_name, wire_name] : names)
      e.raw_value(config_name, wire_name, a.members);
    if (e.has("text")) {
      std::string text;
      e.text("text", text);
      if (text.size() > static_cast<std::size_t>(kMaxMcDatagram - 8))
        e.fail("text", "longer than one datagram");
      a.text = std::move(text);
    }
    e.uint32("identify", a.identify);
    e.uint32("data_len", a.data_len);
    out.push_back(std::move(a));
  });
  return out;
}

void read_rtsp(camera_reader& r, sim_camera_t& cam) {
  constexpr int kMaxMs = 10 * kMaxReplyDelayMs;
  sim_rtsp_t& v = cam.rtsp;
  r.flag("rtsp", v.enabled);
  r.integer("rtsp_track", v.track, -1, 0xFFFF);
  r.integer("rtsp_fps", v.fps, 1, 250);
  r.integer("rtsp_kbps", v.kbps, 1, 100000);
  r.integer("rtsp_gop", v.gop, 1, 1 << 20);
  // Down to what still leaves FU-A fragments a few bytes; up to one datagram.
  r.integer("rtsp_payload", v.payload, 16, kMaxMcDatagram - static_cast<int>(kRtpHeaderSize));
  r.integer("rtsp_seq_start", v.seq_start, 0, 0xFFFF);
  v.session = rtsp_default_session(cam.mac);
  r.text("rtsp_session", v.session);
  r.integer("rtsp_play_status", v.play_status, 100, 699);
  r.one_of("rtsp_describe", v.describe,
           {{"answer", rtsp_describe_t::answer}, {"silence", rtsp_describe_t::silence},
            {"close", rtsp_describe_t::close}});
  r.integer("rtsp_lose_nal", v.lose_nal, -1, INT32_MAX);
  r.object("rtsp_dark", [&](camera_reader& e) {
    rtsp_dark_t dark;
    e.integer("play_ms", dark.play_ms, 0, kMaxMs, true);
    e.integer("dark_ms", dark.dark_ms, 0, kMaxMs, true);
    v.dark = dark;
  });
  r.objects("power_cuts", [&](camera_reader& e) {
    power_cut_t cut;
    e.integer("play_ms", cut.play_ms, 0, kMaxMs, true);
    e.integer("off_ms", cut.off_ms, 0, kMaxMs, true);
    v.power_cuts.push_back(cut);
  });
  r.flag("port8200", v.port8200);
}

std::optional<sim_camera_t> read_camera(const cJSON* object, int index, std::string* error) {
  std::string prefix = "cameras[" + std::to_string(index) + "]";
  if (!cJSON_IsObject(object)) {
    *error = prefix + ": not an object";
    return std::nullopt;
  }
  sim_camera_t cam;
  camera_reader r(object, prefix, error);
  r.text("netns", cam.netns, true);
  r.text("ifname", cam.ifname);
  r.mac("mac", cam.mac);
  r.ipv4("ip", cam.ip, true);
  r.ipv4("netmask", cam.netmask, false);
  r.ipv4("gateway", cam.gateway, false);
  r.text("version", cam.version);
  r.text("model", cam.model);
  r.flag("raw_search", cam.raw_search);
  r.text("text44", cam.text44);
  r.integer("search_answer_len", cam.search_answer_len, 0, kMaxFrame);
  r.flag("ip_query", cam.ip_query);
  r.integer("ip_query_len_field", cam.ip_query_len_field, 0, 0xFFFF);
  r.integer("reply_delay_ms", cam.reply_delay_ms, 0, kMaxReplyDelayMs);
  r.flag("set_ip_moves_interface", cam.set_ip_moves_interface);
  r.integer("move_delay_ms", cam.move_delay_ms, 0, kMaxReplyDelayMs);
  r.flag("raw_set_ip", cam.raw_set_ip);
  r.integer("reboot_ms", cam.reboot_ms, 0, 10 * kMaxReplyDelayMs);
  r.flag("mc_search", cam.mc_search);
  r.flag("mc_modify", cam.mc_modify);
  if (!r.ok()) return std::nullopt;
  cam.mc_mac = format_mac_upper(cam.mac);
  r.text("mc_mac", cam.mc_mac);
  std::optional<mc_dest_t> reply_to;
  r.dest("mc_reply_to", reply_to);
  if (reply_to) cam.mc_reply_to = *reply_to;
  r.text("mc_modify_err", cam.mc_modify_err);
  r.flag("tftp", cam.tftp.enabled);
  r.flag("tftp_plain_ack", cam.tftp.plain_ack);
  r.integer("tftp_stop_after", cam.tftp.stop_after, -1, 1 << 30);
  r.flag("tftp_duplicate_acks", cam.tftp.duplicate_acks);
  r.integer("tftp_late_ack_ms", cam.tftp.late_ack_ms, 0, kMaxReplyDelayMs);
  r.one_of("tftp_last", cam.tftp.last,
           {{"ack", tftp_last_t::ack}, {"error3", tftp_last_t::error3},
            {"error8", tftp_last_t::error8}, {"silence", tftp_last_t::silence}});
  r.flag("factory", cam.factory);
  r.flag("presence", cam.presence);
  r.integer("switch1", cam.switch1, INT32_MIN, INT32_MAX);
  r.integer("switch2", cam.switch2, INT32_MIN, INT32_MAX);
  r.integer("chip", cam.chip, INT32_MIN, INT32_MAX);
  r.integer("sd", cam.sd, INT32_MIN, INT32_MAX);
  r.integer("reset_press_ms", cam.reset_press_ms, -1, kMaxReplyDelayMs);
  r.integer("clock_offset_s", cam.clock_offset_s, -86400 * 366, 86400 * 366);
  r.integer("tz_index", cam.tz_index, 0, 0xFFFF);
  for (auto [key, out] : {std::pair{"rs485_1", &cam.rs485_1}, std::pair{"rs485_2", &cam.rs485_2}})
    r.int_array(key, *out);
  r.text("rs485_pty", cam.rs485_pty);
  r.flag("cmd", cam.cmd.enabled);
  r.flag("cmd_accept_models", cam.cmd.accept_models);
  r.text("product_model", cam.cmd.product_model);
  r.text("hardware_model", cam.cmd.hardware_model);
  r.flag("svc", cam.svc.enabled);
  r.one_of("svc_param", cam.svc.param,
           {{"answer", svc_param_t::answer}, {"silence", svc_param_t::silence},
            {"close", svc_param_t::close}});
  r.text("svc_param_err", cam.svc.param_err);
  cam.svc.inter_model = cam.model;
  cam.svc.extern_model = cam.model;
  r.text("inter_model", cam.svc.inter_model);
  r.text("extern_model", cam.svc.extern_model);
  if (r.has("svc_param_text")) {
    std::string text;
    r.text("svc_param_text", text);
    cam.svc.param_text = text;
  }
  r.integer("svc_param_fragment", cam.svc.param_fragment, 0, static_cast<int>(kSvcMaxPayload));
  auto word = [&r](const char* key, std::uint32_t& out) {
    std::optional<std::uint32_t> value;
    r.uint32(key, value);
    if (value) out = *value;
  };
  word("svc_param_error", cam.svc.param_error);
  word("svc_header_error", cam.svc.header_error);
  r.flag("svc_header_bare", cam.svc.header_bare);
  r.integer("svc_status_error_image", cam.svc.status_error_image, -1, 1 << 20);
  r.integer("svc_split_ms", cam.svc.split_ms, -1, kMaxReplyDelayMs);
  r.flag("svc_unsized", cam.svc.unsized);
  r.flag("svc_reset_flag", cam.svc.reset_flag);
  word("svc_image_error", cam.svc.image_error);
  r.integer("svc_finish_after", cam.svc.finish_after, 1, 1 << 20);
  r.integer("svc_reset_after", cam.svc.reset_after, -1, 1 << 30);
  r.flag("svc_after_patch", cam.svc.after_patch);
  r.integer("svc_restart_ms", cam.svc.restart_ms, 0, kMaxReplyDelayMs);
  r.one_of("svc_status", cam.svc.status,
           {{"answer", svc_status_t::answer}, {"silence", svc_status_t::silence},
            {"error", svc_status_t::error}});
  if (r.has("svc_header_text")) {
    std::string text;
    r.text("svc_header_text", text);
    cam.svc.header_text = text;
  }
  if (r.has("mc_answers")) {
    cam.mc_answers = read_answers(r, "mc_answers",
                                  {{"ip", "ip"},
                                   {"netmask", "netmask"},
                                   {"gateway", "gateway"},
                                   {"mac", "mac"},
                                   {"version", "version"},
                                   {"model", "model"}});
  }
  if (r.has("mc_modify_answers")) {
    cam.mc_modify_answers =
        read_answers(r, "mc_modify_answers", {{"mac", "mac"}, {"err", "errMsg"}});
  }
  read_rtsp(r, cam);
  if (!r.ok()) return std::nullopt;
  cam.iface_ip = cam.ip;

  if (cam.netns.empty() || cam.netns.find('/') != std::string::npos || cam.netns == "." ||
      cam.netns == "..") {
    r.fail("netns", "not a namespace name");
  } else if (cam.ifname.empty() || cam.ifname.size() > 15) {
    r.fail("ifname", "not an interface name");
  } else if (cam.text44.size() > kText44Size) {
    r.fail("text44", "longer than 34 bytes");
  } else if (cam.search_answer_len != 0 && cam.search_answer_len < 14) {
    r.fail("search_answer_len", "shorter than the 14-byte Ethernet header");
  } else if (78 + cam.version.size() + 1 + cam.model.size() + 1 > kMaxFrame) {
    r.fail("version", "version and model do not fit in one frame");
  } else if (cam.rtsp.session.find_first_of("\r\n") != std::string::npos) {
    r.fail("rtsp_session", "holds a line break");
  } else if (cam.rtsp.session.size() > kMaxRtspSession) {
    r.fail("rtsp_session", "longer than 1024 bytes");
  }
  if (!r.ok()) return std::nullopt;
  return cam;
}

}  // namespace

std::optional<sim_config_t> parse_sim_config(std::string_view json, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  std::unique_ptr<cJSON, json_deleter> root(cJSON_ParseWithLength(json.data(), json.size()));
  if (!root) {
    *error = "not valid JSON";
    return std::nullopt;
  }
  if (!cJSON_IsObject(root.get())) {
    *error = "not a JSON object";
    return std::nullopt;
  }
  const cJSON* cameras = cJSON_GetObjectItemCaseSensitive(root.get(), "cameras");
  if (!cJSON_IsArray(cameras)) {
    *error = "cameras: missing or not an array";
    return std::nullopt;
  }
  sim_config_t config;
  int index = 0;
  for (const cJSON* item = cameras->child; item; item = item->next, ++index) {
    auto cam = read_camera(item, index, error);
    if (!cam) return std::nullopt;
    config.cameras.push_back(std::move(*cam));
  }
  return config;
}

std::optional<mac_t> parse_mac(std::string_view text) {
  // "02:00:5e:10:00:01" or with "-"; one separator throughout.
  if (text.size() != 17) return std::nullopt;
  char sep = text[2];
  if (sep != ':' && sep != '-') return std::nullopt;
  mac_t mac{};
  for (std::size_t i = 0; i < 6; ++i) {
    std::size_t at = i * 3;
    if (i > 0 && text[at - 1] != sep) return std::nullopt;
    int hi = hex_digit(text[at]);
    int lo = hex_digit(text[at + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return mac;
}

std::optional<ipv4_t> parse_ipv4(std::string_view text) {
  if (text.size() > 15) return std::nullopt;
  char buf[16] = {};
  std::memcpy(buf, text.data(), text.size());
  in_addr addr{};
  if (inet_pton(AF_INET, buf, &addr) != 1) return std::nullopt;
  ipv4_t out{};
  std::memcpy(out.data(), &addr, 4);
  return out;
}

std::string format_mac(const std::uint8_t* mac) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(17);
  for (int i = 0; i < 6; ++i) {
    if (i > 0) text += ':';
    text += kDigits[mac[i] >> 4];
    text += kDigits[mac[i] & 0xF];
  }
  return text;
}

std::string format_mac_upper(const mac_t& mac) {
  std::string text = format_mac(mac);
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string format_mac(const mac_t& mac) {
  return format_mac(mac.data());
}

std::string format_ipv4(const ipv4_t& ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

int netmask_prefix(const ipv4_t& netmask) {
  std::uint32_t m = std::uint32_t{netmask[0]} << 24 | std::uint32_t{netmask[1]} << 16 |
                    std::uint32_t{netmask[2]} << 8 | std::uint32_t{netmask[3]};
  int prefix = 0;
  while (prefix < 32 && (m & (0x80000000u >> prefix))) ++prefix;
  std::uint32_t expect = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return m == expect ? prefix : -1;
}

}  // namespace mardo::sim
