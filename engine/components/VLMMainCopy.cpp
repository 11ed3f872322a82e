// VLMMain, copy part: the record copy between two datasets that the table
// copy, the import and the restructure all run on; the table copy into the
// same or another database file, and the import from any dataset.
//
// The copy appends one destination record per source record and posts it
// before it reads the next, so a failure leaves every earlier record posted
// and the failing one cancelled; nothing is rolled back. A batched copy (the
// restructure's, the table copy's and the import's into a disk table nobody
// else sees yet) is the exception: it commits the posted records together
// whenever their changed pages reach the batch size
// (TVLMRetrySettings::CopyBatchBytes) and once at its end, a failure rolls
// back what it posted since its last commit, and it leaves out only the
// records their table's checks refuse (any other failed post ends it). What
// went wrong is written to the caller's log as it happens, so a copy that
// stops with an exception still tells which record and field it stopped on.
//
// A table copy or import into table <name> of a disk database fills a table
// nobody else reads and gives it the name in one rename, so that other
// connections, in this process or another, see <name> as it was until the
// copy is whole and the whole copy after. It works with two names of one
// GUID G: "COPY_<name>_G", the copy while it fills, and "PREV_<name>_G", a
// table <name> it replaces (CopyTable with overwrite, an import over an
// existing table) while the copy takes its place. Each step is one commit
// but for the fill, which commits in batches:
//
//   start     [<name>]                    refusals: nothing made
//      | CreateTable COPY
//   made      [<name>], COPY (empty)
//      | CopyRecords -> COPY (a commit per batch)
//   filled    [<name>], COPY (every record)
//      | RenameTable <name> -> PREV        (only over a table <name>)
//   aside     PREV, COPY
//      | RenameTable COPY -> <name>        the copy takes effect here
//   named     [PREV], <name> (the copy)
//      | DeleteTable PREV
//   done      <name> (the copy)
//
// Invariants:
//   1. <name> is at every step the table it was before the operation (or
//      none), or the copy with every record; never a table that holds part
//      of them. Between "aside" and "named" it is missing for one commit
//      while PREV holds it whole.
//   2. The steps are told apart by their names alone, so a copy cut short
//      anywhere (an error, a full disk, a stopped process, a power cut) is
//      undone by the same rules (FinishCutCopies), at its own failure and
//      at the next connect that may write, in any process, per GUID:
//        PREV, no <name>             PREV renamed back to <name> (when it
//                                    is the only PREV of <name>), then
//                                    COPY dropped: the table as it was
//        COPY, no PREV               dropped
//        PREV beside <name>, no COPY dropped (the copy took effect)
//      Anything else (PREV and COPY beside a <name> made meanwhile,
//      several PREV tables without <name>) is left as it is.
//   3. Nothing drops PREV before <name> is the whole copy.
//   4. A table another connection has open is neither renamed nor dropped
//      (the exclusive open each needs is refused): a table <name> that
//      another connection reads keeps the copy from taking its place, and
//      the copy fails with the table as it was. COPY stays open from its
//      fill to its rename but for the moment between: a connect that meets
//      it then drops it, and the copy fails the same way.
// The destination keeps its database attached throughout (kDBFlagCopy), so
// no connect of its own component meets the steps half done. A copy into
// the memory database, a memory or temporary table commits nothing and
// keeps the one road of old: the table made under its name and filled; so
// does one whose name leaves no room for the step names.
//
// Error code of this part: 20920 a copy that failed and could not be undone
// now (its table is put back by the next connect).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMFieldCopy.h"
#include "engine/core/VLMIndexManager.h"
#include "engine/core/VLMSettings.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "engine/storage/VLMPage.h"
#include "platform/dataset/Defs.h"
#include "platform/dataset/Fields.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/host/SysUtils.h"

