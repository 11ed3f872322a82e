// VLMDiskEngine, free-space part: the PFS and EAM maps, allocation, growth
// and shrinking. The map layout is described in VLMDiskEngineFreeSpace.h.
//
// Crash safety. Write-through allocation and freeing write the maps first
// and the header (LastUsedPage, PageCount) last, outside any commit. A
// process stopped in between leaves a header that lags behind the maps:
// pages marked used above LastUsedPage, map bits of pages beyond PageCount,
// a file longer than PageCount. Growth therefore trusts the maps: it raises
// LastUsedPage to the highest used page they show, and clears the bits and
// extent states that describe pages beyond PageCount before it adds pages.
// No page that a commit can reference is lost that way: a page is
// referenced only after its allocation wrote the header.
//
// State in memory. While this handle is the file's only writer
// (TVLMDiskPageManager::SoleWriter: its owner holds the single-user lock),
// nothing but this manager changes the maps, and the header changes only
// through the page manager, whose copy of it is then the truth. Every
// operation then keeps its changes in memory: map pages, LastUsedPage and
// PageCount, also when it grows the file (only the file's size changes at
// once: a file longer than its header says is harmless) or shrinks it (the
// counts only). The next commit takes them (WriteDeferredMaps) and writes
// them, journalled, with its pages; so the maps on disk change only in
// commits and always agree with the header and with each other, and a
// process stopped between commits leaves them as the last commit wrote
// them: no page of an interrupted transaction stays marked used. A bulk
// load thereby writes each map page once per commit instead of once per
// page.
//
// A commit of any handle (BeginCommit .. EndCommit) does the same with the
// frees of its removed pages: it holds the database lock, and writes the
// maps and counts itself.
//
// Write-through. Any other handle (a multi-user connection, a reader of a
// file another process writes) rereads the header under the database lock
// for every operation and writes the maps first and the counts last, at
// once, outside commits. A process stopped in between leaves a header that
// lags behind the maps (handled by growth, see Crash safety) and perhaps an
// extent state that disagrees with its page bits; one stopped, or a
// statement that failed, before its commit leaves the pages its session
// took marked used. The next open that has the file to itself sets all of
// them right (ReclaimUnwrittenPages, ReconcileExtentMap). Nothing is
// written through while another connection's cut commit waits for its
// rollback (10741).
#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "platform/host/ScopeExit.h"

namespace {

// Clears bits [from, to) of a bitmap; true when a bit changed.
bool ClearBits(uint8_t* bits, int64_t from, int64_t to) {
  bool changed = false;
  for (int64_t i = from; i < to; ++i) {
    if (i % 8 == 0 && i + 8 <= to) {
      // Whole bytes at once.
      int64_t bytes = (to - i) / 8;
      for (int64_t b = 0; b < bytes; ++b) {
        uint8_t& byte = bits[i / 8 + b];
        if (byte != 0) {
          byte = 0;
          changed = true;
        }
      }
      i += bytes * 8 - 1;
      continue;
    }
    uint8_t mask = static_cast<uint8_t>(1u << (i % 8));
    if (bits[i / 8] & mask) {
      bits[i / 8] = static_cast<uint8_t>(bits[i / 8] & ~mask);
      changed = true;
    }
  }
  return changed;
}

}  // namespace

