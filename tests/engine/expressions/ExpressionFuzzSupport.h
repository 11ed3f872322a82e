// A grammar-aware generator of conditions and values for the expression
// parser, and the run of one text: parse it (as a filter or a value over a
// record of every common field type) and evaluate what parses over random
// rows. The engine and the host library may raise their own errors
// (qv::Exception and its kinds); anything else escapes to the caller.
// Shared by the bounded test and the libFuzzer target.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "platform/host/Exception.h"
#include "tests/engine/expressions/ParserTestSupport.h"

namespace expr_fuzz {

// A record with one field of each kind the conditions meet.
class FuzzRecord : public expr_test::RecordCursor {
public:
  FuzzRecord()
      : RecordCursor({{"I", dtInteger},
                      {"L", dtLargeInt},
                      {"F", dtFloat},
                      {"S", dtString, 12},
                      {"W", dtWideString, 8},
                      {"D", dtDate},
                      {"T", dtDateTime},
                      {"C", dtCurrency},
                      {"B", dtLogical}}) {}

  void Randomize(std::mt19937& rng) {
    static constexpr std::array<int32_t, 9> kIntegers = {-3, -2, -1, 0, 1, 2, 3, 2147483647, -2147483647 - 1};
    static const char* const kTexts[] = {"abc", "ABC", "a%c", "k1abc", "K1ABC", " x ", "2024-05-01", "12", "*"};
    for (int32_t i = 0; i < 9; ++i) {
      TVLMVariant v;
      if (rng() % 4 != 0) {
        switch (i) {
          case 0: v.SetAsInteger(kIntegers[rng() % kIntegers.size()]); break;
          case 1: v.SetAsLargeInt(static_cast<int64_t>(rng()) * (rng() % 2 ? 1 : -4096)); break;
          case 2: v.SetAsDouble(static_cast<double>(static_cast<int32_t>(rng() % 2001) - 1000) / 8.0); break;
          case 3: v.SetAsString(kTexts[rng() % 9]); break;
          case 4: v.SetAsWideString(u"\u0416x"); break;
          case 5: v.SetAsTDate(45000.0 + rng() % 400); break;
          case 6: v.SetAsTDateTime(45000.25 + rng() % 400); break;
          case 7: v.SetAsCurrency(static_cast<double>(rng() % 100000) / 100.0); break;
          default: v.SetAsBoolean(rng() % 2 == 0); break;
        }
      }
      SetFieldValue(v, i, true);
    }
  }
};

class ExpressionGenerator {
public:
  explicit ExpressionGenerator(std::mt19937& rng) : Rng_(rng) {}

  std::string Condition(int depth) {
    if (depth <= 0) return Value(0) + " " + Pick(kComparisons) + " " + Value(0);
    switch (Rng_() % 16) {
      case 0: return "NOT " + Condition(depth - 1);
      case 1: return Condition(depth - 1) + " AND " + Condition(depth - 1);
      case 2: return Condition(depth - 1) + " OR " + Condition(depth - 1);
      case 3: return "(" + Condition(depth - 1) + ")";
      case 4: return Value(depth - 1) + Maybe(" NOT") + " LIKE " + Value(depth - 1) + (Rng_() % 3 ? "" : " ESCAPE '!'");
      case 5: return Value(depth - 1) + " IS" + Maybe(" NOT") + " NULL";
      case 6: return Value(depth - 1) + Maybe(" NOT") + " BETWEEN " + Value(depth - 1) + " AND " + Value(depth - 1);
      case 7: return Value(depth - 1) + Maybe(" NOT") + " IN (" + List(depth - 1) + ")";
      case 8: return Value(depth - 1) + " IN (" + Select() + ")";
      case 9: return "EXISTS (" + Select() + ")";
      case 10: return Value(depth - 1) + " " + Pick(kComparisons) + " " + Pick(kQuantifiers) + " (" + Select() + ")";
      case 11: return "(" + Condition(depth - 1) + ") IS" + Maybe(" NOT") + " " + Pick(kTruth);
      case 12: return Pick(kTruth);
      default: return Value(depth - 1) + " " + Pick(kComparisons) + " " + Value(depth - 1);
    }
  }

  std::string Value(int depth) {
    if (depth <= 0 || Rng_() % 4 == 0) return Leaf();
    switch (Rng_() % 14) {
      case 0: return "-" + Value(depth - 1);
      case 1: return Value(depth - 1) + " " + Pick(kOperators) + " " + Value(depth - 1);
      case 2: return "(" + Value(depth - 1) + ")";
      case 3: return Pick(kOneArgument) + "(" + Value(depth - 1) + ")";
      case 4: return Pick(kTwoArguments) + "(" + Value(depth - 1) + ", " + Value(depth - 1) + ")";
      case 5: return "ROUND(" + Value(depth - 1) + ", " + Value(depth - 1) + ", " + Pick(kModes) + ")";
      case 6: return "SUBSTRING(" + Value(depth - 1) + " FROM " + Value(depth - 1) + Maybe(" FOR 2") + ")";
      case 7: return "CAST(" + Value(depth - 1) + " AS " + Pick(kTypes) + ")";
      case 8:
        return "CASE " + Maybe(Value(depth - 1)) + " WHEN " + Condition(depth - 1) + " THEN " + Value(depth - 1) +
               Maybe(" ELSE " + Value(depth - 1)) + " END";
      case 9: return "COALESCE(" + List(depth - 1) + ")";
      case 10: return Pick(kAggregates) + "(" + Maybe("DISTINCT ") + Value(depth - 1) + ")";
      case 11: return Pick(kFormatted) + "(" + Value(depth - 1) + ", '" + Pick(kFormats) + "')";
      case 12: return "EXTRACT(" + Pick(kParts) + " FROM " + Leaf() + ")";
      default: return "(" + Select() + ")";
    }
  }

