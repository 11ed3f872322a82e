// VLMPage: page objects, page lists and the page manager base. The layout of
// the page header, the invariants and the states of a page are described in
// VLMPage.h.
#include "engine/storage/VLMPage.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMConst.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/Format.h"

namespace {

// Counters of new pages only need to differ between pages and runs; they are
// not a secret.
uint32_t RandomPageCounter() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, kVLMNewPageCounterLimit - 1)(generator);
}

std::string PageTypeText(uint16_t pageType) {
  if (pageType < VLMPageTypeCount) return std::string(VLMPageTypeNames[pageType]);
  return qv::format("Unknown Page Type: (%d)", {static_cast<int>(pageType)});
}

}  // namespace

std::string_view GetPageTypeName(uint16_t pageType) {
  if (pageType >= VLMPageTypeCount)
    throw EVLMException(30382, "Unknown Page Type: (%d)", {static_cast<int>(pageType)});
  return VLMPageTypeNames[pageType];
}

void CheckPageType(uint16_t found, uint16_t expected, int32_t errorCode) {
  if (found == expected) return;
  // A damaged page may carry any number; it is named, not refused a second time.
  throw EVLMException(errorCode, "Wrong page type. Found '%s', but expecting: '%s'",
                      {PageTypeText(found), PageTypeText(expected)});
}

// ------------------------------------------------------------------ TVLMPage

TVLMPage::TVLMPage(TVLMPageManager* pageManager) : PageManager(pageManager) {}

TVLMPage::~TVLMPage() {
  // A page never outlives its place in the manager's list of pages in use.
  if (InUseIndex_ >= 0 && PageManager != nullptr) PageManager->MarkUnused(this);
  DropPins();
  FreeBuffer();
}

void TVLMPage::DropPins() noexcept {
  while (Pins_ != nullptr) Pins_->Reset();
}


void TVLMPage::AllocateBuffer() {
  FreeBuffer();
  Buffer = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(PageSize()));
  BufferOwned = true;
  InitHeader();
}

void TVLMPage::AllocateReadBuffer() {
  if (Buffer != nullptr) return;
  Buffer = PageManager->TakePageBuffer();
  BufferOwned = true;
}

void TVLMPage::FreeBuffer() {
  if (Buffer != nullptr && BufferOwned) VLMMemoryManager().FreeMem(Buffer);
  Buffer = nullptr;
  BufferOwned = true;
}

void TVLMPage::InitHeader() {
  if (Buffer == nullptr || HeaderSize() < kVLMPageHeaderSize) return;
  std::memset(Buffer, 0, kVLMPageHeaderSize);
  std::memcpy(Buffer + kVLMPageMagicOffset, "VLMP", 4);
  SetNextPage(-1);
  SetOwnerTableID(-1);
  VLMPutI32LE(Buffer + kVLMPageOwnerFieldOffset, -1);
}

void TVLMPage::Resize(int32_t newSize) {
  if (Buffer == nullptr) throw EVLMException(20038, "Invalid page buffer. Buffer is Nil");
  if (newSize < PageSize()) throw EVLMException(20039, "Invalid page modification");
  if (BufferOwned) {
    VLMMemoryManager().ReallocMem(Buffer, newSize, true);
    return;
  }
  auto* copy = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(newSize));
  std::memcpy(copy, Buffer, static_cast<size_t>(PageSize()));
  Buffer = copy;
  BufferOwned = true;
}

bool TVLMPage::RefreshWriteCounter() {
  uint32_t stored = 0;
  if (!PageManager->GetStoredWriteCounter(PageNo, stored)) return true;
  if (stored != kVLMFreedPageCounter && stored != GetWriteCounter()) return PageManager->ReadPage(this);
  SetWriteCounter(stored);
  return true;
}

bool TVLMPage::GetSessionCounter(int32_t sessionID, TVLMPageStamp& counter) const {
  int64_t index = static_cast<int64_t>(sessionID) + 2;
  if (index < 0 || index >= static_cast<int64_t>(SessionCounters_.size())) return false;
  const SessionCounter& entry = SessionCounters_[static_cast<size_t>(index)];
  counter = entry.Counter;
  return entry.IsSet;
}

void TVLMPage::SetSessionCounter(int32_t sessionID, TVLMPageStamp counter) {
  int64_t index = static_cast<int64_t>(sessionID) + 2;
  if (index < 0) return;
  if (index >= static_cast<int64_t>(SessionCounters_.size()))
    SessionCounters_.resize(static_cast<size_t>(index) + 1);
  SessionCounters_[static_cast<size_t>(index)] = {counter, true};
}

void TVLMPage::ForgetSessionCounter(int32_t sessionID) {
  const int64_t index = static_cast<int64_t>(sessionID) + 2;
  if (index >= 0 && index < static_cast<int64_t>(SessionCounters_.size()))
    SessionCounters_[static_cast<size_t>(index)].IsSet = false;
}

// --------------------------------------------------------------- TVLMPagePin

