// UPDATE and DELETE (VLMSQLModify.h).
//
// UPDATE grammar (keyword ids as in VLMConst.h):
//   UPDATE [MEMORY] [db '.'] t [[AS] alias] [PASSWORD 'p'] SET
//          ( column '=' value {',' column '=' value}
//          | '(' column {',' column} ')' '=' subquery )
//          [WHERE condition]
//   column := name | t '.' name      (only the table's own name qualifies)
// The row query is built from tokens in the command's own lexer:
//   select * from [MEMORY] ['db' .] t [alias] [PASSWORD 'p'] [WHERE ...]
// the WHERE clause's tokens copied from the statement with their parameter
// values.
//
// DELETE is the statement's own tokens read as a query: DELETE FROM t ...
// becomes select * FROM t ... in place.
//
// Both run the row query live, so that its result is the base table behind
// the WHERE condition, read every row's bookmark, and then change the rows
// one by one through a second table component on the same table (Target).
// Outside an explicit transaction the work happens under the table locks and
// the implicit transaction of TVLMSQLTableWrite; an UPDATE that meets a lock
// conflict is tried again, UpdateAttempts times, UpdateAttemptDelayMs apart.
#include <cstring>
#include <exception>
#include <string>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMSettings.h"
#include "engine/sql/VLMSQLModify.h"
#include "platform/dataset/Fields.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Collation.h"
#include "platform/os/System.h"

namespace {

constexpr std::string_view kTableNameExpected = "Table name expected, but '%s' found at line %d, column %d";
constexpr std::string_view kEndExpected = "End of SQL command expected, but '%s' found at line %d, column %d";

bool SameName(std::string_view a, std::string_view b) { return qv::UpperCase1252(a) == qv::UpperCase1252(b); }

// A token made for a statement built by hand, placed at line and column.
TToken MakeToken(TVLMTokenKind kind, uint16_t keyword, std::string text, int32_t line, int32_t column) {
  TToken token;
  token.Kind = kind;
  token.KeywordId = keyword;
  token.Text = std::move(text);
  token.Line = line;
  token.Column = column;
  return token;
}

// The table component the row query reads: its leaf's table, with the WHERE
// condition as its filter. A query over anything but one table (a join)
// gives rows no single table can be changed by.
TVLMTable& RowTable(TVLMSQLSelect& query) {
  auto* leaf = dynamic_cast<TVLMAOTable*>(query.Root.get());
  if (leaf == nullptr || !leaf->ResultTable())
    throw EVLMException(20782, "UPDATE and DELETE change the rows of one table; '%s' is no single table",
                        {query.Root ? query.Root->TableName : std::string()});
  return *leaf->ResultTable();
}

// A second component on source's table: the rows are changed through it
// while source keeps its filter.
std::unique_ptr<TVLMTable> OpenTarget(TVLMDataSet* owner, TVLMTable& source) {
  auto target = std::make_unique<TVLMTable>();
  target->SetDatabaseOwner(owner->DatabaseOwner());
  target->SetSessionName(source.SessionName());
  target->SetDatabaseName(source.DatabaseName());
  if (source.InMemory()) target->SetInMemory(true);
  target->SetTableName(source.TableName());
  target->Open();
  return target;
}

// The bookmarks of every row of source, read before any of them changes.
std::vector<qv::Bookmark> RowBookmarks(TVLMTable& source) {
  std::vector<qv::Bookmark> rows;
  for (source.First(); !source.Eof(); source.Next()) rows.push_back(source.GetBookmark());
  return rows;
}

bool InTransaction(TVLMTable& table) {
  const TVLMLocalCursor* cursor = table.Handle();
  return cursor != nullptr && cursor->Session != nullptr && cursor->Session->InTransaction;
}

// The row query's result and the table component the rows change through,
// for one run of the statement; the query's tree goes when it ends.
struct TRowTables {
  TRowTables(TVLMSQLSelect& query, TVLMDataSet* owner) : Query(query) {
    bool readOnly = false;
    Query.Execute(owner, true, true, readOnly, nullptr, nullptr);
    Source = &RowTable(Query);
    Target = OpenTarget(owner, *Source);
  }
  ~TRowTables() {
    Target.reset();
    Query.Root.reset();
  }
  TRowTables(const TRowTables&) = delete;
  TRowTables& operator=(const TRowTables&) = delete;

