// VLMBTree, pages part: the B-tree page over a page of the page manager and
// the leaf and node controllers that hold the tree algorithms (search inside
// a page, descent, insertion with splits, deletion with merges, walks by
// condition, integrity check). The page layout and the invariants the
// algorithms keep are described in VLMBTree.h.
//
// Paths: every descent pushes one level per node it passes; a leaf pushes
// itself only when the operation ends there without changing the tree's
// shape. A split or merge moves the path's current level up to the parent
// (Up) before it changes the parent, so the parent is always the page at the
// path's current level.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/storage/VLMBTree.h"

namespace {

// The node at the path's current level.
TVLMBTreePlace ParentPlace(const TVLMKeyPath& path) { return TVLMBTreePlace::AtLevel(path.Current, 0); }

void RaiseIntegrity(int32_t code, int32_t pageNo, int32_t entryNo) {
  throw EVLMException(code, "Index integrity error. PageNo=%d EntryNo=%d", {pageNo, entryNo});
}

// Scratch key and value of one comparison against a subtree's first or last
// entry.
struct KeyValueBuffer {
  KeyValueBuffer(const TVLMBTreeKeyRef& keyRef)
      : Key(static_cast<size_t>(std::max(keyRef.KeySize, 1)), 0),
        Value(static_cast<size_t>(std::max<int32_t>(keyRef.ValueSize, kVLMBTreeNodeValueSize)), 0) {}
  std::vector<uint8_t> Key;
  std::vector<uint8_t> Value;
};

}  // namespace

// -------------------------------------------------------------- page life

void TVLMBTreePageRelease::operator()(TVLMBTreePage* page) const noexcept {
  if (page == nullptr) return;
  TVLMPageManager* manager = page->PageManager;
  if (page->Page != nullptr && manager != nullptr) {
    try {
      manager->ReleasePage(page->Page);
    } catch (...) {
      // Only a broken use count makes a release fail; nothing better can be
      // done while a scope unwinds.
    }
  }
  // The object lives in a block of its page manager (Construct).
  page->~TVLMBTreePage();
  manager->GiveBlock(page, sizeof(TVLMBTreePage));
}

TVLMBTreePagePtr TVLMBTreePage::Construct(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef) {
  return TVLMBTreePagePtr(new (pageManager->TakeBlock(sizeof(TVLMBTreePage))) TVLMBTreePage(pageManager, keyRef));
}

TVLMBTreePage::TVLMBTreePage(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef)
    : TVLMPageController(nullptr),
      KeyRef(keyRef),
      PageManager(pageManager),
      LeafController(this),
      NodeController(this) {}

TVLMBTreePagePtr TVLMBTreePage::New(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef, int32_t sessionID) {
  TVLMBTreePagePtr page = Construct(pageManager, keyRef);
  page->Page = pageManager->NewPage(sessionID, kVLMPageTableIndex);
  page->ClearHead();
  return page;
}

TVLMBTreePagePtr TVLMBTreePage::Load(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef, int32_t sessionID,
                                     int32_t pageNo, const TVLMBTreePlace& place) {
  TVLMBTreePagePtr page = Construct(pageManager, keyRef);
  page->Page = pageManager->GetPage(sessionID, pageNo, true, kVLMPageTableIndex);
  page->CheckHead(place);
  page->Level_ = place.Level;
  page->LevelKnown_ = place.LevelKnown;
  return page;
}

void TVLMBTreePage::CheckHead(const TVLMBTreePlace& place) const {
  const uint8_t isRoot = Data()[kVLMBTreeIsRootOffset];
  const uint8_t isLeaf = Data()[kVLMBTreeIsLeafOffset];
  // Every writer stores the tree's key size and 0 or 1 in the flags; the
  // entries must lie inside the data area whatever the stored counts say.
  const int64_t used = kVLMBTreeHeadSize + static_cast<int64_t>(GetVarAreaSize()) +
                       static_cast<int64_t>(GetEntryCount()) * EntrySize();
  if (isRoot > 1 || isLeaf > 1 || GetKeySize() != KeyRef->KeySize || used > DataSize())
    throw EVLMException(10602,
                        "Index page head is damaged. PageNo=%d IsRoot=%d IsLeaf=%d KeySize=%d EntryCount=%d "
                        "VarAreaSize=%d HasExtra=%d",
                        {GetPageNo(), static_cast<int>(isRoot), static_cast<int>(isLeaf),
                         static_cast<int>(GetKeySize()), GetEntryCount(), static_cast<int>(GetVarAreaSize()),
                         static_cast<int>(GetHasExtra())});
  if (place.Level >= TVLMKeyPath::kMaxDepth || (place.LevelKnown && (isRoot == 1) != (place.Level == 0)) ||
      (place.Leaf >= 0 && isLeaf != place.Leaf))
    throw EVLMException(10603, "Index page out of its place in the tree. PageNo=%d IsRoot=%d IsLeaf=%d Level=%d",
                        {GetPageNo(), static_cast<int>(isRoot), static_cast<int>(isLeaf), place.Level});
}

void TVLMBTreePage::FreePage(int32_t sessionID, int32_t pageNo) const { PageManager->RemovePage(sessionID, pageNo); }

// ------------------------------------------------------------------- head

void TVLMBTreePage::ClearHead() {
  SetIsRoot(false);
  SetIsLeaf(false);
  SetPrevPageNo(-1);
  SetNextPageNo(-1);
  SetInitMark(0);
  SetHasExtra(0);
  SetKeySize(0);
  SetEntryCount(0);
  SetVarAreaSize(0);
}

void TVLMBTreePage::InitEmptyRoot() {
  ClearHead();
  SetIsRoot(true);
  SetIsLeaf(true);
  SetInitMark(1);
  SetHasExtra(0);
  SetVarAreaSize(0);
  SetKeySize(static_cast<uint16_t>(KeyRef->KeySize));
}

