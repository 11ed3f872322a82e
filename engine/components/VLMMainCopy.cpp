// VLMMain, copy part: the record copy between two datasets that the table
// copy, the import and the restructure all run on; the table copy into the
// same or another database file, and the import from any dataset.
//
// The copy appends one destination record per source record and posts it
// before it reads the next, so a failure leaves every earlier record posted
// and the failing one cancelled; nothing is rolled back. A batched copy (the
// restructure's, into a disk table nobody else sees yet) is the exception:
// it commits the posted records together whenever their changed pages reach
// the batch size (TVLMRetrySettings::CopyBatchBytes) and once at its end,
// and a failure rolls back what it posted since its last commit. What went
// wrong is written to the caller's log as it happens, so a copy that stops
// with an exception still tells which record and field it stopped on.
#include <algorithm>
#include <cmath>
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
#include "engine/storage/VLMPage.h"
#include "platform/dataset/Defs.h"
#include "platform/dataset/Fields.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
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
      if (!ignoreErrors) throw;
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

// ------------------------------------------------------------- table copy

namespace {

constexpr std::string_view kMemoryDatabase = "MEMORY";

}  // namespace

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

  if (dest->Exists()) {
    if (overwrite) {
      dest->DeleteTable();
    } else {
      const std::string text = qv::format("Table '%s.%s' already exists", {destName, newName});
      return refuse(qv::SameText(destDatabaseName, kMemoryDatabase) ? 10515 : 30448, text);
    }
  }
  try {
    dest->CreateTable();
  } catch (const std::exception& e) {
    return refuse(30450,
                  qv::format("Create table '%s.%s' error: '%s'", {destName, TableName(), std::string(e.what())}));
  }
  dest->Open();
  const bool copied = CopyRecords(
      *this, *dest, log, cont, ignoreErrors, false,
      [this](qv::DataSet&, int32_t percent, bool& goOn) { goOn = DoOperationProgress(LongOperation::Copy, percent); },
      minPercent, maxPercent);
  dest->Close();
  return copied;
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
  CreateTable();
  Open();
  auto close = qv::ScopeExit([&] { Close(); });
  if (!Handle_) throw EVLMException(10259, "Nil pointer occured");
  {
    TVLMTableDataScope lock(*Handle_);
    DoBeforeOperation(LongOperation::Import);
    bool cont = true;
    try {
      CopyRecords(
          source, *this, log, cont, true, false,
          [this](qv::DataSet&, int32_t percent, bool& goOn) {
            goOn = DoOperationProgress(LongOperation::Import, percent);
          },
          0, 100);
    } catch (const std::exception& e) {
      log += qv::format("Error importing table. Cannot copy data due to error: %s", {std::string(e.what())});
      log += kLineBreak;
    }
    DoAfterOperation(LongOperation::Import);
  }
  return log == logBefore;
}
