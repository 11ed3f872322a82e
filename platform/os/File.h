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
// A test hook counts the operations that change a file (writes, truncates,
// flushes, renames) and can make the k-th one fail, make it and every later
// one fail (a full disk), end the process before it, cut the power after
// it, make the handle it was made on go bad, or hold the writes from it on
// until a flush that ends the process (crash tests; see SetFileFaultAfter).
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
  // count * size bytes from offset, size bytes into each of buffers (one
  // read call for all of them); the bytes moved.
  int64_t ReadAtScattered(void* const* buffers, int32_t count, int64_t size, int64_t offset);
  int64_t WriteAt(const void* buffer, int64_t count, int64_t offset);
  int64_t Size() const;
  void Truncate(int64_t size);
  void Sync();  // fdatasync

  // Non-blocking byte-range locks. Lock fails (false) when any handle, this
  // one included, holds an overlapping range; Unlock fails when this handle
  // does not hold exactly that range. A closed handle: Lock false, Unlock true.
  bool Lock(int64_t offset, int64_t length);
  // The same as a read (shared) lock whatever the handle's access: locks
  // of this kind may overlap each other, not a write lock.
  bool LockShared(int64_t offset, int64_t length);
  bool Unlock(int64_t offset, int64_t length);
  // True when this handle holds a lock covering the byte.
  bool IsByteLocked(int64_t offset) const;
  // True when another handle or process holds a lock over the range.
  bool IsLockedByOther(int64_t offset, int64_t length) const;
  // The ranges this handle holds locked, (offset, length), in the order
  // they were taken.
  const std::vector<std::pair<int64_t, int64_t>>& HeldLocks() const { return HeldLocks_; }

private:
  void CheckNotLost(const char* what) const;
  bool LockRange(int64_t offset, int64_t length, bool shared);

  int Fd_ = -1;
  bool Lost_ = false;  // gone bad (the test hook's LoseHandle)
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
// Renames from to to, replacing an existing to. Throws EOSError.
void RenameFile(const std::string& from, const std::string& to);
// Sets the permission bits of an open file. Throws EOSError.
void SetFileMode(File& file, uint32_t mode);
// The permission bits of a file, or -1 when it cannot be examined.
int32_t FilePermissions(const std::string& path);
// Makes the renames and new names of a folder durable; best effort.
void SyncFolder(const std::string& folder);
// The folder part of a path, without the trailing '/': "." for a bare name,
// "/" for a name in the root.
std::string FolderOf(const std::string& path);

// Test hook. The layer counts every operation that changes a file: WriteAt,
// Truncate, Sync and RenameFile. Armed with k >= 1, the k-th operation from
// now on meets the fault:
//
//   Fail       the operation throws EOSError (EIO) without happening; later
//              operations work again
//   FailFrom   the operation and every later one throw EOSError (ENOSPC)
//              without happening, until the hook is turned off (a full disk)
//   FailTwice  the operation and the next one throw EOSError (ENOSPC)
//              without happening; later operations work again (a disk that
//              was full for a moment)
//   Exit       the process ends at once with _exit(exitCode) before the
//              operation happens (the kernel keeps what was written)
//   PowerCut   the operation happens, then the power fails: every file the
//              process wrote since the hook was armed is set back to its
//              contents at its last successful Sync plus a prefix of the
//              later writes and truncates, and perhaps the part of the next
//              write up to a 512-byte boundary of the file (a torn write);
//              then _exit(exitCode). seed chooses the prefix and the tear,
//              so a run can be repeated.
//   PowerCutAnyOrder
//              the same, but of the writes and truncates since the last
//              successful Sync each file keeps any subset, in any order (a
//              disk that reorders its writes): each truncate is kept or
//              lost, each 512-byte piece of each write (cut at multiples of
//              512 of the file) kept or lost, a kept piece over a lost one
//              of an earlier write included.
//   TornFrom   as FailFrom, but a write that meets the fault first puts a
//              prefix of its bytes on disk that ends inside a 512-byte
//              piece of the file (a drive that fails, or fills, in the
//              middle of a sector); seed chooses the byte
//   LoseHandle the operation throws EOSError (EIO) without happening, and
//              the handle it was made on goes bad, as after a dropped
//              network share: every later call on it (a read, a write, the
//              size, a flush, a lock) fails with EIO until it is closed,
//              which drops its locks; then the next seed opens of its path
//              fail with EIO as well. Other handles and later operations
//              work.
//   LoseUnflushed
//              from the k-th operation on, every write is reported done but
//              held back in the process (a network file system's client
//              cache), and the first Sync or Truncate from then on ends the
//              process with _exit(exitCode) before it happens: of the held
//              writes, each 512-byte piece (cut at multiples of 512 of the
//              file) reaches the file or is lost, in an order seed chooses
//              (a later piece may land before an earlier one, or over it).
//              Until then the process reads its held writes back, and a
//              file's size counts them; other processes see the file
//              without them. Renames happen at once.
//
// Writes made before a power cut was armed count as flushed; renames and
// deletions are kept as they are. k = 0 turns the hook off; writes still
// held then reach the file in the order they were made.
enum class FileFault : uint8_t {
  Fail,
  Exit,
  FailFrom,
  PowerCut,
  PowerCutAnyOrder,
  TornFrom,
  FailTwice,
  LoseHandle,
  LoseUnflushed
};
void SetFileFaultAfter(int64_t k, FileFault action, int exitCode = 99, uint64_t seed = 0);
// File-changing operations (see above) since the process started.
int64_t FileWriteCount();
// Of those, the Sync calls (flushes).
int64_t FileSyncCount();
// The bytes a torn write keeps are cut at multiples of this.
inline constexpr int64_t kFileSectorSize = 512;

// Test hook: while recording, the layer notes every file it creates (an
// open that made a new name), every write, truncate, flush, folder flush,
// rename and deletion, in order, with the path it names (the folder's for
// a folder flush; the old name for a rename).
enum class FileOperation : uint8_t { Create, Write, Truncate, Sync, SyncFolder, Rename, Delete };
struct FileOperationRecord {
  FileOperation Operation;
  std::string Path;
};
// Starts a new record (true) or stops recording (false).
void RecordFileOperations(bool on);
std::vector<FileOperationRecord> RecordedFileOperations();

}  // namespace qv
