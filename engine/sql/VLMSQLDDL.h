// The data-definition statements: column definitions, index and key entries,
// and CREATE TABLE, DROP TABLE and TRUNCATE TABLE (VLMSQLDDL.cpp); ALTER
// TABLE, RENAME TABLE, CREATE INDEX and DROP INDEX (VLMSQLDDLAlter.cpp).
//
//   TSQLFieldDef(s)            one parsed column definition: each attribute
//                              with a flag saying it was written; only
//                              written attributes reach the table
//   TVLMDDLIndexEntry          a PRIMARY KEY, UNIQUE or INDEX entry, of a
//                              column or of the table
//   TVLMDDLTableManipulation   base of the table statements: target table,
//                              column definitions, index entries, and the
//                              table component they are handed to
//
// Every statement acts through a TVLMTable component (and, for a table of
// another file, a private database component named "ExternalDb" plus a
// GUID), never on the storage directly; both are freed before Execute
// returns.
//
// Index names made for unnamed entries: "C_PK" (primary key), "C_Unique"
// (unique) or "i" (plain), followed by "$" and each column name in order:
// a primary key on ID is C_PK$ID, a plain index on A and B is i$A$B.
//
// Column-definition grammar (keyword ids as in VLMConst.h):
//   list      '(' element {',' element} ')'
//   element   PRIMARY [KEY] [name] columns
//           | [UNIQUE] INDEX [name] columns
//           | [IF NOT EXISTS] name type {option}
//   columns   '(' name {ASC | DESC | CASE | NOCASE} {',' ...} ')'
//   type      typename ['(' size ')'] | autoinc ['(' autoinc-option {','
//             autoinc-option} ')']
//   option    NOT NULL | NULL | DEFAULT value | MINVALUE v | NOMINVALUE
//           | MAXVALUE v | NOMAXVALUE | PRIMARY [KEY] | UNIQUE
//           | BLOBBLOCKSIZE n | BLOBCOMPRESSIONMODE n
//           | BLOBCOMPRESSIONALGORITHM name | any other word (ignored)
//
// DEFAULT: NOW, CURRENT_TIMESTAMP, CURRENT_TIME, CURRENT_DATE and SYSDATE
// (bare or quoted) are kept as that word; a quoted string as the string in
// double quotes (an expression default the table evaluates to the string);
// any other value expression is evaluated once and kept typed by its own
// value: null, a 64-bit integer, a double, or else its text.
//
// Error codes: the design's (2011, 30226-30238, 30246-30251, 30267-30269,
// 30274, 30290-30300, 30333, 30485-30490; of ALTER, RENAME and the index
// statements 30161, 30252, 30253, 30259, 30261, 30266-30282, 30347-30355,
// 30498) and the project's: 30722 an index entry's column list that does
// not start with '(', 30723 a word in an index column list other than ASC,
// DESC, CASE or NOCASE, 30724 a size, block size or compression mode
// outside its range, 30725 tokens after the target of DROP TABLE or
// TRUNCATE TABLE, 30726 a token after a table key or index entry that is
// neither ',' nor ')'; 30800 tokens after the end of ALTER TABLE, RENAME
// TABLE, CREATE INDEX or DROP INDEX, 30801 a word in a CREATE INDEX column
// list other than ASC, DESC, CASE or NOCASE, 30802 a token that is no name
// where a RENAME expects a column or table name.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/VLMVariant.h"
#include "engine/sql/VLMSQLCommand.h"

struct TVLMTableComponents;
class TVLMAdvFieldDef;

// ------------------------------------------------------ column definitions

class TSQLFieldDef {
public:
  TSQLFieldDef() = default;
  TSQLFieldDef(const TSQLFieldDef&) = delete;
  TSQLFieldDef& operator=(const TSQLFieldDef&) = delete;

