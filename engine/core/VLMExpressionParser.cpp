// The expression parser: TVLMExpression's parse entry points and the
// recursive-descent reading of one lexer statement into a tree of the node
// classes of VLMExpressions.h. This file holds the parser's state, the memo
// of alternatives, subqueries and the entry points; the productions of each
// grammar level live in VLMExpressionParserConditions.cpp, ...Values.cpp and
// ...Functions.cpp, over the class in VLMExpressionParser.h.
//
// Grammar, loosest binding first (each production reads from the current
// token; one that does not match builds nothing and leaves the position
// where it found it):
//
//   search condition  and-condition { OR and-condition }   one OR node
//   and-condition     not-condition { AND not-condition }  one AND node
//   not-condition     [NOT] is-test
//   is-test           boolean-primary [IS [NOT] (TRUE | FALSE | UNKNOWN)]
//   boolean primary   predicate | '(' search condition ')' | row value
//   predicate         TRUE | FALSE | logical parameter
//                     | row-value op (ALL | ANY | SOME) subquery
//                     | row-value op row-value
//                     | row-value [NOT] LIKE row-value [ESCAPE c]
//                     | row-value IS [NOT] NULL
//                     | row-value [NOT] BETWEEN row-value AND row-value
//                     | row-value [NOT] IN '(' subquery | values ')'
//                     | EXISTS '('... subquery ')'...
//   row value         subquery | NULL | value expression
//   value expression  additive | date arithmetic | TRUE | FALSE | NULL
//                     | MIMETOBIN '(' 'text' ')'
//   additive          term { (+ | -) term }   (fails before '||')
//   term              unary { (* | /) unary }  one node per run of one
//                                             operator, left-nested
//   unary             [+ | -] (factor | numeric function)   (a text
//                     factor fails here; a date-time literal does not)
//   factor            literal | field | aggregate | subquery | CASE
//                     | COALESCE | '(' value expression ')' | CAST
//   date arithmetic   date-primary [(- | +) value expression]
//                     | string-expression [- date-primary]
//   string expression string-factor { (|| | +) string-factor }
//   string factor     factor | string function | date primary
//
// Alternatives are tried from one saved position, so one text is read many
// times over; without care the time doubles with every parenthesis level.
// Value expressions and subqueries are therefore remembered per token index
// (a failure as a failure, a tree with the position after it). A tree handed
// out stays registered as lent; when the production that took it fails, the
// tree (or the lent parts of a larger tree) goes back to its entry instead
// of being freed, and the next alternative takes the very same nodes. A
// production that changes a lent node (the '*' of a partial comparison, the
// '%' of LIKE 'abc%') keeps it for good.
//
// Nesting: a token more than 256 parentheses deep inside the parsed text,
// a recursive production refused a level of the thread's depth count of
// nested SQL (VLMNesting.h: more than 1024 levels, counting nesting without
// parentheses as in CASE inside CASE and the queries and parses a
// subquery's factory runs inside an outer one, or too little stack left),
// or a term of more than 256 alternating runs of '*' and '/' raises 30693
// before the stack can run out. Chains of one operator are read in loops into one node (OR, AND,
// + and -, ||, a run of '*' or '/'), so their length is bounded by memory
// alone, and the tree stays as shallow as the text's nesting.
//
// Errors (EVLMException): "Token '%s' expected, but '%s' found at line %d,
// column %d" quotes the expected text and the token found; the others quote
// the current token's line and column.
//   30063 / 30064 end of statement / unexpected token where a name is read
//   30066 no condition (ParseBoolean), 30069 / 30070 operand after AND / OR
//   30067 IS [NOT] not followed by TRUE, FALSE or UNKNOWN
//   30073-30075, 30102 COUNT(*) and the aggregates
//   30076, 30077, 30465 CAST
//   30078-30109 POS, LENGTH, LASTAUTOINC, UPPER ..., TOSTRING, SUBSTRING,
//         TODATE; 30334 LASTAUTOINC's ','
//   30118 / 30136 / 30497 end of statement at ParseBoolean / ParseValue /
//         ParseUpdateValue; 30119 blank filter text
//   30467-30478 CASE, 30492 EXISTS, 30502-30506 ROUND
//   20261-20268 the numeric functions and POWER, 20275 / 20276 COALESCE,
//   20277-20282 EXTRACT, 20283-20288 DATE, TIME and TIMESTAMP literals,
//   20294 ESCAPE of other than one character
// and the project's own: 30690 missing operand after '*' or '/', 30691 a
// COALESCE argument that does not parse, 30692 COALESCE without ',' or ')',
// 30693 nesting too deep, 30694 subquery without the SQL engine's factory,
// 30695 subquery without its ')', 30696-30699 CAST's '(', operand, AS and
// length, 30700 SUBSTRING's length, 30701 ParseUpdateValue without a query
// context.
#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressionParser.h"
#include "engine/core/VLMExpressions.h"
#include "platform/host/ScopeExit.h"

