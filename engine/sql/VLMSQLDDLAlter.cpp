// The statements that change an existing table: ALTER TABLE (ADD, DROP,
// MODIFY, RENAME COLUMN, RENAME TO), RENAME TABLE, CREATE INDEX and DROP
// INDEX; the grammar and what each form does are at the end of VLMSQLDDL.h.
//
// Each statement is parsed whole before anything runs, so a parse error
// changes nothing. Execute makes the statement's own table component (and,
// for a table of another file, a private database component), which are
// freed on every path. What the table component refuses (inside a
// transaction, a table another user holds, a field or index that is not
// there) passes on unchanged; only a rebuild that failed part-way, after the
// table component had begun to change the table, is 30347 with its log.
//
// States of ALTER TABLE ADD / DROP / MODIFY:
//
//   parsed --open and close the table--> stored structure in the
//   restructure definitions --edit them (30351, 30349, 30259)--> edited
//   --RestructureTable--> rebuilt, or failed with the old rows under the
//   old name (30347; after a failed write the table is put back when the
//   database is opened again), or refused with the table untouched
#include <string>
#include <string_view>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMKeptTables.h"
#include "engine/sql/VLMSQLDDL.h"
#include "platform/dataset/FieldTypes.h"
#include "platform/host/StringList.h"

namespace {

constexpr std::string_view kActionExpected =
    "ADD, DROP or MODIFY keyword expected, but '%s' found at line %d, column %d";
constexpr std::string_view kUnexpectedToken = "Unexpected token '%s' found at line %d, column %d";
constexpr std::string_view kIndexExpected = "'INDEX' keyword expected, but '%s' found at line %d, column %d";
constexpr std::string_view kOnExpected = "'ON' keyword expected, but '%s' found at line %d, column %d";
constexpr std::string_view kPasswordExpected =
    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d";

bool InKinds(TVLMTokenKinds kinds, TVLMTokenKind kind) { return (kinds & (TVLMTokenKinds{1} << kind)) != 0; }

// The rebuild's log without the line breaks that end it.
std::string TrimmedLog(std::string log) {
  while (!log.empty() && (log.back() == '\r' || log.back() == '\n')) log.pop_back();
  return log;
}

}  // namespace

// -------------------------------------------------------------- ALTER TABLE

void TVLMDDLAlterTable::Parse() {
  if (!GetNextToken()) throw EVLMException(30261, "Blank SQL command");
  ParseTargetTable();
  ParseAction();
  CheckEndOfStatement();
}

void TVLMDDLAlterTable::ParseAction() {
  if (Token.Kind != tktReservedWord) RaiseAtToken(30253, kActionExpected);
  if (IsKeyword(kwADD) || IsKeyword(kwMODIFY)) {
    Action = IsKeyword(kwADD) ? TAction::Add : TAction::Modify;
    GetNextToken();
    ParseColumnDefinitions();
    // The list stops without its ')' only at the end of the statement.
    if (!HasToken()) RaiseEndOfCommand(30161);
    GetNextToken();
  } else if (IsKeyword(kwDROP)) {
    Action = TAction::Drop;
    GetNextToken();
    // Only COLUMN is passed over: any other token is the first name.
    if (IsKeyword(kwCOLUMN)) GetNextToken();
    qv::StringList names;
    ParseFieldNameList(names);
    for (int32_t i = 0; i < names.Count(); ++i) DropFields.push_back(names[i]);
  } else if (IsKeyword(kwRENAME)) {
    GetNextToken();
    if (IsKeyword(kwTO)) {
      Action = TAction::RenameTable;
      GetNextToken();
      NewTableName = TakeName();
      return;
    }
    Action = TAction::RenameColumn;
    if (IsKeyword(kwCOLUMN)) GetNextToken();
    OldNames.push_back(TakeName());
    if (!IsKeyword(kwTO)) RaiseTokenExpected(30352, "TO");
    GetNextToken();
    NewNames.push_back(TakeName());
  } else {
    RaiseAtToken(30252, kActionExpected);
  }
}

std::string TVLMDDLAlterTable::TakeName() {
  if (!HasToken()) RaiseEndOfCommand(30161);
  if (!InKinds(kVLMNameOrWordKinds, Token.Kind))
    RaiseAtToken(30802, "Name expected, but '%s' found at line %d, column %d");
  std::string name = Token.Text;
  GetNextToken();
  return name;
}

void TVLMDDLAlterTable::CheckEndOfStatement() const {
  if (HasToken()) RaiseAtToken(30800, kUnexpectedToken);
}

void TVLMDDLAlterTable::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  TVLMTableComponents components;
  OpenTableComponent(owner, false, components);
  TVLMTable& table = *components.Table;
  // Opening reads the stored structure into the restructure definitions,
  // which the branches below edit; a missing table fails here.
  table.Open();
  table.Close();
  switch (Action) {
    case TAction::RenameColumn:
      for (size_t i = 0; i < OldNames.size(); ++i) table.RenameField(OldNames[i], NewNames[i]);
      return;
    case TAction::RenameTable:
      table.RenameTable(NewTableName);
      return;
    default:
      Restructure(table);
  }
}

