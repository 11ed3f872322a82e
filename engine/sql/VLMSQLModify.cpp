// INSERT in both forms, the table locks and implicit transaction of a
// statement that writes outside an explicit transaction
// (TVLMSQLTableWrite), and the value assignment every row change goes
// through (VLMSQLModify.h).
//
// INSERT grammar (keyword ids as in VLMConst.h):
//   INSERT INTO [MEMORY] name ['.' name] [PASSWORD 'p']
//          ['(' column {',' column} ')']
//          ( VALUES '(' value {',' value} ')' {',' '(' ... ')'}
//          | SELECT ... | '(' SELECT ... ')' )
// Nothing may follow the last row (30721) or the SELECT (20260), and a value
// is followed by ',' or ')' (30720): a token that fits nowhere is reported,
// never skipped.
//
// INSERT ... SELECT runs its query into a result table, copies that into a
// temporary table "TmpTableForInsert" + GUID (so that a query over the
// target itself reads rows that no insert can change), and copies each row
// of the temporary table into the target, field by field: the i-th column
// into the i-th name of the column list, or without a list into the i-th
// field of the target.
#include <cstring>
#include <exception>
#include <string>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMFieldCopy.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMSettings.h"
#include "engine/sql/VLMKeptTables.h"
#include "engine/sql/VLMSQLModify.h"
#include "platform/dataset/Fields.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace {

constexpr std::string_view kCountMismatch =
    "Number of field names does not equal the number of field values: %d <> %d. Found at line %d, column %d";
constexpr std::string_view kEndExpected = "End of SQL command expected, but '%s' found at line %d, column %d";

}  // namespace

TVLMSQLInsert::~TVLMSQLInsert() = default;

// ------------------------------------------------------------------ parse

void TVLMSQLInsert::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30204, "Blank SQL command");
  if (!GetNextToken()) RaiseEndOfCommand(30205);
  if (!IsKeyword(kwINTO)) RaiseTokenExpected(30206, "INTO");
  ExpectNextToken(kVLMTableNameKinds, 30207, "Table name expected, but '%s' found at line %d, column %d");
  if (IsKeyword(kwMEMORY)) {
    InMemory = 1;
    ExpectNextToken(kVLMTableNameKinds, 30208, "Table name expected, but '%s' found at line %d, column %d");
  }
  TableName = TokenValue();
  if (!GetNextToken()) RaiseEndOfCommand(30209);
  if (Token.Kind == tktDot) {
    DatabaseFileName = TableName;
    ExpectNextToken(kVLMAliasKinds, 30493, "Table name expected, but '%s' found at line %d, column %d");
    TableName = TokenValue();
    GetNextToken();
  }
  if (IsKeyword(kwPASSWORD)) {
    ExpectNextToken(kVLMPasswordKinds, 30210,
                    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d");
    Password = TokenValue();
    if (!GetNextToken()) RaiseEndOfCommand(30211);
  }
  if (Token.Kind == tktLeftParenthesis) {
    TToken next;
    Lexer->LookAhead(next);
    if (VLMIsReservedWord(next, kwSELECT)) {
      // INSERT INTO t (SELECT ...): the query in parentheses.
      GetNextToken();
      ParseSelect();
      if (Token.Kind != tktRightParenthesis)
        throw EVLMException(20256, "Missing symbol ')' at line %d, column %d", {Token.Line, Token.Column});
      GetNextToken();
    } else {
      ParseColumnList();
    }
  }
  if (!Select && IsKeyword(kwVALUES)) {
    ParseValues();
    return;
  }
  if (!Select && Token.Kind == tktLeftParenthesis) {
    GetNextToken();
    if (!IsKeyword(kwSELECT)) RaiseEndOfCommand(30213);
    ParseSelect();
    if (Token.Kind == tktRightParenthesis) GetNextToken();
  } else if (!Select && IsKeyword(kwSELECT)) {
    ParseSelect();
  }
  if (!Select) {
    // Neither VALUES nor a query: the statement ends too early or goes on
    // with something else.
    RaiseEndOfCommand(30213);
  }
  if (HasToken()) RaiseAtToken(20260, kEndExpected);
}

