// VLMPage: page objects and the storage-independent half of page management.
//
// Every structure above the page layer (record pages, BLOB pages, B-tree
// pages, internal files) takes pages through GetPage/NewPage and hands them
// back through ReleasePage. The page manager keeps:
//
//   SharedPages   committed pages that no session has changed, shared by all
//                 sessions, bounded by CacheLimit, least recently used first
//   per session   PrivatePages (the session's new or changed copies),
//                 AllocatedPages and RemovedPages of the current transaction
//
// The physical operations (allocate, free, read, write) are supplied by the
// disk, temporary and memory engines.
//
// Page header (the first 40 bytes of every disk page; engines whose header
// size is 0 have none):
//
//   offset  size  field
//   0       4     magic "VLMP"
//   4       4     write counter (0x7FFFFFFF marks a freed or unreadable page)
//   8       2     page type (names in VLMPageTypeNames)
//   10      4     next page of a chain, -1 on the last page
//   14      4     CRC of the plain data area (encrypted databases)
//   18      2     reserved
//   20      1     cipher id used for the data area
//   21      1     reserved
//   22      4     owning table's ID, -1
//   26      4     owner field, -1
//   30      2     owner field, 0
//   32      8     reserved
//
// Invariants:
//   1. A page object is in exactly one place: the shared cache, one session's
//      private list, or (while a session still uses a copy that was replaced
//      underneath it) the manager's orphan set.
//   2. The shared cache never holds a modified page, and never two entries of
//      one page number: a committed copy replaces the cached one.
//   3. A page whose physical read failed (I/O, CRC, decryption, wrong type) is
//      never left in a cache.
//   4. A page is destroyed only when no session uses it (UseCount 0).
//   5. Commit writes a session's pages in ascending page order; it checks that
//      every page was released before it writes anything.
//   6. A pin (TVLMPagePin) names a page only while the page stays in the list
//      that held it when it was pinned: leaving that list (commit, rollback,
//      eviction, a change by a session, destruction) clears every pin on it.
//      Eviction passes over pinned pages.
//   7. A shared page is kept (taken by a look-up: any GetPage outside a scan)
//      or scanned (read into the cache by a whole-table pass, TVLMScanReads,
//      and taken by nothing else since). Scanned pages are evicted first and
//      never more than ScanLimit of them stay; a look-up's take makes a
//      scanned page kept; a scan's take of a kept page leaves its place in
//      the recency order alone. So a pass over a table larger than the cache
//      neither pushes out the pages look-ups reuse nor stays resident.
//   8. A page read ahead (ReadAhead) enters the cache as scanned and unused;
//      its type is checked when it is first taken, and a wrong type drops it
//      (invariant 3 holds for it as for any read).
//   9. A session's marked write (BeginWriteMark .. EndWriteMark) that is
//      undone (UndoWriteMark) leaves the session's private pages with the
//      bytes they had when the mark began, none of the pages that became
//      private since, its allocated and removed pages as they were (the
//      pages it allocated freed), and no shared page the write took in the
//      cache (a copy changed without being marked modified would outlive
//      the write otherwise). A commit or rollback of the session ends the
//      mark: after it nothing is left to undo.
//  10. A session lists a page it removes once (a page freed twice would
//      fail half way through the commit), and RemovedPages and the set
//      beside it (RemovedSet) hold the same numbers, so that a removal
//      costs one look-up: freeing k pages takes O(k) work, not a search
//      of every page freed before in the transaction.
//
// States of one page object:
//
//   GetPage (not cached) --read ok--> shared --ReleasePage(modified)--> private
//   NewPage -----------------------------------------------------------> private
//   private --Commit--> shared (or destroyed when the cache is full)
//   private --RollbackSession--> destroyed
//   private (since the write mark) --UndoWriteMark--> destroyed
//   private (before it) --UndoWriteMark--> private, its bytes set back
//   shared (UseCount 0) --eviction--> destroyed
//   ReadAhead (not cached) --read ok--> shared, scanned, unused
//   shared, scanned --taken outside a scan, then released--> shared, kept
//
// Error codes: 20038/20039 resize, 20064 invalid page number, 20085-20088
// commit and rollback checks, 20090 page used by another session, 20097
// uncommitted pages at destruction, 20152 unreleased pages at commit, 20153
// page type, 20165-20167 page lists, 20186 invalid session, 20299 read error,
// 30378 duplicate page in a list, 30380 page released too often, 30382
// unknown page type.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMTypes.h"
#include "platform/host/LockContract.h"

