// VLMDiskEngine, multi-user part: the active-sessions file, the table lock
// files and the table lock manager. Layouts, lock types, invariants and the
// states of a lock are described in VLMDiskEngineLocks.h.
#include "engine/storage/VLMDiskEngineLocks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <random>

#include "engine/core/VLMExcept.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace {

// M[held][requested], transcribed from the lock-type table of the header.
constexpr uint8_t kCompatible[kVLMTableLockTypes][kVLMTableLockTypes] = {
    {1, 1, 1, 1, 1, 1, 0},  //
    {1, 1, 1, 1, 0, 1, 0},  //
    {1, 1, 1, 0, 1, 1, 0},  //
    {1, 1, 0, 0, 0, 1, 0},  //
    {1, 0, 1, 0, 0, 1, 0},  //
    {1, 1, 1, 1, 1, 1, 0},  //
    {0, 0, 0, 0, 0, 0, 0},  //
};

void CheckLockType(uint8_t type) {
  if (type >= kVLMTableLockTypes) throw EVLMException(20410, "Invalid table lock type %d", {static_cast<int>(type)});
}

[[noreturn]] void NilPointer(int32_t code) { throw EVLMException(code, "Nil pointer occured"); }

uint32_t RandomBelow(uint32_t limit) {
  if (limit == 0) return 0;
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, limit - 1)(generator);
}

}  // namespace

bool VLMLockTypesCompatible(uint8_t held, uint8_t requested) {
  CheckLockType(held);
  CheckLockType(requested);
  return kCompatible[held][requested] != 0;
}

bool VLMLockTypeCovers(uint8_t a, uint8_t b) {
  for (uint8_t t = 0; t < kVLMTableLockTypes; ++t)
    if (VLMLockTypesCompatible(a, t) && !VLMLockTypesCompatible(b, t)) return false;
  return true;
}

// ------------------------------------------------------ TVLMActiveSessionsFile

TVLMActiveSessionsFile::TVLMActiveSessionsFile(TVLMDiskPageManager* pageManager) : PageManager(pageManager) {}

TVLMInternalDBDirectAccessFile& TVLMActiveSessionsFile::Opened(int32_t errorCode) const {
  if (!File_) NilPointer(errorCode);
  return *File_;
}

int32_t TVLMActiveSessionsFile::CreateFile(int32_t maxSessions) {
  auto file = std::make_unique<TVLMInternalDBDirectAccessFile>(PageManager, kVLMPageActiveSessionList);
  const int32_t startPageNo = file->CreateFile(maxSessions);
  File_ = std::move(file);
  MaxSessions = maxSessions;
  return startPageNo;
}

void TVLMActiveSessionsFile::OpenFile(int32_t startPageNo) {
  auto file = std::make_unique<TVLMInternalDBDirectAccessFile>(PageManager, kVLMPageActiveSessionList);
  file->OpenFile(startPageNo);
  MaxSessions = std::min(file->GetSize(), file->Size);
  File_ = std::move(file);
}

bool TVLMActiveSessionsFile::UnderFileLock(int32_t unlockErrorCode, const std::function<void()>& body) {
  TVLMInternalDBDirectAccessFile& file = *File_;
  const TVLMRetrySettings& settings = VLMRetrySettings();
  // Without the whole-file lock no session byte may change: another process
  // may be choosing a byte at this moment.
  if (!RetryOperation(settings.WholeFileLockTries, settings.WholeFileLockDelayMs, [&] { return file.LockFile(); }))
    return false;
  bool released = false;
  {
    auto release = qv::ScopeExit([&] {
      try {
        released = file.UnlockFile();
      } catch (...) {
      }
    });
    body();
  }
  if (!released) throw EVLMException(unlockErrorCode, "Cannot unlock sessions file");
  return true;
}

