// The settings dialog's logic on a fake dialog, run as the main window runs
// it (from the first start, the settings button or the missing-log path).
#include <deque>
#include <fstream>
#include <random>
#include <set>

#include "WindowTestSupport.h"
#include "app/LogFiles.h"
#include "app/PrefsController.h"
#include "engine/components/VLMEngineUi.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineJournal.h"
#include "platform/host/ScopeExit.h"
#include "platform/dataset/DataSet.h"

namespace qv::app::wintest {
namespace {

class SettingsDialogTest : public WindowTest {
protected:
  // The dialog as the main window opens it: made, activated, then script.
  void OnDialog(std::function<void()> script) {
    View.SettingsDialog = [this, script] {
      Dialog = std::make_unique<PrefsController>(Prefs, *Controller);
      Dialog->FormCreate();
      Dialog->FormActivate();
      script();
    };
  }
  void Fill(const std::string& call, const std::string& country, const std::string& continent) {
    Prefs.C(PCtl::PrefCall).Text = call;
    Prefs.C(PCtl::MyCountry).Text = country;
    Prefs.C(PCtl::MyContinent).Text = continent;
  }
  std::string Stats() const { return Prefs.C(PCtl::Stats).Text; }

  FakePrefsView Prefs;
  std::unique_ptr<PrefsController> Dialog;
};

TEST_P(SettingsDialogTest, FirstRunCreatesALogAndSavesOnlyOnceItIsPicked) {
  std::filesystem::remove_all(Home + "TEST");
  Prefs.Answers = {"  test "};
  OnDialog([this] {
    EXPECT_EQ(ReadFile(Home + "TEST/V5LogDB.vlm"), ReadFile(Home + "V5LogDB.vlm"));
    EXPECT_EQ(Prefs.C(PCtl::MyLogName).Items, std::vector<std::string>{"TEST"});
    EXPECT_EQ(Prefs.Text(PCtl::MyLogName), kPickLogText);
    Fill("W1AW", "USA", "NA");
    Dialog->SaveButtonClick();
    EXPECT_EQ(Stats(), kSelectLogText);
    EXPECT_FALSE(Dialog->FormCloseQuery());
    EXPECT_EQ(Prefs.LastMessage(), kCloseRefusedText);
    Dialog->MyLogNameClick("TEST");
    Fill("W1AW", "USA", "NA");
    Prefs.C(PCtl::MyName).Text = "Hiram";
    Prefs.C(PCtl::MyZone).Text = "05";
    Dialog->SaveButtonClick();
    EXPECT_TRUE(Dialog->Saved());
    EXPECT_TRUE(Prefs.Closed);
  });
  Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
  Controller->FormCreate();
  EXPECT_EQ(View.SettingsDialogRuns, 1);
  EXPECT_EQ(Store->ReadInteger("Settings", "Status", 0), 4);
  EXPECT_EQ(Store->ReadString("Settings", "LogName", ""), "TEST");
  EXPECT_NE(ReadFile(Store->Path())
                .find("[Log Index\\TEST]\nMyCall=W1AW\nMyName=Hiram\nMyState=\nMyCountry=USA\nMyContinent=NA\n"
                      "AutoManTime=True\nTypeContest=IBM\nTypeLog=1\nMyXmtrID=\nMyZone=05\n"),
            std::string::npos)
      << ReadFile(Store->Path());
  EXPECT_EQ(Controller->Log().DatabaseFileName(), Home + "TEST/V5LogDB.vlm");
  EXPECT_TRUE(View.TimerOn[0]);

  // The log made from the template takes contacts.
  Controller->FormActivate();
  Controller->Timer1Timer();
  Set(Ctl::CallEntered, "DL1AA");
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  Controller->AddToLogButtonClick();
  Controller.reset();
  ASSERT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(LogRecords()[0].Call, "DL1AA");
}

TEST_P(SettingsDialogTest, WithoutTheMemberListAnIbmLogShowsTheRedNoteAndStillLogs) {
  OnDialog([this] {
    EXPECT_EQ(Stats(), " WWHAM DB required for IBM QSO Party!");
    EXPECT_EQ(Prefs.C(PCtl::Stats).Back, kWinRed);
    Dialog->MyLogNameClick("TEST");
    EXPECT_EQ(Stats(), " WWHAM required for IBM QSO Party!");
    EXPECT_EQ(Prefs.C(PCtl::Stats).Back, kWinRed);
    Dialog->SaveButtonClick();
  });
  Start({true, "IBM"});
  EXPECT_EQ(Controller->MemberData(), nullptr);
  Controller->SettingsButtonClick();
  Set(Ctl::CallEntered, "DL1AA");
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  Controller->AddToLogButtonClick();
  EXPECT_EQ(LogRecords().size(), 1u);
}

TEST_P(SettingsDialogTest, RefusedLogNames) {
  struct Case {
    std::string Typed;
    std::string Message;
    bool RemoveTemplate;
  };
  const Case cases[] = {
      {"a/b", "Error, A/B Not Created!", false}, {"..", "Error, .. Not Created!", false},
      {".x", "Error, .X Not Created!", false},    {"back\\slash", "Error, BACK\\SLASH Not Created!", false},
      {" test", "TEST Already exists!", false},   {"new", "Error, NEW Not Created!", true},
  };
  // Hidden folders and plain files are never logs.
  std::filesystem::create_directories(Home + ".hidden");
  WriteFile(Home + "NOEXT", "x");
  Start({});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Typed);
    if (c.RemoveTemplate) std::filesystem::remove(Home + "V5LogDB.vlm");
    Prefs.Answers = {c.Typed};
    OnDialog([&] {
      Dialog->CreateLogBtnClick();
      EXPECT_EQ(Prefs.LastMessage(), c.Message);
      EXPECT_FALSE(Dialog->PendingSelection());
      Dialog->SaveButtonClick();
    });
    Controller->SettingsButtonClick();
    EXPECT_EQ(ListLogFolders(Home), std::vector<std::string>{"TEST"});
    EXPECT_EQ(Store->ReadString("Settings", "LogName", ""), "TEST");
    if (c.RemoveTemplate) TablesUnderTest->MakeFile({LogTableSpec(), Home + "V5LogDB.vlm"});
  }
}