namespace qv {
class Stream;
}

class TVLMPageManager;
class TVLMPagePin;
class TVLMSortedPageList;

// A session's mark on a cached page: the page was read or checked against
// the file while the table it was read for stood at this stamp. Epoch names
// the table's open period in this process (a table dropped and made again,
// rebuilt, or given other indexes by another connection is opened anew),
// Stamp its change stamp then; see TVLMDiskTablePagesCacheManager.
struct TVLMPageStamp {
  uint64_t Epoch = 0;
  uint32_t Stamp = 0;
  bool operator==(const TVLMPageStamp&) const = default;
};

// --------------------------------------------------------------- constants

// The engine's own pseudo-session for system structures; -1 is invalid.
inline constexpr int32_t kVLMSystemSessionID = -2;
inline constexpr int32_t kVLMInvalidSessionID = -1;

inline constexpr int32_t kVLMPageHeaderSize = 40;
inline constexpr int32_t kVLMPageMagicOffset = 0;         // char[4] "VLMP"
inline constexpr int32_t kVLMPageWriteCounterOffset = 4;  // u32
inline constexpr int32_t kVLMPageTypeOffset = 8;          // u16
inline constexpr int32_t kVLMPageNextOffset = 10;         // i32
inline constexpr int32_t kVLMPageCRCOffset = 14;          // u32
inline constexpr int32_t kVLMPageCipherIdOffset = 20;     // u8
inline constexpr int32_t kVLMPageOwnerTableOffset = 22;   // i32
inline constexpr int32_t kVLMPageOwnerFieldOffset = 26;   // i32
inline constexpr int32_t kVLMPageOwnerWordOffset = 30;    // u16

// The first statement of every public method of a page manager: the caller
// holds the database critical section (TVLMPageManager::CriticalSection).
#define VLM_REQUIRE_DATABASE_SECTION() QV_REQUIRE_LOCK(CriticalSectionHeld(), "the database critical section")

// The scanned pages a page manager keeps at the most (ScanLimit): a few
// runs of pages read ahead.
inline constexpr int32_t kVLMScanPageLimit = 256;

// Write counter of a freed page, or of a page whose read failed.
inline constexpr uint32_t kVLMFreedPageCounter = 0x7FFFFFFF;
// Counters of new pages are drawn below this value.
inline constexpr uint32_t kVLMNewPageCounterLimit = 0x3FFFFFFF;

// Page types (u16 at header offset 8).
inline constexpr uint16_t kVLMPageUnknown = 0;
inline constexpr uint16_t kVLMPageEmpty = 1;
inline constexpr uint16_t kVLMPageEAM = 2;
inline constexpr uint16_t kVLMPagePFS = 3;
inline constexpr uint16_t kVLMPageFileSystemDirectory = 4;
inline constexpr uint16_t kVLMPageActiveSessionList = 5;
inline constexpr uint16_t kVLMPageTableList = 6;
inline constexpr uint16_t kVLMPageTableLocks = 7;
inline constexpr uint16_t kVLMPageTableMetaData = 8;
inline constexpr uint16_t kVLMPageTableMostUpdated = 9;
inline constexpr uint16_t kVLMPageTableRecord = 10;
inline constexpr uint16_t kVLMPageTableBlob = 11;
inline constexpr uint16_t kVLMPageTableIndex = 12;
// Never stored: a reader passes it to accept any type.
inline constexpr uint16_t kVLMAnyPageType = 255;

// The name of a page type; 13 or more raises 30382 "Unknown Page Type: (%d)".
std::string_view GetPageTypeName(uint16_t pageType);
// Nothing when found == expected; otherwise raises errorCode with "Wrong page
// type. Found '%s', but expecting: '%s'".
void CheckPageType(uint16_t found, uint16_t expected, int32_t errorCode);

// ---------------------------------------------------------------- TVLMPage

class TVLMPage {
public:
  explicit TVLMPage(TVLMPageManager* pageManager);
  ~TVLMPage();
  TVLMPage(const TVLMPage&) = delete;
  TVLMPage& operator=(const TVLMPage&) = delete;

