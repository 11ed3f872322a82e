// VLMBTree, record index part: the 27 index slots over a record-key tree.
// The tree algorithms are VLMBTreePages.cpp's; this part makes keys from
// record buffers and conditions, keeps the key reference's search settings
// for one search at a time, and turns tree positions into record numbers,
// range walks and keyed probes. A reader's steps are the walk part's
// (VLMBTreeRecordWalk.cpp).
#include "engine/storage/VLMBTreeRecordIndex.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/storage/VLMBTreeRecordWalk.h"
#include "platform/host/ScopeExit.h"

namespace {

// -1 for a lower bound (> >=), 1 for an upper bound (< <=), 0 otherwise.
int32_t Direction(const TVLMScanSearchCondition& condition) {
  if (condition.Operator == kVLMScanGreater || condition.Operator == kVLMScanGreaterEqual) return -1;
  if (condition.Operator == kVLMScanLess || condition.Operator == kVLMScanLessEqual) return 1;
  return 0;
}

int32_t Sign(int64_t value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

std::mutex& WalkersLock() {
  static std::mutex lock;
  return lock;
}

TVLMRecordWalkerFactory& Walkers() {
  static TVLMRecordWalkerFactory walkers;
  return walkers;
}

// A copy, so that an install while a fill runs does not pull it away.
TVLMRecordWalkerFactory InstalledWalkers() {
  std::lock_guard<std::mutex> guard(WalkersLock());
  return Walkers();
}

}  // namespace

TVLMRecordWalkerFactory VLMInstallRecordWalkerFactory(TVLMRecordWalkerFactory factory) {
  std::lock_guard<std::mutex> guard(WalkersLock());
  std::swap(Walkers(), factory);
  return factory;
}

// ------------------------------------------------------ record manager walker

TVLMRecordManagerWalker::TVLMRecordManagerWalker(TVLMTableData& table, int32_t sessionID)
    : Table_(table), SessionID_(sessionID), Buffer_(nullptr) {
  const int32_t size = table.RecordManager != nullptr ? table.RecordManager->RecordBufferSize : 0;
  Buffer_ = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(size, 1)));
  Request_.Bof = true;
  Request_.RecordBuffer = Buffer_;
}

TVLMRecordManagerWalker::~TVLMRecordManagerWalker() { VLMMemoryManager().FreeMem(Buffer_); }

bool TVLMRecordManagerWalker::NextRecord(TVLMRecordID& recordID, const uint8_t*& recordBuffer) {
  if (Table_.RecordManager == nullptr) return false;
  Request_.Mode = 1;
  Table_.RecordManager->GetRecord(SessionID_, Request_);
  if (Request_.Result != kVLMNavOK) return false;
  recordID = Request_.RecordID;
  recordBuffer = Buffer_;
  return true;
}

// ---------------------------------------------------------------- basics

TVLMBTreeRecordIndex::TVLMBTreeRecordIndex(TVLMBaseIndexManager* indexManager, TVLMRecordWalkerFactory walkers)
    : TVLMIndex(indexManager), Walkers_(std::move(walkers)) {}

TVLMBTreeRecordIndex::~TVLMBTreeRecordIndex() = default;

int32_t TVLMBTreeRecordIndex::RootPageNo() const { return IndexDef ? IndexDef->RootPageNo : -1; }

TVLMTableData& TVLMBTreeRecordIndex::Table() const { return *IndexManager->TableData; }

TVLMPageManager* TVLMBTreeRecordIndex::Pages() const {
  TVLMPageManager* pages = IndexManager->GetPageManager(*this);
  if (pages == nullptr) throw EVLMException(20490, "Pointer is nil");
  return pages;
}

void TVLMBTreeRecordIndex::BuildKeyRef() {
  KeyRef.Build(*IndexDef, IndexManager->TableData);
  KeyRef.ValueSize = kVLMRecordIDSize;
  Key_.assign(static_cast<size_t>(std::max(KeyRef.KeySize, 1)), 0);
  FullKey1_.assign(static_cast<size_t>(std::max(KeyRef.FullKeySize, 1)), 0);
  FullKey2_.assign(static_cast<size_t>(std::max(KeyRef.FullKeySize, 1)), 0);
}

TVLMBTreePagePtr TVLMBTreeRecordIndex::LoadRoot(int32_t sessionID, int32_t code) {
  if (RootPageNo() < 0) throw EVLMException(code, "Invalid page number");
  return TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, RootPageNo(), TVLMBTreePlace::Root());
}

const uint8_t* TVLMBTreeRecordIndex::MakeKey(const uint8_t* recordBuffer) {
  KeyRef.MakeKey(recordBuffer, Key_.data());
  return Key_.data();
}

void TVLMBTreeRecordIndex::InsertKey(int32_t sessionID, const uint8_t* recordBuffer, const TVLMRecordID& recordID) {
  uint8_t value[kVLMRecordIDSize];
  VLMPutRecordID(value, recordID);
  TVLMBTreePagePtr root = LoadRoot(sessionID, 20127);
  const uint8_t* key = MakeKey(recordBuffer);
  if (TryAppend()) {
    TVLMKeyPath path;
    const bool appended = root->AppendEntry(sessionID, key, path, value);
    NoteAppend(appended);
    if (appended) return;
  }
  TVLMKeyPath path;
  root->InsertEntry(sessionID, key, path, value);
}

