// TVLMTableData, search part: the record bitmap of a walk placed in another
// index's order, and the bitmap's own steps.
//
// A walk whose range lies on another index than the cursor's order fills
// the cursor's record bitmap with every match (road 3 of
// VLMTableSearch.cpp): by placing each match in the navigation index
// (WalkIndexRangeByBitmap), or, over a sixty-fourth of the records or more,
// by noting the matches by record number and taking their places from one
// pass over that index (FillBitmapByIndexPass). Either starts from the
// cursor's place (PlaceAtCursor). A filled, current bitmap answers the next
// steps by itself (FindInBitmap).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTableData.h"
#include "platform/host/ScopeExit.h"

namespace {

// A set of natural record numbers, a bit each (numbers are not negative).
void NoteRecordNo(std::vector<uint64_t>& bits, int64_t recordNo) {
  const auto word = static_cast<size_t>(recordNo / 64);
  if (word >= bits.size()) bits.resize(word + 1);
  bits[word] |= uint64_t{1} << (recordNo % 64);
}

bool HoldsRecordNo(const std::vector<uint64_t>& bits, int64_t recordNo) {
  const auto word = static_cast<size_t>(recordNo / 64);
  return recordNo >= 0 && word < bits.size() && ((bits[word] >> (recordNo % 64)) & 1) != 0;
}


[[noreturn]] void RaisePositionError(int32_t code, int32_t indexID, const TVLMRecordID& recordID) {
  throw EVLMException(code, "Cannot find record position in index %d, RecordID = %d %d",
                      {indexID, static_cast<int32_t>(recordID.Page), static_cast<int32_t>(recordID.Row)});
}

}  // namespace

// ------------------------------------------------------------- placed walks

bool TVLMTableData::PlaceAtCursor(const TVLMSearchRequest& search, TVLMIndex& order, TVLMKeyPath& startPath,
                                  bool& startExact, int32_t goneCode) {
  if (!CursorRecord(search.Cursor, search.Position, search.Record))
    RaisePositionError(goneCode, search.NavigationIndex, search.Position);
  // From the cursor's entry, or from where it was (the record deleted or
  // given another key since the cursor read it): the nearest entry beyond
  // is then a match's nearest place; nothing beyond, no match.
  if (!order.FindPlace(search.SessionID, search.Position, startPath, search.Record, search.Forward, startExact))
    return false;
  TVLMRecordID placed;
  order.KeyPathToRecordID(search.SessionID, startPath, placed);
  if (startExact && !(placed == search.Position)) RaisePositionError(10414, search.NavigationIndex, search.Position);
  return true;
}

