// VLMDiskEngine, check part: the whole-file check (what it checks, and what
// it costs, is described in VLMDiskEngineCheck.h).
//
// Every page a structure reaches is claimed for it (Claim): the claim
// refuses a page outside the file, a map page and a page another structure
// reached first, and the page is then read once and its head checked
// (TakePage). The structures are read through the engine's own classes over
// a page manager of the check's own (opened read-only, its cache fresh), so
// the check reads what a reader of the file reads; each class is asked only
// about a page that passed its head check. The pages no structure reached
// are read last, raw, with the free-space maps.
#include "engine/storage/VLMDiskEngineCheck.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineBlobs.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "engine/storage/VLMDiskEngineLocks.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/File.h"

namespace {

// The session the check reads as: the engine's own, which holds no pages.
constexpr int32_t kSession = kVLMSystemSessionID;
// The highest write counter a written page may hold (0x7FFFFFFE is never
// given, 0x7FFFFFFF marks a freed page).
constexpr uint32_t kLastLiveCounter = 0x7FFFFFFD;
// Pages read ahead into the check's cache at a time (under its scan limit).
constexpr int32_t kReadAheadPages = 64;
// Pages no structure reaches, read raw at a time.
constexpr int32_t kRawRunPages = 32;
// Entries of one index reported one by one; the rest are counted.
constexpr int32_t kFaultsPerStructure = 8;

std::string TypeText(uint16_t type) {
  try {
    return std::string(GetPageTypeName(type));
  } catch (const qv::Exception&) {
    return "unknown type " + std::to_string(type);
  }
}

// The head of a page no structure reaches: one a commit freed (the freed
// counter, with or without the signature) or one never written (zeros).
bool IsFreePageHead(const uint8_t* head) {
  const uint32_t counter = VLMGetU32LE(head + kVLMPageWriteCounterOffset);
  if (counter == kVLMFreedPageCounter)
    return std::memcmp(head, "VLMP", 4) == 0 || VLMGetU32LE(head + kVLMPageMagicOffset) == 0;
  return counter == 0 && VLMGetU32LE(head + kVLMPageMagicOffset) == 0;
}

uint64_t RecordKey(uint32_t page, uint16_t slot) { return (static_cast<uint64_t>(page) << 16) | slot; }

uint64_t HashBytes(const uint8_t* bytes, int32_t count) {
  uint64_t hash = 14695981039346656037ull;
  for (int32_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

}  // namespace

// The check of one file (friend of the disk database and table data, whose
// structures it opens without sessions or cursors).
class TVLMDiskFileCheck {
public:
  explicit TVLMDiskFileCheck(bool firstOnly) : FirstOnly_(firstOnly) {}

  std::vector<std::string> Run(const std::string& fileName, const TVLMPasswordRecord& password);

private:
  // Thrown to end the check at its first problem (FirstOnly_).
  struct Stop {};

  // One leaf entry of a tree walk: the page and the entry's index.
  using LeafVisit = std::function<void(TVLMBTreePage& page, int32_t entry)>;

  // What the walk of one table keeps about a record index.
  struct IndexCheck {
    std::string Name;
    TVLMBTreeRecordIndex* Index = nullptr;
    // The hash of the key every record makes, in record order.
    std::vector<uint64_t> Keys;
    std::vector<uint8_t> Seen;
  };

  void Problem(std::string text) {
    Problems_.push_back(std::move(text));
    if (FirstOnly_) throw Stop{};
  }
  void PageProblem(int32_t pageNo, int32_t owner, const std::string& text) {
    Problem(qv::format("Page %d (%s): %s", {pageNo, Owners_[static_cast<size_t>(owner)], text}));
  }
  int32_t Owner(std::string name) {
    Owners_.push_back(std::move(name));
    return static_cast<int32_t>(Owners_.size() - 1);
  }

  void Open(const std::string& fileName, const TVLMPasswordRecord& password);
  void CheckHeader();
  void CheckSystemStructures();
  void CheckTable(const TVLMTableListEntry& entry);
  // The table's record-page index and record pages; records: the record
  // IDs (RecordKey) in ascending order, the keys of every index made. False
  // when a page of them is not whole (the records are then not all known).
  bool CheckRecords(TVLMDiskTableData& table, const std::string& name, std::vector<IndexCheck>& indexes,
                    std::vector<uint64_t>& records);
  // The small-BLOB page index and pages (SmallBlobs_), then each record's
  // values: a small one named once, a large one a chain of its own.
  void CheckSmallBlobPages(TVLMDiskTableData& table, const std::string& name);
  void CheckRecordBlobs(TVLMDiskTableData& table, const std::string& name, const uint8_t* record,
                        const TVLMRecordID& id);
  // The index's tree lists every one of records once, under its key; with
  // recordsKnown false only the tree itself is checked.
  void CheckIndex(IndexCheck& index, const std::vector<uint64_t>& records, bool recordsKnown);
  void CheckObjectID(const std::string& what, int64_t id);
  void CheckPagesAndMaps();

  // The page claimed for owner: inside the file, no map page, reached by no
  // other structure before. False (reported) otherwise.
  bool Claim(int32_t pageNo, int32_t owner);
  // Claim, then the page read through the cache and its head checked; the
  // page is held in held. nullptr (reported) when any of it fails.
  TVLMPage* TakePage(int32_t pageNo, int32_t owner, uint16_t type, int32_t tableID, TVLMHeldPage& held);
  // The head of a page a structure reaches: signature, a live write
  // counter, type, owning table (tableID >= 0) and, for an encrypted data
  // area, the file's cipher. False (reported) when one is wrong.
  bool CheckHead(int32_t pageNo, int32_t owner, const uint8_t* head, uint16_t type, int32_t tableID,
                 bool encrypted);
  // The chain of a transacted internal file from first, every page of type
  // type, long enough for its head. False (reported) when it is not whole.
  bool WalkTransactedFile(int32_t first, uint16_t type, int32_t owner);
  // The chain of a direct internal file, read raw as its users read it;
  // size: the bytes its head counts. False (reported) when it is not whole.
  bool WalkDirectFile(int32_t first, uint16_t type, int32_t owner, int32_t& size);
  // An internal file's chain from first of count pages holds the needed
  // pages its head counts bytes for. False (reported) when it is shorter.
  bool ChainLongEnough(int32_t first, int32_t owner, int64_t count, int64_t needed) {
    if (count >= needed) return true;
    PageProblem(first, owner,
                qv::format("its chain ends after %d pages; its head counts bytes for %d",
                           {static_cast<long long>(count), static_cast<long long>(needed)}));
    return false;
  }
  // Every page of the tree at root, level by level, claimed for owner and
  // checked (heads, levels, level chains, key order, separators); visit
  // for every leaf entry in key order. False (reported) when the tree is
  // not whole; visit may have been called for a part of it.
  bool WalkTree(int32_t root, TVLMBTreeKeyRef& keyRef, int32_t owner, const LeafVisit& visit);

  // A raw read of pages [first, first + count) into buffer, and of the
  // first bytes of one page; false when the file does not hold them.
  bool ReadRaw(int32_t first, int32_t count, uint8_t* buffer);
  bool ReadRawHead(int32_t pageNo, uint8_t* buffer, int32_t bytes) {
    return Pages_->DatabaseFile.ReadBuffer(buffer, Pages_->PagePosition(pageNo), bytes);
  }

  bool FirstOnly_;
  std::vector<std::string> Problems_;
  std::vector<std::string> Owners_;
  std::string FileName_;
  std::unique_ptr<TVLMDiskDatabaseData> Database_;
  TVLMDiskPageManager* Pages_ = nullptr;
  bool Locked_ = false;
  int32_t PageCount_ = 0;
  // Per page: the owner that reached it (-1 none).
  std::vector<int32_t> Reached_;
  uint32_t NextObjectID_ = 0;
  int32_t MaxSessions_ = -1;
  // The open found the file needs repair (its reasons are the header's).
  bool NeedsRepair_ = false;
  // Of the table being checked: its counters' RecordCount (-1 not known),
  // the values of its small-BLOB pages and how many records name each, and
  // whether every such page was whole.
  int64_t RecordCount_ = -1;
  struct SmallBlob {
    uint16_t ID;
    int32_t Uses;
  };
  std::map<int32_t, std::vector<SmallBlob>> SmallBlobs_;
  bool SmallBlobsKnown_ = false;
};

// ------------------------------------------------------------------ running

std::vector<std::string> TVLMDiskFileCheck::Run(const std::string& fileName, const TVLMPasswordRecord& password) {
  FileName_ = fileName;
  Database_ = std::make_unique<TVLMDiskDatabaseData>();
  Database_->DatabaseFileName = fileName;
  Database_->ReadOnly = true;
  Database_->PasswordRecord = password;
  {
    std::lock_guard guard(Database_->CriticalSection());
    // The lock and the file go on every path; the page manager closes
    // without writing (it was opened read-only).
    auto close = qv::ScopeExit([&] {
      if (Locked_) Pages_->UnlockDatabase();
      Locked_ = false;
    });
    try {
      Open(fileName, password);
      // Every page is taken once, as a pass takes them: the cache keeps
      // the pages read ahead until they are taken, and nothing after.
      TVLMScanReads pass(Pages_);
      if (Pages_ != nullptr) {
        CheckHeader();
        CheckSystemStructures();
        CheckPagesAndMaps();
      }
    } catch (const Stop&) {
    }
  }
  Database_.reset();
  return std::move(Problems_);
}

void TVLMDiskFileCheck::Open(const std::string& fileName, const TVLMPasswordRecord& password) {
  TVLMDiskDatabaseData& database = *Database_;
  database.PageManager_ = std::make_unique<TVLMDiskPageManager>();
  TVLMDiskPageManager& pages = *database.PageManager_;
  pages.UseCriticalSection(database.CriticalSection());
  database.PageManager = &pages;
  bool multiUser = false, readOnly = true;
  try {
    pages.OpenDatabase(fileName, password, multiUser, false, NeedsRepair_, readOnly);
  } catch (const EVLMException& e) {
    // A wrong password and a file that cannot be opened are the caller's
    // errors; anything else the open refuses is what the file holds.
    if (e.NativeError == 30445 || e.NativeError == 30364) throw;
    database.PageManager = nullptr;
    database.PageManager_.reset();
    Problem(qv::format("The file cannot be opened: %s", {std::string(e.what())}));
    return;
  }
  Pages_ = &pages;
  // Commits of every other handle wait from here to the end of the check.
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs, [&] { return pages.LockDatabase(); }))
    throw EVLMException(10902, "Cannot check database file '%s': the database is locked", {fileName});
  Locked_ = true;
  pages.ReadHeader();
  PageCount_ = pages.PageCount;
  Reached_.assign(static_cast<size_t>(std::max(PageCount_, 0)), -1);
  // A small cache: every page is taken once and released at once.
  pages.CacheLimit = 4 * kReadAheadPages;
  pages.ScanLimit = 2 * kReadAheadPages;
}

