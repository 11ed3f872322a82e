// The log editor's logic: the columns shown per log kind, the call and
// serial searches, the navigator's actions and the bookkeeping of the last
// one, and the close with the update of the main window. The editor window
// (VedoruzEzuEditF) forwards its events here; the edits themselves go
// straight into the live log through the dataset (Edit, Post, Delete).
//
// While the controller lives, every post of the log (the navigator's, or a
// move to another record) first applies the entry fields' checks to the
// frequency, the two times, the date and the call (required, stored in
// capitals): a text they refuse is named in the entry's warning, the edit
// is cancelled (the row stays as stored) and the post ends with an
// ESilentException.
//
// Every action that may write (RunWrite: the navigator's buttons, a move
// of the grid, which posts an edit) goes the main window's road of a
// change to the log: a post or delete that commits reaches the backup as
// an add does; one whose commit fails has the log opened again, is looked
// up in the file (stored after all: nothing is said), and else is told in
// one box, headline first, with a refused edit put back into the record
// for another post.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/AppUi.h"
#include "app/QsoRecord.h"

namespace qv {
class DataSet;
}

namespace qv::app {

class LogTable;
class MainController;
class MainView;
struct AppState;
enum class HotKey : uint8_t;

enum class ECtl : uint8_t { CallSrch, NumSrch, Count };

// The navigator's buttons, in the order of their names.
enum class NavBtn : uint8_t { nbFirst, nbPrior, nbNext, nbLast, nbInsert, nbDelete, nbEdit, nbPost, nbCancel, nbRefresh };
inline constexpr std::array<std::string_view, 10> kNavBtnNames = {
    "nbFirst", "nbPrior", "nbNext", "nbLast", "nbInsert", "nbDelete", "nbEdit", "nbPost", "nbCancel", "nbRefresh"};
// The buttons the editor's navigator shows (no insert), with their hints.
struct NavButton {
  NavBtn Button;
  std::string_view Hint;
};
inline constexpr std::array<NavButton, 9> kEditNavButtons = {{
    {NavBtn::nbFirst, "First Entry"},
    {NavBtn::nbPrior, "Prior"},
    {NavBtn::nbNext, "Next"},
    {NavBtn::nbLast, "Last Entry"},
    {NavBtn::nbDelete, "DELETE Selected Record !"},
    {NavBtn::nbEdit, "EDIT"},
    {NavBtn::nbPost, "SAVE  CHANGES(s)  /  POST  !"},
    {NavBtn::nbCancel, "Cancel Change(s)"},
    {NavBtn::nbRefresh, "Refresh"},
}};

inline constexpr std::string_view kEditCaption = "Browse/Edit the Log";
inline constexpr std::string_view kCloseQuestion =
    "Did you Click \"SAVE CHANGE(s)\" button if a Record was \"Modified\" ?";
inline constexpr std::string_view kDeleteQuestion = "Delete record?";

class EditView : public AppUi {
public:
  virtual std::string Text(ECtl c) const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void Maximize() = 0;
  virtual void SetGridColumnVisible(int32_t column, bool visible) = 0;
  virtual void Focus(ECtl c) = 0;
  // The close question with Yes, No and Ignore; false for No.
  virtual bool ConfirmClose(const std::string& text) = 0;
  virtual void CloseWindow() = 0;
};

class EditController {
public:
  // main: the main window's controller, whose live log the editor edits;
  // mainView: its window, whose entry count, mode and serial the close
  // updates.
  EditController(EditView& view, MainController& main, MainView& mainView);
  // Gives the log's post and delete their handlers of before back.
  ~EditController();
  EditController(const EditController&) = delete;
  EditController& operator=(const EditController&) = delete;

  void FormActivate();
  void FormKeyDown(HotKey key);
  // The character a key typed into CallSrch becomes, 0 to drop it.
  char CallSrchKeyPress(char key);
  void CallSrchBtnClick();
  void NumSrchBtnClick();
  // A navigator button: its before-action, the action (a delete asks
  // first; a refused or impossible action stops there), its click.
  void NavigatorButton(NavBtn button);
  void EditDBNavigatorBeforeAction(NavBtn button);
  void EditDBNavigatorClick(NavBtn button);
  void CloseWindowClick();
  // Runs an action that may post or delete a record of the log (see the
  // file's head). False when it did not complete: a check refused the post,
  // or the write failed (told).
  bool RunWrite(const std::function<void()>& action);

  bool NavigatorUsed() const { return NavigatorUsed_; }
  const std::string& LastNavigatorAction() const { return LastNavigatorAction_; }

private:
  // The write an action is making: noted just before the dataset writes
  // (after the checks), with the record's key and, for a post, its new
  // values.
  struct PendingWrite {
    enum class Kind : uint8_t { None, Post, Delete };
    Kind What = Kind::None;
    int32_t Id = 0;
    QsoRecord Row;
  };

  bool RunAction(NavBtn button);
  bool RunDatasetAction(NavBtn button);
  void UpdateMainWindow();
  void CheckPostedRow(DataSet& ds);
  void NoteWrite(DataSet& ds, PendingWrite::Kind what);
  // The change a committed write made, as LogWritten names it.
  static std::string_view WrittenText(PendingWrite::Kind what);
  // A log a failed write left closed opened again, with the edit kept put
  // back; false (told) when it cannot be opened yet.
  bool ReopenWithKeptEdit();
  // Puts w's values back into its record, in edit state; false when the
  // record is gone.
  bool PutBack(const PendingWrite& w);
  // After the pending write failed with reason: the log opened again; the
  // write looked up in the file; told unless it was stored after all.
  void RecoverFailedWrite(const std::string& reason);

  EditView& View_;
  MainController& Controller_;
  LogTable& Log_;
  AppState& State_;
  MainView& Main_;
  bool NavigatorUsed_ = false;
  std::string LastNavigatorAction_;
  std::function<void(DataSet&)> BeforePost_, BeforeDelete_, AfterPost_, AfterDelete_;
  PendingWrite Pending_;
  // The pending write committed.
  bool Committed_ = false;
  // A refused edit kept while the log could not be opened again: put back
  // into its record when the next action opens the log.
  PendingWrite Kept_;
};

}  // namespace qv::app
