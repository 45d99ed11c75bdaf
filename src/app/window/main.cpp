// mardo: the window.
#include <QApplication>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "app/window/about_dlg.h"
#include "app/window/mardo_dlg.h"
#include "core/log.h"

namespace mardo {

// Closing the window ends the process: what a job still does this long after it was told to
// stop is not waited for.
inline constexpr auto kCloseBound = std::chrono::seconds(3);

// The application object: the main window, run modally; the process ends when it closes.
class CMardoApp {
 public:
  int init_instance() {
    auto dialog = std::make_unique<CMardoDlg>();
    dialog->exec();
    // Also after Esc, which skips the close handler: the jobs are told to stop and a running
    // power-off test gives every camera its file back, before the bound starts.
    dialog->shut_down();
    std::mutex mutex;
    std::condition_variable joined;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mutex);
      if (joined.wait_for(lock, kCloseBound, [&] { return done; })) return;
      log_event("关闭：仍有任务未在3秒内结束，强制退出");
      flush_event_log();
      std::_Exit(1);
    });
    dialog.reset();
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    joined.notify_one();
    watchdog.join();
    // No message loop follows the dialog.
    return 0;
  }
};

}  // namespace mardo

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("mardo"));
  QApplication::setApplicationVersion(QString::fromLatin1(
      mardo::file_version().data(), static_cast<qsizetype>(mardo::file_version().size())));
  QApplication::setDesktopFileName(QStringLiteral("mardo"));
  QApplication::setWindowIcon(mardo::app_icon());
  mardo::CMardoApp the_app;
  return the_app.init_instance();
}
