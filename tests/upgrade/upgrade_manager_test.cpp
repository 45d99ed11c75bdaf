// The manager's ends that reach no camera: refusals, nothing ticked, the button.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/text.h"
#include "upgrade/upgrade_fixtures.h"
#include "upgrade/upgrade_manager.h"

namespace mardo {
namespace {

class fake_host : public upgrade_host {
 public:
  device_state& state() override { return state_; }
  void post_transfer_progress(const upgrade_task_t&, int) override {}
  std::u16string read_package_path() override { return wide_string(path); }
  void set_upgrade_enabled(bool on) override { enabled.push_back(on); }
  void message_box(std::string_view text, std::string_view caption) override {
    std::lock_guard lock(mutex_);
    boxes.push_back(std::string(text) + "|" + std::string(caption));
  }
  std::string path;
  std::vector<bool> enabled;
  std::vector<std::string> boxes;

 private:
  device_state state_;
  std::mutex mutex_;
};

struct RefusalRow {
  const char* name;
  const char* file;     // written into the temp folder; empty: the path names nothing there
  bool tick;            // the rows are ticked
  std::vector<std::string> boxes;
  bool cleared;         // every row's column 5 was emptied
};

TEST(UpgradeManager, RunsThatServeNoCameraEndWithTheirBoxes) {
  const std::vector<RefusalRow> rows = {
      {"rar_is_refused_then_nothing_was_ticked", "fw.rar", true,
       {"升级包校验错误！|", "请至少选择一台设备|提示"}, false},
      {"nothing_ticked_plain", "fw.bin", false, {"请至少选择一台设备|提示"}, true},
      {"nothing_ticked_iupk_is_a_zip", "fw.iupk", false, {"请至少选择一台设备|提示"}, true},
      {"archive_that_cannot_be_opened", "bad.zip", true,
       {"打开压缩包文件失败|提示", "请至少选择一台设备|提示"}, false},
      // Said, not silently dropped, as an archive that cannot be opened is.
      {"unreadable_plain_file", "", true, {"打开文件失败|提示", "请至少选择一台设备|提示"}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::temp_dir dir;
    test::temp_dir zipped;
    std::string path = dir.file("missing");
    if (std::string(row.file) == "fw.iupk") {
      zipped.write("a.bin", test::pattern(100));
      ASSERT_TRUE(zipped.zip("fw.iupk", {"a.bin"}));
      path = zipped.file("fw.iupk");
    } else if (*row.file) {
      dir.write(row.file, test::text_bytes("not a zip archive"));
      path = dir.file(row.file);
    }
    fake_host host;
    host.path = path;
    for (int r = 0; r < 2; ++r) {
      host.state().list.add_row();
      host.state().list.set_text(r, kColIp, u"192.0.2.10");
      host.state().list.set_text(r, kColInfo, u"stale");
      host.state().list.set_checked(r, row.tick);
    }
    run_upgrade(host);
    EXPECT_EQ(host.boxes, row.boxes);
    EXPECT_EQ(host.enabled, (std::vector<bool>{false, true}));
    for (int r = 0; r < 2; ++r)
      EXPECT_EQ(ansi_string(host.state().list.text(r, kColInfo)), row.cleared ? "" : "stale");
  }
}

TEST(UpgradeManager, EmptyPathIsRefusedAtTheClickWithoutARun) {
  fake_host host;
  on_upgrade_clicked(host);
  EXPECT_EQ(host.boxes, (std::vector<std::string>{"升级包路径不能为空|提示"}));
  EXPECT_TRUE(host.enabled.empty());
}

}  // namespace
}  // namespace mardo
