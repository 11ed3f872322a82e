// VLMDiskEngine, file part: TVLMDatabaseFile, the database file over
// platform/os/File with its retry rule, the retry routine and the probe of
// whether a file is in use (the code is in VLMDiskEngineFile.cpp; the file
// layout in VLMDiskEngine.h).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/os/File.h"

// Calls operation until it returns true, sleeping delayMs after each false;
// false after tries failed calls (tries <= 0: false without a call).
bool RetryOperation(int32_t tries, uint32_t delayMs, const std::function<bool()>& operation);

// Whether some handle (of another process or of this one) has the database
// file open as a database: every connection holds a lock byte of its session
// in the sessions file (all of them when single-user), and the header and
// table lock bytes while it works, so the probe asks whether any byte of the
// file is locked. It needs no password and takes no lock. A file that is
// missing or cannot be opened is not in use. Creating or deleting the file
// while it is in use would leave the other connection writing to a file
// that is gone from its name.
bool VLMIsDatabaseFileInUse(const std::string& fileName);

// ------------------------------------------------------------ TVLMDatabaseFile

// How the database file is opened. Other values cannot be opened (30366).
enum class TVLMFileAccessMode : uint8_t { ReadOnly = 0, ReadWrite = 1 };
// How other handles may share the file (recorded; byte-range locks do the
// sharing on Linux). Other values cannot be opened (30367).
enum class TVLMFileShareMode : uint8_t { None = 0, ReadWrite = 1, Read = 2 };

// The database file over platform/os/File. Every operating-system call is
// tried once and, when it fails, once more after Reopen found (or made) a
// valid handle. Positions are 64-bit, counts 32-bit.
//
// A handle made anew holds none of the old one's byte-range locks, which
// went when the old one closed: Reopen takes each of them back, but while
// they were gone another connection may have taken the database lock and
// changed the file (rolled back a commit this handle was writing, say). So
// once a handle that held locks was made anew (LocksWereReleased), nothing
// more is written through it: the write or truncate that met the fault is
// not tried again, and every later one raises 10751; reads still are.
// LocksReleased tells the owner at once. A lock Reopen could not take back
// counts as released when it is unlocked.
//
// A flush is never tried again: a sync that failed (EIO) may have dropped
// the dirty pages it was to write, and a second sync, on this descriptor or
// a new one, would then succeed with nothing written.
//
// Error codes: 30361 create, 30364 open, 30365 close, 30366/30367 modes,
// 30370 truncate, 30371 size, 30372/30373 position, 30374 blank name, 30376
// closed file, 30377 opened file, 30379 flush, 10751 a write after the
// locks were released; reads and writes raise the caller's code.
class TVLMDatabaseFile {
public:
  TVLMDatabaseFile() = default;
  ~TVLMDatabaseFile();
  TVLMDatabaseFile(const TVLMDatabaseFile&) = delete;
  TVLMDatabaseFile& operator=(const TVLMDatabaseFile&) = delete;

  std::string FileName;
  TVLMFileAccessMode AccessMode = TVLMFileAccessMode::ReadWrite;
  TVLMFileShareMode ShareMode = TVLMFileShareMode::None;
  int32_t OpenCount = 0;   // nesting of OpenShared / CloseShared
  // Set when a lock call failed because the file could not be reached.
  bool LockFault = false;
  // The file is opened per operation: a lock taken earlier may have gone
  // with the handle, so a failed unlock is not an error.
  bool OpenPerOperation = false;

  // A new empty file, made exclusively; with replace, after unlinking any
  // existing one (also a read-only one). A file that exists when it is
  // made raises 10971 and is left as it is.
  void CreateFile(const std::string& fileName, bool replace = true);
  void OpenFile(const std::string& fileName, TVLMFileAccessMode accessMode, TVLMFileShareMode shareMode);
  void CloseFile();
  bool IsOpen() const { return IsOpen_; }
  void OpenShared();
  void CloseShared();

