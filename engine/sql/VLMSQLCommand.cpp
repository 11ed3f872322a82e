// The command base of the statements: token operations, the grammar pieces
// the statements share (aliases, table names, name lists, value
// expressions), the FROM entry, and the table components a statement works
// through.
#include "engine/sql/VLMSQLCommand.h"

#include <algorithm>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "platform/host/StringList.h"

namespace {

constexpr std::string_view kEndOfCommand = "Unexpected end of SQL command found at line %d, column %d";
constexpr std::string_view kTokenExpected = "Token '%s' expected, but '%s' found at line %d, column %d";

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
  if (Token.Kind == tktParameter && Token.Value != nullptr) return Token.Value->GetAsString();
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

// ------------------------------------------------------- table references

TVLMTableReference::TVLMTableReference() = default;

TVLMTableReference::~TVLMTableReference() = default;

// ----------------------------------------------------- table components

void CreateTableComponent(TVLMDataSet* owner, const std::string& databaseFileName, const std::string& tableName,
                          const std::string& password, bool inMemory, std::unique_ptr<TVLMDatabase>& database,
                          std::unique_ptr<TVLMTable>& table) {
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
  table.reset(new TVLMTable(owner->Owner()));
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
