// TVLMSQLProcessor: runs an SQL text that may hold several statements.
//
// The lexer splits the text into statements and tokens once; the processor
// then takes the statements in turn, picks the statement class by the first
// keyword, lets the object parse the statement and run it, sums the rows the
// statements report, and hands back the cursor of the last statement's
// result, positioned on its first row.
//
// Dispatch on the first token (keyword ids as in VLMConst.h):
//   SELECT, '('            TVLMSQLUnion, then 20260 "End of SQL command
//                          expected, but '%s' found at line %d, column %d"
//                          for a token it left
//   INSERT                 TVLMSQLInsert
//   UPDATE                 TVLMSQLUpdate
//   DELETE                 TVLMSQLDelete
//   CREATE TABLE           TVLMDDLCreateTable
//   CREATE UNIQUE | INDEX  TVLMDDLCreateIndex
//   DROP TABLE             TVLMDDLDropTable
//   DROP INDEX             TVLMDDLDropIndex
//   ALTER TABLE            TVLMDDLAlterTable
//   RENAME [TABLE]         TVLMDDLRenameTable
//   TRUNCATE               TVLMDDLTruncateTable
//   START, COMMIT, ROLLBACK  the transaction statements
// After CREATE, DROP and ALTER the word that follows is read here: another
// word is 30147 / 30149 / 30151 "Object type keyword expected, but '%s'
// found at line %d, column %d", none 30148 / 30150 / 30152 "Unexpected end
// of SQL command found at line %d, column %d"; RENAME alone is 30353. Any
// other reserved word first is 30153, any other token 30154 "SQL token
// expected, but '%s' found at line %d, column %d". A text without a
// statement (empty, comments and semicolons only) is 30145 "Blank SQL
// command".
//
// States of one run (Execute):
//
//   idle --Execute: new lexer over SQL--> running
//   running --NextStatement: the previous command freed, the next made
//             and parsed--> parsed --its Execute--> running
//   running --no statement left--> done (the last command kept: its cursor
//             is the result)
//   done --ResultReleased / ExecSQL's end--> idle: a command not kept for
//             the next run goes with its tree (its tables back to the kept
//             tables, which keep only what they may: VLMKeptTables.h)
//   parsed / running --an exception--> idle: the failing command goes,
//             its tree and tables with it (back to the kept tables),
//             before the exception leaves Execute
//
// Invariants:
//   1. At most one command exists: the statement being run, or after a run
//      that succeeded the last one; none after a run that failed.
//   2. Each statement runs on its own: statements before a failing one keep
//      their effect, none after it is parsed, and RowsAffected holds the sum
//      up to the one before it.
//   3. The cursor Execute returns belongs to the last command and stays
//      valid until the next Execute, ClearCommands or the processor's
//      destruction, whichever comes first.
//
// Error codes: 30145-30154, 30353 (dispatch), 20260 (tokens after a query),
// EIntOverflow when the rows affected pass 2^63 - 1.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core/VLMLexer.h"

class TVLMCursor;
class TVLMDataSet;
class TVLMKeptTables;
class TVLMSQLCommand;

class TVLMSQLProcessor {
public:
  // owner: the dataset that runs the statements (the query component); the
  // statements reach its session, database and in-memory flag.
  explicit TVLMSQLProcessor(TVLMDataSet* owner);
  virtual ~TVLMSQLProcessor();
  TVLMSQLProcessor(const TVLMSQLProcessor&) = delete;
  TVLMSQLProcessor& operator=(const TVLMSQLProcessor&) = delete;

