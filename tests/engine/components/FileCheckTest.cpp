// The whole-file check of a database file (TVLMDatabase::CheckDatabaseFile,
// ListFileDamage, CheckWholeFile): a file that went through commits,
// deletes, a drop and a restructure reads whole, and a file damaged in any
// one page reports a problem that names that page.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
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
// order and through each index, the pages the free-space map marks used
// and the extents the allocation map counts full; "unreadable: ..." when a
// read fails.
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
  // Which extents of eight pages the allocation map (page 1) counts full.
  for (size_t extent = 0; extent * 8 < pages; ++extent)
    meaning += ((bytes[kVLMFirstPagePosition + kPageSize + kVLMPageHeaderSize + extent / 4] >> (extent % 4 * 2)) & 2) != 0
                   ? 'F'
                   : 'r';
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

// The head of the file: what the connect calls damaged is the first
// problem, never an exception; a wrong password is an error. The connected
// check raises the first problem with the file's name.
TEST_P(FileCheckTest, HeaderDamageIsTheFirstProblemAndAWrongPasswordAnError) {
  const std::string file = Dir.File("head.vlm");
  MakeFile(file, Password(), false);
  const std::vector<uint8_t> whole = Bytes(file);
  const int64_t objectID = kVLMBlock1Size + kVLMBlock2Size + kVLMBlock3Size;
  const struct {
    int64_t Position;
    uint8_t Value;
    const char* First;
  } heads[] = {{kVLMCommitStateOffset, kVLMCommitWriting, "Header: CommitState is 1, not 2"},
               {kVLMSignatureOffset + 3, 'X', "The file cannot be opened: Invalid file format"},
               {objectID, 0, "TableID of 'QsoLog' is 1, above NextObjectID 0"}};
  for (const auto& head : heads) {
    std::vector<uint8_t> bytes = whole;
    if (head.Position == objectID) std::fill(bytes.begin() + objectID, bytes.begin() + objectID + 4, 0);
    bytes[static_cast<size_t>(head.Position)] = head.Value;
    Write(file, bytes);
    const std::vector<std::string> problems = TVLMDatabase::CheckDatabaseFile(file, Password(), true);
    ASSERT_EQ(problems.size(), 1u) << head.First;
    EXPECT_EQ(problems.front().rfind(head.First, 0), 0u) << problems.front();
  }
  // Connected (to the last of them): the file name and the first problem
  // in the exception.
  auto database = logfile_test::Database(file, "Log", Password());
  database->DoConnect();
  try {
    database->CheckWholeFile();
    ADD_FAILURE() << "no exception";
  } catch (const EVLMException& e) {
    EXPECT_EQ(e.NativeError, 10900);
    EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("TableID of 'QsoLog' is 1, above NextObjectID 0"), std::string::npos);
  }
  if (!Password().empty()) {
    EXPECT_EQ(qv::test::RaisedCode([&] { TVLMDatabase::CheckDatabaseFile(file, "wrong"); }), 30445);
  }
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
      {"a bit of the data's head", true, [](uint8_t* page) { page[kVLMPageHeaderSize] ^= 0x08; }},
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

// The data area of page pageNo in the bytes of a file, and its type.
uint8_t* PageData(std::vector<uint8_t>& bytes, int32_t pageNo) {
  return bytes.data() + kVLMFirstPagePosition + static_cast<int64_t>(pageNo) * kPageSize + kVLMPageHeaderSize;
}
uint16_t PageType(std::vector<uint8_t>& bytes, int32_t pageNo) {
  return VLMGetU16LE(PageData(bytes, pageNo) - kVLMPageHeaderSize + kVLMPageTypeOffset);
}

// The first page of type type that test accepts; -1 when none does.
int32_t FindPage(std::vector<uint8_t>& bytes, uint16_t type, const std::function<bool(const uint8_t* data)>& test) {
  const auto pages = static_cast<int32_t>((bytes.size() - kVLMFirstPagePosition) / kPageSize);
  for (int32_t pageNo = 2; pageNo < pages; ++pageNo)
    if (PageType(bytes, pageNo) == type && test(PageData(bytes, pageNo))) return pageNo;
  return -1;
}

// A B-tree leaf whose keys are keySize bytes long, with at least two
// entries (head: IsLeaf at 1, KeySize at 12, EntryCount at 14, entries
// from 18).
int32_t FindLeaf(std::vector<uint8_t>& bytes, uint16_t keySize) {
  return FindPage(bytes, kVLMPageTableIndex, [&](const uint8_t* data) {
    return data[1] == 1 && VLMGetU16LE(data + 12) == keySize && VLMGetU16LE(data + 14) >= 2;
  });
}

