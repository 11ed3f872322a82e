// The expression parser's literals and functions: constants, date-time
// literals, field references, aggregates, CASE, COALESCE, CAST, the numeric
// functions, the text functions and the date primaries. The grammar is at
// the top of VLMExpressionParser.cpp.
#include <array>
#include <charconv>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressionParser.h"
#include "engine/core/VLMExpressions.h"
#include "platform/host/SysUtils.h"

namespace vlm_expression_parser {

namespace {

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

}  // namespace

// -------------------------------------------------------------- call shape

NodePtr TVLMExpressionParser::Call(NodePtr (TVLMExpressionParser::*read)(), int32_t open, int32_t missing,
                                   std::string_view function, int32_t close) {
  Next();
  Require(tktLeftParenthesis, open, "(");
  NodePtr argument = Argument(read, missing, function);
  Require(tktRightParenthesis, close, ")");
  return argument;
}

// ------------------------------------------------------------------ factors

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

}  // namespace vlm_expression_parser
