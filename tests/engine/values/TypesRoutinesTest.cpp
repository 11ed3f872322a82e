// The data-type table, its mappings and predicates, value sizes, value blocks
// and the engine's date stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/core/VLMConverts.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesRoutines.h"
#include "platform/dataset/FieldTypes.h"
#include "platform/host/SysUtils.h"
#include "ValueTestSupport.h"

using valuetest::DataLines;
using valuetest::ExpectEngineError;
using valuetest::Split;

TEST(VLMTypeTable, HasItsSixtyTwoRowsWithTheOddOnesInPlace) {
  ASSERT_EQ(VLMTypeTable.size(), 62u);
  EXPECT_EQ(VLMTypeTable[0].Name, "CHAR");
  EXPECT_EQ(VLMTypeTable[32].Name, "FLOAT");
  EXPECT_EQ(VLMTypeTable[32].FieldType, qv::ftFloat);
  EXPECT_EQ(VLMTypeTable[33].Name, "FLOAT");
  EXPECT_EQ(VLMTypeTable[33].FieldType, qv::ftBCD);
  EXPECT_EQ(VLMTypeTable[46].Name, "TIMESTAMP");
  EXPECT_EQ(VLMTypeTable[46].FieldType, qv::ftUnknown);
  EXPECT_EQ(VLMTypeTable[61].Name, "GUID");
  EXPECT_EQ(VLMTypeTable[61].BaseType, bdtChar);
  EXPECT_EQ(VLMTypeTable[61].FieldType, qv::ftGuid);
  // Every SQL type 1-36 and base type 1-24 has a row; names are upper case.
  std::set<int> sql, base;
  for (const auto& r : VLMTypeTable) {
    sql.insert(r.DataType);
    base.insert(r.BaseType);
    for (char c : r.Name) EXPECT_FALSE(c >= 'a' && c <= 'z') << r.Name;
  }
  EXPECT_EQ(sql.size(), 36u);
  EXPECT_EQ(base.size(), 24u);
}

TEST(VLMTypeMappings, ReverseLookupsFindTheFirstRow) {
  EXPECT_EQ(VLMGetDataTypeName(dtFloat), "FLOAT");  // not DOUBLE
  EXPECT_EQ(VLMGetBaseTypeName(bdtFloat), "FLOAT");
  EXPECT_EQ(VLMGetDataTypeName(dtTimeStamp), "TIMESTAMP");
  EXPECT_EQ(VLMGetBaseTypeName(bdtDateTime), "DATETIME");
  EXPECT_EQ(VLMGetDataTypeName(dtGUID), "GUID");
  EXPECT_EQ(VLMGetBaseTypeName(bdtChar), "CHAR");
  EXPECT_EQ(VLMGetBaseTypeName(bdtString), "STRING");
  EXPECT_EQ(VLMGetBaseTypeName(bdtLargeInt), "LARGEINT");
  EXPECT_EQ(VLMGetDataTypeName(0), "Unknown");
  EXPECT_EQ(VLMGetBaseTypeName(25), "Unknown");

  EXPECT_EQ(VLMBaseTypeToDataType(bdtInteger), dtInteger);  // not AUTOINC
  EXPECT_EQ(VLMBaseTypeToDataType(bdtSingle), dtSingle);
  EXPECT_EQ(VLMBaseTypeToDataType(bdtBLOB), dtBLOB);  // never GRAPHIC
  EXPECT_EQ(VLMBaseTypeToDataType(0), 0);
  EXPECT_EQ(VLMDataTypeToBaseType(0), 0);
  EXPECT_EQ(VLMDataTypeToBaseType(37), 0);
  EXPECT_EQ(VLMDataTypeToBaseType(dtAutoinc), bdtInteger);
  EXPECT_EQ(VLMDataTypeToBaseType(dtAutoincCardinal), bdtCardinal);
  EXPECT_EQ(VLMDataTypeToBaseType(dtGUID), bdtChar);
  EXPECT_EQ(VLMDataTypeToBaseType(dtWideMemo), bdtWideMemo);
}

