#pragma once
// A console that is open from its first toggle and keeps every line, for tests that check
// the diagnostic lines. set_console_window + toggle_console put it in place; the scope
// removes it again.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"

namespace mardo::lab {

class line_console final : public console_window {
 public:
  void create() override {}
  void show() override { visible_ = true; }
  void hide() override { visible_ = false; }
  bool is_visible() const override { return visible_; }
  void write(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool has(const std::string& line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }

 private:
  std::atomic<bool> visible_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class console_scope {
 public:
  console_scope() {
    set_console_window(&console);
    toggle_console();
  }
  ~console_scope() { set_console_window(nullptr); }
  console_scope(const console_scope&) = delete;
  console_scope& operator=(const console_scope&) = delete;

  line_console console;
};

}  // namespace mardo::lab
