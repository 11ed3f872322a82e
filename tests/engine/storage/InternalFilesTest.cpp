// Files inside the database: transacted files (chains, sizes, compression,
// shrink and grow), direct files (data and lock byte positions, bounds), the
// system directory and the table list.
#include <gtest/gtest.h>

#include "engine/core/VLMCompression.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "platform/host/StringList.h"
#include "engine/storage/StorageTestSupport.h"

namespace {

using namespace storage_test;

class InternalFiles : public ::testing::Test {
protected:
  void SetUp() override {
    Path = Dir.File("i.vlm");
    CreateStandardDatabase(Path, 512, 8, {}, 100);
    Open();
  }
  void Open() {
    Pm = std::make_unique<TVLMDiskPageManager>();
    OpenDatabase(*Pm, Path);
  }
  void Reopen() {
    Pm->CloseDatabase();
    Open();
  }
  int32_t D() const { return Pm->PageDataSize; }
  int32_t UsedPages() {
    int32_t n = 0;
    for (int32_t p = 0; p < Pm->GetPageCount(); ++p) n += Pm->FreeSpace->IsPageUsed(p);
    return n;
  }
  static std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 11 + i / 251);
    return bytes;
  }

  FastRetries Fast;
  ScratchFolder Dir;
  std::string Path;
  std::unique_ptr<TVLMDiskPageManager> Pm;
};

TEST_F(InternalFiles, AFileTakesTheHeadAndItsBytes) {
  for (auto [size, pages] : {std::pair{D() - 10, 1}, std::pair{D() - 9, 2}, std::pair{2 * D() - 10, 2},
                             std::pair{2 * D() - 9, 3}, std::pair{0, 1}}) {
    TVLMInternalDBTransactedAccessFile file(Pm.get(), kVLMPageTableMetaData);
    file.CreateFile(0);
    std::vector<uint8_t> bytes = Pattern(static_cast<size_t>(size), 1);
    file.WriteFile(0, bytes.data(), 0, VLMCompressionNone, static_cast<uint32_t>(size));
    EXPECT_EQ(file.GetNthPageNo(0, pages - 1) >= 0, true);
    std::string message;
    EXPECT_EQ(CodeOf([&] { file.GetNthPageNo(0, pages); }, &message), 20300) << size;
    EXPECT_EQ(message,
              "Error getting " + std::to_string(pages) +
                  "-th table file page. Probably database is corrupted and needs repair. - Native error: 20300");
    Pm->Commit(0);
    std::vector<uint8_t> back(bytes.size());
    file.ReadFile(0, back.data(), true, static_cast<uint32_t>(size));
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(file.GetLogicalSize(0), static_cast<uint32_t>(size));
  }
}

TEST_F(InternalFiles, ReadingPastTheEndAndClosedFilesAreRefused) {
  TVLMInternalDBTransactedAccessFile file(Pm.get(), kVLMPageTableMetaData);
  std::string message;
  EXPECT_EQ(CodeOf([&] { file.SetSize(0, 1, 0, 1); }, &message), 20156);
  EXPECT_EQ(message, "Cannot perform this operation (SetSize) on closed internal file - Native error: 20156");
  uint8_t byte;
  EXPECT_EQ(CodeOf([&] { file.ReadFile(0, &byte, true, 1); }, &message), 20156);
  EXPECT_NE(message.find("(ReadFile)"), std::string::npos);
  file.CreateFile(0);
  EXPECT_EQ(CodeOf([&] { file.CreateFile(0); }), 30383);
  std::vector<uint8_t> bytes = Pattern(100, 2);
  file.WriteFile(0, bytes.data(), 0, 0, 100);
  std::vector<uint8_t> back(101);
  EXPECT_EQ(CodeOf([&] { file.ReadFile(0, back.data(), true, 101); }, &message), 30387);
  EXPECT_EQ(message, "Cannot Read internal file. FileSize=100. ReadSize=101 - Native error: 30387");
  file.ReadFile(0, back.data(), true, 40);  // a shorter read is fine
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 40, bytes.begin()));
  Pm->RollbackSession(0);

  // A chain that ends before the bytes its head counts (a damaged link, or
  // a file read without its decryption).
  TVLMInternalDBTransactedAccessFile cut(Pm.get(), kVLMPageTableMetaData);
  const int32_t start = cut.CreateFile(0);
  bytes = Pattern(static_cast<size_t>(2 * D()), 3);
  cut.WriteFile(0, bytes.data(), 0, VLMCompressionNone, static_cast<uint32_t>(bytes.size()));
  {
    TVLMHeldPage first(Pm.get(), Pm->GetPage(0, start, true, kVLMPageTableMetaData));
    first->SetNextPage(-1);
    first->Modified = true;
  }
  const std::string text = "Cannot read internal file at page " + std::to_string(start) +
                           ": its page chain ends after " + std::to_string(D() - kVLMInternalFileHeadSize) +
                           " of the " + std::to_string(bytes.size()) +
                           " bytes its head counts. The database file is damaged - Native error: 30388";
  back.resize(bytes.size());
  EXPECT_EQ(CodeOf([&] { cut.ReadFile(0, back.data(), true, static_cast<uint32_t>(back.size())); }, &message),
            30388);
  EXPECT_EQ(message, text);
  EXPECT_EQ(CodeOf([&] { cut.ReadAll(0, true); }, &message), 30388);
  EXPECT_EQ(message, text);
  Pm->RollbackSession(0);
}

