// The two table factories the application's tests run on, behind one face:
// the in-memory tables (MemTableFactory) and the engine's components on real
// database files (EngineTableFactory). A test fills and reads tables through
// this face, so the same test runs unchanged on both.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/LogFiles.h"
#include "app/TableFactory.h"
#include "appdata/LogSchemas.h"

namespace qv::app::tabletest {

enum class TablesKind { Memory, Engine };

inline std::ostream& operator<<(std::ostream& out, TablesKind kind) {
  return out << (kind == TablesKind::Memory ? "Memory" : "Engine");
}
// Names the instances of a suite parameterised by TablesKind.
inline std::string TablesKindName(const testing::TestParamInfo<TablesKind>& info) {
  return info.param == TablesKind::Memory ? "Memory" : "Engine";
}

// A table of one file: its table description and the file's path.
struct TableAt {
  const TableSpec& Spec;
  std::string File;
};

using FieldValues = std::vector<std::pair<std::string, std::string>>;

class TestTables {
public:
  // The engine's kind starts the component runtime and shuts it down when
  // destroyed: destroy every pair of the factory first.
  static std::unique_ptr<TestTables> Make(TablesKind kind);
  virtual ~TestTables() = default;

  virtual TablesKind Kind() const = 0;
  virtual TableFactory& Factory() = 0;
  // Makes table.File a database holding the table, empty (a file there
  // before is replaced).
  virtual void MakeFile(const TableAt& table) = 0;
  // Runs use on the table, open and in natural order (a missing file is made
  // first). The engine opens it through components of its own, beside any
  // the program holds.
  virtual void WithTable(const TableAt& table, const std::function<void(LogTable&)>& use) = 0;

  // Appends one row: field name / text pairs.
  void AddRow(const TableAt& table, const FieldValues& values);
  // Every row in the index's order (natural order when empty): the text of
  // each named field.
  std::vector<std::vector<std::string>> Rows(const TableAt& table, const std::vector<std::string>& fields,
                                             std::string_view indexName = "");
};

}  // namespace qv::app::tabletest
