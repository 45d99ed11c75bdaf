#include "app/window/about_dlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/window/dialog_units.h"

// Outside any namespace, as the resource initialiser must be.
static void init_app_resources() {
  Q_INIT_RESOURCE(mardo);
}

namespace mardo {
namespace {

constexpr int kAboutWidth = 170;
constexpr int kAboutHeight = 62;

}  // namespace

QIcon app_icon() {
  // The resources of a static library are registered by hand, once.
  static const bool registered = (init_app_resources(), true);
  static_cast<void>(registered);
  return QIcon(QStringLiteral(":/mardo/mardo.png"));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setFont(dialog_font());
  const dialog_base_t base = dialog_base_units(font());
  setWindowTitle(QStringLiteral("关于 Mardo"));
  setWindowIcon(app_icon());
  setFixedSize(dialog_size(base, kAboutWidth, kAboutHeight));

  auto* icon = new QLabel(this);
  const QRect icon_rect = dialog_rect(base, 14, 14, 21, 20);
  icon->setGeometry(icon_rect);
  icon->setPixmap(app_icon().pixmap(icon_rect.size()));
  icon->setObjectName(QStringLiteral("icon"));

  auto* version = new QLabel(QString::fromUtf16(kAboutVersionText), this);
  version->setGeometry(dialog_rect(base, 42, 14, 114, 8));
  auto* copyright = new QLabel(QStringLiteral("版权所有 (C) 2023"), this);
  copyright->setGeometry(dialog_rect(base, 42, 26, 114, 8));

  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setProperty("ctrl_id", 1);
  ok->setGeometry(dialog_rect(base, 113, 41, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace mardo
