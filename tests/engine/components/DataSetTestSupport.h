// Shared pieces of the dataset and table component tests: tables made
// through a local cursor with engine types (so that every engine type can be
// tried), and the table component opened on them.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "platform/dataset/Fields.h"
#include "tests/engine/components/LocalEngineTestSupport.h"

namespace dataset_test {

using local_test::FieldSpec;
using local_test::IndexSpec;

// The runtime, a session on "MEMORY", and tables made there.
class MemoryTables : public ::testing::Test {
protected:
  void MakeTable(const std::string& name, std::initializer_list<FieldSpec> fields,
                 std::initializer_list<IndexSpec> indexes = {}) {
    local_test::LocalTable table(*Session, name);
    table.Create(fields, indexes);
  }
  // A closed table component over table; fields added to it before Open
  // are its only fields.
  std::unique_ptr<TVLMTable> DataSetOn(const std::string& table) {
    auto dataSet = std::make_unique<TVLMTable>();
    dataSet->SetDatabaseName("MEMORY");
    dataSet->SetTableName(table);
    return dataSet;
  }

  local_test::RuntimeScope Runtime;
  std::unique_ptr<TVLMLocalSession> Session = local_test::Connect("MEMORY");
};

// A field object of type named name added to dataSet (closed).
inline qv::Field* AddField(qv::DataSet& dataSet, const std::string& name, qv::TFieldType type, int32_t size = 0,
                           qv::TFieldKind kind = qv::fkData) {
  std::unique_ptr<qv::Field> field = qv::CreateFieldObject(type);
  field->SetFieldName(name);
  if (size > 0) field->SetSize(size);
  field->SetFieldKind(kind);
  return dataSet.GetFields().Add(std::move(field));
}

// The value of field in every record, in the dataset's order.
inline std::vector<std::string> Column(qv::DataSet& dataSet, const std::string& field) {
  std::vector<std::string> out;
  for (dataSet.First(); !dataSet.Eof(); dataSet.Next()) out.push_back(dataSet.FieldByName(field)->AsString());
  return out;
}

}  // namespace dataset_test