bool TVLMDiskFileCheck::ReadRaw(int32_t first, int32_t count, uint8_t* buffer) {
  return Pages_->DatabaseFile.ReadBuffer(buffer, Pages_->PagePosition(first), count * Pages_->PageSize);
}

// -------------------------------------------------------------------- header

void TVLMDiskFileCheck::CheckHeader() {
  TVLMDiskPageManager& pages = *Pages_;
  const TVLMDatabaseHeader& header = pages.Header;
  if (header.CommitState != kVLMCommitClean)
    Problem(qv::format("Header: CommitState is %d, not 2: a commit was cut short and no journal beside the file "
                       "takes it back. The database needs repair",
                       {static_cast<int>(header.CommitState)}));
  if (!(header.Version > kVLMOldestCurrentVersion))
    Problem("Header: the file is of an old format and needs conversion");
  const int64_t size = pages.DatabaseFile.GetSize();
  const int64_t needed = pages.FirstPagePosition + static_cast<int64_t>(header.PageCount) * pages.PageSize;
  if (size < needed)
    Problem(qv::format("Header: PageCount is %u, which needs %d bytes; the file holds %d",
                       {header.PageCount, static_cast<long long>(needed), static_cast<long long>(size)}));
  else if (!pages.ReadsThroughPreImages() && pages.HoldsPagesBeyondCount())
    Problem(qv::format("Header: PageCount is %u, and the file holds written pages beyond them", {header.PageCount}));
  if (header.LastUsedPage < -1 || static_cast<int64_t>(header.LastUsedPage) >= static_cast<int64_t>(header.PageCount))
    Problem(qv::format("Header: LastUsedPage is %d, outside the %u pages of the file",
                       {header.LastUsedPage, header.PageCount}));
  if (header.PageCount > static_cast<uint32_t>(INT32_MAX)) PageCount_ = 0;
  if (NeedsRepair_ && Problems_.empty()) Problem("Header: the file needs repair");
  uint8_t bytes[kVLMNextObjectIDSize];
  if (!pages.DatabaseFile.ReadBuffer(bytes, pages.NextObjectIDPosition, kVLMNextObjectIDSize)) {
    Problem("Header: NextObjectID cannot be read");
    NextObjectID_ = UINT32_MAX;
  } else {
    NextObjectID_ = VLMGetU32LE(bytes);
  }
}

