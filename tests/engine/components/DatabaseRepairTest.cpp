// The repair of a database file while a database component connects: who
// is asked, what a yes leaves behind, and that every refusal, failure or stop
// leaves the original file as it was and no ".tmp" file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineBlobs.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/StringList.h"
#include "platform/os/System.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/components/LogFileSupport.h"
#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

namespace {

using local_test::RuntimeScope;
using local_test::ScriptedUi;
using qv::test::RaisedCode;

constexpr int kRows = 5;
// Rows of the crash base: several record pages of 1024 bytes.
constexpr int kCrashRows = 40;

std::vector<uint8_t> Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Patch(const std::string& file, int64_t offset, const void* bytes, size_t count) {
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(offset);
  io.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
}

uint8_t CommitState(const std::string& file) { return Bytes(file).at(kVLMCommitStateOffset); }

// What a repair says of a record page of the log table whose rows it left out.
std::string LostPageText(int64_t pageNo, size_t rows) {
  return "Table 'QsoLog': record page " + std::to_string(pageNo) +
         " cannot be read and is left out; the table's page index listed " + std::to_string(rows) +
         " rows on it\r\n";
}

// A commit stopped half-way, as the header tells it; version as given.
void MarkInterrupted(const std::string& file, double version = kVLMFormatVersion) {
  const uint8_t writing = kVLMCommitWriting;
  Patch(file, kVLMCommitStateOffset, &writing, 1);
  uint8_t stored[8];
  VLMPutU64LE(stored, std::bit_cast<uint64_t>(version));
  Patch(file, kVLMVersionOffset, stored, sizeof stored);
}

// A file with the log table of rows rows, added in one transaction;
// encrypted (cipher 3) with a password.
void MakeFilledLog(const std::string& file, int rows, const std::string& password = "") {
  auto maker = logfile_test::Database(file, "Maker", password, password.empty() ? 0 : 3);
  logfile_test::MakeLog("Maker", 0);
  maker->DoConnect();
  maker->StartTransaction();
  auto table = logfile_test::Table("Maker");
  table->Open();
  logfile_test::AddRows(*table, rows);
  table->Close();
  maker->Commit(true);
}

// A disk database data whose table list cannot be read, listed in the
// registry for file as the local engine would list it.
class UnreadableTableList : public TVLMDiskDatabaseData {
public:
  static void List(const std::string& file) {
    auto data = std::make_unique<UnreadableTableList>();
    data->DatabaseFileName = file;
    data->MaxSessions = 20;
    TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
    std::lock_guard guard(list.Mutex());
    list.Add(data.release());
  }
  void GetTableNames(qv::StringList&) override {
    throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {7});
  }
};

class DatabaseRepairTest : public ::testing::Test {
protected:
  void SetUp() override { VLMSetEngineUi(&Ui); }
  void TearDown() override {
    VLMSetEngineUi(nullptr);
    VLMSetRepairReplaceHook(nullptr);
    qv::SetFreeDiskSpaceOverride(-1);
    VLMSetDesignMode(false);
  }

  std::unique_ptr<TVLMDatabase> Database(const std::string& file) {
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName("Log");
    database->SetDatabaseFileName(file);
    database->MaxConnections = 20;
    database->PageSize = 1024;
    database->Password = Password;
    database->OnCommitRolledBack = [this](TVLMDatabase&) { ++RolledBack; };
    return database;
  }
  std::string NewFile(const std::string& name) {
    const std::string file = Dir.File(name);
    auto maker = Database(file);
    maker->SetDatabaseName("Maker");
    if (!Password.empty()) maker->CipherId = 3;
    maker->CreateDatabase();
    logfile_test::MakeLog("Maker", kRows);
    logfile_test::MakeLog("Maker", 1, "Other");
    return file;
  }
  bool TempLeft(const std::string& file) const { return std::filesystem::exists(file + ".tmp"); }

  // What is wrong with the tables of a crash base (QsoLog with kCrashRows
  // rows, Other with one) after a stopped commit: "" when QsoLog holds
  // every committed row and at most the new one, and a table Second, when
  // there, is empty. The database Log must be connected.
  static std::string CheckTables() {
    std::vector<std::string> rows = logfile_test::RowsOf("Log");
    // The new row may come back without the value its stopped commit did
    // not write (the repair then warns of it).
    const std::string added = std::to_string(kCrashRows + 1) + " NEW ";
    if (!rows.empty() && (rows.back() == added + std::string(3000, 'n') || rows.back() == added)) rows.pop_back();
    std::vector<int> ids;
    for (int id = 1; id <= kCrashRows; ++id) ids.push_back(id);
    if (rows != logfile_test::Expected(ids))
      return "QsoLog differs: " + std::to_string(rows.size()) + " rows, the last " + rows.back().substr(0, 40);
    if (logfile_test::RowsOf("Log", "Other") != logfile_test::Expected({1})) return "Other differs";
    auto second = logfile_test::Table("Log", "Second");
    if (second->Exists()) {
      second->Open();
      if (second->RecordCount() != 0) return "Second is not empty";
    }
    return "";
  }

  // The free-space map of a closed crash base against every structure of
  // its tables; "" when they agree.
  static std::string CheckFreeSpace(const std::string& file) {
    auto database = disk_test::NewDiskDatabase(file);
    disk_test::DiskSession session(database.get());
    session.Connect();
    disk_test::DiskCursor log(*database, session, logfile_test::kLogTable);
    disk_test::DiskCursor other(*database, session, "Other");
    disk_test::DiskCursor second(*database, session, "Second");
    log.Open();
    other.Open();
    const bool withSecond = database->TableExists("Second");
    if (withSecond) second.Open();
    std::lock_guard guard(database->CriticalSection());
    return withSecond ? disk_test::CheckDiskFreeSpace(*database, {&log, &other, &second})
                      : disk_test::CheckDiskFreeSpace(*database, {&log, &other});
  }

  // One stopped commit of file, connected as the user would: "" when sound,
  // else what is wrong. repaired tells whether the file asked for repair.
  std::string CheckStoppedCommit(const std::string& file, bool& repaired) {
    try {
      return StoppedCommitFault(file, repaired);
    } catch (const std::exception& e) {
      return std::string("raised ") + e.what();
    }
  }
  // The opens of a stopped commit that must not write: the connection's
  // own ReadOnly and the file's read-only attribute, single-user, the
  // repair question answered yes. They ask nothing and change nothing, and
  // read every committed row; without the journal that tells them the last
  // finished commit, a file left unfinished is refused (10747) instead.
  // Then, with the journal, a shared open beside another connection rolls
  // the commit back and reads every committed row, asking nothing.
  // A database on file whose repair question counts itself in asked and is
  // answered with answer.
  std::unique_ptr<TVLMDatabase> Answering(const std::string& file, int& asked, bool answer) {
    auto database = Database(file);
    database->OnNeedRepair = [&asked, answer](TVLMDatabase&, bool& repair) {
      ++asked;
      repair = answer;
    };
    return database;
  }

