// VLMDiskEngine, commit part: TVLMDiskPageManager's commit protocol and the
// recovery on open that applies the journal of an interrupted commit. The
// order of writes and flushes, the recovery rule and the invariants they
// keep are described in VLMDiskEngine.h; the journal file's format in
// VLMDiskEngineJournal.h.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <set>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace {

// What a journal beside a database means for it.
enum class JournalVerdict : uint8_t {
  NotWhole,     // no whole journal: its commit never wrote the database
  NotWritten,   // a whole journal whose commit wrote nothing of the database
  Foreign,      // another file's, an older commit's, a copy's: never applied
  Complete,     // its commit reached the file whole
  Interrupted,  // its commit was cut: the pre-images restore the file
};

// Block 1 equals the image, but perhaps for a CommitState 1 and, with
// countsToo, for PageCount and LastUsedPage, which handles that share the
// file write in place between commits (a growth, a page taken at the end).
bool SameBlock1ButState(const uint8_t* block1, const std::vector<uint8_t>& image, bool countsToo = false) {
  if (image.size() != static_cast<size_t>(kVLMBlock1Size)) return false;
  for (int32_t i = 0; i < kVLMBlock1Size; ++i) {
    if (countsToo && i >= kVLMPageCountOffset && i < kVLMLastUsedPageOffset + 4) continue;
    if (block1[i] != image[i] && !(i == kVLMCommitStateOffset && block1[i] == kVLMCommitWriting)) return false;
  }
  return true;
}

// Block 1 says the commit was being written: CommitState 1 over block 1
// before, or over a write of block 1 after that was cut short (after's
// bytes up to some point before CommitState, before's from there on).
bool NamesCommitBeingWritten(const uint8_t* block1, const TVLMJournalCommit& commit) {
  if (block1[kVLMCommitStateOffset] != kVLMCommitWriting || commit.Before.size() != static_cast<size_t>(kVLMBlock1Size) ||
      commit.After.size() != static_cast<size_t>(kVLMBlock1Size))
    return false;
  int32_t i = 0;
  while (i < kVLMCommitStateOffset && block1[i] == commit.After[i]) ++i;
  for (; i < kVLMBlock1Size; ++i)
    if (i != kVLMCommitStateOffset && block1[i] != commit.Before[i]) return false;
  return true;
}

// The recovery rule (VLMDiskEngine.h) for a loaded journal and the block 1
// the database holds now. countsMoved: block 1 is block 1 before with
// CommitState 2 but for the counts other handles wrote in place since.
JournalVerdict Judge(const TVLMCommitJournal& journal, const uint8_t* block1, const TVLMDatabaseReader& read,
                     TVLMCommitJournal::Comparison& comparison, bool* countsMoved = nullptr) {
  if (countsMoved != nullptr) *countsMoved = false;
  const TVLMJournalCommit& commit = journal.Commit();
  // Whatever the pieces hold then, a write torn inside a piece included,
  // the pre-images restore them.
  if (NamesCommitBeingWritten(block1, commit)) {
    comparison = journal.Compare(read);
    return JournalVerdict::Interrupted;
  }
  const bool after = commit.After.size() == static_cast<size_t>(kVLMBlock1Size) &&
                     std::memcmp(block1, commit.After.data(), kVLMBlock1Size) == 0;
  const bool before = SameBlock1ButState(block1, commit.Before, true);
  if (!after && !before) return JournalVerdict::Foreign;
  if (countsMoved != nullptr) *countsMoved = !after && !SameBlock1ButState(block1, commit.Before);
  comparison = journal.Compare(read);
  if (after && comparison.AllNew) return JournalVerdict::Complete;
  // Block 1 as before the commit, CommitState 2 (its first write, CommitState
  // 1, never came), every page as before it and no map page or freed
  // counter with the commit's bytes: nothing of the commit reached the file.
  // Other handles, which took the file for a clean one, may have written the
  // maps in place since: the pre-images of what is written in place would
  // take those writes back (pages in use marked free, handed out twice), so
  // the rollback leaves them out.
  if (!after && block1[kVLMCommitStateOffset] != kVLMCommitWriting && comparison.AllOld && !comparison.UncheckedNew)
    return JournalVerdict::NotWritten;
  return comparison.Consistent ? JournalVerdict::Interrupted : JournalVerdict::Foreign;
}