void TVLMDiskFileCheck::CheckObjectID(const std::string& what, int64_t id) {
  if (id > static_cast<int64_t>(NextObjectID_))
    Problem(qv::format("%s is %d, above NextObjectID %u", {what, static_cast<long long>(id), NextObjectID_}));
}

// --------------------------------------------------------------- page claims

bool TVLMDiskFileCheck::Claim(int32_t pageNo, int32_t owner) {
  if (pageNo < 0 || pageNo >= PageCount_) {
    Problem(qv::format("%s names page %d, outside the %d pages of the file",
                       {Owners_[static_cast<size_t>(owner)], pageNo, PageCount_}));
    return false;
  }
  if (Pages_->FreeSpace->IsSystemPage(pageNo)) {
    PageProblem(pageNo, owner, "is a free-space map page");
    return false;
  }
  int32_t& reached = Reached_[static_cast<size_t>(pageNo)];
  if (reached >= 0) {
    PageProblem(pageNo, owner, "is reached already by " + Owners_[static_cast<size_t>(reached)]);
    return false;
  }
  reached = owner;
  return true;
}

bool TVLMDiskFileCheck::CheckHead(int32_t pageNo, int32_t owner, const uint8_t* head, uint16_t type, int32_t tableID,
                                  bool encrypted) {
  if (std::memcmp(head + kVLMPageMagicOffset, "VLMP", 4) != 0) {
    PageProblem(pageNo, owner, "lacks the page signature");
    return false;
  }
  const uint32_t counter = VLMGetU32LE(head + kVLMPageWriteCounterOffset);
  if (counter > kLastLiveCounter) {
    PageProblem(pageNo, owner,
                counter == kVLMFreedPageCounter ? "is a freed page"
                                                : qv::format("holds write counter %u, which no write gives", {counter}));
    return false;
  }
  const uint16_t found = VLMGetU16LE(head + kVLMPageTypeOffset);
  if (found != type) {
    PageProblem(pageNo, owner, qv::format("is of type '%s', expected '%s'", {TypeText(found), TypeText(type)}));
    return false;
  }
  const int32_t ownerTable = VLMGetI32LE(head + kVLMPageOwnerTableOffset);
  if (tableID >= 0 && ownerTable != tableID) {
    PageProblem(pageNo, owner, qv::format("names table %d as its owner, expected %d", {ownerTable, tableID}));
    return false;
  }
  if (encrypted && head[kVLMPageCipherIdOffset] != Pages_->PasswordRecord.CipherId) {
    PageProblem(pageNo, owner,
                qv::format("holds cipher byte %d, the file's cipher is %d",
                           {static_cast<int>(head[kVLMPageCipherIdOffset]),
                            static_cast<int>(Pages_->PasswordRecord.CipherId)}));
    return false;
  }
  return true;
}

TVLMPage* TVLMDiskFileCheck::TakePage(int32_t pageNo, int32_t owner, uint16_t type, int32_t tableID,
                                      TVLMHeldPage& held) {
  held.Release();
  if (!Claim(pageNo, owner)) return nullptr;
  try {
    held.Reset(Pages_, Pages_->GetPage(kSession, pageNo, true, kVLMAnyPageType));
  } catch (const qv::Exception& e) {
    // Tell a damaged head from damaged data where the head says which.
    uint8_t head[kVLMPageHeaderSize];
    if (ReadRawHead(pageNo, head, kVLMPageHeaderSize) &&
        !CheckHead(pageNo, owner, head, type, tableID, Pages_->IsEncrypted()))
      return nullptr;
    const auto* engine = dynamic_cast<const EVLMException*>(&e);
    PageProblem(pageNo, owner,
                engine != nullptr && engine->NativeError == 30446 ? std::string("its data fails its CRC check")
                                                                   : "cannot be read: " + std::string(e.what()));
    return nullptr;
  }
  if (!CheckHead(pageNo, owner, held->Header(), type, tableID, Pages_->IsEncrypted())) {
    held.Release();
    return nullptr;
  }
  return held.Get();
}

// ------------------------------------------------------------ internal files

bool TVLMDiskFileCheck::WalkTransactedFile(int32_t first, uint16_t type, int32_t owner) {
  const int64_t d = Pages_->PageDataSize;
  int64_t needed = 1, count = 0;
  TVLMHeldPage held;
  for (int32_t pageNo = first; pageNo != -1; ++count) {
    TVLMPage* page = TakePage(pageNo, owner, type, -1, held);
    if (page == nullptr) return false;
    if (count == 0) {
      const uint8_t* data = page->Data();
      const uint32_t stored = VLMGetU32LE(data + 1);
      if (data[0] != kVLMInternalFileHeadSize) {
        PageProblem(pageNo, owner, qv::format("its file head says length %d, not 10", {static_cast<int>(data[0])}));
        return false;
      }
      if (data[9] == 0 && VLMGetU32LE(data + 5) != stored) {
        PageProblem(pageNo, owner,
                    qv::format("its file head counts %u stored bytes and %u plain ones, without compression",
                               {stored, VLMGetU32LE(data + 5)}));
        return false;
      }
      needed = (static_cast<int64_t>(stored) + kVLMInternalFileHeadSize + d - 1) / d;
    }
    const int32_t next = page->GetNextPage();
    if (next < -1) {
      PageProblem(pageNo, owner, qv::format("links to page %d", {next}));
      return false;
    }
    pageNo = next;
  }
  return ChainLongEnough(first, owner, count, needed);
}

bool TVLMDiskFileCheck::WalkDirectFile(int32_t first, uint16_t type, int32_t owner, int32_t& size) {
  const int64_t d = Pages_->PageDataSize;
  int64_t needed = 1, count = 0;
  uint8_t head[kVLMPageHeaderSize + kVLMInternalFileHeadSize];
  for (int32_t pageNo = first; pageNo != -1; ++count) {
    if (!Claim(pageNo, owner)) return false;
    // Direct files are read and written raw, never encrypted.
    if (!ReadRawHead(pageNo, head, sizeof head)) {
      PageProblem(pageNo, owner, "cannot be read");
      return false;
    }
    if (!CheckHead(pageNo, owner, head, type, -1, false)) return false;
    if (count == 0) {
      size = VLMGetI32LE(head + kVLMPageHeaderSize + 1);
      if (size < 0 || head[kVLMPageHeaderSize] != kVLMInternalFileHeadSize) {
        PageProblem(pageNo, owner, qv::format("its file head is damaged (length %d, size %d)",
                                              {static_cast<int>(head[kVLMPageHeaderSize]), size}));
        return false;
      }
      needed = (static_cast<int64_t>(size) + kVLMInternalFileHeadSize + d - 1) / d;
    }
    const int32_t next = VLMGetI32LE(head + kVLMPageNextOffset);
    if (next < -1 || (next != -1 && count + 1 >= needed)) {
      PageProblem(pageNo, owner, qv::format("links to page %d; the file's head counts %d pages",
                                            {next, static_cast<long long>(needed)}));
      return false;
    }
    pageNo = next;
  }
  return ChainLongEnough(first, owner, count, needed);
}