void TVLMDDLAlterTable::Restructure(TVLMTable& table) {
  TVLMAdvFieldDefs& defs = table.RestructureFieldDefs;
  if (Action == TAction::Drop) {
    for (const std::string& name : DropFields) defs.DeleteByName(name);
  } else {
    for (int32_t i = 0; i < FieldDefs.Count(); ++i) {
      const TSQLFieldDef& def = *FieldDefs.Items(i);
      TVLMAdvFieldDef* existing = defs.Find(def.Name);
      if (Action == TAction::Modify) {
        if (existing == nullptr) throw EVLMException(30259, "Field '%s' not found", {def.Name});
        // Only what the statement wrote changes; the rest of the column
        // stays as stored.
        CopyColumnDefinition(*existing, def);
      } else if (existing != nullptr) {
        if (def.IfNotExists == 0) throw EVLMException(30351, "Field by name '%s' already exists", {def.Name});
      } else {
        CopyColumnDefinition(*defs.Add(), def);
      }
    }
    // The keys and indexes written in the list join the stored ones.
    FillIndexDefinitions(table);
  }
  std::string log;
  bool rebuilt = false;
  try {
    rebuilt = table.RestructureTable(log);
  } catch (const std::exception&) {
    // Without a line in the log the table component refused before it
    // touched the table (a transaction, another user): that passes on as it
    // is. Otherwise the copy failed part-way and the table is back as it was.
    if (log.empty()) throw;
  }
  if (!rebuilt) throw EVLMException(30347, "Restructure table error: '%s'", {TrimmedLog(log)});
}

// ------------------------------------------------------------- RENAME TABLE

void TVLMDDLRenameTable::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30354, "Blank SQL command");
  Action = TAction::RenameTable;
  ParseTargetTable();
  if (!IsKeyword(kwTO)) RaiseTokenExpected(30355, "TO");
  GetNextToken();
  NewTableName = TakeName();
  CheckEndOfStatement();
}

// ------------------------------------------------------------- CREATE INDEX

void TVLMDDLCreateIndex::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30266, "Blank SQL command");
  if (IsKeyword(kwUNIQUE)) {
    Unique = 1;
    ExpectNextToken(VLMKinds({tktReservedWord}), 30267, kIndexExpected);
  }
  if (!IsKeyword(kwINDEX)) RaiseAtToken(30268, kIndexExpected);
  ExpectNextToken(kVLMNameOrWordKinds, 30269, "index name expected, but '%s' found at line %d, column %d");
  IndexName = Token.Text;
  ExpectNextToken(VLMKinds({tktReservedWord}), 30270, kOnExpected);
  if (!IsKeyword(kwON)) RaiseAtToken(30271, kOnExpected);
  GetNextToken();
  ParseTableName(DatabaseFileName, TableName, InMemory, Password, Alias);
  if (Token.Kind != tktLeftParenthesis)
    RaiseAtToken(30273, "'(' symbol expected, but '%s' found at line %d, column %d");
  do {
    ExpectNextToken(kVLMNameOrWordKinds, 30274, "Field name expected, but '%s' found at line %d, column %d");
    if (IsKeyword(kwPASSWORD)) {
      ExpectNextToken(kVLMPasswordKinds, 30275, kPasswordExpected);
      Password = TokenValue();
      ExpectNextToken(VLMKinds({tktRightParenthesis, tktComma}), 30276,
                      "')' or ',' symbol expected, but '%s' found at line %d, column %d");
      continue;
    }
    TVLMDDLIndexColumn& column = Columns.emplace_back();
    column.Name = Token.Text;
    ParseIndexColumnWords(column, 30277, 30801);
  } while (Token.Kind == tktComma);
  GetNextToken();
  if (HasToken()) RaiseAtToken(30800, kUnexpectedToken);
}

void TVLMDDLCreateIndex::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  std::string fields;
  std::string descending;
  std::string noCase;
  auto append = [](std::string& list, const std::string& name) {
    if (!list.empty()) list.push_back(';');
    list += name;
  };
  for (const TVLMDDLIndexColumn& column : Columns) {
    append(fields, column.Name);
    if (column.Descending != 0) append(descending, column.Name);
    if (column.NoCase != 0) append(noCase, column.Name);
  }
  TVLMTableComponents components;
  CreateTableComponent(owner, DatabaseFileName, TableName, Password, InMemory != 0, components.Database,
                       components.Table);
  TVLMTable& table = *components.Table;
  table.Open();
  table.AddIndex(IndexName, fields, Unique != 0 ? qv::ixUnique : 0, descending, noCase);
  table.Close();
}

// --------------------------------------------------------------- DROP INDEX

void TVLMDDLDropIndex::Parse() {
  if (!GetNextToken()) RaiseEndOfCommand(30278);
  const TToken name = Token;
  ParseTableName(DatabaseFileName, TableName, InMemory, Password, Alias);
  if (Token.Kind == tktDot) {
    // db.t.i
    if (!GetNextToken()) RaiseEndOfCommand(30281);
    IndexName = Token.Text;
    GetNextToken();
  } else {
    // t.i, or the index name alone
    IndexName = TableName;
    TableName = DatabaseFileName;
    DatabaseFileName.clear();
  }
  if (TableName.empty())
    throw EVLMException(30498, "Table name expected, but '%s' found at line %d, column %d",
                        {name.Text, name.Line, name.Column});
  if (IsKeyword(kwPASSWORD)) {
    ExpectNextToken(kVLMPasswordKinds, 30282, kPasswordExpected);
    Password = TokenValue();
    GetNextToken();
  }
  if (HasToken()) RaiseAtToken(30800, kUnexpectedToken);
}

void TVLMDDLDropIndex::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  TVLMTableComponents components;
  CreateTableComponent(owner, DatabaseFileName, TableName, Password, InMemory != 0, components.Database,
                       components.Table);
  TVLMTable& table = *components.Table;
  table.Open();
  table.DeleteIndex(IndexName);
  table.Close();
}
