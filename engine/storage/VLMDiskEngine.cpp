// VLMDiskEngine, page-manager part: TVLMDiskPageManager (header blocks,
// object IDs, lock bytes, page allocation and the page cache's slots). Its
// create, open and close are in VLMDiskEngineOpen.cpp, its page reads and
// writes in VLMDiskEnginePageIO.cpp, its commit protocol in
// VLMDiskEngineCommit.cpp, the table page stamps in VLMDiskEngineStamps.cpp.
// The file layout and the invariants are described in VLMDiskEngine.h.
#include "engine/storage/VLMDiskEngine.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <random>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMSecurity.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Paths.h"
#include "platform/os/System.h"

TVLMDiskPageManager::DatabaseLockGuard::~DatabaseLockGuard() {
  try {
    Manager_->UnlockDatabase();
  } catch (...) {
    // The handle is gone; so is its lock.
  }
}

bool TVLMDiskPageManager::LockDatabaseWithRetry() {
  const TVLMRetrySettings& settings = VLMRetrySettings();
  return RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs, [this] { return LockDatabase(); });
}

uint32_t TVLMDiskPageManager::RandomBelow(uint32_t limit) {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, limit - 1)(generator);
}

// --------------------------------------------------------------- FileScope

TVLMDiskPageManager::FileScope::FileScope(TVLMDiskPageManager* manager) : Manager_(manager) {
  QV_REQUIRE_LOCK(manager->CriticalSectionHeld(), "the database critical section");
  // Only an open database that is between operations; the outermost scope
  // opens and closes the file.
  if (Manager_->OpenPerOperation && Manager_->FreeSpace && !Manager_->DatabaseFile.IsOpen()) {
    Manager_->DatabaseFile.OpenShared();
    Opened_ = true;
  }
}

TVLMDiskPageManager::FileScope::~FileScope() {
  if (!Opened_) return;
  try {
    Manager_->DatabaseFile.CloseShared();
  } catch (...) {
    // Closing a descriptor cannot be repaired here.
  }
}

// ------------------------------------------------------- TVLMDiskPageManager

TVLMDiskPageManager::TVLMDiskPageManager() {
  PageHeaderSize = kVLMPageHeaderSize;
  // A handle made anew after its locks were gone for a while: another
  // connection may have rolled back or overwritten what this one was
  // writing, and changed what it has cached.
  DatabaseFile.LocksReleased = [this](const std::string& cause) {
    Failed_ = true;
    FailureCode_ = 10750;
    FailureCause_ = cause;
    BreakChangeChain();
    ++HeaderEpoch_;
  };
}

TVLMDiskPageManager::~TVLMDiskPageManager() {
  FreeSpace.reset();
  DatabaseFile.Handle().Close();
}

void TVLMDiskPageManager::SetGeometry(uint16_t pageSize) {
  PageSize = pageSize;
  PageHeaderSize = kVLMPageHeaderSize;
  PageDataSize = static_cast<uint16_t>(pageSize - kVLMPageHeaderSize);
}

void TVLMDiskPageManager::CheckGeometry() const {
  if (Header.PageSize < kVLMMinPageSize || Header.ExtentSize < 1)
    throw EVLMException(10463, "Invalid database format. PageSize = %d, ExtentSize = %d",
                        {static_cast<int>(Header.PageSize), static_cast<int>(Header.ExtentSize)});
}

void TVLMDiskPageManager::CheckHeaderOpen(int32_t errorCode) const {
  if (!DatabaseFile.IsOpen() && !(OpenPerOperation && FreeSpace))
    throw EVLMException(errorCode, "Error - database file is not opened.");
}

void TVLMDiskPageManager::ReadHeader() {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckHeaderOpen(10459);
  FileScope scope(this);
  // Nothing but this handle writes the header of a file it writes alone, and
  // its copy carries the free-space counts the next commit writes.
  if (SoleWriter()) {
    PageCount = static_cast<int32_t>(std::min<uint32_t>(Header.PageCount, INT32_MAX));
    return;
  }
  uint8_t bytes[kVLMBlock1Size];
  ++HeaderEpoch_;
  DatabaseFile.ReadBufferEx(bytes, 10464, DatabaseOffset, kVLMBlock1Size);
  Header.Load(bytes);
  PageCount = static_cast<int32_t>(std::min<uint32_t>(Header.PageCount, INT32_MAX));
}