  std::string OtherOpensFault(const std::string& file, bool withJournal) {
    const std::vector<uint8_t> before = Bytes(file);
    for (const bool attribute : {false, true}) {
      const std::string kind = attribute ? "read-only attribute: " : "read-only: ";
      if (attribute) std::filesystem::permissions(file, std::filesystem::perms::owner_read);
      int asked = 0;
      std::string fault;
      auto database = Answering(file, asked, true);
      database->ReadOnly = !attribute;
      const int32_t code = qv::test::RaisedCode([&] {
        database->DoConnect();
        fault = CheckTables();
      });
      database.reset();
      std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
      if (asked != 0) return kind + "the repair was asked for";
      if (code != 0 && (withJournal || code != 10747 || CommitState(file) == kVLMCommitClean))
        return kind + "raised " + std::to_string(code);
      if (!fault.empty()) return kind + fault;
      if (Bytes(file) != before) return kind + "the file was written";
    }
    if (!withJournal) return "";
    storage_test::Peer peer(file);
    int asked = 0;
    auto database = Answering(file, asked, true);
    database->MultiUser = true;
    database->DoConnect();
    const std::string fault = CheckTables();
    if (asked != 0) return "shared: the repair was asked for";
    if (!fault.empty()) return "shared: " + fault;
    if (CommitState(file) != kVLMCommitClean) return "shared: the commit was not rolled back";
    return "";
  }

  std::string StoppedCommitFault(const std::string& file, bool& repaired) {
    int asked = 0;
    // Connected as told; the tables are read only from a file that needs
    // no repair, or had it.
    auto connect = [&](bool silent, bool answer, bool check) {
      auto database = Answering(file, asked, answer);
      database->SilentMode = silent;
      database->DoConnect();
      return check ? CheckTables() : std::string();
    };
    connect(true, true, false);
    if (asked != 0) return "a silent connect asked";
    if (TempLeft(file)) return "a silent connect repaired the file";
    connect(false, false, false);
    repaired = asked == 1;
    if (!repaired) return CommitState(file) == kVLMCommitClean ? connect(false, true, true) : "the file is not clean";
    if (TempLeft(file) || CommitState(file) == kVLMCommitClean) return "a no repaired the file";

    // A repair stopped by its progress handler leaves the file as it was.
    {
      auto database = Database(file);
      database->OnRepairProgress = [](TVLMDatabase&, int32_t, bool& cont) { cont = false; };
      const std::vector<uint8_t> unrepaired = Bytes(file);
      std::string errorText;
      if (database->RepairDatabase(errorText)) return "a stopped repair succeeded";
      if (Bytes(file) != unrepaired) return "a stopped repair changed the file";
      if (TempLeft(file)) return "a stopped repair left the .tmp file";
    }
    const std::string fault = connect(false, true, true);
    if (!fault.empty()) return "repaired, " + fault;
    if (asked != 2) return "the repair was not asked for";
    if (TempLeft(file)) return "the repair left the .tmp file";
    if (CommitState(file) != kVLMCommitClean) return "the repaired file is not clean";
    return CheckFreeSpace(file);
  }

  // Of the files NewFile makes and the components Database makes.
  std::string Password;
  // The connects of those components that told of a cut commit rolled back.
  int RolledBack = 0;
  storage_test::FastRetries Retries;
  qv::test::ScratchFolder Dir;
  RuntimeScope Runtime;
  ScriptedUi Ui;
};

