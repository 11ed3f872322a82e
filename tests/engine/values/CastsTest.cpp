// The cast matrix, the common-type tables and the ordering of values, checked
// against the tables in tests/data/values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ValueTestSupport.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesRoutines.h"

using namespace valuetest;

namespace {

// Runs a cast and frees its block; the block's bytes come back as a vector.
std::vector<uint8_t> CastBytes(const std::vector<uint8_t>& src, TVLMBaseDataType from, TVLMBaseDataType to) {
  int32_t size = -7;
  void* block = VLMCastData(src.empty() ? nullptr : src.data(), static_cast<int32_t>(src.size()), from, to, size);
  EXPECT_EQ(VLMMemoryManager().GetMemSize(block), size);
  std::vector<uint8_t> out(static_cast<const uint8_t*>(block), static_cast<const uint8_t*>(block) + size);
  VLMMemoryManager().FreeMem(block);
  return out;
}

std::string Describe(const std::vector<uint8_t>& b) {
  std::string s;
  for (uint8_t c : b) s += (c >= 32 && c < 127) ? std::string(1, static_cast<char>(c)) : "\\x" + std::to_string(c);
  return s;
}

// What a successful conversion into `to` should hold for the expected
// literal: text targets get their terminator, the others their raw bytes.
std::vector<uint8_t> ExpectedBytes(TVLMBaseDataType to, const std::string& lit) {
  if (to == bdtBLOB) {
    const std::string s = Unquote(lit);
    return std::vector<uint8_t>(s.begin(), s.end());
  }
  return ValueBytes(to, lit);
}

// A value of type `from` that converts into `to` when the pair is supported.
std::vector<uint8_t> SampleSource(TVLMBaseDataType from, TVLMBaseDataType to) {
  if (VLMIsStringBaseType(from) || from == bdtMemo || from == bdtWideMemo) {
    const char* text = to == bdtDate ? "\"2024-03-05\"" : to == bdtTime ? "\"07:08:09\"" : to == bdtDateTime ? "\"2024-03-05 07:08:09\"" : "\"1\"";
    return ValueBytes(from, text);
  }
  switch (from) {
    case bdtDateTime: return ValueBytes(from, "738950,25689000");
    case bdtBLOB:
    case bdtBytes:
    case bdtVarBytes: return ValueBytes(from, "\"1\"");
    case bdtLogical: return ValueBytes(from, "-1");
    default: return ValueBytes(from, "1");
  }
}

// Parses "15 (1)" / "3" / "-" cells of the common-type file.
void ParseCell(const std::string& cell, int& compare, int& combine) {
  if (cell == "-") {
    compare = combine = 0;
    return;
  }
  compare = std::stoi(cell);
  const size_t open = cell.find('(');
  combine = open == std::string::npos ? compare : std::stoi(cell.substr(open + 1));
}

}  // namespace

TEST(VLMCommonType, MatchesTheTable) {
  int rows = 0;
  for (const std::string& line : DataLines("common_types.txt")) {
    auto cells = Split(line, '|');
    // "| a | b |" splits into an empty first and last cell.
    ASSERT_GE(cells.size(), 3u);
    cells.erase(cells.begin());
    cells.pop_back();
    if (cells[0].rfind("T1", 0) == 0 || cells[0].rfind("---", 0) == 0) continue;
    const int t1 = std::stoi(cells[0]);
    ASSERT_EQ(cells.size(), 25u) << line;
    for (int t2 = 1; t2 <= 24; ++t2) {
      int compare = 0, combine = 0;
      ParseCell(cells[static_cast<size_t>(t2)], compare, combine);
      EXPECT_EQ(VLMGetCommonBaseType(t1, t2, true), compare) << t1 << " " << t2;
      EXPECT_EQ(VLMGetCommonBaseType(t1, t2, false), combine) << t1 << " " << t2;
    }
    ++rows;
  }
  EXPECT_EQ(rows, 24);
  for (int t = 0; t <= 30; ++t) {
    EXPECT_EQ(VLMGetCommonBaseType(0, t, true), 0);
    EXPECT_EQ(VLMGetCommonBaseType(t, 25, false), 0);
  }
}

