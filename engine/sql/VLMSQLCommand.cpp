// The command base of the statements: token operations, the grammar pieces
// the statements share (aliases, table names, name lists, value
// expressions, field references), the cursor command that runs a query's
// operator tree, the FROM entry, and the table components a statement works
// through.
#include "engine/sql/VLMSQLCommand.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMSettings.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"
#include "platform/os/System.h"

namespace {

constexpr std::string_view kEndOfCommand = "Unexpected end of SQL command found at line %d, column %d";
constexpr std::string_view kTokenExpected = "Token '%s' expected, but '%s' found at line %d, column %d";
constexpr std::string_view kFieldExpected = "Field name expected, but expression '%s...' found at line %d, column %d";

bool InKinds(TVLMTokenKinds kinds, TVLMTokenKind kind) { return (kinds & (TVLMTokenKinds{1} << kind)) != 0; }

// Places for values in a message text ("%%" is none).
int32_t Placeholders(std::string_view text) {
  int32_t count = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (text[i + 1] == '%')
      ++i;
    else
      ++count;
  }
  return count;
}

}  // namespace

// ------------------------------------------------------------ command base

TVLMSQLCommand::TVLMSQLCommand(TVLMLexer* lexer, TVLMDataSet* owner) : Lexer(lexer), Owner(owner) {}

TVLMSQLCommand::~TVLMSQLCommand() = default;

std::string TVLMSQLCommand::GetDatabaseName() const { return Owner != nullptr ? Owner->DatabaseName() : ""; }

std::string TVLMSQLCommand::GetSessionName() const { return Owner != nullptr ? Owner->SessionName() : ""; }

bool TVLMSQLCommand::ExposesTableName(const std::string&) const { return false; }

bool TVLMSQLCommand::ScopeExposes(const std::string& name) const {
  for (const TVLMSQLCommand* scope = this; scope != nullptr; scope = scope->EnclosingScope)
    if (scope->ExposesTableName(name)) return true;
  return false;
}

bool TVLMSQLCommand::GetCurrentToken() { return Lexer->GetCurrentToken(Token); }

bool TVLMSQLCommand::GetNextToken() { return Lexer->GetNextToken(Token); }

void TVLMSQLCommand::ExpectNextToken(TVLMTokenKinds allowed, int32_t errorCode, std::string_view errorText) {
  if (!GetNextToken()) {
    if (errorCode == -1) return;
    RaiseEndOfCommand(30161);
  }
  if (errorCode == -1 || allowed == 0 || InKinds(allowed, Token.Kind)) return;
  if (Placeholders(errorText) == 2) throw EVLMException(errorCode, errorText, {Token.Line, Token.Column});
  RaiseAtToken(errorCode, errorText);
}

std::string TVLMSQLCommand::TokenValue() const {
  if (Token.Kind == tktParameter && Token.Value != nullptr) {
    // The value names something of the statement: a new value is a new
    // statement.
    Lexer->NoteShapingParameter(Token.Source);
    return Token.Value->GetAsString();
  }
  return Token.Text;
}

void TVLMSQLCommand::RaiseAtToken(int32_t code, std::string_view text) const {
  throw EVLMException(code, text, {Token.Text, Token.Line, Token.Column});
}

void TVLMSQLCommand::RaiseTokenExpected(int32_t code, std::string_view expected) const {
  throw EVLMException(code, kTokenExpected, {std::string(expected), Token.Text, Token.Line, Token.Column});
}

void TVLMSQLCommand::RaiseEndOfCommand(int32_t code) const {
  throw EVLMException(code, kEndOfCommand, {Token.Line, Token.Column});
}

void TVLMSQLCommand::EnterNestingLevel(TVLMNestingLevels& levels) const {
  if (!levels.Enter())
    throw EVLMException(20842, "Query nested too deeply at line %d, column %d", {Token.Line, Token.Column});
}

// ------------------------------------------------------------ grammar pieces

bool TVLMSQLCommand::ParseAlias(std::string& alias) {
  alias.clear();
  if (IsKeyword(kwAS)) {
    ExpectNextToken(kVLMAliasKinds, 30177, "Field pseudonym expected, but '%s' found at line %d, column %d");
    alias = TokenValue();
    GetNextToken();
    return true;
  }
  // A quoted string is a value, never a name given without AS.
  if (Token.Kind == tktString || Token.Kind == tktBracketedString || Token.Kind == tktParameter) {
    alias = TokenValue();
    GetNextToken();
    return true;
  }
  return false;
}

