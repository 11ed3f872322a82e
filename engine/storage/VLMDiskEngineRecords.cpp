// VLMDiskEngine, records part: record pages and the disk record manager. The
// page layout and the invariants are described in VLMDiskEngineRecords.h.
//
// Walks (GetRecord next and prior) go from page to page through the page
// index by page number: from a page the walk may no longer trust (its last
// record deleted and the page freed, or taken by another table) it goes on
// with the nearest listed page beyond that number, so a cursor whose record
// went away still finds the records that follow it.
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "engine/storage/VLMDiskEngineRecords.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <map>
#include <optional>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMFieldManager.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"

namespace {

// Write counters of pages whose contents can be trusted stay below this.
constexpr uint32_t kLastValidWriteCounter = 0x7FFFFFFD;

TVLMDiskPageManager* DiskPages(TVLMPageManager* pageManager) {
  return dynamic_cast<TVLMDiskPageManager*>(pageManager);
}

void RaiseRecordNotFound(int32_t code) { throw EVLMException(code, "Record not found"); }

[[noreturn]] void RaiseNotRecordPage(int32_t pageNo, int32_t tableID) {
  throw EVLMException(10671, "Page %d listed by the table's page index is not a record page of table %d",
                      {pageNo, tableID});
}

[[noreturn]] void RaiseCountDisagrees(int32_t pageNo, int32_t tableID, int64_t held, int32_t listed) {
  throw EVLMException(10671, "Record page %d of table %d holds %d records, the table's page index lists %d",
                      {pageNo, tableID, static_cast<long long>(held), listed});
}

[[noreturn]] void RaiseOutOfOrder(int32_t pageNo, int32_t before, int32_t tableID) {
  throw EVLMException(10671, "The page index of table %d lists page %d beside page %d, out of page order",
                      {tableID, pageNo, before});
}

[[noreturn]] void RaiseTotalDisagrees(int32_t tableID, int64_t listed, int64_t held) {
  throw EVLMException(10671, "The page index of table %d lists %d records, the table holds %d",
                      {tableID, static_cast<long long>(listed), static_cast<long long>(held)});
}

}  // namespace

int32_t VLMRecordsPerPage(int32_t pageDataSize, int32_t storedRecordSize) {
  if (pageDataSize < 1 || storedRecordSize < 1) return 0;
  // (D - 1) / (R + 1/8) in eighths of a byte.
  const int64_t n = (static_cast<int64_t>(pageDataSize) - 1) * 8 / (static_cast<int64_t>(storedRecordSize) * 8 + 1);
  return static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX));
}

namespace {

bool PageInDiskFile(TVLMDiskPageManager* disk, int32_t pageNo) {
  if (pageNo < 0) return false;
  if (disk == nullptr || !disk->FreeSpace) return true;
  if (disk->FreeSpace->IsSystemPage(pageNo)) return false;
  // A record address may outlive its page when the file shrinks. The count
  // the handle knows covers every page of the commits it noticed; only a
  // page past it costs a look at the header under the database lock.
  return pageNo < disk->KnownPageCount() || pageNo < disk->GetPageCount();
}

}  // namespace

bool VLMPageInFile(TVLMPageManager* pageManager, int32_t pageNo) {
  return PageInDiskFile(DiskPages(pageManager), pageNo);
}

// -------------------------------------------------------- TVLMSmallRecordPage

TVLMSmallRecordPage::TVLMSmallRecordPage(TVLMPage* page, int32_t recordsPerPage, int32_t recordSize)
    : Page(page), RecordSize(recordSize), RecordsPerPage(recordsPerPage), BitmapSize((recordsPerPage + 7) / 8) {
  if (recordsPerPage < 0 || recordSize < 0 ||
      static_cast<int64_t>(recordsPerPage) * recordSize + BitmapSize > page->DataSize())
    throw EVLMException(20140, "Invalid number of records on page");
}

void TVLMSmallRecordPage::SetBit(int32_t slot, bool value) { VLMSetBit(value, slot, Page->Data()); }

bool TVLMSmallRecordPage::FindFreeSlot(int32_t& slot) const {
  for (int32_t i = 0; i < RecordsPerPage; ++i)
    if (!IsSet(i)) {
      slot = i;
      return true;
    }
  return false;
}

int64_t TVLMSmallRecordPage::GetRecordCount() const {
  int64_t count = 0;
  for (int32_t i = 0; i < RecordsPerPage; ++i) count += IsSet(i) ? 1 : 0;
  return count;
}

void TVLMSmallRecordPage::AddRecord(const uint8_t* data, TVLMRecordID& recordID) {
  int32_t slot = 0;
  if (!FindFreeSlot(slot)) throw EVLMException(20141, "Cannot add record to page. Page is full");
  SetBit(slot, true);
  std::memcpy(Slot(slot), data, static_cast<size_t>(RecordSize));
  Page->Modified = true;
  recordID = TVLMRecordID{static_cast<uint32_t>(Page->PageNo), static_cast<uint16_t>(slot)};
}

bool TVLMSmallRecordPage::UpdateRecord(const uint8_t* data, const TVLMRecordID& recordID) {
  if (!IsSet(recordID.Row)) return false;
  std::memcpy(Slot(recordID.Row), data, static_cast<size_t>(RecordSize));
  Page->Modified = true;
  return true;
}

bool TVLMSmallRecordPage::DeleteRecord(const TVLMRecordID& recordID) {
  if (!IsSet(recordID.Row)) return false;
  SetBit(recordID.Row, false);
  // A deleted row leaves nothing a damaged bitmap could bring back.
  std::memset(Slot(recordID.Row), 0, static_cast<size_t>(RecordSize));
  Page->Modified = true;
  return true;
}

