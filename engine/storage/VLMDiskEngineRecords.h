// VLMDiskEngine, records part: the rows of a disk table in record pages, and
// the table's record manager.
//
// Record page (page type 10; its header's owning-table field holds the
// table's ID), data area of D bytes (D = page data size):
//
//   offset     size       content
//   0          ceil(N/8)  slot bitmap: bit i set = slot i holds a record;
//                         bit i is bit (i mod 8) of byte (i div 8)
//   ceil(N/8)  N x R      N slots of R bytes; slot i at ceil(N/8) + i x R
//
// R is the table's stored record size (null bitmap, then every field at its
// stored size; a BLOB field takes its 6-byte reference), N the slots per
// page: trunc((D - 1) / (R + 0.125)), fixed per table. Deleting a record
// zeroes its slot. A record's address (TVLMRecordID) is {page, slot}.
//
// The record manager lists the table's record pages in a page index
// (TVLMBTreeRecordPageIndex: page number -> records on the page).
//
// Invariants:
//   1. A page is listed in the page index exactly while it holds at least
//      one record, with the number of set bits of its bitmap; the listed
//      counts add up to RecordCount.
//   2. A page that loses its last record is freed (at the session's commit)
//      and leaves the index in the same operation.
//   3. Natural order is page-index order (page numbers as signed 32-bit),
//      then slot order; record numbers count in that order from 1.
//   4. A page is trusted as a record page of this table only after the
//      validity test (ValidRecordPage), and is never written when it fails
//      it. A read that meets such a page raises 10671 when the page index
//      lists it (the file is damaged: its rows are never skipped in
//      silence); a page the index does not list went away with its records,
//      and reads and walks go on without it. A walk that comes to a listed
//      page, and a read that finds a free slot, raise 10671 too when the
//      page's set bits disagree with its listed count (invariant 1).
//   5. Slot numbers at or beyond N name no record.
//   6. A record read from a page that passed the validity test is checked
//      as cheaply: a text field that is not null and holds no end of text
//      inside its bytes was never written so, and the read raises 10671.
//   7. Page numbers grow strictly along the page index, and each lies in
//      the file. A walk raises 10671 for an entry that breaks this (a
//      damaged leaf: the index could no longer find such an entry, and the
//      walk would skip pages, or return to them, in silence), and for a walk
//      from one end of the table to the other, with the table unchanged on
//      the way, whose pages' listed counts do not add up to RecordCount
//      (entries lost from a leaf). Both are checked on what the walk reads
//      anyway: no page is read for them.
//
// Every page taken from the page manager is released before the operation
// returns, also when it fails. Callers hold the table's lock.
//
// A reader that brings its position cache (TVLMNavigationRequest::Cache)
// keeps, between its calls, a pin on the record page it stands on and the
// listed pages that follow it in its walk (TVLMDiskRecordReadState): the next
// record on the same page then takes no page look-up, and the next page no
// descent of the page index. The list of pages is trusted while the record
// count, the change stamp and the page manager's view version are as they
// were when it was read; the pin clears itself (VLMPage.h).
//
// A walk that goes on past its first pages is a whole-table pass: it takes
// its pages as a scan (TVLMScanReads) and reads the listed pages ahead of it
// in runs of adjacent pages, so that it neither floods the page cache nor
// reads the store page by page. ReadRecords reads the records of a list of
// record IDs (an index-order walk's next entries) page by page in page
// order, each page once, as a scan when its caller has opened one (the walk
// is a pass). PrefetchRecord readies a record's page and slot in the
// processor's caches for a read that comes soon (TVLMPageManager::Prefetch).
//
// Error codes: 20140 slots that do not fit the page, 20141 page full,
// 20143-20148 record not found on a page, 20104/20105 page walks,
// 20113/20114 record numbers, 20174 record too large, 20292 page index and
// record count disagree, 10670 record count beyond 32 bits, 10671 a listed
// page that is not a record page of the table or whose slots disagree with
// its listed count, or a record read whose text does not end in its field,
// an entry out of page order or outside the file, a walk whose listed
// counts miss RecordCount (invariant 7), 10677 counter block beyond its
// buffer.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMTableData.h"
#include "engine/storage/VLMBTree.h"
#include "engine/storage/VLMPage.h"

namespace qv {
class Stream;
}

class TVLMBaseFieldManager;
class TVLMDiskPageManager;
class TVLMDiskRecordManager;

// Bytes of the record manager's counters in the table's counter file:
// u32 ChangeStamp, u32 RecordCount (low 32 bits).
inline constexpr int32_t kVLMRecordCountersSize = 8;

