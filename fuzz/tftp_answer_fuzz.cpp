// A camera's TFTP answers, as frames and as datagrams: the frame parse stays within the
// captured bytes, and the transfer takes any answer sequence without reading past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "net/udp_frame.h"
#include "upgrade/tftp_write.h"

namespace {

// Answers cut from the input: a length byte, then that many bytes.
class fuzzed_camera : public mardo::tftp_transport {
 public:
  fuzzed_camera(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  void send(std::span<const std::uint8_t>) override {}
  int receive(std::span<std::uint8_t> answer, int) override {
    if (at_ >= size_) return 0;
    std::size_t n = data_[at_++];
    if (n > size_ - at_) n = size_ - at_;
    if (n > answer.size()) n = answer.size();
    std::copy(data_ + at_, data_ + at_ + n, answer.begin());
    at_ += n;
    return static_cast<int>(n);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct quiet_observer : mardo::tftp_observer {
  void status(const std::string&) override {}
  void progress(int) override {}
  void pause(int) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> frame(data, size);
  if (const auto d = mardo::parse_udp_frame(frame)) {
    if (d->payload.data() < data || d->payload.data() + d->payload.size() > data + size)
      std::abort();
  }
  fuzzed_camera camera(data, size);
  quiet_observer observer;
  const std::vector<std::uint8_t> image(3 * 512 + 17, 0x5A);
  mardo::tftp_write(camera, observer, "fuzz.img", image);
  return 0;
}
