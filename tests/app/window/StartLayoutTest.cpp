// Start-up, activation and the layouts per log kind, the timers and closing.
#include "WindowTestSupport.h"

#include "platform/host/Exception.h"

namespace qv::app::wintest {
namespace {

using Shown = std::vector<std::pair<Ctl, bool>>;

void ExpectVisibility(FakeMainView& view, const Shown& expected, const char* layout) {
  for (const auto& [c, visible] : expected) EXPECT_EQ(view.C(c).Visible, visible) << layout << " " << CtlName(c);
}

void ExpectColumns(FakeMainView& view, const std::vector<std::pair<int32_t, bool>>& expected, const char* layout) {
  for (const auto& [col, visible] : expected) {
    ASSERT_TRUE(view.GridColumns.count(col)) << layout << " column " << col;
    EXPECT_EQ(view.GridColumns[col], visible) << layout << " column " << col;
  }
}

TEST_P(WindowTest, EmptyLogStartsAtSerialOneWithTheClockRunning) {
  Start({true, "Other", true});
  EXPECT_EQ(Text(Ctl::NumSent), "1");
  EXPECT_EQ(Controller->State().NextSerial, 1);
  EXPECT_EQ(Text(Ctl::TlPoints), "");
  EXPECT_EQ(Text(Ctl::LogNr), "0 Log Entries");
  EXPECT_EQ(Text(Ctl::ClockPanel), "1234");
  EXPECT_EQ(Text(Ctl::QSODate), "2024-05-06");
  EXPECT_TRUE(View.TimerOn[0]);
  EXPECT_EQ(View.TimerMs[0], 2500);  // 1500 ms for the first tick, then 2500
  EXPECT_FALSE(Controller->Module().FirstTick);
  EXPECT_EQ(View.Title, "Quorvex - v" QV_VERSION_STRING " W1AW  TEST");
  EXPECT_EQ(View.Focused, Ctl::Mode);  // no mode and frequency yet
  EXPECT_TRUE(View.Messages.empty());
}

// The last contact's date stored in the forms the date field once took
// ("2024/05/01", "2024.05.01") is the same date, shown as the field takes
// it, and the next contact is added with it.
TEST_P(WindowTest, ActivationContinuesFromTheLastContact) {
  for (const char* stored : {"2024-05-01", "2024/05/01", "2024.05.01"}) {
    SCOPED_TRACE(stored);
    Controller.reset();
    View = FakeMainView();
    TearDown();
    SetUp();
    std::filesystem::remove(Home + "TEST/BakV5LogDB.vlm");  // the last round's
    QsoRecord q;
    q.QSODate = stored;
    q.Call = "K1XX";
    q.Freq = "21";
    q.Mode = "SSB";
    q.NumSent = " 017";
    AddLogRecord(q);
    Start({true, "Other", false});
    EXPECT_EQ(Text(Ctl::Mode), "SSB");
    EXPECT_EQ(Text(Ctl::FreqEntered), "21");
    EXPECT_EQ(Text(Ctl::NumSent), "18");
    EXPECT_EQ(Controller->State().NextSerial, 18);
    EXPECT_EQ(Controller->State().LastMode, "SSB");
    // Manual time keeps the last contact's date, also after a clock tick.
    EXPECT_EQ(Text(Ctl::QSODate), "2024-05-01");
    Controller->Timer1Timer();
    EXPECT_EQ(Text(Ctl::QSODate), "2024-05-01");
    EXPECT_EQ(Text(Ctl::LogNr), "1 Log Entries");
    EXPECT_EQ(View.Focused, Ctl::CallEntered);
    Set(Ctl::CallEntered, "K2YY");
    Set(Ctl::TimeST, "1200");
    Controller->AddToLogByEnter(Ctl::CallEntered);
    EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{});
    ASSERT_EQ(LogRecords().size(), 2u);
    EXPECT_EQ(LogRecords()[1].QSODate, "2024-05-01");
  }
}

TEST_P(WindowTest, LayoutsPerLogKind) {
  {
    Start({false, "GP", true});
    EXPECT_EQ(Text(Ctl::LogTypInf), "General Purpose Log");
    ExpectVisibility(View,
                     {{Ctl::XtraFields, true}, {Ctl::Notes, true}, {Ctl::TimeEndFld, true}, {Ctl::QSLSCkBox, true},
                      {Ctl::QSOPanel, false}, {Ctl::IBM, false}, {Ctl::ViewMultBtn, false}, {Ctl::NumSent, false},
                      {Ctl::RSTNumRcvd, false}, {Ctl::RSTSent, true}, {Ctl::RSTSentHdr, true}},
                     "GP");
    EXPECT_EQ(Text(Ctl::RSTSentHdr), "RS(T) Sent");
    EXPECT_EQ(View.C(Ctl::RSTSent).Width, 37);
    EXPECT_EQ(View.C(Ctl::BtnToolBar).Width, 3 * 60 + 6);
    EXPECT_EQ(View.C(Ctl::Notes).Height, 20);
    EXPECT_EQ(View.C(Ctl::Notes).FontSize, 9);
    ExpectColumns(View, {{5, true}, {7, true}, {6, false}, {8, false}, {15, false}, {16, false}}, "GP");
  }
  TearDown();
  SetUp();
  View = FakeMainView();
  {
    Start({true, "Other", true});
    EXPECT_EQ(Text(Ctl::LogTypInf), "NA SRINT / CQ WW WPX / Other Contest");
    ExpectVisibility(View,
                     {{Ctl::XtraFields, false}, {Ctl::Notes, false}, {Ctl::TimeEndFld, false}, {Ctl::QSLSCkBox, false},
                      {Ctl::NumSent, true}, {Ctl::RSTNumRcvd, true}, {Ctl::RSTSentSep, true}},
                     "contest");
    EXPECT_EQ(Text(Ctl::RSTRcvdHdr), "RS(T) Rcvd Num");
    ExpectColumns(View, {{5, true}, {6, true}, {7, true}, {8, true}, {15, false}, {16, false}}, "contest");
  }
  TearDown();
  SetUp();
  View = FakeMainView();
  {
    Start({true, "WWDX", true});
    EXPECT_EQ(Text(Ctl::LogTypInf), "WW DX Contest Log");
    ExpectVisibility(View, {{Ctl::NumSent, false}, {Ctl::RSTNumRcvd, false}, {Ctl::RSTSent, true}}, "WWDX");
    EXPECT_EQ(Text(Ctl::RSTSentHdr), "RST Zone Sent");
    EXPECT_EQ(View.C(Ctl::RSTSent).MaxLength, 5);
    ExpectColumns(View, {{5, true}, {7, true}, {6, false}, {8, false}}, "WWDX");
  }
  TearDown();
  SetUp();
  View = FakeMainView();
  {
    Start({true, "NAQP", true});
    EXPECT_EQ(Text(Ctl::LogTypInf), "NA QP Log");
    ExpectVisibility(View,
                     {{Ctl::RSTSent, false}, {Ctl::RSTRcvd, false}, {Ctl::RSTSentHdr, false}, {Ctl::NumSent, false}},
                     "NAQP");
    ExpectColumns(View, {{5, false}, {6, false}, {7, false}, {8, false}, {15, false}, {16, false}}, "NAQP");
  }
  TearDown();
  SetUp();
  View = FakeMainView();
  {
    Start({true, "IBM", true});
    EXPECT_EQ(Text(Ctl::LogTypInf), "IBM QSO Party Log");
    EXPECT_EQ(Text(Ctl::RSTSentHdr), "   Seq Num Sent");
    EXPECT_EQ(Text(Ctl::RSTRcvdHdr), "  Seq Num Rcvd");
    ExpectVisibility(View,
                     {{Ctl::QSOPanel, true}, {Ctl::IBM, true}, {Ctl::Notes, true}, {Ctl::F11Text, true},
                      {Ctl::ViewMultBtn, true}, {Ctl::RSTSent, false}, {Ctl::NumSent, true}, {Ctl::XtraFields, false}},
                     "IBM");
    EXPECT_EQ(View.C(Ctl::BtnToolBar).Width, 4 * 60 + 6);
    ExpectColumns(View, {{5, false}, {7, false}, {6, true}, {8, true}, {15, true}, {16, true}, {18, true}}, "IBM");
    // No member list in the program folder.
    EXPECT_EQ(Text(Ctl::StatPanel), " WWHAM Database required for IBM QSO Party!");
    EXPECT_EQ(View.C(Ctl::StatPanel).Color, 255u);
    EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 0xFFFFFFu);
  }
}

