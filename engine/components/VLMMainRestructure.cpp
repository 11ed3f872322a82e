// VLMMain, restructure part: TVLMTable's field rename, index addition and
// removal, and the restructure that rebuilds a table under a new structure.
//
// A restructure of table <name> works with two names of one GUID G:
// "NEW_<name>_G", the rebuilt table while it fills, and "OLD_<name>_G", the
// user's table while the rebuilt one takes its place. Each step is one
// commit (a table made, renamed or dropped whole), but for the copy, which
// commits the records in batches of bounded size (nothing sees NEW until it
// takes the name, so nothing needs a commit per record); the table
// component is closed before and after:
//
//   start     <name>                      definitions checked: nothing made
//      | CreateTable NEW
//   made      <name>, NEW (empty)
//      | RenameTable <name> -> OLD
//   aside     OLD, NEW
//      | CopyRecords OLD -> NEW (a commit per batch)
//   copied    OLD, NEW (every record)
//      | RenameTable NEW -> <name>        the restructure takes effect here
//   renamed   OLD, <name> (rebuilt)
//      | DeleteTable OLD
//   done      <name> (rebuilt)
//
// Invariants:
//   1. <name> is at every step the user's table whole, or the rebuilt table
//      with every record, or missing while OLD holds the user's records
//      beside their NEW; never a table that holds part of the records.
//   2. The tables of a step are told apart by their names alone, so a
//      restructure cut short anywhere (an error, a full disk, a stopped
//      process, a power cut) is finished by the same rules
//      (FinishCutRestructures), per GUID:
//        NEW beside <name>           dropped (the user's or the rebuilt
//                                    table is <name>)
//        OLD and NEW, no <name>      OLD renamed back to <name>, then NEW
//                                    dropped: the user's table as it was
//        OLD beside <name>, no NEW   dropped when it holds no more records
//                                    than <name> (a restructure that took
//                                    effect); kept otherwise
//        OLD alone, no <name>        renamed back when it is the only
//                                    "OLD_<name>_" table (one left by an
//                                    earlier build, which renamed first)
//      Anything else (NEW without <name> or its OLD, several lone OLD
//      tables without <name>) is left as it is.
//   3. Nothing drops OLD before <name> is the rebuilt table with every
//      record, nor NEW unless <name> or OLD holds the records.
//   4. A failure before NEW has the name is undone in the call by those
//      rules (the result false, or the exception passed on); when the undo
//      cannot finish (a failed write leaves the database refusing until it
//      is opened again) the call raises 20612 and the next connection to
//      the file that may write finishes it (TVLMDatabase::FinishRestructures,
//      from DoConnect), in this process or another, as does the next
//      restructure of the table. TableName is <name> on every path.
//   5. The restructuring table keeps its database attached throughout
//      (kDBFlagRestructure), so no connect of its own component meets its
//      steps half done. Another connection's connect may, in this process
//      or another: during the copy both tables are open here, and a table
//      another connection has open is neither renamed nor dropped (the
//      exclusive open each needs is refused); between two steps it finishes
//      the restructure by rule 2, and the restructure here then fails with
//      the table as it was, or (after the rename of NEW) succeeds without
//      its old copy to delete.
//   6. A restructure that no connect could finish (OLD held open by another
//      connection, or no connection that may write came since) is never
//      silent: opening <name> while it is missing beside step tables of its
//      restructure raises 20613, naming the step reached and the table that
//      holds the rows (RaiseUnfinishedRestructure), and nothing is dropped
//      until rule 2 can run whole. One under way holds NEW open from before
//      <name> goes aside until the copy is done; meanwhile the open raises
//      20940 (another connection is restructuring the table) on a
//      multi-user file, where table locks show it.
//
// Once the rebuilt table has the name, an old table that cannot be deleted
// is left under its "OLD_" name with a warning in the log, and the call
// succeeds; the next connect or restructure deletes it (rule 2).
//
// Error codes of this part: 20612 restructure that failed and could not be
// undone now; 20613 table whose restructure stands unfinished; 20940 table
// another connection is restructuring now.
#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineLocks.h"
#include "engine/storage/VLMDiskEngineTables.h"
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
  RefuseReadOnly(20864);
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
  RefuseReadOnly(20865);
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
  RefuseReadOnly(20866);
  RefuseInTransaction("DeleteIndex", 20177);
  cursor.InitFieldDefs();
  cursor.DeleteIndex(name);
}

