// The whole-file check of a database file (TVLMDatabase::CheckDatabaseFile,
// ListFileDamage, CheckWholeFile): a file that went through commits,
// deletes, a drop and a restructure reads whole, and a file damaged in any
// one page reports a problem that names that page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMByteOrder.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/components/LogFileSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

namespace {

using local_test::RuntimeScope;

constexpr int32_t kPageSize = 1024;

std::vector<uint8_t> Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}


// Extra: Code (integer, unique index ByCode), Name (text 30, index ByName),
// Body (memo: empty, short or longer than a page).
void MakeExtra(const std::string& database, int rows) {
  auto table = logfile_test::Table(database, "Extra");
  table->GetFieldDefs().Add("Code", qv::ftInteger);
  table->GetFieldDefs().Add("Name", qv::ftString, 30);
  table->GetFieldDefs().Add("Body", qv::ftMemo);
  table->GetIndexDefs().Add("ByCode", "Code", qv::ixUnique);
  table->GetIndexDefs().Add("ByName", "Name", 0);
  table->CreateTable();
  table->Open();
  for (int n = 0; n < rows; ++n) {
    table->Append();
    table->FieldByName("Code")->SetAsInteger(n * 7);
    table->FieldByName("Name")->SetAsString("name " + std::to_string(n % 5) + " " + std::to_string(n));
    if (n % 3 != 0) table->FieldByName("Body")->SetAsString(std::string(n % 3 == 1 ? 40 : 1500, char('a' + n % 26)));
    table->Post();
  }
  table->Close();
}

// A file of two tables with indexes and BLOBs after commits, deletes and a
// dropped table (whose pages are free now); history: a restructure, and
// more rows in the dropped table.
void MakeFile(const std::string& file, const std::string& password, bool history = true) {
  auto database = logfile_test::Database(file, "Maker", password, password.empty() ? 0 : 3);
  logfile_test::MakeLog("Maker", 30);
  MakeExtra("Maker", 12);
  if (history) {
    logfile_test::MakeLog("Maker", 20, "Dropped");
  } else {
    auto dropped = logfile_test::Table("Maker", "Dropped");
    dropped->GetFieldDefs().Add("N", qv::ftInteger);
    dropped->CreateTable();
  }
  {
    auto log = logfile_test::Table("Maker");
    log->Open();
    for (int n = 0; n < 6; ++n) {
      log->First();
      log->MoveBy(n * 3);
      log->Delete();
    }
    logfile_test::AddRows(*log, 8, 100);
    log->First();
    log->Edit();
    log->FieldByName("Notes")->SetAsString(std::string(2000, 'x'));
    log->Post();
  }
  logfile_test::Table("Maker", "Dropped")->DeleteTable();
  if (!history) return;
  auto extra = logfile_test::Table("Maker", "Extra");
  extra->Open();
  extra->Close();
  std::string text;
  ASSERT_TRUE(extra->RestructureTable(text)) << text;
}

// What the file means, as a reader finds it: every table's rows in natural
// order and through each index, and the pages the free-space maps mark
// used; "unreadable: ..." when a read fails.
std::string Meaning(const std::string& file, const std::string& password) {
  std::string meaning;
  try {
    auto database = logfile_test::Database(file, "Reader", password);
    database->ReadOnly = true;
    database->DoConnect();
    qv::StringList names;
    database->GetTableNames(names);
    for (int32_t t = 0; t < names.Count(); ++t) {
      auto table = logfile_test::Table("Reader", names[t]);
      table->Open();
      meaning += "table " + names[t] + "\n";
      std::vector<std::string> orders{""};
      for (int32_t i = 0; i < table->GetIndexDefs().Count(); ++i) orders.push_back(table->GetIndexDefs()[i]->Name());
      for (const std::string& order : orders) {
        table->SetIndexName(order);
        for (table->First(); !table->Eof(); table->Next()) {
          for (const auto& field : table->GetFields()) meaning += field->AsString() + "|";
          meaning += "\n";
        }
      }
    }
  } catch (const std::exception& e) {
    return std::string("unreadable: ") + e.what();
  }
  // The pages in use: marked used in the free-space map (page 0's data
  // area) and holding a written page (a page marked used with the head of
  // a free page was taken and never committed, and is given back by the
  // next open that has the file alone).
  const std::vector<uint8_t> bytes = Bytes(file);
  const size_t pages = (bytes.size() - kVLMFirstPagePosition) / kPageSize;
  for (size_t p = 0; p < pages; ++p) {
    const uint8_t* head = bytes.data() + kVLMFirstPagePosition + p * kPageSize;
    const bool written = std::equal(head, head + 4, "VLMP") && VLMGetU32LE(head + 4) != kVLMFreedPageCounter;
    meaning += written && ((bytes[kVLMFirstPagePosition + kVLMPageHeaderSize + p / 8] >> (p % 8)) & 1) != 0 ? '1' : '0';
  }
  return meaning;
}