namespace vlm_expression_parser {

TPiece::~TPiece() {
  if (Node_ && std::uncaught_exceptions() == Exceptions_) Parser_.Discard(std::move(Node_));
}

void TPiece::Drop() { Parser_.Discard(std::move(Node_)); }

TVLMExpressionParser::TVLMExpressionParser(TVLMExpression& expression, TVLMQueryContext* queryContext,
                                           TVLMLexer* lexer, int32_t endCode)
    : E_(expression) {
  E_.Clear();
  E_.Lexer = lexer;
  E_.QueryContext = queryContext;
  if (queryContext != nullptr) {
    E_.QueryName1 = queryContext->GetDatabaseName();
    E_.QueryName2 = queryContext->GetSessionName();
  }
  if (lexer == nullptr) throw EVLMException(endCode, "Unexpected end of SQL command found at line %d, column %d", {0, 0});
  if (lexer->CurrentCommand >= 0 && lexer->CurrentCommand < static_cast<int32_t>(lexer->Commands.size())) {
    Tokens_ = &lexer->Commands[static_cast<size_t>(lexer->CurrentCommand)].Tokens;
    if (!Tokens_->empty()) {
      LastLine_ = Tokens_->back().Line;
      LastColumn_ = Tokens_->back().Column;
    }
  }
  Start_ = lexer->GetTokenIndex();
  Reread();
  if (Tok().Kind == tktNone) At(endCode, "Unexpected end of SQL command found at line %d, column %d");
}

int32_t TVLMExpressionParser::DepthAt(int32_t index) {
  if (Tokens_ == nullptr || index <= Start_) return 0;
  const int32_t last = std::min<int32_t>(index, static_cast<int32_t>(Tokens_->size()));
  if (Depth_.empty()) Depth_.push_back(0);
  while (Start_ + static_cast<int32_t>(Depth_.size()) <= last) {
    const TToken& before = (*Tokens_)[static_cast<size_t>(Start_) + Depth_.size() - 1];
    Depth_.push_back(Depth_.back() + (before.Kind == tktLeftParenthesis) - (before.Kind == tktRightParenthesis));
  }
  return Depth_[static_cast<size_t>(last - Start_)];
}

// ------------------------------------------------------------------- memo

bool TVLMExpressionParser::Return(NodePtr& node) {
  auto it = Lent_.find(node.get());
  if (it == Lent_.end()) return false;
  auto [memo, start] = it->second;
  Lent_.erase(it);
  TMemo::TEntry& entry = memo->Entries[start];
  if (entry.State == TMemo::TState::Lent && !entry.Tree) {
    entry.Tree = std::move(node);
    entry.State = TMemo::TState::Stored;
  } else {
    // The entry holds a tree read again meanwhile: this copy goes.
    Discard(std::move(node));
  }
  return true;
}

void TVLMExpressionParser::Discard(NodePtr tree) {
  if (!tree || Return(tree)) return;
  std::vector<TVLMExprNode*> pending{tree.get()};
  while (!pending.empty()) {
    TVLMExprNode* node = pending.back();
    pending.pop_back();
    for (NodePtr& child : node->Children)
      if (child && !Return(child)) pending.push_back(child.get());
  }
}

// ----------------------------------------------------------- parentheses

NodePtr TVLMExpressionParser::InParentheses(NodePtr (TVLMExpressionParser::*read)()) {
  if (!Is(tktLeftParenthesis)) return nullptr;
  const int32_t start = Position();
  Next();
  TPiece inner(*this, (this->*read)());
  if (inner && Is(tktRightParenthesis)) {
    Next();
    return inner.Take();
  }
  return Fail(start);
}

// ------------------------------------------------------------- subqueries

NodePtr TVLMExpressionParser::Subquery(bool singleField, bool singleRow) {
  NodePtr node = Memoised(Subqueries_, [this] { return ReadSubquery(); });
  if (auto* subquery = static_cast<TVLMExprNodeSubquery*>(node.get())) {
    subquery->SingleField = singleField;
    subquery->SingleRow = singleRow;
  }
  return node;
}

NodePtr TVLMExpressionParser::ReadSubquery() {
  const int32_t start = Position();
  int32_t opened = 0;
  for (; Is(tktLeftParenthesis); ++opened) {
    Next();
    CheckDepth();
  }
  if (!Keyword(kwSELECT)) return Fail(start);
  const TVLMExpressionServices* services = VLMGetExpressionServices();
  if (services == nullptr || services->CreateSubquery == nullptr)
    At(30694, "Subquery cannot be run without the SQL engine at line %d, column %d");
  std::unique_ptr<TVLMSubquery> select = services->CreateSubquery(*E_.Lexer, E_.QueryContext);
  Reread();
  auto node = std::make_unique<TVLMExprNodeSubquery>(std::move(select), true, true);
  for (; opened > 0; --opened) {
    if (!Is(tktRightParenthesis)) At(30695, "Missing symbol ')' at line %d, column %d");
    Next();
  }
  return node;
}

}  // namespace vlm_expression_parser

