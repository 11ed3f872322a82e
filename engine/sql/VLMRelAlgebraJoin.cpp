// The join operator (TVLMAOJoin, VLMRelAlgebraJoin.h): CROSS, INNER, LEFT,
// RIGHT and FULL joins, NATURAL joins and joins on field pairs, with an
// optional residual condition (JoinCondition, the ON of an outer join less
// its key equalities).
//
// A join is materialised like every operator with operands: its fill loop
// pulls the rows below through PipelineFirst / PipelineNext / PipelineEof,
// and each row it stands on is the current row of both operands, one side
// possibly padded (LeftIsNull / RightIsNull: every field of that side reads
// as null). The walk keeps a pending move (Move_): a row is emitted with the
// operands still on it, and the move that follows it is made when the next
// row is asked for.
//
// With key pairs (KeyMode 1) both operands come sorted ascending on their
// keys through indexes on their result tables (null keys first), and the
// join merges them. Without pairs (KeyMode 0) it is a nested loop that
// rereads the inner operand from its first row for every outer row.
//
// A chain of joins fills one result table, the last join's: an INNER or
// LEFT join on one number key whose left operand is a join (with no
// condition, DISTINCT or limit of its own) and whose right operand is a
// table leaf pulls the left join's rows one by one (PullsLeft_; the left
// join is Pipelined_ and never materialised). Those rows come in no key
// order, so every new outer key seeks its run down the leaf's index; when
// the leaf has no such index after all, the left join is materialised and
// sorted as usual.
//
// INNER, LEFT, RIGHT and CROSS: the outer operand (the right one for RIGHT,
// the left one otherwise) drives; for each outer row the inner operand is
// scanned:
//   NewOuter --outer row with a null key--> padded (outer kinds) or skipped
//   NewOuter --its key equals the run key (RunKey_)--> the inner operand goes
//            back to RunStart --> Scan
//   NewOuter --a new key--> the inner operand moves forward past the
//            smaller keys; on an equal key RunStart := that row, RunKey_ :=
//            the key --> Scan
//   Scan     --inner row of the key satisfying JoinCondition--> emit the
//            pair, then the inner operand's Next
//   Scan     --the run ends--> the outer row padded when nothing matched
//            (outer kinds), then the outer operand's Next --> NewOuter
//
// FULL (both operands in key order):
//
//   Compare --one side at its end--> the other side's row padded, it moves
//   Compare --left key null or smaller--> left row padded, left moves
//   Compare --right key null or smaller--> right row padded, right moves
//   Compare --both keys null--> left row padded (NullPairPhase 1) -->
//            NullPair: right row padded, both move --> Compare
//   Compare --equal keys (or no keys: all rows form one run)--> InRun:
//            RunStart := the right row, RunKey_ := the key --> Run
//   Run     --right row of the run satisfying JoinCondition--> emit the
//            pair and mark that right row matched, the right moves
//   Run     --the right run ends--> the left row padded when it matched
//            nothing; the left moves: same key: the right goes back to
//            RunStart --> Run; else, when some right row of the run
//            matched no left row: RunPosition := the row after the run, the
//            right goes back to RunStart --> Tail; else --> Compare
//   Tail    --unmatched right row--> it comes out padded; after the last
//            one the right goes to RunPosition --> Compare
//
// Invariants:
//   1. LeftJoinFields[k] reads Left and RightJoinFields[k] reads Right for
//      every pair k, also after the sides were swapped (a join that pulls
//      its left operand never swaps them).
//   2. While walking, every row of an outer operand is emitted at least
//      once (padded when it matched nothing), and a pair of rows is emitted
//      once, only with equal, non-null keys and JoinCondition true.
//   3. RunStart is empty or marks the first inner row whose key is RunKey_;
//      every inner row before the inner operand's position has a key below
//      the current outer key, and a new outer key lies above the run key
//      before it (merge; not when pulling the left operand).
//   4. Padding flags are clear while keys are compared and while
//      JoinCondition is evaluated.
//   5. The inner row the table's keyed probe finds holds the outer key (the
//      probe's key bytes are the outer key laid out as the inner column).
//   6. The scan of an outer row with a key starts on an inner row of that
//      key: the one StartOuterRow stepped, sought or probed to, or RunStart.
//
// Error codes: 10330, 10332 (lists of different lengths), 10331, 10332
// (a join field matched by no field or by several), 10334 (both fields of
// a pair from one operand).
#include "engine/sql/VLMRelAlgebraJoin.h"

#include <algorithm>
#include <utility>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMRecordID.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypesRoutines.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kInvalidJoinField =
    "Invalid field for join operation. Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d";
constexpr std::string_view kDifferentLengths = "Error - different list lengths. L1 = %d, L2 = %d";

std::string Upper(std::string_view text) { return qv::UpperCase1252(text); }

