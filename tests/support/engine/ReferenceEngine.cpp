#include "tests/support/engine/ReferenceEngine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <set>

#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/storage/VLMBTree.h"
#include "engine/storage/VLMMemEngine.h"
#include "engine/storage/VLMTempEngine.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/host/HostVariant.h"
#include "tests/support/ScratchFolder.h"

namespace tabledata_test {

namespace {

int32_t SignedCompare(int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

// -1 for a lower bound, 1 for an upper bound, 0 otherwise.
int32_t Direction(const TVLMScanSearchCondition& c) {
  if (c.Operator == kVLMScanGreater || c.Operator == kVLMScanGreaterEqual) return -1;
  if (c.Operator == kVLMScanLess || c.Operator == kVLMScanLessEqual) return 1;
  return 0;
}

struct RefWalk : TVLMIndexWalk {
  bool Started = false;
  int64_t Position = -1;
  int64_t End = -1;
};

}  // namespace

// ------------------------------------------------------------ record manager

RefRecordManager::RefRecordManager(int32_t recordDataSize) : RecordDataSize(recordDataSize) {
  RecordBufferSize = recordDataSize + kVLMBookmarkAreaSize;
}

int32_t RefRecordManager::CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) {
  const int32_t c = SignedCompare(static_cast<int32_t>(id1.Page), static_cast<int32_t>(id2.Page));
  return c != 0 ? c : SignedCompare(id1.Row, id2.Row);
}

size_t RefRecordManager::LowerBound(const TVLMRecordID& id) {
  return static_cast<size_t>(std::partition_point(Records.begin(), Records.end(), [&](const Record& r) {
                               return CompareRecordIDs(r.ID, id) < 0;
                             }) -
                             Records.begin());
}

int64_t RefRecordManager::Find(const TVLMRecordID& id) {
  const size_t i = LowerBound(id);
  return i < Records.size() && Records[i].ID == id ? static_cast<int64_t>(i) : -1;
}

void RefRecordManager::EmptyTable(int32_t) {
  Records.clear();
  RecordCount = 0;
  ++ChangeStamp;
}

TVLMRecordID RefRecordManager::InsertBehindIndexes(const uint8_t* buffer) {
  ++InsertCount;
  const TVLMRecordID id{InsertCount / kRowsPerPage, static_cast<uint16_t>(InsertCount % kRowsPerPage)};
  Records.push_back(Record{id, std::vector<uint8_t>(buffer, buffer + RecordDataSize)});
  ++RecordCount;
  ++ChangeStamp;
  return id;
}

bool RefRecordManager::InsertRecord(int32_t, const uint8_t* buffer, TVLMRecordID& recordID) {
  recordID = InsertBehindIndexes(buffer);
  return true;
}

bool RefRecordManager::UpdateRecord(int32_t, const uint8_t* buffer, const TVLMRecordID& recordID) {
  const int64_t i = Find(recordID);
  if (i < 0) return false;
  std::memcpy(Records[static_cast<size_t>(i)].Data.data(), buffer, static_cast<size_t>(RecordDataSize));
  ++ChangeStamp;
  return true;
}

bool RefRecordManager::DeleteRecord(int32_t, const TVLMRecordID& recordID) {
  const int64_t i = Find(recordID);
  if (i < 0) return false;
  Records.erase(Records.begin() + i);
  --RecordCount;
  ++ChangeStamp;
  return true;
}

void RefRecordManager::GetRecord(int32_t, TVLMNavigationRequest& request) {
  if (Records.empty()) {
    request.Result = kVLMNavEOF;
    return;
  }
  if (request.Mode > 2) return;
  int64_t found = -1;
  const uint8_t mode = request.Mode;
  if (request.Bof || request.Eof) {
    const bool atStart = request.Bof;
    if (mode == 0) {
      request.Result = kVLMNavError;
      return;
    }
    if ((atStart && mode == 2) || (!atStart && mode == 1)) {
      request.Result = atStart ? kVLMNavBOF : kVLMNavEOF;
      return;
    }
    found = atStart ? 0 : static_cast<int64_t>(Records.size()) - 1;
  } else if (mode == 0) {
    found = Find(request.RecordID);
    if (found < 0) {
      request.Result = kVLMNavError;
      return;
    }
  } else {
    const size_t i = LowerBound(request.RecordID);
    const bool here = i < Records.size() && Records[i].ID == request.RecordID;
    found = mode == 1 ? static_cast<int64_t>(here ? i + 1 : i) : static_cast<int64_t>(i) - 1;
    if (found < 0 || found >= static_cast<int64_t>(Records.size())) {
      request.Result = mode == 1 ? kVLMNavEOF : kVLMNavBOF;
      request.Eof = mode == 1;
      request.Bof = mode == 2;
      return;
    }
  }
  const Record& r = Records[static_cast<size_t>(found)];
  std::memcpy(request.RecordBuffer, r.Data.data(), r.Data.size());
  request.RecordID = r.ID;
  request.Bof = false;
  request.Eof = false;
  request.Result = kVLMNavOK;
}

int64_t RefRecordManager::GetRecordNo(int32_t, const TVLMRecordID& recordID) {
  return static_cast<int64_t>(LowerBound(recordID)) + 1;
}

// --------------------------------------------------------------------- index

RefIndex::RefIndex(TVLMBaseIndexManager& manager)
    : TVLMIndex(&manager), Table_(static_cast<RefTableData*>(manager.TableData)) {}

std::vector<RefIndexEntry>& RefIndex::Entries() {
  auto it = Table_->IndexStore.find(IndexDef->RootPageNo);
  if (it == Table_->IndexStore.end()) throw EVLMException(20123, "Invalid page number");
  return it->second;
}

int32_t RefIndex::RecordSize() const { return Table_->GetIndexedFieldDefs()->GetRecordBufferSize(); }

void RefIndex::ResolveColumns() {
  FieldNos_.clear();
  const TVLMFieldDefs& fields = *Table_->GetIndexedFieldDefs();
  for (int32_t c = 0; c < IndexDef->GetColumnCount(); ++c) {
    const int32_t no = fields.IndexOfName(IndexDef->GetColumn(c).Name);
    if (no < 0) throw EVLMException(20043, "Cannot find index field '%s'", {IndexDef->GetColumn(c).Name});
    FieldNos_.push_back(no);
  }
}

int32_t RefIndex::CompareKeys(const uint8_t* a, const uint8_t* b, int32_t fieldCount, bool prefix) const {
  const TVLMFieldDefs& fields = *Table_->GetIndexedFieldDefs();
  const int32_t n = fieldCount < 0 ? static_cast<int32_t>(FieldNos_.size())
                                   : std::min<int32_t>(fieldCount, static_cast<int32_t>(FieldNos_.size()));
  for (int32_t c = 0; c < n; ++c) {
    const int32_t no = FieldNos_[static_cast<size_t>(c)];
    const TVLMFieldDef& f = *fields.GetFieldDef(no);
    const TVLMIndexColumn& column = IndexDef->GetColumn(c);
    const bool nullB = VLMGetBit(no, b);
    int32_t length = -1;
    if (prefix && !nullB && VLMIsStringBaseType(f.BaseType))
      length = VLMIsWideStringBaseType(f.BaseType)
                   ? static_cast<int32_t>(std::char_traits<char16_t>::length(
                         reinterpret_cast<const char16_t*>(b + f.BufferOffset)))
                   : static_cast<int32_t>(strnlen(reinterpret_cast<const char*>(b + f.BufferOffset),
                                                  static_cast<size_t>(f.DataSize)));
    int32_t r = VLMCompareValuesSigned(a + f.BufferOffset, b + f.BufferOffset, f.BaseType, f.BaseType,
                                       VLMGetBit(no, a), nullB, length, column.CaseInsensitive, 1024, f.DataSize,
                                       f.DataSize);
    if (column.Descending) r = -r;
    if (r != 0) return r < 0 ? -1 : 1;
  }
  return 0;
}

int32_t RefIndex::CompareEntry(const Entry& entry, const uint8_t* record, const TVLMRecordID& id) const {
  const int32_t c = CompareKeys(entry.Record.data(), record, -1);
  return c != 0 ? c : Table_->Records().CompareRecordIDs(entry.ID, id);
}

int64_t RefIndex::Place(const uint8_t* record, const TVLMRecordID& id, bool& present) {
  std::vector<Entry>& entries = Entries();
  const auto it = std::partition_point(entries.begin(), entries.end(),
                                       [&](const Entry& e) { return CompareEntry(e, record, id) < 0; });
  present = it != entries.end() && CompareEntry(*it, record, id) == 0;
  return it - entries.begin();
}

void RefIndex::Insert(const uint8_t* record, const TVLMRecordID& id) {
  bool present = false;
  const int64_t i = Place(record, id, present);
  Entries().insert(Entries().begin() + i, Entry{std::vector<uint8_t>(record, record + RecordSize()), id});
  ++Table_->IndexWrites;
}

void RefIndex::Remove(const uint8_t* record, const TVLMRecordID& id, int32_t code) {
  bool present = false;
  const int64_t i = Place(record, id, present);
  if (!present) throw EVLMException(code, "Index error: cannot delete entry. Entry not found");
  Entries().erase(Entries().begin() + i);
  ++Table_->IndexWrites;
}

void RefIndex::CreateIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef) {
  TVLMIndex::CreateIndex(cursor, indexDef);
  IndexDef->RootPageNo = Table_->NextRoot++;
  Table_->IndexStore[IndexDef->RootPageNo];
  ResolveColumns();
  if (cursor != nullptr) RebuildIndex(cursor);
}