[[noreturn]] void RefuseOverInterruptedCommit(const std::string& fileName) {
  throw EVLMException(10741,
                      "Cannot use database file '%s': a commit of another connection was interrupted, and this "
                      "connection cannot restore the file from its journal. Close every connection to the file "
                      "and open it again with write access; it is repaired then",
                      {fileName});
}

}  // namespace

// ------------------------------------------------------------------ commit

void TVLMDiskPageManager::Commit(int32_t sessionID) {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckNotFailed();
  if (!HasSessionChanges(sessionID)) return;
  CheckWritable(10760);
  FileScope scope(this);
  // Checked before anything is written, so a refused commit leaves a clean file.
  CheckSessionPagesReleased(sessionID);
  RunCommit(&sessionID, CommitExtra::None, 20213);
}

void TVLMDiskPageManager::RunCommit(const int32_t* sessionID, CommitExtra extra, int32_t lockErrorCode) {
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs, [this] { return LockDatabase(); }))
    throw EVLMException(lockErrorCode, "Database is locked");
  auto unlock = qv::ScopeExit([this] {
    try {
      UnlockDatabase();
    } catch (...) {
      // The lock goes with the handle.
    }
  });
  // Under the database lock a stored CommitState 1 is no commit in
  // progress: another connection's was cut, and is rolled back first.
  CheckNoInterruptedCommit();
  ReadHeader();
  CheckFileHoldsPages();
  const bool soleWriter = SoleWriter();
  CommitAlone_ = soleWriter;
  TVLMJournalCommit commit;
  commit.Before.resize(kVLMBlock1Size);
  DatabaseFile.ReadBufferEx(commit.Before.data(), 10464, DatabaseOffset, kVLMBlock1Size);
  // A session's commit fails here, before anything changed, when the
  // journal cannot be had.
  qv::File journal;
  if (sessionID != nullptr) journal = OpenJournalForCommit(commit.Before);

  std::vector<int32_t> touched;
  CommitAllocated_.clear();
  if (sessionID != nullptr) {
    touched = SessionPageNumbers(*sessionID);
    if (const SessionEntry* session = FindSession(*sessionID))
      CommitAllocated_.assign(session->AllocatedPages.Items(),
                              session->AllocatedPages.Items() + session->AllocatedPages.Count());
    std::sort(CommitAllocated_.begin(), CommitAllocated_.end());
  }
  CommitPageCountBefore_ = VLMGetU32LE(commit.Before.data() + kVLMPageCountOffset);
  // Whether this handle alone has changed the file since its last commit.
  const bool chained = ChainValid_ && soleWriter;
  Writes_.Clear();
  FreeSpace->BeginCommit();
  // Counts that cannot be would make the file unusable for every later
  // commit. Those the commit starts from are refused before anything of it
  // happens: the session keeps its pages for its rollback (none reached the
  // shared cache, where other sessions would read them and a later commit
  // write them), and the free-space state what its allocations marked.
  try {
    CheckHeaderCounts(Header.PageCount, Header.LastUsedPage);
  } catch (const EVLMException&) {
    FreeSpace->CancelCommit();
    Header.Load(commit.Before.data());
    PageCount = static_cast<int32_t>(std::min<uint32_t>(Header.PageCount, INT32_MAX));
    throw;
  }
  try {
    {
      Collecting_ = true;
      auto stop = qv::ScopeExit([this] { Collecting_ = false; });
      if (sessionID != nullptr) TVLMPageManager::Commit(*sessionID);
      if (extra == CommitExtra::TruncateUnused) FreeSpace->TruncateUnused();
      if (extra == CommitExtra::ReconcileMaps) {
        FreeSpace->ReclaimUnwrittenPages();
        FreeSpace->ReconcileExtentMap();
      }
      FreeSpace->WriteDeferredMaps();
    }
    Writes_.Sort();
    TVLMDatabaseHeader after = Header;
    after.ChangeCounter += 1;
    after.CommitState = kVLMCommitClean;
    const bool countsChanged = after.PageCount != VLMGetU32LE(commit.Before.data() + kVLMPageCountOffset) ||
                               after.LastUsedPage != VLMGetI32LE(commit.Before.data() + kVLMLastUsedPageOffset);
    if (sessionID == nullptr && Writes_.Empty() && !countsChanged) {
      FreeSpace->EndCommit(true);
      return;
    }
    // The commit's own frees and truncation keep the counts possible; ones
    // that are not anyway fail it as a failed write does (the file is still
    // as it was, and the session's pages have left it).
    CheckHeaderCounts(after.PageCount, after.LastUsedPage);
    if (!journal.IsOpen()) journal = OpenJournalForCommit(commit.Before);
    commit.After.resize(kVLMBlock1Size);
    after.Store(commit.After.data());
    commit.DatabaseOffset = DatabaseOffset;
    commit.PagesEnd = FirstPagePosition + static_cast<int64_t>(after.PageCount) * PageSize;
    commit.PageSize = PageSize;

    // What may not be on disk yet goes first, so that the journal's block 1
    // before and pre-images are what a cut leaves: a commit made with
    // SyncOnCommit off, and, for a handle that may share the file, what it
    // or another wrote in place since the last flush (block 1, maps).
    if (SyncOnCommit && (CommitUnflushed_ || (!soleWriter && (DatabaseFile.HasUnflushedChanges() || MultiUser ||
                                                                   OpenPerOperation))))
      FlushForCommit();
    // A handle made anew on the way here holds the database lock no more
    // surely: the journal beside the file may be another connection's now.
    CheckNotFailed();
    // 1: the journal, flushed before any byte of the database changes.
    try {
      TVLMCommitJournal::Write(
          journal, commit, Writes_,
          [this](void* buffer, int64_t position, int32_t count) { ReadRawZeroFilled(buffer, position, count); },
          SyncOnCommit, JournalBuffer_);
      journal.Close();
    } catch (const qv::EOSError& e) {
      throw EVLMException(10742, "Cannot write the journal file '%s' of database file '%s'. ErrorCode:%d. "
                                 "ErrorMessage: %s",
                          {JournalFileName(), DatabaseFile.FileName, e.Errno, qv::SysErrorMessage(e.Errno)});
    }
    // 2: CommitState 1 over the stored header (a build that knows no
    // journal asks for repair when the commit is cut), the ranges, and the
    // header after. Alone, they are flushed together. Where other handles
    // may share the file, its writes can reach it in another order, or not
    // at all, while they go on (a client cache of a network file system):
    // each step is on disk before the next is written, so that no range
    // lands without CommitState 1 (which the others meet as a cut commit)
    // and block 1 after, which the others take as the commit landed, not
    // before every range.
    uint8_t writing[kVLMBlock1Size];
    std::memcpy(writing, commit.Before.data(), kVLMBlock1Size);
    writing[kVLMCommitStateOffset] = kVLMCommitWriting;
    const bool ordered = SyncOnCommit && !soleWriter;
    WriteBlock1Bytes(writing);
    if (ordered) FlushForCommit();
    WriteCollectedRanges();
    if (ordered) FlushForCommit();
    WriteBlock1Bytes(commit.After.data());
    if (SyncOnCommit) {
      try {
        FlushForCommit();
      } catch (...) {
        // The disk may hold block 1 after or not: the commit is taken back
        // to a cut one, which the first handle that meets it rolls back.
        TakeBackCommit(writing);
        throw;
      }
    }
    CommitUnflushed_ = !SyncOnCommit;
    Header = after;
    FreeSpace->EndCommit(true);
  } catch (const std::exception& e) {
    FreeSpace->EndCommit(false);
    // A free-space commit that could not begin leaves the file as it was.
    const auto* engineError = dynamic_cast<const EVLMException*>(&e);
    if (sessionID == nullptr && engineError != nullptr && engineError->NativeError == 10740) throw;
    // The header in memory keeps no count that was refused.
    if (engineError != nullptr && engineError->NativeError == 10748) {
      Header.Load(commit.Before.data());
      PageCount = static_cast<int32_t>(std::min<uint32_t>(Header.PageCount, INT32_MAX));
    }
    std::vector<int32_t> pages = Writes_.PageNumbers();
    pages.insert(pages.end(), touched.begin(), touched.end());
    EnterFailedState(e.what(), pages);
    throw;
  }
  CutFileToHeader();
  RecordCommitChanges(commit, chained);
}