TEST_F(InternalFiles, CompressedFilesRoundTripAndReportDamage) {
  TVLMInternalDBTransactedAccessFile file(Pm.get(), kVLMPageTableMetaData);
  int32_t start = file.CreateFile(0);
  std::string text;
  while (text.size() < 20000) text += "FIELD CALL CHAR(12) FREQ DOUBLE MODE CHAR(4) ";
  file.WriteFile(0, text.data(), 1, VLMCompressionZlib, static_cast<uint32_t>(text.size()));
  Pm->Commit(0);
  Reopen();
  TVLMInternalDBTransactedAccessFile again(Pm.get(), kVLMPageTableMetaData);
  again.OpenFile(start);
  uint32_t stored = 0, logical = 0;
  uint8_t algorithm = 0;
  bool fresh = false;
  again.GetSize(0, stored, true, fresh, algorithm, logical);
  EXPECT_TRUE(fresh);
  EXPECT_EQ(algorithm, VLMCompressionZlib);
  EXPECT_EQ(logical, text.size());
  EXPECT_LT(stored, static_cast<uint32_t>(D()));  // fits the first page
  std::string back(text.size(), '\0');
  again.ReadFile(0, back.data(), true, static_cast<uint32_t>(back.size()));
  EXPECT_EQ(back, text);
  again.GetSize(0, stored, true, fresh, algorithm, logical);
  EXPECT_FALSE(fresh);  // cached now

  {
    TVLMHeldPage page(Pm.get(), Pm->GetPage(0, start, true, kVLMPageTableMetaData));
    for (int i = 20; i < 40; ++i) page->Data()[i] ^= 0x55;
    page->Modified = true;
  }
  std::string message;
  EXPECT_EQ(CodeOf([&] { again.ReadFile(0, back.data(), true, 10); }, &message), 20189);
  EXPECT_EQ(message, "Table file decompression error. Possible table corruption - Native error: 20189");
  Pm->RollbackSession(0);
  EXPECT_EQ(CodeOf([&] { again.WriteFile(0, text.data(), 0, 2, static_cast<uint32_t>(text.size())); }), 20187);
}

