// Windows that record what their controllers show and answer what they ask
// (the main window, the log editor, the settings dialog), for tests and the
// helper programs that drive the controllers without a display.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/EditController.h"
#include "app/MainController.h"
#include "app/MainView.h"
#include "app/PrefsController.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/HostVariant.h"

namespace qv::app::wintest {

struct ControlState {
  std::string Text;
  bool Checked = false;
  bool Visible = true;
  int32_t Width = 60;
  int32_t Height = 21;
  int32_t MaxLength = 0;
  int32_t FontSize = 8;
  uint32_t Color = 0xFFFFFFFF;      // unset
  uint32_t FontColor = 0xFFFFFFFF;  // unset
  std::vector<std::string> Items;
  int32_t ItemIndex = -1;
};

struct Message {
  std::string Kind;  // "warning", "information", "confirm", "error"
  std::string Text;
};

class FakeMainView : public MainView {
public:
  std::array<ControlState, static_cast<size_t>(Ctl::Count)> Controls;
  Ctl Focused = Ctl::Count;
  bool FocusMovedByHandler = false;
  std::vector<Message> Messages;
  std::vector<std::string> Urls;
  std::string Title;
  std::map<int32_t, bool> GridColumns;
  bool TimerOn[3] = {false, false, false};
  int32_t TimerMs[3] = {0, 0, 0};
  int32_t SettingsDialogRuns = 0;
  std::function<void()> SettingsDialog;
  std::vector<WindowPlacement> AppliedPlacements;
  WindowPlacement Placement{0, 10, 20, 800, 600};
  WindowState State = WindowState::Normal;
  bool Active = true;
  bool Closed = false;
  bool ConfirmAnswer = true;
  // Sees every text the controller sets (after the length limit).
  std::function<void(Ctl, const std::string&)> OnSetText;

  ControlState& C(Ctl c) { return Controls[static_cast<size_t>(c)]; }
  const ControlState& C(Ctl c) const { return Controls[static_cast<size_t>(c)]; }
  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> r;
    for (const Message& m : Messages) r.push_back(m.Text);
    return r;
  }

  std::string Text(Ctl c) const override { return C(c).Text; }
  void SetText(Ctl c, std::string_view text) override {
    std::string t(text);
    if (C(c).MaxLength > 0 && t.size() > static_cast<size_t>(C(c).MaxLength) && IsEdit(c)) t.resize(C(c).MaxLength);
    C(c).Text = t;
    if (OnSetText) OnSetText(c, t);
  }
  bool Checked(Ctl c) const override { return C(c).Checked; }
  void SetChecked(Ctl c, bool checked) override { C(c).Checked = checked; }
  bool Visible(Ctl c) const override { return C(c).Visible; }
  void SetVisible(Ctl c, bool visible) override { C(c).Visible = visible; }
  int32_t Width(Ctl c) const override { return C(c).Width; }
  void SetWidth(Ctl c, int32_t pixels) override { C(c).Width = pixels; }
  void SetHeight(Ctl c, int32_t pixels) override { C(c).Height = pixels; }
  void SetMaxLength(Ctl c, int32_t chars) override { C(c).MaxLength = chars; }
  void SetFontSize(Ctl c, int32_t points) override { C(c).FontSize = points; }
  void SetColor(Ctl c, uint32_t color) override { C(c).Color = color; }
  void SetFontColor(Ctl c, uint32_t color) override { C(c).FontColor = color; }
  void SetItems(Ctl c, const std::vector<std::string>& items) override { C(c).Items = items; }
  int32_t ItemIndex(Ctl c) const override { return C(c).ItemIndex; }
  void SetItemIndex(Ctl c, int32_t index) override { C(c).ItemIndex = index; }
  void Focus(Ctl c) override {
    Focused = c;
    FocusMovedByHandler = true;
  }
  Ctl FocusedControl() const override { return Focused; }
  void SetGridColumnVisible(int32_t column, bool visible) override { GridColumns[column] = visible; }
  int32_t ClientWidth() const override { return 1000; }
  void SetTimerEnabled(MainTimer t, bool enabled) override { TimerOn[static_cast<int>(t)] = enabled; }
  void SetTimerInterval(MainTimer t, int32_t ms) override { TimerMs[static_cast<int>(t)] = ms; }
  bool IsActiveWindow() const override { return Active; }
  WindowState CurrentWindowState() const override { return State; }
  void ShowError(const std::string& text) override { Messages.push_back({"error", text}); }
  void OpenUrl(const std::string& url) override { Urls.push_back(url); }
  void CloseWindow() override { Closed = true; }
  void Inform(const std::string& text) override { Messages.push_back({"information", text}); }
  void Warn(const std::string& text) override { Messages.push_back({"warning", text}); }
  bool Confirm(const std::string& text) override {
    Messages.push_back({"confirm", text});
    return ConfirmAnswer;
  }
  void RunSettingsDialog() override {
    ++SettingsDialogRuns;
    if (SettingsDialog) SettingsDialog();
  }
  void SetTitle(const std::string& title) override { Title = title; }
  WindowPlacement CurrentPlacement() override { return Placement; }
  void ApplyPlacement(const WindowPlacement& p) override { AppliedPlacements.push_back(p); }

private:
  static bool IsEdit(Ctl c) { return c <= Ctl::QSLMgr; }
};

