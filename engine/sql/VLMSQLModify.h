// The statements that change rows, and what they share:
//
//   TVLMSQLInsert        INSERT ... VALUES and INSERT ... SELECT
//                        (VLMSQLModify.cpp)
//   TVLMSQLUpdate        UPDATE, plain and row-value SET (VLMSQLUpdate.cpp)
//   TVLMSQLDelete        DELETE (VLMSQLUpdate.cpp)
//   TVLMSQLTableWrite    the table locks and the implicit transaction a
//                        statement writes under outside an explicit
//                        transaction (VLMSQLModify.cpp)
//   AssignFieldValue     an engine value into a dataset field
//                        (VLMSQLModify.cpp)
//
// Every row goes through a table component (Insert, Edit, Post, Delete), so
// defaults, constraints, indexes and BLOBs are handled as for the
// application's own edits. UPDATE and DELETE select their rows with a SELECT
// of their own (RowQuery) run live, so that its result is the base table
// with the WHERE condition as its filter.
//
// A write outside an explicit transaction (TVLMSQLTableWrite):
//
//   made (the database section of the locking cursor held by the caller)
//     --Lock: a commit lock (type 4), one try at a time, up to
//       ModifyLockTries, the section released for the ModifyLockDelayMs
//       between tries; then a changed-table lock (type 3), one try--> locked
//   locked --Begin: the writing cursor's implicit transaction, NoAutoCommit
//       on a disk table--> writing
//   writing --Commit--> done        writing --Rollback--> done
//   any --destructor: rolled back unless done, NoAutoCommit as it was, the
//       locks released (type 3 when taken, then type 4)--> gone
//
// Invariants:
//   1. The rows of UPDATE and DELETE are fixed (their bookmarks read) before
//      the first of them changes: a row that an UPDATE moves in the order of
//      the row query is changed once.
//   2. Outside an explicit transaction the changes to a disk table are
//      committed once, when the statement has written every row; an error
//      rolls all of them back. A memory table keeps no rollback: the rows
//      changed before the error stay changed.
//   3. An UPDATE tries again only after a lock conflict (a record or table
//      another session holds: the cursor's results -12 and -13, or 20223);
//      any other error passes on after the first rollback. RowsAffected
//      counts the rows of the attempt that succeeded. Inside an explicit
//      transaction UPDATE and DELETE read their rows under the changed-table
//      lock (VLMLockChangedTable), so that a row another session changed
//      meanwhile is read as it now is, never refused as changed.
//   6. A lock conflict that outlived its retries, and a record-level
//      refusal of the table component, leave the statement as the engine
//      errors of VLMSQLCommand.h (20850-20853, 20846, or -8's own error).
//   4. INSERT ... SELECT compares its column counts (20259) and copies the
//      query's rows into its temporary table (10403 when a row or value is
//      lost) before it writes the first row; the temporary table is deleted
//      on every path.
//   5. A row value of UPDATE gives as many values as there are names, or the
//      statement stops with 20259 before the row is edited.
//
// Error codes: INSERT 2156, 20256, 20259, 30203-30214, 30356, 30357, 30493,
// 20224 (its table lock), 10403 (the copy into the temporary table);
// UPDATE 30216, 30217, 30220-30223, 30494, 30495, 20223 (its table lock),
// 20259 (row value); DELETE 30224, 20223; 20260 tokens left after a row
// query or the SELECT of an INSERT; 30359 AssignFieldValue without a value,
// 20840 a value outside its integer column's range;
// and the project's: 30720 a VALUES value followed by neither ',' nor ')',
// 30721 tokens after the VALUES list, 20780 an UPDATE value that is no
// expression, 20781 a row value that is no subquery, 20782 a row query that
// does not read one table directly (UPDATE or DELETE over a join), 20783
// INTO in the SELECT of INSERT ... SELECT.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/VLMSQLSelect.h"

namespace qv {
class Field;
}  // namespace qv

class TVLMCursor;
class TVLMTable;

// ------------------------------------------------------------------ INSERT
//
// INSERT INTO [MEMORY] [db.]t [PASSWORD 'p'] [(columns)] VALUES (v, ...)
// {, (v, ...)}, or INSERT INTO ... [(columns)] SELECT ..., or INSERT INTO
// ... [(columns)] (SELECT ...). Every VALUES row is checked against the
// column list while parsing and against the table's field count before the
// first row is posted, so a row of the wrong length inserts nothing
// (20259). Outside a transaction each VALUES row stays when a later one
// fails; the rows of a SELECT go in under the table lock and the implicit
// transaction, all or none.

class TVLMSQLInsert : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  ~TVLMSQLInsert() override;

  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  std::string TableName;
  std::string DatabaseFileName;
  std::string Password;
  // The column list; empty when none was written.
  std::vector<std::string> FieldNames;
  // One expression per value of each VALUES row.
  struct TRow {
    std::vector<std::unique_ptr<TVLMExpression>> Values;
    // The ')' that closes the row, for messages.
    int32_t Line = 0;
    int32_t Column = 0;
  };
  std::vector<TRow> Rows;
  // The query of INSERT ... SELECT; nullptr for VALUES.
  std::unique_ptr<TVLMSQLSelect> Select;

private:
  void ParseColumnList();
  void ParseValues();
  // The query from its SELECT on (20783 for one with INTO).
  void ParseSelect();
  // The target fields of the rows, checked against every row before any
  // row is posted.
  std::vector<qv::Field*> TargetFields(TVLMTable& table) const;
  void ExecuteValues(TVLMTable& table);
  void ExecuteSelect(TVLMDataSet* owner, TVLMTable& table);
  // Where the SELECT starts, for messages.
  int32_t SelectLine_ = 0;
  int32_t SelectColumn_ = 0;
};