namespace {

// Inserts between two tries of the append descent while keys do not come in
// ascending order.
constexpr int32_t kAppendTryInterval = 32;

}  // namespace

bool TVLMBTreeRecordIndex::TryAppend() {
  if (Appending_) return true;
  if (++SinceAppendTry_ < kAppendTryInterval) return false;
  SinceAppendTry_ = 0;
  return true;
}

void TVLMBTreeRecordIndex::NoteAppend(bool appended) { Appending_ = appended; }

TVLMBTreePagePtr TVLMBTreeRecordIndex::ChainLeaf(int32_t sessionID, int32_t pageNo, int32_t level,
                                                 std::unordered_set<int32_t>& seen) {
  if (!seen.insert(pageNo).second)
    throw EVLMException(10674, "Index integrity error. The leaf chain returns to PageNo=%d", {pageNo});
  return TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, pageNo, TVLMBTreePlace::AtLevel(level, 1));
}

// ------------------------------------------------------------- life

void TVLMBTreeRecordIndex::CreateIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef) {
  TVLMIndex::CreateIndex(cursor, indexDef);
  BuildKeyRef();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  {
    TVLMBTreePagePtr root = TVLMBTreePage::New(Pages(), &KeyRef, sessionID);
    root->InitEmptyRoot();
    root->SetModified(true);
    IndexDef->RootPageNo = root->GetPageNo();
  }
  if (cursor == nullptr) return;
  const TVLMRecordWalkerFactory walkers = Walkers_ ? Walkers_ : InstalledWalkers();
  std::unique_ptr<TVLMRecordWalker> walker = walkers ? walkers(Table(), cursor) : nullptr;
  if (!walker) walker = std::make_unique<TVLMRecordManagerWalker>(Table(), sessionID);
  TVLMRecordID recordID;
  const uint8_t* record = nullptr;
  // A unique or primary index of the table must not start out holding a key
  // twice: its constraint would then refuse edits the index already breaks.
  const bool checkKeys = (IndexDef->Unique || IndexDef->Primary) && !IndexDef->Temporary;
  while (walker->NextRecord(recordID, record)) {
    if (checkKeys && !CanInsertKey(sessionID, record))
      throw EVLMException(20700, "Cannot create unique index '%s'. The table holds a key more than once",
                          {IndexDef->Name});
    InsertKey(sessionID, record, recordID);
  }
}

void TVLMBTreeRecordIndex::DropIndex(int32_t sessionID) {
  LoadRoot(sessionID, 20119)->FreePages(sessionID, false);
  IndexDef->RootPageNo = -1;
}

void TVLMBTreeRecordIndex::EmptyIndex(int32_t sessionID) {
  TVLMBTreePagePtr root = LoadRoot(sessionID, 20120);
  root->FreePages(sessionID, true);
  root->InitEmptyRoot();
  root->SetModified(true);
}

void TVLMBTreeRecordIndex::OpenIndex(const TVLMIndexDef& indexDef) {
  TVLMIndex::OpenIndex(indexDef);
  BuildKeyRef();
}

void TVLMBTreeRecordIndex::RebuildIndex(TVLMCursor* cursor) {
  if (RootPageNo() != -1) DropIndex(VLMCursorSessionID(cursor));
  CreateIndex(cursor, *IndexDef);
}

// ------------------------------------------------------------- positions

bool TVLMBTreeRecordIndex::GoFirst(int32_t sessionID, TVLMKeyPath& path) {
  TVLMBTreePagePtr root = LoadRoot(sessionID, 20121);
  path.Clear();
  return root->GoFirst(sessionID, path);
}

bool TVLMBTreeRecordIndex::GoLast(int32_t sessionID, TVLMKeyPath& path) {
  TVLMBTreePagePtr root = LoadRoot(sessionID, 20122);
  path.Clear();
  return root->GoLast(sessionID, path);
}

bool TVLMBTreeRecordIndex::NextEntry(int32_t sessionID, TVLMKeyPath& path) {
  return VLMStepKeyPath(Pages(), &KeyRef, sessionID, path, true, 20069, 20070);
}

bool TVLMBTreeRecordIndex::PriorEntry(int32_t sessionID, TVLMKeyPath& path) {
  return VLMStepKeyPath(Pages(), &KeyRef, sessionID, path, false, 20069, 20071);
}

TVLMRecordID TVLMBTreeRecordIndex::GetRecordIDAt(int32_t sessionID, const TVLMKeyPath& path) {
  if (path.Depth < 1) throw EVLMException(20068, "Index error: invalid position");
  const TVLMKeyPathLevel& level = path.Levels[path.Depth - 1];
  TVLMBTreePagePtr leaf =
      TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, level.PageNo, TVLMBTreePlace::AtLevel(path.Depth - 1, 1));
  if (level.EntryNo < 0 || level.EntryNo >= leaf->GetEntryCount())
    throw EVLMException(20068, "Index error: invalid position");
  return VLMGetRecordID(leaf->EntryValue(level.EntryNo));
}

