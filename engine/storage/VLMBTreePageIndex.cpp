// VLMBTree, page index part: trees that list the pages of one table in page
// number order, with one u16 per page (records held by a record page, bytes
// used on a small-BLOB page). Keys are 4-byte page numbers compared as
// signed 32-bit numbers, values 2 bytes (TVLMPageKeyRef).
//
// A page index only ever looks for room in its first and its last leaf: a
// free slot on a page listed in a middle leaf is not found, and the caller
// starts a new page instead.
#include <algorithm>
#include <climits>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMBTree.h"

namespace {

uint16_t LeafValue(const TVLMBTreePage& leaf, int32_t index) { return VLMGetU16LE(leaf.EntryValue(index)); }
int32_t LeafPageNo(const TVLMBTreePage& leaf, int32_t index) { return VLMGetI32LE(leaf.EntryKey(index)); }

}  // namespace

TVLMBTreePageIndex::TVLMBTreePageIndex(TVLMPageManager* pageManager)
    : KeyRef(std::make_unique<TVLMPageKeyRef>()), PageManager(pageManager) {}

TVLMBTreePagePtr TVLMBTreePageIndex::LoadRoot(int32_t sessionID) {
  return TVLMBTreePage::Load(PageManager, KeyRef.get(), sessionID, RootPageNo, TVLMBTreePlace::Root());
}

TVLMBTreePagePtr TVLMBTreePageIndex::LoadChainLeaf(int32_t sessionID, int32_t pageNo, int32_t level,
                                                   std::unordered_set<int32_t>& visited) {
  if (!visited.insert(pageNo).second)
    throw EVLMException(10604, "Index integrity error. The leaf chain returns to PageNo=%d", {pageNo});
  return TVLMBTreePage::Load(PageManager, KeyRef.get(), sessionID, pageNo, TVLMBTreePlace::AtLevel(level, 1));
}

TVLMBTreePagePtr TVLMBTreePageIndex::LoadLeaf(int32_t sessionID, const TVLMKeyPath& path, int32_t depthCode) {
  if (path.Depth < 1) throw EVLMException(depthCode, "Index error: invalid position");
  const TVLMKeyPathLevel& level = path.Levels[path.Depth - 1];
  TVLMBTreePagePtr leaf = TVLMBTreePage::Load(PageManager, KeyRef.get(), sessionID, level.PageNo);
  // A path older than the last change may name an entry the leaf no longer
  // holds.
  if (!leaf->GetIsLeaf() || level.EntryNo < 0 || level.EntryNo >= leaf->GetEntryCount())
    throw EVLMException(depthCode, "Index error: invalid position");
  return leaf;
}

// ---------------------------------------------------------- tree life

void TVLMBTreePageIndex::CreateTree(int32_t sessionID) {
  TVLMBTreePagePtr root = TVLMBTreePage::New(PageManager, KeyRef.get(), sessionID);
  root->InitEmptyRoot();
  root->SetModified(true);
  RootPageNo = root->GetPageNo();
}

void TVLMBTreePageIndex::DropTree(int32_t sessionID) {
  if (RootPageNo != -1) {
    TVLMBTreePagePtr root = LoadRoot(sessionID);
    root->FreePages(sessionID, false);
  }
  RootPageNo = -1;
}

void TVLMBTreePageIndex::EmptyTree(int32_t sessionID) {
  if (RootPageNo == -1) return;
  TVLMBTreePagePtr root = LoadRoot(sessionID);
  root->FreePages(sessionID, true);
  root->InitEmptyRoot();
  root->SetModified(true);
}

// ------------------------------------------------------------ positions

bool TVLMBTreePageIndex::GoFirst(int32_t sessionID, TVLMKeyPath& path) {
  if (RootPageNo == -1) throw EVLMException(20115, "Index error: invalid page number");
  path.Clear();
  TVLMBTreePagePtr root = LoadRoot(sessionID);
  return root->GoFirst(sessionID, path);
}

bool TVLMBTreePageIndex::GoLast(int32_t sessionID, TVLMKeyPath& path) {
  if (RootPageNo == -1) throw EVLMException(20116, "Index error: invalid page number");
  path.Clear();
  TVLMBTreePagePtr root = LoadRoot(sessionID);
  return root->GoLast(sessionID, path);
}

bool TVLMBTreePageIndex::StepEntry(int32_t sessionID, TVLMKeyPath& path, bool forward) {
  return VLMStepKeyPath(PageManager, KeyRef.get(), sessionID, path, forward, forward ? 20099 : 20101,
                        forward ? 20100 : 20102);
}