// The log editor's window: what the editor's controller shows and asks.
class FakeEditView : public EditView {
public:
  std::string Search[2];
  std::map<int32_t, bool> Columns;
  std::vector<Message> Messages;
  bool CloseAnswer = true;
  int32_t CloseQuestions = 0;
  bool Closed = false;

  std::string Text(ECtl c) const override { return Search[static_cast<size_t>(c)]; }
  void SetCaption(const std::string&) override {}
  void Maximize() override {}
  void SetGridColumnVisible(int32_t column, bool visible) override { Columns[column] = visible; }
  void Focus(ECtl) override {}
  bool ConfirmClose(const std::string&) override {
    ++CloseQuestions;
    return CloseAnswer;
  }
  void CloseWindow() override { Closed = true; }
  void Inform(const std::string& t) override { Messages.push_back({"information", t}); }
  void Warn(const std::string& t) override { Messages.push_back({"warning", t}); }
  bool Confirm(const std::string& t) override {
    Messages.push_back({"confirm", t});
    return true;
  }
};

// The settings dialog's controls and what it shows.
struct PrefsControl {
  std::string Text;
  bool Checked = false;
  bool Enabled = true;
  bool Masked = false;
  std::vector<std::string> Items;
  int32_t Index = -1;
  uint32_t Back = 0;
};

class FakePrefsView : public PrefsView {
public:
  std::array<PrefsControl, static_cast<size_t>(PCtl::Count)> Controls;
  PCtl Focused = PCtl::Count;
  std::vector<Message> Messages;
  std::deque<std::string> Answers;  // prompt answers; none left: cancelled
  bool ConfirmAnswer = true;
  bool Closed = false;
  bool Ended = false;

  PrefsControl& C(PCtl c) { return Controls[static_cast<size_t>(c)]; }
  const PrefsControl& C(PCtl c) const { return Controls[static_cast<size_t>(c)]; }
  std::string LastMessage() const { return Messages.empty() ? std::string() : Messages.back().Text; }

  std::string Text(PCtl c) const override { return C(c).Text; }
  void SetText(PCtl c, std::string_view t) override { C(c).Text = std::string(t); }
  bool Checked(PCtl c) const override { return C(c).Checked; }
  void SetChecked(PCtl c, bool v) override { C(c).Checked = v; }
  bool Enabled(PCtl c) const override { return C(c).Enabled; }
  void SetEnabled(PCtl c, bool v) override { C(c).Enabled = v; }
  void SetItems(PCtl c, const std::vector<std::string>& items) override { C(c).Items = items; }
  int32_t ItemIndex(PCtl c) const override { return C(c).Index; }
  void SetItemIndex(PCtl c, int32_t i) override { C(c).Index = i; }
  void SetLook(PCtl c, uint32_t back, uint32_t) override { C(c).Back = back; }
  void SetMasked(PCtl c, bool m) override { C(c).Masked = m; }
  void Focus(PCtl c) override { Focused = c; }
  PCtl FocusedControl() const override { return Focused; }
  bool Prompt(const std::string&, const std::string&, std::string& value) override {
    if (Answers.empty()) return false;
    value = Answers.front();
    Answers.pop_front();
    return true;
  }
  void OpenUrl(const std::string&) override {}
  void CloseDialog() override { Closed = true; }
  void EndProgram() override { Ended = true; }
  void Inform(const std::string& t) override { Messages.push_back({"information", t}); }
  void Warn(const std::string& t) override { Messages.push_back({"warning", t}); }
  bool Confirm(const std::string& t) override {
    Messages.push_back({"confirm", t});
    return ConfirmAnswer;
  }
};

// The operator's change of the contact call through the main window: "add"
// (Add To Log, with notes), "edit" (its notes set to notes in the log
// editor) or "delete" (in the log editor), the handler run as guard runs it
// (the window's guard). True when the change was acknowledged: the add
// cleared the entry, the post or delete ended without a word, and the main
// window said nothing either.
inline bool OperatorChange(MainController& controller, FakeMainView& view, const std::string& op,
                           const std::string& call, const std::string& notes,
                           const std::function<void(const std::function<void()>&)>& guard) {
  const size_t told = view.Messages.size();
  if (op == "add") {
    view.C(Ctl::CallEntered).Text = call;
    view.C(Ctl::FreqEntered).Text = "14";
    view.C(Ctl::Mode).Text = "CW";
    view.C(Ctl::Notes).Text = notes;
    guard([&] { controller.AddToLogButtonClick(); });
    return view.C(Ctl::CallEntered).Text.empty() && view.Messages.size() == told;
  }
  bool acknowledged = false;
  FakeEditView edit;
  controller.SetLogEditor([&] {
    EditController editor(edit, controller, view);
    editor.FormActivate();
    DataSet& log = controller.LogData();
    if (!log.Locate("Call", HostVariant(call), 0)) return;
    if (op == "edit") {
      editor.NavigatorButton(NavBtn::nbEdit);
      log.FieldByName("Notes")->SetAsString(notes);
      editor.NavigatorButton(NavBtn::nbPost);
    } else {
      editor.NavigatorButton(NavBtn::nbDelete);  // its question answered yes
    }
    acknowledged = edit.Messages.size() == (op == "edit" ? 0u : 1u) && log.State() == dsBrowse;
    editor.CloseWindowClick();
  });
  guard([&] { controller.EditLogBtnClick(); });
  return acknowledged && view.Messages.size() == told;
}

}  // namespace qv::app::wintest