// ------------------------------------------------------------------- B-trees

bool TVLMDiskFileCheck::WalkTree(int32_t root, TVLMBTreeKeyRef& keyRef, int32_t owner, const LeafVisit& visit) {
  // A page to read on the next level, with the separators its parent gives
  // it (empty: no bound on that side).
  struct Pending {
    int32_t PageNo;
    std::vector<uint8_t> Low;
    std::vector<uint8_t> High;
  };
  std::vector<Pending> level(1);
  level[0].PageNo = root;
  std::vector<uint8_t> lastKey(static_cast<size_t>(std::max(keyRef.KeySize, 1)));
  std::vector<uint8_t> lastValue(static_cast<size_t>(std::max<int32_t>(keyRef.ValueSize, 1)));
  bool hasLast = false;
  const bool prefixParts = keyRef.HasPrefixParts();
  // Keys compare as the tree's own integrity check compares them: prefix
  // ties are not settled from the records.
  auto compare = [&](const uint8_t* a, const uint8_t* b) {
    return keyRef.Compare(a, b, nullptr, nullptr, kSession, false);
  };
  auto keyOf = [&](const TVLMBTreePage& page, int32_t e) {
    return std::vector<uint8_t>(page.EntryKey(e), page.EntryKey(e) + keyRef.KeySize);
  };
  for (int32_t depth = 0; !level.empty(); ++depth) {
    if (depth >= TVLMKeyPath::kMaxDepth) {
      PageProblem(level[0].PageNo, owner, "lies deeper than any tree of the file grows");
      return false;
    }
    std::vector<Pending> next;
    int leafLevel = -1;
    for (size_t i = 0; i < level.size(); ++i) {
      const Pending& here = level[i];
      const int32_t pageNo = here.PageNo;
      TVLMHeldPage held;
      if (TakePage(pageNo, owner, kVLMPageTableIndex, -1, held) == nullptr) return false;
      TVLMBTreePagePtr page;
      try {
        page = TVLMBTreePage::Load(Pages_, &keyRef, kSession, pageNo, TVLMBTreePlace::AtLevel(depth));
      } catch (const EVLMException& e) {
        PageProblem(pageNo, owner, e.what());
        return false;
      }
      const bool leaf = page->GetIsLeaf();
      if (leafLevel < 0) leafLevel = leaf ? 1 : 0;
      if ((leafLevel == 1) != leaf) {
        PageProblem(pageNo, owner, leaf ? "is a leaf on a level of inner pages" : "is an inner page on a level of leaves");
        return false;
      }
      const int32_t prev = i == 0 ? -1 : level[i - 1].PageNo;
      const int32_t following = i + 1 < level.size() ? level[i + 1].PageNo : -1;
      if (page->GetPrevPageNo() != prev || page->GetNextPageNo() != following) {
        PageProblem(pageNo, owner,
                    qv::format("links to pages %d and %d beside it on its level, which holds %d and %d there",
                               {page->GetPrevPageNo(), page->GetNextPageNo(), prev, following}));
        return false;
      }
      const int32_t n = page->GetEntryCount();
      if (n == 0 && (depth > 0 || !leaf)) {
        PageProblem(pageNo, owner, "holds no entries");
        return false;
      }
      for (int32_t e = 0; e < n; ++e) {
        // Entry 0 of an inner page is never compared: its key means nothing.
        if (!leaf && e == 0) continue;
        const uint8_t* key = page->EntryKey(e);
        bool ordered = true;
        if (!leaf) {
          ordered = e + 1 >= n || compare(page->EntryKey(e + 1), key) >= 0;
        } else if (hasLast) {
          const int32_t r = compare(key, lastKey.data());
          ordered = r > 0 || (r == 0 && (prefixParts || TVLMBTreeKeyRef::CompareValues(
                                                            page->EntryValue(e), lastValue.data(), keyRef.ValueSize) > 0));
        }
        if (!ordered) {
          PageProblem(pageNo, owner, qv::format("entry %d is out of key order", {e}));
          return false;
        }
        if ((!here.Low.empty() && compare(key, here.Low.data()) < 0) ||
            (!here.High.empty() && compare(key, here.High.data()) > 0)) {
          PageProblem(pageNo, owner, qv::format("entry %d lies outside the keys its parent gives the page", {e}));
          return false;
        }
        if (leaf) {
          std::memcpy(lastKey.data(), key, static_cast<size_t>(keyRef.KeySize));
          std::memcpy(lastValue.data(), page->EntryValue(e), keyRef.ValueSize);
          hasLast = true;
        }
      }
      if (leaf) {
        for (int32_t e = 0; e < n; ++e) visit(*page, e);
        continue;
      }
      for (int32_t e = 0; e < n; ++e)
        next.push_back({page->ChildPageNo(e), e == 0 ? here.Low : keyOf(*page, e),
                        e + 1 == n ? here.High : keyOf(*page, e + 1)});
    }
    level.swap(next);
  }
  return true;
}

// --------------------------------------------------------- system structures

