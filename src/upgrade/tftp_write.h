#pragma once
// Writing one image to a camera's TFTP server (RFC 1350 write request with the "tsize"
// option of RFC 2349), independent of what carries the packets: a UDP socket or frames
// built by hand.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/string_table.h"

namespace mardo {

inline constexpr int kTftpBlock = 512;
inline constexpr int kTftpTries = 30;          // sendings of one packet
inline constexpr int kTftpLastBlockRounds = 10;  // waits after one sending of the last block
inline constexpr int kTftpWaitMs = 1000;
inline constexpr int kTftpProgressEvery = 100;  // blocks
inline constexpr int kTftpStaleAcks = 8;  // earlier blocks' acks taken per attempt
inline constexpr std::uint16_t kTftpPort = 69;

inline constexpr std::string_view kTextUpgradeFailed = kStrUpgradeFailed;
inline constexpr std::string_view kTextFlashFull = kStrFlashFull;
inline constexpr std::string_view kTextImageRejected = kStrPackageInvalid;
inline constexpr std::string_view kTextUpgradeDone = kStrUpgradeDone;
inline constexpr char kTextPatchDone[] = "patch包更新完成，等待相机重启...";
inline constexpr char kTextUpgrading[] = "正在升级";

std::vector<std::uint8_t> tftp_write_request(std::string_view file_name, int length);
// Opcode 3 with the block number (taken modulo 65536) and the data.
std::vector<std::uint8_t> tftp_data_packet(std::uint32_t block, std::span<const std::uint8_t> data);
// The name sent for an image: the part after its last '\' (and '/', its own separator here).
std::string tftp_file_name(std::string_view image_name);

// What carries the packets to one camera.
class tftp_transport {
 public:
  virtual ~tftp_transport() = default;
  // The first packet goes to port 69; later ones to the port the camera answered from.
  virtual void send(std::span<const std::uint8_t> packet) = 0;
  // One answer within timeout_ms into answer (bytes, at most its size), or 0.
  virtual int receive(std::span<std::uint8_t> answer, int timeout_ms) = 0;
};

// Where a transfer reports.
class tftp_observer {
 public:
  virtual ~tftp_observer() = default;
  virtual void status(const std::string& text) = 0;
  virtual void progress(int percent) = 0;
  virtual void pause(int ms) = 0;
};

enum class tftp_outcome { kDone, kFailed, kFlashFull, kRejected, kOtherError, kOtherAnswer };

// The whole write; the outcome's text (if it has one) is already shown through the observer.
tftp_outcome tftp_write(tftp_transport& transport, tftp_observer& observer,
                        std::string_view image_name, std::span<const std::uint8_t> image);

}  // namespace mardo
