#include "config/batch_ip.h"

#include "core/stop.h"
#include "core/text.h"
#include "config/ip_change.h"
#include "net/multicast.h"

namespace mardo {

std::uint32_t next_run_address(std::uint32_t address) {
  auto* b = reinterpret_cast<std::uint8_t*>(&address);
  b[3] = static_cast<std::uint8_t>(b[3] + 1);
  return address;
}

bool ask_batch_ip(const device_list& list, config_prompts& prompts, batch_ip_fields_t& fields) {
  return any_checked(list) && prompts.edit_batch_ip(fields);
}

void run_batch_ip(device_state& state, const std::vector<camera_t>& cameras,
                  const batch_ip_fields_t& fields,
                  const std::function<void(const batch_ip_step_t&)>& on_step) {
  std::uint32_t next = dotted_value(fields.start_ip);
  const std::uint32_t netmask = dotted_value(fields.netmask);
  const std::uint32_t gateway = dotted_value(fields.gateway);
  for (const camera_t& camera : cameras) {
    const std::optional<dev_info_t>& adapter = camera.adapter;
    // A run told to stop (the window closes) changes no further camera.
    if (!adapter || stop_requested()) return;
    batch_ip_step_t step{&camera, next, camera.multicast.has_value(), false, false};
    if (!step.multicast) {
      step.sent = send_ip_set(*adapter, camera.mac, next, netmask, gateway);
    } else {
      // Texts rebuilt from the parsed values: what is not an address goes as 255.255.255.255.
      const std::string ip = dotted_text(next);
      const std::string request =
          modify_ip_request(camera.mac, ip, dotted_text(netmask), dotted_text(gateway));
      step.confirmed =
          mc_exchange(adapter->acIpAddr[0], camera_mac_text(camera.mac).c_str(), request.c_str()) == 1;
      if (step.confirmed) state.list.set_text_of(camera.id, kColIp, wide_string(ip));
      show_status(state, camera, step.confirmed ? kTextIpChanged : kTextIpChangeFailed);
    }
    if (!fields.same_ip) next = next_run_address(next);
    if (on_step) on_step(step);
  }
}

}  // namespace mardo