bool TVLMSmallRecordPage::ReadRecord(const TVLMRecordID& recordID, uint8_t* data) const {
  if (!IsSet(recordID.Row)) return false;
  std::memcpy(data, Slot(recordID.Row), static_cast<size_t>(RecordSize));
  return true;
}

void TVLMSmallRecordPage::GetFirstRecord(TVLMRecordID& recordID) const {
  recordID.Page = static_cast<uint32_t>(Page->PageNo);
  for (int32_t i = 0; i < RecordsPerPage; ++i)
    if (IsSet(i)) {
      recordID.Row = static_cast<uint16_t>(i);
      return;
    }
  throw EVLMException(20143, "Record not found. PageNo=%d, PageRecordCount=%d",
                      {Page->PageNo, static_cast<long long>(GetRecordCount())});
}

void TVLMSmallRecordPage::GetLastRecord(TVLMRecordID& recordID) const {
  recordID.Page = static_cast<uint32_t>(Page->PageNo);
  for (int32_t i = RecordsPerPage - 1; i >= 0; --i)
    if (IsSet(i)) {
      recordID.Row = static_cast<uint16_t>(i);
      return;
    }
  RaiseRecordNotFound(20144);
}

bool TVLMSmallRecordPage::GetNextRecord(TVLMRecordID& recordID) const {
  recordID.Page = static_cast<uint32_t>(Page->PageNo);
  const uint8_t* bits = Page->Data();
  // A byte of the bitmap at a time: the used slots of a page are mostly
  // together.
  for (int32_t i = recordID.Row + 1; i < RecordsPerPage; i = (i | 7) + 1) {
    const uint32_t rest = static_cast<uint32_t>(bits[i >> 3]) >> (i & 7);
    if (rest == 0) continue;
    const int32_t slot = i + std::countr_zero(rest);
    if (slot >= RecordsPerPage) return false;
    recordID.Row = static_cast<uint16_t>(slot);
    return true;
  }
  return false;
}

bool TVLMSmallRecordPage::GetPriorRecord(TVLMRecordID& recordID) const {
  recordID.Page = static_cast<uint32_t>(Page->PageNo);
  for (int32_t i = std::min<int32_t>(recordID.Row, RecordsPerPage) - 1; i >= 0; --i)
    if (IsSet(i)) {
      recordID.Row = static_cast<uint16_t>(i);
      return true;
    }
  return false;
}

void TVLMSmallRecordPage::GetRecordByIndex(int32_t index, TVLMRecordID& recordID) const {
  recordID.Page = static_cast<uint32_t>(Page->PageNo);
  for (int32_t i = 0, seen = 0; i < RecordsPerPage; ++i) {
    if (!IsSet(i)) continue;
    if (seen++ == index) {
      recordID.Row = static_cast<uint16_t>(i);
      return;
    }
  }
  RaiseRecordNotFound(20146);
}

int32_t TVLMSmallRecordPage::CountRecordsBefore(const TVLMRecordID& recordID) const {
  int32_t count = 0;
  for (int32_t i = 0; i < std::min<int32_t>(recordID.Row, RecordsPerPage); ++i) count += IsSet(i) ? 1 : 0;
  return count;
}

// ------------------------------------------------------ TVLMDiskRecordManager

TVLMDiskRecordManager::TVLMDiskRecordManager(TVLMPageManager* pageManager, int32_t tableID,
                                             TVLMBaseFieldManager* fieldManager)
    : PageIndex(std::make_unique<TVLMBTreeRecordPageIndex>(pageManager)),
      PageManager(pageManager),
      FieldManager(fieldManager),
      TableID(tableID),
      Disk_(DiskPages(pageManager)) {}

TVLMDiskRecordManager::~TVLMDiskRecordManager() = default;

void TVLMDiskRecordManager::Init(int32_t recordBufferSize, int32_t storedRecordSize, int32_t fieldCount) {
  RecordBufferSize = recordBufferSize;
  StoredRecordSize = storedRecordSize;
  StoredBuffer_.assign(static_cast<size_t>(std::max(storedRecordSize, 1)), 0);
  RecordsPerPage = VLMRecordsPerPage(PageManager->PageDataSize, storedRecordSize);
  if (RecordsPerPage == 0)
    throw EVLMException(20174,
                        "Cannot create table. Record is too large to fit in current database page. Please increase "
                        "page size of database file or decrease record size");
  PageIndex->MaxRecordsPerPage = RecordsPerPage;
  RecordCount = 0;
  ChangeStamp = 0;
  FieldArray.assign(static_cast<size_t>(std::max(fieldCount, 0)), 0);
}

void TVLMDiskRecordManager::CreatePageIndex() { PageIndex->CreateTree(kVLMSystemSessionID); }

void TVLMDiskRecordManager::DropPageIndex(int32_t sessionID) { PageIndex->DropTree(sessionID); }

void VLMLoadPageIndexRoot(qv::Stream& stream, TVLMBTreePageIndex& index) {
  uint8_t bytes[4];
  stream.ReadBuffer(bytes, sizeof bytes);
  index.SetRootPageNo(VLMGetI32LE(bytes));
}

void VLMSavePageIndexRoot(qv::Stream& stream, const TVLMBTreePageIndex& index) {
  uint8_t bytes[4];
  VLMPutI32LE(bytes, index.RootPageNo);
  stream.WriteBuffer(bytes, sizeof bytes);
}

void TVLMDiskRecordManager::LoadFromStream(qv::Stream& stream) { VLMLoadPageIndexRoot(stream, *PageIndex); }

