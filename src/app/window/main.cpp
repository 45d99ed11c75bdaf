// mardo: the window.
#include <QApplication>

#include "app/window/about_dlg.h"
#include "app/window/mardo_dlg.h"

namespace mardo {

// The application object: the main window, run modally; the process ends when it closes.
class CMardoApp {
 public:
  int init_instance() {
    CMardoDlg dialog;
    dialog.exec();
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
