#include "engine/core/VLMTableData.h"

#include <algorithm>
#include <cstring>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"

namespace {

// The cursor's saved position, put back and freed when the scope ends.
class SavedPosition {
public:
  explicit SavedPosition(TVLMCursor* cursor) : Cursor_(cursor) {
    if (Cursor_ != nullptr) Position_ = Cursor_->SavePosition();
  }
  ~SavedPosition() {
    if (Cursor_ == nullptr) return;
    if (Restore_) Cursor_->RestorePosition(Position_);
    Cursor_->FreePosition(Position_);
  }
  SavedPosition(const SavedPosition&) = delete;
  SavedPosition& operator=(const SavedPosition&) = delete;
  // The cursor keeps where it is now.
  void Keep() { Restore_ = false; }

private:
  TVLMCursor* Cursor_;
  uint8_t* Position_ = nullptr;
  bool Restore_ = true;
};

}  // namespace

// --------------------------------------------------- TVLMBaseRecordManager

int32_t TVLMBaseRecordManager::ReadRecords(int32_t sessionID, const TVLMRecordID* ids, int32_t count,
                                           uint8_t* buffers, size_t stride) {
  for (int32_t i = 0; i < count; ++i) {
    TVLMNavigationRequest request;
    request.RecordID = ids[i];
    request.RecordBuffer = buffers + stride * static_cast<size_t>(i);
    GetRecord(sessionID, request);
    if (request.Result != kVLMNavOK) return i;
  }
  return count;
}

// ---------------------------------------------------------- TVLMTableData

TVLMTableData::TVLMTableData(TVLMDatabaseData* databaseData) : TVLMTableDataBase(databaseData) {}

TVLMTableData::~TVLMTableData() {
  FieldManager.reset();
  IndexManager.reset();
  ConstraintManager.reset();
  RecordManager.reset();
}

// ------------------------------------------------------------ definitions

void TVLMTableData::AssignObjectIDs(TVLMMetaObjectDefs& defs) {
  for (int32_t i = 0; i < defs.GetCount(); ++i) defs.GetItem(i)->ObjectID = DatabaseData->NextObjectID();
}

int32_t TVLMTableData::GetRecordBufferSize() const {
  if (FieldManager == nullptr || FieldManager->FieldDefs->GetCount() == 0)
    throw EVLMException(10131, "Error creating table - no fields were specified");
  return FieldManager->FieldDefs->GetRecordBufferSize();
}

void TVLMTableData::SetFieldDefs(TVLMFieldDefs& fieldDefs) {
  AssignObjectIDs(fieldDefs);
  FieldManager->FieldDefs->Assign(fieldDefs);
  FieldManager->CalculateOffsets();
  FieldManager->ResetAutoincValues();
}

void TVLMTableData::SetIndexDefs(TVLMIndexDefs& indexDefs) {
  AssignObjectIDs(indexDefs);
  IndexManager->SetIndexDefs(indexDefs);
}

void TVLMTableData::SetConstraintDefs(TVLMConstraintDefs& constraintDefs) {
  // The kinds a table keeps, for every engine; checked before anything
  // changes.
  for (int32_t i = 0; i < constraintDefs.GetCount(); ++i) {
    const uint8_t kind = constraintDefs.GetConstraintDef(i)->Kind;
    if (kind != kVLMConstraintPrimary && kind != kVLMConstraintUnique && kind != kVLMConstraintNotNull &&
        kind != kVLMConstraintCheck)
      throw EVLMException(30058, "Not implemented yet");
  }
  AssignObjectIDs(constraintDefs);
  for (int32_t i = 0; i < constraintDefs.GetCount(); ++i) constraintDefs.GetConstraintDef(i)->TableName = TableName;
  ConstraintManager->ConstraintDefs->Assign(constraintDefs);
  ConstraintManager->PrepareConstraints();
  ConstraintManager->NameUnnamedConstraints();
}