TEST(VLMCommonType, OnSqlTypesPrefersTheOperandsOwnType) {
  EXPECT_EQ(VLMGetCommonDataType(dtInteger, dtAutoinc, false), dtInteger);
  EXPECT_EQ(VLMGetCommonDataType(dtAutoinc, dtInteger, false), dtAutoinc);
  EXPECT_EQ(VLMGetCommonDataType(dtSmallInt, dtAutoinc, false), dtAutoinc);
  EXPECT_EQ(VLMGetCommonDataType(dtShortInt, dtWord, false), dtWord);
  EXPECT_EQ(VLMGetCommonDataType(dtWord, dtShortInt, false), dtInteger);
  EXPECT_EQ(VLMGetCommonDataType(dtString, dtDate, false), dtString);
  EXPECT_EQ(VLMGetCommonDataType(dtString, dtDate, true), dtDate);
  EXPECT_EQ(VLMGetCommonDataType(dtGUID, dtInteger, false), dtGUID);
  EXPECT_EQ(VLMGetCommonDataType(dtBLOB, dtInteger, false), 0);
}

TEST(VLMCastData, SupportMatrixMatchesTheTable) {
  int rows = 0;
  for (const std::string& line : DataLines("cast_support.txt")) {
    if (line.rfind("source", 0) != 0) continue;
    const auto parts = Split(line.substr(6), ' ');
    std::vector<std::string> fields;
    for (const auto& p : parts)
      if (!p.empty()) fields.push_back(p);
    ASSERT_EQ(fields.size(), 2u) << line;
    const int from = std::stoi(fields[0]);
    const std::string& row = fields[1];
    ASSERT_EQ(row.size(), 24u) << line;
    for (int to = 1; to <= 24; ++to) {
      const auto src = SampleSource(from, to);
      if (row[static_cast<size_t>(to - 1)] == 'Y') {
        EXPECT_NO_THROW(CastBytes(src, from, to)) << from << " -> " << to;
      } else {
        ExpectEngineError(30052, [&] { CastBytes(src, from, to); });
      }
    }
    for (int to : {0, 25, 200}) ExpectEngineError(30052, [&] { CastBytes(SampleSource(from, 7), from, to); });
    ++rows;
  }
  EXPECT_EQ(rows, 24);
  ExpectEngineError(30052, [] { CastBytes({1}, 0, bdtString); });
}

TEST(VLMCastData, ValuesFromTheDataFile) {
  int cases = 0;
  for (const std::string& line : DataLines("casts.txt")) {
    const auto f = Split(line, '|');
    ASSERT_EQ(f.size(), 4u) << line;
    const auto from = static_cast<TVLMBaseDataType>(std::stoi(f[0]));
    const auto to = static_cast<TVLMBaseDataType>(std::stoi(f[2]));
    const std::vector<uint8_t> src = ValueBytes(from, f[1]);
    SCOPED_TRACE(line);
    if (f[3][0] == 'E') {
      ExpectEngineError(std::stoi(f[3].substr(1)), [&] { CastBytes(src, from, to); });
    } else {
      std::vector<uint8_t> got;
      ASSERT_NO_THROW(got = CastBytes(src, from, to));
      const std::vector<uint8_t> want = ExpectedBytes(to, f[3]);
      EXPECT_EQ(got, want) << "got " << Describe(got) << ", want " << Describe(want);
    }
    ++cases;
  }
  EXPECT_GT(cases, 140);
}

TEST(VLMCastData, MessagesNameBothTypes) {
  const auto logical = ValueBytes(bdtLogical, "-1");
  EXPECT_EQ(ExpectEngineError(30052, [&] { CastBytes(logical, bdtLogical, bdtCurrency); }),
            "Cannot cast from 'LOGICAL' to 'CURRENCY' - Native error: 30052");
  const auto text = ValueBytes(bdtString, "\"x\"");
  EXPECT_EQ(ExpectEngineError(30051, [&] { CastBytes(text, bdtString, bdtInteger); }),
            "Cannot cast from 'STRING' to 'INTEGER' - Native error: 30051");
}

