// Query expressions: the statement object of every query the processor runs
// (TVLMSQLUnion), derived tables in FROM, and the SQL engine's side of the
// expression core's subquery node (TVLMSQLSubquery and its rows, made by
// the factory VLMCreateSubquery).
//
// Grammar of a query expression:
//
//   query expression := term { (UNION | EXCEPT | MINUS) [ALL]
//                              [CORRESPONDING [BY "(" names ")"]] term }
//   term             := primary { INTERSECT [ALL]
//                              [CORRESPONDING [BY "(" names ")"]] primary }
//   primary          := "(" query expression [")"] | SELECT block
//
// Both levels associate to the left and INTERSECT binds tighter, so A UNION
// B INTERSECT C is A UNION (B INTERSECT C). The expression is a tree of
// TVLMQueryExprNode: a leaf holds one SELECT, an operator node two operands.
// The ORDER BY written after the last SELECT (which took it while it was
// parsed) sorts the whole expression; INTO is refused in a set operation
// (20272) and a single SELECT lends the union its INTO target.
//
// Subqueries. The node parses its SELECT once, through the factory, which
// reads the query expression from the statement's lexer and stops before
// the ')' that closes it. The tree is built once without running it when
// the subquery is first asked about (the statement holding it is parsed by
// then, so the names its tables expose are known): that tells the result's
// type, and whether the subquery is correlated (a condition it could not
// place names an outer row). A nested query sees the names of the statement
// holding it (EnclosingScope); a derived table those around its SELECT.
// Then:
//   - not correlated: the tree built there is filled the first time the node
//     asks (once per statement run, since every run parses the statement
//     anew), and its first column's values are kept sorted in memory (an
//     index over the column for a large result) for IN and ALL / ANY; every
//     later question reads the same rows;
//   - correlated: a question parses the SELECT again from its first token
//     (the tree consumes its conditions while it is built), builds it with
//     the outer row visible and fills it, and the rows go with the reader;
//     but a tree that is only its table leaf (read through the leaf's filter,
//     nothing filled) is kept, and the next outer row binds the filter again
//     and reads the same open table. Kept trees go when the statement
//     processor's run ends (VLMReleaseKeptSubqueries), so that no table
//     stays open between runs.
// A condition holding a correlated subquery is placed on the outer operator
// whose fields the subquery's outer references find (ResolvesOuterReferences).
//
// Nesting: a query expression, a query in parentheses and each operand of a
// set operation take a level of the thread's depth count of nested SQL
// (VLMNesting.h), which the expressions inside them share; building a node
// checks the stack left. A chain of set operations makes a tree as deep as
// the chain is long: the tree's nodes are freed and searched without
// recursion.
//
// Error codes: the design's 30193, 30194 (grammar), 20272 (INTO in a set
// operation), 30144 (a correlated subquery's condition that finds no outer
// row), 10305 (a name in it that neither its tables nor the outer row have:
// the subquery hands such names out, AppendOuterNames, and the statement
// around it refuses them); the project's 20760 (a subquery outside an SQL
// statement), 20761 (INTO in a subquery or derived table), 20842 (a query
// nested deeper than the depth count allows), 20843 (a node built with the
// stack low).
#include "engine/sql/VLMSQLQueryExpr.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMNesting.h"
#include "engine/core/VLMSettings.h"
#include "engine/core/VLMTableData.h"
#include "engine/sql/VLMRelAlgebraSet.h"
#include "engine/sql/VLMSQLCommand.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace {

std::atomic<int64_t> gSubqueryRuns{0};

// Opens root as the statement does, under the statement lock.
void OpenUnderLocks(TVLMAO& root, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  TVLMStatementLock lock(root);
  root.Open(false, outerOperand, outerCursor);
  lock.Release();
}

// The first visible result column of root.
const TVLMAOField* FirstColumn(TVLMAO& root) {
  if (root.FieldMap.Count() > 0) return &root.Fields[static_cast<size_t>(root.FieldMap.Items()[0])];
  for (const TVLMAOField& f : root.Fields)
    if (!f.Hidden) return &f;
  return nullptr;
}

// The operands of node, pushed for a walk without recursion.
template <class Node>
void PushOperands(Node& node, std::vector<Node*>& pending) {
  if (node.Left) pending.push_back(node.Left.get());
  if (node.Right) pending.push_back(node.Right.get());
}

}  // namespace

// ------------------------------------------------------------ the node tree

TVLMQueryExprNode::~TVLMQueryExprNode() {
  std::vector<std::unique_ptr<TVLMQueryExprNode>> pending;
  auto detach = [&](TVLMQueryExprNode& node) {
    if (node.Left) pending.push_back(std::move(node.Left));
    if (node.Right) pending.push_back(std::move(node.Right));
  };
  detach(*this);
  while (!pending.empty()) {
    std::unique_ptr<TVLMQueryExprNode> node = std::move(pending.back());
    pending.pop_back();
    detach(*node);
  }
}

