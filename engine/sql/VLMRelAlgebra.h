// The query operators a SELECT runs as: a tree of TVLMAO objects, each with
// at most two operands, a list of result fields, an optional row condition
// and a result table of its own.
//
//   TVLMFieldRef, TVLMFields  a select-list, join, GROUP BY or CORRESPONDING
//                             entry as the statement parser writes it
//   TVLMAOField               one field of an operator: where its value comes
//                             from (TVLMAOFieldSource: an operand's field, a
//                             dataset's column or an expression) and how it
//                             is shown
//   TVLMSortKey               one key of an ORDER BY or of the order an
//                             operator asks of its operand
//   TVLMAO                    the base every operator shares: field lookup,
//                             the select list as result fields, opening,
//                             the fill of its result table, ORDER BY,
//                             DISTINCT, row limits, table locks
//                             (VLMRelAlgebra.cpp)
//   TVLMAOResult              an operator's result table: its making in
//                             "TEMP" or as the INTO target, its indexes and
//                             projection, its deletion
//                             (VLMRelAlgebraResult.h/.cpp)
//   TVLMAOTable               the leaf over one table of the FROM clause
//   TVLMAOTableExpr           a pass-through that processes an operand's
//                             result once more (computed items, DISTINCT)
//   TVLMAOSQLTopRowCount      SELECT TOP n[, start]
//                             (the three in VLMRelAlgebraTable.cpp)
//   TVLMAOJoin                the joins (VLMRelAlgebraJoin.h)
//   TVLMAOGroupBy             GROUP BY, aggregates and HAVING
//                             (VLMRelAlgebraGroup.h/.cpp)
//
// An operator is the TVLMQueryOperator of the query seam: expression nodes
// bound to it reach its fields through FindFields and GetFieldValue, and the
// expression core pushes conjuncts down to it with AddCondition.
//
// Virtual operations in slot order (the join, set and group-by operators
// override them):
//
//   slot  operation              base behaviour
//   1-4   PipelineFirst, Next,   nothing, nothing, false, the result table's
//         Eof, RecordCount       count when materialised
//   5-8   First, Next, Eof,      the result table while Materialized, else
//         RecordCount            the pipeline operations
//   9     MakeOutputNames        unique output names (A, A_1, A_12)
//   10    Open                   operands first, then materialise and sort
//   11    SetRowLimit            refused with ORDER BY, DISTINCT or a
//                                condition
//   12    SetResultFields        the select list as result fields
//   13    FindFields             the name lookup every step uses
//   14    SetOrderBy             the sort keys
//
// States of an operator (the statement opens the root once; a set
// operation opens each of its operands twice: once when it is built, to
// learn their result fields, and again from its own Open, in pair order,
// VLMRelAlgebraSet.h):
//
//   built --SetResultFields, SetOrderBy, SetDistinct, SetRowLimit,
//           AddCondition, in any order--> built
//   built --Open, no operands (the table leaf)--> open: rows read from the
//           base table through its cursor (filter = Condition, index =
//           ORDER BY)
//   built --Open, with operands: operands opened, the result table
//           created, FillResultTable through the pipeline, finished
//           (fields redirected, operands freed)--> materialised: rows read
//           from the result table
//   built --Open, with operands, StaysPipelined (a join whose parent join
//           pulls its rows)--> open: operands opened, rows made as they are
//           asked for; freed with the parent's operands
//   open | materialised --Open again (an operand of a set operation)-->
//           the same state: its ORDER BY applied again (the set operation
//           sets the pair order in between); a materialised operator has no
//           operands left to open
//   any --destructor--> gone: its result table closed and, when
//           temporary, deleted (also when a fill failed half-way)
//
// Invariants:
//   1. A field takes its value from one source (TVLMAOFieldSource: an
//      operand's field, a dataset's column or its own expression); once
//      materialised every visible field reads the result table, by table
//      field number, and a hidden one reads nothing.
//   2. Field numbers never change once a field exists (expression nodes keep
//      the number they bound to): fields are only appended.
//   3. Only the TOP operator skips rows (FirstRow), counting the rows that
//      passed its condition; the operators below it get at most FirstRow - 1
//      + n rows and no skip. An operator with a condition, an ORDER BY or a
//      DISTINCT takes no limit.
//   4. Every result table in "TEMP" that an operator created is deleted when
//      the operator goes, on every path; an INTO table stays (the operator's
//      TVLMAOResult carries this).
//   5. The result table's columns are the visible fields in field order, no
//      autoincrement type among them; its projection shows the FieldMap
//      fields under their display names.
//   6. An operator that stays pipelined (StaysPipelined) is never
//      materialised: its rows are made as its parent pulls them.
//
// Error codes: the design's 10303 (leaf table cannot be opened; a lock
// conflict there is 20850-20853, VLMSQLCommand.h; another connection's cut
// commit stays 10741, VLMDiskEngine.h), 10305 (a
// select item names no field), 10306/10307/10376-10378 (field number out of
// range), 10308 (no result table), 10309 (field without a source), 10310/
// 10312/10314 (hidden field read or listed), 20243 (ORDER BY column number),
// 30327 (qualifier of another table), 10513 (TakeOrderBy without a table).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "engine/core/VLMQuerySeam.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMVariant.h"
#include "engine/sql/VLMRelAlgebraResult.h"
#include "platform/host/StringList.h"

