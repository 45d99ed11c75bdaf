#include "testing/rtsp_text.h"

namespace mardo {
namespace {

std::string_view up_to_nul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace

std::string rtsp_request_text(const rtsp_request_t& r) {
  const std::string cseq = std::to_string(r.cseq);
  const std::string session(r.session);
  std::string t;
  auto host_request = [&](const char* method) {
    t = std::string(method) + " rtsp://" + std::string(r.host) + " RTSP/1.0\r\nCSeq: " + cseq +
        "\r\nSession: " + session + "\r\n\r\n";
  };
  switch (r.method) {
    case rtsp_method_t::describe:
      t = "DESCRIBE rtsp://" + std::string(r.url) + " RTSP/1.0\r\nCSeq: " + cseq + "\r\n\r\n";
      break;
    case rtsp_method_t::setup_tcp:
    case rtsp_method_t::setup_udp:
      t = "SETUP rtsp://" + std::string(r.url) + "/trackID=" + std::to_string(r.track_id) +
          " RTSP/1.0\r\nCSeq: " + cseq + "\r\nTransport: ";
      if (r.method == rtsp_method_t::setup_tcp) {
        t += "RTP/AVP/TCP;unicast;interleaved=0-1";
      } else {
        t += "RTP/AVP;unicast;client_port=" + std::to_string(r.client_port) + "-" +
             std::to_string(r.client_port + 1);
      }
      t += "\r\n\r\n";
      break;
    case rtsp_method_t::play:
      host_request("PLAY");
      break;
    case rtsp_method_t::get_parameter:
      host_request("GET_PARAMETER");
      break;
    case rtsp_method_t::teardown:
      host_request("TEARDOWN");
      break;
  }
  return t;
}

std::uint16_t answer_track_id(std::string_view answer) {
  constexpr std::string_view kKey = "a=control:trackID=";
  answer = up_to_nul(answer);
  const std::size_t at = answer.find(kKey);
  if (at == std::string_view::npos) return 0;
  unsigned value = 0;
  // Digits past what a track number can hold are not taken.
  for (std::size_t i = at + kKey.size(); i < answer.size(); ++i) {
    const char c = answer[i];
    if (c < '0' || c > '9') break;
    const unsigned next = value * 10 + static_cast<unsigned>(c - '0');
    if (next > 0xFFFF) break;
    value = next;
  }
  return static_cast<std::uint16_t>(value);
}

bool answer_session_id(std::string_view answer, std::string* session) {
  constexpr std::string_view kKey = "Session:";
  answer = up_to_nul(answer);
  const std::size_t at = answer.find(kKey);
  if (at == std::string_view::npos) return false;
  std::string_view rest = answer.substr(at + kKey.size());
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  rest = rest.substr(0, rest.find_first_of(";\r\n"));
  session->assign(rest.substr(0, kSessionIdMax));
  return true;
}

}  // namespace mardo