int32_t TVLMActiveSessionsFile::Connect() {
  if (!PageManager->MultiUser) return 0;
  TVLMInternalDBDirectAccessFile& file = Opened(10653);
  int32_t sessionID = -1;
  const bool locked = UnderFileLock(20093, [&] {
    for (int32_t s = 0; s < MaxSessions && sessionID < 0; ++s)
      if (file.LockByte(s)) sessionID = s;
  });
  if (!locked || sessionID < 0)
    throw EVLMException(20094,
                        "Cannot connect session. Maximum connections quantity exceeded or database is open in "
                        "single-user mode");
  return sessionID;
}

void TVLMActiveSessionsFile::Disconnect(int32_t sessionID) {
  if (!PageManager->MultiUser) return;
  TVLMInternalDBDirectAccessFile& file = Opened(10654);
  bool freed = false;
  const bool locked = UnderFileLock(20096, [&] {
    freed = sessionID >= 0 && sessionID < MaxSessions && file.UnlockByte(sessionID);
  });
  if (!locked || !freed) throw EVLMException(20095, "Cannot disconnect session");
}

bool TVLMActiveSessionsFile::EnterSingleUser() {
  TVLMInternalDBDirectAccessFile& file = Opened(10655);
  bool entered = false;
  const bool locked = UnderFileLock(20240, [&] {
    if (file.IsRegionLocked(0, MaxSessions)) return;
    for (int32_t s = 0; s < MaxSessions; ++s) {
      if (!file.LockByte(s)) {
        for (int32_t taken = 0; taken < s; ++taken) file.UnlockByte(taken);
        return;
      }
    }
    entered = true;
  });
  return locked && entered;
}

bool TVLMActiveSessionsFile::LeaveSingleUser() {
  TVLMInternalDBDirectAccessFile& file = Opened(10656);
  bool all = true;
  const bool locked = UnderFileLock(20241, [&] {
    for (int32_t s = 0; s < MaxSessions; ++s) all = file.UnlockByte(s) && all;
  });
  return locked && all;
}

// ---------------------------------------------------------- TVLMTableLocksFile

TVLMTableLocksFile::TVLMTableLocksFile(TVLMDiskPageManager* pageManager) : PageManager(pageManager) {}

TVLMInternalDBDirectAccessFile& TVLMTableLocksFile::Opened(int32_t errorCode) const {
  if (!File_) NilPointer(errorCode);
  return *File_;
}

void TVLMTableLocksFile::CheckSession(int32_t sessionID, int32_t errorCode) const {
  if (sessionID >= 0 && sessionID < MaxSessions) return;
  if (errorCode == 20200)
    throw EVLMException(20200,
                        "Cannot set table lock. Try to repair database or to increase number of allowed connections");
  throw EVLMException(errorCode, "Invalid session ID %d", {sessionID});
}

int32_t TVLMTableLocksFile::CreateFile(int32_t maxSessions) {
  if (maxSessions < 0 || maxSessions > (INT32_MAX - kVLMInternalFileHeadSize) / kVLMTableLocksBytesPerSession)
    throw EVLMException(10657, "Invalid number of sessions for a table locks file: %d", {maxSessions});
  auto file = std::make_unique<TVLMInternalDBDirectAccessFile>(PageManager, kVLMPageTableLocks);
  const int32_t startPageNo = file->CreateFile(maxSessions * kVLMTableLocksBytesPerSession);
  File_ = std::move(file);
  MaxSessions = maxSessions;
  return startPageNo;
}

void TVLMTableLocksFile::OpenFile(int32_t startPageNo) {
  auto file = std::make_unique<TVLMInternalDBDirectAccessFile>(PageManager, kVLMPageTableLocks);
  file->OpenFile(startPageNo);
  // The stored size is what the file was created for; a single page reads
  // as a whole page, which must not make room for more sessions.
  MaxSessions = std::min(file->GetSize(), file->Size) / kVLMTableLocksBytesPerSession;
  File_ = std::move(file);
}

void TVLMTableLocksFile::CloseFile() {
  File_.reset();
  MaxSessions = 0;
}