void TVLMPagePin::Set(TVLMPage* page, int32_t sessionID) noexcept {
  if (page != Page_) {
    Reset();
    if (page != nullptr) {
      Next_ = page->Pins_;
      if (Next_ != nullptr) Next_->Prev_ = this;
      page->Pins_ = this;
      Page_ = page;
    }
  }
  SessionID_ = sessionID;
}

void TVLMPagePin::Reset() noexcept {
  if (Page_ == nullptr) return;
  if (Prev_ != nullptr) Prev_->Next_ = Next_;
  else Page_->Pins_ = Next_;
  if (Next_ != nullptr) Next_->Prev_ = Prev_;
  Page_ = nullptr;
  Prev_ = Next_ = nullptr;
}

// -------------------------------------------------------- TVLMSortedPageList

TVLMSortedPageList::~TVLMSortedPageList() { Clear(); }

void TVLMSortedPageList::Unlink(TVLMPage* page) {
  if (page->Older_) page->Older_->Newer_ = page->Newer_;
  else OldestOf(page) = page->Newer_;
  if (page->Newer_) page->Newer_->Older_ = page->Older_;
  else NewestOf(page) = page->Older_;
  page->Older_ = page->Newer_ = nullptr;
}

void TVLMSortedPageList::LinkNewest(TVLMPage* page) {
  TVLMPage*& newest = NewestOf(page);
  page->Older_ = newest;
  page->Newer_ = nullptr;
  if (newest) newest->Newer_ = page;
  else OldestOf(page) = page;
  newest = page;
  page->LastAccess_ = ++AccessCounter;
}

size_t TVLMSortedPageList::SlotOf(int32_t pageNo) const {
  if (Count_ == 0) return SIZE_MAX;
  const size_t mask = Slots_.size() - 1;
  for (size_t i = Home(pageNo);; i = (i + 1) & mask) {
    const Slot& slot = Slots_[i];
    if (slot.Page == nullptr) return SIZE_MAX;
    if (slot.PageNo == pageNo) return i;
  }
}

void TVLMSortedPageList::Grow() {
  std::vector<Slot> old = std::move(Slots_);
  const size_t size = old.empty() ? 16 : old.size() * 2;
  Slots_.assign(size, Slot{});
  Mask_ = size - 1;
  const size_t mask = Mask_;
  for (const Slot& slot : old) {
    if (slot.Page == nullptr) continue;
    size_t i = Home(slot.PageNo);
    while (Slots_[i].Page != nullptr) i = (i + 1) & mask;
    Slots_[i] = slot;
  }
}

void TVLMSortedPageList::Insert(std::unique_ptr<TVLMPage> page, bool scanned) {
  TVLMPage* raw = page.get();
  if (SlotOf(raw->PageNo) != SIZE_MAX)
    throw EVLMException(30378, "TSortedPageList.Insert - duplicate key = %d", {raw->PageNo});
  if (static_cast<size_t>(Count_ + 1) * 2 > Slots_.size()) Grow();
  const size_t mask = Slots_.size() - 1;
  size_t i = Home(raw->PageNo);
  while (Slots_[i].Page != nullptr) i = (i + 1) & mask;
  Slots_[i] = Slot{raw->PageNo, page.release()};
  ++Count_;
  raw->OwnerList = this;
  raw->Scanned_ = scanned;
  if (scanned) ++ScanCount_;
  LinkNewest(raw);
}

std::unique_ptr<TVLMPage> TVLMSortedPageList::Extract(int32_t pageNo) {
  if (Count_ == 0) throw EVLMException(20165, "TSortedPageList.Delete - no elements in array!");
  size_t i = SlotOf(pageNo);
  if (i == SIZE_MAX)
    throw EVLMException(20166, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d",
                        {pageNo, Count()});
  std::unique_ptr<TVLMPage> page(Slots_[i].Page);
  // Backward-shift deletion: every later slot of the probe run that may move
  // closer to its home moves into the hole, so no look-up stops early.
  const size_t mask = Slots_.size() - 1;
  for (size_t j = (i + 1) & mask; Slots_[j].Page != nullptr; j = (j + 1) & mask) {
    const size_t home = Home(Slots_[j].PageNo);
    const bool between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (between) continue;
    Slots_[i] = Slots_[j];
    i = j;
  }
  Slots_[i] = Slot{};
  --Count_;
  Unlink(page.get());
  if (page->Scanned_) --ScanCount_;
  page->Scanned_ = false;
  page->OwnerList = nullptr;
  page->DropPins();
  return page;
}

TVLMPage* TVLMSortedPageList::Find(int32_t pageNo) const {
  const size_t i = SlotOf(pageNo);
  return i == SIZE_MAX ? nullptr : Slots_[i].Page;
}

void TVLMSortedPageList::Touch(TVLMPage* page) {
  if (page == nullptr || page->OwnerList != this || Find(page->PageNo) != page)
    throw EVLMException(20167, "Page not found");
  Unlink(page);
  LinkNewest(page);
}

void TVLMSortedPageList::Keep(TVLMPage* page) {
  if (page == nullptr || page->OwnerList != this || Find(page->PageNo) != page)
    throw EVLMException(20167, "Page not found");
  if (!page->Scanned_) return;
  Unlink(page);
  page->Scanned_ = false;
  --ScanCount_;
  LinkNewest(page);
}