void TVLMBTreePage::SetEntryKey(int32_t index, const uint8_t* key) {
  std::memcpy(EntryKey(index), key, GetKeySize());
}

void TVLMBTreePage::GetEntryValue(int32_t index, uint8_t* value) const {
  std::memcpy(value, EntryValue(index), static_cast<size_t>(ValueSize()));
}

void TVLMBTreePage::CopyFrom(const TVLMBTreePage& source, int32_t start, int32_t count) {
  std::memcpy(Data(), source.Data(), static_cast<size_t>(kVLMBTreeHeadSize + source.GetVarAreaSize()));
  const int32_t entrySize = EntrySize();
  if (count > 0)
    std::memcpy(EntryKey(0), source.EntryKey(start), static_cast<size_t>(count) * static_cast<size_t>(entrySize));
  SetEntryCount(count);
}

void TVLMBTreePage::AppendFrom(const TVLMBTreePage& source, int32_t start, int32_t count) {
  const int32_t n = GetEntryCount();
  if (count > 0)
    std::memcpy(EntryKey(n), source.EntryKey(start), static_cast<size_t>(count) * static_cast<size_t>(EntrySize()));
  SetEntryCount(n + count);
}

void TVLMBTreePage::PrependFrom(const TVLMBTreePage& source, int32_t start, int32_t count) {
  const int32_t n = GetEntryCount();
  const int64_t entrySize = EntrySize();
  if (count <= 0) return;
  VLMMove(EntryKey(0), EntryKey(count), n * entrySize);
  std::memcpy(EntryKey(0), source.EntryKey(start), static_cast<size_t>(count * entrySize));
  SetEntryCount(n + count);
}

void TVLMBTreePage::GrowByOneEntry() { Resize(PageSize() + EntrySize()); }

void TVLMBTreePage::InsertEntryForChild(int32_t sessionID, const uint8_t* key, int32_t childPageNo,
                                        TVLMKeyPath& path) {
  if (GetIsLeaf()) throw EVLMException(20020, "Internal index error");
  NodeController.InsertEntryForChild(sessionID, key, childPageNo, path);
}

void TVLMBTreePage::DeleteEntryForChild(int32_t sessionID, bool mergedIntoPrevious, TVLMKeyPath& path) {
  if (GetIsLeaf()) throw EVLMException(20024, "Internal index error");
  NodeController.DeleteEntryForChild(sessionID, mergedIntoPrevious, path);
}

// ------------------------------------------------------- base controller

bool TVLMBTreePageController::HasRoomForOne() const {
  return (Page->GetEntryCount() + 1) * Page->EntrySize() + kVLMBTreeHeadSize + Page->GetVarAreaSize() <=
         Page->DataSize();
}

bool TVLMBTreePageController::IsOverfull() const {
  return Page->GetEntryCount() * Page->EntrySize() + kVLMBTreeHeadSize + Page->GetVarAreaSize() > Page->DataSize();
}

bool TVLMBTreePageController::IsUnderfull() const {
  return (Page->DataSize() - kVLMBTreeHeadSize - Page->GetVarAreaSize()) / 2 >
         Page->GetEntryCount() * Page->EntrySize();
}

bool TVLMBTreePageController::CanMergeInto(const TVLMBTreePage& sibling) const {
  return (Page->GetEntryCount() + sibling.GetEntryCount()) * Page->EntrySize() + kVLMBTreeHeadSize +
             Page->GetVarAreaSize() <
         sibling.DataSize();
}

int32_t TVLMBTreePageController::CompareKeyAt(bool exact, int32_t sessionID, int32_t index, const uint8_t* key) {
  // A node entry's value is a child page number, never a record ID. The
  // entry is addressed once: this runs on every step of every bisection.
  const uint8_t* entry = Page->EntryKey(index);
  const uint8_t* recordID = Page->GetIsLeaf() ? entry + Page->GetKeySize() : nullptr;
  return Page->KeyRef->Compare(key, entry, recordID, nullptr, sessionID, exact);
}

int32_t TVLMBTreePageController::CompareValueAt(const uint8_t* value, int32_t index) {
  return TVLMBTreeKeyRef::CompareValues(value, Page->EntryValue(index), Page->KeyRef->ValueSize);
}

int32_t TVLMBTreePageController::CompareAt(bool exact, int32_t sessionID, int32_t index, const uint8_t* key,
                                           const uint8_t* value) {
  int32_t r = CompareKeyAt(exact, sessionID, index, key);
  if (r == 0 && value != nullptr) r = Page->CompareEntryValue(exact, key, index, value, sessionID);
  return r;
}