void TVLMDiskPageManager::RecordCommitChanges(const TVLMJournalCommit& commit, bool chained) {
  LastChanges_.Block1Before = commit.Before;
  LastChanges_.Block1After = commit.After;
  LastChanges_.Pages = Writes_.PageNumbers();
  LastChanges_.Complete = chained;
  LastChanges_.SizeBefore = chained ? ChainSize_ : -1;
  if (chained && !InPlacePages_.empty()) {
    std::vector<int32_t>& pages = LastChanges_.Pages;
    pages.insert(pages.end(), InPlacePages_.begin(), InPlacePages_.end());
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  }
  InPlacePages_.clear();
  ChainValid_ = false;
  // A length that cannot be had starts no chain: the next commit's caller
  // then compares the whole file.
  try {
    ChainSize_ = DatabaseFile.GetSize();
    ChainValid_ = CommitAlone_ && SoleWriter();
  } catch (...) {
    ChainSize_ = -1;
  }
}

bool TVLMDiskPageManager::StartChangeChain() {
  VLM_REQUIRE_DATABASE_SECTION();
  BreakChangeChain();
  if (!SoleWriter()) return false;
  try {
    ChainSize_ = DatabaseFile.GetSize();
  } catch (...) {
    ChainSize_ = -1;
    return false;
  }
  ChainValid_ = true;
  return true;
}