bool TVLMQueryExprNode::HasInto() const {
  std::vector<const TVLMQueryExprNode*> pending{this};
  while (!pending.empty()) {
    const TVLMQueryExprNode& node = *pending.back();
    pending.pop_back();
    if (node.Operation == 0 && node.Select && !node.Select->IntoTableName.empty()) return true;
    PushOperands(node, pending);
  }
  return false;
}

std::unique_ptr<TVLMQueryExprNode> TVLMQueryExprNode::CopyNode() {
  auto copy = std::make_unique<TVLMQueryExprNode>();
  copy->Operation = Operation;
  copy->Left = std::move(Left);
  copy->Right = std::move(Right);
  copy->All = All;
  copy->Corresponding = Corresponding;
  copy->CorrespondingFields = std::move(CorrespondingFields);
  copy->Select = std::move(Select);
  return copy;
}

void TVLMQueryExprNode::MakeBinary(uint8_t operation, std::unique_ptr<TVLMQueryExprNode> right,
                                   std::unique_ptr<qv::StringList> correspondingFields, bool corresponding,
                                   bool all) {
  std::unique_ptr<TVLMQueryExprNode> left = CopyNode();
  Operation = operation;
  Left = std::move(left);
  Right = std::move(right);
  All = all ? 1 : 0;
  Corresponding = corresponding ? 1 : 0;
  CorrespondingFields = std::move(correspondingFields);
  Select.reset();
}

// ------------------------------------------------------------------ grammar

TVLMSQLUnion::~TVLMSQLUnion() = default;

void TVLMSQLUnion::Parse() {
  GetCurrentToken();
  TVLMNestingLevels level;
  EnterNestingLevel(level);
  ExprRoot = ParseQueryExpression();
  if (IsKeyword(kwORDER)) ParseOrderBy();
  if (ExprRoot->Operation != 0 && OrderBy.empty()) {
    // The last SELECT block took the ORDER BY written after it,
    // which sorts the whole expression.
    TVLMQueryExprNode* last = ExprRoot->Right.get();
    while (last->Operation != 0) last = last->Right.get();
    OrderBy = std::move(last->Select->OrderBy);
    last->Select->OrderBy.clear();
  }
  if (ExprRoot->Operation != 0 && ExprRoot->HasInto())
    throw EVLMException(20272,
                        "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table FROM (select ... union "
                        "select ...) instead");
  if (ExprRoot->Operation == 0) {
    const TVLMSQLSelect& select = *ExprRoot->Select;
    IntoTableName = select.IntoTableName;
    IntoDatabaseName = select.IntoDatabaseName;
    InMemory = select.InMemory;
    IntoImmediate = select.IntoImmediate;
  }
}

std::unique_ptr<TVLMQueryExprNode> TVLMSQLUnion::ParseQueryExpression() {
  // Each operation puts the tree so far one level deeper.
  TVLMNestingLevels chain;
  std::unique_ptr<TVLMQueryExprNode> node = ParseTerm();
  for (;;) {
    uint8_t operation = 0;
    if (IsKeyword(kwUNION))
      operation = 1;
    else if (IsKeyword(kwEXCEPT) || IsKeyword(kwMINUS))
      operation = 2;
    else
      return node;
    EnterNestingLevel(chain);
    ParseSetOperation(*node, operation, false);
  }
}

std::unique_ptr<TVLMQueryExprNode> TVLMSQLUnion::ParseTerm() {
  TVLMNestingLevels chain;
  std::unique_ptr<TVLMQueryExprNode> node = ParsePrimary();
  while (IsKeyword(kwINTERSECT)) {
    EnterNestingLevel(chain);
    ParseSetOperation(*node, 3, true);
  }
  return node;
}

void TVLMSQLUnion::ParseSetOperation(TVLMQueryExprNode& left, uint8_t operation, bool primary) {
  GetNextToken();
  bool all = false;
  bool corresponding = false;
  std::unique_ptr<qv::StringList> fields;
  if (IsKeyword(kwALL)) {
    all = true;
    GetNextToken();
  }
  if (IsKeyword(kwCORRESPONDING)) {
    corresponding = true;
    GetNextToken();
    if (IsKeyword(kwBY)) {
      GetNextToken();
      if (Token.Kind != tktLeftParenthesis) RaiseTokenExpected(30193, "(");
      GetNextToken();
      fields = std::make_unique<qv::StringList>();
      ParseFieldNameList(*fields);
      if (Token.Kind == tktRightParenthesis) GetNextToken();
    }
  }
  std::unique_ptr<TVLMQueryExprNode> right = primary ? ParsePrimary() : ParseTerm();
  left.MakeBinary(operation, std::move(right), std::move(fields), corresponding, all);
}

