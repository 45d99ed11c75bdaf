#pragma once
// What a search makes of one answer, raw or multicast, before it touches any shared state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/device_table.h"

namespace mardo {

inline constexpr std::size_t kRawAnswerTextOffset = 78;
inline constexpr std::size_t kRawAnswerAlgoOffset = 44;
inline constexpr std::size_t kRawVersionMax = 1023;

struct raw_search_answer_t {
  std::string mac;  // "%02X-..." of the source address: the row's MAC text and the seen key
  std::string ip;   // dotted text of bytes 14..17
  bool hidden;      // carries an algorithm marker that hides the camera
  bool detailed;    // longer than 78 bytes: version, model and algorithm columns follow
  std::string version;
  std::string model;
  std::string algo;  // "0", "1" or ""
};

// A search answer frame for the adapter with this MAC, or nothing. Only the captured bytes
// are read; the frame's length is the on-wire length where that is what was captured.
std::optional<raw_search_answer_t> parse_raw_search_answer(const std::uint8_t* data,
                                                           std::size_t caplen, std::size_t wire_len,
                                                           const std::uint8_t* adapter_mac);

struct mc_search_answer_t {
  std::string mac;  // as the camera sent it, ":" turned into "-"
  std::string ip;
  dev_addr_t addr;
  std::string version;
  std::string model;
  std::string algo;
};

// A "devSearchRsp" of type 1, or nothing.
std::optional<mc_search_answer_t> parse_mc_search_answer(std::string_view text);

// "0" for a "_QKZW_" text, "1" for a "_MOLK_" one, else "".
std::string algo_mark(std::string_view text);

}  // namespace mardo