void TVLMSQLCommand::ParseTableName(std::string& databaseFileName, std::string& tableName, uint8_t& isMemory,
                                    std::string& password, std::string& alias) {
  databaseFileName.clear();
  tableName.clear();
  isMemory = 0;
  password.clear();
  alias.clear();
  if (!InKinds(kVLMTableNameKinds, Token.Kind))
    RaiseAtToken(30230, "Table name expected, but '%s' found at line %d, column %d");
  if (IsKeyword(kwMEMORY)) {
    isMemory = 1;
    ExpectNextToken(kVLMTableNameKinds, 30231, "Table name expected, but '%s' found at line %d, column %d");
  }
  tableName = TokenValue();
  GetNextToken();
  if (Token.Kind == tktDot) {
    databaseFileName = tableName;
    GetNextToken();
    tableName = TokenValue();
    GetNextToken();
  }
  ParseAlias(alias);
  if (IsKeyword(kwPASSWORD)) {
    ExpectNextToken(kVLMPasswordKinds, 30238,
                    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d");
    password = TokenValue();
    GetNextToken();
  }
}

void TVLMSQLCommand::ParseFieldNameList(qv::StringList& list) {
  if (!InKinds(kVLMNameKinds, Token.Kind))
    RaiseAtToken(10408, "Field name expected, but expression '%s...' found at line %d, column %d");
  for (;;) {
    list.Add(Token.Text);
    GetNextToken();
    if (Token.Kind != tktComma) return;
    ExpectNextToken(kVLMNameKinds, 10406, "Unexpected token '%s' found at line %d, column %d");
  }
}

std::unique_ptr<TVLMExpression> TVLMSQLCommand::ParseValueExpression() {
  auto expression = std::make_unique<TVLMExpression>();
  expression->InMemory = Owner != nullptr && Owner->InMemory();
  expression->ParseValue(this, Lexer);
  GetCurrentToken();
  return expression;
}

bool TVLMSQLCommand::ParseFieldReference(TVLMFields& fields) {
  const TToken start = Token;
  std::unique_ptr<TVLMExpression> expression = ParseValueExpression();
  if (!expression->IsField())
    throw EVLMException(10409, kFieldExpected, {start.Text, start.Line, start.Column});
  TVLMFieldRef item;
  expression->GetFieldName(item.TableName, item.FieldName);
  fields.Add(std::move(item));
  return true;
}

void TVLMSQLCommand::ParseFieldReferenceList(TVLMFields& fields) {
  for (int32_t code = 10412;; code = 10411) {
    const TToken start = Token;
    std::unique_ptr<TVLMExpression> expression = ParseValueExpression();
    if (!expression->IsField()) throw EVLMException(code, kFieldExpected, {start.Text, start.Line, start.Column});
    TVLMFieldRef item;
    expression->GetFieldName(item.TableName, item.FieldName);
    fields.Add(std::move(item));
    if (Token.Kind != tktComma) return;
    ExpectNextToken(kVLMNameOrWordKinds, 10410, "Unexpected token '%s' found at line %d, column %d");
  }
}

// --------------------------------------------------------- cursor command

TVLMSQLCursorCommand::~TVLMSQLCursorCommand() = default;

TVLMCursor* TVLMSQLCursorCommand::GetCursor() {
  return Root && Root->ResultTable() ? Root->ResultTable()->Handle() : nullptr;
}

TVLMTable* TVLMSQLCursorCommand::GetResultDataset() { return Root ? Root->ResultTable() : nullptr; }

void TVLMSQLCursorCommand::Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
                                   TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  RowsAffected = 0;
  Root.reset();
  try {
    Root = BuildOperatorTree(owner, requestLive, outerOperand, outerCursor, false);
    if (!IntoTableName.empty() && !Root->IsLeaf) {
      if (InMemory == 0 && IntoDatabaseName.empty()) IntoDatabaseName = owner->DatabaseName();
      Root->SetIntoTable(InMemory != 0 || owner->InMemory(), IntoImmediate != 0, IntoDatabaseName, IntoTableName);
    }
    {
      TVLMStatementLock lock(*Root);
      Root->Open(wantCursor, outerOperand, outerCursor);
      lock.Release();
    }
    if (!IntoTableName.empty()) CopyIntoTable(owner);
  } catch (...) {
    // Nothing of a failed run is kept: its temporary tables go now.
    Root.reset();
    throw;
  }
  if (wantCursor) {
    readOnly = !requestLive || (dynamic_cast<TVLMAOTable*>(Root.get()) == nullptr && IntoTableName.empty());
    if (TVLMCursor* cursor = GetCursor()) cursor->ReadOnly = readOnly;
  }
}

// ---------------------------------------------------------- statement lock

