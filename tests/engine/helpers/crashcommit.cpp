// Helper program of the storage crash sweep: opens a database prepared by the
// test, arms the file layer's fault hook at its k-th file-changing operation
// and runs an insert-like transaction: two new record pages, a changed record
// page, and the table's metadata file grown over three more pages, then one
// commit.
//
//   engine_crashcommit PATH MODE K [SEED [alone]]
//
// MODE exit: the process ends with _exit(99) before the k-th operation.
// MODE powercut: the k-th operation happens, then the unflushed writes are
//   partly lost (SEED chooses how) and the process ends with 99. anyorder:
//   the same, but the writes kept are any subset (a disk that reorders).
// MODE failfrom: the k-th and every later operation fails (a full disk).
//   When the transaction fails, the disk gets room again, the transaction is
//   rolled back and a second one writes pattern 5 into the changed record
//   page and commits: exit 3 when the database refuses it because the first
//   commit failed (10600), 5 when it committed.
//
// alone: the page manager holds the single-user lock (it writes the file
// alone, as a single-user connection does); else it writes as a handle that
// may share the file.
//
// Exit 0: the transaction completed. 2: any other error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineFiles.h"

namespace {

void Fill(TVLMPage* page, uint8_t seed) {
  for (int32_t i = 0; i < page->DataSize(); ++i) page->Data()[i] = static_cast<uint8_t>(seed + i * 7);
}

void Transaction(TVLMDiskPageManager& pm, TVLMInternalDBTransactedAccessFile& meta, int32_t record) {
  int32_t added[2];
  for (int32_t& no : added) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    Fill(page.Get(), 2);
    no = page->PageNo;
  }
  {
    TVLMHeldPage page(&pm, pm.GetPage(0, record, true, kVLMPageTableRecord));
    Fill(page.Get(), 2);
    page->Modified = true;
  }
  std::vector<uint8_t> content(static_cast<size_t>(3 * pm.PageDataSize));
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(2 * 31 + i * 3);
  VLMPutU32LE(content.data(), static_cast<uint32_t>(record));
  VLMPutU32LE(content.data() + 4, static_cast<uint32_t>(added[0]));
  VLMPutU32LE(content.data() + 8, static_cast<uint32_t>(added[1]));
  meta.WriteFile(0, content.data(), 0, 0, static_cast<uint32_t>(content.size()));
  pm.Commit(0);
}

// After a failed transaction: rollback, then one more change of the record
// page.
int SecondTransaction(TVLMDiskPageManager& pm, int32_t record) {
  qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);
  pm.RollbackSession(0);
  try {
    {
      TVLMHeldPage page(&pm, pm.GetPage(0, record, true, kVLMPageTableRecord));
      Fill(page.Get(), 5);
      page->Modified = true;
    }
    pm.Commit(0);
  } catch (const EVLMException& e) {
    if (e.NativeError != 10600) throw;
    return 3;
  }
  return 5;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr, "usage: %s PATH exit|powercut|anyorder|failfrom K [SEED [alone]]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[2];
  const int64_t k = std::strtoll(argv[3], nullptr, 10);
  const uint64_t seed = argc >= 5 ? std::strtoull(argv[4], nullptr, 10) : 0;
  const bool alone = argc == 6 && std::string(argv[5]) == "alone";
  try {
    TVLMDiskPageManager pm;
    TVLMPasswordRecord password;
    bool multiUser = false, needsRepair = false, readOnly = false;
    pm.OpenDatabase(argv[1], password, multiUser, false, needsRepair, readOnly);
    if (needsRepair) return 2;
    pm.SetSoleWriterLock(alone);
    TVLMSystemDirectory directory(&pm);
    directory.Load();
    TVLMTableListFile tables(&pm);
    tables.OpenFile(directory.Find(TVLMDirectoryKind::TableList));
    tables.Load();
    uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
    tables.GetTable("LOG", id, locks, mostUpdated, metaData);
    TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
    meta.OpenFile(static_cast<int32_t>(metaData));
    std::vector<uint8_t> old = meta.ReadAll(0, true);
    const int32_t record = static_cast<int32_t>(VLMGetU32LE(old.data()));

    if (mode == "exit") qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
    else if (mode == "powercut") qv::SetFileFaultAfter(k, qv::FileFault::PowerCut, 99, seed);
    else if (mode == "anyorder") qv::SetFileFaultAfter(k, qv::FileFault::PowerCutAnyOrder, 99, seed);
    else if (mode == "failfrom") qv::SetFileFaultAfter(k, qv::FileFault::FailFrom);
    else return 2;
    try {
      Transaction(pm, meta, record);
    } catch (const EVLMException&) {
      if (mode != "failfrom") throw;
      return SecondTransaction(pm, record);
    }
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