// One allocation, free or map change: the database lock (when asked and
// writing through), the header state loaded at the start and saved by
// Finish, the map pages cached until the outermost operation ends (or kept,
// in memory, see above).
class TVLMDatabaseFreeSpaceManager::Operation {
public:
  Operation(TVLMDatabaseFreeSpaceManager* manager, int32_t lockErrorCode)
      : Scope_(manager->PageManager), Manager_(manager), Exceptions_(std::uncaught_exceptions()) {
    if (Manager_->OperationDepth_++ > 0) {
      Nested_ = true;
      return;
    }
    try {
      TVLMDiskPageManager* pm = Manager_->PageManager;
      LockCode_ = lockErrorCode;
      Manager_->Current_ = this;
      if (Manager_->InCommit_) {
        // The commit loaded the state under its lock and writes the changes.
        Deferring_ = true;
        return;
      }
      if (pm->SoleWriter()) {
        Deferring_ = true;
        if ((!Manager_->StateValid_ || Manager_->StateEpoch_ != pm->HeaderEpoch()) && !Manager_->HasDeferred()) {
          Manager_->DropState();
          Manager_->LoadHeaderState();
          if (lockErrorCode != 0) pm->CheckFileHoldsPages();
        }
        return;
      }
      EnsureLocked();
      // Its rollback would undo these writes of the maps, and the header
      // written here would no longer match its journal.
      if (lockErrorCode != 0) pm->CheckNoInterruptedCommit();
      Manager_->FlushDeferred();
      Manager_->DropState();
      Manager_->LoadHeaderState();
      // Growth and shrinking size the file from the header's count.
      if (lockErrorCode != 0) pm->CheckFileHoldsPages();
    } catch (...) {
      Failed_ = true;
      End();
      throw;
    }
  }
  ~Operation() { End(); }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  void Finish() {
    if (!Nested_) Manager_->SaveHeaderState();
  }
  // Changes stay in memory until a commit writes them.
  bool Deferring() const { return Deferring_; }
  void EnsureLocked() {
    if (Locked_ || LockCode_ == 0) return;
    TVLMDiskPageManager* pm = Manager_->PageManager;
    const TVLMRetrySettings& settings = VLMRetrySettings();
    if (!RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs, [pm] { return pm->LockDatabase(); }))
      throw EVLMException(LockCode_, "Database is locked");
    Locked_ = true;
  }

private:
  void End() noexcept {
    if (Ended_) return;
    Ended_ = true;
    if (--Manager_->OperationDepth_ > 0) return;
    Manager_->Current_ = nullptr;
    TVLMDiskPageManager* pm = Manager_->PageManager;
    if (!Failed_ && std::uncaught_exceptions() <= Exceptions_ && (Manager_->InCommit_ || pm->SoleWriter())) {
      Manager_->StateValid_ = true;
      Manager_->StateEpoch_ = pm->HeaderEpoch();
    } else if (Manager_->HasDeferred()) {
      // Kept: they describe pages handed out before; the next commit
      // writes them, or drops them with its own changes when it fails.
      Manager_->StateValid_ = false;
    } else {
      Manager_->DropState();
    }
    if (Locked_) {
      try {
        Manager_->PageManager->UnlockDatabase();
      } catch (...) {
        // The lock goes with the handle.
      }
    }
  }

  TVLMDiskPageManager::FileScope Scope_;
  TVLMDatabaseFreeSpaceManager* Manager_;
  int Exceptions_;  // exceptions in flight when the operation began
  int32_t LockCode_ = 0;
  bool Deferring_ = false;
  bool Failed_ = false;
  bool Nested_ = false;
  bool Locked_ = false;
  bool Ended_ = false;
};

TVLMDatabaseFreeSpaceManager::TVLMDatabaseFreeSpaceManager(TVLMDiskPageManager* pageManager)
    : PageManager(pageManager) {
  const TVLMDatabaseHeader& header = pageManager->Header;
  ExtentSize = header.ExtentSize;
  const int64_t d = pageManager->PageDataSize;
  const int64_t q = d * 4 * ExtentSize;
  if (ExtentSize < 1 || d < 1 || q > INT32_MAX)
    throw EVLMException(10463, "Invalid database format. PageSize = %d, ExtentSize = %d",
                        {static_cast<int>(header.PageSize), static_cast<int>(header.ExtentSize)});
  PagesPerPFS = static_cast<int32_t>(d * 8);
  ExtentsPerEAM = static_cast<int32_t>(d * 4);
  PagesPerEAM = static_cast<int32_t>(q);
  LastUsedPage = header.LastUsedPage;
  TotalPageCount = static_cast<int32_t>(std::min<uint32_t>(header.PageCount, INT32_MAX));
}

TVLMDatabaseFreeSpaceManager::~TVLMDatabaseFreeSpaceManager() = default;

bool TVLMDatabaseFreeSpaceManager::IsSystemPage(int32_t pageNo) const {
  if (pageNo < 0) return false;
  // Every page taken from the cache is tested: 32-bit divisions, and the
  // second pair only for a page right after a PFS position.
  const auto p = static_cast<uint32_t>(pageNo);
  const auto pfs = static_cast<uint32_t>(PagesPerPFS);
  const auto eam = static_cast<uint32_t>(PagesPerEAM);
  // Below both periods only pages 0 and 1 can be map pages: the whole file
  // of a database under P pages answers without a division.
  if (p >= 2 && p < pfs && p < eam) return false;
  if (p % pfs == 0 || p % eam == 0) return true;
  return p >= 1 && (p - 1) % pfs == 0 && (p - 1) % eam == 0;
}