bool VLMStepKeyPath(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef, int32_t sessionID, TVLMKeyPath& path,
                    bool forward, int32_t positionCode, int32_t linkCode) {
  if (path.Depth < 1) throw EVLMException(positionCode, "Index error: invalid position");
  const int32_t leafLevel = path.Depth - 1;
  // The deepest level that can move one entry on; the levels below it then
  // move to the neighbouring page of their own level.
  int32_t level = leafLevel;
  if (forward) {
    while (level >= 0 && path.Levels[level].EntryNo >= path.Levels[level].EntryCount - 1) --level;
  } else {
    while (level >= 0 && path.Levels[level].EntryNo <= 0) --level;
  }
  if (level < 0) return false;
  path.Levels[level].EntryNo += forward ? 1 : -1;
  for (int32_t deeper = level + 1; deeper <= leafLevel; ++deeper) {
    const TVLMBTreePlace place = TVLMBTreePlace::AtLevel(deeper);
    int32_t neighbour = -1;
    {
      TVLMBTreePagePtr page = TVLMBTreePage::Load(pageManager, keyRef, sessionID, path.Levels[deeper].PageNo, place);
      neighbour = forward ? page->GetNextPageNo() : page->GetPrevPageNo();
    }
    if (neighbour == -1) throw EVLMException(linkCode, "Index error: invalid page number");
    TVLMBTreePagePtr next = TVLMBTreePage::Load(pageManager, keyRef, sessionID, neighbour, place);
    const int32_t count = next->GetEntryCount();
    path.Levels[deeper] = {neighbour, forward ? 0 : count - 1, count};
  }
  return true;
}

bool TVLMBTreePageIndex::NextEntry(int32_t sessionID, TVLMKeyPath& path) { return StepEntry(sessionID, path, true); }

bool TVLMBTreePageIndex::PriorEntry(int32_t sessionID, TVLMKeyPath& path) {
  return StepEntry(sessionID, path, false);
}

bool TVLMBTreePageIndex::FindPage(int32_t sessionID, int32_t pageNo, TVLMKeyPath& path) {
  if (RootPageNo == -1) throw EVLMException(20117, "Index error: invalid page number");
  path.Clear();
  uint8_t key[4];
  VLMPutI32LE(key, pageNo);
  TVLMBTreePagePtr root = LoadRoot(sessionID);
  return root->FindByCondition(sessionID, true, path, kVLMSearchEqual, key);
}

uint16_t TVLMBTreePageIndex::GetValueAt(int32_t sessionID, const TVLMKeyPath& path) {
  TVLMBTreePagePtr leaf = LoadLeaf(sessionID, path, 20107);
  return LeafValue(*leaf, path.Levels[path.Depth - 1].EntryNo);
}

void TVLMBTreePageIndex::SetValueAt(int32_t sessionID, const TVLMKeyPath& path, uint16_t value) {
  TVLMBTreePagePtr leaf = LoadLeaf(sessionID, path, 20108);
  VLMPutU16LE(leaf->EntryValue(path.Levels[path.Depth - 1].EntryNo), value);
  leaf->SetModified(true);
}

uint32_t TVLMBTreePageIndex::GetPageNoAt(int32_t sessionID, const TVLMKeyPath& path) {
  TVLMBTreePagePtr leaf = LoadLeaf(sessionID, path, 20103);
  return static_cast<uint32_t>(LeafPageNo(*leaf, path.Levels[path.Depth - 1].EntryNo));
}

// ---------------------------------------------------------------- values

void TVLMBTreePageIndex::InsertPage(int32_t sessionID, int32_t pageNo, uint16_t value) {
  uint8_t key[4];
  uint8_t stored[2];
  VLMPutI32LE(key, pageNo);
  VLMPutU16LE(stored, value);
  TVLMKeyPath path;
  TVLMBTreePagePtr root = LoadRoot(sessionID);
  root->InsertEntry(sessionID, key, path, stored);
}

void TVLMBTreePageIndex::AddToPage(int32_t sessionID, int32_t amount, int32_t pageNo) {
  if (RootPageNo == -1 || RootPageNo == -2) throw EVLMException(20118, "Index error: invalid page number");
  TVLMKeyPath path;
  if (FindPage(sessionID, pageNo, path)) {
    AddToPageAt(sessionID, path, amount, pageNo);
    return;
  }
  InsertPage(sessionID, pageNo, static_cast<uint16_t>(amount));
}