void TVLMDiskPageManager::NoteWrittenInPlace(int32_t pageNo) {
  if (ChainValid_) InPlacePages_.push_back(pageNo);
}

bool TVLMDiskPageManager::InterruptedCommitStored() {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  uint8_t state = 0;
  return DatabaseFile.ReadBufferUnpatched(&state, DatabaseOffset + kVLMCommitStateOffset, 1) &&
         state == kVLMCommitWriting && qv::FileExists(JournalFileName());
}

void TVLMDiskPageManager::CheckNoInterruptedCommit() {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!SettleInterruptedCommit()) RefuseOverInterruptedCommit(DatabaseFile.FileName);
}

bool TVLMDiskPageManager::MayWriteFile() const {
  VLM_REQUIRE_DATABASE_SECTION();
  return !ReadOnlyHandle() && !Failed_;
}

bool TVLMDiskPageManager::ReadOnlyHandle() const {
  VLM_REQUIRE_DATABASE_SECTION();
  return ReadOnlyFile_ || SharedReader || DatabaseFile.AccessMode != TVLMFileAccessMode::ReadWrite;
}

void TVLMDiskPageManager::CheckWritable(int32_t code) const {
  if (ReadOnlyHandle()) throw EVLMException(code, "Database file '%s' is open read only", {DatabaseFile.FileName});
}

bool TVLMDiskPageManager::SettleInterruptedCommit() {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!InterruptedCommitStored()) return true;
  if (!MayWriteFile()) return false;
  FileScope scope(this);
  TVLMCommitJournal journal;
  JournalUse use = JournalUse::None;
  try {
    use = ExamineJournal(journal);
  } catch (const qv::EOSError& e) {
    throw EVLMException(10743, "Cannot restore database file '%s' from its journal '%s': %s",
                        {DatabaseFile.FileName, JournalFileName(), std::string(e.what())});
  }
  if (use == JournalUse::Damaged)
    throw EVLMException(10743,
                        "Cannot restore database file '%s' from its journal '%s': the journal is damaged. Both "
                        "files are left as they are",
                        {DatabaseFile.FileName, JournalFileName()});
  // Gone meanwhile (another handle's rollback), or the journal of
  // something else beside a cut commit, which only a repair can mend.
  if (use != JournalUse::Interrupted && use != JournalUse::NotWritten) {
    if (InterruptedCommitStored()) RefuseOverInterruptedCommit(DatabaseFile.FileName);
    return true;
  }
  ApplyJournal(journal, true, use == JournalUse::Interrupted);
  RetireJournal(true);
  return true;
}