std::unique_ptr<TVLMQueryExprNode> TVLMSQLUnion::ParsePrimary() {
  if (Token.Kind == tktLeftParenthesis) {
    TVLMNestingLevels level;
    EnterNestingLevel(level);
    GetNextToken();
    std::unique_ptr<TVLMQueryExprNode> node = ParseQueryExpression();
    if (Token.Kind == tktRightParenthesis) GetNextToken();
    return node;
  }
  if (!IsKeyword(kwSELECT)) RaiseTokenExpected(30194, "SELECT");
  auto node = std::make_unique<TVLMQueryExprNode>();
  node->Select = VLMMakeCommand<TVLMSQLSelect>(Lexer, Owner, EnclosingScope);
  GetCurrentToken();
  return node;
}

// ------------------------------------------------------------ operator tree

bool TVLMSQLUnion::IsSelfContained() { return NodeIsSelfContained(*ExprRoot); }

bool TVLMSQLUnion::NodeIsSelfContained(TVLMQueryExprNode& root) {
  std::vector<TVLMQueryExprNode*> pending{&root};
  while (!pending.empty()) {
    TVLMQueryExprNode& node = *pending.back();
    pending.pop_back();
    if (node.Operation == 0 && !node.Select->IsSelfContained()) return false;
    PushOperands(node, pending);
  }
  return true;
}

std::unique_ptr<TVLMAO> TVLMSQLUnion::BuildOperatorTree(TVLMDataSet* owner, bool live, TVLMQueryOperator* outerOperand,
                                                        TVLMCursor* outerCursor, bool allowOuterReferences) {
  std::unique_ptr<TVLMAO> root = BuildNode(*ExprRoot, owner, live, outerOperand, outerCursor, allowOuterReferences);
  ResolveOrderBy(*root);
  OuterNames.clear();
  std::vector<TVLMQueryExprNode*> pending{ExprRoot.get()};
  while (!pending.empty()) {
    TVLMQueryExprNode& node = *pending.back();
    pending.pop_back();
    if (node.Operation == 0)
      OuterNames.insert(OuterNames.end(), node.Select->OuterNames.begin(), node.Select->OuterNames.end());
    PushOperands(node, pending);
  }
  return root;
}

std::unique_ptr<TVLMAO> TVLMSQLUnion::BuildNode(TVLMQueryExprNode& node, TVLMDataSet* owner, bool live,
                                                TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                                bool allowOuterReferences) {
  if (VLMStackIsLow()) throw EVLMException(20843, "Query nested too deeply to be built");
  if (node.Operation == 0) {
    return node.Select->BuildOperatorTree(owner, live, outerOperand, outerCursor, allowOuterReferences);
  }
  std::unique_ptr<TVLMAO> left = BuildNode(*node.Left, owner, true, outerOperand, outerCursor, allowOuterReferences);
  std::unique_ptr<TVLMAO> right =
      BuildNode(*node.Right, owner, true, outerOperand, outerCursor, allowOuterReferences);
  TVLMFields by;
  if (node.CorrespondingFields) {
    for (const std::string& name : *node.CorrespondingFields) {
      TVLMFieldRef item;
      item.FieldName = name;
      by.Add(std::move(item));
    }
  }
  const uint8_t type = node.Operation == 1   ? TVLMAOUnion::kUnion
                       : node.Operation == 3 ? TVLMAOUnion::kIntersect
                                             : TVLMAOUnion::kExcept;
  return std::make_unique<TVLMAOUnion>(std::move(left), std::move(right), type, node.All == 0,
                                       node.Corresponding != 0, node.CorrespondingFields ? &by : nullptr,
                                       outerOperand, outerCursor);
}

// ----------------------------------------------------------- derived tables

namespace {

// scope: the statement whose names the query sees besides its own.
std::unique_ptr<TVLMSQLUnion> ParseNestedQuery(TVLMLexer* lexer, TVLMDataSet* owner, TVLMSQLCommand* scope) {
  auto query = VLMMakeCommand<TVLMSQLUnion>(lexer, owner, scope);
  if (!query->IntoTableName.empty())
    throw EVLMException(20761, "INTO is not allowed in a subquery or a derived table: %s", {query->IntoTableName});
  return query;
}

}  // namespace

void TVLMSQLSelect::ParseDerivedTable(TVLMTableReference& reference) {
  reference.Kind = TVLMTableReference::TKind::Derived;
  // A derived table does not see the FROM it stands in, only what this
  // SELECT sees around it.
  reference.Subquery = ParseNestedQuery(Lexer, Owner, EnclosingScope);
  GetCurrentToken();
}

