// VLMDiskEngine, multi-user part: the active-sessions file, the table lock
// files and the table lock manager. Processes that share one database file
// agree only through byte-range locks on bytes of direct internal files
// (TVLMInternalDBDirectAccessFile); nothing about sessions or table locks is
// written to the file except the record IDs of record locks.
//
// Active-sessions file (direct file of page type 5, system directory kind 2):
// MaxSessions bytes. Byte s is locked by the process whose session s is
// connected; the whole-file lock (byte 0 of the first page's header)
// serialises connecting and disconnecting. A single-user connection locks
// every byte.
//
// Table locks file (direct file of page type 7, one per table; its first page
// is the table-list entry's LocksPage and also the table's ID in the lock
// lists). n = MaxSessions, 12 * n bytes:
//
//   file bytes              meaning
//   t*n + s, t = 0 .. 5     locked while session s holds lock type t
//   5*n + s                 also session s's record-lock byte (a record lock
//                           and table lock type 5 are one byte)
//   6*n + 6*s .. + 5        record ID {u32 page, u16 row} that session s
//                           locked; written with the record-lock byte
//                           (when the lock is taken, or when the lock that
//                           covered it goes), left behind when it is
//                           released
//   whole-file lock         lock type 6 (exclusive) has no byte: it is the
//                           file's whole-file lock, held while it lasts
//
// Lock types and their compatibility M[held][requested] (1 = compatible):
//
//   held \ req  0 1 2 3 4 5 6   taken by
//   0           1 1 1 1 1 1 0   opening a table shared
//   1           1 1 1 1 0 1 0   each record operation (read, append, ...)
//   2           1 1 1 0 1 1 0   transaction end where records are locked,
//                               an edit outside a transaction
//   3           1 1 0 0 0 1 0   a table changed in the current transaction
//   4           1 0 1 0 0 1 0   commit; posts and deletes outside one
//   5           1 1 1 1 1 1 0   the session holds a record lock
//   6           0 0 0 0 0 0 0   opening a table exclusively
//
// Type a covers type b when every type compatible with a is compatible with
// b; a session holding a is granted b without touching the file.
//
// Invariants:
//   1. A session byte changes only while this handle holds the sessions
//      file's whole-file lock; when that lock cannot be taken within its
//      tries, no session byte changes.
//   2. A lock byte of a table locks file is set, and the decision to set it
//      (CanLock) is made, only while this handle holds the file's whole-file
//      lock.
//   3. A lock-list record with Placed set has its byte set by this process's
//      handle (type 6: the whole-file lock). A record without Placed was
//      granted by covering or by a repeated request; when the last placed
//      record of a table goes, the covered records still held are placed
//      first.
//   4. No call leaves a whole-file lock behind, on any path, except a
//      granted type 6, whose lock lasts until its UnlockTable.
//   5. Every wait is bounded by tries and a delay; the lock manager's
//      critical section is released while it sleeps, unless its caller said
//      it holds the section (InCriticalSection).
//   6. A session's record-lock byte is set only together with the record
//      ID it locks (a covered record lock keeps its ID in the list until it
//      is placed), so another process that sees the byte reads the right ID.
//
// States of one session's lock of type t on one table (lock manager):
//
//   none --LockTable, granted by the file--> held, placed (count 1)
//   none --LockTable, covered--------------> held, not placed (count 1)
//   held --LockTable-----------------------> held (count + 1)
//   held, count > 1 --UnlockTable----------> held (count - 1, byte kept)
//   held, count 1 (or Force) --UnlockTable-> none (byte cleared)
//
// Error codes: 10483/10489-10494 lock-file calls without an open file,
// 10650-10656 other calls without an open file, 10657 lock file size,
// 20093-20096 connect and disconnect, 20200 session outside the lock file,
// 20201 locks left, 20202 lock not found, 20203 set, 20204 unlock, 20205/
// 20206 record locks, 20234 commit locks left, 20240/20241 single user,
// 20410 lock type outside 0-6, 20411 session outside the lock file or the
// lock manager.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMRecordID.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineFiles.h"

