// VLMDiskEngine, file part: the stored form of header blocks 1 and 2 (field
// offsets beside the layout table in VLMDiskEngine.h), the retry routine
// (its settings: engine/core/VLMSettings.h), and TVLMDatabaseFile over
// platform/os/File.
//
// Retry rule. A dropped network share or a handle that went bad shows up as
// an error of one call, not as a damaged database, so every call that reaches
// the operating system is tried once more after a reopen:
//   GetSize, SetSize, ReadBuffer, ReadBufferEx, WriteBuffer: the call; on an
//     error Reopen, then the call once more. When both fail the call raises
//     its code (ReadBuffer answers false).
//   Flush: the call alone. A sync that failed may have dropped what it was
//     to write; a second one would report it written.
//   Reopen: probes the handle first and keeps one that still works (the
//     error was not the handle's, and its byte-range locks stay); otherwise
//     opens the file again, up to ReopenAttempts times, ReopenDelayMs apart,
//     and the new handle takes back the locks the old one held. A write or
//     truncate is not tried again when the old handle held locks: they were
//     gone for a while (VLMDiskEngine.h, TVLMDatabaseFile).
//   LockByte: a conflict is false at once (callers run their own retry
//     loops); an error sets LockFault and tries once more after a reopen.
//   UnlockByte: an error counts as released, since the lock went with the
//     handle. IsRegionLocked: an error counts as locked. Neither retries.
//   CreateFile, OpenFile and CloseFile report at once. CreateFile makes the
//     file exclusively (10971 when it exists by then).
//
// Open per operation. With OpenPerOperation the page manager keeps the file
// closed between operations, and each operation runs inside a
// TVLMDiskPageManager::FileScope, which calls OpenShared and CloseShared:
//
//   closed, OpenCount 0 --OpenShared--> open, OpenCount 1 (opened here)
//   open --OpenShared--> open, OpenCount + 1
//   open --CloseShared, OpenCount > 1--> open, OpenCount - 1
//   open --CloseShared, OpenCount 1--> closed if OpenShared opened it; a file
//                                      that was open before stays open
//
// FileScope relies on this nesting: only the outermost scope of a call chain
// finds the file closed and opens it, inner scopes find it open and leave it,
// and the file closes when the outermost scope ends (CloseDatabase resets
// OpenCount). Byte-range locks belong to the open file, so a lock taken inside
// a scope lasts only until the outermost scope closes the file: the page
// manager takes and releases its lock bytes inside one scope, and UnlockByte
// accepts a lock that is already gone in this mode.
#include <string.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/os/System.h"

namespace {

std::string ErrorText(int errNo) {
  if (errNo == 0) return "The file is shorter than the requested range";
  return qv::SysErrorMessage(errNo);
}

int16_t I16(const uint8_t* p) { return static_cast<int16_t>(VLMGetU16LE(p)); }

}  // namespace

// ------------------------------------------------------------ settings, retry

bool RetryOperation(int32_t tries, uint32_t delayMs, const std::function<bool()>& operation) {
  for (int32_t i = 0; i < tries; ++i) {
    if (operation()) return true;
    qv::SleepMs(delayMs);
  }
  return false;
}