void TVLMDatabaseFreeSpaceManager::CheckNotSystemPage(int32_t pageNo) const {
  if (IsSystemPage(pageNo)) throw EVLMException(30434, "Cannot delete PFS or EAM page. PageNo=%d", {pageNo});
}

int32_t TVLMDatabaseFreeSpaceManager::GrowStep() const {
  if (TotalPageCount == 0) return 6;
  return std::max(TotalPageCount / 10, ExtentSize);
}

int64_t TVLMDatabaseFreeSpaceManager::EAMPagePosition(int64_t j) const {
  int64_t position = j * PagesPerEAM;
  if (position % PagesPerPFS == 0) ++position;
  return position;
}

int32_t TVLMDatabaseFreeSpaceManager::NextNonSystemPage(int64_t pageNo) const {
  while (pageNo <= INT32_MAX && IsSystemPage(static_cast<int32_t>(pageNo))) ++pageNo;
  if (pageNo > INT32_MAX) throw EVLMException(30390, "Database file is full. PageCount = %d", {static_cast<long long>(pageNo)});
  return static_cast<int32_t>(pageNo);
}

// ------------------------------------------------------------ header state

void TVLMDatabaseFreeSpaceManager::DropState() {
  LastUsedExact_ = false;
  MapPages_.clear();
  DirtyMaps_.clear();
  HeaderDirty_ = false;
  StateValid_ = false;
}

bool TVLMDatabaseFreeSpaceManager::HasDeferred() const { return !DirtyMaps_.empty() || HeaderDirty_; }

void TVLMDatabaseFreeSpaceManager::FlushDeferred(bool headerToo) {
  if (!HasDeferred() || Flushing_) return;
  Flushing_ = true;
  auto done = qv::ScopeExit([this] { Flushing_ = false; });
  // Under the database lock like any header update (nested when the caller
  // holds it already).
  TVLMDiskPageManager* pm = PageManager;
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs, [pm] { return pm->LockDatabase(); }))
    throw EVLMException(20231, "Database is locked");
  auto unlock = qv::ScopeExit([pm] {
    try {
      pm->UnlockDatabase();
    } catch (...) {
      // The lock goes with the handle.
    }
  });
  if (headerToo && HeaderDirty_)
    PageManager->CheckHeaderCounts(PageManager->Header.PageCount, PageManager->Header.LastUsedPage);
  // Ascending page order; a page leaves the set only once it is written.
  std::vector<int64_t> pages(DirtyMaps_.begin(), DirtyMaps_.end());
  std::sort(pages.begin(), pages.end());
  for (int64_t pageNo : pages) {
    auto it = MapPages_.find(pageNo);
    if (it != MapPages_.end()) PageManager->WritePage(it->second.get());
    DirtyMaps_.erase(pageNo);
  }
  if (headerToo && HeaderDirty_) PageManager->WriteHeader(true);
  HeaderDirty_ = false;
}

// ------------------------------------------------------------------ commits

void TVLMDatabaseFreeSpaceManager::BeginCommit() {
  TVLMDiskPageManager* pm = PageManager;
  const bool kept = pm->SoleWriter() && StateValid_ && StateEpoch_ == pm->HeaderEpoch();
  if (HasDeferred()) {
    // Changes kept in memory are the commit's, also when the header was
    // read again since (the single-user lock is being released).
    pm->Header.LastUsedPage = LastUsedPage;
    pm->Header.PageCount = static_cast<uint32_t>(TotalPageCount);
    pm->PageCount = TotalPageCount;
  } else if (!kept) {
    DropState();
    LoadHeaderState();
  }
  InCommit_ = true;
}

void TVLMDatabaseFreeSpaceManager::WriteDeferredMaps() {
  std::vector<int64_t> pages(DirtyMaps_.begin(), DirtyMaps_.end());
  std::sort(pages.begin(), pages.end());
  for (int64_t pageNo : pages) {
    auto it = MapPages_.find(pageNo);
    if (it != MapPages_.end()) PageManager->WritePage(it->second.get());
  }
}