void TVLMDiskRecordManager::SaveToStream(qv::Stream& stream) const { VLMSavePageIndexRoot(stream, *PageIndex); }

namespace {

void CheckCounterBlock(int64_t bufferSize, int64_t offset) {
  if (offset < 0 || bufferSize - offset < kVLMRecordCountersSize)
    throw EVLMException(10677, "Invalid record counters block. Offset = %d, Size = %d",
                        {static_cast<long long>(offset), static_cast<long long>(bufferSize)});
}

}  // namespace

void TVLMDiskRecordManager::LoadCounters(const uint8_t* buffer, int64_t bufferSize, int64_t& offset) {
  CheckCounterBlock(bufferSize, offset);
  ChangeStamp = VLMGetU32LE(buffer + offset);
  RecordCount = VLMGetI32LE(buffer + offset + 4);
  offset += kVLMRecordCountersSize;
}

void TVLMDiskRecordManager::SaveCounters(uint8_t* buffer, int64_t bufferSize, int64_t& offset) const {
  CheckCounterBlock(bufferSize, offset);
  VLMPutU32LE(buffer + offset, ChangeStamp);
  VLMPutU32LE(buffer + offset + 4, static_cast<uint32_t>(RecordCount));
  offset += kVLMRecordCountersSize;
}

void TVLMDiskRecordManager::CheckPageIndex(int32_t sessionID) { PageIndex->CheckRecordCount(sessionID, RecordCount); }

// ------------------------------------------------------------------- pages

bool TVLMDiskRecordManager::PagesTrusted() const {
  if (PageManager->PageHeaderSize < kVLMPageHeaderSize) return true;
  const TVLMDiskPageManager* disk = Disk_;
  return disk != nullptr &&
         ((disk->FreeSpace && disk->FreeSpace->Flag) || disk->Header.Version < kVLMOldestCurrentVersion);
}

void TVLMDiskRecordManager::CheckStoredRecord(const uint8_t* stored, const TVLMRecordID& recordID) const {
  // The text check first: it nearly always passes, in a few instructions.
  if (FieldManager->StoredTextsEnd(stored) || PagesTrusted()) return;
  throw EVLMException(10671, "Record %d on page %d of table %d holds a text that does not end in its field",
                      {static_cast<int>(recordID.Row), static_cast<long long>(recordID.Page), TableID});
}

bool TVLMDiskRecordManager::ValidRecordPage(const TVLMPage& page) const {
  if (PagesTrusted()) return true;
  return page.GetWriteCounter() <= kLastValidWriteCounter && page.GetPageType() == kVLMPageTableRecord &&
         page.GetOwnerTableID() == TableID;
}

TVLMPage* TVLMDiskRecordManager::ReadValidPage(int32_t sessionID, int32_t pageNo) {
  if (!PageInDiskFile(Disk_, pageNo)) return nullptr;
  TVLMPage* page = nullptr;
  try {
    page = PageManager->GetPage(sessionID, pageNo, true, kVLMAnyPageType);
  } catch (const EVLMException& e) {
    // Another handle cut the file below the count this one knew: the page
    // is gone, as a page past the header's count is.
    if (e.NativeError == 20299 && Disk_ != nullptr && pageNo >= Disk_->GetPageCount()) return nullptr;
    throw;
  }
  if (ValidRecordPage(*page)) return page;
  PageManager->ReleasePage(page);
  return nullptr;
}

TVLMPage* TVLMDiskRecordManager::WritablePage(int32_t sessionID, int32_t pageNo) {
  TVLMPage* page = ReadValidPage(sessionID, pageNo);
  if (page == nullptr || (page->PageManager->PageHeaderSize >= kVLMPageHeaderSize &&
                          page->GetPageType() != kVLMPageTableRecord)) {
    if (page != nullptr) PageManager->ReleasePage(page);
    RaiseNotRecordPage(pageNo, TableID);
  }
  return page;
}

void TVLMDiskRecordManager::RaiseIfListed(int32_t sessionID, int32_t pageNo, const TVLMSmallRecordPage* view) {
  TVLMKeyPath path;
  if (PageIndex->RootPageNo == -1 || !PageIndex->FindPage(sessionID, pageNo, path)) return;
  if (view == nullptr) RaiseNotRecordPage(pageNo, TableID);
  const int32_t listed = PageIndex->GetValueAt(sessionID, path);
  const int64_t held = view->GetRecordCount();
  if (held != listed) RaiseCountDisagrees(pageNo, TableID, held, listed);
}

void TVLMDiskRecordManager::CheckListedPage(int32_t pageNo, const int32_t* before, bool forward) {
  if (before != nullptr && (forward ? pageNo <= *before : pageNo >= *before))
    RaiseOutOfOrder(pageNo, *before, TableID);
  // The page count is read again only for a number beyond the one known.
  if (pageNo < 0 || (Disk_ != nullptr && Disk_->FreeSpace && pageNo >= Disk_->KnownPageCount() &&
                     pageNo >= Disk_->GetPageCount()))
    RaiseNotRecordPage(pageNo, TableID);
}

bool TVLMDiskRecordManager::ListedPage(int32_t sessionID, bool from, int32_t pageNo, bool forward,
                                       int32_t& found, int32_t& listed) {
  TVLMKeyPath path;
  if (!from) {
    if (!(forward ? PageIndex->GoFirst(sessionID, path) : PageIndex->GoLast(sessionID, path))) return false;
  } else {
    if (PageIndex->RootPageNo == -1) throw EVLMException(forward ? 20104 : 20105, "Invalid page number");
    uint8_t key[4];
    VLMPutI32LE(key, pageNo);
    TVLMBTreePagePtr root = TVLMBTreePage::Load(PageManager, PageIndex->KeyRef.get(), sessionID,
                                                PageIndex->RootPageNo, TVLMBTreePlace::Root());
    if (!root->FindByCondition(sessionID, forward, path, forward ? kVLMSearchGreater : kVLMSearchLess, key))
      return false;
  }
  found = static_cast<int32_t>(PageIndex->GetPageNoAt(sessionID, path));
  listed = PageIndex->GetValueAt(sessionID, path);
  CheckListedPage(found, from ? &pageNo : nullptr, forward);
  return true;
}

