// Helper program of the storage crash test: opens a database prepared by the
// test, arms the file layer's fault hook so that the process ends with
// _exit(99) before its k-th write or truncate, and runs an insert-like
// transaction: two new record pages, a changed record page, and the table's
// metadata file grown over three more pages, then one commit.
//
//   engine_crashcommit PATH K     exits 0 when the transaction completed
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"

namespace {

void Fill(TVLMPage* page, uint8_t seed) {
  for (int32_t i = 0; i < page->DataSize(); ++i) page->Data()[i] = static_cast<uint8_t>(seed + i * 7);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH K\n", argv[0]);
    return 2;
  }
  const int64_t k = std::strtoll(argv[2], nullptr, 10);
  try {
    TVLMDiskPageManager pm;
    TVLMPasswordRecord password;
    bool multiUser = false, needsRepair = false, readOnly = false;
    pm.OpenDatabase(argv[1], password, multiUser, false, needsRepair, readOnly);
    TVLMSystemDirectory directory(&pm);
    directory.Load();
    TVLMTableListFile tables(&pm);
    tables.OpenFile(directory.Find(kVLMDirectoryTableList));
    tables.Load();
    uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
    tables.GetTable("LOG", id, locks, mostUpdated, metaData);
    TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
    meta.OpenFile(static_cast<int32_t>(metaData));
    std::vector<uint8_t> old = meta.ReadAll(0, true);
    const int32_t record = static_cast<int32_t>(VLMGetU32LE(old.data()));

    if (k > 0) qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
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
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
