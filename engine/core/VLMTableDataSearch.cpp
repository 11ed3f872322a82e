// TVLMTableData, search part: FindRecord and what it is made of.
//
// Every search of a table comes here: the next or prior record of a
// restricted cursor, a locate, a key search, the filling of a record bitmap.
// The search gathers what the cursor asks for as scan search conditions
// (BuildConditions), answers from a complete record bitmap when there is one,
// and otherwise walks the records in the cursor's order from its position,
// testing every condition on each record (ScanNavigationOrder). The walk
// reads into a buffer of its own, so the cursor's record and position change
// only when the caller takes the match.
#include <algorithm>
#include <cstring>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/ScopeExit.h"

namespace {

// An index condition on the cursor's navigation index with a key that is not
// the condition's own.
void AddKeyCondition(TVLMScanSearchConditionArray& conditions, uint8_t op, uint8_t* key, int32_t keySize,
                     int32_t fieldCount, int32_t indexID) {
  TVLMScanSearchCondition condition(true);
  condition.Operator = op;
  condition.KeyBuffer = key;
  condition.KeyBufferSize = keySize;
  condition.KeyFieldCount = fieldCount;
  condition.IndexID = indexID;
  conditions.Add(condition);
}

}  // namespace

bool TVLMTableData::FindRecord(TVLMCursor* cursor, TVLMExpression* matchExpression, bool fillAll,
                               TVLMRecordBitmap* bitmap, TVLMRecordID* foundID, bool forward, bool fromBeginning,
                               const TVLMScanSearchCondition* keyCondition) {
  auto guard = LockGuard();
  if (RecordManager->RecordCount == 0) return false;
  const int32_t navigationIndex = cursor->IndexID;
  if (bitmap != nullptr) {
    // A bitmap numbered in another order than the cursor's (its index
    // changed) is as outdated as one the table has moved past.
    if (fillAll || bitmap->IsOutdated() || bitmap->ResetOnChange != (navigationIndex != -1))
      InitRecordBitmap(*bitmap, navigationIndex);
    if (bitmap->Filled) {
      TVLMRecordID found;
      if (!FindInBitmap(VLMCursorSessionID(cursor), fromBeginning, navigationIndex, *bitmap, found,
                        cursor->Position.RecordID, forward))
        return false;
      if (foundID != nullptr) *foundID = found;
      return true;
    }
  }
  TVLMScanSearchConditionArray conditions;
  BuildConditions(cursor, conditions, forward, matchExpression, keyCondition);
  const bool found = ScanNavigationOrder(cursor, conditions, fillAll, bitmap, foundID, forward, fromBeginning);
  if (bitmap != nullptr && fillAll) bitmap->Filled = true;
  if (fromBeginning && bitmap != nullptr && bitmap->Filled && cursor->HasIndexFields() && navigationIndex != -1)
    IndexManager->GetIndex(navigationIndex)
        ->SetBitmapInfo(VLMCursorSessionID(cursor), bitmap, cursor->IndexFieldCount);
  return found;
}

void TVLMTableData::BuildConditions(TVLMCursor* cursor, TVLMScanSearchConditionArray& conditions, bool forward,
                                    TVLMExpression* matchExpression, const TVLMScanSearchCondition* keyCondition) {
  if (keyCondition != nullptr) {
    if (!cursor->HasIndex())
      throw EVLMException(
          20258, "No active index is set for Key search. Set Table.IndexName to the index on search fields.");
    conditions.Add(*keyCondition);
  }
  if (matchExpression != nullptr) conditions.AddExpression(matchExpression);
  for (TVLMExpression* filter : {cursor->FilterTextExpression.get(), cursor->FilterExpression})
    if (filter != nullptr) conditions.AddExpression(filter);
  if (cursor->IsRangeSet() && cursor->HasIndex()) {
    if (cursor->RangeLowKey != nullptr)
      AddKeyCondition(conditions, cursor->LowExclusive ? kVLMScanGreater : kVLMScanGreaterEqual,
                      cursor->RangeLowKey, cursor->KeyBufferSize, cursor->LowFieldCount, cursor->IndexID);
    if (cursor->RangeHighKey != nullptr)
      AddKeyCondition(conditions, cursor->HighExclusive ? kVLMScanLess : kVLMScanLessEqual, cursor->RangeHighKey,
                      cursor->KeyBufferSize, cursor->HighFieldCount, cursor->IndexID);
  }
  // The next match of a cursor that shows one record per key lies beyond
  // the current record's key.
  if (cursor->HasIndexFields() && cursor->HasIndex() && cursor->ScratchRecordBuffer != nullptr &&
      cursor->Position.Bof == 0 && cursor->Position.Eof == 0)
    AddKeyCondition(conditions, forward ? kVLMScanGreater : kVLMScanLess, cursor->ScratchRecordBuffer,
                    cursor->RecordBufferSize, cursor->IndexFieldCount, cursor->IndexID);
}

bool TVLMTableData::TestIndexCondition(const TVLMScanSearchCondition& condition, const uint8_t* record) {
  TVLMIndex* index = IndexManager->GetIndex(condition.IndexID);
  return VLMScanOperatorHolds(condition.Operator,
                              index->CompareRecordWithKey(record, condition.KeyBuffer, condition.KeyFieldCount));
}

