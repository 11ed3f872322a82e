// The free-space checker of the storage tests over structures they build
// by hand, without tables of a table list: every page the free-space map
// marks used (map pages aside) is reached by exactly one of them, and every
// page they reach is marked used. Tests name the structures they built
// (chains, trees, record and BLOB managers, record indexes); Check compares
// the pages these reach with the map. Run it on committed state: pages
// removed in a session are freed by its commit. A whole database file is
// checked by the engine itself (VLMDiskEngineCheck.h,
// disk_test::CheckDiskFreeSpace).
//
//   storage_test::FreeSpaceChecker checker(pageManager);
//   checker.AddPageIndex(*records.PageIndex, "Log records");
//   checker.AddTree(index.RootPageNo(), index.KeyRef, "Log.ByCall");
//   EXPECT_EQ(checker.Check(), "");
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMFieldManager.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineBlobs.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "engine/storage/VLMDiskEngineRecords.h"

namespace storage_test {

class FreeSpaceChecker {
public:
  explicit FreeSpaceChecker(TVLMDiskPageManager& pages, int32_t sessionID = 0) : Pages_(pages), Session_(sessionID) {}

  void AddPage(int32_t pageNo, const std::string& owner) { Owners_[pageNo].push_back(owner); }

  // A chain of pages linked by the next-page field of their headers.
  void AddChain(int32_t pageNo, const std::string& owner) {
    for (int32_t steps = 0; pageNo != -1 && steps <= Pages_.GetPageCount(); ++steps) {
      AddPage(pageNo, owner);
      TVLMHeldPage page(&Pages_, Pages_.GetPage(Session_, pageNo, true, kVLMAnyPageType));
      pageNo = page->GetNextPage();
    }
  }

  // Every page of a B-tree, all levels; a page reached twice is noted twice
  // and not walked again.
  void AddTree(int32_t rootPageNo, TVLMBTreeKeyRef& keyRef, const std::string& owner) {
    std::vector<int32_t> pending{rootPageNo};
    while (!pending.empty()) {
      const int32_t pageNo = pending.back();
      pending.pop_back();
      const bool seen = Owners_.count(pageNo) > 0;
      AddPage(pageNo, owner);
      if (seen) continue;
      TVLMBTreePagePtr page = TVLMBTreePage::Load(&Pages_, &keyRef, Session_, pageNo);
      if (!page->GetIsLeaf())
        for (int32_t i = 0; i < page->GetEntryCount(); ++i) pending.push_back(page->ChildPageNo(i));
    }
  }

  // A page index's tree and every page it lists.
  void AddPageIndex(TVLMBTreePageIndex& index, const std::string& owner) {
    AddTree(index.RootPageNo, *index.KeyRef, owner + " index");
    TVLMKeyPath path;
    for (bool more = index.GoFirst(Session_, path); more; more = index.NextEntry(Session_, path))
      AddPage(static_cast<int32_t>(index.GetPageNoAt(Session_, path)), owner);
  }

  // The small-BLOB pages with their index, and the pages of every large value
  // that a record of the table names.
  void AddBlobManager(TVLMDiskBlobManager& blobs, const std::string& owner) {
    AddPageIndex(*blobs.BlobPageIndex, owner + " small");
    const TVLMFieldDefs& fields = *blobs.FieldManager->FieldDefs;
    std::vector<uint8_t> record(static_cast<size_t>(blobs.RecordManager->RecordBufferSize));
    TVLMNavigationRequest walk;
    walk.Bof = true;
    walk.RecordBuffer = record.data();
    for (walk.Mode = 1; (blobs.RecordManager->GetRecord(Session_, walk), walk.Result == kVLMNavOK);)
      for (int32_t fieldNo = 0; fieldNo < fields.GetCount(); ++fieldNo) {
        if (!VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType) || VLMGetBit(fieldNo, record.data())) continue;
        TVLMBlobCacheEntry* entry = nullptr;
        TVLMBlobReference reference;
        blobs.GetBlobRef(record.data(), fieldNo, entry, reference);
        if (!reference.IsStored() || !blobs.IsLargeBlob(Session_, reference)) continue;
        std::vector<int32_t> dataPages, listPages;
        blobs.LargeBlobPages(Session_, reference.PageNo, dataPages, listPages, false);
        for (int32_t pageNo : dataPages) AddPage(pageNo, owner + " value");
        for (int32_t pageNo : listPages)
          if (pageNo != dataPages.back()) AddPage(pageNo, owner + " value list");
      }
  }