void TVLMSQLInsert::ParseSelect() {
  SelectLine_ = Token.Line;
  SelectColumn_ = Token.Column;
  Select = VLMMakeCommand<TVLMSQLSelect>(Lexer, Owner);
  GetCurrentToken();
  // The query's rows go into the target, not into a table of their own.
  if (!Select->IntoTableName.empty())
    throw EVLMException(20783, "INSERT ... SELECT cannot have INTO, but INTO %s found at line %d, column %d",
                        {Select->IntoTableName, SelectLine_, SelectColumn_});
}

void TVLMSQLInsert::ParseColumnList() {
  for (;;) {
    GetNextToken();
    if (Token.Kind != tktReservedWord && (kVLMNameKinds & (TVLMTokenKinds{1} << Token.Kind)) == 0)
      RaiseAtToken(2156, "Field name expected, but '%s' found at line %d, column %d");
    FieldNames.push_back(Token.Text);
    ExpectNextToken(VLMKinds({tktRightParenthesis, tktComma}), 30212,
                    "')' or ',' symbol expected, but '%s' found at line %d, column %d");
    if (Token.Kind == tktRightParenthesis) break;
  }
  if (!GetNextToken()) RaiseEndOfCommand(30213);
}

void TVLMSQLInsert::ParseValues() {
  ExpectNextToken(VLMKinds({tktLeftParenthesis}), 30214, "'(' symbol expected, but '%s' found at line %d, column %d");
  while (Token.Kind == tktLeftParenthesis) {
    TRow& row = Rows.emplace_back();
    do {
      if (!GetNextToken()) RaiseEndOfCommand(30203);
      const TToken start = Token;
      std::unique_ptr<TVLMExpression> value = ParseValueExpression();
      if (value->GetRoot() == nullptr)
        throw EVLMException(30357, "Error parsing parameter '%s' at line %d, column %d",
                            {start.Text, start.Line, start.Column});
      row.Values.push_back(std::move(value));
      if (Token.Kind != tktComma && Token.Kind != tktRightParenthesis)
        RaiseAtToken(30720, "')' or ',' symbol expected, but '%s' found at line %d, column %d");
    } while (Token.Kind != tktRightParenthesis);
    row.Line = Token.Line;
    row.Column = Token.Column;
    // Each row against the column list, so that a wrong row stops the
    // statement before any row is inserted.
    if (!FieldNames.empty() && FieldNames.size() != row.Values.size())
      throw EVLMException(20259, kCountMismatch,
                          {static_cast<int>(FieldNames.size()), static_cast<int>(row.Values.size()), row.Line,
                           row.Column});
    GetNextToken();
    if (Token.Kind != tktComma) break;
    GetNextToken();
  }
  if (HasToken()) RaiseAtToken(30721, "End of SQL command expected, but '%s' found at line %d, column %d");
}

// ---------------------------------------------------------------- execute

std::vector<qv::Field*> TVLMSQLInsert::TargetFields(TVLMTable& table) const {
  std::vector<qv::Field*> fields;
  if (!FieldNames.empty()) {
    for (const std::string& name : FieldNames) fields.push_back(&VLMColumnField(table, name));
    return fields;
  }
  // Without a column list the values fill the first fields in order; a row
  // longer than the table has fields would write past them.
  size_t longest = 0;
  const TRow* longestRow = nullptr;
  for (const TRow& row : Rows)
    if (row.Values.size() > longest) {
      longest = row.Values.size();
      longestRow = &row;
    }
  const auto count = static_cast<size_t>(table.FieldCount());
  if (longest > count)
    throw EVLMException(20259, kCountMismatch,
                        {static_cast<int>(count), static_cast<int>(longest), longestRow->Line, longestRow->Column});
  for (size_t i = 0; i < longest; ++i) fields.push_back(table.GetFields()[static_cast<int32_t>(i)]);
  return fields;
}