// Values of one family are sorted by an index the way Compare orders them;
// values of two families are not.
int OrderFamily(TVLMDataType type) {
  const TVLMBaseDataType base = VLMDataTypeToBaseType(type);
  if (VLMIsStringBaseType(base) || base == bdtBytes) return 1;
  if (VLMIsNumericBaseType(base)) return 2;
  return 100 + base;
}

}  // namespace

// -------------------------------------------------------------------- life

TVLMAOJoin::TVLMAOJoin(std::unique_ptr<TVLMAO> left, std::unique_ptr<TVLMAO> right, TVLMJoinKind kind,
                       bool natural, const TVLMFields& leftFields, const TVLMFields& rightFields,
                       std::unique_ptr<TVLMExpression> condition)
    : TVLMAO(std::move(left), std::move(right), std::string(), std::string()),
      Kind(kind),
      JoinCondition(std::move(condition)) {
  if (Kind != TVLMJoinKind::Cross && !natural && leftFields.Count() != rightFields.Count())
    throw EVLMException(10330, kDifferentLengths, {leftFields.Count(), rightFields.Count()});

  // The fields: the left operand's, then the right one's, in their order.
  auto copy = [&](TVLMAO& operand, int32_t no) {
    const TVLMAOField& source = operand.Fields[static_cast<size_t>(no)];
    TVLMAOField field;
    field.Name = source.Name;
    field.DataType = source.DataType;
    field.DataSize = source.DataSize;
    field.FieldAttribute = source.FieldAttribute;
    field.Hidden = source.Hidden;
    field.Flag1 = source.Flag1;
    field.Flag2 = source.Flag2;
    field.Extra = source.Extra;
    field.Source = TVLMAOFromOperand{&operand, no};
    Fields.push_back(std::move(field));
  };
  const int32_t leftCount = Left->FieldCount();
  for (int32_t i = 0; i < leftCount; ++i) copy(*Left, i);
  for (int32_t j = 0; j < Right->FieldCount(); ++j) copy(*Right, j);

  if (natural && Kind != TVLMJoinKind::Cross) {
    // The columns of equal names are the pairs; they are carried on both
    // sides.
    for (int32_t j = 0; j < Right->FieldCount(); ++j) {
      const std::string name = Upper(Right->Fields[static_cast<size_t>(j)].Name);
      for (int32_t k = 0; k < leftCount; ++k) {
        if (Upper(Left->Fields[static_cast<size_t>(k)].Name) != name) continue;
        LeftJoinFields.Append(k);
        RightJoinFields.Append(leftCount + j);
        Fields[static_cast<size_t>(k)].Hidden = 0;
        Fields[static_cast<size_t>(leftCount + j)].Hidden = 0;
        Left->FindFields(Left->Fields[static_cast<size_t>(k)].Name, std::string(), false, false, nullptr, true);
        Right->FindFields(Right->Fields[static_cast<size_t>(j)].Name, std::string(), false, false, nullptr, true);
      }
    }
  }
  const bool hasPairs = natural ? LeftJoinFields.Count() > 0 : leftFields.Count() > 0;
  if (Kind == TVLMJoinKind::Inner && !JoinCondition && !hasPairs) Kind = TVLMJoinKind::Cross;
  IsCross = Kind == TVLMJoinKind::Cross ? 1 : 0;
  IsInner = Kind == TVLMJoinKind::Inner ? 1 : 0;
  IsOuter = Kind == TVLMJoinKind::Left || Kind == TVLMJoinKind::Right || Kind == TVLMJoinKind::Full ? 1 : 0;

  if (!IsCross) {
    if (!natural) {
      // An unqualified name found once in each operand (a USING column)
      // names the field on its own list's side.
      auto lookUp = [&](const TVLMFieldRef& item, int32_t i, TVLMAO* side, TVLMIntegerArray& into, int32_t code) {
        TVLMIntegerArray found(0, 100, 10);
        int32_t count = FindFields(item.FieldName, item.TableName, false, false, &found, true);
        if (count == 2 && item.TableName.empty()) {
          const int32_t a = found.Items()[0];
          const int32_t b = found.Items()[1];
          const bool aHere = Fields[static_cast<size_t>(a)].SourceOperator() == side;
          const bool bHere = Fields[static_cast<size_t>(b)].SourceOperator() == side;
          if (aHere != bHere) {
            count = 1;
            found.Items()[0] = aHere ? a : b;
          }
        }
        if (count != 1) throw EVLMException(code, kInvalidJoinField, {item.TableName, item.FieldName, i, count});
        into.Append(found.Items()[0]);
      };
      for (int32_t i = 0; i < leftFields.Count(); ++i) lookUp(leftFields[i], i, Left.get(), LeftJoinFields, 10331);
      for (int32_t i = 0; i < rightFields.Count(); ++i)
        lookUp(rightFields[i], i, Right.get(), RightJoinFields, 10332);
    }
    if (LeftJoinFields.Count() != RightJoinFields.Count())
      throw EVLMException(10332, kDifferentLengths, {LeftJoinFields.Count(), RightJoinFields.Count()});
    for (int32_t k = 0; k < LeftJoinFields.Count(); ++k) {
      int32_t& l = LeftJoinFields.Items()[k];
      int32_t& r = RightJoinFields.Items()[k];
      const TVLMAOField& a = Fields[static_cast<size_t>(l)];
      const TVLMAOField& b = Fields[static_cast<size_t>(r)];
      if (a.SourceOperator() == b.SourceOperator())
        throw EVLMException(10334,
                            "Both join fields are from the same table. Field1 = '%s', Field2 = '%s', No1 = %d, "
                            "No2 = %d.",
                            {a.Name, b.Name, l, r});
      if (a.SourceOperator() == Right.get()) std::swap(l, r);
      if (OrderFamily(Fields[static_cast<size_t>(l)].DataType) != OrderFamily(Fields[static_cast<size_t>(r)].DataType))
        KeysInLoop_ = true;
    }
    KeyMode = LeftJoinFields.Count() > 0 ? 1 : 0;
    if (KeyMode && !KeysInLoop_) {
      // Each operand sorted ascending on its keys in pair order (a field
      // that repeats adds nothing to the order).
      for (TVLMAO* operand : {Left.get(), Right.get()}) {
        const TVLMIntegerArray& keys = operand == Left.get() ? LeftJoinFields : RightJoinFields;
        TVLMSortKeys sort;
        for (int32_t k = 0; k < keys.Count(); ++k) {
          const TVLMAOField& f = Fields[static_cast<size_t>(keys.Items()[k])];
          const std::string name = Upper(operand->Fields[static_cast<size_t>(f.SourceFieldNo())].Name);
          if (std::none_of(sort.begin(), sort.end(), [&](const TVLMSortKey& s) { return s.Field == name; }))
            sort.push_back({name});
        }
        if (operand == Left.get()) LeftOrder_ = sort;
        operand->SetOrderBy(std::move(sort));
      }
    }
  }
  MakeOutputNames();
  Materialized = 0;
}

