// The disk table data: a table created, filled, reopened and deleted on disk,
// cursors positioned by deletes, exclusive opens, the locks of a second
// process, repair mode, and damaged table files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/core/VLMCompression.h"
#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMTempEngine.h"
#include "platform/host/HostVariant.h"
#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;
using disk_test::DiskCursor;
using disk_test::DiskSession;
using qv::test::RaisedCode;

constexpr int32_t kID = disk_test::kLogID, kCall = disk_test::kLogCall, kNotes = disk_test::kLogNotes;
using disk_test::CreateLogTable;

std::vector<uint8_t> NotesOf(int i) {
  // Every 500th value takes a chain of pages of its own.
  const size_t size = i % 500 == 0 ? 5000 : static_cast<size_t>(i % 97) * 13;
  std::vector<uint8_t> notes(size);
  for (size_t b = 0; b < size; ++b) notes[b] = static_cast<uint8_t>(i * 31 + b);
  return notes;
}

class DiskTable : public ::testing::Test {
protected:
  void SetUp() override {
    Path = Dir.File("t.vlm");
    CreateStandardDatabase(Path, 1024, 8, {}, 20);
    Connect();
  }
  void Connect(bool multiUser = false) {
    Database = disk_test::NewDiskDatabase(Path, multiUser ? "me" : "");
    Session = std::make_unique<DiskSession>(Database.get(), multiUser);
    Session->Connect();
    std::lock_guard guard(Database->CriticalSection());
    // The file is a scratch copy: commits need not reach the disk.
    Database->DiskPageManager()->SyncOnCommit = false;
  }
  void Reconnect(bool multiUser = false) {
    Session.reset();
    Connect(multiUser);
  }
  void Insert(DiskCursor& cursor, const std::string& call, const std::vector<uint8_t>& notes = {}) {
    ASSERT_TRUE(disk_test::InsertLog(cursor, call, notes));
  }

  ScratchFolder Dir;
  std::string Path;
  FastRetries Retries;
  std::unique_ptr<TVLMDiskDatabaseData> Database;
  std::unique_ptr<DiskSession> Session;
};

TEST_F(DiskTable, RecordsSurviveReopenAndDeletingReturnsEveryPage) {
  const int kRecords = qv::test::LongRunRequested() ? 50000 : 10000;
  std::vector<std::string> calls;
  {
    DiskCursor log(*Database, *Session, "Log");
    CreateLogTable(log);
    log.Open();
    for (int i = 1; i <= kRecords; ++i) {
      calls.push_back("K" + std::to_string(i * 7919 % 3001));
      Insert(log, calls.back(), NotesOf(i));
    }
  }
  Reconnect();
  DiskCursor log(*Database, *Session, "Log");
  log.Open();
  EXPECT_EQ(log.GetRecordCount(), kRecords);
  // Every record with its value, in natural order; every index entry.
  int32_t seen = 0;
  for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK && !HasFailure(); ++seen) {
    const int64_t id = log.Int(kID).value_or(0);
    ASSERT_TRUE(id >= 1 && id <= kRecords);
    EXPECT_EQ(log.Text(kCall), calls[static_cast<size_t>(id - 1)]);
    EXPECT_EQ(log.ReadBlob(kNotes), NotesOf(static_cast<int>(id)));
  }
  EXPECT_EQ(seen, kRecords);
  log.UseIndex("ByCall");
  std::vector<std::string> sorted = calls;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(log.Column(kCall), sorted);
  log.UseIndex("ByID");
  std::vector<std::string> ids;
  for (int i = 1; i <= kRecords; ++i) ids.push_back(std::to_string(i));
  EXPECT_EQ(log.Column(kID), ids);
  // The counter goes on where it stopped.
  Insert(log, "NEXT");
  EXPECT_EQ(log.Int(kID), kRecords + 1);
  {
    std::lock_guard guard(Database->CriticalSection());
    EXPECT_EQ(disk_test::CheckDiskFreeSpace(*Database, {&log}), "");
  }
  log.DeleteTable();
  {
    std::lock_guard guard(Database->CriticalSection());
    EXPECT_EQ(disk_test::CheckDiskFreeSpace(*Database, {}), "");
  }
  EXPECT_EQ(RaisedCode([&] { log.Open(); }), 30396);
  qv::StringList names;
  Database->GetTableNames(names);
  EXPECT_EQ(names.Count(), 0);
}

