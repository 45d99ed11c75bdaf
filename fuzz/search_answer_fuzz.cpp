// Feeds arbitrary bytes to what the search does with an answer: the raw answer frame
// (with a captured length shorter than the on-wire one), and the multicast datagram's
// header checks followed by the JSON answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "discovery/search_answer.h"
#include "net/multicast.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t wire_extra = data[1];
  data += 2;
  size -= 2;
  if (mode & 1) {
    // The adapter MAC is the frame's own destination, so every frame reaches the parser.
    const std::uint8_t* adapter =
        size >= 6 ? data : reinterpret_cast<const std::uint8_t*>("\0\0\0\0\0\0");
    (void)mardo::parse_raw_search_answer(data, size, size + wire_extra, adapter);
    (void)mardo::parse_raw_search_answer(data, size, size / 2, adapter);
  } else {
    mardo::mc_header_t header{};
    std::string text;
    if (size > mardo::kMcBufferSize) size = mardo::kMcBufferSize;
    if (mardo::mc_parse_datagram(data, size, header, text) == mardo::mc_datagram_t::text) {
      (void)mardo::parse_mc_search_answer(text);
    }
    (void)mardo::parse_mc_search_answer(
        std::string_view(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}