TVLMAOJoin::~TVLMAOJoin() = default;

namespace {

// Inner rows for each outer row above which a seek down the inner index
// costs less than the steps to the next key.
constexpr int64_t kSeekRowsPerOuterRow = 16;
// The same for a seek by the table's keyed probe.
constexpr int64_t kProbeRowsPerOuterRow = 8;

}  // namespace

bool TVLMAOJoin::MayPullLeftJoin() const {
  auto* left = dynamic_cast<TVLMAOJoin*>(Left.get());
  if (left == nullptr || (Kind != TVLMJoinKind::Inner && Kind != TVLMJoinKind::Left) || !KeyMode || KeysInLoop_ ||
      LeftJoinFields.Count() != 1 || !Right->IsLeaf)
    return false;
  const TVLMAOField& key = Fields[static_cast<size_t>(RightJoinFields.Items()[0])];
  if (key.SourceOperator() != Right.get() || !VLMIsNumericBaseType(VLMDataTypeToBaseType(key.DataType))) return false;
  return (left->Kind == TVLMJoinKind::Inner || left->Kind == TVLMJoinKind::Left) && !left->Condition &&
         !left->Distinct && left->RowLimit < 0 && left->FirstRow < 0 && !left->ResultFieldsSet &&
         left->FieldMap.Count() == 0 && left->IntoTableName().empty();
}

void TVLMAOJoin::MaterializeLeft() {
  auto& left = static_cast<TVLMAOJoin&>(*Left);
  left.Pipelined_ = false;
  PullsLeft_ = false;
  left.SetOrderBy(LeftOrder_);
  left.Materialize();
  left.ApplyOrderBy(true);
}