// Slots per page for a stored record size: trunc((dataSize - 1) / (R +
// 0.125)), computed in whole eighths of a byte.
int32_t VLMRecordsPerPage(int32_t pageDataSize, int32_t storedRecordSize);

// A page index's root page number as the table's metadata keeps it: u32.
void VLMLoadPageIndexRoot(qv::Stream& stream, TVLMBTreePageIndex& index);
void VLMSavePageIndexRoot(qv::Stream& stream, const TVLMBTreePageIndex& index);

// Whether pageNo may name a data page of the file: not a free-space map page
// and below the file's page count (read again from the header only when
// pageNo lies beyond the count last seen). Page managers other than the
// disk engine's answer for every page number from 0.
bool VLMPageInFile(TVLMPageManager* pageManager, int32_t pageNo);

// A page a repair could not take rows from: the rows the table's old page
// index listed on it, -1 when the index does not tell. Kept: the rows it
// took from the page all the same (a page whose count disagrees with the
// old index), -1 for a page left out.
struct TVLMLostRecordPage {
  int32_t PageNo = -1;
  int64_t Rows = -1;
  int64_t Kept = -1;
};

// What a reader keeps of the record manager between its calls.
class TVLMDiskRecordReadState : public TVLMEngineReadState {
public:
  explicit TVLMDiskRecordReadState(const TVLMDiskRecordManager* owner) : TVLMEngineReadState(owner) {}

  // The record page the reader stands on.
  TVLMPagePin Page;
  // Listed pages after From in the walk's direction (Forward), as session
  // SessionID saw them; Next is the first not yet visited.
  std::vector<int32_t> Following;
  // The number of records the page index lists for each page of Following.
  std::vector<uint16_t> FollowingCounts;
  size_t Next = 0;
  int32_t From = -1;
  bool Forward = true;
  int32_t SessionID = kVLMInvalidSessionID;
  // What the list was read under (see the file's head).
  int64_t RecordCount = -1;
  uint32_t ChangeStamp = 0;
  uint64_t ViewVersion = 0;
  // The record manager's reader epoch when Page and Following were taken.
  uint64_t Epoch = 0;
  // Pages the next list reads ahead (doubles while one walk goes on).
  size_t Batch = 0;
  // Pages the walk has stood on since it began; from kVLMScanAfterPages on
  // it is a whole-table pass.
  int64_t PagesWalked = 0;
  // Entries of Following up to which the store was asked to read ahead.
  size_t ReadAheadTo = 0;
  // A walk that began at an end of the table: the records the page index
  // listed for the pages it entered, the last of them, its direction, and
  // the counters it began under; WalkListed is -1 once the walk went on
  // from another page or turned.
  int64_t WalkListed = -1;
  int32_t WalkPage = -1;
  bool WalkForward = true;
  int64_t WalkRecordCount = -1;
  uint32_t WalkChangeStamp = 0;
  uint64_t WalkViewVersion = 0;
};

// A walk in record order becomes a whole-table pass after this many pages.
inline constexpr int64_t kVLMScanAfterPages = 8;

// -------------------------------------------------------- TVLMSmallRecordPage

// A view over one record page for the length of one operation.
class TVLMSmallRecordPage {
public:
  // 20140 "Invalid number of records on page" when N x R + the bitmap do not
  // fit the page's data area.
  TVLMSmallRecordPage(TVLMPage* page, int32_t recordsPerPage, int32_t recordSize);

  // The lowest free slot.
  bool FindFreeSlot(int32_t& slot) const;
  int64_t GetRecordCount() const;
  // Into the lowest free slot (none: 20141); recordID names it.
  void AddRecord(const uint8_t* data, TVLMRecordID& recordID);
  // False when the slot holds no record.
  bool UpdateRecord(const uint8_t* data, const TVLMRecordID& recordID);
  bool DeleteRecord(const TVLMRecordID& recordID);
  bool ReadRecord(const TVLMRecordID& recordID, uint8_t* data) const;
  bool IsSet(int32_t slot) const {
    return slot >= 0 && slot < RecordsPerPage && ((Page->Data()[slot >> 3] >> (slot & 7)) & 1) != 0;
  }
  // The lowest / highest used slot (none: 20143 / 20144).
  void GetFirstRecord(TVLMRecordID& recordID) const;
  void GetLastRecord(TVLMRecordID& recordID) const;
  // The next used slot above / below recordID's; false when none.
  bool GetNextRecord(TVLMRecordID& recordID) const;
  bool GetPriorRecord(TVLMRecordID& recordID) const;
  // The index-th used slot (from 0); none: 20146.
  void GetRecordByIndex(int32_t index, TVLMRecordID& recordID) const;
  // Used slots below recordID's slot.
  int32_t CountRecordsBefore(const TVLMRecordID& recordID) const;