namespace {

constexpr std::string_view kLineBreak = "\r\n";
// Progress is reported at least this often, counted in records.
constexpr int64_t kMaxProgressInterval = 30;

std::string CopyTableName(qv::DataSet& source) {
  auto* table = dynamic_cast<TVLMTable*>(&source);
  return table != nullptr ? table->TableName() : std::string("unknown");
}

// The field of source that definition index i describes: by position when
// every definition has its field object, else by the definition's name.
qv::Field* SourceField(qv::DataSet& source, int32_t i) {
  if (source.FieldCount() == source.GetFieldDefs().Count()) return source.GetFields()[i];
  return source.FindField(source.GetFieldDefs()[i]->Name());
}

// The field of dest that sourceField is copied into; nullptr: none.
qv::Field* DestField(qv::DataSet& source, qv::DataSet& dest, qv::Field* sourceField, bool matchByRestructure) {
  auto* sourceTable = dynamic_cast<TVLMTable*>(&source);
  if (matchByRestructure && sourceTable != nullptr && dynamic_cast<TVLMTable*>(&dest) != nullptr) {
    // The restructure definitions keep each surviving field's identity under
    // its new name; a field added by the restructure has none (-1).
    const TVLMAdvFieldDef* old = sourceTable->AdvFieldDefs.Find(sourceField->FieldName());
    const TVLMAdvFieldDefs& target = sourceTable->RestructureFieldDefs;
    if (old != nullptr && old->ObjectID >= 0) {
      for (int32_t i = 0; i < target.GetCount(); ++i) {
        if (target.GetItem(i)->ObjectID != old->ObjectID) continue;
        if (qv::Field* field = dest.FindField(target.GetItem(i)->Name)) return field;
        break;
      }
    }
  }
  return dest.FindField(sourceField->FieldName());
}

// The cursor's result code of a post its constraints refused for the
// record's own values (a null where none may be, a value out of range, a
// key twice), raised before anything is written (VLMEngineErrorText).
constexpr int32_t kRefusedByCheck = -8;

// A batched copy leaves out (and names) only a record refused for its own
// values: any other failure of a post (a write the disk refused) would
// leave out a record that another try could keep, so it ends the copy.
bool RefusedForItsValues(const std::exception& e) {
  const auto* error = dynamic_cast<const EVLMEngineError*>(&e);
  return error != nullptr && error->ErrorCode == kRefusedByCheck;
}

// The pending record is dropped; a failure to drop it says nothing the
// caller does not already know.
void CancelQuietly(qv::DataSet& dest) {
  try {
    dest.Cancel();
  } catch (const std::exception&) {
  }
}

// The posts of a batched copy committed together. The destination's cursor
// stops committing each post while the batch is open (as an SQL write
// outside a transaction does); Posted commits once the session's changed
// pages reach the batch size, Finish commits the rest. Whatever is not
// committed when the batch goes is rolled back. A destination that is no
// disk table of a connection outside a transaction commits each post as
// before.
class CopyBatch {
public:
  CopyBatch(qv::DataSet& dest, bool batched) {
    auto* table = dynamic_cast<TVLMTable*>(&dest);
    TVLMLocalCursor* cursor = table != nullptr ? table->Handle() : nullptr;
    if (!batched || cursor == nullptr || cursor->TableData == nullptr || !cursor->TableData->KeepsRollback() ||
        cursor->Session == nullptr || cursor->Session->InTransaction)
      return;
    Cursor_ = cursor;
    SavedNoAutoCommit_ = cursor->NoAutoCommit;
    cursor->NoAutoCommit = true;
    cursor->BeginImplicitTransaction();
    const int32_t pageSize = std::max<int32_t>(1, cursor->Table()->PageManager->PageSize);
    MaxPages_ = std::max<int64_t>(1, VLMRetrySettings().CopyBatchBytes / pageSize);
  }
  ~CopyBatch() {
    if (Cursor_ == nullptr) return;
    try {
      Cursor_->RollbackImplicitTransaction();
    } catch (const std::exception&) {
      // The error that ended the copy is the one its caller hears of.
    }
    Cursor_->NoAutoCommit = SavedNoAutoCommit_;
  }
  CopyBatch(const CopyBatch&) = delete;
  CopyBatch& operator=(const CopyBatch&) = delete;

  bool Active() const { return Cursor_ != nullptr; }