TEST_P(SettingsDialogTest, PickingSlashAndTheFieldChecks) {
  std::filesystem::create_directories(Home + "OTHER");
  std::filesystem::copy_file(Home + "V5LogDB.vlm", Home + "OTHER/V5LogDB.vlm");
  AddRow(MemberStorage(), {{"CALL", "K1ABC"}, {"Name", "Ann"}, {"State", "MA"}, {"Country", "USA"}, {"Continent", "NA"}});
  Store->WriteString("Log Index\\OTHER", "MyCall", "K0ABC");
  OnDialog([this] {
    EXPECT_EQ(Prefs.C(PCtl::MyLogName).Items, (std::vector<std::string>{"OTHER", "TEST"}));
    EXPECT_EQ(Prefs.Text(PCtl::MyLogName), "TEST");
    EXPECT_EQ(Prefs.Text(PCtl::HCID), "W1AW");
    EXPECT_EQ(Prefs.C(PCtl::ContTypGrp).Index, 0);
    EXPECT_EQ(Prefs.C(PCtl::Stats).Back, kWinAqua);  // the member list is there
    EXPECT_EQ(Stats().substr(0, 20), " WWHAM: 1 Entries,  ");

    // A section that lacks values keeps what the fields show.
    Dialog->MyLogNameClick("OTHER");
    EXPECT_EQ(Prefs.Text(PCtl::PrefCall), "K\xD8" "ABC");
    EXPECT_EQ(Prefs.Text(PCtl::MyName), "Hiram");
    EXPECT_EQ(Prefs.Text(PCtl::MyCountry), "USA");
    EXPECT_EQ(Controller->Log().DatabaseFileName(), Home + "OTHER/V5LogDB.vlm");
    EXPECT_TRUE(Controller->LogData().Active());

    Prefs.C(PCtl::Slash).Checked = false;
    Dialog->SlashClick();
    EXPECT_EQ(Prefs.Text(PCtl::PrefCall), "K0ABC");
    EXPECT_FALSE(Controller->State().Program.ZSlashed);
    Prefs.C(PCtl::Slash).Checked = true;
    Dialog->SlashClick();
    EXPECT_EQ(Prefs.Text(PCtl::PrefCall), "K\xD8" "ABC");

    Prefs.C(PCtl::HCID).Text = "SOMEONE";
    Dialog->FieldExit(PCtl::HCID);
    EXPECT_EQ(Prefs.Text(PCtl::HCID), "K\xD8" "ABC");
    EXPECT_EQ(Prefs.LastMessage(), "\"K\xD8" "ABC\" not in WWHAM!");
    Prefs.C(PCtl::PrefCall).Text = "K1ABC";
    Dialog->FieldExit(PCtl::PrefCall);
    EXPECT_EQ(Prefs.Text(PCtl::MyName), "Ann");
    EXPECT_EQ(Prefs.Text(PCtl::MyState), "MA");

    // F9 runs the check of the field the operator is in first.
    Prefs.C(PCtl::MyCountry).Text = "";
    Prefs.Focused = PCtl::MyCountry;
    Dialog->FormKeyDown(HotKey::F9);
    EXPECT_EQ(Stats(), "\"My Country\" field is blank!");
    EXPECT_FALSE(Dialog->Saved());
    Prefs.C(PCtl::MyCountry).Text = "USA";
    Prefs.C(PCtl::MyContinent).Text = "xx";
    Prefs.Focused = PCtl::MyContinent;
    Dialog->FormKeyDown(HotKey::F9);
    EXPECT_EQ(Stats(), "\"My Continent\" field is invalid!");
    Prefs.C(PCtl::MyContinent).Text = "";
    Prefs.Focused = PCtl::MyName;
    Dialog->FormKeyDown(HotKey::F9);
    EXPECT_EQ(Prefs.LastMessage(), "\"Call/Continent/Country\" field(s) blank!");
    Prefs.C(PCtl::MyContinent).Text = "na";
    Prefs.Focused = PCtl::MyContinent;
    Dialog->EmptyLogButtonClick();
    Dialog->FormKeyDown(HotKey::F9);
    EXPECT_TRUE(Dialog->Saved());
  });
  Start({true, "IBM"});
  Controller->SettingsButtonClick();
  EXPECT_EQ(Store->ReadString("Settings", "LogName", ""), "OTHER");
  EXPECT_EQ(Store->ReadString("Log Index\\OTHER", "MyContinent", ""), "NA");
  EXPECT_EQ(Controller->State().Station.MyCall, "K1ABC");
  EXPECT_FALSE(Controller->Module().EmptyLogRequested);  // carried out after the dialog
  EXPECT_EQ(Text(Ctl::NumSent), " 001");
}

