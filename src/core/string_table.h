#pragma once
// The program's string table, by resource id, UTF-8: each of these texts is written here once,
// and the window's resource lookup and the core's constants both read it.
#include <string_view>

namespace mardo {

inline constexpr std::string_view kStrAboutItem = "关于 Mardo(&A)...";             // 101
inline constexpr std::string_view kStrUpgradeFailed = "升级失败，请重试！";         // 102
inline constexpr std::string_view kStrFlashFull = "Flash剩余空间不足！";            // 103
inline constexpr std::string_view kStrPackageInvalid = "升级包校验错误！";          // 104
inline constexpr std::string_view kStrUpgradeDone = "升级成功，相机即将重启！";     // 105
inline constexpr std::string_view kStrConfirmDelete = "是否确认删除？";             // 106
inline constexpr std::string_view kStrConfirmReboot = "是否确认重启？";             // 107
inline constexpr std::string_view kStrConfirmFactoryTest = "是否确认开始出厂测试？";  // 108
inline constexpr std::string_view kStrModelMismatch = "硬件型号与软件不匹配";       // 109
inline constexpr std::string_view kStrEnterInteger = "请输入一个整数。";            // 61712

struct string_entry_t {
  int id;
  std::string_view text;
};

inline constexpr string_entry_t kStringTable[] = {
    {101, kStrAboutItem},         {102, kStrUpgradeFailed},       {103, kStrFlashFull},
    {104, kStrPackageInvalid},    {105, kStrUpgradeDone},         {106, kStrConfirmDelete},
    {107, kStrConfirmReboot},     {108, kStrConfirmFactoryTest},  {109, kStrModelMismatch},
    {61712, kStrEnterInteger},
};

// The text of string `id`; empty for an id the table does not hold.
constexpr std::string_view string_text(int id) {
  for (const string_entry_t& entry : kStringTable)
    if (entry.id == id) return entry.text;
  return {};
}

}  // namespace mardo
