#pragma once
// The upgrade run behind the "升级" button: the package from the path box, one worker per
// ticked camera, all at once (or at most max_parallel() at a time), then the button back.
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/upgrade_session.h"
#include "upgrade/upgrade_task.h"

namespace mardo {

inline constexpr char kCaptionNotice[] = "提示";
inline constexpr char kTextEmptyPath[] = "升级包路径不能为空";
inline constexpr char kTextBindFailed[] = "绑定端口失败";
inline constexpr char kTextNoTaskMemory[] = "分配内存失败1";
inline constexpr char kTextNoHandleMemory[] = "分配内存失败2";
inline constexpr char kTextNoneTicked[] = "请至少选择一台设备";
// The package path box keeps at most this many characters.
inline constexpr std::size_t kMaxPackagePath = 259;

// What the run needs of the window (or of the command line).
class upgrade_host : public upgrade_owner {
 public:
  // The path box (control 1003) as it reads now. Any thread.
  virtual std::u16string read_package_path() = 0;
  virtual void set_upgrade_enabled(bool enabled) = 0;
  // Modal; returns when the technician closed it. An empty caption is the application's title.
  virtual void message_box(std::string_view text, std::string_view caption) = 0;
  // Cameras served at once; 0 for no limit.
  virtual int max_parallel() const { return 0; }
  // The waits of the routes.
  virtual const session_timing_t& timing() const { return kSessionTiming; }

  std::u16string package_path() const override { return package_path_; }
  void keep_package_path(std::u16string path) { package_path_ = std::move(path); }

 private:
  std::u16string package_path_;
};

// The click: an empty path box is refused with its message box; otherwise the run starts on a
// thread of its own, detached.
void on_upgrade_clicked(upgrade_host& host);

// The manager thread body; returns once every worker it started has ended. It serves the
// cameras given (ticked_cameras as the run was asked for), or those ticked as it begins.
void run_upgrade(upgrade_host& host, std::vector<camera_t> cameras);
void run_upgrade(upgrade_host& host);

}  // namespace mardo