  void Posted() {
    if (Cursor_ == nullptr) return;
    int64_t pages = 0;
    {
      TVLMTableDataScope scope(*Cursor_);
      pages = Cursor_->Table()->PageManager->PrivatePageCount(VLMCursorSessionID(Cursor_));
    }
    if (pages < MaxPages_) return;
    Commit();
    Cursor_->BeginImplicitTransaction();
  }
  void Finish() {
    if (Cursor_ == nullptr) return;
    Commit();
    Cursor_->NoAutoCommit = SavedNoAutoCommit_;
    Cursor_ = nullptr;
  }

private:
  // Under the table's commit lock, as a post outside a transaction commits.
  void Commit() {
    const TVLMRetrySettings& retry = VLMRetrySettings();
    if (!Cursor_->LockTable(kVLMLockTableCommit, retry.TableCommitTries,
                            static_cast<int32_t>(retry.TableCommitDelayMs), true))
      throw EVLMException(20224, "Table is locked");
    auto unlock = qv::ScopeExit([&] {
      try {
        Cursor_->UnlockTable(kVLMLockTableCommit, false);
      } catch (const std::exception&) {
        // The lock goes with the session at the latest.
      }
    });
    try {
      Cursor_->CommitImplicitTransaction();
    } catch (...) {
      // The commit cleared the cursor's mark before it failed: the
      // destructor's rollback needs it again.
      Cursor_->ImplicitTransaction = true;
      throw;
    }
  }

  TVLMLocalCursor* Cursor_ = nullptr;
  bool SavedNoAutoCommit_ = false;
  int64_t MaxPages_ = 1;
};

}  // namespace

bool TVLMDataSet::CopyRecords(qv::DataSet& source, qv::DataSet& dest, std::string& log, bool& cont,
                              bool ignoreErrors, bool matchByRestructure, const CopyProgressEvent& onProgress,
                              int32_t minPercent, int32_t maxPercent, bool batched) {
  const std::string tableName = CopyTableName(source);
  bool result = true;
  source.CheckBrowseMode();
  int64_t counter = 1;
  const int64_t range = static_cast<int64_t>(maxPercent) - minPercent;
  int64_t step = range == 0 ? 1 : source.RecordCount() / range + 1;
  // A range given backwards would make the interval zero or negative.
  step = std::clamp<int64_t>(step, 1, kMaxProgressInterval);

  source.Refresh();
  const qv::Bookmark bookmark = source.GetBookmark();
  auto restore = qv::ScopeExit([&] {
    try {
      source.GotoBookmark(bookmark);
    } catch (const std::exception&) {
      // The record may be gone; the copy's own outcome matters more.
    }
  });
  source.First();
  const int32_t recordCount = source.RecordCount();
  CopyBatch batch(dest, batched);
  // Which field goes where is the same for every record: it is matched by
  // name once, not per record.
  const int32_t fieldCount = source.GetFieldDefs().Count();
  std::vector<std::pair<qv::Field*, qv::Field*>> fieldPairs;
  for (int32_t i = 0; i < fieldCount; ++i) {
    qv::Field* from = SourceField(source, i);
    fieldPairs.emplace_back(from, from != nullptr ? DestField(source, dest, from, matchByRestructure) : nullptr);
  }
  while (!source.Eof()) {
    dest.Append();
    for (int32_t i = 0; i < fieldCount; ++i) {
      auto [from, to] = fieldPairs[static_cast<size_t>(i)];
      if (from == nullptr) {
        const std::string text = qv::format(
            "Cannot copy field '%s' of table \"%s\": the field type is not supported in this version. Please "
            "change the data type of the field.",
            {source.GetFieldDefs()[i]->Name(), tableName});
        log += text;
        log += kLineBreak;
        if (!ignoreErrors) {
          CancelQuietly(dest);
          throw EVLMException(10499, text);
        }
        result = false;
        continue;
      }
      if (to == nullptr) continue;
      try {
        VLMCopyFieldValue(from, to);
      } catch (const std::exception& e) {
        log += qv::format("Error copying table \"%s\". Record #%d, field '%s' was copied with Null value due to "
                          "error: %s",
                          {tableName, counter, from->FieldName(), std::string(e.what())});
        log += kLineBreak;
        try {
          to->Clear();
        } catch (const std::exception&) {
          // The value stays as it is; the record is still posted.
        }
        if (!ignoreErrors) {
          CancelQuietly(dest);
          throw;
        }
        result = false;
      }
    }
    try {
      dest.Post();
    } catch (const std::exception& e) {
      log += qv::format("Error copying table \"%s\". Record #%d was not imported due to error: %s",
                        {tableName, counter, std::string(e.what())});
      log += kLineBreak;
      log += kLineBreak;
      CancelQuietly(dest);
      if (!ignoreErrors || (batch.Active() && !RefusedForItsValues(e))) throw;
      result = false;
    }
    batch.Posted();
    ++counter;
    source.Next();
    if ((counter - 2) % step == 0) {
      // A source that cannot count its records reports the range's start.
      // Halves round to even.
      const int64_t done =
          recordCount > 0
              ? static_cast<int64_t>(std::nearbyint(static_cast<double>(counter - 1) * static_cast<double>(range) /
                                                    recordCount))
              : 0;
      const auto percent = static_cast<int32_t>(minPercent + done);
      if (onProgress) onProgress(source, percent, cont);
      if (!cont) {
        log += kLineBreak;
        log += "Terminated by User.";
        result = false;
        break;
      }
    }
  }
  batch.Finish();
  return result;
}