void TVLMTableData::SetCursorRecordSize(TVLMCursor* cursor) {
  cursor->RecordDataSize = GetRecordBufferSize();
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  cursor->FirstFieldOffset = fields.GetCount() > 0 ? fields.GetFieldDef(0)->BufferOffset : 0;
}

void TVLMTableData::Commit(int32_t sessionID, bool skip) {
  if (!skip && PageManager != nullptr) CommitPages(sessionID);
}

void TVLMTableData::Rollback(int32_t sessionID, bool skip) {
  if (!skip && PageManager != nullptr) RollbackPages(sessionID);
}

void TVLMTableData::CommitPages(int32_t) {}

void TVLMTableData::RollbackPages(int32_t) {}

void TVLMTableData::DeleteTable(TVLMCursor*, bool force) {
  if (force) return;
  auto guard = LockGuard();
  if (!Cursors.empty())
    throw EVLMException(20017, "Cannot delete table '%s'. Table is open by another dataset", {TableName});
}

void TVLMTableData::EmptyTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (FieldManager != nullptr) FieldManager->ResetAutoincValues();
  if (IndexManager != nullptr) IndexManager->EmptyAllIndexes(VLMCursorSessionID(cursor));
}

void TVLMTableData::RenameTable(const std::string& newName, TVLMCursor*) {
  auto guard = LockGuard();
  if (!Cursors.empty())
    throw EVLMException(10150, "Cannot rename table '%s'. Table is open by another dataset", {TableName});
  TableName = newName;
}

void TVLMTableData::OpenTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (std::find(Cursors.begin(), Cursors.end(), cursor) == Cursors.end()) Cursors.push_back(cursor);
}

void TVLMTableData::CloseTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  Cursors.erase(std::remove(Cursors.begin(), Cursors.end(), cursor), Cursors.end());
}

void TVLMTableData::RenameField(const std::string& oldName, const std::string& newName) {
  auto guard = LockGuard();
  TVLMFieldDef* field = FieldManager->FieldDefs->FindFieldDef(oldName);
  if (field == nullptr) throw EVLMException(30343, "Field '%s' not found", {oldName});
  const std::string name = newName.substr(0, kVLMMaxNameLength);
  if (FieldManager->FieldDefs->FindFieldDef(name) != nullptr)
    throw EVLMException(30344, "Cannot rename field '%s'. Field '%s' already exists", {oldName, newName});
  // The columns are renamed first: they are found by the old name.
  IndexManager->RenameFieldInIndexes(field->Name, name);
  field->Name = name;
}

void TVLMTableData::CreateIndex(TVLMIndexDef& indexDef, TVLMCursor* cursor) {
  auto guard = LockGuard();
  SavedPosition position(cursor);
  IndexManager->CreateIndex(cursor, indexDef);
  if (!indexDef.Temporary && (cursor == nullptr || !cursor->SuppressIndexConstraints))
    ConstraintManager->AddIndexConstraint(indexDef);
}

void TVLMTableData::DropIndex(int32_t indexID, TVLMCursor* cursor) {
  auto guard = LockGuard();
  const auto* def = static_cast<const TVLMIndexDef*>(IndexManager->IndexDefs->FindByObjectID(indexID));
  if (def != nullptr && !def->Temporary && (cursor == nullptr || !cursor->SuppressIndexConstraints))
    ConstraintManager->DeleteIndexConstraint(indexID);
  IndexManager->DropIndex(VLMCursorSessionID(cursor), indexID);
}

void TVLMTableData::DropAllIndexes(TVLMCursor* cursor) {
  if (IndexManager == nullptr) return;
  auto guard = LockGuard();
  while (IndexManager->IndexDefs->GetCount() > 0) DropIndex(IndexManager->IndexDefs->GetIndexDef(0)->ObjectID, cursor);
}

