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
//  3. A closed File has Fd_ == -1, an empty HeldLocks_ and is not lost.
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "platform/host/SysUtils.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace qv {

namespace {

std::string ErrorText(int errNo) { return SysErrorMessage(errNo); }

[[noreturn]] void ThrowOSError(const std::string& what, const std::string& path, int errNo) {
  throw EOSError(what + " \"" + path + "\": " + ErrorText(errNo), errNo);
}

// ---- fault injection (see SetFileFaultAfter in File.h) ----
//
// One counter of file-changing operations for the whole process. While a
// power cut is armed, every write and truncate first records what it is
// about to overwrite (an undo record), per file, in the order they happen;
// a successful Sync forgets the file's records, since the disk now holds
// them. The cut keeps a prefix of each file's records and undoes the rest
// from the newest back, which leaves exactly "the flushed contents plus a
// prefix of the later operations".

std::atomic<int64_t> WriteCount_{0};
std::atomic<bool> Recording_{false};
std::mutex RecordMutex_;
std::vector<FileOperationRecord> Recorded_;
std::atomic<int64_t> SyncCount_{0};
std::atomic<int64_t> FaultAt_{0};  // WriteCount_ value that faults; 0 = off
std::atomic<int> FaultAction_{0};
std::atomic<int> FaultExitCode_{99};
// The path of the handle the LoseHandle fault made go bad, and how many of
// its next opens fail.
std::mutex LostMutex_;
std::string LostPath_;
int64_t LostOpenFailures_ = 0;

// The writes the LoseUnflushed fault holds back, in the order they were
// made, with the file they belong to.
struct HeldWrite {
  dev_t Device = 0;
  ino_t Inode = 0;
  std::string Path;
  int64_t Offset = 0;
  std::vector<uint8_t> Bytes;
};
std::mutex HeldMutex_;
std::vector<HeldWrite> Held_;
std::atomic<bool> AnyHeld_{false};

// What one write or truncate changed: the size the file had before it and
// the bytes it replaced from Offset on (only those inside the old size).
struct UndoRecord {
  int64_t OldSize = 0;
  int64_t Offset = 0;
  int64_t Length = 0;  // bytes written; 0 for a truncate
  std::vector<uint8_t> OldBytes;
  std::vector<uint8_t> NewBytes;  // what was written (a cut in any order)
};

struct FileJournal {
  dev_t Device = 0;
  ino_t Inode = 0;
  std::string Path;  // the name the file was last written under
  std::vector<UndoRecord> Records;
};

std::mutex JournalMutex_;
bool Journaling_ = false;     // a power cut is armed
bool AnyOrder_ = false;       // the cut keeps any subset, not a prefix
uint64_t CutSeed_ = 0;
std::vector<FileJournal> Journals_;  // in the order the files were first written

// A small, fixed generator, so a seed gives the same cut on every machine.
uint64_t NextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

FileJournal* JournalOf(int fd, const std::string& path, bool create) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return nullptr;
  for (FileJournal& j : Journals_)
    if (j.Device == st.st_dev && j.Inode == st.st_ino) {
      if (create) j.Path = path;
      return &j;
    }
  if (!create) return nullptr;
  Journals_.push_back(FileJournal{st.st_dev, st.st_ino, path, {}});
  return &Journals_.back();
}

// Records what a write of length bytes at offset (length 0: a truncate to
// offset) is about to replace, and (a cut in any order) what it writes.
void RecordUndo(int fd, const std::string& path, int64_t offset, int64_t length, const void* bytes = nullptr) {
  std::lock_guard<std::mutex> lock(JournalMutex_);
  if (!Journaling_) return;
  FileJournal* journal = JournalOf(fd, path, true);
  struct stat st;
  if (journal == nullptr || ::fstat(fd, &st) != 0) return;
  UndoRecord record;
  record.OldSize = static_cast<int64_t>(st.st_size);
  record.Offset = offset;
  record.Length = length;
  const int64_t end = length > 0 ? std::min(offset + length, record.OldSize) : record.OldSize;
  if (end > offset) {
    record.OldBytes.resize(static_cast<size_t>(end - offset));
    ssize_t n = ::pread(fd, record.OldBytes.data(), record.OldBytes.size(), static_cast<off_t>(offset));
    record.OldBytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  if (AnyOrder_ && bytes != nullptr) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    record.NewBytes.assign(p, p + length);
  }
  journal->Records.push_back(std::move(record));
}

