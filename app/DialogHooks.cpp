#include "app/DialogHooks.h"

#include <QInputDialog>
#include <QMessageBox>

#include "app/AppState.h"
#include "platform/gui/QtText.h"

namespace qv::app {

bool ShowMessage(QWidget* parent, const DialogHooks& hooks, const std::string& kind, const std::string& text) {
  if (hooks.Message) return hooks.Message(kind, text);
  const QString title = gui::FromCp1252(kProgramName);
  QString body = gui::FromCp1252(text);
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  if (kind == "confirm")
    return QMessageBox::question(parent, title, body, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  if (kind == "confirm3")
    return QMessageBox::question(parent, title, body, QMessageBox::Yes | QMessageBox::No | QMessageBox::Ignore) !=
           QMessageBox::No;
  if (kind == "information")
    QMessageBox::information(parent, title, body);
  else
    QMessageBox::warning(parent, title, body);
  return true;
}

bool ShowPrompt(QWidget* parent, const DialogHooks& hooks, const std::string& title, const std::string& label,
                std::string& value) {
  if (hooks.Prompt) return hooks.Prompt(title, label, value);
  bool ok = false;
  const QString answer = QInputDialog::getText(parent, gui::FromCp1252(title), gui::FromCp1252(label),
                                               QLineEdit::Normal, gui::FromCp1252(value), &ok);
  if (ok) value = gui::ToCp1252(answer);
  return ok;
}

}  // namespace qv::app
