// The backup copy of a log ("BakV5LogDB.vlm" beside "V5LogDB.vlm"): a
// byte-identical copy of the live file, brought up to date after every added
// contact. Copying or comparing the whole log each time costs more, at a
// large log, than the rest of adding a contact; so the copy takes what the
// log's last commit changed, as the database component reports it
// (FileChanges), and falls back to a block-by-block compare, or a whole
// copy, when that report cannot be trusted for this backup.
//
// Order with the log's commits (kept by the caller): the log's commit is on
// disk before UpdateBackupCopy starts, and UpdateBackupCopy returns only once
// the backup is on disk, before the next commit starts. So one of the two
// files is always whole: while the backup is written in place the log is
// committed; while a commit writes the log the backup holds the state before.
//
// The stamp: the log's block 1 (its commit count and page count) sits in
// the backup at the same place. A backup whose stamp is the log's as it
// stood before the commit held the log's bytes then (invariant 1); the
// commit's changes bring it up to date. A backup is only ever written from
// the log after the log committed, so a log that differs from its backup
// and holds the same commit count (or a lower one) was changed by something
// other than a finished commit: a commit cut short and rolled back at the
// open (which leaves the bytes of the pages it took as it wrote them), or a
// change to either file while the program was closed (damage, a copy put in
// place), or both. The catch-up at open keeps such a backup as it is
// (BackupFollow::LaterCommit), unless the caller knows that the open rolled
// a commit back and that the log holds what the backup holds
// (BackupFollow::Always). The caller judges both files before it trusts
// either: a file is whole only when the engine's check finds every page of
// it whole and it reads through every index. It lets the backup follow a
// log with a later commit only once the log is whole (a damaged log is
// never copied over a backup), it checks and reads a kept backup through
// (the change may be the backup's), and the restore (RestoreFromBackup) is
// given only a backup found whole.
//
// Invariants:
//   1. After a return without an exception the backup has the log's size and
//      bytes, and they are on disk (flushed once); but for a catch-up that
//      kept the backup (BackupRoad::Kept), which wrote nothing.
//   2. A rebuild never leaves a half-written backup: the copy goes to a new
//      file beside it, is flushed and renamed over it (AtomicFile).
//   3. The changes road writes the changed ranges first and the range that
//      holds the stamp last: a backup left partly written by a failure
//      keeps its old stamp, which the next commit's report no longer
//      matches, so it is rebuilt. The compare road writes the first block
//      (which holds the stamp) last, after the others are on disk: a
//      backup left partly written by it keeps its old stamp, so the next
//      catch-up still sees the log as the later one.
//   4. The compare road writes only the blocks that differ; an unchanged log
//      costs reads and one flush, no write.
//   5. A failure in place is followed by a rebuild. When that fails too the
//      backup may stay partly updated (the log is whole then) and the call
//      throws; the caller's next update passes no changes, so it compares.
//   6. A restore (RestoreFromBackup) replaces the log last, in one rename,
//      and only once the log it replaces is kept whole beside it, under a
//      name no earlier restore's kept log has (FreeKeptLogName): every copy
//      it makes is flushed and read back equal to its source before it is
//      renamed into place. What the caller adds to the backup's copy before
//      that rename (the contacts of the replaced log that the backup lacks)
//      is in the restored log; when adding fails, the restore fails and the
//      log is as it was.
//
// Which road an update takes:
//
//   backup missing, unreadable or not a file, or a read
//   or write in place fails ------------------------------> rebuild
//   changes given, and the backup's stamp is not their
//   StampBefore (edited by hand, older, another file) ----> rebuild
//   changes given and Complete, the backup SizeBefore long,
//   the log's stamp their StampAfter ---------------------> changes
//   size differs from the log, or its leading signature
//   bytes differ (a file of another kind) ----------------> rebuild
//   otherwise (changes not known, or not Complete: the
//   first commit after the log was opened, which may
//   follow a crash or a cut backup update) ---------------> compare
//
// The compare and the rebuild roads can also run without a commit, a slice
// at a time (BackupCatchUp): the program brings the backup up to date so
// after it opens the log, between the operator's keys, and has the log's
// database start its chain of changes first, so that the first commit of
// the open already takes the changes road. There, under the rule of
// BackupFollow (LaterCommit at a start, Always after the open rolled a cut
// commit back, Never while the backup is kept):
//
//   backup missing or no database file of the engine, log
//   no such file, or (LaterCommit) the log's commit count
//   higher than the backup's -----------------------------> as above
//   otherwise, the sizes differ --------------------------> kept
//   otherwise --------------------------------------------> compare without
//                                                           writing: equal
//                                                           bytes end it,
//                                                           the first block
//                                                           that differs
//                                                           keeps the backup
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/File.h"