TEST_F(InternalFiles, ShrinkThenGrowReusesTheChain) {
  TVLMInternalDBTransactedAccessFile file(Pm.get(), kVLMPageTableMetaData);
  file.CreateFile(0);
  std::vector<uint8_t> big = Pattern(static_cast<size_t>(5 * D()), 3);
  file.WriteFile(0, big.data(), 0, 0, static_cast<uint32_t>(big.size()));
  Pm->Commit(0);
  const int32_t used = UsedPages();

  std::vector<uint8_t> small = Pattern(static_cast<size_t>(D() / 2), 4);
  file.WriteFile(0, small.data(), 0, 0, static_cast<uint32_t>(small.size()));
  Pm->Commit(0);
  EXPECT_EQ(file.GetLogicalSize(0), small.size());
  std::vector<uint8_t> back(small.size());
  file.ReadFile(0, back.data(), true, static_cast<uint32_t>(back.size()));
  EXPECT_EQ(back, small);

  std::vector<uint8_t> big2 = Pattern(static_cast<size_t>(5 * D()), 5);
  file.WriteFile(0, big2.data(), 0, 0, static_cast<uint32_t>(big2.size()));
  Pm->Commit(0);
  EXPECT_EQ(UsedPages(), used);  // no page added, none left unreachable
  Reopen();
  file.PageManager = Pm.get();
  back.resize(big2.size());
  file.ReadFile(0, back.data(), true, static_cast<uint32_t>(back.size()));
  EXPECT_EQ(back, big2);

  // Deleting the file frees every page of its chain at commit.
  file.DeleteFile(0);
  EXPECT_EQ(file.StartPageNo, -1);
  Pm->Commit(0);
  EXPECT_EQ(UsedPages(), used - 6);
}

TEST_F(InternalFiles, ResetRewritesADamagedFirstPage) {
  TVLMInternalDBTransactedAccessFile file(Pm.get(), kVLMPageTableMostUpdated);
  int32_t start = file.CreateFile(0);
  Pm->Commit(0);
  {
    TVLMHeldPage page(Pm.get(), Pm->GetPage(0, start, true, kVLMAnyPageType));
    page->SetPageType(kVLMPageTableBlob);
    page->Modified = true;
  }
  Pm->Commit(0);
  EXPECT_EQ(CodeOf([&] { file.GetLogicalSize(0); }), 0);  // cached copy: no type check
  Reopen();
  file.PageManager = Pm.get();
  EXPECT_EQ(CodeOf([&] { file.GetLogicalSize(0); }), 20153);
  file.ResetFile(0);
  EXPECT_FALSE(Pm->SkipChecks);
  Pm->Commit(0);
  Reopen();
  file.PageManager = Pm.get();
  EXPECT_EQ(file.GetLogicalSize(0), 0u);
  TVLMInternalDBTransactedAccessFile closed(Pm.get(), kVLMPageTableMostUpdated);
  EXPECT_EQ(CodeOf([&] { closed.ResetFile(0); }), 20301);
}

TEST_F(InternalFiles, DirectFilesKeepDataClearOfTheChainHead) {
  const int32_t size = 2 * D() + 5;
  TVLMInternalDBDirectAccessFile file(Pm.get(), kVLMPageTableLocks);
  const int32_t start = file.CreateFile(size);
  EXPECT_EQ(file.Pages.Count(), 3);
  Pm->Commit(kVLMSystemSessionID);

  TVLMInternalDBDirectAccessFile opened(Pm.get(), kVLMPageTableLocks);
  opened.OpenFile(start);
  EXPECT_EQ(opened.Size, size);
  EXPECT_EQ(opened.Pages.Count(), 3);

  // Every byte position, also those where x + 10 is a multiple of the data
  // size: a six-byte record ID there must not touch the head.
  std::vector<uint8_t> all = Pattern(static_cast<size_t>(size), 6);
  opened.DirectWriteBuffer(all.data(), size, 0);
  uint8_t id[6] = {1, 2, 3, 4, 5, 6};
  opened.DirectWriteBuffer(id, 6, D() - 10);
  std::memcpy(&all[static_cast<size_t>(D() - 10)], id, 6);
  std::vector<uint8_t> back(static_cast<size_t>(size));
  opened.DirectReadBuffer(back.data(), size, 0);
  EXPECT_EQ(back, all);
  for (int32_t x : {0, D() - 11, D() - 10, D() - 9, 2 * D() - 10, size - 1}) {
    uint8_t b = 0;
    opened.DirectReadBuffer(&b, 1, x);
    EXPECT_EQ(b, all[static_cast<size_t>(x)]) << x;
  }
  EXPECT_EQ(opened.GetSize(), size);  // the head is intact
  TVLMInternalDBDirectAccessFile third(Pm.get(), kVLMPageTableLocks);
  third.OpenFile(start);
  EXPECT_EQ(third.Size, size);

  std::string message;
  EXPECT_EQ(CodeOf([&] { opened.DirectWriteBuffer(id, 6, size - 5); }, &message), 20158);
  EXPECT_EQ(message, "Cannot write after end of file. FileSize=" + std::to_string(size) + ". Position=" +
                         std::to_string(size - 5) + ", Count=6 - Native error: 20158");
  EXPECT_EQ(CodeOf([&] { opened.DirectReadBuffer(id, 6, size - 5); }), 30386);
  EXPECT_EQ(CodeOf([&] { opened.DirectReadBuffer(id, 1, size + 1); }), 20159);
  EXPECT_EQ(CodeOf([&] { opened.LockByte(size + 1); }), 20159);
  TVLMInternalDBDirectAccessFile closed(Pm.get(), kVLMPageTableLocks);
  EXPECT_EQ(CodeOf([&] { closed.LockFile(); }, &message), 20156);
  EXPECT_EQ(message, "Cannot perform this operation (LockFile) on closed internal file - Native error: 20156");
  TVLMInternalDBDirectAccessFile wrongType(Pm.get(), kVLMPageActiveSessionList);
  EXPECT_EQ(CodeOf([&] { wrongType.OpenFile(start); }, &message), 20155);
  EXPECT_EQ(message, "Invalid PageType found: 7 but expecting: 5 - Native error: 20155");
}

