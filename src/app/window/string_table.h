#pragma once
// The program's string table (core/string_table.h), looked up by id as the resource loader would.
#include <QString>

namespace mardo {

inline constexpr int kIdsAboutItem = 101;
inline constexpr int kIdsUpgradeFailed = 102;
inline constexpr int kIdsFlashFull = 103;
inline constexpr int kIdsPackageInvalid = 104;
inline constexpr int kIdsUpgradeDone = 105;
inline constexpr int kIdsConfirmDelete = 106;
inline constexpr int kIdsConfirmReboot = 107;
inline constexpr int kIdsConfirmFactoryTest = 108;
inline constexpr int kIdsModelMismatch = 109;
inline constexpr int kIdsEnterInteger = 61712;

// The text of string `id`; empty for an id the table does not hold.
QString load_string(int id);

}  // namespace mardo