void TVLMTableLocksFile::DeleteFile() {
  Opened(10652).DeleteFile();
  CloseFile();
}

int32_t TVLMTableLocksFile::GetStartPageNo() const { return Opened(10483).StartPageNo; }

bool TVLMTableLocksFile::SetLockByte(int32_t sessionID, uint8_t type) {
  TVLMInternalDBDirectAccessFile& file = Opened(10489);
  CheckLockType(type);
  CheckSession(sessionID, 20200);
  if (type == kVLMLockTableExclusive) return false;
  return file.LockByte(type * MaxSessions + sessionID);
}

bool TVLMTableLocksFile::ClearLockByte(int32_t sessionID, uint8_t type) {
  TVLMInternalDBDirectAccessFile& file = Opened(10494);
  CheckLockType(type);
  CheckSession(sessionID, 20411);
  if (type == kVLMLockTableExclusive) return false;
  return file.UnlockByte(type * MaxSessions + sessionID);
}

bool TVLMTableLocksFile::IsHeldByOthers(int32_t sessionID, uint8_t type) {
  TVLMInternalDBDirectAccessFile& file = Opened(10490);
  CheckLockType(type);
  CheckSession(sessionID, 20411);
  if (type == kVLMLockTableExclusive) return false;
  const int32_t first = type * MaxSessions;
  return file.IsRegionLocked(first, sessionID) ||
         file.IsRegionLocked(first + sessionID + 1, MaxSessions - sessionID - 1);
}

bool TVLMTableLocksFile::CanLock(int32_t sessionID, uint8_t type, bool flag) {
  CheckLockType(type);
  for (uint8_t held = 0; held < kVLMTableLockTypes; ++held) {
    if (kCompatible[held][type]) continue;
    // A session changing a table inside a transaction may share it with
    // sessions that are only ending theirs.
    if (flag && type == kVLMLockTableChanged && held == kVLMLockTableEdit) continue;
    if (IsHeldByOthers(sessionID, held)) return false;
  }
  return true;
}

bool TVLMTableLocksFile::LockRecordByte(int32_t sessionID, const TVLMRecordID& recordID) {
  TVLMInternalDBDirectAccessFile& file = Opened(10491);
  CheckSession(sessionID, 20200);
  if (!file.LockByte(kVLMLockTableRecord * MaxSessions + sessionID)) return false;
  uint8_t stored[kVLMRecordIDSize];
  VLMPutRecordID(stored, recordID);
  file.DirectWriteBuffer(stored, kVLMRecordIDSize, 6 * MaxSessions + kVLMRecordIDSize * sessionID);
  return true;
}

bool TVLMTableLocksFile::UnlockRecordByte(int32_t sessionID, const TVLMRecordID&) {
  TVLMInternalDBDirectAccessFile& file = Opened(10492);
  CheckSession(sessionID, 20411);
  return file.UnlockByte(kVLMLockTableRecord * MaxSessions + sessionID);
}

bool TVLMTableLocksFile::IsRecordLockedByOthers(int32_t sessionID, const TVLMRecordID& recordID) {
  TVLMInternalDBDirectAccessFile& file = Opened(10493);
  CheckSession(sessionID, 20411);
  const int32_t first = kVLMLockTableRecord * MaxSessions;
  if (!file.IsRegionLocked(first, sessionID) &&
      !file.IsRegionLocked(first + sessionID + 1, MaxSessions - sessionID - 1))
    return false;
  uint8_t wanted[kVLMRecordIDSize];
  VLMPutRecordID(wanted, recordID);
  for (int32_t other = 0; other < MaxSessions; ++other) {
    if (other == sessionID || !file.IsByteLocked(first + other)) continue;
    uint8_t stored[kVLMRecordIDSize];
    file.DirectReadBuffer(stored, kVLMRecordIDSize, 6 * MaxSessions + kVLMRecordIDSize * other);
    if (std::memcmp(stored, wanted, kVLMRecordIDSize) == 0) return true;
  }
  return false;
}

