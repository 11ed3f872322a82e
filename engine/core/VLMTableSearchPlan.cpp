// TVLMTableData, search part: planning. What a cursor asks for becomes
// search conditions (BuildConditions), the conditions on one index are
// merged (MergeConditions), and the range to walk is chosen by its cost
// (ChooseConditions); VLMTableSearch.cpp walks it.
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

}  // namespace

// ---- conditions left to test

bool TVLMTableData::OtherConditionsRemain(const TVLMScanSearchConditionArray& conditions, int32_t a, int32_t b) {
  for (int32_t i = 0; i < conditions.GetCount(); ++i) {
    if (i == a || i == b) continue;
    const TVLMScanSearchCondition& condition = conditions.GetItem(i);
    if (condition.IndexCondition) continue;
    if (IsIndexItem(condition) || !condition.Expression->IsEmptyCondition()) return true;
  }
  return false;
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