void TVLMAOJoin::OperandsOpened() {
  if (!PullsLeft_ && (Kind == TVLMJoinKind::Inner || Kind == TVLMJoinKind::Full) &&
      Right->RecordCount() < Left->RecordCount()) {
    std::swap(Left, Right);
    std::swap(LeftJoinFields, RightJoinFields);
  }
  for (int32_t k = 0; VLM_DEBUG_CHECKS && k < LeftJoinFields.Count(); ++k)
    VLM_INVARIANT("VLMRelAlgebraJoin 1",
                  Fields[static_cast<size_t>(LeftJoinFields.Items()[k])].SourceOperator() == Left.get() &&
                      Fields[static_cast<size_t>(RightJoinFields.Items()[k])].SourceOperator() == Right.get());
  SeekInner_ = false;
  ProbeIndex_ = -1;
  InnerKeyUnique_ = false;
  // Whether the right leaf reads through an index led by its number key.
  const TVLMIndexDef* index = nullptr;
  auto seekable = [&] {
    if ((Kind != TVLMJoinKind::Inner && Kind != TVLMJoinKind::Left) || !KeyMode || KeysInLoop_ ||
        LeftJoinFields.Count() != 1 || !Right->IsLeaf || !Right->ResultTable() ||
        Right->ResultTable()->IndexName().empty())
      return false;
    const TVLMAOField& key = Fields[static_cast<size_t>(RightJoinFields.Items()[0])];
    if (key.SourceOperator() != Right.get() || !VLMIsNumericBaseType(VLMDataTypeToBaseType(key.DataType))) return false;
    const TVLMAOField& column = Right->Fields[static_cast<size_t>(key.SourceFieldNo())];
    TVLMLocalCursor* cursor = Right->ResultTable()->Handle();
    index = cursor != nullptr ? cursor->IndexDefs->FindIndexDef(Right->ResultTable()->IndexName()) : nullptr;
    return index != nullptr && index->GetColumnCount() >= 1 && !index->GetColumn(0).Descending &&
           qv::UpperCase1252(index->GetColumn(0).Name) == qv::UpperCase1252(column.Name);
  };
  if (!seekable()) {
    if (PullsLeft_) MaterializeLeft();
    return;
  }
  const bool probe = PlanProbe();
  // A stored unique index on the key alone holds each key once.
  InnerKeyUnique_ = probe && (index->Unique || index->Primary) && !index->Temporary && index->GetColumnCount() == 1;
  SeekInner_ = PullsLeft_ || Right->RecordCount() > (probe ? kProbeRowsPerOuterRow : kSeekRowsPerOuterRow) *
                                                        std::max<int64_t>(1, Left->RecordCount());
}

bool TVLMAOJoin::PlanProbe() {
  ProbeIndex_ = -1;
  ProbeField_ = -1;
  TVLMLocalCursor* cursor = Right->ResultTable()->Handle();
  auto* table = cursor != nullptr ? dynamic_cast<TVLMTableData*>(cursor->TableData) : nullptr;
  if (table == nullptr || !cursor->HasIndex() || cursor->HasRecordRestrictions() || cursor->FilterExpression ||
      cursor->FilterTextExpression || cursor->FilterCallback || !cursor->FieldDefs)
    return false;
  const TVLMAOField& key = Fields[static_cast<size_t>(RightJoinFields.Items()[0])];
  const std::string name = qv::UpperCase1252(Right->Fields[static_cast<size_t>(key.SourceFieldNo())].Name);
  for (int32_t i = 0; i < cursor->FieldDefs->GetCount() && ProbeField_ < 0; ++i)
    if (qv::UpperCase1252(cursor->FieldDefs->GetFieldDef(i)->Name) == name) ProbeField_ = i;
  if (ProbeField_ < 0 ||
      !VLMIntegerBaseTypeRange(cursor->FieldDefs->GetFieldDef(ProbeField_)->BaseType, ProbeLow_, ProbeHigh_))
    return false;
  // The column holds its type's bytes, no more and no fewer.
  const TVLMFieldDef& column = *cursor->FieldDefs->GetFieldDef(ProbeField_);
  const int32_t bytes = ProbeHigh_ <= 0xFF ? 1 : ProbeHigh_ <= 0xFFFF ? 2 : ProbeHigh_ <= 0xFFFFFFFF ? 4 : 8;
  const size_t size = static_cast<size_t>(std::max<int32_t>(
      {cursor->RecordBufferSize, table->RecordManager ? table->RecordManager->RecordBufferSize : 0, 1}));
  if (column.DataSize != bytes || column.BufferOffset < 0 || static_cast<size_t>(column.BufferOffset + bytes) > size)
    return false;
  ProbeOffset_ = column.BufferOffset;
  ProbeSize_ = bytes;
  ProbeKey_.assign(size, 0);
  ProbeBookmark_.assign(static_cast<size_t>(TVLMDataSet::kBookmarkSize), 0);
  ProbeTable_ = table;
  ProbeIndex_ = cursor->IndexID;
  ProbePosition_.reset();
  return true;
}

