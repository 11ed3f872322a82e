#include "platform/gui/ErrorGuard.h"

#include <QMessageBox>
#include <exception>

#include "platform/gui/QtText.h"
#include "platform/host/Exception.h"

namespace qv::gui {

namespace {

ErrorReporter& Reporter() {
  static ErrorReporter reporter;
  return reporter;
}

std::string& Title() {
  static std::string title = "Quorvex";
  return title;
}

}  // namespace

void SetErrorReporter(ErrorReporter reporter) { Reporter() = std::move(reporter); }
void SetErrorBoxTitle(const std::string& title) { Title() = title; }
const std::string& ErrorBoxTitle() { return Title(); }

void ReportError(const std::string& message) {
  if (Reporter()) {
    Reporter()(message);
    return;
  }
  QMessageBox box(QMessageBox::Critical, FromCp1252(Title()), FromCp1252(message), QMessageBox::Ok);
  box.exec();
}

bool Guarded(const std::function<void()>& handler) {
  std::string message;
  try {
    handler();
    return true;
  } catch (const ESilentException&) {
    return false;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  // Reported after the handler's frames are gone.
  ReportError(message);
  return false;
}

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
  bool result = false;
  Guarded([&] { result = QApplication::notify(receiver, event); });
  return result;
}

}  // namespace qv::gui