void TVLMDiskFileCheck::CheckSystemStructures() {
  const int32_t directoryOwner = Owner("system directory");
  if (!WalkTransactedFile(kVLMSystemDirectoryPage, kVLMPageFileSystemDirectory, directoryOwner)) return;
  TVLMSystemDirectory directory(Pages_);
  try {
    directory.Load();
  } catch (const qv::Exception& e) {
    PageProblem(kVLMSystemDirectoryPage, directoryOwner, "cannot be read: " + std::string(e.what()));
    return;
  }
  const int32_t sessionsPage = directory.Find(TVLMDirectoryKind::ActiveSessions);
  if (sessionsPage < 0) {
    Problem("The system directory names no active-sessions file");
  } else {
    int32_t size = 0;
    if (WalkDirectFile(sessionsPage, kVLMPageActiveSessionList, Owner("active-sessions file"), size))
      MaxSessions_ = size;
  }
  const int32_t listPage = directory.Find(TVLMDirectoryKind::TableList);
  if (listPage < 0) {
    Problem("The system directory names no table list");
    return;
  }
  const int32_t listOwner = Owner("table list");
  if (!WalkTransactedFile(listPage, kVLMPageTableList, listOwner)) return;
  TVLMTableListFile list(Pages_);
  try {
    list.OpenFile(listPage);
    list.Load();
    const uint32_t size = list.File.GetLogicalSize(kSession);
    if (size % kVLMTableListEntrySize != 0) {
      PageProblem(listPage, listOwner,
                  qv::format("holds %u bytes, no whole number of %d-byte entries", {size, kVLMTableListEntrySize}));
      return;
    }
  } catch (const qv::Exception& e) {
    PageProblem(listPage, listOwner, "cannot be read: " + std::string(e.what()));
    return;
  }
  for (size_t i = 0; i < list.Entries.size(); ++i)
    if (list.IndexOfTable(list.Entries[i].Name) != static_cast<int32_t>(i))
      Problem(qv::format("Table list: two tables are named '%s'", {list.Entries[i].Name}));
  for (const TVLMTableListEntry& entry : list.Entries) {
    CheckObjectID("TableID of '" + entry.Name + "'", entry.TableID);
    try {
      CheckTable(entry);
    } catch (const qv::Exception& e) {
      Problem(qv::format("Table '%s' cannot be checked: %s", {entry.Name, std::string(e.what())}));
    }
  }
}

// -------------------------------------------------------------------- tables

void TVLMDiskFileCheck::CheckTable(const TVLMTableListEntry& entry) {
  const std::string& name = entry.Name;
  const auto tableID = static_cast<int32_t>(entry.TableID);
  const auto metaPage = static_cast<int32_t>(entry.MetaDataPage);
  const auto countersPage = static_cast<int32_t>(entry.MostUpdatedPage);
  const int32_t locksOwner = Owner("lock file of table '" + name + "'");
  int32_t lockSize = 0;
  if (WalkDirectFile(static_cast<int32_t>(entry.LocksPage), kVLMPageTableLocks, locksOwner, lockSize) &&
      MaxSessions_ >= 0 && lockSize != MaxSessions_ * kVLMTableLocksBytesPerSession)
    PageProblem(static_cast<int32_t>(entry.LocksPage), locksOwner,
                qv::format("its head counts %d bytes; the file's %d sessions take %d", {lockSize, MaxSessions_,
                                                                                       MaxSessions_ * kVLMTableLocksBytesPerSession}));
  const int32_t metaOwner = Owner("definitions of table '" + name + "'");
  const bool metaWhole = WalkTransactedFile(metaPage, kVLMPageTableMetaData, metaOwner);
  const int32_t countersOwner = Owner("counters of table '" + name + "'");
  const bool countersWhole = WalkTransactedFile(countersPage, kVLMPageTableMostUpdated, countersOwner);
  // Without its definitions nothing else of the table can be found.
  if (!metaWhole) return;

  TVLMDiskTableData table(Database_.get());
  table.TableName = name;
  table.TableID_ = tableID;
  table.MetaDataFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(Pages_, kVLMPageTableMetaData);
  table.MetaDataFile_->OpenFile(metaPage);
  table.MostUpdatedFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(Pages_, kVLMPageTableMostUpdated);
  table.MostUpdatedFile_->OpenFile(countersPage);
  table.Epoch_ = Pages_->PagesCache.NewEpoch();
  try {
    table.CreateManagers();
    table.LoadMetaData(kSession, metaPage);
    const TVLMFieldDefs& fields = *table.FieldManager->FieldDefs;
    table.DiskRecordManager()->Init(table.GetRecordBufferSize() + kVLMBookmarkAreaSize, fields.GetStoredRecordSize(),
                                    fields.GetCount());
  } catch (const qv::Exception& e) {
    PageProblem(metaPage, metaOwner, "cannot be read as the table's definitions: " + std::string(e.what()));
    return;
  }
  const TVLMFieldDefs& fields = *table.FieldManager->FieldDefs;
  for (int32_t i = 0; i < fields.GetCount(); ++i)
    CheckObjectID("ObjectID of field '" + name + "." + fields.GetFieldDef(i)->Name + "'",
                  fields.GetFieldDef(i)->ObjectID);
  const TVLMConstraintDefs& constraints = *table.ConstraintManager->ConstraintDefs;
  for (int32_t i = 0; i < constraints.GetCount(); ++i)
    CheckObjectID("ObjectID of constraint '" + name + "." + constraints.GetConstraintDef(i)->Name + "'",
                  constraints.GetConstraintDef(i)->ObjectID);
  RecordCount_ = -1;
  if (countersWhole) {
    try {
      table.LoadMostUpdated(kSession);
      RecordCount_ = table.RecordManager->RecordCount;
    } catch (const qv::Exception& e) {
      PageProblem(countersPage, countersOwner, "cannot be read as the table's counters: " + std::string(e.what()));
    }
  }

  std::vector<IndexCheck> indexes;
  TVLMBaseIndexManager& manager = *table.IndexManager;
  for (int32_t i = 0; i < manager.IndexDefs->GetCount(); ++i) {
    const TVLMIndexDef& def = *manager.IndexDefs->GetIndexDef(i);
    if (def.Temporary) continue;
    const std::string indexName = name + "." + def.Name;
    CheckObjectID("ObjectID of index '" + indexName + "'", def.ObjectID);
    try {
      auto* index = static_cast<TVLMBTreeRecordIndex*>(manager.GetIndex(def.ObjectID));
      indexes.push_back({indexName, index, {}, {}});
    } catch (const qv::Exception& e) {
      Problem("Index '" + indexName + "' cannot be opened: " + std::string(e.what()));
    }
  }
  SmallBlobs_.clear();
  SmallBlobsKnown_ = false;
  if (table.FieldManager->HasBlobFields()) CheckSmallBlobPages(table, name);
  std::vector<uint64_t> records;
  const bool recordsKnown = CheckRecords(table, name, indexes, records);
  for (IndexCheck& index : indexes) CheckIndex(index, records, recordsKnown);
  if (!recordsKnown) return;
  for (const auto& [pageNo, entries] : SmallBlobs_)
    for (const SmallBlob& blob : entries)
      if (blob.Uses != 1)
        Problem(qv::format("Page %d (small BLOB pages of table '%s'): value %d is named by %d records",
                           {pageNo, name, static_cast<int>(blob.ID), blob.Uses}));
}

// -------------------------------------------------------------------- records