  TVLMPageManager* PageManager;
  int32_t PageNo = -1;
  uint8_t* Buffer = nullptr;  // engine memory-manager block (PageSize bytes or more)
  bool BufferOwned = true;    // false: the buffer belongs to someone else
  bool Modified = false;      // changes not yet written
  int32_t UseCount = 0;       // GetPage/NewPage calls not yet released
  TVLMSortedPageList* OwnerList = nullptr;  // nil while orphaned
  int32_t SessionID = kVLMInvalidSessionID;  // the session that last took the page
  bool FreshlyRead = false;   // read from storage since it was last taken
  bool Encrypt = true;        // false: the data area is never encrypted
  bool HeaderMended = false;  // read by a repair past a damaged header field

  uint8_t* Header() const { return Buffer; }
  inline int32_t HeaderSize() const;
  inline int32_t PageSize() const;
  uint8_t* Data() const { return Buffer + HeaderSize(); }
  int32_t DataSize() const { return PageSize() - HeaderSize(); }

  // PageSize zero-filled bytes with a new-page header.
  void AllocateBuffer();
  // PageSize bytes left as they are, for a read to fill; nothing when the
  // page has a buffer.
  void AllocateReadBuffer();
  void FreeBuffer();
  // The new-page header: "VLMP", counter 0, type 0, next -1, CRC 0, owner
  // fields -1, -1, 0. Nothing for a manager without page headers.
  void InitHeader();
  // Grows the buffer to newSize bytes (B-tree pages take one entry more than
  // fits before they split); the first PageSize bytes are kept.
  void Resize(int32_t newSize);
  // Revalidates a cached page against the write counter stored for it: a
  // different stored counter means another process wrote the page, which is
  // then read again. False when that read failed.
  bool RefreshWriteCounter();
  bool GetSessionCounter(int32_t sessionID, TVLMPageStamp& counter) const;
  void SetSessionCounter(int32_t sessionID, TVLMPageStamp counter);
  void ForgetSessionCounter(int32_t sessionID);

  // Header fields (valid only with a page header).
  uint32_t GetWriteCounter() const { return VLMGetU32LE(Buffer + kVLMPageWriteCounterOffset); }
  void SetWriteCounter(uint32_t v) { VLMPutU32LE(Buffer + kVLMPageWriteCounterOffset, v); }
  uint16_t GetPageType() const { return VLMGetU16LE(Buffer + kVLMPageTypeOffset); }
  void SetPageType(uint16_t v) { VLMPutU16LE(Buffer + kVLMPageTypeOffset, v); }
  int32_t GetNextPage() const { return VLMGetI32LE(Buffer + kVLMPageNextOffset); }
  void SetNextPage(int32_t v) { VLMPutI32LE(Buffer + kVLMPageNextOffset, v); }
  uint32_t GetCRC() const { return VLMGetU32LE(Buffer + kVLMPageCRCOffset); }
  void SetCRC(uint32_t v) { VLMPutU32LE(Buffer + kVLMPageCRCOffset, v); }
  uint8_t GetCipherId() const { return Buffer[kVLMPageCipherIdOffset]; }
  void SetCipherId(uint8_t v) { Buffer[kVLMPageCipherIdOffset] = v; }
  int32_t GetOwnerTableID() const { return VLMGetI32LE(Buffer + kVLMPageOwnerTableOffset); }
  void SetOwnerTableID(int32_t v) { VLMPutI32LE(Buffer + kVLMPageOwnerTableOffset, v); }

  // Some pin names the page.
  bool Pinned() const { return Pins_ != nullptr; }

private:
  friend class TVLMSortedPageList;
  friend class TVLMPageManager;
  friend class TVLMPagePin;
  // Clears every pin on the page (it leaves its list or is destroyed).
  void DropPins() noexcept;
  struct SessionCounter {
    TVLMPageStamp Counter;
    bool IsSet = false;
  };
  std::vector<SessionCounter> SessionCounters_;  // index SessionID + 2
  // Intrusive least-recently-used links of the list that holds the page
  // (of its scanned chain while Scanned_).
  TVLMPage* Older_ = nullptr;
  TVLMPage* Newer_ = nullptr;
  uint64_t LastAccess_ = 0;
  // Read by a whole-table pass and taken by nothing else since (invariant 7).
  bool Scanned_ = false;
  // Taken outside a scan since it was last released.
  bool LookedUp_ = false;
  // Read ahead: its type is checked when it is first taken (invariant 8).
  bool Unchecked_ = false;
  // Place in the manager's list of pages in use; -1 while nobody uses it.
  int32_t InUseIndex_ = -1;
  // The write mark (its serial) that last noted the page: its bytes kept,
  // or the page taken or made private under that mark (invariant 9).
  uint64_t WriteMark_ = 0;
  // The pins on the page, linked through the pins.
  TVLMPagePin* Pins_ = nullptr;
};

