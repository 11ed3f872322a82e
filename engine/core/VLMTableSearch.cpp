// TVLMTableData, search part: FindRecord and its steps.
//
// Every search of a table comes here: the next or prior record of a
// restricted cursor, a locate, a key search, the filling of a record bitmap.
//
//   FindRecord
//     empty table                              -> not found
//     complete, current record bitmap          -> FindInBitmap (nothing read)
//     BuildConditions, BuildIndexConditions    what the cursor asks for, and
//                                              an index condition for every
//                                              indexable conjunct
//     MergeConditions                          pairs on one index merged;
//       contradiction                          -> not found, nothing read
//     ChooseConditions                         the range to walk: start, end
//     RemoveIndexConditions, then the conjuncts the range guarantees leave
//     their filters for the walk (TVLMDetachedConjuncts: back when it ends,
//     also by an exception)
//     a step placed in another index's order     -> ScanNavigationOrder, kept
//       over a range of a quarter of the          for the next steps
//       records or more (PlacedRangeMatches)
//     the same over a sixty-fourth or more,    -> FillBitmapByIndexPass
//       where the navigation index has a pass
//     DispatchSearch
//       start -1                               -> ScanNavigationOrder
//       no navigation index                    -> WalkIndexRangeNaturalOrder
//       start on another index                 -> WalkIndexRangeByBitmap
//       start on the navigation index          -> WalkNavigationIndexRange
//
// What each road reports, and why it may stop early:
//   1. The navigation index's own range meets its keys in the cursor's
//      order, so its first match is the answer. A walk that does not start
//      at the beginning continues from the cursor's record inside the range.
//   2. In natural order the answer is the match nearest the start position
//      by record ID. An index holds equal keys in record-ID order, so the
//      keys equal to one value of a one-column index are met in natural
//      order and the first match beyond the start is the answer; any other
//      range is walked whole, keeping the nearest match.
//   3. Placed in another index's order, the answer is the match whose key
//      path there is nearest the start record's; the range is walked whole,
//      so the walk fills the record bitmap from any start: the first step,
//      and the first step after a change of the table (another
//      connection's commit) that outdated it. A cursor's step over a range
//      of a quarter of the records or more scans through the navigation
//      index instead (from the cursor's record, or the start), and the
//      steps after it go on with that scan. Over a sixty-fourth or more the
//      fill does not search for each match's place in the navigation index
//      (a search that reads records where keys tie in their prefixes): it
//      notes the matches by record number and takes their places from one
//      pass over that index, which reads no record. Either way a step never
//      walks the range while the bitmap it filled is current.
//   4. A bitmap is filled only where the walk sees every match (a whole
//      range from the beginning, road 3 from any start, or FillAll); a
//      partly filled bitmap is never read, so a road that stops early
//      leaves it alone.
//
// A conjunct leaves its filter only when the range guarantees it. A
// comparison with the null-strict flag is false for a null field, while the
// range of "<" or "<=" (ascending; ">" or ">=" descending) and of a null key
// takes in the index's null keys; such a conjunct stays in its filter and is
// tested on every record of the range, unless the range's other bound (on
// the same index, with a present first column, its operator false for a
// null) keeps the null keys out of the walk: "val >= 5 AND val < 9" is then
// met exactly by the walk, and a bitmap fill reads no record. A BETWEEN
// gives two conditions, one per bound; it leaves its filter only when the
// walk runs from the one to the other.
//
// A scan in natural order from the beginning whose conditions hold "field IN
// (values)" over the first column of an index, with few values for the
// table's records, looks each value up in that index instead
// (ProbeInValues): every record found is tested against all conditions and
// the matches fill the record bitmap, which answers this and every later
// step.
//
// Building, merging and choosing the conditions: VLMTableSearchPlan.cpp.
// Road 3's bitmap fills and the bitmap's own steps: VLMTableSearchBitmap.cpp.
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Collation.h"

