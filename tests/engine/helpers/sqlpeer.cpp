// Helper program of the SQL tests: another connection to a database that
// runs the SQL texts it reads, one per line, through a query component,
// answering each with "ok N" (the rows it changed), its rows ("v|v; v|v",
// NULL for a null, "" for none) or "error CODE". Its lock waits are short (a
// few tries, 1 ms apart), so a lock that another connection keeps shows as
// an error at once.
//
//   engine_sqlpeer PATH [alone]     multi-user, or single-user with alone;
//                                   prints "ready" once connected
//   quit                            ends at once
//   file PATH                       disconnects and works on PATH from
//                                   now on; answers "ok"
//   create                          makes the database file (CreateDatabase):
//                                   "ok" or "error CODE"
//   exit [SQL]                      ends without the runtime's Shutdown
//                                   (std::exit(0)), the database connected
//                                   and, with SQL, that query left open
//   stop K                          the K-th file-changing operation from
//                                   now on ends the process (exit 99)
//                                   before it happens; answers "ok"
//   writes                          the file-changing operations so far
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/os/File.h"

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMMainQuery.h"
#include "engine/storage/VLMDiskEngine.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s PATH [alone]\n", argv[0]);
    return 2;
  }
  TVLMRetrySettings& retry = VLMChangeRetrySettings();
  retry.WholeFileLockDelayMs = 1;
  retry.StatementLockTries = 3;
  retry.StatementLockDelayMs = 1;
  retry.LeafLockDelayMs = 1;
  retry.TableOpenTries = 3;
  retry.TableOpenDelayMs = 1;
  retry.TableOperationTries = 3;
  retry.TableOperationDelayMs = 1;
  retry.TableCommitTries = 3;
  retry.TableCommitDelayMs = 1;
  retry.ModifyLockTries = 3;
  retry.ModifyLockDelayMs = 1;
  TVLMComponentRuntime::Start();
  {
    TVLMDatabase database;
    database.SetDatabaseName("PEER");
    database.SetDatabaseFileName(argv[1]);
    database.MultiUser = argc == 2;
    database.SilentMode = true;
    TVLMQuery query;
    query.SetDatabaseName("PEER");
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
      if (line == "quit") break;
      if (line.rfind("file ", 0) == 0) {
        database.SetDatabaseFileName(line.substr(5));
        std::cout << "ok" << std::endl;
        continue;
      }
      if (line == "create") {
        try {
          database.CreateDatabase();
          std::cout << "ok" << std::endl;
        } catch (const EVLMException& e) {
          std::cout << "error " << e.NativeError << std::endl;
        }
        continue;
      }
      if (line.rfind("exit", 0) == 0) {
        if (line.size() > 5) {
          query.SetSQL(line.substr(5));
          query.Open();
        }
        std::exit(0);
      }
      if (line.rfind("stop ", 0) == 0) {
        qv::SetFileFaultAfter(std::stoll(line.substr(5)), qv::FileFault::Exit, 99);
        std::cout << "ok" << std::endl;
        continue;
      }
      if (line == "writes") {
        std::cout << qv::FileWriteCount() << std::endl;
        continue;
      }
      try {
        query.SetSQL(line);
        if (!query.ExecuteForCursor()) {
          std::cout << "ok " << query.RowsAffected() << std::endl;
          continue;
        }
        query.Open();
        std::string rows;
        for (query.First(); !query.Eof(); query.Next()) {
          std::string row;
          for (int32_t i = 0; i < query.FieldCount(); ++i) {
            qv::Field& field = *query.GetFields()[i];
            row += (i > 0 ? "|" : "") + (field.IsNull() ? std::string("NULL") : field.AsString());
          }
          rows += (rows.empty() ? "" : "; ") + row;
        }
        query.Close();
        std::cout << rows << std::endl;
      } catch (const EVLMException& e) {
        std::cout << "error " << e.NativeError << std::endl;
      } catch (const std::exception&) {
        std::cout << "error -1" << std::endl;
      }
    }
  }
  TVLMComponentRuntime::Shutdown();
  return 0;
}
