// The backup copy of a log ("BakV5LogDB.vlm" beside "V5LogDB.vlm"): a
// byte-identical copy of the live file, brought up to date after every added
// contact. Copying the whole log each time costs more, at a large log, than
// the rest of adding a contact; so the copy is compared block by block with
// the log and only the blocks that differ are written.
//
// Order with the log's commits (kept by the caller): the log's commit is on
// disk before UpdateBackupCopy starts, and UpdateBackupCopy returns only once
// the backup is on disk, before the next commit starts. So one of the two
// files is always whole: while the backup is written in place the log is
// committed; while a commit writes the log the backup holds the state before.
//
// Invariants:
//   1. After a return without an exception the backup has the log's size and
//      bytes, and they are on disk (flushed).
//   2. A rebuild never leaves a half-written backup: the copy goes to a new
//      file beside it, is flushed and renamed over it (AtomicFile).
//   3. An update in place writes only the blocks that differ; an unchanged
//      log costs reads and one flush, no write.
//   4. A failure in place is followed by a rebuild. When that fails too the
//      backup may stay partly updated (the log is whole then) and the call
//      throws; the next update compares again and completes it.
//
// Which road an update takes:
//
//   backup missing, unreadable or not a file, or a read
//   or write in place fails ------------------------------> rebuild
//   size differs from the log, or its leading signature
//   bytes differ (a file of another kind) ----------------> rebuild
//   otherwise --------------------------------------------> in place
//
// A database file grows and shrinks by many pages at a time (a tenth of its
// size when it grows), so a rebuild after a size change is rare.
#pragma once

#include <cstdint>
#include <string>

namespace qv::app {

// The unit of the compare and of the writes in place (a page of the
// operating system's cache).
inline constexpr int64_t kBackupBlockSize = 4096;
// The leading bytes that name a file's kind (a database file's signature).
inline constexpr int64_t kBackupSignatureSize = 16;

struct BackupUpdate {
  bool Rebuilt = false;       // written whole through a new file and a rename
  int64_t BlocksWritten = 0;  // blocks written in place (0 for a rebuild)
};

// Brings backupPath up to date with logPath. Throws EOSError when the log
// cannot be read or the backup cannot be written.
BackupUpdate UpdateBackupCopy(const std::string& logPath, const std::string& backupPath);

}  // namespace qv::app