bool TVLMTableData::WalkIndexRangeByBitmap(const TVLMSearchRequest& search,
                                           const TVLMScanSearchConditionArray& conditions, int32_t start,
                                           int32_t end, TVLMRecordID& foundID) {
  const int32_t navigationIndex = search.NavigationIndex;
  const TVLMScanSearchCondition& startCondition = conditions.GetItem(start);
  const TVLMScanSearchCondition* endCondition = end >= 0 ? &conditions.GetItem(end) : nullptr;
  TVLMIndex* index = IndexManager->GetIndex(startCondition.IndexID);
  TVLMIndex* order = IndexManager->GetIndex(navigationIndex);
  TVLMIndexWalk* walk = index->CreateWalk();
  TVLMKeyPath* startPath = order->CreateKeyPath();
  TVLMKeyPath* path = order->CreateKeyPath();
  TVLMKeyPath* bestPath = order->CreateKeyPath();
  auto release = qv::ScopeExit([&] {
    index->FreeWalk(walk);
    order->FreeKeyPath(startPath);
    order->FreeKeyPath(path);
    order->FreeKeyPath(bestPath);
  });
  bool startExact = true;
  if (!search.FromBeginning && !PlaceAtCursor(search, *order, *startPath, startExact, 10387)) return false;
  // The range is walked whole from wherever the cursor stands, so every
  // match is seen and the bitmap is filled by any step: a step after a
  // change of the table (another connection's commit) fills it again, and
  // the steps after it answer from it instead of walking the range again.
  // Not so for a cursor that shows one record per key: beyond its first
  // step its conditions hold only the keys beyond its own.
  TVLMRecordBitmap* bitmap =
      search.FromBeginning || !search.Cursor->HasIndexFields() ? search.Bitmap : nullptr;
  if (bitmap != nullptr) InitRecordBitmap(*bitmap, navigationIndex);
  auto nearer = [&](const TVLMKeyPath* a, const TVLMKeyPath* b) {
    const int32_t c = order->CompareKeyPaths(a, b);
    return search.Forward ? c < 0 : c > 0;
  };

  bool haveBest = false;
  TVLMRecordID bestID;
  TVLMRecordID recordID = search.Position;
  for (bool first = true; index->FindNextInRange(search.SessionID, first, walk, recordID, search.Record,
                                                 endCondition, &startCondition, search.Forward);
       first = false) {
    SearchCounters_.CountIndexStep();
    // Every match is read: its place in the navigation index needs its key.
    if (!ReadSearchRecord(search.SessionID, recordID, search.Record)) continue;
    if (!TestConditions(search.Cursor, conditions, start, end, search.Record, recordID)) continue;
    if (!order->FindKeyPath(search.SessionID, recordID, *path, search.Record))
      RaisePositionError(10432, navigationIndex, recordID);
    if (bitmap != nullptr) bitmap->IncludeRecordAt(navigationIndex, *path);
    if (!search.FromBeginning && (startExact ? !nearer(startPath, path) : nearer(path, startPath))) continue;
    if (!haveBest || nearer(path, bestPath)) {
      std::swap(path, bestPath);
      bestID = recordID;
      haveBest = true;
    }
  }
  if (bitmap != nullptr && !search.FillAll) bitmap->Filled = true;
  if (search.FillAll || !haveBest) return false;
  // The cursor will stand on the answer: the next step goes on from its
  // number without looking for its place (FindInBitmap).
  if (bitmap != nullptr) {
    bitmap->LastRecordID = bestID;
    bitmap->LastRecordNo = IndexPositionToRecordNo(navigationIndex, *bestPath);
  }
  foundID = bestID;
  return true;
}

int64_t TVLMTableData::PlacedRangeMatches(const TVLMSearchRequest& search,
                                          const TVLMScanSearchConditionArray& conditions, int32_t start,
                                          int32_t end) {
  // A cursor's step (a filled bitmap answered it before any plan); a fill
  // asked for (FillAll) walks the range.
  if (search.FillAll || search.Bitmap == nullptr || search.NavigationIndex == -1 || search.Cursor->HasIndexFields())
    return -1;
  const TVLMScanSearchCondition& startCondition = conditions.GetItem(start);
  if (startCondition.IndexID == search.NavigationIndex) return -1;
  // A fill reads every match of the range and looks for its place in the
  // navigation index, or takes the places from a pass over that index; the
  // scan reads the records between the cursor and its next match, in the
  // index's order. Where matches are many, the scan reads fewer before the
  // walk ends, and a commit during the walk costs it no fill again.
  return IndexManager->GetIndex(startCondition.IndexID)
      ->EstimateRangeCount(search.SessionID, &startCondition, end >= 0 ? &conditions.GetItem(end) : nullptr,
                           RecordManager->RecordCount);
}