// ------------------------------------------------------ the copy's steps

namespace {

constexpr std::string_view kMemoryDatabase = "MEMORY";
constexpr std::string_view kCopyPrefix = "COPY_";
constexpr std::string_view kPrevPrefix = "PREV_";
constexpr size_t kGuidLength = 38;  // {8-4-4-4-12}

bool IsGuidText(std::string_view guid) {
  if (guid.size() != kGuidLength || guid.front() != '{' || guid.back() != '}') return false;
  for (size_t i = 1; i + 1 < guid.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? guid[i] != '-' : std::isxdigit(static_cast<unsigned char>(guid[i])) == 0) return false;
  }
  return true;
}

// What a name says when it is "COPY_<table>_{GUID}" or "PREV_<table>_{GUID}".
struct CopyStep {
  bool Prev = false;
  std::string Table;
  std::string Guid;
};

bool ParseCopyStep(const std::string& name, CopyStep& step) {
  const size_t prefix = kCopyPrefix.size();
  if (name.size() < prefix + 2 + kGuidLength || name[name.size() - kGuidLength - 1] != '_') return false;
  const std::string head = name.substr(0, prefix);
  if (!qv::SameName(head, std::string(kCopyPrefix)) && !qv::SameName(head, std::string(kPrevPrefix))) return false;
  step.Guid = name.substr(name.size() - kGuidLength);
  if (!IsGuidText(step.Guid)) return false;
  step.Prev = qv::SameName(head, std::string(kPrevPrefix));
  step.Table = name.substr(prefix, name.size() - prefix - 1 - kGuidLength);
  return true;
}

std::string CopyStepName(bool prev, const std::string& table, const std::string& guid) {
  return std::string(prev ? kPrevPrefix : kCopyPrefix) + table + "_" + guid;
}

bool HasName(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return qv::SameName(n, name); });
}

// Renames or drops a table of session by name, on a cursor of its own (the
// table component is not needed: a database being connected has none).
void RenameStep(TVLMLocalSession& session, const std::string& from, const std::string& to) {
  TVLMLocalCursor cursor;
  cursor.Session = &session;
  cursor.TableName = from;
  cursor.Exclusive = true;
  cursor.RenameTable(to);
}

void DropStep(TVLMLocalSession& session, const std::string& name) {
  TVLMLocalCursor cursor;
  cursor.Session = &session;
  cursor.TableName = name;
  cursor.Exclusive = true;
  cursor.DeleteTable();
}

