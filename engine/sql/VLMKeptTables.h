// The table components a statement works through, and the tables a query
// keeps open between its runs.
//
//   CreateTableComponent   the table component of one statement: lent open
//                          by the current kept tables when they hold it,
//                          else made closed
//   TVLMTableComponents    a statement's table and private database, freed
//                          in that order
//   TVLMKeptTables         the open tables a statement processor keeps
//                          between statements and runs (a query hands them
//                          on from one text's processor to the next)
//   TVLMKeptTablesScope    makes a set of kept tables the current one of
//                          this thread for a processor run
//   VLMSetReleaseIdle      what closes a kept table when a cursor of this
//                          process wants the table alone
//
// A kept table saves a statement the open of its table from the file. It is
// kept only where nothing outside this process can change the table while
// it waits: on a file this process has alone (a database component that is
// not MultiUser). A table of a shared file is closed when the statement
// gives it back, so that every statement opens it anew under its own locks
// (reading the definitions, indexes and counters another process
// committed) and a closed query holds no open lock another process's DDL
// would wait for. Inside the process, the table data is shared by every
// cursor, so the rows other query objects change are seen; a cursor of this
// process that wants the table alone (DDL, an exclusive open) first closes
// the idle kept tables (their cursors' ReleaseIdle).
//
// Life of a kept table:
//
//   made (CreateTableComponent, nothing kept) --Open--> lent
//   lent --Give, as lent, file alone--> kept
//   lent --Give, anything else (changed, shared file)--> closed
//   kept --Take (same session, database, name, memory flag)--> lent
//   kept --ReleaseIdle (this process wants the table alone), Clear,
//          the set's end--> closed
//
// "As lent": open, browsing, in its natural order, without filter, range or
// index, not temporary, not read-only (the read-only mark and the
// projection of a result read straight from the table are undone).
//
// Invariants:
//   1. A kept table is as lent, also when it is taken again: what changes
//      a table (a filter, a range, an edit, a close) happens only while it
//      is lent.
//   2. A kept table's cursor has its ReleaseIdle set (so this process's DDL
//      can close it); a lent one has none.
//   3. A table is kept at most once: Give never meets a table already in
//      the set.
//   4. A set that holds tables is used by one thread: the one whose run
//      gave them (ReleaseIdle runs only there, and a statement of another
//      thread is never torn down under it).
// Besides, by construction: a kept table comes back only to a borrower of
// its session, database, name and memory flag, and only a table of a file
// this process has alone is kept.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TVLMDataSet;
class TVLMDatabase;
class TVLMLocalCursor;
class TVLMTable;

// The table component a statement works through (lent open by the current
// kept tables when they hold it, else made closed): SessionName the owner's,
// DatabaseName the owner's (or, for a table of another file, that of a new
// private database component named "TEMP_DB" plus a GUID, with the file,
// password, MultiUser, DisableTempFiles and ReadOnly of the owner's
// database component, silent; a name of the owner's own file is no other
// file, VLMIsOwnDatabaseFile), InMemory when asked or when the owner works in memory.
// The table belongs to the statement alone (it has no owner component) and
// finds the database components the owner finds (SetDatabaseOwner). The
// database component is made only for a table of another file; database is
// nullptr otherwise. Both are closed. keepProjection: a lent table may come
// with a projection (Take).
void CreateTableComponent(TVLMDataSet* owner, const std::string& databaseFileName, const std::string& tableName,
                          const std::string& password, bool inMemory, std::unique_ptr<TVLMDatabase>& database,
                          std::unique_ptr<TVLMTable>& table, bool keepProjection = false);
// True when databaseFileName, named by a statement of owner, is the file of
// owner's own database component (one existing file, however it is spelt):
// the statement reaches it through that component, as without the name.
bool VLMIsOwnDatabaseFile(TVLMDataSet* owner, const std::string& databaseFileName);
// Frees the table, then the database (either may be empty).
void FreeTableComponents(std::unique_ptr<TVLMTable>& table, std::unique_ptr<TVLMDatabase>& database);

// Both components of one statement, freed in that order on every path.
struct TVLMTableComponents {
  TVLMTableComponents() = default;
  ~TVLMTableComponents();
  TVLMTableComponents(const TVLMTableComponents&) = delete;
  TVLMTableComponents& operator=(const TVLMTableComponents&) = delete;

  std::unique_ptr<TVLMDatabase> Database;
  std::unique_ptr<TVLMTable> Table;
};

class TVLMKeptTables {
public:
  TVLMKeptTables() = default;
  // Closes every kept table.
  ~TVLMKeptTables();
  TVLMKeptTables(const TVLMKeptTables&) = delete;
  TVLMKeptTables& operator=(const TVLMKeptTables&) = delete;

  // The kept table of that session, database and name (and memory flag);
  // nullptr when none is kept. A table that a query read straight comes
  // back with that query's projection when keepProjection (the borrower
  // sets its own or clears it), else showing all its columns.
  std::unique_ptr<TVLMTable> Take(const std::string& sessionName, const std::string& databaseName,
                                  const std::string& tableName, bool inMemory, bool keepProjection = false);
  // Keeps table for the next borrower when it is as lent (a straight
  // read's projection aside) and its file is this process's alone, else
  // closes and frees it; never raises.
  void Give(std::unique_ptr<TVLMTable> table);
  void Clear();
  int32_t Count() const { return static_cast<int32_t>(Tables_.size()); }

private:
  // Closes and frees the kept table (called by its cursor's ReleaseIdle).
  void Release(TVLMTable* table);
  static void CloseKept(std::unique_ptr<TVLMTable> table);
  // Invariant 4: the calling thread is the set's own (any thread while it
  // is empty).
  void CheckThread();

  std::vector<std::unique_ptr<TVLMTable>> Tables_;
  std::thread::id Thread_;
};

// The cursor's file is shared with other processes (its database component
// is MultiUser): nothing of its table is kept between statements.
bool VLMSharedFile(const TVLMLocalCursor& cursor);

// Sets (an empty release: clears) what closes cursor's table while a
// statement keeps it idle, under the database lock of the table, which a
// cursor that wants the table alone holds while it runs the releases. A
// release runs only on the thread that set it: a statement of another
// thread is not torn down under it (its table stays open then, as any
// open table does).
void VLMSetReleaseIdle(TVLMLocalCursor& cursor, std::function<void()> release);

// The kept tables of the processor run under way on this thread (nullptr
// outside one): CreateTableComponent borrows from it, the table leaf and
// INSERT give back to it.
TVLMKeptTables* VLMCurrentKeptTables();

// Makes tables the current kept tables for its lifetime.
class TVLMKeptTablesScope {
public:
  explicit TVLMKeptTablesScope(TVLMKeptTables* tables);
  ~TVLMKeptTablesScope();
  TVLMKeptTablesScope(const TVLMKeptTablesScope&) = delete;
  TVLMKeptTablesScope& operator=(const TVLMKeptTablesScope&) = delete;

private:
  TVLMKeptTables* Saved_;
};