bool TVLMTableLocksFile::LockFile() { return Opened(10650).LockFile(); }

bool TVLMTableLocksFile::UnlockFile() { return Opened(10651).UnlockFile(); }

// ----------------------------------------------------------- TVLMTableLockList

const TVLMTableLock* TVLMTableLockList::Find(uint8_t type, uint32_t objectID) const {
  for (const TVLMTableLock& lock : Items_)
    if (lock.LockType == type && lock.ObjectID == objectID) return &lock;
  return nullptr;
}

TVLMTableLock* TVLMTableLockList::Find(uint8_t type, uint32_t objectID) {
  return const_cast<TVLMTableLock*>(static_cast<const TVLMTableLockList*>(this)->Find(type, objectID));
}

void TVLMTableLockList::Add(uint8_t type, uint32_t objectID, bool flag, bool placed,
                            const TVLMRecordID& recordID) {
  if (TVLMTableLock* lock = Find(type, objectID)) {
    ++lock->Count;
    return;
  }
  static std::atomic<uint64_t> serials{0};
  Items_.push_back({type, objectID, 1, placed, flag, recordID, ++serials});
}

void TVLMTableLockList::Remove(uint8_t type, uint32_t objectID, bool force, bool& placed) {
  TVLMTableLock* lock = Find(type, objectID);
  if (!lock) throw EVLMException(20202, "Cannot remove table lock. Lock not found");
  --lock->Count;
  if (lock->Count > 0 && !force) {
    placed = false;
    return;
  }
  placed = lock->Placed;
  Items_.erase(Items_.begin() + (lock - Items_.data()));
}

bool TVLMTableLockList::Has(uint8_t type, uint32_t objectID) const { return Find(type, objectID) != nullptr; }

bool TVLMTableLockList::HasWithFlag(uint8_t type, uint32_t objectID, bool flag) const {
  const TVLMTableLock* lock = Find(type, objectID);
  return lock && lock->Flag == flag;
}

bool TVLMTableLockList::IsCovered(uint8_t type, uint32_t objectID) const {
  for (const TVLMTableLock& lock : Items_)
    if (lock.ObjectID == objectID && lock.LockType != type && VLMLockTypeCovers(lock.LockType, type)) return true;
  return false;
}

void TVLMTableLockList::CheckEmpty() const {
  if (!Items_.empty()) throw EVLMException(20201, "Some table locks still exist");
}

// ------------------------------------------------ TVLMDatabaseTableLockManager

namespace {

uint32_t TableOf(const TVLMTableLocksFile& locksFile) { return static_cast<uint32_t>(locksFile.GetStartPageNo()); }

// Takes the file's whole-file lock once and runs attempt under it. The lock
// is released afterwards (also when attempt raises), unless attempt
// succeeded and keepOnSuccess is set. False when the lock was busy or
// attempt said no.
bool AttemptUnderFileLock(TVLMTableLocksFile& locksFile, bool keepOnSuccess, const std::function<bool()>& attempt) {
  if (!locksFile.LockFile()) return false;
  bool succeeded = false;
  auto release = qv::ScopeExit([&] {
    if (succeeded && keepOnSuccess) return;
    try {
      locksFile.UnlockFile();
    } catch (...) {
    }
  });
  succeeded = attempt();
  return succeeded;
}

}  // namespace

TVLMDatabaseTableLockManager::TVLMDatabaseTableLockManager(TVLMDiskPageManager* pageManager, int32_t maxSessions)
    : PageManager(pageManager), MaxSessions(maxSessions), Lists_(static_cast<size_t>(std::max(maxSessions, 0))) {}

TVLMTableLockList& TVLMDatabaseTableLockManager::List(int32_t sessionID) {
  if (sessionID < 0 || sessionID >= MaxSessions)
    throw EVLMException(20411, "Invalid session ID %d", {sessionID});
  return Lists_[static_cast<size_t>(sessionID)];
}