// A table walked whole, in record order and in two index orders, leaves the
// pages that look-ups reuse in the cache, and keeps few of its own: counted
// by the page cache, not timed.
TEST_F(DiskTable, WholeTableWalksLeaveTheLookUpsPagesCached) {
  DiskCursor log(*Database, *Session, "Log");
  CreateLogTable(log);
  log.Open();
  constexpr int kRecords = 6000;
  for (int i = 1; i <= kRecords; ++i) Insert(log, "K" + std::to_string(i * 7919 % 6007));
  TVLMDiskPageManager& pages = *Database->DiskPageManager();
  auto figures = [&] {
    std::lock_guard guard(Database->CriticalSection());
    return pages.CacheFigures();
  };
  {
    std::lock_guard guard(Database->CriticalSection());
    pages.DropSharedPages();
    pages.CacheLimit = 96;
    pages.ScanLimit = 16;
  }
  auto lookUp = [&] {
    log.UseIndex("ByCall");
    for (const char* call : {"K1912", "K4139", "K5", "K6006"}) {
      ASSERT_TRUE(log.Locate("Call", qv::HostVariant(std::string(call)), false, false)) << call;
      EXPECT_EQ(log.Text(kCall), call);
    }
  };
  lookUp();
  const TVLMPageCacheFigures before = figures();
  for (const char* index : {"", "ByCall", "ByID"}) {
    log.UseIndex(index);
    int seen = 0;
    for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;) ++seen;
    EXPECT_EQ(seen, kRecords) << index;
  }
  const TVLMPageCacheFigures walked = figures();
  EXPECT_GT(walked.PagesRead - before.PagesRead, 3 * pages.CacheLimit);
  EXPECT_EQ(walked.KeptEvicted, before.KeptEvicted);
  {
    std::lock_guard guard(Database->CriticalSection());
    EXPECT_LE(pages.SharedPages.ScannedCount(), pages.ScanLimit);
  }
  lookUp();
  EXPECT_EQ(figures().PagesRead, walked.PagesRead);
}

TEST_F(DiskTable, CursorAfterADelete) {
  struct Case {
    int Records;
    int Deleted;         // in natural order
    int Lands;           // -1: before the first record
  };
  const Case cases[] = {{1, 0, -1}, {3, 0, 1}, {3, 1, 2}, {3, 2, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Records << " records, delete " << c.Deleted);
    DiskCursor log(*Database, *Session, "Log");
    CreateLogTable(log);
    log.Open();
    for (int i = 0; i < c.Records; ++i) Insert(log, "C" + std::to_string(i));
    log.SetToBegin();
    for (int i = 0; i <= c.Deleted; ++i) ASSERT_EQ(log.GetRecord(1), kVLMNavOK);
    log.DeleteRecord();
    ASSERT_EQ(log.ResultCode, 0);
    EXPECT_EQ(log.Position.Bof, c.Lands < 0 ? 1 : 0);
    EXPECT_EQ(log.Position.Eof, 0);
    if (c.Lands >= 0) {
      ASSERT_EQ(log.GetRecord(0), kVLMNavOK);
      EXPECT_EQ(log.Text(kCall), "C" + std::to_string(c.Lands));
    }
    EXPECT_EQ(log.GetRecordCount(), c.Records - 1);
    log.DeleteTable();
  }
}