void TVLMDatabaseFreeSpaceManager::EndCommit(bool written) {
  InCommit_ = false;
  if (!written) {
    DropState();
    return;
  }
  DirtyMaps_.clear();
  HeaderDirty_ = false;
  LoadedLastUsedPage_ = LastUsedPage;
  LoadedTotalPageCount_ = TotalPageCount;
  if (PageManager->SoleWriter()) {
    StateValid_ = true;
    StateEpoch_ = PageManager->HeaderEpoch();
  } else {
    DropState();
  }
}

void TVLMDatabaseFreeSpaceManager::TruncateUnused() {
  Operation op(this, 20232);
  int64_t newTotal = static_cast<int64_t>(LastUsedPage) + 1;
  // Never end the file on a map page (its partner may be the page cut off).
  while (newTotal > 0 && newTotal < TotalPageCount && IsSystemPage(static_cast<int32_t>(newTotal - 1))) ++newTotal;
  if (newTotal < TotalPageCount) ShrinkInMemory(newTotal);
  op.Finish();
}

bool TVLMDatabaseFreeSpaceManager::ReclaimUnwrittenPages() {
  bool changed = false;
  try {
    Operation op(this, 20232);
    const int32_t dataSize = PageManager->PageDataSize;
    std::vector<int32_t> unwritten;
    for (int64_t k = 0; k * PagesPerPFS < TotalPageCount; ++k) {
      const uint8_t* bits = MapPage(k * PagesPerPFS, kVLMPagePFS, 30432)->Data();
      for (int32_t b = 0; b < dataSize; ++b) {
        if (bits[b] == 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
          const int64_t page = k * PagesPerPFS + static_cast<int64_t>(b) * 8 + bit;
          if ((bits[b] & (1u << bit)) == 0 || page >= TotalPageCount || IsSystemPage(static_cast<int32_t>(page)))
            continue;
          if (!PageManager->HoldsWrittenPage(static_cast<int32_t>(page))) unwritten.push_back(static_cast<int32_t>(page));
        }
      }
    }
    for (int32_t page : unwritten) DoSetPageState(page, false);
    const int32_t last = FindLastUsedPage();
    changed = !unwritten.empty() || last != LastUsedPage;
    LastUsedPage = last;
    LastUsedExact_ = true;
    if (changed) Shrink();
    op.Finish();
  } catch (const EVLMException&) {
    // A map page that cannot be read: the file needs more than this.
    DropState();
    LastUsedPage = PageManager->Header.LastUsedPage;
    TotalPageCount = static_cast<int32_t>(std::min<uint32_t>(PageManager->Header.PageCount, INT32_MAX));
    return false;
  }
  return changed;
}

bool TVLMDatabaseFreeSpaceManager::ReconcileExtentMap() {
  bool changed = false;
  try {
    Operation op(this, 20231);
    const int64_t extents = (static_cast<int64_t>(TotalPageCount) + ExtentSize - 1) / ExtentSize;
    for (int64_t extent = 0; extent < extents; ++extent) {
      bool anyFree = false;
      for (int64_t p = extent * ExtentSize; p < (extent + 1) * ExtentSize && !anyFree; ++p)
        anyFree = p >= TotalPageCount || !PageBit(static_cast<int32_t>(p));
      TVLMPage* eam = MapPage(EAMPagePosition(extent / ExtentsPerEAM), kVLMPageEAM, 30428);
      const int64_t local = extent % ExtentsPerEAM;
      uint8_t& byte = eam->Data()[local / 4];
      const int shift = static_cast<int>(local % 4) * 2;
      const bool storedFull = ((byte >> shift) & 3) >= 2;
      // Only full against not full matters to the search; a state not yet
      // computed (0) stands for room like 1.
      if (storedFull == !anyFree) continue;
      byte = static_cast<uint8_t>((byte & ~(3u << shift)) | ((anyFree ? 1u : 3u) << shift));
      WriteMapPage(eam);
      changed = true;
    }
    op.Finish();
  } catch (const EVLMException&) {
    DropState();
    return false;
  }
  return changed;
}