uint64_t TVLMDatabaseTableLockManager::CommitExclusionSerial(int32_t sessionID, uint32_t objectID) {
  std::lock_guard<std::recursive_mutex> guard(CriticalSection);
  const TVLMTableLockList& list = List(sessionID);
  // Each of these types is incompatible with the commit lock (type 4) that
  // every commit of the table's records takes, and with type 3.
  for (uint8_t type : {kVLMLockTableChanged, kVLMLockTableCommit, kVLMLockTableExclusive})
    if (const TVLMTableLock* lock = list.Find(type, objectID)) return lock->Serial;
  return 0;
}

void TVLMDatabaseTableLockManager::CheckNoLocks() const {
  for (const TVLMTableLockList& list : Lists_) list.CheckEmpty();
}

void TVLMDatabaseTableLockManager::SleepOutside(Guard& guard, uint32_t ms) {
  if (!guard.owns_lock()) {
    qv::SleepMs(ms);
    return;
  }
  guard.unlock();
  auto relock = qv::ScopeExit([&] { guard.lock(); });
  qv::SleepMs(ms);
}

bool TVLMDatabaseTableLockManager::ChangeUnderFileLock(bool holdsFileLock, TVLMTableLocksFile& locksFile,
                                                       Guard& guard, const std::function<bool()>& change) {
  // The handle cannot take its own whole-file lock a second time.
  if (holdsFileLock) return change();
  const TVLMRetrySettings& settings = VLMRetrySettings();
  for (int32_t i = 0; i < settings.WholeFileLockTries; ++i) {
    if (i > 0) SleepOutside(guard, settings.WholeFileLockDelayMs);
    if (AttemptUnderFileLock(locksFile, false, change)) return true;
  }
  return false;
}

bool TVLMDatabaseTableLockManager::LockTable(int32_t sessionID, uint8_t type, bool flag, bool inCriticalSection,
                                             uint32_t delayMs, int32_t tries, TVLMTableLocksFile& locksFile) {
  CheckLockType(type);
  if (PageManager->Exclusive) return true;
  Guard guard(CriticalSection, std::defer_lock);
  if (!inCriticalSection) guard.lock();
  TVLMTableLockList& list = List(sessionID);
  const uint32_t table = TableOf(locksFile);
  // Type 6 covers every type: a repeated type 2 included, which would
  // otherwise be refused below.
  if (list.Has(kVLMLockTableExclusive, table)) {
    list.Add(type, table, flag, false);
    return true;
  }
  if (list.Has(type, table)) {
    if (type == kVLMLockTableEdit) return false;
    list.Add(type, table, true, false);
    return true;
  }
  if (list.IsCovered(type, table)) {
    list.Add(type, table, flag, false);
    return true;
  }
  const bool exclusive = type == kVLMLockTableExclusive;
  for (int32_t i = 0; i < tries; ++i) {
    if (i > 0) SleepOutside(guard, RandomBelow(delayMs / 2) + delayMs / 2);
    // The exclusive lock is the whole-file lock itself: it stays held.
    const bool granted = AttemptUnderFileLock(locksFile, exclusive, [&] {
      if (!locksFile.CanLock(sessionID, type, flag)) return false;
      if (!exclusive && !locksFile.SetLockByte(sessionID, type))
        throw EVLMException(20203, "Cannot set table lock");
      return true;
    });
    if (granted) {
      list.Add(type, table, flag, true);
      return true;
    }
  }
  return false;
}

