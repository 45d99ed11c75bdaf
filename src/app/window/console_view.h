#pragma once
// The diagnostic console of the window: a separate top-level window that Ctrl+Alt+P in the
// main window shows and hides and that the user cannot close. One pane holds the diagnostic
// lines, a second the event lines; both only while the console is visible.
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"

class QPlainTextEdit;
class QTabWidget;
class QWidget;

namespace mardo {

class console_view final : public QObject, public console_window {
  Q_OBJECT

 public:
  // Each pane keeps the last lines only, as a console's screen buffer does.
  static constexpr int kPaneLineLimit = 10000;
  // Lines waiting for the GUI thread; beyond this, further lines are dropped whole.
  static constexpr std::size_t kWaitingLimit = 20000;

  console_view();
  ~console_view() override;

  // GUI thread only.
  void create() override;
  void show() override;
  void hide() override;
  // Any thread.
  bool is_visible() const override;
  void write(std::string_view line) override;
  void write_event(std::string_view line) override;

  // The console window; null before create().
  QWidget* window() const;
  // What the panes show once the lines handed over so far have arrived (GUI thread).
  QString diagnostic_text();
  QString event_text();
  void catch_up();

 private:
  enum class pane_t { diagnostic, event };
  void queue(pane_t pane, std::string_view line);

  std::unique_ptr<QWidget> window_;
  QTabWidget* tabs_ = nullptr;
  QPlainTextEdit* diagnostic_ = nullptr;
  QPlainTextEdit* events_ = nullptr;
  std::atomic<bool> visible_{false};

  std::mutex waiting_mutex_;
  std::vector<std::pair<pane_t, std::string>> waiting_;
  bool posted_ = false;
};

}  // namespace mardo
