// The query expression (TVLMSQLUnion): what the processor runs for a
// statement that starts with SELECT or "(". Its grammar is
//
//   query expression := term { (UNION | EXCEPT | MINUS) ... term }
//   term             := primary { INTERSECT ... primary }
//   primary          := "(" query expression [")"] | query specification
//
// of which one query specification, possibly in parentheses, is built: a
// set operator is refused with 20663 until the set operators are built. A
// query specification must start with SELECT (30194). ORDER BY after the
// expression sorts the whole result; a single query specification lends the
// union its INTO target.
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMSQLCommand.h"

bool TVLMQueryExprNode::HasInto() const {
  if (Operation == 0) return Select && !Select->IntoTableName.empty();
  return (Left && Left->HasInto()) || (Right && Right->HasInto());
}

TVLMSQLUnion::~TVLMSQLUnion() {
  // The tree reads through the components the query specifications own.
  Root.reset();
}

void TVLMSQLUnion::Parse() {
  GetCurrentToken();
  ExprRoot = ParseQueryExpression();
  if (IsKeyword(kwORDER)) ParseOrderBy();
  if (ExprRoot->Operation == 0) {
    const TVLMSQLSelect& select = *ExprRoot->Select;
    IntoTableName = select.IntoTableName;
    IntoDatabaseName = select.IntoDatabaseName;
    InMemory = select.InMemory;
    IntoImmediate = select.IntoImmediate;
  }
}

std::unique_ptr<TVLMQueryExprNode> TVLMSQLUnion::ParseQueryExpression() {
  std::unique_ptr<TVLMQueryExprNode> node = ParseTerm();
  if (IsKeyword(kwUNION) || IsKeyword(kwEXCEPT) || IsKeyword(kwMINUS))
    RaiseAtToken(20663, "Set operations are not supported yet: '%s' found at line %d, column %d");
  return node;
}

std::unique_ptr<TVLMQueryExprNode> TVLMSQLUnion::ParseTerm() {
  std::unique_ptr<TVLMQueryExprNode> node = ParsePrimary();
  if (IsKeyword(kwINTERSECT))
    RaiseAtToken(20663, "Set operations are not supported yet: '%s' found at line %d, column %d");
  return node;
}

std::unique_ptr<TVLMQueryExprNode> TVLMSQLUnion::ParsePrimary() {
  if (Token.Kind == tktLeftParenthesis) {
    GetNextToken();
    std::unique_ptr<TVLMQueryExprNode> node = ParseQueryExpression();
    if (Token.Kind == tktRightParenthesis) GetNextToken();
    return node;
  }
  if (!IsKeyword(kwSELECT)) RaiseTokenExpected(30194, "SELECT");
  auto node = std::make_unique<TVLMQueryExprNode>();
  node->Select = VLMMakeCommand<TVLMSQLSelect>(Lexer, Owner);
  GetCurrentToken();
  return node;
}

bool TVLMSQLUnion::IsSelfContained() { return ExprRoot->Select->IsSelfContained(); }

std::unique_ptr<TVLMAO> TVLMSQLUnion::BuildOperatorTree(TVLMDataSet* owner, bool live, TVLMQueryOperator* outerOperand,
                                                        TVLMCursor* outerCursor, bool allowOuterReferences) {
  std::unique_ptr<TVLMAO> root =
      ExprRoot->Select->BuildOperatorTree(owner, live, outerOperand, outerCursor, allowOuterReferences);
  ResolveOrderBy(*root);
  return root;
}
