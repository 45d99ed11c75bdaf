// The Search button against simulated cameras: the window is built inside the lab's
// workstation namespace, so its start-up and the search threads see only the lab.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <QLineEdit>
#include <QPushButton>

#include <chrono>
#include <set>
#include <string>

#include "gui_fixture.h"
#include "lab/lab.h"
#include "app/core/text.h"
#include "net/capture.h"

namespace mardo {
namespace {

using lab::camera_t;
using lab::Lab;
using lab::lab_config_t;

std::u16string dashed_upper(std::string mac) {
  for (char& c : mac)
    c = c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return std::u16string(mac.begin(), mac.end());
}

lab_config_t two_segments() {
  lab_config_t cfg;
  cfg.segments = {lab::segment_t{}, lab::segment_t{}};
  const char* versions[] = {"V1.0.2.SVR_3.4.5, algo : x1, flash : 16M", "2.0.1, algo : x1",
                            "V3.1.0_QKZW_", "V2.2.2", "algo : x1, flash : 32M"};
  for (int n = 0; n < 5; ++n) {
    camera_t c;
    c.segment = n < 3 ? 0 : 1;
    c.version = versions[n];
    c.model = "IPC-" + std::to_string(n);
    cfg.cameras.push_back(c);
  }
  return cfg;
}

TEST(SearchButtonLab, FillsTheViewAndIsDisabledWhileTheSearchRuns) {
  Lab lab(two_segments());
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());
  lab::netns_scope in(lab.ws_netns());
  {
    // The real start-up: capture library and adapters, here the lab's.
    dlg_hooks_t hooks;
    hooks.choose_file = [](QWidget*, const QString&) { return QString(); };
    auto window = gui_test::shown_window(hooks);
    EXPECT_EQ(window->state().adapters.count(), 2);
    auto* search = gui_test::control<QPushButton>(*window, kIdSearch);
    ASSERT_NE(search, nullptr);
    ASSERT_TRUE(search->isEnabled());

    const auto clicked = std::chrono::steady_clock::now();
    QTest::mouseClick(search, Qt::LeftButton);
    EXPECT_TRUE(gui_test::wait_for([&] { return !search->isEnabled(); }, 2000));
    EXPECT_TRUE(gui_test::wait_for([&] { return window->model().rowCount() > 0; }, 3000))
        << "rows appear while the search runs";
    ASSERT_TRUE(gui_test::wait_for([&] { return search->isEnabled(); }, 15000));
    const auto took = std::chrono::steady_clock::now() - clicked;
    // The search ends at timer 1, three seconds after the click.
    EXPECT_GE(took, std::chrono::milliseconds(2900));

    window->model().catch_up();
    device_model& model = window->model();
    ASSERT_EQ(model.rowCount(), 5);
    std::set<std::u16string> macs;
    std::uint32_t last_ip = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
      SCOPED_TRACE(row);
      macs.insert(model.data(model.index(row, kColMac)).toString().toStdU16String());
      EXPECT_EQ(model.data(model.index(row, kColId)).toString(), QString::number(row + 1));
      const std::string ip = model.data(model.index(row, kColIp)).toString().toStdString();
      const std::uint32_t value = ntohl(inet_addr(ip.c_str()));
      EXPECT_GE(value, last_ip) << "sorted by address";
      last_ip = value;
    }
    std::set<std::u16string> expected;
    for (int n = 0; n < 5; ++n) expected.insert(dashed_upper(lab.camera(n).mac));
    EXPECT_EQ(macs, expected);
    // The version column as the check box 1032 (off) shows it.
    bool saw_formatted = false;
    for (int row = 0; row < model.rowCount(); ++row) {
      saw_formatted = saw_formatted || model.data(model.index(row, kColVer)).toString() ==
                                           QStringLiteral("3.4.5, flash : 16M");
    }
    EXPECT_TRUE(saw_formatted);
  }
}

// The batch IP through the window: five cameras, two of them only on the raw path, one run of
// addresses in list order; the window paints and keeps its buttons off while it runs, and a
// new search shows every camera at its new address.
TEST(ConfigLab, BatchIpThroughTheWindowMovesEveryCameraToItsNewAddress) {
  lab_config_t cfg;
  cfg.cameras.resize(5);
  cfg.cameras[1].extra_json = R"("mc_search":false)";
  cfg.cameras[3].extra_json = R"("mc_search":false)";
  // One camera that never confirms keeps the run going for its 3 s.
  cfg.cameras[4].extra_json = R"("mc_modify":false,"raw_search":false)";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());
  lab::netns_scope in(lab.ws_netns());
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.start_up = dlg_hooks_t{}.start_up;  // the real one: the lab's adapters
  hooks.run_dialog = [](QDialog& dialog) {
    dialog.findChild<QLineEdit*>(QStringLiteral("1009"))->setText(QStringLiteral("192.0.2.100"));
    return true;
  };
  auto window = gui_test::shown_window(hooks);
  auto* search = gui_test::control<QPushButton>(*window, kIdSearch);
  auto* batch = gui_test::control<QPushButton>(*window, kIdBatchIp);
  auto search_once = [&] {
    QTest::mouseClick(search, Qt::LeftButton);
    ASSERT_TRUE(gui_test::wait_for([&] { return !search->isEnabled(); }, 2000));
    ASSERT_TRUE(gui_test::wait_for([&] { return search->isEnabled(); }, 15000));
  };
  search_once();
  device_list& rows = window->state().list;
  ASSERT_EQ(rows.count(), 5);
  for (int r = 0; r < 5; ++r) rows.set_checked(r, true);
  QTest::mouseClick(batch, Qt::LeftButton);
  EXPECT_FALSE(batch->isEnabled());
  EXPECT_FALSE(search->isEnabled());
  ASSERT_TRUE(gui_test::wait_for([&] { return batch->isEnabled() && search->isEnabled(); }, 15000));
  EXPECT_EQ(ansi_string(rows.text(4, kColInfo)), "修改IP失败");
  search_once();
  std::set<std::string> found;
  for (int r = 0; r < rows.count(); ++r) found.insert(ansi_string(rows.text(r, kColIp)));
  EXPECT_EQ(found, (std::set<std::string>{"192.0.2.100", "192.0.2.101", "192.0.2.102",
                                          "192.0.2.103", "192.0.2.14"}));
}

}  // namespace
}  // namespace mardo
