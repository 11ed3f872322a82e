// Query expressions: the statement object of every query the processor runs
// (TVLMSQLUnion over a tree of TVLMQueryExprNode) and the SQL engine's side
// of the expression core's subquery node (VLMSQLQueryExpr.cpp holds the
// grammar and the subquery's states).
//
//   TVLMQueryExprNode         a SELECT block or a set operation over two nodes
//   TVLMSQLUnion              a query expression, with its ORDER BY and INTO
//   VLMCreateSubquery         the subquery factory the components' runtime
//                             installs in the expression services
//   VLMSubqueryRunCount       how often subquery results were filled
//   VLMReleaseKeptSubqueries  closes the trees correlated subqueries keep
//
// Error codes: 20760 a subquery outside an SQL statement (the others of
// query expressions are listed in VLMSQLQueryExpr.cpp).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>

#include "engine/sql/VLMSQLSelect.h"

namespace qv {
class StringList;
}  // namespace qv

class TVLMLexer;
class TVLMQueryContext;
class TVLMSubquery;

// A node of a query expression: a SELECT block (a leaf) or a set
// operation over two nodes.
class TVLMQueryExprNode {
public:
  TVLMQueryExprNode() = default;
  // A chain of set operations is as deep as it is long: its nodes go one by
  // one, not by recursion.
  ~TVLMQueryExprNode();
  TVLMQueryExprNode(const TVLMQueryExprNode&) = delete;
  TVLMQueryExprNode& operator=(const TVLMQueryExprNode&) = delete;

  // 0 a SELECT block, 1 UNION, 2 EXCEPT, 3 INTERSECT.
  uint8_t Operation = 0;
  std::unique_ptr<TVLMQueryExprNode> Left;
  std::unique_ptr<TVLMQueryExprNode> Right;
  uint8_t All = 0;
  uint8_t Corresponding = 0;
  std::unique_ptr<qv::StringList> CorrespondingFields;
  std::unique_ptr<TVLMSQLSelect> Select;

  // A leaf whose select has an INTO target, or one below this node.
  bool HasInto() const;
  // A new node taking over this one's fields and operands (this node keeps
  // only its operation and flags).
  std::unique_ptr<TVLMQueryExprNode> CopyNode();
  // This node becomes the set operation (operation, copy of its old self,
  // right): the caller's reference now denotes the combined expression.
  void MakeBinary(uint8_t operation, std::unique_ptr<TVLMQueryExprNode> right,
                  std::unique_ptr<qv::StringList> correspondingFields, bool corresponding, bool all);
};

// What a query expression's operator tree reads through: the SELECT blocks
// own the components their leaves use. A base of TVLMSQLUnion listed before
// the cursor command, so that it is destroyed after the command's Root.
struct TVLMQueryExprSources {
  std::unique_ptr<TVLMQueryExprNode> ExprRoot;
};

class TVLMSQLUnion : public TVLMQueryExprSources, public TVLMSQLCursorCommand {
public:
  using TVLMSQLCursorCommand::TVLMSQLCursorCommand;
  ~TVLMSQLUnion() override;

  // The query expression from the current token, then its ORDER BY (also
  // the one the last SELECT block took); 20272 for INTO in a set
  // operation; a single SELECT block lends the union its INTO
  // target. Stops at the first token that cannot continue the expression
  // (the end, or the ')' of a subquery or derived table). The expression,
  // each query in parentheses and each operand of a set operation take a
  // level of the thread's depth count of nested SQL (VLMNesting.h); a
  // level refused raises 20842.
  void Parse() override;
  // Every SELECT block is.
  bool IsSelfContained() override;
  // The leaves' trees (operands of a set operation built live) under one
  // TVLMAOUnion per operator node; the ORDER BY on the root. 20843 when a
  // node is reached with the stack low (VLMStackIsLow).
  std::unique_ptr<TVLMAO> BuildOperatorTree(TVLMDataSet* owner, bool live, TVLMQueryOperator* outerOperand,
                                            TVLMCursor* outerCursor, bool allowOuterReferences) override;

private:
  std::unique_ptr<TVLMQueryExprNode> ParseQueryExpression();
  std::unique_ptr<TVLMQueryExprNode> ParseTerm();
  std::unique_ptr<TVLMQueryExprNode> ParsePrimary();
  // From the set operator on: ALL, CORRESPONDING [BY (names)] (30193
  // without '('), the right operand (a primary after INTERSECT, else a
  // term), and left made the operation.
  void ParseSetOperation(TVLMQueryExprNode& left, uint8_t operation, bool primary);
  bool NodeIsSelfContained(TVLMQueryExprNode& node);
  std::unique_ptr<TVLMAO> BuildNode(TVLMQueryExprNode& node, TVLMDataSet* owner, bool live,
                                    TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                    bool allowOuterReferences);
};

// The subquery factory of the expression services (the CreateSubquery
// member of TVLMExpressionServices, installed by the components' runtime):
// reads a query expression from lexer's current token (SELECT) up to the
// ')' that closes it, for the statement queryContext; 20760 when
// queryContext is no SQL statement (a subquery in a dataset filter).
std::unique_ptr<TVLMSubquery> VLMCreateSubquery(TVLMLexer& lexer, TVLMQueryContext* queryContext);
// How many times subquery results were filled since the process started: a
// subquery that refers to no outer row once per statement run, a
// correlated one once per outer row.
int64_t VLMSubqueryRunCount();
// Closes the trees that correlated subqueries of this thread keep between
// outer rows (they are built again when next asked).
void VLMReleaseKeptSubqueries();