class TVLMCursor;
class TVLMDatabase;
class TVLMExpression;
class TVLMLocalCursor;
class TVLMTable;

// ------------------------------------------------------------ field lists

// One entry of a select list, a join-field list, a GROUP BY list or a
// CORRESPONDING BY list.
struct TVLMFieldRef {
  TVLMFieldRef();
  ~TVLMFieldRef();
  TVLMFieldRef(TVLMFieldRef&&) noexcept;
  TVLMFieldRef& operator=(TVLMFieldRef&&) noexcept;

  // The qualifier written before the field (table name or alias).
  std::string TableName;
  // "*", optionally qualified.
  uint8_t AllFields = 0;
  // The field's name; for an expression item the name of the result field it
  // became.
  std::string FieldName;
  uint8_t IsExpression = 0;
  // A plain field reference that repeats an earlier item's.
  uint8_t IsDuplicate = 0;
  // The item's expression until an operator takes it over.
  std::unique_ptr<TVLMExpression> Expression;
  // The AS name; empty when none.
  std::string Alias;
};

// A list of field references; the list owns the expressions its items hold.
class TVLMFields {
public:
  void Add(TVLMFieldRef item) { Items_.push_back(std::move(item)); }
  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  TVLMFieldRef& operator[](int32_t index) { return Items_[static_cast<size_t>(index)]; }
  const TVLMFieldRef& operator[](int32_t index) const { return Items_[static_cast<size_t>(index)]; }
  std::span<TVLMFieldRef> Items() { return Items_; }
  void Clear() { Items_.clear(); }

private:
  std::vector<TVLMFieldRef> Items_;
};

class TVLMAO;

// Names made unique, case-insensitively: a name taken before comes back
// with the first free suffix "_1", "_2", ...
class TVLMUniqueNames {
public:
  // wanted, or the first free wanted_n; the answer is taken from then on.
  std::string Take(const std::string& wanted);
  // name is taken (nothing for an empty one).
  void Add(const std::string& name);
  bool Contains(const std::string& name) const;

private:
  // Upper-cased names taken, and per wanted name the last suffix tried.
  std::unordered_set<std::string> Taken_;
  std::unordered_map<std::string, int32_t> Next_;
};

