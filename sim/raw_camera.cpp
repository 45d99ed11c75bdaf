#include "raw_camera.h"

#include <algorithm>
#include <cstring>

#include "event_log.h"
#include "net/byte_view.h"

namespace mardo::sim {
namespace {

constexpr mac_t kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<std::uint8_t> header(const mac_t& dst, const mac_t& src, std::uint16_t ethertype,
                                 std::size_t size) {
  std::vector<std::uint8_t> f(size, 0);
  std::memcpy(&f[0], dst.data(), 6);
  std::memcpy(&f[6], src.data(), 6);
  put_be16(&f[12], ethertype);
  return f;
}

}  // namespace

std::vector<std::uint8_t> build_search_answer(const sim_camera_t& cam, const mac_t& requester) {
  std::size_t natural = kSearchAnswerVersionOffset + cam.version.size() + 1 + cam.model.size() + 1;
  std::vector<std::uint8_t> f = header(requester, cam.mac, kEtherSearchAnswer, natural);
  std::memcpy(&f[14], cam.ip.data(), 4);
  std::memcpy(&f[kSearchAnswerTextOffset], cam.text44.data(),
              std::min<std::size_t>(cam.text44.size(), kText44Size));
  std::size_t at = kSearchAnswerVersionOffset;
  std::memcpy(&f[at], cam.version.data(), cam.version.size());
  at += cam.version.size() + 1;
  std::memcpy(&f[at], cam.model.data(), cam.model.size());
  if (cam.search_answer_len > 0) f.resize(static_cast<std::size_t>(cam.search_answer_len), 0);
  return f;
}

std::vector<std::uint8_t> build_ip_query_answer(const sim_camera_t& cam, const mac_t& requester) {
  std::vector<std::uint8_t> f = header(requester, cam.mac, kEtherIpQuery, 16 + kIpQueryPayload);
  put_le16(&f[14], static_cast<std::uint16_t>(cam.ip_query_len_field));
  std::memcpy(&f[16], cam.ip.data(), 4);
  std::memcpy(&f[20], cam.netmask.data(), 4);
  std::memcpy(&f[24], cam.gateway.data(), 4);
  return f;
}

raw_reaction_t react_to_frame(sim_camera_t& cam, std::span<const std::uint8_t> frame) {
  raw_reaction_t r;
  byte_reader in(frame);
  auto dst = in.bytes(6);
  auto src = in.bytes(6);
  std::uint16_t ethertype = in.be16();
  if (!in.ok()) return r;
  if (ethertype < kEtherFirst || ethertype > kEtherLast) return r;
  if (!std::equal(dst.begin(), dst.end(), cam.mac.begin()) &&
      !std::equal(dst.begin(), dst.end(), kBroadcast.begin())) {
    return r;
  }
  r.record = true;
  mac_t requester{};
  std::copy(src.begin(), src.end(), requester.begin());
  if (cam.silent_until_ms > monotonic_ms()) return r;

  switch (ethertype) {
    case kEtherSearch:
      if (cam.raw_search) r.answer = build_search_answer(cam, requester);
      break;
    case kEtherIpQuery:
      if (cam.ip_query) r.answer = build_ip_query_answer(cam, requester);
      break;
    case kEtherSearchAnswer:
      // To this camera it is the reboot command (from a camera it would be a search answer).
      if (std::equal(dst.begin(), dst.end(), cam.mac.begin())) r.reboot = true;
      break;
    case kEtherSetIp: {
      auto ip = in.bytes(4);
      auto netmask = in.bytes(4);
      auto gateway = in.bytes(4);
      // A short set-IP frame is recorded but changes nothing.
      if (!in.ok() || !cam.raw_set_ip) break;
      std::copy(ip.begin(), ip.end(), cam.ip.begin());
      std::copy(netmask.begin(), netmask.end(), cam.netmask.begin());
      std::copy(gateway.begin(), gateway.end(), cam.gateway.begin());
      r.ip_changed = true;
      break;
    }
    default:
      // Clock, log deletion, factory test and shell commands are only recorded.
      break;
  }
  return r;
}

}  // namespace mardo::sim