void ForgetUndo(int fd) {
  std::lock_guard<std::mutex> lock(JournalMutex_);
  if (!Journaling_) return;
  if (FileJournal* journal = JournalOf(fd, "", false)) journal->Records.clear();
}

void ClearJournals(bool journaling, bool anyOrder, uint64_t seed) {
  std::lock_guard<std::mutex> lock(JournalMutex_);
  Journals_.clear();
  Journaling_ = journaling;
  AnyOrder_ = anyOrder;
  CutSeed_ = seed;
}

// Undoes record r, keeping the first keep bytes of a write (a torn write).
void Undo(int fd, const UndoRecord& r, int64_t keep) {
  const int64_t size = keep > 0 ? std::max(r.OldSize, r.Offset + keep) : r.OldSize;
  (void)::ftruncate(fd, static_cast<off_t>(size));
  const int64_t from = std::min<int64_t>(keep, static_cast<int64_t>(r.OldBytes.size()));
  if (from < static_cast<int64_t>(r.OldBytes.size()))
    (void)::pwrite(fd, r.OldBytes.data() + from, r.OldBytes.size() - static_cast<size_t>(from),
                   static_cast<off_t>(r.Offset + from));
}

// The power fails: each journalled file keeps a prefix of its records (the
// last kept write perhaps torn) and loses the rest; then the process ends.
[[noreturn]] void CutPower(int exitCode) {
  {
    std::lock_guard<std::mutex> lock(JournalMutex_);
    uint64_t state = CutSeed_;
    for (const FileJournal& journal : Journals_) {
      if (journal.Records.empty()) continue;
      const int fd = ::open(journal.Path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) continue;
      struct stat st;
      // A name that now belongs to another file (replaced by a rename) is
      // left alone.
      if (::fstat(fd, &st) == 0 && st.st_dev == journal.Device && st.st_ino == journal.Inode && AnyOrder_) {
        // Back to the flushed contents, then each truncate and each piece of
        // each write again, or not, in the order they came.
        for (size_t i = journal.Records.size(); i-- > 0;) Undo(fd, journal.Records[i], 0);
        for (const UndoRecord& r : journal.Records) {
          const bool keep = NextRandom(state) % 2 == 0;
          if (r.Length == 0) {
            if (keep) (void)::ftruncate(fd, static_cast<off_t>(r.Offset));
            continue;
          }
          for (int64_t at = r.Offset, end = r.Offset + r.Length; at < end;) {
            const int64_t next = std::min(end, (at / kFileSectorSize + 1) * kFileSectorSize);
            if (NextRandom(state) % 2 == 0)
              (void)::pwrite(fd, r.NewBytes.data() + (at - r.Offset), static_cast<size_t>(next - at),
                             static_cast<off_t>(at));
            at = next;
          }
        }
      } else if (::fstat(fd, &st) == 0 && st.st_dev == journal.Device && st.st_ino == journal.Inode) {
        const size_t n = journal.Records.size();
        const size_t kept = static_cast<size_t>(NextRandom(state) % (n + 1));
        for (size_t i = n; i-- > kept + 1;) Undo(fd, journal.Records[i], 0);
        if (kept < n) {
          // The first lost record may be a write that reached the disk in
          // part: whole sectors from its start.
          const UndoRecord& torn = journal.Records[kept];
          int64_t keep = 0;
          if (torn.Length > 0) {
            const int64_t first = (torn.Offset / kFileSectorSize + 1) * kFileSectorSize;
            const int64_t cuts = first < torn.Offset + torn.Length
                                     ? (torn.Offset + torn.Length - 1 - first) / kFileSectorSize + 1
                                     : 0;
            const int64_t choice = static_cast<int64_t>(NextRandom(state) % static_cast<uint64_t>(cuts + 1));
            if (choice > 0) keep = first + (choice - 1) * kFileSectorSize - torn.Offset;
          }
          Undo(fd, torn, keep);
        }
      }
      ::close(fd);
    }
  }
  _exit(exitCode);
}

// What the armed fault leaves an operation to do besides failing or ending
// the process.
enum class FaultStep : uint8_t { None, CutAfter, Tear, LoseHandle, Hold };