std::unique_ptr<TVLMAO> TVLMSQLSelect::BuildDerivedTable(TVLMTableReference& reference, TVLMDataSet* owner,
                                                         TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                                         bool allowOuterReferences) {
  std::unique_ptr<TVLMAO> root =
      reference.Subquery->BuildOperatorTree(owner, true, outerOperand, outerCursor, allowOuterReferences);
  if (!reference.Subquery->IsSelfContained()) {
    HasCorrelatedSubquery = 1;
    // It does not see this FROM: what it takes from outer rows, this
    // SELECT takes too.
    OuterNames.insert(OuterNames.end(), reference.Subquery->OuterNames.begin(), reference.Subquery->OuterNames.end());
  }
  return std::make_unique<TVLMAODerivedTable>(std::move(root), reference.Alias);
}

// --------------------------------------------------------------- subqueries

namespace {

// The first column's values of a result, without nulls, sorted: IN and the
// quantified comparisons answer from them by a binary search (values of
// another base type are compared row by row, since their order may differ).
// They are made at the first answer that needs them: IN's values looked up
// in an index need none.
struct TSortedValues {
  TVLMBaseDataType Type = 0;
  std::vector<std::unique_ptr<TVLMVariant>> Items;
  // The result whose values are still to be sorted.
  TVLMTable* Pending = nullptr;
  bool Sorted = false;

  // The sorted values; nullptr when there are none to answer from.
  const TSortedValues* Take() {
    if (Pending != nullptr) {
      TVLMTable& table = *Pending;
      Pending = nullptr;
      for (table.First(); !table.Eof(); table.Next()) {
        auto value = std::make_unique<TVLMVariant>();
        table.GetFieldVariant(*value, 0, false);
        if (value->IsNull()) continue;
        Type = value->DataType;
        // The row's bytes go with the next row: the value keeps a copy.
        auto copy = std::make_unique<TVLMVariant>();
        copy->Assign(*value, true);
        Items.push_back(std::move(copy));
      }
      std::sort(Items.begin(), Items.end(),
                [](const auto& a, const auto& b) { return a->Compare(*b) == kVLMCompareLess; });
      Sorted = true;
    }
    return Sorted ? this : nullptr;
  }

  bool Usable(const TVLMVariant& value) const { return value.DataType == Type; }
  bool Contains(const TVLMVariant& value) const {
    auto at = std::lower_bound(Items.begin(), Items.end(), value, [](const auto& item, const TVLMVariant& v) {
      return item->Compare(v) == kVLMCompareLess;
    });
    return at != Items.end() && (*at)->Compare(value) == kVLMCompareEqual;
  }
  // Some value r with "r op value".
  bool Satisfies(uint8_t op, const TVLMVariant& value) const {
    if (Items.empty()) return false;
    const uint8_t low = Items.front()->Compare(value);
    const uint8_t high = Items.back()->Compare(value);
    switch (op) {
      case kVLMOpEqual: return Contains(value);
      case kVLMOpNotEqual: return low != kVLMCompareEqual || high != kVLMCompareEqual;
      case kVLMOpGreater: return high == kVLMCompareGreater;
      case kVLMOpGreaterEqual: return high != kVLMCompareLess;
      case kVLMOpLess: return low == kVLMCompareLess;
      default: return low != kVLMCompareGreater;
    }
  }
};

// The rows of one run of a subquery: the result table of its root, read
// forward through the dataset. A correlated run owns its query (and so its
// tree); the rows of one that is not, and their sorted values, belong to
// the subquery.
class TVLMSQLSubqueryRows : public TVLMSubqueryResult {
public:
  TVLMSQLSubqueryRows(TVLMTable& table, std::unique_ptr<TVLMSQLUnion> query, bool indexed,
                      TSortedValues* values)
      : Table_(table), Query_(std::move(query)), Indexed_(indexed), Values_(values) {}

  int32_t GetFieldCount() override { return Table_.FieldCount(); }
  int64_t GetRecordCount() override { return Table_.RecordCount(); }
  void First() override { Table_.First(); }
  void Next() override { Table_.Next(); }
  bool Eof() override { return Table_.Eof(); }

  void GetFirstFieldValue(TVLMVariant& value) override {
    value.SetNull();
    if (Table_.Bof() && Table_.Eof()) return;
    Table_.GetFieldVariant(value, 0, false);
  }

  void GetFieldValue(int32_t fieldNo, TVLMVariant& value) override {
    value.SetNull();
    if (Table_.Bof() && Table_.Eof()) return;
    Table_.GetFieldVariant(value, fieldNo, false);
  }

  // A null value is in no result (the comparison of IN is unknown then).
  bool Locate(const TVLMVariant& value) override {
    if (value.IsNull()) return false;
    const TSortedValues* values = Values_ != nullptr ? Values_->Take() : nullptr;
    if (values != nullptr && values->Usable(value)) return values->Contains(value);
    if (Indexed_) {
      TVLMLocalCursor* cursor = Table_.Handle();
      return cursor->LocateByCondition(cursor->CursorFieldDefs->GetFieldDef(0)->Name, kVLMOpEqual, value);
    }
    return FindRow(kVLMOpEqual, value);
  }

