// What the application logic asks of the windows. The logic never talks to a
// toolkit: message boxes, the settings dialog, the window title and placement,
// and the printer go through these small interfaces, which the windows
// implement and tests replace with fakes.
//
// Message texts are 8-bit (1252) text and may hold single CR characters as
// line breaks; the window side shows them in a box captioned with the program
// name.
#pragma once

#include <cstdint>
#include <string>

namespace qv::app {

struct WindowPlacement;
struct ReportContent;

class AppUi {
public:
  virtual ~AppUi() = default;
  // Information box with one OK button.
  virtual void Inform(const std::string& text) = 0;
  // Warning box with one OK button.
  virtual void Warn(const std::string& text) = 0;
  // Confirmation box with Yes and No; true for Yes.
  virtual bool Confirm(const std::string& text) = 0;
};

// The main window as the start-up and recount logic uses it.
class MainWindowHooks {
public:
  virtual ~MainWindowHooks() = default;
  // Shows the settings dialog modally; returns when it has closed. The dialog
  // updates the shared state and the settings file itself.
  virtual void RunSettingsDialog() = 0;
  virtual void SetTitle(const std::string& title) = 0;
  // The window's current position and size (the defaults for a stored
  // placement that lacks a value).
  virtual WindowPlacement CurrentPlacement() = 0;
  // Restores a stored placement: position and size, then minimised (Status 2)
  // or maximised (Status 3).
  virtual void ApplyPlacement(const WindowPlacement& placement) = 0;
};

// Renders and prints the log report (printer dialog included).
class ReportPrinter {
public:
  virtual ~ReportPrinter() = default;
  virtual void PrintReport(const ReportContent& report) = 0;
};

}  // namespace qv::app
