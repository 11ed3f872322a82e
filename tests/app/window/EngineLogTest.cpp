// The main window on real database files only: a long log through the
// controller and a restart, the backup as a database of its own, and a disk
// that fills during an add.
#include <random>

#include "WindowTestSupport.h"

#include "app/Scoring.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMPage.h"
#include "appdata/AtomicFile.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "tests/support/TestBudget.h"

namespace qv::app::wintest {
namespace {

constexpr std::string_view kBackupFailedBox = "The contact was logged, but its backup copy could not be brought up";

class EngineLogTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }

  // Types one contact of the IBM QSO Party into the fields and adds it: a
  // member on every third, over four bands and five countries.
  void AddContact(int32_t i) {
    static const char* const kBands[] = {"14", "21", "7", "28"};
    static const char* const kCountries[] = {"GERMANY", "FRANCE", "JAPAN", "USA", "BRAZIL"};
    static const char* const kContinents[] = {"EU", "EU", "AS", "NA", "SA"};
    const bool member = i % 3 == 0;
    Set(Ctl::CallEntered, "K" + std::to_string(i));
    Set(Ctl::FreqEntered, kBands[i % 4]);
    Set(Ctl::Mode, "CW");
    Set(Ctl::RSTNumRcvd, std::to_string(i % 1000));
    Set(Ctl::CountryFLD, kCountries[i % 5]);
    Set(Ctl::ContinentFLD, kContinents[i % 5]);
    View.C(Ctl::IBM).Checked = member;
    Controller->AddToLogButtonClick();
  }
  TotalsDisplay ShownTotals() {
    TotalsDisplay t;
    t.TlIBM = Text(Ctl::TlIBM);
    t.TLNonIBM = Text(Ctl::TLNonIBM);
    t.TlPoints = Text(Ctl::TlPoints);
    t.TlMult = Text(Ctl::TlMult);
    t.TlScore = Text(Ctl::TlScore);
    t.NonMemberColor = View.C(Ctl::TLNonIBM).Color;
    return t;
  }
  void Restart(const LogKind& kind) {
    Controller.reset();
    View = FakeMainView();
    Start(kind);
  }
};

TEST_F(EngineLogTest, TwoThousandContactsSurviveARestartAndTheBackupHoldsThemToo) {
  constexpr int32_t kContacts = 2000;
  const LogKind ibm{true, "IBM", true};
  Start(ibm);
  for (int32_t i = 1; i <= kContacts; ++i) AddContact(i);
  EXPECT_EQ(Text(Ctl::LogNr), "2000 Log Entries");
  const TotalsDisplay totals = ShownTotals();
  const ScoreTotals counted = Controller->State().Score.Totals();
  EXPECT_EQ(counted.MemberCount + counted.NonMemberCount, kContacts);
  EXPECT_GT(counted.Multipliers, 1);

  Restart(ibm);
  EXPECT_EQ(Text(Ctl::LogNr), "2000 Log Entries");
  EXPECT_EQ(ShownTotals(), totals);
  EXPECT_EQ(Controller->State().Score.Totals().Score, counted.Score);
  EXPECT_EQ(Text(Ctl::NumSent), "2001");
  Controller.reset();

  // The backup opens as a database of its own with the same contacts.
  const std::vector<QsoRecord> live = LogRecords();
  ASSERT_EQ(live.size(), static_cast<size_t>(kContacts));
  EXPECT_EQ(live.front().Call, "K1");
  EXPECT_EQ(live.back().Call, "K2000");
  const std::vector<QsoRecord> backup = QsosOf({LogTableSpec(), Home + "TEST/BakV5LogDB.vlm"});
  ASSERT_EQ(backup.size(), live.size());
  for (size_t i = 0; i < live.size(); ++i) {
    ASSERT_EQ(backup[i].Call, live[i].Call) << i;
    ASSERT_EQ(backup[i].Points, live[i].Points) << i;
  }
}

