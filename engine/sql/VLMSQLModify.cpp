// The statements that change rows: INSERT (VALUES form), and the value
// assignment every row change goes through.
//
// INSERT grammar (keyword ids as in VLMConst.h):
//   INSERT INTO [MEMORY] name ['.' name] [PASSWORD 'p']
//          ['(' column {',' column} ')']
//          VALUES '(' value {',' value} ')' {',' '(' ... ')'}
// Nothing may follow the last row (30721), and a value is followed by ','
// or ')' (30720): a token that fits nowhere is reported, never skipped.
#include <cstring>
#include <string>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMSQLCommand.h"
#include "platform/dataset/Fields.h"
#include "platform/host/HostVariant.h"

namespace {

constexpr std::string_view kCountMismatch =
    "Number of field names does not equal the number of field values: %d <> %d. Found at line %d, column %d";

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
    if (VLMIsReservedWord(next, kwSELECT))
      throw EVLMException(20627, "INSERT ... SELECT statements are not supported yet");
    ParseColumnList();
  }
  if (IsKeyword(kwVALUES)) {
    ParseValues();
    return;
  }
  if (IsKeyword(kwSELECT) || Token.Kind == tktLeftParenthesis)
    throw EVLMException(20627, "INSERT ... SELECT statements are not supported yet");
  if (HasToken()) RaiseEndOfCommand(30213);
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
    for (const std::string& name : FieldNames) fields.push_back(table.FieldByName(name));
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
  TVLMTableComponents target;
  CreateTableComponent(owner, DatabaseFileName, TableName, Password, InMemory != 0, target.Database, target.Table);
  TVLMTable& table = *target.Table;
  table.Open();
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
  table.Close();
}

// ------------------------------------------------------- value assignment

void AssignFieldValue(const TVLMVariant* value, qv::Field& field) {
  if (value == nullptr) throw EVLMException(30359, "Value is Null");
  if (value->IsNull()) {
    field.Clear();
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