namespace qv::app {

// The unit of the compare and of the writes in place (a page of the
// operating system's cache).
inline constexpr int64_t kBackupBlockSize = 4096;
// The leading bytes that name a file's kind (a database file's signature).
inline constexpr int64_t kBackupSignatureSize = 16;
// The head of a database file of the engine: its signature at the start,
// and the number of its commits (one higher after each, unsigned 32-bit,
// little endian) at kBackupCommitCountPosition.
inline constexpr std::string_view kBackupDatabaseSignature = "VELM0RANDATABASE";
inline constexpr int64_t kBackupCommitCountPosition = 38;

// The commit count of the database file at path; none when it is no
// database file of the engine (another signature, too short, unreadable).
std::optional<uint32_t> ReadCommitCount(const std::string& path);

// What the log's last commit changed, as its database component reports it.
struct FileChanges {
  struct Range {
    int64_t Position = 0;
    int64_t Length = 0;
  };
  // Every byte of the log that may differ from the backup besides its
  // length, ascending.
  std::vector<Range> Ranges;
  // The log's version stamp before and after the commit, at StampPosition.
  int64_t StampPosition = 0;
  std::string StampBefore;
  std::string StampAfter;
  // The log changed nowhere outside Ranges since it was SizeBefore long
  // and held StampBefore.
  bool Complete = false;
  int64_t SizeBefore = -1;
};

// Kept: a catch-up left the backup as it was (BackupFollow).
enum class BackupRoad : uint8_t { Changes, Compare, Rebuild, Kept };

// Which log a catch-up at the log's open copies over a backup that differs
// from it. A backup that is missing, or is no database file of the engine,
// is always rebuilt (there is nothing in it to keep), and so is any backup
// of a log that is no such file.
enum class BackupFollow : uint8_t {
  // Any log (a catch-up that stands for an update after a commit).
  Always,
  // Only a log whose commit count is higher than the backup's: it committed
  // after the backup was stamped (the program stopped between a commit and
  // the backup's update). A log that differs at the same or a lower count
  // was changed by something other than a commit (see the stamp above): the
  // backup is kept, for the caller to judge.
  LaterCommit,
  // None: the backup is kept unless it holds the log's bytes already.
  Never,
};

struct BackupUpdate {
  BackupRoad Road = BackupRoad::Compare;
  int64_t BlocksWritten = 0;  // compare road: blocks written in place
  int64_t RangesWritten = 0;  // changes road: ranges written in place
};

// Brings backupPath up to date with logPath, with the log's last changes
// when they are known (nullptr: not known). Throws EOSError when the log
// cannot be read or the backup cannot be written.
BackupUpdate UpdateBackupCopy(const std::string& logPath, const std::string& backupPath,
                              const FileChanges* changes = nullptr);

// What follows the log's name in the name of the log a restore replaced,
// kept beside it ("V5LogDB.vlm.before-restore").
inline constexpr std::string_view kRestoreKeptSuffix = ".before-restore";

// The name of the n-th log kept beside log by a restore (n >= 1):
// "V5LogDB.vlm.before-restore", then "V5LogDB.vlm.before-restore-2", ...
std::string KeptLogName(const std::string& log, int32_t n);
// The first of those names that no file has: a restore never writes over a
// log an earlier restore kept.
std::string FreeKeptLogName(const std::string& log);

// The files of a restore: the log and its journal, the backup, and where
// the log it replaces is kept (with that journal, if any).
struct RestorePaths {
  std::string Log;
  std::string LogJournal;
  std::string Backup;
  std::string Kept;
  std::string KeptJournal;
};

// Puts a copy of the backup in place of the log ("Restore Log"). The caller
// has found the backup whole first (every page checked, every index read
// through) and let go of the log. In order: the log is copied to Kept (and its journal, when one
// lies beside it, to KeptJournal; else a KeptJournal of an earlier restore
// goes), then the backup to the log; each copy goes to a temporary file, is
// flushed, read back and compared with its source, and only then renamed
// into place. So the log is replaced last, in one rename, and only once
// what it held is kept whole: a failure or a stop at any point leaves the
// log as it was (a Kept file of this or an earlier restore beside it), or
// restored. beforeReplace (when set) is given the verified copy of the
// backup, under its temporary name, before that copy is renamed into place:
// what it adds to the copy is in the restored log, and an exception from it
// fails the restore as a failed copy does. Throws EOSError, saying why,
// when a copy fails.
void RestoreFromBackup(const RestorePaths& paths,
                       const std::function<void(const std::string& restoredCopy)>& beforeReplace = {});

class AtomicFileWriter;

// The compare or the rebuild road of UpdateBackupCopy without changes, in
// steps, under the rule of follow. The road is chosen when the object is
// made (both files opened, the log's length taken; Kept at once when the
// sizes already tell); the log must not change until the last step (a
// caller that is about to commit to it finishes the steps first). A
// rebuild's temporary file goes when the object is destroyed unfinished.
// After a step that threw, the object is of no further use: the backup may
// be partly updated (a rebuild's target is untouched).
class BackupCatchUp {
public:
  // logCount: the log's commit count as it was before the log was opened,
  // when the open itself may have committed (an open that sets a damaged
  // map of free pages right does); none: the count the log holds. Throws
  // EOSError when the log cannot be opened.
  BackupCatchUp(const std::string& logPath, const std::string& backupPath,
                BackupFollow follow = BackupFollow::LaterCommit, std::optional<uint32_t> logCount = std::nullopt);
  ~BackupCatchUp();
  BackupCatchUp(const BackupCatchUp&) = delete;
  BackupCatchUp& operator=(const BackupCatchUp&) = delete;