int32_t TVLMBTreePageController::LowerBound(bool exact, int32_t sessionID, int32_t low, const uint8_t* key) {
  int32_t lo = low;
  int32_t hi = Page->GetEntryCount();
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (CompareKeyAt(exact, sessionID, mid, key) > 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

int32_t TVLMBTreePageController::UpperBound(bool exact, int32_t sessionID, int32_t low, const uint8_t* key) {
  int32_t lo = low;
  int32_t hi = Page->GetEntryCount();
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (CompareKeyAt(exact, sessionID, mid, key) >= 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

int32_t TVLMBTreePageController::SearchPage(bool exact, const uint8_t* key, int32_t direction, int32_t& result,
                                            int32_t low, const uint8_t* value, int32_t sessionID) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) {
    result = kVLMSearchPageEmpty;
    return 0;
  }
  // Without a value the first or last equal entry is a bound of the run of
  // equal keys, found by bisection.
  if (value == nullptr && direction == kVLMSearchFirstEqual) {
    const int32_t index = LowerBound(exact, sessionID, low, key);
    result = index < n && CompareKeyAt(exact, sessionID, index, key) == 0 ? kVLMSearchFound : kVLMSearchNotFound;
    return index;
  }
  if (value == nullptr && direction == kVLMSearchLastEqual) {
    const int32_t index = UpperBound(exact, sessionID, low, key);
    if (index > low && CompareKeyAt(exact, sessionID, index - 1, key) == 0) {
      result = kVLMSearchFound;
      return index - 1;
    }
    result = kVLMSearchNotFound;
    return index;
  }
  int32_t lo = low;
  int32_t hi = n - 1;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const int32_t r = CompareAt(exact, sessionID, mid, key, value);
    if (r < 0) {
      hi = mid - 1;
    } else if (r > 0) {
      lo = mid + 1;
    } else {
      result = kVLMSearchFound;
      int32_t index = mid;
      if (direction == kVLMSearchFirstEqual) {
        while (index - 1 >= low && CompareKeyAt(exact, sessionID, index - 1, key) == 0) --index;
      } else if (direction == kVLMSearchLastEqual) {
        while (index + 1 < n && CompareKeyAt(exact, sessionID, index + 1, key) == 0) ++index;
      }
      return index;
    }
  }
  result = kVLMSearchNotFound;
  return lo;
}

void TVLMBTreePageController::InsertEntryAt(const uint8_t* key, const uint8_t* value, int32_t index) {
  if (!HasRoomForOne()) Page->GrowByOneEntry();
  const int32_t n = Page->GetEntryCount();
  const int64_t entrySize = Page->EntrySize();
  VLMMove(Page->EntryKey(index), Page->EntryKey(index + 1), (n - index) * entrySize);
  uint8_t* entry = Page->EntryKey(index);
  std::memset(entry, 0, static_cast<size_t>(entrySize));
  if (key != nullptr) std::memcpy(entry, key, Page->GetKeySize());
  std::memcpy(entry + Page->GetKeySize(), value, static_cast<size_t>(Page->ValueSize()));
  Page->SetEntryCount(n + 1);
}

void TVLMBTreePageController::DeleteEntryAt(int32_t index) {
  const int32_t n = Page->GetEntryCount();
  if (n < 1) throw EVLMException(20025, "Index error: page is empty");
  const int64_t entrySize = Page->EntrySize();
  VLMMove(Page->EntryKey(index + 1), Page->EntryKey(index), (n - index - 1) * entrySize);
  Page->SetEntryCount(n - 1);
}

bool TVLMBTreePageController::FindEntryInPage(const uint8_t* key, int32_t& index, const uint8_t* value,
                                              int32_t sessionID) {
  const int32_t n = Page->GetEntryCount();
  if (key == nullptr) {
    for (int32_t i = 0; i < n; ++i) {
      if (CompareValueAt(value, i) == 0) {
        index = i;
        return true;
      }
    }
    return false;
  }
  // The pair is unique, so the bisection over (key, value) lands on it.
  int32_t result = 0;
  const int32_t found = SearchPage(true, key, kVLMSearchAnyEqual, result, 0, value, sessionID);
  if (result != kVLMSearchFound) return false;
  index = found;
  return true;
}

void TVLMBTreePageController::MarkModified() { Page->SetModified(true); }

void TVLMBTreePageController::Split(int32_t sessionID, TVLMKeyPath& path) {
  if (Page->GetIsRoot()) SplitRoot(sessionID, path);
  else SplitPage(sessionID, path);
}

void TVLMBTreePageController::SplitRoot(int32_t sessionID, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  const int32_t half = n / 2;
  TVLMBTreePagePtr left = Page->NewPage(sessionID);
  TVLMBTreePagePtr right = Page->NewPage(sessionID);
  left->CopyFrom(*Page, 0, half);
  right->CopyFrom(*Page, half, n - half);
  left->SetIsRoot(false);
  right->SetIsRoot(false);
  left->SetNextPageNo(right->GetPageNo());
  right->SetPrevPageNo(left->GetPageNo());
  left->SetModified(true);
  right->SetModified(true);
  // The root keeps its number and becomes the node above both halves; the
  // leftmost entry of a level carries a zero key.
  Page->SetIsLeaf(false);
  Page->SetEntryCount(0);
  Page->InsertEntryForChild(sessionID, nullptr, left->GetPageNo(), path);
  Page->InsertEntryForChild(sessionID, right->EntryKey(0), right->GetPageNo(), path);
  MarkModified();
}

void TVLMBTreePageController::SplitPage(int32_t sessionID, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  const int32_t half = n / 2;
  TVLMBTreePagePtr created = Page->NewPage(sessionID);
  created->CopyFrom(*Page, half, n - half);
  Page->SetEntryCount(half);
  const int32_t oldNext = Page->GetNextPageNo();
  created->SetNextPageNo(oldNext);
  created->SetPrevPageNo(Page->GetPageNo());
  if (oldNext != -1) {
    TVLMBTreePagePtr next = Page->LoadPage(sessionID, oldNext, Page->SiblingPlace());
    next->SetPrevPageNo(created->GetPageNo());
    next->SetModified(true);
  }
  Page->SetNextPageNo(created->GetPageNo());
  created->SetModified(true);
  MarkModified();
  path.Up();
  {
    TVLMBTreePagePtr parent = Page->LoadPage(sessionID, path.CurrentPageNo(), ParentPlace(path));
    parent->InsertEntryForChild(sessionID, created->EntryKey(0), created->GetPageNo(), path);
  }
  path.Down();
}

bool TVLMBTreePageController::TryMerge(int32_t sessionID, TVLMKeyPath& path) {
  if (Page->GetIsRoot()) return false;
  const int32_t prev = Page->GetPrevPageNo();
  if (prev != -1 && TryMergeWith(sessionID, prev, path)) return true;
  const int32_t next = Page->GetNextPageNo();
  return next != -1 && TryMergeWith(sessionID, next, path);
}

bool TVLMBTreePageController::TryMergeWith(int32_t sessionID, int32_t siblingPageNo, TVLMKeyPath& path) {
  TVLMBTreePagePtr sibling = Page->LoadPage(sessionID, siblingPageNo, Page->SiblingPlace());
  // Entries move between the two pages as they are, so both must lay them
  // out alike; only a damaged head makes them differ.
  if (sibling->EntrySize() != Page->EntrySize() || sibling->EntriesOffset() != Page->EntriesOffset())
    throw EVLMException(10605, "Index pages of one level lay out their entries differently. PageNo=%d PageNo=%d",
                        {Page->GetPageNo(), siblingPageNo});
  // A page without entries moves nothing, so it always goes: a node left
  // empty would send a later descent to child -1.
  if (Page->GetEntryCount() > 0 && !CanMergeInto(*sibling)) return false;
  if (siblingPageNo != Page->GetPrevPageNo()) MergeIntoNext(sessionID, *sibling, path);
  else MergeIntoPrevious(sessionID, *sibling, path);
  Page->FreePage(sessionID, Page->GetPageNo());
  return true;
}

void TVLMBTreePageController::MergeIntoPrevious(int32_t sessionID, TVLMBTreePage& sibling, TVLMKeyPath& path) {
  const int32_t oldNext = Page->GetNextPageNo();
  if (oldNext != -1) {
    TVLMBTreePagePtr next = Page->LoadPage(sessionID, oldNext, Page->SiblingPlace());
    next->SetPrevPageNo(sibling.GetPageNo());
    next->SetModified(true);
  }
  path.Up();
  TVLMBTreePagePtr parent = Page->LoadPage(sessionID, path.CurrentPageNo(), ParentPlace(path));
  const int32_t n = Page->GetEntryCount();
  if (!Page->GetIsLeaf() && n > 0) {
    // Entry 0 of a node may hold a zero or an old key; once it is no longer
    // first it must carry the real smallest key of its subtree.
    KeyValueBuffer first(*Page->KeyRef);
    if (Page->GetFirstKey(sessionID, first.Key.data())) Page->SetEntryKey(0, first.Key.data());
  }
  sibling.AppendFrom(*Page, 0, n);
  sibling.SetNextPageNo(oldNext);
  sibling.SetModified(true);
  MarkModified();
  parent->DeleteEntryForChild(sessionID, true, path);
}

void TVLMBTreePageController::MergeIntoNext(int32_t sessionID, TVLMBTreePage& sibling, TVLMKeyPath& path) {
  const int32_t oldPrev = Page->GetPrevPageNo();
  if (oldPrev != -1) {
    TVLMBTreePagePtr prev = Page->LoadPage(sessionID, oldPrev, Page->SiblingPlace());
    prev->SetNextPageNo(sibling.GetPageNo());
    prev->SetModified(true);
  }
  path.Up();
  TVLMBTreePagePtr parent = Page->LoadPage(sessionID, path.CurrentPageNo(), ParentPlace(path));
  if (!Page->GetIsLeaf() && sibling.GetEntryCount() > 0) {
    KeyValueBuffer first(*Page->KeyRef);
    if (sibling.GetFirstKey(sessionID, first.Key.data())) sibling.SetEntryKey(0, first.Key.data());
  }
  sibling.PrependFrom(*Page, 0, Page->GetEntryCount());
  sibling.SetPrevPageNo(oldPrev);
  sibling.SetModified(true);
  MarkModified();
  parent->DeleteEntryForChild(sessionID, false, path);
}

void TVLMBTreePageController::CollapseRoot(int32_t sessionID) {
  // A root node with a single entry adds a level and nothing else; it takes
  // over its child's entries until it is a leaf or has two entries again.
  while (Page->GetIsRoot() && !Page->GetIsLeaf() && Page->GetEntryCount() == 1) {
    const int32_t childNo = Page->ChildPageNo(0);
    TVLMBTreePagePtr child = Page->LoadPage(sessionID, childNo, Page->ChildPlace());
    Page->CopyFrom(*child, 0, child->GetEntryCount());
    Page->SetIsRoot(true);
    MarkModified();
    Page->FreePage(sessionID, childNo);
  }
}

// ------------------------------------------------------------- leaf

int32_t TVLMBTreeLeafController::CompareEntryValue(bool, const uint8_t*, int32_t index, const uint8_t* value,
                                                   int32_t) {
  return CompareValueAt(value, index);
}

void TVLMBTreeLeafController::CheckEntryFits() const {
  // A split needs room for one entry in each half and two in the node above.
  const int32_t area = Page->DataSize() - kVLMBTreeHeadSize - Page->GetVarAreaSize();
  const int32_t extra = Page->GetHasExtra() != 0 ? kVLMBTreeExtraSize : 0;
  if (Page->EntrySize() > area || 2 * (Page->GetKeySize() + kVLMBTreeNodeValueSize + extra) > area)
    throw EVLMException(20344, "Index key is too large for the page size. KeySize = %d, PageSize = %d",
                        {static_cast<int>(Page->GetKeySize()), Page->PageSize()});
}

void TVLMBTreeLeafController::InsertEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                          const uint8_t* value) {
  CheckEntryFits();
  int32_t result = 0;
  const int32_t position = SearchPage(true, key, kVLMSearchAnyEqual, result, 0, value, sessionID);
  InsertEntryAtPosition(sessionID, key, path, value, position);
}