void TVLMDiskPageManager::WriteHeader(bool checkExternal) {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckHeaderOpen(10460);
  FileScope scope(this);
  uint8_t bytes[kVLMBlock1Size];
  // Only an open-per-operation database can miss another program's commit
  // between two operations; the stored header is read only to check that.
  if (OpenPerOperation && checkExternal) {
    DatabaseFile.ReadBufferEx(bytes, 20195, DatabaseOffset, kVLMBlock1Size);
    TVLMDatabaseHeader stored;
    stored.Load(bytes);
    if (checkExternal && stored.ChangeCounter != Header.ChangeCounter && stored.CommitState == kVLMCommitWriting)
      throw EVLMException(20196, "Cannot write changes. Database file was modified by external application");
  }
  ++HeaderEpoch_;
  Header.Store(bytes);
  DatabaseFile.WriteBuffer(bytes, 10462, DatabaseOffset, kVLMBlock1Size);
}

void TVLMDiskPageManager::ReadBlock2() {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckHeaderOpen(30436);
  FileScope scope(this);
  uint8_t bytes[kVLMBlock2Size];
  DatabaseFile.ReadBufferEx(bytes, 30439, Block2Position, kVLMBlock2Size);
  Block2.Load(bytes);
}

void TVLMDiskPageManager::WriteBlock2() {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckHeaderOpen(30437);
  FileScope scope(this);
  uint8_t bytes[kVLMBlock2Size];
  Block2.Store(bytes);
  DatabaseFile.WriteBuffer(bytes, 30438, Block2Position, kVLMBlock2Size);
}

void TVLMDiskPageManager::ReadBlock3() {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckHeaderOpen(30441);
  FileScope scope(this);
  uint8_t bytes[2];
  DatabaseFile.ReadBufferEx(bytes, 30442, Block3Position, 2);
  Block3.Length = VLMGetU16LE(bytes);
}

void TVLMDiskPageManager::WriteBlock3() {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckHeaderOpen(30443);
  FileScope scope(this);
  uint8_t bytes[kVLMBlock3Size] = {};
  VLMPutU16LE(bytes, Block3.Length);
  DatabaseFile.WriteBuffer(bytes, 30444, Block3Position, kVLMBlock3Size);
}

void TVLMDiskPageManager::FlushBuffers() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  DatabaseFile.Flush();
  CommitUnflushed_ = false;
}

void TVLMDiskPageManager::FlushForCommit() { DatabaseFile.Flush(); }

void TVLMDiskPageManager::CheckHeaderCounts(uint32_t pageCount, int32_t lastUsedPage) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (pageCount > static_cast<uint32_t>(INT32_MAX) || lastUsedPage < -1 ||
      static_cast<int64_t>(lastUsedPage) >= static_cast<int64_t>(pageCount) ||
      DatabaseFile.GetSize() < FirstPagePosition + static_cast<int64_t>(pageCount) * PageSize)
    throw EVLMException(10748,
                        "Cannot write the page counts of database file '%s': PageCount = %u, LastUsedPage = %d, "
                        "file size = %d. Nothing was written",
                        {DatabaseFile.FileName, pageCount, lastUsedPage,
                         static_cast<long long>(DatabaseFile.GetSize())});
}

void TVLMDiskPageManager::CheckFileHoldsPages() {
  VLM_REQUIRE_DATABASE_SECTION();
  const int64_t size = DatabaseFile.GetSize();
  if (size < FirstPagePosition + static_cast<int64_t>(Header.PageCount) * PageSize)
    throw EVLMException(10601,
                        "Database file '%s' is shorter than its header says (PageCount = %u, file size = %d). "
                        "The database needs repair",
                        {DatabaseFile.FileName, Header.PageCount, static_cast<long long>(size)});
}

bool TVLMDiskPageManager::GrowToPageCount() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  const int64_t needed = FirstPagePosition + static_cast<int64_t>(Header.PageCount) * PageSize;
  if (DatabaseFile.GetSize() >= needed) return false;
  DatabaseFile.SetSize(needed);
  return true;
}