// Where a field of an operator takes its value from: one of these, or
// nothing (a hidden field of a materialised operator has nothing left to
// read). A computed field owns its expression; the others point at what
// another object owns.
struct TVLMAOFromOperand {
  // The operand that supplies the value, and its field number there.
  TVLMAO* Operator = nullptr;
  int32_t FieldNo = 0;
};
struct TVLMAOFromDataSet {
  // The dataset whose current record supplies the value (a table leaf's
  // table, or a result table), and the table field number.
  TVLMTable* DataSet = nullptr;
  int32_t FieldNo = 0;
};
struct TVLMAOComputed {
  explicit TVLMAOComputed(std::unique_ptr<TVLMExpression> expression);
  ~TVLMAOComputed();
  TVLMAOComputed(TVLMAOComputed&&) noexcept;
  TVLMAOComputed& operator=(TVLMAOComputed&&) noexcept;

  std::unique_ptr<TVLMExpression> Expression;
};
using TVLMAOFieldSource = std::variant<std::monostate, TVLMAOFromOperand, TVLMAOFromDataSet, TVLMAOComputed>;

// One field of an operator.
struct TVLMAOField {
  TVLMAOField();
  ~TVLMAOField();
  TVLMAOField(TVLMAOField&&) noexcept;
  TVLMAOField& operator=(TVLMAOField&&) noexcept;

  std::string Name;
  // The name shown to the user; empty when none.
  std::string DisplayName;
  // The alias (AS) of the item the field shows, as written: ORDER BY takes
  // it before a column's name. Empty when none.
  std::string ItemAlias;
  TVLMDataType DataType = 0;
  // Read by expression nodes; from a computed field's expression, 0 for
  // table columns.
  int32_t FieldAttribute = 0;
  // The declared size.
  int32_t DataSize = 0;
  // Carried to the result table's column: its BLOB compression algorithm and
  // mode, and its BLOB block size.
  uint8_t Flag1 = 0;
  uint8_t Flag2 = 0;
  int32_t Extra = 0;
  // Carried for conditions, joins and grouping but not part of the result.
  uint8_t Hidden = 0;
  uint8_t IsAggregated = 0;
  TVLMAOFieldSource Source;

  // The source's parts; nullptr (or 0) when the source is of another kind.
  TVLMAO* SourceOperator() const;
  TVLMTable* SourceDataSet() const;
  // The field number in the operand, or the table field number.
  int32_t SourceFieldNo() const;
  TVLMExpression* Expression() const;
  bool IsComputed() const { return std::holds_alternative<TVLMAOComputed>(Source); }
  bool HasSource() const { return !std::holds_alternative<std::monostate>(Source); }
};

// One key of a sort: a field by its upper-cased name (the result table's
// index names its columns), ascending unless Descending, text compared with
// case unless CaseInsensitive.
struct TVLMSortKey {
  std::string Field;
  bool Descending = false;
  bool CaseInsensitive = false;
};
using TVLMSortKeys = std::vector<TVLMSortKey>;

// The keys as the table component takes them: the names, "ASC" / "DESC",
// "CASE" / "NO_CASE".
void VLMSortKeyLists(const TVLMSortKeys& keys, qv::StringList& fields, qv::StringList& directions,
                     qv::StringList& cases);

// -------------------------------------------------------------------- TVLMAO

class TVLMAO : public TVLMQueryOperator {
public:
  // An operator over the operands (either may be empty), named for
  // qualifiers by alias and tableName. Its result table is a new table
  // component in the session of the operands' result tables.
  TVLMAO(std::unique_ptr<TVLMAO> left, std::unique_ptr<TVLMAO> right, std::string alias, std::string tableName);
  // Unlocks a locked leaf, closes the result table and deletes it when it
  // is a temporary table this operator created; never raises.
  ~TVLMAO() override;
  TVLMAO(const TVLMAO&) = delete;
  TVLMAO& operator=(const TVLMAO&) = delete;

