// Multi-user locks: the sessions file, the lock matrix and covering of the
// table lock files, the lock manager's counts, record locks and commit
// locks, and a second process (helper program) or handle sharing the file.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFiles.h"

namespace {

using namespace storage_test;

// M[held][requested], 1 = compatible.
constexpr int kMatrix[7][7] = {
    {1, 1, 1, 1, 1, 1, 0}, {1, 1, 1, 1, 0, 1, 0}, {1, 1, 1, 0, 1, 1, 0}, {1, 1, 0, 0, 0, 1, 0},
    {1, 0, 1, 0, 0, 1, 0}, {1, 1, 1, 1, 1, 1, 0}, {0, 0, 0, 0, 0, 0, 0},
};
// kCovers[a][b]: every type compatible with a is compatible with b (worked
// out by hand from the matrix).
constexpr int kCovers[7][7] = {
    {1, 0, 0, 0, 0, 1, 0}, {1, 1, 0, 0, 0, 1, 0}, {1, 0, 1, 0, 0, 1, 0}, {1, 1, 1, 1, 0, 1, 0},
    {1, 1, 1, 0, 1, 1, 0}, {1, 0, 0, 0, 0, 1, 0}, {1, 1, 1, 1, 1, 1, 1},
};
constexpr int32_t kSessions = 50;  // lock files of 600 bytes span two 512-byte pages

class Locks : public ::testing::Test {
protected:
  void SetUp() override {
    Path = Dir.File("l.vlm");
    CreateStandardDatabase(Path, 512, 8, {}, kSessions);
    {
      TVLMDiskPageManager pm;
      OpenDatabase(pm, Path);
      for (int32_t& table : Tables) table = TVLMTableLocksFile(&pm).CreateFile(kSessions);
      pm.Commit(kVLMSystemSessionID);
    }
    Pm = Open();
    Manager = std::make_unique<TVLMDatabaseTableLockManager>(Pm.get(), kSessions);
    for (int i = 0; i < 2; ++i) {
      Files[i] = std::make_unique<TVLMTableLocksFile>(Pm.get());
      Files[i]->OpenFile(Tables[i]);
    }
  }
  std::unique_ptr<TVLMDiskPageManager> Open() {
    auto pm = std::make_unique<TVLMDiskPageManager>();
    OpenDatabase(*pm, Path, "", false, true);
    return pm;
  }
  static std::unique_ptr<TVLMActiveSessionsFile> Sessions(TVLMDiskPageManager& pm) {
    TVLMSystemDirectory directory(&pm);
    directory.Load();
    auto sessions = std::make_unique<TVLMActiveSessionsFile>(&pm);
    sessions->OpenFile(directory.Find(TVLMDirectoryKind::ActiveSessions));
    return sessions;
  }
  bool Lock(int32_t session, uint8_t type, TVLMTableLocksFile& file, bool flag = false) {
    return Manager->LockTable(session, type, flag, false, 0, 1, file);
  }
  bool Unlock(int32_t session, uint8_t type, TVLMTableLocksFile& file) {
    return Manager->UnlockTable(session, type, false, false, file);
  }
  // No session's lock byte is set and the whole-file lock is free.
  static bool Clean(TVLMTableLocksFile& file) {
    for (uint8_t type = 0; type < 6; ++type)
      if (file.IsHeldByOthers(kSessions - 1, type)) return false;
    return file.LockFile() && file.UnlockFile();
  }