bool TVLMBTreeLeafController::AppendEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                          const uint8_t* value) {
  CheckEntryFits();
  // Above the last entry the key is above every entry: the bisection over
  // the pairs would end after the last one too.
  const int32_t n = Page->GetEntryCount();
  if (n > 0 && CompareKeyAt(true, sessionID, n - 1, key) <= 0) return false;
  InsertEntryAtPosition(sessionID, key, path, value, n);
  return true;
}

bool TVLMBTreeLeafController::KeyAboveAll(int32_t sessionID, const uint8_t* key) {
  const int32_t n = Page->GetEntryCount();
  return n == 0 || CompareKeyAt(true, sessionID, n - 1, key) > 0;
}

void TVLMBTreeLeafController::InsertEntryAtPosition(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                                    const uint8_t* value, int32_t position) {
  InsertEntryAt(key, value, position);
  if (!IsOverfull()) {
    MarkModified();
    path.Push(Page->GetPageNo(), position, Page->GetEntryCount());
    return;
  }
  Split(sessionID, path);
}

bool TVLMBTreeLeafController::DeleteEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                          const uint8_t* value) {
  int32_t index = 0;
  if (!FindEntryInPage(key, index, value, sessionID)) return false;
  DeleteEntryAt(index);
  MarkModified();
  const bool merged = IsUnderfull() && TryMerge(sessionID, path);
  VLM_INVARIANT("VLMBTree 5", merged || Page->GetIsRoot() || Page->GetEntryCount() > 0);
  return true;
}