void TVLMSQLInsert::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  try {
    TVLMTableComponents target;
    CreateTableComponent(owner, DatabaseFileName, TableName, Password, InMemory != 0, target.Database, target.Table);
    TVLMTable& table = *target.Table;
    table.Open();
    VLMRefuseReadOnlyTarget(table, 10032);
    if (Select)
      ExecuteSelect(owner, table);
    else
      ExecuteValues(table);
    // The table stays open for the next run when the run keeps tables.
    TVLMKeptTables* kept = VLMCurrentKeptTables();
    if (kept != nullptr && !target.Database)
      kept->Give(std::move(target.Table));
    else
      table.Close();
  } catch (const std::exception& e) {
    VLMTranslateWriteRefusal(e, TableName);
    throw;
  }
}

void TVLMSQLInsert::ExecuteValues(TVLMTable& table) {
  const std::vector<qv::Field*> fields = TargetFields(table);
  for (const TRow& row : Rows) {
    table.Insert();
    for (size_t i = 0; i < row.Values.size(); ++i) {
      qv::Field& field = *fields[i];
      const TVLMVariant* value = row.Values[i]->GetValue(true);
      if (value == nullptr)
        throw EVLMException(30356, "Parameter Value undefined (FieldName='%s', Type='%s')",
                            {field.FieldName(), qv::FieldTypeName(field.DataType())});
      AssignFieldValue(value, field);
    }
    table.Post();
    ++RowsAffected;
  }
}

void TVLMSQLInsert::ExecuteSelect(TVLMDataSet* owner, TVLMTable& table) {
  // The query's own result table: a copy of its rows, never the base table
  // itself, whatever the caller asked for.
  bool readOnly = true;
  Select->Execute(owner, true, false, readOnly, nullptr, nullptr);
  auto freeQuery = qv::ScopeExit([&] { Select->Root.reset(); });
  TVLMTable* source = Select->GetResultDataset();
  if (source == nullptr) throw EVLMException(10308, "Nil pointer occured");

  // Counts and names before anything is written.
  const int32_t columns = source->FieldCount();
  std::vector<qv::Field*> fields;
  if (!FieldNames.empty()) {
    if (static_cast<int32_t>(FieldNames.size()) != columns)
      throw EVLMException(20259, kCountMismatch,
                          {static_cast<int>(FieldNames.size()), columns, SelectLine_, SelectColumn_});
    for (const std::string& name : FieldNames) fields.push_back(&VLMColumnField(table, name));
  } else {
    if (columns > table.FieldCount())
      throw EVLMException(20259, kCountMismatch, {table.FieldCount(), columns, SelectLine_, SelectColumn_});
    for (int32_t i = 0; i < columns; ++i) fields.push_back(table.GetFields()[i]);
  }

  TVLMTable rows;
  rows.SetSessionName(owner->SessionName());
  rows.SetTemporary(true);
  TVLMDatabase* database = owner->Database();
  rows.DisableTempFiles = owner->InMemory() || (database != nullptr && database->DisableTempFiles);
  rows.SetTableName(VLMNewGUIDName("TmpTableForInsert"));
  auto dropRows = qv::ScopeExit([&] {
    try {
      rows.Close();
      if (rows.Exists()) rows.DeleteTable();
    } catch (const std::exception&) {
      // A temporary table goes with the session at the latest.
    }
  });
  // The rows, not the result's sort and DISTINCT indexes.
  source->AdvIndexDefs.Clear();
  std::string log;
  bool copied = false;
  try {
    copied = rows.ImportTable(*source, log);
  } catch (const std::exception& e) {
    log += e.what();
  }
  if (!copied) throw EVLMException(10403, "Error importing table. Cannot copy data due to error: %s\r\n", {log});
  freeQuery.Release();
  Select->Root.reset();
  rows.Open();

  auto copyRows = [&] {
    for (rows.First(); !rows.Eof(); rows.Next()) {
      table.Insert();
      for (int32_t i = 0; i < columns; ++i) VLMCopyFieldValue(rows.GetFields()[i], fields[static_cast<size_t>(i)]);
      table.Post();
      ++RowsAffected;
    }
  };
  TVLMLocalCursor& cursor = *table.Handle();
  TVLMTableDataScope section(cursor);
  if (cursor.Session != nullptr && cursor.Session->InTransaction) {
    copyRows();
    return;
  }
  TVLMSQLTableWrite write(cursor, cursor);
  if (!write.Lock()) throw EVLMException(20224, "Table is locked");
  write.Begin();
  try {
    copyRows();
  } catch (...) {
    VLMCancelQuietly(table);
    write.Rollback();
    throw;
  }
  write.Commit();
}