bool TVLMDiskPageManager::HoldsWrittenPage(int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  uint8_t head[kVLMPageWriteCounterOffset + 4];
  // A head that cannot be read is not judged.
  if (!DatabaseFile.ReadBuffer(head, PagePosition(pageNo), sizeof head)) return true;
  return std::memcmp(head + kVLMPageMagicOffset, "VLMP", 4) == 0 &&
         VLMGetU32LE(head + kVLMPageWriteCounterOffset) != kVLMFreedPageCounter;
}

bool TVLMDiskPageManager::HoldsPagesBeyondCount() {
  VLM_REQUIRE_DATABASE_SECTION();
  // An interrupted growth or shrink leaves only pages no commit references
  // past the count: never written (zeros), freed (their counter says so), or
  // map pages. A page of any other type with a live counter was committed
  // there, so the count itself is wrong.
  const int64_t end = DatabaseFile.GetSize();
  uint8_t head[kVLMPageTypeOffset + 2];
  for (int64_t position = FirstPagePosition + static_cast<int64_t>(Header.PageCount) * PageSize;
       position + PageSize <= end; position += PageSize) {
    if (!DatabaseFile.ReadBuffer(head, position, sizeof head)) continue;
    const uint16_t type = VLMGetU16LE(head + kVLMPageTypeOffset);
    if (std::memcmp(head + kVLMPageMagicOffset, "VLMP", 4) == 0 &&
        VLMGetU32LE(head + kVLMPageWriteCounterOffset) != kVLMFreedPageCounter &&
        type >= kVLMPageFileSystemDirectory && type <= kVLMPageTableIndex)
      return true;
  }
  return false;
}

bool TVLMDiskPageManager::SoleWriter() const {
  VLM_REQUIRE_DATABASE_SECTION();
  return SoleWriterLock_ && !MultiUser && !OpenPerOperation && !ReadOnlyFile_ && !Failed_ && DatabaseFile.IsOpen() &&
         DatabaseFile.AccessMode == TVLMFileAccessMode::ReadWrite;
}

void TVLMDiskPageManager::SetSoleWriterLock(bool held) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (held == SoleWriterLock_) return;
  FileScope scope(this);
  // Another handle may have written, or may write, in between.
  BreakChangeChain();
  if (held) {
    // Nothing read before the lock was taken is trusted after it.
    if (FreeSpace && !Failed_ && DatabaseFile.IsOpen()) {
      if (!LockDatabaseWithRetry()) throw EVLMException(20236, "Database is locked");
      DatabaseLockGuard guard(this);
      ReadHeader();
      FreeSpace->DropState();
    }
    SoleWriterLock_ = true;
    return;
  }
  // Another writer may follow at once. The free-space changes kept in
  // memory describe only pages no commit took (the owner rolled its
  // transaction back before): they go, and the file keeps the maps of its
  // last commit. The journal of that commit goes while the file is still
  // this handle's alone: another writer's in-place writes of the maps could
  // make it look like a torn commit.
  SoleWriterLock_ = false;
  if (FreeSpace && !Failed_ && IsOpen() && !ReadOnlyFile_) RetireStaleJournal();
  if (FreeSpace) FreeSpace->DropState();
}

void TVLMDiskPageManager::CheckNotFailed() const {
  if (Failed_ && FailureCode_ == 10750)
    throw EVLMException(10750,
                        "Database file '%s' cannot be used any more through this connection: its handle went bad "
                        "(%s) and was opened again, and the locks the connection held were released meanwhile, so "
                        "another connection may have changed the file. Close the database and open it again",
                        {DatabaseFile.FileName, FailureCause_});
  if (Failed_)
    throw EVLMException(10600,
                        "Database file '%s' cannot be used after a failed write during a commit. Close the "
                        "database and repair it. Cause: %s",
                        {DatabaseFile.FileName, FailureCause_});
}

void TVLMDiskPageManager::EnterFailedState(const std::string& cause, const std::vector<int32_t>& pageNos) {
  Failed_ = true;
  BreakChangeChain();
  ++HeaderEpoch_;
  // The released locks stay the cause: whatever failed after them followed.
  if (FailureCode_ != 10750) FailureCause_ = cause;
  // The disk may hold the old or the new version of each of them, or part
  // of either; no cached copy may stand in for it.
  ForgetSharedCopies(pageNos);
}