  // ---- slots 1-14
  virtual void PipelineFirst() {}
  virtual void PipelineNext() {}
  virtual bool PipelineEof() { return false; }
  virtual int64_t PipelineRecordCount();
  virtual void First();
  virtual void Next();
  virtual bool Eof();
  virtual int64_t RecordCount();
  // Each field named from its source; then every name that repeats an
  // earlier field's (upper-cased) is extended: A, A_1, A_12, ...
  virtual void MakeOutputNames();
  // Opens the operands, then (with operands) materialises this operator, and
  // applies its ORDER BY. isRoot: the statement reads this operator's result
  // as its cursor. outerOperand and outerCursor are the outer row of a
  // subquery, handed to every condition binding. 20844 when reached with the
  // stack low (VLMNesting.h).
  virtual void Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor);
  // At most rowLimit result rows, from result row firstRow on (firstRow < 0:
  // the first). Refused by an operator with a condition, an ORDER BY or a
  // DISTINCT.
  virtual void SetRowLimit(int64_t firstRow, int64_t rowLimit);
  // The select list (empty: every field) becomes the visible result: an
  // expression item becomes a computed field (named by its alias, else
  // "Expr" + a GUID) and the item a reference to it; any other item is
  // looked up (10305 "Cannot find field %s"). Computed fields get names no
  // other field has (the alias, else alias_1, ...); the result columns are
  // shown under names no other column shows (x, x_1). With distinct the
  // result keeps each row once.
  virtual void SetResultFields(std::span<TVLMFieldRef> items, bool distinct);
  // Appends to found (when given) the numbers of the fields that match name
  // ("*" for all) and qualifier, and answers how many matched. visibleOnly
  // skips hidden fields; unhide makes the matches visible unless keepHidden.
  int32_t FindFields(const std::string& name, const std::string& qualifier, bool visibleOnly, bool keepHidden,
                     TVLMIntegerArray* found, bool unhide) override;
  // The sort keys, in order (none: no ORDER BY). A field listed twice
  // sorts one way: descending, or case-insensitive, when any of its
  // entries is.
  virtual void SetOrderBy(TVLMSortKeys keys);

  // ---- what expression nodes ask (TVLMQueryOperator)
  std::string GetFieldName(int32_t fieldNo) override;
  TVLMDataType GetFieldDataType(int32_t fieldNo) override;
  int32_t GetFieldDataSize(int32_t fieldNo) override;
  int32_t GetFieldAttribute(int32_t fieldNo) override;
  // The current row's value of field fieldNo: a computed field evaluated, an
  // operand's field asked of the operand (null while that side is padded),
  // a dataset column read from the dataset (null when it is empty).
  void GetFieldValue(TVLMVariant& value, int32_t fieldNo, bool allowHidden, bool flag) override;
  // Takes condition over: AND-ed into Condition, or Condition itself.
  void AddCondition(std::unique_ptr<TVLMExpression> condition) override;
  TVLMQueryOperator* GetLeftOperand() override { return Left.get(); }
  TVLMQueryOperator* GetRightOperand() override { return Right.get(); }

  // ---- lookups
  // The result columns: the FieldMap, or without entries the visible fields
  // in field order.
  std::vector<int32_t> ResultFieldNumbers() const;
  // The field of result column position (0-based) for ORDER BY n: 20243
  // "Invalid field number in ORDER BY clause: %d" beyond the columns.
  int32_t ResultColumnField(int32_t position) const;
  // The display name of that column.
  std::string GetOrderByName(int32_t position) const;
  // The first result column whose alias is name (aliasedOnly), or that is
  // shown as name, ignoring case; -1 when none is.
  int32_t FindResultColumn(const std::string& name, bool aliasedOnly) const;
  // Whether qualifier names this operator: its alias, or its table name
  // when it has no alias or NameQualifies.
  bool QualifierNamesThis(const std::string& qualifier) const;
  // The name of the column field fieldNo reads: of its dataset, unless that
  // is this operator's own result table; else, unless direct, asked of its
  // source operator; else its Name. 10306 out of range.
  std::string GetSourceFieldName(int32_t fieldNo, bool direct);
  // The SELECT INTO target; the result goes straight into it only when
  // enabled and this is the root.
  void SetIntoTable(bool inMemory, bool enabled, const std::string& databaseName, const std::string& tableName);
  // The fields (by number) of the result that must be unique together;
  // none turns DISTINCT off.
  void SetDistinct(std::vector<int32_t> fieldNos);
  // Every visible field, in field order, is a result column (an operator
  // that copies the result columns of its operand one to one).
  void ShowFieldsInOrder(bool distinct);
  // Appends a field reading operand field operandFieldNo of Left (nothing
  // for a hidden one of an operand whose result fields are set, when
  // skipHidden).
  void AddFieldFromOperand(int32_t operandFieldNo, bool skipHidden);

  // ---- the statement's table locks, over the whole tree; true when every
  // leaf answered true
  // Every leaf's table opened.
  bool OpenTables();
  // A read lock (type 1) on every leaf's table, each with the leaf-lock
  // tries and delay of VLMRetrySettings; the table of a leaf that had none
  // into refused, when given.
  bool LockTables(std::string* refused = nullptr);
  // Releases the locks LockTables took (a leaf that holds none answers true).
  bool UnlockTables();

  // ---- what the statement and other operators read
  // The result table (a leaf's base table): where the rows are read once
  // the operator is materialised.
  TVLMTable* ResultTable() const { return Result_.Table(); }
  // The INTO table the root fills; empty when the rows go to "TEMP".
  const std::string& IntoTableName() const { return Result_.IntoTableName(); }
  // The ORDER BY not yet applied; empty = none.
  const TVLMSortKeys& OrderBy() const { return OrderKeys; }

  // ---- what the statement sets while it builds the tree
  uint8_t IsLeaf = 0;
  uint8_t IsGrouping = 0;
  std::unique_ptr<TVLMExpression> Condition;
  uint8_t ResultFieldsSet = 0;
  std::string TableName;
  std::string Alias;
  // A table with an alias answers to its own name as well, unless a table
  // of its statement, or of one the statement is nested in, exposes that
  // name (the statement clears this then).
  bool NameQualifies = true;
  // The visible result fields in output order; empty: every visible field
  // in field order.
  TVLMIntegerArray FieldMap{0, 100, 10};
  uint8_t Distinct = 0;
  std::vector<TVLMAOField> Fields;
  std::unique_ptr<TVLMAO> Left;
  std::unique_ptr<TVLMAO> Right;

  int32_t FieldCount() const { return static_cast<int32_t>(Fields.size()); }