// ----------------------------------------------------------- the 7 slots

void TVLMDiskRecordManager::EmptyTable(int32_t sessionID) {
  std::vector<int32_t> pages;
  TVLMKeyPath path;
  for (bool more = PageIndex->GoFirst(sessionID, path); more; more = PageIndex->NextEntry(sessionID, path))
    pages.push_back(static_cast<int32_t>(PageIndex->GetPageNoAt(sessionID, path)));
  for (int32_t pageNo : pages) {
    // A damaged index must not hand another owner's page to the free list.
    TVLMHeldPage page(PageManager, ReadValidPage(sessionID, pageNo));
    if (page.Get() == nullptr) continue;
    page.Release();
    PageManager->RemovePage(sessionID, pageNo);
  }
  PageIndex->EmptyTree(sessionID);
  RecordCount = 0;
  ChangeStamp = 0;
}

bool TVLMDiskRecordManager::InsertRecord(int32_t sessionID, const uint8_t* buffer, TVLMRecordID& recordID) {
  // The counter file keeps 32 bits of the count.
  if (RecordCount >= INT32_MAX)
    throw EVLMException(10670, "Too many records in table. RecordCount = %d", {static_cast<long long>(RecordCount)});
  FieldManager->BufferToStoredRecord(buffer, StoredBuffer_.data());
  TVLMHeldPage page;
  int32_t pageNo = -1;
  TVLMKeyPath listed;
  const bool hasRoom = PageIndex->FindPageWithRoom(sessionID, 1, pageNo, &listed);
  if (hasRoom) {
    page.Reset(PageManager, WritablePage(sessionID, pageNo));
  } else {
    page.Reset(PageManager, PageManager->NewPage(sessionID, kVLMPageTableRecord));
    page->SetOwnerTableID(TableID);
    pageNo = page->PageNo;
  }
  TVLMSmallRecordPage view(page.Get(), RecordsPerPage, StoredRecordSize);
  view.AddRecord(StoredBuffer_.data(), recordID);
  // The page found is counted at the entry that listed it.
  if (hasRoom) PageIndex->AddToPageAt(sessionID, listed, 1, pageNo);
  else PageIndex->AddToPage(sessionID, 1, pageNo);
  ++RecordCount;
  ++ChangeStamp;
  return true;
}

bool TVLMDiskRecordManager::UpdateRecord(int32_t sessionID, const uint8_t* buffer, const TVLMRecordID& recordID) {
  TVLMHeldPage page(PageManager, ReadValidPage(sessionID, static_cast<int32_t>(recordID.Page)));
  if (page.Get() == nullptr) return false;
  FieldManager->BufferToStoredRecord(buffer, StoredBuffer_.data());
  TVLMSmallRecordPage view(page.Get(), RecordsPerPage, StoredRecordSize);
  if (!view.UpdateRecord(StoredBuffer_.data(), recordID)) return false;
  ++ChangeStamp;
  return true;
}

bool TVLMDiskRecordManager::DeleteRecord(int32_t sessionID, const TVLMRecordID& recordID) {
  const auto pageNo = static_cast<int32_t>(recordID.Page);
  TVLMHeldPage page(PageManager, ReadValidPage(sessionID, pageNo));
  if (page.Get() == nullptr) return false;
  TVLMSmallRecordPage view(page.Get(), RecordsPerPage, StoredRecordSize);
  if (!view.DeleteRecord(recordID)) return false;
  const int64_t remaining = view.GetRecordCount();
  page.Release();
  // The index first: a page it does not list is left in place.
  PageIndex->RemoveFromPage(sessionID, 1, static_cast<int32_t>(remaining), pageNo);
  if (remaining == 0) PageManager->RemovePage(sessionID, pageNo);
  --RecordCount;
  ++ChangeStamp;
  return true;
}

void TVLMDiskRecordManager::Found(TVLMNavigationRequest& request, const TVLMRecordID& recordID,
                                  const TVLMSmallRecordPage& page) {
  if (!page.IsSet(recordID.Row)) RaiseRecordNotFound(request.Mode == 2 ? 20147 : 20145);
  // The stored bytes go straight from the page into the reader's buffer.
  if (request.RecordBuffer != nullptr) {
    CheckStoredRecord(page.RecordData(recordID.Row), recordID);
    FieldManager->StoredRecordToBuffer(page.RecordData(recordID.Row), request.RecordBuffer);
  }
  request.RecordID = recordID;
  request.Bof = false;
  request.Eof = false;
  request.Result = kVLMNavOK;
}

TVLMDiskRecordReadState* TVLMDiskRecordManager::ReadState(const TVLMNavigationRequest& request) const {
  if (request.Cache == nullptr) return nullptr;
  std::unique_ptr<TVLMEngineReadState>& slot = request.Cache->RecordState;
  if (slot == nullptr || slot->Owner != this) slot = std::make_unique<TVLMDiskRecordReadState>(this);
  auto* state = static_cast<TVLMDiskRecordReadState*>(slot.get());
  if (state->Epoch != ReaderEpoch_) {
    state->Page.Reset();
    state->Following.clear();
    state->FollowingCounts.clear();
    state->Next = 0;
    state->From = -1;
    state->Epoch = ReaderEpoch_;
  }
  return state;
}

