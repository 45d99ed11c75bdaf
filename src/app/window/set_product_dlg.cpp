#include "app/window/set_product_dlg.h"

#include <QLineEdit>
#include <QPushButton>

#include "app/window/qt_text.h"

namespace mardo {

CSetProduct::CSetProduct(QWidget* parent, choose_fn choose)
    : field_dialog(parent, QStringLiteral("设置产品型号")) {
  add_edit(1034, QStringLiteral("产品型号"), QString());
  add_edit(1035, QStringLiteral("硬件型号"), QString());
  QLineEdit* path = add_edit(1036, QStringLiteral("参数包路径"), QString());
  auto* browse = new QPushButton(QStringLiteral("浏览"), this);
  browse->setObjectName(QStringLiteral("1037"));
  connect(browse, &QPushButton::clicked, this, [this, path, choose = std::move(choose)] {
    const QString chosen = choose(this);
    if (!chosen.isEmpty()) path->setText(chosen);
  });
  finish_layout(1038, 1039, browse);
}

product_fields_t CSetProduct::fields() const {
  return {edit_text(1034), edit_text(1035), edit_text(1036)};
}

}  // namespace mardo
