// VLMDiskEngine, page-manager part: a database file made, opened and
// closed (TVLMDiskPageManager::CreateDatabase, OpenDatabase,
// ReleaseMakingLock, CloseDatabase): the exclusive create under the making
// lock, the wait for a file another process is making, the header read and
// checked, a file this process may not write told. The file layout and the
// invariants are described in VLMDiskEngine.h.
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

namespace {

// Called under the database lock. A file another process has just made
// exclusively is empty until that process holds the making lock and the
// database lock (both taken before its first byte, then held until its
// head and first commit are written): an open that meets it empty lets the
// database lock go and looks again, while the making lock is held for as
// long as the database lock waits, else a few times (the maker may be
// about to take it). Then the file is read as it is. One replaced by a new
// file meanwhile is opened again (10974).
void WaitForNewFile(TVLMDiskPageManager* manager) {
  const TVLMRetrySettings& settings = VLMRetrySettings();
  TVLMDatabaseFile& file = manager->DatabaseFile;
  for (int32_t attempt = 1; manager->DatabaseOffset == 0 && file.GetSize() == 0; ++attempt) {
    // Its maker refused, the empty file was replaced by another's.
    if (!qv::SameFile(file.Handle().Fd(), file.FileName))
      throw EVLMException(10974, "Database file '%s' was replaced by a new one while it was being opened",
                          {file.FileName});
    bool making = false;
    try {
      making = file.Handle().IsLockedByOther(kVLMMakingLockOffset, 1);
    } catch (const qv::EOSError&) {
      // The file cannot be asked: it is read as it is.
    }
    if (attempt >= (making ? settings.DatabaseLockTries : settings.NewFileTries)) return;
    manager->UnlockDatabase();
    qv::SleepMs(settings.DatabaseLockDelayMs);
    if (!manager->LockDatabaseWithRetry()) throw EVLMException(20230, "Database is locked");
  }
}

// The stored signature as text, cut at its first zero byte.
std::string SignatureText(const char* signature) {
  size_t n = 0;
  while (n < static_cast<size_t>(kVLMSignatureSize) && signature[n] != '\0') ++n;
  return std::string(signature, n);
}

// A file that this process may not write: no write permission bit (the
// read-only attribute) or a write open refused by the system.
bool FileIsReadOnly(const std::string& fileName, bool& readOnlyAttribute) {
  const int32_t permissions = qv::FilePermissions(fileName);
  readOnlyAttribute = permissions >= 0 && (permissions & 0222) == 0;
  if (readOnlyAttribute) return true;
  qv::File probe = qv::File::TryOpen(fileName, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
  return !probe.IsOpen();
}

}  // namespace

bool VLMIsReadOnlyFile(const std::string& fileName) {
  bool attribute = false;
  return qv::FileExists(fileName) && FileIsReadOnly(fileName, attribute);
}

void TVLMDiskPageManager::CreateDatabase(const std::string& fileName, const TVLMPasswordRecord& passwordRecord,
                                         uint16_t pageSize, uint16_t extentSize) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (DatabaseFile.IsOpen()) throw EVLMException(10461, "Error - database file %s is in use.", {fileName});
  if (pageSize < kVLMMinPageSize || extentSize < 1)
    throw EVLMException(10463, "Invalid database format. PageSize = %d, ExtentSize = %d",
                        {static_cast<int>(pageSize), static_cast<int>(extentSize)});
  Header = TVLMDatabaseHeader();
  Block2 = TVLMDatabaseBlock2();
  Block3 = TVLMDatabaseBlock3();
  DatabaseOffset = 0;
  Block2Position = kVLMBlock1Size;
  Block3Position = kVLMBlock1Size + kVLMBlock2Size;
  NextObjectIDPosition = Block3Position + kVLMBlock3Size;
  FirstPagePosition = NextObjectIDPosition + kVLMNextObjectIDSize;
  DatabaseLockCount = 0;
  SetGeometry(pageSize);
  PasswordRecord = passwordRecord;
  // An existing file is replaced only while this handle holds its making
  // lock, so that no creator is between its exclusive create and its own
  // making lock (that creator is refused) and no other replacer takes it
  // meanwhile. The new file is made beside it and renamed over it once it
  // holds its own locks: the name never lacks a file, and an open of the
  // old one meets the new one (10974). The old lock is kept until then.
  qv::File old;
  std::string made = fileName;
  if (qv::FileExists(fileName)) {
    old = qv::File::TryOpen(fileName, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
    if (!old.IsOpen()) old = qv::File::TryOpen(fileName, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
    if (old.IsOpen() && !old.Lock(kVLMMakingLockOffset, 1))
      throw EVLMException(10970, "Cannot create database file '%s': another connection is making or opening it",
                          {fileName});
    if (old.IsOpen() ? old.IsLockedByOther(0, INT64_MAX) : VLMIsDatabaseFileInUse(fileName))
      throw EVLMException(10790, "Cannot create database. Database file '%s' is in use", {fileName});
    made = fileName + VLMNewGUIDName(".") + ".new";
  }
  DatabaseFile.OpenPerOperation = OpenPerOperation;
  JournalNameFlushed_ = false;
  DatabaseFile.CreateFile(made, false);
  ReadOnlyFile_ = false;
  try {
    // Its making lock and the database lock before its first byte: an open
    // waits for the head, and a creator that comes later is refused. A
    // replacer that met the file empty holds its making lock, or has
    // replaced it: then this creator is the one refused, having written
    // nothing.
    if (!DatabaseFile.LockByte(1, kVLMMakingLockOffset) || !qv::SameFile(DatabaseFile.Handle().Fd(), made))
      throw EVLMException(10973, "Cannot create database file '%s': another connection is making it", {fileName});
    if (!LockDatabaseWithRetry()) throw EVLMException(20230, "Database is locked");
    if (made != fileName) {
      // Renaming replaces a read-only file as well.
      try {
        qv::RenameFile(made, fileName);
      } catch (const qv::EOSError& e) {
        throw EVLMException(10972, "Cannot create database file '%s': the file there cannot be replaced (%s)",
                            {fileName, std::string(e.what())});
      }
      DatabaseFile.FileName = fileName;
    }
    old.Close();
    Header.Encrypted = passwordRecord.Password.empty() ? 0 : kVLMEncryptedFlag;
    Header.PageSize = pageSize;
    Header.ExtentSize = extentSize;
    PageCount = 0;
    if (IsEncrypted()) {
      Block2.CipherId = passwordRecord.CipherId;
      for (uint8_t& b : Block2.CheckBlock) b = static_cast<uint8_t>(RandomBelow(256));
      Block2.CRC = VLMCRC32(0, Block2.CheckBlock, kVLMCheckBlockSize);
      qv::EncryptPageData(passwordRecord.CipherId, Block2.CheckBlock, kVLMCheckBlockSize, passwordRecord.Password);
    }
    // The file was created empty just now: there is no stored header to
    // check against, so the first write checks nothing.
    WriteHeader(false);
    WriteBlock2();
    WriteBlock3();
    InitNextObjectID();
    FreeSpace = std::make_unique<TVLMDatabaseFreeSpaceManager>(this);
    if (!HoldMakingLock) {
      UnlockDatabase();
      ReleaseMakingLock();
    }
  } catch (...) {
    FreeSpace.reset();
    DatabaseFile.CloseFile();
    DatabaseLockCount = 0;
    // A file made beside the old one and not put in its place is nobody's.
    if (DatabaseFile.FileName != fileName) qv::DeleteFile(made);
    throw;
  }
}

void TVLMDiskPageManager::OpenDatabase(const std::string& fileName, const TVLMPasswordRecord& passwordRecord,
                                       bool& multiUser, bool exclusive, bool& needsRepair, bool& readOnly) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (DatabaseFile.IsOpen()) throw EVLMException(10462, "Error - database file %s is in use.", {fileName});
  PasswordRecord = passwordRecord;
  if (!readOnly && qv::FileExists(fileName)) {
    bool attribute = false;
    if (FileIsReadOnly(fileName, attribute)) {
      readOnly = true;
      if (attribute) multiUser = false;
    }
  }
  MultiUser = multiUser;
  Exclusive = exclusive;
  TVLMFileAccessMode access = TVLMFileAccessMode::ReadWrite;
  TVLMFileShareMode share = TVLMFileShareMode::ReadWrite;
  if (readOnly) {
    access = TVLMFileAccessMode::ReadOnly;
  } else if (exclusive) {
    share = TVLMFileShareMode::None;
    MultiUser = multiUser = false;
  }
  DatabaseLockCount = 0;
  needsRepair = false;
  RolledBackOnOpen_ = false;
  JournalNameFlushed_ = false;
  DatabaseFile.OpenPerOperation = OpenPerOperation;
  DatabaseFile.OpenFile(fileName, access, share);
  ReadOnlyFile_ = readOnly;
  try {
    // The signature search takes no lock; the lock then falls on the same
    // byte S + 360 that every later lock and unlock of this database uses.
    int64_t offset = 0;
    if (!DatabaseFile.FindSignature(offset)) offset = 0;
    DatabaseOffset = offset;
    if (!LockDatabaseWithRetry()) throw EVLMException(20230, "Database is locked");
    {
      DatabaseLockGuard guard(this);
      WaitForNewFile(this);
      ReadHeader();
    }
    // The making lock, shared with other opens, from here to the end of the
    // open (with HoldMakingLock until the connection holds its session
    // lock): a maker that would replace the file is refused meanwhile, and
    // one that unlinked it before is found here, the name reaching another
    // file (10974: open it again).
    const TVLMRetrySettings& settings = VLMRetrySettings();
    if (!RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs, [this] {
          try {
            return DatabaseFile.Handle().LockShared(DatabaseOffset + kVLMMakingLockOffset, 1);
          } catch (const qv::EOSError&) {
            return false;
          }
        }))
      throw EVLMException(20230, "Database is locked");
    if (!qv::SameFile(DatabaseFile.Handle().Fd(), fileName))
      throw EVLMException(10974, "Database file '%s' was replaced by a new one while it was being opened", {fileName});
    if (std::memcmp(Header.Signature, kVLMSignature, kVLMSignatureSize) != 0)
      throw EVLMException(10470, "Invalid file format. Found signature: '%s', expected: '%s'",
                          {SignatureText(Header.Signature), std::string(kVLMSignature)});
    CheckGeometry();
    if (Header.Block1Length < kVLMBlock1Size) throw EVLMException(20237, "Invalid database format");
    SetGeometry(Header.PageSize);
    Block2Position = DatabaseOffset + Header.Block1Length;
    Block3Position = Block2Position + kVLMBlock2Size;
    ReadBlock2();
    if (IsEncrypted()) {
      PasswordRecord.CipherId = Block2.CipherId;
      uint8_t check[kVLMCheckBlockSize];
      std::memcpy(check, Block2.CheckBlock, sizeof check);
      qv::DecryptPageData(Block2.CipherId, check, kVLMCheckBlockSize, PasswordRecord.Password);
      if (VLMCRC32(0, check, kVLMCheckBlockSize) != Block2.CRC)
        throw EVLMException(30445, "Cannot open database - incorrect password");
    }
    if (Block2Position + Block2.Length != Block3Position) throw EVLMException(20237, "Invalid database format");
    ReadBlock3();
    // NextObjectID must not overlap the block's own length field.
    if (Block3.Length < 2) throw EVLMException(20237, "Invalid database format");
    NextObjectIDPosition = Block3Position + Block3.Length;
    FirstPagePosition = NextObjectIDPosition + kVLMNextObjectIDSize;
    {
      if (!LockDatabaseWithRetry()) throw EVLMException(20230, "Database is locked");
      DatabaseLockGuard guard(this);
      // An interrupted commit is rolled back before anything reads a table
      // (under the database lock its writer is gone), or read around by an
      // open that may not write.
      const bool alone = !readOnly && CanTakeWholeFile();
      const bool oldFormat = !(Header.Version > kVLMOldestCurrentVersion);
      if (!oldFormat) RolledBackOnOpen_ = RecoverFromJournal(!readOnly, alone);
      ReadHeader();
      needsRepair = needsRepair || Header.CommitState != kVLMCommitClean || oldFormat;
      // Pages the header counts but the file lacks, or a used page outside
      // the counted ones, can only come from damage (pages past the count
      // before a cut commit that is read around are that commit's).
      if (DatabaseFile.GetSize() < FirstPagePosition + static_cast<int64_t>(Header.PageCount) * PageSize ||
          static_cast<int64_t>(Header.LastUsedPage) >= static_cast<int64_t>(Header.PageCount) ||
          Header.LastUsedPage < -1 || (!PreImages_ && HoldsPagesBeyondCount()))
        needsRepair = true;
      FreeSpace = std::make_unique<TVLMDatabaseFreeSpaceManager>(this);
      // Pages that sharing handles took and never committed, and extent
      // states a write-through operation left behind its page bits; left
      // as they are where no journal can be written beside the file.
      if (alone && !needsRepair) {
        try {
          RunCommit(nullptr, CommitExtra::ReconcileMaps, 20230);
        } catch (const EVLMException& e) {
          if (e.NativeError != 10740) throw;
        }
        // A growth whose commit was cut before its journal was written
        // leaves the file longer than its header says, with nothing in
        // the pages past the count: the file is as last committed once
        // they go, byte for byte, as a copy of it taken then.
        CutFileToHeader();
      }
    }
    if (!HoldMakingLock) ReleaseMakingLock();
    if (OpenPerOperation) DatabaseFile.CloseFile();
  } catch (...) {
    FreeSpace.reset();
    if (DatabaseFile.IsOpen()) DatabaseFile.CloseFile();
    DatabaseLockCount = 0;
    throw;
  }
}

