// Every row of the data-type table against tests/data/values/type_table.txt:
// name, SQL type, base type and host field type, in order. The mappings walk
// the table and take the first matching row, so a row out of place or with
// one wrong code changes what they answer.
#include <gtest/gtest.h>

#include <string>

#include "ValueTestSupport.h"
#include "engine/core/VLMTypesRoutines.h"

using namespace valuetest;

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
