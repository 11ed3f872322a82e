// What the main window hands the dialogs it opens: its message boxes, the
// input prompt, the desktop's URL handler and the end of the program, each
// replaceable by tests. An empty hook means the real thing.
#pragma once

#include <functional>
#include <string>

class QWidget;

namespace qv::app {

struct DialogHooks {
  // kind: "warning", "information", "confirm" (Yes, No) or "confirm3" (Yes,
  // No, Ignore; No answers false); the result answers a confirmation.
  std::function<bool(const std::string& kind, const std::string& text)> Message;
  // The input prompt; false when cancelled.
  std::function<bool(const std::string& title, const std::string& label, std::string& value)> Prompt;
  std::function<void(const std::string& url)> OpenUrl;
  // Ends the program once the dialog has closed.
  std::function<void()> EndProgram;
};

// A message box of kind (see DialogHooks::Message) captioned with the
// program's name, or the hook's answer when one is set. 8-bit text; CR
// characters break lines.
bool ShowMessage(QWidget* parent, const DialogHooks& hooks, const std::string& kind, const std::string& text);
bool ShowPrompt(QWidget* parent, const DialogHooks& hooks, const std::string& title, const std::string& label,
                std::string& value);

}  // namespace qv::app
