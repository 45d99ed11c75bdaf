#include "raw_camera.h"

#include <algorithm>
#include <cstring>
#include <ctime>

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

constexpr int kTimeZones[34] = {720, 660, 600, 540, 480, 420, 360, 300, 270, 240, 210, 180,
                               120, 60, 0, -60, -120, -180, -210, -240, -270, -300, -330, -345,
                               -360, -390, -420, -480, -540, -570, -600, -660, -720, -780};

std::int64_t utc_ms_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::uint8_t> data_frame(const sim_camera_t& cam, const mac_t& requester,
                                     std::uint16_t ethertype, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> f = header(requester, cam.mac, ethertype, 16 + data.size());
  put_le16(&f[14], static_cast<std::uint16_t>(data.size()));
  std::copy(data.begin(), data.end(), f.begin() + 16);
  return f;
}

void add_le16(std::vector<std::uint8_t>& d, int v) {
  d.push_back(static_cast<std::uint8_t>(v));
  d.push_back(static_cast<std::uint8_t>(v >> 8));
}
void add_le32(std::vector<std::uint8_t>& d, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A settings record of 48 bytes from [baud, bits, parity, stop, mode].
void add_record(std::vector<std::uint8_t>& d, const std::array<int, 5>& r) {
  d.insert(d.end(), 8, 0);
  add_le32(d, static_cast<std::uint32_t>(r[0]));
  add_le32(d, static_cast<std::uint32_t>(r[1]));
  d.push_back(static_cast<std::uint8_t>(r[2]));
  d.insert(d.end(), 3, 0);
  add_le32(d, static_cast<std::uint32_t>(r[3]));
  add_le32(d, static_cast<std::uint32_t>(r[4]));
  d.insert(d.end(), 20, 0);
}

}  // namespace

std::vector<std::uint8_t> build_factory_answer(sim_camera_t& cam, const mac_t& requester,
                                               std::uint16_t id, int* delay_ms) {
  std::vector<std::uint8_t> d;
  add_le16(d, id);
  auto result = [&](int v) {
    add_le32(d, static_cast<std::uint32_t>(v));
    return data_frame(cam, requester, kEtherFactory, d);
  };
  switch (id) {
    case 0: return result(cam.switch1);
    case 7: return result(cam.switch2);
    case 2: return result(cam.chip);
    case 3: return result(cam.sd);
    case 6:
      if (cam.reset_press_ms < 0) return {};
      *delay_ms = cam.reset_press_ms;
      return result(1);
    case 1: {
      // The camera's clock in its own zone: UTC as set, plus the offset, minus the zone's entry.
      const int zone = cam.tz_index < 34 ? kTimeZones[cam.tz_index] : 0;
      const std::int64_t ms = utc_ms_now() + cam.clock_skew_ms + 1000LL * cam.clock_offset_s - 60000LL * zone;
      const std::time_t s = static_cast<std::time_t>(ms / 1000);
      std::tm t{};
      gmtime_r(&s, &t);
      for (int v : {t.tm_year + 1900, t.tm_mon + 1, t.tm_wday, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, cam.tz_index})
        add_le16(d, v);
      d.resize(34, 0);
      return data_frame(cam, requester, kEtherFactory, d);
    }
    case 5:
      add_record(d, cam.rs485_1);
      add_record(d, cam.rs485_2);
      d.resize(138, 0);
      return data_frame(cam, requester, kEtherFactory, d);
    default:
      return {};  // the audio loopback (4) is not answered
  }
}

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
    case kEtherFactory: {
      const std::uint16_t id = in.le16();
      if (in.ok() && cam.factory) r.answer = build_factory_answer(cam, requester, id, &r.answer_delay_ms);
      break;
    }
    case kEtherPresence:
      if (cam.presence) r.answer = data_frame(cam, requester, kEtherPresence, {});
      break;
    case kEtherSetClock: {
      // Year, month, weekday, day, hour, minute, second, milliseconds (UTC).
      int f[8];
      for (int& v : f) v = in.le16();
      if (!in.ok()) break;
      std::tm t{};
      t.tm_year = f[0] - 1900;
      t.tm_mon = f[1] - 1;
      t.tm_mday = f[3];
      t.tm_hour = f[4];
      t.tm_min = f[5];
      t.tm_sec = f[6];
      cam.clock_skew_ms = static_cast<std::int64_t>(timegm(&t)) * 1000 + f[7] - utc_ms_now();
      break;
    }
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
