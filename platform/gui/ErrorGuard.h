// The one guard every event handler runs in: an exception that leaves a
// handler ends that handler only, and its message is shown in an error box
// titled with the program's name, as the host library's default handler did.
//
// A handler that runs another handler's logic (Add To Log clears the fields)
// calls it directly, not through a second guard, so a failure inside ends the
// whole handler. A guard met inside a nested event loop (a message box that a
// handler shows, with a timer firing meanwhile) catches on its own.
#pragma once

#include <QApplication>
#include <functional>
#include <string>

namespace qv::gui {

// Shows message (1252 text) in the error box; tests replace it.
using ErrorReporter = std::function<void(const std::string& message)>;
void SetErrorReporter(ErrorReporter reporter);  // nullptr restores the box
void SetErrorBoxTitle(const std::string& title);  // default "Quorvex"
const std::string& ErrorBoxTitle();
void ReportError(const std::string& message);

// Runs handler; false when it raised (the message has then been reported,
// but for an ESilentException, which is dropped).
bool Guarded(const std::function<void()>& handler);

// The application object of the program: an exception that escapes an event
// handler without a guard of its own is reported the same way instead of
// ending the program.
class GuardedApplication : public QApplication {
public:
  GuardedApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace qv::gui
