#include "upgrade/tftp_write.h"

#include <cstdio>

#include "core/stop.h"
#include "net/byte_view.h"

namespace mardo {
namespace {

constexpr std::uint16_t kOpWrite = 2;
constexpr std::uint16_t kOpData = 3;
constexpr std::uint16_t kOpAck = 4;
constexpr std::uint16_t kOpError = 5;
constexpr std::uint16_t kOpOptionAck = 6;

std::uint16_t opcode(std::span<const std::uint8_t> answer) {
  byte_reader in(answer);
  const std::uint16_t op = in.be16();
  return in.ok() ? op : 0xFFFF;
}

// Block numbers are 16-bit on the wire: an image over 32 MiB wraps past 65535 to 0.
bool acknowledges(std::span<const std::uint8_t> answer, std::uint32_t block) {
  byte_reader in(answer);
  const std::uint16_t op = in.be16();
  const std::uint16_t number = in.be16();
  return in.ok() && op == kOpAck && number == static_cast<std::uint16_t>(block);
}

bool answer_to_last_block(std::span<const std::uint8_t> answer, std::uint32_t block) {
  return acknowledges(answer, block) || (answer.size() >= 2 && answer[1] != kOpAck);
}

tftp_outcome report_result(std::span<const std::uint8_t> answer, std::uint32_t block,
                           std::string_view image_name, tftp_observer& observer) {
  if (answer.empty() || answer[0] != 0) return tftp_outcome::kOtherAnswer;
  if (answer.size() >= 2 && answer[1] == kOpError) {
    byte_reader in(answer);
    in.skip(2);
    const std::uint16_t code = in.be16();
    if (!in.ok()) return tftp_outcome::kOtherError;
    if (code == 3) {
      observer.status(std::string(kTextFlashFull));
      return tftp_outcome::kFlashFull;
    }
    if (code == 8) {
      observer.status(std::string(kTextImageRejected));
      return tftp_outcome::kRejected;
    }
    return tftp_outcome::kOtherError;
  }
  if (!acknowledges(answer, block)) return tftp_outcome::kOtherAnswer;
  const bool patch = image_name.find("patch.bin") != std::string_view::npos;
  observer.status(patch ? std::string(kTextPatchDone) : std::string(kTextUpgradeDone));
  return tftp_outcome::kDone;
}

}  // namespace

std::vector<std::uint8_t> tftp_write_request(std::string_view file_name, int length) {
  std::vector<std::uint8_t> packet{0, kOpWrite};
  auto add = [&packet](std::string_view text) {
    packet.insert(packet.end(), text.begin(), text.end());
    packet.push_back(0);
  };
  add(file_name);
  add("octet");
  add("tsize");
  char size[16];
  std::snprintf(size, sizeof size, "%d", length);
  add(size);
  return packet;
}

std::vector<std::uint8_t> tftp_data_packet(std::uint32_t block, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> packet(4 + data.size());
  put_be16(packet.data(), kOpData);
  put_be16(packet.data() + 2, static_cast<std::uint16_t>(block));
  std::copy(data.begin(), data.end(), packet.begin() + 4);
  return packet;
}

std::string tftp_file_name(std::string_view image_name) {
  const std::size_t slash = image_name.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? image_name : image_name.substr(slash + 1));
}

tftp_outcome tftp_write(tftp_transport& transport, tftp_observer& observer,
                        std::string_view image_name, std::span<const std::uint8_t> image) {
  const int length = static_cast<int>(image.size());
  const std::uint32_t block_count = static_cast<std::uint32_t>(image.size() / kTftpBlock);
  std::uint8_t answer_bytes[kTftpBlock];
  auto receive = [&](int timeout_ms) {
    const int n = transport.receive(answer_bytes, timeout_ms);
    return std::span<const std::uint8_t>(answer_bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
  };
  auto fail = [&observer] {
    observer.status(std::string(kTextUpgradeFailed));
    return tftp_outcome::kFailed;
  };

  const auto request = tftp_write_request(tftp_file_name(image_name), length);
  bool accepted = false;
  // A job told to stop gives up at its next try; a transfer cut short is never reported done.
  for (int t = 0; t < kTftpTries && !accepted && !stop_requested(); ++t) {
    transport.send(request);
    accepted = opcode(receive(kTftpWaitMs)) == kOpOptionAck;
  }
  if (!accepted) return fail();

  for (std::uint32_t q = 0; q < block_count; ++q) {
    if (q % kTftpProgressEvery == 0)
      observer.progress(static_cast<int>(static_cast<double>(q) / block_count * 100));
    const auto packet = tftp_data_packet(q + 1, image.subspan(std::size_t{q} * kTftpBlock, kTftpBlock));
    bool acked = false;
    for (int t = 0; t < kTftpTries && !acked && !stop_requested(); ++t) {
      transport.send(packet);
      // A late or repeated acknowledgement of an earlier block is not an answer to this one;
      // sending again for it would double every later block on the wire (RFC 1123 4.2.3.1).
      for (int stale = 0; stale <= kTftpStaleAcks && !acked && !stop_requested(); ++stale) {
        const auto answer = receive(kTftpWaitMs);
        acked = acknowledges(answer, q + 1);
        if (opcode(answer) != kOpAck) break;
      }
    }
    if (!acked) return fail();
  }

  const std::uint32_t last = block_count + 1;
  const auto packet = tftp_data_packet(last, image.subspan(std::size_t{block_count} * kTftpBlock));
  for (int sending = 0; sending < kTftpTries && !stop_requested(); ++sending) {
    transport.send(packet);
    for (int round = 0; round < kTftpLastBlockRounds && !stop_requested(); ++round) {
      observer.status(std::string(kTextUpgrading) + std::string(round % 6 + 1, '.'));
      const auto answer = receive(kTftpWaitMs);
      if (!answer.empty() && answer_to_last_block(answer, last))
        return report_result(answer, last, image_name, observer);
      observer.pause(kTftpWaitMs);
    }
  }
  return fail();
}

}  // namespace mardo
