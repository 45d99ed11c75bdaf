#pragma once
// The base of the small modal dialogs: labelled fields over the main window. Their controls
// carry their template ids as object names ("1009", ...), the buttons "1" (确定) and "2" (取消).
#include <QDialog>
#include <QString>

#include <string>

class QLineEdit;
class QCheckBox;
class QFormLayout;

namespace mardo {

// A modal dialog of labelled fields over its parent.
class field_dialog : public QDialog {
 public:
  field_dialog(QWidget* parent, const QString& title);
  QLineEdit* add_edit(int id, const QString& label, const QString& text);
  QCheckBox* add_check(int id, const QString& label, bool on);
  QWidget* control(int id) const;
  // The text of edit `id`, UTF-8.
  std::string edit_text(int id) const;
  // The 确定/取消 buttons, with their template ids.
  void finish_layout(int ok_id = 1, int cancel_id = 2, QWidget* extra_button = nullptr);

 private:
  QFormLayout* form_;
};

}  // namespace mardo