void TVLMTableData::AddTemporaryIndex(TVLMCursor* cursor, const qv::StringList& fieldNames,
                                      const qv::StringList& directions, const qv::StringList& caseOptions,
                                      std::string& indexName, bool& created) {
  auto guard = LockGuard();
  {
    SavedPosition position(cursor);
    const int32_t indexID =
        IndexManager->FindOrCreateTemporaryIndex(cursor, fieldNames, created, directions, caseOptions);
    const TVLMMetaObjectDef* def = IndexManager->IndexDefs->FindByObjectID(indexID);
    if (def == nullptr) throw EVLMException(10324, "Cannot find index by ID = %d", {indexID});
    indexName = def->Name;
  }
  Commit(VLMCursorSessionID(cursor), cursor->Session != nullptr && cursor->Session->InTransaction);
}

bool TVLMTableData::FindIndexForFields(TVLMCursor* cursor, const qv::StringList& fieldNames,
                                       const qv::StringList& directions, const qv::StringList& caseOptions) {
  auto guard = LockGuard();
  return IndexManager->FindIndexForFields(fieldNames, directions, VLMCursorSessionID(cursor), caseOptions);
}

// ------------------------------------------------------------- BLOBs

void TVLMTableData::ReleaseRecordBlobs(uint8_t*) {}

void TVLMTableData::FreeBlob(uint8_t*, int32_t) {}

void TVLMTableData::FreeBlobs(uint8_t* record) {
  if (FieldManager == nullptr || !FieldManager->HasBlobFields()) return;
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  for (int32_t i = 0; i < fields.GetCount(); ++i)
    if (VLMIsBLOBBaseType(fields.GetFieldDef(i)->BaseType)) FreeBlob(record, i);
}

int64_t TVLMTableData::GetLastAutoincValue(int32_t, TVLMBaseSession*) { return 0; }

void TVLMTableData::RaiseAutoincValue(TVLMCursor*, int32_t fieldNo, int64_t value) {
  auto guard = LockGuard();
  if (FieldManager == nullptr || fieldNo < 0 || fieldNo >= static_cast<int32_t>(FieldManager->AutoincValues.size()))
    return;
  int64_t& counter = FieldManager->AutoincValues[static_cast<size_t>(fieldNo)];
  counter = std::max(counter, value);
}

void TVLMTableData::RefreshSessionCursors(int32_t sessionID) {
  auto guard = LockGuard();
  // By position: a rebuild may let cursors join or leave.
  for (size_t i = 0; i < Cursors.size(); ++i) {
    TVLMCursor* cursor = Cursors[i];
    if (cursor->Session == nullptr || cursor->Session->SessionID != sessionID) continue;
    bool rebuilt = false;
    IndexManager->RefreshTemporaryIndexes(cursor, rebuilt);
  }
}

// ------------------------------------------------------------- record checks

bool TVLMTableData::HasDuplicateKey(int32_t sessionID, int32_t indexID, const TVLMRecordID&, bool isInsert,
                                    const uint8_t* updateContext, const uint8_t* recordBuffer) {
  auto guard = LockGuard();
  if (RecordManager->RecordCount == 0) return false;
  TVLMIndex* index = IndexManager->GetIndex(indexID);
  return isInsert ? !index->CanInsertKey(sessionID, recordBuffer)
                  : !index->CanUpdateKey(sessionID, updateContext, recordBuffer);
}

bool TVLMTableData::CheckRecordRange(TVLMCursor* cursor) {
  if (!cursor->IsRangeSet() || !cursor->HasIndex()) return true;
  TVLMIndex* index = IndexManager->GetIndex(cursor->IndexID);
  if (cursor->RangeLowKey != nullptr) {
    const int32_t c = index->CompareRecordWithKey(cursor->RecordBuffer, cursor->RangeLowKey, cursor->LowFieldCount);
    if (cursor->LowExclusive ? c <= 0 : c < 0) return false;
  }
  if (cursor->RangeHighKey != nullptr) {
    const int32_t c =
        index->CompareRecordWithKey(cursor->RecordBuffer, cursor->RangeHighKey, cursor->HighFieldCount);
    if (cursor->HighExclusive ? c >= 0 : c > 0) return false;
  }
  return true;
}

