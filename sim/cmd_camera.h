#pragma once
// A camera's command port (TCP 8117) as the tool meets it: a 32-byte little-endian header
// whose first word is the whole message's length, then the body. Pure: message in, answer
// out; the channel does the sockets.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mardo::sim {

inline constexpr std::size_t kCmdHeaderSize = 32;
// A set-model request carries a parameter package; anything larger is not a camera's.
inline constexpr std::size_t kCmdMaxMessage = std::size_t{64} << 20;
inline constexpr std::size_t kModelField = 128;

struct sim_cmd_t {
  bool enabled = true;
  bool accept_models = true;  // 24577 answered with status 1 and taken, else status 0
  // What 24579 reports; a taken 24577 replaces both (run-time state from then on).
  std::string product_model;
  std::string hardware_model;
};

struct cmd_reaction_t {
  std::vector<std::uint8_t> answer;  // empty: nothing to send
  bool close = false;                // an unknown command: the camera hangs up
  // A taken or refused 24577: the package bytes behind the 256-byte model part.
  std::optional<std::span<const std::uint8_t>> file;
};

// Bytes of the message at the front of `buffered`: nullopt while its header is incomplete;
// a length word below 32 counts as a bare header.
std::optional<std::size_t> cmd_message_size(std::span<const std::uint8_t> buffered);

// `message` is one whole message (cmd_message_size bytes).
cmd_reaction_t react_to_cmd(sim_cmd_t& cmd, std::span<const std::uint8_t> message);

}  // namespace mardo::sim