// A disk that fills during an add (every write from the k-th on fails), for
// each k over the writes of one add: the message names the failure, the
// totals shown equal what the file holds, and once space is free the same
// entry is added without a restart. The log and its backup end holding every
// contact that was acknowledged, and nothing else.
TEST_F(EngineLogTest, ADiskFullDuringAnAddIsReportedAndLoggingGoesOnOnceSpaceIsFree) {
  Start({true, "IBM", true});
  AddContact(3);
  std::vector<std::string> acknowledged = {"K3"};
  const int64_t before = FileWriteCount();
  AddContact(6);
  acknowledged.push_back("K6");
  const int64_t writesPerAdd = FileWriteCount() - before;
  ASSERT_GT(writesPerAdd, 2);

  auto fileTotals = [&] {
    IbmScore score;
    TablesUnderTest->WithTable(LogStorage(), [&](LogTable& t) {
      t.SetIndexName("PrimeIndex");
      score.TallyLog(t.Data());
    });
    return score.Display();
  };
  int32_t failures = 0;
  for (int64_t k = 1; k <= writesPerAdd + 1; ++k) {
    const int32_t i = static_cast<int32_t>(10 + k);
    View.Messages.clear();
    {
      auto disarm = ScopeExit([] { SetFileFaultAfter(0, FileFault::FailFrom); });
      SetFileFaultAfter(k, FileFault::FailFrom);
      AddContact(i);
    }
    // A fault in the backup's update: the contact is logged, and said so.
    const bool backupFailed = !View.Messages.empty() && View.Messages[0].Text.starts_with(kBackupFailedBox);
    if (backupFailed) {
      EXPECT_EQ(View.Messages.size(), 1u) << k;
    }
    const bool failed = !View.Messages.empty() && !backupFailed;
    if (failed) {
      ++failures;
      ASSERT_EQ(View.Messages.size(), 1u) << k;
      EXPECT_EQ(View.Messages[0].Kind, "warning");
      EXPECT_EQ(View.Messages[0].Text.rfind("The contact could not be written to the Log!", 0), 0u) << k;
      EXPECT_NE(View.Messages[0].Text.find("No space left on device"), std::string::npos) << View.Messages[0].Text;
      EXPECT_EQ(Text(Ctl::CallEntered), "K" + std::to_string(i)) << k;  // kept for another try
      EXPECT_EQ(ShownTotals(), fileTotals()) << k;
      EXPECT_EQ(Text(Ctl::LogNr), std::to_string(acknowledged.size()) + " Log Entries") << k;
      // Space is free again: the same entry goes in, no restart.
      View.Messages.clear();
      Controller->AddToLogButtonClick();
      EXPECT_TRUE(View.MessageTexts().empty()) << k;
    }
    acknowledged.push_back("K" + std::to_string(i));
    EXPECT_EQ(Text(Ctl::CallEntered), "") << k;
    EXPECT_EQ(ShownTotals(), fileTotals()) << k;
  }
  EXPECT_GT(failures, 0);
  // A fault in the backup's update (the contact is logged) leaves the backup
  // behind; the next add brings it up to date.
  AddContact(99);
  acknowledged.push_back("K99");
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  Controller.reset();

  for (const std::string& file : {std::string("TEST/V5LogDB.vlm"), std::string("TEST/BakV5LogDB.vlm")}) {
    std::vector<std::string> calls;
    for (const QsoRecord& q : QsosOf({LogTableSpec(), Home + file})) calls.push_back(q.Call);
    EXPECT_EQ(calls, acknowledged) << file;
  }
}

