// The statements of the SQL engine: the command base every statement class
// derives from, the token operations and grammar pieces they share. The FROM
// entry (TVLMTableReference) is in VLMSQLSelect.h; the table components a
// statement works through and the tables kept between runs in
// VLMKeptTables.h; the statement lock and the lock-conflict codes in
// VLMSQLLocks.h.
//
//   TVLMSQLCommand            one statement: the lexer it reads, a copy of the
//                             current token, the dataset that runs it (Owner),
//                             its RowsAffected; also the query context the
//                             expression parser is handed
//   TVLMSQLCursorCommand      a statement that yields rows: runs its operator
//                             tree under the statement lock, decides whether
//                             the result may be edited, SELECT ... INTO
// The statements derived from it: one SELECT block in VLMSQLSelect.h, query
// expressions (what the processor runs for SELECT and "(") in
// VLMSQLQueryExpr.h, the statements that change rows in VLMSQLModify.h, the
// transaction statements in VLMSQLTransaction.h, the data-definition
// statements in VLMSQLDDL.h; the processor that picks and runs them in
// VLMSQLProcessor.h.
//
// Life of a statement object (the processor's factories make it):
//
//   made (Lexer on the statement's first token, or on the word after
//   CREATE, DROP, ALTER or RENAME) --Parse--> parsed (Token on the first
//   token after what the grammar took) --Execute--> executed
//   executed --Execute--> executed (a query run again builds its table
//   components afresh each time, or borrows them kept: VLMKeptTables.h)
//
// Invariants:
//   1. A statement is parsed completely before anything of it runs: a parse
//      error leaves every table as it was.
//   2. Token is a copy: it stays valid after the lexer moves on, also the
//      parameter value of a parameter token.
//   3. Every table and database component a statement makes is freed before
//      Execute returns, on every path (the table before its database).
//   4. RowsAffected counts only rows this statement posted.
//
// Token kinds the statements accept (TVLMTokenKinds, a bit per TVLMTokenKind):
//   names           tktString, tktQuotedString, tktBracketedString
//   names or words  names + tktReservedWord
//   table names     names + tktReservedWord, tktParameter
//   aliases         names + tktParameter
//   passwords       tktQuotedString, tktParameter
//
// Error codes: the design's parse codes of the grammar pieces (10406-10412,
// 30161, 30177, 30230, 30231, 30238), of SELECT (30155-30189, 30193-30195,
// 20260), of joins (30167-30176 grammar, 20270 an ON condition that names
// neither operand), of running a query (20225-20227 statement lock, 30144 a
// condition no table can evaluate, 10305 for one naming a column no table
// in reach has, 10403 INTO) and of the transaction
// statements (30457-30464); and the project's: 20628-20630 a transaction
// statement whose dataset has no database component, 20842 a query nested
// deeper than the depth count allows, 20850-20853 a lock conflict that
// outlived its retries (VLMSQLLocks.h). The statements that change rows
// list theirs in VLMSQLModify.h.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMLexer.h"
#include "engine/core/VLMNesting.h"
#include "engine/sql/VLMRelAlgebra.h"
#include "engine/sql/VLMSQLLocks.h"

namespace qv {
class Field;
class StringList;
}  // namespace qv

class EVLMEngineError;
class TVLMCursor;
class TVLMDataSet;
struct TVLMDDLIndexColumn;
class TVLMDatabase;
class TVLMLocalCursor;
class TVLMTable;

// A set of token kinds: bit k stands for kind k.
using TVLMTokenKinds = uint32_t;
constexpr TVLMTokenKinds VLMKinds(std::initializer_list<TVLMTokenKind> kinds) {
  TVLMTokenKinds set = 0;
  for (TVLMTokenKind k : kinds) set |= TVLMTokenKinds{1} << k;
  return set;
}
inline constexpr TVLMTokenKinds kVLMNameKinds = VLMKinds({tktString, tktQuotedString, tktBracketedString});
inline constexpr TVLMTokenKinds kVLMNameOrWordKinds = kVLMNameKinds | VLMKinds({tktReservedWord});
inline constexpr TVLMTokenKinds kVLMTableNameKinds = kVLMNameOrWordKinds | VLMKinds({tktParameter});
inline constexpr TVLMTokenKinds kVLMAliasKinds = kVLMNameKinds | VLMKinds({tktParameter});
inline constexpr TVLMTokenKinds kVLMPasswordKinds = VLMKinds({tktQuotedString, tktParameter});

// ------------------------------------------------------------ command base

