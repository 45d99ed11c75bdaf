#include "app/window/dev_dlg.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/window/qt_text.h"

namespace mardo {

CDevDlg::CDevDlg(QWidget* parent, const std::vector<camera_t>& cameras)
    : field_dialog(parent, QStringLiteral("设备")) {
  auto* label = new QLabel(QStringLiteral("当前选中多台设备，请选择连接了音频和串口的那台设备"), this);
  static_cast<QVBoxLayout*>(layout())->insertWidget(0, label);
  auto* combo = new QComboBox(this);
  combo->setObjectName(QStringLiteral("1001"));
  for (std::size_t i = 0; i < cameras.size(); ++i)
    combo->addItem(qtext(cameras[i].mac) + QStringLiteral(" ") + qtext(cameras[i].ip),
                   static_cast<int>(i));
  combo->setCurrentIndex(-1);  // nothing preselected
  static_cast<QVBoxLayout*>(layout())->insertWidget(1, combo);
  finish_layout();
}

int CDevDlg::result_index() const {
  const auto* combo = static_cast<QComboBox*>(control(1001));
  return combo->currentIndex() < 0 ? -1 : combo->currentData().toInt();
}

}  // namespace mardo