TVLMPage* TVLMDiskRecordManager::ReadPage(int32_t sessionID, int32_t pageNo, TVLMDiskRecordReadState* state,
                                          TVLMHeldPage& held) {
  if (state != nullptr) {
    if (TVLMPage* pinned = state->Page.Get(sessionID, pageNo)) {
      if (ValidRecordPage(*pinned)) return pinned;
      state->Page.Reset();
    }
  }
  TVLMPage* page = ReadValidPage(sessionID, pageNo);
  held.Reset(PageManager, page);
  if (state != nullptr && page != nullptr) state->Page.Set(page, sessionID);
  return page;
}

bool TVLMDiskRecordManager::FollowingPage(int32_t sessionID, int32_t pageNo, bool forward,
                                          TVLMDiskRecordReadState* state, int32_t& found, int32_t& listed) {
  if (state == nullptr) return ListedPage(sessionID, true, pageNo, forward, found, listed);
  const bool current = state->SessionID == sessionID && state->Forward == forward &&
                       state->RecordCount == RecordCount && state->ChangeStamp == ChangeStamp &&
                       state->ViewVersion == PageManager->ViewVersion();
  // The walk goes on from the page the list last gave (or the one it
  // follows): the next listed page is the list's next entry.
  const int32_t last = state->Next == 0 ? state->From : state->Following[state->Next - 1];
  if (current && last == pageNo && state->Next < state->Following.size()) {
    listed = state->FollowingCounts[state->Next];
    found = state->Following[state->Next++];
    return true;
  }
  // A walk that goes on reads more pages ahead next time; a new one a few.
  const bool goesOn = current && last == pageNo;
  state->Batch = goesOn ? std::min<size_t>(state->Batch * 2, 512) : 8;
  if (!goesOn) state->PagesWalked = 0;
  state->Following.clear();
  state->FollowingCounts.clear();
  state->Next = 0;
  state->ReadAheadTo = 0;
  state->From = pageNo;
  state->Forward = forward;
  state->SessionID = sessionID;
  state->RecordCount = RecordCount;
  state->ChangeStamp = ChangeStamp;
  state->ViewVersion = PageManager->ViewVersion();
  TVLMKeyPath path;
  if (PageIndex->RootPageNo == -1) throw EVLMException(forward ? 20104 : 20105, "Invalid page number");
  {
    uint8_t key[4];
    VLMPutI32LE(key, pageNo);
    TVLMBTreePagePtr root = TVLMBTreePage::Load(PageManager, PageIndex->KeyRef.get(), sessionID,
                                                PageIndex->RootPageNo, TVLMBTreePlace::Root());
    if (!root->FindByCondition(sessionID, forward, path, forward ? kVLMSearchGreater : kVLMSearchLess, key))
      return false;
  }
  do {
    const auto listedPage = static_cast<int32_t>(PageIndex->GetPageNoAt(sessionID, path));
    CheckListedPage(listedPage, state->Following.empty() ? &pageNo : &state->Following.back(), forward);
    state->Following.push_back(listedPage);
    state->FollowingCounts.push_back(PageIndex->GetValueAt(sessionID, path));
  } while (state->Following.size() < state->Batch &&
           (forward ? PageIndex->NextEntry(sessionID, path) : PageIndex->PriorEntry(sessionID, path)));
  listed = state->FollowingCounts[state->Next];
  found = state->Following[state->Next++];
  return true;
}

bool TVLMDiskRecordManager::FirstRecordFrom(int32_t sessionID, bool from, int32_t pageNo,
                                            TVLMNavigationRequest& request, TVLMDiskRecordReadState* state) {
  const bool forward = request.Mode == 1;
  // A walk from an end of the table is a new walk; one that goes on from
  // another page than it entered last, or turns, no longer adds up the
  // table (invariant 7).
  if (state != nullptr) {
    if (!from) {
      state->PagesWalked = 0;
      state->WalkListed = 0;
      state->WalkForward = forward;
      state->WalkRecordCount = RecordCount;
      state->WalkChangeStamp = ChangeStamp;
      state->WalkViewVersion = PageManager->ViewVersion();
    } else if (state->WalkForward != forward || state->WalkPage != pageNo) {
      state->WalkListed = -1;
    }
  }
  // Page numbers found are strictly monotonic (CheckListedPage), so the
  // walk ends.
  int32_t listed = 0;
  for (int32_t next = 0; from ? FollowingPage(sessionID, pageNo, forward, state, next, listed)
                              : ListedPage(sessionID, false, pageNo, forward, next, listed);
       from = true, pageNo = next) {
    const bool pass = state != nullptr && ++state->PagesWalked > kVLMScanAfterPages;
    TVLMScanReads scan(PageManager, pass);
    if (pass && state->Next > 0 && state->Following[state->Next - 1] == next && state->Next > state->ReadAheadTo) {
      // The listed pages ahead, read in runs before the walk needs them.
      const size_t first = state->Next - 1;
      const size_t count =
          std::min<size_t>(state->Following.size() - first, static_cast<size_t>(std::max(PageManager->ScanLimit / 2, 1)));
      PageManager->ReadAhead(sessionID, state->Following.data() + first, static_cast<int32_t>(count));
      state->ReadAheadTo = first + count;
    }
    TVLMHeldPage held;
    TVLMPage* page = ReadPage(sessionID, next, state, held);
    if (page == nullptr) {
      // A list of pages read before a change may name a page that has gone
      // since; one the index lists now is damaged.
      RaiseIfListed(sessionID, next);
      continue;
    }
    TVLMSmallRecordPage view(page, RecordsPerPage, StoredRecordSize);
    // A page whose slots disagree with its entry is damaged: a walk would
    // miss (or make up) records in silence.
    if (view.GetRecordCount() != listed) RaiseIfListed(sessionID, next, &view);
    TVLMRecordID found;
    forward ? view.GetFirstRecord(found) : view.GetLastRecord(found);
    Found(request, found, view);
    if (state != nullptr && state->WalkListed >= 0) {
      state->WalkListed += listed;
      state->WalkPage = next;
    }
    return true;
  }
  // From one end to the other over an unchanged table: every record the
  // table counts must have been listed on the way.
  if (state != nullptr && state->WalkListed >= 0 && state->WalkListed != RecordCount &&
      state->WalkRecordCount == RecordCount && state->WalkChangeStamp == ChangeStamp &&
      state->WalkViewVersion == PageManager->ViewVersion())
    RaiseTotalDisagrees(TableID, state->WalkListed, RecordCount);
  request.Result = forward ? kVLMNavEOF : kVLMNavBOF;
  request.Eof = forward;
  request.Bof = !forward;
  return false;
}

