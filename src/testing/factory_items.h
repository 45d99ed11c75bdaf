#pragma once
// The factory test's items, frames and judgments, as plain functions: what each reply must
// hold to pass, the clock difference with the camera's time zone, the texts and the verdict.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/string_table.h"
#include "testing/serial_port.h"
#include <string>
#include <vector>

namespace mardo {

inline constexpr std::uint16_t kEtherFactoryRequest = 0xFFF5;
inline constexpr std::uint16_t kEtherPresenceProbe = 0xFFF6;
inline constexpr const char* kFactoryFilter = "ether proto 0xFFF5 || ether proto 0xFFF6";
inline constexpr std::string_view kAskFactoryTest = kStrConfirmFactoryTest;
// A run that ended without a verdict (it broke off): never shown as passed.
inline constexpr char kTextFactoryFailed[] = "出厂测试失败！";

enum factory_item : int {
  kItemSwitch1 = 0,
  kItemSwitch2,
  kItemRtc,
  kItemChip,
  kItemSd,
  kItemReset,
  kItemRs485,
  kItemCount,
};
inline constexpr std::array<const char*, kItemCount> kItemNames = {
    "开关量1", "开关量2", "RTC", "加密芯片", "SD卡", "RESET", "RS485"};

// Request ids of the 0xFFF5 frames.
inline constexpr std::uint16_t kReqSwitch1 = 0, kReqClock = 1, kReqChip = 2, kReqSd = 3,
                               kReqAudio = 4, kReqRs485 = 5, kReqReset = 6, kReqSwitch2 = 7;

// The command bytes (EtherType first) of a test request, with a parameter or without.
std::vector<std::uint8_t> factory_request(std::uint16_t id, std::optional<std::uint16_t> parameter);

// A reply's data (bytes 16 on, as many as its length field and the capture allow).
// The 6-byte result replies: the id and the value, or nothing for another length or id.
std::optional<std::uint32_t> result_value(std::span<const std::uint8_t> data, std::uint16_t id);

// The RS485 reply (data length 138, id 5): the camera's record of RS485-1 (at 2) or of
// RS485-2 (at 50), or nothing.
std::optional<port_settings_t> rs485_reply(std::span<const std::uint8_t> data, bool second);

// The SD card's reason text for a value (empty for an unknown value or no reply); 3 passes.
std::string sd_reason(std::optional<std::uint32_t> value);

// The 34 time-zone offsets in minutes, index 14 UTC.
inline constexpr std::array<int, 34> kTimeZoneMinutes = {
    720, 660, 600, 540, 480, 420, 360, 300, 270, 240, 210, 180, 120, 60, 0, -60, -120,
    -180, -210, -240, -270, -300, -330, -345, -360, -390, -420, -480, -540, -570, -600, -660, -720, -780};

// Calendar fields as both the set-clock frame and the clock reply carry them.
struct clock_fields_t {
  int year = 0, month = 0, weekday = 0, day = 0, hour = 0, minute = 0, second = 0;
  int last = 0;  // milliseconds in the frame; the time-zone index in the reply
};
clock_fields_t utc_fields(std::chrono::system_clock::time_point t);
// The clock reply (data length 34, id 1); nothing otherwise.
std::optional<clock_fields_t> clock_reply(std::span<const std::uint8_t> data);
// D = seconds(sent) − (seconds(camera) + 60 × zone), both converted the same way; nothing for a
// time-zone index without a table entry (a failed attempt, not a read past the table).
std::optional<long long> clock_difference(const clock_fields_t& sent, const clock_fields_t& camera);
inline constexpr long long kClockToleranceS = 90;  // |D| below this passes

// "出厂测试成功！", or the failed items' names in item order, each followed by a space, then
// "测试失败！"; over the first `tested` items.
std::string factory_verdict(const std::array<bool, kItemCount>& passed, int tested);

}  // namespace mardo