std::vector<TVLMPage*> TVLMSortedPageList::PagesInOrder() const {
  std::vector<TVLMPage*> pages;
  pages.reserve(static_cast<size_t>(Count_));
  for (const Slot& slot : Slots_)
    if (slot.Page != nullptr) pages.push_back(slot.Page);
  std::sort(pages.begin(), pages.end(),
            [](const TVLMPage* a, const TVLMPage* b) { return a->PageNo < b->PageNo; });
  return pages;
}

void TVLMSortedPageList::Clear() {
  std::vector<Slot> slots = std::move(Slots_);
  Slots_.clear();
  Mask_ = 0;
  Count_ = 0;
  ScanCount_ = 0;
  Oldest_ = Newest_ = nullptr;
  ScanOldest_ = ScanNewest_ = nullptr;
  for (Slot& slot : slots) delete slot.Page;
}

// ----------------------------------------------------------- TVLMPageManager

TVLMPageManager::TVLMPageManager() {
  int64_t byMemory = VLMMemoryManager().GetFreeMemory() / 1000;
  CacheLimit = static_cast<int32_t>(std::clamp<int64_t>(byMemory, 1, 65536));
}

TVLMPageManager::~TVLMPageManager() {
  // Pages still in use at this point belong to no one any more; they are
  // destroyed with their lists.
  InUse_.clear();
  Orphans_.clear();
  LastSession_ = nullptr;
  Sessions_.clear();
  SharedPages.Clear();
  for (uint8_t* buffer : SparePageBuffers_) VLMMemoryManager().FreeMem(buffer);
  for (void* block : SpareBlocks_) {
    ASAN_UNPOISON_MEMORY_REGION(block, SpareBlockSize_);
    ::operator delete(block);
  }
}

namespace {

// Spare blocks kept: a descent holds a page per level and a sibling or two.
constexpr size_t kSpareBlocks = 16;

}  // namespace

void* TVLMPageManager::TakeBlock(size_t size) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (SpareBlockSize_ == 0) {
    SpareBlocks_.reserve(kSpareBlocks);
    SpareBlockSize_ = size;
  }
  if (size != SpareBlockSize_ || SpareBlocks_.empty()) return ::operator new(size);
  void* block = SpareBlocks_.back();
  SpareBlocks_.pop_back();
  // A spare block stays poisoned for the address sanitizer, so a use after
  // its object was destroyed is still caught.
  ASAN_UNPOISON_MEMORY_REGION(block, size);
  return block;
}

void TVLMPageManager::GiveBlock(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (size != SpareBlockSize_ || SpareBlocks_.size() >= SpareBlocks_.capacity()) {
    ::operator delete(block);
    return;
  }
  ASAN_POISON_MEMORY_REGION(block, size);
  SpareBlocks_.push_back(block);
}

TVLMPageManager::SessionEntry* TVLMPageManager::FindSession(int32_t sessionID) const {
  // Entries stay until the manager goes, so the last one found can be
  // remembered: one session makes most calls in a row.
  if (LastSession_ != nullptr && LastSession_->SessionID == sessionID) return LastSession_;
  for (const auto& s : Sessions_) {
    if (s->SessionID == sessionID) {
      LastSession_ = s.get();
      return LastSession_;
    }
  }
  return nullptr;
}

TVLMPageManager::SessionEntry& TVLMPageManager::GetSession(int32_t sessionID) {
  if (SessionEntry* s = FindSession(sessionID)) return *s;
  auto entry = std::make_unique<SessionEntry>();
  entry->SessionID = sessionID;
  Sessions_.push_back(std::move(entry));
  return *Sessions_.back();
}

void TVLMPageManager::MarkUsed(TVLMPage* page) {
  if (page->InUseIndex_ >= 0) return;
  page->InUseIndex_ = static_cast<int32_t>(InUse_.size());
  InUse_.push_back(page);
}

void TVLMPageManager::MarkUnused(TVLMPage* page) {
  const int32_t index = page->InUseIndex_;
  if (index < 0 || index >= static_cast<int32_t>(InUse_.size()) || InUse_[static_cast<size_t>(index)] != page) return;
  TVLMPage* last = InUse_.back();
  InUse_[static_cast<size_t>(index)] = last;
  last->InUseIndex_ = index;
  InUse_.pop_back();
  page->InUseIndex_ = -1;
}

void TVLMPageManager::DropSharedCopy(int32_t pageNo) {
  TVLMPage* cached = SharedPages.Find(pageNo);
  if (cached == nullptr) return;
  std::unique_ptr<TVLMPage> page = SharedPages.Extract(pageNo);
  if (page->UseCount > 0) {
    // Its user still holds a pointer; the copy goes when it is released.
    TVLMPage* raw = page.get();
    Orphans_[raw] = std::move(page);
  }
}

namespace {

// Buffers of evicted scanned pages kept for the next reads of a pass: a few
// runs' worth.
constexpr size_t kSparePageBuffers = 64;

}  // namespace