TEST_P(SettingsDialogTest, SaveLaysOutTheMainWindowForTheKind) {
  struct Case {
    bool TypeLog;
    int32_t Item;  // ContTypGrp
    std::string Banner;
    bool Serials, Reports, Totals, TimeEnd;
    int32_t ButtonBar;
    std::map<int32_t, bool> Columns;  // grid column -> shown
  };
  const Case cases[] = {
      {false, 0, "General Purpose Log", false, true, false, true, 186,
       {{5, true}, {6, false}, {15, false}, {16, false}, {17, true}, {19, true}, {27, true}}},
      {true, 3, "NA SRINT / CQ WW WPX / Other Contest", true, true, false, false, 186,
       {{5, true}, {6, true}, {8, true}, {14, false}, {18, false}, {26, false}, {27, true}}},
      {true, 2, "WW DX Contest Log", false, true, false, false, 186, {{5, true}, {6, false}, {7, true}, {8, false}}},
      {true, 1, "NA QP Log", false, false, false, false, 186, {{5, false}, {6, false}, {7, false}, {8, false}}},
      {true, 0, "IBM QSO Party Log", true, false, true, false, 246,
       {{5, false}, {6, true}, {14, true}, {15, true}, {16, true}, {17, false}, {18, true}, {19, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Banner);
    Start({});
    OnDialog([&] {
      Prefs.C(PCtl::LogType).Checked = c.TypeLog;
      Prefs.C(PCtl::ContTypGrp).Index = c.Item;
      Dialog->SaveButtonClick();
      ASSERT_TRUE(Dialog->Saved());
    });
    Controller->SettingsButtonClick();
    EXPECT_EQ(Text(Ctl::LogTypInf), c.Banner);
    EXPECT_EQ(View.C(Ctl::NumSent).Visible, c.Serials);
    EXPECT_EQ(View.C(Ctl::RSTSent).Visible, c.Reports);
    EXPECT_EQ(View.C(Ctl::QSOPanel).Visible, c.Totals);
    EXPECT_EQ(View.C(Ctl::ViewMultBtn).Visible, c.Totals);
    EXPECT_EQ(View.C(Ctl::TimeEndFld).Visible, c.TimeEnd);
    EXPECT_EQ(View.C(Ctl::BtnToolBar).Width, c.ButtonBar);
    for (const auto& [column, shown] : c.Columns) EXPECT_EQ(View.GridColumns[column], shown) << "column " << column;
    EXPECT_EQ(Text(Ctl::StatPanel), "");
    EXPECT_EQ(View.TimerMs[0], 1500);
  }
}

TEST_P(SettingsDialogTest, RestoreReplacesTheLiveFileAndEndsTheProgram) {
  // After the start has brought the backup up to date, it is made to hold a
  // contact the live log lacks (the starts after the dialogs keep it).
  View.ConfirmAnswer = false;
  Start({});
  while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  std::filesystem::copy_file(Home + "V5LogDB.vlm", Home + "TEST/BakV5LogDB.vlm",
                             std::filesystem::copy_options::overwrite_existing);
  AddQso({LogTableSpec(), Home + "TEST/BakV5LogDB.vlm"}, [] {
    QsoRecord q;
    q.Call = "K9BAK";
    return q;
  }());
  const std::string backup = ReadFile(Home + "TEST/BakV5LogDB.vlm");
  const std::string log = Home + "TEST/V5LogDB.vlm", kept = log + ".before-restore";
  const std::string replaced = ReadFile(log);
  // A journal beside the live file (a commit cut short) goes with it, to
  // the kept log.
  const std::string journal = VLMJournalFileName(log);
  if (OnEngine()) {
    // A copy that does not read whole (its table list overwritten) is
    // refused, and nothing is touched: the dialog and the log go on.
    std::string spoilt = backup;
    std::fill_n(spoilt.begin() + static_cast<std::ptrdiff_t>(spoilt.size() / 2), 8192, '\xA5');
    spoilt.resize(spoilt.size() / 2 + 4096);
    WriteFile(Home + "TEST/BakV5LogDB.vlm", spoilt);
    OnDialog([this] {
      Dialog->RestoreButtonClick();
      EXPECT_TRUE(Prefs.LastMessage().starts_with(
          "The backup copy of the Log cannot be read, so it cannot bring the Log back!\r\r"))
          << Prefs.LastMessage();
      EXPECT_TRUE(Prefs.LastMessage().ends_with("\r\rNothing was restored: the Log is left as it is."));
      EXPECT_FALSE(Prefs.Ended);
      EXPECT_TRUE(Controller->LogData().Active());
      Dialog->SaveButtonClick();
    });
    Controller->SettingsButtonClick();
    EXPECT_TRUE(ReadFile(log) == replaced);
    EXPECT_FALSE(std::filesystem::exists(kept));
    // (The start after the dialog made that backup anew from the log.)
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
    WriteFile(Home + "TEST/BakV5LogDB.vlm", backup);
    // A copy that fails (the disk refuses a write of the restored copy)
    // says why and leaves the log as it was.
    Prefs = FakePrefsView();
    OnDialog([this] {
      SetFileFaultAfter(3, FileFault::FailFrom);
      Dialog->RestoreButtonClick();
      SetFileFaultAfter(0, FileFault::Fail);
    });
    Controller->SettingsButtonClick();
    EXPECT_TRUE(Prefs.LastMessage().starts_with("Error, Log not Restored!\r\rInjected write failure")) << Prefs.LastMessage();
    EXPECT_TRUE(Prefs.LastMessage().ends_with("\r\rThe Log is left as it was.\r\rQuorvex will terminate."));
    EXPECT_TRUE(ReadFile(log) == replaced);
    Prefs = FakePrefsView();
  }
  OnDialog([this, journal] {
    std::ofstream(journal) << "journal";
    EXPECT_TRUE(Prefs.C(PCtl::RestoreButton).Enabled);
    Dialog->RestoreButtonClick();
    EXPECT_FALSE(Controller->LogData().Active());  // let go of before the copy
  });
  Controller->SettingsButtonClick();
  EXPECT_TRUE(ReadFile(log) == backup) << Prefs.LastMessage();
  EXPECT_FALSE(std::filesystem::exists(journal));
  EXPECT_TRUE(ReadFile(kept) == replaced);
  // (The engine, letting go of the log, deletes a journal that belongs to
  // no commit cut short.)
  if (!OnEngine()) {
    EXPECT_EQ(ReadFile(VLMJournalFileName(kept)), "journal");
  }
  if (OnEngine()) {
    ASSERT_EQ(LogRecords().size(), 1u);
    EXPECT_EQ(LogRecords()[0].Call, "K9BAK");
  }
  EXPECT_EQ(Prefs.LastMessage(),
            "Restore Complete\r\rThe Log it replaced is kept beside it as \"V5LogDB.vlm.before-restore\": to undo "
            "the restore, put that file back in place of the Log while Quorvex is closed.\r\rQuorvex will "
            "terminate.\rManual start of Quorvex required!");
  EXPECT_TRUE(Prefs.Ended);
  EXPECT_TRUE(Dialog->FormCloseQuery());
  EXPECT_EQ(Prefs.Messages.size(), 1u);

  std::filesystem::remove(Home + "TEST/BakV5LogDB.vlm");
  Prefs = FakePrefsView();
  OnDialog([this] {
    Dialog->RestoreButtonClick();
    EXPECT_EQ(Prefs.LastMessage(), "Backup Files do not exist!");
    EXPECT_FALSE(Prefs.C(PCtl::RestoreButton).Enabled);
    EXPECT_FALSE(Prefs.Ended);
  });
  Controller->SettingsButtonClick();
  EXPECT_EQ(View.SettingsDialogRuns, OnEngine() ? 4 : 2);
}

TEST_P(SettingsDialogTest, AnEmptyLogNameCountsAsAMissingLog) {
  Configure({});
  Store->WriteString("Settings", "LogName", "");
  Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
  Controller->FormCreate();
  ASSERT_FALSE(View.Messages.empty());
  EXPECT_EQ(View.Messages[0].Text, "Quorvex Log " + Home + " is missing.\r\rSelect another Log or Create a new Log");
  EXPECT_EQ(Store->ReadInteger("Settings", "Status", 0), -4);
}

QV_ON_BOTH_TABLE_KINDS(SettingsDialogTest);

// A log file whose records cannot be read (a data page overwritten), or
// whose open needed a repair (the operator keeping the backup), is never
// copied over its backup when it is opened, at the start or chosen in the
// settings dialog: the backup stays byte for byte what it was and the
// operator is told why; an add leaves it too.
class KeptBackupTest : public SettingsDialogTest {
protected:
  // The engine's repair question is answered yes.
  void SetUp() override {
    SettingsDialogTest::SetUp();
    VLMSetEngineUi(&Yes_);
  }
  void TearDown() override {
    VLMSetEngineUi(nullptr);
    SettingsDialogTest::TearDown();
  }
  struct YesUi : SilentEngineUi {
    bool Confirm(const std::string&) override {
      ++Asked;
      return true;
    }
    int32_t Asked = 0;
  } Yes_;
};

TEST_P(KeptBackupTest, ALogThatCannotBeReadOrWasRepairedIsNotCopiedOverItsBackup) {
  const std::string kept = "Its backup copy is kept as it was: \"Restore Log\" in \"Settings\" brings the Log back "
                           "from it. Contacts logged from now on are in the Log only until then: the restore "
                           "carries them into the Log it brings back.";
  struct Case {
    const char* What;
    bool InDialog;  // chosen in the settings dialog (else the log of the start)
    LogKind Kind;
    bool Repair;    // a commit marked cut short without its journal, else a page overwritten
    bool Declined = false;  // the repair question answered no
  };
  const LogKind ibm{true, "IBM", true};
  const Case cases[] = {
      {"damaged, at the start", false, {}, false},      {"damaged, at the start, IBM", false, ibm, false},
      {"damaged, in the dialog", true, {}, false},      {"damaged, in the dialog, IBM", true, ibm, false},
      {"repaired at the start", false, {}, true},       {"repaired in the dialog", true, ibm, true},
      {"repair declined at the start", false, {}, true, true},
      {"repair declined in the dialog", true, {}, true, true},
  };
  SilentEngineUi no;
  const std::string made = Home + "MADE.vlm";  // 41 contacts
  std::filesystem::copy_file(Home + "V5LogDB.vlm", made);
  TablesUnderTest->WithTable({LogTableSpec(), made}, [](LogTable& t) {
    for (int i = 1; i <= 41; ++i) {
      t.Data().Append();
      t.Data().FieldByName("Call")->SetAsString("K" + std::to_string(i));
      t.Data().FieldByName("Notes")->SetAsString("note " + std::to_string(1000 + i));
      t.Data().Post();
    }
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Controller.reset();
    View = FakeMainView();
    View.ConfirmAnswer = false;  // the repaired log: the backup is kept
    Prefs = FakePrefsView();
    const std::string dir = Home + (c.InDialog ? "OTHER/" : "TEST/");
    for (const std::string& file : {Home + "TEST/V5LogDB.vlm", dir + "V5LogDB.vlm", dir + "BakV5LogDB.vlm"}) {
      std::filesystem::create_directories(std::filesystem::path(file).parent_path());
      std::filesystem::copy_file(made, file, std::filesystem::copy_options::overwrite_existing);
    }
    // The start's log (when another is chosen in the dialog) gets a backup
    // of its own at the start.
    if (c.InDialog) std::filesystem::remove(Home + "TEST/BakV5LogDB.vlm");
    const std::string backup = ReadFile(dir + "BakV5LogDB.vlm");
    std::string bytes = ReadFile(dir + "V5LogDB.vlm");
    const size_t record = bytes.find("note 1021");
    ASSERT_NE(record, std::string::npos);
    if (c.Repair)
      bytes[kVLMCommitStateOffset] = 1;
    else
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(record / 4096 * 4096), 4096, '\xA5');
    WriteFile(dir + "V5LogDB.vlm", bytes);

    if (c.InDialog) {
      Store->WriteString(LogSectionName("OTHER"), "TypeLog", c.Kind.TypeLog ? "1" : "0");
      Store->WriteString(LogSectionName("OTHER"), "TypeContest", c.Kind.TypeContest);
      OnDialog([this] {
        Dialog->MyLogNameClick("OTHER");
        Fill("W1AW", "USA", "NA");
        Dialog->SaveButtonClick();
      });
    }
    if (c.Declined) VLMSetEngineUi(&no);
    auto answerYes = ScopeExit([this] { VLMSetEngineUi(&Yes_); });
    Start(c.Kind);
    if (c.InDialog) {
      while (Controller->BackupCatchingUp()) Controller->BackupTimer();
      EXPECT_TRUE(View.Messages.empty());
      Controller->SettingsButtonClick();
    }
    ASSERT_EQ(View.Messages.size(), 1u) << ::testing::PrintToString(View.MessageTexts());
    const bool asked = c.Repair && !c.Declined;
    EXPECT_EQ(View.Messages[0].Kind, asked ? "confirm" : "warning");
    const std::string& text = View.Messages[0].Text;
    EXPECT_TRUE(text.starts_with(asked ? "The Log needed repair when it was opened!\r\rThe Log holds 41 entries, "
                                         "its backup copy 41 entries: 41 alike in both;"
                                       : "The Log could not be read!\r\r") &&
                text.ends_with(asked ? "kept as it was; \"Restore Log\" in \"Settings\" brings the Log back from it."
                                     : kept))
        << text;
    EXPECT_FALSE(Controller->BackupCatchingUp());
    for (int tick = 0; tick < 3; ++tick) Controller->BackupTimer();
    EXPECT_TRUE(ReadFile(dir + "BakV5LogDB.vlm") == backup);

    // Emptying a damaged log (opened read-only: connected for writing
    // first) is the operator's choice: the backup follows the empty log.
    if (&c == cases) {
      EXPECT_TRUE(Controller->EmptyLog()) << ::testing::PrintToString(View.MessageTexts());
      Controller->FormClose();
      EXPECT_TRUE(ReadFile(dir + "BakV5LogDB.vlm") == ReadFile(dir + "V5LogDB.vlm"));
      continue;
    }
    // An add leaves it as it was, whatever the log reads like now.
    Set(Ctl::CallEntered, "W9ADD");
    Set(Ctl::FreqEntered, "14");
    Set(Ctl::Mode, "CW");
    Controller->AddToLogButtonClick();
    Controller->FormClose();
    if (asked) {
      EXPECT_EQ(Text(Ctl::StatPanel), "Backup copy of the Log kept: it differs from the Log!");
    }
    Controller.reset();
    EXPECT_TRUE(ReadFile(dir + "BakV5LogDB.vlm") == backup);
  }
}

// Damage made to a log, or to its backup, while the program was closed,
// the two byte-equal before: damage the engine meets at the open or the
// start's recount, and damage no read meets (the two then differ at the
// same commit). The program starts: one warning names the file that changed
// and the way back. A backup that does not read whole is made anew from the
// log at once; else the backup stays byte-equal (also after an add, which
// names the damage when it fails, and a close). "Restore Log" keeps the log
// it replaces beside it, every contact is in the log or that kept one, and
// the next start finds the backup the log again and says nothing.
TEST_P(KeptBackupTest, DamageMadeWhileClosedKeepsTheWayBackAndRestoreLogBringsEveryContactBack) {
  const int contacts = std::getenv("QV_DAMAGE_CONTACTS") ? std::atoi(std::getenv("QV_DAMAGE_CONTACTS")) : 400;
  const std::string base = ReadFile(LogOfContacts(contacts));
  const int64_t pageSize = VLMGetU16LE(reinterpret_cast<const uint8_t*>(base.data()) + kVLMPageSizeOffset);
  const auto pageAt = [&](int64_t n) { return kVLMFirstPagePosition + n * pageSize; };
  // The pages of a type, in file order.
  const auto pages = [&](uint16_t type) {
    std::vector<int64_t> found;
    for (int64_t n = 0; pageAt(n + 1) <= static_cast<int64_t>(base.size()); ++n)
      if (VLMGetU16LE(reinterpret_cast<const uint8_t*>(base.data()) + pageAt(n) + kVLMPageTypeOffset) == type)
        found.push_back(n);
    return found;
  };
  // The count of records the table's page index lists for the last record
  // page of b (a leaf entry of a type-12 tree with 4-byte page-number keys).
  const auto lastPageCount = [&](std::string& b) -> uint8_t* {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(b.data());
    int64_t last = -1;
    std::vector<uint8_t*> leaves;
    for (int64_t n = 0; pageAt(n + 1) <= static_cast<int64_t>(b.size()); ++n) {
      const uint16_t type = VLMGetU16LE(bytes + pageAt(n) + kVLMPageTypeOffset);
      uint8_t* tree = bytes + pageAt(n) + kVLMPageHeaderSize;
      if (type == 10) last = n;
      if (type == 12 && tree[1] == 1 && VLMGetU16LE(tree + 12) == 4) leaves.push_back(tree);
    }
    for (uint8_t* tree : leaves) {
      for (int i = 0; i < VLMGetU16LE(tree + 14); ++i)
        if (VLMGetI32LE(tree + 18 + i * 6) == last) return tree + 18 + i * 6 + 4;
    }
    ADD_FAILURE() << "no page index entry for page " << last;
    return nullptr;
  };
  std::mt19937 random;
  const auto noise = [&](std::string& b, int64_t from, int64_t length) {
    for (int64_t i = 0; i < length; ++i) b[static_cast<size_t>(from + i)] = static_cast<char>(random());
  };
  const auto flips = [&](std::string& b, int64_t from, int64_t length, int n) {
    for (int i = 0; i < n; ++i)
      b[static_cast<size_t>(from + random() % length)] ^= static_cast<char>(1 << random() % 8);
  };
  const std::string unreadable = "The Log could not be read!\r\r", differ = "The Log and its backup copy differ!\r\r",
                    spoilt = "The backup copy of the Log cannot be read, so it cannot bring the Log back!\r\r",
                    // A file cut short is repaired, keeping what lies before the cut.
                    repaired = "The Log needed repair when it was opened!\r\r",
                    // Bits flipped at random: the check finds them, or they changed a value only.
                    either = "";
  struct Case {
    const char* What;
    std::function<void(std::string&)> Damage;
    const std::string& Warning;
    bool ToBackup = false;  // else to the log
    bool ToBoth = false;
    bool KeepLog = false;  // two files that read whole but differ: the log kept, the backup made anew
    bool Ahead = false;    // the log one commit ahead of the backup (a stop before the backup's update)
  };
  // The log one commit ahead: a contact more.
  const std::string aheadFile = Home + "AHEAD.vlm";
  WriteFile(aheadFile, base);
  AddQso({LogTableSpec(), aheadFile}, MadeContact(contacts + 1));
  const std::string ahead = ReadFile(aheadFile);
  const int64_t size = static_cast<int64_t>(base.size());
  const Case cases[] = {
      {"bits in a record page", [&](std::string& b) { flips(b, pageAt(pages(10)[3]) + 40, pageSize - 40, 16); },
       differ},
      {"half a record page", [&](std::string& b) { noise(b, pageAt(pages(10)[5]) + pageSize / 2, pageSize / 2); },
       unreadable},
      {"free-space map page", [&](std::string& b) { noise(b, pageAt(pages(kVLMPagePFS)[0]), pageSize); },
       unreadable},
      {"allocation map page", [&](std::string& b) { noise(b, pageAt(pages(kVLMPageEAM)[0]), pageSize); },
       unreadable},
      {"bits in the free-space map", [&](std::string& b) { flips(b, pageAt(pages(kVLMPagePFS)[0]) + 40, 64, 8); },
       either},
      {"20 bits anywhere", [&](std::string& b) { flips(b, 0, static_cast<int64_t>(b.size()), 20); }, either},
      {"200 bits anywhere", [&](std::string& b) { flips(b, 0, static_cast<int64_t>(b.size()), 200); }, unreadable},
      {"bits in an index page head", [&](std::string& b) { flips(b, pageAt(pages(12)[2]) + 40, 40, 6); },
       unreadable},
      {"file head", [&](std::string& b) { noise(b, 18, 20); }, unreadable},
      {"signature", [&](std::string& b) { b[3] = 'X'; }, unreadable},
      {"table list", [&](std::string& b) { noise(b, pageAt(pages(6)[0]), pageSize); }, unreadable},
      {"table definition", [&](std::string& b) { noise(b, pageAt(pages(8)[0]), pageSize); }, unreadable},
      {"first record page", [&](std::string& b) { noise(b, pageAt(pages(10)[0]), pageSize); }, unreadable},
      {"first index page", [&](std::string& b) { noise(b, pageAt(pages(12)[0]), pageSize); }, unreadable},
      {"cut to nothing", [&](std::string& b) { b.clear(); }, unreadable},
      {"cut to half", [&](std::string& b) { b.resize(b.size() / 2); }, repaired},
      {"backup: cut to a third", [&](std::string& b) { b.resize(b.size() / 3); }, spoilt, true},
      {"backup: 64 KB mid-file", [&](std::string& b) { noise(b, size / 2 - 32768, 65536); }, spoilt, true},
      {"backup: first record page", [&](std::string& b) { noise(b, pageAt(pages(10)[0]), pageSize); }, spoilt, true},
      {"backup: free-space map page", [&](std::string& b) { noise(b, pageAt(pages(kVLMPagePFS)[0]), pageSize); },
       spoilt, true},
      {"backup: allocation map page", [&](std::string& b) { noise(b, pageAt(pages(kVLMPageEAM)[0]), pageSize); },
       spoilt, true},
      {"backup: bits in a record page",
       [&](std::string& b) { flips(b, pageAt(pages(10)[3]) + pageSize / 2, pageSize / 2, 16); }, differ, true},
      {"bits in a record page, the Log kept",
       [&](std::string& b) { flips(b, pageAt(pages(10)[4]) + 40, pageSize - 40, 16); }, differ, false, false, true},
      {"one commit ahead: bits in an index page",
       [&](std::string& b) { flips(b, pageAt(pages(12)[3]) + 40, pageSize - 40, 16); }, unreadable, false, false,
       false, true},
      {"one commit ahead: an index page overwritten",
       [&](std::string& b) { noise(b, pageAt(pages(12)[1]), pageSize); }, unreadable, false, false, false, true},
      // A walk in natural order fails on the last page from either end: the
      // restore reads what it holds (the contact the backup lacks, and the
      // one added) through the indexes.
      {"one commit ahead: its last record page miscounted",
       [&](std::string& b) {
         if (uint8_t* count = lastPageCount(b)) VLMPutU16LE(count, static_cast<uint16_t>(VLMGetU16LE(count) + 1));
       },
       unreadable, false, false, false, true},
      {"both: half a record page",
       [&](std::string& b) { noise(b, pageAt(pages(10)[5]) + pageSize / 2, pageSize / 2); }, unreadable, false, true},
  };
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  const auto restart = [&](bool keepLog) {
    Controller.reset();
    View = FakeMainView();
    View.ConfirmAnswer = keepLog;  // two files that differ: which one is kept
    Start({});
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  };
  const auto calls = [&](const std::string& file) {
    std::set<std::string> found;
    for (const QsoRecord& q : QsosOf({LogTableSpec(), file})) found.insert(q.Call);
    return found;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::string bytes = c.Ahead ? ahead : base;
    c.Damage(bytes);
    WriteFile(c.ToBackup ? backup : log, bytes);
    WriteFile(c.ToBackup ? log : backup, c.ToBoth ? bytes : base);
    const int32_t asked = Yes_.Asked;
    restart(c.KeepLog);
    ASSERT_EQ(View.Messages.size(), 1u) << ::testing::PrintToString(View.MessageTexts());
    const std::string& warning = View.Messages[0].Text;
    if (c.ToBoth) {
      // No way back: the box says so (never "Restore Log", which refuses
      // such a backup) and names the logs the restores before kept.
      EXPECT_TRUE(warning.starts_with(unreadable)) << warning;
      EXPECT_NE(warning.find("\r\rIts backup copy cannot be read either, so it cannot bring the Log back: "),
                std::string::npos);
      EXPECT_NE(warning.find("kept beside it: \"V5LogDB.vlm.before-restore\", \"V5LogDB.vlm.before-restore-2\""),
                std::string::npos)
          << warning;
      EXPECT_EQ(warning.find("Restore Log\" in"), std::string::npos) << warning;
      Prefs = FakePrefsView();
      OnDialog([this] {
        Dialog->RestoreButtonClick();
        Dialog->SaveButtonClick();
      });
      Controller->SettingsButtonClick();
      EXPECT_FALSE(Prefs.Ended);
      EXPECT_TRUE(ReadFile(backup) == bytes && ReadFile(log) == bytes);
      continue;
    }
    const std::string& expected =
        &c.Warning != &either ? c.Warning : warning.starts_with(unreadable) ? unreadable : differ;
    const bool madeAnew = &expected == &spoilt;
    const std::string wayBack =
        &expected == &unreadable ? std::string(kBackupKeptText) + " " + std::string(kLoggedUntilRestoreText)
                                  : "No: its backup copy is kept as it was; \"Restore Log\" in \"Settings\" brings the "
                                    "Log back from it.";
    EXPECT_TRUE(warning.starts_with(expected) &&
                warning.ends_with(madeAnew ? "which reads whole (" + std::to_string(contacts) + " entries)." : wayBack))
        << warning;
    // The backup follows the log from here on: made anew, or the log kept.
    const bool follows = madeAnew || c.KeepLog;
    const std::string keptBackup = madeAnew ? base : c.ToBackup || c.KeepLog ? bytes : base;
    EXPECT_TRUE(ReadFile(backup) == keptBackup);
    // A damaged log is left as it is until the operator writes to it (or
    // accepts its repair).
    if (&expected == &unreadable && Yes_.Asked == asked) {
      EXPECT_TRUE(ReadFile(log) == bytes);
    }

    // An add: logged, or refused naming the damage found (never the disk).
    Set(Ctl::CallEntered, "W9ADD");
    Set(Ctl::FreqEntered, "14");
    Set(Ctl::Mode, "CW");
    Controller->AddToLogButtonClick();
    const bool logged = Text(Ctl::CallEntered).empty();
    for (size_t i = 1; i < View.Messages.size(); ++i) {
      const std::string& text = View.Messages[i].Text;
      EXPECT_TRUE(text.starts_with("The contact could not be written to the Log!\r\r") &&
                  text.ends_with(kBackupKeptText) && text.find("disk") == std::string::npos)
          << text;
    }
    Controller->FormClose();
    EXPECT_TRUE(ReadFile(backup) == (follows ? ReadFile(log) : keptBackup));

    // Each case's restore keeps its log beside those of the cases before,
    // under the next free name.
    const std::string replaced = ReadFile(log);
    const std::string kept = log + ".before-restore" + (&c == cases ? "" : "-" + std::to_string(&c - cases + 1));
    Prefs = FakePrefsView();
    OnDialog([this] { Dialog->RestoreButtonClick(); });
    Controller->SettingsButtonClick();
    EXPECT_TRUE(Prefs.Ended);
    // The contact logged after a start that could not read the log (a
    // record page half overwritten) is in the log, for the restore to carry.
    if (std::string_view(c.What) == "half a record page") {
      EXPECT_TRUE(logged);
    }
    EXPECT_NE(Prefs.LastMessage().find("kept beside it as \"" + std::filesystem::path(kept).filename().string() + "\""),
              std::string::npos)
        << Prefs.LastMessage();
    // A contact logged beside a kept backup (or committed before a stop
    // kept the backup behind) is carried into the restored log.
    EXPECT_EQ(Prefs.LastMessage().find(" of the Log it replaced, which its backup copy lacked, w") != std::string::npos,
              (logged || c.Ahead) && !follows)
        << Prefs.LastMessage();
    EXPECT_TRUE(ReadFile(kept) == replaced);
    restart(false);
    EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{});
    // Every contact: in the log (the one logged after the start carried
    // into it by the restore), or (a backup changed but read whole was
    // restored) in the log the restore replaced.
    std::set<std::string> found = calls(log);
    EXPECT_EQ(found.count("W9ADD"), logged ? 1u : 0u);
    if (c.Ahead) {
      EXPECT_EQ(found.count("K" + std::to_string(contacts + 1)), 1u);
    }
    if (c.ToBackup && !madeAnew) {
      const std::set<std::string> before = calls(kept);
      found.insert(before.begin(), before.end());
    }
    // (The damaged log the operator kept holds what it holds.)
    for (int i = 1; i <= contacts && !c.KeepLog; ++i) EXPECT_EQ(found.count("K" + std::to_string(i)), 1u) << "K" << i;
    EXPECT_TRUE(ReadFile(backup) == ReadFile(log));
    EXPECT_FALSE(Store->ReadBool(LogSectionName("TEST"), "BackupKept", false));
  }
}

// A repair at the open of a log of a thousand contacts (a record page half
// overwritten, the file's end cut; QV_REPAIR_CONTACTS for more, by hand,
// as the repair rebuilds row by row): one box says how the repaired log
// and the backup compare and asks whether to keep the repaired log; the
// window counts the log's entries. Yes: the backup follows the log. No: the
// backup stays as it was through adds and starts (each asks again) until
// "Restore Log" brings every contact back.
TEST_P(KeptBackupTest, ARepairAtOpenKeepsTheBackupUntilTheOperatorChooses) {
  const int contacts = std::getenv("QV_REPAIR_CONTACTS") ? std::atoi(std::getenv("QV_REPAIR_CONTACTS")) : 1000;
  const std::string base = ReadFile(LogOfContacts(contacts));
  const int64_t pageSize = VLMGetU16LE(reinterpret_cast<const uint8_t*>(base.data()) + kVLMPageSizeOffset);
  std::string damaged = base;
  const size_t record = damaged.find("note " + std::to_string(1000 + contacts * 3 / 4));
  ASSERT_NE(record, std::string::npos);
  std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(record / pageSize * pageSize + pageSize / 2),
              pageSize / 2, '\x5A');
  damaged.resize(damaged.size() - 3 * static_cast<size_t>(pageSize));
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  const auto start = [&](bool answer) {
    Controller.reset();
    View = FakeMainView();
    View.ConfirmAnswer = answer;
    Start({});
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  };
  const auto add = [&] {
    Set(Ctl::CallEntered, "W9ADD");
    Set(Ctl::FreqEntered, "14");
    Set(Ctl::Mode, "CW");
    Controller->AddToLogButtonClick();
  };
  for (const bool keepRepaired : {true, false}) {
    SCOPED_TRACE(keepRepaired ? "the repaired log kept" : "the backup kept");
    WriteFile(log, damaged);
    WriteFile(backup, base);
    start(keepRepaired);
    ASSERT_EQ(View.Messages.size(), 1u) << ::testing::PrintToString(View.MessageTexts());
    EXPECT_EQ(View.Messages[0].Kind, "confirm");
    const size_t rows = LogRecords().size();
    EXPECT_TRUE(View.Messages[0].Text.starts_with("The Log needed repair when it was opened!\r\rThe Log holds " +
                                                  std::to_string(rows) + " entries, its backup copy " +
                                                  std::to_string(contacts) + " entries: "))
        << View.Messages[0].Text;
    EXPECT_EQ(Text(Ctl::LogNr), std::to_string(rows) + " Log Entries");
    add();
    EXPECT_EQ(View.Messages.size(), 1u) << ::testing::PrintToString(View.MessageTexts());
    Controller->FormClose();
    if (keepRepaired) {
      EXPECT_TRUE(ReadFile(backup) == ReadFile(log));
      start(true);
      EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{});
      continue;
    }
    EXPECT_EQ(Text(Ctl::StatPanel), "Backup copy of the Log kept: it differs from the Log!");
    EXPECT_TRUE(ReadFile(backup) == base);
    start(false);
    ASSERT_EQ(View.Messages.size(), 1u);
    EXPECT_TRUE(View.Messages[0].Text.starts_with(
        "The Log was repaired when it was opened at an earlier start, and its backup copy kept as it was.\r\r"))
        << View.Messages[0].Text;
    EXPECT_TRUE(ReadFile(backup) == base);
    OnDialog([this] { Dialog->RestoreButtonClick(); });
    Controller->SettingsButtonClick();
    // The contact logged into the repaired log is carried into the restored
    // one (not the damage the repair kept as a record), and the backup
    // follows.
    EXPECT_NE(Prefs.LastMessage().find("\r\r1 contact of the Log it replaced, which its backup copy lacked, was "
                                       "carried into the restored Log.\r\r"),
              std::string::npos)
        << Prefs.LastMessage();
    const std::string restored = ReadFile(log);
    EXPECT_TRUE(ReadFile(backup) == restored);
    // The restored log changed while the program is closed is a difference
    // like any other: no repair is offered to be kept over the backup.
    std::string changed = restored;
    changed[changed.find("note " + std::to_string(1000 + contacts / 2))] = 'N';
    WriteFile(log, changed);
    start(false);
    ASSERT_EQ(View.Messages.size(), 1u);
    EXPECT_TRUE(View.Messages[0].Text.starts_with("The Log and its backup copy differ!")) << View.Messages[0].Text;
    EXPECT_TRUE(ReadFile(backup) == restored);
    WriteFile(log, restored);
    start(false);
    EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{});
    std::vector<QsoRecord> records = LogRecords();
    ASSERT_EQ(records.size(), static_cast<size_t>(contacts) + 1);
    EXPECT_EQ(records.back().Call, "W9ADD");
  }
}

