#include "cmd_camera.h"

#include <algorithm>

#include "net/byte_view.h"

namespace mardo::sim {
namespace {

constexpr std::uint32_t kCmdPrepareUpgrade = 21380;
constexpr std::uint32_t kCmdSetModels = 24577;
constexpr std::uint32_t kCmdQueryModels = 24579;

void put_le32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::uint8_t> answer(std::uint32_t command, std::uint32_t status,
                                 std::span<const std::uint8_t> body = {}) {
  std::vector<std::uint8_t> out(kCmdHeaderSize + body.size());
  put_le32(out, 0, static_cast<std::uint32_t>(out.size()));
  put_le32(out, 4, command);
  put_le32(out, 8, status);
  std::copy(body.begin(), body.end(), out.begin() + kCmdHeaderSize);
  return out;
}

// A model field: text up to its NUL, or all 128 bytes when it has none.
std::string field_text(byte_reader& in) {
  const std::span<const std::uint8_t> field = in.bytes(kModelField);
  const auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
  return std::string(field.begin(), nul);
}

}  // namespace

std::optional<std::size_t> cmd_message_size(std::span<const std::uint8_t> buffered) {
  byte_reader in(buffered);
  const std::uint32_t length = in.le32();
  if (buffered.size() < kCmdHeaderSize) return std::nullopt;
  return std::max<std::size_t>(length, kCmdHeaderSize);
}

cmd_reaction_t react_to_cmd(sim_cmd_t& cmd, std::span<const std::uint8_t> message) {
  cmd_reaction_t r;
  byte_reader in(message);
  in.skip(4);
  const std::uint32_t command = in.le32();
  in.seek(kCmdHeaderSize);
  switch (command) {
    case kCmdPrepareUpgrade:
      r.answer = answer(command + 1, 1);
      break;
    case kCmdSetModels: {
      const bool whole = in.remaining() >= 2 * kModelField;
      std::string product = field_text(in);
      std::string hardware = field_text(in);
      const bool take = whole && cmd.accept_models;
      if (take) {
        cmd.product_model = std::move(product);
        cmd.hardware_model = std::move(hardware);
      }
      if (whole) r.file = message.subspan(kCmdHeaderSize + 2 * kModelField);
      r.answer = answer(command, take ? 1 : 0);
      break;
    }
    case kCmdQueryModels: {
      std::vector<std::uint8_t> body(2 * kModelField, 0);
      std::copy_n(cmd.product_model.begin(), std::min(cmd.product_model.size(), kModelField),
                  body.begin());
      std::copy_n(cmd.hardware_model.begin(), std::min(cmd.hardware_model.size(), kModelField),
                  body.begin() + kModelField);
      r.answer = answer(command + 1, 1, body);
      break;
    }
    default:
      r.close = true;
  }
  return r;
}

}  // namespace mardo::sim