uint8_t* TVLMPageManager::TakePageBuffer() {
  if (!SparePageBuffers_.empty()) {
    uint8_t* buffer = SparePageBuffers_.back();
    SparePageBuffers_.pop_back();
    return buffer;
  }
  return static_cast<uint8_t*>(VLMMemoryManager().GetMem(PageSize));
}

void TVLMPageManager::Evict(TVLMPage* page) {
  VLM_INVARIANT("VLMPage 4", page->UseCount == 0);
  VLM_INVARIANT("VLMPage 6", !page->Pinned());
  const bool scanned = TVLMSortedPageList::Scanned(page);
  ++(scanned ? Figures_.ScannedEvicted : Figures_.KeptEvicted);
  std::unique_ptr<TVLMPage> gone = SharedPages.Extract(page->PageNo);
  // A pass's page buffer serves the pass's next read.
  if (scanned && gone->BufferOwned && gone->Buffer != nullptr && SparePageBuffers_.size() < kSparePageBuffers &&
      VLMMemoryManager().GetMemSize(gone->Buffer) == PageSize) {
    if (SparePageBuffers_.capacity() == 0) SparePageBuffers_.reserve(kSparePageBuffers);
    SparePageBuffers_.push_back(gone->Buffer);
    gone->Buffer = nullptr;
  }
}

void TVLMPageManager::EvictSharedPages() {
  const int32_t scanLimit = std::max(ScanLimit, 0);
  TVLMPage* page = SharedPages.OldestScanned();
  while (page != nullptr && (SharedPages.ScannedCount() > scanLimit || SharedPages.Count() > CacheLimit)) {
    TVLMPage* next = TVLMSortedPageList::NextNewer(page);
    if (page->UseCount == 0 && !page->Pinned()) Evict(page);
    page = next;
  }
  page = SharedPages.Oldest();
  while (page != nullptr && SharedPages.Count() > CacheLimit) {
    TVLMPage* next = TVLMSortedPageList::NextNewer(page);
    if (page->UseCount == 0 && !page->Pinned()) Evict(page);
    page = next;
  }
}

TVLMPage* TVLMPageManager::NewPage(int32_t sessionID, uint16_t pageType) {
  VLM_REQUIRE_DATABASE_SECTION();
  SessionEntry& session = GetSession(sessionID);
  ++ViewVersion_;
  auto page = std::make_unique<TVLMPage>(this);
  AllocatePage(page.get());
  if (page->PageNo == -1 || page->PageNo == -2) throw EVLMException(20064, "Invalid page number");
  // From here on the number belongs to the transaction: a rollback frees it.
  session.AllocatedPages.Append(page->PageNo);
  if (page->Buffer == nullptr) page->AllocateBuffer();
  page->UseCount = 1;
  page->Modified = true;
  page->FreshlyRead = false;
  if (PageHeaderSize > 0) {
    page->SetPageType(pageType);
    page->SetWriteCounter(RandomPageCounter());
  }
  page->SessionID = sessionID;
  // A cached copy of a number that was free is stale.
  DropSharedCopy(page->PageNo);
  TVLMPage* raw = page.get();
  session.PrivatePages.Insert(std::move(page));
  MarkUsed(raw);
  if (session.Mark.Serial != 0) NoteMarkedFresh(session, raw);
  return raw;
}

TVLMPage* TVLMPageManager::GetPage(int32_t sessionID, int32_t pageNo, bool sync, uint16_t pageType) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (sessionID == kVLMInvalidSessionID) throw EVLMException(20186, "Invalid Session ID");
  SessionEntry& session = GetSession(sessionID);
  TVLMPage* page = session.PrivatePages.Find(pageNo);
  if (page != nullptr) {
    if (session.Mark.Serial != 0 && page->WriteMark_ != session.Mark.Serial) NoteMarkedPrivate(session, page);
  } else {
    page = SharedPages.Find(pageNo);
    auto checkType = [&](const TVLMPage* p) {
      if (!SkipChecks && PageHeaderSize >= 1 && pageType != kVLMAnyPageType &&
          p->GetPageType() != pageType)
        throw EVLMException(20153, "Invalid page type. Possible data corruption. Expecting type %d, but found %d",
                            {static_cast<int>(pageType), static_cast<int>(p->GetPageType())});
    };
    if (page != nullptr && page->Unchecked_) {
      // Read ahead: checked as a page just read is (invariant 8).
      try {
        checkType(page);
      } catch (...) {
        DropSharedCopy(pageNo);
        throw;
      }
      page->Unchecked_ = false;
    }
    if (page == nullptr) {
      // Read first and cache only a page that passed every check.
      auto fresh = std::make_unique<TVLMPage>(this);
      fresh->PageNo = pageNo;
      fresh->SessionID = sessionID;
      ++Figures_.PagesRead;
      if (!ReadPage(fresh.get()))
        throw EVLMException(20299, "Error reading database file page. Page No: %d, type %d",
                            {pageNo, static_cast<int>(pageType)});
      checkType(fresh.get());
      page = fresh.get();
      SharedPages.Insert(std::move(fresh), InScanReads());
      PageLoaded(sessionID, page);
    } else if (sync && page->UseCount == 0 && !IsPageValid(sessionID, page)) {
      // Revalidated only while nobody holds it, so a user never sees its
      // page change underneath.
      bool ok = false;
      try {
        ok = page->RefreshWriteCounter();
        if (ok) checkType(page);
      } catch (...) {
        DropSharedCopy(pageNo);
        throw;
      }
      if (!ok) {
        DropSharedCopy(pageNo);
        throw EVLMException(20299, "Error reading database file page. Page No: %d, type %d",
                            {pageNo, static_cast<int>(pageType)});
      }
      PageLoaded(sessionID, page);
    } else {
      ++Figures_.Hits;
    }
    if (session.Mark.Serial != 0 && page->WriteMark_ != session.Mark.Serial) NoteMarkedShared(session, page);
  }
  if (page->UseCount > 0 && page->SessionID != sessionID)
    throw EVLMException(20090, "Page is used by other session");
  page->SessionID = sessionID;
  if (!InScanReads()) page->LookedUp_ = true;
  if (page->UseCount++ == 0) MarkUsed(page);
  return page;
}

