// VLMMain, restructure part: TVLMTable's field rename, index addition and
// removal, and the restructure that rebuilds a table under a new structure.
//
// RestructureTable moves through these states (the table is closed before
// and after):
//
//   renamed   the user's table is "OLD_<name>_{GUID}" (RenameTable)
//   created   a new table <name> made from the restructure definitions
//   copied    every record copied from the old table into the new one
//   done      the old table deleted, TableName back to <name>
//
// Invariant: whatever fails after the rename, the user's records end under
// their own name. The failure path closes both tables, drops the new table
// when it was made, and renames the old one back; only a failure of that
// rename itself leaves the records under the "OLD_" name, which TableName
// then holds and the log names.
//
// Once the records are copied the restructure has taken effect: an old
// table that cannot be deleted then is left under its "OLD_" name with a
// warning in the log, and the call still succeeds. A later restructure of
// <name> deletes such stale "OLD_<name>_{GUID}" tables first, but only one
// that holds no more records than <name> itself: a table left by a failed
// restructure whose rename back failed holds the user's records and more
// than the partial new table, and is kept.
#include <cctype>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/dataset/DatabaseError.h"

namespace {

// AddIndex needs the table alone: a lock of type 6 excludes every other
// session's lock on it.
constexpr uint8_t kExclusiveLockType = 6;
constexpr const char* kLineBreak = "\r\n";

}  // namespace

void TVLMTable::RenameField(const std::string& oldName, const std::string& newName) {
  CheckInactive();
  const bool exclusive = Exclusive;
  Exclusive = true;
  auto restore = qv::ScopeExit([&] {
    Close();
    Exclusive = exclusive;
  });
  Open();
  RefuseInTransaction("RenameField", 20179);
  // An open table has its cursor.
  Handle_->RenameField(oldName, newName);
}

void TVLMTable::AddIndex(const std::string& name, const std::string& fields, qv::TIndexOptions options,
                         const std::string& descFields, const std::string& caseInsFields) {
  GetFieldDefs().Update();
  SetDBFlag(kDBFlagIndexes, true);
  auto release = qv::ScopeExit([&] {
    GetIndexDefs().SetUpdated(false);
    SetDBFlag(kDBFlagIndexes, false);
  });
  std::unique_ptr<TVLMLocalCursor> temporary;
  if (Handle_)
    CursorPosChanged();
  else
    temporary = CreateCursor();
  TVLMLocalCursor& cursor = Handle_ ? *Handle_ : *temporary;
  if (name.empty()) throw EVLMException(20046, "Invalid index name '%s'", {name});
  if (fields.empty()) throw EVLMException(20047, "Cannot find index field '%s'", {fields});
  RefuseInTransaction("AddIndex", 20175);
  TVLMAdvIndexDef advDef;
  advDef.Name = name;
  advDef.Fields = fields;
  advDef.DescFields = descFields;
  advDef.CaseInsFields = caseInsFields;
  advDef.Options = static_cast<uint8_t>(options);
  TVLMIndexDef indexDef;
  VLMAdvIndexDefToEngine(advDef, indexDef, GetFieldDefs());
  cursor.InitFieldDefs();
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!cursor.LockTable(kExclusiveLockType, settings.TableOpenTries, static_cast<int32_t>(settings.TableOpenDelayMs),
                        true))
    throw EVLMException(20228, "Cannot access table '%s' in exclusive mode. Table is open by another user",
                        {TableName_});
  auto unlock = qv::ScopeExit([&] { cursor.UnlockTable(kExclusiveLockType, false); });
  cursor.CreateIndex(indexDef);
}

void TVLMTable::DeleteIndex(const std::string& name) {
  SetDBFlag(kDBFlagIndexes, true);
  auto release = qv::ScopeExit([&] {
    GetIndexDefs().SetUpdated(false);
    SetDBFlag(kDBFlagIndexes, false);
  });
  std::unique_ptr<TVLMLocalCursor> temporary;
  if (!Handle_) temporary = CreateCursor();
  TVLMLocalCursor& cursor = Handle_ ? *Handle_ : *temporary;
  RefuseInTransaction("DeleteIndex", 20177);
  cursor.InitFieldDefs();
  cursor.DeleteIndex(name);
}