  // The stored bytes of a used slot (IsSet).
  const uint8_t* RecordData(int32_t slot) const { return Slot(slot); }

  TVLMPage* Page;
  int32_t RecordSize;
  int32_t RecordsPerPage;
  int32_t BitmapSize;

private:
  // Every caller asked IsSet (or found the slot free) first.
  uint8_t* Slot(int32_t slot) const {
    VLM_INVARIANT("VLMDiskEngineRecords 5", slot >= 0 && slot < RecordsPerPage);
    return Page->Data() + BitmapSize + slot * RecordSize;
  }
  void SetBit(int32_t slot, bool value);
};

// ------------------------------------------------------ TVLMDiskRecordManager

class TVLMDiskRecordManager : public TVLMBaseRecordManager {
public:
  // tableID marks the table's record pages (not owned: pageManager and
  // fieldManager).
  TVLMDiskRecordManager(TVLMPageManager* pageManager, int32_t tableID, TVLMBaseFieldManager* fieldManager);
  ~TVLMDiskRecordManager() override;

  // The layout: N from the page data size (0: 20174 "Cannot create table.
  // Record is too large ..."), the page index's capacity, counters 0.
  void Init(int32_t recordBufferSize, int32_t storedRecordSize, int32_t fieldCount);
  // A new table: the page index's root for the engine's session.
  void CreatePageIndex();
  void DropPageIndex(int32_t sessionID);
  // The table's metadata part: the page index's root page as a u32.
  void LoadFromStream(qv::Stream& stream);
  void SaveToStream(qv::Stream& stream) const;
  // The counters (kVLMRecordCountersSize bytes at offset, which advances);
  // bufferSize bytes in all (10677 when they do not fit). RecordCount is read
  // back sign-extended.
  void LoadCounters(const uint8_t* buffer, int64_t bufferSize, int64_t& offset);
  void SaveCounters(uint8_t* buffer, int64_t bufferSize, int64_t& offset) const;
  // 20292 when the page index's counts do not add up to RecordCount.
  void CheckPageIndex(int32_t sessionID);
  // Repair: a new, empty page index filled from every page of the file that
  // is a record page of this table and marked used in the free-space map.
  // System pages are skipped. A page read past a damaged header field
  // (TVLMDiskPageManager::MendHeaderReads), and a page the old index lists
  // whose type, owner or write counter says otherwise but whose slots hold
  // the listed number of records that pass invariant 6, are kept and become
  // the session's, to be written back whole with the header set right.
  // Answers the pages whose rows are left out: those that cannot be read
  // and that the old index lists or whose plain header names this table,
  // and those the old index lists that hold none of the table's rows now;
  // and the pages kept with another number of rows than the old index
  // listed (Kept); in page order.
  std::vector<TVLMLostRecordPage> RebuildPageIndex(int32_t sessionID);
  // Natural-order record numbers from 1: the record of recNo (beyond the
  // count: 20113), and the number of a record (its page not listed: 20114).
  void SetRecNo(int32_t sessionID, TVLMRecordID& recordID, int64_t recNo);
  int64_t GetRecNo(int32_t sessionID, const TVLMRecordID& recordID);

