// VLMDiskEngine: the single-file database of the disk engine. This header
// declares the page-manager part: the database file and the disk page
// manager; free-space management and the files kept inside the database
// have headers of their own (below).
//
// Parts and their source files:
//   VLMDiskEngineFile.h/.cpp      TVLMDatabaseFile, retry routine, settings
//   VLMDiskEngine.cpp             TVLMDiskPageManager: header, locks, pages
//   VLMDiskEngineOpen.cpp         its create, open and close
//   VLMDiskEnginePageIO.cpp       its page reads and writes (CRC, cipher)
//   VLMDiskEngineStamps.cpp       TVLMDiskTablePagesCacheManager (page stamps)
//   VLMDiskEngineCommit.cpp       its commit protocol and recovery on open
//   VLMDiskEngineJournal.h/.cpp   the journal file and a commit's writes
//   VLMDiskEngineFreeSpace.h/.cpp TVLMDatabaseFreeSpaceManager
//   VLMDiskEngineFiles.h/.cpp     internal files, system directory, table list
//   VLMDiskEngineLocks.h/.cpp     sessions file, table lock files, lock manager
//   VLMDiskEngineRecords.h/.cpp   record pages, the disk record manager
//   VLMDiskEngineBlobs.h/.cpp     small-BLOB pages, large values, BLOB manager
//   VLMDiskEngineCheck.h/.cpp     the whole-file check of every page
//
// File layout (S = database offset: the file position of the signature; a
// database may sit inside another file; every position is relative to S):
//
//   position               size      content
//   S + 0                  76        block 1, the main header
//   S + 76                 280       block 2, the encryption check block
//   S + 356                20        block 3, lock bytes (S + 358, S + 359,
//                                    S + 360)
//   S + 376                4         NextObjectID (u32), its first byte also
//                                    the lock byte that guards it
//   S + 380 + N*PageSize   PageSize  page N
//
// Block 1:  0 char[16] "VELM0RANDATABASE" | 16 i16 length 76 | 18 double
//           version 6.2 | 26 u16 PageSize | 28 u16 ExtentSize | 30 u32
//           PageCount | 34 i32 LastUsedPage | 38 u32 ChangeCounter | 42 u8
//           CommitState (2 consistent, 1 a commit is being written) | 43 u8
//           Encrypted (255 with a password) | 44 u32 RollbackCount (cut
//           commits rolled back while other handles may have had the file
//           open; 0 in files of earlier builds) | 48 28 bytes reserved
// Block 2:  0 u16 length 280 | 2 u8 cipher id | 3 u8 reserved | 4 256 check
//           bytes, encrypted with the password | 260 u32 CRC of the plain
//           check bytes | 264 16 bytes reserved
// Block 3:  0 u16 length 20 | 2 18 bytes reserved
//
// Pages 0 and 1 are the first PFS and EAM pages (free-space maps), page 2 the
// first page of the system directory. Every CRC is VLMCRC32 started from 0.
//
// Commit protocol (TVLMDiskPageManager::RunCommit, VLMDiskEngineCommit.cpp).
// Under the database lock (a stored CommitState 1 with a journal beside the
// file is then another connection's cut commit: refused with 10741, see
// invariant 9):
//   a. Collect: the session's changed and new pages, the write counter
//      (0x7FFFFFFF) of every page it frees, the map pages and header counts
//      the free-space manager changed (in this commit, and while this handle
//      writes alone, since the last one) become ranges of the file in
//      memory; nothing reaches the database yet.
//   b. Journal: beside the database, the pre-image of every range that held
//      committed data (a page below the stored PageCount that the session
//      did not allocate, a map page), a CRC of every 512-byte piece of every
//      range's new bytes, block 1 before and after; flushed (flush 1). The
//      first commit of an open, and one that makes the journal file anew,
//      flushes the folder as well, so that the new name survives a cut.
//   c. Write: block 1 with CommitState 1 (for builds without the journal),
//      the ranges in ascending order, block 1 after (CommitState 2,
//      ChangeCounter + 1, the new counts); flushed (flush 2). With
//      SyncOnCommit off (bulk loads) nothing is flushed: the journal then
//      covers a stopped process, not a power cut. A flush is never tried
//      again, and one that fails fails the commit; when flush 2 fails,
//      block 1 with CommitState 1 is written back (TakeBackCommit), so the
//      commit is a cut one that the first handle meeting it rolls back.
// A handle that may share the file writes maps and header counts in place
// between commits (write-through): before b it flushes the file when it or
// another handle may have written since (so block 1 before and the
// pre-images are on disk; so does any handle after a commit with
// SyncOnCommit off), and its journal marks the map pages and freed
// counters unchecked (other handles change them in place before the next
// commit; losing such a write of a torn commit only leaves pages marked
// used). Its writes may reach the file in another order, or be lost, while
// the others go on (a network file system's client cache), so in c it
// flushes after CommitState 1 and after the ranges as well: no range lands
// without CommitState 1, and block 1 after, which the others take as the
// commit landed, not before every range (five flushes at most in all).
//   d. A file longer than block 1 after says (a shrink) is cut to it.
//   e. Block 1 before and after and the pages written (with those written
//      in place since this handle's previous commit) become
//      LastCommitChanges, from which a copy of the file can follow it.
// The journal is not invalidated: block 1 after names the next commit, so
// the journal no longer belongs to the file. It is deleted when the file is
// closed, or the single-user lock released, by a handle that has the file
// alone, unless it belongs to an interrupted commit (another connection's,
// which the first handle that meets it under the database lock and may
// write rolls back, then deletes the journal) or is damaged beside one.
//
// Recovery on open (RecoverFromJournal), before anything reads a table: a
// whole journal (VLMDiskEngineJournal.h) is compared with the file.
//   block 1 equals the journal's block 1 after:
//     every checked piece has its new CRC
//       -> the commit is complete: the journal is not applied
//     otherwise (a flush that did not finish; the disk kept block 1 and
//     lost some ranges) -> interrupted
//   block 1 equals block 1 before with CommitState 1, or a write of block
//     1 after cut short before CommitState (CommitState 1 still) ->
//     interrupted, also when a piece holds neither its old nor its new
//     bytes (a write torn inside a piece)
//   block 1 equals block 1 before with CommitState 2, but perhaps for the
//     counts (PageCount, LastUsedPage) other handles wrote in place since ->
//     not written when every checked piece holds its old bytes and no map
//     page or freed counter its new ones (the commit ended before its
//     first write; other handles may have written the maps and counts in
//     place since, which its pre-images would take back): rolled back as
//     below but for the pre-images of what is written in place, block 1
//     keeping the stored counts; else interrupted when every piece holds
//     its old or its new bytes (its CommitState 1 never landed), rolled
//     back only by an open that has the file alone when the counts moved
//     (the handles that moved them may hold pages there: 10741 beside
//     them), else foreign
//   anything else -> foreign (another file's, an older commit's, a copy's,
//     a restored backup's): never applied
// A journal that is not whole beside a file with CommitState 1 was damaged
// after its commit began (it is flushed whole before CommitState 1 is
// written): the open refuses with 10743 and leaves both files as they are.
// An interrupted commit is rolled back: the pre-images and block 1 before
// are written, the pages the commit's session took (ranges without a
// pre-image below the count before) get the freed counter, the file is
// given the length block 1 before counts (pages the commit wrote past it
// belong to nothing), flushed, the journal zeroed, flushed and deleted; the
// open goes on with a clean file and asks nothing. Without a whole journal
// (a file of an earlier build, a lost journal) CommitState 1 asks for
// repair as before. A file longer than its block 1 counts, with no page in
// use past the count (a growth cut before its commit's journal), is cut to
// that count by an open that has the file alone.
//
// A cut commit met while the file is shared (SettleInterruptedCommit).
// Under the database lock a stored CommitState 1 beside its journal is no
// commit in progress: a commit holds that lock from its journal to its
// block 1 after, so the writer is gone (killed) or failed. The first
// handle that meets it under that lock (an open, a read that finds the
// mark unfinished, a commit, a write-through map change) rolls it back
// when it may write, whoever else has the file open; then block 1 is
// block 1 before with ChangeCounter + 2 and RollbackCount + 1, so that
// every other handle sees a new mark (and reads again under its lock) and
// a moved RollbackCount (and drops the pages it cached: one read while
// the cut commit was being written could have cached its bytes under a
// stamp that the rollback brings back). An open that has the file alone
// writes block 1 before as it was. A handle that may not write (opened
// read-only, a read-only file, a connection let in read-only) reads the
// last finished commit instead: its reads of the file are patched with
// block 1 before and the journal's pre-images (ReadThroughPreImages) for
// as long as the stored block 1 is the cut commit's; it writes nothing,
// and asks for no repair. Beside a commit judged not written it patches
// only the checked pieces: block 1, the maps, freed counters and lock data
// are read as other handles wrote them since. A journal whose commit is not the one block 1
// says was cut (another file's, or damaged: 10743) stays, and the file is
// refused (10741) until it is repaired. A journal is deleted only once it
// is applied, or shown to belong to no unfinished commit of the file by a
// handle that has the file alone.
//
// Pages taken and never committed. A handle that may share the file marks
// the pages its session takes used in the maps at once; a process stopped,
// or a statement failed, before the commit leaves them marked. Every open
// that has the file alone gives them back (ReconcileMaps: the free-space
// manager's ReclaimUnwrittenPages): by invariant 10 a page marked used
// whose head lacks the page signature, or holds the freed counter, is
// reached by nothing. LastUsedPage is then set to the highest used page, and a free
// tail is given up as a free would.
//
// Invariants of the page manager:
//   1. No byte of committed data (a page counted by the stored PageCount
//      that the committing session did not allocate, or block 1) is
//      overwritten before the journal holding its old bytes is flushed.
//   2. The stored block 1 is the journal's block 1 after only once every
//      range of the commit is written; it says CommitState 2 over data that
//      no journal can restore only when every page of every commit is on
//      disk. Where other handles may share the file, a range is written
//      only once CommitState 1 is on disk, and block 1 after only once
//      every range is; a commit whose last flush failed is never left
//      saying CommitState 2 when the write that takes it back succeeds.
//   3. Nothing writes a range the last journal checks between that commit
//      and the next commit's journal: session pages change only in
//      commits; the data areas of the lock pages (sessions, table locks),
//      written in place, are unchecked; while this handle writes alone
//      (SoleWriter) the maps and header counts change in memory only (the
//      next commit writes them) and freeing outside a commit writes
//      nothing; a handle that may share the file leaves its map pages and
//      freed counters unchecked. So a journal whose checked pieces do not
//      all match can only come from a torn commit.
//   4. A handle that may share the file writes the maps in place outside
//      commits, maps first and header counts last (a count of new pages
//      only once the new length and map pages are flushed); growth trusts
//      the maps over the header, and the next open that has the file alone
//      sets the extent states right from the page bits (ReconcileExtentMap).
//   5. The file never ends between a PFS page and the EAM page that follows
//      it, so every map position below PageCount holds its map page. The
//      file is never shorter than the stored PageCount says: growth only
//      lengthens it, shrinking cuts it after the smaller count is flushed.
//   6. A page is encrypted on its way to disk only as a copy; the cached page
//      stays plain whatever the write does. The journal holds the stored
//      (encrypted) bytes.
//   7. Once a commit has begun to write, no later commit of that open
//      database writes anything unless every write, truncate and flush of
//      this one succeeded (the failed state below).
//   8. A file shorter than its header's PageCount says takes no allocation,
//      free or commit (10601): growth and shrinking size the file from the
//      header, and a wrong count would extend it without bound. A file
//      longer than the count with pages in use beyond it (a count that is
//      too small) asks for repair at open, takes no growth (10730) and is
//      not shortened: growth would write over those pages.
//   9. While the stored CommitState is 1 and a journal lies beside the
//      file, no handle writes the file (commit, maps, header counts, freed
//      counters) but to roll that commit back, under the database lock
//      (SettleInterruptedCommit); a handle that may not roll it back
//      writes nothing (a write-through allocation raises 10741, a free
//      outside a commit leaves its page marked used).
//  10. A page a structure reaches holds the page signature and a write
//      counter other than the freed one: a commit writes every page its
//      session took, and never the freed counter over a page it keeps. A
//      page taken by a session that never committed it holds the head it
//      had while free: zeros (growth), or the freed counter (a commit's or
//      a sharing handle's free, the rollback on open).
//  11. A handle that may share the file reads table data only as the last
//      finished commit left it: a stored CommitState 1 beside a journal
//      under the database lock (another connection's cut commit, whose
//      pages may be half written) is rolled back first, or read around
//      through the pre-images by a handle that may not write
//      (ReadFinishedCommitMark; the table data checks before it trusts
//      what it reads, and again when a read met a commit mark it did not
//      expect); a RollbackCount that moved since the handle last looked
//      drops its cached pages before its next locked read.
//  12. DatabaseLockCount counts the database lock for the thread that took
//      it (DatabaseLockOwner_), which holds the database critical section
//      as long as the count is above 0: a nested LockDatabase that only
//      counts, and everything done under the lock, runs on that thread.
//  13. CreateDatabase makes its file exclusively and writes it only while
//      it holds the file's making lock (S + 358) and the database lock,
//      both kept (HoldMakingLock, as the database data makes a file) until
//      the file is closed after its first commit; so a
//      file shorter than its head with neither lock held is no file being
//      made (an open waits for one that is), and a second maker is refused
//      before it writes (10970, 10971, 10973). An existing file is replaced
//      (the new one, made beside it and locked, renamed over it) only by a
//      maker that holds its making lock and finds no other lock on it
//      (else 10970, or 10790 in use). An open takes the
//      making lock shared once it has read the head and keeps it until its
//      connection holds a session lock, and checks under it that the name
//      still reaches the file it opened: no connection that may write is
//      ever left on a file replaced by a new one.
//
// States of the page manager (CommitState on disk: 2 at rest, 1 only while a
// commit writes):
//
//   closed --CreateDatabase | OpenDatabase (a cut commit rolled back)--> open
//   open --Commit: journal flushed--> committing
//   committing --ranges and block 1 after written and flushed--> open
//   committing --a write, truncate or flush fails--> failed
//   open | committing --the file's handle made anew while it held locks--> failed
//   open | failed --CloseDatabase--> closed
//
// In the failed state the journal stays beside the file, and the next
// handle that meets the cut commit under the database lock rolls it back.
// A handle made anew (TVLMDatabaseFile's Reopen) lost its locks for a
// while, the database lock among them, and another connection may have
// rolled back the commit it was writing and committed over it: the commit
// writes nothing more, and the connection is failed (10750) until closed.
// A handle whose last flush failed still holds its locks: block 1 with
// CommitState 1 goes back through a descriptor of its own (WriteBeside).
// Commits, page reads and allocations raise 10600 (10750);
// freeing a page does nothing (the page stays marked used), so a rollback
// still succeeds. The shared cache holds no copy of a page the failed
// commit wrote or freed: the disk may hold either version.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/core/VLMSecurity.h"
#include "engine/core/VLMSettings.h"
#include "engine/storage/VLMDiskEngineFile.h"
#include "engine/storage/VLMDiskEngineJournal.h"
#include "engine/storage/VLMPage.h"
#include "platform/os/File.h"

