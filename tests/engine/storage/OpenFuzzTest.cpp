// Opening damaged files: bit flips in a valid database (plain and encrypted)
// that holds internal files and two page indexes, and random files, opened
// and walked the way the database data opens a file: the directory, the
// table list and definitions, every tree, one allocation and one commit.
// Every failure must be an engine exception, never a crash, a hang, another
// exception type or a file grown far beyond what one allocation needs.
#include <gtest/gtest.h>

#include <random>

#include "engine/core/VLMCompression.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "platform/host/StringList.h"
#include "engine/storage/StorageTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;

// The roots of the base's trees: a record page index and a BLOB page index.
using Trees = std::vector<int32_t>;

Trees BuildBase(const std::string& path, const std::string& password) {
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
  // Trees of a few levels: 300 record pages, 40 BLOB pages.
  TVLMBTreeRecordPageIndex records(&pm);
  records.MaxRecordsPerPage = 20;
  records.CreateTree(0);
  for (int32_t no = 0; no < 300; ++no) records.AddToPage(0, 1 + no % 19, 3000 + no * 3);
  TVLMBTreeBlobPageIndex blobs(&pm);
  blobs.CreateTree(0);
  for (int32_t no = 0; no < 40; ++no) blobs.AddToPage(0, 10 + no, 9000 - no);
  pm.Commit(0);
  pm.Commit(kVLMSystemSessionID);
  return {records.RootPageNo, blobs.RootPageNo};
}

// Everything an open does, then some reading and writing. Engine errors
// are expected; anything else fails the test.
void Exercise(const std::string& path, const std::string& password, const Trees& trees, const std::string& what) {
  const std::vector<uint8_t> original = ReadBytes(path);
  const int64_t size = static_cast<int64_t>(original.size());
  // Growth adds a tenth of the file, at least one extent (as the header,
  // damaged or not, gives page and extent size).
  const int64_t extent = size < 30 ? 0 : int64_t{VLMGetU16LE(original.data() + 26)} * VLMGetU16LE(original.data() + 28);
  try {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path, password);
    TVLMSystemDirectory directory(&pm);
    directory.Load();
    // A single-user connection takes every session byte.
    TVLMActiveSessionsFile sessions(&pm);
    try {
      sessions.OpenFile(directory.Find(TVLMDirectoryKind::ActiveSessions));
      if (sessions.EnterSingleUser()) sessions.LeaveSingleUser();
    } catch (const EVLMException&) {
    }
    TVLMTableListFile tables(&pm);
    tables.OpenFile(directory.Find(TVLMDirectoryKind::TableList));
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
    for (int32_t root : trees) {
      TVLMBTreeRecordPageIndex index(&pm);
      index.MaxRecordsPerPage = 20;
      index.SetRootPageNo(root);
      PageIndexOperationCodes(pm, index, 100);
    }
    // Also a file that needs repair: it must refuse what it cannot do.
    try {
      pm.GetNextObjectID();
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    } catch (const EVLMException&) {
    }
    try {
      pm.Commit(0);
    } catch (const EVLMException&) {
      pm.RollbackSession(0);
    }
  } catch (const EVLMException&) {
  } catch (const std::exception& e) {
    ADD_FAILURE() << what << ": " << e.what();
  }
  EXPECT_LE(static_cast<int64_t>(ReadBytes(path).size()), size + std::max(size / 5, extent) + 64 * 512) << what;
}

TEST(OpenFuzz, DamagedFilesRaiseOnlyEngineErrors) {
  FastRetries fast(1);
  ScratchFolder dir;
  std::mt19937 random(2024);
  struct Base {
    std::string Password;
    Trees Roots;
    std::vector<uint8_t> Bytes;
    std::vector<size_t> TreePages;  // file positions of the trees' pages
  };
  std::vector<Base> bases;
  for (const std::string password : {"", "fuzz"}) {
    std::string path = dir.File("base" + password);
    Base base{password, BuildBase(path, password), {}, {}};
    base.Bytes = ReadBytes(path);
    for (size_t at = 380; at + 512 <= base.Bytes.size(); at += 512)
      if (VLMGetU16LE(base.Bytes.data() + at + kVLMPageTypeOffset) == kVLMPageTableIndex) base.TreePages.push_back(at);
    ASSERT_GT(base.TreePages.size(), 6u);
    bases.push_back(std::move(base));
  }
  const std::string path = dir.File("case.vlm");
  qv::test::TestBudget budget(20, 100);
  for (uint64_t iteration = 0; budget.Continue(iteration); ++iteration) {
    const std::string what = "iteration " + std::to_string(iteration);
    if (iteration % 5 == 4) {
      // A random file, now and then behind a valid signature.
      std::vector<uint8_t> bytes(random() % 4000);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      if (iteration % 3 == 0 && bytes.size() >= 76) {
        std::memcpy(bytes.data(), kVLMSignature, kVLMSignatureSize);
        bytes[16] = 76;
        bytes[17] = 0;
      }
      WriteBytes(path, bytes);
      Exercise(path, "", Trees{}, what);
    } else {
      const Base& base = bases[iteration % 2];
      std::vector<uint8_t> bytes = base.Bytes;
      const int flips = 1 + static_cast<int>(random() % 6);
      for (int f = 0; f < flips; ++f) {
        // The header and the first pages, the trees' pages, or anywhere.
        size_t at = 0;
        switch (random() % 3) {
          case 0: at = random() % std::min<size_t>(bytes.size(), 380 + 6 * 512); break;
          case 1: at = base.TreePages[random() % base.TreePages.size()] + random() % 80; break;
          default: at = random() % bytes.size(); break;
        }
        bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8));
      }
      if (iteration % 25 == 0) bytes.resize(random() % bytes.size());
      WriteBytes(path, bytes);
      Exercise(path, base.Password, base.Roots, what);
    }
    if (HasFailure()) return;
  }
}

}  // namespace