TEST_F(DiskTable, OpensRecordNumbersAndConstraints) {
  DiskCursor log(*Database, *Session, "Log");
  // CHECK constraints (kind 4) are kept like the others.
  TVLMConstraintDefs constraints;
  auto check = std::make_unique<TVLMConstraintDefCheck>();
  check->TargetName = "Call";
  constraints.Add(std::move(check));
  log.Create({{"ID", dtAutoinc}, {"Call", dtString, 20}, {"Notes", dtBLOB}}, {{"ByID", "ID", true}}, &constraints);
  log.Open();
  std::lock_guard guard(Database->CriticalSection());
  TVLMDiskTableData& table = log.Table();
  EXPECT_EQ(table.GetRecordNoLimit(0), 1);
  ASSERT_EQ(table.ConstraintManager->ConstraintDefs->GetCount(), 1);
  EXPECT_EQ(table.ConstraintManager->ConstraintDefs->GetConstraintDef(0)->Kind, kVLMConstraintCheck);
  Insert(log, "W1AW");
  const int64_t perPage = table.DiskRecordManager()->RecordsPerPage;
  EXPECT_EQ(table.GetRecordNoLimit(0), (static_cast<int64_t>(log.Position.RecordID.Page) + 1) * perPage);
  TVLMRecordID back;
  table.RecordNoToRecordID(table.RecordIDToRecordNo(log.Position.RecordID), back);
  EXPECT_EQ(back, log.Position.RecordID);
  EXPECT_TRUE(table.IsRecordLocked(0, log.Position.RecordID));  // single-user
  // Exclusive access needs the table to itself.
  DiskCursor second(*Database, *Session, "LOG");
  second.Exclusive = true;
  EXPECT_EQ(RaisedCode([&] { second.Open(); }), 20242);
  EXPECT_EQ(RaisedCode([&] { second.EmptyTable(); }), 20242);
  EXPECT_EQ(RaisedCode([&] { second.RenameTable("Other"); }), 20242);
  log.Close();
  second.Open();
  EXPECT_TRUE(second.Table().IsOpenedExclusive());
  second.Close();
  second.Exclusive = false;
  second.RenameTable("QSOs");
  second.EmptyTable();
  second.Open();
  EXPECT_EQ(second.GetRecordCount(), 0);
  EXPECT_EQ(second.Table().ConstraintManager->ConstraintDefs->GetCount(), 1);
  // A table data that no cursor opened has nothing to answer with.
  DiskCursor closed(*Database, *Session, "Nowhere");
  auto& nowhere = *static_cast<TVLMDiskTableData*>(Database->GetTableData(&closed));
  EXPECT_EQ(RaisedCode([&] { nowhere.GetRecordNoLimit(0); }), 20528);
  EXPECT_EQ(RaisedCode([&] { nowhere.OpenBlob(&closed, 1, 2); }), 20538);
  nowhere.FreeIfUnused();
}

// A second process (peer) and a second handle share the table.
TEST_F(DiskTable, MultiUserLocksAndCounters) {
  Reconnect(true);
  DiskCursor log(*Database, *Session, "Log");
  CreateLogTable(log);
  log.Open();
  Insert(log, "A");
  const std::string locks = std::to_string(log.Table().LocksFile()->GetStartPageNo()) + " ";
  Peer peer(Path);
  ASSERT_EQ(peer.Session, 1);
  // A read whose short lock cannot be had finds no record.
  ASSERT_EQ(peer.Ask("lock " + locks + "4 1"), "1");
  log.SetToBegin();
  EXPECT_EQ(log.GetRecord(1), kVLMNavError);
  EXPECT_EQ(RaisedCode([&] { log.GetRecordCount(); }), 20218);
  ASSERT_EQ(peer.Ask("unlock " + locks + "4"), "1");
  EXPECT_EQ(log.GetRecord(1), kVLMNavOK);
  // A commit whose table locks fail writes nothing.
  Session->StartTransaction();
  Insert(log, "B");
  ASSERT_EQ(peer.Ask("lock " + locks + "1 1"), "1");
  EXPECT_EQ(RaisedCode([&] { Session->Commit(false); }), 20233);
  auto other = disk_test::NewDiskDatabase(Path, "other");
  DiskSession theirs(other.get(), true);
  theirs.Connect();
  DiskCursor theirLog(*other, theirs, "Log");
  theirLog.Open();
  EXPECT_EQ(theirLog.GetRecordCount(), 1);
  ASSERT_EQ(peer.Ask("unlock " + locks + "1"), "1");
  Session->Commit(false);
  EXPECT_EQ(theirLog.GetRecordCount(), 2);
  // Their insert reaches this handle's counters.
  Insert(theirLog, "C");
  EXPECT_EQ(log.GetRecordCount(), 3);
  Insert(log, "D");
  EXPECT_EQ(log.Int(kID), 4);
  // An exclusive open against an open elsewhere.
  theirLog.Close();
  log.Close();
  ASSERT_EQ(peer.Ask("lock " + locks + "0 1"), "1");
  log.Exclusive = true;
  EXPECT_EQ(RaisedCode([&] { log.Open(); }), 20208);
  ASSERT_EQ(peer.Ask("unlock " + locks + "0"), "1");
  log.Open();
  EXPECT_EQ(peer.Ask("lock " + locks + "0 1"), "0");
  log.Close();
  std::lock_guard guard(Database->CriticalSection());
  auto& closed = *static_cast<TVLMDiskTableData*>(Database->GetTableData(&log));
  EXPECT_EQ(RaisedCode([&] { closed.LockTable(0, kVLMLockTableOperation, 1, 0, true); }), 20523);
  closed.FreeIfUnused();
}