  // Nulls satisfy no comparison.
  bool FindRow(uint8_t op, const TVLMVariant& value) override {
    if (value.IsNull()) return false;
    const TSortedValues* values = Values_ != nullptr ? Values_->Take() : nullptr;
    if (values != nullptr && values->Usable(value)) return values->Satisfies(op, value);
    TVLMVariant row;
    for (Table_.First(); !Table_.Eof(); Table_.Next()) {
      GetFirstFieldValue(row);
      if (row.IsNull()) continue;
      const uint8_t c = row.Compare(value);
      const bool holds = op == kVLMOpEqual          ? c == kVLMCompareEqual
                         : op == kVLMOpNotEqual     ? c != kVLMCompareEqual
                         : op == kVLMOpGreater      ? c == kVLMCompareGreater
                         : op == kVLMOpLess         ? c == kVLMCompareLess
                         : op == kVLMOpGreaterEqual ? c != kVLMCompareLess
                                                    : c != kVLMCompareGreater;
      if (holds) return true;
    }
    return false;
  }

private:
  TVLMTable& Table_;
  std::unique_ptr<TVLMSQLUnion> Query_;
  bool Indexed_;
  TSortedValues* Values_;
};

// EXISTS over a kept table leaf by a seek of one key per outer row. The
// leaf's filter holds a conjunct "field = value": field an integer column of
// the leaf's table that leads an index of it, value a constant or an outer
// reference. Per outer row the value becomes the key, the table's keyed probe
// reads the records under it, and the whole filter (bound to the probe's
// record) is tested on each until one holds: no search is planned, the
// cursor does not move and no row is copied. Anything the seek cannot take
// as it is (a null or non-integer value, one outside the column's range, the
// read lock refused) leaves the answer to the general run.
class TVLMKeyedExists {
public:
  // nullptr when the leaf's filter has no such conjunct or the leaf reads
  // through more than its filter.
  static std::unique_ptr<TVLMKeyedExists> Plan(TVLMAO& root, TVLMCursor* outerCursor) {
    auto* leaf = dynamic_cast<TVLMAOTable*>(&root);
    if (leaf == nullptr || !leaf->Condition || !leaf->ResultTable()) return nullptr;
    TVLMLocalCursor* cursor = leaf->ResultTable()->Handle();
    auto* table = cursor != nullptr ? dynamic_cast<TVLMTableData*>(cursor->TableData) : nullptr;
    if (table == nullptr || cursor->FilterExpression != leaf->Condition.get() || cursor->FilterTextExpression ||
        cursor->FilterCallback || cursor->IsRangeSet() || cursor->HasIndexFields() || !cursor->FieldDefs)
      return nullptr;
    auto probe = std::unique_ptr<TVLMKeyedExists>(new TVLMKeyedExists());
    probe->Table_ = table;
    probe->Cursor_ = cursor;
    probe->Filter_ = leaf->Condition.get();
    if (!probe->Collect(probe->Filter_->GetRoot(), outerCursor) || probe->Field_ == nullptr) return nullptr;
    probe->IndexID_ = table->FindLeadingIndex(cursor, cursor->FieldDefs->GetFieldDef(probe->Field_->FieldNo)->Name);
    if (probe->IndexID_ < 0 || !VLMIntegerBaseTypeRange(probe->Field_->BaseType, probe->Low_, probe->High_))
      return nullptr;
    const size_t size = static_cast<size_t>(std::max<int32_t>(
        {cursor->RecordBufferSize, table->RecordManager ? table->RecordManager->RecordBufferSize : 0, 1}));
    probe->Key_.assign(size, 0);
    probe->Record_.assign(size, 0);
    return probe;
  }

  // Whether a record of the leaf's table passes its filter for the outer
  // row in outerRecordBuffer (the outer cursor's record); nothing when the
  // seek cannot answer.
  std::optional<bool> HasRows(uint8_t* outerRecordBuffer) {
    for (TVLMExprNodeField* field : OuterFields_) field->RecordBuffer = outerRecordBuffer;
    const TVLMVariant& value = Value_->GetValue();
    if (value.IsNull()) return NullStrict_ ? std::optional<bool>(false) : std::nullopt;
    if (value.DataType < bdtShortInt || value.DataType > bdtCardinal) return std::nullopt;
    const int64_t key = value.GetAsLargeInt();
    if (key < Low_ || key > High_) return std::nullopt;
    try {
      Cursor_->SetFieldValue(value, Field_->FieldNo, true, Key_.data());
    } catch (const EVLMException&) {
      return std::nullopt;
    }
    // The filter's own fields read the probe's record while it runs (as
    // the expression's SetRecordBuffer would set them, without preparing
    // the tree again).
    Saved_.resize(InnerFields_.size());
    for (size_t i = 0; i < InnerFields_.size(); ++i) {
      Saved_[i] = InnerFields_[i]->RecordBuffer;
      InnerFields_[i]->RecordBuffer = Record_.data();
    }
    auto rebind = qv::ScopeExit([&] {
      for (size_t i = 0; i < InnerFields_.size(); ++i) InnerFields_[i]->RecordBuffer = Saved_[i];
    });
    bool found = false;
    const bool read = Table_->RunRead(Cursor_, [&] {
      found = Table_->ProbeKey(Cursor_, IndexID_, Key_.data(), 1, Record_.data(),
                               [&](const TVLMRecordID&) { return Filter_->GetBooleanValue(); });
    });
    if (!read) return std::nullopt;
    return found;
  }

private:
  TVLMKeyedExists() = default;

