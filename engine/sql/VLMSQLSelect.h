// One SELECT block: its grammar, the names it exposes and the operator tree
// it builds (VLMSQLSelect.cpp; FROM and joins in VLMSQLSelectFrom.cpp,
// derived tables in VLMSQLQueryExpr.cpp) and the FROM entry. The command
// base and the cursor command it derives from are in VLMSQLCommand.h, which
// also lists the error codes.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/VLMSQLCommand.h"

// ------------------------------------------------------- table references

class TVLMTableReference {
public:
  enum class TKind : uint8_t { Table = 0, Join = 1, Derived = 2 };
  enum class TJoinKind : uint8_t { Cross = 0, Inner = 1, Left = 2, Right = 3, Full = 4 };

  TVLMTableReference();
  ~TVLMTableReference();
  TVLMTableReference(const TVLMTableReference&) = delete;
  TVLMTableReference& operator=(const TVLMTableReference&) = delete;
  TVLMTableReference(TVLMTableReference&&) noexcept;
  TVLMTableReference& operator=(TVLMTableReference&&) noexcept;

  TKind Kind = TKind::Table;
  // The file of another database (the part before the dot of a name).
  std::string DatabaseFileName;
  std::string TableName;
  std::string Alias;
  std::string Password;
  // MEMORY, or the owner's in-memory flag when MEMORY is not written.
  uint8_t InMemory = 0;
  uint8_t Natural = 0;
  TJoinKind JoinKind = TJoinKind::Cross;
  // Join operands.
  std::unique_ptr<TVLMTableReference> Left;
  std::unique_ptr<TVLMTableReference> Right;
  // JOIN ... USING names; nullptr without USING.
  std::unique_ptr<qv::StringList> UsingFields;
  std::unique_ptr<TVLMExpression> OnCondition;
  // The query expression of a derived table.
  std::unique_ptr<TVLMSQLCursorCommand> Subquery;
  // The private database made when the table is opened.
  std::unique_ptr<TVLMDatabase> Database;
};

// ------------------------------------------------------------------ SELECT
//
// SELECT [ALL | DISTINCT] [TOP n[, start]] items | * [INTO [MEMORY
// [IMMEDIATE]] [db.]t] FROM reference {, reference} [WHERE condition]
// [GROUP BY field {, field}] [HAVING condition] [ORDER BY item {, item}],
// where a reference is [MEMORY] [db.]t [[AS] alias] [PASSWORD 'p'], "("
// reference ")" [alias], or a derived table "(" query expression ")" [AS]
// alias (VLMSQLQueryExpr.cpp), followed by joins:
//   { CROSS JOIN reference
//   | [NATURAL] [INNER | LEFT [OUTER] | RIGHT [OUTER] | FULL [OUTER]] JOIN
//     reference [ON condition | USING "(" names ")"] }
// (the grammar and the operator tree of FROM are in VLMSQLSelectFrom.cpp).
// A join chain without ON or USING between its members nests to the right
// (a JOIN (b JOIN c)); after ON or USING the join built so far is the left
// operand of the next. FROM entries separated by commas are joined left to
// right: INNER on the equalities WHERE finds between the two sides, else
// CROSS. HAVING on a query without groups (no GROUP BY, no aggregate item)
// raises 20244.

// What a SELECT's operator tree reads through: the FROM entries own the
// private database components and derived-table queries its leaves use. A
// base of TVLMSQLSelect listed before the cursor command, so that it is
// destroyed after the command's Root, whatever the destructors do.
struct TVLMSelectSources {
  std::vector<std::unique_ptr<TVLMTableReference>> Tables;
};

class TVLMSQLSelect : public TVLMSelectSources, public TVLMSQLCursorCommand {
public:
  using TVLMSQLCursorCommand::TVLMSQLCursorCommand;
  ~TVLMSQLSelect() override;

  void Parse() override;
  bool IsSelfContained() override;
  // A FROM entry (joins included) exposes name: a table by its alias, or
  // by its name when it has none; a derived table by its alias.
  bool ExposesTableName(const std::string& name) const override;
  bool NamesItem(const TVLMQualifiedFieldName& name) const override;
  // The leaf over the FROM table; a table-expression operator over it for
  // computed items (and for a DISTINCT that must be applied at once); the
  // WHERE conjuncts placed as low as they can be evaluated (30144 for one
  // that no operator can); for a grouped query the group operator with
  // HAVING (20244 for a conjunct it cannot evaluate), either refusal 10305
  // instead for a name no column has, a subquery's among them (with outer
  // references allowed such names go to OuterNames); the result fields;
  // ORDER BY; TOP; and, for a result that need not be live, a copy of the
  // rows with the DISTINCT.
  std::unique_ptr<TVLMAO> BuildOperatorTree(TVLMDataSet* owner, bool live, TVLMQueryOperator* outerOperand,
                                            TVLMCursor* outerCursor, bool allowOuterReferences) override;