std::optional<bool> TVLMAOJoin::ProbeInner() {
  if (ProbeIndex_ < 0) return std::nullopt;
  if (LeftKey_.IsNull() || LeftKey_.DataType < bdtShortInt || LeftKey_.DataType > bdtCardinal) return std::nullopt;
  const int64_t value = LeftKey_.GetAsLargeInt();
  if (value < ProbeLow_ || value > ProbeHigh_) return std::nullopt;
  TVLMLocalCursor* cursor = Right->ResultTable()->Handle();
  // The value fits the column's type (checked above): its low bytes are
  // what SetFieldValue would store.
  const auto raw = static_cast<uint64_t>(value);
  for (int32_t i = 0; i < ProbeSize_; ++i)
    ProbeKey_[static_cast<size_t>(ProbeOffset_ + i)] = static_cast<uint8_t>(raw >> (8 * i));
  VLMSetBit(false, ProbeField_, ProbeKey_.data());
  // The lambdas hold one reference each, which std::function keeps
  // without taking memory. The record is not read here: moving the leaf
  // to it reads it.
  struct {
    TVLMAOJoin& join;
    TVLMLocalCursor* cursor;
    TVLMRecordID found;
    bool hit;
  } probe{*this, cursor, {}, false};
  {
    TVLMTableDataScope scope(*cursor);
    if (!ProbeTable_->RunRead(cursor, [&probe] {
          probe.hit = probe.join.ProbeTable_->ProbeKey(
              probe.cursor, probe.join.ProbeIndex_, probe.join.ProbeKey_.data(), 1, nullptr,
              [&probe](const TVLMRecordID& id) {
                probe.found = id;
                return true;
              },
              &probe.join.ProbePosition_);
        }))
      return std::nullopt;
  }
  if (!probe.hit) return false;
  VLMPutRecordID(ProbeBookmark_.data(), probe.found);
  GoTo(*Right, ProbeBookmark_);
  if (VLM_DEBUG_CHECKS) {
    GetFieldValue(RightKey_, RightJoinFields.Items()[0], false, false);
    VLM_INVARIANT("VLMRelAlgebraJoin 5", LeftKey_.Compare(RightKey_, true) == 0);
  }
  return true;
}

bool TVLMAOJoin::SeekInner(const TVLMIntegerArray& outerFields) {
  GetFieldValue(LeftKey_, outerFields.Items()[0], false, false);
  const TVLMAOField& key = Fields[static_cast<size_t>(RightJoinFields.Items()[0])];
  const TVLMAOField& column = Right->Fields[static_cast<size_t>(key.SourceFieldNo())];
  return Right->ResultTable()->LocateNotBelow(column.Name, LeftKey_);
}

void TVLMAOJoin::SetResultFields(std::span<TVLMFieldRef> items, bool distinct) {
  const int32_t before = FieldCount();
  TVLMAO::SetResultFields(items, distinct);
  for (int32_t i = before; i < FieldCount(); ++i) {
    TVLMAOField& f = Fields[static_cast<size_t>(i)];
    if (f.Expression()) f.Expression()->BindToOperands(this, nullptr, nullptr);
  }
}

void TVLMAOJoin::Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  if (JoinCondition) {
    JoinCondition->BindToOperands(this, outerOperand, outerCursor);
    UnhideOperandFields(JoinCondition.get());
  }
  for (TVLMAOField& f : Fields)
    if (f.IsComputed()) UnhideOperandFields(f.Expression());
  if (Distinct && !Condition) PushDistinct();
  // A left operand that is a join hands its rows over as they come: only
  // the last join of a chain fills a result table.
  PullsLeft_ = MayPullLeftJoin();
  if (PullsLeft_) {
    auto& left = static_cast<TVLMAOJoin&>(*Left);
    left.Pipelined_ = true;
    left.OrderKeys.clear();
  }
  TVLMAO::Open(isRoot, outerOperand, outerCursor);
}

void TVLMAOJoin::PushDistinct() {
  // Every field the operand carries, so that rows it keeps once differ in
  // nothing this join reads.
  for (TVLMAO* operand : {Left.get(), Right.get()}) {
    if (operand == nullptr || operand->IsLeaf) continue;
    std::vector<int32_t> fieldNos;
    for (int32_t i = 0; i < operand->FieldCount(); ++i)
      if (!operand->Fields[static_cast<size_t>(i)].Hidden) fieldNos.push_back(i);
    operand->SetDistinct(std::move(fieldNos));
  }
}

// ------------------------------------------------------------ comparisons

void TVLMAOJoin::CompareKeys() {
  VLM_INVARIANT("VLMRelAlgebraJoin 4", LeftIsNull == 0 && RightIsNull == 0);
  KeyCompare = 0;
  for (int32_t k = 0; k < LeftJoinFields.Count(); ++k) {
    GetFieldValue(LeftKey_, LeftJoinFields.Items()[k], false, false);
    GetFieldValue(RightKey_, RightJoinFields.Items()[k], false, false);
    KeyCompare = LeftKey_.Compare(RightKey_, true);
    if (KeyCompare != 0) break;
  }
}

bool TVLMAOJoin::InnerBehind() const {
  if (Kind == TVLMJoinKind::Right) return KeyCompare == 1 || KeyCompare == 3;
  return KeyCompare == 2 || KeyCompare == 4;
}