bool TVLMTableData::CheckRecordFilter(TVLMCursor* cursor) {
  if (!CheckRecordRange(cursor)) return false;
  // A search leaves the filters bound to its own (freed) buffer; they are
  // bound to the cursor's record again before they are evaluated.
  for (TVLMExpression* filter : {cursor->FilterTextExpression.get(), cursor->FilterExpression}) {
    if (filter == nullptr) continue;
    filter->SetRecordBuffer(cursor->RecordBuffer, false);
    if (!filter->IsEmptyCondition() && !filter->GetBooleanValue()) return false;
  }
  return !cursor->FilterCallback || cursor->FilterCallback(*cursor, cursor->RecordBuffer);
}

int64_t TVLMTableData::GetCursorRecordCount(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (!cursor->HasRecordRestrictions()) return InternalGetRecordCount(cursor);
  BuildRecordBitmap(cursor);
  return cursor->RecordBitmap->GetRecordCount();
}

// ------------------------------------------------------------- navigation

void TVLMTableData::ReadRecordAt(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                                 TVLMIndexPositionCache* positionCache) {
  if (RecordManager == nullptr) throw EVLMException(10015, "Nil pointer occured");
  if (IndexManager == nullptr) throw EVLMException(10380, "Nil pointer occured");
  if (request.RecordBuffer == nullptr) throw EVLMException(10016, "Nil pointer occured");
  if (request.Cache == nullptr) request.Cache = positionCache;
  if (request.IndexID == -1 || request.Mode == 0) {
    RecordManager->GetRecord(sessionID, request);
    if (request.IndexID != -1 && positionCache != nullptr && request.Result == kVLMNavOK)
      IndexManager->GetIndex(request.IndexID)->NoteRecordRead(sessionID, request, positionCache);
  } else {
    IndexManager->NavigateIndex(sessionID, request, changeStamp, positionCache);
  }
  if (request.Result == kVLMNavOK) SearchCounters_.CountRead();
}

void TVLMTableData::MoveCursorTo(TVLMCursor* cursor, const TVLMRecordID& recordID) {
  // Placed without a step's read: the record is read again when a step
  // goes on from it.
  cursor->PositionCache.ForgetRecords();
  cursor->Position.Bof = 0;
  cursor->Position.Eof = 0;
  cursor->Position.RecordID = recordID;
}

uint8_t TVLMTableData::GetRecord(TVLMCursor* cursor, uint8_t mode) {
  auto guard = LockGuard();
  if (RecordManager == nullptr || RecordManager->RecordCount == 0) return kVLMNavEOF;
  const bool atRecord = cursor->Position.Bof == 0 && cursor->Position.Eof == 0;
  if ((mode == 1 || mode == 2) && cursor->HasIndexFields() && atRecord) {
    // The current record is the key from which the search continues.
    cursor->FreeRecordBuffer(cursor->ScratchRecordBuffer);
    cursor->ScratchRecordBuffer = cursor->AllocRecordBuffer();
    auto release = qv::ScopeExit([&] { cursor->FreeRecordBuffer(cursor->ScratchRecordBuffer); });
    if (!CursorRecord(cursor, cursor->Position.RecordID, cursor->ScratchRecordBuffer)) return kVLMNavError;
    return StepRecord(cursor, mode);
  }
  return StepRecord(cursor, mode);
}

void TVLMTableData::KeepLastRecord(TVLMCursor* cursor, const TVLMRecordID& recordID) {
  TVLMIndexPositionCache& cache = cursor->PositionCache;
  cache.PriorRecord.swap(cache.LastRecord);
  cache.PriorRecordID = cache.LastRecordID;
  cache.PriorSessionID = cache.LastSessionID;
  cache.HasPriorRecord = cache.HasLastRecord;
  const auto size = static_cast<size_t>(FieldManager->Layout().BufferSize);
  cache.LastRecord.resize(size);
  if (size > 0) std::memcpy(cache.LastRecord.data(), cursor->RecordBuffer, size);
  cache.LastRecordID = recordID;
  cache.LastSessionID = VLMCursorSessionID(cursor);
  cache.LastStamp = RecordManager->ChangeStamp;
  cache.HasLastRecord = true;
}