qv::File TVLMDiskPageManager::OpenJournalForCommit(const std::vector<uint8_t>& storedHeader) {
  const std::string name = JournalFileName();
  int errNo = 0;
  bool created = false;
  qv::File journal = qv::File::TryOpen(name, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting, &errNo);
  if (!journal.IsOpen() && errNo == ENOENT) {
    journal = qv::File::TryOpen(name, qv::FileAccess::ReadWrite, qv::FileDisposition::CreateNew, &errNo);
    created = journal.IsOpen();
    // Made by another connection in between.
    if (!journal.IsOpen() && errNo == EEXIST)
      journal = qv::File::TryOpen(name, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting, &errNo);
  }
  if (!journal.IsOpen())
    throw EVLMException(10740,
                        "Cannot create the journal file '%s' of database file '%s'. Every commit first keeps there "
                        "what it overwrites, so that a commit cut off by a crash or a full disk can be undone: the "
                        "folder of the database file must let this user create and write files. ErrorMessage: %s",
                        {name, DatabaseFile.FileName, qv::SysErrorMessage(errNo)});
  // A new name is on disk only once its folder is: without the flush a power
  // cut could take the journal away from a file that holds half a commit.
  // The journal lives until the file is closed, so this happens once per
  // open, and again only when this open made the file anew.
  if (created || !JournalNameFlushed_) {
    qv::SyncFolder(qv::FolderOf(name));
    JournalNameFlushed_ = true;
  }
  if (SoleWriter()) return journal;
  // A cut that lost the write of CommitState 1 but kept some pages of
  // another connection's commit leaves block 1 before beside its journal (a
  // stored CommitState 1 was settled already): no mark tells a handle
  // that meets it under the database lock, so the next open that may write
  // rolls it back (RecoverFromJournal), and this commit would overwrite it.
  // The counts another handle wrote in place since then (a growth) do not
  // make it another commit's.
  TVLMJournalCommit old;
  if (!TVLMCommitJournal::ReadHeader(journal, DatabaseOffset, PageSize, old) ||
      !SameBlock1ButState(storedHeader.data(), old.Before, true))
    return journal;
  TVLMCommitJournal loaded;
  TVLMCommitJournal::Comparison comparison;
  JournalVerdict verdict = JournalVerdict::NotWhole;
  try {
    if (loaded.Load(name, DatabaseOffset, PageSize))
      verdict = Judge(
          loaded, storedHeader.data(),
          [this](void* buffer, int64_t position, int32_t count) { ReadRawZeroFilled(buffer, position, count); },
          comparison);
  } catch (const qv::EOSError&) {
    // A journal that cannot be read cannot be applied either.
  }
  if (verdict == JournalVerdict::Interrupted && !comparison.AllOld) RefuseOverInterruptedCommit(DatabaseFile.FileName);
  return journal;
}

// ------------------------------------------------------------- write set

bool TVLMDiskPageManager::HeldCommittedData(int32_t pageNo) const {
  return pageNo < CommitPageCountBefore_ &&
         !std::binary_search(CommitAllocated_.begin(), CommitAllocated_.end(), pageNo);
}

void TVLMDiskPageManager::CollectPage(int32_t pageNo, const uint8_t* bytes) {
  const int64_t position = PagePosition(pageNo);
  const bool preImage = HeldCommittedData(pageNo);
  const uint16_t type = VLMGetU16LE(bytes + kVLMPageTypeOffset);
  // A handle that may share the file writes the maps in place between
  // commits as well.
  if (!CommitAlone_ && IsMapPage(pageNo)) {
    Writes_.Add(position, bytes, PageSize, pageNo, preImage, true);
    return;
  }
  if (type == kVLMPageActiveSessionList || type == kVLMPageTableLocks) {
    // The data areas of the lock pages are written in place between
    // commits too (TVLMInternalDBDirectAccessFile); only the page header
    // tells whether this commit reached the page.
    Writes_.Add(position, bytes, kVLMPageHeaderSize, pageNo, preImage, false);
    Writes_.Add(position + kVLMPageHeaderSize, bytes + kVLMPageHeaderSize, PageSize - kVLMPageHeaderSize, pageNo,
                preImage, true);
    return;
  }
  Writes_.Add(position, bytes, PageSize, pageNo, preImage, false);
}