void TVLMDatabaseFreeSpaceManager::LoadHeaderState() {
  PageManager->ReadHeader();
  const TVLMDatabaseHeader& header = PageManager->Header;
  // LastUsedPage and PageCount are written together, so a used page always
  // lies inside the file.
  if (header.PageCount > static_cast<uint32_t>(INT32_MAX) || header.LastUsedPage < -1 ||
      static_cast<int64_t>(header.LastUsedPage) >= static_cast<int64_t>(header.PageCount))
    throw EVLMException(30435, "Invalid page counts in database header. PageCount = %u, LastUsedPage = %d",
                        {header.PageCount, header.LastUsedPage});
  LastUsedPage = LoadedLastUsedPage_ = header.LastUsedPage;
  LastUsedExact_ = false;
  TotalPageCount = LoadedTotalPageCount_ = static_cast<int32_t>(header.PageCount);
}

void TVLMDatabaseFreeSpaceManager::SaveHeaderState() {
  if (LastUsedPage == LoadedLastUsedPage_ && TotalPageCount == LoadedTotalPageCount_) return;
  PageManager->Header.LastUsedPage = LastUsedPage;
  PageManager->Header.PageCount = static_cast<uint32_t>(TotalPageCount);
  PageManager->PageCount = TotalPageCount;
  if (Current_ != nullptr && Current_->Deferring()) {
    HeaderDirty_ = true;
  } else {
    if (Current_ != nullptr) Current_->EnsureLocked();
    // A header that counts new pages goes only once the file's new length
    // and its new map pages are on disk: written in another order, a cut
    // could keep the count and lose the map pages.
    if (TotalPageCount > LoadedTotalPageCount_ && PageManager->SyncOnCommit) PageManager->FlushBuffers();
    PageManager->CheckHeaderCounts(PageManager->Header.PageCount, PageManager->Header.LastUsedPage);
    PageManager->WriteHeader(true);
  }
  LoadedLastUsedPage_ = LastUsedPage;
  LoadedTotalPageCount_ = TotalPageCount;
}

// ---------------------------------------------------------------- map pages

TVLMPage* TVLMDatabaseFreeSpaceManager::MapPage(int64_t pageNo, uint16_t pageType, int32_t errorCode) {
  auto it = MapPages_.find(pageNo);
  if (it != MapPages_.end()) {
    CheckPageType(it->second->GetPageType(), pageType, errorCode);
    return it->second.get();
  }
  if (pageNo > INT32_MAX) throw EVLMException(10471, "Invalid PageNo = %d", {static_cast<long long>(pageNo)});
  auto page = std::make_unique<TVLMPage>(PageManager);
  page->PageNo = static_cast<int32_t>(pageNo);
  page->SessionID = kVLMSystemSessionID;
  page->AllocateBuffer();
  // A failed read leaves a fresh header of type 0, which the check refuses.
  PageManager->ReadPage(page.get());
  CheckPageType(page->GetPageType(), pageType, errorCode);
  TVLMPage* raw = page.get();
  MapPages_[pageNo] = std::move(page);
  return raw;
}

void TVLMDatabaseFreeSpaceManager::WriteMapPage(TVLMPage* page) {
  if (Current_ != nullptr && Current_->Deferring()) {
    DirtyMaps_.insert(page->PageNo);
    return;
  }
  if (Current_ != nullptr) Current_->EnsureLocked();
  PageManager->WritePage(page);
  DirtyMaps_.erase(page->PageNo);
}

void TVLMDatabaseFreeSpaceManager::WriteNewMapPage(int64_t pageNo, uint16_t pageType) {
  auto page = std::make_unique<TVLMPage>(PageManager);
  page->PageNo = static_cast<int32_t>(pageNo);
  page->SessionID = kVLMSystemSessionID;
  page->AllocateBuffer();
  page->SetPageType(pageType);
  page->Data()[0] = 1;  // a new map page marks its own first page or extent used
  TVLMPage* raw = page.get();
  MapPages_[pageNo] = std::move(page);
  WriteMapPage(raw);
}

bool TVLMDatabaseFreeSpaceManager::PageBit(int32_t pageNo) {
  // Pages beyond the file are free, whatever a stale bit says.
  if (pageNo < 0 || pageNo >= TotalPageCount) return false;
  const int64_t p = pageNo;
  TVLMPage* pfs = MapPage((p / PagesPerPFS) * PagesPerPFS, kVLMPagePFS, 30430);
  const int64_t bit = p % PagesPerPFS;
  return (pfs->Data()[bit / 8] >> (bit % 8)) & 1;
}

