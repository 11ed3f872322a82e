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
//      path there is nearest the start record's; the range is walked whole.
//   4. A bitmap is filled only where the walk sees every match (a whole
//      range from the beginning, or FillAll); a partly filled bitmap is
//      never read, so a road that stops early leaves it alone.
//
// Merging keeps one invariant: any two conditions left on one index are a
// pair the merge table keeps both of, and a range walk from the one to the
// other meets exactly the keys both allow. The merge therefore repeats until
// no pair merges (a newcomer that replaces one condition must still meet the
// others), and keeps an "=" with fewer key fields beside a strict "<" or ">"
// apart only over an equal key, where the table cannot decide the pair;
// over any other key the table decides it. A "<=" and a ">=" over one key
// merge into an "="; when one of them came from the cursor's range or key
// rather than from a conjunct, no filter says what that "=" says, so it is
// tested like the range's own conditions when the walk does not use it
// (a scan from the position), instead of being dropped for its conjunct.
//
// Cost of a range, in page units (8-byte floats; n the keys the index
// estimates inside the range, R the stored record size, P the page data size,
// K the keys per index page):
//   (n div K) / P                      walking the keys
//   + R / P x n                        when records must be read: a filter
//                                      callback, another condition to test,
//                                      or another order than the range's
//   + (n div K) / P                    placing the matches in another order
// A range is taken when it costs less than the record count and less than
// the best before it; the choice is dropped when a scan from the position
// costs less: m x R / P in natural order, m (a page per record) in an
// index's order, m the records the scan would visit. K is at least 1; with
// P = 0 (an engine without a page figure) the costs divide by 1 and the
// scan comparison is skipped, so no figure ever divides by zero or makes a
// NaN.
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

bool IsIndexItem(const TVLMScanSearchCondition& condition) { return condition.Expression == nullptr; }