void TVLMDiskRecordManager::StepRecord(int32_t sessionID, TVLMNavigationRequest& request) {
  const bool forward = request.Mode == 1;
  const auto pageNo = static_cast<int32_t>(request.RecordID.Page);
  TVLMDiskRecordReadState* state = ReadState(request);
  {
    TVLMHeldPage held;
    if (TVLMPage* page = ReadPage(sessionID, pageNo, state, held)) {
      TVLMSmallRecordPage view(page, RecordsPerPage, StoredRecordSize);
      TVLMRecordID found = request.RecordID;
      if (forward ? view.GetNextRecord(found) : view.GetPriorRecord(found)) {
        Found(request, found, view);
        return;
      }
    } else {
      RaiseIfListed(sessionID, pageNo);
    }
  }
  FirstRecordFrom(sessionID, true, pageNo, request, state);
}

bool TVLMDiskRecordManager::StepOnPinnedPage(int32_t sessionID, TVLMNavigationRequest& request) {
  if (RecordCount == 0 || (request.Mode != 1 && request.Mode != 2) || request.Bof || request.Eof) return false;
  if (request.Cache == nullptr || request.Cache->RecordState == nullptr ||
      request.Cache->RecordState->Owner != this)
    return false;
  auto* state = static_cast<TVLMDiskRecordReadState*>(request.Cache->RecordState.get());
  if (state->Epoch != ReaderEpoch_) return false;
  TVLMPage* page = state->Page.Get(sessionID, static_cast<int32_t>(request.RecordID.Page));
  if (page == nullptr || !ValidRecordPage(*page)) return false;
  TVLMSmallRecordPage view(page, RecordsPerPage, StoredRecordSize);
  TVLMRecordID found = request.RecordID;
  if (!(request.Mode == 1 ? view.GetNextRecord(found) : view.GetPriorRecord(found))) return false;
  Found(request, found, view);
  return true;
}

void TVLMDiskRecordManager::GetRecord(int32_t sessionID, TVLMNavigationRequest& request) {
  if (RecordCount == 0) {
    request.Result = kVLMNavEOF;
    return;
  }
  if (request.Mode > 2) return;
  if (request.Bof || request.Eof) {
    const bool atStart = request.Bof;
    if (request.Mode == 0) {
      request.Result = kVLMNavError;
      return;
    }
    if (atStart != (request.Mode == 1)) {
      request.Result = atStart ? kVLMNavBOF : kVLMNavEOF;
      return;
    }
    FirstRecordFrom(sessionID, false, 0, request, ReadState(request));
    return;
  }
  if (request.Mode != 0) {
    StepRecord(sessionID, request);
    return;
  }
  TVLMHeldPage held;
  const auto pageNo = static_cast<int32_t>(request.RecordID.Page);
  TVLMPage* page = ReadPage(sessionID, pageNo, ReadState(request), held);
  if (page != nullptr) {
    TVLMSmallRecordPage view(page, RecordsPerPage, StoredRecordSize);
    if (view.IsSet(request.RecordID.Row)) {
      Found(request, request.RecordID, view);
      return;
    }
    // A free slot: its record was deleted, unless the page's slots disagree
    // with its entry.
    RaiseIfListed(sessionID, pageNo, &view);
  } else {
    RaiseIfListed(sessionID, pageNo);
  }
  request.Result = kVLMNavError;
}