void TVLMPageManager::ReleasePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (page == nullptr) return;
  if (page->UseCount <= 0)
    throw EVLMException(30380, "Page %d released more often than taken", {page->PageNo});
  if (--page->UseCount > 0) return;
  page->FreshlyRead = false;
  MarkUnused(page);
  const bool lookedUp = page->LookedUp_;
  page->LookedUp_ = false;
  if (page->OwnerList == nullptr) {
    // A copy that a commit replaced while this session used it.
    auto it = Orphans_.find(page);
    if (it == Orphans_.end()) return;
    std::unique_ptr<TVLMPage> own = std::move(it->second);
    Orphans_.erase(it);
    ++ViewVersion_;
    if (own->Modified) {
      SessionEntry& session = GetSession(own->SessionID);
      if (session.PrivatePages.Find(own->PageNo) == nullptr) {
        TVLMPage* raw = own.get();
        session.PrivatePages.Insert(std::move(own));
        if (session.Mark.Serial != 0) NoteMarkedFresh(session, raw);
      }
    }
    return;
  }
  if (page->OwnerList != &SharedPages) return;
  if (page->Modified) {
    SessionEntry& session = GetSession(page->SessionID);
    ++ViewVersion_;
    session.PrivatePages.Insert(SharedPages.Extract(page->PageNo));
    if (session.Mark.Serial != 0) NoteMarkedFresh(session, page);
    return;
  }
  // A look-up's page becomes (or stays) the most recently used kept page; a
  // pass moves only its own scanned pages (invariant 7).
  if (TVLMSortedPageList::Scanned(page)) {
    if (lookedUp) {
      ++Figures_.ScannedKept;
      SharedPages.Keep(page);
    } else {
      SharedPages.Touch(page);
    }
  } else if (lookedUp) {
    SharedPages.Touch(page);
  }
  EvictSharedPages();
}

void TVLMPageManager::ReadPages(TVLMPage* const* pages, int32_t count, bool* ok) {
  VLM_REQUIRE_DATABASE_SECTION();
  for (int32_t i = 0; i < count; ++i) {
    try {
      ok[i] = ReadPage(pages[i]);
    } catch (const std::exception&) {
      ok[i] = false;  // reported by the read that needs the page
    }
  }
}

void TVLMPageManager::ReadAhead(int32_t sessionID, const int32_t* pageNos, int32_t count) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (sessionID == kVLMInvalidSessionID) return;
  const SessionEntry* session = FindSession(sessionID);
  // A run spans at most maxRun page numbers; gaps of a few pages between
  // the pages asked for are read with them (a table's pages lie among its
  // index pages) rather than split the run.
  constexpr int32_t kMaxGap = 4;
  const int32_t maxRun = std::clamp(MaxReadRun(), 1, std::max(ScanLimit / 2, 1));
  std::vector<std::unique_ptr<TVLMPage>> run;
  bool ok[1024];
  auto flush = [&] {
    if (run.empty()) return;
    ReadAheadRun_.clear();
    for (const auto& page : run) ReadAheadRun_.push_back(page.get());
    const auto n = static_cast<int32_t>(run.size());
    std::fill(ok, ok + n, false);
    ReadPages(ReadAheadRun_.data(), n, ok);
    for (int32_t i = 0; i < n; ++i) {
      if (!ok[i]) continue;
      ++Figures_.PagesRead;
      TVLMPage* page = run[static_cast<size_t>(i)].get();
      page->Unchecked_ = true;
      page->FreshlyRead = false;
      SharedPages.Insert(std::move(run[static_cast<size_t>(i)]), true);
      VLM_INVARIANT("VLMPage 8", page->UseCount == 0 && TVLMSortedPageList::Scanned(page));
      PageLoaded(sessionID, page);
    }
    run.clear();
    EvictSharedPages();
  };
  for (int32_t i = 0; i < count; ++i) {
    const int32_t pageNo = pageNos[i];
    const bool held = SharedPages.Find(pageNo) != nullptr ||
                      (session != nullptr && session->PrivatePages.Find(pageNo) != nullptr);
    // In 64 bits: a page number read from a damaged page may lie anywhere.
    const bool ends = !run.empty() && (pageNo <= run.back()->PageNo ||
                                       int64_t{pageNo} - run.back()->PageNo > kMaxGap ||
                                       int64_t{pageNo} - run.front()->PageNo >= maxRun || run.size() >= 1024);
    if (held || ends) flush();
    // A page listed twice was read by the run just flushed.
    if (held || (ends && SharedPages.Find(pageNo) != nullptr)) continue;
    auto page = std::make_unique<TVLMPage>(this);
    page->PageNo = pageNo;
    page->SessionID = sessionID;
    run.push_back(std::move(page));
  }
  flush();
}