// Real damaged files: a state file of random bytes and a zero-length member
// file. The program starts, names both in the status panel, and logs.
TEST_F(EngineLogTest, DamagedStateAndMemberFilesAreNamedAndContactsAreLogged) {
  std::string noise(8192, '\0');
  uint32_t x = 2463534242u;
  for (char& c : noise) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  WriteFile(Home + "USCountryDB.vlm", noise);
  WriteFile(Home + "WWHAMDB.vlm", "");
  Start({true, "IBM", true});
  EXPECT_EQ(Text(Ctl::StatPanel), " Damaged, not used: USCountryDB.vlm, WWHAMDB.vlm");
  EXPECT_FALSE(Controller->StateTableOpen());
  EXPECT_FALSE(Controller->MemberTableOpen());
  EXPECT_TRUE(View.Messages.empty());
  AddContact(1);
  AddContact(2);
  EXPECT_EQ(Text(Ctl::LogNr), "2 Log Entries");
  EXPECT_EQ(ReadFile(Home + "USCountryDB.vlm"), noise);  // left as it was
  Controller.reset();
  EXPECT_EQ(LogRecords().size(), 2u);
}

}  // namespace
}  // namespace qv::app::wintest

namespace qv::app::wintest {
namespace {

// A full disk -- no room for two writes, or none until room is made -- at
// each write of each operation that writes the log (an add: its commit and
// the backup's update; the editor's post and delete; Empty Log), on logs
// whose adds take pages, then room again. After each: the one box says
// whether the change was stored, and the file agrees; the window counts
// what the file holds; the operation then works without a restart; after a
// tick of the clock the backup is the log byte for byte. At the end both
// files hold every acknowledged change and nothing else. Each road has a
// time budget (FaultPoints says which writes it tries; a run by hand with
// QV_TEST_BUDGET_SECONDS tries every write of every road).
class FullDiskTest : public EngineLogTest {
protected:
  enum class Op { Add, Post, Delete, Empty };
  struct Road {
    const char* Name;
    const char* Key;  // of the figures recorded
    Op What;
    std::string_view Headline;  // of a change that was not stored
  };
  // What the operation changes: a contact's notes (nullopt: the contact
  // goes), or every contact.
  struct Change {
    std::string Call;
    std::optional<std::string> Notes;
  };