  // Stores the text; nothing is parsed until Execute.
  void SetSQL(std::string_view text);
  const std::string& SQL() const { return SQL_; }
  // Runs every statement of the text from the start; the cursor of the last
  // statement's result on its first row, or nullptr.
  TVLMCursor* Execute();
  // Execute, the cursor dropped.
  void ExecSQL();
  // The caller is done with the cursor of the last run (a query closed):
  // a command not kept goes, its tree and tables with it.
  void ResultReleased();
  // The kept tables, with the tables of the present statements given back
  // to them (as any run gives them back): the caller keeps them for the
  // processor of its next text. The statements go.
  std::unique_ptr<TVLMKeptTables> HandOverKeptTables();
  // Borrows from tables (a handed-over set) from now on.
  void TakeOverKeptTables(std::unique_ptr<TVLMKeptTables> tables);
  // The next statement of lexer parsed into the command slot (the previous
  // command freed first); false when none is left.
  bool NextStatement(TVLMLexer& lexer);
  void ClearCommands();
  // The command of the slot: the one being run, or the last one.
  TVLMSQLCommand* Command() const { return Commands_.empty() ? nullptr : Commands_.front().get(); }

  TVLMDataSet* Owner;
  // Set by the last cursor statement's Execute.
  bool ReadOnly = false;
  bool RequestLive = false;
  bool InMemory = false;
  // The rows the statements of the last run reported.
  int64_t RowsAffected = 0;
  // Filled by the query before each run; the lexer resolves parameter
  // tokens against it by name.
  TVLMSQLParams Params;

protected:
  // One factory per statement class: each makes the class over the lexer
  // at its current token, which parses the statement, into the command
  // slot.
  virtual void CreateSelect(TVLMLexer& lexer);
  virtual void CreateInsert(TVLMLexer& lexer);
  virtual void CreateUpdate(TVLMLexer& lexer);
  virtual void CreateDelete(TVLMLexer& lexer);
  virtual void CreateTruncateTable(TVLMLexer& lexer);
  virtual void CreateCreateTable(TVLMLexer& lexer);
  virtual void CreateDropTable(TVLMLexer& lexer);
  virtual void CreateAlterTable(TVLMLexer& lexer);
  virtual void CreateRenameTable(TVLMLexer& lexer);
  virtual void CreateCreateIndex(TVLMLexer& lexer);
  virtual void CreateDropIndex(TVLMLexer& lexer);
  virtual void CreateStartTransaction(TVLMLexer& lexer);
  virtual void CreateCommit(TVLMLexer& lexer);
  virtual void CreateRollback(TVLMLexer& lexer);
  // Makes command the one of the slot.
  void SetCommand(std::unique_ptr<TVLMSQLCommand> command);

private:
  // Execute's run of the text, under its scopes.
  TVLMCursor* RunStatements();
  // Picks the statement class by the statement's first token.
  void Dispatch(TVLMLexer& lexer);
  // After a run of a one-statement text: the statement stays parsed for the
  // next run when it can take new parameter values without a new parse
  // (an INSERT of values).
  void Keep(TVLMSQLCommand& command);
  // The parameters are the objects the text was split with, and each has
  // the shape it had when the kept statement was parsed (type, null or
  // not, a prefix pattern or not; a value that names something: the same
  // value).
  bool KeptStillFits() const;
  // Runs the kept statement with the parameters' present values.
  bool RunKept(TVLMCursor*& cursor);
  void ForgetKept();

  std::string SQL_;
  // The tables the statements keep open from one run to the next (closed
  // before a statement that changes the tables' structure).
  std::unique_ptr<TVLMKeptTables> KeptTables_;
  // Declared before the commands so that it outlives them: a command's
  // expressions may point into it until they go.
  std::unique_ptr<TVLMLexer> Lexer_;
  // The parameter objects the lexer's tokens point to.
  std::vector<const TVLMSQLParam*> LexedParams_;
  std::vector<std::unique_ptr<TVLMSQLCommand>> Commands_;
  // The command of the slot is kept for the next run (Keep), with the
  // parameters' shapes and the values of those that name something.
  bool Kept_ = false;
  std::vector<uint32_t> KeptShapes_;
  std::vector<std::pair<const TVLMVariant*, std::unique_ptr<TVLMVariant>>> KeptShaping_;
};