bool TVLMTableData::CursorRecord(TVLMCursor* cursor, const TVLMRecordID& recordID, uint8_t* buffer) {
  const TVLMIndexPositionCache& cache = cursor->PositionCache;
  // The record as the cursor's step read it, whatever commits since: the
  // next step goes on from that key and ID, not from what the address holds
  // now (another key, another record in a reused slot, or nothing).
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const auto size = static_cast<size_t>(FieldManager->Layout().BufferSize);
  const std::vector<uint8_t>* kept = nullptr;
  if (cache.HasLastRecord && cache.LastRecordID == recordID && cache.LastSessionID == sessionID)
    kept = &cache.LastRecord;
  else if (cache.HasPriorRecord && cache.PriorRecordID == recordID && cache.PriorSessionID == sessionID)
    kept = &cache.PriorRecord;
  if (kept != nullptr && kept->size() == size) {
    if (size > 0) std::memcpy(buffer, kept->data(), size);
    return true;
  }
  return ReadSearchRecord(sessionID, recordID, buffer);
}

void TVLMTableData::NoteEmptyView(TVLMCursor* cursor) {
  TVLMRecordBitmap* bitmap = cursor->RecordBitmap.get();
  if (bitmap == nullptr) return;
  InitRecordBitmap(*bitmap, cursor->IndexID);
  bitmap->Filled = true;
}

uint8_t TVLMTableData::StepRecord(TVLMCursor* cursor, uint8_t mode) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  if (mode != 0 && cursor->HasRecordRestrictions()) {
    const bool forward = mode == 1;
    // Next after the end and prior before the start find nothing, as they do
    // on a cursor without restrictions.
    if ((forward && cursor->Position.Eof != 0) || (!forward && cursor->Position.Bof != 0))
      return forward ? kVLMNavEOF : kVLMNavBOF;
    const bool fromBeginning = cursor->Position.Bof != 0 || cursor->Position.Eof != 0;
    TVLMRecordID found;
    const uint8_t* held = nullptr;
    if (!StepSearch(cursor, forward, fromBeginning, found, held)) {
      if (fromBeginning) NoteEmptyView(cursor);
      return forward ? kVLMNavEOF : kVLMNavBOF;
    }
    if (held != nullptr) {
      // The search read the record to test it: the cursor takes that copy.
      const auto size = static_cast<size_t>(FieldManager->Layout().BufferSize);
      if (size > 0) std::memcpy(cursor->RecordBuffer, held, size);
      cursor->Position = TVLMCursorPosition{0, 0, found};
      KeepLastRecord(cursor, found);
      return kVLMNavOK;
    }
    TVLMNavigationRequest request;
    request.IndexID = cursor->IndexID;
    request.RecordID = found;
    request.RecordBuffer = cursor->RecordBuffer;
    request.Cache = &cursor->PositionCache;
    ReadRecordAt(sessionID, request, RecordManager->ChangeStamp, nullptr);
    cursor->Position.RecordID = request.RecordID;
    cursor->Position.Bof = request.Bof ? 1 : 0;
    cursor->Position.Eof = request.Eof ? 1 : 0;
    if (request.Result == kVLMNavOK) KeepLastRecord(cursor, request.RecordID);
    return request.Result;
  }
  TVLMNavigationRequest request;
  request.Mode = mode;
  request.IndexID = cursor->IndexID;
  request.RecordID = cursor->Position.RecordID;
  request.RecordBuffer = cursor->RecordBuffer;
  request.Bof = cursor->Position.Bof != 0;
  request.Eof = cursor->Position.Eof != 0;
  ReadRecordAt(sessionID, request, RecordManager->ChangeStamp, &cursor->PositionCache);
  if (request.Result == kVLMNavOK && cursor->HasRecordRestrictions()) {
    // The filter callback sees the record's bookmark, as it does in a search.
    if (cursor->BookmarkOffset > 0) VLMPutRecordID(cursor->RecordBuffer + cursor->BookmarkOffset, request.RecordID);
    // The cursor stands on the record as read now, let through or not.
    KeepLastRecord(cursor, request.RecordID);
    if (!CheckRecordFilter(cursor)) return kVLMNavError;
  } else if (request.Result == kVLMNavOK) {
    cursor->PositionCache.ForgetRecords();
  }
  cursor->Position.RecordID = request.RecordID;
  cursor->Position.Bof = request.Bof ? 1 : 0;
  cursor->Position.Eof = request.Eof ? 1 : 0;
  return request.Result;
}