protected:
  // ---- state the operators keep for themselves
  // At most RowLimit rows (-1: no limit), from the FirstRow-th row that
  // passes the condition on (invariant 3).
  int64_t RowLimit = -1;
  int64_t FirstRow = -1;
  // Rows are read from the result table (else through the pipeline).
  uint8_t Materialized = 1;
  // The current row of a join has no row of that side (padded with nulls).
  uint8_t LeftIsNull = 0;
  uint8_t RightIsNull = 0;
  // The fields whose values must be unique together while Distinct.
  std::vector<int32_t> DistinctFieldNos;
  TVLMSortKeys OrderKeys;
  uint8_t HasComputedFields = 0;
  // A leaf holds the read lock LockTables took.
  uint8_t TablesLocked = 0;
  // The result table and its making.
  TVLMAOResult& Result() { return Result_; }

  // Makes every field that expression reads visible in the operands (and
  // below), so that a materialised operand carries it.
  void UnhideOperandFields(TVLMExpression* expression);
  // Field fieldNo of op made visible, and the fields it reads below.
  static void UnhideField(TVLMAO& op, int32_t fieldNo);
  // Called by Open once the operands are open, before anything is sorted
  // or filled: the join swaps its sides here, the group-by operator makes
  // its look-ahead table.
  virtual void OperandsOpened() {}
  // True for an operator whose rows its parent pulls one by one through
  // the pipeline: Open then leaves it unmaterialised.
  virtual bool StaysPipelined() const { return false; }
  // True for an operator whose fields, and the fields of every operator
  // they read through, keep their sources while its fill pulls the rows
  // (the set operators switch theirs from one operand to the other).
  virtual bool SourcesStayWhileFilling() const { return false; }
  // Called by Materialize just before the operands are freed: the
  // group-by operator closes its look-ahead table, which reads an operand's.
  virtual void OperandsClosing() {}
  // The field entry fieldNo; code with "Invalid field number - FieldNo = %d,
  // FieldCount = %d" out of range.
  TVLMAOField& FieldAt(int32_t fieldNo, int32_t code);

  // The result table made (10312 for a hidden field among the result
  // fields), filled through the pipeline and sorted; then every visible
  // field reads its column (10314 for a hidden one the root shows), and the
  // operands are freed.
  void Materialize();
  // The rows through the pipeline that pass Condition, DISTINCT and the
  // limits into the result table.
  void FillResultTable();
  // Visible field fieldNo of the current row into column destFieldNo of the
  // result table's new record: dataset to dataset when its chain of sources
  // ends at a dataset, else through its value.
  void CopyFieldToResult(int32_t fieldNo, int32_t destFieldNo);
  // The same into the record buffer of dest, the result table's cursor.
  void CopyFieldToCursor(int32_t fieldNo, int32_t destFieldNo, TVLMLocalCursor& dest);
  // The result table reads through an index over the ORDER BY fields (found
  // or made) unless it has an index already; with freeOrderLists the
  // sort keys are emptied. 10308 without a result table.
  void ApplyOrderBy(bool freeOrderLists);