// A backup whose call index is damaged where a walk in contact order never
// goes is no way back, whatever the page check says: the restore reads a
// copy through every index (here with a page check that finds nothing, as
// one that missed the damage would) and refuses it.
TEST_P(KeptBackupTest, ACopyIsReadThroughEveryIndexEvenWhereThePageCheckFindsNothing) {
  struct UncheckedFiles final : TableFactory {
    explicit UncheckedFiles(TableFactory& inner) : Inner(inner) {}
    std::unique_ptr<DatabaseTable> Create(const TableSpec& spec, const std::string& file, bool readOnly) override {
      return Inner.Create(spec, file, readOnly);
    }
    TableFactory& Inner;
  } unchecked(Factory());
  UseBuiltLog(400);
  const std::string backup = Home + "TEST/BakV5LogDB.vlm";
  std::string bytes = ReadFile(backup);
  const int64_t pageSize = VLMGetU16LE(reinterpret_cast<const uint8_t*>(bytes.data()) + kVLMPageSizeOffset);
  // The index pages that hold calls (the call index's), their keys
  // overwritten.
  bool damaged = false;
  for (int64_t at = kVLMFirstPagePosition; at + pageSize <= static_cast<int64_t>(bytes.size()); at += pageSize) {
    if (VLMGetU16LE(reinterpret_cast<const uint8_t*>(bytes.data()) + at + kVLMPageTypeOffset) != kVLMPageTableIndex ||
        bytes.substr(static_cast<size_t>(at), static_cast<size_t>(pageSize)).find("K1") == std::string::npos)
      continue;
    std::fill_n(bytes.begin() + at + kVLMPageHeaderSize, pageSize - kVLMPageHeaderSize, '\xA5');
    damaged = true;
  }
  ASSERT_TRUE(damaged);
  Configure({});
  Controller = std::make_unique<MainController>(View, unchecked, *Store, Home);
  Controller->FormCreate();
  while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  WriteFile(backup, bytes);
  OnDialog([this] {
    Dialog->RestoreButtonClick();
    Dialog->SaveButtonClick();
  });
  Controller->SettingsButtonClick();
  EXPECT_FALSE(Prefs.Ended);
  EXPECT_TRUE(Prefs.LastMessage().starts_with(
      "The backup copy of the Log cannot be read, so it cannot bring the Log back!\r\r"))
      << Prefs.LastMessage();
  Controller.reset();
  EXPECT_TRUE(ReadFile(backup) == bytes);
}