// A reader's hold on the page it stands on between two calls, without using
// it: the page keeps its place in the cache (eviction passes over it) and
// other sessions take it as before. The pin clears itself when the page
// leaves the list that held it (invariant 6), so Page() is either the very
// object GetPage would hand the pinning session for that number, as it was
// pinned, or nullptr. Reading the page through the pin takes no lookup; the
// caller holds the database critical section as for any page access.
class TVLMPagePin {
public:
  TVLMPagePin() = default;
  ~TVLMPagePin() { Reset(); }
  TVLMPagePin(const TVLMPagePin&) = delete;
  TVLMPagePin& operator=(const TVLMPagePin&) = delete;

  // Pins page (taken with GetPage by sessionID; it may already be released)
  // instead of what was pinned before.
  void Set(TVLMPage* page, int32_t sessionID) noexcept;
  void Reset() noexcept;
  // The pinned page when it is pageNo as session sessionID sees it.
  TVLMPage* Get(int32_t sessionID, int32_t pageNo) const {
    return Page_ != nullptr && SessionID_ == sessionID && Page_->PageNo == pageNo ? Page_ : nullptr;
  }
  TVLMPage* Page() const { return Page_; }

private:
  friend class TVLMPage;
  TVLMPage* Page_ = nullptr;
  int32_t SessionID_ = kVLMInvalidSessionID;
  TVLMPagePin* Prev_ = nullptr;
  TVLMPagePin* Next_ = nullptr;
};

// Base of the objects that interpret one page (B-tree pages and the like).
class TVLMPageController {
public:
  explicit TVLMPageController(TVLMPage* page = nullptr) : Page(page) {}
  virtual ~TVLMPageController() = default;

  TVLMPage* Page;

  int32_t GetPageNo() const { return Page->PageNo; }
  void SetPageNo(int32_t pageNo) { Page->PageNo = pageNo; }
  int32_t PageSize() const { return Page->PageSize(); }
  uint8_t* Data() const { return Page->Data(); }
  int32_t DataSize() const { return Page->DataSize(); }
  void SetModified(bool value) { Page->Modified = value; }
  void Resize(int32_t newSize) { Page->Resize(newSize); }
};

// ------------------------------------------------------ TVLMSortedPageList

// The pages of one list (the shared cache or a session's private copies),
// found by page number in an open-addressing table (one probe run over a
// flat array: a look-up touches one cache line before the page) and kept in
// two intrusive least-recently-used orders, one of kept pages and one of
// scanned pages (invariant 7; private lists hold kept pages only), so that
// lookup, touch and eviction never scan the list. PagesInOrder gives the
// ascending page order commit needs. The list owns its pages.
class TVLMSortedPageList {
public:
  TVLMSortedPageList() = default;
  ~TVLMSortedPageList();
  TVLMSortedPageList(const TVLMSortedPageList&) = delete;
  TVLMSortedPageList& operator=(const TVLMSortedPageList&) = delete;

  // Takes the page as the most recently used one of its order (scanned or
  // kept); a page number already in the list raises 30378.
  void Insert(std::unique_ptr<TVLMPage> page, bool scanned = false);
  // Removes the page and hands it back: 20165 on an empty list, 20166 when
  // the page number is not in the list.
  std::unique_ptr<TVLMPage> Extract(int32_t pageNo);
  TVLMPage* Find(int32_t pageNo) const;
  // The address of the slot a look-up of pageNo reads first (nullptr while
  // the list has no slots), for TVLMPageManager::Prefetch.
  const void* HomeSlot(int32_t pageNo) const { return Slots_.empty() ? nullptr : &Slots_[Home(pageNo)]; }
  // The page becomes the most recently used of its order; 20167 when it is
  // not here.
  void Touch(TVLMPage* page);
  // A scanned page becomes the most recently used kept page.
  void Keep(TVLMPage* page);
  // Kept pages, least recently used first; NextNewer walks toward the most
  // recent of the same order.
  TVLMPage* Oldest() const { return Oldest_; }
  // Scanned pages, least recently used first.
  TVLMPage* OldestScanned() const { return ScanOldest_; }
  static TVLMPage* NextNewer(const TVLMPage* page) { return page->Newer_; }
  static bool Scanned(const TVLMPage* page) { return page->Scanned_; }
  std::vector<TVLMPage*> PagesInOrder() const;
  // Destroys every page of the list.
  void Clear();
  int32_t Count() const { return Count_; }
  int32_t ScannedCount() const { return ScanCount_; }