  TVLMSQLSelect& Query;
  TVLMTable* Source = nullptr;
  std::unique_ptr<TVLMTable> Target;
};

}  // namespace

// ------------------------------------------------------------------ UPDATE

TVLMSQLUpdate::TVLMSQLUpdate(TVLMLexer* lexer, TVLMDataSet* owner)
    : TVLMSQLCommand(lexer, owner), QueryLexer(std::make_unique<TVLMLexer>("", nullptr, false)) {}

TVLMSQLUpdate::~TVLMSQLUpdate() = default;

void TVLMSQLUpdate::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30216, "Blank SQL command");
  ExpectNextToken(kVLMTableNameKinds, 30217, kTableNameExpected);
  TableLine_ = Token.Line;
  TableColumn_ = Token.Column;
  ParseTableName(DatabaseFileName, TableName, InMemory, Password, Alias);
  if (!IsKeyword(kwSET)) RaiseTokenExpected(30220, "SET");
  GetNextToken();
  if (Token.Kind == tktLeftParenthesis)
    ParseRowValue();
  else
    ParseAssignments();
  BuildRowQuery();
}

void TVLMSQLUpdate::ParseColumnName() {
  std::string name = Token.Text;
  GetNextToken();
  if (Token.Kind == tktDot && SameName(name, TableName)) {
    GetNextToken();
    name = Token.Text;
    GetNextToken();
  }
  FieldNames.push_back(std::move(name));
}

void TVLMSQLUpdate::ParseAssignments() {
  RowValueForm = 0;
  for (;;) {
    ParseColumnName();
    if (Token.Kind != tktString || Token.Text != "=") RaiseTokenExpected(30221, "=");
    GetNextToken();
    const TToken start = Token;
    std::unique_ptr<TVLMExpression> value = ParseValueExpression();
    if (value->GetRoot() == nullptr)
      throw EVLMException(20780, "Expression expected, but '%s' found at line %d, column %d",
                          {start.Text, start.Line, start.Column});
    Values.push_back(std::move(value));
    if (!HasToken() || IsKeyword(kwWHERE)) return;
    if (Token.Kind != tktComma) RaiseTokenExpected(30222, ",");
    if (!GetNextToken()) RaiseEndOfCommand(30223);
  }
}

void TVLMSQLUpdate::ParseRowValue() {
  RowValueForm = 1;
  GetNextToken();
  for (;;) {
    ParseColumnName();
    if (Token.Kind != tktComma) break;
    GetNextToken();
  }
  if (Token.Kind != tktRightParenthesis) RaiseTokenExpected(30494, ")");
  GetNextToken();
  if (Token.Kind != tktString || Token.Text != "=") RaiseTokenExpected(30495, "=");
  GetNextToken();
  const TToken start = Token;
  RowValueLine_ = Token.Line;
  RowValueColumn_ = Token.Column;
  RowValue = std::make_unique<TVLMExpression>();
  RowValue->InMemory = Owner != nullptr && Owner->InMemory();
  RowValue->ParseUpdateValue(this, Lexer);
  GetCurrentToken();
  if (RowValue->GetRoot() == nullptr)
    throw EVLMException(20781, "Subquery expected, but '%s' found at line %d, column %d",
                        {start.Text, start.Line, start.Column});
  if (HasToken() && !IsKeyword(kwWHERE)) RaiseAtToken(20260, kEndExpected);
}

bool TVLMSQLUpdate::ExposesTableName(const std::string& name) const {
  return SameName(name, Alias.empty() ? TableName : Alias);
}