bool TVLMDatabaseTableLockManager::UnlockTable(int32_t sessionID, uint8_t type, bool force, bool onlyIfHeld,
                                               TVLMTableLocksFile& locksFile) {
  CheckLockType(type);
  if (PageManager->Exclusive) return true;
  Guard guard(CriticalSection);
  TVLMTableLockList& list = List(sessionID);
  const uint32_t table = TableOf(locksFile);
  const TVLMTableLock* lock = list.Find(type, table);
  if (!lock && onlyIfHeld) return true;
  const bool flag = lock && lock->Flag;
  const TVLMRecordID recordID = lock ? lock->RecordID : TVLMRecordID{};
  bool placed = false;
  list.Remove(type, table, force, placed);
  if (!placed) return true;
  const bool exclusive = type == kVLMLockTableExclusive;
  const bool holdsFileLock = exclusive || list.Has(kVLMLockTableExclusive, table);
  // Weaker locks the session still holds on the table must not lapse with
  // this one: their bytes are set before its byte is cleared.
  std::vector<uint8_t> covered;
  for (const TVLMTableLock& other : list.Items())
    if (other.ObjectID == table && !other.Placed && VLMLockTypeCovers(type, other.LockType))
      covered.push_back(other.LockType);
  bool released = covered.empty() || ChangeUnderFileLock(holdsFileLock, locksFile, guard, [&] {
    for (uint8_t t : covered) {
      // Looked up again: the critical section may have been left meanwhile.
      TVLMTableLock* other = list.Find(t, table);
      if (!other || other->Placed) continue;
      // A record lock's byte means nothing to another process without the
      // record it names.
      other->Placed = t == kVLMLockTableRecord ? locksFile.LockRecordByte(sessionID, other->RecordID)
                                               : locksFile.SetLockByte(sessionID, t);
    }
    return true;
  });
  if (released && exclusive) {
    released = false;
    const TVLMRetrySettings& settings = VLMRetrySettings();
    for (int32_t i = 0; i < settings.WholeFileLockTries && !released; ++i) {
      if (i > 0) SleepOutside(guard, settings.WholeFileLockDelayMs);
      released = locksFile.UnlockFile();
    }
  } else if (released) {
    released = ChangeUnderFileLock(holdsFileLock, locksFile, guard, [&] {
      if (!locksFile.ClearLockByte(sessionID, type)) throw EVLMException(20204, "Cannot unlock table");
      return true;
    });
  }
  if (!released) list.Add(type, table, flag, placed, recordID);
  return released;
}

bool TVLMDatabaseTableLockManager::LockRecord(int32_t sessionID, TVLMTableLocksFile& locksFile, uint32_t delayMs,
                                              int32_t tries, const TVLMRecordID& recordID) {
  if (PageManager->Exclusive) return true;
  Guard guard(CriticalSection);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(tries) * delayMs);
  TVLMTableLockList& list = List(sessionID);
  const uint32_t table = TableOf(locksFile);
  if (list.Has(kVLMLockTableRecord, table)) return false;  // one record lock per session and table
  // No other session can lock a record of a table this one holds
  // exclusively or changes without the flag.
  if (list.Has(kVLMLockTableExclusive, table) || list.HasWithFlag(kVLMLockTableChanged, table, false)) {
    list.Add(kVLMLockTableRecord, table, true, false, recordID);
    return true;
  }
  for (int32_t i = 0; i < tries; ++i) {
    if (i > 0) {
      SleepOutside(guard, delayMs);
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
    const bool locked = AttemptUnderFileLock(locksFile, false, [&] {
      if (locksFile.IsRecordLockedByOthers(sessionID, recordID)) return false;
      if (!locksFile.LockRecordByte(sessionID, recordID)) throw EVLMException(20205, "Cannot lock record");
      return true;
    });
    if (locked) {
      list.Add(kVLMLockTableRecord, table, true, true, recordID);
      return true;
    }
  }
  return false;
}

bool TVLMDatabaseTableLockManager::UnlockRecord(int32_t sessionID, TVLMTableLocksFile& locksFile,
                                                const TVLMRecordID& recordID) {
  if (PageManager->Exclusive) return true;
  Guard guard(CriticalSection);
  TVLMTableLockList& list = List(sessionID);
  const uint32_t table = TableOf(locksFile);
  if (!list.Has(kVLMLockTableRecord, table)) return false;
  bool placed = false;
  list.Remove(kVLMLockTableRecord, table, false, placed);
  if (!placed) return true;
  const bool released = ChangeUnderFileLock(list.Has(kVLMLockTableExclusive, table), locksFile, guard, [&] {
    if (!locksFile.UnlockRecordByte(sessionID, recordID)) throw EVLMException(20206, "Cannot unlock record");
    return true;
  });
  // A byte still set stays listed, so a later unlock can clear it.
  if (!released) list.Add(kVLMLockTableRecord, table, true, true, recordID);
  return released;
}