  // Walks the filter: its own fields, the outer references read from the
  // outer cursor's record, and the first usable equality among the
  // conjuncts. False for a filter holding a subquery (it keeps outer
  // buffers of its own).
  bool Collect(TVLMExprNode* node, TVLMCursor* outerCursor, bool conjunct = true) {
    if (node == nullptr) return true;
    if (dynamic_cast<TVLMExprNodeSubqueryBase*>(node) != nullptr) return false;
    if (auto* field = dynamic_cast<TVLMExprNodeField*>(node)) {
      if (!field->OuterReference) {
        InnerFields_.push_back(field);
        return field->Cursor == Cursor_;
      }
      if (field->Cursor != nullptr) {
        if (field->Cursor != outerCursor) return false;
        OuterFields_.push_back(field);
      }
      return true;
    }
    const bool andNode = dynamic_cast<TVLMExprNodeBoolean*>(node) != nullptr && node->Operator == kVLMOpAnd;
    auto* comparison = dynamic_cast<TVLMExprNodeComparison*>(node);
    if (conjunct && Field_ == nullptr && comparison != nullptr && comparison->Operator == kVLMOpEqual &&
        comparison->Quantifier == kVLMQuantifierNone && !comparison->PrefixOnly && comparison->ChildCount() == 2) {
      TVLMExprNode* left = comparison->Child(0);
      TVLMExprNode* right = comparison->Child(1);
      for (int side = 0; side < 2 && Field_ == nullptr; ++side) {
        auto* field = dynamic_cast<TVLMExprNodeField*>(side == 0 ? left : right);
        TVLMExprNode* value = side == 0 ? right : left;
        if (field == nullptr || field->OuterReference || field->Cursor != Cursor_ || field->FieldNo < 0 ||
            field->FieldNo >= Cursor_->FieldDefs->GetCount() || !TVLMExprNode::IsSearchValue(value))
          continue;
        Field_ = field;
        Value_ = value;
        NullStrict_ = comparison->NullStrict;
      }
    }
    for (int32_t i = 0; i < node->ChildCount(); ++i)
      if (!Collect(node->Child(i), outerCursor, conjunct && andNode)) return false;
    return true;
  }

  TVLMTableData* Table_ = nullptr;
  TVLMCursor* Cursor_ = nullptr;
  TVLMExpression* Filter_ = nullptr;
  TVLMExprNodeField* Field_ = nullptr;
  TVLMExprNode* Value_ = nullptr;
  bool NullStrict_ = true;
  int32_t IndexID_ = -1;
  int64_t Low_ = 0;
  int64_t High_ = 0;
  std::vector<TVLMExprNodeField*> OuterFields_;
  std::vector<TVLMExprNodeField*> InnerFields_;
  std::vector<uint8_t*> Saved_;
  std::vector<uint8_t> Key_;
  std::vector<uint8_t> Record_;
};

// A result of up to this many rows keeps its first column's values sorted
// in memory; a larger one gets an index over its first column instead.
constexpr int64_t kSortedValueRows = int64_t{1} << 17;

class TVLMSQLSubquery : public TVLMSubquery {
public:
  // Parses the query expression from the lexer's current token (SELECT)
  // for the statement's owner; scope is the statement that holds it. The
  // tree is built once without running it when it is first asked about:
  // by then the statement is parsed, so the names of its tables are known.
  TVLMSQLSubquery(TVLMLexer& lexer, TVLMDataSet* owner, TVLMSQLCommand* scope)
      : Lexer_(lexer), Owner_(owner), Scope_(scope), Command_(lexer.CurrentCommand), Start_(lexer.GetTokenIndex()) {
    Query_ = ParseNestedQuery(&Lexer_, Owner_, Scope_);
  }

  bool IsCorrelated() override {
    Build();
    return Correlated_;
  }
  TVLMDataType GetFieldDataType() override {
    Build();
    return DataType_;
  }
  int32_t GetFieldDataSize() override {
    Build();
    return DataSize_;
  }