// The types (kVLMLockTableOpen ... kVLMLockTableExclusive) are the core's
// (engine/core/VLMBase.h): the cursor interface takes them.
inline constexpr int32_t kVLMTableLockTypes = 7;
// Bytes per session in a table locks file: six lock bytes, a record ID.
inline constexpr int32_t kVLMTableLocksBytesPerSession = 12;

// M[held][requested] of the table above; types above 6 raise 20410.
bool VLMLockTypesCompatible(uint8_t held, uint8_t requested);
// a covers b (a == b included).
bool VLMLockTypeCovers(uint8_t a, uint8_t b);

// ------------------------------------------------------ TVLMActiveSessionsFile

class TVLMActiveSessionsFile {
public:
  explicit TVLMActiveSessionsFile(TVLMDiskPageManager* pageManager);

  TVLMDiskPageManager* PageManager;
  int32_t MaxSessions = 0;

  // A new file of maxSessions bytes for session -2 (the caller commits -2);
  // the file stays open. Returns its first page.
  int32_t CreateFile(int32_t maxSessions);
  // MaxSessions := the stored size, at most the readable size.
  void OpenFile(int32_t startPageNo);
  bool IsOpen() const { return File_ != nullptr; }
  TVLMInternalDBDirectAccessFile* File() const { return File_.get(); }

  // The first free session byte, locked for the new session (0 when the
  // database is not multi-user). 20094 when every byte is taken or the
  // whole-file lock cannot be had.
  int32_t Connect();
  // Frees the session's byte (multi-user only); 20095 when it cannot.
  void Disconnect(int32_t sessionID);
  // Locks every byte when none is locked; false otherwise.
  bool EnterSingleUser();
  // Unlocks every byte; false when one was not held.
  bool LeaveSingleUser();

private:
  TVLMInternalDBDirectAccessFile& Opened(int32_t errorCode) const;
  // Runs body under the whole-file lock; false (body not run) when the lock
  // cannot be taken within its tries. The lock is released on every path;
  // a failed release raises unlockErrorCode.
  bool UnderFileLock(int32_t unlockErrorCode, const std::function<void()>& body);

  std::unique_ptr<TVLMInternalDBDirectAccessFile> File_;
};

// ---------------------------------------------------------- TVLMTableLocksFile

class TVLMTableLocksFile {
public:
  explicit TVLMTableLocksFile(TVLMDiskPageManager* pageManager);

  TVLMDiskPageManager* PageManager;
  int32_t MaxSessions = 0;  // n

  // A new file for maxSessions sessions for session -2 (the caller commits
  // -2); the file stays open. Returns its first page.
  int32_t CreateFile(int32_t maxSessions);
  // n := the stored size (at most the readable size) div 12.
  void OpenFile(int32_t startPageNo);
  void CloseFile();
  // Frees the file's pages at session -2's commit and closes it.
  void DeleteFile();
  bool IsOpen() const { return File_ != nullptr; }
  int32_t GetStartPageNo() const;

  // Byte t*n + s. Type 6 has no byte: false. 20200 for a session outside
  // 0 .. n - 1.
  bool SetLockByte(int32_t sessionID, uint8_t type);
  bool ClearLockByte(int32_t sessionID, uint8_t type);
  // Another session (of any process, this one included) holds type's byte.
  bool IsHeldByOthers(int32_t sessionID, uint8_t type);
  // No other session holds a type incompatible with type; with flag, a
  // request for type 3 ignores type 2 held by others.
  bool CanLock(int32_t sessionID, uint8_t type, bool flag);
  bool LockRecordByte(int32_t sessionID, const TVLMRecordID& recordID);
  bool UnlockRecordByte(int32_t sessionID, const TVLMRecordID& recordID);
  // Another session holds a record lock on recordID.
  bool IsRecordLockedByOthers(int32_t sessionID, const TVLMRecordID& recordID);
  bool LockFile();
  bool UnlockFile();

private:
  TVLMInternalDBDirectAccessFile& Opened(int32_t errorCode) const;
  void CheckSession(int32_t sessionID, int32_t errorCode) const;

  std::unique_ptr<TVLMInternalDBDirectAccessFile> File_;
};

// ----------------------------------------------------------- TVLMTableLockList