void TVLMPageManager::Prefetch(int32_t pageNo, int32_t step, int32_t offset, int32_t length) const {
  VLM_REQUIRE_DATABASE_SECTION();
  constexpr size_t kLine = 64;
  if (step <= 0) {
    if (const void* slot = SharedPages.HomeSlot(pageNo)) __builtin_prefetch(slot);
    return;
  }
  const TVLMPage* page = SharedPages.Find(pageNo);
  if (page == nullptr) return;
  const auto* object = reinterpret_cast<const char*>(page);
  if (step == 1) {
    for (size_t at = 0; at < sizeof(TVLMPage); at += kLine) __builtin_prefetch(object + at);
    return;
  }
  if (page->Buffer == nullptr) return;
  __builtin_prefetch(page->Buffer);
  if (page->Older_ != nullptr) __builtin_prefetch(&page->Older_->Newer_);
  if (page->Newer_ != nullptr) __builtin_prefetch(&page->Newer_->Older_);
  if (offset < 0 || length <= 0 || offset >= page->DataSize()) return;
  const uint8_t* data = page->Data();
  const int32_t end = std::min(offset + length, page->DataSize());
  for (int32_t at = offset; at < end; at += static_cast<int32_t>(kLine)) __builtin_prefetch(data + at);
  __builtin_prefetch(data + end - 1);
}

namespace {

// A session keeps the buckets of its removed-page set up to this many
// between transactions.
constexpr size_t kKeptRemovedBuckets = 1024;

}  // namespace

void TVLMPageManager::RemovePage(int32_t sessionID, int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  SessionEntry& session = GetSession(sessionID);
  ++ViewVersion_;
  if (session.RemovedSet.insert(pageNo).second) session.RemovedPages.Append(pageNo);
  VLM_INVARIANT("VLMPage 10", session.RemovedSet.size() == static_cast<size_t>(session.RemovedPages.Count()));
}

void TVLMPageManager::TrimRemoved(SessionEntry& session, int32_t count) {
  if (count <= 0) {
    // The buckets of a large drop go back to the heap with its transaction.
    if (session.RemovedSet.bucket_count() > kKeptRemovedBuckets)
      std::unordered_set<int32_t>().swap(session.RemovedSet);
    else
      session.RemovedSet.clear();
    session.RemovedPages.SetSize(0);
    return;
  }
  const int32_t* items = session.RemovedPages.Items();
  for (int32_t i = count; i < session.RemovedPages.Count(); ++i) session.RemovedSet.erase(items[i]);
  session.RemovedPages.SetSize(std::min(session.RemovedPages.Count(), count));
}

bool TVLMPageManager::HasSessionChanges(int32_t sessionID) const {
  VLM_REQUIRE_DATABASE_SECTION();
  const SessionEntry* session = FindSession(sessionID);
  return session != nullptr && (session->RemovedPages.Count() > 0 || session->AllocatedPages.Count() > 0 ||
                                session->PrivatePages.Count() > 0);
}

int32_t TVLMPageManager::PrivatePageCount(int32_t sessionID) const {
  VLM_REQUIRE_DATABASE_SECTION();
  const SessionEntry* session = FindSession(sessionID);
  return session ? session->PrivatePages.Count() : 0;
}

std::vector<int32_t> TVLMPageManager::SessionPageNumbers(int32_t sessionID) const {
  VLM_REQUIRE_DATABASE_SECTION();
  std::vector<int32_t> pageNos;
  const SessionEntry* session = FindSession(sessionID);
  if (session == nullptr) return pageNos;
  for (const TVLMPage* page : session->PrivatePages.PagesInOrder()) pageNos.push_back(page->PageNo);
  pageNos.insert(pageNos.end(), session->RemovedPages.Items(),
                 session->RemovedPages.Items() + session->RemovedPages.Count());
  return pageNos;
}

void TVLMPageManager::ForgetSharedCopies(const std::vector<int32_t>& pageNos) {
  VLM_REQUIRE_DATABASE_SECTION();
  ++ViewVersion_;
  for (int32_t pageNo : pageNos) DropSharedCopy(pageNo);
}

