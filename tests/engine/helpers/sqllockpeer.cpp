// Helper program of the SQL tests: a second process that opens a table of a
// multi-user database through a database and a table component and holds a
// table lock on it: by default a commit lock (type 4), which keeps every
// query's read lock out; with TYPE 3 a changed-table lock, which lets
// queries read but keeps every other session's writes out.
//
//   engine_sqllockpeer PATH TABLE[:TYPE]
//                                   prints "locked" once the lock is held
//   unlock                          releases it: "1" or "0"
//   lock                            takes it again with one try: "1" when
//                                   no other session holds a read lock
//   edit                            edits the first record and keeps it in
//                                   edit (its record lock held): "1"
//   bump FIELD                      adds 1 to FIELD of the first record and
//                                   posts it: "1"
//   locktables                      holds the lock of the database's table
//                                   list: "1"
//   quit                            ends at once
//
// Exit 2 when the table cannot be opened or locked at the start.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineLocks.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/dataset/Fields.h"
#include "platform/host/Exception.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH TABLE[:TYPE]\n", argv[0]);
    return 2;
  }
  std::string tableName = argv[2];
  uint8_t type = kVLMLockTableCommit;
  if (const size_t colon = tableName.find(':'); colon != std::string::npos) {
    type = static_cast<uint8_t>(std::atoi(tableName.c_str() + colon + 1));
    tableName.resize(colon);
  }
  VLMChangeRetrySettings().WholeFileLockDelayMs = 1;
  TVLMComponentRuntime::Start();
  int status = 0;
  try {
    TVLMDatabase database;
    database.SetDatabaseName("PEER");
    database.SetDatabaseFileName(argv[1]);
    database.MultiUser = true;
    database.SilentMode = true;
    TVLMTable table;
    table.SetDatabaseName("PEER");
    table.SetTableName(tableName);
    table.Open();
    TVLMLocalCursor& cursor = *table.Handle();
    if (!cursor.LockTable(type, 50, 1, true)) throw qv::Exception("not locked");
    std::cout << "locked" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
      if (line == "quit") break;
      bool answer = false;
      if (line == "unlock") answer = cursor.UnlockTable(type, false);
      if (line == "lock") answer = cursor.LockTable(type, 1, 1, true);
      if (line == "edit") {
        table.First();
        table.Edit();
        answer = true;
      }
      if (line.rfind("bump ", 0) == 0) {
        table.First();
        table.Edit();
        qv::Field& field = *table.FieldByName(line.substr(5));
        field.SetAsInteger(field.AsInteger() + 1);
        table.Post();
        answer = true;
      }
      if (line == "locktables") {
        auto* disk = dynamic_cast<TVLMDiskTableData*>(cursor.TableData);
        if (disk != nullptr) disk->DiskDatabase()->LockDatabaseTables();
        answer = disk != nullptr;
      }
      std::cout << (answer ? "1" : "0") << std::endl;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 2;
  }
  TVLMComponentRuntime::Shutdown();
  return status;
}