void TVLMDatabaseFreeSpaceManager::SetPFSBit(int32_t pageNo, bool used) {
  if (pageNo < 0 || pageNo >= TotalPageCount)
    throw EVLMException(30430, "Page: %d cannot be addressed. TotalPageCount=%d", {pageNo, TotalPageCount});
  const int64_t p = pageNo;
  TVLMPage* pfs = MapPage((p / PagesPerPFS) * PagesPerPFS, kVLMPagePFS, 30424);
  const int64_t bit = p % PagesPerPFS;
  uint8_t& byte = pfs->Data()[bit / 8];
  const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
  const bool isSet = (byte & mask) != 0;
  if (used && isSet) throw EVLMException(30425, "Page: %d already used", {pageNo});
  if (!used && !isSet) throw EVLMException(30427, "Page: %d already free", {pageNo});
  byte = static_cast<uint8_t>(byte ^ mask);
  WriteMapPage(pfs);
}

void TVLMDatabaseFreeSpaceManager::UpdateEAM(int32_t pageNo) {
  if (pageNo < 0 || pageNo >= TotalPageCount)
    throw EVLMException(30431, "Page: %d cannot be addressed. TotalPageCount=%d", {pageNo, TotalPageCount});
  const int64_t extent = static_cast<int64_t>(pageNo) / ExtentSize;
  int32_t used = 0, free = 0;
  for (int64_t q = extent * ExtentSize; q < (extent + 1) * ExtentSize && !(used > 0 && free > 0); ++q) {
    if (q <= INT32_MAX && PageBit(static_cast<int32_t>(q))) ++used;
    else ++free;
  }
  const uint8_t state = (used > 0 && free == 0) ? 3 : (used + free > 0 ? 1 : 0);
  TVLMPage* eam = MapPage(EAMPagePosition(extent / ExtentsPerEAM), kVLMPageEAM, 30429);
  const int64_t local = extent % ExtentsPerEAM;
  uint8_t& byte = eam->Data()[local / 4];
  const int shift = static_cast<int>(local % 4) * 2;
  const uint8_t updated = static_cast<uint8_t>((byte & ~(3u << shift)) | (state << shift));
  if (updated == byte) return;
  byte = updated;
  WriteMapPage(eam);
}

void TVLMDatabaseFreeSpaceManager::DoSetPageState(int32_t pageNo, bool used) {
  SetPFSBit(pageNo, used);
  UpdateEAM(pageNo);
}

// --------------------------------------------------------------- operations

int32_t TVLMDatabaseFreeSpaceManager::AllocatePage() {
  Operation op(this, 20231);
  int32_t page = FindFreePage();
  if (page == -1) page = Grow();
  LastUsedPage = std::max(LastUsedPage, page);
  op.Finish();
  return page;
}

void TVLMDatabaseFreeSpaceManager::FreePage(int32_t pageNo) {
  CheckNotSystemPage(pageNo);
  Operation op(this, 20232);
  DoSetPageState(pageNo, false);
  // A page below the highest used one leaves it where it is; freeing that
  // one, the scan goes on down from it.
  if (!LastUsedExact_ || pageNo == LastUsedPage) {
    LastUsedPage = FindLastUsedPage(LastUsedExact_ ? static_cast<int64_t>(pageNo) - 1 : INT64_MAX);
    LastUsedExact_ = true;
  }
  Shrink();
  op.Finish();
}

void TVLMDatabaseFreeSpaceManager::SetPageState(int32_t pageNo, bool used) {
  CheckNotSystemPage(pageNo);
  Operation op(this, used ? 20231 : 20232);
  DoSetPageState(pageNo, used);
  if (used)
    LastUsedPage = std::max(LastUsedPage, pageNo);
  else if (pageNo == LastUsedPage)
    LastUsedExact_ = false;
  op.Finish();
}

bool TVLMDatabaseFreeSpaceManager::IsPageUsed(int32_t pageNo) {
  Operation op(this, 0);
  return PageBit(pageNo);
}

