#pragma once
// The worker that brings one camera up to date from a full package, by the route the camera
// needs: its upgrade service, the service after a bootstrap file "patch.bin", or a TFTP image
// for older cameras. Everything it reports is its row's status text.
#include <cstdint>
#include <string>
#include <string_view>

#include "upgrade/upgrade_task.h"

namespace mardo {

inline constexpr char kTextServiceConnectFailed[] = "连接升级服务失败";
inline constexpr char kTextHeaderSendFailed[] = "发送包头数据失败";
inline constexpr char kTextHeaderAnswerFailed[] = "包头数据应答失败";
inline constexpr char kTextHeaderRejected[] = "包头数据校验回应失败，请检查升级包是否正确";
inline constexpr char kTextEmptyImage[] = "小包大小为0";           // "%s %s"
inline constexpr char kTextPieceSendFailed[] = "发送升级包数据失败";  // "%s %d"
inline constexpr char kTextProgress[] = "进度";                     // "%s %d%% (%d/%d) %s"
inline constexpr char kTextRestartQueryFailed[] = "查询相机重启状态失败";
inline constexpr char kTextStatusRequestFailed[] = "请求升级状态失败";
inline constexpr char kTextStatusAnswerFailed[] = "获取升级状态失败";
inline constexpr char kTextUpdated[] = "升级文件已更新完成！";
inline constexpr char kTextUpdating[] = "正在更新";  // "%s (%d/%d) %s"
inline constexpr char kTextStatusTimeout[] = "等待相机更新状态超时";
inline constexpr char kTextNoOldImages[] = "旧升级包个数为0";
inline constexpr char kTextOpenFileFailed[] = "打开文件失败";
inline constexpr char kTextFileEmpty[] = "文件为空";
inline constexpr char kTextNoMemory[] = "分配内存失败";
inline constexpr char kTextShortRead[] = "读取文件长度不对";
inline constexpr char kTextRestartTimeout[] = "相机重启超时";

// The waits of the routes, in milliseconds unless named otherwise; tests shorten them.
struct session_timing_t {
  int after_patch_ms = 10000;      // after the bootstrap transfer, before the first probe
  int patch_probe_seconds = 30;    // calendar seconds of probing for the service
  int probe_pause_ms = 1000;
  int restart_tries = 20;
  int status_deadline_ms = 120000;
  int poll_pause_ms = 1000;        // before every status round and after a failed try
  int prepare_wait_ms = 3000;      // after the request 21380
};
inline constexpr session_timing_t kSessionTiming{};

// "patch.bin" beside the package: the path up to its last separator, then the name.
std::u16string patch_path_for(std::u16string_view package_path);

// The whole-number percentage shown after piece j (0-based) of n of entry i of count.
int service_progress(int piece, int pieces, int entry, int count);

// The thread body; always 0. Its result is the text left in the row's column 5.
int run_upgrade_session(upgrade_task_t& task, const session_timing_t& timing = kSessionTiming);
// The bootstrap route's first half: "patch.bin" by TFTP, then probing for the service.
// 1 when the camera answers it, else 0 (with the reason in column 5).
int run_bootstrap_patch(upgrade_task_t& task, const session_timing_t& timing = kSessionTiming);

}  // namespace mardo