  std::unique_ptr<TVLMSubqueryResult> Open(TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                           uint8_t* outerRecordBuffer) override {
    Build();
    if (!Correlated_) {
      if (!Filled_) {
        // A run that failed left no tree: it is built again.
        if (!Query_) {
          Query_ = Reparse();
          Query_->Root = Query_->BuildOperatorTree(Owner_, false, nullptr, nullptr, true);
        }
        try {
          OpenUnderLocks(*Query_->Root, nullptr, nullptr);
        } catch (...) {
          Query_.reset();
          throw;
        }
        gSubqueryRuns.fetch_add(1, std::memory_order_relaxed);
        TVLMTable& table = *Query_->Root->ResultTable();
        if (table.FieldCount() > 0 && VLMIsCastableDataType(DataType_)) {
          if (table.RecordCount() <= kSortedValueRows) {
            Values_.Pending = &table;
          } else {
            qv::StringList fields, directions, cases;
            fields.Add(table.Handle()->CursorFieldDefs->GetFieldDef(0)->Name);
            directions.Add("ASC");
            cases.Add("CASE");
            table.GetIndexForFields(fields, directions, cases);
            Indexed_ = true;
          }
        }
        Filled_ = true;
      }
      return std::make_unique<TVLMSQLSubqueryRows>(*Query_->Root->ResultTable(), nullptr, Indexed_, &Values_);
    }
    // The outer references bind to the outer cursor's record buffer while
    // the tree is built (a set operation opens its operands then) and
    // opened: it is to be the record the outer row is in.
    uint8_t* saved = outerCursor != nullptr ? outerCursor->RecordBuffer : nullptr;
    if (outerCursor != nullptr && outerRecordBuffer != nullptr) outerCursor->RecordBuffer = outerRecordBuffer;
    auto restore = qv::ScopeExit([&] {
      if (outerCursor != nullptr) outerCursor->RecordBuffer = saved;
    });
    // A tree that is its table leaf alone reads the base table through its
    // filter: it is kept for the next outer row, whose values the filter
    // takes when it is bound again (the leaf's Open). The outer row's
    // operator and cursor must be the same.
    if (Kept_ && KeptOperand_ == outerOperand && KeptCursor_ == outerCursor) {
      try {
        OpenUnderLocks(*Kept_->Root, outerOperand, outerCursor);
      } catch (...) {
        ReleaseKept();
        throw;
      }
      // The open bound the filter again: the seek is planned anew.
      Keyed_.reset();
      KeyedPlanned_ = false;
      gSubqueryRuns.fetch_add(1, std::memory_order_relaxed);
      return std::make_unique<TVLMSQLSubqueryRows>(*Kept_->Root->ResultTable(), nullptr, false, nullptr);
    }
    ReleaseKept();
    std::unique_ptr<TVLMSQLUnion> query = Reparse();
    query->Root = query->BuildOperatorTree(Owner_, true, outerOperand, outerCursor, true);
    if (!query->IsSelfContained()) {
      // Around a statement of its own the outer row is all there is: a name
      // neither it nor the SELECT's tables have is misspelt.
      if (Scope_->EnclosingScope == nullptr) {
        for (const TVLMQualifiedFieldName& name : query->OuterNames) {
          std::vector<TVLMQualifiedFieldName> unknown;
          TVLMExprNodeField probe(nullptr, name.TableName, name.FieldName);
          VLMAppendUnknownNames(&probe, {outerOperand}, outerCursor, unknown);
          if (!unknown.empty() && !Scope_->NamesItem(name))
            throw EVLMException(10305, "Cannot find field %s", {name.FieldName});
        }
      }
      throw EVLMException(30144, "Search condition is not applicable");
    }
    OpenUnderLocks(*query->Root, outerOperand, outerCursor);
    gSubqueryRuns.fetch_add(1, std::memory_order_relaxed);
    TVLMTable& table = *query->Root->ResultTable();
    if (query->Root->IsLeaf && !query->Root->Distinct) {
      Kept_ = std::move(query);
      KeptOperand_ = outerOperand;
      KeptCursor_ = outerCursor;
      KeptSubqueries().push_back(this);
      return std::make_unique<TVLMSQLSubqueryRows>(table, nullptr, false, nullptr);
    }
    return std::make_unique<TVLMSQLSubqueryRows>(table, std::move(query), false, nullptr);
  }

  bool HasRows(TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor, uint8_t* outerRecordBuffer) override {
    Build();
    // The tree kept from an earlier outer row may answer by a seek, under
    // the statement lock its run would take.
    if (Correlated_ && Kept_ && KeptOperand_ == outerOperand && KeptCursor_ == outerCursor && outerCursor != nullptr &&
        outerRecordBuffer != nullptr) {
      if (!KeyedPlanned_) {
        KeyedPlanned_ = true;
        Keyed_ = TVLMKeyedExists::Plan(*Kept_->Root, outerCursor);
      }
      if (Keyed_) {
        TVLMStatementLock lock(*Kept_->Root);
        const std::optional<bool> answer = Keyed_->HasRows(outerRecordBuffer);
        lock.Release();
        if (answer) {
          gSubqueryRuns.fetch_add(1, std::memory_order_relaxed);
          return *answer;
        }
      }
    }
    return TVLMSubquery::HasRows(outerOperand, outerCursor, outerRecordBuffer);
  }

