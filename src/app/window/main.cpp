// mardo: the window.
#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/window/about_dlg.h"
#include "app/window/mardo_dlg.h"

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
    std::thread([] {
      std::this_thread::sleep_for(kCloseBound);
      std::_Exit(0);
    }).detach();
    dialog.reset();
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