// Counts one file-changing operation and applies the armed fault before the
// operation touches the file: CutAfter when the power is to be cut right
// after this operation, Tear when a write is to put only part of its bytes
// on disk and fail, LoseHandle when the operation's handle goes bad, Hold
// when a write is to be held back and a flush or truncate ends the process.
FaultStep CountWrite() {
  const int64_t n = WriteCount_.fetch_add(1) + 1;
  const int64_t at = FaultAt_.load();
  if (at == 0 || n < at) return FaultStep::None;
  switch (static_cast<FileFault>(FaultAction_.load())) {
    case FileFault::TornFrom:
      if (n == at) return FaultStep::Tear;
      throw EOSError("Injected write failure", ENOSPC);
    case FileFault::FailFrom:
      throw EOSError("Injected write failure", ENOSPC);
    case FileFault::FailTwice:
      if (n > at) FaultAt_.store(0);
      throw EOSError("Injected write failure", ENOSPC);
    case FileFault::Fail:
      if (n != at) return FaultStep::None;
      FaultAt_.store(0);
      throw EOSError("Injected write failure", EIO);
    case FileFault::Exit:
      if (n == at) _exit(FaultExitCode_.load());
      return FaultStep::None;
    case FileFault::PowerCut:
    case FileFault::PowerCutAnyOrder:
      return n == at ? FaultStep::CutAfter : FaultStep::None;
    case FileFault::LoseHandle:
      if (n != at) return FaultStep::None;
      FaultAt_.store(0);
      return FaultStep::LoseHandle;
    case FileFault::LoseUnflushed:
      return FaultStep::Hold;
  }
  return FaultStep::None;
}

// The same for an operation that is not a write: a tear fails it as a full
// disk does. True when the power is to be cut after it; LoseHandle is the
// caller's (a rename has no handle: it fails).
FaultStep CountOtherChange() {
  const FaultStep step = CountWrite();
  if (step == FaultStep::Tear) throw EOSError("Injected write failure", ENOSPC);
  return step;
}

// The LoseHandle fault met an operation on the handle of path.
[[noreturn]] void LoseHandle(bool& lost, const std::string& path) {
  lost = true;
  uint64_t failures = 0;
  {
    std::lock_guard<std::mutex> lock(JournalMutex_);
    failures = CutSeed_;
  }
  {
    std::lock_guard<std::mutex> lock(LostMutex_);
    LostPath_ = path;
    LostOpenFailures_ = static_cast<int64_t>(failures);
  }
  throw EOSError("Injected failure: the handle went bad", EIO);
}

// An open of path that the LoseHandle fault makes fail.
bool OpenFailsAfterLoss(const std::string& path) {
  std::lock_guard<std::mutex> lock(LostMutex_);
  if (LostOpenFailures_ <= 0 || path != LostPath_) return false;
  --LostOpenFailures_;
  return true;
}

// ---- the LoseUnflushed fault's held writes ----

bool SameFile(const struct stat& st, const HeldWrite& held) {
  return st.st_dev == held.Device && st.st_ino == held.Inode;
}

void HoldWrite(int fd, const std::string& path, const void* buffer, int64_t count, int64_t offset) {
  struct stat st;
  if (::fstat(fd, &st) != 0) ThrowOSError("Cannot write file", path, errno);
  const auto* p = static_cast<const uint8_t*>(buffer);
  std::lock_guard<std::mutex> lock(HeldMutex_);
  Held_.push_back(HeldWrite{st.st_dev, st.st_ino, path, offset, std::vector<uint8_t>(p, p + count)});
  AnyHeld_.store(true);
}

// The end of the last byte a held write puts in the file of fd (0: none).
int64_t HeldEnd(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return 0;
  std::lock_guard<std::mutex> lock(HeldMutex_);
  int64_t end = 0;
  for (const HeldWrite& held : Held_)
    if (SameFile(st, held)) end = std::max(end, held.Offset + static_cast<int64_t>(held.Bytes.size()));
  return end;
}

// A read of count bytes at offset that got done bytes from the file, as
// the process sees it: the held writes of its file over them, in order,
// and zeros between the file's end and a held write past it. The bytes
// the read then holds.
int64_t OverlayHeld(int fd, uint8_t* buffer, int64_t count, int64_t offset, int64_t done) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return done;
  std::lock_guard<std::mutex> lock(HeldMutex_);
  int64_t end = done;
  for (const HeldWrite& held : Held_)
    if (SameFile(st, held) && held.Offset < offset + count)
      end = std::max(end, std::min(count, held.Offset + static_cast<int64_t>(held.Bytes.size()) - offset));
  if (end > done) std::memset(buffer + done, 0, static_cast<size_t>(end - done));
  for (const HeldWrite& held : Held_) {
    if (!SameFile(st, held)) continue;
    const int64_t from = std::max(held.Offset, offset);
    const int64_t to = std::min(held.Offset + static_cast<int64_t>(held.Bytes.size()), offset + count);
    if (from < to)
      std::memcpy(buffer + (from - offset), held.Bytes.data() + (from - held.Offset), static_cast<size_t>(to - from));
  }
  return end;
}