// One lock of one session on one table (ObjectID: the table's lock-file
// first page).
struct TVLMTableLock {
  uint8_t LockType = 0;
  uint32_t ObjectID = 0;
  uint32_t Count = 0;
  bool Placed = false;  // this session's byte for the type is set
  bool Flag = false;
  // A record lock (type 5): the record, written with the byte when placed.
  TVLMRecordID RecordID;
  // Unique to this record among all lock records of the process: a holder
  // that kept it knows the lock has not gone and come back since.
  uint64_t Serial = 0;
};

class TVLMTableLockList {
public:
  // A held (type, table) gets count + 1; else a new record of count 1
  // (recordID: the record of a record lock).
  void Add(uint8_t type, uint32_t objectID, bool flag, bool placed, const TVLMRecordID& recordID = {});
  // Count - 1; while the count stays above 0 and force is not set the record
  // stays and placed is false; else placed is the record's and it goes.
  // 20202 when the session holds no such lock.
  void Remove(uint8_t type, uint32_t objectID, bool force, bool& placed);
  bool Has(uint8_t type, uint32_t objectID) const;
  bool HasWithFlag(uint8_t type, uint32_t objectID, bool flag) const;
  // Another record of the table whose type covers type.
  bool IsCovered(uint8_t type, uint32_t objectID) const;
  const TVLMTableLock* Find(uint8_t type, uint32_t objectID) const;
  TVLMTableLock* Find(uint8_t type, uint32_t objectID);
  const std::vector<TVLMTableLock>& Items() const { return Items_; }
  // 20201 "Some table locks still exist" when records are left (owners call
  // it before they drop the list; a destructor never raises).
  void CheckEmpty() const;

private:
  std::vector<TVLMTableLock> Items_;
};

// ------------------------------------------------ TVLMDatabaseTableLockManager

class TVLMDatabaseTableLockManager {
public:
  TVLMDatabaseTableLockManager(TVLMDiskPageManager* pageManager, int32_t maxSessions);

  TVLMDiskPageManager* PageManager;  // its Exclusive flag grants everything
  int32_t MaxSessions;
  std::recursive_mutex CriticalSection;

  bool LockTable(int32_t sessionID, uint8_t type, bool flag, bool inCriticalSection, uint32_t delayMs, int32_t tries,
                 TVLMTableLocksFile& locksFile);
  bool UnlockTable(int32_t sessionID, uint8_t type, bool force, bool onlyIfHeld, TVLMTableLocksFile& locksFile);
  // One record lock per session and table; waits at most tries * delayMs.
  bool LockRecord(int32_t sessionID, TVLMTableLocksFile& locksFile, uint32_t delayMs, int32_t tries,
                  const TVLMRecordID& recordID);
  bool UnlockRecord(int32_t sessionID, TVLMTableLocksFile& locksFile, const TVLMRecordID& recordID);
  bool IsRecordLocked(int32_t sessionID, TVLMTableLocksFile& locksFile, const TVLMRecordID& recordID);
  // Type 4 on every table the session changed (type 3); on failure none of
  // the type-4 locks taken here is left.
  bool LockForCommit(int32_t sessionID);
  // Type 2 where records are locked, then types 3 and 4 released.
  bool ReleaseTransactionLocks(int32_t sessionID);

  // The session's lock list; 20411 for a session outside 0 .. MaxSessions-1.
  TVLMTableLockList& List(int32_t sessionID);
  // The serial of the session's lock on the table that keeps every other
  // session from committing to it (type 3, else 4, else 6); 0 when it holds
  // none. While the same serial is answered, no other session or process
  // has committed to the table since.
  uint64_t CommitExclusionSerial(int32_t sessionID, uint32_t objectID);
  // 20201 when a session still holds locks.
  void CheckNoLocks() const;

private:
  using Guard = std::unique_lock<std::recursive_mutex>;
  // Sleeps with the critical section left when guard holds it.
  static void SleepOutside(Guard& guard, uint32_t ms);
  // Runs change under the table's whole-file lock: at once when this
  // session holds it already (type 6), else taking it with the whole-file
  // tries. False when the lock could not be had or change said no.
  static bool ChangeUnderFileLock(bool holdsFileLock, TVLMTableLocksFile& locksFile, Guard& guard,
                                  const std::function<bool()>& change);

  std::vector<TVLMTableLockList> Lists_;
};