TEST_F(InternalFiles, DirectFileLockBytesKeepTheSharedPositions) {
  const int32_t size = 2 * D();
  TVLMInternalDBDirectAccessFile file(Pm.get(), kVLMPageTableLocks);
  const int32_t start = file.CreateFile(size);
  Pm->Commit(kVLMSystemSessionID);
  TVLMDiskPageManager other;
  OpenDatabase(other, Path);
  TVLMInternalDBDirectAccessFile seen(&other, kVLMPageTableLocks);
  seen.OpenFile(start);
  const std::vector<int32_t> pages(file.Pages.Items(), file.Pages.Items() + file.Pages.Count());

  // x + 10 a multiple of d: data offset 0 of the previous page.
  ASSERT_TRUE(file.LockByte(D() - 10));
  EXPECT_TRUE(other.IsPageByteLocked(pages[0], kVLMPageHeaderSize));
  EXPECT_TRUE(seen.IsByteLocked(D() - 10));
  EXPECT_FALSE(seen.IsByteLocked(D() - 11));
  EXPECT_FALSE(seen.LockByte(D() - 10));
  // Otherwise page ceil((x + 10) / d) - 1 at offset (x + 10) mod d.
  ASSERT_TRUE(file.LockByte(5));
  EXPECT_TRUE(other.IsPageByteLocked(pages[0], kVLMPageHeaderSize + 15));
  ASSERT_TRUE(file.LockByte(D() + 5));
  EXPECT_TRUE(other.IsPageByteLocked(pages[1], kVLMPageHeaderSize + 15));

  EXPECT_TRUE(seen.IsRegionLocked(0, 10));
  EXPECT_FALSE(seen.IsRegionLocked(6, 5));
  EXPECT_TRUE(seen.IsRegionLocked(D() - 15, 30));  // across two pages
  EXPECT_FALSE(seen.IsRegionLocked(D() + 6, 20));
  EXPECT_FALSE(seen.IsRegionLocked(0, 0));
  EXPECT_TRUE(file.UnlockByte(D() - 10));
  EXPECT_TRUE(file.UnlockByte(5));
  EXPECT_TRUE(file.UnlockByte(D() + 5));
  EXPECT_FALSE(seen.IsRegionLocked(0, size));

  ASSERT_TRUE(file.LockFile());
  EXPECT_FALSE(seen.LockFile());
  EXPECT_TRUE(other.IsPageByteLocked(start, 0));
  EXPECT_TRUE(file.UnlockFile());
  EXPECT_TRUE(seen.LockFile());
  EXPECT_TRUE(seen.UnlockFile());

  // A file of one page reads as the whole page.
  TVLMInternalDBDirectAccessFile small(Pm.get(), kVLMPageActiveSessionList);
  const int32_t one = small.CreateFile(20);
  Pm->Commit(kVLMSystemSessionID);
  TVLMInternalDBDirectAccessFile reopened(Pm.get(), kVLMPageActiveSessionList);
  reopened.OpenFile(one);
  EXPECT_EQ(reopened.Size, D() - 10);

  // Deleting frees the chain at the commit of session -2.
  file.DeleteFile();
  Pm->Commit(kVLMSystemSessionID);
  for (int32_t page : pages) EXPECT_FALSE(Pm->FreeSpace->IsPageUsed(page));
}