namespace {

// Forgets the conjuncts the condition's range does not guarantee, so that
// they stay in their filters (see the file's head). other is the second
// bound of the walk's range on the same index (nullptr for none): a bound
// that keeps the null keys of the first column out of the walk makes that
// column's conjunct exact after all, as every key the walk meets is present
// there.
void KeepInexactConjuncts(TVLMScanSearchCondition& condition, const TVLMIndexDef& indexDef,
                          const TVLMScanSearchCondition* other) {
  std::vector<TVLMScanConditionSource>& sources = condition.Sources;
  int32_t column = 0;
  for (size_t k = 0; k < sources.size(); ++column) {
    auto* comparison = dynamic_cast<TVLMExprNodeComparison*>(sources[k].Node);
    bool exact = true;
    // A BETWEEN gave two bounds: it is met only by a walk between both
    // (whose present keys also keep the null keys out).
    if (sources[k].Node != nullptr && sources[k].Node->Operator == kVLMOpBetween &&
        dynamic_cast<TVLMExprNodeBoolean*>(sources[k].Node) != nullptr) {
      const TVLMExprNode* node = sources[k].Node;
      exact = other != nullptr && std::any_of(other->Sources.begin(), other->Sources.end(),
                                              [&](const TVLMScanConditionSource& s) { return s.Node == node; });
    }
    if (comparison != nullptr && comparison->NullStrict) {
      TVLMExprNodeField* field = nullptr;
      TVLMExprNode* value = nullptr;
      bool fieldOnRight = false;
      comparison->FindFieldAndValue(field, value, fieldOnRight);
      const bool keyNull = field == nullptr || VLMGetBit(field->FieldNo, condition.KeyBuffer);
      // Where a null field sorts against a present key: first, or last in a
      // descending column.
      const bool descending = column < indexDef.GetColumnCount() && indexDef.GetColumn(column).Descending;
      const int32_t nullSide = descending ? 1 : -1;
      exact = !keyNull && !VLMScanOperatorHolds(condition.Operator, nullSide);
      // A null first column compares unequal with any present key, whatever
      // follows, so a bound with a present first column decides alone
      // whether the walk meets null keys.
      if (!exact && !keyNull && column == 0 && other != nullptr && other->KeyFieldCount >= 1 &&
          other->KeyBuffer != nullptr && !VLMGetBit(field->FieldNo, other->KeyBuffer) &&
          !VLMScanOperatorHolds(other->Operator, nullSide))
        exact = true;
    }
    if (exact)
      ++k;
    else
      sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(k));
  }
}

// Every value an integer within the range of integer type fieldType: a key
// of that type holds it unchanged.
bool ExactIntegerKeys(TVLMBaseDataType fieldType, const std::vector<const TVLMVariant*>& values) {
  int64_t low = 0;
  int64_t high = 0;
  if (!VLMIntegerBaseTypeRange(fieldType, low, high)) return false;
  return std::all_of(values.begin(), values.end(), [&](const TVLMVariant* value) {
    int64_t valueLow = 0;
    int64_t valueHigh = 0;
    if (!VLMIntegerBaseTypeRange(value->DataType, valueLow, valueHigh)) return false;
    const int64_t v = value->GetAsLargeInt();
    return v >= low && v <= high;
  });
}

// A fill takes its places from a pass over the navigation index where the
// range holds at least this share of the records: below it, a search for
// each match's place (a record read and a descent, each key compared)
// costs less than the pass's step over every entry.
constexpr int64_t kPassShare = 64;

}  // namespace

// ------------------------------------------------------------------ counters

TVLMSearchFigures TVLMSearchFigures::operator-(const TVLMSearchFigures& earlier) const {
  TVLMSearchFigures d;
  d.RecordsRead = RecordsRead - earlier.RecordsRead;
  d.IndexSteps = IndexSteps - earlier.IndexSteps;
  for (size_t i = 0; i < Roads.size(); ++i) d.Roads[i] = Roads[i] - earlier.Roads[i];
  return d;
}

TVLMSearchFigures TVLMSearchCounters::Snapshot() const {
  TVLMSearchFigures f;
  f.RecordsRead = RecordsRead_.load(std::memory_order_relaxed);
  f.IndexSteps = IndexSteps_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < Roads_.size(); ++i) f.Roads[i] = Roads_[i].load(std::memory_order_relaxed);
  return f;
}

uint16_t TVLMTableData::GetPageDataSize() { return 0; }

// ---------------------------------------------------------------- FindRecord

namespace {

// A restricted cursor's walk over a range of its own index, or its scan in
// natural order, kept between the cursor's steps: the conditions as the
// search planned them, the walk where it stopped, and the buffer the
// conditions are bound to.
class TVLMKeptWalk : public TVLMEngineReadState {
public:
  explicit TVLMKeptWalk(const TVLMTableData* owner) : TVLMEngineReadState(owner) {}
  ~TVLMKeptWalk() override {
    if (Record != nullptr) VLMMemoryManager().FreeMem(Record);
  }

  std::unique_ptr<TVLMScanSearchConditionArray> Conditions;
  std::unique_ptr<TVLMIndexWalk> Walk;
  uint8_t* Record = nullptr;
  int32_t Start = -1;
  int32_t End = -1;
  // The index walked: the cursor's own, or (natural order) the one whose
  // equal keys the walk meets in record-ID order; -1 for a scan.
  int32_t WalkIndexID = -1;
  // A scan in natural order (no walk, no range: every record is tested),
  // and the record manager's state of its reads.
  bool Scan = false;
  TVLMIndexPositionCache ScanCache;
  // What the walk is valid for: the cursor's index, session and direction,
  // the table's change stamp, and the record the cursor took from it last.
  int32_t IndexID = -1;
  int32_t SessionID = -1;
  bool Forward = true;
  uint32_t Stamp = 0;
  TVLMRecordID At;
  // Records must be read and tested (other conditions, a filter callback).
  bool Test = false;
  // The next step may go on with the walk (not for a cursor that shows one
  // record per key: it searches beyond each key anew, and keeps the walk
  // only for the record the walk read).
  bool Continuable = true;
};

// The road a kept walk's steps count under.
TVLMSearchRoad KeptRoad(const TVLMKeptWalk& kept) {
  if (kept.Scan) return TVLMSearchRoad::ScanNavigationOrder;
  return kept.IndexID == -1 ? TVLMSearchRoad::WalkIndexRangeNaturalOrder : TVLMSearchRoad::WalkNavigationIndexRange;
}

}  // namespace