TEST(VLMCastData, TextIsNeverReadPastAKnownSize) {
  // Three bytes without a terminator, sized exactly (ASan guards the end).
  const std::vector<uint8_t> raw = {'4', '2', '7'};
  int32_t size = 0;
  void* block = VLMCastData(raw.data(), 2, bdtString, bdtInteger, size);
  int32_t v = 0;
  std::memcpy(&v, block, 4);
  EXPECT_EQ(v, 42);
  VLMMemoryManager().FreeMem(block);
  // An empty memo (size 0) is the empty text.
  block = VLMCastData(raw.data(), 0, bdtMemo, bdtString, size);
  EXPECT_EQ(size, 1);
  VLMMemoryManager().FreeMem(block);
  // A fixed-size source shorter than its type has nothing to convert.
  ExpectEngineError(30052, [&] { VLMCastData(raw.data(), 3, bdtInteger, bdtString, size); });
  ExpectEngineError(30052, [&] { VLMCastData(nullptr, -1, bdtInteger, bdtString, size); });
  // A nil text is the empty text.
  block = VLMCastData(nullptr, -1, bdtString, bdtWideString, size);
  EXPECT_EQ(size, 2);
  VLMMemoryManager().FreeMem(block);
}

// ---------------------------------------------------------------- compare

namespace {

struct Side {
  TVLMBaseDataType type;
  std::vector<uint8_t> bytes;
  bool null = false;
};

Side V(TVLMBaseDataType t, const std::string& lit) { return Side{t, ValueBytes(t, lit)}; }
Side Null(TVLMBaseDataType t) { return Side{t, {}, true}; }

uint8_t Cmp(const Side& a, const Side& b, int32_t length = -1, bool ci = false) {
  return VLMCompareValues(a.null ? nullptr : a.bytes.data(), b.null ? nullptr : b.bytes.data(), a.type, b.type,
                          a.null, b.null, length, ci, kVLMLocaleUserDefault, static_cast<int32_t>(a.bytes.size()),
                          static_cast<int32_t>(b.bytes.size()));
}

}  // namespace

TEST(VLMCompareValues, NullsComeFirstAndEqualEachOther) {
  EXPECT_EQ(Cmp(Null(7), Null(3)), kVLMCompareBothNull);
  EXPECT_EQ(Cmp(Null(7), V(7, "1")), kVLMCompareFirstNull);
  EXPECT_EQ(Cmp(V(7, "1"), Null(7)), kVLMCompareSecondNull);
  // Nothing else is looked at: the types need no common type.
  EXPECT_EQ(Cmp(Null(18), V(7, "1")), kVLMCompareFirstNull);
  EXPECT_EQ(VLMCompareValuesSigned(nullptr, nullptr, 7, 7, true, true, -1, false), 0);
  const int32_t one = 1;
  EXPECT_EQ(VLMCompareValuesSigned(nullptr, &one, 7, 7, true, false, -1, false), -1);
  EXPECT_EQ(VLMCompareValuesSigned(&one, nullptr, 7, 7, false, true, -1, false), 1);
  EXPECT_EQ(ExpectEngineError(30140, [&] { VLMCompareValues(nullptr, &one, 7, 7, false, false, -1, false); }),
            "Value is Null - Native error: 30140");
}

TEST(VLMCompareValues, TextUsesTheFixedCollation) {
  // Not byte order: lower case before upper case, digits by character.
  EXPECT_EQ(Cmp(V(3, "\"abc\""), V(3, "\"ABC\"")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(3, "\"ABC\""), V(3, "\"abd\"")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(3, "\"abc\""), V(3, "\"ABC\""), -1, true), kVLMCompareEqual);
  EXPECT_EQ(Cmp(V(3, "\"co-op\""), V(3, "\"coop\"")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(3, "\"10\""), V(3, "\"5\"")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(4, "\"abc\""), V(4, "\"ABC\"")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(2, "\"abc\""), V(4, "\"ABC\""), -1, true), kVLMCompareEqual);
  // CHAR against wide text meets in wide text.
  EXPECT_EQ(Cmp(V(1, "\"b\""), V(4, "\"a\"")), kVLMCompareGreater);
  // Length limits both sides; a side's own terminator limits it too.
  EXPECT_EQ(Cmp(V(3, "\"ABCD\""), V(3, "\"ABXY\""), 2), kVLMCompareEqual);
  EXPECT_EQ(Cmp(V(3, "\"A\""), V(3, "\"AB\""), 2), kVLMCompareLess);
  // Two memos compare as text (their blocks carry no terminator).
  EXPECT_EQ(Cmp(V(19, "\"abc\""), V(19, "\"abd\"")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(20, "\"abc\""), V(19, "\"abc\"")), kVLMCompareEqual);
}

