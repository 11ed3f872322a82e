// The expression parser's value expressions: the alternatives of a value,
// sums and products with their signs, factors, and the text and date
// expressions ('||', date arithmetic). The grammar is at the top of
// VLMExpressionParser.cpp.
#include <memory>
#include <utility>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressionParser.h"
#include "engine/core/VLMExpressions.h"

namespace vlm_expression_parser {

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

}  // namespace vlm_expression_parser