// ------------------------------------------------------------------ UPDATE
//
// UPDATE [MEMORY] [db.]t [[AS] alias] [PASSWORD 'p'] SET c = v {, c = v}
// [WHERE condition], or SET (c, ...) = (SELECT ...) [WHERE condition]. A
// column may be qualified by the table's name (t.c), not by the alias
// (30221). The values read the row as it was before the statement changed
// it: SET a = b, b = a swaps.

class TVLMSQLUpdate : public TVLMSQLCommand {
public:
  // Makes the command's own lexer, empty, for the row query.
  TVLMSQLUpdate(TVLMLexer* lexer, TVLMDataSet* owner);
  ~TVLMSQLUpdate() override;

  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
  // The target table, to the subqueries of the values.
  bool ExposesTableName(const std::string& name) const override;

  std::string DatabaseFileName;
  std::string TableName;
  std::string Password;
  // The assigned columns, in order.
  std::vector<std::string> FieldNames;
  // One value per column (the plain form).
  std::vector<std::unique_ptr<TVLMExpression>> Values;
  // SET (c1, c2, ...) = subquery.
  uint8_t RowValueForm = 0;
  std::unique_ptr<TVLMExpression> RowValue;
  // Holds the tokens of the row query: SELECT * FROM the table, then the
  // statement's WHERE clause. Declared before RowQuery, whose expressions
  // read its tokens, so that it outlives them.
  std::unique_ptr<TVLMLexer> QueryLexer;
  std::unique_ptr<TVLMSQLSelect> RowQuery;
  std::string Alias;

private:
  // A column name, with the table's name as its only allowed qualifier.
  void ParseColumnName();
  void ParseAssignments();
  void ParseRowValue();
  void BuildRowQuery();
  // Execute's work; Execute gives its refusals their engine codes.
  void ExecuteRows(TVLMDataSet* owner);
  // One attempt: every row of source changed through target.
  void UpdateRows(TVLMTable& source, TVLMTable& target, const std::vector<qv::Field*>& fields);
  // The values of the row value form, checked against the names (20259).
  void CheckRowValue();
  // The table name's place and the row value's, for messages.
  int32_t TableLine_ = 0;
  int32_t TableColumn_ = 0;
  int32_t RowValueLine_ = 0;
  int32_t RowValueColumn_ = 0;
};

// ------------------------------------------------------------------ DELETE
//
// DELETE FROM [MEMORY] [db.]t [[AS] alias] [PASSWORD 'p'] [WHERE
// condition]. The statement's tokens are copied as "select * FROM ..." into
// a lexer of the statement's own and parsed by the SELECT grammar, so
// DELETE t without FROM is its 30184.

class TVLMSQLDelete : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  ~TVLMSQLDelete() override;

  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  // The row query's tokens (before RowQuery, which reads them).
  std::unique_ptr<TVLMLexer> QueryLexer;
  std::unique_ptr<TVLMSQLSelect> RowQuery;

private:
  // Execute's work; Execute gives its refusals their engine codes.
  void ExecuteRows(TVLMDataSet* owner);
};

// ------------------------------------------------------ locked writes

class TVLMSQLTableWrite {
public:
  // lockCursor takes the table locks (the caller holds its database
  // section); writer is the cursor whose writes make up the implicit
  // transaction. Both are on the same table.
  TVLMSQLTableWrite(TVLMCursor& lockCursor, TVLMCursor& writer);
  // Rolls back what was begun and not finished, restores NoAutoCommit,
  // releases the locks; never raises.
  ~TVLMSQLTableWrite();
  TVLMSQLTableWrite(const TVLMSQLTableWrite&) = delete;
  TVLMSQLTableWrite& operator=(const TVLMSQLTableWrite&) = delete;

  // The commit lock, then the changed-table lock; false when the commit
  // lock was not had within the tries.
  bool Lock();
  void Begin();
  // A commit that fails rolls back before its error passes on.
  void Commit();
  void Rollback();

private:
  void RestoreAutoCommit();

  TVLMCursor& LockCursor_;
  TVLMCursor& Writer_;
  bool CommitLocked_ = false;
  bool ChangedLocked_ = false;
  bool Writing_ = false;
  bool AutoCommitChanged_ = false;
  bool SavedNoAutoCommit_ = false;
};

// Whether e is a lock conflict: a record or table another session holds (a
// refused write's -12 or -13), or the table lock of UPDATE or DELETE
// (20223).
bool VLMIsLockConflict(const std::exception& e);

// Inside an explicit transaction: the changed-table lock (type 3) on
// lockCursor's table, which the transaction keeps until it ends, tried as
// TVLMSQLTableWrite::Lock tries its commit lock; false when it was not had.
// UPDATE and DELETE take it before they read their rows, so that no other
// session changes a row between its reading and its change.
bool VLMLockChangedTable(TVLMCursor& lockCursor);

// Cancels a pending insert or edit of table, whose write failed; never
// raises.
void VLMCancelQuietly(TVLMTable& table);

// Stores value into field: nullptr 30359 "Value is Null"; a null value
// clears the field (also a BLOB field); else, for a column of an integer
// type, the value as a 64-bit integer, 20840 when the column's type cannot
// hold it (never cut to its width); else by the field's type: date, time
// and date-time through their accessors; BLOB, memo, graphic and formatted
// memo take the value's bytes as text; any other type the value as a host
// variant.
void AssignFieldValue(const TVLMVariant* value, qv::Field& field);