  FastRetries Fast;
  ScratchFolder Dir;
  std::string Path;
  int32_t Tables[2] = {};
  std::unique_ptr<TVLMDiskPageManager> Pm;
  std::unique_ptr<TVLMDatabaseTableLockManager> Manager;
  std::unique_ptr<TVLMTableLocksFile> Files[2];
};

TEST_F(Locks, TheMatrixDecidesBetweenSessions) {
  TVLMTableLocksFile& f = *Files[0];
  for (uint8_t held = 0; held < 7; ++held) {
    for (uint8_t requested = 0; requested < 7; ++requested) {
      for (bool flag : {false, true}) {
        SCOPED_TRACE(testing::Message() << int(held) << " / " << int(requested) << " flag " << flag);
        ASSERT_TRUE(Lock(0, held, f));
        const bool expected = kMatrix[held][requested] || (flag && held == 2 && requested == 3);
        EXPECT_EQ(Lock(1, requested, f, flag), expected);
        if (expected) {
          EXPECT_TRUE(Unlock(1, requested, f));
        }
        EXPECT_TRUE(Unlock(0, held, f));
        EXPECT_TRUE(Clean(f));
      }
    }
  }
}

TEST_F(Locks, AStrongerLockCoversAWeakerOneUntilItGoes) {
  TVLMTableLocksFile& f = *Files[0];
  for (uint8_t a = 0; a < 7; ++a) {
    for (uint8_t b = 0; b < 7; ++b) {
      if (a == b) continue;
      SCOPED_TRACE(testing::Message() << int(a) << " covers " << int(b));
      TVLMTableLockList list;
      list.Add(a, 9, false, true);
      EXPECT_EQ(list.IsCovered(b, 9), kCovers[a][b] == 1);
      EXPECT_FALSE(list.IsCovered(b, 8));
      if (!kCovers[a][b]) continue;
      // Granted without its byte, which is set when the covering lock goes.
      ASSERT_TRUE(Lock(0, a, f));
      ASSERT_TRUE(Lock(0, b, f));
      EXPECT_FALSE(f.IsHeldByOthers(1, b));
      EXPECT_TRUE(Unlock(0, a, f));
      EXPECT_TRUE(f.IsHeldByOthers(1, b));
      EXPECT_TRUE(Unlock(0, b, f));
      EXPECT_TRUE(Clean(f));
    }
  }
}

TEST_F(Locks, RepeatedLocksAreCounted) {
  TVLMTableLocksFile& f = *Files[0];
  ASSERT_TRUE(Lock(0, 1, f));
  ASSERT_TRUE(Lock(0, 1, f));
  EXPECT_TRUE(Unlock(0, 1, f));
  EXPECT_TRUE(f.IsHeldByOthers(1, 1));
  EXPECT_TRUE(Unlock(0, 1, f));
  EXPECT_FALSE(f.IsHeldByOthers(1, 1));
  std::string message;
  EXPECT_EQ(CodeOf([&] { Unlock(0, 1, f); }, &message), 20202);
  EXPECT_EQ(message, "Cannot remove table lock. Lock not found - Native error: 20202");
  EXPECT_TRUE(Manager->UnlockTable(0, 1, false, true, f));
  // Type 2 asked for again is refused, unless type 6 covers it; a forced
  // unlock drops every count at once.
  ASSERT_TRUE(Lock(0, 2, f));
  EXPECT_FALSE(Lock(0, 2, f));
  ASSERT_TRUE(Lock(0, 6, f));
  EXPECT_TRUE(Lock(0, 2, f));
  EXPECT_TRUE(Manager->UnlockTable(0, 2, true, false, f));
  EXPECT_FALSE(Manager->List(0).Has(2, static_cast<uint32_t>(Tables[0])));
  EXPECT_TRUE(Unlock(0, 6, f));
  EXPECT_TRUE(Clean(f));
  Manager->CheckNoLocks();
}

TEST_F(Locks, OneRecordLockPerSessionAndTable) {
  TVLMTableLocksFile& f = *Files[0];
  const TVLMRecordID a{7, 3}, b{7, 4};
  ASSERT_TRUE(Manager->LockRecord(0, f, 0, 1, a));
  EXPECT_FALSE(Manager->LockRecord(0, f, 0, 1, b));
  EXPECT_TRUE(Manager->IsRecordLocked(1, f, a));
  EXPECT_FALSE(Manager->IsRecordLocked(1, f, b));
  EXPECT_FALSE(Manager->IsRecordLocked(0, f, a));
  EXPECT_FALSE(Manager->LockRecord(1, f, 0, 2, a));
  EXPECT_TRUE(Manager->LockRecord(1, f, 0, 1, b));
  EXPECT_FALSE(Lock(2, 6, f));
  EXPECT_TRUE(Manager->UnlockRecord(0, f, a));
  EXPECT_FALSE(Manager->UnlockRecord(0, f, a));
  EXPECT_FALSE(Manager->IsRecordLocked(1, f, a));
  EXPECT_TRUE(Manager->UnlockRecord(1, f, b));
  // Under type 6 a record lock needs no byte.
  ASSERT_TRUE(Lock(0, 6, f));
  EXPECT_TRUE(Manager->LockRecord(0, f, 0, 1, a));
  EXPECT_FALSE(Manager->IsRecordLocked(1, f, a));
  EXPECT_TRUE(Manager->UnlockRecord(0, f, a));
  EXPECT_TRUE(Unlock(0, 6, f));
  EXPECT_TRUE(Clean(f));
}

// A record lock granted under a covering lock (type 6, or type 3 without the
// flag) gets its byte and its record ID when the cover goes: others see the
// record it locks, not the ID an earlier lock of the session left behind.
TEST_F(Locks, ACoveredRecordLockIsPlacedWithItsRecordID) {
  TVLMTableLocksFile& f = *Files[0];
  const TVLMRecordID earlier{7, 3}, covered{9, 1};
  for (uint8_t cover : {6, 3}) {
    SCOPED_TRACE(int(cover));
    ASSERT_TRUE(Manager->LockRecord(0, f, 0, 1, earlier));
    ASSERT_TRUE(Manager->UnlockRecord(0, f, earlier));
    ASSERT_TRUE(Lock(0, cover, f));
    ASSERT_TRUE(Manager->LockRecord(0, f, 0, 1, covered));
    ASSERT_TRUE(Unlock(0, cover, f));
    EXPECT_TRUE(Manager->IsRecordLocked(1, f, covered));
    EXPECT_FALSE(Manager->IsRecordLocked(1, f, earlier));
    EXPECT_FALSE(Manager->LockRecord(1, f, 0, 1, covered));
    EXPECT_TRUE(Manager->UnlockRecord(0, f, covered));
    EXPECT_FALSE(Manager->IsRecordLocked(1, f, covered));
    EXPECT_TRUE(Clean(f));
  }
}

TEST_F(Locks, AnExclusiveDatabaseGrantsEveryLockAtOnce) {
  auto other = Open();
  TVLMTableLocksFile busy(other.get());
  busy.OpenFile(Tables[0]);
  ASSERT_TRUE(busy.LockFile());
  Pm->Exclusive = true;
  TVLMTableLocksFile& f = *Files[0];
  for (uint8_t type = 0; type < 7; ++type) {
    EXPECT_TRUE(Lock(0, type, f));
    EXPECT_TRUE(Unlock(0, type, f));
  }
  EXPECT_TRUE(Manager->LockRecord(0, f, 0, 1, {1, 1}));
  EXPECT_TRUE(Manager->UnlockRecord(0, f, {1, 1}));
  EXPECT_TRUE(Manager->LockForCommit(0));
  EXPECT_TRUE(Manager->ReleaseTransactionLocks(0));
  Manager->CheckNoLocks();
}

TEST_F(Locks, CommitLocksEveryChangedTableOrNone) {
  TVLMTableLocksFile &f = *Files[0], &g = *Files[1];
  ASSERT_TRUE(Lock(0, 3, f, true));
  ASSERT_TRUE(Lock(0, 3, g, true));
  ASSERT_TRUE(Manager->LockRecord(0, f, 0, 1, {5, 1}));
  ASSERT_TRUE(Lock(1, 1, g));  // a reader keeps commits out
  EXPECT_FALSE(Manager->LockForCommit(0));
  for (TVLMTableLocksFile* file : {&f, &g}) {
    EXPECT_FALSE(Manager->List(0).Has(4, static_cast<uint32_t>(file->GetStartPageNo())));
    EXPECT_FALSE(file->IsHeldByOthers(1, 4));
  }
  ASSERT_TRUE(Unlock(1, 1, g));
  EXPECT_TRUE(Manager->LockForCommit(0));
  EXPECT_TRUE(f.IsHeldByOthers(1, 4) && g.IsHeldByOthers(1, 4));
  // The transaction's locks go; the record stays locked under type 2.
  EXPECT_TRUE(Manager->ReleaseTransactionLocks(0));
  std::vector<std::pair<int, uint32_t>> left;
  for (const TVLMTableLock& lock : Manager->List(0).Items()) left.emplace_back(lock.LockType, lock.ObjectID);
  const auto t0 = static_cast<uint32_t>(Tables[0]);
  EXPECT_EQ(left, (std::vector<std::pair<int, uint32_t>>{{5, t0}, {2, t0}}));
  EXPECT_FALSE(Lock(1, 3, f));
  EXPECT_TRUE(Lock(1, 3, f, true));
  EXPECT_TRUE(Unlock(1, 3, f));
  EXPECT_TRUE(Manager->UnlockRecord(0, f, {5, 1}));
  EXPECT_TRUE(Unlock(0, 2, f));
  EXPECT_TRUE(Clean(f) && Clean(g));
}

TEST_F(Locks, CallsOutsideTheFileAreRefused) {
  TVLMTableLocksFile& f = *Files[0];
  TVLMTableLocksFile closed(Pm.get());
  const std::vector<std::tuple<std::function<void()>, int32_t, std::string>> cases = {
      {[&] { f.SetLockByte(kSessions, 0); }, 20200,
       "Cannot set table lock. Try to repair database or to increase number of allowed connections"},
      {[&] { f.SetLockByte(-2, 0); }, 20200, ""},
      {[&] { Lock(kSessions, 0, f); }, 20411, "Invalid session ID 50"},
      {[&] { Lock(0, 7, f); }, 20410, "Invalid table lock type 7"},
      {[&] { closed.SetLockByte(0, 0); }, 10489, "Nil pointer occured"},
  };
  for (const auto& [call, code, text] : cases) {
    std::string message;
    EXPECT_EQ(CodeOf(call, &message), code);
    if (!text.empty()) {
      EXPECT_EQ(message, text + " - Native error: " + std::to_string(code));
    }
  }
}

TEST_F(Locks, SessionsFileHandsOutEachByteOnce) {
  auto sessions = Sessions(*Pm);
  EXPECT_EQ(sessions->MaxSessions, kSessions);
  for (int32_t i = 0; i < kSessions; ++i) EXPECT_EQ(sessions->Connect(), i);
  std::string message;
  EXPECT_EQ(CodeOf([&] { sessions->Connect(); }, &message), 20094);
  EXPECT_EQ(message,
            "Cannot connect session. Maximum connections quantity exceeded or database is open in single-user mode "
            "- Native error: 20094");
  sessions->Disconnect(7);
  EXPECT_EQ(sessions->Connect(), 7);
  EXPECT_EQ(CodeOf([&] { sessions->Disconnect(kSessions); }), 20095);
  for (int32_t i = 0; i < kSessions; ++i) sessions->Disconnect(i);
  EXPECT_EQ(CodeOf([&] { sessions->Disconnect(0); }), 20095);
  Pm->MultiUser = false;
  EXPECT_EQ(sessions->Connect(), 0);
  EXPECT_FALSE(sessions->File()->IsRegionLocked(0, kSessions));
}

// Single-user mode takes every session byte or none; without the whole-file
// lock no session byte changes at all.
TEST_F(Locks, SingleUserAndTheWholeFileLock) {
  auto other = Open();
  auto theirs = Sessions(*other), mine = Sessions(*Pm);
  EXPECT_EQ(theirs->Connect(), 0);
  EXPECT_FALSE(mine->EnterSingleUser());
  EXPECT_EQ(theirs->Connect(), 1);
  theirs->Disconnect(1);
  ASSERT_TRUE(theirs->File()->LockFile());
  EXPECT_EQ(CodeOf([&] { mine->Connect(); }), 20094);
  EXPECT_EQ(CodeOf([&] { theirs->Disconnect(0); }), 20095);
  EXPECT_FALSE(mine->EnterSingleUser());
  EXPECT_FALSE(theirs->LeaveSingleUser());
  ASSERT_TRUE(theirs->File()->UnlockFile());
  EXPECT_TRUE(mine->File()->IsByteLocked(0));
  EXPECT_FALSE(mine->File()->IsRegionLocked(1, kSessions - 1));
  theirs->Disconnect(0);
  EXPECT_TRUE(mine->EnterSingleUser());
  EXPECT_EQ(CodeOf([&] { theirs->Connect(); }), 20094);
  EXPECT_TRUE(mine->LeaveSingleUser());
  EXPECT_FALSE(mine->LeaveSingleUser());
  EXPECT_EQ(theirs->Connect(), 0);
}

TEST_F(Locks, TwoProcessesShareTheLockBytes) {
  auto sessions = Sessions(*Pm);
  const int32_t me = sessions->Connect();
  Peer peer(Path);
  ASSERT_EQ(peer.Session, me + 1);
  TVLMTableLocksFile &f = *Files[0], &g = *Files[1];
  const std::string t0 = std::to_string(Tables[0]) + " ", t1 = std::to_string(Tables[1]) + " ";
  // A record lock is known to the other process by its record ID.
  EXPECT_EQ(peer.Ask("record " + t0 + "7 3"), "1");
  EXPECT_TRUE(Manager->IsRecordLocked(me, f, {7, 3}));
  EXPECT_FALSE(Manager->IsRecordLocked(me, f, {7, 4}));
  EXPECT_FALSE(Manager->LockRecord(me, f, 0, 2, {7, 3}));
  // An exclusive lock keeps every other lock out until it is released.
  EXPECT_EQ(peer.Ask("lock " + t1 + "6 1"), "1");
  EXPECT_FALSE(Lock(me, 0, g));
  EXPECT_FALSE(Manager->LockRecord(me, g, 0, 2, {1, 1}));
  EXPECT_EQ(peer.Ask("unlock " + t1 + "6"), "1");
  EXPECT_TRUE(Lock(me, 0, g));
  EXPECT_EQ(peer.Ask("lock " + t1 + "6 2"), "0");
  // A process that ends without unlocking leaves no lock behind.
  EXPECT_EQ(peer.Ask("lock " + t0 + "1 1"), "1");
  EXPECT_FALSE(Lock(me, 6, f));
  EXPECT_EQ(peer.Quit(), 0);
  EXPECT_FALSE(Manager->IsRecordLocked(me, f, {7, 3}));
  EXPECT_TRUE(Lock(me, 6, f));
  EXPECT_TRUE(Unlock(me, 6, f));
  EXPECT_EQ(sessions->Connect(), peer.Session);
}

TEST_F(Locks, TwoHandlesInOneProcessConflictLikeTwoProcesses) {
  auto other = Open();
  TVLMDatabaseTableLockManager theirs(other.get(), kSessions);
  TVLMTableLocksFile g(other.get());
  g.OpenFile(Tables[0]);
  TVLMTableLocksFile& f = *Files[0];
  ASSERT_TRUE(theirs.LockTable(1, 6, false, false, 0, 1, g));
  EXPECT_FALSE(Lock(0, 0, f));
  // Between tries the manager sleeps half to all of the delay, outside its
  // critical section.
  std::vector<uint32_t> slept;
  qv::SetSleeper([&](uint32_t ms) {
    std::thread([&] {
      if (!Manager->CriticalSection.try_lock()) return;
      slept.push_back(ms);
      Manager->CriticalSection.unlock();
    }).join();
  });
  EXPECT_FALSE(Manager->LockTable(0, 0, false, false, 10, 3, f));
  ASSERT_EQ(slept.size(), 2u);
  for (uint32_t ms : slept) EXPECT_TRUE(ms >= 5 && ms < 10) << ms;
  ASSERT_TRUE(theirs.UnlockTable(1, 6, false, false, g));
  ASSERT_TRUE(theirs.LockRecord(1, g, 0, 1, {2, 9}));
  EXPECT_TRUE(Manager->IsRecordLocked(0, f, {2, 9}));
  EXPECT_FALSE(Lock(0, 6, f));
  ASSERT_TRUE(theirs.UnlockRecord(1, g, {2, 9}));
  EXPECT_TRUE(Lock(0, 6, f));
  EXPECT_TRUE(Unlock(0, 6, f));
}

}  // namespace
