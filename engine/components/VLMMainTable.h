// TVLMTable is the dataset over one stored table. Its cursor is made by
// CreateCursor: a local cursor on the database component's engine session,
// with the table's name, Exclusive, read-only when the table or the database
// is, and the table opened (a memory or temporary table at design time is
// made from FieldDefs and IndexDefs on the spot).
//
// Index: IndexName names an index; IndexFieldNames (";"-separated) names
// fields, and the first index whose fields begin with them is used (none:
// "No index for fields '%s'" when the table opens). Either one set on a
// closed table applies when it opens.
//
// Master/detail: with MasterSource and MasterFields set, the table shows only
// the records whose first index fields equal the master's fields, as a range
// of the current index, and moves to its first such record whenever the
// master's record changes (under a type-1 table lock, when one is had).
//
// Structural operations (CreateTable, DeleteTable, EmptyTable, RenameTable)
// run through a cursor of their own while the table is attached to its
// database by flag 3; all but EmptyTable refuse inside a transaction of the
// database: "Cannot perform '%s' operation on a database in transaction"
// (20182 CreateTable, 20183 DeleteTable, 20181 RenameTable; 20179
// RenameField, 20175 AddIndex, 20177 DeleteIndex, 20180 RestructureTable).
// Opening the table copies its extended field definitions into
// RestructureFieldDefs (and the index ones into RestructureIndexDefs), which
// a caller edits before RestructureTable.
//
// Every operation that changes the stored table (the structural ones above,
// RenameField, AddIndex, DeleteIndex, RestructureTable, RepairTable) is
// refused on a read-only database (opened read-only, a file this process
// may not write, or a single-user connection let in read-only beside
// another connection that holds the file) once the database is attached
// and before anything reaches the file: "Dataset is in read only mode"
// (20860 CreateTable, 20861 DeleteTable, 20862 EmptyTable, 20863
// RenameTable, 20864 RenameField, 20865 AddIndex, 20866 DeleteIndex, 20867
// RestructureTable, 20868 RepairTable).
//
// Error codes: 10296 / 10299 master range without a cursor, the refusals
// above (transaction and read-only), the definition checks of
// CheckFieldDefs (30499, 30453, 20257), 20612 a restructure that failed and
// could not be undone in the call, 20613 opening a table that a restructure
// left unfinished (CreateCursor).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/components/VLMMainDataSet.h"
#include "platform/dataset/DataSource.h"

class TVLMLocalCursor;
class TVLMLocalSession;
class WaitController;

namespace qv {
class IndexDefs;
class StringList;
}  // namespace qv

class TVLMTable : public TVLMDataSet {
public:
  using TableNotifyEvent = std::function<void(TVLMTable&)>;
  using ProgressEvent = std::function<void(TVLMTable&, int32_t percent, bool& cont)>;
  // The long operations with a progress-event triple.
  enum class LongOperation : uint8_t { Copy, Import, Restructure };

  explicit TVLMTable(qv::Component* owner = nullptr);
  ~TVLMTable() override;

  // ---- published properties
  const std::string& TableName() const { return TableName_; }
  // Closed only (when it changes).
  void SetTableName(std::string_view value);
  bool Exclusive = false;
  bool Temporary() const { return Temporary_; }
  // Closed only; true also sets DatabaseName to "TEMP".
  void SetTemporary(bool value);
  // The cursor of a database the session made for the table keeps no
  // temporary files when set.
  bool DisableTempFiles = false;
  std::string IndexName() const { return FieldsIndex_ ? std::string() : IndexName_; }
  void SetIndexName(std::string_view value) { SetIndex(value, false); }
  std::string IndexFieldNames() const { return FieldsIndex_ ? IndexName_ : std::string(); }
  void SetIndexFieldNames(std::string_view value) { SetIndex(value, !value.empty()); }
  qv::DataSource* MasterSource() const;
  // "Circular datalinks are not allowed" when source's dataset follows this
  // table.
  void SetMasterSource(qv::DataSource* source);
  const std::string& MasterFields() const;
  void SetMasterFields(std::string_view fields);

  // Whether the table is in its database (false without DatabaseName); a
  // table not attached to its database attaches just for the question.
  bool Exists();
  // The value field's last insert drew in this session.
  int64_t GetLastAutoincValue(std::string_view fieldName);
  // The autoincrement field's counter raised to value where it is lower
  // (committed as a write is): no later insert is given value or below.
  void RaiseAutoincValue(std::string_view fieldName, int64_t value);
  // Opens the table once in repair mode (the database rebuild). Answers
  // what the repair left out of the table, a line for each record page
  // whose rows it could not read ("" when it kept every row).
  std::string RepairTable();