void TVLMBTreeLeafController::FreePages(int32_t sessionID, bool keepRoot) {
  if (Page->GetIsRoot() && keepRoot) return;
  Page->FreePage(sessionID, Page->GetPageNo());
}

void TVLMBTreeLeafController::CheckIntegrity(int32_t sessionID, TVLMKeyPath&) {
  const int32_t n = Page->GetEntryCount();
  const bool prefixParts = Page->KeyRef->HasPrefixParts();
  for (int32_t i = 0; i + 1 < n; ++i) {
    const int32_t r = CompareKeyAt(false, sessionID, i + 1, Page->EntryKey(i));
    if (r > 0) RaiseIntegrity(20028, Page->GetPageNo(), i);
    if (!prefixParts && r == 0 && CompareValueAt(Page->EntryValue(i), i + 1) >= 0)
      RaiseIntegrity(20028, Page->GetPageNo(), i);
  }
}

bool TVLMBTreeLeafController::FindEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                        const uint8_t* value) {
  int32_t index = 0;
  if (!FindEntryInPage(key, index, value, sessionID)) return false;
  path.Push(Page->GetPageNo(), index, Page->GetEntryCount());
  return true;
}

bool TVLMBTreeLeafController::GoFirst(int32_t, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  path.Push(Page->GetPageNo(), 0, n);
  return true;
}

bool TVLMBTreeLeafController::GoLast(int32_t, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  path.Push(Page->GetPageNo(), n - 1, n);
  return true;
}

bool TVLMBTreeLeafController::FindByCondition(int32_t sessionID, bool forward, TVLMKeyPath& path, uint8_t op,
                                              const uint8_t* key) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  // Leaves compare exactly: prefix ties are settled by the records.
  auto cmp = [&](int32_t index) { return CompareKeyAt(true, sessionID, index, key); };
  int32_t index = -1;
  if (forward) {
    switch (op) {
      case kVLMSearchNone: index = 0; break;
      case kVLMSearchEqual: {
        const int32_t lb = LowerBound(true, sessionID, 0, key);
        if (lb < n && cmp(lb) == 0) index = lb;
        break;
      }
      case kVLMSearchLess:
        if (cmp(0) > 0) index = 0;
        break;
      case kVLMSearchGreater: {
        const int32_t ub = UpperBound(true, sessionID, 0, key);
        if (ub < n) index = ub;
        break;
      }
      case kVLMSearchLessOrEqual:
        if (cmp(0) >= 0) index = 0;
        break;
      case kVLMSearchGreaterOrEqual: {
        const int32_t lb = LowerBound(true, sessionID, 0, key);
        if (lb < n) index = lb;
        break;
      }
      default: break;
    }
  } else {
    switch (op) {
      case kVLMSearchNone: index = n - 1; break;
      case kVLMSearchEqual: {
        const int32_t ub = UpperBound(true, sessionID, 0, key);
        if (ub > 0 && cmp(ub - 1) == 0) index = ub - 1;
        break;
      }
      case kVLMSearchLess: {
        const int32_t lb = LowerBound(true, sessionID, 0, key);
        if (lb > 0) index = lb - 1;
        break;
      }
      case kVLMSearchGreater:
        if (cmp(n - 1) < 0) index = n - 1;
        break;
      case kVLMSearchLessOrEqual: {
        const int32_t ub = UpperBound(true, sessionID, 0, key);
        if (ub > 0) index = ub - 1;
        break;
      }
      case kVLMSearchGreaterOrEqual:
        if (cmp(n - 1) <= 0) index = n - 1;
        break;
      default: break;
    }
  }
  if (index < 0) return false;
  path.Push(Page->GetPageNo(), index, n);
  return true;
}

bool TVLMBTreeLeafController::GetFirstKey(int32_t, uint8_t* key) {
  if (Page->GetEntryCount() == 0) return false;
  std::memcpy(key, Page->EntryKey(0), Page->GetKeySize());
  return true;
}

bool TVLMBTreeLeafController::GetLastKey(int32_t, uint8_t* key) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  std::memcpy(key, Page->EntryKey(n - 1), Page->GetKeySize());
  return true;
}

bool TVLMBTreeLeafController::GetFirstKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) {
  if (!GetFirstKey(sessionID, key)) return false;
  Page->GetEntryValue(0, value);
  return true;
}

bool TVLMBTreeLeafController::GetLastKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) {
  if (!GetLastKey(sessionID, key)) return false;
  Page->GetEntryValue(Page->GetEntryCount() - 1, value);
  return true;
}

// ------------------------------------------------------------- node

int32_t TVLMBTreeNodeController::ChildAt(int32_t index) const { return Page->ChildPageNo(index); }

TVLMBTreePagePtr TVLMBTreeNodeController::LoadChild(int32_t sessionID, int32_t index) {
  return Page->LoadPage(sessionID, ChildAt(index), Page->ChildPlace());
}