// Whether text names page pageNo ("Page 12 ..." or "... page 12)").
bool NamesPage(const std::string& text, int32_t pageNo) {
  const std::string number = std::to_string(pageNo);
  for (size_t at = text.find("age " + number); at != std::string::npos; at = text.find("age " + number, at + 1)) {
    const size_t end = at + 4 + number.size();
    if (end == text.size() || !std::isdigit(static_cast<unsigned char>(text[end]))) return true;
  }
  return false;
}

class FileCheckTest : public ::testing::TestWithParam<bool> {
protected:
  std::string Password() const { return GetParam() ? "secret" : ""; }
  RuntimeScope Runtime;
  qv::test::ScratchFolder Dir;
};

TEST_P(FileCheckTest, AFileThatWentThroughCommitsDeletesADropAndARestructureIsWhole) {
  const std::string file = Dir.File("whole.vlm");
  MakeFile(file, Password());
  EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(file, Password()), std::vector<std::string>{});
  auto database = logfile_test::Database(file, "Log", Password());
  database->DoConnect();
  EXPECT_EQ(database->ListFileDamage(), std::vector<std::string>{});
  EXPECT_NO_THROW(database->CheckWholeFile());
}

TEST_P(FileCheckTest, AnObjectCounterBelowATableIDIsCaught) {
  const std::string file = Dir.File("counter.vlm");
  MakeFile(file, Password());
  std::vector<uint8_t> bytes = Bytes(file);
  const int64_t position = kVLMBlock1Size + kVLMBlock2Size + kVLMBlock3Size;
  for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(position + i)] = 0;
  Write(file, bytes);
  const std::vector<std::string> problems = TVLMDatabase::CheckDatabaseFile(file, Password());
  ASSERT_FALSE(problems.empty());
  EXPECT_EQ(problems.front(), "TableID of 'QsoLog' is 1, above NextObjectID 0");
}