void TVLMBTreePageIndex::AddToPageAt(int32_t sessionID, const TVLMKeyPath& path, int32_t amount, int32_t pageNo) {
  // One load of the leaf for the read and the write of its value.
  TVLMBTreePagePtr leaf = LoadLeaf(sessionID, path, 20107);
  const int32_t entry = path.Levels[path.Depth - 1].EntryNo;
  if (LeafPageNo(*leaf, entry) != pageNo) {
    // Not the entry the path was taken for: search the page as usual.
    leaf.reset();
    AddToPage(sessionID, amount, pageNo);
    return;
  }
  uint8_t* stored = leaf->EntryValue(entry);
  const uint16_t value = VLMGetU16LE(stored);
  if (!HasRoom(value, amount)) throw EVLMException(20106, "Cannot add data item to page. Page is full");
  VLMPutU16LE(stored, static_cast<uint16_t>(value + amount));
  leaf->SetModified(true);
}

void TVLMBTreePageIndex::RemoveFromPage(int32_t sessionID, int32_t amount, int32_t newValue, int32_t pageNo) {
  if (RootPageNo == -1) throw EVLMException(20110, "Invalid page number");
  TVLMKeyPath path;
  if (!FindPage(sessionID, pageNo, path)) throw EVLMException(20111, "Invalid page number");
  const uint16_t present = GetValueAt(sessionID, path);
  if (newValue < 0) {
    // Taking more than the page holds would wrap the stored count.
    if (present == 0 || present < amount) throw EVLMException(20112, "Index error: page is empty");
    newValue = present - amount;
  }
  if (static_cast<uint16_t>(newValue) != 0) {
    SetValueAt(sessionID, path, static_cast<uint16_t>(newValue));
    return;
  }
  uint8_t key[4];
  uint8_t stored[2];
  VLMPutI32LE(key, pageNo);
  VLMPutU16LE(stored, present);
  path.Clear();
  TVLMBTreePagePtr root = LoadRoot(sessionID);
  if (!root->DeleteEntry(sessionID, key, path, stored)) throw EVLMException(20111, "Invalid page number");
}

bool TVLMBTreePageIndex::FindPageWithRoom(int32_t sessionID, int32_t needed, int32_t& pageNo,
                                          TVLMKeyPath* found) {
  // Every page but the newest is usually full, so whole leaves are scanned:
  // the bound is computed once, not asked of the index for every entry.
  const int64_t bound = RoomBound(needed);
  constexpr int32_t kNone = INT32_MIN;
  // The index of the first entry with room, or kNone.
  auto scan = [&](const TVLMBTreePage& leaf, int32_t from, int32_t step, int32_t tests) {
    const uint8_t* entries = leaf.EntryValue(0);
    const int64_t entrySize = leaf.EntrySize();
    for (int32_t k = 0; k < tests; ++k) {
      const int32_t index = from + k * step;
      if (VLMGetU16LE(entries + index * entrySize) < bound) {
        pageNo = LeafPageNo(leaf, index);
        return index;
      }
    }
    return kNone;
  };
  auto answer = [&](TVLMKeyPath& path, int32_t index) {
    if (found != nullptr) {
      path.Levels[path.Depth - 1].EntryNo = index;
      *found = path;
    }
    return true;
  };
  TVLMKeyPath path;
  if (!GoLast(sessionID, path)) return false;
  {
    // Entries n-1 down to 1 of the last leaf (entry 0 only when it is the
    // leaf's only entry).
    TVLMBTreePagePtr leaf = LoadLeaf(sessionID, path, 20107);
    const int32_t n = leaf->GetEntryCount();
    const int32_t index = scan(*leaf, n - 1, -1, std::max(1, n - 1));
    if (index != kNone) return answer(path, index);
  }
  if (!GoFirst(sessionID, path)) return false;
  // Entries 0 up to m-2 of the first leaf (entry 0 alone when m is 1).
  TVLMBTreePagePtr leaf = LoadLeaf(sessionID, path, 20107);
  const int32_t m = leaf->GetEntryCount();
  const int32_t index = scan(*leaf, 0, 1, std::max(1, m - 1));
  return index != kNone && answer(path, index);
}

bool TVLMBTreePageIndex::GetFirstPage(int32_t sessionID, int32_t& pageNo) {
  TVLMKeyPath path;
  if (!GoFirst(sessionID, path)) return false;
  pageNo = static_cast<int32_t>(GetPageNoAt(sessionID, path));
  return true;
}

bool TVLMBTreePageIndex::GetLastPage(int32_t sessionID, int32_t& pageNo) {
  TVLMKeyPath path;
  if (!GoLast(sessionID, path)) return false;
  pageNo = static_cast<int32_t>(GetPageNoAt(sessionID, path));
  return true;
}