  // ---- the SQL engine's index choice (open table only)
  // The index the cursor finds or makes for the fields; no cursor 10311.
  std::string GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                const qv::StringList& caseOptions);
  // Whether an index serves the fields; no cursor 10514.
  bool HasIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                         const qv::StringList& caseOptions);
  // The cursor orders by such an index, which becomes IndexName; no cursor
  // 10319.
  void SetIndexByFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                        const qv::StringList& caseOptions);
  // The index other's cursor uses, with its index field count; no cursor
  // 10319.
  void AssignIndexFrom(TVLMTable& other);

  // ---- structure
  // Makes the table from FieldDefs and IndexDefs (or from the extended
  // definitions when they are set); the table must be closed.
  void CreateTable();
  // Closes the table first.
  void DeleteTable();
  // Removes every record; closed only; also inside a transaction.
  void EmptyTable();
  // Closed only; TableName becomes newName.
  void RenameTable(std::string_view newName);
  // Per extended field definition: 30499 "Missing field name. FieldNo=%d,
  // table '%s'"; 30453 "Cannot create table '%s' with field: %s %s(%d)" for
  // a text, GUID or byte field of size below 1; 20257 for a compressed BLOB
  // whose compression mode is outside 1-9.
  void CheckFieldDefs();
  // Defaults, minima and maxima cast to the field's type (empty texts become
  // null); sizes kept only for sized types, a GUID 38.
  void NormalizeFieldDefs();
  // Index columns without a positive length, or on a field that is not of a
  // sized type, get length 20.
  void NormalizeIndexColumns();

  // ---- structure changes (VLMMainRestructure.cpp)
  // Renames a field of the closed table, which is opened exclusively for it
  // and closed again (Exclusive restored).
  void RenameField(const std::string& oldName, const std::string& newName);
  // Adds an index through the open cursor or a cursor of its own: 20046 for
  // an empty name, 20047 for an empty field list; the index is made under an
  // exclusive table lock (type 6, the table-open tries and delay of
  // VLMRetrySettings), 20228 when another session holds the table.
  void AddIndex(const std::string& name, const std::string& fields, qv::TIndexOptions options,
                const std::string& descFields = std::string(), const std::string& caseInsFields = std::string());
  // Removes the index through the open cursor or a cursor of its own.
  void DeleteIndex(const std::string& name);
  // Rebuilds the closed table with RestructureFieldDefs and
  // RestructureIndexDefs: a new table "NEW_<name>_{GUID}" is made, the table
  // renamed "OLD_<name>_{GUID}", every record copied into the new one, each
  // field by its identity (a field keeps its values across a rename, a new
  // field starts null), the new table renamed <name> and the old one
  // deleted; VLMMainRestructure.cpp has the states. Restructures of the
  // table cut short earlier are finished first. Log collects what failed.
  // False when the definitions are refused (nothing changed), the new table
  // could not be made or the copy was incomplete or stopped: the table is
  // then back as it was. An exception of a step passes on after the same
  // undo. An undo that cannot finish now (a failed write leaves the
  // database refusing) raises 20612; the next connect to the file that may
  // write finishes it. The records are copied into the new table in
  // batches, each one commit (TVLMRetrySettings::CopyBatchBytes). An old
  // table that cannot be deleted after the new one took the name is left
  // under its "OLD_" name with a warning in log, and the result is true; the
  // next connect or restructure deletes it (when it holds no more records
  // than the table).
  bool RestructureTable(std::string& log);

  // ---- copy and import (VLMMainCopy.cpp)
  // Copies this table's structure (its indexes with copyIndexes) and records
  // into table newTableName of the database file destDatabaseFileName,
  // opened with destPassword ("MEMORY": the memory database; empty: this
  // table's database), with the copy events and progress from minPercent to
  // maxPercent. The table keeps its state and position. Refusals: 30447
  // "Cannot copy table '%s.%s' into it self" when the destination is this
  // table (also through its own file's name); 30448 "Table '%s.%s' already
  // exists" (10515 in the memory database) unless overwrite deletes it;
  // 30450 "Create table '%s.%s' error: '%s'"; 20297 for a field definition
  // without a field object. With ignoreErrors these texts (and a failed
  // connect of the destination) go to log instead and the copy ends with
  // false. Otherwise the result of CopyRecords. Into a disk database the
  // copy fills a table nobody else reads, committing in batches, and takes
  // the name (the table it overwrites) in one rename once it is whole; a
  // copy that fails, or is stopped, leaves the destination as it was
  // (VLMMainCopy.cpp), or raises 20920 when the table it overwrites could
  // not be put back now (the next connect does).
  bool CopyTable(std::string_view newTableName, std::string& log, bool& cont,
                 const std::string& destDatabaseFileName = std::string(),
                 const std::string& destPassword = std::string(), bool ignoreErrors = false, bool overwrite = false,
                 bool copyIndexes = true, int32_t minPercent = 0, int32_t maxPercent = 100);
  // Creates this (closed) table with source's structure and copies every
  // record into it, with the import events, ignoring and logging failures.
  // A source of the engine gives its extended definitions; any other its
  // field definitions and the indexes of sourceIndexDefs, where an index
  // without fields is skipped with "Cannot import index '%s'. Index type is
  // not supported, index skipped" in log and the first unnamed one is named
  // "idxPrimaryKey". True when log is unchanged. A table of the name is
  // replaced. Into a disk database the import runs as CopyTable's does,
  // all or nothing: one that could not copy a record or value, failed or
  // was stopped leaves the table of the name as it was, or none, with the
  // reason in log.
  bool ImportTable(qv::DataSet& source, std::string& log, const qv::IndexDefs* sourceIndexDefs = nullptr);

  // ---- events of the long operations (the user's, else the wait window)
  TableNotifyEvent BeforeCopy, AfterCopy, BeforeImport, AfterImport, BeforeRestructure, AfterRestructure;
  ProgressEvent OnCopyProgress, OnImportProgress, OnRestructureProgress;

  // ---- overridden dataset operations
  void DataEvent(qv::TDataEvent event, intptr_t info) override;
  void DefChanged(void* sender) override;
  qv::DataSource* GetDataSource() override;
  void InitFieldDefs() override;
  void UpdateIndexDefs() override;