namespace {

// Puts the user's table back after a restructure failed past the rename:
// both tables closed, the new one dropped when it was made, the old one
// renamed to oldName. Never raises: what cannot be undone goes to log, and a
// rename that fails leaves old under the name it has, which it then shows.
void UndoRestructure(TVLMTable& old, TVLMTable& fresh, const std::string& oldName, std::string& log) {
  auto note = [&](const char* text, std::initializer_list<qv::FormatArg> args) {
    log += qv::format(text, args);
    log += kLineBreak;
  };
  try {
    fresh.Close();
  } catch (const std::exception&) {
    // The drop below reports a table it cannot reach.
  }
  try {
    old.Close();
  } catch (const std::exception&) {
    // The rename below reports a table it cannot reach.
  }
  try {
    if (fresh.Exists()) fresh.DeleteTable();
  } catch (const std::exception& e) {
    note("Error restructuring table. Cannot delete new table '%s' due to error: %s", {oldName, e.what()});
  }
  try {
    old.RenameTable(oldName);
  } catch (const std::exception& e) {
    note("Error restructuring table. Cannot rename table '%s' back to '%s' due to error: %s",
         {old.TableName(), oldName, e.what()});
  }
}

// Whether name is "OLD_<tableName>_{GUID}", the name a restructure of
// tableName gives the old table (table names compare ignoring case).
bool IsOldTableOf(const std::string& name, const std::string& tableName) {
  const std::string prefix = "OLD_" + tableName + "_";
  constexpr size_t kGuidLength = 38;  // {8-4-4-4-12}
  if (name.size() != prefix.size() + kGuidLength || !qv::SameName(name.substr(0, prefix.size()), prefix))
    return false;
  const std::string guid = name.substr(prefix.size());
  for (size_t i = 0; i < guid.size(); ++i) {
    const char c = guid[i];
    const bool ok = i == 0 ? c == '{' : i == kGuidLength - 1 ? c == '}'
                  : (i == 9 || i == 14 || i == 19 || i == 24) ? c == '-'
                  : std::isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  return true;
}

}  // namespace

void TVLMTable::DeleteStaleOldTables(std::string& log) {
  TVLMDatabase* database = Database();
  if (database == nullptr) return;
  qv::StringList names;
  database->GetTableNames(names);
  std::vector<std::string> stale;
  for (int32_t i = 0; i < names.Count(); ++i)
    if (IsOldTableOf(names[i], TableName_)) stale.push_back(names[i]);
  if (stale.empty()) return;
  auto sibling = [this](const std::string& name) {
    auto table = std::make_unique<TVLMTable>();
    table->SetSessionName(SessionName());
    table->SetDatabaseName(DatabaseName());
    table->SetTableName(name);
    return table;
  };
  int32_t current = 0;
  {
    std::unique_ptr<TVLMTable> own = sibling(TableName_);
    own->Open();
    current = own->RecordCount();
  }
  for (const std::string& name : stale) {
    try {
      std::unique_ptr<TVLMTable> old = sibling(name);
      old->Open();
      const bool covered = old->RecordCount() <= current;
      old->Close();
      if (covered) old->DeleteTable();
    } catch (const std::exception& e) {
      log += qv::format("Warning: cannot delete table '%s' left by an earlier restructure due to error: %s",
                        {name, e.what()});
      log += kLineBreak;
    }
  }
}

bool TVLMTable::RestructureTable(std::string& log) {
  CheckInactive();
  {
    // A closed table knows its database's transaction only while attached.
    SetDBFlag(kDBFlagTable, true);
    auto release = qv::ScopeExit([&] { SetDBFlag(kDBFlagTable, false); });
    RefuseInTransaction("RestructureTable", 20180);
    DeleteStaleOldTables(log);
  }
  const std::string oldName = TableName_;
  RenameTable(VLMNewGUIDName("OLD_" + oldName + "_"));

  TVLMTable fresh;
  fresh.SetSessionName(SessionName());
  fresh.SetDatabaseName(DatabaseName());
  fresh.SetTableName(oldName);
  fresh.AdvFieldDefs.Assign(RestructureFieldDefs);
  fresh.AdvIndexDefs.Assign(RestructureIndexDefs, false);
  bool result = false;
  try {
    bool created = false;
    try {
      fresh.CreateTable();
      created = true;
    } catch (const std::exception& e) {
      log += qv::format("Error restructuring table. Cannot create table due to error: %s", {e.what()});
      log += kLineBreak;
    }
    if (created) {
      fresh.Open();
      // Opening reads the stored structure into the restructure
      // definitions; the copy matches fields through the edited ones.
      TVLMAdvFieldDefs fieldDefs;
      fieldDefs.Assign(RestructureFieldDefs);
      TVLMAdvIndexDefs indexDefs;
      indexDefs.Assign(RestructureIndexDefs, false);
      Open();
      RestructureFieldDefs.Assign(fieldDefs);
      RestructureIndexDefs.Assign(indexDefs, false);
      bool cont = true;
      DoBeforeOperation(LongOperation::Restructure);
      try {
        result = CopyRecords(
            *this, fresh, log, cont, false, true,
            [this](qv::DataSet&, int32_t percent, bool& go) {
              go = DoOperationProgress(LongOperation::Restructure, percent);
            },
            0, 99);
      } catch (...) {
        DoAfterOperation(LongOperation::Restructure);
        throw;
      }
      DoAfterOperation(LongOperation::Restructure);
      fresh.Close();
      Close();
    }
  } catch (...) {
    UndoRestructure(*this, fresh, oldName, log);
    throw;
  }
  if (!result) {
    UndoRestructure(*this, fresh, oldName, log);
    return false;
  }
  // The restructure has taken effect; the old copy is a leftover.
  try {
    DeleteTable();
  } catch (const std::exception& e) {
    log += qv::format("Warning: table '%s' was restructured, but its old copy '%s' could not be deleted due to "
                      "error: %s",
                      {oldName, TableName_, e.what()});
    log += kLineBreak;
  }
  TableName_ = oldName;
  return true;
}