TEST_P(WindowTest, RecountAtStartShowsTheTotals) {
  auto member = [](const std::string& call, const std::string& freq, const std::string& country) {
    QsoRecord q;
    q.QSODate = "2024-05-01";
    q.Call = call;
    q.Freq = freq;
    q.Mode = "CW";
    q.NumSent = "1";
    q.Country = country;
    q.IBM = true;
    q.Points = "5";
    return q;
  };
  AddLogRecord(member("DL1AA", "14", "GERMANY"));
  AddLogRecord(member("F1AA", "14", "FRANCE"));
  AddLogRecord(member("DL2BB", "14", "GERMANY"));
  Start({true, "IBM", true});
  EXPECT_EQ(Text(Ctl::TlIBM), "3");
  EXPECT_EQ(Text(Ctl::TlPoints), "15");
  EXPECT_EQ(Text(Ctl::TlMult), "2");
  EXPECT_EQ(Text(Ctl::TlScore), "30");
  EXPECT_EQ(Text(Ctl::NumSent), "2");
}

// A state or member file the program cannot use. The pair wrapped here
// says its table is missing, or fails to open as a damaged file does.
enum class Unusable : uint8_t { None, NoTable, Damaged };

class UnusablePair final : public DatabaseTable {
public:
  UnusablePair(std::unique_ptr<DatabaseTable> inner, Unusable how) : Inner_(std::move(inner)), How_(how) {}
  DataSet& Data() override { return Inner_->Data(); }
  void SetIndexName(std::string_view name) override { Inner_->SetIndexName(name); }
  bool DatabaseExists() override { return Inner_->DatabaseExists(); }
  bool TableExists() override { return How_ != Unusable::NoTable && Inner_->TableExists(); }
  const std::string& DatabaseFileName() const override { return Inner_->DatabaseFileName(); }
  void SetDatabaseFileName(const std::string& fileName) override { Inner_->SetDatabaseFileName(fileName); }
  void Connect() override {
    if (How_ == Unusable::Damaged) throw Exception("Not a database file");
    Inner_->Connect();
  }
  void Disconnect() override { Inner_->Disconnect(); }
  void EmptyTable() override { Inner_->EmptyTable(); }

private:
  std::unique_ptr<DatabaseTable> Inner_;
  Unusable How_;
};