  uint8_t Distinct = 0;
  int32_t TopCount = -1;
  int32_t TopStart = -1;
  // The select list is a bare "*".
  uint8_t SelectAll = 0;
  std::vector<TVLMFieldRef> Items;
  std::unique_ptr<TVLMExpression> Where;
  TVLMFields GroupBy;
  std::unique_ptr<TVLMExpression> Having;
  uint8_t HasCorrelatedSubquery = 0;

private:
  void ParseTop();
  void ParseSelectList();
  void ParseInto();
  // Gives condition the select list (TVLMExpression::SetSelectList): an
  // unqualified name that is the alias of an item and a column of none of
  // from stands for a new tree of that item, read again from its tokens. A
  // column's name is the column, as in GROUP BY.
  void GiveSelectList(TVLMExpression* condition, std::initializer_list<TVLMAO*> from);
  // 10305 "Cannot find field %s" for the first name of node (with the outer
  // names of its subqueries) that no operator of from finds and no item
  // names by its alias (VLMAppendUnknownNames); nothing when every one is
  // found.
  void RefuseUnknownName(TVLMExprNode* node, std::initializer_list<TVLMQueryOperator*> from) const;
  // Where each select item starts among the statement's tokens.
  std::vector<int32_t> ItemStarts_;
  int32_t ItemCommand_ = -1;

  // ---- FROM (VLMSQLSelectFrom.cpp)
  // The FROM entries separated by commas: 30183 / 30182 for one that is no
  // table reference, 30181 for the token after a comma.
  void ParseFrom();
  // One FROM entry, with the joins that follow it, into reference; false
  // when the token starts none.
  bool ParseTableReference(TVLMTableReference& reference);
  // The joins after a reference: 30168-30174 for a join word not followed
  // by a word, 30175 without JOIN, 30176 without a right operand, 30167
  // without "(" after USING. Each makes reference a join node (MakeJoin).
  void ParseJoins(TVLMTableReference& reference);
  // The order in which the FROM entries (their operators, in written order)
  // are joined.
  std::vector<size_t> JoinOrder(std::vector<std::unique_ptr<TVLMAO>>& entries);
  // The operator of the whole FROM clause: one named table's leaf, or the
  // entries joined one after the other.
  std::unique_ptr<TVLMAO> BuildFromOperator(TVLMDataSet* owner, TVLMQueryOperator* outerOperand,
                                            TVLMCursor* outerCursor,
                                            bool allowOuterReferences);
  // The operator of one entry. where: the WHERE condition an INNER join
  // takes key equalities from (nullptr below the null-supplying side of an
  // outer join). leftover: where an INNER join puts ON parts that name
  // neither of its operands when its parent join has no ON of its own
  // (nullptr: they raise 20270 "ON condition for JOIN is not applicable").
  std::unique_ptr<TVLMAO> BuildEntryOperator(TVLMDataSet* owner, TVLMTableReference& reference,
                                             TVLMExpression* where, std::unique_ptr<TVLMExpression>* leftover,
                                             TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                            bool allowOuterReferences);
  // The names of the ON condition refused last (20270) that neither operand
  // of its join finds, nor the outer row.
  std::vector<TVLMQualifiedFieldName> UnplacedOnNames_;
  // On the way to 20270, with every operator of FROM freed: 10305 "Cannot
  // find field %s" for the first of UnplacedOnNames_ that no table of FROM
  // has (each named table's leaf built again), whose qualifier names a
  // table of FROM or, without one, that no outer row may supply; nothing
  // when the tables cannot be built again or every name is somewhere else.
  void RefuseUnknownOnName(TVLMDataSet* owner, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                           bool allowOuterReferences);
  // ---- derived tables (VLMSQLQueryExpr.cpp)
  // The query expression from SELECT into reference (a derived table);
  // INTO in it is 20761.
  void ParseDerivedTable(TVLMTableReference& reference);
  // The derived query's tree (live, with the outer row of a subquery)
  // under a TVLMAODerivedTable named by the alias; HasCorrelatedSubquery
  // when the derived query refers to outer rows.
  std::unique_ptr<TVLMAO> BuildDerivedTable(TVLMTableReference& reference, TVLMDataSet* owner,
                                            TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                            bool allowOuterReferences);
};

// ----------------------------------------------------------------- names

// Appends to names what node names that no operator of from (nullptr
// entries skipped) finds, nor cursor when given: its fields as written, and
// the outer names of its subqueries (TVLMSubquery::AppendOuterNames). A
// condition left unplaced is refused with 10305 "Cannot find field %s" for
// such a name when no table around it may have it either, as the select
// list refuses one.
void VLMAppendUnknownNames(TVLMExprNode* node, std::initializer_list<TVLMQueryOperator*> from, TVLMCursor* cursor,
                           std::vector<TVLMQualifiedFieldName>& names);