// --------------------------------------------------------------- object IDs

void TVLMDiskPageManager::InitNextObjectID() {
  VLM_REQUIRE_DATABASE_SECTION();
  if (ReadOnlyFile_ || DatabaseFile.AccessMode == TVLMFileAccessMode::ReadOnly) return;
  FileScope scope(this);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!RetryOperation(settings.NextObjectIDTries, settings.NextObjectIDDelayMs, [this] { return LockNextObjectID(); }))
    throw EVLMException(30398, "Cannot initialize NextObjectID. File area is Locked.");
  uint8_t bytes[kVLMNextObjectIDSize] = {};
  try {
    DatabaseFile.WriteBuffer(bytes, 30406, NextObjectIDPosition, kVLMNextObjectIDSize);
  } catch (...) {
    UnlockNextObjectID();
    throw;
  }
  UnlockNextObjectID();
}

uint32_t TVLMDiskPageManager::GetNextObjectID() {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsOpen()) throw EVLMException(30399, "Error - database file is not opened.");
  FileScope scope(this);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!RetryOperation(settings.NextObjectIDTries, settings.NextObjectIDDelayMs, [this] { return LockNextObjectID(); }))
    throw EVLMException(30401, "Cannot get NextObjectID. File area is Locked.");
  uint32_t value = 0;
  try {
    uint8_t bytes[kVLMNextObjectIDSize];
    DatabaseFile.ReadBufferEx(bytes, 30400, NextObjectIDPosition, kVLMNextObjectIDSize);
    value = VLMGetU32LE(bytes) + 1;
    if (!ReadOnlyHandle()) {
      VLMPutU32LE(bytes, value);
      DatabaseFile.WriteBuffer(bytes, 30404, NextObjectIDPosition, kVLMNextObjectIDSize);
    } else {
      // Nothing can be written: a random step keeps other read-only
      // processes apart, the high-water mark keeps this one from repeating.
      value += RandomBelow(10000);
      if (value <= ReadOnlyObjectIDMark_) value = ReadOnlyObjectIDMark_ + 1;
      ReadOnlyObjectIDMark_ = value;
    }
  } catch (...) {
    UnlockNextObjectID();
    throw;
  }
  UnlockNextObjectID();
  return value;
}

// ------------------------------------------------------------ growth, shrink

void TVLMDiskPageManager::AddPages(int32_t count) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (count <= 0) return;
  FileScope scope(this);
  int64_t newCount = static_cast<int64_t>(Header.PageCount) + count;
  if (newCount > INT32_MAX) throw EVLMException(30390, "Database file is full. PageCount = %d", {static_cast<long long>(newCount)});
  // The file only grows here: it may already be longer (an interrupted
  // growth, a shrink kept in memory that the file on disk still counts), and
  // a commit cuts it to its header's length once that header is flushed.
  // Pages in use beyond the count would be overwritten instead.
  if (HoldsPagesBeyondCount())
    throw EVLMException(10730,
                        "Database file '%s' holds pages in use beyond its header's page count (PageCount = %u). "
                        "The database needs repair",
                        {DatabaseFile.FileName, Header.PageCount});
  ++HeaderEpoch_;
  const int64_t size = FirstPagePosition + newCount * PageSize;
  if (DatabaseFile.GetSize() < size) DatabaseFile.SetSize(size);
  VLM_INVARIANT("VLMDiskEngine 5", DatabaseFile.GetSize() >= size);
  Header.PageCount = static_cast<uint32_t>(newCount);
  PageCount = static_cast<int32_t>(newCount);
}

void TVLMDiskPageManager::RemovePages(int32_t count) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (count <= 0 || static_cast<uint32_t>(count) > Header.PageCount) return;
  FileScope scope(this);
  // The cut would take pages in use beyond the count with it: the file stays
  // as it is until it is repaired.
  if (HoldsPagesBeyondCount()) return;
  // The header goes first: a file longer than its header says is harmless, a
  // header that counts pages the file no longer has is not.
  ++HeaderEpoch_;
  Header.PageCount -= static_cast<uint32_t>(count);
  PageCount = static_cast<int32_t>(std::min<uint32_t>(Header.PageCount, INT32_MAX));
  WriteHeader(true);
  // On disk before the pages go: cut first, the header would count pages
  // the file lacks.
  if (SyncOnCommit) DatabaseFile.Flush();
  DatabaseFile.SetSize(FirstPagePosition + static_cast<int64_t>(Header.PageCount) * PageSize);
}