TVLMStatementLock::TVLMStatementLock(TVLMAO& root) : Root_(root) {
  if (!Root_.OpenTables()) throw EVLMException(20225, "Table is locked");
  const TVLMRetrySettings& retry = VLMRetrySettings();
  std::string refused;
  for (int32_t attempt = 0; attempt < retry.StatementLockTries; ++attempt) {
    if (attempt > 0) qv::SleepMs(retry.StatementLockDelayMs);
    if (Root_.LockTables(&refused)) return;
    // No table stays locked while another process is waited for.
    if (!Root_.UnlockTables()) throw EVLMException(20226, "Cannot unlock table");
  }
  VLMRaiseLockConflict(20850, refused);
}

TVLMStatementLock::~TVLMStatementLock() {
  if (!Held_) return;
  // The failure that left the scope is what the caller hears about; the
  // locks go anyway.
  try {
    Root_.UnlockTables();
  } catch (...) {
  }
}

void TVLMStatementLock::Release() {
  Held_ = false;
  if (!Root_.UnlockTables()) throw EVLMException(20227, "Cannot unlock table");
}

void TVLMSQLCursorCommand::CopyIntoTable(TVLMDataSet* owner) {
  // The root kept the target only when it filled it itself (IMMEDIATE).
  if (!Root->IsLeaf && !Root->IntoTableName().empty()) return;
  const bool inMemory = InMemory != 0 || owner->InMemory();
  TVLMTable target;
  target.SetSessionName(owner->SessionName());
  if (inMemory)
    target.SetInMemory(true);
  else
    target.SetDatabaseName(IntoDatabaseName.empty() ? owner->DatabaseName() : IntoDatabaseName);
  target.SetTableName(IntoTableName);
  TVLMDatabase* database = owner->Database();
  const bool silent = database != nullptr && database->SilentMode;
  if (database != nullptr) database->SilentMode = true;
  auto restore = qv::ScopeExit([&] {
    if (database != nullptr) database->SilentMode = silent;
  });
  // The target takes the result's columns, not its sort and DISTINCT
  // indexes.
  Root->ResultTable()->AdvIndexDefs.Clear();
  std::string log;
  bool copied = false;
  try {
    copied = target.ImportTable(*Root->ResultTable(), log);
  } catch (const std::exception& e) {
    log += e.what();
  }
  if (!copied) throw EVLMException(10403, "Error importing table. Cannot copy data due to error: %s\r\n", {log});
}

// ------------------------------------------------------- table references

TVLMTableReference::TVLMTableReference() = default;

TVLMTableReference::~TVLMTableReference() = default;

// ----------------------------------------------------- table components