int32_t TVLMBTreeNodeController::CompareEntryValue(bool, const uint8_t* key, int32_t index, const uint8_t* value,
                                                   int32_t sessionID) {
  // A separator may be older than its subtree: the subtree's real smallest
  // pair decides, compared exactly.
  KeyValueBuffer first(*Page->KeyRef);
  {
    TVLMBTreePagePtr child = LoadChild(sessionID, index);
    if (!child->GetFirstKeyAndValue(sessionID, first.Key.data(), first.Value.data())) return 1;
  }
  TVLMBTreeKeyRef& keyRef = *Page->KeyRef;
  int32_t r = keyRef.Compare(key, first.Key.data(), first.Value.data(), value, sessionID, true);
  if (r == 0) r = TVLMBTreeKeyRef::CompareValues(value, first.Value.data(), keyRef.ValueSize);
  return r;
}

int32_t TVLMBTreeNodeController::ChildForPair(int32_t sessionID, const uint8_t* key, const uint8_t* value) {
  if (Page->GetEntryCount() == 0)
    throw EVLMException(20343, "Index integrity error. Node without entries. PageNo=%d", {Page->GetPageNo()});
  int32_t result = 0;
  const int32_t index = SearchPage(false, key, kVLMSearchAnyEqual, result, 1, value, sessionID);
  // Not found: the last separator not above the pair.
  return result == kVLMSearchFound ? index : std::max(index - 1, 0);
}

void TVLMBTreeNodeController::InsertEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                          const uint8_t* value) {
  const int32_t child = ChildForPair(sessionID, key, value);
  path.Push(Page->GetPageNo(), child, Page->GetEntryCount());
  TVLMBTreePagePtr page = LoadChild(sessionID, child);
  page->InsertEntry(sessionID, key, path, value);
}

bool TVLMBTreeNodeController::AppendEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                          const uint8_t* value) {
  // Above the last separator (entries 1 .. n-1) the key is above them all,
  // so the pair's child is the last one, as ChildForPair finds it.
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  if (n > 1 && CompareKeyAt(false, sessionID, n - 1, key) <= 0) return false;
  path.Push(Page->GetPageNo(), n - 1, n);
  TVLMBTreePagePtr page = LoadChild(sessionID, n - 1);
  if (page->AppendEntry(sessionID, key, path, value)) return true;
  path.Pop();
  return false;
}

bool TVLMBTreeNodeController::KeyAboveAll(int32_t sessionID, const uint8_t* key) {
  // The one child an equality search would look into is then the last.
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  if (n > 1 && CompareKeyAt(false, sessionID, n - 1, key) <= 0) return false;
  return LoadChild(sessionID, n - 1)->KeyAboveAll(sessionID, key);
}

bool TVLMBTreeNodeController::DeleteEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                          const uint8_t* value) {
  const int32_t child = ChildForPair(sessionID, key, value);
  path.Push(Page->GetPageNo(), child, Page->GetEntryCount());
  TVLMBTreePagePtr page = LoadChild(sessionID, child);
  return page->DeleteEntry(sessionID, key, path, value);
}

void TVLMBTreeNodeController::FreePages(int32_t sessionID, bool keepRoot) {
  const int32_t n = Page->GetEntryCount();
  for (int32_t i = 0; i < n; ++i) {
    const int32_t childNo = ChildAt(i);
    if (childNo == -1) continue;
    TVLMBTreePagePtr child = Page->LoadPage(sessionID, childNo, Page->ChildPlace());
    child->FreePages(sessionID, keepRoot);
  }
  if (Page->GetIsRoot() && keepRoot) return;
  Page->FreePage(sessionID, Page->GetPageNo());
}

void TVLMBTreeNodeController::CheckIntegrity(int32_t sessionID, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  const int32_t pageNo = Page->GetPageNo();
  if (n == 0) RaiseIntegrity(20345, pageNo, 0);
  for (int32_t i = 0; i < n; ++i) {
    if (path.ContainsPage(pageNo))
      throw EVLMException(20032, "Index integrity error. Circular links. PageNo=%d EntryNo=%d", {pageNo, i});
    path.Push(pageNo, i, n);
    {
      TVLMBTreePagePtr child = LoadChild(sessionID, i);
      if (i > 0 && child->GetPrevPageNo() != ChildAt(i - 1))
        throw EVLMException(20033, "Index integrity error. Invlaid leaf link. PageNo=%d EntryNo=%d", {pageNo, i});
      if (i < n - 1 && child->GetNextPageNo() != ChildAt(i + 1))
        throw EVLMException(20034, "Index integrity error. Invlaid leaf link. PageNo=%d EntryNo=%d", {pageNo, i});
      child->CheckIntegrity(sessionID, path);
    }
    path.Pop();
  }

  // Every separator lies between its neighbours' entries.
  TVLMBTreeKeyRef& keyRef = *Page->KeyRef;
  const bool prefixParts = keyRef.HasPrefixParts();
  KeyValueBuffer last(keyRef);
  KeyValueBuffer first(keyRef);
  int32_t unordered = -1;
  for (int32_t i = 1; i < n; ++i) {
    if (unordered < 0 && i + 1 < n &&
        keyRef.Compare(Page->EntryKey(i + 1), Page->EntryKey(i), nullptr, nullptr, sessionID, false) < 0)
      unordered = i;
    bool hasLast = false;
    bool hasFirst = false;
    {
      TVLMBTreePagePtr left = LoadChild(sessionID, i - 1);
      hasLast = left->GetLastKeyAndValue(sessionID, last.Key.data(), last.Value.data());
    }
    {
      TVLMBTreePagePtr right = LoadChild(sessionID, i);
      hasFirst = right->GetFirstKeyAndValue(sessionID, first.Key.data(), first.Value.data());
    }
    if (hasLast && keyRef.Compare(last.Key.data(), Page->EntryKey(i), nullptr, nullptr, sessionID, false) > 0)
      RaiseIntegrity(20030, pageNo, i);
    if (hasFirst && keyRef.Compare(Page->EntryKey(i), first.Key.data(), nullptr, nullptr, sessionID, false) > 0)
      RaiseIntegrity(20031, pageNo, i);
    if (!prefixParts && hasLast && hasFirst &&
        keyRef.Compare(last.Key.data(), first.Key.data(), nullptr, nullptr, sessionID, false) == 0 &&
        TVLMBTreeKeyRef::CompareValues(last.Value.data(), first.Value.data(), keyRef.ValueSize) >= 0)
      RaiseIntegrity(20194, pageNo, i);
  }
  if (unordered >= 0) RaiseIntegrity(20029, pageNo, unordered);
}

