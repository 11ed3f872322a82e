// The table components of a statement and the kept tables
// (VLMKeptTables.h).
#include "engine/sql/VLMKeptTables.h"

#include <algorithm>
#include <exception>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"
#include "platform/os/Paths.h"

namespace {

thread_local TVLMKeptTables* gCurrentKeptTables = nullptr;

// Invariant 1 (the cursor's own half; Give adds the read-only mark, which
// it undoes first).
bool AsLent(TVLMTable& table, const TVLMLocalCursor* cursor) {
  return cursor != nullptr && table.Active() && table.State() == qv::dsBrowse && !cursor->IsRangeSet() &&
         table.IndexName().empty() && table.IndexFieldNames().empty() && !table.Filtered() && !table.Temporary();
}

}  // namespace

// ----------------------------------------------------- table components

bool VLMIsOwnDatabaseFile(TVLMDataSet* owner, const std::string& databaseFileName) {
  const TVLMDatabase* database = owner != nullptr ? owner->Database() : nullptr;
  return database != nullptr && !database->DatabaseFileName().empty() &&
         qv::SameFile(database->DatabaseFileName(), databaseFileName);
}

void CreateTableComponent(TVLMDataSet* owner, const std::string& databaseFileName, const std::string& tableName,
                          const std::string& password, bool inMemory, std::unique_ptr<TVLMDatabase>& database,
                          std::unique_ptr<TVLMTable>& table, bool keepProjection) {
  database.reset();
  table.reset();
  // The private database exists only to reach another file; for the
  // owner's own database the table goes through the owner's component,
  // also when the statement names its file: a second connection of the
  // process to that file would neither share the owner's transaction nor
  // be refused what the owner may not do.
  if (!databaseFileName.empty() && !VLMIsOwnDatabaseFile(owner, databaseFileName)) {
    database = std::make_unique<TVLMDatabase>();
    if (TVLMDatabase* ownerDatabase = owner->Database()) {
      database->MultiUser = ownerDatabase->MultiUser;
      database->DisableTempFiles = ownerDatabase->DisableTempFiles;
      // A connection the program opened read-only writes no file through
      // the statements it runs.
      database->ReadOnly = ownerDatabase->ReadOnly;
    }
    database->SetSessionName(owner->SessionName());
    database->SetDatabaseFileName(databaseFileName);
    database->SetDatabaseName(VLMNewGUIDName("TEMP_DB"));
    database->Password = password;
    database->SilentMode = true;
  }
  if (database == nullptr) {
    if (TVLMKeptTables* kept = VLMCurrentKeptTables()) {
      table = kept->Take(owner->SessionName(), owner->DatabaseName(), tableName, inMemory || owner->InMemory(),
                         keepProjection);
      if (table) return;
    }
  }
  table = std::make_unique<TVLMTable>();
  table->SetDatabaseOwner(owner->DatabaseOwner());
  table->SetSessionName(owner->SessionName());
  table->SetDatabaseName(database ? database->DatabaseName() : owner->DatabaseName());
  table->SetTableName(tableName);
  if (inMemory || owner->InMemory()) table->SetInMemory(true);
}

void FreeTableComponents(std::unique_ptr<TVLMTable>& table, std::unique_ptr<TVLMDatabase>& database) {
  table.reset();
  database.reset();
}

TVLMTableComponents::~TVLMTableComponents() { FreeTableComponents(Table, Database); }

// ------------------------------------------------------------- kept tables

bool VLMSharedFile(const TVLMLocalCursor& cursor) {
  return cursor.Session != nullptr && (cursor.Session->MultiUser || cursor.Session->SharesFile);
}

void VLMSetReleaseIdle(TVLMLocalCursor& cursor, std::function<void()> release) {
  if (release)
    release = [owner = std::this_thread::get_id(), inner = std::move(release)] {
      if (std::this_thread::get_id() == owner) inner();
    };
  TVLMTableData* table = cursor.Table();
  if (table == nullptr) {
    cursor.ReleaseIdle = std::move(release);
    return;
  }
  auto guard = table->LockGuard();
  cursor.ReleaseIdle = std::move(release);
}

TVLMKeptTables::~TVLMKeptTables() { Clear(); }