  // "" when the map and the structures agree; else one line per page.
  std::string Check() {
    std::string faults;
    const int32_t pageCount = Pages_.GetPageCount();
    for (int32_t pageNo = 0; pageNo < pageCount; ++pageNo) {
      if (Pages_.FreeSpace->IsSystemPage(pageNo)) continue;
      const bool used = Pages_.FreeSpace->IsPageUsed(pageNo);
      const std::vector<std::string>& owners = Owners_[pageNo];
      if (used && owners.empty()) faults += "page " + std::to_string(pageNo) + " is used but lost\n";
      if (!used && !owners.empty()) faults += "page " + std::to_string(pageNo) + " of " + owners[0] + " is free\n";
      if (owners.size() > 1)
        faults += "page " + std::to_string(pageNo) + " is reached by " + owners[0] + " and " + owners[1] + "\n";
    }
    for (const auto& [pageNo, owners] : Owners_)
      if (!owners.empty() && (pageNo < 0 || pageNo >= pageCount))
        faults += "page " + std::to_string(pageNo) + " of " + owners[0] + " lies outside the file\n";
    return faults;
  }

  // "" when the header's LastUsedPage is the highest page the map marks used
  // (map pages aside).
  std::string CheckLastUsedPage() {
    int32_t highest = -1;
    for (int32_t pageNo = 0; pageNo < Pages_.GetPageCount(); ++pageNo)
      if (!Pages_.FreeSpace->IsSystemPage(pageNo) && Pages_.FreeSpace->IsPageUsed(pageNo)) highest = pageNo;
    const int32_t stored = Pages_.GetHeader().LastUsedPage;
    if (stored == highest) return "";
    return "LastUsedPage is " + std::to_string(stored) + ", the highest used page " + std::to_string(highest) + "\n";
  }

  // "" when every extent state of the extent map agrees with the page map:
  // full exactly when every page of the extent inside the file is used.
  // Reads the extent map as the file holds it: run it on a file just opened.
  std::string CheckExtentMap() {
    std::string faults;
    TVLMDatabaseFreeSpaceManager& map = *Pages_.FreeSpace;
    const int64_t total = Pages_.GetPageCount();
    std::vector<uint8_t> states(Pages_.PageDataSize);
    int64_t loaded = -1;
    for (int64_t extent = 0; extent * map.ExtentSize < total; ++extent) {
      if (extent / map.ExtentsPerEAM != loaded) {
        loaded = extent / map.ExtentsPerEAM;
        Pages_.ReadPageBytes(states.data(), static_cast<int32_t>(map.EAMPagePosition(loaded)), Pages_.PageDataSize,
                             kVLMPageHeaderSize);
      }
      const int64_t local = extent % map.ExtentsPerEAM;
      const bool full = ((states[static_cast<size_t>(local / 4)] >> ((local % 4) * 2)) & 3) >= 2;
      bool room = false;
      for (int64_t p = extent * map.ExtentSize; p < (extent + 1) * map.ExtentSize && !room; ++p)
        room = p >= total || !map.IsPageUsed(static_cast<int32_t>(p));
      if (full == room)
        faults += "extent " + std::to_string(extent) + (full ? " is marked full and has room\n" : " is full and marked with room\n");
    }
    return faults;
  }

private:
  TVLMDiskPageManager& Pages_;
  int32_t Session_;
  std::map<int32_t, std::vector<std::string>> Owners_;
};

}  // namespace storage_test