int32_t Sign(int32_t value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

// ---- merge table

// What a pair of conditions on one index becomes: E is already kept, C comes
// new.
enum class MergeOutcome {
  None,             // no record can match both
  KeepE,            // C adds nothing
  TakeC,            // E is replaced by C
  KeepShorter,      // the one with fewer key fields (E when equal)
  KeepLonger,       // the one with more key fields (E when equal)
  KeepLongerEqual,  // KeepLonger with the operator set to "="
  Both,             // no merge: C is kept too
};

// The merge table. cmp is the sign of E's key compared with C's over the
// shorter of the two; fE and fC are their key field counts.
MergeOutcome MergeRule(uint8_t e, uint8_t c, int32_t cmp, int32_t fE, int32_t fC) {
  using M = MergeOutcome;
  const int32_t minF = std::min(fE, fC);
  const int32_t maxF = std::max(fE, fC);
  switch (e) {
    case kVLMScanEqual:
      switch (c) {
        case kVLMScanEqual: return cmp != 0 ? M::None : M::KeepLonger;
        case kVLMScanLess: return cmp >= 0 ? M::None : M::KeepE;
        case kVLMScanGreater: return cmp <= 0 ? M::None : M::KeepE;
        case kVLMScanLessEqual: return cmp > 0 ? M::None : cmp < 0 || fE == maxF ? M::KeepE : M::Both;
        case kVLMScanGreaterEqual: return cmp < 0 ? M::None : cmp > 0 || fE == maxF ? M::KeepE : M::Both;
      }
      break;
    case kVLMScanLess:
      switch (c) {
        case kVLMScanEqual: return cmp <= 0 ? M::None : M::TakeC;
        case kVLMScanLess: return cmp < 0 ? M::KeepE : cmp == 0 ? M::KeepShorter : M::TakeC;
        case kVLMScanGreater: return cmp <= 0 ? M::None : M::Both;
        case kVLMScanLessEqual: return cmp <= 0 ? M::KeepE : M::TakeC;
        case kVLMScanGreaterEqual: return cmp < 0 || (cmp == 0 && fE == minF) ? M::None : M::Both;
      }
      break;
    case kVLMScanGreater:
      switch (c) {
        case kVLMScanEqual: return cmp >= 0 ? M::None : M::TakeC;
        case kVLMScanLess: return cmp >= 0 ? M::None : M::Both;
        case kVLMScanGreater: return cmp > 0 ? M::KeepE : cmp == 0 ? M::KeepShorter : M::TakeC;
        case kVLMScanLessEqual: return cmp > 0 || (cmp == 0 && fE == minF) ? M::None : M::Both;
        case kVLMScanGreaterEqual: return cmp >= 0 ? M::KeepE : M::TakeC;
      }
      break;
    case kVLMScanLessEqual:
      switch (c) {
        case kVLMScanEqual: return cmp < 0 ? M::None : cmp > 0 || fC == maxF ? M::TakeC : M::Both;
        case kVLMScanLess: return cmp < 0 ? M::KeepE : cmp > 0 ? M::TakeC : M::Both;
        case kVLMScanGreater: return cmp < 0 || (cmp == 0 && fC == minF) ? M::None : M::Both;
        case kVLMScanLessEqual: return cmp < 0 ? M::KeepE : cmp == 0 ? M::KeepLonger : M::TakeC;
        case kVLMScanGreaterEqual:
          return cmp < 0 ? M::None : cmp == 0 && minF == maxF ? M::KeepLongerEqual : M::Both;
      }
      break;
    case kVLMScanGreaterEqual:
      switch (c) {
        case kVLMScanEqual: return cmp > 0 ? M::None : cmp < 0 || fC == maxF ? M::TakeC : M::Both;
        case kVLMScanLess: return cmp > 0 || (cmp == 0 && fC == minF) ? M::None : M::Both;
        case kVLMScanGreater: return cmp > 0 ? M::KeepE : M::TakeC;
        case kVLMScanLessEqual:
          return cmp > 0 ? M::None : cmp == 0 && minF == maxF ? M::KeepLongerEqual : M::Both;
        case kVLMScanGreaterEqual: return cmp > 0 ? M::KeepE : cmp == 0 ? M::KeepLonger : M::TakeC;
      }
      break;
  }
  // An operator outside 1-5 is never merged.
  return M::Both;
}

// An "=" with fewer key fields than a strict "<" or ">" beside it, over a key
// equal to the strict one's leading fields, leaves records the table would
// call impossible: (a = 5) and ((a, b) < (5, 3)) still holds (5, 0). Such a
// pair stays as it is; a range walk over it (from the "=" to the strict end,
// or back) meets exactly the records both allow. Over a different key the
// table decides the pair as any other.
bool Mergeable(uint8_t e, int32_t fE, uint8_t c, int32_t fC, int32_t cmp) {
  auto strict = [](uint8_t op) { return op == kVLMScanLess || op == kVLMScanGreater; };
  if (cmp != 0) return true;
  if (e == kVLMScanEqual && strict(c) && fE < fC) return false;
  if (c == kVLMScanEqual && strict(e) && fC < fE) return false;
  return true;
}

// ---- conditions left to test

// A condition other than a and b that a record of their range must still be
// tested against: one that was not made from a conjunct (that one's conjunct
// stays in its filter) and is an index condition or a non-empty expression.
bool OtherConditionsRemain(const TVLMScanSearchConditionArray& conditions, int32_t a, int32_t b) {
  for (int32_t i = 0; i < conditions.GetCount(); ++i) {
    if (i == a || i == b) continue;
    const TVLMScanSearchCondition& condition = conditions.GetItem(i);
    if (condition.IndexCondition) continue;
    if (IsIndexItem(condition) || !condition.Expression->IsEmptyCondition()) return true;
  }
  return false;
}

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

[[noreturn]] void RaisePositionError(int32_t code, int32_t indexID, const TVLMRecordID& recordID) {
  throw EVLMException(code, "Cannot find record position in index %d, RecordID = %d %d",
                      {indexID, static_cast<int32_t>(recordID.Page), static_cast<int32_t>(recordID.Row)});
}

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
  // The walk began at the start of its range and has taken no step since
  // its first match: it stands where a new search from the beginning would.
  bool AtFirstMatch = false;
};

