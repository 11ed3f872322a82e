// What the engine's components ask of the user: a database password, a
// yes/no question, a message box, and the wait window of a long operation.
// The engine never links a toolkit; the program installs an implementation
// (VLMSetEngineUi) and everything else (tools, tests, a component in silent
// mode) gets the silent one, which asks nobody and shows nothing.
//
// Order of precedence, kept by the callers: a component's own event
// (OnPassword, OnNeedRepair, a progress event) decides first; a component in
// silent mode then uses VLMSilentEngineUi(); only then does the installed
// user interface ask the user.
//
// Texts are 8-bit (1252) text. Every call comes from the one thread that runs
// the program's windows.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>

// What the wait window and the application report back to the object that
// runs the wait window (WaitController, VLMDlgWait.h).
class WaitWindowEvents {
public:
  virtual ~WaitWindowEvents() = default;
  // The "Abort" button.
  virtual void AbortClicked() = 0;
  // The "Background Mode" button.
  virtual void BackgroundModeClicked() = 0;
  // The user restored the application that MinimiseApplication minimised.
  virtual void ApplicationRestored() = 0;
};

class EngineUi {
public:
  virtual ~EngineUi() = default;

  // The password prompt with nameText above the field. OK: the typed text
  // goes into password and the answer is true. Cancel: false, password
  // unchanged.
  virtual bool AskPassword(const std::string& nameText, std::string& password) = 0;
  // A box with Yes and No; true for Yes.
  virtual bool Confirm(const std::string& text) = 0;
  // Boxes with one OK button.
  virtual void Information(const std::string& text) = 0;
  virtual void Warning(const std::string& text) = 0;
  virtual void Error(const std::string& text) = 0;

  // The wait window: shown with a text and a percentage, it takes all input
  // of the program until it is hidden; its buttons report to events, which
  // stays valid until HideWaitWindow.
  virtual void ShowWaitWindow(const std::string& text, int32_t percent, WaitWindowEvents& events) = 0;
  virtual void SetWaitProgress(int32_t percent) = 0;
  virtual void HideWaitWindow() = 0;

  // Lets the windows handle what is pending (repaints, clicks).
  virtual void ProcessMessages() = 0;
  // Sends the program to the task bar; the next time the user restores it,
  // events.ApplicationRestored() is called once. RestoreApplication drops
  // that request and brings the program back itself.
  virtual void MinimiseApplication(WaitWindowEvents& events) = 0;
  virtual void RestoreApplication() = 0;
};

// Asks nobody: no password (false), no to every question; shows nothing.
class SilentEngineUi : public EngineUi {
public:
  bool AskPassword(const std::string& nameText, std::string& password) override { return false; }
  bool Confirm(const std::string& text) override { return false; }
  void Information(const std::string& text) override {}
  void Warning(const std::string& text) override {}
  void Error(const std::string& text) override {}
  void ShowWaitWindow(const std::string& text, int32_t percent, WaitWindowEvents& events) override {}
  void SetWaitProgress(int32_t percent) override {}
  void HideWaitWindow() override {}
  void ProcessMessages() override {}
  void MinimiseApplication(WaitWindowEvents& events) override {}
  void RestoreApplication() override {}
};

// The installed user interface; the silent one until a program installs its
// own.
EngineUi& VLMEngineUi();
// Installs ui (not owned; it must outlive its use); nullptr restores the
// silent one.
void VLMSetEngineUi(EngineUi* ui);
// The silent user interface, for components in silent mode.
EngineUi& VLMSilentEngineUi();