// "Restore Log" carries what the backup lacks once: a contact deleted and
// entered again (the backup holds it under its old number) is not doubled,
// one logged since is carried, and one the replaced log holds with other
// values (an edit, or damage) keeps the backup's values.
TEST_P(KeptBackupTest, RestoreCarriesEachContactTheBackupLacksOnce) {
  UseBuiltLog(400);
  TablesUnderTest->WithTable(LogStorage(), [](LogTable& t) {
    DataSet& data = t.Data();
    ASSERT_TRUE(data.Locate("Call", HostVariant("K5"), 0));
    data.Delete();
    data.Append();
    WriteQso(data, MadeContact(5));
    data.Post();
    QsoRecord added = MadeContact(401);
    added.Call = "W9NEW";
    data.Append();
    WriteQso(data, added);
    data.Post();
    ASSERT_TRUE(data.Locate("Call", HostVariant("K7"), 0));
    data.Edit();
    data.FieldByName("Notes")->SetAsString("edited");
    data.Post();
  });
  // The backup kept at an earlier start (else it follows the log's later
  // commits).
  Store->WriteBool(LogSectionName("TEST"), "BackupKept", true);
  View.ConfirmAnswer = false;
  Start({});
  while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  OnDialog([this] { Dialog->RestoreButtonClick(); });
  Controller->SettingsButtonClick();
  EXPECT_NE(Prefs.LastMessage().find("Restore Complete\r\r1 contact of the Log it replaced, which its backup copy "
                                     "lacked, was carried into the restored Log.\r\r2 contacts of the Log it replaced "
                                     "hold other values than its backup copy: the restored Log holds the backup "
                                     "copy's.\r\r"),
            std::string::npos)
      << Prefs.LastMessage();
  Controller.reset();
  std::map<std::string, int> calls;
  for (const QsoRecord& q : LogRecords()) ++calls[q.Call];
  EXPECT_EQ(calls.size(), 401u);
  EXPECT_EQ(calls["K5"], 1);
  EXPECT_EQ(calls["W9NEW"], 1);
}