// Whether a search from the beginning may take kept's first match instead of
// searching again: the cursor's only restriction is a filter that answers by
// the record alone (TVLMCursor::RecordOnlyFilter), and the walk stands at its
// first match under the cursor's direction, session and index, on the record
// the cursor read last, with the table unchanged since.
bool KeptFirstMatchHolds(const TVLMKeptWalk& kept, TVLMCursor& cursor, bool forward, uint32_t stamp) {
  return kept.AtFirstMatch && kept.Continuable && cursor.RecordOnlyFilter != nullptr &&
         cursor.RecordOnlyFilter == cursor.FilterExpression && !cursor.FilterTextExpression &&
         !cursor.FilterCallback && !cursor.IsRangeSet() && !cursor.HasIndexFields() && kept.Forward == forward &&
         kept.At == cursor.Position.RecordID && kept.Stamp == stamp && kept.SessionID == VLMCursorSessionID(&cursor) &&
         kept.IndexID == cursor.IndexID;
}

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
  if (kept != nullptr && fromBeginning && KeptFirstMatchHolds(*kept, *cursor, forward, RecordManager->ChangeStamp)) {
    // The search would walk the same range of the same records to the same
    // first match (a dataset reads its first row at open, then again for
    // First).
    SearchCounters_.CountRoad(KeptRoad(*kept));
    found = kept->At;
    if (kept->Test) held = kept->Record;
    return true;
  }
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
  kept->AtFirstMatch = false;
  TVLMScanSearchConditionArray& conditions = *kept->Conditions;
  // A filter was bound to the cursor's record since (CheckRecordFilter);
  // a walk that tests nothing evaluates no filter.
  if (kept->Test)
    for (int32_t i = 0; i < conditions.GetCount(); ++i)
      if (TVLMExpression* e = conditions.GetItem(i).Expression) e->SetRecordBuffer(kept->Record, false);
  if (kept->Scan) {
    // The scan reads on from the record it gave last.
    TVLMNavigationRequest request;
    request.Mode = forward ? 1 : 2;
    request.RecordID = kept->At;
    request.RecordBuffer = kept->Record;
    request.Cache = &kept->ScanCache;
    bool matched = false;
    while (!matched) {
      ReadRecordAt(kept->SessionID, request, RecordManager->ChangeStamp, nullptr);
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
  if (continuable && !fillAll && matchExpression == nullptr && keyCondition == nullptr) search.KeepWalk = &keptWalk;
  TVLMRecordID found;
  bool result = false;
  bool test = false;
  bool scanned = false;
  {
    TVLMDetachedConjuncts detached(*conditions, start, end);
    bool probed = false;
    if (start == -1) result = ProbeInValues(search, *conditions, probed, found);
    if (!probed) result = DispatchSearch(search, *conditions, start, end, found);
    scanned = start == -1 && !probed;
    // As the walk saw them: the conjuncts its range guarantees are out.
    if (keptWalk != nullptr) test = cursor->FilterCallback || OtherConditionsRemain(*conditions, start, end);
  }
  // A step's scan in natural order goes on from its match at the next step,
  // with the conditions planned now.
  const bool keepScan = result && scanned && search.KeepWalk != nullptr && search.NavigationIndex == -1;
  if (result && (keptWalk != nullptr || keepScan)) {
    auto kept = std::make_unique<TVLMKeptWalk>(this);
    kept->Scan = keepScan;
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
    kept->AtFirstMatch = fromBeginning;
    cursor->PositionCache.SearchState = std::move(kept);
  }
  if (bitmap != nullptr && fillAll) bitmap->Filled = true;
  if (fromBeginning && bitmap != nullptr && bitmap->Filled && cursor->HasIndexFields() &&
      search.NavigationIndex != -1)
    IndexManager->GetIndex(search.NavigationIndex)->SetBitmapInfo(search.SessionID, bitmap, cursor->IndexFieldCount);
  if (result && foundID != nullptr) *foundID = found;
  return result;
}

// ---------------------------------------------------------- BuildConditions

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

// ---------------------------------------------------------- MergeConditions

void TVLMTableData::MergeConditions(std::unique_ptr<TVLMScanSearchConditionArray>& conditions, bool& noMatch) {
  noMatch = false;
  const TVLMScanSearchConditionArray& source = *conditions;
  std::vector<int32_t> indexIDs;
  for (int32_t i = 0; i < source.GetCount(); ++i) {
    const TVLMScanSearchCondition& c = source.GetItem(i);
    if (IsIndexItem(c) && std::find(indexIDs.begin(), indexIDs.end(), c.IndexID) == indexIDs.end())
      indexIDs.push_back(c.IndexID);
  }
  // The kept conditions by their number in source, with their operator (a
  // merge may make it "="). Binding: the condition says more than the
  // conjunct it was made from (a merge made it "=" with a range or key
  // condition that no filter repeats), so it must not be dropped for its
  // conjunct when the walk does not use it.
  struct Kept {
    int32_t Item;
    uint8_t Operator;
    bool Binding = false;
  };
  std::vector<Kept> kept;
  for (int32_t indexID : indexIDs) {
    TVLMIndex* index = IndexManager->GetIndex(indexID);
    std::vector<Kept> group;
    for (int32_t i = 0; i < source.GetCount(); ++i) {
      const TVLMScanSearchCondition& c = source.GetItem(i);
      if (!IsIndexItem(c) || c.IndexID != indexID) continue;
      group.push_back({i, c.Operator, false});
      // Merged until every pair left is one the table keeps both of: a range
      // walk over such a pair meets exactly the keys both conditions allow.
      // (Merging the newcomer once is not enough: when it replaces one
      // condition, it must still meet the others.)
      for (bool changed = true; changed;) {
        changed = false;
        for (size_t a = 0; a < group.size() && !changed; ++a) {
          for (size_t b = a + 1; b < group.size() && !changed; ++b) {
            const TVLMScanSearchCondition& e = source.GetItem(group[a].Item);
            const TVLMScanSearchCondition& n = source.GetItem(group[b].Item);
            const uint8_t eOp = group[a].Operator;
            const uint8_t nOp = group[b].Operator;
            const int32_t fE = e.KeyFieldCount;
            const int32_t fN = n.KeyFieldCount;
            const int32_t cmp = Sign(index->CompareRecordWithKey(e.KeyBuffer, n.KeyBuffer, std::min(fE, fN)));
            if (!Mergeable(eOp, fE, nOp, fN, cmp)) continue;
            // The survivor takes the earlier place; the later one goes.
            bool takeNew = false;
            switch (MergeRule(eOp, nOp, cmp, fE, fN)) {
              case MergeOutcome::None:
                noMatch = true;
                return;
              case MergeOutcome::Both: continue;
              case MergeOutcome::KeepE: break;
              case MergeOutcome::TakeC: takeNew = true; break;
              case MergeOutcome::KeepShorter: takeNew = fN < fE; break;
              case MergeOutcome::KeepLonger: takeNew = fN > fE; break;
              case MergeOutcome::KeepLongerEqual: {
                takeNew = fN > fE;
                const bool binding =
                    group[a].Binding || group[b].Binding || !e.IndexCondition || !n.IndexCondition;
                group[b].Operator = kVLMScanEqual;
                group[a].Operator = kVLMScanEqual;
                group[a].Binding = group[b].Binding = binding;
                break;
              }
            }
            if (takeNew) group[a] = group[b];
            group.erase(group.begin() + static_cast<std::ptrdiff_t>(b));
            changed = true;
          }
        }
      }
    }
    kept.insert(kept.end(), group.begin(), group.end());
  }
  // Of equal conditions only the last stays.
  auto equal = [&](const Kept& a, const Kept& b) {
    const TVLMScanSearchCondition& x = source.GetItem(a.Item);
    const TVLMScanSearchCondition& y = source.GetItem(b.Item);
    return x.IndexID == y.IndexID && a.Operator != kVLMScanNone && a.Operator == b.Operator &&
           x.KeyFieldCount == y.KeyFieldCount &&
           IndexManager->GetIndex(x.IndexID)->CompareRecordWithKey(x.KeyBuffer, y.KeyBuffer, x.KeyFieldCount) == 0;
  };
  auto result = std::make_unique<TVLMScanSearchConditionArray>();
  for (size_t k = 0; k < kept.size(); ++k) {
    bool repeated = false;
    for (size_t later = k + 1; later < kept.size() && !repeated; ++later) repeated = equal(kept[k], kept[later]);
    if (repeated) continue;
    result->Add(source.GetItem(kept[k].Item));
    TVLMScanSearchCondition& added = result->GetItem(result->GetCount() - 1);
    added.Operator = kept[k].Operator;
    if (kept[k].Binding) added.IndexCondition = false;
  }
  for (int32_t i = 0; i < source.GetCount(); ++i)
    if (!IsIndexItem(source.GetItem(i))) result->Add(source.GetItem(i));
  conditions = std::move(result);
}

// --------------------------------------------------------- ChooseConditions

double TVLMTableData::RangeCost(const TVLMScanSearchConditionArray& conditions, const TVLMSearchRequest& search,
                                int32_t first, int32_t second, uint16_t pageDataSize) {
  const TVLMScanSearchCondition& a = conditions.GetItem(first);
  const TVLMScanSearchCondition& b = conditions.GetItem(second);
  TVLMIndex* index = IndexManager->GetIndex(a.IndexID);
  const int64_t n =
      std::max<int64_t>(0, index->EstimateRangeCount(search.SessionID, &a, &b, RecordManager->RecordCount));
  const TVLMIndexPageFigures figures = index->GetPageFigures();
  const int64_t keysPerPage = std::max<int64_t>(1, int64_t{figures.First} + figures.Second);
  const double pageUnit = pageDataSize > 0 ? pageDataSize : 1.0;
  const double keyPages = static_cast<double>(n / keysPerPage) / pageUnit;
  const bool otherOrder = search.NavigationIndex != -1 && search.NavigationIndex != a.IndexID;
  double cost = keyPages;
  if (search.Cursor->FilterCallback || OtherConditionsRemain(conditions, first, second) || otherOrder)
    cost += FieldManager->FieldDefs->GetStoredRecordSize() / pageUnit * static_cast<double>(n);
  if (otherOrder) cost += keyPages;
  return cost;
}

void TVLMTableData::ChooseConditions(const TVLMScanSearchConditionArray& conditions,
                                     const TVLMSearchRequest& search, int32_t& start, int32_t& end) {
  start = -1;
  end = -1;
  std::vector<int32_t> indexItems;
  for (int32_t i = 0; i < conditions.GetCount(); ++i)
    if (IsIndexItem(conditions.GetItem(i))) indexItems.push_back(i);
  // 1. An equality on a one-column unique, primary or autoincrement index
  // finds at most one key.
  for (int32_t i : indexItems) {
    const TVLMScanSearchCondition& c = conditions.GetItem(i);
    if (c.Operator != kVLMScanEqual) continue;
    const auto* def = dynamic_cast<const TVLMIndexDef*>(IndexManager->IndexDefs->FindByObjectID(c.IndexID));
    if (def == nullptr || def->GetColumnCount() != 1) continue;
    const TVLMFieldDef* field = FieldManager->FieldDefs->FindFieldDef(def->GetColumn(0).Name);
    if (def->Unique || def->Primary || (field != nullptr && VLMIsAutoincDataType(field->DataType))) {
      start = i;
      return;
    }
  }
  // 2. The navigation index's only condition.
  if (indexItems.size() == 1 && search.NavigationIndex != -1 &&
      conditions.GetItem(indexItems[0]).IndexID == search.NavigationIndex) {
    start = indexItems[0];
    return;
  }
  // 3. The cheapest range, each condition with the next when both lie on
  // one index.
  const uint16_t pageDataSize = GetPageDataSize();
  double best = static_cast<double>(RecordManager->RecordCount);
  int32_t first = -1;
  int32_t second = -1;
  for (size_t g = 0; g < indexItems.size();) {
    const int32_t a = indexItems[g];
    int32_t b = a;
    if (g + 1 < indexItems.size() &&
        conditions.GetItem(indexItems[g + 1]).IndexID == conditions.GetItem(a).IndexID) {
      b = indexItems[g + 1];
      g += 2;
    } else {
      g += 1;
    }
    const double cost = RangeCost(conditions, search, a, b, pageDataSize);
    if (cost < best) {
      best = cost;
      first = a;
      second = b;
    }
  }
  if (first == -1) return;
  if (pageDataSize > 0) {
    // The records a scan from the position would visit.
    const int64_t count = RecordManager->RecordCount;
    int64_t m = count;
    if (!search.FromBeginning) {
      const int64_t at = RecordManager->GetRecordNo(search.SessionID, search.Position);
      m = std::clamp<int64_t>(search.Forward ? count - at : at - 1, 0, count);
    }
    const double scan = search.NavigationIndex == -1 ? static_cast<double>(m) *
                                                           FieldManager->FieldDefs->GetStoredRecordSize() /
                                                           pageDataSize
                                                     : static_cast<double>(m);
    if (scan < best) return;
  }
  if (first == second) {
    start = first;
    return;
  }
  // The lower bound starts a forward walk, the upper bound a backward one.
  TVLMIndex* index = IndexManager->GetIndex(conditions.GetItem(first).IndexID);
  const bool firstIsLower = index->CompareConditions(conditions.GetItem(first), conditions.GetItem(second)) <= 0;
  start = firstIsLower == search.Forward ? first : second;
  end = start == first ? second : first;
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
  TVLMIndexPositionCache cache;
  for (;;) {
    ReadRecordAt(search.SessionID, request, RecordManager->ChangeStamp, &cache);
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
  if (!search.FromBeginning) {
    if (!CursorRecord(search.Cursor, search.Position, search.Record))
      RaisePositionError(10387, navigationIndex, search.Position);
    if (!order->FindKeyPath(search.SessionID, search.Position, *startPath, search.Record))
      RaisePositionError(10386, navigationIndex, search.Position);
    TVLMRecordID placed;
    order->KeyPathToRecordID(search.SessionID, *startPath, placed);
    if (!(placed == search.Position)) RaisePositionError(10414, navigationIndex, search.Position);
  }
  TVLMRecordBitmap* bitmap = search.Bitmap;
  if (bitmap != nullptr && search.FromBeginning) InitRecordBitmap(*bitmap, navigationIndex);
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
    if (!search.FromBeginning && !nearer(startPath, path)) continue;
    if (!haveBest || nearer(path, bestPath)) {
      std::swap(path, bestPath);
      bestID = recordID;
      haveBest = true;
    }
  }
  if (bitmap != nullptr && search.FromBeginning && !search.FillAll) bitmap->Filled = true;
  if (search.FillAll || !haveBest) return false;
  foundID = bestID;
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