int32_t TVLMDatabaseFreeSpaceManager::FindFreePage() {
  if (LastUsedPage == -1 || TotalPageCount <= 0) return -1;
  const int64_t last = static_cast<int64_t>(TotalPageCount - 1) / PagesPerEAM;
  int32_t page = SearchEAM(last);
  for (int64_t j = 0; page < 0 && j < last; ++j) page = SearchEAM(j);
  if (page >= 0) DoSetPageState(page, true);
  return page;
}

int32_t TVLMDatabaseFreeSpaceManager::SearchEAM(int64_t j) {
  const int64_t position = EAMPagePosition(j);
  if (position >= TotalPageCount) return -1;
  TVLMPage* eam = MapPage(position, kVLMPageEAM, 30423);
  const uint8_t* states = eam->Data();
  const int32_t dataSize = PageManager->PageDataSize;
  int64_t extent = -1;
  for (int32_t b = 0; b < dataSize && extent < 0; ++b) {
    if (states[b] == 255) continue;
    for (int field = 0; field < 4; ++field) {
      if (((states[b] >> (field * 2)) & 3) < 2) {
        extent = j * ExtentsPerEAM + static_cast<int64_t>(b) * 4 + field;
        break;
      }
    }
  }
  if (extent < 0) return -1;

  const int64_t firstPFS = extent * ExtentSize / PagesPerPFS;
  int64_t lastPFS = ((extent + 1) * ExtentSize - 1) / PagesPerPFS;
  if (firstPFS * PagesPerPFS >= TotalPageCount) return -1;
  while (lastPFS * PagesPerPFS >= TotalPageCount) --lastPFS;
  if (lastPFS < firstPFS) return -1;

  int64_t candidate = -1;
  for (int64_t k = firstPFS; k <= lastPFS; ++k) {
    TVLMPage* pfs = MapPage(k * PagesPerPFS, kVLMPagePFS, 30423);
    const uint8_t* bits = pfs->Data();
    int64_t found = -1;
    for (int32_t b = 0; b < dataSize && found < 0; ++b) {
      if (bits[b] == 255) continue;
      for (int bit = 0; bit < 8; ++bit) {
        if (bits[b] & (1u << bit)) continue;
        int64_t page = k * PagesPerPFS + static_cast<int64_t>(b) * 8 + bit;
        // A map page is never handed out, even when a damaged map says free.
        if (page <= INT32_MAX && IsSystemPage(static_cast<int32_t>(page))) continue;
        found = page;
        break;
      }
    }
    if (found >= 0) candidate = found;
  }
  if (candidate >= 0 && candidate < TotalPageCount) return static_cast<int32_t>(candidate);
  return -1;
}

void TVLMDatabaseFreeSpaceManager::TrustMap() {
  const int32_t mapLast = FindLastUsedPage();
  if (mapLast > LastUsedPage) LastUsedPage = mapLast;

  // Bits and extent states of pages beyond PageCount describe nothing.
  const int64_t total = TotalPageCount;
  const int64_t k = (total - 1) / PagesPerPFS;
  TVLMPage* pfs = MapPage(k * PagesPerPFS, kVLMPagePFS, 30426);
  if (ClearBits(pfs->Data(), total - k * PagesPerPFS, PagesPerPFS)) WriteMapPage(pfs);

  const int64_t j = (total - 1) / PagesPerEAM;
  TVLMPage* eam = MapPage(EAMPagePosition(j), kVLMPageEAM, 30428);
  const int64_t firstExtent = (total + ExtentSize - 1) / ExtentSize - j * ExtentsPerEAM;
  if (firstExtent < ExtentsPerEAM && ClearBits(eam->Data(), firstExtent * 2, static_cast<int64_t>(ExtentsPerEAM) * 2))
    WriteMapPage(eam);
  if (total % ExtentSize != 0) UpdateEAM(static_cast<int32_t>(total - 1));
}

