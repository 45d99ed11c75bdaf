#include "rtsp_camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mardo::sim {
namespace {

constexpr std::size_t kSpsSize = 13;
constexpr std::size_t kPpsSize = 9;
constexpr std::uint8_t kNalSps = 0x67;
constexpr std::uint8_t kNalPps = 0x68;
constexpr std::uint8_t kNalIdr = 0x65;
constexpr std::uint8_t kNalSlice = 0x41;
constexpr std::uint8_t kFuA = 28;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The number at the front of `s`, if it is one in 0..max; `s` is left after it.
std::optional<int> take_number(std::string_view& s, int max) {
  int v = 0;
  std::size_t i = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > max) return std::nullopt;
  }
  if (i == 0) return std::nullopt;
  s.remove_prefix(i);
  return v;
}

// "a-b" after `key` in a transport, the second defaulting to a + 1.
std::optional<std::pair<int, int>> number_pair(std::string_view transport, std::string_view key,
                                               int max) {
  const std::size_t at = transport.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = transport.substr(at + key.size());
  auto a = take_number(rest, max);
  if (!a) return std::nullopt;
  if (rest.empty() || rest.front() != '-') return std::pair{*a, *a + 1};
  rest.remove_prefix(1);
  auto b = take_number(rest, max);
  if (!b) return std::nullopt;
  return std::pair{*a, *b};
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 406:
      return "Not Acceptable";
    case 453:
      return "Not Enough Bandwidth";
    case 454:
      return "Session Not Found";
    case 455:
      return "Method Not Valid in This State";
    case 461:
      return "Unsupported Transport";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string status_line(int status, const rtsp_request_t& request) {
  std::string t = "RTSP/1.0 " + std::to_string(status) + " " + reason(status) + "\r\n";
  if (!request.cseq.empty()) t += "CSeq: " + request.cseq + "\r\n";
  return t;
}

std::string hex32(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

void put_be16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

std::uint64_t rtsp_camera_hash(std::span<const std::uint8_t> mac) {
  std::uint64_t h = 0xCBF29CE484222325u;  // FNV-1a
  for (std::uint8_t b : mac) {
    h ^= b;
    h *= 0x100000001B3u;
  }
  return h;
}

std::string rtsp_default_session(std::span<const std::uint8_t> mac) {
  const std::uint64_t h = rtsp_camera_hash(mac);
  return " " + hex32(static_cast<std::uint32_t>(h >> 32)) + hex32(static_cast<std::uint32_t>(h)) +
         ";timeout=60";
}

std::optional<std::size_t> rtsp_request_size(std::span<const std::uint8_t> buffered) {
  static constexpr std::uint8_t kEnd[] = {'\r', '\n', '\r', '\n'};
  const auto at = std::search(buffered.begin(), buffered.end(), std::begin(kEnd), std::end(kEnd));
  if (at == buffered.end()) return std::nullopt;
  return static_cast<std::size_t>(at - buffered.begin()) + sizeof kEnd;
}

std::optional<rtsp_request_t> parse_rtsp_request(std::string_view text) {
  std::size_t eol = text.find("\r\n");
  std::string_view line = text.substr(0, eol);
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp1 == 0 || sp2 == std::string_view::npos || sp2 == sp1 + 1 ||
      line.substr(sp2 + 1).substr(0, 5) != "RTSP/")
    return std::nullopt;
  rtsp_request_t r;
  r.method = line.substr(0, sp1);
  r.url = line.substr(sp1 + 1, sp2 - sp1 - 1);
  while (eol != std::string_view::npos) {
    text.remove_prefix(eol + 2);
    eol = text.find("\r\n");
    line = text.substr(0, eol);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (same_name(name, "CSeq"))
      r.cseq = value;
    else if (same_name(name, "Transport"))
      r.transport = value;
    else if (same_name(name, "Session"))
      r.session = value;
  }
  return r;
}

std::string rtsp_sdp(const sim_rtsp_t& rtsp, std::string_view local_ip) {
  std::string sdp = "v=0\r\no=- 1 1 IN IP4 " + std::string(local_ip) +
                    "\r\ns=camsim\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                    "a=fmtp:96 packetization-mode=1\r\n";
  sdp += rtsp.track < 0 ? std::string("a=control:*\r\n")
                        : "a=control:trackID=" + std::to_string(rtsp.track) + "\r\n";
  return sdp;
}

rtsp_reaction_t react_to_rtsp(const sim_rtsp_t& rtsp, const rtsp_context_t& context,
                              rtsp_conn_state_t& state, const rtsp_request_t& request) {
  rtsp_reaction_t r;
  if (rtsp.describe == rtsp_describe_t::silence) return r;
  const std::string& m = request.method;
  const std::string session = "Session:" + rtsp.session + "\r\n";
  if (m == "OPTIONS") {
    r.answer = status_line(200, request) +
               "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN\r\n\r\n";
  } else if (m == "DESCRIBE") {
    if (rtsp.describe == rtsp_describe_t::close) {
      r.action = rtsp_action_t::close;
      return r;
    }
    const std::string sdp = rtsp_sdp(rtsp, context.local_ip);
    r.answer =
        status_line(200, request) + "Content-Base: " + request.url +
        "/\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
        "\r\n\r\n" + sdp;
  } else if (m == "SETUP") {
    std::string transport;
    if (state.playing) {
      r.answer = status_line(455, request) + "\r\n";
      return r;
    }
    if (request.transport.find("RTP/AVP/TCP") != std::string::npos) {
      auto ch = number_pair(request.transport, "interleaved=", 255);
      if (!ch) ch = std::pair{0, 1};
      state.transport = rtsp_transport_t::tcp;
      state.rtp_channel = ch->first;
      state.rtcp_channel = ch->second;
      transport = "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(ch->first) + "-" +
                  std::to_string(ch->second);
    } else if (auto ports = number_pair(request.transport, "client_port=", 65535);
               ports && ports->first > 0) {
      state.transport = rtsp_transport_t::udp;
      state.client_port = static_cast<std::uint16_t>(ports->first);
      transport = "RTP/AVP;unicast;client_port=" + std::to_string(ports->first) + "-" +
                  std::to_string(ports->second) +
                  ";server_port=" + std::to_string(context.server_port) + "-" +
                  std::to_string(context.server_port + 1);
    } else {
      r.answer = status_line(461, request) + "\r\n";
      return r;
    }
    r.answer = status_line(200, request) + "Transport: " + transport +
               ";ssrc=" + hex32(context.ssrc) + "\r\n" + session + "\r\n";
  } else if (m == "PLAY") {
    if (state.transport == rtsp_transport_t::none) {
      r.answer = status_line(455, request) + "\r\n";
    } else if (rtsp.play_status != 200) {
      r.answer = status_line(rtsp.play_status, request) + "\r\n";
    } else {
      r.answer = status_line(200, request) + session + "Range: npt=0.000-\r\n\r\n";
      if (!state.playing) r.action = rtsp_action_t::play;
      state.playing = true;
    }
  } else if (m == "GET_PARAMETER") {
    r.answer = status_line(200, request) + session + "\r\n";
  } else if (m == "TEARDOWN") {
    r.answer = status_line(200, request) + session + "\r\n";
    if (state.playing) r.action = rtsp_action_t::stop;
    state = rtsp_conn_state_t{};
  } else {
    r.answer = status_line(501, request) + "\r\n";
  }
  return r;
}

void fill_nal(std::uint8_t header, std::uint32_t serial, std::size_t length,
              std::vector<std::uint8_t>& out) {
  out.resize(std::max(length, kNalMin));
  out[0] = header;
  put_be32(&out[1], serial);
  put_be32(&out[5], static_cast<std::uint32_t>(out.size()));
  for (std::size_t i = kNalMin; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(serial + i);
}

rtp_stream::rtp_stream(const sim_rtsp_t& rtsp, std::uint32_t ssrc)
    : rtsp_(rtsp), ssrc_(ssrc), seq_(static_cast<std::uint16_t>(rtsp.seq_start)) {}

std::uint32_t rtp_stream::timestamp(std::uint64_t tick) const {
  // From the SSRC rather than 0, so a receiver meets an arbitrary start as on a camera.
  return static_cast<std::uint32_t>(ssrc_ +
                                    tick * kRtpClock / static_cast<std::uint64_t>(rtsp_.fps));
}

void rtp_stream::next_frame(std::uint64_t tick, int interleave_channel, rtp_frame_t& out) {
  out.bytes.clear();
  out.packets.clear();
  out.lost_serial.reset();
  out.unfit_serial.reset();
  const std::uint32_t ts = timestamp(tick);
  const std::size_t size = std::max<std::size_t>(
      kNalMin, static_cast<std::size_t>(rtsp_.kbps) * 125 / static_cast<std::size_t>(rtsp_.fps));
  if (frames_ % static_cast<std::uint64_t>(rtsp_.gop) == 0) {
    add_nal(kNalSps, kSpsSize, false, ts, interleave_channel, out);
    add_nal(kNalPps, kPpsSize, false, ts, interleave_channel, out);
    add_nal(kNalIdr, size, true, ts, interleave_channel, out);
  } else {
    add_nal(kNalSlice, size, true, ts, interleave_channel, out);
  }
  ++frames_;
}

void rtp_stream::add_nal(std::uint8_t header, std::size_t length, bool last_of_frame,
                         std::uint32_t ts, int interleave_channel, rtp_frame_t& out) {
  fill_nal(header, serial_, length, nal_);
  const auto payload = static_cast<std::size_t>(rtsp_.payload);
  const bool lose = rtsp_.lose_nal >= 0 && static_cast<std::uint32_t>(rtsp_.lose_nal) == serial_;
  if (nal_.size() <= payload) {
    if (lose) out.unfit_serial = serial_;
    add_packet(last_of_frame, ts, interleave_channel, {}, nal_, out);
  } else {
    // The header byte travels in the indicator and FU header only.
    const std::span<const std::uint8_t> data = std::span(nal_).subspan(1);
    const std::size_t chunk = payload - 2;
    const std::size_t count = (data.size() + chunk - 1) / chunk;
    if (lose && count < 3) out.unfit_serial = serial_;
    const bool drop_second = lose && count >= 3;
    if (drop_second) out.lost_serial = serial_;
    for (std::size_t k = 0; k < count; ++k) {
      const bool first = k == 0;
      const bool last = k + 1 == count;
      const std::uint8_t fu[2] = {
          static_cast<std::uint8_t>((header & 0xE0) | kFuA),
          static_cast<std::uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | (header & 0x1F))};
      if (drop_second && k == 1) {
        ++seq_;  // the gap a receiver finds the loss by
        continue;
      }
      add_packet(last_of_frame && last, ts, interleave_channel, fu,
                 data.subspan(k * chunk, std::min(chunk, data.size() - k * chunk)), out);
    }
  }
  ++serial_;
}

void rtp_stream::add_packet(bool marker, std::uint32_t ts, int interleave_channel,
                            std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                            rtp_frame_t& out) {
  const std::size_t size = kRtpHeaderSize + head.size() + data.size();
  std::size_t at = out.bytes.size();
  out.bytes.resize(at + size + (interleave_channel >= 0 ? kInterleavedHeaderSize : 0));
  std::uint8_t* p = out.bytes.data() + at;
  if (interleave_channel >= 0) {
    p[0] = '$';
    p[1] = static_cast<std::uint8_t>(interleave_channel);
    put_be16(p + 2, static_cast<std::uint32_t>(size));
    p += kInterleavedHeaderSize;
    at += kInterleavedHeaderSize;
  }
  p[0] = 0x80;  // version 2, no padding, extension or CSRC
  p[1] = static_cast<std::uint8_t>((marker ? 0x80 : 0) | kRtpPayloadType);
  put_be16(p + 2, seq_);
  put_be32(p + 4, ts);
  put_be32(p + 8, ssrc_);
  if (!head.empty()) std::memcpy(p + kRtpHeaderSize, head.data(), head.size());
  std::memcpy(p + kRtpHeaderSize + head.size(), data.data(), data.size());
  out.packets.push_back({at, size});
  ++seq_;
  ++packets_;
  octets_ += static_cast<std::uint32_t>(head.size() + data.size());
}

std::array<std::uint8_t, kRtcpSrSize> rtcp_sender_report(std::uint32_t ssrc, std::uint64_t ntp,
                                                         std::uint32_t rtp_ts,
                                                         std::uint32_t packets,
                                                         std::uint32_t octets) {
  std::array<std::uint8_t, kRtcpSrSize> sr{};
  sr[0] = 0x80;  // version 2, no report blocks
  sr[1] = 200;
  put_be16(&sr[2], kRtcpSrSize / 4 - 1);
  put_be32(&sr[4], ssrc);
  put_be32(&sr[8], static_cast<std::uint32_t>(ntp >> 32));
  put_be32(&sr[12], static_cast<std::uint32_t>(ntp));
  put_be32(&sr[16], rtp_ts);
  put_be32(&sr[20], packets);
  put_be32(&sr[24], octets);
  return sr;
}

rtsp_play_plan_t plan_play(const sim_rtsp_t& rtsp, rtsp_camera_state_t& state) {
  rtsp_play_plan_t plan;
  ++state.plays;
  if (state.plays == 1) plan.dark = rtsp.dark;
  if (static_cast<std::size_t>(state.plays) <= rtsp.power_cuts.size())
    plan.cut = rtsp.power_cuts[static_cast<std::size_t>(state.plays) - 1];
  return plan;
}

std::string format_rtsp_event(std::uint64_t t_ms, int camera, std::string_view camera_mac,
                              std::string_view channel, std::string_view peer_key,
                              std::string_view peer, std::string_view members) {
  std::string line = "{\"t_ms\":" + std::to_string(t_ms) + ",\"camera\":" + std::to_string(camera) +
                     ",\"mac\":\"" + std::string(camera_mac) + "\",\"channel\":\"" +
                     std::string(channel) + "\"";
  if (!peer_key.empty()) {
    line += ",\"" + std::string(peer_key) + "\":\"" + std::string(peer) + "\"";
  }
  line += members;
  line += "}\n";
  return line;
}

}  // namespace mardo::sim