void CreateTableComponent(TVLMDataSet* owner, const std::string& databaseFileName, const std::string& tableName,
                          const std::string& password, bool inMemory, std::unique_ptr<TVLMDatabase>& database,
                          std::unique_ptr<TVLMTable>& table, bool keepProjection) {
  database.reset();
  table.reset();
  // The private database exists only to reach another file; for the
  // owner's own database the table goes through the owner's component.
  if (!databaseFileName.empty()) {
    database = std::make_unique<TVLMDatabase>();
    if (TVLMDatabase* ownerDatabase = owner->Database()) {
      database->MultiUser = ownerDatabase->MultiUser;
      database->DisableTempFiles = ownerDatabase->DisableTempFiles;
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

// ------------------------------------------------------- lock conflicts

int32_t VLMLockConflictCode(const std::exception& e) {
  if (const auto* refused = dynamic_cast<const EVLMEngineError*>(&e)) {
    if (refused->ErrorCode == -12) return 20852;
    if (refused->ErrorCode == -13) return 20851;
    return 0;
  }
  const auto* engine = dynamic_cast<const EVLMException*>(&e);
  if (engine == nullptr) return 0;
  switch (engine->NativeError) {
    // Reading: a record the dataset could not read under its read lock, the
    // table's open lock, the read locks of record operations, the
    // statement lock.
    case 10026:
    case 20209:
    case 20214:
    case 20215:
    case 20216:
    case 20217:
    case 20218:
    case 20219:
    case 20220:
    case 20225:
    case 20850:
      return 20850;
    // Writing: the table locks of UPDATE, DELETE and INSERT.
    case 20223:
    case 20224:
    case 20851:
      return 20851;
    case 20852:
      return 20852;
    // The database: its header lock (opening, commits, free space), the
    // lock of its table list, the next object ID.
    case 10466:
    case 20210:
    case 20213:
    case 20230:
    case 20231:
    case 20232:
    case 20236:
    case 30398:
    case 20853:
      return 20853;
    default:
      return 0;
  }
}

void VLMRaiseLockConflict(int32_t code, const std::string& tableName, const std::string& databaseName) {
  constexpr std::string_view kRetries = "another session held it longer than the retries waited";
  switch (code) {
    case 20850:
      throw EVLMException(20850, "Table '%s' is locked and cannot be read: %s", {tableName, kRetries});
    case 20851:
      throw EVLMException(20851, "Table '%s' is locked and cannot be changed: %s", {tableName, kRetries});
    case 20852:
      throw EVLMException(20852, "A record of table '%s' is locked: %s", {tableName, kRetries});
    default:
      if (tableName.empty())
        throw EVLMException(20853, "Database '%s' is locked: %s", {databaseName, kRetries});
      throw EVLMException(20853, "The database of table '%s' is locked: %s", {tableName, kRetries});
  }
}

void VLMRaiseRecordRefusal(const EVLMEngineError& e, const std::string& tableName) {
  if (e.ErrorCode == -8) {
    // The text of an engine error ends with its code (VLMExcept.h).
    constexpr std::string_view kTail = " - Native error: ";
    const std::string& text = e.ErrorText;
    const size_t at = text.rfind(kTail);
    if (at != std::string::npos) {
      const std::string digits = qv::Trim(text.substr(at + kTail.size()));
      int32_t code = 0;
      if (qv::TryStrToInt(digits, code) && code != 0) throw EVLMException(code, text.substr(0, at));
    }
  }
  if (tableName.empty()) throw EVLMException(20846, "%s", {e.ErrorText});
  throw EVLMException(20846, "%s (table '%s')", {e.ErrorText, tableName});
}

void VLMTranslateWriteRefusal(const std::exception& e, const std::string& tableName) {
  if (const int32_t conflict = VLMLockConflictCode(e)) VLMRaiseLockConflict(conflict, tableName);
  if (const auto* refused = dynamic_cast<const EVLMEngineError*>(&e)) VLMRaiseRecordRefusal(*refused, tableName);
}

qv::Field& VLMColumnField(TVLMTable& table, const std::string& name) {
  qv::Field* field = table.FindField(name);
  if (field == nullptr)
    throw EVLMException(20841, "Column '%s' not found in table '%s'", {name, table.TableName()});
  return *field;
}

void FreeTableComponents(std::unique_ptr<TVLMTable>& table, std::unique_ptr<TVLMDatabase>& database) {
  table.reset();
  database.reset();
}

TVLMTableComponents::~TVLMTableComponents() { FreeTableComponents(Table, Database); }

// ------------------------------------------------------------- kept tables

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

namespace {

thread_local TVLMKeptTables* gCurrentKeptTables = nullptr;

}  // namespace

TVLMKeptTables::~TVLMKeptTables() { Clear(); }

std::unique_ptr<TVLMTable> TVLMKeptTables::Take(const std::string& sessionName, const std::string& databaseName,
                                                const std::string& tableName, bool inMemory, bool keepProjection) {
  const std::string upper = qv::UpperCase1252(tableName);
  for (auto it = Tables_.begin(); it != Tables_.end(); ++it) {
    TVLMTable& table = **it;
    if (table.SessionName() != sessionName || table.DatabaseName() != databaseName ||
        table.InMemory() != inMemory || qv::UpperCase1252(table.TableName()) != upper)
      continue;
    std::unique_ptr<TVLMTable> taken = std::move(*it);
    Tables_.erase(it);
    TVLMLocalCursor* cursor = taken->Handle();
    if (cursor != nullptr) VLMSetReleaseIdle(*cursor, nullptr);
    if (cursor != nullptr && cursor->ProjectionSet && !keepProjection) {
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
  try {
    TVLMLocalCursor* cursor = table->Active() ? table->Handle() : nullptr;
    if (cursor != nullptr) {
      cursor->SetFilterExpression(nullptr, nullptr, nullptr);
      // A query's result read straight from the table was read-only: the
      // table is the lent one again. It keeps the columns it showed, for
      // the next text that reads it the same way (Take clears them for any
      // other borrower).
      // The table's own flag holds the database's, set when it opened.
      if (table->State() == qv::dsBrowse && !table->Temporary() && cursor->ReadOnly && !table->ReadOnly)
        cursor->ReadOnly = false;
    }
    const bool asLent = cursor != nullptr && !cursor->ReadOnly && table->State() == qv::dsBrowse &&
                        !cursor->IsRangeSet() && table->IndexName().empty() && table->IndexFieldNames().empty() &&
                        !table->Filtered() && !table->Temporary();
    if (asLent) {
      // Idle until the next run takes it: another cursor of the process
      // that wants the table alone has it closed.
      TVLMTable* kept = table.get();
      VLMSetReleaseIdle(*cursor, [this, kept] { Release(kept); });
      Tables_.push_back(std::move(table));
      return;
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