class TVLMTableData;

// ------------------------------------------------------------ layout numbers

inline constexpr char kVLMSignature[] = "VELM0RANDATABASE";
inline constexpr int32_t kVLMSignatureSize = 16;
inline constexpr int32_t kVLMBlock1Size = 76;
inline constexpr int32_t kVLMBlock2Size = 280;
inline constexpr int32_t kVLMBlock3Size = 20;
inline constexpr int32_t kVLMCheckBlockSize = 256;
inline constexpr int32_t kVLMNextObjectIDSize = 4;
inline constexpr int64_t kVLMFirstPagePosition = 380;   // with S = 0
inline constexpr int64_t kVLMDatabaseLockOffset = 360;  // header updates, commits
inline constexpr int64_t kVLMTablesLockOffset = 359;    // table-list changes, table opens
inline constexpr int64_t kVLMMakingLockOffset = 358;    // a file made, replaced or opened
// Fields of block 1 (offsets in the block; sizes in the table above).
inline constexpr int32_t kVLMSignatureOffset = 0;
inline constexpr int32_t kVLMBlock1LengthOffset = 16;
inline constexpr int32_t kVLMVersionOffset = 18;
inline constexpr int32_t kVLMPageSizeOffset = 26;
inline constexpr int32_t kVLMExtentSizeOffset = 28;
inline constexpr int32_t kVLMPageCountOffset = 30;
inline constexpr int32_t kVLMLastUsedPageOffset = 34;
inline constexpr int32_t kVLMChangeCounterOffset = 38;
inline constexpr int32_t kVLMCommitStateOffset = 42;
inline constexpr int32_t kVLMEncryptedOffset = 43;
inline constexpr int32_t kVLMBlock1ReservedOffset = 44;
inline constexpr int32_t kVLMRollbackCountOffset = 44;
// Fields of block 2.
inline constexpr int32_t kVLMBlock2LengthOffset = 0;
inline constexpr int32_t kVLMCipherIdOffset = 2;
inline constexpr int32_t kVLMBlock2Reserved1Offset = 3;
inline constexpr int32_t kVLMCheckBlockOffset = 4;
inline constexpr int32_t kVLMCheckCRCOffset = 260;
inline constexpr int32_t kVLMBlock2Reserved2Offset = 264;
inline constexpr uint8_t kVLMCommitClean = 2;
inline constexpr uint8_t kVLMCommitWriting = 1;
inline constexpr double kVLMFormatVersion = 6.2;
// Databases of this version or older need conversion.
inline constexpr double kVLMOldestCurrentVersion = 2.99;
inline constexpr uint8_t kVLMEncryptedFlag = 255;
// The signature search reads the file in chunks of this size, overlapping by
// the signature's length.
inline constexpr int32_t kVLMSignatureChunk = 10000;
// Page sizes the engine accepts: the data area must hold an internal file
// head and the free-space bits of a useful number of pages.
inline constexpr int32_t kVLMMinPageSize = 128;
// First page of the system directory.
inline constexpr int32_t kVLMSystemDirectoryPage = 2;
// Head at the start of an internal file's first data area: u8 length 10,
// u32 StoredSize, u32 LogicalSize, u8 compression algorithm.
inline constexpr int32_t kVLMInternalFileHeadSize = 10;

