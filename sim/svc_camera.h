#pragma once
// A camera's upgrade service (TCP 9300) as the tool meets it: messages of a 32-byte
// little-endian header (magic 0x5ABABABA) and a payload, in series of fragments. This
// camera answers the JSON command "getDevParam", takes the package header, then each image
// of the header's new entries in pieces, checks it against the header's checksum, and
// reports its restart flag and, over the status queries, when it has finished.
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
// What a status query gets: the state, nothing, or an answer with the error word set.
enum class svc_status_t { answer, silence, error };

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
  bool header_bare = false;  // that answer as a bare header, without its text
  // After each image.
  bool reset_flag = true;          // the restart flag the camera reports
  std::uint32_t image_error = 0;   // error word of that answer even for an intact image
  // The status queries of each image: the one that reports the finish flag (1: the first).
  int finish_after = 1;
  svc_status_t status = svc_status_t::answer;
  int status_error_image = -1;     // the status queries of this image (0-based) get error word 1
  int reset_after = -1;            // pieces of a connection after which it is reset
  // The service starts only once a "patch.bin" came by TFTP, this long after it.
  bool after_patch = false;
  int restart_ms = 2000;
  // Every answer as two writes, the header and then its text this long after (-1: one write),
  // as a camera whose stack sends them apart.
  int split_ms = -1;
  // Every answer's header states no length, its text behind it all the same, as older cameras.
  bool unsized = false;
};

struct svc_entry_t {
  std::uint32_t offset = 0, length = 0, crc = 0;
  std::string name;
};

struct svc_header_t {
  std::uint32_t magic = 0, kind = 0, command = 0, position = 0, index = 0, link_id = 0,
                error = 0, payload_length = 0;
};

struct svc_session_t {
  std::string json;              // the JSON command's fragments so far
  std::vector<std::uint8_t> package_header;  // the header fragments so far
  std::vector<svc_entry_t> entries;          // the new entries of a whole header
  std::size_t image_index = 0;               // the entry the next pieces belong to
  std::uint32_t image_crc = 0;                // CRC-32 of its pieces so far (not kept)
  std::size_t image_length = 0;
  long pieces = 0;                           // pieces taken on this connection
  int polls = 0;                             // status queries since the last image
};

struct svc_reaction_t {
  std::vector<std::vector<std::uint8_t>> answers;
  bool close = false;  // a bad magic, or a hang-up on request
  bool reset = false;  // end the connection with a reset
  // An image was complete: its CRC-32 and length, and whether they matched the header's.
  std::optional<std::uint32_t> image_crc;
  std::size_t image_length = 0;
  bool image_intact = false;
  std::string image_name;
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
