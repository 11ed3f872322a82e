// The expression parser: TVLMExpression's parse entry points and the
// recursive-descent reading of one lexer statement into a tree of the node
// classes of VLMExpressions.h.
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
#include <array>
#include <charconv>
#include <exception>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMNesting.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"

namespace {

using NodePtr = std::unique_ptr<TVLMExprNode>;

// Deepest parenthesis level a token may stand at. A parenthesis level takes
// at most three recursive productions, each a level of the thread's depth
// count (kVLMMaxNestingLevels), so that limit binds only on nesting without
// parentheses and on subqueries, whose levels add up with these.
constexpr int32_t kMaxNesting = 256;

const char kExtractParts[] = "YEAR or MONTH or DAY or HOUR or MINUTE or SECOND";
const char kRoundingModes[] = "HALFEVEN, HALFPOS, HALFNEG, HALFDOWN, HALFUP, RNDNEG, RNDPOS, RNDDOWN or RNDUP";

// The lexer's operator tokens are words (kind 1) too; they never name a
// field.
bool IsOperatorText(std::string_view text) {
  static constexpr std::array<std::string_view, 12> kOperators = {"=", "<>", ">", "<", ">=", "<=",
                                                                 "+", "-",  "*", "/", "||", "|"};
  for (std::string_view op : kOperators)
    if (text == op) return true;
  return false;
}

// A token that can name a table or a field: a word, a bracketed name, or a
// back-quoted keyword.
bool IsName(const TToken& t) {
  return (t.Kind == tktString && !IsOperatorText(t.Text)) || t.Kind == tktBracketedString ||
         (t.Kind == tktReservedWord && t.KeywordId == VLMNoKeywordId);
}

bool Digits(std::string_view text, size_t at, size_t count, int32_t& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "YYYY-MM-DD" as a host date.
bool ReadDate(std::string_view text, double& date) {
  int32_t y = 0, m = 0, d = 0;
  return text.size() >= 10 && Digits(text, 0, 4, y) && text[4] == '-' && Digits(text, 5, 2, m) && text[7] == '-' &&
         Digits(text, 8, 2, d) && qv::TryEncodeDate(y, m, d, date);
}

// "HH:MM:SS" as a host time.
bool ReadTime(std::string_view text, double& time) {
  int32_t h = 0, n = 0, s = 0;
  return text.size() == 8 && Digits(text, 0, 2, h) && text[2] == ':' && Digits(text, 3, 2, n) && text[5] == ':' &&
         Digits(text, 6, 2, s) && qv::TryEncodeTime(h, n, s, 0, time);
}

NodePtr Constant(const TVLMVariant& value) { return std::make_unique<TVLMExprNodeConst>(value); }

NodePtr NullConstant(TVLMBaseDataType type) { return Constant(TVLMVariant(type)); }

NodePtr Logical(bool value) {
  auto constant = std::make_unique<TVLMExprNodeConst>();
  constant->Result.Clear(bdtLogical);
  constant->Result.SetAsBoolean(value);
  return constant;
}

NodePtr Boolean(uint8_t op, NodePtr child) { return std::make_unique<TVLMExprNodeBoolean>(op, std::move(child)); }

NodePtr Negation(NodePtr child) { return std::make_unique<TVLMExprNodeArithmetic>(kVLMOpNegate, std::move(child)); }

// A constant holding text that ends in '*' (a filter's Name = 'abc*').
bool EndsWithStar(const TVLMExprNodeConst* c) {
  if (c == nullptr || c->Result.IsNull() || !c->Result.IsString()) return false;
  if (c->Result.IsWideString()) {
    const std::u16string text = c->Result.GetAsWideString();
    return !text.empty() && text.back() == u'*';
  }
  const std::string text = c->Result.GetAsString();
  return !text.empty() && text.back() == '*';
}

// A constant a comparison with a field reads loosely: null, text or a date.
bool IsLooseConstant(const TVLMExprNodeConst* c) {
  return c != nullptr && (c->Result.IsNull() || c->Result.IsString() || c->Result.IsDateTime());
}

bool IsNullTextConstant(const TVLMExprNodeConst* c) {
  return c != nullptr && c->Result.IsNull() && (c->Result.IsString() || c->Result.IsDateTime());
}

class TVLMExpressionParser;

// A parse result a production holds. Unless it is taken, it goes back to
// the parser when the production ends without raising (lent trees return
// to their memo entries); while an exception passes it is only freed, as
// the parse is over.
class TPiece {
public:
  TPiece(TVLMExpressionParser& parser, NodePtr node) : Parser_(parser), Node_(std::move(node)) {}
  TPiece(const TPiece&) = delete;
  TPiece& operator=(const TPiece&) = delete;
  ~TPiece();

  explicit operator bool() const { return Node_ != nullptr; }
  TVLMExprNode* get() const { return Node_.get(); }
  NodePtr Take() { return std::move(Node_); }
  // Holds node instead (the old tree must have been taken).
  void Reset(NodePtr node) { Node_ = std::move(node); }
  // Gives the tree back now.
  void Drop();

private:
  TVLMExpressionParser& Parser_;
  NodePtr Node_;
  int Exceptions_ = std::uncaught_exceptions();
};

class TVLMExpressionParser {
public:
  // Starts a parse of lexer's current statement into expression: frees the
  // old tree, keeps the lexer and the query context (and copies its names);
  // a missing lexer or the end of the statement raises endCode.
  TVLMExpressionParser(TVLMExpression& expression, TVLMQueryContext* queryContext, TVLMLexer* lexer,
                       int32_t endCode);

  NodePtr SearchCondition();
  NodePtr ValueExpression();
  NodePtr Subquery(bool singleField, bool singleRow);
  // Frees tree, first giving every lent part of it back to its memo entry.
  void Discard(NodePtr tree);

private:
  // Results remembered for one production, by the token index they start
  // at.
  struct TMemo {
    enum class TState : uint8_t { Failed, Stored, Lent };
    struct TEntry {
      TState State = TState::Failed;
      NodePtr Tree;
      int32_t End = 0;
    };
    std::unordered_map<int32_t, TEntry> Entries;
  };

  // Counts one recursive production while it runs, on the thread's one
  // depth count of nested SQL (VLMNesting.h).
  class TFrame {
  public:
    explicit TFrame(TVLMExpressionParser& parser) { parser.EnterFrame(Level_); }
    TFrame(const TFrame&) = delete;
    TFrame& operator=(const TFrame&) = delete;

  private:
    TVLMNestingLevels Level_;
  };

  // ---- tokens ----
  const TToken& Tok() const { return E_.Token; }
  int32_t Position() const { return E_.Lexer->GetTokenIndex(); }
  void Next() {
    E_.Lexer->GetNextToken(E_.Token);
    AfterMove();
  }
  void Reread() {
    E_.Lexer->GetCurrentToken(E_.Token);
    AfterMove();
  }
  void Restore(int32_t index) {
    E_.Lexer->SetTokenIndexAndGetToken(index, E_.Token);
    AfterMove();
  }
  // Past the end the token is empty and stands at the statement's last
  // token, so that messages name a stable place.
  void AfterMove() {
    if (E_.Token.Kind != tktNone) return;
    E_.Token.KeywordId = VLMNoKeywordId;
    E_.Token.Text.clear();
    E_.Token.Value.reset();
    E_.Token.Line = LastLine_;
    E_.Token.Column = LastColumn_;
  }
  NodePtr Fail(int32_t start) {
    Restore(start);
    return nullptr;
  }
  bool Keyword(uint16_t id) const { return VLMIsReservedWord(Tok(), id); }
  // Consumes the keyword when it stands here.
  bool Accept(uint16_t id) {
    if (!Keyword(id)) return false;
    Next();
    return true;
  }
  bool Is(TVLMTokenKind kind) const { return Tok().Kind == kind; }
  bool Symbol(std::string_view text) const { return Tok().Kind == tktString && Tok().Text == text; }
  bool AdditiveSign() const { return Symbol("+") || Symbol("-"); }
  const TVLMVariant* ParameterValue() const { return Is(tktParameter) ? Tok().Value.get() : nullptr; }
  // A constant of the current parameter token's value that knows the
  // parameter it came from (TVLMExprNodeConst::Source).
  NodePtr ParameterConstant(const TVLMVariant& value) const {
    auto constant = std::make_unique<TVLMExprNodeConst>(value);
    constant->Source = Tok().Source;
    return constant;
  }
  // = 1, <> 2, > 3, < 4, >= 5, <= 6; 0 for any other token.
  uint8_t ComparisonOperator() const;

  // ---- errors ----
  [[noreturn]] void Expected(int32_t code, std::string_view expected) const {
    throw EVLMException(code, "Token '%s' expected, but '%s' found at line %d, column %d",
                        {expected, Tok().Text, Tok().Line, Tok().Column});
  }
  // fmt quotes the token found, then its line and column.
  [[noreturn]] void Found(int32_t code, std::string_view fmt) const {
    throw EVLMException(code, fmt, {Tok().Text, Tok().Line, Tok().Column});
  }
  // fmt quotes the token's line and column.
  [[noreturn]] void At(int32_t code, std::string_view fmt) const {
    throw EVLMException(code, fmt, {Tok().Line, Tok().Column});
  }
  [[noreturn]] void ArgumentMissing(int32_t code, std::string_view function) const {
    throw EVLMException(code, "Argument expected for function '%s' at line %d, column %d",
                        {function, Tok().Line, Tok().Column});
  }
  void Require(TVLMTokenKind kind, int32_t code, std::string_view text) {
    if (!Is(kind)) Expected(code, text);
    Next();
  }

  // ---- nesting and memo ----
  // Parentheses open at token index since the parse began; measured as far
  // as the parse reads, so a parse costs no more than the tokens it reads.
  int32_t DepthAt(int32_t index);
  void CheckDepth() {
    if (DepthAt(Position()) > kMaxNesting) TooDeep();
  }
  // Counted on entry, once the checks passed, so a refused entry leaves the
  // count as it was.
  void EnterFrame(TVLMNestingLevels& level) {
    CheckDepth();
    if (!level.Enter()) TooDeep();
  }
  [[noreturn]] void TooDeep() const {
    throw EVLMException(30693, "Expression nested deeper than %d levels at line %d, column %d",
                        {kMaxNesting, Tok().Line, Tok().Column});
  }
  template <class Parse>
  NodePtr Memoised(TMemo& memo, Parse parse);
  // Moves node back into its memo entry when it is lent; false otherwise.
  bool Return(NodePtr& node);
  // node, lent to this production, is changed and stays with it.
  void Keep(const TVLMExprNode* node) { Lent_.erase(node); }

  // What read reads here; nothing raises missing, naming the function.
  NodePtr Argument(NodePtr (TVLMExpressionParser::*read)(), int32_t missing, std::string_view function) {
    NodePtr argument = (this->*read)();
    if (!argument) ArgumentMissing(missing, function);
    return argument;
  }
  // '(' what read reads ')', or nothing (and the position kept).
  NodePtr InParentheses(NodePtr (TVLMExpressionParser::*read)());
  // After a function's keyword: '(' argument ')', the argument read by read;
  // a missing '(' raises open, a missing argument missing (naming the
  // function), a missing ')' close.
  NodePtr Call(NodePtr (TVLMExpressionParser::*read)(), int32_t open, int32_t missing, std::string_view function,
               int32_t close);

  // ---- conditions ----
  NodePtr AndCondition();
  NodePtr NotCondition();
  NodePtr IsTest();
  NodePtr BooleanPrimary();
  NodePtr Predicate();
  NodePtr Quantified();
  NodePtr Comparison();
  NodePtr Like();
  NodePtr IsNullTest();
  NodePtr Between();
  NodePtr In();
  NodePtr Exists();
  NodePtr RowValue();
  // The start of "row-value [NOT] keyword": the row value when the keyword
  // follows it (consumed; negated tells NOT), else nothing and the position
  // kept.
  NodePtr ValueBefore(uint16_t keyword, bool& negated);

  // ---- values ----
  NodePtr ValueAlternatives();
  NodePtr Additive();
  NodePtr Term();
  NodePtr Unary();
  NodePtr NumericPrimary();
  NodePtr Factor();
  NodePtr Literal();
  NodePtr DateLiteral();
  NodePtr FieldReference();
  NodePtr Aggregate();
  NodePtr Case();
  NodePtr Coalesce();
  NodePtr Cast();
  NodePtr NumericFunction();
  NodePtr OneArgumentFunction(uint8_t op);
  NodePtr PositionFunction();
  NodePtr Extract();
  NodePtr LengthFunction();
  NodePtr LastAutoinc();
  NodePtr Power();
  NodePtr Round();
  NodePtr DateArithmetic();
  NodePtr StringExpression();
  NodePtr StringFactor();
  NodePtr StringFunction();
  NodePtr TextFunction(uint8_t op, const char* name);
  NodePtr Substring();
  NodePtr ToStringFunction();
  NodePtr DatePrimary();
  NodePtr ToDate();
  NodePtr MimeToBin();
  NodePtr ReadSubquery();
  // The text of a table or field name; 30063 at the end, 30064 for a token
  // that names nothing.
  std::string ReadName();

  TVLMExpression& E_;
  // The statement's tokens (nullptr without a current statement), the index
  // the parse began at, and the depth at each token from there on.
  const std::vector<TToken>* Tokens_ = nullptr;
  int32_t Start_ = 0;
  std::vector<int32_t> Depth_;
  int32_t LastLine_ = 0;
  int32_t LastColumn_ = 0;
  TMemo Values_;
  TMemo Subqueries_;
  // Trees handed out of a memo: their entry.
  std::unordered_map<const TVLMExprNode*, std::pair<TMemo*, int32_t>> Lent_;
};

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

uint8_t TVLMExpressionParser::ComparisonOperator() const {
  if (!Is(tktString)) return 0;
  const std::string& t = Tok().Text;
  if (t == "=") return kVLMOpEqual;
  if (t == "<>") return kVLMOpNotEqual;
  if (t == ">") return kVLMOpGreater;
  if (t == "<") return kVLMOpLess;
  if (t == ">=") return kVLMOpGreaterEqual;
  if (t == "<=") return kVLMOpLessEqual;
  return 0;
}

// ------------------------------------------------------------------- memo

template <class Parse>
NodePtr TVLMExpressionParser::Memoised(TMemo& memo, Parse parse) {
  const int32_t start = Position();
  if (auto it = memo.Entries.find(start); it != memo.Entries.end()) {
    TMemo::TEntry& entry = it->second;
    if (entry.State == TMemo::TState::Failed) return nullptr;
    if (entry.State == TMemo::TState::Stored) {
      NodePtr tree = std::move(entry.Tree);
      entry.State = TMemo::TState::Lent;
      Lent_[tree.get()] = {&memo, start};
      Restore(entry.End);
      return tree;
    }
    // Lent and not given back: read again.
  }
  NodePtr tree = parse();
  TMemo::TEntry& entry = memo.Entries[start];
  if (!tree) {
    entry.State = TMemo::TState::Failed;
    Restore(start);
    return nullptr;
  }
  entry.State = TMemo::TState::Lent;
  entry.End = Position();
  Lent_[tree.get()] = {&memo, start};
  return tree;
}

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

// ------------------------------------------------------------- conditions

NodePtr TVLMExpressionParser::SearchCondition() {
  TFrame frame(*this);
  NodePtr first = AndCondition();
  if (!first || !Keyword(kwOR)) return first;
  // One OR node over the whole chain, as for AND: the node evaluates its
  // operands in one loop, so a list of any length needs no stack.
  auto node = std::make_unique<TVLMExprNodeBoolean>(kVLMOpOr);
  node->AddChild(std::move(first));
  while (Keyword(kwOR)) {
    Next();
    NodePtr operand = AndCondition();
    if (!operand) Found(30070, "Boolean expression expected, but '%s' found at line %d, column %d");
    node->AddChild(std::move(operand));
  }
  return node;
}

NodePtr TVLMExpressionParser::AndCondition() {
  NodePtr first = NotCondition();
  if (!first || !Keyword(kwAND)) return first;
  auto node = std::make_unique<TVLMExprNodeBoolean>(kVLMOpAnd);
  node->AddChild(std::move(first));
  while (Keyword(kwAND)) {
    Next();
    NodePtr operand = NotCondition();
    if (!operand) Found(30069, "Boolean expression expected, but '%s' found at line %d, column %d");
    node->AddChild(std::move(operand));
  }
  return node;
}

NodePtr TVLMExpressionParser::NotCondition() {
  if (!Keyword(kwNOT)) return IsTest();
  const int32_t start = Position();
  Next();
  NodePtr operand = IsTest();
  if (!operand) return Fail(start);
  return Boolean(kVLMOpNot, std::move(operand));
}

NodePtr TVLMExpressionParser::IsTest() {
  NodePtr operand = BooleanPrimary();
  if (!operand || !Keyword(kwIS)) return operand;
  Next();
  const bool negated = Accept(kwNOT);
  if (Keyword(kwTRUE) || Keyword(kwFALSE)) {
    // IS TRUE and IS NOT FALSE keep the operand; the others negate it.
    const bool keep = Keyword(kwTRUE) != negated;
    Next();
    return keep ? std::move(operand) : Boolean(kVLMOpNot, std::move(operand));
  }
  if (!Keyword(kwUNKNOWN)) Expected(30067, "TRUE, FALSE or UNKNOWN");
  Next();
  return Boolean(negated ? kVLMOpIsNotNull : kVLMOpIsNull, std::move(operand));
}

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

NodePtr TVLMExpressionParser::Call(NodePtr (TVLMExpressionParser::*read)(), int32_t open, int32_t missing,
                                   std::string_view function, int32_t close) {
  Next();
  Require(tktLeftParenthesis, open, "(");
  NodePtr argument = Argument(read, missing, function);
  Require(tktRightParenthesis, close, ")");
  return argument;
}

NodePtr TVLMExpressionParser::BooleanPrimary() {
  if (NodePtr predicate = Predicate()) return predicate;
  if (NodePtr condition = InParentheses(&TVLMExpressionParser::SearchCondition)) return condition;
  return RowValue();
}

NodePtr TVLMExpressionParser::Predicate() {
  if (Keyword(kwTRUE) || Keyword(kwFALSE)) {
    const bool value = Keyword(kwTRUE);
    Next();
    return Logical(value);
  }
  if (const TVLMVariant* parameter = ParameterValue(); parameter != nullptr && parameter->DataType == bdtLogical) {
    NodePtr constant = ParameterConstant(*parameter);
    Next();
    return constant;
  }
  for (auto alternative : {&TVLMExpressionParser::Quantified, &TVLMExpressionParser::Comparison,
                           &TVLMExpressionParser::Like, &TVLMExpressionParser::IsNullTest,
                           &TVLMExpressionParser::Between, &TVLMExpressionParser::In, &TVLMExpressionParser::Exists})
    if (NodePtr node = (this->*alternative)()) return node;
  return nullptr;
}

NodePtr TVLMExpressionParser::Quantified() {
  const int32_t start = Position();
  TPiece left(*this, RowValue());
  if (!left) return nullptr;
  const uint8_t op = ComparisonOperator();
  if (op == 0) return Fail(start);
  Next();
  uint8_t quantifier = kVLMQuantifierNone;
  if (Keyword(kwALL))
    quantifier = kVLMQuantifierAll;
  else if (Keyword(kwANY) || Keyword(kwSOME))
    quantifier = kVLMQuantifierAny;
  else
    return Fail(start);
  Next();
  NodePtr subquery = Subquery(true, false);
  if (!subquery) return Fail(start);
  return std::make_unique<TVLMExprNodeComparison>(op, E_.CaseInsensitive, E_.PartialCompare, E_.NullSemantics,
                                                  left.Take(), std::move(subquery), quantifier);
}

NodePtr TVLMExpressionParser::Comparison() {
  const int32_t start = Position();
  TPiece left(*this, RowValue());
  if (!left) return nullptr;
  const uint8_t op = ComparisonOperator();
  if (op == 0) return Fail(start);
  Next();
  TPiece right(*this, RowValue());
  if (!right) return Fail(start);

  // The filter syntax Name = 'abc*': with partial compare a trailing '*'
  // asks for a prefix.
  bool prefixOnly = false;
  if (E_.PartialCompare) {
    for (TVLMExprNode* operand : {left.get(), right.get()}) {
      auto* constant = dynamic_cast<TVLMExprNodeConst*>(operand);
      if (!EndsWithStar(constant)) continue;
      Keep(constant);
      constant->RemoveLastChar();
      prefixOnly = true;
    }
  }
  auto* leftField = dynamic_cast<TVLMExprNodeField*>(left.get());
  auto* rightField = dynamic_cast<TVLMExprNodeField*>(right.get());
  auto* leftConst = dynamic_cast<TVLMExprNodeConst*>(left.get());
  auto* rightConst = dynamic_cast<TVLMExprNodeConst*>(right.get());
  // A field against an empty text (or a null text or date) is a null test.
  if (op == kVLMOpEqual || op == kVLMOpNotEqual) {
    const uint8_t test = op == kVLMOpEqual ? kVLMOpIsNull : kVLMOpIsNotNull;
    if (leftField != nullptr && IsNullTextConstant(rightConst)) {
      right.Drop();
      return Boolean(test, left.Take());
    }
    if (rightField != nullptr && IsNullTextConstant(leftConst)) {
      left.Drop();
      return Boolean(test, right.Take());
    }
  }
  // Text, dates and nulls against fields, and text against anything null,
  // compare with null as the lowest value rather than as unknown.
  bool nullStrict = true;
  if ((leftField != nullptr && IsLooseConstant(rightConst)) || (rightField != nullptr && IsLooseConstant(leftConst)))
    nullStrict = false;
  // While parsing only a constant has a value; every other node counts as
  // null.
  const bool leftText = leftConst != nullptr && leftConst->Result.IsString();
  const bool rightText = rightConst != nullptr && rightConst->Result.IsString();
  const bool leftNull = leftConst == nullptr || leftConst->Result.IsNull();
  const bool rightNull = rightConst == nullptr || rightConst->Result.IsNull();
  if ((leftText && rightNull) || (rightText && leftNull)) nullStrict = false;
  return std::make_unique<TVLMExprNodeComparison>(op, E_.CaseInsensitive, prefixOnly, nullStrict, left.Take(),
                                                  right.Take());
}

NodePtr TVLMExpressionParser::Like() {
  const int32_t start = Position();
  bool negated = false;
  TPiece value(*this, ValueBefore(kwLIKE, negated));
  if (!value) return nullptr;
  TPiece pattern(*this, RowValue());
  if (!pattern) return Fail(start);
  std::string escape;
  const bool hasEscape = Keyword(kwESCAPE);
  if (hasEscape) {
    Next();
    const TVLMVariant* parameter = ParameterValue();
    if (parameter != nullptr) E_.Lexer->NoteShapingParameter(Tok().Source);
    escape = parameter != nullptr ? parameter->GetAsString() : Tok().Text;
    if (escape.size() != 1)
      At(20294, "Invalid escape character length (should be a single character) at line %d, column %d");
    Next();
  }
  // LIKE 'abc%' is a prefix comparison, which the index search can use.
  auto* constant = dynamic_cast<TVLMExprNodeConst*>(pattern.get());
  if (!hasEscape && constant != nullptr && constant->IsPrefixPattern()) {
    Keep(constant);
    constant->RemoveLastChar();
    return std::make_unique<TVLMExprNodeComparison>(negated ? kVLMOpNotEqual : kVLMOpEqual, E_.CaseInsensitive, true,
                                                    false, value.Take(), pattern.Take());
  }
  auto node =
      std::make_unique<TVLMExprNodeBoolean>(negated ? kVLMOpNotLike : kVLMOpLike, escape, false, E_.CaseInsensitive);
  node->AddChild(value.Take());
  node->AddChild(pattern.Take());
  return node;
}

NodePtr TVLMExpressionParser::ValueBefore(uint16_t keyword, bool& negated) {
  const int32_t start = Position();
  TPiece value(*this, RowValue());
  if (!value) return nullptr;
  negated = Accept(kwNOT);
  if (!Accept(keyword)) return Fail(start);
  return value.Take();
}

NodePtr TVLMExpressionParser::IsNullTest() {
  const int32_t start = Position();
  TPiece value(*this, RowValue());
  if (!value) return nullptr;
  if (!Accept(kwIS)) return Fail(start);
  const bool negated = Accept(kwNOT);
  if (!Accept(kwNULL)) return Fail(start);
  return Boolean(negated ? kVLMOpIsNotNull : kVLMOpIsNull, value.Take());
}

NodePtr TVLMExpressionParser::Between() {
  const int32_t start = Position();
  bool negated = false;
  TPiece value(*this, ValueBefore(kwBETWEEN, negated));
  if (!value) return nullptr;
  TPiece low(*this, RowValue());
  if (!low || !Accept(kwAND)) return Fail(start);
  TPiece high(*this, RowValue());
  if (!high) return Fail(start);
  return std::make_unique<TVLMExprNodeBoolean>(negated ? kVLMOpNotBetween : kVLMOpBetween, value.Take(), low.Take(),
                                               high.Take());
}

NodePtr TVLMExpressionParser::In() {
  const int32_t start = Position();
  bool negated = false;
  TPiece value(*this, ValueBefore(kwIN, negated));
  if (!value) return nullptr;
  if (!Is(tktLeftParenthesis)) return Fail(start);
  Next();
  TPiece node(*this, std::make_unique<TVLMExprNodeBoolean>(negated ? kVLMOpNotIn : kVLMOpIn, value.Take()));
  if (Keyword(kwSELECT)) {
    NodePtr subquery = Subquery(true, false);
    if (!subquery) return Fail(start);
    node.get()->AddChild(std::move(subquery));
    if (Is(tktRightParenthesis)) Next();
    return node.Take();
  }
  while (true) {
    NodePtr item = ValueExpression();
    if (!item) return Fail(start);
    node.get()->AddChild(std::move(item));
    if (Is(tktComma)) {
      Next();
    } else if (Is(tktRightParenthesis)) {
      Next();
      return node.Take();
    } else {
      return Fail(start);
    }
  }
}

NodePtr TVLMExpressionParser::Exists() {
  if (!Keyword(kwEXISTS)) return nullptr;
  const int32_t start = Position();
  Next();
  int32_t opened = 0;
  for (; Is(tktLeftParenthesis); ++opened) {
    Next();
    CheckDepth();
  }
  NodePtr subquery = Subquery(false, false);
  if (!subquery) return Fail(start);
  for (; opened > 0; --opened) {
    if (!Is(tktRightParenthesis)) At(30492, "Missing symbol ')' at line %d, column %d");
    Next();
  }
  return Boolean(kVLMOpExists, std::move(subquery));
}

NodePtr TVLMExpressionParser::RowValue() {
  if (NodePtr subquery = Subquery(true, true)) return subquery;
  if (Keyword(kwNULL)) {
    Next();
    return NullConstant(bdtInteger);
  }
  return ValueExpression();
}

// ----------------------------------------------------------------- values

NodePtr TVLMExpressionParser::ValueExpression() {
  return Memoised(Values_, [this] { return ValueAlternatives(); });
}

NodePtr TVLMExpressionParser::ValueAlternatives() {
  TFrame frame(*this);
  if (NodePtr n = Additive()) return n;
  if (NodePtr n = DateArithmetic()) return n;
  if (Keyword(kwTRUE) || Keyword(kwFALSE)) {
    const bool value = Keyword(kwTRUE);
    Next();
    return Logical(value);
  }
  if (const TVLMVariant* parameter = ParameterValue()) {
    if (parameter->DataType == bdtLogical || parameter->IsNull()) {
      // A null value keeps the parameter's type (an untyped one is an
      // integer, as the literal NULL).
      NodePtr constant = parameter->DataType == bdtUnknown ? NullConstant(bdtInteger) : ParameterConstant(*parameter);
      Next();
      return constant;
    }
  }
  if (Keyword(kwNULL)) {
    Next();
    return NullConstant(bdtInteger);
  }
  if (Keyword(kwMIMETOBIN)) return MimeToBin();
  return nullptr;
}

NodePtr TVLMExpressionParser::Additive() {
  TFrame frame(*this);
  const int32_t start = Position();
  TPiece sum(*this, Term());
  if (!sum) return nullptr;
  if (AdditiveSign()) {
    sum.Reset(std::make_unique<TVLMExprNodeArithmetic>(kVLMOpAdd, sum.Take()));
    // Each later term reads its own sign: a - b is a + (-b).
    while (AdditiveSign()) {
      NodePtr term = Term();
      if (!term) return Fail(start);
      sum.get()->AddChild(std::move(term));
    }
  }
  // Text concatenation takes the whole.
  if (Symbol("||")) return Fail(start);
  return sum.Take();
}

NodePtr TVLMExpressionParser::Term() {
  NodePtr result = Unary();
  if (!result) return nullptr;
  // A run of one operator is one node (a * b * c multiplies its children,
  // a / b / c divides the first by each later one). Each change of operator
  // nests the term so far one level deeper; those levels are bounded as
  // parentheses are, so evaluating the tree cannot run the stack out.
  TVLMExprNode* run = nullptr;
  int32_t levels = 0;
  while (Symbol("*") || Symbol("/")) {
    const uint8_t op = Symbol("*") ? kVLMOpMultiply : kVLMOpDivide;
    const std::string symbol = Tok().Text;
    Next();
    NodePtr operand = Unary();
    if (!operand)
      throw EVLMException(30690, "Operand expected after '%s', but '%s' found at line %d, column %d",
                          {symbol, Tok().Text, Tok().Line, Tok().Column});
    if (run == nullptr || run->Operator != op) {
      if (++levels > kMaxNesting) TooDeep();
      result = std::make_unique<TVLMExprNodeArithmetic>(op, std::move(result));
      run = result.get();
    }
    run->AddChild(std::move(operand));
  }
  return result;
}

NodePtr TVLMExpressionParser::Unary() {
  if (!AdditiveSign()) return NumericPrimary();
  const int32_t start = Position();
  const bool negative = Symbol("-");
  Next();
  NodePtr primary = NumericPrimary();
  if (!primary) return Fail(start);
  return negative ? Negation(std::move(primary)) : std::move(primary);
}

NodePtr TVLMExpressionParser::NumericPrimary() {
  const int32_t start = Position();
  TPiece factor(*this, Factor());
  if (factor) {
    // Text belongs to the later alternatives (concatenation). A DATE, TIME
    // or TIMESTAMP literal is a value of arithmetic, as a CAST to its type
    // is: DATE '2024-05-01' + 1 is the next day.
    auto* constant = dynamic_cast<TVLMExprNodeConst*>(factor.get());
    if (constant == nullptr || VLMIsNumericBaseType(constant->Result.DataType) || constant->Result.IsDateTime())
      return factor.Take();
    factor.Drop();
    Restore(start);
  }
  return NumericFunction();
}

NodePtr TVLMExpressionParser::Factor() {
  if (NodePtr n = Literal()) return n;
  if (NodePtr n = FieldReference()) return n;
  if (NodePtr n = Aggregate()) return n;
  if (NodePtr n = Subquery(true, false)) return n;
  if (Keyword(kwCASE)) return Case();
  if (Keyword(kwCOALESCE)) return Coalesce();
  // Without its ')' the reading fails and CAST is tried.
  if (NodePtr value = InParentheses(&TVLMExpressionParser::ValueExpression)) return value;
  return Cast();
}

NodePtr TVLMExpressionParser::Literal() {
  const TToken& t = Tok();
  NodePtr constant;
  switch (t.Kind) {
    case tktInt: {
      // Through a 64-bit value; below 2^31 - 1 a 32-bit integer. Digits
      // that do not fit take the cast's way and its error.
      int64_t n = 0;
      const char* end = t.Text.data() + t.Text.size();
      if (const auto read = std::from_chars(t.Text.data(), end, n); read.ec != std::errc() || read.ptr != end) {
        TVLMVariant number(bdtString);
        number.SetAsString(t.Text);
        number.CastTo(bdtLargeInt);
        n = number.GetAsLargeInt();
      }
      auto value = std::make_unique<TVLMExprNodeConst>();
      value->Result.Clear(n < 2147483647 ? bdtInteger : bdtLargeInt);
      if (n < 2147483647)
        value->Result.SetAsInteger(static_cast<int32_t>(n));
      else
        value->Result.SetAsLargeInt(n);
      constant = std::move(value);
      break;
    }
    case tktFloat: {
      TVLMVariant value(bdtString);
      value.SetAsString(t.Text);
      value.CastTo(bdtFloat);
      constant = Constant(value);
      break;
    }
    case tktQuotedString: {
      TVLMVariant value(bdtString);
      value.SetAsString(t.Text);
      constant = Constant(value);
      break;
    }
    case tktParameter: {
      const TVLMBaseDataType type = t.Value ? t.Value->DataType : bdtUnknown;
      if (!VLMIsNumericBaseType(type) && !VLMIsStringBaseType(type) && !VLMIsBLOBBaseType(type)) return nullptr;
      constant = ParameterConstant(*t.Value);
      break;
    }
    case tktReservedWord:
      if (Keyword(kwDATE) || Keyword(kwTIME) || Keyword(kwTIMESTAMP)) return DateLiteral();
      return nullptr;
    default: return nullptr;
  }
  Next();
  return constant;
}

NodePtr TVLMExpressionParser::DateLiteral() {
  const uint16_t kind = Tok().KeywordId;
  Next();
  if (!Is(tktQuotedString)) {
    if (kind == kwDATE) Found(20283, "Date string expected \"YYYY-MM-DD\", but found \"%s\" at line %d, column %d");
    Found(kind == kwTIME ? 20285 : 20287, "Time string expected \"HH:MM:SS\", but found \"%s\" at line %d, column %d");
  }
  const std::string& text = Tok().Text;
  double date = 0;
  double time = 0;
  TVLMVariant value;
  if (kind == kwDATE) {
    if (text.size() != 10 || !ReadDate(text, date)) Expected(20284, "YYYY-MM-DD");
    value.Clear(bdtDate);
    value.SetAsTDate(date);
  } else if (kind == kwTIME) {
    if (!ReadTime(text, time)) Expected(20286, "HH:MM:SS");
    value.Clear(bdtTime);
    value.SetAsTTime(time);
  } else {
    if (text.size() != 19 || !ReadDate(text, date) || text[10] != ' ' || !ReadTime(text.substr(11), time))
      Expected(20288, "YYYY-MM-DD");
    value.Clear(bdtDateTime);
    value.SetAsTDateTime(date + time);
  }
  Next();
  return Constant(value);
}

NodePtr TVLMExpressionParser::FieldReference() {
  if (!IsName(Tok())) return nullptr;
  TToken ahead;
  E_.Lexer->LookAhead(ahead);
  // A name before '(' calls a function.
  if (ahead.Kind == tktLeftParenthesis) return nullptr;
  const int32_t start = Position();
  std::string table;
  std::string field = Tok().Text;
  Next();
  if (Is(tktDot)) {
    Next();
    if (!IsName(Tok()) && !Is(tktReservedWord)) return Fail(start);
    table = std::move(field);
    field = Tok().Text;
    Next();
  }
  return std::make_unique<TVLMExprNodeField>(E_.Cursor, std::move(table), std::move(field));
}

NodePtr TVLMExpressionParser::Aggregate() {
  static const std::array<std::pair<uint16_t, uint8_t>, 5> kAggregates = {
      {{kwCOUNT, kVLMOpCount}, {kwAVG, kVLMOpAvg}, {kwMAX, kVLMOpMax}, {kwMIN, kVLMOpMin}, {kwSUM, kVLMOpSum}}};
  uint8_t op = 0;
  for (const auto& [keyword, code] : kAggregates)
    if (Keyword(keyword)) op = code;
  if (op == 0) return nullptr;
  const std::string name(VLMSQLKeywords[Tok().KeywordId]);
  Next();
  Require(tktLeftParenthesis, 30074, "(");
  if (op == kVLMOpCount && Symbol("*")) {
    Next();
    Require(tktRightParenthesis, 30073, ")");
    return std::make_unique<TVLMExprNodeAggregated>(kVLMOpCountAll);
  }
  const bool distinct = Keyword(kwDISTINCT);
  if (distinct) Next();
  NodePtr argument = Argument(&TVLMExpressionParser::ValueExpression, 30102, name);
  Require(tktRightParenthesis, 30075, ")");
  return std::make_unique<TVLMExprNodeAggregated>(op, std::move(argument), distinct);
}

NodePtr TVLMExpressionParser::Case() {
  // The codes of the searched (CASE WHEN ...) and the simple (CASE x WHEN
  // ...) form.
  struct TCaseErrors {
    int32_t When, Condition, Then, Result, Else, End;
    const char* ConditionText;
  };
  static const TCaseErrors kSearched = {
      30473, 30474, 30475, 30476, 30477, 30478,
      "Search Condition for CASE function expected, but '%s' found at line %d, column %d"};
  static const TCaseErrors kSimple = {
      30468, 30469, 30470, 30469, 30471, 30472,
      "When Expression for CASE function expected, but '%s' found at line %d, column %d"};
  Next();
  const bool searched = Keyword(kwWHEN);
  const TCaseErrors& errors = searched ? kSearched : kSimple;
  NodePtr operand;
  if (!searched) {
    operand = ValueExpression();
    if (!operand) Found(30467, "Input expression for CASE function expected, but '%s' found at line %d, column %d");
  }
  auto node = std::make_unique<TVLMExprNodeCase>(std::move(operand));
  if (!Keyword(kwWHEN)) Expected(errors.When, "WHEN");
  do {
    Next();
    NodePtr when = searched ? SearchCondition() : ValueExpression();
    if (!when) Found(errors.Condition, errors.ConditionText);
    if (!Keyword(kwTHEN)) Expected(errors.Then, "THEN");
    Next();
    NodePtr result = ValueExpression();
    if (!result)
      Found(errors.Result, "When Expression for CASE function expected, but '%s' found at line %d, column %d");
    node->AddWhen(std::move(when));
    node->AddThen(std::move(result));
  } while (Keyword(kwWHEN));
  if (Keyword(kwELSE)) {
    Next();
    NodePtr otherwise = ValueExpression();
    if (!otherwise)
      Found(errors.Else, "'Else Result Expression' for CASE function expected, but '%s' found at line %d, column %d");
    node->SetElse(std::move(otherwise));
  }
  if (!Keyword(kwEND)) Expected(errors.End, "END");
  Next();
  return node;
}

NodePtr TVLMExpressionParser::Coalesce() {
  Next();
  Require(tktLeftParenthesis, 20275, "(");
  if (Is(tktRightParenthesis)) At(20276, "COALESCE arguments are missing at line %d, column %d");
  std::vector<NodePtr> arguments;
  while (true) {
    NodePtr argument = ValueExpression();
    if (!argument) Found(30691, "Argument expected for function 'COALESCE', but '%s' found at line %d, column %d");
    arguments.push_back(std::move(argument));
    if (Is(tktComma)) {
      Next();
      continue;
    }
    Require(tktRightParenthesis, 30692, ",' or ')");
    return std::make_unique<TVLMExprNodeCase>(std::move(arguments));
  }
}

NodePtr TVLMExpressionParser::Cast() {
  if (!Keyword(kwCAST)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 30696, "(");
  NodePtr operand;
  if (Keyword(kwNULL)) {
    Next();
    operand = NullConstant(bdtInteger);
  } else {
    operand = ValueExpression();
  }
  if (!operand) ArgumentMissing(30697, "CAST");
  if (!Keyword(kwAS) && !Is(tktComma)) Expected(30698, "AS");
  Next();
  const std::string typeName = Tok().Text;
  const TVLMDataType type = Is(tktNone) ? 0 : VLMSQLTypeByName(typeName);
  if (!VLMIsCastableDataType(type))
    throw EVLMException(30077, "Cannot convert an expression to specified type: '%s'", {typeName});
  Next();
  NodePtr length;
  if (Is(tktLeftParenthesis)) {
    Next();
    length = Additive();
    if (!length) ArgumentMissing(30699, "CAST");
    Require(tktRightParenthesis, 30465, ")");
  }
  Require(tktRightParenthesis, 30076, ")");
  return std::make_unique<TVLMExprNodeCast>(std::move(operand), std::move(length), type);
}

// ------------------------------------------------------- numeric functions

NodePtr TVLMExpressionParser::NumericFunction() {
  if (!Is(tktReservedWord)) return nullptr;
  const uint16_t id = Tok().KeywordId;
  switch (id) {
    case kwPOSITION:
    case kwPOS: return PositionFunction();
    case kwEXTRACT: return Extract();
    case kwLENGTH: return LengthFunction();
    case kwLASTAUTOINC: return LastAutoinc();
    case kwROWNUM: Next(); return std::make_unique<TVLMExprNodeSystem>(kVLMOpRowNum);
    case kwPOWER: return Power();
    case kwROUND: return Round();
    default:
      // ABS ... SQRT lie in keyword order, as their operator codes do.
      if (id >= kwABS && id <= kwSQRT) return OneArgumentFunction(static_cast<uint8_t>(kVLMOpAbs + (id - kwABS)));
      return nullptr;
  }
}

NodePtr TVLMExpressionParser::OneArgumentFunction(uint8_t op) {
  const std::string name(VLMSQLKeywords[Tok().KeywordId]);
  return std::make_unique<TVLMExprNodeArithmetic>(op, Call(&TVLMExpressionParser::Additive, 20261, 20262, name, 20263));
}

NodePtr TVLMExpressionParser::PositionFunction() {
  Next();
  Require(tktLeftParenthesis, 30078, "(");
  NodePtr needle = Argument(&TVLMExpressionParser::StringExpression, 30079, "POS");
  if (!Is(tktComma) && !Keyword(kwIN)) Expected(30080, ",' or 'IN");
  Next();
  NodePtr text = Argument(&TVLMExpressionParser::StringExpression, 30081, "POS");
  Require(tktRightParenthesis, 30082, ")");
  return std::make_unique<TVLMExprNodeStringFunction>(kVLMOpPos, std::move(needle), std::move(text));
}

NodePtr TVLMExpressionParser::Extract() {
  Next();
  Require(tktLeftParenthesis, 20277, "(");
  if (!Is(tktReservedWord)) Expected(20278, kExtractParts);
  static const std::array<uint16_t, 6> kParts = {kwYEAR, kwMONTH, kwDAY, kwHOUR, kwMINUTE, kwSECOND};
  uint8_t part = 0;
  while (part < kParts.size() && !Keyword(kParts[part])) ++part;
  if (part == kParts.size()) Expected(20279, kExtractParts);
  Next();
  if (!Keyword(kwFROM)) Expected(20280, "FROM");
  Next();
  NodePtr argument = Argument(&TVLMExpressionParser::Factor, 20281, "EXTRACT (... FROM ...)");
  Require(tktRightParenthesis, 20282, ")");
  return std::make_unique<TVLMExprNodeDateFunction>(kVLMOpExtract, std::move(argument), part);
}

NodePtr TVLMExpressionParser::LengthFunction() {
  return std::make_unique<TVLMExprNodeStringFunction>(
      kVLMOpLength, Call(&TVLMExpressionParser::StringExpression, 30083, 30085, "LENGTH", 30084));
}

std::string TVLMExpressionParser::ReadName() {
  if (Is(tktNone)) At(30063, "Unexpected end of SQL command found at line %d, column %d");
  if (!IsName(Tok()) && !Is(tktQuotedString) && !Is(tktReservedWord))
    Found(30064, "Unexpected token '%s' found at line %d, column %d");
  std::string name = Tok().Text;
  Next();
  return name;
}

NodePtr TVLMExpressionParser::LastAutoinc() {
  Next();
  Require(tktLeftParenthesis, 30086, "(");
  std::string table = ReadName();
  const bool inMemory = Keyword(kwMEMORY);
  if (inMemory) Next();
  Require(tktComma, 30334, ",");
  std::string field = ReadName();
  Require(tktRightParenthesis, 30089, ")");
  return std::make_unique<TVLMExprNodeSystem>(kVLMOpLastAutoinc, inMemory, std::move(table), std::move(field),
                                              E_.QueryName1, E_.QueryName2);
}

NodePtr TVLMExpressionParser::Power() {
  Next();
  Require(tktLeftParenthesis, 20264, "(");
  NodePtr base = Argument(&TVLMExpressionParser::Additive, 20265, "POWER");
  if (!Is(tktComma)) At(20267, "comma (\",\") expected but not found at line %d, column %d");
  Next();
  NodePtr exponent = Argument(&TVLMExpressionParser::Additive, 20268, "POWER");
  Require(tktRightParenthesis, 20266, ")");
  return std::make_unique<TVLMExprNodeArithmetic>(kVLMOpPower, std::move(base), std::move(exponent));
}

NodePtr TVLMExpressionParser::Round() {
  Next();
  Require(tktLeftParenthesis, 30502, "(");
  NodePtr value = Argument(&TVLMExpressionParser::Additive, 30503, "ROUND");
  auto node = std::make_unique<TVLMExprNodeArithmetic>(kVLMOpRound, std::move(value));
  if (Is(tktComma)) {
    Next();
    NodePtr digits = Argument(&TVLMExpressionParser::Additive, 30504, "ROUND");
    node->AddChild(std::move(digits));
    if (Is(tktComma)) {
      Next();
      // Any reserved word: its keyword id selects the mode, and a word that
      // names none rounds not at all.
      if (!VLMIsReservedWord(Tok(), VLMNoKeywordId)) Expected(30505, kRoundingModes);
      TVLMVariant mode(bdtInteger);
      mode.SetAsInteger(Tok().KeywordId);
      node->AddChild(Constant(mode));
      Next();
    }
  }
  Require(tktRightParenthesis, 30506, ")");
  return node;
}

// ------------------------------------------------------------ text and dates

NodePtr TVLMExpressionParser::DateArithmetic() {
  TPiece date(*this, DatePrimary());
  if (date) {
    if (!AdditiveSign()) return date.Take();
    const int32_t signAt = Position();
    const bool minus = Symbol("-");
    Next();
    NodePtr value = ValueExpression();
    if (!value) {
      Restore(signAt);
      return date.Take();
    }
    auto sum = std::make_unique<TVLMExprNodeArithmetic>(kVLMOpAdd, date.Take());
    sum->AddChild(minus ? Negation(std::move(value))
                        : std::make_unique<TVLMExprNodeArithmetic>(kVLMOpAdd, std::move(value)));
    return sum;
  }
  TPiece text(*this, StringExpression());
  if (!text || !Symbol("-")) return text.Take();
  const int32_t signAt = Position();
  Next();
  NodePtr subtrahend = DatePrimary();
  if (!subtrahend) {
    Restore(signAt);
    return text.Take();
  }
  return std::make_unique<TVLMExprNodeArithmetic>(kVLMOpAdd, text.Take(), Negation(std::move(subtrahend)));
}

NodePtr TVLMExpressionParser::StringExpression() {
  TFrame frame(*this);
  const int32_t start = Position();
  TPiece result(*this, StringFactor());
  if (!result || (!Symbol("||") && !Symbol("+"))) return result.Take();
  result.Reset(std::make_unique<TVLMExprNodeStringFunction>(kVLMOpConcat, result.Take()));
  while (Symbol("||") || Symbol("+")) {
    Next();
    NodePtr factor = StringFactor();
    if (!factor) return Fail(start);
    result.get()->AddChild(std::move(factor));
  }
  return result.Take();
}

NodePtr TVLMExpressionParser::StringFactor() {
  if (NodePtr n = Factor()) return n;
  if (NodePtr n = StringFunction()) return n;
  return DatePrimary();
}

NodePtr TVLMExpressionParser::StringFunction() {
  if (!Is(tktReservedWord)) return nullptr;
  switch (Tok().KeywordId) {
    case kwUPPER: return TextFunction(kVLMOpUpper, "UPPER");
    case kwLOWER: return TextFunction(kVLMOpLower, "LOWER");
    case kwTRIM: return TextFunction(kVLMOpTrim, "TRIM");
    case kwLTRIM: return TextFunction(kVLMOpLTrim, "LTRIM");
    case kwRTRIM: return TextFunction(kVLMOpRTrim, "RTRIM");
    case kwSUBSTRING: return Substring();
    case kwTOSTRING: return ToStringFunction();
    default: return nullptr;
  }
}

NodePtr TVLMExpressionParser::TextFunction(uint8_t op, const char* name) {
  Next();
  Require(tktLeftParenthesis, 30090, "(");
  NodePtr text = StringExpression();
  if (!text)
    throw EVLMException(30092, "String argument expected for function '%s', but '%s' found at line %d, column %d",
                        {name, Tok().Text, Tok().Line, Tok().Column});
  Require(tktRightParenthesis, 30091, ")");
  return std::make_unique<TVLMExprNodeStringFunction>(op, std::move(text));
}

NodePtr TVLMExpressionParser::Substring() {
  Next();
  Require(tktLeftParenthesis, 30098, "(");
  NodePtr text = Argument(&TVLMExpressionParser::StringExpression, 30099, "SUBSTRING");
  if (!Is(tktComma) && !Keyword(kwFROM)) Expected(30100, ",' or 'from");
  Next();
  NodePtr start = Argument(&TVLMExpressionParser::Additive, 30101, "SUBSTRING");
  auto node = std::make_unique<TVLMExprNodeStringFunction>(kVLMOpSubstring, std::move(text), std::move(start));
  if (Is(tktComma) || Keyword(kwFOR)) {
    Next();
    NodePtr length = Argument(&TVLMExpressionParser::Additive, 30700, "SUBSTRING");
    node->AddChild(std::move(length));
    Require(tktRightParenthesis, 30104, ")");
    return node;
  }
  Require(tktRightParenthesis, 30103, ")' or ',' or 'FOR");
  return node;
}

NodePtr TVLMExpressionParser::ToStringFunction() {
  Next();
  Require(tktLeftParenthesis, 30093, "(");
  NodePtr value = Argument(&TVLMExpressionParser::ValueExpression, 30094, "TOSTRING");
  if (!Is(tktComma) && !Keyword(kwFROM)) Expected(30095, ",");
  Next();
  if (!Is(tktQuotedString)) Found(30096, "Const DateFormat string expected, but '%s' found at line %d, column %d");
  const std::string format = Tok().Text;
  Next();
  Require(tktRightParenthesis, 30097, ")");
  return std::make_unique<TVLMExprNodeDateFunction>(kVLMOpToString, format, std::move(value));
}

NodePtr TVLMExpressionParser::DatePrimary() {
  uint8_t op = 0;
  if (Keyword(kwSYSDATE) || Keyword(kwNOW) || Keyword(kwCURRENT_TIMESTAMP))
    op = kVLMOpNow;
  else if (Keyword(kwCURRENT_TIME))
    op = kVLMOpCurrentTime;
  else if (Keyword(kwCURRENT_DATE))
    op = kVLMOpCurrentDate;
  if (op != 0) {
    Next();
    return std::make_unique<TVLMExprNodeDateFunction>(op);
  }
  if (Keyword(kwTODATE)) return ToDate();
  if (const TVLMVariant* parameter = ParameterValue(); parameter != nullptr && parameter->IsDateTime()) {
    NodePtr constant = ParameterConstant(*parameter);
    Next();
    return constant;
  }
  return nullptr;
}

NodePtr TVLMExpressionParser::ToDate() {
  Next();
  Require(tktLeftParenthesis, 30105, "(");
  NodePtr text = Argument(&TVLMExpressionParser::StringExpression, 30107, "ToDate");
  Require(tktComma, 30108, ",");
  if (!Is(tktQuotedString)) Found(30109, "Const DateFormat string expected, but '%s' found at line %d, column %d");
  const std::string format = Tok().Text;
  Next();
  Require(tktRightParenthesis, 30106, ")");
  return std::make_unique<TVLMExprNodeDateFunction>(kVLMOpToDate, format, std::move(text));
}

NodePtr TVLMExpressionParser::MimeToBin() {
  const int32_t start = Position();
  Next();
  if (!Is(tktLeftParenthesis)) return Fail(start);
  Next();
  if (!Is(tktQuotedString)) return Fail(start);
  TVLMVariant text(bdtString);
  text.SetAsString(Tok().Text);
  Next();
  if (!Is(tktRightParenthesis)) return Fail(start);
  Next();
  return std::make_unique<TVLMExprNodeBlob>(Constant(text));
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

}  // namespace

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