// Puts length bytes of a held write, from at on, on its file (best effort:
// a name that now belongs to another file is left alone).
void LandHeldBytes(const HeldWrite& held, int64_t at, int64_t length) {
  const int fd = ::open(held.Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && SameFile(st, held))
    (void)::pwrite(fd, held.Bytes.data() + (at - held.Offset), static_cast<size_t>(length), static_cast<off_t>(at));
  ::close(fd);
}

std::vector<HeldWrite> TakeHeldWrites() {
  std::lock_guard<std::mutex> lock(HeldMutex_);
  std::vector<HeldWrite> held;
  held.swap(Held_);
  AnyHeld_.store(false);
  return held;
}

// The flush that the held writes never see: each of their 512-byte pieces
// lands or not, in an order the seed chooses; then the process ends.
[[noreturn]] void LandHeldWritesAndExit(int exitCode) {
  const std::vector<HeldWrite> held = TakeHeldWrites();
  uint64_t state = 0;
  {
    std::lock_guard<std::mutex> lock(JournalMutex_);
    state = CutSeed_;
  }
  struct Piece {
    size_t Write;
    int64_t At, Length;
    uint64_t Order;
  };
  std::vector<Piece> pieces;
  for (size_t w = 0; w < held.size(); ++w)
    for (int64_t at = held[w].Offset, end = at + static_cast<int64_t>(held[w].Bytes.size()); at < end;) {
      const int64_t next = std::min(end, (at / kFileSectorSize + 1) * kFileSectorSize);
      if (NextRandom(state) % 2 == 0) pieces.push_back({w, at, next - at, NextRandom(state)});
      at = next;
    }
  std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.Order < b.Order; });
  for (const Piece& piece : pieces) LandHeldBytes(held[piece.Write], piece.At, piece.Length);
  _exit(exitCode);
}

// How many bytes a torn write of count bytes at offset keeps: at least one
// and fewer than count, ending inside a sector of the file.
int64_t TornLength(int64_t offset, int64_t count) {
  if (count < 2) return 0;
  uint64_t state = 0;
  {
    std::lock_guard<std::mutex> lock(JournalMutex_);
    state = CutSeed_;
  }
  int64_t keep = 1 + static_cast<int64_t>(NextRandom(state) % static_cast<uint64_t>(count - 1));
  if ((offset + keep) % kFileSectorSize == 0) keep += keep + 1 < count ? 1 : -1;
  return keep;
}

void Note(FileOperation operation, const std::string& path) {
  if (!Recording_.load()) return;
  std::lock_guard<std::mutex> lock(RecordMutex_);
  Recorded_.push_back(FileOperationRecord{operation, path});
}

// Writes count bytes at offset, however many calls it takes.
void WriteAll(int fd, const std::string& path, const void* buffer, int64_t count, int64_t offset) {
  const auto* p = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    size_t chunk = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
    ssize_t n = ::pwrite(fd, p + done, chunk, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowOSError("Cannot write file", path, errno);
    }
    if (n == 0) ThrowOSError("Cannot write file", path, EIO);
    done += n;
  }
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
    : Fd_(other.Fd_), Lost_(other.Lost_), Access_(other.Access_), Path_(std::move(other.Path_)),
      HeldLocks_(std::move(other.HeldLocks_)) {
  other.Fd_ = -1;
  other.Lost_ = false;
  other.Path_.clear();
  other.HeldLocks_.clear();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    Fd_ = other.Fd_;
    Lost_ = other.Lost_;
    other.Lost_ = false;
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
  if (OpenFailsAfterLoss(path)) {
    if (errNo) *errNo = EIO;
    return f;
  }
  const bool noteCreation = Recording_.load() && (flags & O_CREAT) != 0 && ::access(path.c_str(), F_OK) != 0;
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
  if (noteCreation) Note(FileOperation::Create, path);
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
  Lost_ = false;
  HeldLocks_.clear();
}

void File::CheckNotLost(const char* what) const {
  if (Lost_) ThrowOSError(what, Path_, EIO);
}

