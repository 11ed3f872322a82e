// POSIX implementation of File. See File.h for the contract.
//
// Locks. Each File owns one open file description, so its F_OFD_SETLK locks
// belong to that description alone: another File on the same file (even in
// this process) conflicts with them, and closing some third descriptor of the
// file leaves them in place. The kernel merges overlapping locks of one
// description instead of refusing them, so each handle also keeps the ranges it
// holds (HeldLocks_) and refuses an overlapping second lock itself.
//
// Invariants:
//  1. The ranges in HeldLocks_ never overlap each other.
//  2. Every range in HeldLocks_ is locked in the kernel for Fd_'s description,
//     and the description holds no other lock.
//  3. A closed File has Fd_ == -1 and an empty HeldLocks_.
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "platform/host/SysUtils.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

namespace qv {

namespace {

std::string ErrorText(int errNo) { return SysErrorMessage(errNo); }

[[noreturn]] void ThrowOSError(const std::string& what, const std::string& path, int errNo) {
  throw EOSError(what + " \"" + path + "\": " + ErrorText(errNo), errNo);
}

// Fault-injection state shared by every File of the process.
std::atomic<int64_t> WriteCount_{0};
std::atomic<int64_t> FaultAt_{0};  // WriteCount_ value that faults; 0 = off
std::atomic<int> FaultAction_{0};
std::atomic<int> FaultExitCode_{99};

// Counts one write or truncate and applies the armed fault, before the
// operation touches the file.
void CountWrite() {
  int64_t n = WriteCount_.fetch_add(1) + 1;
  int64_t at = FaultAt_.load();
  if (at == 0 || n != at) return;
  FaultAt_.store(0);
  if (static_cast<FileFault>(FaultAction_.load()) == FileFault::Exit) _exit(FaultExitCode_.load());
  throw EOSError("Injected write failure", EIO);
}

bool RangesOverlap(int64_t o1, int64_t l1, int64_t o2, int64_t l2) {
  // Lengths are positive and offset + length cannot overflow (checked by Lock).
  return o1 < o2 + l2 && o2 < o1 + l1;
}

bool ValidRange(int64_t offset, int64_t length) {
  return offset >= 0 && length > 0 && offset <= INT64_MAX - length;
}

// One open-file-description lock call (F_OFD_SETLK or F_OFD_GETLK) of the
// given type on [offset, offset + length), retried on EINTR. Returns 0, or -1
// with errno set; fl holds the answer of F_OFD_GETLK.
int OfdLockCall(int fd, int cmd, int type, int64_t offset, int64_t length, struct flock& fl) {
  memset(&fl, 0, sizeof fl);  // l_pid must be 0 for OFD locks
  fl.l_type = static_cast<short>(type);
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  int r;
  do {
    r = ::fcntl(fd, cmd, &fl);
  } while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept
    : Fd_(other.Fd_), Access_(other.Access_), Path_(std::move(other.Path_)),
      HeldLocks_(std::move(other.HeldLocks_)) {
  other.Fd_ = -1;
  other.Path_.clear();
  other.HeldLocks_.clear();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    Fd_ = other.Fd_;
    Access_ = other.Access_;
    Path_ = std::move(other.Path_);
    HeldLocks_ = std::move(other.HeldLocks_);
    other.Fd_ = -1;
    other.Path_.clear();
    other.HeldLocks_.clear();
  }
  return *this;
}

File File::TryOpen(const std::string& path, FileAccess access, FileDisposition disposition,
                   int* errNo) {
  int flags = O_CLOEXEC | (access == FileAccess::ReadOnly ? O_RDONLY : O_RDWR);
  switch (disposition) {
    case FileDisposition::OpenExisting: break;
    case FileDisposition::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case FileDisposition::OpenAlways: flags |= O_CREAT; break;
    case FileDisposition::CreateNew: flags |= O_CREAT | O_EXCL; break;
  }
  File f;
  if (errNo) *errNo = 0;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errNo) *errNo = errno;
    return f;
  }
  // A folder opens read-only on Linux; as a data file it is an error.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    if (errNo) *errNo = EISDIR;
    return f;
  }
  f.Fd_ = fd;
  f.Access_ = access;
  f.Path_ = path;
  return f;
}

File File::Open(const std::string& path, FileAccess access, FileDisposition disposition) {
  int errNo = 0;
  File f = TryOpen(path, access, disposition, &errNo);
  if (!f.IsOpen()) ThrowOSError("Cannot open file", path, errNo);
  return f;
}

void File::Close() {
  if (Fd_ >= 0) {
    // Closing the only descriptor of the description drops its OFD locks.
    ::close(Fd_);  // no retry on EINTR: the descriptor is gone either way on Linux
    Fd_ = -1;
  }
  HeldLocks_.clear();
}