protected:
  std::unique_ptr<TVLMLocalCursor> CreateHandle() override;
  void PrepareCursor() override;
  void DoOnNewRecord() override;

  // The progress-event triple of op: the user's events when assigned, else
  // (unless the database is silent or the table temporary) the wait window
  // with the operation's caption. Progress answers whether to go on.
  void DoBeforeOperation(LongOperation op);
  bool DoOperationProgress(LongOperation op, int32_t percent);
  void DoAfterOperation(LongOperation op);

private:
  // Opens a cursor on the table. A disk table that is not listed (30396)
  // while a restructure of it stands unfinished raises 20613 instead
  // (RaiseUnfinishedRestructure).
  std::unique_ptr<TVLMLocalCursor> CreateCursor();
  // Raises 20613 when session's file holds the step tables of a restructure
  // of table name ("OLD_<name>_{GUID}", "NEW_<name>_{GUID}"), naming the
  // step and the table that holds the rows; returns otherwise
  // (VLMMainRestructure.cpp).
  static void RaiseUnfinishedRestructure(TVLMLocalSession& session, const std::string& name);
  // "Missing TableName property" for a blank name.
  void CheckTableName() const;
  void SetIndex(std::string_view value, bool fieldsIndex);
  std::string GetIndexName(std::string_view names, bool fieldsIndex);
  // The index definitions from cursor (refreshed from its table).
  void ReadIndexDefs(TVLMLocalCursor& cursor);
  // Field definitions and the extended ones from cursor's.
  void ReadFieldDefs(TVLMLocalCursor& cursor);
  void AddMissingFieldDefs();
  // The master range.
  void CheckMasterRange();
  void SetLinkRanges(const std::vector<qv::Field*>& masterFields);
  bool ApplyRange();
  qv::Field* GetIndexField(int32_t index);
  void MasterChanged();
  void MasterDisabled();
  // move runs under the range lock (a type-1 table lock) when it is had.
  void UnderRangeLock(const std::function<void()>& move);
  // Runs operation on a cursor of its own under flag 3 (the structural
  // operations).
  template <class Fn>
  void WithTableCursor(Fn operation);
  // "Cannot perform '%s' operation on a database in transaction".
  void RefuseInTransaction(const char* operation, int32_t code) const;
  // "Dataset is in read only mode" when the attached database is read-only.
  void RefuseReadOnly(int32_t code) const;
  // What the table needs of its database component.
  TVLMLocalSession* EngineSession() const;
  bool DatabaseInTransaction() const;
  bool DatabaseReadOnly() const;
  bool DatabaseMadeBySession() const;
  bool DatabaseDisableTempFiles() const;
  bool DatabaseSilent() const;
  bool TableExistsInDatabase();

  std::string TableName_;
  bool Temporary_ = false;
  std::string IndexName_;
  bool FieldsIndex_ = false;
  bool RepairMode_ = false;
  std::unique_ptr<qv::MasterDataLink> MasterLink_;
  std::unique_ptr<WaitController> WaitForm_;
};

class TVLMAutoincTable;

// What LASTAUTOINC opens: the table tableName of the database databaseName
// in the session sessionName ("MEMORY" when inMemory), as a table component.
std::unique_ptr<TVLMAutoincTable> VLMOpenAutoincTable(const std::string& sessionName, const std::string& databaseName,
                                                      const std::string& tableName, bool inMemory);