void TVLMBTreeRecordIndex::CheckIntegrity(int32_t sessionID) {
  TVLMKeyPath path;
  LoadRoot(sessionID, 20121)->CheckIntegrity(sessionID, path);
}

bool TVLMBTreeRecordIndex::Descend(int32_t sessionID, const TVLMKeyPath& digits, TVLMKeyPath& path, bool clamp) {
  path.Clear();
  int32_t pageNo = RootPageNo();
  if (pageNo < 0) return false;
  for (int32_t level = 0;; ++level) {
    TVLMBTreePagePtr page =
        TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, pageNo, TVLMBTreePlace::AtLevel(level));
    const int32_t count = page->GetEntryCount();
    int32_t entry = level < digits.Depth ? digits.Levels[level].EntryNo : 0;
    if (entry < 0 || entry >= count) {
      if (!clamp || count == 0) return false;
      entry = std::clamp(entry, 0, count - 1);
    }
    path.Push(pageNo, entry, count);
    if (page->GetIsLeaf()) return clamp || level == digits.Depth - 1;
    pageNo = page->ChildPageNo(entry);
  }
}

bool TVLMBTreeRecordIndex::FindKeyPath(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& keyPath,
                                       const uint8_t* recordBuffer) {
  TVLMBTreePagePtr root = LoadRoot(sessionID, 20124);
  keyPath.Clear();
  uint8_t value[kVLMRecordIDSize];
  VLMPutRecordID(value, recordID);
  return root->FindEntry(sessionID, MakeKey(recordBuffer), keyPath, value);
}

int32_t TVLMBTreeRecordIndex::CompareKeyPaths(const TVLMKeyPath* a, const TVLMKeyPath* b) {
  if (a == nullptr) throw EVLMException(10384, "Nil pointer occured");
  if (b == nullptr) throw EVLMException(10385, "Nil pointer occured");
  return a->ComparePaths(*b);
}

TVLMKeyPath* TVLMBTreeRecordIndex::CreateKeyPath() { return new TVLMKeyPath(); }

void TVLMBTreeRecordIndex::FreeKeyPath(TVLMKeyPath*& keyPath) {
  delete keyPath;
  keyPath = nullptr;
}

int32_t TVLMBTreeRecordIndex::GetFanOut() { return Pages()->PageDataSize / (KeyRef.KeySize + 4); }

TVLMIndexPageFigures TVLMBTreeRecordIndex::GetPageFigures() {
  const int32_t room = Pages()->PageDataSize - kVLMBTreeHeadSize;
  return {room / std::max(1, KeyRef.KeySize + KeyRef.ValueSize),
          room / std::max(1, KeyRef.KeySize + kVLMBTreeNodeValueSize)};
}

void TVLMBTreeRecordIndex::KeyPathToRecordID(int32_t sessionID, const TVLMKeyPath& keyPath, TVLMRecordID& recordID) {
  TVLMKeyPath path;
  if (keyPath.Depth < 1 || !Descend(sessionID, keyPath, path, true))
    throw EVLMException(20068, "Index error: invalid position");
  recordID = GetRecordIDAt(sessionID, path);
}

int64_t TVLMBTreeRecordIndex::KeyPathPosition(const TVLMKeyPath& keyPath, int32_t fanOut) {
  return keyPath.GetApproxPosition(fanOut);
}

void TVLMBTreeRecordIndex::SetKeyPathPosition(TVLMKeyPath& keyPath, int64_t position, int32_t fanOut) {
  keyPath.SetApproxPosition(position, fanOut);
}

// ------------------------------------------------------------ record numbers

int64_t TVLMBTreeRecordIndex::GetRecNo(int32_t sessionID, const TVLMRecordID& recordID,
                                       const uint8_t* recordBuffer) {
  TVLMKeyPath path;
  if (!FindKeyPath(sessionID, recordID, path, recordBuffer)) return -1;
  const int32_t leafLevel = path.Depth - 1;
  int64_t number = static_cast<int64_t>(path.Levels[leafLevel].EntryNo) + 1;
  // Nodes hold no counts: every leaf before this one adds its entries.
  std::unordered_set<int32_t> seen;
  int32_t pageNo = ChainLeaf(sessionID, path.Levels[leafLevel].PageNo, leafLevel, seen)->GetPrevPageNo();
  while (pageNo != -1) {
    TVLMBTreePagePtr leaf = ChainLeaf(sessionID, pageNo, leafLevel, seen);
    number += leaf->GetEntryCount();
    pageNo = leaf->GetPrevPageNo();
  }
  return number;
}

void TVLMBTreeRecordIndex::SetRecNo(int32_t sessionID, TVLMRecordID& recordID, int64_t recNo) {
  TVLMKeyPath path;
  if (recNo < 1 || !GoFirst(sessionID, path))
    throw EVLMException(20074, "Cannot retrieve record from empty index");
  const int32_t leafLevel = path.Depth - 1;
  std::unordered_set<int32_t> seen;
  int64_t before = 0;
  for (int32_t pageNo = path.Levels[leafLevel].PageNo; pageNo != -1;) {
    TVLMBTreePagePtr leaf = ChainLeaf(sessionID, pageNo, leafLevel, seen);
    const int32_t count = leaf->GetEntryCount();
    if (before + count >= recNo) {
      recordID = VLMGetRecordID(leaf->EntryValue(static_cast<int32_t>(recNo - 1 - before)));
      return;
    }
    before += count;
    pageNo = leaf->GetNextPageNo();
  }
  throw EVLMException(20075, "Cannot set RecNo greater than RecordCount");
}

