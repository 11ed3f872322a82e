// The expression parser's search conditions and predicates: OR, AND, NOT,
// IS [NOT] TRUE/FALSE/UNKNOWN, comparisons (quantified and partial), LIKE,
// IS [NOT] NULL, BETWEEN, IN and EXISTS, over row values. The grammar is at
// the top of VLMExpressionParser.cpp.
#include <memory>
#include <string>
#include <utility>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressionParser.h"
#include "engine/core/VLMExpressions.h"

namespace vlm_expression_parser {

namespace {

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

}  // namespace

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

// ------------------------------------------------------------- conditions

NodePtr TVLMExpressionParser::SearchCondition() {
  TFrame frame(*this);
  return BooleanChain(kwOR, kVLMOpOr, &TVLMExpressionParser::AndCondition, 30070);
}

NodePtr TVLMExpressionParser::AndCondition() {
  return BooleanChain(kwAND, kVLMOpAnd, &TVLMExpressionParser::NotCondition, 30069);
}

NodePtr TVLMExpressionParser::BooleanChain(uint16_t keyword, uint8_t op, NodePtr (TVLMExpressionParser::*read)(),
                                           int32_t code) {
  NodePtr first = (this->*read)();
  if (!first || !Keyword(keyword)) return first;
  // One node over the whole chain: the node evaluates its operands in one
  // loop, so a list of any length needs no stack.
  auto node = std::make_unique<TVLMExprNodeBoolean>(op);
  node->AddChild(std::move(first));
  while (Keyword(keyword)) {
    Next();
    NodePtr operand = (this->*read)();
    if (!operand) Found(code, "Boolean expression expected, but '%s' found at line %d, column %d");
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

}  // namespace vlm_expression_parser