void TVLMDiskPageManager::TruncateUnusedPages() {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!FreeSpace) throw EVLMException(10467, "Error - database file is not opened.");
  CheckNotFailed();
  FileScope scope(this);
  RunCommit(nullptr, CommitExtra::TruncateUnused, 10466);
}

// --------------------------------------------------------------- page bytes

int64_t TVLMDiskPageManager::PagePosition(int32_t pageNo) const {
  VLM_REQUIRE_DATABASE_SECTION();
  if (pageNo < 0) throw EVLMException(10471, "Invalid PageNo = %d", {pageNo});
  return FirstPagePosition + static_cast<int64_t>(pageNo) * PageSize;
}

void TVLMDiskPageManager::ReadPageBytes(void* buffer, int32_t pageNo, int32_t count, int32_t offset) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (offset < 0 || count < 0 || static_cast<int64_t>(offset) + count > PageSize)
    throw EVLMException(10476, "Error - invalid page offset = %d, page size = %d",
                        {static_cast<long long>(offset) + count, static_cast<int>(PageSize)});
  FileScope scope(this);
  DatabaseFile.ReadBufferEx(buffer, 10474, PagePosition(pageNo) + offset, count);
}

void TVLMDiskPageManager::WritePageBytes(const void* buffer, int32_t pageNo, int32_t count, int32_t offset) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (offset < 0 || count < 0 || static_cast<int64_t>(offset) + count > PageSize)
    throw EVLMException(10477, "Error - invalid page offset = %d, page size = %d",
                        {static_cast<long long>(offset) + count, static_cast<int>(PageSize)});
  FileScope scope(this);
  NoteWrittenInPlace(pageNo);
  DatabaseFile.WriteBuffer(buffer, 10475, PagePosition(pageNo) + offset, count);
}

uint32_t TVLMDiskPageManager::ReadPageWriteCounter(int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  ++FileReads_;
  uint8_t bytes[4];
  DatabaseFile.ReadBufferEx(bytes, 20197, PagePosition(pageNo) + kVLMPageWriteCounterOffset, 4);
  return VLMGetU32LE(bytes);
}

bool TVLMDiskPageManager::ReadCommitMark(uint32_t& changeCounter) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsOpen()) return false;
  FileScope scope(this);
  ++CommitMarkReads_;
  // PageCount, LastUsedPage, ChangeCounter, CommitState and RollbackCount
  // lie side by side: one read, of the bytes the file holds.
  static_assert(kVLMChangeCounterOffset == kVLMPageCountOffset + 8);
  static_assert(kVLMCommitStateOffset == kVLMChangeCounterOffset + 4);
  uint8_t bytes[kMarkBytes];
  if (!DatabaseFile.ReadBufferUnpatched(bytes, DatabaseOffset + kVLMPageCountOffset, kMarkBytes)) return false;
  const uint32_t rollbacks = VLMGetU32LE(bytes + (kVLMRollbackCountOffset - kVLMPageCountOffset));
  if (RollbackSeenSet_ && rollbacks != RollbackSeen_) RollbackNoticed_ = true;
  RollbackSeen_ = rollbacks;
  RollbackSeenSet_ = true;
  if (PreImages_) {
    // While the cut commit this handle reads around stands, the mark is
    // that of the commit before it.
    if (std::memcmp(bytes, PreImagesMark_, kMarkBytes) == 0) {
      const std::vector<uint8_t>& before = PreImages_->Commit().Before;
      changeCounter = VLMGetU32LE(before.data() + kVLMChangeCounterOffset);
      MarkPageCount_ =
          static_cast<int32_t>(std::min<uint32_t>(VLMGetU32LE(before.data() + kVLMPageCountOffset), INT32_MAX));
      return true;
    }
    StopReadingThroughPreImages();
  }
  changeCounter = VLMGetU32LE(bytes + (kVLMChangeCounterOffset - kVLMPageCountOffset));
  if (bytes[kVLMCommitStateOffset - kVLMPageCountOffset] != kVLMCommitClean) return false;
  // Every page a finished commit reaches lies below the count stored with
  // it: a reader learns the count with every mark it reads.
  MarkPageCount_ = static_cast<int32_t>(std::min<uint32_t>(VLMGetU32LE(bytes), INT32_MAX));
  return true;
}