// ------------------------------------------------------------ settings, retry
// The retry settings (TVLMRetrySettings) are in engine/core/VLMSettings.h,
// the retry routine (RetryOperation) in VLMDiskEngineFile.h.

// The password record (TVLMPasswordRecord) is in engine/core/VLMSecurity.h.

// The file exists and this process may not write it (no write permission
// bit, or a write open refused): every open of it is read-only.
bool VLMIsReadOnlyFile(const std::string& fileName);

// ------------------------------------------------------------ header blocks

struct TVLMDatabaseHeader {
  char Signature[kVLMSignatureSize] = {};
  int16_t Block1Length = kVLMBlock1Size;
  double Version = kVLMFormatVersion;
  uint16_t PageSize = 0;
  uint16_t ExtentSize = 0;
  uint32_t PageCount = 0;
  int32_t LastUsedPage = -1;
  uint32_t ChangeCounter = 0;
  uint8_t CommitState = kVLMCommitClean;
  uint8_t Encrypted = 0;
  uint8_t Reserved[32] = {};

  TVLMDatabaseHeader();
  void Load(const uint8_t* bytes);   // kVLMBlock1Size bytes
  void Store(uint8_t* bytes) const;
};

struct TVLMDatabaseBlock2 {
  uint16_t Length = kVLMBlock2Size;
  uint8_t CipherId = 0;
  uint8_t Reserved1 = 0;
  uint8_t CheckBlock[kVLMCheckBlockSize] = {};
  uint32_t CRC = 0;
  uint8_t Reserved2[16] = {};