void RefIndex::DropIndex(int32_t) { Table_->IndexStore.erase(IndexDef->RootPageNo); }

void RefIndex::EmptyIndex(int32_t) { Entries().clear(); }

void RefIndex::OpenIndex(const TVLMIndexDef& indexDef) {
  TVLMIndex::OpenIndex(indexDef);
  ResolveColumns();
}

void RefIndex::RebuildIndex(TVLMCursor*) {
  std::vector<Entry>& entries = Entries();
  entries.clear();
  ResolveColumns();
  // Records come in record-ID order; a stable sort by key keeps it among
  // equal keys.
  for (const RefRecordManager::Record& r : Table_->Records().Records)
    entries.push_back(Entry{std::vector<uint8_t>(r.Data.begin(), r.Data.begin() + RecordSize()), r.ID});
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    return CompareKeys(a.Record.data(), b.Record.data(), -1) < 0;
  });
  Table_->IndexWrites += static_cast<int64_t>(entries.size());
}

void RefIndex::Answer(int32_t sessionID, TVLMNavigationRequest& request, int64_t position, bool forward) {
  const std::vector<Entry>& entries = Entries();
  if (position < 0 || position >= static_cast<int64_t>(entries.size())) {
    request.Result = forward ? kVLMNavEOF : kVLMNavBOF;
    request.Eof = forward;
    request.Bof = !forward;
    return;
  }
  TVLMNavigationRequest read;
  read.RecordID = entries[static_cast<size_t>(position)].ID;
  read.RecordBuffer = request.RecordBuffer;
  Table_->RecordManager->GetRecord(sessionID, read);
  request.RecordID = read.RecordID;
  request.Bof = false;
  request.Eof = false;
  request.Result = read.Result;
}