// Undoes the copies cut short in session's file by the rules of invariant 2
// at the top of this file: every copy, or only the one of GUID onlyGuid.
// What cannot be done goes to log, one line each; the rest goes on. True
// when no step table of those copies is left but the ones the rules leave.
bool FinishCutCopies(TVLMLocalSession& session, const std::string& onlyGuid, std::string& log) {
  qv::StringList list;
  session.GetTableNames(list);
  std::vector<std::string> names;
  for (int32_t i = 0; i < list.Count(); ++i) names.push_back(list[i]);
  // The copies by GUID: their table, and which of their steps are there.
  struct Copy {
    std::string Table, Guid;
    bool HasCopy = false, HasPrev = false;
  };
  std::vector<Copy> copies;
  for (const std::string& name : names) {
    CopyStep step;
    if (!ParseCopyStep(name, step) || (!onlyGuid.empty() && step.Guid != onlyGuid)) continue;
    auto it = std::find_if(copies.begin(), copies.end(), [&](const Copy& c) { return c.Guid == step.Guid; });
    if (it == copies.end()) it = copies.insert(copies.end(), Copy{step.Table, step.Guid});
    (step.Prev ? it->HasPrev : it->HasCopy) = true;
  }
  bool finished = true;
  auto attempt = [&](const char* what, const std::string& name, const std::function<void()>& run) {
    try {
      run();
      return true;
    } catch (const std::exception& e) {
      log += qv::format("Error undoing a table copy. Cannot %s table '%s' due to error: %s", {what, name, e.what()});
      log += kLineBreak;
      finished = false;
      return false;
    }
  };
  for (const Copy& copy : copies) {
    const std::string copyName = CopyStepName(false, copy.Table, copy.Guid);
    const std::string prevName = CopyStepName(true, copy.Table, copy.Guid);
    bool hasName = HasName(names, copy.Table);
    if (copy.HasPrev && !hasName) {
      // Put back, unless another copy's set-aside table could be the one.
      const bool alone = std::count_if(copies.begin(), copies.end(), [&](const Copy& c) {
                           return c.HasPrev && qv::SameName(c.Table, copy.Table);
                         }) == 1;
      if (!alone || !attempt("rename", prevName, [&] { RenameStep(session, prevName, copy.Table); })) {
        finished = false;
        continue;
      }
      names.push_back(copy.Table);
      hasName = true;
    } else if (copy.HasPrev && copy.HasCopy) {
      // A table of the name came while the copy's own was set aside:
      // nothing here tells which one to keep.
      finished = false;
      continue;
    } else if (copy.HasPrev) {
      attempt("delete", prevName, [&] { DropStep(session, prevName); });
      continue;
    }
    if (copy.HasCopy) attempt("delete", copyName, [&] { DropStep(session, copyName); });
  }
  return finished;
}

// The session a copy into table name runs its steps on: the table
// component's, when it is one of a disk database (a file that others may
// share); nullptr for the memory database, memory and temporary tables,
// and a name too long for the step names (a table list keeps 255
// characters), which take the one road of old.
TVLMLocalSession* StepSession(TVLMLocalSession* session, const std::string& name, bool inMemory, bool temporary) {
  if (session == nullptr || inMemory || temporary) return nullptr;
  if (CopyStepName(false, name, std::string(kGuidLength, '0')).size() > static_cast<size_t>(kVLMMaxNameLength))
    return nullptr;
  return dynamic_cast<TVLMDiskDatabaseData*>(session->DatabaseData) != nullptr ? session : nullptr;
}

