#include "appdata/BackupCopy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "appdata/AtomicFile.h"
#include "platform/os/File.h"
#include "platform/os/System.h"

namespace qv::app {

namespace {

// Blocks read per call while comparing or copying.
constexpr int64_t kChunkBlocks = 64;
constexpr int64_t kChunkSize = kChunkBlocks * kBackupBlockSize;

// Reads exactly count bytes at offset; a file that ends early is an error
// (the size was taken before and nothing else writes the file meanwhile).
void ReadExactly(File& file, char* buffer, int64_t count, int64_t offset) {
  int64_t done = 0;
  while (done < count) {
    int64_t n = file.ReadAt(buffer + done, count - done, offset + done);
    if (n <= 0) throw EOSError("Cannot read file '" + file.Path() + "': " + SysErrorMessage(EIO), EIO);
    done += n;
  }
}

// True when the backup can be brought up to date in place: same size and
// the same leading signature bytes as the log.
bool SameKind(File& log, File& backup, int64_t size) {
  if (backup.Size() != size) return false;
  const int64_t n = std::min(size, kBackupSignatureSize);
  char a[kBackupSignatureSize];
  char b[kBackupSignatureSize];
  ReadExactly(log, a, n, 0);
  ReadExactly(backup, b, n, 0);
  return std::memcmp(a, b, static_cast<size_t>(n)) == 0;
}

// The n bytes at offset of both files into source and target.
void ReadBoth(File& log, File& backup, int64_t offset, int64_t n, std::vector<char>& source,
              std::vector<char>& target) {
  source.resize(static_cast<size_t>(kChunkSize));
  target.resize(static_cast<size_t>(kChunkSize));
  ReadExactly(log, source.data(), n, offset);
  ReadExactly(backup, target.data(), n, offset);
}

// Writes the blocks of the log's n bytes at offset that differ in the
// backup, a run of adjacent differing blocks in one call. Returns the number
// of blocks written.
int64_t WriteDifferingBlocks(File& log, File& backup, int64_t offset, int64_t n, std::vector<char>& source,
                             std::vector<char>& target) {
  ReadBoth(log, backup, offset, n, source, target);
  int64_t written = 0;
  int64_t runStart = -1;  // start of the current run of differing blocks
  const auto writeRun = [&](int64_t runEnd) {
    WriteAllAt(backup, source.data() + runStart, runEnd - runStart, offset + runStart);
    runStart = -1;
  };
  for (int64_t at = 0; at < n; at += kBackupBlockSize) {
    const auto len = static_cast<size_t>(std::min(kBackupBlockSize, n - at));
    if (std::memcmp(source.data() + at, target.data() + at, len) != 0) {
      if (runStart < 0) runStart = at;
      ++written;
    } else if (runStart >= 0) {
      writeRun(at);
    }
  }
  if (runStart >= 0) writeRun(n);
  return written;
}

// Whether the n bytes at offset are the same in both files.
bool SameBytes(File& log, File& backup, int64_t offset, int64_t n, std::vector<char>& source,
               std::vector<char>& target) {
  ReadBoth(log, backup, offset, n, source, target);
  return std::memcmp(source.data(), target.data(), static_cast<size_t>(n)) == 0;
}

// The commit count of a database file of the engine (BackupCopy.h).
std::optional<uint32_t> CommitCountOf(File& file) {
  char head[kBackupCommitCountPosition + 4];
  int64_t done = 0;
  while (done < static_cast<int64_t>(sizeof head)) {
    const int64_t n = file.ReadAt(head + done, static_cast<int64_t>(sizeof head) - done, done);
    if (n <= 0) return std::nullopt;
    done += n;
  }
  if (std::string_view(head, kBackupDatabaseSignature.size()) != kBackupDatabaseSignature) return std::nullopt;
  const auto* count = reinterpret_cast<const unsigned char*>(head + kBackupCommitCountPosition);
  return static_cast<uint32_t>(count[0]) | static_cast<uint32_t>(count[1]) << 8 |
         static_cast<uint32_t>(count[2]) << 16 | static_cast<uint32_t>(count[3]) << 24;
}

// Whether file holds stamp at position (false when it ends before).
bool HoldsStamp(File& file, int64_t position, const std::string& stamp) {
  std::string bytes(stamp.size(), '\0');
  const auto size = static_cast<int64_t>(bytes.size());
  int64_t done = 0;
  while (done < size) {
    const int64_t n = file.ReadAt(bytes.data() + done, size - done, position + done);
    if (n <= 0) return false;
    done += n;
  }
  return bytes == stamp;
}

bool Overlaps(const FileChanges::Range& range, int64_t position, int64_t length) {
  return range.Position < position + length && position < range.Position + range.Length;
}

// The changes describe all that parts the backup (stamped as before the
// commit) from the log: nothing else changed since the backup had the log's
// bytes, the backup still has that length, the log now holds the stamp the
// commit wrote, and one range carries that stamp over.
bool ChangesFit(File& log, File& backup, const FileChanges& changes) {
  const auto stampLength = static_cast<int64_t>(changes.StampAfter.size());
  return changes.Complete && stampLength > 0 && backup.Size() == changes.SizeBefore &&
         HoldsStamp(log, changes.StampPosition, changes.StampAfter) &&
         std::any_of(changes.Ranges.begin(), changes.Ranges.end(), [&](const FileChanges::Range& r) {
           return r.Position <= changes.StampPosition &&
                  changes.StampPosition + stampLength <= r.Position + r.Length;
         });
}

// The changes road: the log's length, then the changed ranges (what lies
// past the log's end is gone), the ones that hold the stamp last, and one
// flush. Returns the number of ranges written.
int64_t WriteChanges(File& log, File& backup, const FileChanges& changes, int64_t size) {
  if (backup.Size() != size) backup.Truncate(size);
  std::vector<char> buffer;
  int64_t written = 0;
  const auto copy = [&](const FileChanges::Range& range) {
    const int64_t end = std::min(range.Position + range.Length, size);
    if (range.Position >= end) return;
    for (int64_t at = range.Position; at < end; at += kChunkSize) {
      const int64_t n = std::min(kChunkSize, end - at);
      buffer.resize(static_cast<size_t>(n));
      ReadExactly(log, buffer.data(), n, at);
      WriteAllAt(backup, buffer.data(), n, at);
    }
    ++written;
  };
  const auto stampLength = static_cast<int64_t>(changes.StampAfter.size());
  for (bool stampRanges : {false, true})
    for (const FileChanges::Range& range : changes.Ranges)
      if (Overlaps(range, changes.StampPosition, stampLength) == stampRanges) copy(range);
  backup.Sync();
  return written;
}

// Copies the whole of source into target (at its start) and reads the copy
// back: the copy is trusted only once it is found byte-equal to source.
void CopyVerified(File& source, File& target) {
  const int64_t size = source.Size();
  std::vector<char> bytes(static_cast<size_t>(std::min(size, kChunkSize)));
  std::vector<char> back(bytes.size());
  for (int64_t at = 0; at < size; at += kChunkSize) {
    const int64_t n = std::min(kChunkSize, size - at);
    ReadExactly(source, bytes.data(), n, at);
    WriteAllAt(target, bytes.data(), n, at);
  }
  target.Sync();
  for (int64_t at = 0; at < size; at += kChunkSize) {
    const int64_t n = std::min(kChunkSize, size - at);
    ReadBoth(source, target, at, n, bytes, back);
    if (std::memcmp(bytes.data(), back.data(), static_cast<size_t>(n)) != 0)
      throw EOSError("The copy '" + target.Path() + "' differs from '" + source.Path() + "'", EIO);
  }
  if (target.Size() != size) throw EOSError("The copy '" + target.Path() + "' has another length", EIO);
}

// A verified copy of the file at from put in place of the file at to, given
// to beforeReplace (when set) once verified and before the rename.
void ReplaceWithCopy(const std::string& from, const std::string& to,
                     const std::function<void(const std::string&)>& beforeReplace = {}) {
  File source = File::Open(from, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  AtomicFileWriter writer(to);
  CopyVerified(source, writer.Out());
  if (beforeReplace) beforeReplace(writer.TempPath());
  writer.Commit();
}

}  // namespace

std::string KeptLogName(const std::string& log, int32_t n) {
  // Appended in place: the optimizer took the joined temporaries for
  // overlapping copies (-Wrestrict at -O3).
  std::string name = log;
  name += kRestoreKeptSuffix;
  if (n > 1) {
    name += '-';
    name += std::to_string(n);
  }
  return name;
}

std::string FreeKeptLogName(const std::string& log) {
  for (int32_t n = 1;; ++n)
    if (std::string name = KeptLogName(log, n); !FileExists(name)) return name;
}

void RestoreFromBackup(const RestorePaths& paths, const std::function<void(const std::string&)>& beforeReplace) {
  // The log that is replaced, and its journal (a commit it may still have
  // to roll back), are kept first, whole; the restored copy comes last, in
  // one rename, so a failure or a stop at any point leaves the log as it
  // was, or restored with the replaced one kept.
  ReplaceWithCopy(paths.Log, paths.Kept);
  const bool journal = FileExists(paths.LogJournal);
  if (journal)
    ReplaceWithCopy(paths.LogJournal, paths.KeptJournal);
  else if (FileExists(paths.KeptJournal) && !DeleteFile(paths.KeptJournal))
    throw EOSError("Cannot delete file '" + paths.KeptJournal + "'", EIO);
  ReplaceWithCopy(paths.Backup, paths.Log, beforeReplace);
  // The journal belongs to the replaced log alone (kept beside it now).
  if (journal && DeleteFile(paths.LogJournal)) SyncFolder(FolderOf(paths.Log));
}

std::optional<uint32_t> ReadCommitCount(const std::string& path) {
  File file = File::TryOpen(path, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  if (!file.IsOpen()) return std::nullopt;
  try {
    return CommitCountOf(file);
  } catch (const EOSError&) {
    return std::nullopt;
  }
}

BackupCatchUp::BackupCatchUp(const std::string& logPath, const std::string& backupPath, BackupFollow follow,
                             std::optional<uint32_t> logCount)
    : BackupPath_(backupPath), Log_(File::Open(logPath, FileAccess::ReadOnly, FileDisposition::OpenExisting)) {
  Size_ = Log_.Size();
  Backup_ = File::TryOpen(backupPath, FileAccess::ReadWrite, FileDisposition::OpenExisting);
  ChooseRoad(follow, logCount);
}

BackupCatchUp::BackupCatchUp(const std::string& logPath, const std::string& backupPath, bool rebuild)
    : BackupPath_(backupPath), Log_(File::Open(logPath, FileAccess::ReadOnly, FileDisposition::OpenExisting)) {
  Size_ = Log_.Size();
  if (!rebuild) Backup_ = File::TryOpen(backupPath, FileAccess::ReadWrite, FileDisposition::OpenExisting);
  ChooseRoad(BackupFollow::Always, std::nullopt);
}

void BackupCatchUp::ChooseRoad(BackupFollow follow, std::optional<uint32_t> logCount) {
  if (Backup_.IsOpen()) {
    try {
      const bool sameKind = SameKind(Log_, Backup_, Size_);
      if (follow != BackupFollow::Always) {
        const std::optional<uint32_t> backupCount = CommitCountOf(Backup_);
        if (!logCount) logCount = CommitCountOf(Log_);
        const bool follows =
            !backupCount || !logCount || (follow == BackupFollow::LaterCommit && *logCount > *backupCount);
        if (!follows && !sameKind) {
          Keep();
          return;
        }
        Verify_ = !follows;
      }
      if (sameKind) {
        Result_.Road = BackupRoad::Compare;
        return;
      }
    } catch (const EOSError&) {
      // A backup that cannot be read is rebuilt; when the fault lies with
      // the log or the disk, the rebuild reports it.
    }
  }
  Verify_ = false;
  StartRebuild();
}

void BackupCatchUp::Keep() {
  Backup_.Close();
  Result_ = BackupUpdate{BackupRoad::Kept, 0, 0};
  Done_ = true;
}

BackupCatchUp::~BackupCatchUp() = default;

void BackupCatchUp::StartRebuild() {
  Backup_.Close();
  Result_ = BackupUpdate{BackupRoad::Rebuild, 0, 0};
  Offset_ = 0;
  Verify_ = HeadDiffers_ = false;
  Rebuild_ = std::make_unique<AtomicFileWriter>(BackupPath_);
}

bool BackupCatchUp::Step(int64_t bytes) {
  if (Done_) return true;
  std::vector<char> source;
  std::vector<char> target;
  const int64_t end = std::min(Size_, Offset_ + std::max(bytes, int64_t{1}));
  if (Result_.Road == BackupRoad::Compare) {
    try {
      for (; Offset_ < end; Offset_ += kChunkSize) {
        const int64_t n = std::min(kChunkSize, Size_ - Offset_);
        // The first block holds the stamp: it is compared here and written
        // last (invariant 3).
        const int64_t head = Offset_ == 0 ? std::min(kBackupBlockSize, n) : 0;
        if (head > 0) HeadDiffers_ = !SameBytes(Log_, Backup_, 0, head, source, target);
        if (Verify_) {
          if (HeadDiffers_ || !SameBytes(Log_, Backup_, Offset_ + head, n - head, source, target)) {
            Keep();
            return true;
          }
          continue;
        }
        Result_.BlocksWritten += WriteDifferingBlocks(Log_, Backup_, Offset_ + head, n - head, source, target);
      }
      if (Offset_ < Size_) return false;
      if (HeadDiffers_) {
        if (Result_.BlocksWritten > 0) Backup_.Sync();
        const int64_t head = std::min(kBackupBlockSize, Size_);
        source.resize(static_cast<size_t>(head));
        ReadExactly(Log_, source.data(), head, 0);
        WriteAllAt(Backup_, source.data(), head, 0);
        ++Result_.BlocksWritten;
      }
      if (!Verify_) Backup_.Sync();
      Done_ = true;
      return true;
    } catch (const EOSError&) {
      // A failure in place: the backup is rebuilt from the start.
      StartRebuild();
      return false;
    }
  }
  source.resize(static_cast<size_t>(kChunkSize));
  for (; Offset_ < end; Offset_ += kChunkSize) {
    const int64_t n = std::min(kChunkSize, Size_ - Offset_);
    ReadExactly(Log_, source.data(), n, Offset_);
    WriteAllAt(Rebuild_->Out(), source.data(), n, Offset_);
  }
  if (Offset_ < Size_) return false;
  Rebuild_->Commit();
  Rebuild_.reset();
  Done_ = true;
  return true;
}

BackupUpdate BackupCatchUp::Run() {
  while (!Step(Size_)) {
  }
  return Result_;
}

BackupUpdate UpdateBackupCopy(const std::string& logPath, const std::string& backupPath,
                              const FileChanges* changes) {
  bool rebuild = false;
  if (changes != nullptr && !changes->StampBefore.empty()) {
    File log = File::Open(logPath, FileAccess::ReadOnly, FileDisposition::OpenExisting);
    File backup = File::TryOpen(backupPath, FileAccess::ReadWrite, FileDisposition::OpenExisting);
    if (backup.IsOpen()) {
      try {
        if (!HoldsStamp(backup, changes->StampPosition, changes->StampBefore)) {
          rebuild = true;  // not the log as it stood before the commit
        } else if (ChangesFit(log, backup, *changes)) {
          BackupUpdate result;
          result.Road = BackupRoad::Changes;
          result.RangesWritten = WriteChanges(log, backup, *changes, log.Size());
          return result;
        }
      } catch (const EOSError&) {
        rebuild = true;  // as in BackupCatchUp
      }
    }
  }
  return BackupCatchUp(logPath, backupPath, rebuild).Run();
}

}  // namespace qv::app