int32_t TVLMDiskPageManager::KnownPageCount() const {
  VLM_REQUIRE_DATABASE_SECTION();
  int32_t count = std::max(PageCount, MarkPageCount_);
  if (FreeSpace) count = std::max(count, FreeSpace->TotalPageCount);
  return count;
}

bool TVLMDiskPageManager::ReadFinishedCommitMark(uint32_t& changeCounter) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (ReadCommitMark(changeCounter)) return true;
  if (!IsOpen()) return false;
  // This handle's own commit that failed left the mark so: its reads are
  // refused as the failed state says.
  CheckNotFailed();
  FileScope scope(this);
  if (!LockDatabaseWithRetry()) throw EVLMException(10746, "Database is locked");
  DatabaseLockGuard guard(this);
  // Another connection's cut commit: rolled back, or read around.
  if (!SettleInterruptedCommit()) {
    StopReadingThroughPreImages();
    auto journal = std::make_unique<TVLMCommitJournal>();
    JournalUse use = JournalUse::None;
    try {
      use = ExamineJournal(*journal);
    } catch (const qv::EOSError&) {
      // A journal that cannot be read cannot be read around either.
    }
    if (use != JournalUse::Interrupted) CheckNoInterruptedCommit();
    ReadThroughPreImages(std::move(journal));
  }
  return ReadCommitMark(changeCounter);
}

void TVLMDiskPageManager::WritePageWriteCounter(int32_t pageNo, uint32_t value) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  uint8_t bytes[4];
  VLMPutU32LE(bytes, value);
  NoteWrittenInPlace(pageNo);
  DatabaseFile.WriteBuffer(bytes, 20198, PagePosition(pageNo) + kVLMPageWriteCounterOffset, 4);
}

// -------------------------------------------------------------------- locks

bool TVLMDiskPageManager::LockDatabase() {
  VLM_REQUIRE_DATABASE_SECTION();
  if (DatabaseLockCount > 0) {
    // Counted, not taken: only right for the thread that holds it.
    VLM_INVARIANT("VLMDiskEngine 12", DatabaseLockOwner_ == std::this_thread::get_id());
    ++DatabaseLockCount;
    return true;
  }
  FileScope scope(this);
  if (!DatabaseFile.LockByte(1, DatabaseOffset + kVLMDatabaseLockOffset)) return false;
  DatabaseLockCount = 1;
  DatabaseLockOwner_ = std::this_thread::get_id();
  return true;
}

bool TVLMDiskPageManager::UnlockDatabase() {
  VLM_REQUIRE_DATABASE_SECTION();
  VLM_INVARIANT("VLMDiskEngine 12", DatabaseLockCount == 0 || DatabaseLockOwner_ == std::this_thread::get_id());
  if (DatabaseLockCount > 1) {
    --DatabaseLockCount;
    return true;
  }
  if (DatabaseLockCount == 0) return false;
  DatabaseLockCount = 0;
  if (!DatabaseFile.IsOpen() && !OpenPerOperation) return true;  // closed: the lock went with it
  FileScope scope(this);
  return DatabaseFile.UnlockByte(1, DatabaseOffset + kVLMDatabaseLockOffset);
}

bool TVLMDiskPageManager::LockDatabaseTablesByte() {
  FileScope scope(this);
  return DatabaseFile.LockByte(1, DatabaseOffset + kVLMTablesLockOffset);
}

bool TVLMDiskPageManager::UnlockDatabaseTablesByte() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.UnlockByte(1, DatabaseOffset + kVLMTablesLockOffset);
}

bool TVLMDiskPageManager::LockNextObjectID() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.LockByte(1, NextObjectIDPosition);
}

bool TVLMDiskPageManager::UnlockNextObjectID() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.UnlockByte(1, NextObjectIDPosition);
}

bool TVLMDiskPageManager::LockPageByte(int32_t pageNo, int32_t offset) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.LockByte(1, PagePosition(pageNo) + offset);
}