bool TVLMTableData::StepSearch(TVLMCursor* cursor, bool forward, bool fromBeginning, TVLMRecordID& found,
                               const uint8_t*& held) {
  auto guard = LockGuard();
  held = nullptr;
  std::unique_ptr<TVLMEngineReadState>& slot = cursor->PositionCache.SearchState;
  auto* kept = slot != nullptr && slot->Owner == this ? static_cast<TVLMKeptWalk*>(slot.get()) : nullptr;
  if (kept == nullptr || !kept->Continuable || fromBeginning || kept->Forward != forward ||
      !(kept->At == cursor->Position.RecordID) || kept->Stamp != RecordManager->ChangeStamp ||
      kept->SessionID != VLMCursorSessionID(cursor) || kept->IndexID != cursor->IndexID ||
      cursor->HasIndexFields()) {
    slot.reset();
    if (!FindRecord(cursor, nullptr, false, cursor->RecordBitmap.get(), &found, forward, fromBeginning, nullptr,
                    true))
      return false;
    // A walk that tested its match read it into its buffer, which it kept.
    kept = slot != nullptr && slot->Owner == this ? static_cast<TVLMKeptWalk*>(slot.get()) : nullptr;
    if (kept != nullptr && kept->Test && kept->At == found) held = kept->Record;
    return true;
  }
  SearchCounters_.CountRoad(KeptRoad(*kept));
  TVLMScanSearchConditionArray& conditions = *kept->Conditions;
  // A filter was bound to the cursor's record since (CheckRecordFilter);
  // a walk that tests nothing evaluates no filter.
  if (kept->Test)
    for (int32_t i = 0; i < conditions.GetCount(); ++i)
      if (TVLMExpression* e = conditions.GetItem(i).Expression) e->SetRecordBuffer(kept->Record, false);
  if (kept->Scan) {
    // The scan reads on from the record it gave last, in the cursor's order.
    TVLMNavigationRequest request;
    request.Mode = forward ? 1 : 2;
    request.IndexID = kept->IndexID;
    request.RecordID = kept->At;
    request.RecordBuffer = kept->Record;
    request.Cache = &kept->ScanCache;
    bool matched = false;
    while (!matched) {
      ReadRecordAt(kept->SessionID, request, RecordManager->ChangeStamp, &kept->ScanCache);
      if (request.Result != kVLMNavOK) break;
      matched = TestConditions(cursor, conditions, -1, -1, kept->Record, request.RecordID);
    }
    if (!matched) {
      slot.reset();
      return false;
    }
    kept->At = request.RecordID;
    found = request.RecordID;
    held = kept->Record;
    return true;
  }
  TVLMIndex* index = IndexManager->GetIndex(kept->WalkIndexID);
  const TVLMScanSearchCondition& startCondition = conditions.GetItem(kept->Start);
  const TVLMScanSearchCondition* endCondition = kept->End >= 0 ? &conditions.GetItem(kept->End) : nullptr;
  bool matched = false;
  {
    std::optional<TVLMDetachedConjuncts> detached;
    if (kept->Test) detached.emplace(conditions, kept->Start, kept->End);
    TVLMRecordID recordID = kept->At;
    while (!matched && index->FindNextInRange(kept->SessionID, false, kept->Walk.get(), recordID, kept->Record,
                                              endCondition, &startCondition, forward)) {
      SearchCounters_.CountIndexStep();
      matched = !kept->Test || (ReadSearchRecord(kept->SessionID, recordID, kept->Record) &&
                                TestConditions(cursor, conditions, kept->Start, kept->End, kept->Record, recordID));
    }
    if (matched) {
      kept->At = recordID;
      found = recordID;
      if (kept->Test) held = kept->Record;
    }
  }
  // The walk has passed the range's end.
  if (!matched) slot.reset();
  return matched;
}

