// The Search button against simulated cameras: the window is built inside the lab's
// workstation namespace, so its start-up and the search threads see only the lab.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <chrono>
#include <set>
#include <string>

#include "gui_fixture.h"
#include "lab/lab.h"
#include "core/text.h"
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

// Clicks 搜索 and waits for the search's end.
void search_once(CMardoDlg& window) {
  auto* search = gui_test::control<QPushButton>(window, kIdSearch);
  QTest::mouseClick(search, Qt::LeftButton);
  ASSERT_TRUE(gui_test::wait_for([&] { return !search->isEnabled(); }, 2000));
  ASSERT_TRUE(gui_test::wait_for([&] { return search->isEnabled(); }, 15000));
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
  search_once(*window);
  device_list& rows = window->state().list;
  ASSERT_EQ(rows.count(), 5);
  for (int r = 0; r < 5; ++r) rows.set_checked(r, true);
  QTest::mouseClick(batch, Qt::LeftButton);
  EXPECT_FALSE(batch->isEnabled());
  EXPECT_FALSE(search->isEnabled());
  ASSERT_TRUE(gui_test::wait_for([&] { return batch->isEnabled() && search->isEnabled(); }, 15000));
  EXPECT_EQ(ansi_string(rows.text(4, kColInfo)), "修改IP失败");
  search_once(*window);
  std::set<std::string> found;
  for (int r = 0; r < rows.count(); ++r) found.insert(ansi_string(rows.text(r, kColIp)));
  EXPECT_EQ(found, (std::set<std::string>{"192.0.2.100", "192.0.2.101", "192.0.2.102",
                                          "192.0.2.103", "192.0.2.14"}));
}

// A double-click during a search opens the IP dialog on the row the technician saw; the search
// ends while it is open and sorts the rows. The address typed goes to that camera, not to the
// camera the sort put into that row.
TEST(ConfigLab, IpDialogOpenedDuringASearchChangesTheCameraDoubleClicked) {
  lab_config_t cfg;
  cfg.cameras.resize(3);
  for (int n = 0; n < 3; ++n) {
    // The first to answer sorts last: its row moves while the dialog is open.
    cfg.cameras[n].ip = "192.0.2." + std::to_string(30 - n);
    cfg.cameras[n].extra_json = R"("mc_search":false,"reply_delay_ms":)" + std::to_string(300 * n);
  }
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());
  lab::netns_scope in(lab.ws_netns());
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.start_up = dlg_hooks_t{}.start_up;
  QPushButton* search = nullptr;
  hooks.run_dialog = [&](QDialog& dialog) {
    EXPECT_TRUE(gui_test::wait_for([&] { return search->isEnabled(); }, 15000));
    dialog.findChild<QLineEdit*>(QStringLiteral("1009"))->setText(QStringLiteral("192.0.2.200"));
    return true;
  };
  auto window = gui_test::shown_window(hooks);
  search = gui_test::control<QPushButton>(*window, kIdSearch);
  QTest::mouseClick(search, Qt::LeftButton);
  ASSERT_TRUE(gui_test::wait_for([&] { return window->model().rowCount() > 0; }, 3000));
  const std::u16string clicked = window->state().list.text(0, kColMac);
  ASSERT_EQ(clicked, dashed_upper(lab.camera(0).mac));
  const QRect cell = window->list()->visualRect(window->model().index(0, kColIp));
  QTest::mouseClick(window->list()->viewport(), Qt::LeftButton, {}, cell.center());
  QTest::mouseDClick(window->list()->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_NE(window->state().list.text(0, kColMac), clicked) << "the search's sort moved the row";
  const auto sets = [](const std::vector<lab::sim_event_t>& ev) {
    std::vector<std::string> out;
    for (const auto& e : ev)
      if (e.channel == "raw" && e.ethertype == 0xFFF2) out.push_back(e.mac);
    return out;
  };
  const auto ev = lab.wait_events([&](const auto& e) { return !sets(e).empty(); }, 3000);
  EXPECT_EQ(sets(ev), std::vector<std::string>{lab.camera(0).mac});
}

// Closing the window during a factory test ends the process: the station's RESET wait (31 s)
// and every other wait end once the jobs are told to stop, every thread is joined within the
// bound, and the cameras are sent nothing more.
TEST(CloseLab, ClosingTheWindowDuringAFactoryTestJoinsEveryThreadWithinTheBound) {
  lab_config_t cfg;
  cfg.cameras.resize(2);
  for (auto& c : cfg.cameras) c.extra_json = R"("reset_press_ms":-1)";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());
  lab::netns_scope in(lab.ws_netns());
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.start_up = dlg_hooks_t{}.start_up;
  hooks.question = [](QWidget*, const QString&, const QString&) { return true; };
  hooks.run_dialog = [](QDialog& dialog) {
    // The device chooser: the first camera is the station.
    if (auto* devices = dialog.findChild<QComboBox*>(QStringLiteral("1001"))) devices->setCurrentIndex(0);
    return true;
  };
  hooks.serial_ports = [] { return std::vector<std::string>{}; };
  auto window = gui_test::shown_window(hooks);
  search_once(*window);
  ASSERT_EQ(window->state().list.count(), 2);
  for (int r = 0; r < 2; ++r) window->state().list.set_checked(r, true);
  window->factory().on_factory_test();
  ASSERT_TRUE(window->factory().factory_running());
  const auto factory_frames = [&] {
    std::size_t n = 0;
    for (const auto& e : lab.events()) n += e.channel == "raw" && e.ethertype != 0xFFF0;
    return n;
  };
  ASSERT_TRUE(gui_test::wait_for([&] { return factory_frames() > 0; }, 5000));
  QTest::qWait(1500);
  const std::size_t before_close = factory_frames();
  const auto closed = std::chrono::steady_clock::now();
  window->close();
  window.reset();
  const auto took = std::chrono::steady_clock::now() - closed;
  RecordProperty("close_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_LT(took, std::chrono::seconds(3));
  // At most what each camera's worker was sending as the window closed (the clock item sends
  // two frames at once): no worker runs through its remaining items on its way out.
  QTest::qWait(1500);
  EXPECT_LE(factory_frames(), before_close + 4);
}

}  // namespace
}  // namespace mardo
