// Helper program of the lock and database tests: a second process that
// connects a session to a database through the disk database data and takes
// locks on the commands it reads, one per line, answering each with one line
// ("1" yes, "0" no).
//
//   engine_lockpeer PATH [single]   prints "session N" once connected (multi-
//                                   user unless "single"), with " readonly"
//                                   when the database is read-only for it;
//                                   "error CODE" and exit 3 when the
//                                   connection fails
//   lock TABLE TYPE TRIES           LockTable (flag set, 1 ms apart)
//   unlock TABLE TYPE               UnlockTable
//   record TABLE PAGE ROW           LockRecord (one try)
//   quit                            ends at once, no lock released
//
// TABLE is the first page of the table's lock file; other commands answer
// "0". Exit 2 on an error.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>

#include "tests/engine/storage/DiskTestSupport.h"

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 3 && std::strcmp(argv[2], "single") == 0)) {
    std::fprintf(stderr, "usage: %s PATH [single]\n", argv[0]);
    return 2;
  }
  try {
    VLMChangeRetrySettings().WholeFileLockTries = 50;
    VLMChangeRetrySettings().WholeFileLockDelayMs = 1;
    auto database = disk_test::NewDiskDatabase(argv[1]);
    disk_test::DiskSession session(database.get(), argc == 2);
    try {
      session.Connect();
    } catch (const EVLMException& e) {
      std::cout << "error " << e.NativeError << std::endl;
      _exit(3);
    }
    std::lock_guard guard(database->CriticalSection());
    TVLMDiskPageManager& pm = *database->DiskPageManager();
    TVLMDatabaseTableLockManager& locks = *database->TableLockManager();
    std::cout << "session " << session.SessionID << (database->ReadOnly ? " readonly" : "") << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream in(line);
      std::string command;
      int32_t table = 0, a = 0, b = 0;
      in >> command >> table >> a >> b;
      if (command == "quit") _exit(0);
      TVLMTableLocksFile file(&pm);
      file.OpenFile(table);
      const auto type = static_cast<uint8_t>(a);
      const int32_t id = session.SessionID;
      bool answer = false;
      if (command == "lock") answer = locks.LockTable(id, type, true, false, 1, b, file);
      if (command == "unlock") answer = locks.UnlockTable(id, type, false, false, file);
      if (command == "record")
        answer = locks.LockRecord(id, file, 1, 1, {static_cast<uint32_t>(a), static_cast<uint16_t>(b)});
      std::cout << (answer ? "1" : "0") << std::endl;
    }
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