  void StartOn(int32_t contacts) {
    Editor.reset();
    Controller.reset();
    View = FakeMainView();
    UseBuiltLog(contacts);
    Model.clear();
    for (int32_t i = 1; i <= contacts; ++i) Model["K" + std::to_string(i)] = "note " + std::to_string(1000 + i);
    Start({});
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
    Editor = std::make_unique<EditController>(Edit, *Controller, View);
    Editor->FormActivate();
  }
  // Runs the operation, arming the fault just before it writes.
  Change Run(Op op, int32_t step, const std::function<void()>& arm) {
    DataSet& log = Controller->LogData();
    auto it = Model.begin();
    std::advance(it, static_cast<int64_t>(step * 7919 % static_cast<int64_t>(std::max<size_t>(Model.size(), 1))));
    switch (op) {
      case Op::Add: {
        const std::string call = "A" + std::to_string(step);
        Set(Ctl::CallEntered, call);
        Set(Ctl::FreqEntered, "21");
        Set(Ctl::Mode, "SSB");
        Set(Ctl::Notes, "add " + std::to_string(step));
        arm();
        Handle([&] { Controller->AddToLogButtonClick(); });
        return {call, "add " + std::to_string(step)};
      }
      case Op::Post:
      case Op::Delete: {
        const std::string call = it->first;
        EXPECT_TRUE(log.Locate("Call", call, 0)) << call;
        if (op == Op::Delete) {
          arm();
          Handle([&] { Editor->NavigatorButton(NavBtn::nbDelete); });
          return {call, std::nullopt};
        }
        Editor->NavigatorButton(NavBtn::nbEdit);
        log.FieldByName("Notes")->SetAsString("edit " + std::to_string(step));
        arm();
        Handle([&] { Editor->NavigatorButton(NavBtn::nbPost); });
        return {call, "edit " + std::to_string(step)};
      }
      case Op::Empty:
        View.SettingsDialog = [&] {
          Controller->Module().EmptyLogRequested = true;
          arm();
        };
        Handle([&] { Controller->SettingsButtonClick(); });
        return {};
    }
    return {};
  }
  // The operation again, the fault gone: the entry kept in the fields, the
  // edit kept in the record, the delete or the emptying asked again.
  void Again(Op op, const Change& c) {
    switch (op) {
      case Op::Add: Handle([&] { Controller->AddToLogButtonClick(); }); break;
      case Op::Post: Handle([&] { Editor->NavigatorButton(NavBtn::nbPost); }); break;
      case Op::Delete:
        // The record found again (a log opened again shows its first).
        Handle([&] { Editor->NavigatorButton(NavBtn::nbFirst); });
        EXPECT_TRUE(Controller->LogData().Locate("Call", c.Call, 0));
        Handle([&] { Editor->NavigatorButton(NavBtn::nbDelete); });
        break;
      case Op::Empty: Run(Op::Empty, 0, [] {}); break;
    }
  }
  // The change is in the log file.
  bool Stored(Op op, const Change& c) {
    bool stored = false;
    TablesUnderTest->WithTable(LogStorage(), [&](LogTable& t) {
      if (op == Op::Empty) {
        stored = t.Data().RecordCount() == 0;
        return;
      }
      const bool found = t.Data().Locate("Call", c.Call, 0);
      stored = c.Notes ? found && t.Data().FieldByName("Notes")->AsString() == *c.Notes : !found;
    });
    return stored;
  }
  void Apply(Op op, const Change& c) {
    if (op == Op::Empty)
      Model.clear();
    else if (c.Notes)
      Model[c.Call] = *c.Notes;
    else
      Model.erase(c.Call);
  }
  // The boxes shown since the last call, but for the delete's question.
  std::vector<Message> Boxes() {
    std::vector<Message> all = View.Messages;
    for (const Message& m : Edit.Messages)
      if (m.Kind != "confirm") all.push_back(m);
    View.Messages.clear();
    Edit.Messages.clear();
    return all;
  }
  std::map<std::string, std::string> FileContacts(const std::string& file) {
    std::map<std::string, std::string> contacts;
    for (const auto& row : TablesUnderTest->Rows({LogTableSpec(), file}, {"Call", "Notes"})) contacts[row[0]] = row[1];
    return contacts;
  }
  void TearDown() override {
    SetFileFaultAfter(0, FileFault::FailFrom);
    Editor.reset();
    EngineLogTest::TearDown();
  }

  // The writes (1 = the first) that meet the fault: every one, and one
  // past them; of Empty Log, which frees every page (a start each), a spread
  // of them unless a longer run was asked for by hand.
  static std::vector<int64_t> FaultPoints(Op op, int64_t writes) {
    std::vector<int64_t> points;
    const int64_t spread = op == Op::Empty && !qv::test::LongRunRequested() ? 3 : writes + 1;
    for (int64_t k = 1; k <= writes + 1; ++k)
      if (k <= spread || k > writes + 1 - spread || k % std::max<int64_t>(writes / spread, 1) == 0)
        points.push_back(k);
    return points;
  }
  void EveryWriteOfEveryOperation(int32_t contacts);