int64_t File::ReadAt(void* buffer, int64_t count, int64_t offset) {
  if (Fd_ < 0) ThrowOSError("Cannot read file", Path_, EBADF);
  CheckNotLost("Cannot read file");
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
  if (AnyHeld_.load()) done = OverlayHeld(Fd_, static_cast<uint8_t*>(buffer), count, offset, done);
  return done;
}

int64_t File::ReadAtScattered(void* const* buffers, int32_t count, int64_t size, int64_t offset) {
  if (Fd_ < 0) ThrowOSError("Cannot read file", Path_, EBADF);
  CheckNotLost("Cannot read file");
  if (count < 0 || size < 0 || offset < 0) ThrowOSError("Cannot read file", Path_, EINVAL);
  if (AnyHeld_.load()) {
    // Held writes are laid over each buffer as over a read of its own.
    int64_t done = 0;
    for (int32_t i = 0; i < count; ++i) {
      const int64_t n = ReadAt(buffers[i], size, offset + i * size);
      done += n;
      if (n < size) break;
    }
    return done;
  }
  std::vector<iovec> pieces(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) pieces[static_cast<size_t>(i)] = {buffers[i], static_cast<size_t>(size)};
  const int64_t total = size * count;
  int64_t done = 0;
  size_t first = 0;
  while (done < total && first < pieces.size()) {
    const int n = static_cast<int>(std::min<size_t>(pieces.size() - first, IOV_MAX));
    ssize_t got = ::preadv(Fd_, pieces.data() + first, n, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowOSError("Cannot read file", Path_, errno);
    }
    if (got == 0) break;  // end of file
    done += got;
    // The pieces read whole are done; a piece read in part goes on from
    // where it stopped.
    auto left = static_cast<size_t>(got);
    while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
    if (first < pieces.size() && left > 0) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
      pieces[first].iov_len -= left;
    }
  }
  return done;
}

int64_t File::WriteAt(const void* buffer, int64_t count, int64_t offset) {
  if (Fd_ < 0) ThrowOSError("Cannot write file", Path_, EBADF);
  CheckNotLost("Cannot write file");
  if (count < 0 || offset < 0) ThrowOSError("Cannot write file", Path_, EINVAL);
  const FaultStep step = CountWrite();
  if (step == FaultStep::LoseHandle) LoseHandle(Lost_, Path_);
  if (step == FaultStep::Hold) {
    HoldWrite(Fd_, Path_, buffer, count, offset);
    Note(FileOperation::Write, Path_);
    return count;
  }
  if (step == FaultStep::Tear) {
    WriteAll(Fd_, Path_, buffer, TornLength(offset, count), offset);
    throw EOSError("Injected write failure", ENOSPC);
  }
  RecordUndo(Fd_, Path_, offset, count, buffer);
  WriteAll(Fd_, Path_, buffer, count, offset);
  Note(FileOperation::Write, Path_);
  if (step == FaultStep::CutAfter) CutPower(FaultExitCode_.load());
  return count;
}

int64_t File::Size() const {
  if (Fd_ < 0) ThrowOSError("Cannot get the size of file", Path_, EBADF);
  CheckNotLost("Cannot get the size of file");
  struct stat st;
  if (::fstat(Fd_, &st) != 0) ThrowOSError("Cannot get the size of file", Path_, errno);
  if (AnyHeld_.load()) return std::max(static_cast<int64_t>(st.st_size), HeldEnd(Fd_));
  return static_cast<int64_t>(st.st_size);
}

void File::Truncate(int64_t size) {
  if (Fd_ < 0) ThrowOSError("Cannot set the size of file", Path_, EBADF);
  if (size < 0) ThrowOSError("Cannot set the size of file", Path_, EINVAL);
  CheckNotLost("Cannot set the size of file");
  const FaultStep step = CountOtherChange();
  if (step == FaultStep::LoseHandle) LoseHandle(Lost_, Path_);
  if (step == FaultStep::Hold) LandHeldWritesAndExit(FaultExitCode_.load());
  const bool cut = step == FaultStep::CutAfter;
  RecordUndo(Fd_, Path_, size, 0);
  int r;
  do {
    r = ::ftruncate(Fd_, static_cast<off_t>(size));
  } while (r != 0 && errno == EINTR);
  if (r != 0) ThrowOSError("Cannot set the size of file", Path_, errno);
  Note(FileOperation::Truncate, Path_);
  if (cut) CutPower(FaultExitCode_.load());
}