int32_t TVLMDiskRecordManager::ReadRecords(int32_t sessionID, const TVLMRecordID* ids, int32_t count,
                                           uint8_t* buffers, size_t stride) {
  if (count <= 0) return 0;
  // The records in page order: keys of the page number (high 32 bits), the
  // slot and the position in ids, sorted. Page numbers of records are never
  // negative (VLMPageInFile), so they sort as unsigned numbers. The slot
  // rides in the key when both fit in the low 32 bits, so that the pass over
  // the pages does not look ids up out of order (a long list would miss the
  // processor's caches once per record); a slot too large for its bits
  // becomes one no page holds.
  const int positionBits = std::bit_width(static_cast<uint32_t>(count - 1));
  const int slotBits = std::bit_width(static_cast<uint32_t>(std::max(RecordsPerPage, 1)));
  const bool slotInKey = positionBits + slotBits <= 32;
  const uint32_t noSlot = (uint32_t{1} << slotBits) - 1;
  const uint64_t positionMask = slotInKey ? (uint64_t{1} << positionBits) - 1 : 0xFFFFFFFFu;
  std::vector<uint64_t> order(static_cast<size_t>(count));
  bool sorted = true;
  for (int32_t i = 0; i < count; ++i) {
    uint64_t low = static_cast<uint32_t>(i);
    if (slotInKey) low |= static_cast<uint64_t>(std::min<uint32_t>(ids[i].Row, noSlot)) << positionBits;
    order[static_cast<size_t>(i)] = (static_cast<uint64_t>(ids[i].Page) << 32) | low;
    if (i > 0 && order[static_cast<size_t>(i)] < order[static_cast<size_t>(i) - 1]) sorted = false;
  }
  // Records in index order often lie in page order already (an index on
  // the order they were added in); else they are grouped by page number,
  // counted out over the span of page numbers when it is not much wider than
  // the list.
  if (!sorted) {
    uint64_t low = UINT64_MAX, high = 0;
    for (uint64_t key : order) {
      low = std::min(low, key >> 32);
      high = std::max(high, key >> 32);
    }
    const uint64_t span = high - low + 1;
    if (span <= 4 * order.size() + 1024) {
      std::vector<uint32_t> starts(static_cast<size_t>(span) + 1, 0);
      for (uint64_t key : order) ++starts[static_cast<size_t>((key >> 32) - low) + 1];
      for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
      std::vector<uint64_t> grouped(order.size());
      // Stable: the records of one page stay in the order of ids.
      for (uint64_t key : order) grouped[starts[static_cast<size_t>((key >> 32) - low)]++] = key;
      order.swap(grouped);
    } else {
      std::sort(order.begin(), order.end());
    }
  }
  auto positionOf = [&](uint64_t key) { return static_cast<int32_t>(key & positionMask); };
  auto slotOf = [&](uint64_t key, int32_t i) {
    return slotInKey ? static_cast<int32_t>((key & 0xFFFFFFFFu) >> positionBits) : static_cast<int32_t>(ids[i].Row);
  };
  std::vector<int32_t> pages;
  for (uint64_t key : order) {
    const auto pageNo = static_cast<int32_t>(key >> 32);
    if (pages.empty() || pages.back() != pageNo) pages.push_back(pageNo);
  }
  // The first record (in the order of ids) that could not be read.
  int32_t missing = count;
  const size_t aheadRun = static_cast<size_t>(std::max(PageManager->ScanLimit / 2, 1));
  size_t readAheadTo = 0;
  size_t at = 0;
  for (size_t p = 0; p < pages.size(); ++p) {
    if (p >= readAheadTo) {
      const size_t n = std::min(aheadRun, pages.size() - p);
      PageManager->ReadAhead(sessionID, pages.data() + p, static_cast<int32_t>(n));
      readAheadTo = p + n;
    }
    TVLMHeldPage page(PageManager, ReadValidPage(sessionID, pages[p]));
    std::optional<TVLMSmallRecordPage> view;
    if (page.Get() != nullptr) view.emplace(page.Get(), RecordsPerPage, StoredRecordSize);
    for (; at < order.size() && static_cast<int32_t>(order[at] >> 32) == pages[p]; ++at) {
      const int32_t i = positionOf(order[at]);
      if (i >= missing) continue;
      const int32_t slot = slotOf(order[at], i);
      if (!view || !view->IsSet(slot)) {
        missing = i;
        continue;
      }
      CheckStoredRecord(view->RecordData(slot), {static_cast<uint32_t>(pages[p]), static_cast<uint16_t>(slot)});
      FieldManager->StoredRecordToBuffer(view->RecordData(slot), buffers + stride * static_cast<size_t>(i));
    }
  }
  return missing;
}

void TVLMDiskRecordManager::PrefetchRecord(const TVLMRecordID& recordID, int32_t step) const {
  const int32_t slot = recordID.Row;
  const bool onPage = slot < RecordsPerPage;
  PageManager->Prefetch(static_cast<int32_t>(recordID.Page), step,
                        onPage ? (RecordsPerPage + 7) / 8 + slot * StoredRecordSize : 0, onPage ? StoredRecordSize : 0);
}

int32_t TVLMDiskRecordManager::CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) {
  const auto page1 = static_cast<int32_t>(id1.Page);
  const auto page2 = static_cast<int32_t>(id2.Page);
  if (page1 != page2) return page1 < page2 ? -1 : 1;
  if (id1.Row != id2.Row) return id1.Row < id2.Row ? -1 : 1;
  return 0;
}

int64_t TVLMDiskRecordManager::GetRecordNo(int32_t, const TVLMRecordID&) { return RecordCount / 2; }

// ---------------------------------------------------------- record numbers

int64_t TVLMDiskRecordManager::GetRecordNoLimit(int32_t sessionID) {
  int32_t last = -1;
  if (!PageIndex->GetLastPage(sessionID, last)) return 1;
  return (static_cast<int64_t>(last) + 1) * RecordsPerPage;
}

void TVLMDiskRecordManager::SetRecNo(int32_t sessionID, TVLMRecordID& recordID, int64_t recNo) {
  int32_t pageNo = 0;
  int32_t position = 0;
  PageIndex->RecNoToPage(sessionID, pageNo, position, recNo - 1);
  TVLMHeldPage page(PageManager, ReadValidPage(sessionID, pageNo));
  if (page.Get() == nullptr) RaiseRecordNotFound(20146);
  TVLMSmallRecordPage(page.Get(), RecordsPerPage, StoredRecordSize).GetRecordByIndex(position, recordID);
}