TEST_F(DatabaseRepairTest, TheConnectAsksAndRepairsOnlyWhenToldYes) {
  const std::string repairQuestion =
      "confirm Database file was not correctly closed last time. Do you want to repair it?";
  const std::string convertNotice =
      "information Database file you are opening is of old format. It will be converted to the current Velmoran "
      "Database format now. It is recommended to make a backup of the database before continuing.";
  enum class Handler { None, Yes, No };
  struct Row {
    const char* name;
    double version;
    bool silent;
    bool design;
    Handler handler;
    bool userYes;
    std::vector<std::string> asked;
    bool repaired;
    const char* password = "";
  };
  const Row rows[] = {
      {"the handler says yes", kVLMFormatVersion, false, false, Handler::Yes, false, {}, true},
      {"the handler says no", kVLMFormatVersion, false, false, Handler::No, true, {}, false},
      {"the user says yes", kVLMFormatVersion, false, false, Handler::None, true, {repairQuestion}, true},
      {"the user says no", kVLMFormatVersion, false, false, Handler::None, false, {repairQuestion}, false},
      {"version 2.99 is repaired", 2.99, false, false, Handler::None, true, {repairQuestion}, true},
      {"version 2.98 is converted", 2.98, false, false, Handler::None, false, {convertNotice}, true},
      {"silent mode asks nobody", kVLMFormatVersion, true, false, Handler::Yes, true, {}, false},
      {"design mode asks nobody", kVLMFormatVersion, false, true, Handler::Yes, true, {}, false},
      {"an encrypted file", kVLMFormatVersion, false, false, Handler::Yes, false, {}, true, "secret"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Password = row.password;
    const std::string file = NewFile("log.vlm");
    MarkInterrupted(file, row.version);
    auto database = Database(file);
    database->SilentMode = row.silent;
    VLMSetDesignMode(row.design);
    if (row.handler != Handler::None)
      database->OnNeedRepair = [&](TVLMDatabase&, bool& repair) { repair = row.handler == Handler::Yes; };
    Ui.Yes = row.userYes;
    Ui.Log.clear();
    // The repair's events see the user's file, not the copy it rebuilds from.
    std::vector<std::string> seen;
    auto see = [&](TVLMDatabase& sender) {
      if (seen.empty() || seen.back() != sender.DatabaseFileName()) seen.push_back(sender.DatabaseFileName());
    };
    database->BeforeRepair = see;
    database->OnRepairProgress = [&](TVLMDatabase& sender, int32_t, bool&) { see(sender); };
    database->AfterRepair = see;
    std::vector<bool> done;
    database->OnRepairDone = [&](TVLMDatabase&, bool replaced) { done.push_back(replaced); };
    database->DoConnect();
    EXPECT_EQ(done, row.repaired ? std::vector<bool>{true} : std::vector<bool>{});
    EXPECT_TRUE(database->Connected());
    EXPECT_EQ(Ui.Log, row.asked);
    EXPECT_EQ(seen, row.repaired ? std::vector<std::string>{file} : std::vector<std::string>{});
    EXPECT_EQ(logfile_test::RowsOf("Log"), logfile_test::Expected({1, 2, 3, 4, 5}));
    EXPECT_EQ(logfile_test::RowsOf("Log", "Other"), logfile_test::Expected({1}));
    database->DoDisconnect();
    VLMSetDesignMode(false);
    EXPECT_EQ(CommitState(file), row.repaired ? kVLMCommitClean : kVLMCommitWriting);
    if (row.repaired) {
      double version = 0;
      std::memcpy(&version, Bytes(file).data() + kVLMVersionOffset, sizeof version);
      EXPECT_EQ(version, kVLMFormatVersion);
    }
    EXPECT_FALSE(TempLeft(file));
    database.reset();
    if (!Password.empty()) {
      // The rebuilt file keeps its password.
      Password.clear();
      EXPECT_EQ(RaisedCode([&] { Database(file)->DoConnect(); }), 30445);
    }
    std::filesystem::remove(file);
  }
}

TEST_F(DatabaseRepairTest, RefusalsAndFailuresKeepTheOriginalAndLeaveNoTempFile) {
  struct Row {
    const char* name;
    std::function<void(const std::string& file, TVLMDatabase& database)> arrange;
    int32_t code;            // raised by RepairDatabase; 0: it answers false
    std::string errorStart;  // the start of its error text when it answers
  };
  std::unique_ptr<storage_test::Peer> peer;
  const Row rows[] = {
      {"too little free space", [](const std::string& file,
                                   TVLMDatabase&) { qv::SetFreeDiskSpaceOverride(Bytes(file).size() - 1); },
       20303, ""},
      {"the step before the replace fails",
       [](const std::string&, TVLMDatabase&) {
         VLMSetRepairReplaceHook([](const std::string& temp, const std::string&) {
           EXPECT_TRUE(std::filesystem::exists(temp));
           throw EVLMException(10703, "stopped");
         });
       },
       10703, ""},
      {"the table list cannot be read",
       [](const std::string&, TVLMDatabase& database) {
         // The rebuild reads the copy the repair made.
         database.BeforeRepair = [](TVLMDatabase& sender) { UnreadableTableList::List(sender.ConnectFileName()); };
       },
       30384, ""},
      {"the progress handler stops",
       [](const std::string&, TVLMDatabase& database) {
         database.OnRepairProgress = [](TVLMDatabase&, int32_t, bool& cont) { cont = false; };
       },
       0, "\r\nTerminated by User."},
      {"another process has the file open",
       [&](const std::string& file, TVLMDatabase&) { peer = std::make_unique<storage_test::Peer>(file); }, 0,
       "Cannot repair database file '"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string file = NewFile("log.vlm");
    MarkInterrupted(file);
    auto database = Database(file);
    row.arrange(file, *database);
    const std::vector<uint8_t> before = Bytes(file);
    std::string errorText;
    EXPECT_EQ(RaisedCode([&] { EXPECT_FALSE(database->RepairDatabase(errorText)); }), row.code);
    EXPECT_EQ(errorText.rfind(row.errorStart, 0), 0u) << errorText;
    EXPECT_EQ(Bytes(file), before);
    EXPECT_FALSE(TempLeft(file));
    EXPECT_FALSE(database->Connected());

    // Through the connect: the failure is 20238 and the connect fails; a
    // refusal is a warning and the file opens as it is. Beside another
    // process the connection is let in read-only, which asks nothing and
    // is refused: it cannot repair.
    Ui.Yes = true;
    Ui.Log.clear();
    if (peer) {
      EXPECT_EQ(RaisedCode([&] { database->DoConnect(); }), 10747);
      EXPECT_TRUE(Ui.Log.empty());
      EXPECT_FALSE(database->Connected());
    } else if (row.code != 0) {
      EXPECT_EQ(RaisedCode([&] { database->DoConnect(); }), 20238);
      EXPECT_FALSE(database->Connected());
    } else {
      // Told that the file was not replaced.
      std::vector<bool> done;
      database->OnRepairDone = [&](TVLMDatabase&, bool replaced) { done.push_back(replaced); };
      database->DoConnect();
      ASSERT_EQ(Ui.Log.size(), 2u);
      EXPECT_EQ(Ui.Log[1].rfind("warning " + row.errorStart, 0), 0u) << Ui.Log[1];
      EXPECT_EQ(done, std::vector<bool>{false});
      database->DoDisconnect();
    }
    EXPECT_EQ(CommitState(file), kVLMCommitWriting);
    EXPECT_FALSE(TempLeft(file));
    VLMSetRepairReplaceHook(nullptr);
    qv::SetFreeDiskSpaceOverride(-1);
    peer.reset();
    database.reset();
    std::filesystem::remove(file);
  }
}

TEST_F(DatabaseRepairTest, TheRepairShowsTheWaitWindowWhoseAbortStopsIt) {
  VLMChangeRetrySettings().WaitShowDelayMs = 0;
  for (const bool abort : {false, true}) {
    SCOPED_TRACE(abort);
    const std::string file = NewFile("log.vlm");
    MarkInterrupted(file);
    const std::vector<uint8_t> before = Bytes(file);
    Ui.Yes = true;
    Ui.AbortWhenShown = abort;
    Ui.Log.clear();
    auto database = Database(file);
    database->DoConnect();
    std::vector<std::string> expected = {
        "confirm Database file was not correctly closed last time. Do you want to repair it?",
        "show Repairing Database...", "hide"};
    if (abort) expected.push_back("warning \r\nTerminated by User.");
    EXPECT_EQ(Ui.Log, expected);
    database->DoDisconnect();
    if (abort) {
      EXPECT_EQ(Bytes(file), before);
    } else {
      EXPECT_EQ(CommitState(file), kVLMCommitClean);
    }
    EXPECT_FALSE(TempLeft(file));
    database.reset();
    std::filesystem::remove(file);
  }
}

// With its journal, every stopped commit opens clean without a question,
// also read-only (reading around it) and shared beside another connection;
// a copy of the file without the journal (lost, or left behind by a copy
// made by hand) opens clean or is repaired to every committed row, and is
// refused read-only.
TEST_F(DatabaseRepairTest, EveryStopOfACommitOpensCleanAndWithoutItsJournalOpensCleanOrRepairs) {
  const std::string base = Dir.File("base.vlm");
  {
    auto maker = logfile_test::Database(base, "Maker");
    logfile_test::MakeLog("Maker", kCrashRows);
    logfile_test::MakeLog("Maker", 1, "Other");
  }
  struct Operation {
    std::string Name;
    int64_t Stops = 0;
  };
  std::vector<Operation> ops = {{"append"}, {"create"}};
  const std::string work = Dir.File("work.vlm");
  for (Operation& op : ops) {
    ASSERT_TRUE(qv::CopyFile(base, work, false));
    ASSERT_EQ(storage_test::RunHelper("engine_repaircrash", {work, op.Name, "0"}), 0) << op.Name;
    std::ifstream(work + ".count") >> op.Stops;
    ASSERT_GT(op.Stops, 2) << op.Name;
    bool repaired = false;
    EXPECT_EQ(CheckStoppedCommit(work, repaired), "") << op.Name << " completed";
    EXPECT_FALSE(repaired);
    EXPECT_EQ(RolledBack, 0) << op.Name << " completed";
  }
  const std::vector<uint8_t> baseBytes = Bytes(base);
  std::vector<std::pair<size_t, int64_t>> stops;
  for (size_t o = 0; o < ops.size(); ++o)
    for (int64_t k = 1; k <= ops[o].Stops; ++k) stops.emplace_back(o, k);
  std::shuffle(stops.begin(), stops.end(), std::mt19937(20261207));
  int repairs = 0;
  auto budget = qv::test::TestBudget::Steps(stops.size(), 25);
  for (uint64_t i = 0; i < stops.size() && budget.Continue(i); ++i) {
    const Operation& op = ops[stops[i].first];
    const std::string what = op.Name + " stopped before write " + std::to_string(stops[i].second);
    ASSERT_TRUE(qv::CopyFile(base, work, false));
    ASSERT_EQ(storage_test::RunHelper("engine_repaircrash", {work, op.Name, std::to_string(stops[i].second)}), 99)
        << what;
    const std::string lost = Dir.File("lost.vlm");
    ASSERT_TRUE(qv::CopyFile(work, lost, false));
    ASSERT_EQ(OtherOpensFault(lost, false), "") << what << " without its journal";
    // A repair asked for over a file with its journal rebuilds the rows
    // of the last finished commit.
    const std::string rebuilt = Dir.File("rebuilt.vlm");
    ASSERT_TRUE(qv::CopyFile(work, rebuilt, false));
    if (qv::FileExists(VLMJournalFileName(work))) {
      ASSERT_TRUE(qv::CopyFile(VLMJournalFileName(work), VLMJournalFileName(rebuilt), false));
    }
    {
      const bool unfinished = CommitState(work) == kVLMCommitWriting;
      auto database = Database(rebuilt);
      std::string errorText;
      ASSERT_TRUE(database->RepairDatabase(errorText)) << what << ": " << errorText;
      database->DoConnect();
      ASSERT_EQ(CheckTables(), "") << what << " repaired with its journal";
      // An unfinished commit is taken back whole: no new row, no new table.
      if (unfinished) {
        EXPECT_EQ(logfile_test::RowsOf("Log").size(), static_cast<size_t>(kCrashRows)) << what;
        EXPECT_FALSE(logfile_test::Table("Log", "Second")->Exists()) << what;
      }
    }
    // The connect whose open rolls the cut commit back tells it, once; the
    // next connect does not.
    {
      const std::string rolled = Dir.File("rolled.vlm");
      ASSERT_TRUE(qv::CopyFile(work, rolled, false));
      if (qv::FileExists(VLMJournalFileName(work))) {
        ASSERT_TRUE(qv::CopyFile(VLMJournalFileName(work), VLMJournalFileName(rolled), false));
      }
      const bool cut = CommitState(rolled) == kVLMCommitWriting && qv::FileExists(VLMJournalFileName(rolled));
      const std::vector<uint8_t> stopped = Bytes(rolled);
      const bool landed = !std::equal(stopped.begin() + kVLMChangeCounterOffset, stopped.begin() + kVLMChangeCounterOffset + 4,
                                      baseBytes.begin() + kVLMChangeCounterOffset);
      RolledBack = 0;
      Database(rolled)->DoConnect();
      // A commit that did not land leaves the file as long as before it,
      // also one whose growth of the file was cut before its journal.
      if (!landed) {
        EXPECT_EQ(Bytes(rolled).size(), baseBytes.size()) << what;
      }
      EXPECT_EQ(RolledBack, cut ? 1 : RolledBack) << what;
      EXPECT_LE(RolledBack, Bytes(rolled) != stopped ? 1 : 0) << what;
      Database(rolled)->DoConnect();
      EXPECT_LE(RolledBack, 1) << what;
      qv::DeleteFile(VLMJournalFileName(rolled));
    }
    ASSERT_EQ(OtherOpensFault(work, true), "") << what;
    bool repaired = false;
    ASSERT_EQ(CheckStoppedCommit(work, repaired), "") << what;
    ASSERT_FALSE(repaired) << what;
    RolledBack = 0;
    ASSERT_EQ(CheckStoppedCommit(lost, repaired), "") << what << " without its journal";
    EXPECT_EQ(RolledBack, 0) << what << " without its journal";
    repairs += repaired;
  }
  EXPECT_GT(repairs, 0);
}

TEST_F(DatabaseRepairTest, DamagedFilesAreRepairedOrRefusedAndAFailedRepairLeavesTheFileAsItWas) {
  const std::string base = Dir.File("base.vlm");
  {
    auto maker = logfile_test::Database(base, "Maker");
    logfile_test::MakeLog("Maker", kCrashRows);
    logfile_test::MakeLog("Maker", 1, "Other");
  }
  const std::vector<uint8_t> clean = Bytes(base);
  const std::string work = Dir.File("work.vlm");
  std::mt19937 random(20261208);
  int repaired = 0;
  int failed = 0;
  auto budget = qv::test::TestBudget::Steps(300, 25);
  for (uint64_t i = 0; budget.Continue(i); ++i) {
    // A few bytes changed anywhere past the header's commit state, and the
    // commit marked interrupted so that the connect asks for the repair.
    std::vector<uint8_t> damaged = clean;
    const int count = 1 + static_cast<int>(random() % 16);
    for (int n = 0; n < count; ++n) {
      const size_t at = kVLMCommitStateOffset + 1 + random() % (damaged.size() - kVLMCommitStateOffset - 1);
      damaged[at] = static_cast<uint8_t>(random());
    }
    damaged[kVLMCommitStateOffset] = kVLMCommitWriting;
    {
      std::ofstream out(work, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
    }
    const std::string what = "damage " + std::to_string(i);
    bool replaced = false;
    {
      auto database = Database(work);
      std::string errorText;
      try {
        replaced = database->RepairDatabase(errorText);
      } catch (const std::exception&) {
        // An error is an answer; what it leaves behind is checked below.
      }
    }
    ASSERT_FALSE(TempLeft(work)) << what;
    if (!replaced) {
      ++failed;
      ASSERT_TRUE(Bytes(work) == damaged) << what;
    } else {
      ++repaired;
      ASSERT_EQ(CommitState(work), kVLMCommitClean) << what;
    }
    // The connect asks (a file left damaged) or not (a rebuilt one), and
    // ends connected or with an error.
    auto database = Database(work);
    int asked = 0;
    database->OnNeedRepair = [&](TVLMDatabase&, bool& repair) {
      ++asked;
      repair = true;
    };
    try {
      database->DoConnect();
      database->DoDisconnect();
    } catch (const std::exception&) {
    }
    if (replaced) {
      EXPECT_EQ(asked, 0) << what;
    }
    ASSERT_FALSE(TempLeft(work)) << what;
  }
  // Which outcomes a short run meets depends on the machine's speed.
  RecordProperty("repaired", repaired);
  RecordProperty("failed", failed);
}

// Every record, BLOB and index page of a table overwritten with zeros (the
// record pages also with noise, their first slots marked free, and their
// slots past the bitmap made letters, so that no text ends in its field): each read of the table (SELECT, an index
// range, a walk in natural and in index order) returns every row as written
// or raises an engine error, never fewer rows in silence, while COUNT(*)
// counts every row or raises. The repair then saves the rows of every other
// page.
TEST_F(DatabaseRepairTest, AReadOverADamagedPageRaisesAndTheRepairSavesTheOtherPages) {
  constexpr int kDamageRows = 400;
  const std::string base = Dir.File("base.vlm");
  MakeFilledLog(base, kDamageRows);
  const std::vector<uint8_t> clean = Bytes(base);
  std::vector<int> ids;
  for (int id = 1; id <= kDamageRows; ++id) ids.push_back(id);
  const std::vector<std::string> expected = logfile_test::Expected(ids);
  // What a read gives of a row: "ID Call", and the notes for SELECT *.
  auto rowOf = [](qv::DataSet& data, bool notes) {
    return data.FieldByName("ID")->AsString() + " " + data.FieldByName("Call")->AsString() +
           (notes ? " " + data.FieldByName("Notes")->AsString() : "");
  };
  std::vector<std::string> expectedShort;
  for (int id : ids) expectedShort.push_back(std::to_string(id) + " C" + std::to_string(id));
  enum Kind { kZeros, kNoise, kSlots, kTexts };
  struct Damage {
    int64_t At;
    uint16_t Type;
    Kind How;
  };
  std::vector<Damage> damages;
  std::vector<int64_t> recordPages;
  for (int64_t at = kVLMFirstPagePosition; at + 1024 <= static_cast<int64_t>(clean.size()); at += 1024) {
    const uint16_t type = VLMGetU16LE(clean.data() + at + kVLMPageTypeOffset);
    if (type >= kVLMPageTableRecord && type <= kVLMPageTableIndex) damages.push_back({at, type, kZeros});
    if (type != kVLMPageTableRecord) continue;
    recordPages.push_back(at);
    damages.push_back({at, type, kNoise});
    damages.push_back({at, type, kSlots});
    damages.push_back({at, type, kTexts});
  }
  ASSERT_GT(recordPages.size(), 5u);
  // The repair is tried on the first, a middle and the last record page.
  const std::set<int64_t> repaired = {recordPages.front(), recordPages[recordPages.size() / 2], recordPages.back()};

  // The rows a read gives, or "raised <code>" for an engine error.
  using Rows = std::vector<std::string>;
  auto outcome = [](const std::function<Rows()>& read) -> Rows {
    try {
      return read();
    } catch (const EVLMException& e) {
      return {"raised " + std::to_string(e.NativeError)};
    } catch (const std::exception& e) {
      return {std::string("raised no engine error: ") + e.what()};
    }
  };
  auto select = [&](const std::string& sql, bool notes) {
    TVLMQuery query;
    query.SetDatabaseName("Log");
    query.SetSQL(sql);
    query.Open();
    Rows rows;
    for (query.First(); !query.Eof(); query.Next()) rows.push_back(rowOf(query, notes));
    return rows;
  };
  auto count = [] {
    TVLMQuery query;
    query.SetDatabaseName("Log");
    query.SetSQL("SELECT COUNT(*) AS n FROM QsoLog");
    query.Open();
    return Rows{query.FieldByName("n")->AsString()};
  };
  auto walk = [&](const std::string& index) {
    auto table = logfile_test::Table("Log");
    table->SetIndexName(index);
    table->Open();
    Rows rows;
    for (table->First(); !table->Eof(); table->Next()) rows.push_back(rowOf(*table, false));
    return rows;
  };
  struct Read {
    std::string Name;
    std::function<Rows()> Run;
    const Rows& Expected;
  };
  const Read reads[] = {
      {"SELECT *", [&] { return select("SELECT * FROM QsoLog", true); }, expected},
      {"SELECT by an index range", [&] { return select("SELECT * FROM QsoLog WHERE ID > 0", false); },
       expectedShort},
      {"natural walk", [&] { return walk(""); }, expectedShort},
      {"walk by ByCall", [&] {
         Rows rows = walk("ByCall");
         std::sort(rows.begin(), rows.end(), [](const std::string& a, const std::string& b) {
           return std::stoi(a) < std::stoi(b);
         });
         return rows;
       },
       expectedShort}};
  const std::string work = Dir.File("work.vlm");
  std::mt19937 random(20261208);
  std::map<std::string, int> raised;
  auto budget = qv::test::TestBudget::Steps(damages.size(), 25);
  uint64_t round = 0;
  for (; round < damages.size() && budget.Continue(round); ++round) {
    const auto [at, type, how] = damages[round];
    std::vector<uint8_t> damaged = clean;
    if (how == kSlots)  // the bitmap's first two bytes, past the page header
      std::fill_n(damaged.begin() + at + kVLMPageHeaderSize, 2, 0);
    else if (how == kTexts)  // past a bitmap of up to 64 slots
      std::fill(damaged.begin() + at + kVLMPageHeaderSize + 8, damaged.begin() + at + 1024, 'A');
    else
      for (int64_t b = 0; b < 1024; ++b)
        damaged[static_cast<size_t>(at + b)] = how == kNoise ? static_cast<uint8_t>(random()) : 0;
    {
      std::ofstream out(work, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
    }
    const std::string what = std::string(how == kZeros   ? "zeros"
                                         : how == kNoise ? "noise"
                                         : how == kSlots ? "free slots"
                                                         : "texts without their end") +
                             " over page type " + std::to_string(type) + " at " + std::to_string(at);
    {
      auto database = Database(work);
      database->SilentMode = true;
      database->DoConnect();
      const Rows counted = outcome(count);
      EXPECT_TRUE(counted[0] == std::to_string(kDamageRows) || counted[0].rfind("raised 1", 0) == 0 ||
                  counted[0].rfind("raised 2", 0) == 0)
          << what << ", COUNT(*): " << counted[0];
      for (const Read& read : reads) {
        const Rows rows = outcome(read.Run);
        if (rows.size() == 1 && rows[0].rfind("raised ", 0) == 0) {
          ++raised[rows[0]];
          EXPECT_EQ(rows[0].find("no engine"), std::string::npos) << what << ", " << read.Name << ": " << rows[0];
        } else {
          EXPECT_EQ(rows.size(), read.Expected.size()) << what << ", " << read.Name;
          EXPECT_TRUE(rows == read.Expected) << what << ", " << read.Name;
        }
      }
    }
    if (how != kZeros || !repaired.contains(at)) continue;
    // The repair keeps every row of the other record pages, and names the
    // page it leaves out.
    std::string errorText;
    {
      auto database = Database(work);
      ASSERT_TRUE(database->RepairDatabase(errorText)) << what << ": " << errorText;
    }
    auto database = Database(work);
    database->DoConnect();
    const Rows rows = outcome([&] { return select("SELECT * FROM QsoLog", true); });
    ASSERT_FALSE(rows.empty()) << what;
    ASSERT_NE(rows[0].rfind("raised ", 0), 0u) << what << ", after the repair: " << rows[0];
    EXPECT_EQ(outcome(count)[0], std::to_string(rows.size())) << what;
    EXPECT_GE(rows.size(), expected.size() - 60) << what;
    if (type == kVLMPageTableRecord) {
      EXPECT_EQ(errorText, LostPageText((at - kVLMFirstPagePosition) / 1024, expected.size() - rows.size())) << what;
    }
    EXPECT_TRUE(std::includes(expected.begin(), expected.end(), rows.begin(), rows.end(),
                              [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); }))
        << what;
  }
  RecordProperty("damages", static_cast<int>(damages.size()));
  RecordProperty("rounds", static_cast<int>(round));
  for (const auto& [code, n] : raised) RecordProperty(code, n);
}

// A file of two log tables (100 and 50 rows, their commit marked cut) whose
// notes are BLOBs: small ones and, every twelfth row, one of pages of its
// own. Rows: by table and ID; Records and Notes: the rows whose record or
// note lies on each page, read from the sound file.
using TableRow = std::pair<std::string, int>;
struct SweepFile {
  std::vector<uint8_t> Clean;
  std::map<std::string, std::map<int, std::string>> Rows;
  std::map<int32_t, std::set<TableRow>> Records, Notes;
};

SweepFile MakeSweepFile(const std::string& file, const std::string& password) {
  SweepFile made;
  {
    auto maker = logfile_test::Database(file, "Maker", password, password.empty() ? 0 : 3);
    for (const auto& [name, count] : {TableRow{"QsoLog", 100}, TableRow{"Other", 50}}) {
      auto table = logfile_test::Table("Maker", name);
      logfile_test::DefineLog(*table);
      table->CreateTable();
      table->Open();
      for (int id = 1; id <= count; ++id) {
        std::string note = "note " + std::to_string(id);
        for (std::mt19937 letters(id); id % 12 == 0 && note.size() < 1500;)
          note += static_cast<char>('a' + letters() % 26);
        table->Append();
        table->FieldByName("Call")->SetAsString("C" + std::to_string(id));
        table->FieldByName("Notes")->SetAsString(note);
        table->Post();
        made.Rows[name][id] = std::to_string(id) + " C" + std::to_string(id) + " " + note;
      }
    }
  }
  auto database = disk_test::NewDiskDatabase(file);
  database->PasswordRecord.Password = password;
  disk_test::DiskSession session(database.get());
  session.Connect();
  for (const auto& [name, rows] : made.Rows) {
    disk_test::DiskCursor cursor(*database, session, name);
    cursor.Open();
    for (cursor.SetToBegin(); cursor.GetRecord(1) == kVLMNavOK;) {
      std::lock_guard guard(database->CriticalSection());
      const TableRow row{name, static_cast<int>(*cursor.Int(0))};
      made.Records[static_cast<int32_t>(cursor.Position.RecordID.Page)].insert(row);
      TVLMBlobCacheEntry* entry = nullptr;
      TVLMBlobReference note;
      cursor.Table().BlobManager()->GetBlobRef(cursor.RecordBuffer, 2, entry, note);
      std::vector<int32_t> pages{static_cast<int32_t>(note.PageNo)}, list;
      if (note.ID == kVLMLargeBlobID)
        cursor.Table().BlobManager()->LargeBlobPages(cursor.SessionID(), note.PageNo, pages, list, false);
      pages.insert(pages.end(), list.begin(), list.end());
      for (int32_t page : pages) made.Notes[page].insert(row);
    }
  }
  session.Disconnect();
  MarkInterrupted(file);
  made.Clean = Bytes(file);
  return made;
}

// Every page of that file, encrypted and not, with each damage in turn,
// repaired twice. The repair refuses, leaving the file as it was, only over
// what holds no row (the file's own structures, or a table's definitions
// whose data is damaged, naming the table and the page); else every table
// is kept, and every row but those of the damaged page; those it does not
// keep it names (a record page left out with the rows its table listed on
// it, a note copied as Null, a row not copied). Encrypted, a page whose data
// is damaged loses exactly its rows or notes; any page whose header alone is
// damaged loses nothing. The second repair mends nothing more.
TEST_F(DatabaseRepairTest, ARepairKeepsEveryTableAndRowItCanReadAndNamesTheRest) {
  enum How { kFlip, kBytes, kZeros, kNoise };
  struct Kind {
    const char* Name;
    int32_t From, To;  // the bytes of the page it changes
    How Change;
  };
  constexpr int32_t kListEntry = kVLMPageHeaderSize + kVLMInternalFileHeadSize;  // the first table's entry
  const Kind kinds[] = {{"a bit of the data", kVLMPageHeaderSize, 1024, kFlip},
                        {"a bit of the data's head (a slot bitmap)", kVLMPageHeaderSize, kVLMPageHeaderSize + 2, kFlip},
                        {"bytes of the data", kVLMPageHeaderSize, 1024, kBytes},
                        {"the stored CRC", kVLMPageCRCOffset, kVLMPageCRCOffset + 4, kFlip},
                        {"the cipher byte", kVLMPageCipherIdOffset, kVLMPageCipherIdOffset + 1, kFlip},
                        {"the signature", kVLMPageMagicOffset, kVLMPageMagicOffset + 4, kFlip},
                        {"the write counter", kVLMPageWriteCounterOffset, kVLMPageWriteCounterOffset + 4, kFlip},
                        {"the page type", kVLMPageTypeOffset, kVLMPageTypeOffset + 2, kFlip},
                        {"the next page", kVLMPageNextOffset, kVLMPageNextOffset + 4, kFlip},
                        {"the owner table", kVLMPageOwnerTableOffset, kVLMPageOwnerTableOffset + 4, kFlip},
                        {"the owner field", kVLMPageOwnerFieldOffset, kVLMPageOwnerFieldOffset + 4, kFlip},
                        {"the owner word", kVLMPageOwnerWordOffset, kVLMPageOwnerWordOffset + 2, kFlip},
                        {"zeros", 0, 1024, kZeros},
                        {"noise", 0, 1024, kNoise},
                        {"the definitions' page in the table list", kListEntry + 260, kListEntry + 264, kFlip},
                        {"the counters' page in the table list", kListEntry + 264, kListEntry + 268, kFlip},
                        {"the lock file's page in the table list", kListEntry + 268, kListEntry + 272, kFlip}};
  const std::string passwords[] = {"", "secret"};
  std::vector<SweepFile> files;
  for (const std::string& password : passwords)
    files.push_back(MakeSweepFile(Dir.File("sweep" + password + ".vlm"), password));
  std::vector<std::tuple<size_t, int64_t, const Kind*>> damages;
  for (size_t f = 0; f < files.size(); ++f)
    for (int64_t at = kVLMFirstPagePosition; at + 1024 <= static_cast<int64_t>(files[f].Clean.size()); at += 1024)
      for (const Kind& kind : kinds) {
        // The table list's page numbers: a few bits of each, on its page.
        const bool list = VLMGetU16LE(files[f].Clean.data() + at + kVLMPageTypeOffset) == kVLMPageTableList;
        for (int n = 0; n < (kind.From < kListEntry ? 1 : list ? 4 : 0); ++n) damages.emplace_back(f, at, &kind);
      }
  std::mt19937 random(20261209);
  // A run cut short by its budget still meets every kind on pages all over.
  std::shuffle(damages.begin(), damages.end(), random);
  // Every run first meets, on the first page of its type, each damage that
  // the repair must read past (or refuse over, the file unchanged) and that
  // would otherwise cost a table or rows: unencrypted (0) or encrypted (1).
  const std::tuple<uint16_t, std::string_view, size_t> firsts[] = {
      {kVLMPageTableLocks, "the page type", 0},
      {kVLMPageTableMetaData, "the page type", 0},
      {kVLMPageTableMetaData, "the stored CRC", 1},
      {kVLMPageTableMetaData, "a bit of the data", 1},
      {kVLMPageTableMostUpdated, "a bit of the data", 1},
      {kVLMPageTableRecord, "the page type", 0},
      {kVLMPageTableRecord, "the owner table", 1},
      {kVLMPageTableRecord, "a bit of the data's head (a slot bitmap)", 0},
      {kVLMPageTableBlob, "the page type", 0},
      {kVLMPageTableBlob, "the stored CRC", 1}};
  for (auto it = std::rbegin(firsts); it != std::rend(firsts); ++it) {
    const auto& [type, name, f] = *it;
    int64_t at = kVLMFirstPagePosition;
    while (VLMGetU16LE(files[f].Clean.data() + at + kVLMPageTypeOffset) != type) at += 1024;
    const Kind* kind = std::find_if(std::begin(kinds), std::end(kinds), [&](const Kind& k) { return k.Name == name; });
    damages.emplace(damages.begin(), f, at, kind);
  }
  const std::string work = Dir.File("work.vlm");
  std::map<std::string, int> outcomes;
  auto budget = qv::test::TestBudget::Steps(damages.size(), 25);
  uint64_t round = 0;
  for (; round < damages.size() && budget.Continue(round); ++round) {
    const auto [f, at, kind] = damages[round];
    const SweepFile& file = files[f];
    Password = passwords[f];
    const bool encrypted = !Password.empty();
    const uint16_t type = VLMGetU16LE(file.Clean.data() + at + kVLMPageTypeOffset);
    const int32_t pageNo = static_cast<int32_t>((at - kVLMFirstPagePosition) / 1024);
    std::vector<uint8_t> damaged = file.Clean;
    for (int32_t b = 0; b < 1024; ++b) {
      uint8_t& byte = damaged[static_cast<size_t>(at + b)];
      if (kind->Change == kZeros || kind->Change == kNoise) byte = kind->Change == kZeros ? 0 : random() & 0xFF;
      else if (kind->Change == kBytes && b >= kind->From && random() % 100 < 2) byte = random() & 0xFF;
    }
    if (kind->Change == kFlip)
      damaged[static_cast<size_t>(at + kind->From + random() % (kind->To - kind->From))] ^=
          static_cast<uint8_t>(1u << random() % 8);
    std::ofstream(work, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
    const std::string what = std::string(kind->Name) + " of page " + std::to_string(pageNo) + " (type " +
                             std::to_string(type) + (encrypted ? ", encrypted)" : ")");
    const bool headerOnly = kind->To <= kVLMPageHeaderSize;
    std::string errorText;
    bool repaired = false;
    const int32_t code = RaisedCode([&] { repaired = Database(work)->RepairDatabase(errorText); });
    ++outcomes[std::string(repaired ? "repaired: " : "refused: ") + std::to_string(type) + ", " + kind->Name];
    if (!repaired) {
      EXPECT_TRUE(Bytes(work) == damaged && !TempLeft(work)) << what << ": the refused repair changed the file";
      // In the table list, the page numbers of a table's counters and locks
      // name pages the repair makes anew.
      const bool mayRefuse = type == kVLMPageTableMetaData
                                 ? !headerOnly
                                 : type >= kVLMPageEAM && type <= kVLMPageTableList &&
                                       (encrypted || kind->From < kListEntry + 264);
      EXPECT_TRUE(mayRefuse) << what << ": refused (" << code << ") " << errorText;
      if (type == kVLMPageTableMetaData) {
        EXPECT_NE(errorText.find("at page " + std::to_string(pageNo) + " cannot be read"), std::string::npos)
            << what << ": " << errorText;
      }
      continue;
    }
    auto rowsOf = [&] {
      std::map<std::string, std::map<int, std::string>> kept;
      auto database = Database(work);
      database->DoConnect();
      for (const auto& [name, rows] : file.Rows)
        for (const std::string& row : logfile_test::RowsOf("Log", name)) kept[name][std::stoi(row)] = row;
      return kept;
    };
    std::map<std::string, std::map<int, std::string>> kept;
    ASSERT_EQ(RaisedCode([&] { kept = rowsOf(); }), 0) << what << ": a table is lost. " << errorText;
    EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(work, Password), std::vector<std::string>{}) << what;
    // What the repair names, by table: rows of pages left out or kept short,
    // notes copied as Null, rows not copied.
    std::map<std::string, int64_t> named, nulls;
    std::istringstream lines(errorText);
    for (std::string line; std::getline(lines, line);) {
      long long listed = 0, held = 0;
      const size_t quote = line.find_first_of("'\"");
      if (quote == std::string::npos) {
        EXPECT_TRUE(line.empty() || line == "\r") << what << ": the repair says " << line;
        continue;
      }
      const std::string table = line.substr(quote + 1, line.find(line[quote], quote + 1) - quote - 1);
      const size_t n = line.find("index listed ");
      if (n != std::string::npos && line.find("left out") != std::string::npos)
        named[table] += std::stoll(line.substr(n + 13));
      else if (std::sscanf(line.c_str() + std::min(line.find(" holds "), line.size()),
                           " holds %lld rows where the table's page index listed %lld", &held, &listed) == 2)
        named[table] += std::max(listed - held, 0LL);
      else if (line.find("was copied with Null value") != std::string::npos)
        ++nulls[table];
      else if (line.find("was not imported") != std::string::npos)
        ++named[table];
      else
        ADD_FAILURE() << what << ": the repair says " << line;
    }
    EXPECT_TRUE(!headerOnly || errorText.empty()) << what << ": " << errorText;
    for (const auto& [name, rows] : file.Rows) {
      // Only rows whose record or note lies on a page whose data is damaged
      // may be missing or differ.
      std::set<int> onPage, ofRecords;
      for (const auto* pages : {&file.Records, &file.Notes})
        if (auto it = pages->find(pageNo); !headerOnly && it != pages->end())
          for (const auto& [table, id] : it->second)
            if (table == name) (pages == &file.Records ? ofRecords : onPage).insert(id);
      onPage.insert(ofRecords.begin(), ofRecords.end());
      std::set<int> missing;
      int64_t extra = 0, nulled = 0;
      const std::map<int, std::string>& got = kept[name];
      for (const auto& [id, row] : rows) {
        auto it = got.find(id);
        if (it != got.end() && it->second == row) continue;
        EXPECT_TRUE(onPage.contains(id)) << what << ": " << name << " row " << id << " is lost. " << errorText;
        if (it == got.end()) missing.insert(id);
        else if (it->second == std::to_string(id) + " C" + std::to_string(id) + " ") ++nulled;
        // Unencrypted pages carry no check: their data reads as it is.
        else EXPECT_FALSE(encrypted) << what << ": " << name << " row " << id << " reads " << it->second;
      }
      for (const auto& [id, row] : got) extra += rows.contains(id) ? 0 : 1;
      EXPECT_LE(static_cast<int64_t>(missing.size()), named[name] + extra) << what << ": " << name << ". " << errorText;
      if (encrypted) {
        EXPECT_EQ(extra, 0) << what << ": " << name;
        EXPECT_EQ(nulled, nulls[name]) << what << ": " << name << ". " << errorText;
        EXPECT_TRUE(missing.empty() || missing == ofRecords) << what << ": " << name << ". " << errorText;
        EXPECT_EQ(static_cast<int64_t>(missing.size()), named[name]) << what << ": " << name << ". " << errorText;
      }
    }
    std::string again;
    ASSERT_TRUE(Database(work)->RepairDatabase(again)) << what << ": " << again;
    EXPECT_EQ(again, "") << what;
    EXPECT_TRUE(rowsOf() == kept) << what << ": the second repair changed the rows";
    EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(work, Password), std::vector<std::string>{}) << what;
  }
  RecordProperty("rounds", static_cast<int>(round));
  for (const auto& [what, n] : outcomes) RecordProperty(what, n);
}

// A file cut short (its header counts pages past its end), encrypted and
// not, cut at a page's edge and inside one: the repair keeps both tables
// and every row whose record and note pages lie before the cut, and names
// what it leaves out; the repaired file is whole, and the next row added
// takes no ID a row left out had.
TEST_F(DatabaseRepairTest, AFileCutShortKeepsEveryTableAndEveryRowBeforeTheCut) {
  int repairs = 0;
  for (const std::string& password : {std::string(), std::string("secret")}) {
    Password = password;
    const SweepFile file = MakeSweepFile(Dir.File("cut" + password + ".vlm"), password);
    const int64_t size = static_cast<int64_t>(file.Clean.size());
    for (const int64_t cut : {size / 2, size - 1000, kVLMFirstPagePosition + (size / 1024 * 3 / 4) * 1024}) {
      const std::string what = "cut at " + std::to_string(cut) + (password.empty() ? "" : ", encrypted");
      const std::string work = Dir.File("work.vlm");
      std::ofstream(work, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(file.Clean.data()), static_cast<std::streamsize>(cut));
      std::string errorText;
      bool repaired = false;
      ASSERT_EQ(RaisedCode([&] { repaired = Database(work)->RepairDatabase(errorText); }), 0) << what;
      if (!repaired) {
        // Only a table whose definitions the cut reached refuses the
        // repair, which leaves the file as it was.
        EXPECT_NE(errorText.find("Native error: 10920"), std::string::npos) << what << ": " << errorText;
        EXPECT_EQ(Bytes(work).size(), static_cast<size_t>(cut)) << what;
        continue;
      }
      ++repairs;
      EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(work, Password), std::vector<std::string>{}) << what;
      const int32_t firstCut = static_cast<int32_t>((cut - kVLMFirstPagePosition) / 1024);
      auto database = Database(work);
      database->DoConnect();
      for (const auto& [name, rows] : file.Rows) {
        std::set<int> lost;
        for (const auto* pages : {&file.Records, &file.Notes})
          for (const auto& [page, held] : *pages)
            for (const auto& [table, id] : held)
              if (page >= firstCut && table == name) lost.insert(id);
        std::map<int, std::string> kept;
        if (!database->TableExists(name)) {
          // Left out only when nothing of it lies before the cut.
          EXPECT_EQ(lost.size(), rows.size()) << what << ": " << name << " is lost. " << errorText;
        } else {
          for (const std::string& row : logfile_test::RowsOf("Log", name)) kept[std::stoi(row)] = row;
        }
        for (const auto& [id, row] : rows) {
          if (lost.contains(id)) continue;
          EXPECT_EQ(kept[id], row) << what << ": " << name << " row " << id;
        }
        EXPECT_EQ(kept.size() < rows.size(), errorText.find("'" + name + "'") != std::string::npos)
            << what << ": " << errorText;
        if (kept.empty()) continue;
        // The IDs of the rows left out are never handed out again.
        auto table = logfile_test::Table("Log", name);
        table->Open();
        logfile_test::AddRows(*table, 1, 1000);
        table->Last();
        EXPECT_EQ(table->FieldByName("ID")->AsInteger(), static_cast<int64_t>(rows.size()) + 1) << what << ": " << name;
      }
    }
  }
  EXPECT_GE(repairs, 4);
}

// Random bytes (8 or 32, at random places) over the page-index leaf that
// lists the record pages of a 400-row table: SELECT *, a search and a walk
// give every row or raise a damage error, never fewer rows in silence, and
// an UPDATE of every row counts them all or raises.
TEST_F(DatabaseRepairTest, ADamagedPageIndexLeafRaisesOrGivesEveryRow) {
  constexpr int kIndexRows = 400;
  const std::string base = Dir.File("index.vlm");
  {
    auto maker = logfile_test::Database(base, "Maker");
    maker->DoConnect();
    TVLMQuery query;
    query.SetDatabaseName("Maker");
    std::string sql = "CREATE TABLE t (id INTEGER, n INTEGER, name VARCHAR(40)); INSERT INTO t VALUES ";
    for (int id = 1; id <= kIndexRows; ++id)
      sql += (id > 1 ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(id % 7) + ", 'row " +
             std::to_string(id) + "')";
    query.SetSQL(sql);
    query.ExecSQL();
  }
  const std::vector<uint8_t> clean = Bytes(base);
  // The leaf: a root leaf of page numbers (4-byte keys) whose first entry
  // names a record page.
  int64_t leaf = -1;
  for (int64_t at = kVLMFirstPagePosition; at + 1024 <= static_cast<int64_t>(clean.size()); at += 1024) {
    const uint8_t* head = clean.data() + at + kVLMPageHeaderSize;
    if (VLMGetU16LE(clean.data() + at + kVLMPageTypeOffset) != kVLMPageTableIndex ||
        head[kVLMBTreeIsRootOffset] != 1 || head[kVLMBTreeIsLeafOffset] != 1 ||
        VLMGetU16LE(head + kVLMBTreeKeySizeOffset) != 4 || VLMGetU16LE(head + kVLMBTreeEntryCountOffset) == 0)
      continue;
    const int32_t first = VLMGetI32LE(head + kVLMBTreeHeadSize);
    const int64_t page = kVLMFirstPagePosition + static_cast<int64_t>(first) * 1024;
    if (VLMGetU16LE(clean.data() + page + kVLMPageTypeOffset) == kVLMPageTableRecord) leaf = at;
  }
  ASSERT_GE(leaf, 0);
  ASSERT_GT(VLMGetU16LE(clean.data() + leaf + kVLMPageHeaderSize + kVLMBTreeEntryCountOffset), 10);

  using Rows = std::vector<std::string>;
  auto select = [](const std::string& sql) {
    TVLMQuery query;
    query.SetDatabaseName("Log");
    query.SetSQL(sql);
    query.Open();
    Rows rows;
    for (query.First(); !query.Eof(); query.Next()) {
      std::string row;
      for (int32_t i = 0; i < query.FieldCount(); ++i)
        row += (i > 0 ? "|" : "") + query.GetFields()[i]->AsString();
      rows.push_back(row);
    }
    return rows;
  };
  auto update = [] {
    TVLMQuery query;
    query.SetDatabaseName("Log");
    query.SetSQL("UPDATE t SET n = -1");
    query.ExecSQL();
    return Rows{std::to_string(query.RowsAffected())};
  };
  auto walk = [] {
    auto table = logfile_test::Table("Log", "t");
    table->Open();
    Rows rows;
    for (table->First(); !table->Eof(); table->Next())
      rows.push_back(table->FieldByName("id")->AsString() + "|" + table->FieldByName("n")->AsString() + "|" +
                     table->FieldByName("name")->AsString());
    return rows;
  };
  Rows all;
  for (int id = 1; id <= kIndexRows; ++id)
    all.push_back(std::to_string(id) + "|" + std::to_string(id % 7) + "|row " + std::to_string(id));
  struct Read {
    const char* Name;
    std::function<Rows()> Run;
    Rows Expected;
  };
  const Read reads[] = {
      {"SELECT *", [&] { return select("SELECT * FROM t"); }, all},
      {"SELECT id = 5 or 395", [&] { return select("SELECT id FROM t WHERE id = 5 OR id = 395"); }, {"5", "395"}},
      {"natural walk", walk, all},
      {"UPDATE", update, {std::to_string(kIndexRows)}}};
  // The damage errors a read may raise, alone or inside the SQL engine's
  // "Error on opening table": a page of another type (20153), a page past
  // the end of the file (20299, a damaged head that turned the leaf into a
  // node), a page head that cannot be (10602), a page out of its place
  // (10603), a looping chain (10604), a listed page outside the file, out of
  // order, or disagreeing with its entry or the table's count (10671).
  auto damaged = [](const std::string& message) {
    for (int32_t code : {20153, 20299, 10602, 10603, 10604, 10671})
      if (message.find("Native error: " + std::to_string(code)) != std::string::npos) return true;
    return false;
  };
  const std::string work = Dir.File("work.vlm");
  std::map<std::string, int> seen;
  qv::test::TestBudget budget(20);
  uint64_t round = 0;
  for (; budget.Continue(round); ++round) {
    std::mt19937 random(static_cast<uint32_t>(round));
    std::vector<uint8_t> bytes = clean;
    for (int b = random() % 2 == 0 ? 8 : 32; b > 0; --b)
      bytes[static_cast<size_t>(leaf + random() % 1024)] = static_cast<uint8_t>(random());
    {
      std::ofstream out(work, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    auto database = Database(work);
    database->SilentMode = true;
    database->DoConnect();
    for (const Read& read : reads) {
      Rows rows;
      try {
        rows = read.Run();
      } catch (const EVLMException& e) {
        ++seen[std::string(read.Name) + " raised " + std::to_string(e.NativeError)];
        EXPECT_TRUE(damaged(e.Message())) << "seed " << round << ", " << read.Name << ": " << e.Message();
        continue;
      }
      ++seen[std::string(read.Name) + (rows == read.Expected ? " whole" : " short")];
      EXPECT_EQ(rows.size(), read.Expected.size()) << "seed " << round << ", " << read.Name;
      EXPECT_TRUE(rows == read.Expected) << "seed " << round << ", " << read.Name;
    }
  }
  RecordProperty("rounds", static_cast<int>(round));
  for (const auto& [what, n] : seen) RecordProperty(what, n);
}


}  // namespace