int32_t TVLMDatabaseFreeSpaceManager::Grow() {
  if (Current_ != nullptr && !Current_->Deferring()) Current_->EnsureLocked();
  const bool wasEmpty = LastUsedPage == -1 || TotalPageCount <= 0;
  if (!wasEmpty) TrustMap();
  const int64_t total = TotalPageCount;
  const int64_t oldLastPFS = wasEmpty ? -1 : (total - 1) / PagesPerPFS;
  const int64_t oldLastEAM = wasEmpty ? -1 : (total - 1) / PagesPerEAM;

  const int32_t newPage = NextNonSystemPage(static_cast<int64_t>(LastUsedPage) + 1);
  int64_t n = GrowStep();
  if (total + n <= newPage) n = newPage - total + 1;
  while (total + n - 1 <= INT32_MAX && IsSystemPage(static_cast<int32_t>(total + n - 1))) ++n;
  if (total + n > INT32_MAX)
    throw EVLMException(30390, "Database file is full. PageCount = %d", {static_cast<long long>(total + n)});
  PageManager->AddPages(static_cast<int32_t>(n));
  TotalPageCount = static_cast<int32_t>(PageManager->Header.PageCount);

  const int64_t newLastPFS = static_cast<int64_t>(TotalPageCount - 1) / PagesPerPFS;
  const int64_t newLastEAM = static_cast<int64_t>(TotalPageCount - 1) / PagesPerEAM;
  for (int64_t k = oldLastPFS + 1; k <= newLastPFS; ++k) WriteNewMapPage(k * PagesPerPFS, kVLMPagePFS);
  for (int64_t j = oldLastEAM + 1; j <= newLastEAM; ++j) WriteNewMapPage(EAMPagePosition(j), kVLMPageEAM);

  LastUsedPage = NextNonSystemPage(newPage);
  // Above every page the maps mark used (TrustMap), unless the file held
  // no used page by its header.
  LastUsedExact_ = !wasEmpty;
  for (int64_t j = oldLastEAM + 1; j <= newLastEAM; ++j) SetPFSBit(static_cast<int32_t>(EAMPagePosition(j)), true);
  for (int64_t k = oldLastPFS + 1; k <= newLastPFS; ++k) UpdateEAM(static_cast<int32_t>(k * PagesPerPFS));
  DoSetPageState(LastUsedPage, true);
  return LastUsedPage;
}

int32_t TVLMDatabaseFreeSpaceManager::FindLastUsedPage(int64_t from) {
  if (LastUsedPage == -1 || TotalPageCount <= 0) return -1;
  int64_t top = std::min<int64_t>(from, static_cast<int64_t>(TotalPageCount) - 1);
  while (top >= 0) {
    const int64_t first = top / PagesPerPFS * PagesPerPFS;
    const uint8_t* bits = MapPage(first, kVLMPagePFS, 30432)->Data();
    const int64_t local = top - first;
    for (int64_t b = local / 8; b >= 0; --b) {
      uint8_t byte = bits[b];
      // The bits above top in its byte do not count.
      if (b == local / 8) byte = static_cast<uint8_t>(byte & (0xFFu >> (7 - local % 8)));
      if (byte == 0) continue;
      for (int bit = 7; bit >= 0; --bit) {
        if ((byte & (1u << bit)) == 0) continue;
        const int64_t page = first + b * 8 + bit;
        if (!IsSystemPage(static_cast<int32_t>(page))) return static_cast<int32_t>(page);
      }
    }
    top = first - 1;
  }
  return -1;
}

void TVLMDatabaseFreeSpaceManager::Shrink() {
  const int64_t total = TotalPageCount;
  const int64_t tail = total - 1 - LastUsedPage;
  const int64_t step = GrowStep();
  if (tail < step) return;
  int64_t newTotal = total - (tail / step) * step;
  // Never end the file on a map page: a PFS page would lose the EAM page
  // that follows it.
  while (newTotal > 0 && newTotal < total && IsSystemPage(static_cast<int32_t>(newTotal - 1))) ++newTotal;
  if (newTotal >= total) return;
  if (Current_ != nullptr && Current_->Deferring()) {
    ShrinkInMemory(newTotal);
    return;
  }
  if (Current_ != nullptr) Current_->EnsureLocked();
  PageManager->RemovePages(static_cast<int32_t>(total - newTotal));
  ShrinkInMemory(PageManager->Header.PageCount);
}

void TVLMDatabaseFreeSpaceManager::ShrinkInMemory(int64_t newTotal) {
  TotalPageCount = static_cast<int32_t>(newTotal);
  for (auto it = MapPages_.begin(); it != MapPages_.end();) {
    if (it->first >= TotalPageCount) {
      DirtyMaps_.erase(it->first);
      it = MapPages_.erase(it);
    } else {
      ++it;
    }
  }
}