// Every page, damaged in each way, in turn: a damage that changes what the
// file means is reported naming the page (in an unencrypted file a stored
// value changed inside a record or a BLOB, which no checksum guards, reads
// without an error and cannot be told from a real one). The check never
// raises and leaves the file's bytes as they were.
TEST_P(FileCheckTest, EveryPageDamagedInEachWayIsReportedByPage) {
  const std::string file = Dir.File("damaged.vlm");
  MakeFile(file, Password(), false);
  const std::vector<uint8_t> whole = Bytes(file);
  const std::string meaning = Meaning(file, Password());
  const auto pages = static_cast<int32_t>((whole.size() - kVLMFirstPagePosition) / kPageSize);
  struct Damage {
    const char* Name;
    bool Data;  // a bit of the data area
    std::function<void(uint8_t* page)> Apply;
    bool EncryptedOnly = false;
  };
  const int32_t dataSize = kPageSize - kVLMPageHeaderSize;
  const std::vector<Damage> damages{
      {"a bit of the data's head", true, [](uint8_t* page) { page[kVLMPageHeaderSize + 4] ^= 0x02; }},
      {"a bit of the data", true, [&](uint8_t* page) { page[kVLMPageHeaderSize + dataSize / 2] ^= 0x10; }},
      {"the stored CRC", false, [](uint8_t* page) { page[kVLMPageCRCOffset + 1] ^= 0x04; }, true},
      {"the cipher byte", false, [](uint8_t* page) { page[kVLMPageCipherIdOffset] ^= 0x01; }, true},
      {"the page type", false, [](uint8_t* page) { page[kVLMPageTypeOffset] ^= 0x08; }},
      {"the whole page zeroed", false, [](uint8_t* page) { std::fill(page, page + kPageSize, 0); }},
      {"the whole page garbage", false, [](uint8_t* page) {
         for (int32_t i = 0; i < kPageSize; ++i) page[i] = static_cast<uint8_t>(i * 131 + 17);
       }}};
  int unguarded = 0, reported = 0;
  // Map, lock and free pages hold nothing a reader reads, but a page of
  // theirs overwritten or of another type is damage all the same.
  auto mustReport = [&](int32_t pageNo, const Damage& damage) {
    const uint8_t* page = whole.data() + kVLMFirstPagePosition + static_cast<int64_t>(pageNo) * kPageSize;
    const uint16_t type = VLMGetU16LE(page + kVLMPageTypeOffset);
    const bool free = ((whole[kVLMFirstPagePosition + kVLMPageHeaderSize + pageNo / 8] >> (pageNo % 8)) & 1) == 0;
    const bool garbage = damage.Name == std::string("the whole page garbage");
    if (free) return garbage;
    const bool system = type == kVLMPagePFS || type == kVLMPageEAM || type == kVLMPageActiveSessionList ||
                        type == kVLMPageTableLocks;
    return system && (garbage || damage.Name == std::string("the page type") ||
                      damage.Name == std::string("the whole page zeroed"));
  };
  // Record and BLOB pages, whose data areas hold stored values.
  auto HoldsValues = [&](int32_t pageNo) {
    const uint16_t type = VLMGetU16LE(whole.data() + kVLMFirstPagePosition + static_cast<int64_t>(pageNo) * kPageSize +
                                      kVLMPageTypeOffset);
    return type == kVLMPageTableRecord || type == kVLMPageTableBlob;
  };
  int32_t freePages = 0;
  for (int32_t pageNo = 0; pageNo < pages; ++pageNo)
    freePages += ((whole[kVLMFirstPagePosition + kVLMPageHeaderSize + pageNo / 8] >> (pageNo % 8)) & 1) == 0;
  ASSERT_GT(freePages, 0);
  // Pages in a spread order, so that a run cut short by its budget on a
  // slow machine still meets every kind of page.
  int32_t stride = 37;
  while (std::gcd(stride, pages) != 1) ++stride;
  auto budget = qv::test::TestBudget::Steps(static_cast<uint64_t>(pages), 15);
  for (int32_t step = 0; step < pages && budget.Continue(static_cast<uint64_t>(step)); ++step) {
    const int32_t pageNo = static_cast<int32_t>((static_cast<int64_t>(step) * stride) % pages);
    for (const Damage& damage : damages) {
      // Only an encrypted file's reader reads the stored CRC and the cipher byte.
      if (damage.EncryptedOnly && Password().empty()) continue;
      std::vector<uint8_t> bytes = whole;
      damage.Apply(bytes.data() + kVLMFirstPagePosition + static_cast<int64_t>(pageNo) * kPageSize);
      Write(file, bytes);
      std::vector<std::string> problems;
      ASSERT_NO_THROW(problems = TVLMDatabase::CheckDatabaseFile(file, Password()))
          << "page " << pageNo << ", " << damage.Name;
      ASSERT_EQ(Bytes(file), bytes) << "page " << pageNo << ", " << damage.Name;
      if (std::any_of(problems.begin(), problems.end(), [&](const std::string& text) { return NamesPage(text, pageNo); })) {
        ++reported;
        continue;
      }
      const std::string damaged = Meaning(file, Password());
      if (damaged == meaning && !mustReport(pageNo, damage)) continue;
      if (problems.empty() && Password().empty() && damage.Data && HoldsValues(pageNo) &&
          damaged.rfind("unreadable", 0) != 0) {
        ++unguarded;
        continue;
      }
      ADD_FAILURE() << "page " << pageNo << ", " << damage.Name << ": "
                    << (problems.empty() ? std::string("nothing reported") : problems.front()) << "\n"
                    << damaged.substr(0, 200);
    }
  }
  RecordProperty("unguarded", unguarded);
  RecordProperty("reported", reported);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, FileCheckTest, ::testing::Bool());