TEST(VLMTypeMappings, HostFieldTypes) {
  EXPECT_EQ(VLMFieldTypeToDataType(qv::ftWideString), dtWideChar);
  EXPECT_EQ(VLMFieldTypeToDataType(qv::ftBCD), dtFloat);
  EXPECT_EQ(VLMFieldTypeToDataType(qv::ftFloat), dtFloat);
  EXPECT_EQ(VLMFieldTypeToDataType(qv::ftUnknown), dtTimeStamp);
  EXPECT_EQ(VLMFieldTypeToDataType(qv::ftLargeint), dtLargeInt);
  EXPECT_EQ(VLMFieldTypeToDataType(qv::ftAutoInc), dtAutoinc);
  for (int ft : {qv::ftParadoxOle, qv::ftTypedBinary, qv::ftDBaseOle, qv::ftOraBlob, qv::ftOraClob, qv::ftBlob})
    EXPECT_EQ(VLMFieldTypeToDataType(ft), dtBLOB) << ft;
  EXPECT_EQ(VLMDataTypeToFieldType(dtTimeStamp), qv::ftUnknown);
  EXPECT_EQ(VLMDataTypeToFieldType(dtWideMemo), qv::ftBlob);
  EXPECT_EQ(VLMDataTypeToFieldType(dtCardinal), qv::ftLargeint);
  EXPECT_EQ(VLMDataTypeToFieldType(0), qv::ftUnknown);
  EXPECT_EQ(VLMDataTypeToFieldType(99), qv::ftUnknown);

  for (int ft : {qv::ftCursor, qv::ftADT, qv::ftArray, qv::ftReference, qv::ftDataSet, qv::ftVariant,
                 qv::ftInterface, qv::ftIDispatch})
    ExpectEngineError(30289, [&] { VLMFieldTypeToDataType(ft); });
  EXPECT_EQ(ExpectEngineError(30289, [] { VLMFieldTypeToDataType(qv::ftCursor); }),
            "Unknown DataType: '22' - Native error: 30289");
}

TEST(VLMTypePredicates, MatchTheirSetsAndNothingElse) {
  struct Case {
    const char* name;
    bool (*pred)(uint8_t);
    std::set<int> yes;
  };
  const Case cases[] = {
      {"IsStringBaseType", VLMIsStringBaseType, {1, 2, 3, 4}},
      {"IsWideStringBaseType", VLMIsWideStringBaseType, {2, 4}},
      {"IsNumericBaseType", VLMIsNumericBaseType, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 22}},
      {"IsDateTimeBaseType", VLMIsDateTimeBaseType, {15, 16, 17}},
      {"IsBLOBBaseType", VLMIsBLOBBaseType, {18, 19, 20}},
      {"IsStringDataType", VLMIsStringDataType, {1, 2, 3, 4, 36}},
      {"IsWideStringDataType", VLMIsWideStringDataType, {3, 4}},
      {"IsBytesDataType", VLMIsBytesDataType, {29, 30}},
      {"IsAutoincDataType", VLMIsAutoincDataType, {12, 13, 14, 15, 16, 17, 18, 19}},
      {"IsBLOBDataType", VLMIsBLOBDataType, {31, 32, 33, 34, 35}},
      {"IsSizedDataType", VLMIsSizedDataType, {1, 2, 3, 4, 29, 30}},
  };
  for (const auto& c : cases)
    for (int t = 0; t < 256; ++t) EXPECT_EQ(c.pred(static_cast<uint8_t>(t)), c.yes.count(t) == 1) << c.name << " " << t;
  for (int t = 0; t < 256; ++t)
    EXPECT_EQ(VLMIsCastableDataType(static_cast<uint8_t>(t)), (t >= 1 && t <= 28) || (t >= 33 && t <= 35)) << t;
}

TEST(VLMConverts, DataSizeByBaseType) {
  const int32_t expected[25] = {0, 11, 22, 11, 22, 1, 2, 4, 8, 1, 2, 4, 4, 8, 10, 4, 4, 8, 10, 10, 10, 2, 8, 11, 11};
  for (int t = 1; t <= 24; ++t) EXPECT_EQ(VLMGetDataSize(static_cast<uint8_t>(t), 10), expected[t]) << t;
  EXPECT_EQ(VLMGetDataSize(bdtString, 0), 1);
  EXPECT_EQ(VLMGetDataSize(bdtLogical, 12345), 2);
  EXPECT_EQ(ExpectEngineError(30050, [] { VLMGetDataSize(25, 0); }), "Unknown DataType: 'Unknown' - Native error: 30050");
  ExpectEngineError(30050, [] { VLMGetDataSize(0, 0); });
}