// ---------------------------------------------------------------- keys

int32_t TVLMBTreeRecordIndex::CompareRecordWithKey(const uint8_t* record, const uint8_t* key, int32_t fieldCount) {
  const int32_t saved = KeyRef.PartCount;
  auto restore = qv::ScopeExit([&] { KeyRef.PartCount = saved; });
  const auto parts = static_cast<int32_t>(KeyRef.Parts.size());
  KeyRef.PartCount = fieldCount < 0 ? parts : std::min(fieldCount, parts);
  KeyRef.MakeFullKey(record, FullKey1_.data());
  KeyRef.MakeFullKey(key, FullKey2_.data());
  return Sign(KeyRef.CompareFull(FullKey1_.data(), FullKey2_.data()));
}

int32_t TVLMBTreeRecordIndex::CompareConditions(const TVLMScanSearchCondition& a, const TVLMScanSearchCondition& b) {
  return Sign(Direction(a) - Direction(b));
}

bool TVLMBTreeRecordIndex::SearchCondition(int32_t sessionID, const TVLMScanSearchCondition& condition,
                                           bool forward, uint8_t op, TVLMKeyPath& path) {
  if (condition.KeyBuffer == nullptr) throw EVLMException(20493, "Pointer is nil");
  const int32_t saved = KeyRef.PartCount;
  auto restore = qv::ScopeExit([&] {
    KeyRef.PartCount = saved;
    KeyRef.SetPartLimits(nullptr, false);
  });
  const auto parts = static_cast<int32_t>(KeyRef.Parts.size());
  KeyRef.PartCount = condition.KeyFieldCount < 0 ? parts : std::min(condition.KeyFieldCount, parts);
  const uint8_t* key = MakeKey(condition.KeyBuffer);
  KeyRef.SetPartLimits(condition.KeyBuffer, condition.PartialKey);
  return LoadRoot(sessionID, 20121)->FindByCondition(sessionID, forward, path, op, key);
}

bool TVLMBTreeRecordIndex::HoldsOneEntryAtMost(const TVLMScanSearchCondition& condition) const {
  // A stored unique index holds each key without nulls once; equality on
  // every column of it, none null, meets one entry or none.
  if ((!IndexDef->Unique && !IndexDef->Primary) || IndexDef->Temporary || condition.Operator != kVLMSearchEqual ||
      condition.PartialKey || condition.KeyBuffer == nullptr ||
      (condition.KeyFieldCount >= 0 && condition.KeyFieldCount < static_cast<int32_t>(KeyRef.Parts.size())))
    return false;
  for (const TVLMKeyPart& part : KeyRef.Parts)
    if (VLMGetBit(part.FieldNo, condition.KeyBuffer)) return false;
  return !KeyRef.Parts.empty();
}

bool TVLMBTreeRecordIndex::CanInsertKey(int32_t sessionID, const uint8_t* recordBuffer) {
  if (!IndexDef->Unique && !IndexDef->Primary) return true;
  TVLMBTreePagePtr root = LoadRoot(sessionID, 20126);
  const uint8_t* key = MakeKey(recordBuffer);
  // A key above every key equals none (the common case of an ascending
  // key); otherwise the equality search answers.
  if (TryAppend()) {
    const bool above = root->KeyAboveAll(sessionID, key);
    NoteAppend(above);
    if (above) return true;
  }
  TVLMKeyPath path;
  return !root->FindByCondition(sessionID, true, path, kVLMSearchEqual, key);
}

bool TVLMBTreeRecordIndex::CanUpdateKey(int32_t sessionID, const uint8_t* updateContext,
                                        const uint8_t* recordBuffer) {
  if (updateContext != nullptr && CompareRecordWithKey(updateContext, recordBuffer, -1) == 0) return true;
  return CanInsertKey(sessionID, recordBuffer);
}

// ---------------------------------------------------------------- upkeep

void TVLMBTreeRecordIndex::InsertRecord(TVLMCursor* cursor) {
  InsertKey(VLMCursorSessionID(cursor), cursor->RecordBuffer, cursor->Position.RecordID);
}

void TVLMBTreeRecordIndex::DeleteRecord(TVLMCursor* cursor) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  uint8_t value[kVLMRecordIDSize];
  VLMPutRecordID(value, cursor->Position.RecordID);
  TVLMKeyPath path;
  if (!LoadRoot(sessionID, 20492)->DeleteEntry(sessionID, MakeKey(cursor->RecordBuffer), path, value))
    throw EVLMException(20027, "Index error: cannot delete entry. Entry not found");
}

