#include "tests/app/TestTables.h"

#include <filesystem>
#include <fstream>

#include "app/EngineTableFactory.h"
#include "tests/app/MemTableFactory.h"
#include "engine/components/VLMMain.h"
#include "platform/dataset/DataSet.h"
#include "tests/support/MemDataSet.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/File.h"

namespace qv::app::tabletest {

namespace {

class MemoryTables final : public TestTables {
public:
  TablesKind Kind() const override { return TablesKind::Memory; }
  TableFactory& Factory() override { return Factory_; }
  void MakeFile(const TableAt& table) override {
    // The file only has to exist: its bytes name what it stands for.
    std::ofstream(table.File, std::ios::binary | std::ios::trunc) << table.Spec.TableName;
    Factory_.TableFor(table.Spec, table.File).EmptyTable();
  }
  void WithTable(const TableAt& table, const std::function<void(LogTable&)>& use) override {
    if (!FileExists(table.File)) MakeFile(table);
    MemDataSet data;
    data.SetTable(&Factory_.TableFor(table.Spec, table.File));
    data.Open();
    LogTableOf<MemDataSet> log(data);
    use(log);
    data.Close();
  }

private:
  MemTableFactory Factory_;
};

// The test's own components take names of their own, so they never collide
// with the program's in the session.
std::string TestDatabaseName(const TableSpec& spec) { return "Test" + std::string(spec.DatabaseName); }

class EngineTables final : public TestTables {
public:
  EngineTables() { TVLMComponentRuntime::Start(); }
  ~EngineTables() override { TVLMComponentRuntime::Shutdown(); }

  TablesKind Kind() const override { return TablesKind::Engine; }
  TableFactory& Factory() override { return Factory_; }
  void MakeFile(const TableAt& table) override {
    std::filesystem::remove(table.File);
    TVLMDatabase database;
    database.SetDatabaseName(TestDatabaseName(table.Spec));
    database.SetDatabaseFileName(table.File);
    database.SilentMode = true;
    database.CreateDatabase();
    TVLMTable t;
    t.SetDatabaseName(database.DatabaseName());
    t.SetTableName(table.Spec.TableName);
    DefineTable(table.Spec, t.GetFieldDefs(), t.GetIndexDefs());
    t.CreateTable();
    database.DoDisconnect();
  }
  void WithTable(const TableAt& table, const std::function<void(LogTable&)>& use) override {
    if (!FileExists(table.File)) MakeFile(table);
    TVLMDatabase database;
    database.SetDatabaseName(TestDatabaseName(table.Spec));
    database.SetDatabaseFileName(table.File);
    database.SilentMode = true;
    TVLMTable t;
    t.SetDatabaseName(database.DatabaseName());
    t.SetTableName(table.Spec.TableName);
    auto close = ScopeExit([&] {
      t.Close();
      database.DoDisconnect();
    });
    t.Open();
    LogTableOf<TVLMTable> log(t);
    use(log);
  }

private:
  EngineTableFactory Factory_;
};

}  // namespace

std::unique_ptr<TestTables> TestTables::Make(TablesKind kind) {
  if (kind == TablesKind::Memory) return std::make_unique<MemoryTables>();
  return std::make_unique<EngineTables>();
}

void TestTables::AddRow(const TableAt& table, const FieldValues& values) {
  WithTable(table, [&](LogTable& t) {
    DataSet& data = t.Data();
    data.Append();
    for (const auto& [name, value] : values) data.FieldByName(name)->SetAsString(value);
    data.Post();
  });
}

std::vector<std::vector<std::string>> TestTables::Rows(const TableAt& table, const std::vector<std::string>& fields,
                                                       std::string_view indexName) {
  std::vector<std::vector<std::string>> rows;
  WithTable(table, [&](LogTable& t) {
    if (!indexName.empty()) t.SetIndexName(indexName);
    DataSet& data = t.Data();
    for (data.First(); !data.Eof(); data.Next()) {
      std::vector<std::string>& row = rows.emplace_back();
      for (const std::string& f : fields) row.push_back(data.FieldByName(f)->AsString());
    }
  });
  return rows;
}

}  // namespace qv::app::tabletest