void TVLMDiskPageManager::CollectFreedCounter(int32_t pageNo) {
  uint8_t bytes[4];
  VLMPutU32LE(bytes, kVLMFreedPageCounter);
  // A sharing handle's rollback writes freed counters in place too.
  Writes_.Add(PagePosition(pageNo) + kVLMPageWriteCounterOffset, bytes, 4, pageNo, HeldCommittedData(pageNo),
              !CommitAlone_);
}

void TVLMDiskPageManager::WriteCollectedRanges() {
  VLM_INVARIANT("VLMDiskEngine 7", !Failed_);
  const std::vector<TVLMCommitWriteSet::Range>& ranges = Writes_.Ranges();
  const int64_t maxRun = static_cast<int64_t>(std::max(MaxWriteRun(), 1)) * PageSize;
  for (size_t first = 0; first < ranges.size();) {
    // Ranges that follow each other in the file go out in one write call.
    size_t end = first + 1;
    int64_t length = ranges[first].Length;
    while (end < ranges.size() && ranges[end].Position == ranges[end - 1].Position + ranges[end - 1].Length &&
           length + ranges[end].Length <= maxRun)
      length += ranges[end++].Length;
    const TVLMCommitWriteSet::Range& head = ranges[first];
    if (end == first + 1) {
      DatabaseFile.WriteBuffer(Writes_.Bytes(head), 10469, head.Position, head.Length);
    } else {
      WriteRun_.resize(static_cast<size_t>(length));
      for (size_t i = first; i < end; ++i)
        std::memcpy(WriteRun_.data() + (ranges[i].Position - head.Position), Writes_.Bytes(ranges[i]),
                    static_cast<size_t>(ranges[i].Length));
      DatabaseFile.WriteBuffer(WriteRun_.data(), 10469, head.Position, static_cast<int32_t>(length));
    }
    first = end;
  }
}

void TVLMDiskPageManager::WriteBlock1Bytes(const uint8_t* bytes) {
  ++HeaderEpoch_;
  DatabaseFile.WriteBuffer(bytes, 10462, DatabaseOffset, kVLMBlock1Size);
}

void TVLMDiskPageManager::ReadRawZeroFilled(void* buffer, int64_t position, int32_t count) {
  std::memset(buffer, 0, static_cast<size_t>(count));
  DatabaseFile.Handle().ReadAt(buffer, count, position);
}

void TVLMDiskPageManager::CutFileToHeader() {
  const int64_t end = FirstPagePosition + static_cast<int64_t>(Header.PageCount) * PageSize;
  try {
    // Pages in use past a count that is too small (damage) stay for the repair.
    if (DatabaseFile.GetSize() > end && !HoldsPagesBeyondCount()) DatabaseFile.SetSize(end);
  } catch (...) {
    // A file longer than its header says is harmless; the next commit cuts it.
  }
}

// ---------------------------------------------------------------- recovery

bool TVLMDiskPageManager::CanTakeWholeFile() {
  try {
    return DatabaseFile.IsOpen() && !DatabaseFile.Handle().IsLockedByOther(0, INT64_MAX);
  } catch (...) {
    return false;
  }
}

TVLMDiskPageManager::JournalUse TVLMDiskPageManager::ExamineJournal(TVLMCommitJournal& journal, bool* countsMoved) {
  if (countsMoved != nullptr) *countsMoved = false;
  const std::string name = JournalFileName();
  if (!qv::FileExists(name)) return JournalUse::None;
  uint8_t block1[kVLMBlock1Size];
  if (!DatabaseFile.ReadBufferUnpatched(block1, DatabaseOffset, kVLMBlock1Size))
    throw EVLMException(10464, "Cannot Read from file: '%s' Position = %d, Count = %d",
                        {DatabaseFile.FileName, static_cast<long long>(DatabaseOffset), kVLMBlock1Size});
  // A journal is flushed whole before CommitState 1 is written: one that is
  // not whole beside a file that says so was damaged afterwards, and may
  // still be the only way back.
  if (!journal.Load(name, DatabaseOffset, VLMGetU16LE(block1 + kVLMPageSizeOffset)))
    return block1[kVLMCommitStateOffset] == kVLMCommitWriting ? JournalUse::Damaged : JournalUse::Unneeded;
  TVLMCommitJournal::Comparison comparison;
  switch (Judge(
      journal, block1,
      [this](void* buffer, int64_t position, int32_t count) { ReadRawZeroFilled(buffer, position, count); },
      comparison, countsMoved)) {
    case JournalVerdict::Interrupted: return JournalUse::Interrupted;
    case JournalVerdict::NotWritten: return JournalUse::NotWritten;
    default: return JournalUse::Unneeded;
  }
}