  uint64_t AccessCounter = 0;

private:
  struct Slot {
    int32_t PageNo = 0;
    TVLMPage* Page = nullptr;  // nullptr: the slot is free
  };
  void Unlink(TVLMPage* page);
  void LinkNewest(TVLMPage* page);
  // The chain the page belongs to.
  TVLMPage*& OldestOf(const TVLMPage* page) { return page->Scanned_ ? ScanOldest_ : Oldest_; }
  TVLMPage*& NewestOf(const TVLMPage* page) { return page->Scanned_ ? ScanNewest_ : Newest_; }
  // Page numbers come in runs (a walk reads page after page): eight
  // neighbouring pages share a group of neighbouring slots, and the groups
  // are spread by a multiplicative hash, so that probe runs stay short even
  // when the list holds every page of a long run.
  size_t Home(int32_t pageNo) const {
    const auto no = static_cast<uint32_t>(pageNo);
    const auto group = static_cast<size_t>((static_cast<uint64_t>(no >> 3) * 0x9E3779B97F4A7C15ull) >> 32);
    return ((group << 3) | (no & 7u)) & Mask_;
  }
  // The slot holding pageNo, or SIZE_MAX.
  size_t SlotOf(int32_t pageNo) const;
  void Grow();

  // Power-of-two size, at most half full.
  std::vector<Slot> Slots_;
  size_t Mask_ = 0;
  int32_t Count_ = 0;
  TVLMPage* Oldest_ = nullptr;
  TVLMPage* Newest_ = nullptr;
  TVLMPage* ScanOldest_ = nullptr;
  TVLMPage* ScanNewest_ = nullptr;
  int32_t ScanCount_ = 0;
};

// What the shared cache of one page manager did so far (counted in every
// build; the tests and the benchmarks read them).
struct TVLMPageCacheFigures {
  // Pages read from storage (ReadPage, and each page a read ahead brought).
  int64_t PagesRead = 0;
  // Takes of a page the shared cache held.
  int64_t Hits = 0;
  // Kept and scanned pages evicted.
  int64_t KeptEvicted = 0;
  int64_t ScannedEvicted = 0;
  // Scanned pages a look-up took, which became kept.
  int64_t ScannedKept = 0;
};

// --------------------------------------------------------- TVLMPageManager

class TVLMPageManager {
public:
  TVLMPageManager();
  virtual ~TVLMPageManager();
  TVLMPageManager(const TVLMPageManager&) = delete;
  TVLMPageManager& operator=(const TVLMPageManager&) = delete;

  // ---- the database critical section ----
  //
  // One thread at a time uses a page manager and its pages. Requires, for
  // every public method below and every read or write of the public fields:
  // the database critical section, the lock of the database data (or table
  // data) the manager serves, which its owner shares with UseCriticalSection.
  // The manager's own operations never take it. Debug builds check the
  // contract in every public method, the engines' overrides of the slots
  // included (VLM_REQUIRE_DATABASE_SECTION), once a section was shared; a
  // manager that no database data owns (a test or a benchmark that drives
  // storage alone) has a single user and is not checked.

  // The lock every caller holds: the shared one, else the manager's own.
  qv::RecursiveMutex& CriticalSection() { return SharedSection_ != nullptr ? *SharedSection_ : OwnSection_; }
  // From now on every public method requires the calling thread to hold
  // section, which outlives the manager.
  void UseCriticalSection(qv::RecursiveMutex& section) { SharedSection_ = &section; }
  // The contract holds for the calling thread.
  bool CriticalSectionHeld() const { return SharedSection_ == nullptr || SharedSection_->HeldByThisThread(); }