// ------------------------------------------------------------ locked writes

TVLMSQLTableWrite::TVLMSQLTableWrite(TVLMCursor& lockCursor, TVLMCursor& writer)
    : LockCursor_(lockCursor), Writer_(writer) {}

TVLMSQLTableWrite::~TVLMSQLTableWrite() {
  try {
    if (Writing_) Rollback();
  } catch (const std::exception&) {
    // The error that ended the statement is the one its caller hears of.
  }
  RestoreAutoCommit();
  try {
    if (ChangedLocked_) LockCursor_.UnlockTable(kVLMLockTableChanged, false);
    if (CommitLocked_) LockCursor_.UnlockTable(kVLMLockTableCommit, false);
  } catch (const std::exception&) {
    // As above: a lock that cannot be released now goes with the session.
  }
}

bool TVLMSQLTableWrite::Lock() {
  const TVLMRetrySettings& retry = VLMRetrySettings();
  for (int32_t attempt = 1;; ++attempt) {
    if (LockCursor_.LockTable(kVLMLockTableCommit, 1, 0, true)) break;
    if (attempt >= retry.ModifyLockTries) return false;
    // Others of this process may work on the database while this waits.
    LockCursor_.UnlockTableData();
    auto relock = qv::ScopeExit([&] { LockCursor_.LockTableData(); });
    qv::SleepMs(retry.ModifyLockDelayMs);
  }
  CommitLocked_ = true;
  ChangedLocked_ = LockCursor_.LockTable(kVLMLockTableChanged, 1, 0, false);
  return true;
}

void TVLMSQLTableWrite::Begin() {
  Writer_.BeginImplicitTransaction();
  Writing_ = true;
  // The local engine commits each write of a disk table at once unless the
  // cursor says otherwise; the memory and temporary engines keep no
  // rollback, so their writes go on committing as they are made.
  if (Writer_.TableData != nullptr && Writer_.TableData->KeepsRollback()) {
    SavedNoAutoCommit_ = Writer_.NoAutoCommit;
    Writer_.NoAutoCommit = true;
    AutoCommitChanged_ = true;
  }
}

void TVLMSQLTableWrite::Commit() {
  try {
    Writer_.CommitImplicitTransaction();
  } catch (...) {
    // The commit cleared the cursor's mark before it failed: set it again
    // so that the rollback discards what was not committed.
    Writer_.ImplicitTransaction = true;
    Rollback();
    throw;
  }
  Writing_ = false;
  RestoreAutoCommit();
}

void TVLMSQLTableWrite::Rollback() {
  Writing_ = false;
  Writer_.RollbackImplicitTransaction();
  RestoreAutoCommit();
}

void TVLMSQLTableWrite::RestoreAutoCommit() {
  if (!AutoCommitChanged_) return;
  AutoCommitChanged_ = false;
  Writer_.NoAutoCommit = SavedNoAutoCommit_;
}

