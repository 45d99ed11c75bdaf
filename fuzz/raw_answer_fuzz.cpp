// A camera's raw answers that are not search answers: the IP query's (0xFFF8) and the factory
// test's (0xFFF5 results, clock and RS485 records; 0xFFF6 presence). The frame goes through
// the capture layer's wait as the tool reads it, from the tests' stand-in capture library, so
// nothing touches a network; the payload then goes to each answer's parser. The wait copies
// exactly what the length field, the capacity and the capture allow, and a parser accepts
// only the one payload length its answer has.
//
// Input: one mode byte, then the captured frame.
//   bits 0-1  the EtherType waited for: 0xFFF8, 0xFFF5, 0xFFF6, 0xFFF5
//   bit 2     capacity = bits 3-6 (0..15) instead of the tools' 512
//   bit 7     fixed adapter and camera MACs (02-00-00-00-FF-00 <- 02-AB-00-00-01-0C) instead
//             of the frame's own, so frames for someone else are seen too
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/ip_change.h"
#include "fake_pcap_control.h"
#include "net/capture.h"
#include "net/capture_port.h"
#include "net/raw_frame.h"
#include "testing/factory_items.h"

namespace {

constexpr std::uint16_t kTypes[4] = {mardo::kEtherIpQuery, mardo::kEtherFactoryTest,
                                     mardo::kEtherPresence, mardo::kEtherFactoryTest};
constexpr int kToolCapacity = 512;
constexpr mardo::mac_t kAdapter = {0x02, 0x00, 0x00, 0x00, 0xff, 0x00};
constexpr mardo::mac_t kCamera = {0x02, 0xab, 0x00, 0x00, 0x01, 0x0c};
// Ends every wait that the fuzzed frame does not: its length field no payload could carry.
constexpr std::uint16_t kSentinelLength = 0xFFFF;

mardo::capture_port* port() {
  static const mardo::capture_port_ptr p = [] {
    if (!fake_pcap::load()) std::abort();
    return mardo::capture_port::adopt(
        mardo::cap_open_live("fuzz0", mardo::kCapSnapLen, mardo::kCapPromisc, mardo::kCapTimeoutMs, nullptr));
  }();
  if (!p) std::abort();
  return p.get();
}

std::uint16_t le16_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void check_factory_payload(std::span<const std::uint8_t> payload) {
  using namespace mardo;
  for (std::uint16_t id = 0; id < 8; ++id)
    if (result_value(payload, id) && payload.size() != 6) std::abort();
  (void)sd_reason(result_value(payload, kReqSd));
  if (const auto camera = clock_reply(payload)) {
    if (payload.size() != 34) std::abort();
    const clock_fields_t sent{2026, 12, 2, 8, 10, 0, 0, 0};
    if (clock_difference(sent, *camera) &&
        (camera->last < 0 || camera->last >= static_cast<int>(kTimeZoneMinutes.size())))
      std::abort();
  }
  for (const bool second : {false, true}) {
    if (const auto record = rs485_reply(payload, second)) {
      if (payload.size() != 138) std::abort();
      (void)line_settings_for(*record);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mardo;
  if (size < 1 || size > 16384) return 0;
  const std::uint8_t mode = data[0];
  const std::uint8_t* frame = data + 1;
  const std::size_t length = size - 1;
  const std::uint16_t type = kTypes[mode & 3];
  const int capacity = (mode & 4) ? (mode >> 3) & 15 : kToolCapacity;

  mac_t adapter = kAdapter;
  mac_t camera = kCamera;
  if (!(mode & 0x80)) {
    if (length >= 6) std::copy(frame, frame + 6, adapter.begin());
    if (length >= 12) std::copy(frame + 6, frame + 12, camera.begin());
  }
  const std::string camera_text = format_mac_upper(camera.data());

  std::vector<std::uint8_t> sentinel(adapter.begin(), adapter.end());
  sentinel.insert(sentinel.end(), camera.begin(), camera.end());
  sentinel.insert(sentinel.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
                                   kSentinelLength & 0xFF, kSentinelLength >> 8});

  capture_port* p = port();
  fake_pcap::reset();
  fake_pcap::push(std::vector<std::uint8_t>(frame, frame + length));
  fake_pcap::push(sentinel);
  // Exactly the capacity on the heap, so a copy past it shows under ASan.
  std::vector<std::uint8_t> out(static_cast<std::size_t>(capacity));
  std::uint16_t length_field = 0;
  const int got = wait_raw_reply(p, adapter.data(), camera_text.c_str(), type, out.data(), capacity,
                                 1000, &length_field);
  if (got < 0) return 0;  // the wait ran out on a stalled machine: nothing to judge

  const bool matched = length >= 16 && std::memcmp(frame, adapter.data(), 6) == 0 &&
                       std::memcmp(frame + 6, camera.data(), 6) == 0 &&
                       (frame[12] << 8 | frame[13]) == type;
  if (matched) {
    const std::size_t expected =
        std::min({std::size_t{le16_at(frame + 14)}, static_cast<std::size_t>(capacity), length - 16});
    if (static_cast<std::size_t>(got) != expected || length_field != le16_at(frame + 14) ||
        (expected > 0 && std::memcmp(out.data(), frame + 16, expected) != 0))
      std::abort();
  } else if (got != 0 || length_field != kSentinelLength) {
    std::abort();
  }

  const std::span<const std::uint8_t> payload(out.data(), static_cast<std::size_t>(got));
  if (const auto a = ip_query_answer(payload, length_field)) {
    if (got != 12 || length_field != 12 || std::memcmp(&a->netmask, out.data() + 4, 4) != 0 ||
        std::memcmp(&a->gateway, out.data() + 8, 4) != 0)
      std::abort();
    (void)dotted_text(a->netmask);
  }
  check_factory_payload(payload);
  return 0;
}