  void Load(const uint8_t* bytes);  // kVLMBlock2Size bytes
  void Store(uint8_t* bytes) const;
};

struct TVLMDatabaseBlock3 {
  uint16_t Length = kVLMBlock3Size;
};

class TVLMDatabaseFreeSpaceManager;

// What a commit changed in the database file, for a caller that keeps a copy
// of the file in step with it (a backup brought up to date after each
// commit). Besides Pages, a commit changes block 1 and perhaps the file's
// length; blocks 2 and 3 and NextObjectID (the head before page 0) change
// in place outside commits.
struct TVLMCommitChanges {
  // Block 1 as the file held it before the commit and after it; both empty
  // while no commit of this open has written the file.
  std::vector<uint8_t> Block1Before;
  std::vector<uint8_t> Block1After;
  // The pages the commit wrote or freed and (when Complete) the pages this
  // handle wrote in place since its previous commit, ascending, each once.
  std::vector<int32_t> Pages;
  // True when the handle wrote the file alone (SoleWriter) from the end of
  // its previous commit of this open to the end of this one: the file then
  // differs from what it was when that commit ended only in Pages, the head
  // and its length. StartChangeChain counts as such a commit's end. False
  // for the first commit of an open without it (a rollback on open, or
  // another handle before it, may have changed any page).
  bool Complete = false;
  // The file's length when that previous commit ended (-1 unless Complete).
  int64_t SizeBefore = -1;
};

// ----------------------------------------------- TVLMDiskTablePagesCacheManager

// Per session and table: while a session holds a table's operation (type 1)
// or commit (type 4) locks, the table's change stamp read at the first lock
// stays valid, and cached pages stamped with it need no revalidation.
//
// A change stamp alone does not tell two states of the file apart: a table
// made anew (dropped and created, rebuilt by ALTER TABLE, emptied) counts
// from 0 again, another table may stand at the same count, and an index
// made or dropped changes pages without counting. So the stamp is paired
// with the epoch of the table's open period (NewEpoch), drawn afresh each
// time this process loads the table's definitions: every such change needs
// the table alone, so none happens while the table stays open here, and a
// page stamped in an earlier open period is checked against the file again.
class TVLMDiskTablePagesCacheManager {
public:
  // A number no earlier open period of any table of this file had.
  uint64_t NewEpoch() { return ++Epochs_; }
  void OperationLockTaken(int32_t sessionID, TVLMTableData* table);
  void OperationLockReleased(int32_t sessionID, TVLMTableData* table);
  void CommitLockTaken(int32_t sessionID, TVLMTableData* table);
  void CommitLockReleased(int32_t sessionID, TVLMTableData* table);
  bool HasStamp(int32_t sessionID, TVLMTableData* table);
  void SetStamp(int32_t sessionID, TVLMTableData* table, TVLMPageStamp value);
  void EnterTable(int32_t sessionID, TVLMTableData* table);
  void LeaveTable(int32_t sessionID, TVLMTableData* table);
  // The stamp of the table the session entered last, when it holds locks
  // there and a stamp was set.
  bool CurrentStamp(int32_t sessionID, TVLMPageStamp& stamp);

private:
  struct TableInfo {
    TVLMTableData* Table = nullptr;
    int32_t OperationLockCount = 0;
    int32_t CommitLockCount = 0;
    bool HasStamp = false;
    TVLMPageStamp Stamp;
  };
  struct SessionInfo {
    std::vector<TableInfo> Tables;
    std::vector<TVLMTableData*> Entered;
  };
  SessionInfo* Session(int32_t sessionID, bool create);
  TableInfo* Table(int32_t sessionID, TVLMTableData* table, bool create);
  static void Reset(TableInfo& info);
  static bool Locked(const TableInfo& info) { return info.OperationLockCount > 0 || info.CommitLockCount > 0; }

  std::vector<std::unique_ptr<SessionInfo>> Sessions_;  // index SessionID + 2
  uint64_t Epochs_ = 0;
};