bool TVLMTableData::FillBitmapByIndexPass(const TVLMSearchRequest& search,
                                          const TVLMScanSearchConditionArray& conditions, int32_t start, int32_t end,
                                          TVLMRecordID& foundID) {
  const int32_t navigationIndex = search.NavigationIndex;
  const TVLMScanSearchCondition& startCondition = conditions.GetItem(start);
  const TVLMScanSearchCondition* endCondition = end >= 0 ? &conditions.GetItem(end) : nullptr;
  TVLMIndex* index = IndexManager->GetIndex(startCondition.IndexID);
  TVLMIndex* order = IndexManager->GetIndex(navigationIndex);
  TVLMIndexWalk* walk = index->CreateWalk();
  TVLMKeyPath* startPath = order->CreateKeyPath();
  auto release = qv::ScopeExit([&] {
    index->FreeWalk(walk);
    order->FreeKeyPath(startPath);
  });
  bool startExact = true;
  if (!search.FromBeginning && !PlaceAtCursor(search, *order, *startPath, startExact, 10945)) return false;
  // The range's matches, read and tested only where its conditions do not
  // meet the filter exactly.
  const bool test = search.Cursor->FilterCallback || OtherConditionsRemain(conditions, start, end);
  std::vector<uint64_t> matches;
  TVLMRecordID recordID;
  for (bool first = true; index->FindNextInRange(search.SessionID, first, walk, recordID, search.Record,
                                                 endCondition, &startCondition, search.Forward);
       first = false) {
    SearchCounters_.CountIndexStep();
    if (test && (!ReadSearchRecord(search.SessionID, recordID, search.Record) ||
                 !TestConditions(search.Cursor, conditions, start, end, search.Record, recordID)))
      continue;
    NoteRecordNo(matches, RecordIDToRecordNo(recordID));
  }
  TVLMRecordBitmap& bitmap = *search.Bitmap;
  InitRecordBitmap(bitmap, navigationIndex);
  // The pass meets the matches in index order: the answer is the first
  // beyond the cursor's place (forward), or the last before it.
  bool haveBest = false;
  TVLMRecordID bestID;
  int64_t bestNo = -1;
  if (!matches.empty())
    order->PassEntries(search.SessionID, [&](const TVLMRecordID& entryID, const TVLMKeyPath& path) {
      SearchCounters_.CountIndexStep();
      if (!HoldsRecordNo(matches, RecordIDToRecordNo(entryID))) return false;
      bitmap.IncludeRecordAt(navigationIndex, path);
      if (haveBest && search.Forward) return false;
      if (!search.FromBeginning) {
        // Beyond the cursor's entry, or at or beyond the nearest entry
        // beyond where it was.
        const int32_t c = order->CompareKeyPaths(startPath, &path);
        if (!(search.Forward ? (startExact ? c < 0 : c <= 0) : (startExact ? c > 0 : c >= 0))) return false;
      }
      haveBest = true;
      bestID = entryID;
      bestNo = IndexPositionToRecordNo(navigationIndex, path);
      return false;
    });
  bitmap.Filled = true;
  if (!haveBest) return false;
  // The cursor will stand on the answer: the next step goes on from its
  // number without looking for its place (FindInBitmap).
  bitmap.LastRecordID = bestID;
  bitmap.LastRecordNo = bestNo;
  foundID = bestID;
  return true;
}

// ------------------------------------------------------------------ bitmaps

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
  // The cursor's place: kept from the last answer when it stands there (the
  // table unchanged since, as the bitmap is current), else looked up.
  int64_t from = 0;
  if (!fromBeginning && bitmap.LastRecordNo >= 0 && bitmap.LastRecordID == position) {
    from = bitmap.LastRecordNo;
  } else if (!fromBeginning) {
    if (!GetIndexPosition(sessionID, navigationIndex, *current, position)) return false;
    from = IndexPositionToRecordNo(navigationIndex, *current);
  }
  int64_t found = 0;
  if (!bitmap.GotoNextRecordNo(fromBeginning, forward, navigationIndex, *next, from, found)) return false;
  IndexPositionToRecordID(sessionID, navigationIndex, foundID, *next);
  bitmap.LastRecordID = foundID;
  bitmap.LastRecordNo = found;
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
  const bool needed = bitmap.Filled ? bitmap.IsOutdated() : cursor->HasRecordRestrictions();
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