void RefIndex::GetRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t, TVLMIndexPositionCache*) {
  const int64_t count = static_cast<int64_t>(Entries().size());
  if (request.Bof || request.Eof) {
    if (count == 0) {
      request.Result = kVLMNavError;
      return;
    }
    Answer(sessionID, request, request.Bof ? 0 : count - 1, true);
    return;
  }
  if (request.Mode == 0) throw EVLMException(20053, "Invalid 'get record' mode for index: grmCurrent");
  bool present = false;
  const int64_t i = Place(request.RecordBuffer, request.RecordID, present);
  if (!present) {
    request.Result = kVLMNavError;
    return;
  }
  const bool forward = request.Mode == 1;
  Answer(sessionID, request, forward ? i + 1 : i - 1, forward);
}

void RefIndex::LocateRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t,
                            TVLMIndexPositionCache*) {
  const bool forward = request.Mode != 2;
  const KeyBounds bounds = Bounds(request.RecordBuffer, -1, false);
  Answer(sessionID, request, forward ? bounds.Above : bounds.Equal - 1, forward);
}

TVLMKeyPath* RefIndex::CreateKeyPath() { return new TVLMKeyPath(); }

void RefIndex::FreeKeyPath(TVLMKeyPath*& keyPath) {
  delete keyPath;
  keyPath = nullptr;
}

bool RefIndex::FindKeyPath(int32_t, const TVLMRecordID& recordID, TVLMKeyPath& keyPath,
                           const uint8_t* recordBuffer) {
  keyPath.Clear();
  bool present = false;
  const int64_t i = Place(recordBuffer, recordID, present);
  if (present)
    keyPath.Push(IndexDef->RootPageNo, static_cast<int32_t>(i), static_cast<int32_t>(Entries().size()));
  return present;
}

int32_t RefIndex::CompareKeyPaths(const TVLMKeyPath* a, const TVLMKeyPath* b) {
  if (a == nullptr) throw EVLMException(10384, "Nil pointer occured");
  if (b == nullptr) throw EVLMException(10385, "Nil pointer occured");
  return SignedCompare(a->Levels[0].EntryNo, b->Levels[0].EntryNo);
}

int64_t RefIndex::GetRecNo(int32_t, const TVLMRecordID& recordID, const uint8_t* recordBuffer) {
  bool present = false;
  const int64_t i = Place(recordBuffer, recordID, present);
  return present ? i + 1 : -1;
}

void RefIndex::SetRecNo(int32_t, TVLMRecordID& recordID, int64_t recNo) {
  const std::vector<Entry>& entries = Entries();
  if (entries.empty() || recNo < 1) throw EVLMException(20074, "Cannot retrieve record from empty index");
  if (recNo > static_cast<int64_t>(entries.size()))
    throw EVLMException(20075, "Cannot set RecNo greater than RecordCount");
  recordID = entries[static_cast<size_t>(recNo - 1)].ID;
}

void RefIndex::SetBitmapInfo(int32_t, TVLMRecordBitmap* bitmap, int32_t fieldCount) {
  if (bitmap == nullptr) throw EVLMException(20076, "Pointer is nil");
  const std::vector<Entry>& entries = Entries();
  const Entry* kept = nullptr;
  TVLMKeyPath path;
  for (size_t i = 0; i < entries.size(); ++i) {
    path.Clear();
    path.Push(IndexDef->RootPageNo, static_cast<int32_t>(i), static_cast<int32_t>(entries.size()));
    if (!bitmap->ContainsRecord(IndexDef->ObjectID, path)) continue;
    if (kept != nullptr && CompareKeys(kept->Record.data(), entries[i].Record.data(), fieldCount) == 0)
      bitmap->ExcludeRecordAt(IndexDef->ObjectID, path);
    else
      kept = &entries[i];
  }
}

TVLMIndexWalk* RefIndex::CreateWalk() { return new RefWalk(); }

void RefIndex::FreeWalk(TVLMIndexWalk*& walk) {
  delete walk;
  walk = nullptr;
}

RefIndex::KeyBounds RefIndex::Bounds(const uint8_t* key, int32_t fieldCount, bool prefix) {
  const std::vector<Entry>& entries = Entries();
  auto at = [&](auto below) {
    return std::partition_point(entries.begin(), entries.end(), below) - entries.begin();
  };
  KeyBounds bounds;
  bounds.Equal = at([&](const Entry& e) { return CompareKeys(e.Record.data(), key, fieldCount, prefix) < 0; });
  bounds.Above = at([&](const Entry& e) { return CompareKeys(e.Record.data(), key, fieldCount, prefix) <= 0; });
  return bounds;
}

RefIndex::Interval RefIndex::Range(const TVLMScanSearchCondition& condition) {
  const KeyBounds b = Bounds(condition.KeyBuffer, condition.KeyFieldCount, condition.PartialKey);
  const int64_t n = static_cast<int64_t>(Entries().size());
  switch (condition.Operator) {
    case kVLMScanEqual: return {b.Equal, b.Above};
    case kVLMScanLess: return {0, b.Equal};
    case kVLMScanLessEqual: return {0, b.Above};
    case kVLMScanGreaterEqual: return {b.Equal, n};
    case kVLMScanGreater: return {b.Above, n};
    default: return {0, 0};
  }
}

int64_t RefIndex::Search(const TVLMScanSearchCondition& condition, bool forward) {
  const Interval r = Range(condition);
  if (r.Begin >= r.End) return -1;
  return forward ? r.Begin : r.End - 1;
}