void TVLMPageManager::CheckSessionPagesReleased(int32_t sessionID) const {
  for (const TVLMPage* page : InUse_)
    if (page->SessionID == sessionID && page->OwnerList != nullptr && page->OwnerList == &SharedPages)
      throw EVLMException(20152, "Some session pages not released");
  for (const auto& orphan : Orphans_)
    if (orphan.first->SessionID == sessionID) throw EVLMException(20152, "Some session pages not released");
  const SessionEntry* session = FindSession(sessionID);
  if (session == nullptr) return;
  for (const TVLMPage* page : session->PrivatePages.PagesInOrder()) {
    if (!page->Modified) throw EVLMException(20085, "Invalid page");
    if (page->UseCount > 0) throw EVLMException(20086, "Cannot write used page");
  }
}

void TVLMPageManager::Commit(int32_t sessionID) {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckSessionPagesReleased(sessionID);
  SessionEntry* session = FindSession(sessionID);
  if (session == nullptr) return;
  ++ViewVersion_;
  // From here on the session's lists change: no write before it can be
  // undone on its own any more.
  ClearWriteMark(session->Mark);

  // Pages removed in the transaction go back to storage; a page whose free
  // failed stays listed for the next attempt.
  std::vector<int32_t> removed(session->RemovedPages.Items(),
                               session->RemovedPages.Items() + session->RemovedPages.Count());
  TrimRemoved(*session, 0);
  session->AllocatedPages.SetSize(0);
  for (size_t i = 0; i < removed.size(); ++i) {
    int32_t pageNo = removed[i];
    try {
      FreePage(pageNo);
    } catch (...) {
      for (size_t j = i; j < removed.size(); ++j) {
        session->RemovedPages.Append(removed[j]);
        session->RemovedSet.insert(removed[j]);
      }
      throw;
    }
    if (session->PrivatePages.Find(pageNo) != nullptr) session->PrivatePages.Extract(pageNo);
    DropSharedCopy(pageNo);
  }

  const std::vector<TVLMPage*> pages = session->PrivatePages.PagesInOrder();
  const auto maxRun = static_cast<size_t>(std::max(MaxWriteRun(), 1));
  int64_t written = -1;
  for (size_t first = 0; first < pages.size();) {
    size_t end = first + 1;
    while (end < pages.size() && end - first < maxRun && pages[end]->PageNo == pages[end - 1]->PageNo + 1) ++end;
    WritePages(pages.data() + first, static_cast<int32_t>(end - first));
    for (size_t i = first; i < end; ++i) {
      TVLMPage* page = pages[i];
      VLM_INVARIANT("VLMPage 5", written < page->PageNo);
      written = page->PageNo;
      page->Modified = false;
      std::unique_ptr<TVLMPage> own = session->PrivatePages.Extract(page->PageNo);
      // The committed copy replaces whatever the cache held for the number.
      DropSharedCopy(own->PageNo);
      VLM_INVARIANT("VLMPage 2", !own->Modified && SharedPages.Find(own->PageNo) == nullptr);
      if (SharedPages.Count() < CacheLimit) SharedPages.Insert(std::move(own));
    }
    first = end;
  }
}

void TVLMPageManager::WritePages(TVLMPage* const* pages, int32_t count) {
  VLM_REQUIRE_DATABASE_SECTION();
  for (int32_t i = 0; i < count; ++i) WritePage(pages[i]);
}

void TVLMPageManager::RollbackSession(int32_t sessionID) {
  VLM_REQUIRE_DATABASE_SECTION();
  SessionEntry* session = FindSession(sessionID);
  if (session == nullptr) return;
  ++ViewVersion_;
  for (const TVLMPage* page : session->PrivatePages.PagesInOrder()) {
    if (!page->Modified) throw EVLMException(20087, "Invalid index page");
    if (page->UseCount > 0) throw EVLMException(20088, "Cannot remove used page");
  }
  ClearWriteMark(session->Mark);
  session->PrivatePages.Clear();
  // The session stamped the shared pages it read with its table's change
  // stamp, uncommitted changes counted; another session's commit may reach
  // the same stamp with other contents, so none of them vouches any more.
  for (TVLMPage* oldest : {SharedPages.Oldest(), SharedPages.OldestScanned()})
    for (TVLMPage* page = oldest; page != nullptr; page = TVLMSortedPageList::NextNewer(page))
      page->ForgetSessionCounter(sessionID);
  std::vector<int32_t> allocated(session->AllocatedPages.Items(),
                                 session->AllocatedPages.Items() + session->AllocatedPages.Count());
  session->AllocatedPages.SetSize(0);
  TrimRemoved(*session, 0);
  for (int32_t pageNo : allocated) FreePage(pageNo);
}

// -------------------------------------------------------------- write marks

namespace {

// Image buffers beyond this go back to the heap when a mark ends: a write
// that changed many pages does not hold their copies for every later one.
constexpr size_t kKeptImageBuffers = 64;

}  // namespace

void TVLMPageManager::ClearWriteMark(WriteMarkState& mark) {
  mark.Serial = 0;
  mark.Images.clear();
  mark.Fresh.clear();
  mark.SharedTaken.clear();
  if (mark.ImageBuffers.size() > kKeptImageBuffers) mark.ImageBuffers.resize(kKeptImageBuffers);
}

