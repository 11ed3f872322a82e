// Helper program of the disk table crash sweep: opens a database prepared by
// the test (table Log of DiskTestSupport.h), arms the file layer's fault hook
// in its Exit mode and runs one table operation with its commit.
//
//   engine_tablecrash PATH OP K [CALL]
//
// OP insert: one Log record with Call CALL; blob: one Log record "BLOB" with
// a 3000-byte value (a chain of pages); create: CREATE TABLE Second (A
// INTEGER, B VARCHAR(30), index on B).
// K >= 1: the process ends with _exit(99) before the K-th file-changing
// operation. K = 0: no fault; the number of file-changing operations the
// operation made is written to PATH.count.
//
// Exit 0: the operation completed. 2: any error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/os/File.h"
#include "tests/engine/storage/DiskTestSupport.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s PATH insert|blob|create K [CALL]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1], op = argv[2];
  const int64_t k = std::strtoll(argv[3], nullptr, 10);
  try {
    auto database = disk_test::NewDiskDatabase(path);
    disk_test::DiskSession session(database.get());
    session.Connect();
    disk_test::DiskCursor log(*database, session, "Log");
    disk_test::DiskCursor second(*database, session, "Second");
    if (op != "create") log.Open();
    const int64_t before = qv::FileWriteCount();
    if (k > 0) qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
    if (op == "insert") {
      if (!disk_test::InsertLog(log, argc == 5 ? argv[4] : "NEW")) return 2;
    } else if (op == "blob") {
      if (!disk_test::InsertLog(log, "BLOB", std::vector<uint8_t>(3000, 0x5A))) return 2;
    } else if (op == "create") {
      second.Create({{"A", dtInteger}, {"B", dtString, 30}}, {{"ByB", "B"}});
    } else {
      return 2;
    }
    if (k == 0) std::ofstream(path + ".count") << qv::FileWriteCount() - before;
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