TEST_F(InternalFiles, TheSystemDirectoryLivesAtPageTwo) {
  TVLMSystemDirectory directory(Pm.get());
  directory.Load();
  ASSERT_EQ(directory.Entries.size(), 2u);
  EXPECT_EQ(directory.Find(TVLMDirectoryKind::TableList), 4);
  const auto other = static_cast<TVLMDirectoryKind>(9);
  EXPECT_EQ(directory.Find(other), -1);
  directory.Add(other, 1234);
  directory.Add(TVLMDirectoryKind::TableList, 4);  // a listed kind keeps one entry
  directory.Save();
  Pm->Commit(kVLMSystemSessionID);
  Reopen();
  TVLMSystemDirectory again(Pm.get());
  again.Load();
  EXPECT_EQ(again.Entries.size(), 3u);
  EXPECT_EQ(again.Find(other), 1234);

  TVLMSystemDirectory second(Pm.get());
  std::string message;
  EXPECT_EQ(CodeOf([&] { second.CreateFile(); }, &message), 30392);
  EXPECT_EQ(message.rfind("Error Creating SystemDirectory. SystemDirectoryPageNo=", 0), 0u);
  Pm->RollbackSession(kVLMSystemSessionID);
}

TEST_F(InternalFiles, TheTableListFindsNamesWithoutRegardToCase) {
  TVLMTableListFile tables(Pm.get());
  tables.OpenFile(4);
  std::string message;
  EXPECT_EQ(CodeOf([&] { tables.OpenFile(4); }, &message), 30393);
  EXPECT_EQ(message, "Table list file already opened. - Native error: 30393");
  tables.Load();
  tables.AddTable(7, "V5LogTabl", 10, 11, 12);
  tables.AddTable(8, "Stations", 20, 21, 22);
  tables.AddTable(9, std::string(300, 'x'), 30, 31, 32);
  EXPECT_EQ(CodeOf([&] { tables.AddTable(1, "v5logtabl", 0, 0, 0); }, &message), 30395);
  EXPECT_EQ(message, "Cannot create table. Table 'v5logtabl' already exists - Native error: 30395");
  tables.Save();
  Pm->Commit(kVLMSystemSessionID);
  Reopen();

  TVLMTableListFile again(Pm.get());
  again.OpenFile(4);
  qv::StringList names;
  again.GetTableNames(names);
  ASSERT_EQ(names.Count(), 3);
  EXPECT_EQ(names[0], "V5LogTabl");
  EXPECT_EQ(names[2], std::string(255, 'x'));
  uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
  again.GetTable("STATIONS", id, locks, mostUpdated, metaData);
  EXPECT_EQ(id, 8u);
  EXPECT_EQ(locks, 20u);
  EXPECT_EQ(mostUpdated, 21u);
  EXPECT_EQ(metaData, 22u);
  EXPECT_TRUE(again.TableExists("stations"));
  EXPECT_EQ(CodeOf([&] { again.GetTable("Nope", id, locks, mostUpdated, metaData); }, &message), 30396);
  EXPECT_EQ(message, "Table 'Nope' not exists. - Native error: 30396");

  again.RenameTable("stations", "STATIONS");  // only the case changes
  EXPECT_EQ(CodeOf([&] { again.RenameTable("Stations", "v5logtabl"); }, &message), 30389);
  EXPECT_EQ(CodeOf([&] { again.RenameTable("Nope", "X"); }), 30397);
  again.RenameTable("STATIONS", "Members");
  again.DeleteTable("V5LOGTABL");
  EXPECT_EQ(CodeOf([&] { again.DeleteTable("V5LOGTABL"); }), 30405);
  again.Save();
  Pm->Commit(kVLMSystemSessionID);
  again.GetTableNames(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[0], "Members");
  EXPECT_EQ(again.IndexOfTable("members"), 0);
}

}  // namespace