void TVLMBTreeRecordIndex::UpdateRecord(TVLMCursor* cursor, bool removeOld) {
  // An unchanged key leaves the tree untouched.
  if (CompareRecordWithKey(cursor->OldRecordBuffer, cursor->RecordBuffer, -1) == 0) return;
  // The writer's next step goes on from the record's new key: it reads the
  // record again rather than the copy its last step kept.
  std::unique_ptr<TVLMEngineReadState>& state = cursor->PositionCache.IndexState;
  if (state != nullptr && state->Owner == this) static_cast<TVLMIndexStepState&>(*state).ForgetRecords();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  if (!removeOld) {
    InsertKey(sessionID, cursor->RecordBuffer, cursor->Position.RecordID);
    return;
  }
  uint8_t value[kVLMRecordIDSize];
  VLMPutRecordID(value, cursor->Position.RecordID);
  TVLMKeyPath path;
  if (!LoadRoot(sessionID, 20491)->DeleteEntry(sessionID, MakeKey(cursor->OldRecordBuffer), path, value))
    throw EVLMException(20250, "Index error: cannot delete entry. Entry not found");
}

// ------------------------------------------------------------- distinct

void TVLMBTreeRecordIndex::SetBitmapInfo(int32_t sessionID, TVLMRecordBitmap* bitmap, int32_t fieldCount) {
  if (bitmap == nullptr) throw EVLMException(20076, "Pointer is nil");
  const int32_t saved = KeyRef.PartCount;
  auto restore = qv::ScopeExit([&] { KeyRef.PartCount = saved; });
  const auto parts = static_cast<int32_t>(KeyRef.Parts.size());
  KeyRef.PartCount = fieldCount < 0 ? parts : std::min(fieldCount, parts);
  const auto keySize = static_cast<size_t>(KeyRef.KeySize);
  std::vector<uint8_t> key(keySize), keptKey(keySize);
  uint8_t id[kVLMRecordIDSize];
  uint8_t keptID[kVLMRecordIDSize];
  bool kept = false;
  TVLMKeyPath path;
  for (bool more = GoFirst(sessionID, path); more; more = NextEntry(sessionID, path)) {
    if (!bitmap->ContainsRecord(IndexDef->ObjectID, path)) continue;
    {
      const TVLMKeyPathLevel& level = path.Levels[path.Depth - 1];
      TVLMBTreePagePtr leaf = TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, level.PageNo,
                                                  TVLMBTreePlace::AtLevel(path.Depth - 1, 1));
      std::memcpy(key.data(), leaf->EntryKey(level.EntryNo), keySize);
      std::memcpy(id, leaf->EntryValue(level.EntryNo), kVLMRecordIDSize);
    }
    // The first record of every distinct key stays, in index order.
    if (kept && KeyRef.Compare(key.data(), keptKey.data(), keptID, id, sessionID, true) == 0) {
      bitmap->ExcludeRecordAt(IndexDef->ObjectID, path);
      continue;
    }
    keptKey = key;
    std::memcpy(keptID, id, kVLMRecordIDSize);
    kept = true;
  }
}

// ------------------------------------------------------------ range walks

TVLMIndexWalk* TVLMBTreeRecordIndex::CreateWalk() { return new TVLMBTreeRangeState(); }

void TVLMBTreeRecordIndex::FreeWalk(TVLMIndexWalk*& walk) {
  delete walk;
  walk = nullptr;
}

bool TVLMBTreeRecordIndex::FindNextInRange(int32_t sessionID, bool first, TVLMIndexWalk* walk,
                                           TVLMRecordID& recordID, uint8_t* recordBuffer,
                                           const TVLMScanSearchCondition* endCondition,
                                           const TVLMScanSearchCondition* startCondition, bool forward) {
  auto* state = dynamic_cast<TVLMBTreeRangeState*>(walk);
  if (state == nullptr) throw EVLMException(20077, "Pointer is nil");
  if (first && state->Started) throw EVLMException(20078, "Index error: invalid params");
  TVLMKeyPath& current = state->CurrentPath;
  bool step = !first;
  if (first || !state->Started) {
    current.Clear();
    if (startCondition != nullptr) {
      if (!SearchCondition(sessionID, *startCondition, forward, startCondition->Operator, current)) return false;
      TVLMKeyPath at;
      bool exact = true;
      // Continuing from the caller's record: from its entry, or from where
      // that entry was (the nearest entry beyond), when that lies inside the
      // range, else from the start; nothing beyond it: the walk is over.
      if (!first && !FindPlace(sessionID, recordID, at, recordBuffer, forward, exact)) return false;
      if (!first) {
        const int32_t order = at.ComparePaths(current);
        if (forward ? order >= 0 : order <= 0) {
          current.Assign(at);
          step = exact;
        } else if (!(forward ? PriorEntry(sessionID, current) : NextEntry(sessionID, current))) {
          step = false;  // the start is the tree's first (last) entry
        }
      }
    } else if (first) {
      if (!(forward ? GoFirst(sessionID, current) : GoLast(sessionID, current))) return false;
    } else {
      bool exact = true;
      if (!FindPlace(sessionID, recordID, current, recordBuffer, forward, exact)) return false;
      step = exact;
    }
    const TVLMScanSearchCondition* end = endCondition != nullptr ? endCondition : startCondition;
    state->EndPath.reset();
    if (end != nullptr) {
      state->EndPath = std::make_unique<TVLMKeyPath>();
      // The one entry a unique key has is where the range starts and ends:
      // no second descent for its end.
      if (first && end == startCondition && HoldsOneEntryAtMost(*startCondition))
        state->EndPath->Assign(current);
      else if (!SearchCondition(sessionID, *end, !forward, end->Operator, *state->EndPath))
        return false;
    }
  }
  if (step && !(forward ? NextEntry(sessionID, current) : PriorEntry(sessionID, current))) return false;
  if (state->EndPath) {
    const int32_t order = current.ComparePaths(*state->EndPath);
    if (forward ? order > 0 : order < 0) return false;
  }
  recordID = GetRecordIDAt(sessionID, current);
  if (!state->Started) {
    state->Forward = forward;
    state->Started = true;
  }
  return true;
}

