#include "testing/product_model.h"

#include <algorithm>
#include <cstring>

#include "core/stop.h"
#include "core/text.h"
#include "net/command_port.h"

namespace mardo {
namespace {

constexpr int kProductTimeoutMs = 1000;

std::string field_text(std::span<const std::uint8_t> reply, std::size_t at) {
  if (reply.size() <= at) return {};
  const auto field = reply.subspan(at, std::min(kModelFieldSize, reply.size() - at));
  const auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
  return std::string(field.begin(), nul);
}

}  // namespace

std::optional<std::array<std::uint8_t, kProductBlockSize>> product_block(const product_fields_t& f) {
  if (f.package_path.size() >= kPackagePathField) return std::nullopt;
  std::array<std::uint8_t, kProductBlockSize> block{};
  std::memcpy(block.data(), f.product_model.data(), std::min(f.product_model.size(), kModelFieldSize));
  std::memcpy(block.data() + kModelFieldSize, f.hardware_model.data(),
              std::min(f.hardware_model.size(), kModelFieldSize));
  std::memcpy(block.data() + 2 * kModelFieldSize, f.package_path.data(), f.package_path.size());
  return block;
}

std::string product_reply_text(std::span<const std::uint8_t> reply) {
  return field_text(reply, 0) + " | " + field_text(reply, kModelFieldSize);
}

int set_product_models(device_state& state, const std::vector<camera_t>& cameras,
                       const product_fields_t& fields) {
  const auto block = product_block(fields);
  int done = 0;
  for (const camera_t& camera : cameras) {
    if (stop_requested()) break;
    const bool ok =
        block && send_file_command(camera.ip.c_str(),
                                   std::span<const std::uint8_t, kFileCommandBlockSize>(block->data(), kFileCommandBlockSize),
                                   fields.package_path.c_str(), kProductTimeoutMs) != 0;
    show_status(state, camera, ok ? kTextSetDone : kTextSetFailed);
    done += ok;
  }
  return done;
}

int query_product_models(device_state& state, const std::vector<camera_t>& cameras) {
  int done = 0;
  for (const camera_t& camera : cameras) {
    if (stop_requested()) break;
    std::array<std::uint8_t, 2 * kModelFieldSize> reply{};
    const int got = send_command_with_reply(camera.ip.c_str(), kProductTimeoutMs, {}, kCmdQueryProductModel,
                                            kCmdQueryProductModelReply, reply);
    const bool ok = got > 0;
    show_status(state, camera,
                ok ? product_reply_text(std::span(reply).first(static_cast<std::size_t>(got)))
                   : std::string(kTextQueryFailed));
    done += ok;
  }
  return done;
}

}  // namespace mardo
