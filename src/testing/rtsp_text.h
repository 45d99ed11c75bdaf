#pragma once
// The RTSP requests the stream probe sends and the two things it takes from the answers.
// Requests are built whole, so each goes to the camera in one send.
#include <cstdint>
#include <string>
#include <string_view>

namespace mardo {

inline constexpr int kSessionIdMax = 63;  // characters; the field holds 64 with its NUL

enum class rtsp_method_t { describe, setup_tcp, setup_udp, play, get_parameter, teardown };

struct rtsp_request_t {
  rtsp_method_t method = rtsp_method_t::describe;
  std::string_view url{};   // "<host>/stream_main": DESCRIBE and SETUP
  std::string_view host{};  // PLAY, GET_PARAMETER and TEARDOWN name the host alone
  int cseq = 1;
  std::uint16_t track_id = 0;
  std::uint16_t client_port = 0;  // UDP SETUP: RTP on it, RTCP on the next
  std::string_view session{};
};

std::string rtsp_request_text(const rtsp_request_t& r);

// The decimal number after the first "a=control:trackID=", 0 when there is none. The answer
// ends at its first NUL.
std::uint16_t answer_track_id(std::string_view answer);

// The text after the first "Session:", leading spaces skipped, up to ";" or the end of its
// line, at most kSessionIdMax characters. False when the answer has no "Session:".
bool answer_session_id(std::string_view answer, std::string* session);

}  // namespace mardo