class UnusableFiles final : public TableFactory {
public:
  UnusableFiles(TableFactory& inner, Unusable states, Unusable members)
      : Inner_(inner), States_(states), Members_(members) {}
  std::unique_ptr<DatabaseTable> Create(const TableSpec& spec, const std::string& fileName, bool readOnly) override {
    std::unique_ptr<DatabaseTable> pair = Inner_.Create(spec, fileName, readOnly);
    const Unusable how = spec.TableName == StateTableSpec().TableName    ? States_
                         : spec.TableName == MemberTableSpec().TableName ? Members_
                                                                         : Unusable::None;
    return how == Unusable::None ? std::move(pair) : std::make_unique<UnusablePair>(std::move(pair), how);
  }

private:
  TableFactory& Inner_;
  Unusable States_;
  Unusable Members_;
};

// Without a usable state or member file the program starts, says what is
// missing or names the damaged file in the status panel, and logs contacts;
// only the look-ups in the unusable table are gone.
TEST_P(WindowTest, UnusableStateOrMemberFileIsNamedAndTheProgramGoesOn) {
  struct Case {
    const char* What;
    bool StateFileThere;
    Unusable States;
    Unusable Members;
    const char* Error;   // the error box ("": none)
    const char* Status;  // the status panel after the start
  };
  const Case cases[] = {
      {"state file missing", false, Unusable::None, Unusable::None,
       "-- Output Database file \"USCountryDB\" does not exist", ""},
      {"state table missing", true, Unusable::NoTable, Unusable::None, "-- Output Table \"USCountryTabl\" does not exist",
       ""},
      {"state file damaged", true, Unusable::Damaged, Unusable::None, "", " Damaged, not used: USCountryDB.vlm"},
      {"both damaged", true, Unusable::Damaged, Unusable::Damaged, "",
       " Damaged, not used: USCountryDB.vlm, WWHAMDB.vlm"},
      {"member table missing", true, Unusable::None, Unusable::NoTable, "", " Damaged, not used: WWHAMDB.vlm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Controller.reset();
    View = FakeMainView();
    TearDown();
    SetUp();
    AddRow(StateStorage(), {{"State", "TX"}, {"USCountry", "USA"}, {"Continent", "NA"}});
    AddRow(MemberStorage(), {{"CALL", "K1XX"}, {"Name", "Ann"}});
    if (!c.StateFileThere) std::filesystem::remove(Home + "USCountryDB.vlm");
    std::filesystem::remove(Home + "TEST/BakV5LogDB.vlm");  // the last case's
    Configure({});
    UnusableFiles tables(Factory(), c.States, c.Members);
    Controller = std::make_unique<MainController>(View, tables, *Store, Home);
    Controller->FormCreate();
    Controller->FormActivate();
    Controller->Timer1Timer();

    EXPECT_EQ(View.MessageTexts(), *c.Error ? std::vector<std::string>{c.Error} : std::vector<std::string>{});
    if (*c.Error) {
      EXPECT_EQ(View.Messages[0].Kind, "error");
    }
    EXPECT_EQ(Text(Ctl::StatPanel), c.Status);
    if (*c.Status) {
      EXPECT_EQ(View.C(Ctl::StatPanel).Color, 255u);
    }
    const bool statesUsable = c.StateFileThere && c.States == Unusable::None;
    EXPECT_EQ(Controller->StateTableOpen(), statesUsable);
    EXPECT_EQ(Controller->MemberTableOpen(), c.Members == Unusable::None);
    EXPECT_EQ(View.C(Ctl::StateFLD).Items.empty(), !statesUsable);
    EXPECT_EQ(View.Title, "Quorvex - v" QV_VERSION_STRING " W1AW  TEST");  // the start went on
    EXPECT_EQ(Text(Ctl::ClockPanel), "1234");

    Set(Ctl::StateFLD, "tx");
    Leave(Ctl::StateFLD, Ctl::CountryFLD);
    EXPECT_EQ(Text(Ctl::StateFLD), "TX");
    EXPECT_EQ(Text(Ctl::CountryFLD), statesUsable ? "USA" : "");  // no look-up in a table that is not open
    Set(Ctl::CallEntered, "K1XX");
    Set(Ctl::FreqEntered, "7");
    Set(Ctl::Mode, "CW");
    Controller->AddToLogButtonClick();
    ASSERT_EQ(LogRecords().size(), 1u);
    EXPECT_EQ(LogRecords()[0].State, "TX");
    EXPECT_EQ(View.Messages.size(), *c.Error ? 1u : 0u);
    Controller.reset();
  }
}

TEST_P(WindowTest, MissingLogSendsTheOperatorToTheSettings) {
  std::filesystem::remove_all(Home + "TEST");
  Start({});
  ASSERT_GE(View.Messages.size(), 1u);
  EXPECT_EQ(View.Messages[0].Text, "Quorvex Log " + Home + "TEST is missing.\r\rSelect another Log or Create a new Log");
  EXPECT_EQ(Store->ReadInteger("Settings", "Status", 0), -4);
  // The missing log is no log: the start asks for one ("You must "Select
  // Log" !" and the dialog), and each activation goes back to the settings
  // until they are saved.
  EXPECT_EQ(View.MessageTexts().back(), "You must \"Select Log\" !");
  EXPECT_EQ(View.SettingsDialogRuns, 4);
}

TEST_P(WindowTest, FirstRunAsksForALog) {
  Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
  Controller->FormCreate();
  EXPECT_EQ(View.MessageTexts(),
            (std::vector<std::string>{"Quorvex\rClick on Settings to\rre-validate all fields and settings for each Log",
                                      "You must \"Select Log\" !"}));
  EXPECT_EQ(View.SettingsDialogRuns, 3);
}

// The stored placement is applied at the start only: later activations
// (after each dialog) neither move the window back nor minimise it again.
TEST_P(WindowTest, PlacementIsAppliedOnceAtStart) {
  for (const auto& [state, status] : {std::pair{WindowState::Maximized, 3}, std::pair{WindowState::Minimized, 2}}) {
    Controller.reset();
    View = FakeMainView();
    Configure({});
    Store->WriteWindowPlacement(state, true, WindowPlacement{0, 5, 6, 700, 500});
    Start({});
    ASSERT_EQ(View.AppliedPlacements.size(), 1u);
    EXPECT_EQ(View.AppliedPlacements[0].Status, status);
    Controller->FormActivate();
    Controller->FormActivate();
    EXPECT_EQ(View.AppliedPlacements.size(), 1u);
  }
}

TEST_P(WindowTest, ClosingStoresThePlacement) {
  Start({});
  View.Placement = WindowPlacement{0, 11, 22, 900, 650};
  Controller->FormClose();
  WindowPlacement p = Store->ReadWindowPlacement(WindowPlacement{});
  EXPECT_EQ(p.Status, 1);
  EXPECT_EQ(p.Top, 11);
  EXPECT_EQ(p.Left, 22);
  EXPECT_EQ(p.Width, 900);

  View.State = WindowState::Maximized;
  Controller->FormClose();
  EXPECT_EQ(Store->ReadWindowPlacement(WindowPlacement{}).Status, 3);
  View.State = WindowState::Normal;
  View.Active = false;
  Controller->FormClose();
  EXPECT_EQ(Store->ReadWindowPlacement(WindowPlacement{}).Status, 2);
}

TEST_P(WindowTest, ButtonsAndHotKeys) {
  Start({});
  Controller->FormKeyDown(HotKey::F1);
  ASSERT_EQ(View.Urls.size(), 1u);
  EXPECT_EQ(View.Urls[0], Home + "UserGuide.htm");
  Controller->FormKeyDown(HotKey::F3);
  Controller->FormKeyDown(HotKey::F4);
  EXPECT_EQ(View.MessageTexts(), (std::vector<std::string>{"Log Table is Empty!", "Log Table is Empty!"}));
  View.Focused = Ctl::NameFld;
  Controller->OnlineLookupClick();
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
  Controller->FormResize();
  EXPECT_EQ(View.C(Ctl::BrDBGrid).Width, 998);
  Controller->FormKeyDown(HotKey::F9);
  EXPECT_TRUE(View.Closed);
}

QV_ON_BOTH_TABLE_KINDS(WindowTest);

}  // namespace
}  // namespace qv::app::wintest