// ---------------------------------------------------------- TVLMDiskPageManager

// Error codes: 10459-10462/10464 header I/O, 10463 page geometry, 10466
// truncate lock, 10467/10468 closed database, 10469 page write, 10470
// signature, 10471 page number, 10474-10477 raw page bytes, 10600 failed
// state, 10750 failed state after the file's locks were released, 10601
// file shorter than its header says, 10730 growth of a file
// with pages in use beyond its header's count, 10740 journal file that
// cannot be created or opened, 10741 write or table read over another
// connection's interrupted commit, 10746 database lock of a read that met
// a commit being written, 10742 journal that cannot be written, 10743 journal
// that cannot be applied (or is damaged), 10744 overlapping writes of a commit, 10760-10762 a
// commit, allocation or free over a read-only handle, 10790 a new file over
// one in use (VLMIsDatabaseFileInUse), 20195/20196 external change,
// 20197/20198 write counters, 20213 commit lock, 20230/20236 open and
// page-count locks, 20237 format, 30398-30406 object IDs, 30434 map pages,
// 30436-30446 blocks 2 and 3, password and page CRC.
//
// Requires, for every public method and field: the database critical section
// (TVLMPageManager::CriticalSection), checked in debug builds. The lock bytes
// of the file serialise processes; the critical section serialises the
// threads of this one.
class TVLMDiskPageManager : public TVLMPageManager {
public:
  TVLMDiskPageManager();
  ~TVLMDiskPageManager() override;

  std::unique_ptr<TVLMDatabaseFreeSpaceManager> FreeSpace;
  TVLMDatabaseFile DatabaseFile;
  TVLMDatabaseHeader Header;
  TVLMDatabaseBlock2 Block2;
  TVLMPasswordRecord PasswordRecord;
  TVLMDatabaseBlock3 Block3;
  int32_t DatabaseLockCount = 0;
  bool Exclusive = false;
  int64_t DatabaseOffset = 0;
  int64_t Block2Position = kVLMBlock1Size;
  int64_t Block3Position = kVLMBlock1Size + kVLMBlock2Size;
  int64_t NextObjectIDPosition = kVLMBlock1Size + kVLMBlock2Size + kVLMBlock3Size;
  int64_t FirstPagePosition = kVLMFirstPagePosition;
  TVLMDiskTablePagesCacheManager PagesCache;
  // Flush the file around the commit's pages (off only for bulk loads).
  bool SyncOnCommit = true;
  // Open the file per operation (the engine's design-time mode).
  bool OpenPerOperation = false;
  // A single-user handle let in read-only beside another connection: other
  // handles commit while it reads, so its cached pages are checked as a
  // multi-user handle's are.
  bool SharedReader = false;
  // Cached pages are checked against the file (stamps, write counters).
  bool ChecksCachedPages() const { return MultiUser || SharedReader; }