// ------------------------------------------------------------ keyed probe

namespace {

// Where a caller's last keyed probe of an index began: the leaf that held
// the first entry not below its key, and what it is trusted under.
class TVLMProbeState : public TVLMEngineReadState {
public:
  explicit TVLMProbeState(const TVLMBTreeRecordIndex* owner) : TVLMEngineReadState(owner) {}

  int32_t SessionID = -1;
  int32_t RootPageNo = -1;
  int32_t LeafPageNo = -1;
  int32_t LeafLevel = 0;
  uint32_t Stamp = 0;
  uint64_t View = 0;
};

// Record IDs handed to the caller per take of a leaf.
constexpr int32_t kProbeBatch = 16;

// The whole number a key part holds at p (its value bytes), widened without
// changing its order; false for other types. Dates and times are stored as
// 32-bit integers.
bool WholeNumberAt(const TVLMKeyPart& part, const uint8_t* p, int64_t& value) {
  const TVLMBaseDataType type = part.DataType == bdtDate || part.DataType == bdtTime ? bdtInteger : part.DataType;
  return VLMLoadInteger(p, part.PartSize - 1, type, value);
}

// Key bytes a probe copies without taking memory.
constexpr size_t kProbeKeyRoom = 64;

}  // namespace

// The probe's key against a leaf's entries, as the leaf controller compares
// them (exactly, the entry's value as its record ID), with the entries'
// layout read from the head once per leaf (Lay). A key of one ascending
// whole-number part that is not null is compared with a non-null entry by
// its value, as the key reference orders them (the binary search in a leaf
// is most of a probe's comparisons).
class TVLMBTreeRecordIndex::TProbeKey {
public:
  // A copy of the condition's key over the key reference's PartCount
  // parts: the index's own key buffer serves every search of the index, and
  // visit may search it.
  TProbeKey(TVLMRecordKeyRef& keyRef, const uint8_t* keyBuffer, int32_t sessionID)
      : KeyRef_(keyRef), SessionID_(sessionID) {
    const auto keySize = static_cast<size_t>(std::max(KeyRef_.KeySize, 1));
    if (keySize > kProbeKeyRoom) Large_.resize(keySize);
    Key_ = keySize > kProbeKeyRoom ? Large_.data() : Room_;
    KeyRef_.MakeKey(keyBuffer, Key_);
    if (KeyRef_.PartCount == 1) Lead_ = KeyRef_.Parts[0];
    Whole_ = KeyRef_.PartCount == 1 && Lead_.TruncBytes == 0 && Lead_.Descending == 0 && Key_[Lead_.KeyOffset] == 0 &&
             WholeNumberAt(Lead_, Key_ + Lead_.KeyOffset + 1, Wanted_);
  }
  TProbeKey(const TProbeKey&) = delete;
  TProbeKey& operator=(const TProbeKey&) = delete;

  const uint8_t* Key() const { return Key_; }

  // The entries of leaf are the ones compared from here on.
  void Lay(const TVLMBTreePage& leaf) {
    First_ = leaf.EntryKey(0);
    Stride_ = leaf.EntrySize();
    EntryKeySize_ = leaf.GetKeySize();
  }

  // The key against entry: < 0 below it, 0 equal, > 0 above it.
  int32_t CompareAt(int32_t entry) const {
    const uint8_t* at = First_ + static_cast<ptrdiff_t>(entry) * Stride_;
    int64_t stored = 0;
    if (Whole_ && at[Lead_.KeyOffset] == 0) {
      WholeNumberAt(Lead_, at + Lead_.KeyOffset + 1, stored);
      return Wanted_ < stored ? -1 : (Wanted_ > stored ? 1 : 0);
    }
    return KeyRef_.Compare(Key_, at, at + EntryKeySize_, nullptr, SessionID_, true);
  }