// One table copy or import into table target names (closed, its
// definitions set) of a disk database, through the steps at the top of
// this file. A failure of CreateTable goes to createFailed, which raises or
// answers false (nothing was made). Fill fills the table it is given under
// the COPY name (opens it and copies) and answers whether the copy is to
// take the name (false: stopped, or failed with its error in log). A table
// of the name is replaced only with mayReplace (30451 otherwise, also for
// one made meanwhile by another connection). True when the copy took the
// name. One that does not is undone (invariant 2)
// before the call returns or its exception leaves it, and 20920 is raised
// instead when the table it replaces cannot be put back now; target keeps
// its name on every path.
bool RunStagedCopy(TVLMTable& target, TVLMLocalSession& session, bool mayReplace, std::string& log,
                   const std::function<bool(const std::exception&)>& createFailed, const std::function<bool()>& fill) {
  const std::string name = target.TableName();
  const std::string guid = VLMNewGUIDName("");
  const std::string copyName = CopyStepName(false, name, guid), prevName = CopyStepName(true, name, guid);
  bool aside = false, named = false;
  auto undo = [&](const std::string& cause) {
    try {
      target.Close();
    } catch (const std::exception&) {
      // A table that cannot be closed cannot be dropped either; a COPY
      // left behind is read by nobody and goes with the next connect.
    }
    target.SetTableName(name);
    std::string notes;
    try {
      FinishCutCopies(session, guid, notes);
    } catch (const std::exception& e) {
      notes += e.what();
      notes += kLineBreak;
    }
    // The failure the caller must hear of: the table of the name set aside
    // and not put back.
    bool missing = aside;
    try {
      missing = session.TableExists(prevName) && !session.TableExists(name);
    } catch (const std::exception&) {
      // A database that refuses even this (a failed write) is judged by
      // what this call did.
    }
    if (!missing) return;
    log += notes;
    EVLMException unfinished(20920,
                             "Table '%s' was not copied (%s). It is put back as it was when the database is opened "
                             "again",
                             {name, cause});
    log += unfinished.Message();
    log += kLineBreak;
    throw unfinished;
  };
  target.SetTableName(copyName);
  try {
    target.CreateTable();
  } catch (const std::exception& e) {
    target.SetTableName(name);
    return createFailed(e);
  }
  try {
    if (!fill()) {
      undo("the copy of its records did not finish");
      return false;
    }
    target.Close();
    const bool replaces = mayReplace && session.TableExists(name);
    if (replaces) {
      RenameStep(session, name, prevName);
      aside = true;
    }
    target.RenameTable(name);
    named = true;
    if (replaces) {
      try {
        DropStep(session, prevName);
      } catch (const std::exception& e) {
        log += qv::format("Warning: table '%s' was replaced by its copy, but the table it replaced ('%s') could "
                          "not be deleted due to error: %s",
                          {name, prevName, e.what()});
        log += kLineBreak;
      }
    }
  } catch (const std::exception& e) {
    if (named) throw;
    undo(e.what());
    throw;
  } catch (...) {
    if (named) throw;
    undo("an unknown error");
    throw;
  }
  return true;
}

}  // namespace

void TVLMDatabase::FinishCopies() {
  if (Handle_ == nullptr || Handle_->ReadOnly || Handle_->NeedsRepair || VLMDesignMode()) return;
  if (dynamic_cast<TVLMDiskDatabaseData*>(Handle_->DatabaseData) == nullptr) return;
  std::string log;
  try {
    FinishCutCopies(*Handle_, std::string(), log);
  } catch (const std::exception&) {
    // What cannot be undone now waits for a later connect; COPY tables
    // are read by nobody, and a table set aside is put back then.
  }
}

// ------------------------------------------------------------- table copy