void TVLMSQLUpdate::BuildRowQuery() {
  TVLMLexer& query = *QueryLexer;
  const int32_t line = TableLine_;
  const int32_t column = TableColumn_;
  auto add = [&](TVLMTokenKind kind, uint16_t keyword, std::string text) {
    query.AddToken(MakeToken(kind, keyword, std::move(text), line, column));
  };
  query.AddCommand();
  add(tktReservedWord, kwSELECT, "select");
  add(tktString, VLMNoKeywordId, "*");
  add(tktReservedWord, kwFROM, "from");
  if (InMemory) add(tktReservedWord, kwMEMORY, "MEMORY");
  if (!DatabaseFileName.empty()) {
    add(tktQuotedString, VLMNoKeywordId, DatabaseFileName);
    add(tktDot, VLMNoKeywordId, ".");
  }
  add(tktString, VLMNoKeywordId, TableName);
  if (!Alias.empty()) add(tktString, VLMNoKeywordId, Alias);
  if (!Password.empty()) {
    add(tktReservedWord, kwPASSWORD, "PASSWORD");
    add(tktQuotedString, VLMNoKeywordId, Password);
  }
  if (IsKeyword(kwWHERE)) {
    const TSQLCommand& statement = Lexer->Commands[static_cast<size_t>(Lexer->CurrentCommand)];
    for (auto i = static_cast<size_t>(Lexer->GetTokenIndex()); i < statement.Tokens.size(); ++i)
      query.AddToken(statement.Tokens[i]);
  }
  query.SetTokenIndex(0);
  RowQuery = VLMMakeCommand<TVLMSQLSelect>(&query, Owner);
  const TToken& left = RowQuery->Token;
  if (left.Kind != tktNone) throw EVLMException(20260, kEndExpected, {left.Text, left.Line, left.Column});
}

void TVLMSQLUpdate::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  try {
    ExecuteRows(owner);
  } catch (const std::exception& e) {
    VLMTranslateWriteRefusal(e, TableName);
    throw;
  }
}

void TVLMSQLUpdate::ExecuteRows(TVLMDataSet* owner) {
  RowsAffected = 0;
  TRowTables tables(*RowQuery, owner);
  TVLMTable& source = *tables.Source;
  TVLMTable& target = *tables.Target;
  VLMRefuseReadOnlyTarget(target, 10032);
  // The names are checked and the values bound before any row changes.
  std::vector<qv::Field*> fields;
  for (const std::string& name : FieldNames) fields.push_back(&VLMColumnField(target, name));
  TVLMLocalCursor& cursor = *target.Handle();
  for (const auto& value : Values) value->BindToCursor(&cursor, nullptr, nullptr);
  if (RowValue) RowValue->BindToCursor(&cursor, nullptr, nullptr);

  TVLMLocalCursor& lockCursor = *source.Handle();
  if (InTransaction(source)) {
    TVLMTableDataScope section(lockCursor);
    if (!VLMLockChangedTable(lockCursor)) throw EVLMException(20223, "Table is locked");
    UpdateRows(source, target, fields);
    return;
  }
  const TVLMRetrySettings& retry = VLMRetrySettings();
  for (int32_t attempt = 1;; ++attempt) {
    // A success after a retry counts its own rows only.
    RowsAffected = 0;
    try {
      TVLMTableDataScope section(lockCursor);
      TVLMSQLTableWrite write(lockCursor, cursor);
      if (!write.Lock()) throw EVLMException(20223, "Table is locked");
      write.Begin();
      try {
        UpdateRows(source, target, fields);
      } catch (...) {
        VLMCancelQuietly(target);
        write.Rollback();
        throw;
      }
      write.Commit();
      return;
    } catch (const std::exception& e) {
      // Only a lock conflict may pass by another time; any other error (a
      // key violation) would meet the same rows again.
      if (attempt >= retry.UpdateAttempts || !VLMIsLockConflict(e)) throw;
    }
    qv::SleepMs(retry.UpdateAttemptDelayMs);
  }
}

