// Shared pieces of the main-window tests: a fake MainView that records what
// the controller shows, a scratch program folder with settings, and helpers
// that type into fields and move the focus as the window would.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "appdata/LogSchemas.h"
#include "app/MainController.h"
#include "app/MainView.h"
#include "app/QsoRecord.h"
#include "app/Settings.h"
#include "platform/host/SysUtils.h"
#include "platform/dataset/DataSet.h"
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "tests/app/TestTables.h"
#include "tests/support/ScratchFolder.h"

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
  bool TimerOn[2] = {false, false};
  int32_t TimerMs[2] = {0, 0};
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

// Station settings of the test log.
struct LogKind {
  bool TypeLog = false;
  std::string TypeContest = "GP";
  bool AutoTime = true;
};

// The test clock: 2024-05-06 12:34:10 UTC.
inline double FixedNow() { return EncodeDate(2024, 5, 6) + EncodeTime(12, 34, 10, 0); }

// The main window's fixture on one kind of tables (WindowTest: each test
// runs on both; a fixture with a parameter of its own runs on the in-memory
// tables).
class WindowFixture : public ::testing::Test {
protected:
  virtual tabletest::TablesKind KindOfTables() const { return tabletest::TablesKind::Memory; }

  void SetUp() override {
    // A test that starts again (TearDown, SetUp) lets the old tables go first.
    TablesUnderTest.reset();
    TablesUnderTest = tabletest::TestTables::Make(KindOfTables());
    Home = Dir_ + "/home/";
    std::filesystem::create_directories(Home + "TEST");
    TablesUnderTest->MakeFile({LogTableSpec(), Home + "V5LogDB.vlm"});
    TablesUnderTest->MakeFile(StateStorage());
    std::filesystem::copy_file(Home + "V5LogDB.vlm", Home + "TEST/V5LogDB.vlm",
                               std::filesystem::copy_options::overwrite_existing);
    Store = std::make_unique<SettingsStore>(Dir_ + "/config/Quorvex/QuorvexV5.ini");
    SetNowUtcSource([] { return FixedNow(); });
  }
  void TearDown() override {
    Controller.reset();
    SetNowUtcSource(nullptr);
  }

  TableFactory& Factory() { return TablesUnderTest->Factory(); }
  bool OnEngine() const { return TablesUnderTest->Kind() == tabletest::TablesKind::Engine; }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  void Configure(const LogKind& kind) {
    ProgramSettings p;
    p.Status = 4;
    p.LogName = "TEST";
    p.ZSlashed = true;
    p.HCID = "W1AW";
    p.HCPW = "secret";
    Store->WriteProgramSettings(p);
    StationSettings s;
    s.MyCall = "W1AW";
    s.MyName = "Hiram";
    s.MyState = "CT";
    s.MyCountry = "USA";
    s.MyContinent = "NA";
    s.AutoManTime = kind.AutoTime ? "True" : "False";
    s.TypeLog = kind.TypeLog;
    s.TypeContest = kind.TypeContest;
    s.MyXmtrID = "1";
    s.MyZone = "05";
    Store->WriteStationSettings("TEST", s);
  }

  // Creates the controller and runs the window's start: FormCreate,
  // FormActivate and the first clock tick.
  void Start(const LogKind& kind) {
    Configure(kind);
    Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
    Controller->FormCreate();
    Controller->FormActivate();
    Controller->Timer1Timer();
  }

  tabletest::TableAt LogStorage() { return {LogTableSpec(), Home + "TEST/V5LogDB.vlm"}; }
  tabletest::TableAt StateStorage() { return {StateTableSpec(), Home + "USCountryDB.vlm"}; }
  tabletest::TableAt MemberStorage() { return {MemberTableSpec(), Home + "WWHAMDB.vlm"}; }

  // Appends one row to a stored table (made when its file is missing): field
  // name / text pairs.
  void AddRow(const tabletest::TableAt& table, const tabletest::FieldValues& values) { TablesUnderTest->AddRow(table, values); }
  void AddLogRecord(const QsoRecord& q) { AddQso(LogStorage(), q); }
  void AddQso(const tabletest::TableAt& log, const QsoRecord& q) {
    TablesUnderTest->WithTable(log, [&](LogTable& t) {
      t.Data().Append();
      WriteQso(t.Data(), q);
      t.Data().Post();
    });
  }
  std::vector<QsoRecord> LogRecords() { return QsosOf(LogStorage()); }
  // The contacts of a log file in contact order.
  std::vector<QsoRecord> QsosOf(const tabletest::TableAt& log) {
    std::vector<QsoRecord> out;
    TablesUnderTest->WithTable(log, [&](LogTable& t) {
      t.SetIndexName("PrimeIndex");
      t.Data().First();
      QsoReader reader(t.Data());
      while (!t.Data().Eof()) {
        out.push_back(reader.Read());
        t.Data().Next();
      }
    });
    return out;
  }

  // Types text into a field key by key through the controller's filter.
  void Type(Ctl field, std::string_view keys) {
    View.Focused = field;
    for (char k : keys) {
      ControlState& c = View.C(field);
      const char r = Controller->KeyPress(field, k, static_cast<int32_t>(c.Text.size()));
      if (r == 0) continue;
      if (r == '\b') {
        if (!c.Text.empty()) c.Text.pop_back();
        continue;
      }
      if (c.MaxLength > 0 && c.Text.size() >= static_cast<size_t>(c.MaxLength)) continue;
      c.Text += r;
    }
  }
  // The operator moves the focus from the focused field to next, as the
  // window does: the exit check, then (unless the check moved the focus)
  // the next field's enter handler.
  void MoveTo(Ctl next) {
    const Ctl from = View.Focused;
    View.Focused = next;
    View.FocusMovedByHandler = false;
    Controller->FieldExit(from);
    if (!View.FocusMovedByHandler) Controller->FieldEnter(next);
  }
  void Leave(Ctl field, Ctl next) {
    View.Focused = field;
    MoveTo(next);
  }
  const std::string& Text(Ctl c) { return View.C(c).Text; }
  void Set(Ctl c, const std::string& text) { View.C(c).Text = text; }

  ::qv::test::ScratchFolder Scratch_;
  std::string Dir_ = Scratch_.Path();
  std::string Home;
  std::unique_ptr<SettingsStore> Store;
  std::unique_ptr<tabletest::TestTables> TablesUnderTest;
  FakeMainView View;
  std::unique_ptr<MainController> Controller;
};

// Each test of the suite runs on the in-memory tables and on the engine's
// components over real database files.
class WindowTest : public WindowFixture, public ::testing::WithParamInterface<tabletest::TablesKind> {
protected:
  tabletest::TablesKind KindOfTables() const override { return GetParam(); }
};

#define QV_ON_BOTH_TABLE_KINDS(Fixture)                                                                    \
  INSTANTIATE_TEST_SUITE_P(Tables, Fixture,                                                              \
                           ::testing::Values(::qv::app::tabletest::TablesKind::Memory,                        \
                                             ::qv::app::tabletest::TablesKind::Engine),                       \
                           ::qv::app::tabletest::TablesKindName)

}  // namespace qv::app::wintest
