#pragma once
// The fire-and-forget commands to every ticked camera: reboot, delete its logs, set its clock.
// One raw frame each, on the adapter the camera was found through; no answer is awaited.
#include <array>
#include <chrono>
#include <cstdint>

#include "core/device_table.h"
#include "config/config_prompts.h"

namespace mardo {

// The clock command: EtherType FF F3, then year, month, weekday (0 Sunday), day, hour,
// minute, second, millisecond of `utc`, each uint16 little-endian.
std::array<std::uint8_t, 18> clock_command(std::chrono::system_clock::time_point utc);

// Each gives the number of frames handed to the capture library. The reboot also counts
// itself in *reboot_count and logs "重启次数：%d", when it got past its question.
int reboot_checked(device_state& state, config_prompts& prompts, int* reboot_count);
int delete_logs_checked(device_state& state, config_prompts& prompts);
int sync_time_checked(device_state& state, std::chrono::system_clock::time_point utc);

// The same without a question (the command line's own choice is the answer).
int send_to_checked(device_state& state, std::uint16_t ether_type);

}  // namespace mardo