bool RefIndex::FindNextInRange(int32_t, bool first, TVLMIndexWalk* walk, TVLMRecordID& recordID,
                               uint8_t* recordBuffer, const TVLMScanSearchCondition* endCondition,
                               const TVLMScanSearchCondition* startCondition, bool forward) {
  auto* state = static_cast<RefWalk*>(walk);
  if (state == nullptr) throw EVLMException(20077, "Pointer is nil");
  if (first && state->Started) throw EVLMException(20078, "Index error: invalid params");
  const int64_t count = static_cast<int64_t>(Entries().size());
  if (first || !state->Started) {
    bool present = false;
    if (startCondition != nullptr) {
      state->Position = Search(*startCondition, forward);
      if (state->Position < 0) return false;
      if (!first) {
        // Continues from the caller's record: the next step lands on the
        // start when that record lies before it, else on the entry after
        // the record (or after its place when it is not in the index).
        const int64_t at = Place(recordBuffer, recordID, present);
        if (forward)
          state->Position = present ? std::max(state->Position - 1, at) : std::max(state->Position, at) - 1;
        else
          state->Position = present ? std::min(state->Position + 1, at) : std::min(state->Position, at - 1) + 1;
      }
    } else if (first) {
      state->Position = forward ? 0 : count - 1;
    } else {
      state->Position = Place(recordBuffer, recordID, present);
      if (!present) return false;
    }
    const TVLMScanSearchCondition* end = endCondition != nullptr ? endCondition : startCondition;
    state->End = end != nullptr ? Search(*end, !forward) : (forward ? count - 1 : 0);
    if (state->End < 0) return false;
  }
  if (!first) state->Position += forward ? 1 : -1;
  if (state->Position < 0 || state->Position >= count) return false;
  if (forward ? state->Position > state->End : state->Position < state->End) return false;
  recordID = Entries()[static_cast<size_t>(state->Position)].ID;
  state->Started = true;
  return true;
}

TVLMIndexPageFigures RefIndex::GetPageFigures() { return Table_->IndexPageFigures; }

int32_t RefIndex::CompareRecordWithKey(const uint8_t* record, const uint8_t* key, int32_t fieldCount) {
  return CompareKeys(record, key, fieldCount);
}

int32_t RefIndex::CompareConditions(const TVLMScanSearchCondition& a, const TVLMScanSearchCondition& b) {
  return SignedCompare(Direction(a), Direction(b));
}

int64_t RefIndex::EstimateRangeCount(int32_t, const TVLMScanSearchCondition* a, const TVLMScanSearchCondition* b,
                                     int64_t recordCount) {
  // The exact count: the ranges of both conditions overlap in one interval.
  Interval r{0, static_cast<int64_t>(Entries().size())};
  for (const TVLMScanSearchCondition* c : {a, b}) {
    if (c == nullptr) continue;
    const Interval one = Range(*c);
    r = {std::max(r.Begin, one.Begin), std::min(r.End, one.End)};
  }
  return std::clamp<int64_t>(r.End - r.Begin, 0, recordCount);
}

bool RefIndex::CanInsertKey(int32_t, const uint8_t* recordBuffer) {
  if (!IndexDef->Unique && !IndexDef->Primary) return true;
  const KeyBounds bounds = Bounds(recordBuffer, -1, false);
  return bounds.Equal == bounds.Above;
}

bool RefIndex::CanUpdateKey(int32_t sessionID, const uint8_t* updateContext, const uint8_t* recordBuffer) {
  if (updateContext != nullptr && CompareKeys(updateContext, recordBuffer, -1) == 0) return true;
  return CanInsertKey(sessionID, recordBuffer);
}

void RefIndex::InsertRecord(TVLMCursor* cursor) { Insert(cursor->RecordBuffer, cursor->Position.RecordID); }

void RefIndex::UpdateRecord(TVLMCursor* cursor, bool removeOld) {
  if (CompareKeys(cursor->OldRecordBuffer, cursor->RecordBuffer, -1) == 0) return;
  if (removeOld)
    Remove(cursor->OldRecordBuffer, cursor->Position.RecordID, 20250);
  else
    Insert(cursor->RecordBuffer, cursor->Position.RecordID);
}

void RefIndex::DeleteRecord(TVLMCursor* cursor) { Remove(cursor->RecordBuffer, cursor->Position.RecordID, 20027); }

void RefIndex::KeyPathToRecordID(int32_t, const TVLMKeyPath& keyPath, TVLMRecordID& recordID) {
  const std::vector<Entry>& entries = Entries();
  const int32_t i = keyPath.Depth > 0 ? keyPath.Levels[0].EntryNo : -1;
  if (i < 0 || i >= static_cast<int32_t>(entries.size()))
    throw EVLMException(20068, "Index error: invalid position");
  recordID = entries[static_cast<size_t>(i)].ID;
}

int64_t RefIndex::KeyPathPosition(const TVLMKeyPath& keyPath, int32_t) {
  return keyPath.Depth > 0 ? keyPath.Levels[0].EntryNo + 1 : 0;
}

void RefIndex::SetKeyPathPosition(TVLMKeyPath& keyPath, int64_t position, int32_t) {
  keyPath.Clear();
  if (position >= 1)
    keyPath.Push(IndexDef->RootPageNo, static_cast<int32_t>(position - 1), static_cast<int32_t>(Entries().size()));
}

// ---------------------------------------------------------------- table data

RefTableData::RefTableData(TVLMDatabaseData* databaseData) : TVLMTableData(databaseData) {
  // The index manager takes the table's page manager when it is made.
  PageManager = static_cast<RefDatabaseData*>(databaseData)->DiskPages();
  if (PageManager != nullptr) PageDataSizeFigure = PageManager->PageDataSize;
  FieldManager = std::make_unique<TVLMBaseFieldManager>(this);
  ConstraintManager = std::make_unique<TVLMBaseConstraintManager>(this);
  if (OnDisk())
    IndexManager = std::make_unique<TVLMBaseIndexManager>(this, PageManager, [](TVLMBaseIndexManager& manager) {
      return std::make_unique<TVLMBTreeRecordIndex>(&manager);
    });
  else
    IndexManager = std::make_unique<TVLMBaseIndexManager>(
        this, nullptr, [](TVLMBaseIndexManager& manager) { return std::make_unique<RefIndex>(manager); });
}

