#pragma once
// The work record of one camera in an upgrade run, and what its worker needs of the
// window that owns the list.
#include <cstdint>
#include <string>
#include <utility>

#include "core/camera.h"

namespace mardo {

struct upgrade_task_t;

class upgrade_owner {
 public:
  virtual ~upgrade_owner() = default;
  virtual device_state& state() = 0;
  // Queued to the window, never waited for: the window writes the camera's progress text,
  // unless a later text of the camera was written meanwhile (the list's status tickets).
  virtual void post_transfer_progress(const upgrade_task_t& task, int percent) = 0;
  // The package path the run took from the path box: "patch.bin" is looked for beside it.
  virtual std::u16string package_path() const { return {}; }
};

struct upgrade_task_t {
  upgrade_owner* owner = nullptr;
  camera_t camera;               // as the run took it when it started
  std::u16string image_name;     // shown, and sent by TFTP after its last '\'
  const std::uint8_t* data = nullptr;  // shared read-only by every worker of the run
  int length = 0;
  int block_count = 0;  // length / 512
  int tail_length = 0;  // length % 512
  std::uint16_t local_port = 0;  // reserved for the run; the raw transport's source port
};

// Points the task at an image to send: its name, bytes, and the block split they give.
inline void set_task_image(upgrade_task_t& task, std::u16string name, const std::uint8_t* data,
                           int length) {
  task.image_name = std::move(name);
  task.data = data;
  task.length = length;
  task.block_count = length / 512;
  task.tail_length = length % 512;
}

}  // namespace mardo
