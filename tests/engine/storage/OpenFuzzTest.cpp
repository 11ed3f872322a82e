// Opening damaged files: bit flips in a valid database (plain and encrypted)
// and random files, opened and walked the way the database data opens a
// file. Every failure must be an engine exception, never a crash, a hang or
// another exception type.
#include <gtest/gtest.h>

#include <random>

#include "engine/core/VLMCompression.h"
#include "platform/host/StringList.h"
#include "engine/storage/StorageTestSupport.h"

namespace {

using namespace storage_test;

void BuildBase(const std::string& path, const std::string& password) {
  TVLMPasswordRecord record;
  record.Password = password;
  record.CipherId = 5;
  CreateStandardDatabase(path, 512, 8, record, 40);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path, password);
  TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
  const int32_t metaPage = meta.CreateFile(0);
  std::string text;
  while (text.size() < 3000) text += "CALL FREQ MODE RST NAME STATE ";
  meta.WriteFile(0, text.data(), 1, VLMCompressionZlib, static_cast<uint32_t>(text.size()));
  TVLMInternalDBTransactedAccessFile plain(&pm, kVLMPageTableMostUpdated);
  const int32_t plainPage = plain.CreateFile(0);
  std::vector<uint8_t> bytes(1500, 7);
  plain.WriteFile(0, bytes.data(), 0, 0, static_cast<uint32_t>(bytes.size()));
  TVLMTableListFile tables(&pm);
  tables.OpenFile(4);
  tables.Load();
  tables.AddTable(1, "LOG", 0, static_cast<uint32_t>(plainPage), static_cast<uint32_t>(metaPage));
  tables.Save();
  pm.Commit(0);
  pm.Commit(kVLMSystemSessionID);
}

// Everything an open does, then some reading and writing. Engine errors
// are expected; anything else fails the test.
void Exercise(const std::string& path, const std::string& password, const std::string& what) {
  try {
    TVLMDiskPageManager pm;
    OpenResult open = OpenDatabase(pm, path, password);
    TVLMSystemDirectory directory(&pm);
    directory.Load();
    TVLMInternalDBDirectAccessFile sessions(&pm, kVLMPageActiveSessionList);
    try {
      sessions.OpenFile(directory.Find(kVLMDirectoryActiveSessions));
      uint8_t bytes[8];
      sessions.DirectReadBuffer(bytes, 8, 0);
      sessions.IsRegionLocked(0, 40);
    } catch (const EVLMException&) {
    }
    TVLMTableListFile tables(&pm);
    tables.OpenFile(directory.Find(kVLMDirectoryTableList));
    qv::StringList names;
    tables.GetTableNames(names);
    for (const TVLMTableListEntry& entry : tables.Entries) {
      for (uint32_t page : {entry.MetaDataPage, entry.MostUpdatedPage}) {
        try {
          TVLMInternalDBTransactedAccessFile file(&pm, page == entry.MetaDataPage ? kVLMPageTableMetaData
                                                                                   : kVLMPageTableMostUpdated);
          file.OpenFile(static_cast<int32_t>(page));
          file.ReadAll(0, true);
        } catch (const EVLMException&) {
        }
      }
    }
    const int32_t count = std::min(pm.GetPageCount(), 40);
    for (int32_t p = 0; p < count; ++p) {
      try {
        TVLMHeldPage page(&pm, pm.GetPage(0, p, true, kVLMAnyPageType));
      } catch (const EVLMException&) {
      }
    }
    if (!open.NeedsRepair) {
      pm.GetNextObjectID();
      for (int i = 0; i < 3; ++i) TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      pm.Commit(0);
    }
  } catch (const EVLMException&) {
  } catch (const std::exception& e) {
    ADD_FAILURE() << what << ": " << e.what();
  }
}

TEST(OpenFuzz, DamagedFilesRaiseOnlyEngineErrors) {
  FastRetries fast(1);
  ScratchFolder dir;
  std::mt19937 random(2024);
  for (const std::string password : {"", "fuzz"}) {
    std::string base = dir.File("base" + password);
    BuildBase(base, password);
    const std::vector<uint8_t> original = ReadBytes(base);
    std::string path = dir.File("case.vlm");
    for (int iteration = 0; iteration < 250; ++iteration) {
      std::vector<uint8_t> bytes = original;
      const int flips = 1 + static_cast<int>(random() % 6);
      for (int f = 0; f < flips; ++f) {
        // Mostly the header and the first pages, where the structure is.
        size_t limit = random() % 3 == 0 ? bytes.size() : std::min<size_t>(bytes.size(), 380 + 6 * 512);
        size_t at = random() % limit;
        bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8));
      }
      if (iteration % 25 == 0) bytes.resize(random() % bytes.size());
      WriteBytes(path, bytes);
      Exercise(path, password, "flip iteration " + std::to_string(iteration));
      if (HasFailure()) return;
    }
  }
  std::string path = dir.File("random.vlm");
  for (int iteration = 0; iteration < 150; ++iteration) {
    std::vector<uint8_t> bytes(random() % 4000);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    if (iteration % 3 == 0 && bytes.size() >= 76) {
      std::memcpy(bytes.data(), kVLMSignature, kVLMSignatureSize);
      bytes[16] = 76;
      bytes[17] = 0;
    }
    WriteBytes(path, bytes);
    Exercise(path, "", "random iteration " + std::to_string(iteration));
    if (HasFailure()) return;
  }
}

}  // namespace
