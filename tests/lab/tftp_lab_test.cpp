// The TFTP transfer over its socket transport into a server no one here wrote: Debian's
// tftpd-hpa, started in a camera's namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/text.h"
#include "lab/lab.h"
#include "net/raw_frame.h"
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
  upgrade_task_t task;
  task.owner = &owner;
  task.row = row;
  task.image_name = u"C:\\fw\\cam_image.bin";
  task.data = image.data();
  task.length = static_cast<int>(image.size());
  task.block_count = task.length / 512;
  task.tail_length = task.length % 512;
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

}  // namespace
}  // namespace mardo