TEST(VLMConverts, CopyValueToNewMemory) {
  auto& mm = VLMMemoryManager();
  void* data = nullptr;
  int32_t size = 0;

  VLMCopyValueToNewMemory(bdtString, "", data, size);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(static_cast<char*>(data)[0], 0);
  mm.FreeMem(data);

  VLMCopyValueToNewMemory(bdtChar, nullptr, data, size);  // nil text: the empty text
  EXPECT_EQ(size, 1);
  mm.FreeMem(data);

  VLMCopyValueToNewMemory(bdtWideString, u"", data, size);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(mm.GetMemSize(data), 2);
  mm.FreeMem(data);

  VLMCopyValueToNewMemory(bdtString, "ab\0cd", data, size);
  EXPECT_EQ(size, 3);
  EXPECT_STREQ(static_cast<char*>(data), "ab");
  mm.FreeMem(data);

  VLMCopyValueToNewMemory(bdtWideChar, u"xyz", data, size);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(std::u16string(static_cast<char16_t*>(data)), u"xyz");
  mm.FreeMem(data);

  const int32_t v = -5;
  VLMCopyValueToNewMemory(bdtInteger, &v, data, size);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(std::memcmp(data, &v, 4), 0);
  mm.FreeMem(data);

  const uint8_t bytes[4] = {9, 8, 7, 6};
  VLMCopyValueToNewMemory(bdtVarBytes, bytes, data, size);
  EXPECT_EQ(size, 1);  // byte strings travel by another road
  mm.FreeMem(data);

  // A fixed-size value without source bytes fails after the block was taken:
  // the block is freed (the memory balance of the run checks it).
  data = reinterpret_cast<void*>(1);
  ExpectEngineError(30054, [&] { VLMCopyValueToNewMemory(bdtInteger, nullptr, data, size); });
  EXPECT_EQ(data, nullptr);
  ExpectEngineError(30050, [&] { VLMCopyValueToNewMemory(30, &v, data, size); });
  EXPECT_EQ(data, nullptr);
}

TEST(VLMConverts, AllocationFailureIsAnErrorNotANullValue) {
  auto& mm = VLMMemoryManager();
  const int64_t limit = mm.MemoryLimit();
  mm.SetMemoryLimit(mm.AllocatedMemory() + 2);
  void* data = reinterpret_cast<void*>(1);
  int32_t size = 0;
  const int32_t v = 7;
  ExpectEngineError(30004, [&] { VLMCopyValueToNewMemory(bdtInteger, &v, data, size); });
  mm.SetMemoryLimit(limit);
  EXPECT_EQ(data, nullptr);
}

TEST(VLMDateStamps, DayNumbersAndMilliseconds) {
  EXPECT_EQ(VLMTDateTimeToDate(qv::EncodeDate(1, 1, 1)), 1);
  EXPECT_EQ(VLMTDateTimeToDate(0.0), 693594);
  EXPECT_EQ(VLMTDateTimeToDate(qv::EncodeDate(2024, 3, 5)), 738950);
  EXPECT_EQ(VLMTDateTimeToDate(45356.99999), 738950);
  EXPECT_EQ(VLMTDateTimeToDate(-1.5), 693593);  // toward zero
  EXPECT_EQ(VLMTDateTimeToTime(0.5), 43200000);
  EXPECT_EQ(VLMTDateTimeToTime(45356 + 25689.0 / 86400), 25689000);
  EXPECT_EQ(VLMTDateTimeToTime(-1.5), -43200000);  // the fraction keeps its sign
  EXPECT_EQ(VLMTDateTimeToTime(2.0), 0);

  EXPECT_EQ(VLMDateToTDateTime(693594), 0.0);
  EXPECT_EQ(VLMDateToTDateTime(1), -693593.0);
  EXPECT_EQ(VLMDateToTDateTime(-2146790053), -2147483647.0);
  EXPECT_EQ(VLMDateToTDateTime(-2146790054), 0.0);
  EXPECT_EQ(VLMDateToTDateTime(VLMEmptyDate), 0.0);
  EXPECT_EQ(VLMTimeToTDateTime(43200000), 0.5);
  EXPECT_EQ(VLMTimeToTDateTime(86400000 + 43200000), 0.5);
  EXPECT_EQ(VLMTimeToTDateTime(-43200000), -0.5);

  const TVLMTimeStamp s = VLMTDateTimeToTimeStamp(45356.75);
  EXPECT_EQ(s.Date, 738950);
  EXPECT_EQ(s.Time, 64800000);
  EXPECT_EQ(VLMTimeStampToTDateTime(s), 45356.75);

  // Values without a day number are the host's invalid-operation error.
  EXPECT_THROW(VLMTDateTimeToDate(std::nan("")), EInvalidOp);
  EXPECT_THROW(VLMTDateTimeToDate(1e300), EInvalidOp);
  EXPECT_THROW(VLMTDateTimeToTime(INFINITY), EInvalidOp);
}