void TVLMKeptTables::CheckThread() {
  // An empty set belongs to the next thread that uses it.
  if (Tables_.empty()) Thread_ = std::this_thread::get_id();
  VLM_INVARIANT("VLMKeptTables 4", Thread_ == std::this_thread::get_id());
}

std::unique_ptr<TVLMTable> TVLMKeptTables::Take(const std::string& sessionName, const std::string& databaseName,
                                                const std::string& tableName, bool inMemory, bool keepProjection) {
  if (Tables_.empty()) return nullptr;
  CheckThread();
  const std::string upper = qv::UpperCase1252(tableName);
  for (auto it = Tables_.begin(); it != Tables_.end(); ++it) {
    TVLMTable& table = **it;
    if (table.SessionName() != sessionName || table.DatabaseName() != databaseName ||
        table.InMemory() != inMemory || qv::UpperCase1252(table.TableName()) != upper)
      continue;
    std::unique_ptr<TVLMTable> taken = std::move(*it);
    Tables_.erase(it);
    TVLMLocalCursor* cursor = taken->Active() ? taken->Handle() : nullptr;
    VLM_INVARIANT("VLMKeptTables 1", AsLent(*taken, cursor) && !cursor->ReadOnly);
    VLM_INVARIANT("VLMKeptTables 2", static_cast<bool>(cursor->ReleaseIdle));
    VLMSetReleaseIdle(*cursor, nullptr);
    if (cursor->ProjectionSet && !keepProjection) {
      try {
        taken->ClearProjection();
      } catch (...) {
        CloseKept(std::move(taken));
        return nullptr;
      }
    }
    return taken;
  }
  return nullptr;
}

void TVLMKeptTables::Give(std::unique_ptr<TVLMTable> table) {
  if (!table) return;
  CheckThread();
  VLM_INVARIANT("VLMKeptTables 3", std::none_of(Tables_.begin(), Tables_.end(),
                                                [&](const auto& kept) { return kept.get() == table.get(); }));
  try {
    TVLMLocalCursor* cursor = table->Active() ? table->Handle() : nullptr;
    if (cursor != nullptr && !VLMSharedFile(*cursor)) {
      cursor->SetFilterExpression(nullptr, nullptr, nullptr);
      // A query's result read straight from the table was read-only: the
      // table is the lent one again. It keeps the columns it showed, for
      // the next text that reads it the same way (Take clears them for any
      // other borrower).
      // The table's own flag holds the database's, set when it opened.
      if (table->State() == qv::dsBrowse && !table->Temporary() && cursor->ReadOnly && !table->ReadOnly)
        cursor->ReadOnly = false;
      if (!cursor->ReadOnly && AsLent(*table, cursor)) {
        // Idle until the next run takes it: another cursor of the process
        // that wants the table alone has it closed.
        TVLMTable* kept = table.get();
        VLMSetReleaseIdle(*cursor, [this, kept] { Release(kept); });
        Tables_.push_back(std::move(table));
        return;
      }
    }
  } catch (...) {
  }
  try {
    table->Close();
  } catch (...) {
  }
  table.reset();
}

void TVLMKeptTables::Clear() {
  while (!Tables_.empty()) {
    std::unique_ptr<TVLMTable> table = std::move(Tables_.back());
    Tables_.pop_back();
    CloseKept(std::move(table));
  }
}

void TVLMKeptTables::Release(TVLMTable* table) {
  const auto it = std::find_if(Tables_.begin(), Tables_.end(), [&](const auto& kept) { return kept.get() == table; });
  if (it == Tables_.end()) return;
  std::unique_ptr<TVLMTable> taken = std::move(*it);
  Tables_.erase(it);
  CloseKept(std::move(taken));
}

void TVLMKeptTables::CloseKept(std::unique_ptr<TVLMTable> table) {
  try {
    if (TVLMLocalCursor* cursor = table->Handle()) VLMSetReleaseIdle(*cursor, nullptr);
    table->Close();
  } catch (...) {
  }
}

TVLMKeptTables* VLMCurrentKeptTables() { return gCurrentKeptTables; }

TVLMKeptTablesScope::TVLMKeptTablesScope(TVLMKeptTables* tables) : Saved_(gCurrentKeptTables) {
  gCurrentKeptTables = tables;
}

TVLMKeptTablesScope::~TVLMKeptTablesScope() { gCurrentKeptTables = Saved_; }