bool TVLMAOJoin::ConditionHolds() {
  if (!JoinCondition) return true;
  const uint8_t leftNull = LeftIsNull;
  const uint8_t rightNull = RightIsNull;
  LeftIsNull = 0;
  RightIsNull = 0;
  bool holds = false;
  try {
    holds = JoinCondition->GetBooleanValue();
  } catch (...) {
    LeftIsNull = leftNull;
    RightIsNull = rightNull;
    throw;
  }
  LeftIsNull = leftNull;
  RightIsNull = rightNull;
  return holds;
}

bool TVLMAOJoin::KeyHasNull(const TVLMIntegerArray& fields) {
  for (int32_t k = 0; k < fields.Count(); ++k) {
    GetFieldValue(LeftKey_, fields.Items()[k], false, false);
    if (LeftKey_.IsNull()) return true;
  }
  return false;
}

void TVLMAOJoin::CopyRunKey(const TVLMIntegerArray& fields) {
  // Values are not copyable: the list is made anew when its size changes.
  if (RunKey_.size() != static_cast<size_t>(fields.Count()))
    RunKey_ = std::vector<TVLMVariant>(static_cast<size_t>(fields.Count()));
  for (int32_t k = 0; k < fields.Count(); ++k) {
    GetFieldValue(LeftKey_, fields.Items()[k], false, false);
    RunKey_[static_cast<size_t>(k)].Assign(LeftKey_, true);
  }
}

bool TVLMAOJoin::KeyEqualsRunKey(const TVLMIntegerArray& fields) {
  if (RunKey_.size() != static_cast<size_t>(fields.Count())) return false;
  for (int32_t k = 0; k < fields.Count(); ++k) {
    GetFieldValue(LeftKey_, fields.Items()[k], false, false);
    if (LeftKey_.Compare(RunKey_[static_cast<size_t>(k)], true) != 0) return false;
  }
  return true;
}

// -------------------------------------------------------------- positions

qv::Bookmark TVLMAOJoin::BookmarkOf(TVLMAO& operand) { return operand.ResultTable()->GetBookmark(); }

void TVLMAOJoin::GoTo(TVLMAO& operand, const qv::Bookmark& bookmark) { operand.ResultTable()->GotoBookmark(bookmark); }

void TVLMAOJoin::MoveToEnd(TVLMAO& operand) {
  operand.ResultTable()->Last();
  operand.ResultTable()->Next();
}

// ------------------------------------------------------------------- walk

void TVLMAOJoin::PipelineFirst() {
  Left->First();
  Right->First();
  LeftIsNull = 0;
  RightIsNull = 0;
  Move_ = TMove::None;
  RunStart.clear();
  RunPosition.clear();
  RunKey_.clear();
  ProbePosition_.reset();
  InRun = 0;
  NullPairPhase = 0;
  MatchCount = 0;
  Step_ = Kind == TVLMJoinKind::Full ? TStep::Compare : TStep::NewOuter;
  switch (Kind) {
    case TVLMJoinKind::Left:
      JoinEof = Left->Eof() ? 1 : 0;
      break;
    case TVLMJoinKind::Right:
      JoinEof = Right->Eof() ? 1 : 0;
      break;
    case TVLMJoinKind::Full:
      JoinEof = Left->Eof() && Right->Eof() ? 1 : 0;
      break;
    default:
      JoinEof = Left->Eof() || Right->Eof() ? 1 : 0;
      break;
  }
  if (JoinEof) return;
  FirstPending = 1;
  PipelineNext();
  FirstPending = 0;
}

void TVLMAOJoin::PipelineNext() {
  LeftIsNull = 0;
  RightIsNull = 0;
  if (JoinEof) return;
  if (Kind == TVLMJoinKind::Full)
    FullNext();
  else
    OuterDrivenNext();
}

bool TVLMAOJoin::PipelineEof() { return JoinEof != 0 || (Left && Right && Left->Eof() && Right->Eof()); }

int64_t TVLMAOJoin::PipelineRecordCount() {
  if (Materialized) return ResultTable()->RecordCount();
  if (IsCross) return Left->RecordCount() * Right->RecordCount();
  return 0;
}

void TVLMAOJoin::PadOuterRow() {
  if (Kind == TVLMJoinKind::Right)
    LeftIsNull = 1;
  else
    RightIsNull = 1;
}