void TVLMDiskPageManager::ReleaseMakingLock() {
  VLM_REQUIRE_DATABASE_SECTION();
  try {
    if (DatabaseFile.IsOpen()) DatabaseFile.Handle().Unlock(DatabaseOffset + kVLMMakingLockOffset, 1);
  } catch (const qv::EOSError&) {
    // A handle that went bad has lost its locks.
  }
}

void TVLMDiskPageManager::CloseDatabase() {
  VLM_REQUIRE_DATABASE_SECTION();
  // Free-space changes kept in memory describe only pages no commit took
  // (a commit writes them): they go with the handle, and the file keeps
  // the maps of its last commit. The journal goes when no other handle may
  // need it; after a failed commit it stays for the next open.
  if (FreeSpace && !Failed_ && IsOpen() && !ReadOnlyFile_) {
    try {
      FileScope scope(this);
      if (qv::FileExists(JournalFileName()) && LockDatabase()) {
        auto unlock = qv::ScopeExit([this] { UnlockDatabase(); });
        if (CanTakeWholeFile()) RetireStaleJournal();
      }
    } catch (...) {
    }
  }
  Failed_ = false;
  FailureCode_ = 10600;
  FailureCause_.clear();
  StopReadingThroughPreImages();
  RollbackSeenSet_ = false;
  RollbackNoticed_ = false;
  SoleWriterLock_ = false;  // it goes with the handle
  BreakChangeChain();
  LastChanges_ = TVLMCommitChanges();
  MarkPageCount_ = 0;
  FreeSpace.reset();
  if (DatabaseFile.IsOpen()) DatabaseFile.CloseFile();
  DatabaseFile.OpenCount = 0;
  DatabaseLockCount = 0;
  // Another process may change the file before it is opened again.
  DropSharedPages();
}