void TVLMBTreeNodeController::ChildRange(int32_t sessionID, uint8_t op, const uint8_t* key, int32_t& first,
                                         int32_t& last) {
  const int32_t n = Page->GetEntryCount();
  first = 0;
  last = n - 1;
  if (op == kVLMSearchNone || n == 0) return;
  // Separators (entries 1 .. n-1) compared by their key parts alone; the
  // run of separators equal to the key is [lb, ub).
  const int32_t lb = LowerBound(false, sessionID, 1, key);
  const int32_t ub = lb < n && CompareKeyAt(false, sessionID, lb, key) == 0 ? UpperBound(false, sessionID, lb, key)
                                                                             : lb;
  // Equal prefixes say nothing about the order behind them, so with prefix
  // parts a separator equal to the key may have smaller and greater entries
  // on either side.
  const bool prefixParts = Page->KeyRef->HasPrefixParts();
  switch (op) {
    case kVLMSearchEqual:
      if (lb < ub) {
        first = std::max(lb - 1, 0);
        last = ub - 1;
      } else {
        first = last = lb - 1;
      }
      break;
    case kVLMSearchLess: last = prefixParts ? ub - 1 : lb - 1; break;
    case kVLMSearchGreater: first = prefixParts ? std::max(lb - 1, 0) : ub - 1; break;
    case kVLMSearchLessOrEqual: last = ub - 1; break;
    case kVLMSearchGreaterOrEqual: first = std::max(lb - 1, 0); break;
    default: break;
  }
}

int32_t TVLMBTreeNodeController::LastChildBefore(int32_t sessionID, int32_t first, int32_t last, const uint8_t* key,
                                                 const uint8_t* value, bool orEqual) {
  TVLMBTreeKeyRef& keyRef = *Page->KeyRef;
  KeyValueBuffer entry(keyRef);
  int32_t lo = first + 1;
  int32_t hi = last + 1;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    {
      TVLMBTreePagePtr child = LoadChild(sessionID, mid);
      // Only a damaged tree has a child without entries: the tied run is
      // then entered from its first child, as without the bisection.
      if (!child->GetFirstKeyAndValue(sessionID, entry.Key.data(), entry.Value.data())) return first;
    }
    // The search key against the child's first entry: its record settles a
    // tie of the prefixes, the search key's is the last key made.
    int32_t r = keyRef.Compare(key, entry.Key.data(), entry.Value.data(), nullptr, sessionID, true);
    if (r == 0 && value != nullptr) r = TVLMBTreeKeyRef::CompareValues(value, entry.Value.data(), keyRef.ValueSize);
    if (r > 0 || (orEqual && r == 0)) lo = mid + 1;
    else hi = mid;
  }
  return lo - 1;
}

bool TVLMBTreeNodeController::FindEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path,
                                        const uint8_t* value) {
  int32_t first = 0;
  int32_t last = -1;
  ChildRange(sessionID, kVLMSearchEqual, key, first, last);
  // The pair lies in the last child whose first pair is not above it.
  if (last > first && Page->KeyRef->TiesSettledInFull())
    first = last = LastChildBefore(sessionID, first, last, key, value, true);
  const int32_t n = Page->GetEntryCount();
  for (int32_t i = first; i <= last; ++i) {
    path.Push(Page->GetPageNo(), i, n);
    bool found = false;
    {
      TVLMBTreePagePtr child = LoadChild(sessionID, i);
      found = child->FindEntry(sessionID, key, path, value);
    }
    if (found) return true;
    path.Pop();
  }
  return false;
}

bool TVLMBTreeNodeController::GoFirst(int32_t sessionID, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  path.Push(Page->GetPageNo(), 0, n);
  TVLMBTreePagePtr child = LoadChild(sessionID, 0);
  return child->GoFirst(sessionID, path);
}

bool TVLMBTreeNodeController::GoLast(int32_t sessionID, TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  path.Push(Page->GetPageNo(), n - 1, n);
  TVLMBTreePagePtr child = LoadChild(sessionID, n - 1);
  return child->GoLast(sessionID, path);
}

bool TVLMBTreeNodeController::FindByCondition(int32_t sessionID, bool forward, TVLMKeyPath& path, uint8_t op,
                                              const uint8_t* key) {
  int32_t first = 0;
  int32_t last = -1;
  ChildRange(sessionID, op, key, first, last);
  if (last > first && Page->KeyRef->TiesSettledInFull()) {
    // Among the tied children, the one that holds the boundary of the
    // entries meeting the condition: those of the children before it lie on
    // the near side (invariant 6).
    if (forward && (op == kVLMSearchEqual || op == kVLMSearchGreaterOrEqual || op == kVLMSearchGreater)) {
      const int32_t start = LastChildBefore(sessionID, first, last, key, nullptr, op == kVLMSearchGreater);
      if (FindInChild(sessionID, start, forward, path, op, key)) return true;
      // Nothing in it meets the condition: the next child's first entry is
      // the first beyond the key.
      return start < last && FirstEntryOf(sessionID, start + 1, op == kVLMSearchEqual ? key : nullptr, path);
    }
    if (!forward && (op == kVLMSearchEqual || op == kVLMSearchLessOrEqual || op == kVLMSearchLess)) {
      last = LastChildBefore(sessionID, first, last, key, nullptr, op != kVLMSearchLess);
      // The last equal entry lies in that child, or nowhere.
      if (op == kVLMSearchEqual) first = last;
    }
  }
  const int32_t step = forward ? 1 : -1;
  for (int32_t i = forward ? first : last; forward ? i <= last : i >= first; i += step)
    if (FindInChild(sessionID, i, forward, path, op, key)) return true;
  return false;
}