bool TVLMAOJoin::StartOuterRow() {
  TVLMAO& inner = InnerOperand();
  if (!KeyMode || KeysInLoop_) {
    inner.First();
    return true;
  }
  const TVLMIntegerArray& outerFields = Kind == TVLMJoinKind::Right ? RightJoinFields : LeftJoinFields;
  // With one key, LeftKey_ holds the outer row's key from here on.
  if (KeyHasNull(outerFields)) return false;
  if (!RunStart.empty() && KeyEqualsRunKey(outerFields)) {
    GoTo(inner, RunStart);
    return true;
  }
  RunStart.clear();
  if (PullsLeft_) {
    // The outer rows come in no key order: each new key seeks its run. The
    // row a probe finds holds the outer key.
    const std::optional<bool> probed = ProbeInner();
    if (probed ? !*probed : !SeekInner(outerFields)) return false;
    if (probed)
      KeyCompare = 0;
    else
      CompareKeys();
    if (KeyCompare != 0) return false;
    MarkRunStart(outerFields);
    return true;
  }
  // A new key, above every key before it: the inner rows behind the inner
  // operand's position are never needed again.
  if (VLM_DEBUG_CHECKS && RunKey_.size() == static_cast<size_t>(outerFields.Count())) {
    uint8_t order = 0;
    for (int32_t k = 0; k < outerFields.Count() && order == 0; ++k) {
      GetFieldValue(RightKey_, outerFields.Items()[k], false, false);
      order = RightKey_.Compare(RunKey_[static_cast<size_t>(k)], true);
    }
    VLM_INVARIANT("VLMRelAlgebraJoin 3", order == 2);
  }
  bool probed = false;
  if (SeekInner_ && !inner.Eof()) {
    // A seeking join is INNER or LEFT on one key: CompareKeys without
    // reading the outer key again.
    GetFieldValue(RightKey_, RightJoinFields.Items()[0], false, false);
    KeyCompare = LeftKey_.Compare(RightKey_, true);
    if (InnerBehind()) {
      // A key the probe does not find has no partner; the inner rows stay
      // where they are, behind the keys still to come. The row a probe
      // finds holds the outer key.
      const std::optional<bool> found = ProbeInner();
      if (found && !*found) return false;
      if (!found && !SeekInner(outerFields)) MoveToEnd(inner);
      probed = found.has_value();
    }
  }
  if (probed)
    KeyCompare = 0;
  else
    for (; !inner.Eof(); inner.Next()) {
      CompareKeys();
      if (!InnerBehind()) break;
    }
  if (inner.Eof()) {
    if (IsInner) JoinEof = 1;
    return false;
  }
  if (KeyCompare != 0) return false;
  MarkRunStart(outerFields);
  return true;
}

void TVLMAOJoin::MarkRunStart(const TVLMIntegerArray& outerFields) {
  // The one row of a unique inner key is left only for a greater outer key
  // when no condition can send the walk past it (OuterDrivenNext): an
  // outer row of the same key finds the inner operand still on it.
  if (InnerKeyUnique_ && !JoinCondition) return;
  RunStart = BookmarkOf(InnerOperand());
  CopyRunKey(outerFields);
}

void TVLMAOJoin::OuterDrivenNext() {
  TVLMAO& outer = OuterOperand();
  TVLMAO& inner = InnerOperand();
  const TMove move = Move_;
  Move_ = TMove::None;
  if (move == TMove::Inner && InnerKeyUnique_) {
    // The run of a unique key has no second row: the next outer row follows
    // with the inner leaf left on this one, behind every key to come.
    outer.Next();
    Step_ = TStep::NewOuter;
  } else if (move == TMove::Inner) {
    inner.Next();
  }
  if (move == TMove::Outer) {
    outer.Next();
    Step_ = TStep::NewOuter;
  }
  const bool merge = KeyMode && !KeysInLoop_;
  for (;;) {
    // The merge starts an outer row with the inner operand on the first row
    // of its key (StartOuterRow): that row needs no comparison.
    bool onRunStart = false;
    if (Step_ == TStep::NewOuter) {
      if (outer.Eof()) {
        JoinEof = 1;
        return;
      }
      MatchCount = 0;
      if (!StartOuterRow()) {
        if (JoinEof) return;
        if (IsOuter) {
          PadOuterRow();
          Move_ = TMove::Outer;
          return;
        }
        outer.Next();
        continue;
      }
      Step_ = TStep::Scan;
      onRunStart = merge;
    }
    bool ended = inner.Eof();
    bool candidate = !ended;
    if (!ended && KeyMode) {
      if (onRunStart && VLM_DEBUG_CHECKS) {
        CompareKeys();
        VLM_INVARIANT("VLMRelAlgebraJoin 6", KeyCompare == 0);
      }
      if (onRunStart)
        KeyCompare = 0;
      else
        CompareKeys();
      if (merge)
        ended = KeyCompare != 0;
      else
        candidate = KeyCompare == 0;
    }
    if (ended) {
      Step_ = TStep::NewOuter;
      if (MatchCount == 0 && IsOuter) {
        PadOuterRow();
        Move_ = TMove::Outer;
        return;
      }
      outer.Next();
      continue;
    }
    if (candidate && ConditionHolds()) {
      ++MatchCount;
      Move_ = TMove::Inner;
      return;
    }
    inner.Next();
  }
}

// ------------------------------------------------------------------- FULL

