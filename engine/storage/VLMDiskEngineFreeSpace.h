// VLMDiskEngine, free-space part: TVLMDatabaseFreeSpaceManager, the maps of
// used pages and extents, and how the file grows and shrinks (the code is
// in VLMDiskEngineFreeSpace.cpp; the page manager that drives it in
// VLMDiskEngine.h).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/storage/VLMDiskEngine.h"

// Which page a new page gets, which pages are used, how the file grows and
// shrinks. Two kinds of bitmap pages live in the file (d = page data size):
//
//   PFS page k at page k*P, P = d*8: bit (p mod P) mod 8 of data byte
//     (p mod P) div 8 is set when page p is used.
//   EAM page j at page j*Q, Q = E*G, E = d*4 (or at j*Q + 1 when j*Q is a
//     PFS position): two bits per extent of G pages: 0 not yet computed,
//     1 the extent has a free page, 3 every page is used; byte 255 = four
//     full extents.
//
// An operation of a handle that may share the file runs under the database
// lock, rereads the header's LastUsedPage and PageCount, and writes the maps
// and then the counts back at once when they changed (write-through).
// Bitmap pages are read and written straight through the page manager,
// outside the session cache. While this handle is the only writer
// (TVLMDiskPageManager::SoleWriter), and inside every commit, operations
// keep their changes in memory instead, growth and shrinking included, and
// the next commit writes them with its pages (VLMDiskEngineFreeSpace.cpp
// tells why that is safe).
//
// Error codes: 20231/20232 database lock, 30423/30424/30426/30428/30429/
// 30432 map page types, 30425 already used, 30427 already free, 30430/
// 30431 page outside the file, 30434 map page, 30390 file full, 30435
// header counts that cannot be.
class TVLMDatabaseFreeSpaceManager {
public:
  explicit TVLMDatabaseFreeSpaceManager(TVLMDiskPageManager* pageManager);
  ~TVLMDatabaseFreeSpaceManager();

  TVLMDiskPageManager* PageManager;
  int32_t ExtentSize;     // G
  int32_t PagesPerPFS;    // P
  int32_t ExtentsPerEAM;  // E
  int32_t PagesPerEAM;    // Q
  int32_t LastUsedPage;
  int32_t TotalPageCount;
  // Set by the database data while record pages are trusted without a test.
  bool Flag = false;

  int32_t AllocatePage();
  void FreePage(int32_t pageNo);
  bool IsSystemPage(int32_t pageNo) const;
  void CheckNotSystemPage(int32_t pageNo) const;
  int32_t GrowStep() const;
  // The page's bit in its PFS page (false beyond the used part of the file).
  bool IsPageUsed(int32_t pageNo);
  // Marks a page used or free in the maps, now, under the database lock.
  void SetPageState(int32_t pageNo, bool used);
  // The position of EAM page j.
  int64_t EAMPagePosition(int64_t j) const;
  // Map pages or header counts changed in memory and not yet written.
  bool HasDeferred() const;
  // Writes them at once: the map pages in ascending order, then (headerToo)
  // block 1, under the database lock. Only an operation that writes through
  // meets any (they are a commit's otherwise).
  void FlushDeferred(bool headerToo = true);
  // Forgets the map pages and header counts kept from earlier operations
  // (and any deferred change).
  void DropState();

  // ---- the commit's part (the page manager's commit protocol) ----
  //
  // Between BeginCommit and EndCommit every operation keeps its changes in
  // memory, takes no lock (the commit holds it) and neither reads nor
  // writes the header; shrinking lowers the counts only (the commit cuts
  // the file once it is flushed).
  void BeginCommit();
  // The map pages changed in memory, ascending, through the page manager's
  // WritePage (which collects them); their counts are in its Header.
  void WriteDeferredMaps();
  // written: the commit reached the file, the state in memory is what it
  // holds; else every change of the commit is dropped.
  void EndCommit(bool written);
  // The commit was refused before any operation of it: the state stays as
  // BeginCommit found it, changes kept in memory included.
  void CancelCommit() { InCommit_ = false; }
  // Inside a commit: the free pages at the end of the file are given up,
  // never ending the file on a map page.
  void TruncateUnused();
  // Inside a commit, of an open that has the file alone: every page the
  // page map marks used whose head says no commit wrote it since it was
  // free (TVLMDiskPageManager::HoldsWrittenPage) was taken by a session
  // that never committed and is reached by nothing: it is marked free.
  // LastUsedPage becomes the highest used page, and a free tail is given up
  // as a free would. True when anything changed; false also when a map page
  // cannot be read.
  bool ReclaimUnwrittenPages();
  // Inside a commit: every extent state that the page map contradicts (full
  // where a page is free, or not full where every page is used) is set
  // right. True when one changed; false also when a map page cannot be
  // read (the file then needs more than this).
  bool ReconcileExtentMap();

private:
  class Operation;
  friend class Operation;
  TVLMPage* MapPage(int64_t pageNo, uint16_t pageType, int32_t errorCode);
  void WriteMapPage(TVLMPage* page);
  void WriteNewMapPage(int64_t pageNo, uint16_t pageType);
  void LoadHeaderState();
  void SaveHeaderState();
  int32_t FindFreePage();
  int32_t SearchEAM(int64_t j);
  int32_t Grow();
  void TrustMap();
  // The highest page at or below from (and below TotalPageCount) that the
  // PFS bits mark used, map pages aside; -1 when there is none, or while
  // LastUsedPage is -1.
  int32_t FindLastUsedPage(int64_t from = INT64_MAX);
  void Shrink();
  void DoSetPageState(int32_t pageNo, bool used);
  void SetPFSBit(int32_t pageNo, bool used);
  void UpdateEAM(int32_t pageNo);
  bool PageBit(int32_t pageNo);
  int32_t NextNonSystemPage(int64_t pageNo) const;
  // Deferred shrinking: the counts go to newTotal, the map pages beyond it
  // are forgotten.
  void ShrinkInMemory(int64_t newTotal);

  // Map pages read or written so far: those of one operation, or of every
  // operation since the header epoch StateEpoch_ while StateValid_.
  std::unordered_map<int64_t, std::unique_ptr<TVLMPage>> MapPages_;
  // Deferred writes: map pages changed in memory only, and block 1's counts.
  std::unordered_set<int64_t> DirtyMaps_;
  bool HeaderDirty_ = false;
  bool Flushing_ = false;
  bool InCommit_ = false;
  Operation* Current_ = nullptr;  // the outermost operation under way
  bool StateValid_ = false;
  // LastUsedPage is the highest used page the map pages in memory show (a
  // scan found it, and only changes that keep it so were made since): a
  // free below it leaves it as it is, a free of it scans down from there.
  // So freeing k pages of one commit scans each map byte once at the most,
  // not the map's tail once per page. Cleared whenever the maps or
  // LastUsedPage are read again or changed another way.
  bool LastUsedExact_ = false;
  uint64_t StateEpoch_ = 0;
  int32_t OperationDepth_ = 0;
  int32_t LoadedLastUsedPage_ = -1;
  int32_t LoadedTotalPageCount_ = 0;
};
