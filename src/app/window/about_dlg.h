#pragma once
// The About dialog (template 100).
#include <QDialog>

namespace mardo {

inline constexpr const char16_t* kAboutVersionText = u"Mardo 1.1.1.6283 版";

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

// The application icon (resource 128).
QIcon app_icon();

}  // namespace mardo