class TVLMSQLCommand : public TVLMQueryContext {
public:
  // Stores both; nothing is parsed yet (VLMMakeCommand parses).
  TVLMSQLCommand(TVLMLexer* lexer, TVLMDataSet* owner);
  ~TVLMSQLCommand() override;
  TVLMSQLCommand(const TVLMSQLCommand&) = delete;
  TVLMSQLCommand& operator=(const TVLMSQLCommand&) = delete;

  // Reads the whole statement from the lexer's current token.
  virtual void Parse() = 0;
  // Runs the parsed statement for owner. outerOperand and outerCursor are the
  // outer row of a subquery (nullptr from the processor); readOnly is set by
  // statements that yield a cursor.
  virtual void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
                       TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) = 0;
  // The cursor of the statement's result (it belongs to the statement);
  // nullptr for statements without rows.
  virtual TVLMCursor* GetCursor() { return nullptr; }
  // The table of the statement's result; nullptr without rows.
  virtual TVLMTable* GetResultDataset() { return nullptr; }

  // The query context of the expressions the statement parses: the names of
  // the owner's database and session.
  std::string GetDatabaseName() const override;
  std::string GetSessionName() const override;

  TVLMLexer* Lexer;
  TToken Token;
  TVLMDataSet* Owner;
  int32_t RowsAffected = 0;
  // Set by the MEMORY option of the statement's target table.
  uint8_t InMemory = 0;
  // The statement whose names a nested query sees: the one whose condition
  // or value holds the subquery (for a derived table, the one around the
  // SELECT it stands in); nullptr for a statement of its own.
  TVLMSQLCommand* EnclosingScope = nullptr;

  // Whether a table of this statement exposes name (case-insensitive) as a
  // qualifier: its alias, or its name when it has none.
  virtual bool ExposesTableName(const std::string& name) const;
  // Whether this statement or one it is nested in exposes name. A table
  // with an alias answers to its own name only where none does: the name
  // then means the table that exposes it.
  bool ScopeExposes(const std::string& name) const;
  // Whether name is unqualified and the alias of an item of this statement
  // (a condition may name an item so; a subquery sees no item).
  virtual bool NamesItem(const TVLMQualifiedFieldName& name) const;

protected:
  // ---- token operations
  // The lexer's current token into Token; false past the end.
  bool GetCurrentToken();
  // One token on; false at the end of the statement.
  bool GetNextToken();
  // One token on. At the end: 30161 "Unexpected end of SQL command found at
  // line %d, column %d" (the last token's place). A token whose kind is not
  // in allowed (when allowed is not empty): errorCode with errorText, which
  // quotes the token's text, line and column (or only line and column when
  // it has two places). errorCode -1 turns both checks off.
  void ExpectNextToken(TVLMTokenKinds allowed, int32_t errorCode, std::string_view errorText);
  // Token is the reserved word keyword.
  bool IsKeyword(uint16_t keyword) const { return VLMIsReservedWord(Token, keyword); }
  bool HasToken() const { return Token.Kind != tktNone; }
  // The text of Token, or for a parameter token its value as text.
  std::string TokenValue() const;
  // code with text and Token's text, line and column.
  [[noreturn]] void RaiseAtToken(int32_t code, std::string_view text) const;
  // code with "Token '%s' expected, but '%s' found at line %d, column %d".
  [[noreturn]] void RaiseTokenExpected(int32_t code, std::string_view expected) const;
  // code with "Unexpected end of SQL command found at line %d, column %d".
  [[noreturn]] void RaiseEndOfCommand(int32_t code) const;
  // One more level of the thread's depth count of nested SQL into levels
  // (VLMNesting.h); 20842 at Token when it is refused.
  void EnterNestingLevel(TVLMNestingLevels& levels) const;

  // ---- grammar pieces; each reads from Token and leaves it on the first
  // token after what it took
  // [AS] alias: AS then 30177 for a token that is no alias; without AS a
  // word, a bracketed name or a parameter (a quoted string is no alias).
  bool ParseAlias(std::string& alias);
  // [MEMORY] [db.]table [alias] [PASSWORD 'p']; 30230 / 30231 for a token
  // that names no table, 30238 for a password that is no quoted string.
  void ParseTableName(std::string& databaseFileName, std::string& tableName, uint8_t& isMemory,
                      std::string& password, std::string& alias);
  // name {, name}: 10408 for a first token that is no name, 10406 after a
  // comma.
  void ParseFieldNameList(qv::StringList& list);
  // The words after an index column's name up to the next ',' or ')': ASC,
  // DESC, CASE, NOCASE into column; endCode when the text ends first,
  // wordCode for any other word (a misspelt direction would otherwise give
  // an index the user did not ask for). Held with the DDL (VLMSQLDDL.cpp).
  void ParseIndexColumnWords(TVLMDDLIndexColumn& column, int32_t endCode, int32_t wordCode);
  // A value expression from Token (the owner's in-memory flag set first);
  // Token is then the first token after it. Empty (no tree) when the tokens
  // form no value.
  std::unique_ptr<TVLMExpression> ParseValueExpression();
  // One field reference (a value expression that is a single field) into
  // fields: 10409 "Field name expected, but expression '%s...' found at line
  // %d, column %d" for anything else.
  bool ParseFieldReference(TVLMFields& fields);
  // Field references separated by commas: 10412 for a first item that is
  // no field, 10411 for a later one, 10410 for a token after a comma that is
  // no name or word.
  void ParseFieldReferenceList(TVLMFields& fields);
};