  FakeEditView Edit;
  std::unique_ptr<EditController> Editor;
  std::map<std::string, std::string> Model;  // call -> notes of every acknowledged contact
};

void FullDiskTest::EveryWriteOfEveryOperation(int32_t contacts) {
  const Road roads[] = {
      {"add", "add", Op::Add, "The contact could not be written to the Log!"},
      {"editor post", "post", Op::Post, "The change could not be written to the Log!"},
      {"editor delete", "delete", Op::Delete, "The record could not be deleted from the Log!"},
      {"Empty Log", "empty", Op::Empty, "The Log could not be emptied!"},
  };
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  bool found = false;
  const auto bytes = [&](const std::string& path) { return ReadWholeFile(path, found); };
  std::map<std::string, int32_t> cases;
  {
    for (const Road& road : roads) {
      for (FileFault fault : {FileFault::FailTwice, FileFault::FailFrom}) {
        const std::string what = std::string(road.Name) + " at " + std::to_string(contacts) +
                                 (fault == FileFault::FailTwice ? ", two writes refused" : ", full until room");
        SCOPED_TRACE(what);
        StartOn(contacts);
        int32_t step = 1;
        // How many file-changing operations the operation makes.
        const int64_t before = FileWriteCount();
        Apply(road.What, Run(road.What, step++, [] {}));
        const int64_t writes = FileWriteCount() - before;
        ASSERT_GT(writes, 2);
        ASSERT_TRUE(Boxes().empty());
        // A slow machine runs the first points of each road at least.
        const std::vector<int64_t> points = FaultPoints(road.What, writes);
        const qv::test::TestBudget budget(contacts < 1000 ? 10 : 4, 4);
        for (size_t i = 0; i < points.size() && budget.Continue(i); ++i) {
          const int64_t k = points[i];
          SCOPED_TRACE("fault at write " + std::to_string(k) + " of " + std::to_string(writes));
          if (road.What == Op::Empty) StartOn(contacts);
          const Change c = Run(road.What, step++, [&] { SetFileFaultAfter(k, fault); });
          SetFileFaultAfter(0, fault);  // room again
          std::vector<Message> boxes = Boxes();
          const bool stored = Stored(road.What, c);
          if (stored) {
            // At most the word that the backup is behind; never an error.
            ASSERT_LE(boxes.size(), 1u);
            if (!boxes.empty()) {
              EXPECT_NE(boxes[0].Text.find(", but its backup copy could not be brought up to date!\r\r"),
                        std::string::npos) << boxes[0].Text;
            }
          } else {
            ASSERT_EQ(boxes.size(), 1u);
            const std::string& text = boxes[0].Text;
            EXPECT_EQ(boxes[0].Kind, "warning");
            EXPECT_TRUE(text.starts_with(std::string(road.Headline) + "\r\r")) << text;
            EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
            EXPECT_TRUE(text.ends_with(" once there is free space on the disk.")) << text;
            if (road.What == Op::Add || road.What == Op::Empty) {
              EXPECT_EQ(Text(Ctl::LogNr), std::to_string(Model.size()) + " Log Entries");
            }
            // Room again: the same operation works, no restart.
            Again(road.What, c);
            EXPECT_EQ(Boxes().size(), 0u);
            ASSERT_TRUE(Stored(road.What, c));
          }
          Apply(road.What, c);
          if (road.What == Op::Add || road.What == Op::Empty) {
            EXPECT_EQ(Text(Ctl::LogNr), std::to_string(Model.size()) + " Log Entries");
          }
          // The backup is the log again at the next tick of the clock.
          Controller->Timer1Timer();
          EXPECT_EQ(bytes(backup), bytes(log));
          EXPECT_EQ(Text(Ctl::StatPanel), "");
          ++cases[std::string(road.Key) + (fault == FileFault::FailTwice ? "_two_" : "_full_") +
                  (stored ? "stored" : "refused")];
        }
        Editor->CloseWindowClick();
        EXPECT_EQ(Text(Ctl::LogNr), std::to_string(Model.size()) + " Log Entries");
        Controller->FormClose();
        Editor.reset();
        Controller.reset();
        EXPECT_EQ(bytes(backup), bytes(log));
        EXPECT_EQ(FileContacts(log), Model);
        EXPECT_EQ(FileContacts(backup), Model);
      }
    }
  }
  for (const auto& [kind, n] : cases) RecordProperty(kind, n);
}

TEST_F(FullDiskTest, EveryWriteOfEveryOperationOnA400ContactLog) { EveryWriteOfEveryOperation(400); }
TEST_F(FullDiskTest, EveryWriteOfEveryOperationOnA5000ContactLog) { EveryWriteOfEveryOperation(5000); }

// An add that takes a page (the first whose commit grows the log or reuses
// a free page) has two of its writes refused, at each write in turn; the
// operator closes at once. The next start says nothing and finds the
// backup the log byte for byte (the reopen after the refused write rolled
// the cut commit back, and the backup followed the log it left), holding
// every acknowledged contact. 400 contacts and 5,000.
TEST_F(FullDiskTest, TwoWritesRefusedThenACloseLeaveTheBackupTheLog) {
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  bool found = false;
  const auto bytes = [&](const std::string& path) { return ReadWholeFile(path, found); };
  const auto pageCounts = [&] { return bytes(log).substr(kVLMPageCountOffset, kVLMChangeCounterOffset - kVLMPageCountOffset); };
  for (const int32_t contacts : {400, 5000}) {
    SCOPED_TRACE(std::to_string(contacts) + " contacts");
    // The adds up to the first that takes a page, and its writes.
    StartOn(contacts);
    int32_t adds = 0;
    int64_t writes = 0;
    for (bool took = false; !took && adds < 100;) {
      const std::string before = pageCounts();
      const int64_t count = FileWriteCount();
      Run(Op::Add, ++adds, [] {});
      writes = FileWriteCount() - count;
      took = pageCounts() != before;
    }
    ASSERT_LT(adds, 100);
    const qv::test::TestBudget budget(contacts < 1000 ? 6 : 8, 3);
    for (int64_t k = 1; k <= writes && budget.Continue(static_cast<uint64_t>(k - 1)); ++k) {
      SCOPED_TRACE("writes " + std::to_string(k) + " and " + std::to_string(k + 1) + " refused");
      StartOn(contacts);
      for (int32_t step = 1; step < adds; ++step) Apply(Op::Add, Run(Op::Add, step, [] {}));
      const Change c = Run(Op::Add, adds, [&] { SetFileFaultAfter(k, FileFault::FailTwice); });
      SetFileFaultAfter(0, FileFault::FailTwice);
      if (Stored(Op::Add, c)) Apply(Op::Add, c);
      Editor.reset();
      Controller->FormClose();
      Controller.reset();
      View = FakeMainView();
      Start({});
      while (Controller->BackupCatchingUp()) Controller->BackupTimer();
      EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{});
      EXPECT_TRUE(bytes(backup) == bytes(log));
      Controller.reset();
      EXPECT_EQ(FileContacts(backup), Model);
    }
  }
}

}  // namespace
}  // namespace qv::app::wintest