bool TVLMTableData::FindRecord(TVLMCursor* cursor, TVLMExpression* matchExpression, bool fillAll,
                               TVLMRecordBitmap* bitmap, TVLMRecordID* foundID, bool forward, bool fromBeginning,
                               const TVLMScanSearchCondition* keyCondition, bool continuable) {
  auto guard = LockGuard();
  if (RecordManager->RecordCount == 0) return false;
  TVLMSearchRequest search;
  search.Cursor = cursor;
  search.SessionID = VLMCursorSessionID(cursor);
  search.NavigationIndex = cursor->IndexID;
  search.FillAll = fillAll;
  search.Forward = forward;
  search.FromBeginning = fromBeginning;
  search.Bitmap = bitmap;
  search.Position = cursor->Position.RecordID;
  if (bitmap != nullptr) {
    // A bitmap numbered in another order than the cursor's (its index
    // changed) is as outdated as one the table has moved past.
    if (fillAll || bitmap->IsOutdated() || bitmap->ResetOnChange != (search.NavigationIndex != -1))
      InitRecordBitmap(*bitmap, search.NavigationIndex);
    if (bitmap->Filled) {
      SearchCounters_.CountRoad(TVLMSearchRoad::CompleteBitmap);
      TVLMRecordID found;
      if (!FindInBitmap(search.SessionID, fromBeginning, search.NavigationIndex, *bitmap, found, search.Position,
                        forward))
        return false;
      if (foundID != nullptr) *foundID = found;
      return true;
    }
  }

  auto conditions = std::make_unique<TVLMScanSearchConditionArray>();
  BuildConditions(cursor, *conditions, forward, matchExpression, keyCondition);
  conditions->BuildIndexConditions(*IndexManager->IndexDefs, search.SessionID);
  bool noMatch = false;
  MergeConditions(conditions, noMatch);
  if (noMatch) {
    SearchCounters_.CountRoad(TVLMSearchRoad::NoMatch);
    // No match at all is a complete answer.
    if (bitmap != nullptr && fillAll) bitmap->Filled = true;
    return false;
  }

  search.Record = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(RecordManager->RecordBufferSize, 1)));
  auto release = qv::ScopeExit([&] { VLMMemoryManager().FreeMem(search.Record); });
  // Bound before any conjunct is taken out, so that every node of a filter
  // points at the same buffer when it is whole again.
  for (int32_t i = 0; i < conditions->GetCount(); ++i)
    if (TVLMExpression* e = conditions->GetItem(i).Expression) e->SetRecordBuffer(search.Record, false);

  int32_t start = -1;
  int32_t end = -1;
  ChooseConditions(*conditions, search, start, end);
  conditions->RemoveIndexConditions(start, end);
  for (int32_t kept : {start, end}) {
    if (kept < 0 || kept >= conditions->GetCount()) continue;
    TVLMScanSearchCondition& condition = conditions->GetItem(kept);
    const int32_t pair = kept == start ? end : start;
    const TVLMScanSearchCondition* other =
        pair >= 0 && pair < conditions->GetCount() ? &conditions->GetItem(pair) : nullptr;
    const auto* indexDef =
        dynamic_cast<const TVLMIndexDef*>(IndexManager->IndexDefs->FindByObjectID(condition.IndexID));
    if (indexDef != nullptr) KeepInexactConjuncts(condition, *indexDef, other);
  }
  // Only a cursor's step keeps its walk.
  std::unique_ptr<TVLMIndexWalk> keptWalk;
  TVLMIndexPositionCache scanCache;
  if (continuable && !fillAll && matchExpression == nullptr && keyCondition == nullptr) {
    search.KeepWalk = &keptWalk;
    search.ScanCache = &scanCache;
  }
  TVLMRecordID found;
  bool result = false;
  bool test = false;
  bool scanned = false;
  const int64_t placed = start >= 0 ? PlacedRangeMatches(search, *conditions, start, end) : -1;
  const int64_t records = RecordManager->RecordCount;
  const bool scansOn = placed >= 0 && placed >= records / 4;
  const bool passes = placed >= 0 && !scansOn && placed >= records / kPassShare &&
                      IndexManager->GetIndex(search.NavigationIndex)->PassesEntries();
  {
    TVLMDetachedConjuncts detached(*conditions, start, end);
    bool probed = false;
    if (start == -1) result = ProbeInValues(search, *conditions, probed, found);
    if (scansOn) {
      // The range's conditions stay and are tested with the rest; the
      // bitmap stays empty.
      SearchCounters_.CountRoad(TVLMSearchRoad::ScanNavigationOrder);
      TVLMSearchRequest scan = search;
      scan.Bitmap = nullptr;
      result = ScanNavigationOrder(scan, *conditions, found);
    } else if (passes) {
      SearchCounters_.CountRoad(TVLMSearchRoad::WalkIndexRangeByBitmap);
      result = FillBitmapByIndexPass(search, *conditions, start, end, found);
    } else if (!probed) {
      result = DispatchSearch(search, *conditions, start, end, found);
    }
    scanned = (start == -1 && !probed) || scansOn;
    // As the walk saw them: the conjuncts its range guarantees are out.
    if (keptWalk != nullptr) test = cursor->FilterCallback || OtherConditionsRemain(*conditions, start, end);
  }
  // A step's scan in natural order, or through the navigation index in
  // place of a fill, goes on from its match at the next step, with the
  // conditions planned now (the kept scan tests them all, filters whole).
  const bool keepScan =
      result && scanned && search.KeepWalk != nullptr && (search.NavigationIndex == -1 || scansOn);
  if (result && (keptWalk != nullptr || keepScan)) {
    auto kept = std::make_unique<TVLMKeptWalk>(this);
    kept->Scan = keepScan;
    if (keepScan) kept->ScanCache = std::move(scanCache);
    kept->WalkIndexID = keepScan ? -1 : conditions->GetItem(start).IndexID;
    kept->Test = keepScan || test;
    kept->Conditions = std::move(conditions);
    kept->Walk = std::move(keptWalk);
    kept->Record = search.Record;
    release.Release();
    kept->Start = start;
    kept->End = end;
    kept->IndexID = search.NavigationIndex;
    kept->SessionID = search.SessionID;
    kept->Forward = forward;
    kept->Stamp = RecordManager->ChangeStamp;
    kept->At = found;
    kept->Continuable = !cursor->HasIndexFields();
    cursor->PositionCache.SearchState = std::move(kept);
  }
  if (bitmap != nullptr && fillAll) bitmap->Filled = true;
  if (fromBeginning && bitmap != nullptr && bitmap->Filled && cursor->HasIndexFields() &&
      search.NavigationIndex != -1)
    IndexManager->GetIndex(search.NavigationIndex)->SetBitmapInfo(search.SessionID, bitmap, cursor->IndexFieldCount);
  if (result && foundID != nullptr) *foundID = found;
  return result;
}

