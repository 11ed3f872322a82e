// VLMExpressionParser: what the parts of the expression parser share, and
// nothing else includes: the recursive-descent parser class, the result
// holder of a production and the node builders. The grammar, the memo of
// alternatives, the nesting limits and the error codes are described at the
// top of VLMExpressionParser.cpp; the productions live by grammar level in
//   VLMExpressionParser.cpp            the parser's state, the memo, subqueries
//                                      and TVLMExpression's parse entry points
//   VLMExpressionParserConditions.cpp  search conditions and predicates
//   VLMExpressionParserValues.cpp      value, arithmetic, text and date
//                                      expressions and factors
//   VLMExpressionParserFunctions.cpp   literals, names, aggregates, CASE,
//                                      COALESCE, CAST and the functions
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMNesting.h"

namespace vlm_expression_parser {

using NodePtr = std::unique_ptr<TVLMExprNode>;

// Deepest parenthesis level a token may stand at. A parenthesis level takes
// at most three recursive productions, each a level of the thread's depth
// count (kVLMMaxNestingLevels), so that limit binds only on nesting without
// parentheses and on subqueries, whose levels add up with these.
constexpr int32_t kMaxNesting = 256;

inline NodePtr Constant(const TVLMVariant& value) { return std::make_unique<TVLMExprNodeConst>(value); }

inline NodePtr NullConstant(TVLMBaseDataType type) { return Constant(TVLMVariant(type)); }

inline NodePtr Logical(bool value) {
  auto constant = std::make_unique<TVLMExprNodeConst>();
  constant->Result.Clear(bdtLogical);
  constant->Result.SetAsBoolean(value);
  return constant;
}

inline NodePtr Boolean(uint8_t op, NodePtr child) {
  return std::make_unique<TVLMExprNodeBoolean>(op, std::move(child));
}

inline NodePtr Negation(NodePtr child) {
  return std::make_unique<TVLMExprNodeArithmetic>(kVLMOpNegate, std::move(child));
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
  // One node of kind op over a chain of operands read by read and joined
  // by keyword; a single operand is returned as it is. A missing operand
  // after the keyword raises code.
  NodePtr BooleanChain(uint16_t keyword, uint8_t op, NodePtr (TVLMExpressionParser::*read)(), int32_t code);
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

}  // namespace vlm_expression_parser