bool TVLMTableData::Locate(TVLMCursor* cursor, TVLMExpression* condition) {
  if (condition == nullptr) throw EVLMException(10272, "Nil pointer occured");
  auto guard = LockGuard();
  SavedPosition position(cursor);
  TVLMRecordID found;
  if (!FindRecord(cursor, condition, false, nullptr, &found, true, true, nullptr)) return false;
  position.Keep();
  MoveCursorTo(cursor, found);
  GetRecord(cursor, 0);
  return true;
}

bool TVLMTableData::GotoKey(TVLMCursor* cursor, uint8_t mode) {
  auto guard = LockGuard();
  if (!cursor->HasIndex())
    throw EVLMException(20258,
                        "No active index is set for Key search. Set Table.IndexName to the index on search fields.");
  if (cursor->SearchKeyBuffer == nullptr) throw EVLMException(10660, "Nil pointer occured");
  SavedPosition position(cursor);
  TVLMScanSearchCondition key(true);
  key.Operator = mode;
  key.KeyBuffer = cursor->SearchKeyBuffer;
  key.KeyBufferSize = cursor->KeyBufferSize;
  key.KeyFieldCount = cursor->SearchKeyFieldCount;
  key.IndexID = cursor->IndexID;
  TVLMRecordID found;
  if (!FindRecord(cursor, nullptr, false, nullptr, &found, true, true, &key)) return false;
  position.Keep();
  MoveCursorTo(cursor, found);
  return true;
}

// ------------------------------------------------------------- record numbers

void TVLMTableData::SetRecNo(TVLMCursor* cursor, int64_t recNo) {
  auto guard = LockGuard();
  const int64_t count = GetCursorRecordCount(cursor);
  if (count == 0) return;
  recNo = std::clamp<int64_t>(recNo, 1, count);
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const bool restricted = cursor->HasRecordRestrictions();
  TVLMRecordID recordID;
  if (cursor->HasIndex()) {
    TVLMIndex* index = IndexManager->GetIndex(cursor->IndexID);
    if (!restricted) {
      index->SetRecNo(sessionID, recordID, recNo);
    } else {
      TVLMKeyPath* path = index->CreateKeyPath();
      auto release = qv::ScopeExit([&] { index->FreeKeyPath(path); });
      cursor->RecordBitmap->GotoRecNo(cursor->IndexID, *path, recNo);
      IndexPositionToRecordID(sessionID, cursor->IndexID, recordID, *path);
    }
    MoveCursorTo(cursor, recordID);
  } else if (restricted) {
    cursor->RecordBitmap->GetRecordIDOfRecNo(recordID, recNo);
    MoveCursorTo(cursor, recordID);
  } else {
    cursor->Position.Bof = 0;
    cursor->Position.Eof = 0;
    InternalSetRecNo(cursor, recNo);
  }
}