// Each check on its own: a damage that only it sees (where others would
// see the same damage, its own words) names the page and says what it
// found.
TEST(FileCheckTargetTest, EachCheckNamesWhatItFinds) {
  RuntimeScope runtime;
  qv::test::ScratchFolder dir;
  const std::string file = dir.File("target.vlm");
  MakeFile(file, "", false);
  const std::vector<uint8_t> whole = Bytes(file);
  // Leaves of an index on an integer column: a null byte and four; a
  // record index leaf entry carries a 6-byte record ID.
  constexpr uint16_t kIntKey = 5;
  constexpr int32_t kIntEntry = kIntKey + 6;
  auto lastEntry = [](uint8_t* data) { return data + 18 + (VLMGetU16LE(data + 14) - 1) * kIntEntry; };
  struct Target {
    const char* Name;
    std::function<int32_t(std::vector<uint8_t>&)> Damage;  // the page it damaged
    const char* Words;
  };
  const std::vector<Target> targets{
      {"a record slot marked used beside the counted ones",
       [](std::vector<uint8_t>& bytes) {
         // The record page with the fewest records (its next slot is free).
         int32_t page = -1, fewest = 1 << 20;
         FindPage(bytes, kVLMPageTableRecord, [&](const uint8_t* data) {
           const int32_t used = std::popcount(data[0]) + std::popcount(data[1]);
           if (used < fewest) page = static_cast<int32_t>((data - bytes.data() - kVLMFirstPagePosition) / kPageSize);
           fewest = std::min(fewest, used);
           return false;
         });
         PageData(bytes, page)[fewest / 8] |= static_cast<uint8_t>(1u << (fewest % 8));
         return page;
       },
       "the table's page index lists"},
      {"index entries swapped",
       [&](std::vector<uint8_t>& bytes) {
         const int32_t page = FindLeaf(bytes, kIntKey);
         uint8_t* entries = PageData(bytes, page) + 18;
         std::swap_ranges(entries, entries + kIntEntry, entries + kIntEntry);
         return page;
       },
       "is out of key order"},
      {"the last index key raised, order kept",
       [&](std::vector<uint8_t>& bytes) {
         const int32_t page = FindLeaf(bytes, kIntKey);
         ++lastEntry(PageData(bytes, page))[1];
         return page;
       },
       "holds another key than record"},
      {"an index entry naming a slot no record holds",
       [&](std::vector<uint8_t>& bytes) {
         const int32_t page = FindLeaf(bytes, kIntKey);
         VLMPutU16LE(lastEntry(PageData(bytes, page)) + kIntKey + 4, 999);
         return page;
       },
       "which the table does not hold"},
      {"an index entry lost",
       [&](std::vector<uint8_t>& bytes) {
         const int32_t page = FindLeaf(bytes, kIntKey);
         VLMPutU16LE(PageData(bytes, page) + 14, static_cast<uint16_t>(VLMGetU16LE(PageData(bytes, page) + 14) - 1));
         return page;
       },
       "lacks 1 of the table's"},
      {"a leaf linked to a neighbour it does not have",
       [&](std::vector<uint8_t>& bytes) {
         const int32_t page = FindLeaf(bytes, kIntKey);
         VLMPutI32LE(PageData(bytes, page) + 6, 3);
         return page;
       },
       "links to pages"},
      {"a small BLOB page listed with other bytes than it uses",
       [](std::vector<uint8_t>& bytes) {
         // A page index leaf (4-byte page keys, 2-byte values) listing a
         // BLOB page: its first value one higher.
         const int32_t leaf = FindPage(bytes, kVLMPageTableIndex, [&](const uint8_t* data) {
           const auto listed = static_cast<int32_t>(VLMGetU32LE(data + 18));
           return data[1] == 1 && VLMGetU16LE(data + 12) == 4 && VLMGetU16LE(data + 14) >= 1 && listed > 1 &&
                  PageType(bytes, listed) == kVLMPageTableBlob;
         });
         uint8_t* data = PageData(bytes, leaf);
         VLMPutU16LE(data + 22, static_cast<uint16_t>(VLMGetU16LE(data + 22) + 1));
         return static_cast<int32_t>(VLMGetU32LE(data + 18));
       },
       "the table's BLOB page index lists"},
      {"a text without its end",
       [](std::vector<uint8_t>& bytes) {
         const std::string name = "name 0 0";
         const int32_t page = FindPage(bytes, kVLMPageTableRecord, [&](const uint8_t* data) {
           return std::search(data, data + kPageSize - kVLMPageHeaderSize, name.begin(), name.end()) !=
                  data + kPageSize - kVLMPageHeaderSize;
         });
         uint8_t* data = PageData(bytes, page);
         uint8_t* text = std::search(data, data + kPageSize - kVLMPageHeaderSize, name.begin(), name.end());
         std::fill(text, text + 31, 'A');
         return page;
       },
       "does not end in its field"},
      {"two tables' lock files on one chain",
       [](std::vector<uint8_t>& bytes) {
         const int32_t list = FindPage(bytes, kVLMPageTableList, [](const uint8_t*) { return true; });
         uint8_t* entries = PageData(bytes, list) + kVLMInternalFileHeadSize;
         VLMPutU32LE(entries + kVLMTableListEntrySize + 268, VLMGetU32LE(entries + 268));
         return static_cast<int32_t>(VLMGetU32LE(entries + 268));
       },
       "is reached already by"},
      {"a free page overwritten",
       [](std::vector<uint8_t>& bytes) {
         const auto pages = static_cast<int32_t>((bytes.size() - kVLMFirstPagePosition) / kPageSize);
         int32_t page = pages - 1;
         while (((PageData(bytes, 0)[page / 8] >> (page % 8)) & 1) != 0) --page;
         std::fill(PageData(bytes, page) - kVLMPageHeaderSize, PageData(bytes, page) + 64, 0x5A);
         return page;
       },
       "instead of a free page's head"},
  };
  for (const Target& target : targets) {
    std::vector<uint8_t> bytes = whole;
    const int32_t pageNo = target.Damage(bytes);
    ASSERT_GT(pageNo, 1) << target.Name;
    Write(file, bytes);
    const std::vector<std::string> problems = TVLMDatabase::CheckDatabaseFile(file);
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& text) {
      return NamesPage(text, pageNo) && text.find(target.Words) != std::string::npos;
    })) << target.Name << ": " << (problems.empty() ? std::string("nothing") : problems.front());
  }
}

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
