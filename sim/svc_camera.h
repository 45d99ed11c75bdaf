#pragma once
// A camera's upgrade service (TCP 9300) as the tool meets it: messages of a 32-byte
// little-endian header (magic 0x5ABABABA) and a payload, in series of fragments. This
// camera answers the JSON command "getDevParam" and the package header.
// Pure: message in, answers out; the channel does the sockets.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mardo::sim {

inline constexpr std::size_t kSvcHeaderSize = 32;
inline constexpr std::uint32_t kSvcMagic = 0x5ABABABA;
// The tool sends at most 1024 payload bytes per fragment; a camera takes a little more.
inline constexpr std::size_t kSvcMaxPayload = 65536;
inline constexpr std::size_t kSvcPackageHeader = 4096;

// What a getDevParam gets: the reply, nothing (the connection stays), or a hang-up.
enum class svc_param_t { answer, silence, close };

struct sim_svc_t {
  bool enabled = true;
  svc_param_t param = svc_param_t::answer;
  std::string param_err = "noerror";
  std::string inter_model;   // the config reader fills in the camera's model
  std::string extern_model;  // the same
  std::optional<std::string> param_text;  // sent instead of the generated reply
  int param_fragment = 0;                 // reply payload bytes per fragment; 0: one fragment
  std::uint32_t param_error = 0;          // error word of every reply fragment
  // The answer to the four-fragment package header (also the older devices' handshake).
  std::optional<std::string> header_text;  // default {"InterModel":"<inter_model>"}
  std::uint32_t header_error = 0;
};

struct svc_header_t {
  std::uint32_t magic = 0, kind = 0, command = 0, position = 0, index = 0, link_id = 0,
                error = 0, payload_length = 0;
};

struct svc_session_t {
  std::string json;              // the JSON command's fragments so far
  std::vector<std::uint8_t> package_header;  // the header fragments so far
};

struct svc_reaction_t {
  std::vector<std::vector<std::uint8_t>> answers;
  bool close = false;  // a bad magic, or a hang-up on request
};

std::optional<svc_header_t> read_svc_header(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> svc_message(const svc_header_t& header,
                                      std::span<const std::uint8_t> payload);

// Bytes of the message at the front of `buffered`: nullopt while its header is incomplete.
std::optional<std::size_t> svc_message_size(std::span<const std::uint8_t> buffered);

// `message` is one whole message (svc_message_size bytes).
svc_reaction_t react_to_svc(const sim_svc_t& svc, svc_session_t& session,
                            std::span<const std::uint8_t> message);

}  // namespace mardo::sim