bool RefTableData::OnDisk() const { return PageManager != nullptr; }

void RefTableData::CommitPages(int32_t sessionID) { PageManager->Commit(sessionID); }

void RefTableData::RollbackPages(int32_t sessionID) { PageManager->RollbackSession(sessionID); }

void RefTableData::CommitChanges(int32_t sessionID) {
  Commit(sessionID, false);
  Commit(kVLMEngineSessionID, false);
}

void RefTableData::CreateRecordManager() {
  if (!OnDisk()) {
    RecordManager = std::make_unique<RefRecordManager>(GetRecordBufferSize());
    return;
  }
  auto records =
      std::make_unique<TVLMDiskRecordManager>(PageManager, DatabaseData->NextObjectID(), FieldManager.get());
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  records->Init(GetRecordBufferSize() + kVLMBookmarkAreaSize, fields.GetStoredRecordSize(), fields.GetCount());
  records->CreatePageIndex();
  RecordManager = std::move(records);
}

void RefTableData::CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                               TVLMConstraintDefs& constraintDefs) {
  auto guard = LockGuard();
  SetFieldDefs(fieldDefs);
  CreateRecordManager();
  SetIndexDefs(indexDefs);
  SetConstraintDefs(constraintDefs);
  IndexManager->CreateIndexes(cursor);
  CommitChanges(VLMCursorSessionID(cursor));
}

void RefTableData::EmptyTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  RecordManager->EmptyTable(VLMCursorSessionID(cursor));
  TVLMTableData::EmptyTable(cursor);
}

namespace {

int32_t RowsPerPage(const RefTableData& table) {
  return table.OnDisk() ? static_cast<const TVLMDiskRecordManager&>(*table.RecordManager).RecordsPerPage
                        : kRowsPerPage;
}

}  // namespace

int64_t RefTableData::GetRecordCount(int32_t sessionID) {
  if (OnDisk()) return static_cast<TVLMDiskRecordManager&>(*RecordManager).GetRecordNoLimit(sessionID);
  return RecordIDToRecordNo(TVLMRecordID{Records().InsertCount / kRowsPerPage,
                                         static_cast<uint16_t>(Records().InsertCount % kRowsPerPage)}) +
         1;
}

int64_t RefTableData::RecordIDToRecordNo(const TVLMRecordID& recordID) {
  return static_cast<int64_t>(recordID.Page) * RowsPerPage(*this) + recordID.Row;
}

void RefTableData::RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) {
  recordID = TVLMRecordID{static_cast<uint32_t>(recordNo / RowsPerPage(*this)),
                          static_cast<uint16_t>(recordNo % RowsPerPage(*this))};
}

bool RefTableData::InsertRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  TVLMRecordID id;
  if (!RecordManager->InsertRecord(VLMCursorSessionID(cursor), cursor->RecordBuffer, id)) return false;
  cursor->Position.RecordID = id;
  IndexManager->InsertRecord(cursor);
  cursor->Position.Bof = 0;
  cursor->Position.Eof = 0;
  if (!cursor->NoAutoCommit) {
    ++Commits;
    Commit(VLMCursorSessionID(cursor), false);
  }
  return true;
}

bool RefTableData::UpdateRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  IndexManager->UpdateRecord(cursor, true);
  const bool done = RecordManager->UpdateRecord(VLMCursorSessionID(cursor), cursor->RecordBuffer,
                                                cursor->Position.RecordID);
  IndexManager->UpdateRecord(cursor, false);
  if (done && !cursor->NoAutoCommit) {
    ++Commits;
    Commit(VLMCursorSessionID(cursor), false);
  }
  return done;
}

bool RefTableData::DeleteRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  const std::optional<TVLMRecordID> neighbour = PositionAfterDelete(cursor);
  IndexManager->DeleteRecord(cursor);
  if (!RecordManager->DeleteRecord(VLMCursorSessionID(cursor), cursor->Position.RecordID)) return false;
  if (!cursor->NoAutoCommit) {
    ++Commits;
    Commit(VLMCursorSessionID(cursor), false);
  }
  cursor->Position.Bof = neighbour ? 0 : 1;
  cursor->Position.Eof = 0;
  if (neighbour) cursor->Position.RecordID = *neighbour;
  return true;
}

void RefTableData::InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) {
  auto guard = LockGuard();
  if (OnDisk()) {
    static_cast<TVLMDiskRecordManager&>(*RecordManager)
        .SetRecNo(VLMCursorSessionID(cursor), cursor->Position.RecordID, recNo);
    return;
  }
  cursor->Position.RecordID = Records().Records.at(static_cast<size_t>(recNo - 1)).ID;
}

int64_t RefTableData::InternalGetRecNo(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (OnDisk())
    return static_cast<TVLMDiskRecordManager&>(*RecordManager)
        .GetRecNo(VLMCursorSessionID(cursor), cursor->Position.RecordID);
  const int64_t i = Records().Find(cursor->Position.RecordID);
  return i < 0 ? -1 : i + 1;
}

int64_t RefTableData::InternalGetRecordCount(TVLMCursor*) { return RecordManager->RecordCount; }

int64_t RefTableData::GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session) {
  auto guard = LockGuard();
  return FieldManager->GetSequenceLastValue(session, fieldNo);
}