bool TVLMDiskFileCheck::CheckRecords(TVLMDiskTableData& table, const std::string& name,
                                     std::vector<IndexCheck>& indexes, std::vector<uint64_t>& records) {
  TVLMDiskRecordManager& manager = *table.DiskRecordManager();
  const int32_t indexOwner = Owner("page index of table '" + name + "'");
  std::vector<std::pair<int32_t, int32_t>> listed;
  if (!WalkTree(manager.PageIndex->RootPageNo, *manager.PageIndex->KeyRef, indexOwner,
                [&](TVLMBTreePage& page, int32_t e) {
                  listed.emplace_back(VLMGetI32LE(page.EntryKey(e)), VLMGetU16LE(page.EntryValue(e)));
                }))
    return false;
  const int32_t perPage = manager.RecordsPerPage;
  const int32_t recordSize = manager.StoredRecordSize;
  const int32_t bitmapBytes = (perPage + 7) / 8;
  if (perPage <= 0 || static_cast<int64_t>(perPage) * recordSize + bitmapBytes > Pages_->PageDataSize) {
    Problem(qv::format("Table '%s': %d records of %d bytes do not fit a page", {name, perPage, recordSize}));
    return false;
  }
  int64_t total = 0;
  for (const auto& [pageNo, count] : listed) total += count;
  if (RecordCount_ >= 0 && total != RecordCount_)
    Problem(qv::format("Table '%s': its page index lists %d records, its counters say %d",
                       {name, static_cast<long long>(total), static_cast<long long>(RecordCount_)}));
  const int32_t pagesOwner = Owner("record pages of table '" + name + "'");
  const TVLMBaseFieldManager& fields = *table.FieldManager;
  const bool blobs = fields.HasBlobFields();
  std::vector<uint8_t> buffer(static_cast<size_t>(manager.RecordBufferSize) + 8, 0);
  std::vector<std::vector<uint8_t>> keys;
  for (IndexCheck& index : indexes) {
    keys.emplace_back(static_cast<size_t>(std::max(index.Index->KeyRef.KeySize, 1)), 0);
    index.Keys.reserve(static_cast<size_t>(total));
  }
  records.reserve(static_cast<size_t>(total));
  std::vector<int32_t> ahead;
  bool whole = true;
  for (size_t p = 0; p < listed.size(); ++p) {
    // Runs of adjacent pages to come are read into the cache with one read
    // each; a run never spans pages of other structures, which would be
    // read twice.
    if (p % kReadAheadPages == 0) {
      auto flush = [&] {
        if (!ahead.empty()) Pages_->ReadAhead(kSession, ahead.data(), static_cast<int32_t>(ahead.size()));
        ahead.clear();
      };
      for (size_t q = p; q < listed.size() && q < p + kReadAheadPages; ++q) {
        const int32_t pageNo = listed[q].first;
        if (pageNo < 0 || pageNo >= PageCount_ || Pages_->FreeSpace->IsSystemPage(pageNo)) continue;
        if (!ahead.empty() && pageNo != ahead.back() + 1) flush();
        ahead.push_back(pageNo);
      }
      flush();
    }
    const auto [pageNo, count] = listed[p];
    TVLMHeldPage held;
    TVLMPage* page = TakePage(pageNo, pagesOwner, kVLMPageTableRecord, table.TableID(), held);
    if (page == nullptr) {
      whole = false;
      continue;
    }
    TVLMSmallRecordPage view(page, perPage, recordSize);
    int32_t set = 0;
    for (int32_t i = 0; i < bitmapBytes; ++i) set += std::popcount(static_cast<uint32_t>(page->Data()[i]));
    int32_t slots = 0;
    for (int32_t slot = 0; slot < perPage; ++slot) slots += view.IsSet(slot) ? 1 : 0;
    if (slots != set) {
      PageProblem(pageNo, pagesOwner, qv::format("its slot bitmap marks slots beyond its %d", {perPage}));
      whole = false;
      continue;
    }
    if (slots != count) {
      PageProblem(pageNo, pagesOwner, qv::format("holds %d records, the table's page index lists %d", {slots, count}));
      whole = false;
      continue;
    }
    for (int32_t slot = 0; slot < perPage; ++slot) {
      if (!view.IsSet(slot)) continue;
      const uint8_t* stored = view.RecordData(slot);
      if (!fields.StoredTextsEnd(stored)) {
        PageProblem(pageNo, pagesOwner, qv::format("record %d holds a text that does not end in its field", {slot}));
        whole = false;
        continue;
      }
      fields.StoredRecordToBuffer(stored, buffer.data());
      const TVLMRecordID id{static_cast<uint32_t>(pageNo), static_cast<uint16_t>(slot)};
      records.push_back(RecordKey(id.Page, id.Row));
      for (size_t i = 0; i < indexes.size(); ++i) {
        TVLMRecordKeyRef& keyRef = indexes[i].Index->KeyRef;
        keyRef.MakeKey(buffer.data(), keys[i].data());
        indexes[i].Keys.push_back(HashBytes(keys[i].data(), keyRef.KeySize));
      }
      if (blobs) CheckRecordBlobs(table, name, buffer.data(), id);
    }
  }
  // Listed pages ascend strictly (the page index's key order), so the
  // records do too.
  return whole;
}

// ---------------------------------------------------------------------- BLOBs

void TVLMDiskFileCheck::CheckSmallBlobPages(TVLMDiskTableData& table, const std::string& name) {
  TVLMDiskBlobManager& blobs = *table.BlobManager();
  const int32_t indexOwner = Owner("small-BLOB page index of table '" + name + "'");
  std::vector<std::pair<int32_t, int32_t>> listed;
  if (!WalkTree(blobs.BlobPageIndex->RootPageNo, *blobs.BlobPageIndex->KeyRef, indexOwner,
                [&](TVLMBTreePage& page, int32_t e) {
                  listed.emplace_back(VLMGetI32LE(page.EntryKey(e)), VLMGetU16LE(page.EntryValue(e)));
                }))
    return;
  const int32_t pagesOwner = Owner("small BLOB pages of table '" + name + "'");
  bool whole = true;
  for (const auto& [pageNo, used] : listed) {
    TVLMHeldPage held;
    TVLMPage* page = TakePage(pageNo, pagesOwner, kVLMPageTableBlob, -1, held);
    if (page == nullptr) {
      whole = false;
      continue;
    }
    try {
      TVLMSmallBlobPage view(page);
      const int32_t bytes = view.EntryAt(view.GetCount()) - kVLMBlobPageCountSize;
      if (view.GetCount() == 0 || bytes != used) {
        PageProblem(pageNo, pagesOwner,
                    qv::format("holds %d values in %d bytes, the table's BLOB page index lists %d bytes",
                               {view.GetCount(), bytes, used}));
        whole = false;
        continue;
      }
      std::vector<SmallBlob>& entries = SmallBlobs_[pageNo];
      for (int32_t i = 0; i < view.GetCount(); ++i) {
        const uint16_t id = VLMGetU16LE(page->Data() + view.EntryAt(i));
        for (const SmallBlob& other : entries)
          if (other.ID == id) {
            PageProblem(pageNo, pagesOwner, qv::format("holds value %d twice", {static_cast<int>(id)}));
            whole = false;
          }
        entries.push_back({id, 0});
      }
    } catch (const EVLMException& e) {
      PageProblem(pageNo, pagesOwner, e.what());
      whole = false;
    }
  }
  SmallBlobsKnown_ = whole;
}