bool TVLMBTreeNodeController::FindInChild(int32_t sessionID, int32_t index, bool forward, TVLMKeyPath& path,
                                          uint8_t op, const uint8_t* key) {
  path.Push(Page->GetPageNo(), index, Page->GetEntryCount());
  bool found = false;
  {
    TVLMBTreePagePtr child = LoadChild(sessionID, index);
    found = child->FindByCondition(sessionID, forward, path, op, key);
  }
  if (!found) path.Pop();
  return found;
}

bool TVLMBTreeNodeController::FirstEntryOf(int32_t sessionID, int32_t index, const uint8_t* key, TVLMKeyPath& path) {
  const int32_t depth = path.Depth;
  const int32_t current = path.Current;
  path.Push(Page->GetPageNo(), index, Page->GetEntryCount());
  TVLMBTreePagePtr child = LoadChild(sessionID, index);
  bool found = true;
  if (key != nullptr) {
    TVLMBTreeKeyRef& keyRef = *Page->KeyRef;
    KeyValueBuffer entry(keyRef);
    found = child->GetFirstKeyAndValue(sessionID, entry.Key.data(), entry.Value.data()) &&
            keyRef.Compare(key, entry.Key.data(), entry.Value.data(), nullptr, sessionID, true) == 0;
  }
  found = found && child->GoFirst(sessionID, path);
  if (!found) {
    path.Depth = depth;
    path.Current = current;
  }
  return found;
}

bool TVLMBTreeNodeController::GetFirstKey(int32_t sessionID, uint8_t* key) {
  if (Page->GetEntryCount() == 0) return false;
  TVLMBTreePagePtr child = LoadChild(sessionID, 0);
  return child->GetFirstKey(sessionID, key);
}

bool TVLMBTreeNodeController::GetLastKey(int32_t sessionID, uint8_t* key) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  TVLMBTreePagePtr child = LoadChild(sessionID, n - 1);
  return child->GetLastKey(sessionID, key);
}

bool TVLMBTreeNodeController::GetFirstKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) {
  if (Page->GetEntryCount() == 0) return false;
  TVLMBTreePagePtr child = LoadChild(sessionID, 0);
  return child->GetFirstKeyAndValue(sessionID, key, value);
}

bool TVLMBTreeNodeController::GetLastKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) {
  const int32_t n = Page->GetEntryCount();
  if (n == 0) return false;
  TVLMBTreePagePtr child = LoadChild(sessionID, n - 1);
  return child->GetLastKeyAndValue(sessionID, key, value);
}

void TVLMBTreeNodeController::InsertEntryForChild(int32_t sessionID, const uint8_t* key, int32_t childPageNo,
                                                  TVLMKeyPath& path) {
  const int32_t n = Page->GetEntryCount();
  // The new child follows the child the path went through; a root that is
  // being filled after its split takes its two children in order.
  const int32_t position = n >= 2 ? path.Levels[path.Current].EntryNo + 1 : n;
  uint8_t value[kVLMBTreeNodeValueSize];
  VLMPutI32LE(value, childPageNo);
  InsertEntryAt(key, value, position);
  if (IsOverfull()) Split(sessionID, path);
  else MarkModified();
}

void TVLMBTreeNodeController::DeleteEntryForChild(int32_t sessionID, bool mergedIntoPrevious, TVLMKeyPath& path) {
  const int32_t current = path.Current;
  const int32_t entry = path.Levels[current].EntryNo;
  const int32_t n = Page->GetEntryCount();
  if (mergedIntoPrevious) {
    // The first child's entries went to the previous subtree: the separator
    // above this subtree becomes the new smallest key here. With a single
    // entry this node empties and its own merge fixes the separator above.
    if (entry == 0 && current > 0 && n >= 2) {
      int32_t level = current - 1;
      while (level > 0 && path.Levels[level].EntryNo < 1) --level;
      if (path.Levels[level].EntryNo >= 1) {
        TVLMBTreePagePtr ancestor =
            Page->LoadPage(sessionID, path.Levels[level].PageNo, TVLMBTreePlace::AtLevel(level, 0));
        ancestor->SetEntryKey(path.Levels[level].EntryNo, Page->EntryKey(1));
        ancestor->SetModified(true);
      }
    }
  } else {
    // The entries went to the next subtree: its separator drops to theirs.
    // Entry 0 of a node may hold a zero or an old key, lower than keys of
    // the previous subtree, so the first child's smallest key is read from
    // the child itself; a child without entries moved nothing.
    KeyValueBuffer first(*Page->KeyRef);
    const uint8_t* moved = Page->EntryKey(entry);
    if (entry == 0) moved = GetFirstKey(sessionID, first.Key.data()) ? first.Key.data() : nullptr;
    int32_t level = current;
    while (level >= 0 && path.Levels[level].EntryNo >= path.Levels[level].EntryCount - 1) --level;
    if (moved == nullptr) {
      // The separators stay as they are.
    } else if (level == current) {
      Page->SetEntryKey(entry + 1, moved);
    } else if (level >= 0) {
      TVLMBTreePagePtr ancestor =
          Page->LoadPage(sessionID, path.Levels[level].PageNo, TVLMBTreePlace::AtLevel(level, 0));
      ancestor->SetEntryKey(path.Levels[level].EntryNo + 1, moved);
      ancestor->SetModified(true);
    }
  }
  DeleteEntryAt(entry);
  MarkModified();
  const bool merged = IsUnderfull() && TryMerge(sessionID, path);
  if (!merged && Page->GetIsRoot() && Page->GetEntryCount() == 1) CollapseRoot(sessionID);
  VLM_INVARIANT("VLMBTree 5", merged || (Page->GetIsRoot() ? Page->GetIsLeaf() || Page->GetEntryCount() >= 2
                                                            : Page->GetEntryCount() > 0));
}
