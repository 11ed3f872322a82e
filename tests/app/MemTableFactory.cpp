#include "tests/app/MemTableFactory.h"

#include "appdata/LogSchemas.h"
#include "tests/support/MemDataSet.h"
#include "platform/host/Exception.h"
#include "platform/os/File.h"

namespace qv::app {

namespace {

class MemDatabaseTable final : public DatabaseTable {
public:
  MemDatabaseTable(MemTableFactory& factory, const TableSpec& spec, std::string fileName, bool readOnly)
      : Factory_(factory), Spec_(spec), FileName_(std::move(fileName)) {
    Data_.SetReadOnly(readOnly);
    Attach();
  }
  ~MemDatabaseTable() override { Data_.Close(); }

  DataSet& Data() override { return Data_; }
  void SetIndexName(std::string_view name) override { Data_.SetIndexName(name); }
  bool DatabaseExists() override { return FileExists(FileName_); }
  bool TableExists() override { return DatabaseExists(); }
  const std::string& DatabaseFileName() const override { return FileName_; }
  void SetDatabaseFileName(const std::string& fileName) override {
    Disconnect();
    FileName_ = fileName;
    Attach();
  }
  void Connect() override {
    if (!DatabaseExists()) throw Exception("Database file '" + FileName_ + "' does not exist");
  }
  void Disconnect() override {
    Data_.Close();
  }
  void EmptyTable() override { Factory_.TableFor(Spec_, FileName_).EmptyTable(); }

private:
  // The (closed) dataset shows the table of the current file.
  void Attach() {
    MemTable& table = Factory_.TableFor(Spec_, FileName_);
    if (Data_.Table() != &table) Data_.SetTable(&table);
  }

  MemTableFactory& Factory_;
  const TableSpec& Spec_;
  std::string FileName_;
  MemDataSet Data_;
};

}  // namespace

MemTableFactory::MemTableFactory() = default;
MemTableFactory::~MemTableFactory() = default;

std::unique_ptr<DatabaseTable> MemTableFactory::Create(const TableSpec& spec, const std::string& fileName,
                                                       bool readOnly) {
  return std::make_unique<MemDatabaseTable>(*this, spec, fileName, readOnly);
}

MemTable& MemTableFactory::TableFor(const TableSpec& spec, const std::string& fileName) {
  const std::string key = fileName + "|" + std::string(spec.TableName);
  auto it = Tables_.find(key);
  if (it == Tables_.end()) {
    auto table = std::make_unique<MemTable>();
    DefineTable(spec, table->GetFieldDefs(), table->GetIndexDefs());
    it = Tables_.emplace(key, std::move(table)).first;
  }
  return *it->second;
}

}  // namespace qv::app