std::string RefTableData::CheckDiskIndexes() {
  auto& records = static_cast<TVLMDiskRecordManager&>(*RecordManager);
  const int32_t session = 0;
  try {
    records.CheckPageIndex(session);
  } catch (const EVLMException& e) {
    return std::string("page index: ") + e.what();
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(records.RecordBufferSize));
  std::vector<uint8_t> previous(buffer.size());
  for (int32_t i = 0; i < IndexManager->IndexDefs->GetCount(); ++i) {
    const TVLMIndexDef& def = *IndexManager->IndexDefs->GetIndexDef(i);
    auto& index = static_cast<TVLMBTreeRecordIndex&>(*IndexManager->GetIndex(def.ObjectID));
    try {
      index.CheckIntegrity(session);
      // In index order: every entry names a record, keys never go down.
      int64_t entries = 0;
      TVLMNavigationRequest step;
      step.Bof = true;
      step.RecordBuffer = buffer.data();
      for (step.Mode = 1; (index.GetRecord(session, step, 0, nullptr), step.Result == kVLMNavOK); ++entries) {
        if (entries > 0 && index.CompareRecordWithKey(previous.data(), buffer.data(), -1) > 0)
          return def.Name + ": out of order";
        previous = buffer;
      }
      if (entries != records.RecordCount) return def.Name + ": entry count differs";
      // In natural order: every record is found under its present key.
      TVLMNavigationRequest walk;
      walk.Bof = true;
      walk.RecordBuffer = buffer.data();
      TVLMKeyPath path;
      for (walk.Mode = 1; (records.GetRecord(session, walk), walk.Result == kVLMNavOK);)
        if (!index.FindKeyPath(session, walk.RecordID, path, buffer.data())) return def.Name + ": stale key";
    } catch (const EVLMException& e) {
      return def.Name + ": " + e.what();
    }
  }
  return "";
}

std::string RefTableData::CheckIndexes() {
  auto guard = LockGuard();
  if (OnDisk()) return CheckDiskIndexes();
  for (int32_t i = 0; i < IndexManager->IndexDefs->GetCount(); ++i) {
    const TVLMIndexDef& def = *IndexManager->IndexDefs->GetIndexDef(i);
    auto* index = static_cast<RefIndex*>(IndexManager->GetIndex(def.ObjectID));
    const std::vector<RefIndexEntry>& entries = IndexStore.at(def.RootPageNo);
    if (entries.size() != Records().Records.size()) return def.Name + ": entry count differs";
    for (size_t e = 0; e < entries.size(); ++e) {
      const int64_t r = Records().Find(entries[e].ID);
      if (r < 0) return def.Name + ": entry of a missing record";
      if (index->CompareKeys(entries[e].Record.data(), Records().Records[static_cast<size_t>(r)].Data.data(), -1) != 0)
        return def.Name + ": stale key";
      if (e > 0 && index->CompareKeys(entries[e - 1].Record.data(), entries[e].Record.data(), -1) > 0)
        return def.Name + ": out of order";
    }
  }
  return "";
}

std::string CheckIndexOrder(TVLMTableData& table, int32_t sessionID) {
  auto guard = table.LockGuard();
  const auto size = static_cast<size_t>(table.RecordManager->RecordBufferSize);
  std::vector<uint8_t> previous(size), current(size);
  for (int32_t i = 0; i < table.IndexManager->IndexDefs->GetCount(); ++i) {
    const TVLMIndexDef& def = *table.IndexManager->IndexDefs->GetIndexDef(i);
    TVLMIndex* index = table.IndexManager->GetIndex(def.ObjectID);
    std::set<uint64_t> seen;
    TVLMNavigationRequest request;
    request.Mode = 1;
    request.IndexID = def.ObjectID;
    request.Bof = true;
    request.RecordBuffer = current.data();
    int64_t n = 0;
    for (table.ReadRecordAt(sessionID, request, table.GetChangeStamp(), nullptr); request.Result == kVLMNavOK;
         table.ReadRecordAt(sessionID, request, table.GetChangeStamp(), nullptr)) {
      ++n;
      if (!seen.insert((uint64_t{request.RecordID.Page} << 16) | request.RecordID.Row).second)
        return def.Name + ": a record twice";
      if (n > 1 && index->CompareRecordWithKey(previous.data(), current.data(), def.GetColumnCount()) > 0)
        return def.Name + ": out of order";
      if (index->GetRecNo(sessionID, request.RecordID, current.data()) != n) return def.Name + ": record number";
      previous = current;
    }
    if (n != table.RecordManager->RecordCount) return def.Name + ": entry count differs";
  }
  return "";
}

// ------------------------------------------------------------- database data

const char* EngineKindName(EngineKind kind) {
  switch (kind) {
    case EngineKind::Disk: return "Disk";
    case EngineKind::Memory: return "Memory";
    case EngineKind::Temporary: return "Temporary";
    default: return "Reference";
  }
}

std::unique_ptr<TVLMDatabaseData> NewDatabase(EngineKind kind) {
  if (kind == EngineKind::Memory) return std::make_unique<TVLMMemoryDatabaseData>();
  if (kind == EngineKind::Temporary) return std::make_unique<TVLMTemporaryDatabaseData>();
  return std::make_unique<RefDatabaseData>(kind);
}

RefDatabaseData::RefDatabaseData(EngineKind kind, uint16_t pageSize) : Kind(kind) {
  if (kind != EngineKind::Disk) return;
  Folder_ = std::make_unique<qv::test::ScratchFolder>();
  FileName_ = Folder_->File("tables.vlm");
  Disk_ = std::make_unique<TVLMDiskPageManager>();
  // The file is a scratch copy: commits need not reach the disk.
  Disk_->SyncOnCommit = false;
  Disk_->CreateDatabase(FileName_, TVLMPasswordRecord{}, pageSize, 8);
}

