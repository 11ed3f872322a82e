// What a statement meets from the locks and the table layer: the statement
// lock of an operator tree, and the one code per kind of lock conflict, or
// per record-level refusal, that the caller hears about.
//
// Lock conflicts. Whatever layer met it (the storage engine's table and
// database locks, the statement lock, the cursor's result codes -12 and
// -13), a lock another session held longer than the retries waited reaches
// the caller as one code per kind of lock, naming the table:
//   20850 the table cannot be read (a read, open or statement lock)
//   20851 the table cannot be changed (a write or commit lock)
//   20852 a record of the table is locked
//   20853 the database is locked (its header or its table list)
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <exception>
#include <string>

class EVLMEngineError;
class TVLMTable;
class TVLMAO;

// The statement lock of an operator tree for the guard's lifetime: the
// constructor opens every table of root (20225 "Table is locked" when one
// cannot be opened) and read-locks them all, retried as a whole within the
// statement-lock tries of VLMRetrySettings (no table stays locked while
// another process is waited for: 20226 "Cannot unlock table" when a release
// between tries fails; 20850 when the tries run out). Release gives the
// locks back after a successful open (20227 "Cannot unlock table" when that
// fails); on any other path the destructor gives them back and never raises,
// so the failure that left the scope is the one the caller hears about.
class TVLMStatementLock {
public:
  explicit TVLMStatementLock(TVLMAO& root);
  ~TVLMStatementLock();
  TVLMStatementLock(const TVLMStatementLock&) = delete;
  TVLMStatementLock& operator=(const TVLMStatementLock&) = delete;

  void Release();

private:
  TVLMAO& Root_;
  bool Held_ = true;
};

// The code of the kind of lock conflict e reports (20850-20853 above); 0 when
// e is no lock conflict.
int32_t VLMLockConflictCode(const std::exception& e);
// Raises the lock conflict of kind code on the table (or, for an empty
// tableName, on the database file databaseName).
[[noreturn]] void VLMRaiseLockConflict(int32_t code, const std::string& tableName,
                                       const std::string& databaseName = std::string());

// A record-level refusal of a table component (EVLMEngineError) as an
// engine error: -8, which carries the text of an engine error, as that
// error (its code and text); any other code (a lock conflict aside) as
// 20846 with its text and the table.
[[noreturn]] void VLMRaiseRecordRefusal(const EVLMEngineError& e, const std::string& tableName);
// A statement that changes the rows of tableName met e: a lock conflict
// (VLMLockConflictCode) or a record-level refusal is raised as above;
// anything else returns, for the caller to pass it on.
void VLMTranslateWriteRefusal(const std::exception& e, const std::string& tableName);
// A statement that changes the rows of table (open) is refused before it
// reads a row when the table is read-only (a database opened read-only, or
// let in read-only beside another connection that holds the file), with
// code: the table component's own refusal of that change (10032 a post,
// 10069 a delete), whatever rows the statement would have matched.
void VLMRefuseReadOnlyTarget(const TVLMTable& table, int32_t code);
