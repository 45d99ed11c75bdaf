#pragma once
// Every ticked camera given an address from one run of consecutive addresses (or all the same
// one), with one netmask and gateway, each by its own row's transport.
#include <cstdint>
#include <functional>

#include <vector>

#include "core/camera.h"
#include "config/config_prompts.h"

namespace mardo {

// The next address of a run: the last octet plus one, modulo 256, no carry (x.y.z.255 is
// followed by x.y.z.0). Network byte order.
std::uint32_t next_run_address(std::uint32_t address);

// What one row was given, for a caller that reports as the run goes on.
struct batch_ip_step_t {
  const camera_t* camera = nullptr;
  std::uint32_t address = 0;
  bool multicast = false;
  bool confirmed = false;  // multicast rows only
  bool sent = false;       // raw rows only: the set-IP frame went out
};

// The run over the cameras ticked when it started (ticked_cameras), in that order; it blocks up
// to 3000 ms per multicast camera, so the window runs it off its own thread. A camera whose
// adapter was not in the table ends the run.
void run_batch_ip(device_state& state, const std::vector<camera_t>& cameras,
                  const batch_ip_fields_t& fields,
                  const std::function<void(const batch_ip_step_t&)>& on_step = {});

// Whether a batch would do anything (some row ticked), then the dialog; false: nothing to do.
bool ask_batch_ip(const device_list& list, config_prompts& prompts, batch_ip_fields_t& fields);

}  // namespace mardo