using vlm_expression_parser::NodePtr;
using vlm_expression_parser::TVLMExpressionParser;

// ------------------------------------------------------------ entry points

void TVLMExpression::ParseFilter(TVLMCursor* cursor, std::string_view text, bool caseInsensitive,
                                 bool partialCompare) {
  Clear();
  Cursor = cursor;
  CaseInsensitive = caseInsensitive;
  PartialCompare = partialCompare;
  // Markers are read, but a filter has no values for them: 30358.
  TVLMLexer lexer(text, nullptr, false);
  auto release = qv::ScopeExit([this] { Lexer = nullptr; });
  if (lexer.CommandCount == 0) throw EVLMException(30119, "Blank SQL command");
  lexer.NextCommand();
  ParseBoolean(nullptr, &lexer);
}

void TVLMExpression::ParseBoolean(TVLMQueryContext* queryContext, TVLMLexer* lexer) {
  TVLMExpressionParser parser(*this, queryContext, lexer, 30118);
  NodePtr root = parser.SearchCondition();
  if (!root)
    throw EVLMException(30066, "Boolean expression expected, but '%s' found at line %d, column %d",
                        {Token.Text, Token.Line, Token.Column});
  SetRoot(std::move(root));
  FlattenAnd();
  if (Cursor != nullptr) GetRoot()->Prepare();
}

TVLMExprNode* TVLMExpression::ParseValue(TVLMQueryContext* queryContext, TVLMLexer* lexer) {
  TVLMExpressionParser parser(*this, queryContext, lexer, 30136);
  SetRoot(parser.ValueExpression());
  return GetRoot();
}

TVLMExprNode* TVLMExpression::ParseUpdateValue(TVLMQueryContext* queryContext, TVLMLexer* lexer) {
  if (queryContext == nullptr) throw EVLMException(30701, "Query context expected for an UPDATE value");
  TVLMExpressionParser parser(*this, queryContext, lexer, 30497);
  SetRoot(parser.Subquery(false, false));
  return GetRoot();
}

bool TVLMExpression::ParseDefaultExpression(std::string_view text) {
  Clear();
  try {
    TVLMLexer lexer(text, nullptr, true);
    auto release = qv::ScopeExit([this] { Lexer = nullptr; });
    if (lexer.CommandCount != 1 || !lexer.NextCommand()) return false;
    ParseValue(nullptr, &lexer);
    // Every token of the text belongs to the value.
    if (GetRoot() != nullptr && lexer.GetTokenIndex() >= lexer.Commands[0].TokenCount) return true;
  } catch (...) {
  }
  Clear();
  return false;
}
