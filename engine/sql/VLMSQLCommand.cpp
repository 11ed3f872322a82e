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

bool TVLMSQLCommand::NamesItem(const TVLMQualifiedFieldName&) const { return false; }

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
  } catch (const EVLMException& e) {
    // A read-only database refuses the target before anything is written:
    // that refusal is the statement's own.
    if (e.NativeError == 20860) throw;
    log += e.what();
  } catch (const std::exception& e) {
    log += e.what();
  }
  if (!copied) throw EVLMException(10403, "Error importing table. Cannot copy data due to error: %s\r\n", {log});
}

// ------------------------------------------------------- columns

qv::Field& VLMColumnField(TVLMTable& table, const std::string& name) {
  qv::Field* field = table.FindField(name);
  if (field == nullptr)
    throw EVLMException(20841, "Column '%s' not found in table '%s'", {name, table.TableName()});
  return *field;
}