int64_t File::ReadAt(void* buffer, int64_t count, int64_t offset) {
  if (Fd_ < 0) ThrowOSError("Cannot read file", Path_, EBADF);
  if (count < 0 || offset < 0) ThrowOSError("Cannot read file", Path_, EINVAL);
  auto* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    size_t chunk = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
    ssize_t n = ::pread(Fd_, p + done, chunk, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowOSError("Cannot read file", Path_, errno);
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

int64_t File::WriteAt(const void* buffer, int64_t count, int64_t offset) {
  if (Fd_ < 0) ThrowOSError("Cannot write file", Path_, EBADF);
  if (count < 0 || offset < 0) ThrowOSError("Cannot write file", Path_, EINVAL);
  CountWrite();
  const auto* p = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    size_t chunk = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
    ssize_t n = ::pwrite(Fd_, p + done, chunk, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowOSError("Cannot write file", Path_, errno);
    }
    if (n == 0) ThrowOSError("Cannot write file", Path_, EIO);
    done += n;
  }
  return done;
}

int64_t File::Size() const {
  if (Fd_ < 0) ThrowOSError("Cannot get the size of file", Path_, EBADF);
  struct stat st;
  if (::fstat(Fd_, &st) != 0) ThrowOSError("Cannot get the size of file", Path_, errno);
  return static_cast<int64_t>(st.st_size);
}

void File::Truncate(int64_t size) {
  if (Fd_ < 0) ThrowOSError("Cannot set the size of file", Path_, EBADF);
  if (size < 0) ThrowOSError("Cannot set the size of file", Path_, EINVAL);
  CountWrite();
  int r;
  do {
    r = ::ftruncate(Fd_, static_cast<off_t>(size));
  } while (r != 0 && errno == EINTR);
  if (r != 0) ThrowOSError("Cannot set the size of file", Path_, errno);
}

void File::Sync() {
  if (Fd_ < 0) ThrowOSError("Cannot flush file", Path_, EBADF);
  int r;
  do {
    r = ::fdatasync(Fd_);
  } while (r != 0 && errno == EINTR);
  // A read-only handle has nothing of its own to flush; some file systems
  // refuse the call on it.
  if (r != 0 && !(ReadOnly() && (errno == EBADF || errno == EINVAL)))
    ThrowOSError("Cannot flush file", Path_, errno);
}

bool File::Lock(int64_t offset, int64_t length) {
  if (Fd_ < 0 || !ValidRange(offset, length)) return false;
  for (const auto& held : HeldLocks_)
    if (RangesOverlap(held.first, held.second, offset, length)) return false;
  struct flock fl;
  if (OfdLockCall(Fd_, F_OFD_SETLK, ReadOnly() ? F_RDLCK : F_WRLCK, offset, length, fl) != 0) {
    if (errno == EAGAIN || errno == EACCES) return false;
    ThrowOSError("Cannot lock a range of file", Path_, errno);
  }
  HeldLocks_.emplace_back(offset, length);
  return true;
}

bool File::Unlock(int64_t offset, int64_t length) {
  if (Fd_ < 0) return true;
  auto it = HeldLocks_.begin();
  while (it != HeldLocks_.end() && !(it->first == offset && it->second == length)) ++it;
  if (it == HeldLocks_.end()) return false;
  struct flock fl;
  if (OfdLockCall(Fd_, F_OFD_SETLK, F_UNLCK, offset, length, fl) != 0)
    ThrowOSError("Cannot unlock a range of file", Path_, errno);
  HeldLocks_.erase(it);
  return true;
}

bool File::IsByteLocked(int64_t offset) const {
  for (const auto& held : HeldLocks_)
    if (offset >= held.first && offset - held.first < held.second) return true;
  return false;
}

bool File::IsLockedByOther(int64_t offset, int64_t length) const {
  if (Fd_ < 0 || !ValidRange(offset, length)) return false;
  // Asking about a write lock finds read and write locks alike. Locks of this
  // handle's own description never count as a conflict.
  struct flock fl;
  if (OfdLockCall(Fd_, F_OFD_GETLK, F_WRLCK, offset, length, fl) != 0)
    ThrowOSError("Cannot test a lock of file", Path_, errno);
  return fl.l_type != F_UNLCK;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool FileAge(const std::string& path, double& localDateTime) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  std::tm tm{};
  if (::localtime_r(&st.st_mtime, &tm) == nullptr) return false;
  double date = 0, time = 0;
  if (!TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, date) ||
      !TryEncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec < 60 ? tm.tm_sec : 59, 0, time))
    return false;
  localDateTime = date + time;
  return true;
}

namespace {

// Copies every byte of in to out; false with errno set on failure.
bool CopyDescriptor(int in, int out) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);  // best effort: the copy itself is already on disk
    ::close(fd);
  }
}

}  // namespace

bool CopyFile(const std::string& src, const std::string& dest, bool failIfExists) {
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  int statResult = ::fstat(in, &st);
  if (statResult != 0 || S_ISDIR(st.st_mode)) {
    int e = statResult != 0 ? errno : EISDIR;
    ::close(in);
    errno = e;
    return false;
  }
  if (failIfExists && ::access(dest.c_str(), F_OK) == 0) {
    ::close(in);
    errno = EEXIST;
    return false;
  }
  std::string folder = FolderOf(dest);
  std::string tmpl = dest + ".copyXXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int out = ::mkostemp(name.data(), O_CLOEXEC);
  if (out < 0) {
    int e = errno;
    ::close(in);
    errno = e;
    return false;
  }
  std::string tmp(name.data());
  bool ok = ::fchmod(out, st.st_mode & 07777) == 0 && CopyDescriptor(in, out) && ::fsync(out) == 0;
  int e = errno;
  ::close(in);
  if (::close(out) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok) {
    if (failIfExists) {
      // Refuses to replace a file that appeared while copying.
      ok = ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) == 0;
      if (!ok && errno == EINVAL) {  // file system without RENAME_NOREPLACE
        ok = ::link(tmp.c_str(), dest.c_str()) == 0;
        if (ok) ::unlink(tmp.c_str());
      }
    } else {
      ok = ::rename(tmp.c_str(), dest.c_str()) == 0;
    }
    e = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    errno = e;
    return false;
  }
  SyncFolder(folder);
  return true;
}

void SetFileFaultAfter(int64_t k, FileFault action, int exitCode) {
  if (k <= 0) {
    FaultAt_.store(0);
    return;
  }
  FaultAction_.store(static_cast<int>(action));
  FaultExitCode_.store(exitCode);
  FaultAt_.store(WriteCount_.load() + k);
}

int64_t FileWriteCount() { return WriteCount_.load(); }

}  // namespace qv