// What a destructor of the reference engine could not do.
namespace {

std::string& DestructorFailure() {
  static std::string failure;
  return failure;
}

// Runs step; a failure is written to stderr and kept (the first one until
// it is taken), never raised.
template <class Step>
void InDestructor(const char* what, Step step) noexcept {
  try {
    step();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", what, e.what());
    if (DestructorFailure().empty()) DestructorFailure() = std::string(what) + ": " + e.what();
  } catch (...) {
    std::fprintf(stderr, "%s failed\n", what);
    if (DestructorFailure().empty()) DestructorFailure() = std::string(what) + " failed";
  }
}

}  // namespace

std::string TakeDestructorFailure() { return std::exchange(DestructorFailure(), std::string()); }

RefDatabaseData::~RefDatabaseData() {
  if (!Disk_) return;
  // Each step is tried on its own: a session that cannot be rolled back
  // (damaged pages) does not keep the file open.
  for (int32_t session : {kVLMEngineSessionID, 0, 1})
    InDestructor("rollback of the reference database", [&] { Disk_->RollbackSession(session); });
  InDestructor("close of the reference database", [&] {
    if (Disk_->IsOpen()) Disk_->CloseDatabase();
  });
}

TVLMTableDataBase* RefDatabaseData::CreateTableData(TVLMCursor* cursor) {
  auto table = std::make_unique<RefTableData>(this);
  table->TableName = cursor->TableName;
  return AddTableData(std::move(table));
}

// -------------------------------------------------------------------- cursor

std::unique_ptr<TVLMIndexDef> IndexOn(const char* name, const char* fields, bool primary, bool unique) {
  auto def = std::make_unique<TVLMIndexDef>();
  def->Name = name;
  def->Primary = primary;
  def->Unique = unique;
  const qv::StringList names = SplitNames(fields);
  qv::StringList directions, cases;
  for (int32_t i = 0; i < names.Count(); ++i) {
    directions.Add("ASC");
    cases.Add("CASE");
  }
  def->SetColumns(names, directions, cases);
  return def;
}

TableCursor::TableCursor(TVLMDatabaseData& database, TVLMBaseSession& session, std::string tableName)
    : Database(database) {
  Session = &session;
  TableName = std::move(tableName);
}

TableCursor::~TableCursor() {
  InDestructor("close of the table cursor", [&] { Close(); });
  // A close that failed part-way still gives the buffers back.
  InDestructor("record buffers of the table cursor", [&] { FreeBuffers(); });
}

void TableCursor::Create(std::initializer_list<FieldSpec> fields, std::initializer_list<IndexSpec> indexes,
                         TVLMConstraintDefs* constraints) {
  TVLMFieldDefs fieldDefs;
  TVLMIndexDefs indexDefs;
  FillDefinitions(fields, indexes, fieldDefs, indexDefs);
  TVLMConstraintDefs none;
  auto* table = static_cast<TVLMTableData*>(Database.GetTableData(this));
  table->CreateTable(this, fieldDefs, indexDefs, constraints != nullptr ? *constraints : none);
  Open();
}

void TableCursor::Open() {
  TableData = Database.GetTableData(this);
  TVLMTableData& table = Table();
  auto guard = table.LockGuard();
  auto fields = std::make_unique<TVLMFieldDefs>();
  fields->Assign(*table.FieldManager->FieldDefs);
  UseFields(std::move(fields));
  table.SetCursorRecordSize(this);
  BookmarkOffset = RecordDataSize;
  CalcFieldsOffset = RecordDataSize;
  RecordBufferSize = RecordDataSize + kVLMBookmarkAreaSize;
  KeyBufferSize = RecordDataSize + kVLMRecordIDSize;
  RecordKeySize = RecordDataSize;
  IndexDefs = std::make_unique<TVLMIndexDefs>();
  IndexDefs->Assign(*table.IndexManager->IndexDefs);
  RecordBitmap = std::make_unique<TVLMRecordBitmap>(&table);
  FreeBuffers();
  RecordBuffer = AllocRecordBuffer();
  OldRecordBuffer = AllocRecordBuffer();
  InitRecordBuffer(RecordBuffer, false);
  Position = TVLMCursorPosition{};
  table.OpenTable(this);
  Opened = true;
}

void TableCursor::FreeBuffers() {
  // Both go back even when the first one is damaged (its error passes on).
  auto second = qv::ScopeExit([&] { FreeRecordBuffer(OldRecordBuffer); });
  FreeRecordBuffer(RecordBuffer);
}

void TableCursor::Close() {
  if (!Opened) return;
  auto guard = Table().LockGuard();
  // Closed whatever the table data says: the cursor lets go of it.
  Opened = false;
  auto release = qv::ScopeExit([&] {
    RecordBitmap.reset();
    FreeBuffers();
  });
  Table().CloseTable(this);
}

void TableCursor::UseIndex(const std::string& name) {
  auto guard = Table().LockGuard();
  IndexDefs->Assign(*Table().IndexManager->IndexDefs);
  SetIndexName(name);
  IndexFieldCount = 0;
  ClearRecordBitmap();
}

void TableCursor::EmptyTable() {
  auto guard = Table().LockGuard();
  Table().EmptyTable(this);
  CommitTable();
  Position = TVLMCursorPosition{};
}

void TableCursor::DeleteTable() { Table().DeleteTable(this, false); }

void TableCursor::CommitTable() {
  // The engines' own table data commit by themselves.
  if (auto* reference = dynamic_cast<RefTableData*>(&Table())) reference->CommitChanges(Session->SessionID);
}

void TableCursor::CreateIndex(TVLMIndexDef& indexDef) {
  auto guard = Table().LockGuard();
  Table().CreateIndex(indexDef, this);
  CommitTable();
  IndexDefs->Assign(*Table().IndexManager->IndexDefs);
}