  // The most pages the shared cache keeps: min(free memory div 1000, 65536).
  int32_t CacheLimit;
  // The most scanned pages the shared cache keeps (invariant 7): what one
  // pass needs at a time, its page and the runs it reads ahead.
  int32_t ScanLimit = kVLMScanPageLimit;
  TVLMSortedPageList SharedPages;
  uint16_t PageSize = 0;
  uint16_t PageHeaderSize = 0;
  uint16_t PageDataSize = 0;  // also the page figure of the search cost
  int32_t PageCount = 0;
  bool MultiUser = false;
  // While set, GetPage does not check page types and the disk engine does
  // not check page CRCs (a damaged internal file is being reinitialised).
  bool SkipChecks = false;

  // Virtual operations, in slot order.
  virtual int32_t GetPageCount() {
    VLM_REQUIRE_DATABASE_SECTION();
    return PageCount;
  }
  // May a cached copy be used without consulting storage?
  virtual bool IsPageValid(int32_t sessionID, TVLMPage* page) {
    VLM_REQUIRE_DATABASE_SECTION();
    return false;
  }
  // After a page was read or revalidated.
  virtual void PageLoaded(int32_t sessionID, TVLMPage* page) { VLM_REQUIRE_DATABASE_SECTION(); }
  // The page store's own state (the memory engine's allocation map).
  virtual void SaveToStream(qv::Stream& stream) { VLM_REQUIRE_DATABASE_SECTION(); }
  virtual void LoadFromStream(qv::Stream& stream) { VLM_REQUIRE_DATABASE_SECTION(); }
  // Gives the page a new page number and a buffer.
  virtual void AllocatePage(TVLMPage* page) = 0;
  virtual void FreePage(int32_t pageNo) = 0;
  // Fills the page's buffer from storage; false when it cannot be read.
  virtual bool ReadPage(TVLMPage* page) = 0;
  virtual void WritePage(TVLMPage* page) = 0;
  // Commit writes its pages in runs of consecutive page numbers, at most
  // this many to a run (1: page by page), each run through WritePages.
  virtual int32_t MaxWriteRun() const { return 1; }
  // The pages of one run, in ascending order: WritePage each.
  virtual void WritePages(TVLMPage* const* pages, int32_t count);
  // ReadAhead reads its pages in runs that span at most this many page
  // numbers, each through ReadPages.
  virtual int32_t MaxReadRun() const { return 1; }
  // Fills the buffers of pages in ascending order whose numbers span at
  // most MaxReadRun; ok[i] tells whether page i was read (base: ReadPage
  // each). A page that fails is left for the read that needs it, which
  // reports it.
  virtual void ReadPages(TVLMPage* const* pages, int32_t count, bool* ok);
  // Schedules the page to be freed when the session commits.
  virtual void RemovePage(int32_t sessionID, int32_t pageNo);
  // The session's copy of the page (its own private one, else the shared
  // one, read from storage when not cached). pageType 255 accepts any type.
  virtual TVLMPage* GetPage(int32_t sessionID, int32_t pageNo, bool sync, uint16_t pageType);
  virtual void Commit(int32_t sessionID);
  // The write counter that storage holds for the page; false when the store
  // cannot tell (then a cached page is trusted).
  virtual bool GetStoredWriteCounter(int32_t pageNo, uint32_t& counter) {
    VLM_REQUIRE_DATABASE_SECTION();
    return false;
  }

  // A new page of the session, already modified.
  TVLMPage* NewPage(int32_t sessionID, uint16_t pageType);
  void ReleasePage(TVLMPage* page);
  void RollbackSession(int32_t sessionID);

  // ---- marked writes (invariant 9) ----
  // One record write of a session ends whole or leaves nothing behind: from
  // BeginWriteMark on the manager notes what the session's pages were
  // before the write changed them, so that UndoWriteMark can set them back
  // after a write that failed half way, also inside a transaction whose
  // earlier writes stay. False, noting nothing, while the session's write
  // is marked already (the outer mark covers the inner write).
  bool BeginWriteMark(int32_t sessionID);
  // The write stands: what was noted is forgotten.
  void EndWriteMark(int32_t sessionID);
  // The session's pages as BeginWriteMark found them; the mark ends. The
  // pages the write allocated are freed (one that cannot be stays marked
  // used until the next open that has the file alone gives it back).
  // Nothing happens without a mark (a commit or rollback ended it).
  void UndoWriteMark(int32_t sessionID);

