#include "app/EngineTableFactory.h"

#include <set>
#include <utility>

#include "appdata/BackupCopy.h"
#include "appdata/LogSchemas.h"
#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMMain.h"

namespace qv::app {

bool LastCommitChangesOf(const TVLMDatabase& database, FileChanges& changes) {
  TVLMFileChanges engine;
  if (!database.LastCommitChanges(engine)) return false;
  changes.Ranges.clear();
  for (const TVLMFileChanges::Range& r : engine.Ranges) changes.Ranges.push_back({r.Position, r.Length});
  changes.StampPosition = engine.StampPosition;
  changes.StampBefore = std::move(engine.StampBefore);
  changes.StampAfter = std::move(engine.StampAfter);
  changes.Complete = engine.Complete;
  changes.SizeBefore = engine.SizeBefore;
  return true;
}

namespace {

// The question the database component asks when it is left to ask itself.
constexpr const char* kRepairQuestion =
    "Database file was not correctly closed last time. Do you want to repair it?";

// The table component is declared after the database component, so it goes
// first: a table never outlives the database it is attached to.
class EngineDatabaseTable final : public DatabaseTable {
public:
  EngineDatabaseTable(const TableSpec& spec, const std::string& fileName, bool readOnly) {
    const std::string databaseName(spec.DatabaseName);
    Database_.SetDatabaseName(databaseName);
    Database_.SetDatabaseFileName(fileName);
    Database_.MaxConnections = kMaxConnections;
    Database_.MultiUser = false;
    Database_.Exclusive = false;
    Database_.ReadOnly = readOnly;
    ReadOnly_ = readOnly;
    Table_.SetDatabaseName(databaseName);
    Table_.SetTableName(spec.TableName);
    Table_.ReadOnly = readOnly;
    // Asked only outside silent mode, as the component's own question is,
    // and once a session per file: after a no, every write that failed and
    // opened the file again would ask it again.
    Database_.OnNeedRepair = [this](TVLMDatabase& database, bool& repair) {
      const std::string& file = database.DatabaseFileName();
      repair = Declined_.count(file) == 0 && VLMEngineUi().Confirm(kRepairQuestion);
      if (!repair) Declined_.insert(file);
      RepairNotice_ = repair ? RepairNotice::Repaired : RepairNotice::Declined;
    };
    // A repair that refused leaves the file as it was: open unrepaired, as
    // after a no, and not asked again this session.
    Database_.OnRepairDone = [this](TVLMDatabase& database, bool replaced) {
      if (replaced) return;
      Declined_.insert(database.DatabaseFileName());
      RepairNotice_ = RepairNotice::Declined;
    };
    Database_.OnCommitRolledBack = [this](TVLMDatabase&) { RollbackNotice_ = true; };
  }
  ~EngineDatabaseTable() override {
    // Closing may write nothing that could fail; a failure on the way out
    // must not end the program.
    try {
      Table_.Close();
      Database_.DoDisconnect();
    } catch (...) {
    }
  }

  DataSet& Data() override { return Table_; }
  void SetIndexName(std::string_view name) override { Table_.SetIndexName(name); }
  bool DatabaseExists() override { return Database_.Exists(); }
  bool TableExists() override {
    if (!DatabaseExists()) return false;
    return Database_.TableExists(std::string(Table_.TableName()));
  }
  const std::string& DatabaseFileName() const override { return Database_.DatabaseFileName(); }
  void SetDatabaseFileName(const std::string& fileName) override {
    Table_.Close();
    Database_.SetDatabaseFileName(fileName);
  }
  void Connect() override {
    // A connect reports the open file's read-only state into ReadOnly; the
    // pair's own choice is what the next connect asks for.
    Database_.ReadOnly = ReadOnly_;
    Database_.DoConnect();
  }
  void Disconnect() override { Database_.DoDisconnect(); }
  void EmptyTable() override { Table_.EmptyTable(); }
  bool LastCommitChanges(FileChanges& changes) override { return LastCommitChangesOf(Database_, changes); }
  bool StartChangeChain() override { return Database_.StartChangeChain(); }
  RepairNotice TakeRepairNotice() override { return std::exchange(RepairNotice_, RepairNotice::None); }
  bool TakeRollbackNotice() override { return std::exchange(RollbackNotice_, false); }
  void SetSilent(bool silent) override { Database_.SilentMode = silent; }
  void SetReadOnly(bool readOnly) override {
    ReadOnly_ = readOnly;
    Table_.ReadOnly = readOnly;
  }
  bool IsReadOnly() const override { return Database_.Connected() ? Database_.ReadOnly : ReadOnly_; }
  bool RefusedForRepair(const std::exception& e) const override {
    const auto* engine = dynamic_cast<const EVLMException*>(&e);
    return engine != nullptr && engine->NativeError == kNeedsRepairReadOnly;
  }

private:
  static constexpr int32_t kMaxConnections = 500;
  // The engine's refusal of a read-only connect to a file that needs repair.
  static constexpr int32_t kNeedsRepairReadOnly = 10747;

  bool ReadOnly_ = false;
  RepairNotice RepairNotice_ = RepairNotice::None;
  bool RollbackNotice_ = false;
  // The files whose repair was declined in this session.
  std::set<std::string> Declined_;
  TVLMDatabase Database_;
  TVLMTable Table_;
};

}  // namespace

std::vector<std::string> EngineTableFactory::FileDamage(const std::string& fileName, bool firstOnly) {
  try {
    return TVLMDatabase::CheckDatabaseFile(fileName, "", firstOnly);
  } catch (const std::exception& e) {
    return {e.what()};
  }
}

std::unique_ptr<DatabaseTable> EngineTableFactory::Create(const TableSpec& spec, const std::string& fileName,
                                                          bool readOnly) {
  return std::make_unique<EngineDatabaseTable>(spec, fileName, readOnly);
}

}  // namespace qv::app