bool TVLMTableData::TestConditions(TVLMCursor* cursor, const TVLMScanSearchConditionArray& conditions,
                                   int32_t start, int32_t end, uint8_t* record, const TVLMRecordID& recordID) {
  for (int32_t i = 0; i < conditions.GetCount(); ++i) {
    if (i == start || i == end) continue;
    const TVLMScanSearchCondition& condition = conditions.GetItem(i);
    if (condition.Expression != nullptr) {
      if (!condition.Expression->IsEmptyCondition() && !condition.Expression->GetBooleanValue()) return false;
    } else if (!TestIndexCondition(condition, record)) {
      return false;
    }
  }
  if (!cursor->FilterCallback) return true;
  // The callback sees a whole record buffer of its cursor, bookmark included.
  uint8_t* copy = cursor->AllocRecordBuffer();
  auto release = qv::ScopeExit([&] {
    try {
      ReleaseRecordBlobs(copy);
    } catch (...) {
    }
    cursor->FreeRecordBuffer(copy);
  });
  const int32_t dataSize = std::min(RecordManager->RecordBufferSize, cursor->BookmarkOffset);
  if (dataSize > 0) std::memcpy(copy, record, static_cast<size_t>(dataSize));
  VLMPutRecordID(copy + cursor->BookmarkOffset, recordID);
  return cursor->FilterCallback(*cursor, copy);
}

bool TVLMTableData::ScanNavigationOrder(TVLMCursor* cursor, const TVLMScanSearchConditionArray& conditions,
                                        bool fillAll, TVLMRecordBitmap* bitmap, TVLMRecordID* foundID, bool forward,
                                        bool fromBeginning) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const int32_t navigationIndex = cursor->IndexID;
  auto* record = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(RecordManager->RecordBufferSize, 1)));
  auto release = qv::ScopeExit([&] { VLMMemoryManager().FreeMem(record); });
  for (int32_t i = 0; i < conditions.GetCount(); ++i)
    if (TVLMExpression* e = conditions.GetItem(i).Expression) e->SetRecordBuffer(record, false);
  TVLMKeyPath* path = nullptr;
  TVLMIndex* index = nullptr;
  if (bitmap != nullptr && bitmap->ResetOnChange) {
    index = IndexManager->GetIndex(navigationIndex);
    path = index->CreateKeyPath();
  }
  auto freePath = qv::ScopeExit([&] {
    if (path != nullptr) index->FreeKeyPath(path);
  });

  TVLMNavigationRequest request;
  request.Mode = forward ? 1 : 2;
  request.IndexID = navigationIndex;
  request.RecordID = cursor->Position.RecordID;
  request.RecordBuffer = record;
  request.Bof = fromBeginning && forward;
  request.Eof = fromBeginning && !forward;
  TVLMIndexPositionCache cache;
  for (;;) {
    ReadRecordAt(sessionID, request, RecordManager->ChangeStamp, &cache);
    if (request.Result != kVLMNavOK) break;
    if (!TestConditions(cursor, conditions, -1, -1, record, request.RecordID)) continue;
    if (bitmap != nullptr) {
      if (path != nullptr) {
        if (index->FindKeyPath(sessionID, request.RecordID, *path, record))
          bitmap->IncludeRecordAt(navigationIndex, *path);
      } else {
        bitmap->IncludeRecord(request.RecordID);
      }
    }
    if (!fillAll) break;
  }
  if (request.Result != kVLMNavOK) return false;
  if (foundID != nullptr) *foundID = request.RecordID;
  return true;
}

bool TVLMTableData::FindInBitmap(int32_t sessionID, bool fromBeginning, int32_t navigationIndex,
                                 TVLMRecordBitmap& bitmap, TVLMRecordID& foundID, const TVLMRecordID& position,
                                 bool forward) {
  if (!bitmap.ResetOnChange) return bitmap.FindRecord(fromBeginning, forward, foundID, position);
  TVLMIndex* index = IndexManager->GetIndex(navigationIndex);
  TVLMKeyPath* current = index->CreateKeyPath();
  TVLMKeyPath* next = index->CreateKeyPath();
  auto release = qv::ScopeExit([&] {
    index->FreeKeyPath(current);
    index->FreeKeyPath(next);
  });
  if (!fromBeginning && !GetIndexPosition(sessionID, navigationIndex, *current, position)) return false;
  if (!bitmap.GotoNextRecord(fromBeginning, forward, navigationIndex, *next, *current)) return false;
  IndexPositionToRecordID(sessionID, navigationIndex, foundID, *next);
  return true;
}

void TVLMTableData::InitRecordBitmap(TVLMRecordBitmap& bitmap, int32_t indexID) {
  bitmap.Reset();
  bitmap.Stamp = static_cast<int32_t>(RecordManager->ChangeStamp);
  bitmap.ResetOnChange = indexID != -1;
}

void TVLMTableData::BuildRecordBitmap(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (!cursor->RecordBitmap) cursor->RecordBitmap = std::make_unique<TVLMRecordBitmap>(this);
  TVLMRecordBitmap& bitmap = *cursor->RecordBitmap;
  const bool needed =
      bitmap.Filled ? bitmap.IsOutdated() : cursor->HasRecordRestrictions();
  if (!needed) return;
  bitmap.Reset();
  bitmap.SetBitCount(GetRecordCount(VLMCursorSessionID(cursor)));
  if (RecordManager->RecordCount == 0) return;
  // The walk starts before the first record and reads into its own buffer.
  uint8_t* recordBuffer = cursor->RecordBuffer;
  const TVLMCursorPosition position = cursor->Position;
  auto restore = qv::ScopeExit([&] {
    cursor->RecordBuffer = recordBuffer;
    cursor->Position = position;
  });
  cursor->RecordBuffer = nullptr;
  cursor->Position.Bof = 1;
  cursor->Position.Eof = 0;
  FindRecord(cursor, nullptr, true, &bitmap, nullptr, true, true, nullptr);
}