void TVLMSQLUpdate::UpdateRows(TVLMTable& source, TVLMTable& target, const std::vector<qv::Field*>& fields) {
  TVLMLocalCursor& cursor = *target.Handle();
  // The row as it was before its edit: every value reads it, so that an
  // earlier assignment of the same row is not seen by a later one.
  uint8_t* before = cursor.AllocRecordBuffer();
  auto freeBefore = qv::ScopeExit([&] { cursor.FreeRecordBuffer(before); });
  for (const qv::Bookmark& row : RowBookmarks(source)) {
    target.GotoBookmark(row);
    target.Edit();
    std::memcpy(before, cursor.RecordBuffer, static_cast<size_t>(cursor.RecordBufferSize));
    if (RowValueForm) {
      RowValue->SetRecordBuffer(before, false);
      RowValue->SetRecordBuffer(before, true);
      RowValue->GetValue(true);
      CheckRowValue();
      for (size_t i = 0; i < fields.size(); ++i)
        AssignFieldValue(RowValue->GetValueByIndex(static_cast<int32_t>(i)), *fields[i]);
    } else {
      for (size_t i = 0; i < fields.size(); ++i) {
        TVLMExpression& value = *Values[i];
        value.SetRecordBuffer(before, false);
        value.SetRecordBuffer(before, true);
        AssignFieldValue(value.GetValue(true), *fields[i]);
      }
    }
    target.Post();
    ++RowsAffected;
  }
}

void TVLMSQLUpdate::CheckRowValue() {
  const int32_t count = RowValue->GetValueCount();
  if (count != static_cast<int32_t>(FieldNames.size()))
    throw EVLMException(20259, "Number of field names does not equal the number of field values: %d <> %d. Found at "
                               "line %d, column %d",
                        {static_cast<int>(FieldNames.size()), count, RowValueLine_, RowValueColumn_});
}

// ------------------------------------------------------------------ DELETE

TVLMSQLDelete::~TVLMSQLDelete() = default;

void TVLMSQLDelete::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30224, "Blank SQL command");
  const TSQLCommand& statement = Lexer->Commands[static_cast<size_t>(Lexer->CurrentCommand)];
  if (statement.Tokens.size() < 2) RaiseEndOfCommand(30224);
  // DELETE FROM ... reads as select * FROM ...: the row query's tokens are
  // a copy in a lexer of its own, the statement's own left as written, so
  // that a run of the same text again (the processor rewinds its lexer)
  // reads a DELETE again.
  const int32_t line = Token.Line;
  const int32_t column = Token.Column;
  QueryLexer = std::make_unique<TVLMLexer>("", nullptr, false);
  TVLMLexer& query = *QueryLexer;
  query.AddCommand();
  query.AddToken(MakeToken(tktReservedWord, kwSELECT, "select", line, column));
  query.AddToken(MakeToken(tktString, VLMNoKeywordId, "*", line, column));
  for (size_t i = 1; i < statement.Tokens.size(); ++i) query.AddToken(statement.Tokens[i]);
  query.SetTokenIndex(0);
  RowQuery = VLMMakeCommand<TVLMSQLSelect>(&query, Owner);
  const TToken& left = RowQuery->Token;
  if (left.Kind != tktNone) throw EVLMException(20260, kEndExpected, {left.Text, left.Line, left.Column});
}

void TVLMSQLDelete::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  try {
    ExecuteRows(owner);
  } catch (const std::exception& e) {
    VLMTranslateWriteRefusal(e, RowQuery->Tables.empty() ? std::string() : RowQuery->Tables[0]->TableName);
    throw;
  }
}

void TVLMSQLDelete::ExecuteRows(TVLMDataSet* owner) {
  RowsAffected = 0;
  TRowTables tables(*RowQuery, owner);
  TVLMTable& source = *tables.Source;
  TVLMTable& target = *tables.Target;
  VLMRefuseReadOnlyTarget(target, 10069);
  TVLMLocalCursor& lockCursor = *source.Handle();
  TVLMTableDataScope section(lockCursor);
  auto deleteRows = [&] {
    for (const qv::Bookmark& row : RowBookmarks(source)) {
      target.GotoBookmark(row);
      target.Delete();
      ++RowsAffected;
    }
  };
  if (InTransaction(source)) {
    if (!VLMLockChangedTable(lockCursor)) throw EVLMException(20223, "Table is locked");
    deleteRows();
    return;
  }
  TVLMSQLTableWrite write(lockCursor, *target.Handle());
  if (!write.Lock()) throw EVLMException(20223, "Table is locked");
  write.Begin();
  try {
    deleteRows();
  } catch (...) {
    write.Rollback();
    throw;
  }
  write.Commit();
}