void TVLMDiskFileCheck::CheckRecordBlobs(TVLMDiskTableData& table, const std::string& name, const uint8_t* record,
                                         const TVLMRecordID& id) {
  TVLMDiskBlobManager& blobs = *table.BlobManager();
  const TVLMFieldDefs& fields = *table.FieldManager->FieldDefs;
  for (int32_t fieldNo = 0; fieldNo < fields.GetCount(); ++fieldNo) {
    if (!VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType) || VLMGetBit(fieldNo, record)) continue;
    TVLMBlobCacheEntry* entry = nullptr;
    TVLMBlobReference reference;
    blobs.GetBlobRef(record, fieldNo, entry, reference);
    if (!reference.IsStored()) continue;
    const std::string value = qv::format("value of field '%s' of record %d on page %d of table '%s'",
                                         {fields.GetFieldDef(fieldNo)->Name, static_cast<int>(id.Row),
                                          static_cast<long long>(id.Page), name});
    try {
      if (!blobs.IsLargeBlob(kSession, reference)) {
        if (!SmallBlobsKnown_) continue;
        auto found = SmallBlobs_.find(static_cast<int32_t>(reference.PageNo));
        SmallBlob* blob = nullptr;
        if (found != SmallBlobs_.end())
          for (SmallBlob& candidate : found->second)
            if (candidate.ID == reference.ID) blob = &candidate;
        if (blob == nullptr)
          Problem(qv::format("The %s names value %d of page %d, which no small BLOB page of the table holds",
                             {value, static_cast<int>(reference.ID), static_cast<long long>(reference.PageNo)}));
        else
          ++blob->Uses;
        continue;
      }
      std::vector<int32_t> dataPages, listPages;
      blobs.LargeBlobPages(kSession, reference.PageNo, dataPages, listPages, false);
      const int32_t owner = Owner("the " + value);
      TVLMHeldPage held;
      for (int32_t pageNo : dataPages)
        if (TakePage(pageNo, owner, kVLMPageTableBlob, -1, held) == nullptr) return;
      for (int32_t pageNo : listPages)
        if (pageNo != dataPages.back() && TakePage(pageNo, owner, kVLMPageTableBlob, -1, held) == nullptr) return;
    } catch (const EVLMException& e) {
      // The value's first page and its list pages, as far as they lead,
      // name the page that is damaged.
      const int32_t owner = Owner("the " + value);
      TVLMHeldPage held;
      int32_t pageNo = static_cast<int32_t>(reference.PageNo);
      TVLMPage* page = TakePage(pageNo, owner, kVLMPageTableBlob, -1, held);
      if (page == nullptr) continue;
      for (int32_t listPage = VLMGetI32LE(page->Data() + kVLMLargeBlobListPageOffset), steps = 0;
           listPage != -1 && listPage != pageNo && steps < PageCount_; ++steps) {
        pageNo = listPage;
        page = TakePage(pageNo, owner, kVLMPageTableBlob, -1, held);
        if (page == nullptr) break;
        listPage = page->GetNextPage();
      }
      if (page != nullptr)
        Problem(qv::format("The %s (page %d) cannot be read: %s",
                           {value, static_cast<long long>(reference.PageNo), std::string(e.what())}));
    }
  }
}

// -------------------------------------------------------------------- indexes

void TVLMDiskFileCheck::CheckIndex(IndexCheck& index, const std::vector<uint64_t>& records, bool recordsKnown) {
  const int32_t owner = Owner("index '" + index.Name + "'");
  index.Seen.assign(records.size(), 0);
  TVLMRecordKeyRef& keyRef = index.Index->KeyRef;
  int32_t faults = 0;
  auto fault = [&](int32_t pageNo, const std::string& text) {
    if (++faults <= kFaultsPerStructure) PageProblem(pageNo, owner, text);
  };
  const bool whole = WalkTree(index.Index->RootPageNo(), keyRef, owner, [&](TVLMBTreePage& page, int32_t e) {
    if (!recordsKnown) return;
    const uint8_t* value = page.EntryValue(e);
    const uint32_t recordPage = VLMGetU32LE(value);
    const uint16_t slot = VLMGetU16LE(value + 4);
    const auto at = std::lower_bound(records.begin(), records.end(), RecordKey(recordPage, slot));
    if (at == records.end() || *at != RecordKey(recordPage, slot)) {
      fault(page.GetPageNo(), qv::format("entry %d names record %d of page %d, which the table does not hold",
                                         {e, static_cast<int>(slot), static_cast<long long>(recordPage)}));
      return;
    }
    const auto i = static_cast<size_t>(at - records.begin());
    if (index.Seen[i] != 0) {
      fault(page.GetPageNo(), qv::format("entry %d names record %d of page %d a second time",
                                         {e, static_cast<int>(slot), static_cast<long long>(recordPage)}));
      return;
    }
    index.Seen[i] = 1;
    if (HashBytes(page.EntryKey(e), keyRef.KeySize) != index.Keys[i])
      fault(page.GetPageNo(), qv::format("entry %d holds another key than record %d of page %d makes",
                                         {e, static_cast<int>(slot), static_cast<long long>(recordPage)}));
  });
  if (!whole || !recordsKnown) return;
  size_t missing = 0, first = 0;
  for (size_t i = 0; i < records.size(); ++i)
    if (index.Seen[i] == 0 && missing++ == 0) first = i;
  if (missing > 0)
    Problem(qv::format("Index '%s' (root page %d) lacks %d of the table's %d records, the first record %d of page %d",
                       {index.Name, index.Index->RootPageNo(), static_cast<long long>(missing),
                        static_cast<long long>(records.size()),
                        static_cast<int>(records[first] & 0xFFFF), static_cast<long long>(records[first] >> 16)}));
  if (faults > kFaultsPerStructure)
    Problem(qv::format("Index '%s': %d more entries disagree with the table",
                       {index.Name, faults - kFaultsPerStructure}));
}

// ------------------------------------------------------- pages and the maps