  // Lifecycle and header.
  // Set, the locks CreateDatabase and OpenDatabase take for invariant 13
  // are kept past their end: the making lock until ReleaseMakingLock (or
  // the close), and CreateDatabase's database lock until the close.
  bool HoldMakingLock = false;
  // Makes the file under its making lock and the database lock (invariant
  // 13), given up at the end unless HoldMakingLock.
  void CreateDatabase(const std::string& fileName, const TVLMPasswordRecord& passwordRecord,
                      uint16_t pageSize, uint16_t extentSize);
  // Takes the file's making lock shared (invariant 13) once the head is
  // read, until its end unless HoldMakingLock; 10974 when the file was
  // replaced by a new one before the lock was taken (open it again).
  void OpenDatabase(const std::string& fileName, const TVLMPasswordRecord& passwordRecord,
                    bool& multiUser, bool exclusive, bool& needsRepair, bool& readOnly);
  // Called once the connection holds its session lock.
  void ReleaseMakingLock();
  void CloseDatabase();
  // The last OpenDatabase rolled back a commit cut short (RecoverFromJournal).
  bool RolledBackOnOpen() const { return RolledBackOnOpen_; }
  bool IsOpen() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return DatabaseFile.IsOpen() || (OpenPerOperation && FreeSpace != nullptr);
  }
  void ReadHeader();
  void WriteHeader(bool checkExternal);
  void ReadBlock2();
  void WriteBlock2();
  void ReadBlock3();
  void WriteBlock3();
  const TVLMDatabaseHeader& GetHeader() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return Header;
  }
  bool IsEncrypted() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return Header.Encrypted > 0;
  }
  TVLMPasswordRecord* GetPasswordRecord() {
    VLM_REQUIRE_DATABASE_SECTION();
    return &PasswordRecord;
  }
  // Writes the file's buffers to disk (fdatasync).
  void FlushBuffers();
  // A commit failed after it began to write (see the states above); only
  // closing the database ends this.
  bool IsFailed() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return Failed_;
  }
  // Raises 10601 when the file is shorter than the header's PageCount says.
  void CheckFileHoldsPages();
  // A file shorter than the header's PageCount says (cut short) grown with
  // zeros to that count: the pages lost then read as damaged pages, and
  // the rest can be read and written. For a repair's scratch copy alone;
  // true when it was short.
  bool GrowToPageCount();
  // Raises 10748 before header counts that cannot be are written: a used
  // page at or past the page count, or a count the file is too short for.
  void CheckHeaderCounts(uint32_t pageCount, int32_t lastUsedPage);
  // The stored block 1 says a commit is being written (CommitState 1) and a
  // journal lies beside the file. Under the database lock that is no commit
  // in progress but another connection's that was cut, which the first
  // handle that meets it there and may write rolls back
  // (SettleInterruptedCommit): nothing else may be written over it (its
  // rollback would undo the writes, or its journal no longer match).
  bool InterruptedCommitStored();
  // Requires the database lock. A cut commit stored beside its journal
  // (InterruptedCommitStored) is rolled back when this handle may write
  // (MayWriteFile): true, also when there is none. False when this handle
  // may not write: the caller reads through the pre-images
  // (ReadThroughPreImages) or writes nothing. A journal that cannot be
  // read or is damaged raises 10743; one that is not the cut commit's
  // raises 10741 (the file needs repair).
  bool SettleInterruptedCommit();
  // Raises 10741 when a cut commit stands that this handle may not roll
  // back (SettleInterruptedCommit false).
  void CheckNoInterruptedCommit();
  // The handle may write the file: opened for writing, not read-only, not
  // let in read-only, not failed.
  bool MayWriteFile() const;
  // Opened read-only, on a file this process may not write, or let in
  // read-only beside another connection that holds the file: nothing of
  // the file's own may be written through the handle (the commit, an
  // allocation or free, the next object ID). The components refuse every
  // change on such a connection first; code is raised here, before a byte
  // is written, for a change that got past them ("Database file '%s' is
  // open read only").
  bool ReadOnlyHandle() const;
  void CheckWritable(int32_t code) const;
  // Reads go through the pre-images of a cut commit (see above).
  bool ReadsThroughPreImages() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return PreImages_ != nullptr;
  }
  // Another handle rolled a cut commit back since this one last read the
  // mark (RollbackCount moved): what the handle cached before may hold that
  // commit's bytes. Cleared by the call.
  bool TakeRollbackNotice() {
    VLM_REQUIRE_DATABASE_SECTION();
    const bool noticed = RollbackNoticed_;
    RollbackNoticed_ = false;
    return noticed;
  }
  bool RollbackNoticed() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return RollbackNoticed_;
  }
  // The page's head on disk says it holds a page some commit wrote: the
  // page signature and a write counter other than the freed one. A page
  // that was never written, or was freed since, holds nothing a structure
  // of the file can reach.
  bool HoldsWrittenPage(int32_t pageNo);
  // A page past the header's PageCount was committed: the count is too
  // small. Reads the head of every whole page past it.
  bool HoldsPagesBeyondCount();
  // Changes whenever block 1 is read or written or the file grows or shrinks:
  // state derived from the header (the free-space manager's) is current only
  // while the epoch it saw stays.
  uint64_t HeaderEpoch() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return HeaderEpoch_;
  }
  // No other handle can change the file: the owner holds the file's
  // single-user lock (SetSoleWriterLock) on a writable, single-user database
  // opened for the whole session.
  bool SoleWriter() const;
  // The owner took (true) or is about to release (false) the single-user
  // lock that keeps every other handle from writing. Before the release the
  // free-space changes kept in memory are written and forgotten, since
  // another writer may follow at once.
  void SetSoleWriterLock(bool held);

  // Object IDs: the counter at S + 376, under its lock byte.
  uint32_t GetNextObjectID();
  void InitNextObjectID();

  void AddPages(int32_t count);
  void RemovePages(int32_t count);
  void TruncateUnusedPages();

  // Page access.
  int64_t PagePosition(int32_t pageNo) const;
  void ReadPageBytes(void* buffer, int32_t pageNo, int32_t count, int32_t offset);
  void WritePageBytes(const void* buffer, int32_t pageNo, int32_t count, int32_t offset);
  uint32_t ReadPageWriteCounter(int32_t pageNo);
  void WritePageWriteCounter(int32_t pageNo, uint32_t value);
  // The commit mark of the file as it is stored now: block 1's
  // ChangeCounter; false while a commit is being written (CommitState 1) or
  // when the bytes cannot be read. Read without the database lock: a commit
  // writes CommitState 1 before its first page and the next ChangeCounter
  // with CommitState 2 after its last (invariant 1), so a reader that finds
  // the same mark before and after it read pages from the file read no page
  // of a commit in progress, and one that finds the mark it saw last knows
  // that no commit was written since.
  // The header's PageCount read with a clean mark is kept (KnownPageCount).
  bool ReadCommitMark(uint32_t& changeCounter);
  // The highest page count this handle learnt without a lock: from the
  // header it read last, from the last clean commit mark, from its own
  // free-space state. Every page a commit that the handle noticed reaches
  // lies below it; a page at or past it is checked with GetPageCount (which
  // takes the database lock). A count learnt before another handle cut the
  // file may be too high: a read of a page past the file's end then fails,
  // and the caller asks GetPageCount.
  int32_t KnownPageCount() const;
  // The commit mark for a read of table data (invariant 11): while the
  // stored block 1 says a commit is being written, the database lock is
  // waited for (a commit in progress holds it until its block 1 after is
  // written) and the mark read again under it; another connection's cut
  // commit then raises 10741. False, as ReadCommitMark, when no mark can be
  // had (the bytes cannot be read; CommitState 1 without a journal).
  bool ReadFinishedCommitMark(uint32_t& changeCounter);
  // Pages and page write counters read from the file so far, and commit
  // marks.
  uint64_t FileReads() const { return FileReads_; }
  uint64_t CommitMarkReads() const { return CommitMarkReads_; }

  // Locks (one-byte locks of the database file).
  bool LockDatabase();
  bool UnlockDatabase();
  // The tables lock byte S + 359 (the disk database data's, around changes
  // of the table list and table opens).
  bool LockDatabaseTablesByte();
  bool UnlockDatabaseTablesByte();
  bool LockNextObjectID();
  bool UnlockNextObjectID();
  bool LockPageByte(int32_t pageNo, int32_t offset);
  bool UnlockPageByte(int32_t pageNo, int32_t offset);
  bool IsPageByteLocked(int32_t pageNo, int32_t offset);
  bool IsPageRegionLocked(int32_t pageNo, int32_t offset, int32_t count);

  // Overridden slots of TVLMPageManager.
  int32_t GetPageCount() override;
  bool IsPageValid(int32_t sessionID, TVLMPage* page) override;
  void PageLoaded(int32_t sessionID, TVLMPage* page) override;
  void AllocatePage(TVLMPage* page) override;
  void FreePage(int32_t pageNo) override;
  bool ReadPage(TVLMPage* page) override;
  void WritePage(TVLMPage* page) override;
  // A commit writes runs of adjacent pages with one write call each.
  int32_t MaxWriteRun() const override;
  void WritePages(TVLMPage* const* pages, int32_t count) override;
  // Reads a run of adjacent pages with one read call.
  int32_t MaxReadRun() const override;
  void ReadPages(TVLMPage* const* pages, int32_t count, bool* ok) override;
  void RemovePage(int32_t sessionID, int32_t pageNo) override;
  TVLMPage* GetPage(int32_t sessionID, int32_t pageNo, bool sync, uint16_t pageType) override;
  void Commit(int32_t sessionID) override;
  bool GetStoredWriteCounter(int32_t pageNo, uint32_t& counter) override;

  // A PFS or EAM page (pages 0 and 1 before the file is open).
  bool IsMapPage(int32_t pageNo) const;

  // The repair's reads (TVLMDiskRecordManager::RebuildPageIndex). While set,
  // a page of an encrypted file whose data area fails its CRC is taken as a
  // page whose plain header alone is damaged when the file's own cipher
  // decrypts it to its stored CRC (a damaged cipher byte), or either cipher
  // to a CRC that differs from the stored one in a single byte (a damaged
  // CRC: damaged data changes it at random, which lands so close about once
  // in four million). Such a page gets its header set right and
  // HeaderMended; every other page that fails raises 30446 as before.
  bool MendHeaderReads = false;
  // The plain header (kVLMPageHeaderSize bytes) of pageNo as the file holds
  // it, past the cache; false when it cannot be read.
  bool ReadStoredHeader(int32_t pageNo, uint8_t* header);

  // Opens the file for the length of one operation in open-per-operation
  // mode; nothing otherwise.
  class FileScope {
  public:
    explicit FileScope(TVLMDiskPageManager* manager);
    ~FileScope();
    FileScope(const FileScope&) = delete;
    FileScope& operator=(const FileScope&) = delete;

  private:
    TVLMDiskPageManager* Manager_;
    bool Opened_ = false;
  };
  // Releases the database lock byte when the scope ends.
  class DatabaseLockGuard {
  public:
    explicit DatabaseLockGuard(TVLMDiskPageManager* manager) : Manager_(manager) {}
    ~DatabaseLockGuard();
    DatabaseLockGuard(const DatabaseLockGuard&) = delete;
    DatabaseLockGuard& operator=(const DatabaseLockGuard&) = delete;

  private:
    TVLMDiskPageManager* Manager_;
  };
  // LockDatabase, tried as the retry settings say.
  bool LockDatabaseWithRetry();
  // A value below limit from a generator of this thread.
  static uint32_t RandomBelow(uint32_t limit);

  // The writes of the last commit (every page it wrote or freed:
  // PageNumbers); cleared when the next commit begins.
  const TVLMCommitWriteSet& LastCommitWrites() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return Writes_;
  }
  // What the last commit of this open that wrote the file changed; a commit
  // with nothing to write leaves it as it is.
  const TVLMCommitChanges& LastCommitChanges() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return LastChanges_;
  }
  // Starts the chain of changes at the file as it stands now, for a caller
  // that is about to bring its copy of the file up to date by other means
  // (a whole comparison) before the next commit: that commit then reports
  // Complete, with SizeBefore this length, as if a commit had just ended.
  // False, with no chain kept, when this handle does not write the file
  // alone (SoleWriter) or its length cannot be had.
  bool StartChangeChain();
  // The journal file beside the database file.
  std::string JournalFileName() const { return VLMJournalFileName(DatabaseFile.FileName); }