TEST(VLMCompareValues, MixedTypesMeetInTheirCommonType) {
  // INTEGER 5 against STRING 10 compares the texts "5" and "10".
  EXPECT_EQ(Cmp(V(7, "5"), V(3, "\"10\"")), kVLMCompareGreater);
  // STRING against DATE compares dates.
  EXPECT_EQ(Cmp(V(3, "\"2024-03-05\""), V(15, "738950")), kVLMCompareEqual);
  EXPECT_EQ(Cmp(V(15, "738951"), V(3, "\"2024-03-05\"")), kVLMCompareGreater);
  ExpectEngineError(30051, [] { Cmp(V(3, "\"soon\""), V(15, "738950")); });
  EXPECT_EQ(Cmp(V(7, "1"), V(13, "1.5")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(13, "1.5"), V(22, "1.5")), kVLMCompareEqual);
  // SHORTINT -1 with WORD meets in WORD (65535); WORD with SHORTINT in INTEGER.
  EXPECT_EQ(Cmp(V(5, "-1"), V(10, "1")), kVLMCompareGreater);
  EXPECT_EQ(Cmp(V(10, "1"), V(5, "-1")), kVLMCompareGreater);
  EXPECT_EQ(Cmp(V(11, "4000000000"), V(11, "1")), kVLMCompareGreater);
  EXPECT_EQ(Cmp(V(8, "-5"), V(11, "1")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(15, "738950"), V(17, "738950,1")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(17, "1,5"), V(17, "1,6")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(17, "2,0"), V(17, "1,6")), kVLMCompareGreater);
  EXPECT_EQ(Cmp(V(14, "0.1"), V(14, "0.1")), kVLMCompareEqual);
  // SINGLE meets FLOAT in FLOAT: the single nearest 0.1 lies above 0.1.
  EXPECT_EQ(Cmp(V(12, "0.1"), V(13, "0.1")), kVLMCompareGreater);
}

TEST(VLMCompareValues, LogicalAndBytesAndTypesWithoutOrder) {
  EXPECT_EQ(Cmp(V(21, "0"), V(21, "-1")), kVLMCompareLess);
  EXPECT_EQ(Cmp(V(21, "5"), V(21, "-1")), kVLMCompareEqual);
  // BYTES compare as text up to the first zero byte.
  EXPECT_EQ(Cmp(V(23, "\"ab\\0x\""), V(23, "\"ab\\0y\"")), kVLMCompareEqual);
  EXPECT_EQ(Cmp(V(23, "\"ab\""), V(23, "\"AB\""), -1, true), kVLMCompareEqual);
  EXPECT_EQ(ExpectEngineError(30047, [] { Cmp(V(18, "\"a\""), V(18, "\"a\"")); }),
            "Unknown DataType: 'BLOB' - Native error: 30047");
  ExpectEngineError(30047, [] { Cmp(V(24, "\"a\""), V(24, "\"a\"")); });
  EXPECT_EQ(ExpectEngineError(30044, [] { Cmp(V(18, "\"a\""), V(3, "\"a\"")); }),
            "Cannot compare Incompatible DataTypes: 'BLOB' and 'STRING' - Native error: 30044");
  ExpectEngineError(30044, [] { Cmp(V(15, "1"), V(21, "0")); });
  ExpectEngineError(30044, [] { Cmp(V(23, "\"a\""), V(3, "\"a\"")); });
}
