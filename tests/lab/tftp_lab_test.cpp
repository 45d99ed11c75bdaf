// The TFTP transfer over its socket transport into a server no one here wrote: Debian's
// tftpd-hpa, started in a camera's namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "core/text.h"
#include "lab/lab.h"
#include "net/capture.h"
#include "net/raw_frame.h"
#include "net/sockets.h"
#include "upgrade/tftp_transfer.h"

namespace mardo {
namespace {

class recording_owner : public upgrade_owner {
 public:
  device_state& state() override { return state_; }
  void post_transfer_progress(const upgrade_task_t& task, int percent) override {
    std::lock_guard lock(mutex_);
    progress.push_back(ansi_string(transfer_progress_text(task.image_name, percent)));
  }
  std::mutex mutex_;
  std::vector<std::string> progress;

 private:
  device_state state_;
};

// tftpd-hpa in the foreground, in a namespace of the lab; ended by its PID.
class tftpd {
 public:
  tftpd(const std::string& netns, const std::string& address, const std::string& dir) {
    pid_ = fork();
    if (pid_ == 0) {
      const std::string listen = address + ":69";
      std::vector<const char*> argv = {"ip",       "netns",    "exec",     netns.c_str(),
                                       "in.tftpd", "--foreground", "--listen", "--address",
                                       listen.c_str(), "--create", "--secure", "--user", "root"};
      argv.push_back(dir.c_str());
      argv.push_back(nullptr);
      execvp("ip", const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    usleep(300 * 1000);  // it binds before it serves
  }
  ~tftpd() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

std::vector<std::uint8_t> image_of(std::size_t size) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 29 + i / 1021);
  return image;
}

upgrade_task_t task_for(upgrade_owner& owner, int row, std::u16string name,
                        const std::vector<std::uint8_t>& image) {
  upgrade_task_t task;
  task.owner = &owner;
  task.camera = *camera_at(owner.state(), row);
  set_task_image(task, std::move(name), image.data(), static_cast<int>(image.size()));
  return task;
}

// tftpd-hpa answers from a port of its own, which the frame transport's "src port 69"
// filter never sees, so it takes the socket transport only.
TEST(TftpLab, SocketTransportWritesAnImageIntoTftpdHpa) {
  if (access("/usr/sbin/in.tftpd", X_OK) != 0) {
    if (lab::running_in_ci()) FAIL() << "tftpd-hpa is not installed (scripts/deps.sh)";
    GTEST_SKIP() << "tftpd-hpa is not installed (scripts/deps.sh)";
  }
  lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.start_camsim = false;
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const std::string dir = ::testing::TempDir() + "tftp_" + lab.lab_id();
  std::filesystem::create_directories(dir);
  tftpd server(lab.camera_netns(0), lab.camera(0).ip, dir);
  ASSERT_TRUE(server.running());

  recording_owner owner;
  device_list& list = owner.state().list;
  const int row = list.add_row();
  list.set_text(row, kColIp, wide_string(lab.camera(0).ip));
  const auto cam_mac = lab.camera_mac(0);
  list.set_text(row, kColMac, wide_string(format_mac_upper(cam_mac.data())));
  const auto image = image_of(250 * 512 + 300);
  upgrade_task_t task = task_for(owner, row, u"C:\\fw\\cam_image.bin", image);
  {
    lab::netns_scope in(lab.ws_netns());
    run_tftp_transfer(task);
  }
  EXPECT_EQ(ansi_string(list.text(row, kColInfo)), "升级成功，相机即将重启！");
  EXPECT_EQ(owner.progress, (std::vector<std::string>{"传输 0%", "传输 40%", "传输 80%"}));
  std::ifstream in(dir + "/cam_image.bin", std::ios::binary);
  const std::vector<std::uint8_t> stored((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  EXPECT_TRUE(stored == image) << "stored " << stored.size() << " of " << image.size() << " bytes";
  std::filesystem::remove_all(dir);
}


// The transfer into camsim's cameras, whose server answers from port 69 as the frame
// transport needs, with the faults a camera can show. camsim logs each file it took.
struct CamsimRow {
  const char* name;
  bool frames;
  const char* behaviour;  // camsim members of the camera
  std::size_t size;
  const char* text;
  bool stored;
  const char16_t* image_name = u"cam_image.bin";
  std::vector<std::string> progress{};  // checked when not empty
};

class TftpCamsimLab : public ::testing::TestWithParam<CamsimRow> {};

TEST_P(TftpCamsimLab, TransferEndsWithItsTextAndTheCameraHoldsTheBytes) {
  const CamsimRow& row = GetParam();
  lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.cameras[0].extra_json = row.behaviour;
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());

  recording_owner owner;
  device_list& list = owner.state().list;
  const int r = list.add_row();
  const auto cam_mac = lab.camera_mac(0);
  list.set_text(r, kColMac, wide_string(format_mac_upper(cam_mac.data())));
  list.set_text(r, kColIp, wide_string(lab.camera(0).ip));
  if (row.frames) list.set_text(r, kColDupMark, u"1");
  dev_info_t adapter{};
  std::snprintf(adapter.acName, sizeof adapter.acName, "%s", lab.ws_ifname(0).c_str());
  const auto ws_mac = lab.ws_mac(0);
  std::copy(ws_mac.begin(), ws_mac.end(), adapter.aucMac);
  // Another subnet first: the source address is the one in the camera's subnet.
  std::snprintf(adapter.acIpAddr[0], 16, "203.0.113.9");
  std::snprintf(adapter.acIpMask[0], 16, "255.255.255.0");
  std::snprintf(adapter.acIpAddr[1], 16, "%s", lab.ws_ip(0).c_str());
  std::snprintf(adapter.acIpMask[1], 16, "255.255.255.0");
  adapter.iIpNum = 2;
  owner.state().adapters.assign({adapter});

  const auto image = image_of(row.size);
  upgrade_task_t task = task_for(owner, r, row.image_name, image);
  {
    lab::netns_scope in(lab.ws_netns());
    // The run's reserved port: answers to hand-built frames must find a socket, or the
    // workstation's stack answers them with port unreachable.
    std::uint16_t port = 0;
    socket_handle reserved(open_bound_socket(kSockDatagram, port, 0));
    ASSERT_GE(reserved.fd(), 0);
    task.local_port = port;
    run_tftp_transfer(task);
  }
  EXPECT_EQ(ansi_string(list.text(r, kColInfo)), row.text);
  if (!row.progress.empty()) {
    EXPECT_EQ(owner.progress, row.progress);
  }
  const auto events = lab.wait_events(
      [](const auto& evs) {
        for (const auto& e : evs)
          if (e.channel == "tftp-file") return true;
        return false;
      },
      row.stored ? 2000 : 0);
  const lab::sim_event_t* file = nullptr;
  for (const auto& e : events)
    if (e.channel == "tftp-file") file = &e;
  ASSERT_EQ(file != nullptr, row.stored);
  if (!file) return;
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), image.data(), static_cast<uInt>(image.size()));
  EXPECT_EQ(file->len, image.size());
  ASSERT_EQ(file->bytes.size(), 4u);
  EXPECT_EQ(std::uint32_t{file->bytes[0]} << 24 | std::uint32_t{file->bytes[1]} << 16 |
                std::uint32_t{file->bytes[2]} << 8 | file->bytes[3],
            crc);
  // Frames leave from the run's reserved port; the socket from a port of its own.
  if (row.frames)
    EXPECT_EQ(file->src, lab.ws_ip(0) + ":" + std::to_string(task.local_port));
  else
    EXPECT_EQ(file->src.rfind(lab.ws_ip(0) + ":", 0), 0u) << file->src;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TftpCamsimLab,
    ::testing::Values(
        CamsimRow{"frames_two_blocks_and_an_empty_one", true, "", 1024, "升级成功，相机即将重启！", true},
        CamsimRow{"frames_duplicated_late_acks", true,
                  R"("tftp_duplicate_acks":true,"tftp_late_ack_ms":5)", 100 * 512 + 7,
                  "升级成功，相机即将重启！", true},
        CamsimRow{"frames_forty_mebibytes_roll_over", true, "", 40u << 20,
                  "升级成功，相机即将重启！", true},
        CamsimRow{"socket_forty_mebibytes_roll_over", false, "", 40u << 20,
                  "升级成功，相机即将重启！", true},
        CamsimRow{"socket_flash_full", false, R"("tftp_last":"error3")", 3000,
                  "Flash剩余空间不足！", true},
        CamsimRow{"frames_image_rejected", true, R"("tftp_last":"error8")", 3000,
                  "升级包校验错误！", true},
        CamsimRow{"socket_plain_ack_refused", false, R"("tftp_plain_ack":true)", 3000,
                  "升级失败，请重试！", false},
        CamsimRow{"frames_plain_ack_refused", true, R"("tftp_plain_ack":true)", 3000,
                  "升级失败，请重试！", false},
        CamsimRow{"frames_patch_texts", true, "", 250 * 512, "patch包更新完成，等待相机重启...", true,
                  u"C:\\fw\\patch.bin", {"patch.bin 传输 0%", "patch.bin 传输 40%", "patch.bin 传输 80%"}},
        CamsimRow{"socket_patch_texts", false, "", 250 * 512, "patch包更新完成，等待相机重启...", true,
                  u"C:\\fw\\patch.bin", {"patch.bin 传输 0%", "patch.bin 传输 40%", "patch.bin 传输 80%"}}),
    [](const auto& info_row) { return std::string(info_row.param.name); });

}  // namespace
}  // namespace mardo
