#include "config/maintenance.h"

#include <ctime>
#include <span>
#include <string>

#include "core/camera.h"
#include "core/log.h"
#include "core/system.h"
#include "core/text.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

// One frame per ticked row; an adapter outside the table ends the loop there.
int send_command(device_state& state, std::span<const std::uint8_t> command) {
  int sent = 0;
  for (const camera_t& camera : ticked_cameras(state)) {
    const std::optional<dev_info_t>& adapter = camera.adapter;
    if (!adapter) break;
    // The capture library gives 0 for a frame it sent; a null handle sends nothing.
    if (send_raw_frame(adapter->pCapHandle.get(), adapter->aucMac, camera.mac.c_str(),
                       command.data(), static_cast<int>(command.size())) == 0 &&
        adapter->pCapHandle)
      ++sent;
  }
  return sent;
}

void put_le16(std::uint8_t* p, int v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

std::array<std::uint8_t, 18> clock_command(std::chrono::system_clock::time_point utc) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(utc);
  std::tm t{};
  utc_time(seconds, t);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(utc.time_since_epoch()).count() % 1000;
  std::array<std::uint8_t, 18> c{0xFF, 0xF3};
  const int fields[] = {t.tm_year + 1900, t.tm_mon + 1, t.tm_wday, t.tm_mday,
                        t.tm_hour,        t.tm_min,     t.tm_sec,  static_cast<int>(ms < 0 ? ms + 1000 : ms)};
  for (int i = 0; i < 8; ++i) put_le16(c.data() + 2 + 2 * i, fields[i]);
  return c;
}

int send_to_checked(device_state& state, std::uint16_t ether_type) {
  const std::uint8_t command[2] = {static_cast<std::uint8_t>(ether_type >> 8),
                                   static_cast<std::uint8_t>(ether_type)};
  return send_command(state, command);
}

int reboot_checked(device_state& state, config_prompts& prompts, int* reboot_count) {
  if (!any_checked(state.list) || !prompts.ask(kAskReboot)) return 0;
  const int sent = send_to_checked(state, kEtherReboot);
  const int count = reboot_count ? ++*reboot_count : 0;
  const std::string line = "重启次数：" + std::to_string(count);
  log_event(line.c_str());
  return sent;
}

int delete_logs_checked(device_state& state, config_prompts& prompts) {
  if (!any_checked(state.list) || !prompts.ask(kAskDelete)) return 0;
  return send_to_checked(state, kEtherDeleteLogs);
}

int sync_time_checked(device_state& state, std::chrono::system_clock::time_point utc) {
  if (!any_checked(state.list)) return 0;
  // Built once: every camera of one command gets the same time.
  const auto command = clock_command(utc);
  return send_command(state, command);
}

}  // namespace mardo