  // One token dropped, doubled or replaced now and then, so that broken
  // texts reach the error paths.
  std::string Mutate(std::string text) {
    for (int n = static_cast<int>(Rng_() % 3); n > 0 && !text.empty(); --n) {
      const size_t at = Rng_() % text.size();
      switch (Rng_() % 3) {
        case 0: text.erase(at, 1 + Rng_() % 4); break;
        case 1: text.insert(at, " " + Pick(kNoise) + " "); break;
        default: text.insert(at, text.substr(at, Rng_() % 6)); break;
      }
    }
    return text;
  }

private:
  template <size_t N>
  std::string Pick(const std::array<const char*, N>& items) {
    return items[Rng_() % N];
  }
  std::string Maybe(const std::string& text) { return Rng_() % 2 ? text : std::string(); }
  std::string List(int depth) {
    std::string list = Value(depth);
    for (int n = static_cast<int>(Rng_() % 3); n > 0; --n) list += ", " + Value(depth);
    return list;
  }
  std::string Select() {
    std::string select = "SELECT";
    const int count = static_cast<int>(Rng_() % 3);
    for (int i = 0; i < count; ++i) select += (i ? ", " : " ") + std::to_string(Rng_() % 4);
    return select;
  }
  std::string Leaf() { return Pick(kLeaves); }

  static constexpr std::array<const char*, 6> kComparisons = {"=", "<>", "<", ">", "<=", ">="};
  static constexpr std::array<const char*, 3> kQuantifiers = {"ALL", "ANY", "SOME"};
  static constexpr std::array<const char*, 5> kTruth = {"TRUE", "FALSE", "UNKNOWN", "B", "MAYBE"};
  static constexpr std::array<const char*, 6> kOperators = {"+", "-", "*", "/", "||", "+"};
  static constexpr std::array<const char*, 20> kOneArgument = {
      "ABS", "ACOS", "ASIN", "ATAN", "CEIL", "COS", "EXP", "FLOOR", "LOG", "RAND",
      "SIGN", "SIN", "SQR", "SQRT", "ROUND", "UPPER", "LOWER", "TRIM", "LENGTH", "RTRIM"};
  static constexpr std::array<const char*, 4> kTwoArguments = {"POWER", "POS", "ROUND", "SUBSTRING"};
  static constexpr std::array<const char*, 5> kModes = {"HALFUP", "HALFEVEN", "RNDDOWN", "SELECT", "NULL"};
  static constexpr std::array<const char*, 10> kTypes = {"INTEGER",     "VARCHAR",  "VARCHAR(3)", "DOUBLE",
                                                         "DATE",        "TIME",     "CURRENCY",   "WIDESTRING(2)",
                                                         "SIGNEDINT8",  "BLOB"};
  static constexpr std::array<const char*, 6> kAggregates = {"SUM", "AVG", "MIN", "MAX", "COUNT", "COUNT"};
  static constexpr std::array<const char*, 2> kFormatted = {"TOSTRING", "TODATE"};
  static constexpr std::array<const char*, 4> kFormats = {"YYYY-MM-DD", "HH24:NN:SS", "DD MON YY AMPM", "Q"};
  static constexpr std::array<const char*, 7> kParts = {"YEAR", "MONTH", "DAY", "HOUR", "MINUTE", "SECOND", "ZONE"};
  static constexpr std::array<const char*, 32> kLeaves = {
      "I",  "L",      "F",          "S",          "W",           "D",     "T",     "C",
      "B",  "0",      "1",          "-7",         "2147483647",  "1.5",   "1e300", "''",
      "'abc*'",       "'a%'",       "'x%y'",      "NULL",        "TRUE",  "NOW",   "ROWNUM",
      "CURRENT_DATE", "DATE '2024-05-01'",        "TIME '10:00:00'",    "COUNT(*)", "MIMETOBIN('QQ==')",
      "Q",  "t.I",    "[S]",        "LASTAUTOINC(t, I)"};
  static constexpr std::array<const char*, 10> kNoise = {"(", ")", ",", "AND", "NOT", "'", "*", "SELECT", "||", "CASE"};

  std::mt19937& Rng_;
};

// Parses text and evaluates the result over a few random rows. Errors of
// the engine and the host library end the run quietly.
inline void RunExpression(std::string_view text, bool condition, bool partialCompare, FuzzRecord& record,
                          std::mt19937& rng) {
  try {
    std::unique_ptr<TVLMExpression> e =
        condition ? parser_test::Filter(text, &record, partialCompare) : parser_test::Value(text, &record);
    if (e->GetRoot() == nullptr) return;
    const bool aggregated = e->IsAggregated();
    if (aggregated) e->InitAggregate();
    for (int row = 0; row < 4; ++row) {
      record.Randomize(rng);
      try {
        if (aggregated)
          e->Accumulate();
        else
          e->GetValue(true);
      } catch (const qv::Exception&) {
      }
    }
    if (aggregated) e->GetValue(true);
    e->GetDataType();
    e->GetDataSize();
    e->GetValue(false);
  } catch (const qv::Exception&) {
  }
}

}  // namespace expr_fuzz