  std::string Name;
  // IF NOT EXISTS before the name (ALTER TABLE ADD).
  uint8_t IfNotExists = 0;
  uint8_t TypeGiven = 0;
  TVLMDataType DataType = 0;
  uint8_t SizeGiven = 0;
  int32_t Size = 0;
  uint8_t NullGiven = 0;
  uint8_t NotNull = 0;
  uint8_t IncrementGiven = 0;
  int64_t Increment = 0;
  uint8_t InitialValueGiven = 0;
  int64_t InitialValue = 0;
  uint8_t MinValueGiven = 0;
  int64_t MinValue = 0;
  uint8_t MaxValueGiven = 0;
  int64_t MaxValue = 0;
  uint8_t CycledGiven = 0;
  uint8_t Cycled = 0;
  uint8_t BlobBlockSizeGiven = 0;
  int32_t BlobBlockSize = 0;
  uint8_t BlobCompressionAlgorithmGiven = 0;
  // 0 NONE, 1 ZLIB, 2 BZIP, 3 PPM.
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionModeGiven = 0;
  uint8_t BlobCompressionMode = 0;
  uint8_t DefaultGiven = 0;
  TVLMVariant Default;
  // Column MINVALUE and MAXVALUE (a CHECK on the column).
  uint8_t MinGiven = 0;
  TVLMVariant Min;
  uint8_t MaxGiven = 0;
  TVLMVariant Max;
};

class TSQLFieldDefs {
public:
  TSQLFieldDef* Add();
  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  TSQLFieldDef* Items(int32_t index) const { return Items_.at(static_cast<size_t>(index)).get(); }

private:
  std::vector<std::unique_ptr<TSQLFieldDef>> Items_;
};

// ---------------------------------------------------------- index entries

struct TVLMDDLIndexColumn {
  std::string Name;
  uint8_t Descending = 0;
  uint8_t NoCase = 0;
};

struct TVLMDDLIndexEntry {
  // Empty: a name is made (see the top of the file).
  std::string Name;
  uint8_t Unique = 0;
  uint8_t Primary = 0;
  std::vector<TVLMDDLIndexColumn> Columns;
};

// ----------------------------------------------------- table statements

class TVLMDDLTableManipulation : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;

  // The end check the statements call last: a token after the statement's
  // last token (the current one) is 30246 "Unexpected token '%s' found at
  // line %d, column %d".
  void Parse() override;

  std::string Password;
  std::string DatabaseFileName;
  std::string TableName;
  std::string Alias;
  TSQLFieldDefs FieldDefs;
  std::vector<TVLMDDLIndexEntry> Indexes;

protected:
  // [MEMORY] [db.]table [alias] [PASSWORD 'p'].
  void ParseTargetTable();
  // The parenthesised element list, from its '(' (30226 for another token)
  // to its ')', which stays the current token.
  void ParseColumnDefinitions();
  // The table component of the statement (its database component too for a
  // table of another file); with loadDefinitions its extended field
  // definitions are the column definitions.
  void OpenTableComponent(TVLMDataSet* owner, bool loadDefinitions, TVLMTableComponents& components);
  // The written attributes of def into advDef.
  static void CopyColumnDefinition(TVLMAdvFieldDef& advDef, const TSQLFieldDef& def);
  // The index entries as the table's index definitions (host list cleared,
  // extended and restructure lists filled).
  void FillIndexDefinitions(TVLMTable& table) const;
  // 30725 for a token left after the statement's target.
  void CheckEndAfterTarget();

private:
  void ParseTableKey();
  void ParseTableIndex();
  void ParseIndexColumns(TVLMDDLIndexEntry& entry);
  void ParseColumn();
  void ParseDataType(TSQLFieldDef& def);
  void ParseAutoincOptions(TSQLFieldDef& def);
  void ParseDefault(TSQLFieldDef& def);
  // MINVALUE / MAXVALUE of a column: an optionally signed value cast to a
  // 64-bit integer.
  void ParseColumnBound(TVLMVariant& bound);
  // ExpectNextToken(tktInt, 30292), the text as a 64-bit integer (30291).
  int64_t ParseInteger();
  int32_t ParseInteger32(int64_t min, int64_t max);
};