// Every row of the data-type table against tests/data/values/type_table.txt:
// name, SQL type, base type and host field type, in order. The mappings walk
// the table and take the first matching row, so a row out of place or with
// one wrong code changes what they answer.
TEST(VLMTypeTable, EveryRowMatchesTheDataFile) {
  int rows = 0;
  for (const std::string& line : DataLines("type_table.txt")) {
    const auto f = Split(line, '|');
    ASSERT_EQ(f.size(), 5u) << line;
    const int row = std::stoi(f[0]);
    ASSERT_EQ(row, rows + 1) << line;
    ASSERT_LE(row, static_cast<int>(VLMTypeTable.size()));
    const TVLMTypeTableRow& r = VLMTypeTable[static_cast<size_t>(row - 1)];
    const auto fieldType = Split(f[4], ' ');
    ASSERT_EQ(fieldType.size(), 2u) << line;
    EXPECT_EQ(r.Name, f[1]) << "row " << row;
    EXPECT_EQ(r.DataType, std::stoi(f[2])) << "row " << row;
    EXPECT_EQ(r.BaseType, std::stoi(f[3])) << "row " << row;
    EXPECT_EQ(r.FieldType, std::stoi(fieldType[1])) << "row " << row << " " << fieldType[0];
    ++rows;
  }
  EXPECT_EQ(rows, 62);
  EXPECT_EQ(VLMTypeTable.size(), 62u);
}

// The reverse lookups answer what a walk over the file's rows answers.
TEST(VLMTypeTable, MappingsFollowTheFirstRowOfTheDataFile) {
  struct Row {
    std::string Name;
    int Sql, Base, Field;
  };
  std::vector<Row> rows;
  for (const std::string& line : DataLines("type_table.txt")) {
    const auto f = Split(line, '|');
    rows.push_back({f[1], std::stoi(f[2]), std::stoi(f[3]), std::stoi(Split(f[4], ' ')[1])});
  }
  ASSERT_EQ(rows.size(), 62u);
  for (int code = 0; code < 40; ++code) {
    const Row* bySql = nullptr;
    const Row* byBase = nullptr;
    const Row* byField = nullptr;
    for (const Row& r : rows) {
      if (!bySql && r.Sql == code) bySql = &r;
      if (!byBase && r.Base == code) byBase = &r;
      if (!byField && r.Field == code) byField = &r;
    }
    const auto c = static_cast<uint8_t>(code);
    EXPECT_EQ(VLMDataTypeToBaseType(c), bySql ? bySql->Base : 0) << code;
    EXPECT_EQ(VLMDataTypeToFieldType(c), bySql ? bySql->Field : 0) << code;
    EXPECT_EQ(VLMGetDataTypeName(c), bySql ? bySql->Name : "Unknown") << code;
    EXPECT_EQ(VLMBaseTypeToDataType(c), byBase ? byBase->Sql : 0) << code;
    EXPECT_EQ(VLMGetBaseTypeName(c), byBase ? byBase->Name : "Unknown") << code;
    if (byField) {
      EXPECT_EQ(VLMFieldTypeToDataType(code), byField->Sql) << code;
    } else {
      EXPECT_EQ(ExpectEngineError(30289, [&] { VLMFieldTypeToDataType(code); }),
                "Unknown DataType: '" + std::to_string(code) + "' - Native error: 30289");
    }
  }
}
