#pragma once
// Product-model provisioning over the command port: every ticked camera gets its product and
// hardware model texts with a parameter package ("设置产品型号"), or reports them back
// ("查询产品型号"). Results are column-5 texts; the cameras are served one after another.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <vector>

#include "core/camera.h"

namespace mardo {

inline constexpr char kTextSetDone[] = "设置成功";
inline constexpr char kTextSetFailed[] = "设置失败";
inline constexpr char kTextQueryFailed[] = "获取失败";
inline constexpr std::size_t kModelFieldSize = 128;
inline constexpr std::size_t kProductBlockSize = 512;
inline constexpr std::size_t kPackagePathField = 256;

// The dialog's three texts (CSetProduct), UTF-8.
struct product_fields_t {
  std::string product_model;
  std::string hardware_model;
  std::string package_path;
};

// The 512-byte block: the two model texts cut to 128 bytes each (NUL-terminated when shorter),
// then the package path, NUL-terminated. Nothing when the path does not fit its 256 bytes
// with its NUL: such a path is refused, not cut.
std::optional<std::array<std::uint8_t, kProductBlockSize>> product_block(const product_fields_t& f);

// "%s | %s" of a query reply's two fields, read only within the `got` bytes that came.
std::string product_reply_text(std::span<const std::uint8_t> reply);

// Each serves the cameras ticked when the command was given (start_ticked_cameras, which also
// empties every row's column 5) and gives how many succeeded.
int set_product_models(device_state& state, const std::vector<camera_t>& cameras,
                       const product_fields_t& fields);
int query_product_models(device_state& state, const std::vector<camera_t>& cameras);

}  // namespace mardo
