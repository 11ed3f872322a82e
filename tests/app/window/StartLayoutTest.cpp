// Start-up, activation and the layouts per log kind, the timers and closing.
#include "WindowTestSupport.h"

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

TEST_P(WindowTest, ActivationContinuesFromTheLastContact) {
  QsoRecord q;
  q.QSODate = "2024-05-01";
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

TEST_P(WindowTest, MissingStateDatabaseIsReportedAndTheProgramGoesOn) {
  std::filesystem::remove(Home + "USCountryDB.vlm");
  Start({});
  ASSERT_EQ(View.Messages.size(), 1u);
  EXPECT_EQ(View.Messages[0].Kind, "error");
  EXPECT_EQ(View.Messages[0].Text, "-- Output Database file \"USCountryDB\" does not exist");
  EXPECT_FALSE(Controller->StateTableOpen());
  EXPECT_TRUE(View.C(Ctl::StateFLD).Items.empty());
  EXPECT_TRUE(Controller->LogData().Active());
  Set(Ctl::StateFLD, "tx");
  Leave(Ctl::StateFLD, Ctl::CountryFLD);
  EXPECT_EQ(Text(Ctl::StateFLD), "TX");
  EXPECT_EQ(Text(Ctl::CountryFLD), "");
  Set(Ctl::CallEntered, "K1XX");
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "CW");
  Controller->AddToLogButtonClick();
  EXPECT_EQ(LogRecords().size(), 1u);
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

TEST_P(WindowTest, PlacementIsAppliedOnceAtStart) {
  Configure({});
  Store->WriteWindowPlacement(WindowState::Maximized, true, WindowPlacement{0, 5, 6, 700, 500});
  Start({});
  ASSERT_EQ(View.AppliedPlacements.size(), 1u);
  EXPECT_EQ(View.AppliedPlacements[0].Status, 3);
  Controller->FormActivate();
  Controller->FormActivate();
  EXPECT_EQ(View.AppliedPlacements.size(), 1u);
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