  // The first entry of low..high not below the key, where entry high is not
  // below it.
  int32_t FirstNotBelow(int32_t low, int32_t high) const {
    // Whole numbers spread evenly over the leaf (a counter's keys) put the
    // key near its share of the way from the first value to the last: the
    // entry there and its neighbour usually decide.
    int64_t first = 0;
    int64_t last = 0;
    if (Whole_ && low < high && ValueAt(low, first) && ValueAt(high, last) && first < Wanted_ && Wanted_ <= last) {
      const double share = (static_cast<double>(Wanted_) - static_cast<double>(first)) /
                           (static_cast<double>(last) - static_cast<double>(first));
      const int32_t guess =
          std::clamp(low + static_cast<int32_t>(share * static_cast<double>(high - low)), low + 1, high);
      // Entry low is below the key and entry high is not.
      if (CompareAt(guess) > 0)
        low = guess + 1;
      else if (CompareAt(guess - 1) > 0)
        low = high = guess;
      else
        high = guess - 1;
    }
    while (low < high) {
      const int32_t mid = low + (high - low) / 2;
      if (CompareAt(mid) > 0)
        low = mid + 1;
      else
        high = mid;
    }
    return low;
  }

private:
  // The value of a non-null entry of a whole-number key.
  bool ValueAt(int32_t entry, int64_t& value) const {
    const uint8_t* at = First_ + static_cast<ptrdiff_t>(entry) * Stride_ + Lead_.KeyOffset;
    return at[0] == 0 && WholeNumberAt(Lead_, at + 1, value);
  }

  TVLMRecordKeyRef& KeyRef_;
  const int32_t SessionID_;
  uint8_t Room_[kProbeKeyRoom];
  std::vector<uint8_t> Large_;
  uint8_t* Key_ = nullptr;
  TVLMKeyPart Lead_{};
  int64_t Wanted_ = 0;
  bool Whole_ = false;
  const uint8_t* First_ = nullptr;
  int32_t Stride_ = 0;
  int32_t EntryKeySize_ = 0;
};

// Where a probe's walk of its run begins: the leaf (page number and level)
// and the entry, with the leaf still held when the search that found it
// loaded it.
struct TVLMBTreeRecordIndex::TProbeStart {
  int32_t LeafNo = -1;
  int32_t Level = 0;
  int32_t Entry = 0;
  TVLMBTreePagePtr Held;
};

bool TVLMBTreeRecordIndex::ProbeEqual(int32_t sessionID, const TVLMScanSearchCondition& condition,
                                      std::unique_ptr<TVLMEngineReadState>* kept,
                                      const std::function<bool(const TVLMRecordID&)>& visit) {
  // Prefix parts and limited texts order by more than their key bytes.
  if (KeyRef.HasPrefixParts() || condition.PartialKey) return TVLMIndex::ProbeEqual(sessionID, condition, kept, visit);
  if (condition.KeyBuffer == nullptr) throw EVLMException(20493, "Pointer is nil");
  if (RootPageNo() < 0) throw EVLMException(20121, "Invalid page number");
  const int32_t saved = KeyRef.PartCount;
  auto restore = qv::ScopeExit([&] { KeyRef.PartCount = saved; });
  const auto parts = static_cast<int32_t>(KeyRef.Parts.size());
  KeyRef.PartCount = condition.KeyFieldCount < 0 ? parts : std::min(condition.KeyFieldCount, parts);
  TProbeKey key(KeyRef, condition.KeyBuffer, sessionID);

  // The first entry not below the key: on the leaf the last probe began at
  // or on the next one, trusted while the table and the view of the index's
  // pages stay; else by a descent.
  auto* state = kept != nullptr && *kept && (*kept)->Owner == this ? static_cast<TVLMProbeState*>(kept->get())
                                                                    : nullptr;
  const uint32_t stamp = Table().RecordManager->ChangeStamp;
  const uint64_t view = Pages()->ViewVersion();
  TProbeStart start;
  TProbeFind find = TProbeFind::Descend;
  if (state != nullptr && state->SessionID == sessionID && state->RootPageNo == RootPageNo() &&
      state->Stamp == stamp && state->View == view)
    find = StartOnKeptLeaf(sessionID, state->LeafPageNo, state->LeafLevel, key, start);
  if (find == TProbeFind::None) return false;
  if (find == TProbeFind::Descend && !StartByDescent(sessionID, key, start)) return false;
  if (kept != nullptr) {
    if (state == nullptr) {
      *kept = std::make_unique<TVLMProbeState>(this);
      state = static_cast<TVLMProbeState*>(kept->get());
    }
    state->SessionID = sessionID;
    state->RootPageNo = RootPageNo();
    state->LeafPageNo = start.LeafNo;
    state->LeafLevel = start.Level;
    state->Stamp = stamp;
    state->View = view;
  }
  return VisitEqualRun(sessionID, key, start, stamp, visit);
}