void TVLMDiskPageManager::RetireStaleJournal() {
  try {
    TVLMCommitJournal journal;
    if (ExamineJournal(journal) == JournalUse::Unneeded) RetireJournal(false);
  } catch (...) {
    // Kept: the next open judges it again.
  }
}

bool TVLMDiskPageManager::RecoverFromJournal(bool mayWrite, bool alone) {
  const std::string name = JournalFileName();
  auto journal = std::make_unique<TVLMCommitJournal>();
  JournalUse use = JournalUse::None;
  bool countsMoved = false;
  try {
    use = ExamineJournal(*journal, &countsMoved);
  } catch (const qv::EOSError& e) {
    // Neither applied nor deleted: the next open may read it.
    uint8_t state = 0;
    if (DatabaseFile.ReadBufferUnpatched(&state, DatabaseOffset + kVLMCommitStateOffset, 1) &&
        state == kVLMCommitClean)
      return false;
    throw EVLMException(10743, "Cannot restore database file '%s' from its journal '%s': %s",
                        {DatabaseFile.FileName, name, std::string(e.what())});
  }
  if (use == JournalUse::None) return false;
  if (use == JournalUse::Damaged)
    throw EVLMException(10743,
                        "Cannot restore database file '%s' from its journal '%s': the journal is damaged. Both "
                        "files are left as they are",
                        {DatabaseFile.FileName, name});
  if (use == JournalUse::Interrupted || use == JournalUse::NotWritten) {
    // An open that may not write leaves file and journal as they are and
    // reads the last finished commit.
    if (!mayWrite) {
      ReadThroughPreImages(std::move(journal), use == JournalUse::NotWritten);
      return false;
    }
    // A cut commit whose CommitState 1 never landed, beside counts other
    // handles wrote in place since: they took the file for a clean one and
    // may still hold pages they took there, which its rollback would take
    // back. Only an open that has the file alone rolls it back.
    if (use == JournalUse::Interrupted && countsMoved && !alone) RefuseOverInterruptedCommit(DatabaseFile.FileName);
    ApplyJournal(*journal, !alone, use == JournalUse::Interrupted);
    RetireJournal(true);
    return true;
  }
  if (mayWrite && alone) RetireJournal(false);
  return false;
}