private:
  // Invariant 1: once materialised, a field that is read reads the result
  // table.
  bool ReadsOwnResult(const TVLMAOField& f) const;

  uint8_t IsRoot = 0;
  TVLMVariant WorkValue;
  // Declared after Condition: the base table of a leaf holds Condition as
  // its filter, so it closes first.
  TVLMAOResult Result_;
  // Where a dataset field of the chain behind fieldNo lies: its dataset and
  // column, or nullptr when the chain ends at an expression or a padded
  // side (padded answers true then).
  TVLMTable* DatasetSource(int32_t fieldNo, int32_t& column, bool& padded);
  // The walk behind DatasetSource: follows the chain of operands behind
  // fieldNo, calling onStep(op, operand) for each operand it passes; a false
  // answer stops the walk with nullptr, as does an end at an expression.
  template <class OnStep>
  TVLMTable* WalkToDataset(int32_t fieldNo, int32_t& column, OnStep&& onStep);
  // True when operand is op's side padded with nulls for the current row.
  static bool PaddedSide(const TVLMAO* op, const TVLMAO* operand);
  // The steps of FillResultTable: each visible field's road into the
  // result table's new record, planned once, and the current row copied
  // along them; DISTINCT's memory of decided rows, and whether the current
  // row repeats the row before or one decided (held: rows held so far);
  // the current row posted into the result table from the record buffer or
  // through the dataset: false when its unique index refused it.
  struct TColumnCopy;
  class TDistinctRows;
  std::vector<TColumnCopy> PlanColumnCopies(TVLMLocalCursor& cursor);
  void CopyRowToRecord(const std::vector<TColumnCopy>& copies, TVLMLocalCursor& cursor, uint8_t* record);
  bool RepeatsDecidedRow(TDistinctRows& rows, int64_t held);
  bool PostAtCursor(TVLMLocalCursor& cursor, uint8_t* record, const std::vector<TColumnCopy>& copies);
  bool PostThroughDataset(TVLMTable& table, TVLMLocalCursor& cursor);
};

// ------------------------------------------------------------- TVLMAOTable

// The leaf over one table of the FROM clause: never materialised; its rows
// are the base table's, filtered by Condition and ordered by the ORDER BY
// index. Every column starts hidden; the statement's lookups make visible
// what they use.
class TVLMAOTable : public TVLMAO {
public:
  // Takes table over and opens it (any other failure than a lock conflict
  // or a cut commit becomes 10303 "Error on opening table "%s" (InMemory =
  // %d) in SQL query: %s"); database (not
  // owned, may be nullptr) gives DisableTempFiles.
  TVLMAOTable(std::string tableName, std::unique_ptr<TVLMTable> table, TVLMDatabase* database, std::string alias);
  // Gives the table back to the kept tables of the run under way, when
  // there is one and the table is of the statement's own database.
  ~TVLMAOTable() override;