bool TVLMDatabaseTableLockManager::IsRecordLocked(int32_t sessionID, TVLMTableLocksFile& locksFile,
                                                  const TVLMRecordID& recordID) {
  Guard guard(CriticalSection);
  return locksFile.IsRecordLockedByOthers(sessionID, recordID);
}

bool TVLMDatabaseTableLockManager::LockForCommit(int32_t sessionID) {
  Guard guard(CriticalSection);
  TVLMTableLockList& list = List(sessionID);
  std::vector<uint32_t> changed;
  for (const TVLMTableLock& lock : list.Items())
    if (lock.LockType == kVLMLockTableChanged && !list.Has(kVLMLockTableCommit, lock.ObjectID) &&
        !list.IsCovered(kVLMLockTableCommit, lock.ObjectID))
      changed.push_back(lock.ObjectID);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  // The commit locks taken here; a failure gives back these and no others
  // (a commit lock the session held before belongs to its caller).
  std::vector<uint32_t> taken;
  auto giveBack = [&] {
    for (uint32_t table : taken) {
      TVLMTableLocksFile locksFile(PageManager);
      locksFile.OpenFile(static_cast<int32_t>(table));
      UnlockTable(sessionID, kVLMLockTableCommit, false, true, locksFile);
    }
  };
  bool locked = true;
  try {
    for (uint32_t table : changed) {
      TVLMTableLocksFile locksFile(PageManager);
      locksFile.OpenFile(static_cast<int32_t>(table));
      locked = LockTable(sessionID, kVLMLockTableCommit, true, true, settings.TableCommitDelayMs,
                         settings.TableCommitTries, locksFile);
      if (!locked) break;
      taken.push_back(table);
    }
  } catch (...) {
    try {
      giveBack();
    } catch (...) {
    }
    throw;
  }
  if (locked) return true;
  giveBack();
  for (uint32_t table : taken)
    if (list.Has(kVLMLockTableCommit, table)) throw EVLMException(20234, "Some table locks still exist");
  return false;
}

bool TVLMDatabaseTableLockManager::ReleaseTransactionLocks(int32_t sessionID) {
  Guard guard(CriticalSection);
  TVLMTableLockList& list = List(sessionID);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  // Records stay locked past the transaction under type 2, which keeps the
  // table from being changed by others while this session edits it.
  std::vector<uint32_t> recordTables;
  for (const TVLMTableLock& lock : list.Items())
    if (lock.LockType == kVLMLockTableRecord && !list.Has(kVLMLockTableExclusive, lock.ObjectID) &&
        !list.Has(kVLMLockTableEdit, lock.ObjectID))
      recordTables.push_back(lock.ObjectID);
  for (uint32_t table : recordTables) {
    TVLMTableLocksFile locksFile(PageManager);
    locksFile.OpenFile(static_cast<int32_t>(table));
    if (!LockTable(sessionID, kVLMLockTableEdit, true, true, settings.TableCommitDelayMs, settings.TableCommitTries,
                   locksFile))
      return false;
  }
  std::vector<std::pair<uint8_t, uint32_t>> transaction;
  for (const TVLMTableLock& lock : list.Items())
    if (lock.LockType == kVLMLockTableChanged || lock.LockType == kVLMLockTableCommit)
      transaction.emplace_back(lock.LockType, lock.ObjectID);
  for (const auto& [type, table] : transaction) {
    TVLMTableLocksFile locksFile(PageManager);
    locksFile.OpenFile(static_cast<int32_t>(table));
    UnlockTable(sessionID, type, true, true, locksFile);
  }
  return true;
}
