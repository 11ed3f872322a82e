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
#include <initializer_list>
#include <string>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"

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

}  // namespace

bool TVLMTable::RestructureTable(std::string& log) {
  CheckInactive();
  {
    // A closed table knows its database's transaction only while attached.
    SetDBFlag(kDBFlagTable, true);
    auto release = qv::ScopeExit([&] { SetDBFlag(kDBFlagTable, false); });
    RefuseInTransaction("RestructureTable", 20180);
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
  DeleteTable();
  TableName_ = oldName;
  return true;
}