void TVLMDiskPageManager::ApplyJournal(const TVLMCommitJournal& journal, bool shared, bool uncheckedToo) {
  const std::string name = JournalFileName();
  StopReadingThroughPreImages();
  try {
    const TVLMJournalCommit& commit = journal.Commit();
    journal.WritePreImages(
        [this](const void* bytes, int64_t position, int32_t count) {
          DatabaseFile.WriteBuffer(bytes, 10743, position, count);
        },
        uncheckedToo);
    // The pages the commit's session took (ranges without a pre-image
    // below the count before) belong to nothing now: they are marked
    // freed, so that the open gives them back (ReclaimUnwrittenPages)
    // however the maps before the commit counted them.
    const uint32_t countBefore = VLMGetU32LE(commit.Before.data() + kVLMPageCountOffset);
    std::set<int64_t> taken;
    for (int64_t position : journal.PositionsWithoutPreImage())
      if (position >= FirstPagePosition && (position - FirstPagePosition) / PageSize < countBefore)
        taken.insert((position - FirstPagePosition) / PageSize);
    uint8_t freed[4];
    VLMPutU32LE(freed, kVLMFreedPageCounter);
    for (int64_t pageNo : taken)
      DatabaseFile.WriteBuffer(freed, 10743, FirstPagePosition + pageNo * PageSize + kVLMPageWriteCounterOffset, 4);
    // A commit that wrote nothing leaves block 1 as it is, with the counts
    // other handles wrote in place since it began.
    std::vector<uint8_t> block1 = commit.Before;
    if (!uncheckedToo) {
      block1.resize(kVLMBlock1Size);
      DatabaseFile.ReadBufferEx(block1.data(), 10743, DatabaseOffset, kVLMBlock1Size);
    }
    // The file as long as that block 1 says: pages the commit wrote past
    // it belong to nothing. A stored count no journal vouches for only
    // cuts: one past the file's end is damage, which a growth to it would
    // hide. Block 1 goes last, once the rest is on disk: until it is
    // written the journal still applies.
    const int64_t pagesEnd =
        FirstPagePosition + static_cast<int64_t>(VLMGetU32LE(block1.data() + kVLMPageCountOffset)) * PageSize;
    const int64_t size = DatabaseFile.GetSize();
    if (size > pagesEnd || (uncheckedToo && size != pagesEnd)) DatabaseFile.SetSize(pagesEnd);
    DatabaseFile.Flush();
    if (shared) {
      // Other handles see a mark they did not read before, and a rollback.
      VLMPutU32LE(block1.data() + kVLMChangeCounterOffset,
                  VLMGetU32LE(block1.data() + kVLMChangeCounterOffset) + 2);
      const uint32_t rollbacks = VLMGetU32LE(block1.data() + kVLMRollbackCountOffset) + 1;
      VLMPutU32LE(block1.data() + kVLMRollbackCountOffset, rollbacks);
      RollbackSeen_ = rollbacks;
      RollbackSeenSet_ = true;
    }
    block1[kVLMCommitStateOffset] = kVLMCommitClean;
    WriteBlock1Bytes(block1.data());
    DatabaseFile.Flush();
  } catch (const std::exception& e) {
    throw EVLMException(10743, "Cannot restore database file '%s' from its journal '%s': %s",
                        {DatabaseFile.FileName, name, std::string(e.what())});
  }
  // Nothing this handle cached may stand for a page the commit wrote.
  BreakChangeChain();
  RollbackNoticed_ = true;
  DropSharedPages();
}

void TVLMDiskPageManager::ReadThroughPreImages(std::unique_ptr<TVLMCommitJournal> journal, bool checkedOnly) {
  StopReadingThroughPreImages();
  uint8_t mark[kMarkBytes];
  if (!DatabaseFile.ReadBufferUnpatched(mark, DatabaseOffset + kVLMPageCountOffset, kMarkBytes))
    RefuseOverInterruptedCommit(DatabaseFile.FileName);
  std::memcpy(PreImagesMark_, mark, kMarkBytes);
  PreImages_ = std::move(journal);
  const TVLMCommitJournal* preImages = PreImages_.get();
  DatabaseFile.ReadPatch = [preImages, checkedOnly](uint8_t* buffer, int64_t position, int64_t count) {
    preImages->PatchPreImages(buffer, position, count, checkedOnly);
  };
  ++HeaderEpoch_;
  // What was read before may hold the cut commit's bytes.
  RollbackNoticed_ = true;
  DropSharedPages();
}

void TVLMDiskPageManager::StopReadingThroughPreImages() {
  if (!PreImages_) return;
  DatabaseFile.ReadPatch = nullptr;
  PreImages_.reset();
  ++HeaderEpoch_;
}

void TVLMDiskPageManager::TakeBackCommit(const uint8_t* writing) {
  ++HeaderEpoch_;
  // Beside the handle, which may have gone bad: it keeps the database lock
  // meanwhile, so no other handle has taken the commit as landed and
  // written over it.
  DatabaseFile.WriteBeside(writing, DatabaseOffset, kVLMBlock1Size);
}

void TVLMDiskPageManager::RetireJournal(bool applied) {
  const std::string name = JournalFileName();
  try {
    if (applied) {
      qv::File journal = qv::File::Open(name, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
      const std::vector<uint8_t> zeros(kVLMJournalHeaderSize, 0);
      journal.WriteAt(zeros.data(), kVLMJournalHeaderSize, 0);
      journal.Sync();
    }
    if (qv::DeleteFile(name)) qv::SyncFolder(qv::FolderOf(name));
  } catch (...) {
    // A journal that stays is judged again by the next open.
  }
}
