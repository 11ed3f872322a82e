// The "Settings" dialog's logic: the station data of the current log and the
// program-wide settings, and the management of the logs themselves (create,
// select, empty, restore). The dialog window (VedoruzEzuPrefsF) forwards its
// events here and shows what this class sets through PrefsView.
//
// States of the dialog:
//
//   FormActivate --(Status 0: first run)--> creating a log (the name prompt)
//        |                                        |
//        v                                        v
//   editing <--MyLogNameClick-- pending selection (a log was created; Save
//        |                      answers "Select desired Log" until one is
//        |                      picked)
//        +--SaveButtonClick (checks pass)--> saved: the dialog may close
//        +--RestoreButtonClick (backup present and whole)--> the program ends
//
// Invariants:
//   1. The dialog closes only after a successful Save or a restore; any other
//      close is refused with "Click "Save and Close" button".
//   2. Save writes a LogName only when it names a listed log folder that holds
//      the live file, so an empty or placeholder name never becomes the log.
//   3. The main window's clock stops at activation and starts again only with
//      a successful Save.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppUi.h"
#include "app/Settings.h"

namespace qv::app {

class MainController;
enum class HotKey : uint8_t;

// The controls of the dialog, by their form names.
enum class PCtl : uint8_t {
  MyLogName, PrefCall, MyName, MyCountry, MyContinent, MyState, MyZone, MyXmtrID,
  Slash, LogType, ContTypGrp, DatTimRadGrp, HCID, HCPW, ShowPW, Stats,
  CreateLogBtn, EmptyLogButton, RestoreButton, DeleteLogBtn, UserGuidBtn, SaveButton,
  Count
};

inline constexpr std::string_view kPickLogText = "     Click to Select   >>";
inline constexpr std::string_view kSelectLogText = "Select desired Log";
inline constexpr std::string_view kCloseRefusedText = "Click \"Save and Close\" button";

// The dialog as its controller sees it. Setting a check box or a choice here
// runs none of its click handlers. The contest kind and the time choice are
// read from their controls when they are needed (Save, the checks), so
// their clicks need no handler.
class PrefsView : public AppUi {
public:
  virtual std::string Text(PCtl c) const = 0;
  virtual void SetText(PCtl c, std::string_view text) = 0;
  virtual bool Checked(PCtl c) const = 0;
  virtual void SetChecked(PCtl c, bool checked) = 0;
  virtual bool Enabled(PCtl c) const = 0;
  virtual void SetEnabled(PCtl c, bool enabled) = 0;
  // Items of a drop-down (MyLogName, MyState).
  virtual void SetItems(PCtl c, const std::vector<std::string>& items) = 0;
  // Selected item of a choice (ContTypGrp, DatTimRadGrp).
  virtual int32_t ItemIndex(PCtl c) const = 0;
  virtual void SetItemIndex(PCtl c, int32_t index) = 0;
  // Background and text colour (Windows values 0x00BBGGRR).
  virtual void SetLook(PCtl c, uint32_t back, uint32_t text) = 0;
  // The password field shows "*" for each character while masked.
  virtual void SetMasked(PCtl c, bool masked) = 0;
  // A move made here runs no field-exit check.
  virtual void Focus(PCtl c) = 0;
  virtual PCtl FocusedControl() const = 0;
  // The input prompt; false when cancelled.
  virtual bool Prompt(const std::string& title, const std::string& label, std::string& value) = 0;
  virtual void OpenUrl(const std::string& url) = 0;
  virtual void CloseDialog() = 0;
  // Ends the program after the dialog has closed.
  virtual void EndProgram() = 0;
};

class PrefsController {
public:
  PrefsController(PrefsView& view, MainController& main);

  void FormCreate();
  void FormActivate();
  // The character a typed key becomes in field, 0 to drop it.
  char KeyPress(PCtl field, char key, int32_t caretPos);
  // Leaving a field; false when the check kept the operator in it.
  bool FieldExit(PCtl field);
  void FormKeyDown(HotKey key);

  void MyLogNameClick(const std::string& logName);
  void SlashClick();
  void ShowPWClick();
  void LogTypeClick();
  void CreateLogBtnClick();
  void EmptyLogButtonClick();
  // "Restore Log": the backup is checked and read through first (refused,
  // and nothing touched, when it is not whole); the log it replaces is kept
  // beside it (RestoreFromBackup) and named in the message, and the
  // contacts of that log which the backup lacks are carried into the
  // restored one (MainController::CarryMissingContacts), the backup
  // following.
  void RestoreButtonClick();
  void UserGuidBtnClick();
  void SaveButtonClick();
  // Asked when the dialog is about to close: true lets it close.
  bool FormCloseQuery();

  bool Saved() const { return Saved_; }
  bool PendingSelection() const { return PendingSelection_; }

private:
  bool IsIbm() const;
  std::string Code() const;
  void ClearStats();
  void FaultStats(const std::string& text);
  void ShowLogName(const std::string& name);
  void SetLogType(bool typeLog);
  void ShowKind(const std::string& typeContest);
  void ShowStation(const StationSettings& s);
  StationSettings ShownStation() const;
  void ShowMemberStatus(const std::string& missingText);
  void SetLogDir(const std::string& logName);
  void SwitchLiveLog();

  PrefsView& View_;
  MainController& Main_;
  SettingsStore& Store_;
  int32_t Status_ = 0;
  std::string LogName_;  // the working log name
  std::string LogDir_;
  std::string ShownLogName_;
  bool Saved_ = false;
  bool PendingSelection_ = false;
  bool Ending_ = false;
};

}  // namespace qv::app