  // ---- the 7 slots ----
  // Frees every listed page; counters 0; the page index keeps its root.
  void EmptyTable(int32_t sessionID) override;
  // Into a listed page with room, else a new page. Always true.
  bool InsertRecord(int32_t sessionID, const uint8_t* buffer, TVLMRecordID& recordID) override;
  // False when no record is there.
  bool UpdateRecord(int32_t sessionID, const uint8_t* buffer, const TVLMRecordID& recordID) override;
  // False when no record is there; an emptied page is freed.
  bool DeleteRecord(int32_t sessionID, const TVLMRecordID& recordID) override;
  void GetRecord(int32_t sessionID, TVLMNavigationRequest& request) override;
  // Page numbers as signed 32-bit, then slots.
  int32_t CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) override;
  // RecordCount div 2 whatever the record: an estimate is all callers need.
  int64_t GetRecordNo(int32_t sessionID, const TVLMRecordID& recordID) override;
  // In page order, each page taken once; a page that is no record page of
  // the table, or a slot without a record, ends the read at the first record
  // (in the order of ids) that it holds.
  int32_t ReadRecords(int32_t sessionID, const TVLMRecordID* ids, int32_t count, uint8_t* buffers,
                      size_t stride) override;
  bool ReadsByPage() const override { return true; }
  void PrefetchRecord(const TVLMRecordID& recordID, int32_t step) const override;

  // The last listed page number + 1 times N; 1 without record pages. The
  // bound of RecordIDToRecordNo.
  int64_t GetRecordNoLimit(int32_t sessionID);
  // The validity test: with the free-space manager's flag set or a file
  // older than 2.99 every page passes; otherwise the page must be a record
  // page of this table whose write counter is not that of a freed page.
  bool ValidRecordPage(const TVLMPage& page) const;
  // Multi-user readers between two checks of the file: the step of request
  // (mode 1 or 2 in natural order) when the next record lies on the page
  // the reader has pinned; false, with request unchanged, when the step
  // needs any other page.
  bool StepOnPinnedPage(int32_t sessionID, TVLMNavigationRequest& request);
  // From now on no reader trusts what it kept (pins, lists of pages): the
  // file may have changed underneath (a multi-user reader's check found
  // another writer's commit).
  void ForgetReaders() { ++ReaderEpoch_; }

  std::unique_ptr<TVLMBTreeRecordPageIndex> PageIndex;
  // Not owned.
  TVLMPageManager* PageManager;
  TVLMBaseFieldManager* FieldManager;
  int32_t TableID;
  int32_t RecordsPerPage = 0;
  int32_t StoredRecordSize = 0;
  std::vector<int64_t> FieldArray;

private:
  // The page as a record page of this table, or nullptr when it is not one
  // (a system page, beyond the file, or failing the validity test).
  TVLMPage* ReadValidPage(int32_t sessionID, int32_t pageNo);
  // A listed page that an insert, update or delete writes: 10671 when it is
  // not a record page of this table.
  TVLMPage* WritablePage(int32_t sessionID, int32_t pageNo);
  // For a page a read found to be no record page of this table (view
  // nullptr): 10671 when the page index lists it (the file is damaged); else
  // the page went away with its records (freed after its last delete), and
  // the read goes on. For a record page (view): 10671 when the index lists
  // it with another number of records than its slots hold.
  void RaiseIfListed(int32_t sessionID, int32_t pageNo, const TVLMSmallRecordPage* view = nullptr);
  // A page number the page index gave a walk, after before (when given) in
  // the walk's direction: 10671 unless it lies beyond before and in the file
  // (invariant 6).
  void CheckListedPage(int32_t pageNo, const int32_t* before, bool forward);
  // The first listed page above (forward) or below pageNo, or the first /
  // last one when from is false, with the number of records listed for it.
  bool ListedPage(int32_t sessionID, bool from, int32_t pageNo, bool forward, int32_t& found, int32_t& listed);
  // The first record (in request's direction) of the listed pages beyond
  // pageNo (from all listed pages when from is false) that pass the validity
  // test, read into the request; else the request's end is reached.
  bool FirstRecordFrom(int32_t sessionID, bool from, int32_t pageNo, TVLMNavigationRequest& request,
                       TVLMDiskRecordReadState* state);
  void Found(TVLMNavigationRequest& request, const TVLMRecordID& recordID, const TVLMSmallRecordPage& page);
  // The pages are trusted without the validity test (an engine without page
  // heads, a file of an old format, the repair's reads).
  bool PagesTrusted() const;
  // Invariant 6 for the record at recordID, stored as stored.
  void CheckStoredRecord(const uint8_t* stored, const TVLMRecordID& recordID) const;
  void StepRecord(int32_t sessionID, TVLMNavigationRequest& request);
  // The reader's state in request's cache (made there when missing); nullptr
  // without a cache.
  TVLMDiskRecordReadState* ReadState(const TVLMNavigationRequest& request) const;
  // The record page pageNo for a read: the reader's pinned page when it is
  // that page, else the page taken from the page manager into held and
  // pinned for the reader. nullptr when the page is no record page of this
  // table.
  TVLMPage* ReadPage(int32_t sessionID, int32_t pageNo, TVLMDiskRecordReadState* state, TVLMHeldPage& held);
  // The next listed page after pageNo in the walk's direction, from the
  // reader's list when it holds one, else from the page index.
  bool FollowingPage(int32_t sessionID, int32_t pageNo, bool forward, TVLMDiskRecordReadState* state,
                     int32_t& found, int32_t& listed);

  std::vector<uint8_t> StoredBuffer_;
  // The disk page manager behind PageManager, nullptr for another engine's.
  TVLMDiskPageManager* Disk_ = nullptr;
  uint64_t ReaderEpoch_ = 0;
};