bool VLMIsLockConflict(const std::exception& e) {
  if (const auto* refused = dynamic_cast<const EVLMEngineError*>(&e))
    return refused->ErrorCode == -12 || refused->ErrorCode == -13;
  if (const auto* engine = dynamic_cast<const EVLMException*>(&e)) return engine->NativeError == 20223;
  return false;
}

bool VLMLockChangedTable(TVLMCursor& lockCursor) {
  const TVLMRetrySettings& retry = VLMRetrySettings();
  for (int32_t attempt = 1;; ++attempt) {
    if (lockCursor.LockTable(kVLMLockTableChanged, 1, 0, true)) return true;
    if (attempt >= retry.ModifyLockTries) return false;
    // Others of this process may work on the database while this waits.
    lockCursor.UnlockTableData();
    auto relock = qv::ScopeExit([&] { lockCursor.LockTableData(); });
    qv::SleepMs(retry.ModifyLockDelayMs);
  }
}

void VLMCancelQuietly(TVLMTable& table) {
  try {
    if (table.State() == qv::dsEdit || table.State() == qv::dsInsert) table.Cancel();
  } catch (const std::exception&) {
    // The write's own error is the one that counts.
  }
}

// ------------------------------------------------------- value assignment

namespace {

// The definition of the engine column behind field; nullptr when the field
// shows no column of an open engine dataset.
const TVLMFieldDef* ColumnOf(const qv::Field& field) {
  const auto* dataset = dynamic_cast<const TVLMDataSet*>(field.GetDataSet());
  const TVLMLocalCursor* cursor = dataset != nullptr ? dataset->Handle() : nullptr;
  const int32_t no = field.FieldNo() - 1;
  if (cursor == nullptr || no < 0 || no >= cursor->CursorFieldCount()) return nullptr;
  return cursor->CursorFieldDefs->GetFieldDef(no);
}

}  // namespace

void AssignFieldValue(const TVLMVariant* value, qv::Field& field) {
  if (value == nullptr) throw EVLMException(30359, "Value is Null");
  if (value->IsNull()) {
    field.Clear();
    return;
  }
  int64_t low = 0;
  int64_t high = 0;
  if (const TVLMFieldDef* column = ColumnOf(field); column != nullptr &&
                                                     VLMIntegerBaseTypeRange(column->BaseType, low, high)) {
    const int64_t number = value->GetAsLargeInt();
    if (number < low || number > high)
      throw EVLMException(20840, "Value %s is out of range for column '%s' of type %s (%s to %s)",
                          {value->GetAsString(), column->Name, VLMGetDataTypeName(column->DataType),
                           std::to_string(low), std::to_string(high)});
    field.SetAsLargeInt(number);
    return;
  }
  switch (field.DataType()) {
    case qv::ftInteger:
      field.SetAsInteger(value->GetAsInteger());
      break;
    case qv::ftDate:
      field.SetAsDateTime(value->GetAsTDate());
      break;
    case qv::ftTime:
      field.SetAsDateTime(value->GetAsTTime());
      break;
    case qv::ftDateTime:
      field.SetAsDateTime(value->GetAsTDateTime());
      break;
    case qv::ftBlob:
    case qv::ftMemo:
    case qv::ftGraphic:
    case qv::ftFmtMemo:
      // A text value gives its characters: its terminator (and the UTF-16
      // form of a wide text) is no part of what was written. Any other
      // value gives its bytes.
      if (value->IsString()) {
        field.SetAsString(value->GetAsString());
      } else {
        std::string bytes(static_cast<size_t>(value->DataSize), '\0');
        if (!bytes.empty()) std::memcpy(bytes.data(), value->Data, bytes.size());
        field.SetAsString(bytes);
      }
      break;
    case qv::ftLargeint:
      field.SetAsLargeInt(value->GetAsLargeInt());
      break;
    default: {
      qv::HostVariant host;
      value->GetAsVariant(host);
      field.SetAsVariant(host);
      break;
    }
  }
}