bool TVLMBTreePageIndex::GetNextPage(int32_t sessionID, int32_t pageNo, int32_t& next) {
  TVLMKeyPath path;
  if (!FindPage(sessionID, pageNo, path)) throw EVLMException(20104, "Invalid page number");
  if (!NextEntry(sessionID, path)) return false;
  next = static_cast<int32_t>(GetPageNoAt(sessionID, path));
  return true;
}

bool TVLMBTreePageIndex::GetPriorPage(int32_t sessionID, int32_t pageNo, int32_t& prior) {
  TVLMKeyPath path;
  if (!FindPage(sessionID, pageNo, path)) throw EVLMException(20105, "Invalid page number");
  if (!PriorEntry(sessionID, path)) return false;
  prior = static_cast<int32_t>(GetPageNoAt(sessionID, path));
  return true;
}

int32_t TVLMBTreePageIndex::GetPageValue(int32_t sessionID, int32_t pageNo) {
  TVLMKeyPath path;
  if (!FindPage(sessionID, pageNo, path)) return -1;
  return GetValueAt(sessionID, path);
}

// --------------------------------------------------------- record numbers

void TVLMBTreePageIndex::RecNoToPage(int32_t sessionID, int32_t& pageNo, int32_t& position, int64_t recNo) {
  TVLMKeyPath path;
  if (recNo >= 0 && GoFirst(sessionID, path)) {
    // Leaf by leaf along the level chain, adding each page's records.
    int32_t leafNo = path.Levels[path.Depth - 1].PageNo;
    int64_t sum = 0;
    std::unordered_set<int32_t> visited;
    while (leafNo != -1) {
      TVLMBTreePagePtr leaf = LoadChainLeaf(sessionID, leafNo, path.Depth - 1, visited);
      for (int32_t i = 0; i < leaf->GetEntryCount(); ++i) {
        const uint16_t value = LeafValue(*leaf, i);
        sum += value;
        if (sum > recNo) {
          pageNo = LeafPageNo(*leaf, i);
          position = static_cast<int32_t>(recNo - (sum - value));
          return;
        }
      }
      leafNo = leaf->GetNextPageNo();
    }
  }
  throw EVLMException(20113, "Cannot set RecNo greater than RecordCount");
}

void TVLMBTreePageIndex::RecordsBefore(int32_t sessionID, int32_t pageNo, int64_t& count, int64_t offset) {
  TVLMKeyPath path;
  if (!FindPage(sessionID, pageNo, path)) throw EVLMException(20114, "Invalid page number");
  int64_t sum = 0;
  int32_t leafNo = path.Levels[path.Depth - 1].PageNo;
  int32_t end = path.Levels[path.Depth - 1].EntryNo;  // entries before it count
  std::unordered_set<int32_t> visited;
  while (leafNo != -1) {
    TVLMBTreePagePtr leaf = LoadChainLeaf(sessionID, leafNo, path.Depth - 1, visited);
    for (int32_t i = 0; i < end && i < leaf->GetEntryCount(); ++i) sum += LeafValue(*leaf, i);
    leafNo = leaf->GetPrevPageNo();
    end = INT32_MAX;  // every entry of the leaves before
  }
  count = sum + offset;
}

void TVLMBTreePageIndex::CheckRecordCount(int32_t sessionID, int64_t expected) {
  int64_t sum = 0;
  TVLMKeyPath path;
  if (GoFirst(sessionID, path)) {
    int32_t leafNo = path.Levels[path.Depth - 1].PageNo;
    std::unordered_set<int32_t> visited;
    while (leafNo != -1) {
      TVLMBTreePagePtr leaf = LoadChainLeaf(sessionID, leafNo, path.Depth - 1, visited);
      for (int32_t i = 0; i < leaf->GetEntryCount(); ++i) sum += LeafValue(*leaf, i);
      leafNo = leaf->GetNextPageNo();
    }
  }
  if (sum != expected)
    throw EVLMException(20292,
                        "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=%d, "
                        "MostUpdated.RecordCount=%d",
                        {static_cast<long long>(sum), static_cast<long long>(expected)});
}

// ----------------------------------------------------------- descendants

int64_t TVLMBTreeRecordPageIndex::RoomBound(int32_t) { return MaxRecordsPerPage; }

int64_t TVLMBTreeBlobPageIndex::RoomBound(int32_t needed) {
  return static_cast<int64_t>(PageManager->PageDataSize) - 2 - needed;
}