void TVLMDiskFileCheck::CheckPagesAndMaps() {
  TVLMDatabaseFreeSpaceManager& map = *Pages_->FreeSpace;
  const int32_t pageSize = Pages_->PageSize;
  const int64_t count = PageCount_;
  const int64_t perPFS = map.PagesPerPFS;
  // The data areas of the map pages; empty where the page is not whole.
  auto readMap = [&](int64_t pageNo, uint16_t type, const char* what) {
    std::vector<uint8_t> page(static_cast<size_t>(pageSize));
    if (!ReadRaw(static_cast<int32_t>(pageNo), 1, page.data())) {
      Problem(qv::format("Page %d (%s): cannot be read", {static_cast<long long>(pageNo), what}));
      return std::vector<uint8_t>();
    }
    const uint16_t found = VLMGetU16LE(page.data() + kVLMPageTypeOffset);
    if (std::memcmp(page.data(), "VLMP", 4) != 0 || found != type) {
      Problem(qv::format("Page %d (%s): %s", {static_cast<long long>(pageNo), what,
                                              std::memcmp(page.data(), "VLMP", 4) != 0
                                                  ? std::string("lacks the page signature")
                                                  : "is of type '" + TypeText(found) + "', expected '" +
                                                        TypeText(type) + "'"}));
      return std::vector<uint8_t>();
    }
    page.erase(page.begin(), page.begin() + kVLMPageHeaderSize);
    return page;
  };
  std::vector<std::vector<uint8_t>> pfs;
  for (int64_t k = 0; k * perPFS < count; ++k) pfs.push_back(readMap(k * perPFS, kVLMPagePFS, "free-space map"));
  std::vector<std::vector<uint8_t>> eam;
  for (int64_t j = 0; map.EAMPagePosition(j) < count; ++j)
    eam.push_back(readMap(map.EAMPagePosition(j), kVLMPageEAM, "allocation map"));
  // 1 used, 0 free, -1 not known (its map page is damaged).
  auto used = [&](int64_t pageNo) {
    const std::vector<uint8_t>& bits = pfs[static_cast<size_t>(pageNo / perPFS)];
    if (bits.empty()) return -1;
    const int64_t bit = pageNo % perPFS;
    return (bits[static_cast<size_t>(bit / 8)] >> (bit % 8)) & 1;
  };

  std::vector<uint8_t> run(static_cast<size_t>(pageSize) * kRawRunPages);
  // Read around a cut commit, the pages it took hold what it wrote while
  // the maps of the commit before count them free (the rollback gives them
  // the freed counter): their heads tell nothing.
  const bool headsTell = !Pages_->ReadsThroughPreImages();
  // A structure that cannot be read leaves its pages reached by nothing:
  // a few are named, the rest counted.
  int32_t unreached = 0;
  auto checkUnreached = [&](int32_t pageNo, const uint8_t* head) {
    const int state = used(pageNo);
    if (state < 0 || !headsTell || IsFreePageHead(head)) return;
    if (++unreached > kFaultsPerStructure) return;
    const std::string holds =
        std::memcmp(head, "VLMP", 4) == 0
            ? qv::format("holds a page of type '%s' (write counter %u)",
                         {TypeText(VLMGetU16LE(head + kVLMPageTypeOffset)), VLMGetU32LE(head + kVLMPageWriteCounterOffset)})
            : std::string("holds no page signature and no freed counter");
    const auto mapPage = static_cast<long long>(pageNo / perPFS * perPFS);
    Problem(state == 1 ? qv::format("Page %d: marked used in the free-space map (page %d), %s, and no structure of "
                                    "the file reaches it",
                                    {pageNo, mapPage, holds})
                       : qv::format("Page %d: marked free in the free-space map (page %d), %s instead of a free "
                                    "page's head",
                                    {pageNo, mapPage, holds}));
  };
  for (int64_t p = 0; p < count;) {
    const auto pageNo = static_cast<int32_t>(p);
    if (map.IsSystemPage(pageNo)) {
      ++p;
      continue;
    }
    const int32_t owner = Reached_[static_cast<size_t>(p)];
    if (owner >= 0) {
      if (used(p) == 0)
        PageProblem(pageNo, owner,
                    qv::format("is marked free in the free-space map (page %d)",
                               {static_cast<long long>(p / perPFS * perPFS)}));
      ++p;
      continue;
    }
    // A run of pages no structure reached, read raw in one call.
    int32_t n = 1;
    while (n < kRawRunPages && p + n < count && Reached_[static_cast<size_t>(p + n)] < 0 &&
           !map.IsSystemPage(static_cast<int32_t>(p + n)))
      ++n;
    if (ReadRaw(pageNo, n, run.data())) {
      for (int32_t i = 0; i < n; ++i) checkUnreached(pageNo + i, run.data() + static_cast<size_t>(i) * pageSize);
    } else {
      for (int32_t i = 0; i < n; ++i) {
        if (ReadRaw(pageNo + i, 1, run.data()))
          checkUnreached(pageNo + i, run.data());
        else if (used(pageNo + i) == 1)
          Problem(qv::format("Page %d: marked used in the free-space map and cannot be read", {pageNo + i}));
      }
    }
    p += n;
  }
  if (unreached > kFaultsPerStructure)
    Problem(qv::format("%d more pages hold pages of the file that no structure reaches",
                       {unreached - kFaultsPerStructure}));

  // Every extent state says full exactly when the extent has no free page.
  const int64_t extentSize = map.ExtentSize;
  for (int64_t extent = 0; extent * extentSize < count; ++extent) {
    const std::vector<uint8_t>& states = eam[static_cast<size_t>(extent / map.ExtentsPerEAM)];
    if (states.empty()) continue;
    bool known = true, anyFree = false;
    for (int64_t p = extent * extentSize; p < (extent + 1) * extentSize && known; ++p) {
      if (p >= count) {
        anyFree = true;
        continue;
      }
      const int state = used(p);
      known = state >= 0;
      anyFree = anyFree || state == 0;
    }
    if (!known) continue;
    const int64_t local = extent % map.ExtentsPerEAM;
    const bool full = ((states[static_cast<size_t>(local / 4)] >> ((local % 4) * 2)) & 3) >= 2;
    if (full == anyFree)
      Problem(qv::format("Page %d (allocation map): extent %d (pages %d to %d) is marked %s",
                         {static_cast<long long>(map.EAMPagePosition(extent / map.ExtentsPerEAM)),
                          static_cast<long long>(extent), static_cast<long long>(extent * extentSize),
                          static_cast<long long>((extent + 1) * extentSize - 1),
                          full ? std::string("full and has a free page") : std::string("with room and is full")}));
  }
}

// ---------------------------------------------------------------------------

std::vector<std::string> VLMCheckDatabaseFile(const std::string& fileName, const TVLMPasswordRecord& password,
                                              bool firstOnly) {
  TVLMDiskFileCheck check(firstOnly);
  return check.Run(fileName, password);
}