// The log damaged while the program runs (half a record page overwritten,
// its end cut), so that a write fails and the reopen after it finds the log
// in need of repair: the refused contact is told first; a repair made there
// is judged as one at a start (the backup kept, and marked so, until the
// operator keeps the repaired log; kept when the repair leaves no log to
// open), and a repair declined is not asked again by the session's later
// writes.
TEST_P(KeptBackupTest, ARepairWhenAWriteOpensTheLogAgainIsJudgedAsAtAStart) {
  const int contacts = std::getenv("QV_DAMAGE_CONTACTS") ? std::atoi(std::getenv("QV_DAMAGE_CONTACTS")) : 400;
  struct CountingUi : SilentEngineUi {
    bool Confirm(const std::string&) override {
      ++Asked;
      return Repair;
    }
    bool Repair = true;
    int32_t Asked = 0;
  } ui;
  VLMSetEngineUi(&ui);
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  const auto start = [&](bool keepRepaired) {
    Controller.reset();
    View = FakeMainView();
    View.ConfirmAnswer = keepRepaired;
    Start({});
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  };
  const auto add = [&] {
    View.Messages.clear();
    Set(Ctl::CallEntered, "W9ADD");
    Set(Ctl::FreqEntered, "14");
    Set(Ctl::Mode, "CW");
    Controller->AddToLogButtonClick();
    return View.MessageTexts();
  };
  struct Case {
    bool Repair, KeepRepaired;
    bool Definitions;  // the table's definitions overwritten too: the repair leaves no log to open
    const char* Second;  // the second box of the write (after "could not be written"), "": none
    const char* Restart;  // the next start's box (the repaired log not kept), "": none
  };
  const std::string refused = "The contact could not be written to the Log!\r\r";
  const Case cases[] = {
      {true, false, false, "The Log needed repair when it was opened!\r\r",
       "The Log was repaired when it was opened at an earlier start, and its backup copy kept as it was.\r\r"},
      {true, true, false, "The Log needed repair when it was opened!\r\r", ""},
      {false, false, false, "", "The Log could not be read!\r\r"},
      {true, true, true, "", "The Log could not be read!\r\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Repair ? "repaired" : "declined") + (c.KeepRepaired ? ", kept" : "") +
                 (c.Definitions ? ", definitions overwritten" : ""));
    UseBuiltLog(contacts);
    const std::string base = ReadFile(log);
    start(true);
    ASSERT_TRUE(View.Messages.empty());
    const int64_t pageSize = VLMGetU16LE(reinterpret_cast<const uint8_t*>(base.data()) + kVLMPageSizeOffset);
    std::string bytes = base;
    const size_t record = bytes.find("note " + std::to_string(1000 + contacts / 2));
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(record / pageSize * pageSize + pageSize / 2), pageSize / 2,
                '\x5A');
    for (int64_t at = kVLMFirstPagePosition; c.Definitions && at + pageSize <= static_cast<int64_t>(bytes.size());
         at += pageSize)
      if (VLMGetU16LE(reinterpret_cast<const uint8_t*>(bytes.data()) + at + kVLMPageTypeOffset) ==
          kVLMPageTableMetaData)
        std::fill_n(bytes.begin() + at + kVLMPageHeaderSize, pageSize - kVLMPageHeaderSize, '\x5A');
    bytes.resize(bytes.size() - 1000);
    WriteFile(log, bytes);
    ui.Repair = c.Repair;
    ui.Asked = 0;
    View.ConfirmAnswer = c.KeepRepaired;
    // A log not repaired refuses a second write in one box, asking nothing.
    for (int write = 1; write <= (c.Repair && !c.Definitions ? 1 : 2); ++write) {
      const std::vector<std::string> said = add();
      ASSERT_EQ(said.size(), write == 1 && *c.Second ? 2u : 1u) << ::testing::PrintToString(said);
      EXPECT_TRUE(said[0].starts_with(refused)) << said[0];
      if (said.size() > 1) {
        EXPECT_TRUE(said[1].starts_with(c.Second)) << said[1];
      }
      EXPECT_EQ(ui.Asked, 1);
    }
    Controller->FormClose();
    EXPECT_EQ(ReadFile(backup) == base, !c.KeepRepaired || c.Definitions);
    EXPECT_EQ(ReadFile(backup) == ReadFile(log), c.KeepRepaired && !c.Definitions);
    ui.Repair = false;
    start(false);
    ASSERT_EQ(View.Messages.size(), *c.Restart ? 1u : 0u) << ::testing::PrintToString(View.MessageTexts());
    if (*c.Restart) {
      EXPECT_TRUE(View.Messages[0].Text.starts_with(c.Restart)) << View.Messages[0].Text;
      EXPECT_TRUE(ReadFile(backup) == base);
    }
    Controller.reset();
    Store->WriteBool(LogSectionName("TEST"), "BackupKept", false);
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, KeptBackupTest, ::testing::Values(tabletest::TablesKind::Engine),
                         tabletest::TablesKindName);

}  // namespace
}  // namespace qv::app::wintest
