// The diagnostic console behind Ctrl+Alt+P: lines only while visible, whole lines from many
// threads, the event lines in their own pane, and a close button that does nothing.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "gui_fixture.h"

namespace mardo {
namespace {

class Console : public testing::Test {
 protected:
  void SetUp() override {
    // The event log also keeps its lines in day files: keep them out of the user's home.
    char pattern[] = "/tmp/mardo-gui-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    state_dir_ = pattern;
    const char* old = std::getenv("XDG_STATE_HOME");
    if (old) old_state_ = old;
    setenv("XDG_STATE_HOME", state_dir_.c_str(), 1);
    window_ = gui_test::shown_window();
  }
  void TearDown() override {
    window_.reset();
    flush_event_log();
    if (old_state_) {
      setenv("XDG_STATE_HOME", old_state_->c_str(), 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    std::filesystem::remove_all(state_dir_);
  }
  void press_console_key() {
    QTest::keyClick(window_->list(), Qt::Key_P, Qt::ControlModifier | Qt::AltModifier);
  }
  QStringList diagnostic_lines() {
    return window_->console().diagnostic_text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }

  std::unique_ptr<CMardoDlg> window_;
  std::string state_dir_;
  std::optional<std::string> old_state_;
};

TEST_F(Console, NothingIsFormattedBeforeTheFirstCtrlAltP) {
  const std::uint64_t before = formatted_line_count();
  log_printf("[%s]winpcap recv: %s \r\n", "192.0.2.1", "V1.0.0");
  EXPECT_EQ(formatted_line_count(), before);
  EXPECT_EQ(window_->console().window(), nullptr);
}

TEST_F(Console, ThirdCtrlAltPShowsEarlierLinesButNoneLoggedWhileHidden) {
  press_console_key();
  ASSERT_TRUE(window_->console().is_visible());
  log_printf("[%s]socket recv: %s \r\n", "192.0.2.1", "first");
  press_console_key();
  ASSERT_FALSE(window_->console().is_visible());
  const std::uint64_t hidden_from = formatted_line_count();
  log_printf("[%s]socket recv: %s \r\n", "192.0.2.1", "while hidden");
  EXPECT_EQ(formatted_line_count(), hidden_from);
  press_console_key();
  ASSERT_TRUE(window_->console().is_visible());
  log_printf("[%s]socket recv: %s \r\n", "198.51.100.1", "third");
  EXPECT_EQ(diagnostic_lines(), QStringList({QStringLiteral("[192.0.2.1]socket recv: first "),
                                             QStringLiteral("[198.51.100.1]socket recv: third ")}));
}

TEST_F(Console, LinesFromSeveralThreadsArriveWhole) {
  press_console_key();
  constexpr int kThreads = 4;
  constexpr int kLines = 250;
  const std::string padding(300, 'x');  // longer than one short write
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &padding] {
      for (int i = 0; i < kLines; ++i) {
        log_printf("[192.0.2.%d]line %d %s end\r\n", t, i, padding.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const QStringList lines = diagnostic_lines();
  ASSERT_EQ(lines.size(), kThreads * kLines);
  std::vector<int> per_thread(kThreads, 0);
  for (const QString& line : lines) {
    const QStringList parts = line.split(QLatin1Char(' '));
    ASSERT_EQ(parts.size(), 4) << line.toStdString();
    ASSERT_EQ(parts[2], QString::fromStdString(padding));
    ASSERT_EQ(parts[3], QStringLiteral("end"));
    const int t = parts[0].mid(9, 1).toInt();  // "[192.0.2." is 9 long
    ASSERT_EQ(parts[1].toInt(), per_thread[static_cast<std::size_t>(t)]++)
        << "order of thread " << t;
  }
}

TEST_F(Console, ChineseTextIsShownAsWritten) {
  press_console_key();
  log_printf("[%s]%s\r\n", "192.0.2.1", "升级成功，相机即将重启！");
  EXPECT_EQ(diagnostic_lines(),
            QStringList({QStringLiteral("[192.0.2.1]升级成功，相机即将重启！")}));
}

TEST_F(Console, EventLinesAreShownInTheirOwnPaneOnlyWhileVisible) {
  log_event("before the console\r\n");
  press_console_key();
  log_event("shown\r\n");
  press_console_key();
  log_event("while hidden\r\n");
  press_console_key();
  log_event("shown again");
  EXPECT_EQ(window_->console().event_text(), QStringLiteral("shown\nshown again"));
  EXPECT_TRUE(diagnostic_lines().isEmpty());
}

TEST_F(Console, ClosingTheConsoleDoesNothing) {
  press_console_key();
  QWidget* console = window_->console().window();
  ASSERT_NE(console, nullptr);
  EXPECT_TRUE(console->isWindow());
  EXPECT_EQ(console->parentWidget(), nullptr);
  EXPECT_FALSE(console->windowFlags().testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(console->close());
  EXPECT_TRUE(console->isVisible());
  EXPECT_TRUE(window_->console().is_visible());
  EXPECT_TRUE(window_->isVisible());
}

}  // namespace
}  // namespace mardo
