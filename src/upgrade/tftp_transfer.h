#pragma once
// One image to one camera by TFTP, over a UDP socket, or over hand-built frames for a
// camera whose address another camera shares (list column 6 reads "1").
#include <string>
#include <string_view>

#include "upgrade/upgrade_task.h"

namespace mardo {

inline constexpr const char* kTftpCaptureFilter = "src port 69";

// The text the window writes for a progress message: "传输 N%", or "patch.bin 传输 N%".
std::u16string transfer_progress_text(std::u16string_view image_name, int percent);

// The address of the adapter to send from: the first whose subnet holds the camera's,
// else the first of all. Network order; 0 for an adapter without addresses.
std::uint32_t local_address_for(const dev_info_t& adapter, std::uint32_t camera);

// The whole transfer; its outcome is the text left in the row's column 5. Silent when the
// socket or the capture handle cannot be had.
void run_tftp_transfer(upgrade_task_t& task);

}  // namespace mardo