TVLMBTreeRecordIndex::TProbeFind TVLMBTreeRecordIndex::StartOnKeptLeaf(int32_t sessionID, int32_t leafNo,
                                                                       int32_t level, TProbeKey& key,
                                                                       TProbeStart& start) {
  // The key must lie above the kept leaf's first entry: a run of equal keys
  // may begin on the leaf before it.
  int32_t at = leafNo;
  for (int32_t hop = 0; hop < 2; ++hop) {
    TVLMBTreePagePtr leaf =
        TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, at, TVLMBTreePlace::AtLevel(level, 1));
    const int32_t n = leaf->GetEntryCount();
    key.Lay(*leaf);
    if (n == 0 || (hop == 0 && key.CompareAt(0) <= 0)) return TProbeFind::Descend;
    if (key.CompareAt(n - 1) <= 0) {
      start.Entry = key.FirstNotBelow(hop == 0 ? 1 : 0, n - 1);
      // The walk begins at the run's first entry (the leaf before the next
      // one holds only smaller keys).
      VLM_INVARIANT("VLMBTreeRecordIndex 4", key.CompareAt(start.Entry) <= 0 &&
                                                 (start.Entry == 0 || key.CompareAt(start.Entry - 1) > 0));
      start.LeafNo = at;
      start.Level = level;
      start.Held = std::move(leaf);
      return TProbeFind::Found;
    }
    // Every entry up to this leaf's last is below the key.
    at = leaf->GetNextPageNo();
    if (at == -1) return TProbeFind::None;
  }
  return TProbeFind::Descend;
}

bool TVLMBTreeRecordIndex::StartByDescent(int32_t sessionID, const TProbeKey& key, TProbeStart& start) {
  TVLMKeyPath path;
  if (!LoadRoot(sessionID, 20121)->FindByCondition(sessionID, true, path, kVLMSearchGreaterOrEqual, key.Key()))
    return false;
  start.Level = path.Depth - 1;
  start.LeafNo = path.Levels[start.Level].PageNo;
  start.Entry = path.Levels[start.Level].EntryNo;
  return true;
}

bool TVLMBTreeRecordIndex::VisitEqualRun(int32_t sessionID, TProbeKey& key, TProbeStart& start, uint32_t stamp,
                                         const std::function<bool(const TVLMRecordID&)>& visit) {
  // The run of equal entries, a batch at a time with no page held while
  // visit runs; a leaf chain that comes back to a leaf of the run raises
  // 10674.
  std::unordered_set<int32_t> seen;
  bool reached = false;
  int32_t leafNo = start.LeafNo;
  int32_t entry = start.Entry;
  for (;;) {
    TVLMRecordID batch[kProbeBatch];
    int32_t taken = 0;
    bool ended = false;
    {
      TVLMBTreePagePtr leaf = start.Held ? std::move(start.Held)
                              : reached
                                  ? ChainLeaf(sessionID, leafNo, start.Level, seen)
                                  : TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, leafNo,
                                                        TVLMBTreePlace::AtLevel(start.Level, 1));
      reached = false;
      const int32_t n = leaf->GetEntryCount();
      key.Lay(*leaf);
      for (; taken < kProbeBatch && entry < n; ++entry) {
        if (key.CompareAt(entry) != 0) {
          ended = true;
          break;
        }
        batch[taken++] = VLMGetRecordID(leaf->EntryValue(entry));
      }
      if (!ended && entry >= n) {
        // The run may go on on the next leaf.
        seen.insert(leafNo);
        leafNo = leaf->GetNextPageNo();
        ended = leafNo == -1;
        reached = true;
        entry = 0;
      }
    }
    for (int32_t i = 0; i < taken; ++i)
      if (visit(batch[i])) return true;
    // The walk goes on from the leaf it read: visit must not have changed
    // the table.
    VLM_INVARIANT("VLMBTreeRecordIndex 5", Table().RecordManager->ChangeStamp == stamp);
    if (ended) return false;
  }
}

int64_t TVLMBTreeRecordIndex::EstimateRangeCount(int32_t sessionID, const TVLMScanSearchCondition* a,
                                                 const TVLMScanSearchCondition* b, int64_t recordCount) {
  if (RootPageNo() < 0) throw EVLMException(20125, "Invalid page number");
  const TVLMScanSearchCondition* lower = nullptr;
  const TVLMScanSearchCondition* upper = nullptr;
  if (a != nullptr && b != nullptr) {
    lower = Direction(*a) >= 0 ? b : a;
    upper = Direction(*a) >= 0 ? a : b;
  } else if (const TVLMScanSearchCondition* only = a != nullptr ? a : b) {
    // One condition: an equality bounds the range on both sides.
    if (Direction(*only) <= 0) lower = only;
    if (Direction(*only) >= 0) upper = only;
  } else {
    return std::max<int64_t>(recordCount, 0);
  }
  // Both searches compare the columns of the lower bound when there is one.
  TVLMScanSearchCondition columns(true);
  const TVLMScanSearchCondition* counted = lower != nullptr ? lower : upper;
  double from = 0.0;
  double to = 1.0;
  TVLMKeyPath path;
  if (lower != nullptr) {
    if (!SearchCondition(sessionID, *lower, true, lower->Operator, path)) return 0;
    from = path.GetPositionFraction();
  }
  if (upper != nullptr) {
    columns.KeyBuffer = upper->KeyBuffer;
    columns.KeyFieldCount = counted->KeyFieldCount;
    columns.PartialKey = upper->PartialKey;
    path.Clear();
    if (!SearchCondition(sessionID, columns, false, upper->Operator, path)) return 0;
    to = path.GetPositionFraction();
  }
  const double estimate = std::round((to - from) * static_cast<double>(recordCount));
  if (!(estimate > 0)) return 0;
  return std::min<int64_t>(static_cast<int64_t>(std::min(estimate, 9.0e18)), std::max<int64_t>(recordCount, 0));
}