void TVLMPageManager::NoteMarkedPrivate(SessionEntry& session, TVLMPage* page) {
  WriteMarkState& mark = session.Mark;
  if (mark.ImageSize != PageSize) {
    mark.ImageBuffers.clear();
    mark.ImageSize = PageSize;
  }
  const size_t n = mark.Images.size();
  if (n == mark.ImageBuffers.size()) mark.ImageBuffers.push_back(std::make_unique_for_overwrite<uint8_t[]>(PageSize));
  std::memcpy(mark.ImageBuffers[n].get(), page->Buffer, PageSize);
  mark.Images.push_back(page->PageNo);
  page->WriteMark_ = mark.Serial;
}

void TVLMPageManager::NoteMarkedFresh(SessionEntry& session, TVLMPage* page) {
  session.Mark.Fresh.push_back(page->PageNo);
  page->WriteMark_ = session.Mark.Serial;
}

void TVLMPageManager::NoteMarkedShared(SessionEntry& session, TVLMPage* page) {
  session.Mark.SharedTaken.push_back(page->PageNo);
  page->WriteMark_ = session.Mark.Serial;
}

bool TVLMPageManager::BeginWriteMark(int32_t sessionID) {
  VLM_REQUIRE_DATABASE_SECTION();
  SessionEntry& session = GetSession(sessionID);
  WriteMarkState& mark = session.Mark;
  if (mark.Serial != 0) return false;
  mark.Serial = ++WriteMarkSerial_;
  mark.AllocatedCount = session.AllocatedPages.Count();
  mark.RemovedCount = session.RemovedPages.Count();
  return true;
}

void TVLMPageManager::EndWriteMark(int32_t sessionID) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (SessionEntry* session = FindSession(sessionID)) ClearWriteMark(session->Mark);
}

void TVLMPageManager::UndoWriteMark(int32_t sessionID) {
  VLM_REQUIRE_DATABASE_SECTION();
  SessionEntry* session = FindSession(sessionID);
  if (session == nullptr || session->Mark.Serial == 0) return;
  WriteMarkState& mark = session->Mark;
  ++ViewVersion_;
  for (int32_t pageNo : mark.Fresh) {
    if (session->PrivatePages.Find(pageNo) == nullptr) continue;
    std::unique_ptr<TVLMPage> page = session->PrivatePages.Extract(pageNo);
    // The write released every page it took before its error left it.
    VLM_INVARIANT("VLMPage 9", page->UseCount == 0);
    if (page->UseCount > 0) {
      // Dropped when its user lets go (an orphan that is not modified).
      page->Modified = false;
      TVLMPage* raw = page.get();
      Orphans_[raw] = std::move(page);
    }
  }
  for (size_t i = 0; i < mark.Images.size(); ++i)
    if (TVLMPage* page = session->PrivatePages.Find(mark.Images[i]))
      std::memcpy(page->Buffer, mark.ImageBuffers[i].get(), PageSize);
  for (int32_t pageNo : mark.SharedTaken) DropSharedCopy(pageNo);
  // As after a rollback: the stamps the session put on shared pages counted
  // the write's changes.
  for (TVLMPage* oldest : {SharedPages.Oldest(), SharedPages.OldestScanned()})
    for (TVLMPage* page = oldest; page != nullptr; page = TVLMSortedPageList::NextNewer(page))
      page->ForgetSessionCounter(sessionID);
  std::vector<int32_t> allocated;
  if (session->AllocatedPages.Count() > mark.AllocatedCount)
    allocated.assign(session->AllocatedPages.Items() + mark.AllocatedCount,
                     session->AllocatedPages.Items() + session->AllocatedPages.Count());
  session->AllocatedPages.SetSize(std::min(session->AllocatedPages.Count(), mark.AllocatedCount));
  TrimRemoved(*session, mark.RemovedCount);
  ClearWriteMark(mark);
  for (int32_t pageNo : allocated) {
    try {
      FreePage(pageNo);
    } catch (...) {
      // The page stays marked used and is reached by nothing: the next open
      // that has the file alone gives it back.
    }
  }
}

void TVLMPageManager::CheckNoUncommittedPages() const {
  VLM_REQUIRE_DATABASE_SECTION();
  for (const auto& session : Sessions_)
    if (session->PrivatePages.Count() > 0) throw EVLMException(20097, "Cannot free non-commited pages");
}

void TVLMPageManager::DropSharedPages() {
  VLM_REQUIRE_DATABASE_SECTION();
  ++ViewVersion_;
  // Kept and scanned pages alike (invariant 7 keeps them in two orders).
  for (TVLMPage* page : {SharedPages.Oldest(), SharedPages.OldestScanned()})
    while (page != nullptr) {
      TVLMPage* next = TVLMSortedPageList::NextNewer(page);
      if (page->UseCount == 0) SharedPages.Extract(page->PageNo);
      page = next;
    }
}

// -------------------------------------------------------------- TVLMHeldPage

void TVLMHeldPage::Release() noexcept {
  if (Manager_ != nullptr && Page_ != nullptr) {
    try {
      Manager_->ReleasePage(Page_);
    } catch (...) {
      // Releasing a page that was taken can only fail on a broken count;
      // nothing better can be done while a scope unwinds.
    }
  }
  Page_ = nullptr;
}