  // Goes through the next bytes of the log (at least one chunk); true once
  // the backup has the log's bytes on disk, or once it is kept
  // (Result().Road is Kept). Throws EOSError as UpdateBackupCopy does.
  bool Step(int64_t bytes);
  // The steps left, at once.
  BackupUpdate Run();
  bool Done() const { return Done_; }
  // The road and what it wrote so far.
  const BackupUpdate& Result() const { return Result_; }

private:
  friend BackupUpdate UpdateBackupCopy(const std::string&, const std::string&, const FileChanges*);
  // rebuild: the backup is rebuilt whatever it holds.
  BackupCatchUp(const std::string& logPath, const std::string& backupPath, bool rebuild);
  // The road under follow's rule, the files open.
  void ChooseRoad(BackupFollow follow, std::optional<uint32_t> logCount);
  void StartRebuild();
  void Keep();

  std::string BackupPath_;
  File Log_;
  File Backup_;
  std::unique_ptr<AtomicFileWriter> Rebuild_;
  int64_t Size_ = 0;
  int64_t Offset_ = 0;
  bool Done_ = false;
  // The compare writes nothing: a difference keeps the backup.
  bool Verify_ = false;
  // The compare found the first block different: it is written last.
  bool HeadDiffers_ = false;
  BackupUpdate Result_;
};

}  // namespace qv::app
