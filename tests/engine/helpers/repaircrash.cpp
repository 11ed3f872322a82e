// Helper program of the repair crash sweep: opens the log of a database the
// test prepared (table QsoLog of LogFileSupport.h) through a database and a
// table component, arms the file layer's fault hook in its Exit mode and
// makes one commit.
//
//   engine_repaircrash PATH OP K
//
// OP append: one QsoLog row, Call "NEW" with a 3000-character note (a BLOB
// chain); create: a table Second with one field and one index; any other:
// the whole-table operation logfile_test::RunWholeTableOperation names, in
// batches of logfile_test::kCopyBatch bytes (exit 2 when it fails).
// K >= 1: the process ends with _exit(99) before the K-th file-changing
// operation. K = 0: no fault; the number of file-changing operations the
// commit made is written to PATH.count.
//
// Exit 0: the commit completed. 2: any error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "engine/components/VLMMain.h"
#include "platform/host/Exception.h"
#include "platform/os/File.h"
#include "tests/engine/components/LogFileSupport.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PATH OP K\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1], op = argv[2];
  const int64_t k = std::strtoll(argv[3], nullptr, 10);
  struct Runtime {
    Runtime() { TVLMComponentRuntime::Start(); }
    ~Runtime() { TVLMComponentRuntime::Shutdown(); }
  } runtime;
  try {
    auto database = logfile_test::Database(path);
    auto table = logfile_test::Table("Log");
    auto second = logfile_test::Table("Log", "Second");
    if (op == "append") {
      table->Open();
      table->Append();
      table->FieldByName("Call")->SetAsString("NEW");
      table->FieldByName("Notes")->SetAsString(std::string(3000, 'n'));
    } else if (op == "create") {
      second->GetFieldDefs().Add("A", qv::ftString, 20);
      second->GetIndexDefs().Add("ByA", "A", 0);
    } else {
      VLMChangeRetrySettings().CopyBatchBytes = logfile_test::kCopyBatch;
      // A repair's scratch copy, which a stop leaves behind, goes into the
      // test's folder.
      setenv("TMPDIR", qv::FolderOf(path).c_str(), 1);
    }
    const int64_t before = qv::FileWriteCount();
    if (k > 0) qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
    std::string log;
    if (op == "append")
      table->Post();
    else if (op == "create")
      second->CreateTable();
    else if (!logfile_test::RunWholeTableOperation(op, *database, log))
      throw qv::Exception(log);
    if (k == 0) std::ofstream(path + ".count") << qv::FileWriteCount() - before;
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