namespace {

constexpr size_t kGuidLength = 38;  // {8-4-4-4-12}

// What a name says when it is "OLD_<table>_{GUID}" or "NEW_<table>_{GUID}".
struct StepName {
  bool Old = false;
  std::string Table;
  std::string Guid;
};

bool IsGuidText(const std::string& guid) {
  if (guid.size() != kGuidLength) return false;
  for (size_t i = 0; i < guid.size(); ++i) {
    const char c = guid[i];
    const bool ok = i == 0 ? c == '{' : i == kGuidLength - 1 ? c == '}'
                  : (i == 9 || i == 14 || i == 19 || i == 24) ? c == '-'
                  : std::isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  return true;
}

bool ParseStepName(const std::string& name, StepName& step) {
  constexpr size_t kPrefix = 4;  // "OLD_" or "NEW_"
  if (name.size() < kPrefix + 2 + kGuidLength) return false;
  const std::string prefix = name.substr(0, kPrefix);
  if (!qv::SameName(prefix, "OLD_") && !qv::SameName(prefix, "NEW_")) return false;
  if (name[name.size() - kGuidLength - 1] != '_') return false;
  step.Guid = name.substr(name.size() - kGuidLength);
  if (!IsGuidText(step.Guid)) return false;
  step.Old = qv::SameName(prefix, "OLD_");
  step.Table = name.substr(kPrefix, name.size() - kPrefix - 1 - kGuidLength);
  return true;
}

std::string StepTableName(bool old, const std::string& table, const std::string& guid) {
  return (old ? "OLD_" : "NEW_") + table + "_" + guid;
}

// The table operations FinishRestructures needs, on cursors of a session of
// its own (no table component: a database being connected has none).
class TableSteps {
public:
  explicit TableSteps(TVLMLocalSession& session) : Session_(session) {}

  void Load() {
    qv::StringList names;
    Session_.GetTableNames(names);
    Names_.clear();
    for (int32_t i = 0; i < names.Count(); ++i) Names_.push_back(names[i]);
  }
  const std::vector<std::string>& Names() const { return Names_; }
  bool Exists(const std::string& name) const {
    return std::any_of(Names_.begin(), Names_.end(), [&](const std::string& n) { return qv::SameName(n, name); });
  }
  void Rename(const std::string& from, const std::string& to) {
    TVLMLocalCursor cursor;
    Prepare(cursor, from, true);
    cursor.RenameTable(to);
    Forget(from);
    Names_.push_back(to);
  }
  void Drop(const std::string& name) {
    TVLMLocalCursor cursor;
    Prepare(cursor, name, true);
    cursor.DeleteTable();
    Forget(name);
  }
  int64_t RecordCount(const std::string& name) {
    TVLMLocalCursor cursor;
    Prepare(cursor, name, false);
    TVLMFieldDefs fields;
    TVLMIndexDefs indexes;
    TVLMConstraintDefs constraints;
    cursor.OpenTable(&fields, &indexes, &constraints);
    const int64_t count = cursor.GetRecordCount();
    cursor.CloseTable();
    return count;
  }

private:
  void Prepare(TVLMLocalCursor& cursor, const std::string& name, bool exclusive) {
    cursor.Session = &Session_;
    cursor.TableName = name;
    cursor.Exclusive = exclusive;
    cursor.ReadOnly = !exclusive;
  }
  void Forget(const std::string& name) {
    std::erase_if(Names_, [&](const std::string& n) { return qv::SameName(n, name); });
  }

  TVLMLocalSession& Session_;
  std::vector<std::string> Names_;
};

// Finishes the restructures of table onlyTable (of every table when empty)
// that were cut short, by the rules of invariant 2 at the top of this file.
// What cannot be done goes to log, one line each; the rest goes on. True
// when no "OLD_" or "NEW_" table of those restructures is left but the ones
// rule 2 keeps on purpose (an OLD table with more records than the table).
bool FinishCutRestructures(TVLMLocalSession& session, const std::string& onlyTable, std::string& log) {
  auto note = [&](const char* text, std::initializer_list<qv::FormatArg> args) {
    log += qv::format(text, args);
    log += kLineBreak;
  };
  TableSteps tables(session);
  tables.Load();
  // Per table (its name as the step names spell it), the GUIDs of its steps.
  struct Steps {
    std::string Table;
    std::vector<std::string> Olds, News;
  };
  std::vector<Steps> found;
  for (const std::string& name : tables.Names()) {
    StepName step;
    if (!ParseStepName(name, step)) continue;
    if (!onlyTable.empty() && !qv::SameName(step.Table, onlyTable)) continue;
    auto it = std::find_if(found.begin(), found.end(),
                           [&](const Steps& s) { return qv::SameName(s.Table, step.Table); });
    if (it == found.end()) it = found.insert(found.end(), Steps{step.Table, {}, {}});
    (step.Old ? it->Olds : it->News).push_back(step.Guid);
  }
  bool finished = true;
  for (const Steps& steps : found) {
    const std::string& table = steps.Table;
    auto has = [](const std::vector<std::string>& guids, const std::string& guid) {
      return std::find(guids.begin(), guids.end(), guid) != guids.end();
    };
    // A restructure cut short with its NEW table first: its OLD is the
    // user's table.
    for (const std::string& guid : steps.News) {
      const std::string oldName = StepTableName(true, table, guid), newName = StepTableName(false, table, guid);
      if (!tables.Exists(table) && has(steps.Olds, guid)) {
        try {
          tables.Rename(oldName, table);
        } catch (const std::exception& e) {
          note("Error restructuring table. Cannot rename table '%s' back to '%s' due to error: %s",
               {oldName, table, e.what()});
          finished = false;
          continue;
        }
      }
      if (!tables.Exists(table)) {
        finished = false;
        continue;
      }
      try {
        tables.Drop(newName);
      } catch (const std::exception& e) {
        note("Error restructuring table. Cannot delete new table '%s' due to error: %s", {newName, e.what()});
        finished = false;
      }
    }
    // OLD tables without their NEW one.
    std::vector<std::string> alone;
    for (const std::string& guid : steps.Olds)
      if (!has(steps.News, guid) && tables.Exists(StepTableName(true, table, guid)))
        alone.push_back(StepTableName(true, table, guid));
    if (!tables.Exists(table)) {
      if (alone.size() != 1) {
        finished = finished && alone.empty();
        continue;
      }
      try {
        tables.Rename(alone.front(), table);
      } catch (const std::exception& e) {
        note("Error restructuring table. Cannot rename table '%s' back to '%s' due to error: %s",
             {alone.front(), table, e.what()});
        finished = false;
      }
      continue;
    }
    for (const std::string& oldName : alone) {
      try {
        if (tables.RecordCount(oldName) <= tables.RecordCount(table)) tables.Drop(oldName);
      } catch (const std::exception& e) {
        note("Warning: cannot delete table '%s' left by an earlier restructure due to error: %s",
             {oldName, e.what()});
        finished = false;
      }
    }
  }
  return finished;
}

// True when another session has table open (its open-table lock is held).
// A restructure holds its NEW table open from before the user's table is
// set aside until the copy is done: a NEW table held open is a restructure
// under way, one that nobody holds was cut short. Only a multi-user file
// keeps table locks; on another an answer of false.
bool HeldOpenByOthers(TVLMLocalSession& session, const std::string& table) {
  auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(session.DatabaseData);
  if (disk == nullptr || !disk->MultiUser) return false;
  std::lock_guard guard(disk->CriticalSection());
  try {
    int32_t tableID = 0, metaData = 0, mostUpdated = 0, locksPage = 0;
    disk->GetTableInfo(table, tableID, metaData, mostUpdated, locksPage);
    TVLMTableLocksFile locks(disk->DiskPageManager());
    locks.OpenFile(locksPage);
    return locks.IsHeldByOthers(session.SessionID, kVLMLockTableOpen);
  } catch (const std::exception&) {
    // A table gone meanwhile (its restructure went on) or one whose locks
    // cannot be read: the step tables speak for themselves.
    return false;
  }
}

}  // namespace

void TVLMDatabase::FinishRestructures() {
  if (Handle_ == nullptr || Handle_->ReadOnly || Handle_->NeedsRepair || VLMDesignMode()) return;
  TVLMDatabaseData* data = Handle_->DatabaseData;
  if (data == nullptr || dynamic_cast<TVLMDiskDatabaseData*>(data) == nullptr) return;
  // Every connection that may write, also beside others of this process: a
  // restructure running here meets it as one of another process would
  // (invariant 5).
  std::string log;
  try {
    FinishCutRestructures(*Handle_, std::string(), log);
  } catch (const std::exception&) {
    // What cannot be finished now waits for a later connect, and opening
    // its table says so (invariant 6); the file is usable as it is.
  }
  FinishCopies();
}

void TVLMTable::RaiseUnfinishedRestructure(TVLMLocalSession& session, const std::string& name) {
  TableSteps tables(session);
  try {
    tables.Load();
  } catch (const std::exception&) {
    // A file whose tables cannot be listed has the open's own error.
    return;
  }
  std::vector<std::string> olds, news;
  for (const std::string& table : tables.Names()) {
    StepName step;
    if (ParseStepName(table, step) && qv::SameName(step.Table, name)) (step.Old ? olds : news).push_back(table);
  }
  if (olds.empty() && news.empty()) return;
  // The user's rows are in an OLD table once it was set aside; only a NEW
  // table left alone holds what the copy had written.
  const std::vector<std::string>& holders = olds.empty() ? news : olds;
  std::string where = holders.size() == 1 ? "table '" : "one of the tables '";
  for (size_t i = 0; i < holders.size(); ++i) where += (i == 0 ? "" : "', '") + holders[i];
  where += "'";
  if (std::any_of(news.begin(), news.end(), [&](const std::string& table) { return HeldOpenByOthers(session, table); }))
    throw EVLMException(20940,
                        "Table '%s' cannot be opened now: another connection is restructuring it; its rows are in "
                        "%s until it is done",
                        {name, where});
  throw EVLMException(20613,
                      "Table '%s' cannot be opened: its restructure stopped at step '%s' and is not finished; its "
                      "rows are in %s",
                      {name, std::string(olds.empty() ? "new table made" : "table set aside"), where});
}

bool TVLMTable::RestructureTable(std::string& log) {
  CheckInactive();
  SetDBFlag(kDBFlagRestructure, true);
  auto detach = qv::ScopeExit([&] { SetDBFlag(kDBFlagRestructure, false); });
  // Before the cut restructures are finished: that writes too.
  RefuseReadOnly(20867);
  RefuseInTransaction("RestructureTable", 20180);
  TVLMLocalSession& session = *EngineSession();
  const std::string name = TableName_;
  FinishCutRestructures(session, name, log);

  TVLMTable fresh;
  fresh.SetSessionName(SessionName());
  fresh.SetDatabaseName(DatabaseName());
  fresh.SetTableName(name);
  fresh.AdvFieldDefs.Assign(RestructureFieldDefs);
  fresh.AdvIndexDefs.Assign(RestructureIndexDefs, false);
  auto cannotCreate = [&](const std::exception& e) {
    log += qv::format("Error restructuring table. Cannot create table due to error: %s", {e.what()});
    log += kLineBreak;
  };
  // Definitions that no table can have are refused before anything changes,
  // in the table's own name.
  try {
    fresh.NormalizeFieldDefs();
    fresh.CheckFieldDefs();
  } catch (const std::exception& e) {
    cannotCreate(e);
    return false;
  }
  const std::string guid = VLMNewGUIDName("");
  const std::string oldName = StepTableName(true, name, guid), newName = StepTableName(false, name, guid);
  fresh.SetTableName(newName);

  // Puts the table back (invariant 4) after a failure for cause: both
  // tables closed, then the rules of FinishCutRestructures for this table.
  // An undo that cannot finish is 20612, whose text the log gets too.
  auto undo = [&](const std::string& cause) {
    for (TVLMTable* table : {&fresh, this}) {
      try {
        table->Close();
      } catch (const std::exception&) {
        // A table that cannot be closed cannot be renamed or dropped either,
        // which the rules below report.
      }
    }
    TableName_ = name;
    bool finished = false;
    try {
      finished = FinishCutRestructures(session, name, log) && session.TableExists(name) &&
                 !session.TableExists(oldName) && !session.TableExists(newName);
    } catch (const std::exception& e) {
      log += qv::format("Error restructuring table. Cannot put table '%s' back due to error: %s", {name, e.what()});
      log += kLineBreak;
    }
    if (finished) return;
    EVLMException unfinished(20612,
                             "Table '%s' was not restructured (%s). It is put back as it was when the database is "
                             "opened again",
                             {name, cause});
    log += unfinished.Message();
    log += kLineBreak;
    throw unfinished;
  };

  try {
    fresh.CreateTable();
  } catch (const std::exception& e) {
    cannotCreate(e);
    undo(e.what());
    return false;
  }
  bool copied = false;
  try {
    // Held open while the user's table is aside: others tell by it that the
    // restructure is under way (RaiseUnfinishedRestructure).
    fresh.Open();
    RenameTable(oldName);
    // Opening reads the stored structure into the restructure definitions;
    // the copy matches fields through the edited ones.
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
      copied = CopyRecords(
          *this, fresh, log, cont, false, true,
          [this](qv::DataSet&, int32_t percent, bool& go) {
            go = DoOperationProgress(LongOperation::Restructure, percent);
          },
          0, 99, true);
    } catch (...) {
      DoAfterOperation(LongOperation::Restructure);
      throw;
    }
    DoAfterOperation(LongOperation::Restructure);
    fresh.Close();
    Close();
    if (copied) fresh.RenameTable(name);
  } catch (const std::exception& e) {
    undo(e.what());
    throw;
  } catch (...) {
    undo("an unknown error");
    throw;
  }
  if (!copied) {
    undo("the copy of its records did not finish");
    return false;
  }
  // The rebuilt table has the name: the old copy is a leftover.
  try {
    DeleteTable();
  } catch (const std::exception& e) {
    log += qv::format("Warning: table '%s' was restructured, but its old copy '%s' could not be deleted due to "
                      "error: %s",
                      {name, TableName_, e.what()});
    log += kLineBreak;
  }
  TableName_ = name;
  return true;
}
