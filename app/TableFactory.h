// Where the main window gets its three database/table pairs from: the log,
// the state and country table and the member list. The window sees each pair
// as one DatabaseTable (database component + table component) and never the
// storage behind it: the program runs on the engine's components, the tests
// also on in-memory tables, with the same window code.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/LogFiles.h"

namespace qv::app {

struct FileChanges;
struct TableSpec;

// What a connect of a database found about its file's need of repair.
enum class RepairNotice : uint8_t {
  None,
  // The file needed repair and the repair was asked for (made, or failed
  // and the connect with it): what it holds may differ from what was last
  // written to it.
  Repaired,
  // The file needed repair and the repair was declined, or refused by the
  // repair itself: it is open as it is, unrepaired.
  Declined,
};

// A database component with the one table component the window opens in it.
class DatabaseTable : public LogTable {
public:
  // The database file exists (nothing is opened).
  virtual bool DatabaseExists() = 0;
  // The table exists in the database (a missing database file: false).
  virtual bool TableExists() = 0;
  virtual const std::string& DatabaseFileName() const = 0;
  // Disconnects first (closing the table); the next connect uses the file.
  virtual void SetDatabaseFileName(const std::string& fileName) = 0;
  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  // Deletes every record; the table is closed before and opened after by
  // the caller.
  virtual void EmptyTable() = 0;
  // What the last commit of the open database changed in its file, for the
  // backup copy; false when that is not known (tables without a file).
  virtual bool LastCommitChanges(FileChanges&) { return false; }
  // Starts the open database's chain of changes at its file as it stands,
  // before the backup is brought up to date with it by a comparison: the
  // next commit's changes are then complete. False when no chain is kept.
  virtual bool StartChangeChain() { return false; }
  // Once after a connect of the database found its file in need of repair,
  // whether the repair was made; None otherwise. The call clears the
  // notice. The question is asked once a session per file: a file whose
  // repair was declined is opened as it is, without asking, by the pair's
  // later connects (Declined again).
  virtual RepairNotice TakeRepairNotice() { return RepairNotice::None; }
  // True once after a connect of the database rolled back a commit cut short
  // (the program stopped inside a write): the file holds what was last
  // committed, though not byte for byte what it held then. The call clears
  // the notice.
  virtual bool TakeRollbackNotice() { return false; }
  // A silent pair asks nothing and shows nothing when it connects: a
  // read-only one opens a file in need of repair as it is (to read what can
  // be read of it).
  virtual void SetSilent(bool) {}
  // Whether the next connect opens the file for reading only (set while
  // closed; a pair made read-only stays so), and whether it does.
  virtual void SetReadOnly(bool) {}
  virtual bool IsReadOnly() const { return false; }
  // The failure of a read-only connect says that the file needs repair
  // (which only a connect for writing can make, after its question).
  virtual bool RefusedForRepair(const std::exception&) const { return false; }
};

class TableFactory {
public:
  virtual ~TableFactory() = default;
  // A closed pair for the table spec in the database file fileName.
  virtual std::unique_ptr<DatabaseTable> Create(const TableSpec& spec, const std::string& fileName,
                                                bool readOnly) = 0;
  // The problems of the database file fileName as the engine's whole-file
  // check finds them (every page read once, nothing written; at most one
  // with firstOnly), empty when it is whole; a file that cannot be checked
  // at all gives why as its problem. Storage that has no file: none.
  virtual std::vector<std::string> FileDamage(const std::string& fileName, bool firstOnly) { return {}; }
};

}  // namespace qv::app