void TableCursor::DeleteIndex(const std::string& name) {
  auto guard = Table().LockGuard();
  const TVLMIndexDef* def = Table().IndexManager->IndexDefs->FindIndexDef(name);
  if (def == nullptr) throw EVLMException(20018, "Index not found");
  Table().DropIndex(def->ObjectID, this);
  CommitTable();
  IndexDefs->Assign(*Table().IndexManager->IndexDefs);
}

void TableCursor::GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                    const qv::StringList& caseOptions, std::string& indexName, bool& created) {
  auto guard = Table().LockGuard();
  Table().AddTemporaryIndex(this, fieldNames, directions, caseOptions, indexName, created);
  IndexDefs->Assign(*Table().IndexManager->IndexDefs);
}

void TableCursor::InitRecordBuffer(uint8_t* buffer, bool applyDefaults) {
  schema_test::TestCursor::InitRecordBuffer(buffer, applyDefaults);
  if (applyDefaults) Table().FieldManager->ApplyDefaultValues(nullptr, buffer);
}

int64_t TableCursor::GetRecordCount() { return Table().GetCursorRecordCount(this); }

uint8_t TableCursor::GetRecord(uint8_t mode) {
  auto guard = Table().LockGuard();
  const uint8_t result = Table().GetRecord(this, mode);
  if (result == kVLMNavOK) {
    VLMPutRecordID(RecordBuffer + BookmarkOffset, Position.RecordID);
    std::memcpy(OldRecordBuffer, RecordBuffer, static_cast<size_t>(RecordBufferSize));
  }
  return result;
}

void TableCursor::SetRecNo(int64_t recNo) {
  auto guard = Table().LockGuard();
  Table().SetRecNo(this, recNo);
  GetRecord(0);
}

int64_t TableCursor::GetRecNo() { return Table().GetRecNo(this); }

void TableCursor::SetToBegin() { Position = TVLMCursorPosition{1, 0, {}}; }

void TableCursor::SetToEnd() { Position = TVLMCursorPosition{0, 1, {}}; }

void TableCursor::PrepareInsert() { InitRecordBuffer(RecordBuffer, true); }

void TableCursor::Edit() { std::memcpy(OldRecordBuffer, RecordBuffer, static_cast<size_t>(RecordBufferSize)); }

void TableCursor::Post(bool inserting) {
  auto guard = Table().LockGuard();
  if (inserting) Table().FieldManager->ApplyAutoincValues(Session, RecordBuffer);
  CheckConstraints(inserting);
  if (inserting)
    Table().InsertRecord(this);
  else
    Table().UpdateRecord(this);
  std::memcpy(OldRecordBuffer, RecordBuffer, static_cast<size_t>(RecordBufferSize));
}

void TableCursor::DeleteRecord() {
  auto guard = Table().LockGuard();
  Table().DeleteRecord(this);
  if (Position.Bof == 0 && Position.Eof == 0) GetRecord(0);
}

bool TableCursor::Locate(const std::string& fieldNames, const qv::HostVariant& keyValues, bool caseInsensitive,
                         bool partialKey) {
  TVLMExpression condition;
  condition.NullSemantics = false;
  condition.BuildKeyValuesCondition(this, fieldNames, keyValues, caseInsensitive, partialKey);
  auto guard = Table().LockGuard();
  const bool found = Table().Locate(this, &condition);
  if (found) GetRecord(0);
  return found;
}

bool TableCursor::GotoKey(uint8_t mode) {
  auto guard = Table().LockGuard();
  if (!Table().GotoKey(this, mode)) return false;
  GetRecord(0);
  return true;
}

int64_t TableCursor::GetLastAutoincValue(int32_t fieldNo) { return Table().GetLastAutoincValue(fieldNo, Session); }

bool TableCursor::CheckConstraints(bool isInsert) {
  auto guard = Table().LockGuard();
  return Table().ConstraintManager->CheckConstraints(Session->SessionID, RecordBuffer, true, true,
                                                     Position.RecordID, isInsert, OldRecordBuffer);
}

void TableCursor::SetInt(int32_t fieldNo, std::optional<int64_t> value, uint8_t* buffer) {
  TVLMVariant v(bdtLargeInt);
  if (value) v.SetAsLargeInt(*value);
  SetFieldValue(v, fieldNo, true, buffer);
}

void TableCursor::SetText(int32_t fieldNo, std::optional<std::string> value, uint8_t* buffer) {
  TVLMVariant v(bdtString);
  if (value) v.SetAsString(*value);
  SetFieldValue(v, fieldNo, true, buffer);
}

std::optional<int64_t> TableCursor::Int(int32_t fieldNo) const {
  TVLMVariant v;
  GetFieldValue(v, fieldNo, true);
  if (v.IsNull()) return std::nullopt;
  return v.GetAsLargeInt();
}

std::optional<std::string> TableCursor::Text(int32_t fieldNo) const {
  TVLMVariant v;
  GetFieldValue(v, fieldNo, true);
  if (v.IsNull()) return std::nullopt;
  return v.GetAsString();
}

void TableCursor::Append(std::initializer_list<std::optional<std::string>> values) {
  PrepareInsert();
  int32_t fieldNo = 0;
  for (const std::optional<std::string>& value : values) {
    TVLMVariant v(bdtString);
    if (value) v.SetAsString(*value);
    SetFieldValue(v, fieldNo++, true);
  }
  Post(true);
}

std::vector<std::string> TableCursor::Column(int32_t fieldNo) {
  std::vector<std::string> out;
  SetToBegin();
  while (GetRecord(1) == kVLMNavOK) out.push_back(Text(fieldNo).value_or("null"));
  return out;
}

}  // namespace tabledata_test
