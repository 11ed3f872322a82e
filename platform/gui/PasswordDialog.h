// The database password prompt: "Database authentication", a name line, and
// "Password:" with a masked field, OK and Cancel.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace qv::gui {

class TVLMPassDialog : public QDialog {
public:
  explicit TVLMPassDialog(const std::string& nameText, QWidget* parent = nullptr);

  QLabel* lbName;
  QLabel* Label1;
  QLineEdit* Pass;
  QPushButton* cbOk;
  QPushButton* cbCancel;
};

// Shows the prompt modally with an empty field. OK: password becomes the
// typed text (1252) and the answer is true; Cancel or closing: false, and
// password stays as it was.
bool RunPasswordDialog(const std::string& nameText, std::string& password);

}  // namespace qv::gui
