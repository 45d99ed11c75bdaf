#include "testing/power_test.h"

#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "core/camera.h"
#include "core/log.h"
#include "core/text.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

template <std::size_t N>
void copy_text(char (&field)[N], const std::string& text) {
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace

bool send_shell_frame(const adapter_table& adapters, int adapter_index, const char* mac_text,
                      std::string_view command) {
  const std::optional<dev_info_t> adapter = adapters.at(adapter_index);
  if (!adapter || !adapter->pCapHandle) return false;
  if (command.size() > static_cast<std::size_t>(kRawMaxCommand - 4)) return false;
  std::vector<std::uint8_t> bytes = {0xFF, 0xF7, static_cast<std::uint8_t>(command.size()),
                                     static_cast<std::uint8_t>(command.size() >> 8)};
  bytes.insert(bytes.end(), command.begin(), command.end());
  return send_raw_frame(adapter->pCapHandle.get(), adapter->aucMac, mac_text, bytes.data(),
                        static_cast<int>(bytes.size())) == 0;
}

power_test::power_test(device_state& state, power_test_options options)
    : state_(state), options_(options) {}

power_test::~power_test() {
  release_entries();
}

bool power_test::toggle(std::int32_t* reboot_count) {
  if (running_)
    stop();
  else
    start(reboot_count);
  return running_;
}

bool power_test::start(std::int32_t* reboot_count) {
  if (entries_) release_entries();
  // One copy of the rows: a search that sorts them meanwhile cannot pair one camera's MAC with
  // another's address.
  const std::vector<camera_t> rows = ticked_cameras(state_);
  if (rows.empty()) return false;
  std::unique_ptr<power_test_entry[]> entries(new (std::nothrow) power_test_entry[rows.size()]());
  if (!entries) return false;
  line("开始断电测试：共" + std::to_string(rows.size()) + "台相机");
  // Every entry's texts are in place before the first probe can report, so a handler
  // never reads an entry while it is being written.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    power_test_entry& e = entries[i];
    copy_text(e.mac_text, rows[i].mac);
    copy_text(e.ip_text, rows[i].ip);
    e.adapter_index = rows[i].adapter_index();
  }
  {
    std::lock_guard lock(lock_);
    entries_ = std::move(entries);
    count_ = static_cast<int>(rows.size());
  }
  for (int i = 0; i < count_; ++i) {
    power_test_entry& e = entries_[static_cast<std::size_t>(i)];
    e.probe = probe_start(e.ip_text, options_.port, options_.interleaved, options_.main_stream,
                          &power_test::on_probe_event, this);
    send_shell_frame(state_.adapters, e.adapter_index, e.mac_text, kShellStart);
  }
  if (reboot_count) *reboot_count = 0;
  running_ = true;
  return true;
}

std::vector<power_test_result> power_test::release_entries() {
  std::vector<power_test_result> results;
  if (!entries_) return results;
  // All probes wind down together; each is then waited for in turn.
  for (int i = 0; i < count_; ++i) probe_request_stop(entries_[static_cast<std::size_t>(i)].probe);
  for (int i = 0; i < count_; ++i) {
    power_test_entry& e = entries_[static_cast<std::size_t>(i)];
    probe_stop(e.probe);
    e.probe = nullptr;
    send_shell_frame(state_.adapters, e.adapter_index, e.mac_text, kShellStop);
    // Another camera's probe still winding down may count here when both share an address.
    std::lock_guard lock(lock_);
    results.push_back({e.mac_text, e.ip_text, e.connect_count, e.drop_count});
  }
  std::lock_guard lock(lock_);
  entries_.reset();
  count_ = 0;
  return results;
}

std::vector<power_test_result> power_test::stop() {
  std::vector<power_test_result> results = release_entries();
  running_ = false;
  return results;
}

void power_test::set_line_observer(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(lock_);
  observer_ = std::move(observer);
}

void power_test::line(const std::string& text) {
  log_event(text.c_str());
  std::lock_guard lock(lock_);
  if (observer_) observer_(text);
}

void power_test::on_probe_event(void* owner, const char* host, std::uint8_t, std::uint32_t,
                                const std::uint8_t* data, std::int32_t length) {
  if (data != nullptr || owner == nullptr || host == nullptr) return;
  auto* test = static_cast<power_test*>(owner);
  std::string text;
  {
    std::lock_guard lock(test->lock_);
    if (!test->entries_) return;
    for (int i = 0; i < test->count_; ++i) {
      power_test_entry& e = test->entries_[static_cast<std::size_t>(i)];
      if (std::strcmp(e.ip_text, host) != 0) continue;
      if (length == 1) {
        text =
            "相机 " + std::string(host) + " 连接建立 " + std::to_string(++e.connect_count) + " 次";
      } else if (length == 0) {
        text = "相机 " + std::string(host) + " 连接断开 " + std::to_string(++e.drop_count) + " 次";
      }
      break;
    }
  }
  if (!text.empty()) test->line(text);
}

}  // namespace mardo