protected:
  // The flushes of the database file in the commit protocol; tests observe
  // them (the journal's flush goes through the file layer alone).
  virtual void FlushForCommit();

private:
  // The data area of page, just read, decrypted in place: false when it
  // fails its CRC (see MendHeaderReads).
  bool DecryptRead(TVLMPage* page);
  // What a commit does besides writing a session's pages.
  enum class CommitExtra : uint8_t { None, TruncateUnused, ReconcileMaps };
  // The commit protocol (VLMDiskEngineCommit.cpp): the pages of session
  // (none: nullptr) and the free-space changes kept in memory, journalled,
  // written and flushed; nothing happens when there is nothing to write.
  void RunCommit(const int32_t* sessionID, CommitExtra extra, int32_t lockErrorCode);
  // The journal file of a commit, made when it is missing; the folder is
  // flushed when it was made and on the first commit of an open. Raises
  // 10740 when it cannot be had, 10741 when it belongs to another
  // connection's cut commit.
  qv::File OpenJournalForCommit(const std::vector<uint8_t>& storedHeader);
  // Inside a commit: the page's new bytes, or the freed page's counter.
  void CollectPage(int32_t pageNo, const uint8_t* bytes);
  void CollectFreedCounter(int32_t pageNo);
  // The page held committed data before the commit: its old bytes go into
  // the journal.
  bool HeldCommittedData(int32_t pageNo) const;
  void WriteCollectedRanges();
  void WriteBlock1Bytes(const uint8_t* bytes);
  // Bytes of the file; what lies beyond its end reads as zero.
  void ReadRawZeroFilled(void* buffer, int64_t position, int32_t count);
  // The open's part: a journal left by an interrupted commit is rolled back
  // (mayWrite; block 1 before as it was when alone, else with the marks
  // moved), or read through (ReadThroughPreImages); a damaged one raises
  // 10743 and stays; any other goes (mayWrite and alone). Requires the
  // database lock. True when it rolled a cut commit back.
  bool RecoverFromJournal(bool mayWrite, bool alone);
  // Writes the pre-images of a loaded interrupted journal back (see
  // above); shared: other handles may have the file open, so block 1 gets
  // ChangeCounter + 2 and RollbackCount + 1. uncheckedToo false: the
  // pre-images of the pieces written in place between commits (maps, freed
  // counters, lock data) are left out, for a commit that wrote nothing of
  // them while other handles may have. The journal stays.
  void ApplyJournal(const TVLMCommitJournal& journal, bool shared, bool uncheckedToo = true);
  // Reads from now on see the last finished commit before the loaded
  // interrupted journal's: block 1 before and its pre-images over what the
  // file holds, while the stored block 1 stays the cut commit's. checkedOnly
  // (a commit judged not written): only the pre-images of the pieces the
  // verdict checked; block 1, the maps, freed counters and lock data are
  // read as they stand (other handles write them in place).
  void ReadThroughPreImages(std::unique_ptr<TVLMCommitJournal> journal, bool checkedOnly = false);
  void StopReadingThroughPreImages();
  // The bytes of block 1 from PageCount to RollbackCount (the commit mark
  // and what travels with it), read in one call.
  static constexpr int32_t kMarkBytes = kVLMRollbackCountOffset + 4 - kVLMPageCountOffset;
  // What the journal beside the file means for it.
  enum class JournalUse : uint8_t {
    None,         // there is none
    Unneeded,     // it belongs to no unfinished commit of the file
    Interrupted,  // whole, of the file's interrupted commit (loaded)
    NotWritten,   // whole, of a commit cut before its first write (loaded):
                  // applied but for the pieces written in place
                  // (ApplyJournal's uncheckedToo)
    Damaged,      // it fails its own checks beside a file whose stored
                  // commit is unfinished (CommitState 1)
  };
  // Requires the database lock. Throws what reading throws. countsMoved:
  // block 1 is the journal's block 1 before but for the counts other
  // handles wrote in place since (its CommitState 1 never landed).
  JournalUse ExamineJournal(TVLMCommitJournal& journal, bool* countsMoved = nullptr);
  // Deletes the journal when it is Unneeded: an interrupted commit's
  // (another connection's, which the first handle that meets it under the
  // database lock and may write rolls back) and a damaged one stay. Errors
  // are ignored.
  void RetireStaleJournal();
  // No other handle, of this process or another, holds a lock of the file.
  bool CanTakeWholeFile();
  // After the last flush of a commit failed (block 1 after written, perhaps
  // not on disk): writes block 1 with CommitState 1 (writing) back, so that
  // the commit is a cut one, which the first handle that meets it rolls
  // back, never a landed one. Best effort: nothing when the handle's locks
  // were released (another connection may have written since) or the write
  // fails.
  void TakeBackCommit(const uint8_t* writing);
  // Deletes the journal file; zeroed and flushed first when it was applied,
  // so that a lost deletion never applies it twice. Errors are ignored.
  void RetireJournal(bool applied);
  // The file is at least as long as before the commit (the checks above
  // guarantee it) and longer than the header says only until this cuts it.
  void CutFileToHeader();
  // After a commit that wrote the file: LastChanges_ describes it, and the
  // chain of changes starts again from its end.
  void RecordCommitChanges(const TVLMJournalCommit& commit, bool chained);
  // A page written in place, outside a commit (kept while the chain holds).
  void NoteWrittenInPlace(int32_t pageNo);
  void BreakChangeChain() {
    ChainValid_ = false;
    InPlacePages_.clear();
  }

  void SetGeometry(uint16_t pageSize);
  void CheckGeometry() const;
  void CheckHeaderOpen(int32_t errorCode) const;
  // Raises 10600 in the failed state.
  void CheckNotFailed() const;
  // Enters the failed state: the commit that touched pageNos failed.
  void EnterFailedState(const std::string& cause, const std::vector<int32_t>& pageNos);

  // Moves the page's write counter on and returns the bytes that go to disk:
  // its buffer, or an encrypted copy of it in encrypted.
  const uint8_t* PageBytesForWrite(TVLMPage* page, std::vector<uint8_t>& encrypted);

  uint32_t ReadOnlyObjectIDMark_ = 0;  // highest ID handed out read-only
  // The bytes of a run of pages on their way to disk (WritePages), and
  // from it (ReadPages).
  std::vector<uint8_t> WriteRun_;
  std::vector<void*> ReadRun_;
  std::unique_ptr<uint8_t[]> GapPage_;
  // A commit collects its writes instead of writing (WritePage, WritePages,
  // FreePage).
  bool Collecting_ = false;
  TVLMCommitWriteSet Writes_;
  std::vector<uint8_t> JournalBuffer_;
  // This open flushed the folder since it made or first used the journal.
  bool JournalNameFlushed_ = false;
  bool RolledBackOnOpen_ = false;
  // Of the commit being collected: the pages its session allocated
  // (ascending), the page count the file held before it, and whether its
  // handle writes the file alone.
  std::vector<int32_t> CommitAllocated_;
  int64_t CommitPageCountBefore_ = 0;
  bool CommitAlone_ = true;
  // A commit with SyncOnCommit off left its writes unflushed.
  bool CommitUnflushed_ = false;
  // The chain of changes since the last commit that wrote the file (or
  // StartChangeChain): it holds (ChainValid_) while this handle has written
  // the file alone since that commit ended; InPlacePages_ are the pages written outside commits
  // since then, ChainSize_ the file's length when it ended. Broken by the
  // open, the single-user lock changing hands and a failed commit.
  bool ChainValid_ = false;
  std::vector<int32_t> InPlacePages_;
  int64_t ChainSize_ = -1;
  TVLMCommitChanges LastChanges_;
  uint64_t HeaderEpoch_ = 0;
  uint64_t FileReads_ = 0;
  uint64_t CommitMarkReads_ = 0;
  int32_t MarkPageCount_ = 0;
  // The journal of a cut commit this handle reads around, and the mark
  // bytes of the cut commit's stored block 1 (kMarkBytes from PageCount).
  std::unique_ptr<TVLMCommitJournal> PreImages_;
  uint8_t PreImagesMark_[kMarkBytes] = {};
  // The RollbackCount seen last, and whether it moved since it was taken.
  uint32_t RollbackSeen_ = 0;
  bool RollbackSeenSet_ = false;
  bool RollbackNoticed_ = false;
  bool SoleWriterLock_ = false;
  // The thread that took the database lock (invariant 12).
  std::thread::id DatabaseLockOwner_;
  bool ReadOnlyFile_ = false;
  bool Failed_ = false;
  // 10600 after a failed write, 10750 after the file's locks were released.
  int32_t FailureCode_ = 10600;
  std::string FailureCause_;
};