// ----------------------------------------------------------- DispatchSearch

bool TVLMTableData::DispatchSearch(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                                   int32_t start, int32_t end, TVLMRecordID& foundID) {
  TVLMSearchRoad road;
  if (start == -1)
    road = TVLMSearchRoad::ScanNavigationOrder;
  else if (start < 0 || start >= conditions.GetCount())
    throw EVLMException(10382, "Invalid condition number = %d, count = %d", {start, conditions.GetCount()});
  else if (search.NavigationIndex == -1)
    road = TVLMSearchRoad::WalkIndexRangeNaturalOrder;
  else if (conditions.GetItem(start).IndexID != search.NavigationIndex)
    road = TVLMSearchRoad::WalkIndexRangeByBitmap;
  else
    road = TVLMSearchRoad::WalkNavigationIndexRange;
  SearchCounters_.CountRoad(road);
  switch (road) {
    case TVLMSearchRoad::ScanNavigationOrder: return ScanNavigationOrder(search, conditions, foundID);
    case TVLMSearchRoad::WalkIndexRangeNaturalOrder:
      return WalkIndexRangeNaturalOrder(search, conditions, start, end, foundID);
    case TVLMSearchRoad::WalkIndexRangeByBitmap: return WalkIndexRangeByBitmap(search, conditions, start, end, foundID);
    default: return WalkNavigationIndexRange(search, conditions, start, end, foundID);
  }
}