bool TVLMDiskPageManager::UnlockPageByte(int32_t pageNo, int32_t offset) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.UnlockByte(1, PagePosition(pageNo) + offset);
}

bool TVLMDiskPageManager::IsPageByteLocked(int32_t pageNo, int32_t offset) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.IsByteLocked(PagePosition(pageNo) + offset);
}

bool TVLMDiskPageManager::IsPageRegionLocked(int32_t pageNo, int32_t offset, int32_t count) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.IsRegionLocked(count, PagePosition(pageNo) + offset);
}

// ------------------------------------------------------------ page manager slots

int32_t TVLMDiskPageManager::GetPageCount() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  // Another connection's commit holds the lock for as long as it writes;
  // like every wait for it, this one waits that out.
  if (!LockDatabaseWithRetry()) throw EVLMException(20236, "Database is locked");
  DatabaseLockGuard guard(this);
  ReadHeader();
  return PageCount;
}

bool TVLMDiskPageManager::IsPageValid(int32_t sessionID, TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!ChecksCachedPages()) return true;
  TVLMPageStamp stamp, counter;
  if (!PagesCache.CurrentStamp(sessionID, stamp)) return false;
  return page->GetSessionCounter(sessionID, counter) && counter == stamp;
}

void TVLMDiskPageManager::PageLoaded(int32_t sessionID, TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  TVLMPageStamp stamp;
  if (ChecksCachedPages() && PagesCache.CurrentStamp(sessionID, stamp)) page->SetSessionCounter(sessionID, stamp);
}

bool TVLMDiskPageManager::IsMapPage(int32_t pageNo) const {
  VLM_REQUIRE_DATABASE_SECTION();
  if (FreeSpace) return FreeSpace->IsSystemPage(pageNo);
  return pageNo == 0 || pageNo == 1;
}

void TVLMDiskPageManager::AllocatePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!FreeSpace) throw EVLMException(10467, "Error - database file is not opened.");
  CheckNotFailed();
  CheckWritable(10761);
  FileScope scope(this);
  page->PageNo = FreeSpace->AllocatePage();
  page->AllocateBuffer();
}

void TVLMDiskPageManager::FreePage(int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!FreeSpace) throw EVLMException(10468, "Error - database file is not opened.");
  FreeSpace->CheckNotSystemPage(pageNo);
  // After a failed commit the file is repaired before it is used again; the
  // page stays marked used until then, and a rollback succeeds.
  if (Failed_) return;
  CheckWritable(10762);
  FileScope scope(this);
  // The freed counter tells other handles' caches; a sole writer's free
  // outside a commit (a rollback's) has no one to tell.
  if (Collecting_ || SoleWriter()) {
    if (Collecting_) CollectFreedCounter(pageNo);
    FreeSpace->FreePage(pageNo);
    return;
  }
  if (!LockDatabaseWithRetry()) throw EVLMException(20232, "Database is locked");
  DatabaseLockGuard guard(this);
  // Over another connection's cut commit that this handle cannot roll
  // back nothing is written (invariant 9): the page stays marked used, and
  // the next open that has the file alone gives it back.
  try {
    if (!SettleInterruptedCommit()) return;
  } catch (const EVLMException&) {
    return;
  }
  WritePageWriteCounter(pageNo, kVLMFreedPageCounter);
  FreeSpace->FreePage(pageNo);
}

void TVLMDiskPageManager::RemovePage(int32_t sessionID, int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (FreeSpace) FreeSpace->CheckNotSystemPage(pageNo);
  TVLMPageManager::RemovePage(sessionID, pageNo);
}

TVLMPage* TVLMDiskPageManager::GetPage(int32_t sessionID, int32_t pageNo, bool sync, uint16_t pageType) {
  VLM_REQUIRE_DATABASE_SECTION();
  // Cached copies too: they may differ from what the disk now holds.
  CheckNotFailed();
  if (FreeSpace) FreeSpace->CheckNotSystemPage(pageNo);
  FileScope scope(this);
  return TVLMPageManager::GetPage(sessionID, pageNo, sync, pageType);
}

bool TVLMDiskPageManager::GetStoredWriteCounter(int32_t pageNo, uint32_t& counter) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!ChecksCachedPages()) return false;
  counter = ReadPageWriteCounter(pageNo);
  return true;
}