// A statement object made and parsed, as the processor's factories make
// them.
template <class T>
std::unique_ptr<T> VLMMakeCommand(TVLMLexer* lexer, TVLMDataSet* owner, TVLMSQLCommand* enclosingScope = nullptr) {
  auto command = std::make_unique<T>(lexer, owner);
  command->EnclosingScope = enclosingScope;
  command->Parse();
  return command;
}

// --------------------------------------------------------- cursor command

// One item of ORDER BY: a name or a column number (as text), with the
// qualifier written before it.
struct TVLMOrderByItem {
  std::string Qualifier;
  std::string FieldName;
  uint8_t Descending = 0;
};

// A statement that yields rows. Execute builds the operator tree, locks
// every table of it (read locks, all together, within the statement-lock
// tries of VLMRetrySettings: 20225 "Table is locked"), opens the root so
// that every operator fills its result, releases the locks on every path
// (20226 / 20227 "Cannot unlock table" when a release fails), and copies the
// result into the INTO table. After a failure nothing of the tree is kept:
// no temporary table outlives the failed statement.
//
// The result may be edited only when the caller asked for a live result and
// the root is the table leaf itself (a plain SELECT of one table's columns).
// A read-only result is a copy of the rows made under the statement's lock
// (VLMSQLSelect.cpp): one committed state of every table read, however late
// and however often its rows are read.
class TVLMSQLCursorCommand : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  ~TVLMSQLCursorCommand() override;

  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
  // The cursor of the root's result table (the base table's for a leaf).
  TVLMCursor* GetCursor() override;
  TVLMTable* GetResultDataset() override;

  // True when, after BuildOperatorTree, no condition was left over that
  // refers to outer rows.
  virtual bool IsSelfContained() = 0;
  // The operator tree of the statement. live: the caller wants an editable
  // result, or the tree is an operand or a subquery; allowOuterReferences:
  // conditions naming outer rows may stay unplaced (subqueries).
  virtual std::unique_ptr<TVLMAO> BuildOperatorTree(TVLMDataSet* owner, bool live, TVLMQueryOperator* outerOperand,
                                                    TVLMCursor* outerCursor, bool allowOuterReferences) = 0;

  // The INTO target: [db.]table; with IntoImmediate (INTO MEMORY IMMEDIATE)
  // the root fills it directly.
  std::string IntoDatabaseName;
  std::string IntoTableName;
  uint8_t IntoImmediate = 0;
  std::vector<TVLMOrderByItem> OrderBy;
  // The root operator of the last run.
  std::unique_ptr<TVLMAO> Root;
  // After BuildOperatorTree with outer references allowed: the names its
  // unplaced conditions take from outer rows (VLMAppendUnknownNames in
  // VLMSQLSelect.h), none
  // of them a column of its own FROM.
  std::vector<TVLMQualifiedFieldName> OuterNames;

protected:
  // ORDER BY item {, item}: 30188 without BY, 30187 for an item that is no
  // name or number, 30186 after a '.', 30189 after a ','.
  void ParseOrderBy();
  // The sort items as root's ORDER BY: a number n names the n-th result
  // column; a name not among root's fields is 30195 "Column '%s' from ORDER
  // BY clause not found".
  void ResolveOrderBy(TVLMAO& root);

private:
  // The result copied into the INTO table (10403 when the copy fails; a
  // read-only database refuses the target with 20860, VLMMainTable.h).
  void CopyIntoTable(TVLMDataSet* owner);
};

// --------------------------------------------------------------- columns

// The field of table named name; 20841 when the table has no such column.
qv::Field& VLMColumnField(TVLMTable& table, const std::string& name);