int64_t TVLMDiskRecordManager::GetRecNo(int32_t sessionID, const TVLMRecordID& recordID) {
  const auto pageNo = static_cast<int32_t>(recordID.Page);
  int32_t before = 0;
  {
    TVLMHeldPage page(PageManager, ReadValidPage(sessionID, pageNo));
    if (page.Get() == nullptr) throw EVLMException(20114, "Invalid page number");
    before = TVLMSmallRecordPage(page.Get(), RecordsPerPage, StoredRecordSize).CountRecordsBefore(recordID);
  }
  int64_t count = 0;
  PageIndex->RecordsBefore(sessionID, pageNo, count, static_cast<int64_t>(before) + 1);
  return count;
}

// ------------------------------------------------------------------ repair

std::vector<TVLMLostRecordPage> TVLMDiskRecordManager::RebuildPageIndex(int32_t sessionID) {
  const int32_t pageCount = PageManager->GetPageCount();
  // The rows the old index lists on each page, as far as it can be read: a
  // page the rebuild cannot take is named with them.
  std::map<int32_t, int32_t> listed;
  try {
    TVLMKeyPath path;
    for (bool more = PageIndex->RootPageNo != -1 && PageIndex->GoFirst(sessionID, path);
         more && static_cast<int64_t>(listed.size()) <= pageCount; more = PageIndex->NextEntry(sessionID, path))
      listed[static_cast<int32_t>(PageIndex->GetPageNoAt(sessionID, path))] = PageIndex->GetValueAt(sessionID, path);
  } catch (const qv::Exception&) {
    // A damaged index tells what it could.
  }
  // The old tree may be what is damaged: its pages are left as they are
  // rather than freed by following links that cannot be trusted.
  PageIndex->CreateTree(sessionID);
  RecordCount = 0;
  TVLMDiskPageManager* disk = Disk_;
  const bool wasMending = disk != nullptr && disk->MendHeaderReads;
  if (disk != nullptr) disk->MendHeaderReads = true;
  auto endMending = qv::ScopeExit([&] {
    if (disk != nullptr) disk->MendHeaderReads = wasMending;
  });
  auto ownHead = [&](const uint8_t* head) {
    return VLMGetU32LE(head + kVLMPageWriteCounterOffset) <= kLastValidWriteCounter &&
           VLMGetU16LE(head + kVLMPageTypeOffset) == kVLMPageTableRecord &&
           VLMGetI32LE(head + kVLMPageOwnerTableOffset) == TableID;
  };
  // A page the old index lists whose header says otherwise is still this
  // table's when its data holds what the index listed: exactly that many
  // records, each of whose texts ends in its field (a damaged type, owner
  // or counter changes none of that; a page of another kind or table
  // matches it only by chance).
  auto holdsListedRows = [&](const TVLMPage& page, int32_t rows) {
    const TVLMSmallRecordPage view(const_cast<TVLMPage*>(&page), RecordsPerPage, StoredRecordSize);
    if (rows <= 0 || view.GetRecordCount() != rows) return false;
    for (int32_t slot = 0; slot < RecordsPerPage; ++slot)
      if (view.IsSet(slot) && !FieldManager->StoredTextsEnd(view.RecordData(slot))) return false;
    return true;
  };
  std::vector<TVLMLostRecordPage> lost;
  for (int32_t pageNo = 1; pageNo < pageCount; ++pageNo) {
    if (disk != nullptr && disk->FreeSpace &&
        (disk->FreeSpace->IsSystemPage(pageNo) || !disk->FreeSpace->IsPageUsed(pageNo)))
      continue;
    TVLMHeldPage page;
    try {
      page.Reset(PageManager, PageManager->GetPage(sessionID, pageNo, true, kVLMAnyPageType));
    } catch (const EVLMException&) {
      // Unreadable: named when the old index lists it or its plain header
      // says it is a record page of this table.
      uint8_t head[kVLMPageHeaderSize];
      const auto entry = listed.find(pageNo);
      if (entry != listed.end()) {
        lost.push_back({pageNo, entry->second});
        listed.erase(entry);
      } else if (disk != nullptr && disk->ReadStoredHeader(pageNo, head) && ownHead(head)) {
        lost.push_back({pageNo, -1});
      }
      continue;
    }
    const auto entry = listed.find(pageNo);
    if (!ownHead(page->Header())) {
      if (entry == listed.end() || !holdsListedRows(*page.Get(), entry->second)) continue;
      // A record page of this table under a damaged header: the header is
      // made anew, keeping a write counter that is still a live one.
      const uint32_t counter = page->GetWriteCounter();
      page->InitHeader();
      page->SetWriteCounter(counter <= kLastValidWriteCounter ? counter : 0);
      page->SetPageType(kVLMPageTableRecord);
      page->SetOwnerTableID(TableID);
      page->HeaderMended = true;
    }
    const int64_t count = TVLMSmallRecordPage(page.Get(), RecordsPerPage, StoredRecordSize).GetRecordCount();
    if (count == 0) continue;
    // Read past a damaged header field: written back with it set right.
    if (page->HeaderMended) page->Modified = true;
    page.Release();
    PageIndex->AddToPage(sessionID, static_cast<int32_t>(count), pageNo);
    RecordCount += count;
    // A page kept with another number of rows than the old index listed on
    // it (a bit of its slot bitmap damaged, in a file whose pages carry no
    // check) is named too: rows may be missing from it.
    if (entry != listed.end()) {
      if (entry->second != count) lost.push_back({pageNo, entry->second, count});
      listed.erase(entry);
    }
  }
  // Listed pages that hold none of the table's rows now.
  for (const auto& [pageNo, rows] : listed) lost.push_back({pageNo, rows});
  std::sort(lost.begin(), lost.end(),
            [](const TVLMLostRecordPage& a, const TVLMLostRecordPage& b) { return a.PageNo < b.PageNo; });
  return lost;
}