// A session's temporary index lives in the table's temporary page store and
// is rebuilt when another handle changed the table.
TEST_F(DiskTable, TemporaryIndexFollowsAnotherHandle) {
  Reconnect(true);
  DiskCursor log(*Database, *Session, "Log");
  CreateLogTable(log);
  log.Open();
  for (const char* call : {"B", "D", "A"}) Insert(log, call);
  std::string name;
  bool created = false;
  log.Table().AddTemporaryIndex(&log, schema_test::List({"Call"}), schema_test::List({"DESC"}),
                                schema_test::List({"CASE"}), name, created);
  ASSERT_TRUE(created);
  log.UseIndex(name);
  EXPECT_EQ(log.Column(kCall), std::vector<std::string>({"D", "B", "A"}));
  auto other = disk_test::NewDiskDatabase(Path, "other");
  DiskSession theirs(other.get(), true);
  theirs.Connect();
  DiskCursor theirLog(*other, theirs, "Log");
  theirLog.Open();
  Insert(theirLog, "C");
  EXPECT_EQ(log.Column(kCall), std::vector<std::string>({"D", "C", "B", "A"}));
  std::lock_guard guard(Database->CriticalSection());
  EXPECT_GT(log.Table().TemporaryPageManager()->GetAllocatedCount(), 0);
}

TEST_F(DiskTable, RepairModeRebuildsThePageIndex) {
  int32_t lostPage = -1;
  int64_t lostRecords = 0;
  {
    DiskCursor log(*Database, *Session, "Log");
    CreateLogTable(log);
    log.Open();
    for (int i = 0; i < 120; ++i) Insert(log, "R" + std::to_string(i));
    std::lock_guard guard(Database->CriticalSection());
    // The counters say five records more than the pages hold.
    TVLMDiskTableData& table = log.Table();
    table.RecordManager->RecordCount += 5;
    table.SaveMostUpdated(0);
    table.Commit(0, false);
    TVLMBTreeRecordPageIndex& index = *table.DiskRecordManager()->PageIndex;
    TVLMKeyPath path;
    ASSERT_TRUE(index.GoFirst(0, path) && index.NextEntry(0, path));
    lostPage = static_cast<int32_t>(index.GetPageNoAt(0, path));
    lostRecords = index.GetValueAt(0, path);
  }
  struct Step {
    bool Repair;
    int64_t Count;
  };
  const Step counts[] = {{false, 125}, {true, 120}, {false, 120}};
  for (const Step& step : counts) {
    Reconnect();
    DiskCursor log(*Database, *Session, "Log");
    log.RepairMode = step.Repair;
    log.Open();
    EXPECT_EQ(log.GetRecordCount(), step.Count) << step.Repair;
  }
  // A listed record page that never reached the disk: the sums agree, the
  // page itself does not.
  Session.reset();
  std::vector<uint8_t> zeros(1024, 0);
  PatchBytes(Path, kVLMFirstPagePosition + static_cast<int64_t>(lostPage) * 1024, zeros.data(), zeros.size());
  Connect();
  {
    DiskCursor log(*Database, *Session, "Log");
    log.RepairMode = true;
    log.Open();
    EXPECT_EQ(log.GetRecordCount(), 120 - lostRecords);
    EXPECT_EQ(static_cast<int64_t>(log.Column(kCall).size()), 120 - lostRecords);
    Insert(log, "AFTER");
    std::lock_guard guard(Database->CriticalSection());
    EXPECT_EQ(log.Table().DiskRecordManager()->PageIndex->GetPageValue(0, lostPage), -1);
  }
  int32_t definitions = -1;
  {
    Reconnect();
    DiskCursor log(*Database, *Session, "Log");
    log.Open();
    EXPECT_EQ(log.GetRecordCount(), 121 - lostRecords);
    std::lock_guard guard(Database->CriticalSection());
    definitions = log.Table().MetaDataFile()->StartPageNo;
  }
  // A definitions page whose type alone is damaged: the repair-mode open
  // reads past it and writes it back set right, for the plain opens after.
  Session.reset();
  const uint8_t wrongType[2] = {kVLMPageTableIndex, 0};
  PatchBytes(Path, kVLMFirstPagePosition + static_cast<int64_t>(definitions) * 1024 + kVLMPageTypeOffset, wrongType,
             sizeof wrongType);
  for (const bool repair : {true, false}) {
    Connect();
    {
      DiskCursor log(*Database, *Session, "Log");
      log.RepairMode = repair;
      ASSERT_EQ(RaisedCode([&] { log.Open(); }), 0) << repair;
      EXPECT_EQ(log.GetRecordCount(), 121 - lostRecords) << repair;
    }
    Session.reset();
  }
}