  bool Seek(int64_t position);
  void SetPosition(int64_t position, int32_t errorCode = 30372);
  int64_t GetPosition();
  int64_t GetSize();
  void SetSize(int64_t size);
  // A whole read of count bytes, or false (never raises for I/O). What the
  // file read goes through ReadPatch when it is set.
  bool ReadBuffer(void* buffer, int64_t position, int32_t count);
  // The same without ReadPatch: the bytes as the file holds them.
  bool ReadBufferUnpatched(void* buffer, int64_t position, int32_t count);
  // count buffers of size bytes each, filled from position on with one read
  // call; false, like ReadBuffer, when that fails or reads less.
  bool ReadBuffers(void* const* buffers, int32_t count, int32_t size, int64_t position);
  void ReadBufferEx(void* buffer, int32_t errorCode, int64_t position, int32_t count);
  void WriteBuffer(const void* buffer, int32_t errorCode, int64_t position, int32_t count);
  // fdatasync, once: a failure raises 30379 (see above).
  void Flush();
  // Writes count bytes at position through a descriptor opened for the
  // call, and flushes them, while this handle, gone bad or not, keeps every
  // lock it holds (a reopen would release them first); the open is tried as
  // a reopen's is. False when the bytes could not be written, or when the
  // locks were released before (another connection may have written since).
  bool WriteBeside(const void* buffer, int64_t position, int32_t count);
  // A write or truncate of this handle happened since its last flush.
  bool HasUnflushedChanges() const { return Unflushed_; }

  // Byte-range locks. A lock that cannot be placed, also on a file that
  // cannot be reached, is false; an unlock of an unreachable file is true.
  bool LockByte(int32_t count, int64_t position);
  bool UnlockByte(int32_t count, int64_t position);
  // True when a lock of the range cannot be taken now (by this handle either).
  bool IsByteLocked(int64_t position);
  bool IsRegionLocked(int32_t count, int64_t position);

  // The signature search: S of the first block 1 with a valid length field,
  // at 0 or anywhere in the file. False (offset 0) when there is none.
  bool FindSignature(int64_t& offset);

  qv::File& Handle() { return Handle_; }

  // Changes the bytes of every read (ReadBuffer, ReadBuffers, ReadBufferEx)
  // before the caller sees them: (buffer, file position, count).
  std::function<void(uint8_t* buffer, int64_t position, int64_t count)> ReadPatch;
  // Called once when a handle that held locks is made anew, with the reason.
  std::function<void(const std::string& cause)> LocksReleased;
  // Since it was opened, a handle of this file that held locks was made
  // anew: nothing more is written through it (see above).
  bool LocksWereReleased() const { return LocksReleased_; }

private:
  void CheckOpen(const char* operation) const;
  void CheckClosed(const char* operation) const;
  // Runs op, and once more after a successful Reopen; false when both fail.
  // A write is not run again once the locks were released.
  bool TryTwice(const std::function<void()>& op, bool writes = false);
  bool Reopen();
  // The new handle takes back the locks the old one held (held).
  void TakeBackLocks(const std::vector<std::pair<int64_t, int64_t>>& held);
  void NoteLocksReleased(const std::vector<std::pair<int64_t, int64_t>>& held, const std::string& cause);
  [[noreturn]] void RefuseWriteAfterRelease(const char* operation);
  qv::FileAccess Access() const {
    return AccessMode == TVLMFileAccessMode::ReadOnly ? qv::FileAccess::ReadOnly : qv::FileAccess::ReadWrite;
  }
  int64_t SizeOrMinusOne();

  qv::File Handle_;
  bool IsOpen_ = false;
  bool SharedOpened_ = false;  // OpenShared opened the file
  bool Unflushed_ = false;
  int64_t Position_ = 0;
  int LastErrno_ = 0;
  bool LocksReleased_ = false;
  // Locks a handle made anew could not take back, (position, count).
  std::vector<std::pair<int64_t, int64_t>> GoneLocks_;
};