int64_t TVLMTableData::GetRecNo(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (cursor->Position.Bof != 0 || cursor->Position.Eof != 0) return -1;
  if (GetCursorRecordCount(cursor) == 0) return -1;
  // The count has built the record bitmap of a restricted cursor.
  const bool restricted = cursor->HasRecordRestrictions();
  const TVLMRecordID& recordID = cursor->Position.RecordID;
  if (!cursor->HasIndex())
    return restricted ? cursor->RecordBitmap->GetRecNoOfRecordID(recordID) : InternalGetRecNo(cursor);
  const int32_t sessionID = VLMCursorSessionID(cursor);
  uint8_t* record = cursor->AllocRecordBuffer();
  auto release = qv::ScopeExit([&] { cursor->FreeRecordBuffer(record); });
  TVLMNavigationRequest request;
  request.RecordID = recordID;
  request.RecordBuffer = record;
  ReadRecordAt(sessionID, request, RecordManager->ChangeStamp, nullptr);
  if (request.Result != kVLMNavOK) return -1;
  TVLMIndex* index = IndexManager->GetIndex(cursor->IndexID);
  if (!restricted) return index->GetRecNo(sessionID, recordID, record);
  TVLMKeyPath* path = index->CreateKeyPath();
  auto freePath = qv::ScopeExit([&] { index->FreeKeyPath(path); });
  if (!index->FindKeyPath(sessionID, recordID, *path, record)) return -1;
  return cursor->RecordBitmap->GetRecNoOfRecordNo(IndexPositionToRecordNo(cursor->IndexID, *path));
}

// ------------------------------------------------------------- positions

int64_t TVLMTableData::IndexPositionToRecordNo(int32_t indexID, const TVLMKeyPath& position) {
  TVLMIndex* index = IndexManager->GetIndex(indexID);
  return index->KeyPathPosition(position, index->GetFanOut());
}

void TVLMTableData::RecordNoToIndexPosition(int32_t indexID, TVLMKeyPath& position, int64_t recordNo) {
  TVLMIndex* index = IndexManager->GetIndex(indexID);
  index->SetKeyPathPosition(position, recordNo, index->GetFanOut());
}

uint32_t TVLMTableData::GetChangeStamp() { return RecordManager != nullptr ? RecordManager->ChangeStamp : 0; }

bool TVLMTableData::GetIndexPosition(int32_t sessionID, int32_t indexID, TVLMKeyPath& keyPath,
                                     const TVLMRecordID& recordID) {
  auto* record = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(RecordManager->RecordBufferSize, 1)));
  auto release = qv::ScopeExit([&] { VLMMemoryManager().FreeMem(record); });
  TVLMNavigationRequest request;
  request.RecordID = recordID;
  request.RecordBuffer = record;
  ReadRecordAt(sessionID, request, RecordManager->ChangeStamp, nullptr);
  return request.Result == kVLMNavOK &&
         IndexManager->GetIndex(indexID)->FindKeyPath(sessionID, recordID, keyPath, record);
}

void TVLMTableData::IndexPositionToRecordID(int32_t sessionID, int32_t indexID, TVLMRecordID& recordID,
                                            const TVLMKeyPath& keyPath) {
  IndexManager->GetIndex(indexID)->KeyPathToRecordID(sessionID, keyPath, recordID);
}

std::optional<TVLMRecordID> TVLMTableData::PositionAfterDelete(TVLMCursor* cursor) {
  auto guard = LockGuard();
  const TVLMCursorPosition at = cursor->Position;
  uint8_t* buffer = cursor->RecordBuffer;
  uint8_t* scratch = cursor->AllocRecordBuffer();
  cursor->RecordBuffer = scratch;
  auto restore = qv::ScopeExit([&] {
    cursor->RecordBuffer = buffer;
    cursor->Position = at;
    cursor->FreeRecordBuffer(scratch);
  });
  if (GetRecord(cursor, 1) == kVLMNavOK) return cursor->Position.RecordID;
  cursor->Position = at;
  if (GetRecord(cursor, 2) == kVLMNavOK) return cursor->Position.RecordID;
  return std::nullopt;
}

TVLMFieldDefs* TVLMTableData::GetIndexedFieldDefs() {
  return FieldManager != nullptr ? FieldManager->FieldDefs.get() : nullptr;
}

bool TVLMTableData::ReadIndexedRecord(int32_t sessionID, const TVLMRecordID& recordID, uint8_t* buffer) {
  TVLMNavigationRequest request;
  request.RecordID = recordID;
  request.RecordBuffer = buffer;
  ReadRecordAt(sessionID, request, GetChangeStamp(), nullptr);
  return request.Result == kVLMNavOK;
}