  ~TVLMSQLSubquery() override { ReleaseKept(); }

  // The kept tree goes, and with it its open table.
  void ReleaseKept() {
    if (!Kept_) return;
    std::vector<TVLMSQLSubquery*>& kept = KeptSubqueries();
    kept.erase(std::remove(kept.begin(), kept.end(), this), kept.end());
    Keyed_.reset();
    KeyedPlanned_ = false;
    Kept_.reset();
  }

  // The subqueries that keep a tree between outer rows, in this thread.
  static std::vector<TVLMSQLSubquery*>& KeptSubqueries() {
    thread_local std::vector<TVLMSQLSubquery*> kept;
    return kept;
  }

  void AppendOuterNames(std::vector<TVLMQualifiedFieldName>& names) override {
    Build();
    names.insert(names.end(), OuterNames_.begin(), OuterNames_.end());
  }

  bool ResolvesOuterReferences(TVLMQueryOperator* operand, TVLMCursor* cursor) override {
    if (!IsCorrelated()) return true;
    if (operand == nullptr && cursor == nullptr) return false;
    std::unique_ptr<TVLMSQLUnion> query = Reparse();
    query->Root = query->BuildOperatorTree(Owner_, true, operand, cursor, true);
    return query->IsSelfContained();
  }

private:
  // The tree built without an outer row: whether the query is correlated,
  // and the type of its first column.
  void Build() {
    if (Built_) return;
    Query_->Root = Query_->BuildOperatorTree(Owner_, false, nullptr, nullptr, true);
    Built_ = true;
    Correlated_ = !Query_->IsSelfContained();
    OuterNames_ = Query_->OuterNames;
    if (const TVLMAOField* first = FirstColumn(*Query_->Root)) {
      DataType_ = first->DataType;
      DataSize_ = first->DataSize;
    }
    // A correlated tree is built again for every outer row; this one would
    // only keep its tables open.
    if (Correlated_) Query_.reset();
  }

  // The query expression parsed again from its first token; the lexer is
  // left where it was.
  std::unique_ptr<TVLMSQLUnion> Reparse() {
    const int32_t command = Lexer_.CurrentCommand;
    Lexer_.CurrentCommand = Command_;
    const int32_t token = Lexer_.GetTokenIndex();
    auto restore = qv::ScopeExit([&] {
      Lexer_.SetTokenIndex(token);
      Lexer_.CurrentCommand = command;
    });
    Lexer_.SetTokenIndex(Start_);
    return ParseNestedQuery(&Lexer_, Owner_, Scope_);
  }

  TVLMLexer& Lexer_;
  TVLMDataSet* Owner_;
  TVLMSQLCommand* Scope_;
  int32_t Command_;
  int32_t Start_;
  // Not correlated: the query, with its tree as Root.
  std::unique_ptr<TVLMSQLUnion> Query_;
  // Correlated: the tree of the last outer row when it is a table leaf, and
  // the outer row's operator and cursor it was bound for.
  std::unique_ptr<TVLMSQLUnion> Kept_;
  TVLMQueryOperator* KeptOperand_ = nullptr;
  TVLMCursor* KeptCursor_ = nullptr;
  // EXISTS by a seek over the kept tree, planned once per kept tree.
  std::unique_ptr<TVLMKeyedExists> Keyed_;
  bool KeyedPlanned_ = false;
  bool Built_ = false;
  bool Correlated_ = false;
  // What the tree built without an outer row takes from outer rows.
  std::vector<TVLMQualifiedFieldName> OuterNames_;
  bool Filled_ = false;
  bool Indexed_ = false;
  TSortedValues Values_;
  TVLMDataType DataType_ = 0;
  int32_t DataSize_ = 0;
};

}  // namespace

std::unique_ptr<TVLMSubquery> VLMCreateSubquery(TVLMLexer& lexer, TVLMQueryContext* queryContext) {
  auto* statement = dynamic_cast<TVLMSQLCommand*>(queryContext);
  if (statement == nullptr || statement->Owner == nullptr) {
    TToken token;
    lexer.GetCurrentToken(token);
    throw EVLMException(20760, "Subquery outside an SQL statement at line %d, column %d", {token.Line, token.Column});
  }
  return std::make_unique<TVLMSQLSubquery>(lexer, statement->Owner, statement);
}

int64_t VLMSubqueryRunCount() { return gSubqueryRuns.load(std::memory_order_relaxed); }

void VLMReleaseKeptSubqueries() {
  std::vector<TVLMSQLSubquery*>& kept = TVLMSQLSubquery::KeptSubqueries();
  while (!kept.empty()) kept.back()->ReleaseKept();
}