  // ---- whole-table passes (invariant 7) ----
  // While a pass is open (TVLMScanReads), GetPage takes and reads pages as
  // the pass's: they enter the cache scanned and do not move kept pages.
  void BeginScanReads() { ++ScanDepth_; }
  void EndScanReads() { --ScanDepth_; }
  bool InScanReads() const { return ScanDepth_ > 0; }
  // Reads into the cache, as scanned pages, those of the pages (ascending
  // numbers) that neither the session's private list nor the shared cache
  // holds, a run of near numbers at a time (ReadPages), so that a pass that
  // knows where it goes next takes several pages per read of the store.
  // Nothing is raised for a page that cannot be read.
  void ReadAhead(int32_t sessionID, const int32_t* pageNos, int32_t count);
  // Readies the processor's caches for a take of a cached page that comes
  // soon, in three steps issued a few takes apart, each after the one
  // before: 0 the shared cache's slot for the number, 1 the page object,
  // 2 the page's header, its neighbours in the cache's order (a release
  // relinks them) and the bytes [offset, offset + length) of its data area.
  // A reader that knows the pages it takes next (an index walk's entries
  // read ahead) overlaps the memory reads of several takes this way. Reads
  // only what a take reads, changes nothing, checks nothing (the take
  // itself does), and does nothing for a page the shared cache does not
  // hold.
  void Prefetch(int32_t pageNo, int32_t step, int32_t offset = 0, int32_t length = 0) const;
  const TVLMPageCacheFigures& CacheFigures() const { return Figures_; }

  // Removed, allocated or private pages are waiting for the session's commit.
  bool HasSessionChanges(int32_t sessionID) const;
  // Raises 20097 "Cannot free non-commited pages" when a session has private
  // pages (the destructor itself never raises; owners call this first).
  void CheckNoUncommittedPages() const;
  // Destroys every cached page that no session uses (after the store changed
  // underneath, e.g. when the file is closed).
  void DropSharedPages();
  int32_t PrivatePageCount(int32_t sessionID) const;
  // The pages a commit of the session would write or free.
  std::vector<int32_t> SessionPageNumbers(int32_t sessionID) const;
  // Takes these pages out of the shared cache (a copy still in use goes when
  // its user releases it).
  void ForgetSharedCopies(const std::vector<int32_t>& pageNos);
  int32_t PagesInUse() const {
    VLM_REQUIRE_DATABASE_SECTION();
    return static_cast<int32_t>(InUse_.size());
  }
  // Advances whenever what a session reads may change other than through a
  // page that session already holds privately: a page becomes private, a
  // commit, a rollback, a page freed. A reader that keeps what it derived
  // from pages (a list of page numbers, say) trusts it while this value and
  // its own change count stay as they were.
  uint64_t ViewVersion() const { return ViewVersion_; }
  // A page buffer of PageSize bytes, left as it is: one a scanned page
  // gave back when it was evicted, else a new one.
  uint8_t* TakePageBuffer();
  // Memory for the short-lived objects built over this manager's pages (a
  // B-tree page object for every page of every descent): blocks of the
  // first size asked for are kept when given back, a few at most, so that a
  // warm descent allocates nothing. A block of another size comes from and
  // goes to the heap. Under the contract above, like the pages themselves.
  void* TakeBlock(size_t size);
  void GiveBlock(void* block, size_t size) noexcept;

protected:
  // What a marked write of a session changed so far (invariant 9).
  struct WriteMarkState {
    uint64_t Serial = 0;  // 0: no write is marked
    int32_t AllocatedCount = 0;
    int32_t RemovedCount = 0;
    // Private pages the write took, with their bytes before it: Images[i]
    // in ImageBuffers[i], PageSize bytes (ImageSize) each. The buffers stay
    // for the next writes (64 at most).
    std::vector<int32_t> Images;
    std::vector<std::unique_ptr<uint8_t[]>> ImageBuffers;
    size_t ImageSize = 0;
    // Pages that became private during the write.
    std::vector<int32_t> Fresh;
    // Shared pages the write took.
    std::vector<int32_t> SharedTaken;
  };
  struct SessionEntry {
    int32_t SessionID;
    TVLMSortedPageList PrivatePages;
    TVLMIntegerArray AllocatedPages{0, 100, 10};
    TVLMIntegerArray RemovedPages{0, 100, 10};
    std::unordered_set<int32_t> RemovedSet;  // RemovedPages' numbers (invariant 10)
    WriteMarkState Mark;
  };
  // RemovedPages cut to its first count numbers, RemovedSet with it.
  static void TrimRemoved(SessionEntry& session, int32_t count);
  SessionEntry* FindSession(int32_t sessionID) const;
  SessionEntry& GetSession(int32_t sessionID);
  // The checks commit makes before anything is written: 20152 for a shared
  // page the session still uses, 20085 / 20086 for its private pages.
  void CheckSessionPagesReleased(int32_t sessionID) const;

private:
  friend class TVLMPage;
  void MarkUsed(TVLMPage* page);
  void MarkUnused(TVLMPage* page);
  // Under a write mark: a private page's bytes are kept before the write
  // first takes it; a page that becomes private, or a shared one taken, is
  // noted.
  void NoteMarkedPrivate(SessionEntry& session, TVLMPage* page);
  void NoteMarkedFresh(SessionEntry& session, TVLMPage* page);
  void NoteMarkedShared(SessionEntry& session, TVLMPage* page);
  static void ClearWriteMark(WriteMarkState& mark);
  // Takes a cached copy out of the shared cache: destroyed when unused, else
  // kept as an orphan until its user releases it.
  void DropSharedCopy(int32_t pageNo);
  // Scanned pages beyond ScanLimit, then any beyond CacheLimit, scanned
  // ones first, least recently used first; pages in use or pinned stay.
  void EvictSharedPages();
  void Evict(TVLMPage* page);