void File::Sync() {
  if (Fd_ < 0) ThrowOSError("Cannot flush file", Path_, EBADF);
  CheckNotLost("Cannot flush file");
  const FaultStep step = CountOtherChange();
  if (step == FaultStep::LoseHandle) LoseHandle(Lost_, Path_);
  if (step == FaultStep::Hold) LandHeldWritesAndExit(FaultExitCode_.load());
  const bool cut = step == FaultStep::CutAfter;
  SyncCount_.fetch_add(1);
  int r;
  do {
    r = ::fdatasync(Fd_);
  } while (r != 0 && errno == EINTR);
  // A read-only handle has nothing of its own to flush; some file systems
  // refuse the call on it.
  if (r != 0 && !(ReadOnly() && (errno == EBADF || errno == EINVAL)))
    ThrowOSError("Cannot flush file", Path_, errno);
  if (r == 0) ForgetUndo(Fd_);
  Note(FileOperation::Sync, Path_);
  if (cut) CutPower(FaultExitCode_.load());
}

bool File::Lock(int64_t offset, int64_t length) { return LockRange(offset, length, ReadOnly()); }

bool File::LockShared(int64_t offset, int64_t length) { return LockRange(offset, length, true); }

bool File::LockRange(int64_t offset, int64_t length, bool shared) {
  if (Fd_ < 0 || !ValidRange(offset, length)) return false;
  CheckNotLost("Cannot lock a range of file");
  for (const auto& held : HeldLocks_)
    if (RangesOverlap(held.first, held.second, offset, length)) return false;
  struct flock fl;
  if (OfdLockCall(Fd_, F_OFD_SETLK, shared ? F_RDLCK : F_WRLCK, offset, length, fl) != 0) {
    if (errno == EAGAIN || errno == EACCES) return false;
    ThrowOSError("Cannot lock a range of file", Path_, errno);
  }
  HeldLocks_.emplace_back(offset, length);
  return true;
}

bool File::Unlock(int64_t offset, int64_t length) {
  if (Fd_ < 0) return true;
  CheckNotLost("Cannot unlock a range of file");
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
  CheckNotLost("Cannot test a lock of file");
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

bool DeleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return false;
  Note(FileOperation::Delete, path);
  return true;
}

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

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
  // File refuses folders, so this one call opens the folder itself.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);  // best effort: the files themselves are already on disk
    ::close(fd);
  }
  Note(FileOperation::SyncFolder, folder);
}

void RenameFile(const std::string& from, const std::string& to) {
  const FaultStep step = CountOtherChange();
  if (step == FaultStep::LoseHandle) ThrowOSError("Cannot rename file", from, EIO);
  const bool cut = step == FaultStep::CutAfter;
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowOSError("Cannot rename file", from, errno);
  Note(FileOperation::Rename, from);
  if (cut) CutPower(FaultExitCode_.load());
}

void SetFileMode(File& file, uint32_t mode) {
  if (!file.IsOpen()) ThrowOSError("Cannot set the mode of file", file.Path(), EBADF);
  if (::fchmod(file.Fd(), static_cast<mode_t>(mode & 07777)) != 0)
    ThrowOSError("Cannot set the mode of file", file.Path(), errno);
}

int32_t FilePermissions(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int32_t>(st.st_mode & 07777);
}

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

void SetFileFaultAfter(int64_t k, FileFault action, int exitCode, uint64_t seed) {
  {
    std::lock_guard<std::mutex> lock(LostMutex_);
    LostOpenFailures_ = 0;
  }
  // The cache drains: what it still held reaches the files in order.
  for (const HeldWrite& held : TakeHeldWrites())
    LandHeldBytes(held, held.Offset, static_cast<int64_t>(held.Bytes.size()));
  if (k <= 0) {
    FaultAt_.store(0);
    ClearJournals(false, false, 0);
    return;
  }
  ClearJournals(action == FileFault::PowerCut || action == FileFault::PowerCutAnyOrder,
                action == FileFault::PowerCutAnyOrder, seed);
  FaultAction_.store(static_cast<int>(action));
  FaultExitCode_.store(exitCode);
  FaultAt_.store(WriteCount_.load() + k);
}

int64_t FileWriteCount() { return WriteCount_.load(); }

void RecordFileOperations(bool on) {
  std::lock_guard<std::mutex> lock(RecordMutex_);
  Recorded_.clear();
  Recording_.store(on);
}

std::vector<FileOperationRecord> RecordedFileOperations() {
  std::lock_guard<std::mutex> lock(RecordMutex_);
  return Recorded_;
}

int64_t FileSyncCount() { return SyncCount_.load(); }

}  // namespace qv