// A commit stopped before each of its writes in another process: the check
// reads the last finished commit around it (whole), writes nothing (the
// file, its time and the journal stay as they were), and so does it after
// a connect rolled the commit back.
TEST(FileCheckCutCommitTest, ACutCommitIsReadAroundAndNothingIsWritten) {
  RuntimeScope runtime;
  qv::test::ScratchFolder dir;
  const std::string base = dir.File("base.vlm"), work = dir.File("work.vlm");
  MakeFile(base, "", false);
  ASSERT_TRUE(qv::CopyFile(base, work, false));
  ASSERT_EQ(storage_test::RunHelper("engine_repaircrash", {work, "append", "0"}), 0);
  int64_t writes = 0;
  std::ifstream(work + ".count") >> writes;
  ASSERT_GT(writes, 2);
  for (int64_t k = 1; k <= writes; ++k) {
    ASSERT_TRUE(qv::CopyFile(base, work, false));
    std::filesystem::remove(VLMJournalFileName(work));
    ASSERT_EQ(storage_test::RunHelper("engine_repaircrash", {work, "append", std::to_string(k)}), 99) << k;
    const std::vector<uint8_t> bytes = Bytes(work);
    const bool journal = std::filesystem::exists(VLMJournalFileName(work));
    const std::vector<uint8_t> journalBytes = journal ? Bytes(VLMJournalFileName(work)) : std::vector<uint8_t>();
    const auto time = std::filesystem::last_write_time(work);
    EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(work), std::vector<std::string>{})
        << "stopped before write " << k << " of " << writes;
    EXPECT_EQ(Bytes(work), bytes) << k;
    EXPECT_EQ(std::filesystem::last_write_time(work), time) << k;
    EXPECT_EQ(std::filesystem::exists(VLMJournalFileName(work)), journal) << k;
    if (journal) {
      EXPECT_EQ(Bytes(VLMJournalFileName(work)), journalBytes) << k;
    }
    auto database = logfile_test::Database(work, "Log");
    database->DoConnect();
    EXPECT_EQ(database->ListFileDamage(), std::vector<std::string>{}) << "rolled back after write " << k;
  }
}

// Writers beside the check: another process committing rows one by one
// and in transactions, and a connection of this process whose transaction
// took pages it has not committed. Every check reads one committed state
// and finds it whole.
TEST(FileCheckSharingTest, WritersInThisProcessAndAnotherLeaveNothingToReport) {
  RuntimeScope runtime;
  qv::test::ScratchFolder dir;
  const std::string file = dir.File("shared.vlm");
  MakeFile(file, "", false);
  {
    auto maker = logfile_test::Database(file, "Maker");
    auto scores = logfile_test::Table("Maker", "Scores");
    scores->GetFieldDefs().Add("Call", qv::ftString, 10);
    scores->GetFieldDefs().Add("Points", qv::ftInteger);
    scores->GetIndexDefs().Add("ByCall", "Call", 0);
    scores->CreateTable();
  }
  storage_test::Peer peer({file, "Scores", "patient"}, "engine_localpeer");
  ASSERT_EQ(peer.Greeting, "ready");
  auto mine = logfile_test::Database(file, "Mine");
  mine->MultiUser = true;
  mine->DoConnect();
  mine->StartTransaction();
  auto log = logfile_test::Table("Mine");
  log->Open();
  logfile_test::AddRows(*log, 60, 500);
  int rows = 0;
  auto budget = qv::test::TestBudget::Steps(60, 8);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const std::string call = "P" + std::to_string(round);
    if (round % 4 == 3) {
      ASSERT_EQ(peer.Ask("begin"), "0");
      for (int i = 0; i < 3; ++i) ASSERT_EQ(peer.Ask("insert " + call + "x" + std::to_string(i) + " 1"), "0");
      // The peer's transaction took pages and committed none of them.
      EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(file), std::vector<std::string>{}) << "round " << round;
      peer.Send("commit");
      rows += 3;
    } else {
      peer.Send("insert " + call + " " + std::to_string(round));
      rows += 1;
    }
    EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(file), std::vector<std::string>{}) << "round " << round;
    ASSERT_EQ(peer.Receive(), "0") << "round " << round;
  }
  EXPECT_EQ(mine->ListFileDamage(), std::vector<std::string>{});
  log->Close();
  mine->Rollback();
  EXPECT_EQ(peer.Quit(), 0);
  EXPECT_EQ(TVLMDatabase::CheckDatabaseFile(file), std::vector<std::string>{});
  auto scores = logfile_test::Table("Mine", "Scores");
  scores->Open();
  EXPECT_EQ(scores->RecordCount(), rows);
}

}  // namespace