// Damaged counter and metadata contents and table-list entries: the open
// (or the first reads) raise an engine error and nothing worse.
TEST_F(DiskTable, DamagedTableFilesRaiseEngineErrors) {
  {
    DiskCursor log(*Database, *Session, "Log");
    CreateLogTable(log);
    log.Open();
    for (int i = 1; i <= 30; ++i) Insert(log, "F" + std::to_string(i), NotesOf(i * 41));
  }
  Session.reset();
  const std::vector<uint8_t> pristine = ReadBytes(Path);
  std::mt19937 random(20240611);
  auto budget = qv::test::TestBudget::Steps(300, 20);
  int raised = 0;
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    WriteBytes(Path, pristine);
    Connect();
    const int target = static_cast<int>(step % 3);
    {
      std::lock_guard guard(Database->CriticalSection());
      TVLMDiskPageManager& pages = *Database->DiskPageManager();
      if (target < 2) {
        DiskCursor log(*Database, *Session, "Log");
        log.Open();
        TVLMInternalDBTransactedAccessFile& file =
            target == 0 ? *log.Table().MetaDataFile() : *log.Table().MostUpdatedFile();
        std::vector<uint8_t> content = file.ReadAll(0, true);
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes && !content.empty(); ++c)
          content[random() % content.size()] = static_cast<uint8_t>(random());
        if (random() % 4 == 0) content.resize(random() % (content.size() + 9));
        file.WriteFile(0, content.data(), 1, target == 0 ? VLMCompressionZlib : VLMCompressionNone,
                       static_cast<uint32_t>(content.size()));
        pages.Commit(0);
      } else {
        TVLMSystemDirectory directory(&pages);
        directory.Load();
        TVLMTableListFile list(&pages);
        list.OpenFile(directory.Find(TVLMDirectoryKind::TableList));
        list.Load();
        const uint32_t values[] = {0, 1, 2, 3, pages.Header.PageCount - 1, pages.Header.PageCount + 7,
                                   0xFFFFFFFF, static_cast<uint32_t>(random())};
        TVLMTableListEntry& entry = list.Entries[0];
        uint32_t* fields[] = {&entry.TableID, &entry.MetaDataPage, &entry.MostUpdatedPage, &entry.LocksPage};
        *fields[random() % 4] = values[random() % 8];
        list.Save();
        pages.Commit(kVLMSystemSessionID);
      }
    }
    Reconnect();
    const int32_t code = RaisedCode([&] {
      DiskCursor log(*Database, *Session, "Log");
      log.Open();
      for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;) log.ReadBlob(kNotes);
      log.UseIndex("ByCall");
      log.Column(kCall);
    });
    raised += code != 0;
    Session.reset();
    Database.reset();
  }
  EXPECT_GT(raised, 0);
}

}  // namespace
