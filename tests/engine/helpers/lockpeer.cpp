// Helper program of the table lock tests: a second process that connects a
// multi-user session to a database and takes locks on the commands it reads,
// one per line, answering each with one line ("1" yes, "0" no).
//
//   engine_lockpeer PATH           prints "session N" once connected
//   lock TABLE TYPE TRIES          LockTable (flag set, 1 ms apart)
//   unlock TABLE TYPE              UnlockTable
//   record TABLE PAGE ROW          LockRecord (one try)
//   quit                           ends at once, no lock released
//
// TABLE is the first page of the table's lock file; other commands answer
// "0". Exit 2 on an error.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "engine/storage/VLMDiskEngineLocks.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
    return 2;
  }
  try {
    VLMRetrySettings().WholeFileLockTries = 50;
    VLMRetrySettings().WholeFileLockDelayMs = 1;
    TVLMDiskPageManager pm;
    bool multiUser = true, needsRepair = false, readOnly = false;
    pm.OpenDatabase(argv[1], {}, multiUser, false, needsRepair, readOnly);
    TVLMSystemDirectory directory(&pm);
    directory.Load();
    TVLMActiveSessionsFile sessions(&pm);
    sessions.OpenFile(directory.Find(TVLMDirectoryKind::ActiveSessions));
    const int32_t session = sessions.Connect();
    TVLMDatabaseTableLockManager locks(&pm, sessions.MaxSessions);
    std::cout << "session " << session << std::endl;
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
      bool answer = false;
      if (command == "lock") answer = locks.LockTable(session, type, true, false, 1, b, file);
      if (command == "unlock") answer = locks.UnlockTable(session, type, false, false, file);
      if (command == "record")
        answer = locks.LockRecord(session, file, 1, 1, {static_cast<uint32_t>(a), static_cast<uint16_t>(b)});
      std::cout << (answer ? "1" : "0") << std::endl;
    }
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