bool TVLMTable::CopyTable(std::string_view newTableName, std::string& log, bool& cont,
                          const std::string& destDatabaseFileName, const std::string& destPassword,
                          bool ignoreErrors, bool overwrite, bool copyIndexes, int32_t minPercent,
                          int32_t maxPercent) {
  const std::string newName(newTableName);
  // A refusal raises, or with ignoreErrors goes to the log and ends the copy.
  auto refuse = [&](int32_t code, const std::string& text) {
    if (!ignoreErrors) throw EVLMException(code, text);
    log += text;
    log += kLineBreak;
    return false;
  };

  const bool wasActive = Active();
  qv::Bookmark bookmark;
  if (wasActive) {
    bookmark = GetBookmark();
    Close();
  }
  std::unique_ptr<TVLMDatabase> destDatabase;
  auto restore = qv::ScopeExit([&] {
    try {
      if (wasActive)
        GotoBookmark(bookmark);
      else
        Close();
    } catch (const std::exception&) {
      // The copy's own outcome is what the caller hears of.
    }
    destDatabase.reset();
  });
  Open();

  const bool toMemory = qv::SameText(destDatabaseFileName, kMemoryDatabase);
  const bool toFile = !destDatabaseFileName.empty() && !toMemory;
  std::string destName;  // the destination as messages name it
  std::string destDatabaseName;
  if (toFile) {
    destDatabase = std::make_unique<TVLMDatabase>();
    destDatabase->SetSessionName(SessionName());
    destDatabase->SetDatabaseName(VLMNewGUIDName("TempDb"));
    destDatabase->SetDatabaseFileName(destDatabaseFileName);
    destDatabase->Password = destPassword;
    destDatabase->SilentMode = DatabaseSilent();
    try {
      destDatabase->DoConnect();
    } catch (const std::exception& e) {
      destDatabase.reset();
      if (!ignoreErrors) throw;
      log += e.what();
      log += kLineBreak;
      return false;
    }
    destName = destDatabaseFileName;
    destDatabaseName = destDatabase->DatabaseName();
  } else {
    destDatabaseName = toMemory ? std::string(kMemoryDatabase) : DatabaseName();
    destName = destDatabaseName;
  }
  // The destination is this table when the names match, and also when a
  // file name leads back to this table's own database: a copy onto itself
  // with overwrite would delete the records it is about to copy.
  const bool sameDatabase =
      qv::SameText(destDatabaseName, DatabaseName()) ||
      (destDatabase != nullptr && destDatabase->Handle() != nullptr && EngineSession() != nullptr &&
       destDatabase->Handle()->DatabaseData == EngineSession()->DatabaseData);
  if (sameDatabase && qv::SameText(newName, TableName()))
    return refuse(30447, qv::format("Cannot copy table '%s.%s' into it self", {destName, TableName()}));

  for (int32_t i = 0; i < GetFieldDefs().Count(); ++i) {
    const std::string& fieldName = GetFieldDefs()[i]->Name();
    if (FindField(fieldName) == nullptr)
      throw EVLMException(20297, "Cannot copy table \"" + TableName() + "\". Field object for field \"" +
                                     fieldName + "\" is not created.");
  }

  DoBeforeOperation(LongOperation::Copy);
  auto after = qv::ScopeExit([&] {
    try {
      DoAfterOperation(LongOperation::Copy);
    } catch (const std::exception&) {
      // An after-handler cannot undo the copy.
    }
  });

  auto dest = std::make_unique<TVLMTable>();
  dest->SetSessionName(SessionName());
  if (!toFile && !toMemory) {
    dest->SetDatabaseName(DatabaseName());
    if (InMemory()) dest->SetInMemory(true);
    if (Temporary()) dest->SetTemporary(true);
  } else if (toMemory) {
    dest->SetInMemory(true);
  } else {
    dest->SetDatabaseName(destDatabaseName);
  }
  dest->SetTableName(newName);
  dest->AdvFieldDefs.Assign(AdvFieldDefs);
  if (copyIndexes) dest->AdvIndexDefs.Assign(AdvIndexDefs, true);

  const bool exists = dest->Exists();
  if (exists && !overwrite) {
    const std::string text = qv::format("Table '%s.%s' already exists", {destName, newName});
    return refuse(qv::SameText(destDatabaseName, kMemoryDatabase) ? 10515 : 30448, text);
  }
  const CopyProgressEvent progress = [this](qv::DataSet&, int32_t percent, bool& goOn) {
    goOn = DoOperationProgress(LongOperation::Copy, percent);
  };
  if (!toMemory) dest->SetDBFlag(kDBFlagCopy, true);
  auto detach = qv::ScopeExit([&] { dest->SetDBFlag(kDBFlagCopy, false); });
  TVLMLocalSession* disk =
      toMemory ? nullptr : StepSession(dest->EngineSession(), newName, dest->InMemory(), dest->Temporary());
  if (disk == nullptr) {
    // The road of old: the table made under its name and filled.
    if (exists) dest->DeleteTable();
    try {
      dest->CreateTable();
    } catch (const std::exception& e) {
      return refuse(30450,
                    qv::format("Create table '%s.%s' error: '%s'", {destName, TableName(), std::string(e.what())}));
    }
    dest->Open();
    const bool copied = CopyRecords(*this, *dest, log, cont, ignoreErrors, false, progress, minPercent, maxPercent);
    dest->Close();
    return copied;
  }
  bool copied = false;
  const bool named = RunStagedCopy(
      *dest, *disk, overwrite, log,
      [&](const std::exception& e) {
        return refuse(30450, qv::format("Create table '%s.%s' error: '%s'",
                                        {destName, TableName(), std::string(e.what())}));
      },
      [&] {
        dest->Open();
        copied = CopyRecords(*this, *dest, log, cont, ignoreErrors, false, progress, minPercent, maxPercent, true);
        return cont;
      });
  return copied && named;
}