bool TVLMTableData::ReadSearchRecord(int32_t sessionID, const TVLMRecordID& recordID, uint8_t* buffer) {
  TVLMNavigationRequest request;
  request.RecordID = recordID;
  request.RecordBuffer = buffer;
  ReadRecordAt(sessionID, request, RecordManager->ChangeStamp, nullptr);
  return request.Result == kVLMNavOK;
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

// -------------------------------------------------------------------- roads

bool TVLMTableData::ScanNavigationOrder(const TVLMSearchRequest& search,
                                        const TVLMScanSearchConditionArray& conditions, TVLMRecordID& foundID) {
  TVLMRecordBitmap* bitmap = search.Bitmap;
  TVLMKeyPath* path = nullptr;
  TVLMIndex* index = nullptr;
  if (bitmap != nullptr && bitmap->ResetOnChange) {
    index = IndexManager->GetIndex(search.NavigationIndex);
    path = index->CreateKeyPath();
  }
  auto freePath = qv::ScopeExit([&] {
    if (path != nullptr) index->FreeKeyPath(path);
  });

  TVLMNavigationRequest request;
  request.Mode = search.Forward ? 1 : 2;
  request.IndexID = search.NavigationIndex;
  request.RecordID = search.Position;
  request.RecordBuffer = search.Record;
  request.Bof = search.FromBeginning && search.Forward;
  request.Eof = search.FromBeginning && !search.Forward;
  if (!search.FromBeginning && search.NavigationIndex != -1 && !ScanFromCursorRecord(search, request)) return false;
  TVLMIndexPositionCache ownCache;
  TVLMIndexPositionCache& cache = search.ScanCache != nullptr ? *search.ScanCache : ownCache;
  for (;;) {
    ReadRecordAt(search.SessionID, request, RecordManager->ChangeStamp, &cache);
    request.Mode = search.Forward ? 1 : 2;
    if (request.Result != kVLMNavOK) break;
    if (!TestConditions(search.Cursor, conditions, -1, -1, search.Record, request.RecordID)) continue;
    if (bitmap != nullptr) {
      if (path != nullptr) {
        if (index->FindKeyPath(search.SessionID, request.RecordID, *path, search.Record))
          bitmap->IncludeRecordAt(search.NavigationIndex, *path);
      } else {
        bitmap->IncludeRecord(request.RecordID);
      }
    }
    if (!search.FillAll) break;
  }
  if (request.Result != kVLMNavOK) return false;
  foundID = request.RecordID;
  return true;
}

bool TVLMTableData::ScanFromCursorRecord(const TVLMSearchRequest& search, TVLMNavigationRequest& request) {
  // The record as the cursor read it: the scan goes on from its entry, or
  // from where that entry was (the record deleted or given another key
  // since), whose nearest entry beyond is then the scan's first record. A
  // copy read under the table's present stamp is the record at its address,
  // from which the scan's step finds its place itself.
  const TVLMIndexPositionCache& kept = search.Cursor->PositionCache;
  if (kept.HasLastRecord && kept.LastRecordID == search.Position && kept.LastStamp == RecordManager->ChangeStamp)
    return true;
  if (!CursorRecord(search.Cursor, search.Position, search.Record)) return true;
  TVLMIndex* index = IndexManager->GetIndex(search.NavigationIndex);
  TVLMKeyPath* place = index->CreateKeyPath();
  auto release = qv::ScopeExit([&] { index->FreeKeyPath(place); });
  bool exact = true;
  if (!index->FindPlace(search.SessionID, search.Position, *place, search.Record, search.Forward, exact)) return false;
  if (!exact) {
    index->KeyPathToRecordID(search.SessionID, *place, request.RecordID);
    request.Mode = 0;
  }
  return true;
}

bool TVLMTableData::WalkNavigationIndexRange(const TVLMSearchRequest& search,
                                             const TVLMScanSearchConditionArray& conditions, int32_t start,
                                             int32_t end, TVLMRecordID& foundID) {
  const TVLMScanSearchCondition& startCondition = conditions.GetItem(start);
  const TVLMScanSearchCondition* endCondition = end >= 0 ? &conditions.GetItem(end) : nullptr;
  TVLMIndex* index = IndexManager->GetIndex(search.NavigationIndex);
  TVLMIndexWalk* walk = index->CreateWalk();
  // Only a walk that sees every match fills the bitmap (the file's head).
  TVLMKeyPath* path = search.Bitmap != nullptr && search.FillAll ? index->CreateKeyPath() : nullptr;
  auto release = qv::ScopeExit([&] {
    index->FreeWalk(walk);
    if (path != nullptr) index->FreeKeyPath(path);
  });
  TVLMRecordID recordID = search.Position;
  // The walk continues from the cursor's record, which it needs whole.
  if (!search.FromBeginning && !CursorRecord(search.Cursor, recordID, search.Record)) return false;
  const bool test = search.Cursor->FilterCallback || OtherConditionsRemain(conditions, start, end);
  bool found = false;
  for (bool first = search.FromBeginning;
       index->FindNextInRange(search.SessionID, first, walk, recordID, search.Record, endCondition, &startCondition,
                              search.Forward);
       first = false) {
    SearchCounters_.CountIndexStep();
    if ((test || path != nullptr) && !ReadSearchRecord(search.SessionID, recordID, search.Record)) continue;
    if (test && !TestConditions(search.Cursor, conditions, start, end, search.Record, recordID)) continue;
    found = true;
    foundID = recordID;
    if (path != nullptr && index->FindKeyPath(search.SessionID, recordID, *path, search.Record))
      search.Bitmap->IncludeRecordAt(search.NavigationIndex, *path);
    if (!search.FillAll) break;
  }
  if (found && !search.FillAll && search.KeepWalk != nullptr) {
    search.KeepWalk->reset(walk);
    walk = nullptr;
  }
  return found && !search.FillAll;
}

bool TVLMTableData::WalkIndexRangeNaturalOrder(const TVLMSearchRequest& search,
                                               const TVLMScanSearchConditionArray& conditions, int32_t start,
                                               int32_t end, TVLMRecordID& foundID) {
  const TVLMScanSearchCondition& startCondition = conditions.GetItem(start);
  const TVLMScanSearchCondition* endCondition = end >= 0 ? &conditions.GetItem(end) : nullptr;
  TVLMIndex* index = IndexManager->GetIndex(startCondition.IndexID);
  // The keys of the range are all equal: met in record-ID order.
  const bool unique = startCondition.Operator == kVLMScanEqual && !startCondition.PartialKey &&
                      index->IndexDef->GetColumnCount() == 1;
  TVLMRecordBitmap* bitmap = search.Bitmap;
  if (bitmap != nullptr && search.FromBeginning) InitRecordBitmap(*bitmap, -1);
  const bool collect = bitmap != nullptr && (search.FillAll || (search.FromBeginning && !unique));
  TVLMIndexWalk* walk = index->CreateWalk();
  auto release = qv::ScopeExit([&] { index->FreeWalk(walk); });
  auto beyond = [&](const TVLMRecordID& a, const TVLMRecordID& b) {
    const int32_t c = RecordManager->CompareRecordIDs(a, b);
    return search.Forward ? c > 0 : c < 0;
  };

  TVLMRecordID recordID = search.Position;
  bool first = true;
  // A unique walk goes on from the cursor's record when that record lies in
  // the range; else it starts at the range's beginning and skips the matches
  // on the near side of the position.
  if (!search.FromBeginning && unique && CursorRecord(search.Cursor, recordID, search.Record) &&
      index->CompareRecordWithKey(search.Record, startCondition.KeyBuffer, startCondition.KeyFieldCount) == 0)
    first = false;
  const bool test = search.Cursor->FilterCallback || OtherConditionsRemain(conditions, start, end);
  std::optional<TVLMRecordID> best;
  // The record numbers the walk meets go into the bitmap when it ends: its
  // bits grow once, to the highest of them, rather than at every new
  // highest one.
  std::vector<int64_t> collected;
  const bool batched = collect && !bitmap->ResetOnChange;
  for (; index->FindNextInRange(search.SessionID, first, walk, recordID, search.Record, endCondition,
                                &startCondition, search.Forward);
       first = false) {
    SearchCounters_.CountIndexStep();
    if (test && (!ReadSearchRecord(search.SessionID, recordID, search.Record) ||
                 !TestConditions(search.Cursor, conditions, start, end, search.Record, recordID)))
      continue;
    if (batched)
      collected.push_back(RecordIDToRecordNo(recordID));
    else if (collect)
      bitmap->IncludeRecord(recordID);
    if (!search.FromBeginning && !beyond(recordID, search.Position)) continue;
    if (!best || beyond(*best, recordID)) best = recordID;
    if (unique && !search.FillAll) break;
  }
  if (!collected.empty()) {
    TVLMBitsArray& bits = bitmap->Bits();
    const int64_t highest = *std::max_element(collected.begin(), collected.end());
    if (highest >= bits.BitCount()) bits.SetSize(highest + 1);
    for (const int64_t recordNo : collected) bits.SetBit(recordNo, true);
  }
  if (bitmap != nullptr && search.FromBeginning && !search.FillAll && !unique) bitmap->Filled = true;
  if (search.FillAll || !best) return false;
  foundID = *best;
  // Equal keys come in record-ID order: the next step goes on with the walk
  // from the match, as it would along the cursor's own index.
  if (unique && search.KeepWalk != nullptr) {
    search.KeepWalk->reset(walk);
    walk = nullptr;
  }
  return true;
}

bool TVLMTableData::ProbeInValues(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                                  bool& probed, TVLMRecordID& foundID) {
  probed = false;
  if (search.Bitmap == nullptr || search.NavigationIndex != -1 || !search.FromBeginning) return false;
  TVLMExprNodeField* field = nullptr;
  std::vector<const TVLMVariant*> values;
  // The condition whose filter holds the IN.
  int32_t holder = -1;
  for (int32_t i = 0; i < conditions.GetCount() && holder < 0; ++i)
    if (TVLMExpression* e = conditions.GetItem(i).Expression; e != nullptr && e->FindInProbe(field, values))
      holder = i;
  if (holder < 0 || field == nullptr || field->Cursor != search.Cursor) return false;
  // Each value once.
  auto less = [](const TVLMVariant* a, const TVLMVariant* b) {
    return a->Compare(*b) == kVLMCompareLess;
  };
  std::sort(values.begin(), values.end(), less);
  values.erase(std::unique(values.begin(), values.end(),
                           [&](const TVLMVariant* a, const TVLMVariant* b) { return !less(a, b) && !less(b, a); }),
               values.end());
  // A lookup per value costs a walk down an index: against one pass over
  // every record only for a few values.
  if (static_cast<int64_t>(values.size()) * 8 >= static_cast<int64_t>(RecordManager->RecordCount)) return false;
  const TVLMIndexDef* indexDef = nullptr;
  const TVLMIndexDefs& defs = *IndexManager->IndexDefs;
  for (int32_t i = 0; i < defs.GetCount() && indexDef == nullptr; ++i) {
    const TVLMIndexDef& def = *defs.GetIndexDef(i);
    if (def.GetColumnCount() > 0 &&
        qv::UpperCase1252(def.GetColumn(0).Name) == qv::UpperCase1252(field->FieldName) &&
        (!def.Temporary || def.SessionID == search.SessionID))
      indexDef = &def;
  }
  if (indexDef == nullptr) return false;
  // Each value as the index's first key column; one that the field cannot
  // hold gives up the lookups.
  TVLMCursor& cursor = *search.Cursor;
  std::vector<TVLMScanSearchCondition> keys(values.size());
  try {
    for (size_t k = 0; k < values.size(); ++k) {
      TVLMScanSearchCondition& key = keys[k];
      key.Operator = kVLMScanEqual;
      key.KeyBuffer = cursor.AllocRecordBuffer();
      key.KeyBufferSize = cursor.RecordBufferSize;
      key.IndexID = indexDef->ObjectID;
      cursor.SetFieldValue(*values[k], field->FieldNo, true, key.KeyBuffer);
      key.KeyFieldCount = 1;
    }
  } catch (const EVLMException&) {
    return false;
  }
  probed = true;
  SearchCounters_.CountRoad(TVLMSearchRoad::WalkIndexRangeNaturalOrder);
  // Every record of every value's keys is tested against all the
  // conditions: the keys only say where to look. An integer field looked up
  // by integers it can hold finds exactly the records whose field equals
  // one of them, which pass the IN: a holder that is the IN alone is not
  // tested.
  int32_t skipped = -1;
  if (auto* in = dynamic_cast<TVLMExprNodeBoolean*>(conditions.GetItem(holder).Expression->GetRoot());
      in != nullptr && in->Operator == kVLMOpIn && ExactIntegerKeys(field->BaseType, values))
    skipped = holder;
  // With nothing else to test no record is read, as a range walk without
  // tests reads none.
  const bool read = skipped < 0 || conditions.GetCount() > 1 || search.Cursor->FilterCallback;
  std::vector<int64_t> collected;
  // The keys in the index's order, each lookup starting where the last one
  // ended.
  std::unique_ptr<TVLMEngineReadState> position;
  const bool descending = indexDef->GetColumn(0).Descending;
  for (size_t k = 0; k < keys.size(); ++k) {
    const TVLMScanSearchCondition& key = keys[descending ? keys.size() - 1 - k : k];
    ProbeKey(
        search.Cursor, key.IndexID, key.KeyBuffer, key.KeyFieldCount, read ? search.Record : nullptr,
        [&](const TVLMRecordID& recordID) {
          if (TestConditions(search.Cursor, conditions, skipped, -1, search.Record, recordID))
            collected.push_back(RecordIDToRecordNo(recordID));
          return false;
        },
        &position);
  }
  TVLMRecordBitmap& bitmap = *search.Bitmap;
  InitRecordBitmap(bitmap, -1);
  if (!collected.empty()) {
    TVLMBitsArray& bits = bitmap.Bits();
    const int64_t highest = *std::max_element(collected.begin(), collected.end());
    if (highest >= bits.BitCount()) bits.SetSize(highest + 1);
    for (const int64_t recordNo : collected) bits.SetBit(recordNo, true);
  }
  bitmap.Filled = true;
  if (search.FillAll) return false;
  return FindInBitmap(search.SessionID, true, -1, bitmap, foundID, search.Position, search.Forward);
}

// ------------------------------------------------------------ keyed probe

bool TVLMTableData::RunRead(TVLMCursor* cursor, const std::function<void()>& body) {
  static_cast<void>(cursor);
  auto guard = LockGuard();
  body();
  return true;
}

bool TVLMTableData::ProbeKey(TVLMCursor* cursor, int32_t indexID, uint8_t* key, int32_t keyFieldCount,
                             uint8_t* record, const std::function<bool(const TVLMRecordID&)>& accept,
                             std::unique_ptr<TVLMEngineReadState>* kept) {
  auto guard = LockGuard();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  TVLMIndex* index = IndexManager->GetIndex(indexID);
  // The key is the caller's: the condition only points at it.
  TVLMScanSearchCondition condition(true);
  condition.Operator = kVLMScanEqual;
  condition.KeyBuffer = key;
  condition.KeyBufferSize = cursor->RecordBufferSize;
  condition.KeyFieldCount = keyFieldCount;
  condition.IndexID = indexID;
  // One reference for the lambda, which std::function then keeps without
  // taking memory.
  struct {
    TVLMTableData& table;
    int32_t sessionID;
    uint8_t* record;
    const std::function<bool(const TVLMRecordID&)>& accept;
  } visit{*this, sessionID, record, accept};
  return index->ProbeEqual(sessionID, condition, kept, [&visit](const TVLMRecordID& recordID) {
    visit.table.SearchCounters_.CountIndexStep();
    return (visit.record == nullptr || visit.table.ReadSearchRecord(visit.sessionID, recordID, visit.record)) &&
           visit.accept(recordID);
  });
}

int32_t TVLMTableData::FindLeadingIndex(TVLMCursor* cursor, const std::string& fieldName) {
  auto guard = LockGuard();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const std::string upper = qv::UpperCase1252(fieldName);
  const TVLMIndexDefs& defs = *IndexManager->IndexDefs;
  for (int32_t i = 0; i < defs.GetCount(); ++i) {
    const TVLMIndexDef& def = *defs.GetIndexDef(i);
    if (def.GetColumnCount() > 0 && qv::UpperCase1252(def.GetColumn(0).Name) == upper &&
        (!def.Temporary || def.SessionID == sessionID))
      return def.ObjectID;
  }
  return -1;
}
