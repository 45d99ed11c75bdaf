#pragma once
// A copy of a socket at a handle number past FD_SETSIZE, where select() cannot wait.
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

namespace mardo {

class high_fd {
 public:
  // Raises the soft handle limit as far as needed (the hard limit allowing) and duplicates
  // fd to FD_SETSIZE + 5; get() is -1 where that cannot be had.
  explicit high_fd(int fd) {
    have_saved_ = getrlimit(RLIMIT_NOFILE, &saved_) == 0;
    rlimit raised = saved_;
    if (have_saved_ && raised.rlim_cur < kNumber + 16 && raised.rlim_max >= kNumber + 16) {
      raised.rlim_cur = kNumber + 16;
      setrlimit(RLIMIT_NOFILE, &raised);
    }
    fd_ = dup2(fd, kNumber);
  }
  ~high_fd() {
    if (fd_ >= 0) close(fd_);
    if (have_saved_) setrlimit(RLIMIT_NOFILE, &saved_);
  }
  high_fd(const high_fd&) = delete;
  high_fd& operator=(const high_fd&) = delete;
  int get() const { return fd_; }

 private:
  static constexpr int kNumber = FD_SETSIZE + 5;
  rlimit saved_{};
  bool have_saved_ = false;
  int fd_ = -1;
};

}  // namespace mardo