  // A qualifier naming another table raises 30327; an "*" item leaves the
  // table's columns as they are; otherwise the base operation, and the
  // table's projection shows the items under their aliases.
  void SetResultFields(std::span<TVLMFieldRef> items, bool distinct) override;
  // ORDER BY as the table's index, DISTINCT as an index over its fields,
  // Condition as the cursor's filter.
  void Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
  // Hands the ORDER BY keys over to a parent when the table has no index
  // that serves them (so that the parent sorts its own, smaller, result
  // rather than indexing the base table). 10513 without a table.
  bool TakeOrderBy(TVLMSortKeys& keys);

  TVLMDatabase* Database = nullptr;
  // Set when only an operator copying the rows at the end reads this table,
  // by column number, and no ORDER BY sorts it: SetResultFields then leaves
  // the table's dataset with all its columns rather than closing and
  // reopening it to show only the items (the copy shows them).
  bool CopiedAtEnd = false;

private:
  // The table came from the kept tables showing the columns of the query
  // that read it before: SetResultFields sets its own projection (the
  // same one costs nothing), else Open shows all the columns again.
  bool ClearProjectionAtOpen_ = false;
};

// ---------------------------------------------------------- TVLMAOTableExpr

// Processes its operand's result once more: computed select items over one
// table, a DISTINCT, an operator whose result fields are set already.
class TVLMAOTableExpr : public TVLMAO {
public:
  // One field per result field of operand (its visible FieldMap fields when
  // its result fields are set).
  explicit TVLMAOTableExpr(std::unique_ptr<TVLMAO> operand);

  void PipelineFirst() override;
  void PipelineNext() override;
  bool PipelineEof() override;
  int64_t PipelineRecordCount() override;
  // The base operation; a limit it accepts goes on to the operand.
  void SetRowLimit(int64_t firstRow, int64_t rowLimit) override;
  // Takes over the ORDER BY of a table operand that has no index for it,
  // carrying sort columns that are not selected.
  void Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
};

// ----------------------------------------------------- TVLMAOSQLTopRowCount

// SELECT TOP n[, start]: the first n result rows from row start on.
//
// Over a table leaf sorted by columns that no index of the table serves,
// all of them numbers, dates or times (no text, whose order is the
// collation's), the rows are not sorted through a new index of the whole
// table: one walk in the table's order keeps the start - 1 + n best rows in
// a bounded heap, ordered as the index would order them (its value order,
// nulls first ascending and last descending, equal keys in the walk's
// order), and the pipeline then visits them in that order.
class TVLMAOSQLTopRowCount : public TVLMAO {
public:
  explicit TVLMAOSQLTopRowCount(std::unique_ptr<TVLMAO> operand);
  ~TVLMAOSQLTopRowCount() override;

  void PipelineFirst() override;
  void PipelineNext() override;
  bool PipelineEof() override;
  int64_t PipelineRecordCount() override;
  // Keeps the skip and the limit; the operand is asked for the first
  // firstRow - 1 + rowLimit rows, without a skip.
  void SetRowLimit(int64_t firstRow, int64_t rowLimit) override;
  // Takes the sort over from a table leaf that the bounded heap serves.
  void Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

private:
  struct TKeptRow;
  // The best rows, filled by the first PipelineFirst.
  void FillBest();
  // The leaf placed on kept row Next_.
  void GoToKept();

  // Leaf field numbers of the sort columns, and which run descending.
  std::vector<int32_t> SortColumns_;
  std::vector<bool> SortDescending_;
  bool Heap_ = false;
  bool Filled_ = false;
  std::vector<TKeptRow> Best_;
  size_t Next_ = 0;
};