// ------------------------------------------------------------------ import

bool TVLMTable::ImportTable(qv::DataSet& source, std::string& log, const qv::IndexDefs* sourceIndexDefs) {
  SetFiltered(false);
  const std::string logBefore = log;
  CheckInactive();
  GetIndexDefs().Clear();
  AdvIndexDefs.Clear();
  AdvFieldDefs.Clear();
  if (auto* engineSource = dynamic_cast<TVLMDataSet*>(&source)) {
    AdvFieldDefs.Assign(engineSource->AdvFieldDefs);
    AdvIndexDefs.Assign(engineSource->AdvIndexDefs, false);
  } else {
    source.GetFieldDefs().Update();
    GetFieldDefs().Assign(source.GetFieldDefs());
    if (sourceIndexDefs != nullptr) {
      for (int32_t i = 0; i < sourceIndexDefs->Count(); ++i) {
        const qv::IndexDef& index = *(*sourceIndexDefs)[i];
        if (index.Fields().empty()) {
          log += qv::format("Cannot import index '%s'. Index type is not supported, index skipped", {index.Name()});
          log += kLineBreak;
          continue;
        }
        GetIndexDefs().AddIndexDef()->Assign(index);
      }
    }
    // The engine names every index; an unnamed one is the source's primary
    // key as a rule.
    for (int32_t i = 0; i < GetIndexDefs().Count(); ++i) {
      if (!GetIndexDefs()[i]->Name().empty()) continue;
      GetIndexDefs()[i]->SetName("idxPrimaryKey");
      break;
    }
  }
  // Opens this table, copies every record into it and closes it; false
  // when a record or value could not be copied (in log) or the copy
  // stopped: an import into a disk table is then undone whole.
  auto fill = [&](bool batched) {
    Open();
    auto close = qv::ScopeExit([&] { Close(); });
    if (!Handle_) throw EVLMException(10259, "Nil pointer occured");
    TVLMTableDataScope lock(*Handle_);
    DoBeforeOperation(LongOperation::Import);
    bool cont = true, copied = false;
    try {
      copied = CopyRecords(
          source, *this, log, cont, true, false,
          [this](qv::DataSet&, int32_t percent, bool& goOn) {
            goOn = DoOperationProgress(LongOperation::Import, percent);
          },
          0, 100, batched);
    } catch (const std::exception& e) {
      log += qv::format("Error importing table. Cannot copy data due to error: %s", {std::string(e.what())});
      log += kLineBreak;
    }
    DoAfterOperation(LongOperation::Import);
    return copied && cont;
  };
  SetDBFlag(kDBFlagCopy, true);
  auto detach = qv::ScopeExit([&] { SetDBFlag(kDBFlagCopy, false); });
  if (TVLMLocalSession* disk = StepSession(EngineSession(), TableName_, InMemory(), Temporary_)) {
    RunStagedCopy(
        *this, *disk, true, log, [](const std::exception&) -> bool { throw; }, [&] { return fill(true); });
  } else {
    CreateTable();
    fill(false);
  }
  return log == logBefore;
}
