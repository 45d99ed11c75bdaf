#include "tftp_camera.h"

#include "net/byte_view.h"

namespace mardo::sim {
namespace {

constexpr std::size_t kBlock = 512;

std::vector<std::uint8_t> ack(std::uint16_t block) {
  return {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
}

std::vector<std::uint8_t> error(std::uint16_t code, const char* text) {
  std::vector<std::uint8_t> p{0, 5, 0, static_cast<std::uint8_t>(code)};
  for (const char* c = text; *c; ++c) p.push_back(static_cast<std::uint8_t>(*c));
  p.push_back(0);
  return p;
}

void add_ack(const sim_tftp_t& b, tftp_reaction_t& r, std::uint16_t block) {
  r.answers.push_back(ack(block));
  if (b.duplicate_acks) r.answers.push_back(ack(block));
  r.delay_ms = b.late_ack_ms;
}

}  // namespace

tftp_reaction_t react_to_tftp(const sim_tftp_t& behaviour, tftp_session_t& session,
                              std::span<const std::uint8_t> datagram) {
  tftp_reaction_t r;
  byte_reader in(datagram);
  const std::uint16_t op = in.be16();
  if (!in.ok()) return r;
  if (op == 2) {
    // Every write request starts the transfer over, as the tool's retries expect.
    session = tftp_session_t{};
    session.active = true;
    session.file_name = std::string(in.cstr());
    in.cstr();  // mode
    std::vector<std::uint8_t> options;
    while (in.remaining() > 0) {
      const std::string_view name = in.cstr();
      const std::string_view value = in.cstr();
      if (name == "tsize") {
        options.insert(options.end(), name.begin(), name.end());
        options.push_back(0);
        options.insert(options.end(), value.begin(), value.end());
        options.push_back(0);
      }
    }
    if (behaviour.plain_ack) {
      r.answers.push_back(ack(0));
    } else {
      std::vector<std::uint8_t> oack{0, 6};
      oack.insert(oack.end(), options.begin(), options.end());
      r.answers.push_back(oack);
    }
    return r;
  }
  if (op != 3 || !session.active) return r;
  const std::uint16_t block = in.be16();
  if (!in.ok()) return r;
  const std::span<const std::uint8_t> data = datagram.subspan(4);
  if (behaviour.stop_after >= 0 && session.blocks >= static_cast<std::uint64_t>(behaviour.stop_after))
    return r;
  if (block != session.expected) {
    // A block sent again because its acknowledgement was lost: acknowledge it again.
    if (block == static_cast<std::uint16_t>(session.expected - 1)) add_ack(behaviour, r, block);
    return r;
  }
  session.file.insert(session.file.end(), data.begin(), data.end());
  ++session.blocks;
  ++session.expected;
  if (data.size() == kBlock) {
    add_ack(behaviour, r, block);
    return r;
  }
  r.file_done = true;
  session.active = false;
  switch (behaviour.last) {
    case tftp_last_t::ack: add_ack(behaviour, r, block); break;
    case tftp_last_t::error3: r.answers.push_back(error(3, "Disk full")); break;
    case tftp_last_t::error8: r.answers.push_back(error(8, "Bad image")); break;
    case tftp_last_t::silence: break;  // the file came; the tool's resends go unanswered
  }
  return r;
}

}  // namespace mardo::sim