bool VLMIsDatabaseFileInUse(const std::string& fileName) {
  qv::File probe = qv::File::TryOpen(fileName, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
  return probe.IsOpen() && probe.IsLockedByOther(0, INT64_MAX);
}

// ------------------------------------------------------------ header blocks

TVLMDatabaseHeader::TVLMDatabaseHeader() { std::memcpy(Signature, kVLMSignature, kVLMSignatureSize); }

void TVLMDatabaseHeader::Load(const uint8_t* b) {
  std::memcpy(Signature, b + kVLMSignatureOffset, kVLMSignatureSize);
  Block1Length = I16(b + kVLMBlock1LengthOffset);
  Version = std::bit_cast<double>(VLMGetU64LE(b + kVLMVersionOffset));
  PageSize = VLMGetU16LE(b + kVLMPageSizeOffset);
  ExtentSize = VLMGetU16LE(b + kVLMExtentSizeOffset);
  PageCount = VLMGetU32LE(b + kVLMPageCountOffset);
  LastUsedPage = VLMGetI32LE(b + kVLMLastUsedPageOffset);
  ChangeCounter = VLMGetU32LE(b + kVLMChangeCounterOffset);
  CommitState = b[kVLMCommitStateOffset];
  Encrypted = b[kVLMEncryptedOffset];
  std::memcpy(Reserved, b + kVLMBlock1ReservedOffset, sizeof Reserved);
}

void TVLMDatabaseHeader::Store(uint8_t* b) const {
  std::memcpy(b + kVLMSignatureOffset, Signature, kVLMSignatureSize);
  VLMPutU16LE(b + kVLMBlock1LengthOffset, static_cast<uint16_t>(Block1Length));
  VLMPutU64LE(b + kVLMVersionOffset, std::bit_cast<uint64_t>(Version));
  VLMPutU16LE(b + kVLMPageSizeOffset, PageSize);
  VLMPutU16LE(b + kVLMExtentSizeOffset, ExtentSize);
  VLMPutU32LE(b + kVLMPageCountOffset, PageCount);
  VLMPutI32LE(b + kVLMLastUsedPageOffset, LastUsedPage);
  VLMPutU32LE(b + kVLMChangeCounterOffset, ChangeCounter);
  b[kVLMCommitStateOffset] = CommitState;
  b[kVLMEncryptedOffset] = Encrypted;
  std::memcpy(b + kVLMBlock1ReservedOffset, Reserved, sizeof Reserved);
}

void TVLMDatabaseBlock2::Load(const uint8_t* b) {
  Length = VLMGetU16LE(b + kVLMBlock2LengthOffset);
  CipherId = b[kVLMCipherIdOffset];
  Reserved1 = b[kVLMBlock2Reserved1Offset];
  std::memcpy(CheckBlock, b + kVLMCheckBlockOffset, kVLMCheckBlockSize);
  CRC = VLMGetU32LE(b + kVLMCheckCRCOffset);
  std::memcpy(Reserved2, b + kVLMBlock2Reserved2Offset, sizeof Reserved2);
}

void TVLMDatabaseBlock2::Store(uint8_t* b) const {
  VLMPutU16LE(b + kVLMBlock2LengthOffset, Length);
  b[kVLMCipherIdOffset] = CipherId;
  b[kVLMBlock2Reserved1Offset] = Reserved1;
  std::memcpy(b + kVLMCheckBlockOffset, CheckBlock, kVLMCheckBlockSize);
  VLMPutU32LE(b + kVLMCheckCRCOffset, CRC);
  std::memcpy(b + kVLMBlock2Reserved2Offset, Reserved2, sizeof Reserved2);
}

// ------------------------------------------------------------ TVLMDatabaseFile

TVLMDatabaseFile::~TVLMDatabaseFile() { Handle_.Close(); }

void TVLMDatabaseFile::CheckOpen(const char* operation) const {
  if (!IsOpen_)
    throw EVLMException(30376, "Cannot perform this operation (%s) on a closed file", {operation});
}

void TVLMDatabaseFile::CheckClosed(const char* operation) const {
  if (IsOpen_)
    throw EVLMException(30377, "Cannot perform this operation (%s) on a opened file", {operation});
}

bool TVLMDatabaseFile::Reopen() {
  try {
    (void)Handle_.Size();
    return true;
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
  }
  // The handle has gone bad (as after a network drop): open the file again.
  // Closing it drops its locks.
  const std::vector<std::pair<int64_t, int64_t>> held = Handle_.HeldLocks();
  const int badErrno = LastErrno_;
  const TVLMRetrySettings& settings = VLMRetrySettings();
  for (int32_t attempt = 0; attempt < settings.ReopenAttempts; ++attempt) {
    if (attempt > 0) qv::SleepMs(settings.ReopenDelayMs);
    Handle_.Close();
    int errNo = 0;
    qv::File file = qv::File::TryOpen(FileName, Access(), qv::FileDisposition::OpenExisting, &errNo);
    if (file.IsOpen()) {
      Handle_ = std::move(file);
      TakeBackLocks(held);
      NoteLocksReleased(held, ErrorText(badErrno));
      return true;
    }
    LastErrno_ = errNo;
  }
  GoneLocks_.insert(GoneLocks_.end(), held.begin(), held.end());
  NoteLocksReleased(held, ErrorText(badErrno));
  return false;
}

void TVLMDatabaseFile::TakeBackLocks(const std::vector<std::pair<int64_t, int64_t>>& held) {
  for (const auto& [position, count] : held) {
    bool taken = false;
    try {
      taken = Handle_.Lock(position, count);
    } catch (const qv::EOSError&) {
    }
    // Another connection holds it now: an unlock finds it gone.
    if (!taken) GoneLocks_.emplace_back(position, count);
  }
}

void TVLMDatabaseFile::NoteLocksReleased(const std::vector<std::pair<int64_t, int64_t>>& held,
                                         const std::string& cause) {
  if (held.empty() || LocksReleased_) return;
  LocksReleased_ = true;
  if (LocksReleased) LocksReleased(cause);
}

void TVLMDatabaseFile::RefuseWriteAfterRelease(const char* operation) {
  throw EVLMException(10751,
                      "Cannot %s file '%s': its handle went bad and was opened again, and the locks this "
                      "connection held were released meanwhile, so another connection may have changed the file. "
                      "Nothing more is written through this connection: close the database and open it again",
                      {operation, FileName});
}

bool TVLMDatabaseFile::TryTwice(const std::function<void()>& op, bool writes) {
  try {
    op();
    return true;
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
  }
  if (!Reopen()) return false;
  if (writes && LocksReleased_) return false;
  try {
    op();
    return true;
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
  }
  return false;
}

int64_t TVLMDatabaseFile::SizeOrMinusOne() {
  try {
    return Handle_.Size();
  } catch (const qv::EOSError&) {
    return -1;
  }
}

void TVLMDatabaseFile::CreateFile(const std::string& fileName, bool replace) {
  CheckClosed("CreateFile");
  if (fileName.empty()) throw EVLMException(30374, "Cannot create file with blank FileName");
  // Unlinking replaces a read-only file as well.
  if (replace && qv::FileExists(fileName)) qv::DeleteFile(fileName);
  // Made exclusively: a file another process made meanwhile is never
  // truncated under it.
  int errNo = 0;
  qv::File file = qv::File::TryOpen(fileName, qv::FileAccess::ReadWrite, qv::FileDisposition::CreateNew, &errNo);
  if (!file.IsOpen() && errNo == EEXIST)
    throw EVLMException(10971, "Cannot create database file '%s': another connection is making it", {fileName});
  if (!file.IsOpen())
    throw EVLMException(30361, "Cannot create file: '%s' Error code: %d. ErrorMessage: %s",
                        {fileName, errNo, ErrorText(errNo)});
  Handle_ = std::move(file);
  FileName = fileName;
  AccessMode = TVLMFileAccessMode::ReadWrite;
  ShareMode = TVLMFileShareMode::None;
  Position_ = 0;
  IsOpen_ = true;
  LocksReleased_ = false;
  GoneLocks_.clear();
}

void TVLMDatabaseFile::OpenFile(const std::string& fileName, TVLMFileAccessMode accessMode,
                                TVLMFileShareMode shareMode) {
  CheckClosed("OpenFile");
  if (accessMode > TVLMFileAccessMode::ReadWrite)
    throw EVLMException(30366, "Unknown Access mode: '%d'", {static_cast<int>(accessMode)});
  if (shareMode > TVLMFileShareMode::Read)
    throw EVLMException(30367, "Unknown Share mode: '%d'", {static_cast<int>(shareMode)});
  FileName = fileName;
  AccessMode = accessMode;
  ShareMode = shareMode;
  int errNo = 0;
  qv::File file = qv::File::TryOpen(fileName, Access(), qv::FileDisposition::OpenExisting, &errNo);
  if (!file.IsOpen())
    throw EVLMException(30364, "Cannot open file:'%s' Error code: %d. ErrorMessage: %s",
                        {fileName, errNo, ErrorText(errNo)});
  Handle_ = std::move(file);
  Position_ = 0;
  IsOpen_ = true;
}

void TVLMDatabaseFile::CloseFile() {
  CheckOpen("CloseFile");
  Handle_.Close();
  IsOpen_ = false;
  LocksReleased_ = false;
  GoneLocks_.clear();
}

void TVLMDatabaseFile::OpenShared() {
  if (OpenCount == 0 && !IsOpen_) {
    OpenFile(FileName, AccessMode, ShareMode);
    SharedOpened_ = true;
  }
  ++OpenCount;
}

void TVLMDatabaseFile::CloseShared() {
  if (OpenCount <= 0) return;
  // A file that was open before the first OpenShared stays open.
  if (--OpenCount == 0 && SharedOpened_) {
    SharedOpened_ = false;
    // What Reopen found stays until the database closes the file.
    Handle_.Close();
    IsOpen_ = false;
  }
}

bool TVLMDatabaseFile::Seek(int64_t position) {
  CheckOpen("Seek");
  if (position < 0) return false;
  Position_ = position;
  return true;
}

void TVLMDatabaseFile::SetPosition(int64_t position, int32_t errorCode) {
  CheckOpen("SetPosition");
  if (position >= 0) {
    Position_ = position;
    return;
  }
  throw EVLMException(errorCode, "Cannot Set File Position to %d. FileName='%s'. FilePosition = %d, FileSize = %d",
                      {static_cast<long long>(position), FileName, static_cast<long long>(Position_),
                       static_cast<long long>(SizeOrMinusOne())});
}

int64_t TVLMDatabaseFile::GetPosition() {
  CheckOpen("GetPosition");
  return Position_;
}

int64_t TVLMDatabaseFile::GetSize() {
  CheckOpen("GetSize");
  int64_t size = 0;
  if (!TryTwice([&] { size = Handle_.Size(); }))
    throw EVLMException(30371, "Cannot Get File Size for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                        {FileName, LastErrno_, ErrorText(LastErrno_)});
  return size;
}

void TVLMDatabaseFile::SetSize(int64_t size) {
  CheckOpen("SetSize");
  if (LocksReleased_) RefuseWriteAfterRelease("truncate");
  Unflushed_ = true;
  if (!TryTwice([&] { Handle_.Truncate(size); }, true)) {
    if (LocksReleased_) RefuseWriteAfterRelease("truncate");
    throw EVLMException(30370, "Cannot Truncate File '%s' to %d bytes. ErrorCode:%d. ErrorMessage: %s",
                        {FileName, static_cast<long long>(size), LastErrno_, ErrorText(LastErrno_)});
  }
  Position_ = size;
}

bool TVLMDatabaseFile::ReadBuffer(void* buffer, int64_t position, int32_t count) {
  if (!ReadBufferUnpatched(buffer, position, count)) return false;
  if (ReadPatch) ReadPatch(static_cast<uint8_t*>(buffer), position, count);
  return true;
}

bool TVLMDatabaseFile::ReadBufferUnpatched(void* buffer, int64_t position, int32_t count) {
  CheckOpen("ReadBuffer");
  if (count < 0 || position < 0) {
    LastErrno_ = EINVAL;
    return false;
  }
  bool ok = TryTwice([&] {
    int64_t n = Handle_.ReadAt(buffer, count, position);
    if (n != count) throw qv::EOSError("short read", 0);
  });
  if (ok) Position_ = position + count;
  return ok;
}

bool TVLMDatabaseFile::ReadBuffers(void* const* buffers, int32_t count, int32_t size, int64_t position) {
  CheckOpen("ReadBuffer");
  if (count < 0 || size < 0 || position < 0) {
    LastErrno_ = EINVAL;
    return false;
  }
  const int64_t total = static_cast<int64_t>(count) * size;
  bool ok = TryTwice([&] {
    if (Handle_.ReadAtScattered(buffers, count, size, position) != total) throw qv::EOSError("short read", 0);
  });
  if (!ok) return false;
  Position_ = position + total;
  if (ReadPatch)
    for (int32_t i = 0; i < count; ++i)
      ReadPatch(static_cast<uint8_t*>(buffers[i]), position + static_cast<int64_t>(i) * size, size);
  return true;
}

void TVLMDatabaseFile::ReadBufferEx(void* buffer, int32_t errorCode, int64_t position, int32_t count) {
  if (ReadBuffer(buffer, position, count)) return;
  throw EVLMException(errorCode,
                      "Cannot Read from file: '%s' Position = %d, Count = %d, FilePosition = %d, FileSize = %d, "
                      "ErrorCode:%d. ErrorMessage: %s",
                      {FileName, static_cast<long long>(position), count, static_cast<long long>(Position_),
                       static_cast<long long>(SizeOrMinusOne()), LastErrno_, ErrorText(LastErrno_)});
}

void TVLMDatabaseFile::WriteBuffer(const void* buffer, int32_t errorCode, int64_t position, int32_t count) {
  CheckOpen("WriteBuffer");
  if (LocksReleased_) RefuseWriteAfterRelease("write to");
  Unflushed_ = true;
  bool ok = count >= 0 && position >= 0 && TryTwice([&] { Handle_.WriteAt(buffer, count, position); }, true);
  if (ok) {
    Position_ = position + count;
    return;
  }
  if (LocksReleased_) RefuseWriteAfterRelease("write to");
  throw EVLMException(errorCode,
                      "Cannot Write to file: '%s' Position = %d, Count = %d, FilePosition = %d, FileSize = %d, "
                      "ErrorCode:%d. ErrorMessage: %s",
                      {FileName, static_cast<long long>(position), count, static_cast<long long>(Position_),
                       static_cast<long long>(SizeOrMinusOne()), LastErrno_, ErrorText(LastErrno_)});
}

void TVLMDatabaseFile::Flush() {
  CheckOpen("FlushFileBuffers");
  try {
    Handle_.Sync();
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
    throw EVLMException(30379, "Cannot flush file buffers for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                        {FileName, LastErrno_, ErrorText(LastErrno_)});
  }
  Unflushed_ = false;
}

bool TVLMDatabaseFile::WriteBeside(const void* buffer, int64_t position, int32_t count) {
  if (!IsOpen_ || LocksReleased_ || count < 0 || position < 0) return false;
  const TVLMRetrySettings& settings = VLMRetrySettings();
  for (int32_t attempt = 0; attempt < std::max(settings.ReopenAttempts, 1); ++attempt) {
    if (attempt > 0) qv::SleepMs(settings.ReopenDelayMs);
    qv::File beside = qv::File::TryOpen(FileName, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
    if (!beside.IsOpen()) continue;
    try {
      beside.WriteAt(buffer, count, position);
    } catch (const qv::EOSError&) {
      return false;
    }
    try {
      beside.Sync();
    } catch (const qv::EOSError&) {
      // Written: every handle of this machine reads it; the disk may not
      // hold it yet.
    }
    return true;
  }
  return false;
}

bool TVLMDatabaseFile::LockByte(int32_t count, int64_t position) {
  CheckOpen("LockByte");
  // A conflict is a plain false; an error means the file could not be
  // reached, which is a failure too, after one reopen and retry.
  try {
    return Handle_.Lock(position, count);
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
  }
  LockFault = true;
  if (!Reopen()) return false;
  LockFault = false;
  try {
    return Handle_.Lock(position, count);
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
  }
  LockFault = true;
  return false;
}

bool TVLMDatabaseFile::UnlockByte(int32_t count, int64_t position) {
  CheckOpen("UnlockByte");
  // Gone with a handle made anew, and held by no one of this connection.
  const auto gone = std::find(GoneLocks_.begin(), GoneLocks_.end(), std::pair<int64_t, int64_t>(position, count));
  if (gone != GoneLocks_.end()) {
    GoneLocks_.erase(gone);
    return true;
  }
  try {
    bool ok = Handle_.Unlock(position, count);
    // Per-operation handles lose their locks when they close.
    return ok || OpenPerOperation;
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
  }
  // A lock of a file that cannot be reached is gone with the handle.
  LockFault = true;
  if (Reopen()) LockFault = false;
  return true;
}

bool TVLMDatabaseFile::IsByteLocked(int64_t position) {
  CheckOpen("IsByteLocked");
  return IsRegionLocked(1, position);
}

bool TVLMDatabaseFile::IsRegionLocked(int32_t count, int64_t position) {
  CheckOpen("IsRegionLocked");
  if (count <= 0) return false;
  bool locked = false;
  try {
    if (Handle_.Lock(position, count)) Handle_.Unlock(position, count);
    else locked = true;
  } catch (const qv::EOSError& e) {
    LastErrno_ = e.Errno;
    LockFault = true;
    locked = true;
  }
  return locked;
}

bool TVLMDatabaseFile::FindSignature(int64_t& offset) {
  CheckOpen("FindSignature");
  const int64_t saved = Position_;
  offset = 0;
  bool found = false;
  const int64_t size = GetSize();
  auto lengthIs76 = [&](const uint8_t* p) { return I16(p) == kVLMBlock1Size; };

  uint8_t head[kVLMBlock1LengthOffset + 2];
  if (size >= kVLMBlock1Size && ReadBuffer(head, 0, sizeof head) &&
      std::memcmp(head, kVLMSignature, kVLMSignatureSize) == 0 && lengthIs76(head + kVLMBlock1LengthOffset)) {
    found = true;
  } else {
    std::vector<uint8_t> chunk(kVLMSignatureChunk);
    for (int64_t p = 0; p < size && !found; p += kVLMSignatureChunk - kVLMSignatureSize) {
      const int64_t n = std::min<int64_t>(kVLMSignatureChunk, size - p);
      if (!ReadBuffer(chunk.data(), p, static_cast<int32_t>(n))) break;
      for (int64_t i = 0; i + kVLMSignatureSize <= n; ++i) {
        const uint8_t* c = chunk.data() + i;
        if (c[0] != static_cast<uint8_t>(kVLMSignature[0]) ||
            std::memcmp(c, kVLMSignature, kVLMSignatureSize) != 0)
          continue;
        // The header test needs the 76 bytes from the candidate; its length
        // field may lie past the chunk, then it is read from the file.
        if (p + i + kVLMBlock1Size > size) continue;
        uint8_t length[2];
        if (i + kVLMBlock1LengthOffset + 2 <= n) std::memcpy(length, c + kVLMBlock1LengthOffset, 2);
        else if (!ReadBuffer(length, p + i + kVLMBlock1LengthOffset, 2)) continue;
        if (lengthIs76(length)) {
          offset = p + i;
          found = true;
          break;
        }
      }
      if (p + n >= size) break;
    }
  }
  Position_ = saved;
  return found;
}
