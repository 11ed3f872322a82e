#include "appdata/BackupCopy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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

void CopyWhole(File& log, const std::string& backupPath) {
  WriteFileAtomicallyWith(backupPath, [&](File& out) {
    std::vector<char> buffer(kChunkSize);
    const int64_t size = log.Size();
    for (int64_t offset = 0; offset < size; offset += kChunkSize) {
      const int64_t n = std::min(kChunkSize, size - offset);
      ReadExactly(log, buffer.data(), n, offset);
      WriteAllAt(out, buffer.data(), n, offset);
    }
  });
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

// Writes the blocks of the log that differ in the backup, a run of adjacent
// differing blocks in one call. Returns the number of blocks written.
int64_t WriteDifferingBlocks(File& log, File& backup, int64_t size) {
  std::vector<char> source(kChunkSize);
  std::vector<char> target(kChunkSize);
  int64_t written = 0;
  for (int64_t offset = 0; offset < size; offset += kChunkSize) {
    const int64_t n = std::min(kChunkSize, size - offset);
    ReadExactly(log, source.data(), n, offset);
    ReadExactly(backup, target.data(), n, offset);
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
  }
  return written;
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

}  // namespace

BackupUpdate UpdateBackupCopy(const std::string& logPath, const std::string& backupPath,
                              const FileChanges* changes) {
  File log = File::Open(logPath, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  const int64_t size = log.Size();
  BackupUpdate result;
  File backup = File::TryOpen(backupPath, FileAccess::ReadWrite, FileDisposition::OpenExisting);
  if (backup.IsOpen()) {
    try {
      const bool stamped = changes != nullptr && !changes->StampBefore.empty();
      if (stamped && !HoldsStamp(backup, changes->StampPosition, changes->StampBefore)) {
        // Not the log as it stood before the commit: rebuilt.
      } else if (stamped && ChangesFit(log, backup, *changes)) {
        result.Road = BackupRoad::Changes;
        result.RangesWritten = WriteChanges(log, backup, *changes, size);
        return result;
      } else if (SameKind(log, backup, size)) {
        result.Road = BackupRoad::Compare;
        result.BlocksWritten = WriteDifferingBlocks(log, backup, size);
        backup.Sync();
        return result;
      }
    } catch (const EOSError&) {
      // A backup that cannot be read or written in place is rebuilt; when
      // the fault lies with the log or the disk, the rebuild reports it.
    }
    backup.Close();
  }
  CopyWhole(log, backupPath);
  return BackupUpdate{BackupRoad::Rebuild, 0, 0};
}

}  // namespace qv::app