  std::vector<std::unique_ptr<SessionEntry>> Sessions_;
  // The entry FindSession found last (entries are never removed before the
  // manager is destroyed).
  mutable SessionEntry* LastSession_ = nullptr;
  // Pages with UseCount > 0, each at its InUseIndex_: taking and releasing a
  // page, the commonest thing the engine does, allocates nothing.
  std::vector<TVLMPage*> InUse_;
  std::unordered_map<TVLMPage*, std::unique_ptr<TVLMPage>> Orphans_;
  // Buffers of evicted scanned pages, for the next pages a pass reads.
  std::vector<uint8_t*> SparePageBuffers_;
  // Blocks given back (TakeBlock), all of SpareBlockSize_ bytes; the
  // capacity is reserved up front, so giving one back never allocates.
  std::vector<void*> SpareBlocks_;
  size_t SpareBlockSize_ = 0;
  uint64_t ViewVersion_ = 0;
  uint64_t WriteMarkSerial_ = 0;
  int32_t ScanDepth_ = 0;
  TVLMPageCacheFigures Figures_;
  // The pages of one run of ReadAhead.
  std::vector<TVLMPage*> ReadAheadRun_;
  qv::RecursiveMutex OwnSection_;
  qv::RecursiveMutex* SharedSection_ = nullptr;
};

int32_t TVLMPage::HeaderSize() const { return PageManager->PageHeaderSize; }
int32_t TVLMPage::PageSize() const { return PageManager->PageSize; }

// A whole-table pass over the manager's pages for the length of a scope
// (BeginScanReads / EndScanReads); nothing without a manager.
class TVLMScanReads {
public:
  explicit TVLMScanReads(TVLMPageManager* manager, bool scanning = true)
      : Manager_(scanning ? manager : nullptr) {
    if (Manager_ != nullptr) Manager_->BeginScanReads();
  }
  ~TVLMScanReads() {
    if (Manager_ != nullptr) Manager_->EndScanReads();
  }
  TVLMScanReads(const TVLMScanReads&) = delete;
  TVLMScanReads& operator=(const TVLMScanReads&) = delete;

private:
  TVLMPageManager* Manager_;
};

// Releases a page taken with GetPage/NewPage when the scope ends.
class TVLMHeldPage {
public:
  TVLMHeldPage() = default;
  TVLMHeldPage(TVLMPageManager* manager, TVLMPage* page) : Manager_(manager), Page_(page) {}
  ~TVLMHeldPage() { Release(); }
  TVLMHeldPage(const TVLMHeldPage&) = delete;
  TVLMHeldPage& operator=(const TVLMHeldPage&) = delete;

  TVLMPage* operator->() const { return Page_; }
  TVLMPage* Get() const { return Page_; }
  void Release() noexcept;
  // Releases the page held so far and holds page instead.
  void Reset(TVLMPageManager* manager, TVLMPage* page) noexcept {
    Release();
    Manager_ = manager;
    Page_ = page;
  }

private:
  TVLMPageManager* Manager_ = nullptr;
  TVLMPage* Page_ = nullptr;
};
