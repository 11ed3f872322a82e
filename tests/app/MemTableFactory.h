// Database/table pairs over in-memory tables: the first of the two table
// kinds every parameterised window test runs on (TestTables.h), the engine's
// components being the other. A database "file" is a name: its tables
// live in the factory for as long as the factory does, so a log that is
// switched away from and back keeps its records within one run. Whether a
// database exists is still asked of the file system, so the program's
// checks for missing files behave as with real database files.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "app/TableFactory.h"

namespace qv {
class MemTable;
}

namespace qv::app {

class MemTableFactory : public TableFactory {
public:
  MemTableFactory();
  ~MemTableFactory() override;

  std::unique_ptr<DatabaseTable> Create(const TableSpec& spec, const std::string& fileName,
                                        bool readOnly) override;

  // The table of spec stored under fileName, created empty on first use
  // (tests fill the state and member tables through this).
  MemTable& TableFor(const TableSpec& spec, const std::string& fileName);

private:
  std::map<std::string, std::unique_ptr<MemTable>> Tables_;  // key: file + "|" + table
};

}  // namespace qv::app