class TVLMDDLCreateTable : public TVLMDDLTableManipulation {
public:
  using TVLMDDLTableManipulation::TVLMDDLTableManipulation;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  uint8_t IfNotExists = 0;
};

class TVLMDDLDropTable : public TVLMDDLTableManipulation {
public:
  using TVLMDDLTableManipulation::TVLMDDLTableManipulation;
  void Parse() override;
  // A missing table is no error, with or without IF EXISTS.
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
};

class TVLMDDLTruncateTable : public TVLMDDLTableManipulation {
public:
  using TVLMDDLTableManipulation::TVLMDDLTableManipulation;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
};

// ------------------------------------------- structure of an existing table
//
// ALTER TABLE [MEMORY] [db.]t [PASSWORD 'p'] action, where action is
//   ADD (column definitions and index entries)   new columns; IF NOT EXISTS
//                                                before a name passes over a
//                                                column the table has
//   MODIFY (column definitions)                  the written attributes of
//                                                existing columns
//   DROP [COLUMN] name {, name}
//   RENAME [COLUMN] old TO new
//   RENAME TO newtable
// RENAME [TABLE] t TO u is the last form as a statement of its own.
//
// ADD, DROP and MODIFY edit the table component's restructure definitions
// (which opening the table fills with the stored structure) and rebuild the
// table through RestructureTable: the rows are copied into the new
// structure, each column by its identity, so a modified column keeps its
// values and a new one starts empty. A rebuild that fails part-way leaves
// the table under its name with its old rows (after a failed write that
// leaves the database refusing, once it is opened again) and raises 30347
// with the rebuild's log; a refusal before anything changed (a transaction,
// another user holding the table) passes on unchanged. The renames go
// through RenameField and RenameTable.
//
// CREATE [UNIQUE] INDEX i ON [MEMORY] [db.]t (col [ASC|DESC] [CASE|NOCASE]
// {, ...} [, PASSWORD 'p']) and DROP INDEX [db.]t.i [PASSWORD 'p'] go
// through the table component's AddIndex and DeleteIndex; a text column is
// keyed on its first 20 characters, the table component's default key
// length. A unique index is refused (20700) when the rows already repeat
// one of its keys.

class TVLMDDLAlterTable : public TVLMDDLTableManipulation {
public:
  enum class TAction : uint8_t { Add = 0, Drop = 1, Modify = 2, RenameColumn = 3, RenameTable = 4 };

  using TVLMDDLTableManipulation::TVLMDDLTableManipulation;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  TAction Action = TAction::Add;
  std::vector<std::string> DropFields;
  // RENAME COLUMN pairs.
  std::vector<std::string> OldNames;
  std::vector<std::string> NewNames;
  std::string NewTableName;

protected:
  // The current token as a column or table name, then one token on; 30161
  // at the end of the statement, 30802 for a token that names nothing.
  std::string TakeName();
  // 30800 for a token left after the statement.
  void CheckEndOfStatement() const;

private:
  void ParseAction();
  // ADD, DROP and MODIFY on the restructure definitions, then the rebuild.
  void Restructure(TVLMTable& table);
};

class TVLMDDLRenameTable : public TVLMDDLAlterTable {
public:
  using TVLMDDLAlterTable::TVLMDDLAlterTable;
  // From the table name (the processor passed RENAME and TABLE).
  void Parse() override;
};

class TVLMDDLCreateIndex : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  uint8_t Unique = 0;
  std::string IndexName;
  std::string DatabaseFileName;
  std::string TableName;
  std::string Alias;
  std::string Password;
  std::vector<TVLMDDLIndexColumn> Columns;
};

class TVLMDDLDropIndex : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  std::string IndexName;
  std::string DatabaseFileName;
  std::string TableName;
  std::string Alias;
  std::string Password;
};
