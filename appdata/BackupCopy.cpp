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

}  // namespace

BackupUpdate UpdateBackupCopy(const std::string& logPath, const std::string& backupPath) {
  File log = File::Open(logPath, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  const int64_t size = log.Size();
  BackupUpdate result;
  File backup = File::TryOpen(backupPath, FileAccess::ReadWrite, FileDisposition::OpenExisting);
  if (backup.IsOpen()) {
    try {
      if (SameKind(log, backup, size)) {
        result.BlocksWritten = WriteDifferingBlocks(log, backup, size);
        backup.Sync();
        return result;
      }
    } catch (const EOSError&) {
      // A backup that cannot be read or written in place is rebuilt; when
      // the fault lies with the log or the disk, the rebuild reports it.
      result.BlocksWritten = 0;
    }
    backup.Close();
  }
  CopyWhole(log, backupPath);
  result.Rebuilt = true;
  return result;
}

}  // namespace qv::app
