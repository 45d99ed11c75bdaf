#include "app/window/field_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/window/qt_text.h"

namespace mardo {
field_dialog::field_dialog(QWidget* parent, const QString& title) : QDialog(parent) {
  setWindowTitle(title);
  setModal(true);
  auto* outer = new QVBoxLayout(this);
  form_ = new QFormLayout();
  outer->addLayout(form_);
}

QLineEdit* field_dialog::add_edit(int id, const QString& label, const QString& text) {
  auto* edit = new QLineEdit(text, this);
  edit->setObjectName(QString::number(id));
  form_->addRow(label, edit);
  return edit;
}

QCheckBox* field_dialog::add_check(int id, const QString& label, bool on) {
  auto* box = new QCheckBox(label, this);
  box->setObjectName(QString::number(id));
  box->setChecked(on);
  form_->addRow(QString(), box);
  return box;
}

QWidget* field_dialog::control(int id) const { return findChild<QWidget*>(QString::number(id)); }

std::string field_dialog::edit_text(int id) const {
  return utf8(static_cast<QLineEdit*>(control(id))->text());
}

void field_dialog::finish_layout(int ok_id, int cancel_id, QWidget* extra_button) {
  auto* buttons = new QDialogButtonBox(this);
  if (extra_button) buttons->addButton(static_cast<QPushButton*>(extra_button), QDialogButtonBox::ActionRole);
  QPushButton* ok = buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
  ok->setObjectName(QString::number(ok_id));
  cancel->setObjectName(QString::number(cancel_id));
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  static_cast<QVBoxLayout*>(layout())->addWidget(buttons);
}

}  // namespace mardo