namespace qv::app::wintest {
namespace {

// Damage that the engine meets after the open (index pages of the log with
// bits flipped in their heads, 64 KB zeroed in the middle), at 400 and 5,000
// contacts, a byte-equal backup beside: the start says it in one box; each
// of two adds is either logged (the entry cleared, at most a word that the
// log could not be read after it, once) or refused in one box that starts
// with the headline and ends with the way back; no box holds the engine's
// words alone; and the backup stays what it was, the way back.
TEST_F(EngineLogTest, DamageMetAfterTheOpenIsToldOnceAndNeverAsAnErrorOverALoggedContact) {
  struct Case {
    int32_t Contacts;
    int32_t IndexPage;  // the n-th index page damaged; -1: 64 KB zeroed at Zeroed of the file; -2: the last
                        // record page half overwritten
    double Zeroed;
    bool Anywhere = false;  // 16 bits flipped anywhere in the page, its head too (else 6 in its first keys)
  };
  // Index pages that the add meets, one that only the read after the add
  // meets (the 4th at 400, the 7th at 5,000), one whose damaged head names
  // a child page far out of the file (the 20th at 5,000), and one whose
  // flipped bits fail the call check's search of the call index (the 3rd
  // at 5,000).
  const Case cases[] = {{400, 2, 0},  {400, 3, 0},   {400, -1, 0.5},  {400, -2, 0},      {5000, 0, 0},
                        {5000, 6, 0}, {5000, 19, 0}, {5000, -1, 0.5}, {5000, 2, 0, true}};
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  const auto typeAt = [](const std::string& b, int64_t at) {
    return VLMGetU16LE(reinterpret_cast<const uint8_t*>(b.data()) + at + kVLMPageTypeOffset);
  };
  int32_t logged = 0, refused = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Contacts) + " contacts, index page " + std::to_string(c.IndexPage) + ", zeroed at " +
                 std::to_string(c.Zeroed));
    Controller.reset();
    View = FakeMainView();
    UseBuiltLog(c.Contacts);
    const std::string base = ReadFile(log);
    std::string bytes = base;
    const int64_t pageSize = VLMGetU16LE(reinterpret_cast<const uint8_t*>(base.data()) + kVLMPageSizeOffset);
    if (c.IndexPage >= 0) {
      int32_t seen = 0;
      for (int64_t at = kVLMFirstPagePosition; at + pageSize <= static_cast<int64_t>(bytes.size()); at += pageSize) {
        if (typeAt(base, at) != kVLMPageTableIndex || seen++ != c.IndexPage) continue;
        std::mt19937 random(static_cast<uint32_t>(c.IndexPage));
        for (int i = 0; i < (c.Anywhere ? 16 : 6); ++i) {
          const char bit = static_cast<char>(1 << random() % 8);
          bytes[static_cast<size_t>(at + (c.Anywhere ? random() % pageSize : 40 + random() % 40))] ^= bit;
        }
      }
    } else if (c.IndexPage == -2) {
      int64_t last = -1;
      for (int64_t at = kVLMFirstPagePosition; at + pageSize <= static_cast<int64_t>(bytes.size()); at += pageSize)
        if (typeAt(base, at) == kVLMPageTableRecord) last = at;
      std::fill_n(bytes.begin() + last + pageSize / 2, pageSize / 2, '\x5A');
    } else {
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(bytes.size()) * c.Zeroed), 65536,
                  '\0');
    }
    WriteFile(log, bytes);
    Handle([&] { Start({}); });
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
    ASSERT_LE(View.Messages.size(), 1u) << ::testing::PrintToString(View.MessageTexts());
    for (const Message& m : View.Messages) EXPECT_EQ(m.Kind, "warning") << m.Text;
    for (int add = 1; add <= 2; ++add) {
      View.Messages.clear();
      const std::string call = "W" + std::to_string(add) + "NEW";
      // Cleared, typed, the call checked on the way out of its field, then
      // added.
      Handle([&] { Controller->ClearButtonClick(); });
      Set(Ctl::FreqEntered, "14");
      Set(Ctl::Mode, "CW");
      Set(Ctl::CallEntered, call);
      Handle([&] { Leave(Ctl::CallEntered, Ctl::RSTSent); });
      Handle([&] { Controller->AddToLogButtonClick(); });
      bool inLog = false;
      try {
        TablesUnderTest->WithTable(LogStorage(), [&](LogTable& t) { inLog = t.Data().Locate("Call", call, 0); });
      } catch (const std::exception&) {
      }
      ASSERT_LE(View.Messages.size(), 1u) << ::testing::PrintToString(View.MessageTexts());
      for (const Message& m : View.Messages) {
        EXPECT_EQ(m.Kind, "warning") << m.Text;
        if (inLog) {
          EXPECT_TRUE(m.Text.starts_with("The contact was logged, but the Log could not be read after it!\r\r") &&
                      add == 1)
              << m.Text;
        } else {
          EXPECT_TRUE(m.Text.starts_with("The contact could not be written to the Log!\r\r") &&
                      m.Text.ends_with(kBackupKeptText))
              << m.Text;
        }
      }
      if (inLog) {
        EXPECT_EQ(Text(Ctl::CallEntered), "");
      }
      ++(inLog ? logged : refused);
    }
    Controller->FormClose();
    EXPECT_EQ(ReadFile(backup), base);
  }
  RecordProperty("logged", logged);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace qv::app::wintest