void TVLMAOJoin::EnterRun() {
  InRun = 1;
  RunStart = BookmarkOf(*Right);
  RunIndex_ = 0;
  RunLength_ = 0;
  MatchCount = 0;
  LastUnmatched_ = -1;
  FirstLeftOfRun_ = true;
  RunMatched_.clear();
  if (KeyMode && !KeysInLoop_) CopyRunKey(LeftJoinFields);
  Step_ = TStep::Run;
}

void TVLMAOJoin::NextLeftInRun() {
  // The right operand stands on the first row after the run, or at its end.
  Left->Next();
  const bool sameKey = !Left->Eof() && (!KeyMode || KeysInLoop_ || KeyEqualsRunKey(LeftJoinFields));
  if (sameKey) {
    GoTo(*Right, RunStart);
    RunIndex_ = 0;
    MatchCount = 0;
    Step_ = TStep::Run;
    return;
  }
  LastUnmatched_ = -1;
  for (int64_t i = 0; i < RunLength_; ++i)
    if (!RunMatched_[static_cast<size_t>(i)]) LastUnmatched_ = i;
  if (LastUnmatched_ < 0) {
    InRun = 0;
    Step_ = TStep::Compare;
    return;
  }
  RunEndsAtEof_ = Right->Eof();
  if (!RunEndsAtEof_) RunPosition = BookmarkOf(*Right);
  GoTo(*Right, RunStart);
  RunIndex_ = 0;
  Step_ = TStep::Tail;
}

void TVLMAOJoin::FullNext() {
  const TMove move = Move_;
  Move_ = TMove::None;
  switch (move) {
    case TMove::LeftNext:
      Left->Next();
      break;
    case TMove::RightNext:
      Right->Next();
      break;
    case TMove::Both:
      Left->Next();
      Right->Next();
      break;
    case TMove::RunRight:
    case TMove::TailRight:
      Right->Next();
      ++RunIndex_;
      break;
    case TMove::RunNextLeft:
      NextLeftInRun();
      break;
    default:
      break;
  }
  for (;;) {
    switch (Step_) {
      case TStep::NullPair:
        NullPairPhase = 0;
        LeftIsNull = 1;
        Move_ = TMove::Both;
        Step_ = TStep::Compare;
        return;
      case TStep::Run: {
        bool ended = Right->Eof();
        bool candidate = !ended;
        if (!ended && KeyMode) {
          CompareKeys();
          if (KeysInLoop_)
            candidate = KeyCompare == 0;
          else
            ended = KeyCompare != 0;
        }
        if (ended) {
          if (FirstLeftOfRun_) {
            RunLength_ = RunIndex_;
            FirstLeftOfRun_ = false;
          }
          if (MatchCount == 0) {
            RightIsNull = 1;
            Move_ = TMove::RunNextLeft;
            return;
          }
          NextLeftInRun();
          continue;
        }
        if (RunMatched_.size() <= static_cast<size_t>(RunIndex_)) RunMatched_.push_back(0);
        if (candidate && ConditionHolds()) {
          ++MatchCount;
          RunMatched_[static_cast<size_t>(RunIndex_)] = 1;
          Move_ = TMove::RunRight;
          return;
        }
        Right->Next();
        ++RunIndex_;
        continue;
      }
      case TStep::Tail:
        if (RunIndex_ > LastUnmatched_) {
          // The rest of the run matched: the merge goes on after it.
          if (RunEndsAtEof_)
            MoveToEnd(*Right);
          else
            GoTo(*Right, RunPosition);
          InRun = 0;
          Step_ = TStep::Compare;
          continue;
        }
        if (!RunMatched_[static_cast<size_t>(RunIndex_)]) {
          LeftIsNull = 1;
          Move_ = TMove::TailRight;
          return;
        }
        Right->Next();
        ++RunIndex_;
        continue;
      default:
        break;
    }
    // Compare
    const bool leftEnd = Left->Eof();
    const bool rightEnd = Right->Eof();
    if (leftEnd && rightEnd) {
      JoinEof = 1;
      return;
    }
    if (rightEnd) {
      RightIsNull = 1;
      Move_ = TMove::LeftNext;
      return;
    }
    if (leftEnd) {
      LeftIsNull = 1;
      Move_ = TMove::RightNext;
      return;
    }
    if (!KeyMode || KeysInLoop_) {
      EnterRun();
      continue;
    }
    CompareKeys();
    switch (KeyCompare) {
      case 5:
        NullPairPhase = 1;
        RightIsNull = 1;
        Step_ = TStep::NullPair;
        return;
      case 1:
      case 3:
        RightIsNull = 1;
        Move_ = TMove::LeftNext;
        return;
      case 2:
      case 4:
        LeftIsNull = 1;
        Move_ = TMove::RightNext;
        return;
      default:
        EnterRun();
        continue;
    }
  }
}
