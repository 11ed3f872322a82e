// Every file access of the system goes through this class: POSIX descriptors
// opened with O_CLOEXEC, positioned reads and writes, truncation, fdatasync,
// and byte-range locks that behave like the Windows locks the file formats
// were designed for.
//
// Locks are open-file-description locks (F_OFD_SETLK), so two File objects on
// one file in one process conflict with each other like two Windows handles,
// and a process that dies drops its locks. A per-handle registry of held ranges
// makes a second lock of a range the handle already holds fail, as on Windows.
// A handle opened read-only takes read (shared) locks.
//
// A test hook can make the layer fail, or end the process with _exit, after
// its k-th write or truncate (crash tests).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/Exception.h"

namespace qv {

// An operating-system failure: the text names the operation and the path and
// carries the English text of errno; Errno is the errno value.
class EOSError : public Exception {
public:
  EOSError(std::string message, int errNo) : Exception(std::move(message)), Errno(errNo) {}
  int Errno;
};

enum class FileAccess : uint8_t { ReadOnly, ReadWrite };
enum class FileDisposition : uint8_t {
  OpenExisting,  // fails when the file is missing
  CreateAlways,  // creates or truncates
  OpenAlways,    // opens or creates
  CreateNew,     // fails when the file exists
};

class File {
public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Throws EOSError on failure.
  static File Open(const std::string& path, FileAccess access, FileDisposition disposition);
  // The same without throwing: returns a closed File and sets errNo.
  static File TryOpen(const std::string& path, FileAccess access, FileDisposition disposition,
                      int* errNo = nullptr);

  bool IsOpen() const { return Fd_ >= 0; }
  int Fd() const { return Fd_; }
  const std::string& Path() const { return Path_; }
  bool ReadOnly() const { return Access_ == FileAccess::ReadOnly; }
  void Close();  // releases the handle's locks; a closed File may be closed again

  // Positioned I/O: returns the bytes moved (a read returns less at the end).
  // Throws EOSError on an I/O error.
  int64_t ReadAt(void* buffer, int64_t count, int64_t offset);
  int64_t WriteAt(const void* buffer, int64_t count, int64_t offset);
  int64_t Size() const;
  void Truncate(int64_t size);
  void Sync();  // fdatasync

  // Non-blocking byte-range locks. Lock fails (false) when any handle, this
  // one included, holds an overlapping range; Unlock fails when this handle
  // does not hold exactly that range. A closed handle: Lock false, Unlock true.
  bool Lock(int64_t offset, int64_t length);
  bool Unlock(int64_t offset, int64_t length);
  // True when this handle holds a lock covering the byte.
  bool IsByteLocked(int64_t offset) const;
  // True when another handle or process holds a lock over the range.
  bool IsLockedByOther(int64_t offset, int64_t length) const;

private:
  int Fd_ = -1;
  FileAccess Access_ = FileAccess::ReadOnly;
  std::string Path_;
  std::vector<std::pair<int64_t, int64_t>> HeldLocks_;  // (offset, length)
};

bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Copies src to dest through a temporary file in dest's folder and a rename,
// so dest is either the old file or a complete copy. failIfExists as CopyFileA.
bool CopyFile(const std::string& src, const std::string& dest, bool failIfExists);
// The file's last modification as a local host date-time (days since
// 1899-12-30); false when the file cannot be queried.
bool FileAge(const std::string& path, double& localDateTime);

// Test hook: after the k-th write or truncate from now (k >= 1) the layer
// either throws EOSError (Fail) or ends the process at once with _exit(exitCode)
// (Exit), before that write happens. k = 0 turns the hook off.
enum class FileFault : uint8_t { Fail, Exit };
void SetFileFaultAfter(int64_t k, FileFault action, int exitCode = 99);
int64_t FileWriteCount();  // writes and truncates since the process started

}  // namespace qv
