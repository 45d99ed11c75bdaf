#include "testing/factory_items.h"

#include <ctime>

#include "core/system.h"
#include "net/byte_view.h"

namespace mardo {
namespace {

long long seconds_of(const clock_fields_t& f) {
  std::tm t{};
  t.tm_year = f.year - 1900;
  t.tm_mon = f.month - 1;
  t.tm_mday = f.day;
  t.tm_hour = f.hour;
  t.tm_min = f.minute;
  t.tm_sec = f.second;
  t.tm_wday = f.weekday;
  t.tm_isdst = -1;  // decided by the system, the same way for both
  return static_cast<long long>(std::mktime(&t));
}

}  // namespace

std::vector<std::uint8_t> factory_request(std::uint16_t id, std::optional<std::uint16_t> parameter) {
  std::vector<std::uint8_t> c = {0xFF, 0xF5, static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8)};
  if (parameter) {
    c.push_back(static_cast<std::uint8_t>(*parameter));
    c.push_back(static_cast<std::uint8_t>(*parameter >> 8));
  }
  return c;
}

std::optional<std::uint32_t> result_value(std::span<const std::uint8_t> data, std::uint16_t id) {
  if (data.size() != 6) return std::nullopt;
  byte_reader in(data);
  if (in.le16() != id) return std::nullopt;
  return in.le32();
}

std::optional<port_settings_t> rs485_reply(std::span<const std::uint8_t> data, bool second) {
  if (data.size() != 138) return std::nullopt;
  byte_reader in(data);
  if (in.le16() != kReqRs485) return std::nullopt;
  in.seek(second ? 50 : 2);
  const auto record = in.bytes(kPortSettingsSize);
  return in.ok() ? parse_port_settings(record) : std::nullopt;
}

std::string sd_reason(std::optional<std::uint32_t> value) {
  if (!value) return {};
  switch (*value) {
    case 0: return "未插入";
    case 1: return "已插入但未挂载";
    case 2: return "已挂载但写入失败";
    default: return {};
  }
}

clock_fields_t utc_fields(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm u{};
  utc_time(s, u);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  return {u.tm_year + 1900, u.tm_mon + 1, u.tm_wday, u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec,
          static_cast<int>(ms < 0 ? ms + 1000 : ms)};
}

std::optional<clock_fields_t> clock_reply(std::span<const std::uint8_t> data) {
  if (data.size() != 34) return std::nullopt;
  byte_reader in(data);
  if (in.le16() != kReqClock) return std::nullopt;
  clock_fields_t f;
  int* fields[] = {&f.year, &f.month, &f.weekday, &f.day, &f.hour, &f.minute, &f.second, &f.last};
  for (int* p : fields) *p = in.le16();
  return f;
}

std::optional<long long> clock_difference(const clock_fields_t& sent, const clock_fields_t& camera) {
  if (camera.last < 0 || camera.last >= static_cast<int>(kTimeZoneMinutes.size())) return std::nullopt;
  const int zone = kTimeZoneMinutes[static_cast<std::size_t>(camera.last)];
  return seconds_of(sent) - (seconds_of(camera) + 60LL * zone);
}

std::string factory_verdict(const std::array<bool, kItemCount>& passed, int tested) {
  std::string failed;
  for (int i = 0; i < tested && i < kItemCount; ++i)
    if (!passed[static_cast<std::size_t>(i)]) failed += std::string(kItemNames[static_cast<std::size_t>(i)]) + " ";
  return failed.empty() ? "出厂测试成功！" : failed + "测试失败！";
}

}  // namespace mardo
