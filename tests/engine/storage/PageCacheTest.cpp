// The page cache and the page manager base, over an in-memory page store:
// sharing and isolation between sessions, commit order and its checks,
// rollback, eviction, failed reads, replaced copies, and a model test.
#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "engine/storage/VLMPage.h"
#include "engine/storage/StorageTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using storage_test::CodeOf;

// Pages live in a map; the data area's first byte is the page's value.
class StorePageManager : public TVLMPageManager {
public:
  StorePageManager() {
    PageSize = 128;
    PageHeaderSize = kVLMPageHeaderSize;
    PageDataSize = PageSize - PageHeaderSize;
  }
  void AllocatePage(TVLMPage* page) override {
    int32_t no = NextAllocation >= 0 ? NextAllocation : Next++;
    NextAllocation = -1;
    Allocated.insert(no);
    page->PageNo = no;
    page->AllocateBuffer();
  }
  void FreePage(int32_t pageNo) override {
    if (FailFrees.count(pageNo)) throw EVLMException(20299, "free refused");
    Allocated.erase(pageNo);
    Freed.push_back(pageNo);
  }
  bool ReadPage(TVLMPage* page) override {
    ++Reads;
    if (FailReads.count(page->PageNo)) return false;
    auto it = Store.find(page->PageNo);
    if (it == Store.end()) return false;
    if (page->Buffer == nullptr) page->AllocateBuffer();
    std::memcpy(page->Buffer, it->second.data(), PageSize);
    return true;
  }
  void WritePage(TVLMPage* page) override {
    Store[page->PageNo].assign(page->Buffer, page->Buffer + PageSize);
    Writes.push_back(page->PageNo);
  }
  int32_t MaxReadRun() const override { return 4; }
  void ReadPages(TVLMPage* const* pages, int32_t count, bool* ok) override {
    ++RunReads;
    TVLMPageManager::ReadPages(pages, count, ok);
  }

  // A committed page of the given type and value.
  void Put(int32_t pageNo, uint8_t value, uint16_t type = kVLMPageTableRecord) {
    TVLMPage page(this);
    page.AllocateBuffer();
    page.SetPageType(type);
    page.Data()[0] = value;
    Store[pageNo].assign(page.Buffer, page.Buffer + PageSize);
    Next = std::max(Next, pageNo + 1);
  }
  uint8_t Stored(int32_t pageNo) { return Store.at(pageNo)[kVLMPageHeaderSize]; }

  std::map<int32_t, std::vector<uint8_t>> Store;
  std::set<int32_t> Allocated, FailReads, FailFrees;
  std::vector<int32_t> Writes, Freed;
  int32_t Next = 0, NextAllocation = -1, Reads = 0, RunReads = 0;
};

uint8_t ValueOf(StorePageManager& pm, int32_t session, int32_t pageNo) {
  TVLMHeldPage page(&pm, pm.GetPage(session, pageNo, true, kVLMPageTableRecord));
  return page->Data()[0];
}

void SetValue(StorePageManager& pm, int32_t session, int32_t pageNo, uint8_t value) {
  TVLMHeldPage page(&pm, pm.GetPage(session, pageNo, true, kVLMPageTableRecord));
  page->Data()[0] = value;
  page->Modified = true;
}

TEST(PageCache, OneSessionMayTakeAPageTwiceAnotherMayNot) {
  StorePageManager pm;
  pm.Put(1, 10);
  TVLMPage* a = pm.GetPage(0, 1, true, kVLMPageTableRecord);
  TVLMPage* again = pm.GetPage(0, 1, true, kVLMPageTableRecord);
  EXPECT_EQ(a, again);
  EXPECT_EQ(a->UseCount, 2);
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.GetPage(1, 1, true, kVLMPageTableRecord); }, &message), 20090);
  EXPECT_EQ(message, "Page is used by other session - Native error: 20090");
  pm.ReleasePage(a);
  pm.ReleasePage(a);
  EXPECT_EQ(ValueOf(pm, 1, 1), 10);  // free again
  EXPECT_EQ(CodeOf([&] { pm.ReleasePage(a); }), 30380);
  EXPECT_EQ(CodeOf([&] { pm.GetPage(-1, 1, true, kVLMPageTableRecord); }), 20186);
}

TEST(PageCache, ChangesStayPrivateUntilCommitAndThenReplaceTheCachedCopy) {
  StorePageManager pm;
  pm.Put(5, 1);
  SetValue(pm, 0, 5, 2);
  EXPECT_EQ(pm.PrivatePageCount(0), 1);
  EXPECT_EQ(pm.SharedPages.Find(5), nullptr);  // the shared cache never holds a changed page
  EXPECT_EQ(ValueOf(pm, 1, 5), 1);             // session 1 reads the committed version
  ASSERT_NE(pm.SharedPages.Find(5), nullptr);

  pm.Commit(0);
  EXPECT_EQ(pm.Stored(5), 2);
  EXPECT_EQ(pm.SharedPages.Count(), 1);  // replaced, not a second entry
  int32_t reads = pm.Reads;
  EXPECT_EQ(ValueOf(pm, 1, 5), 2);
  EXPECT_EQ(pm.Reads, reads);  // served by the committed copy
  EXPECT_EQ(ValueOf(pm, 0, 5), 2);
}

TEST(PageCache, CommitWritesInPageOrderAfterCheckingEveryPage) {
  StorePageManager pm;
  for (int32_t no : {9, 3, 7, 4}) pm.Put(no, 0);
  for (int32_t no : {9, 3, 7}) SetValue(pm, 0, no, 1);

  // A shared page still taken by the session: nothing is written.
  TVLMPage* held = pm.GetPage(0, 4, true, kVLMPageTableRecord);
  EXPECT_EQ(CodeOf([&] { pm.Commit(0); }), 20152);
  EXPECT_TRUE(pm.Writes.empty());
  pm.ReleasePage(held);

  // A private page still taken: nothing is written either.
  held = pm.GetPage(0, 7, true, kVLMPageTableRecord);
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.Commit(0); }, &message), 20086);
  EXPECT_EQ(message, "Cannot write used page - Native error: 20086");
  EXPECT_TRUE(pm.Writes.empty());
  pm.ReleasePage(held);

  pm.Commit(0);
  EXPECT_EQ(pm.Writes, (std::vector<int32_t>{3, 7, 9}));
  EXPECT_FALSE(pm.HasSessionChanges(0));
}

TEST(PageCache, CommitWithAFullCacheDestroysTheWrittenPages) {
  StorePageManager pm;
  pm.CacheLimit = 2;
  for (int32_t i = 0; i < 5; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    page->Data()[0] = static_cast<uint8_t>(i + 1);
  }
  pm.Commit(0);
  EXPECT_EQ(pm.Writes.size(), 5u);
  EXPECT_EQ(pm.SharedPages.Count(), 2);
  for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(ValueOf(pm, 1, i), i + 1);
  EXPECT_LE(pm.SharedPages.Count(), 2);
}

TEST(PageCache, RollbackDiscardsCopiesAndFreesNewPages) {
  StorePageManager pm;
  pm.Put(0, 7);
  SetValue(pm, 0, 0, 8);
  int32_t a, b;
  {
    TVLMHeldPage p1(&pm, pm.NewPage(0, kVLMPageTableRecord));
    TVLMHeldPage p2(&pm, pm.NewPage(0, kVLMPageTableRecord));
    a = p1->PageNo;
    b = p2->PageNo;
    EXPECT_EQ(CodeOf([&] { pm.RollbackSession(0); }), 20088);  // still in use
  }
  pm.RemovePage(0, 0);
  pm.RollbackSession(0);
  EXPECT_EQ(pm.Freed, (std::vector<int32_t>{a, b}));
  EXPECT_FALSE(pm.HasSessionChanges(0));
  EXPECT_EQ(ValueOf(pm, 0, 0), 7);
  pm.Commit(0);
  EXPECT_TRUE(pm.Writes.empty());
}

// A page removed twice, again after a write that removed it was undone, or
// again after a commit whose free failed left it listed, is freed once.
TEST(PageCache, RemovedPagesAreFreedOnceAtCommit) {
  StorePageManager pm;
  for (int32_t no = 2; no <= 6; ++no) pm.Put(no, 1);
  EXPECT_EQ(ValueOf(pm, 0, 2), 1);
  pm.RemovePage(0, 2);
  pm.RemovePage(0, 2);  // twice is still one free
  ASSERT_TRUE(pm.BeginWriteMark(0));
  pm.RemovePage(0, 3);
  pm.RemovePage(0, 4);
  pm.UndoWriteMark(0);
  pm.RemovePage(0, 4);
  pm.RemovePage(0, 5);
  EXPECT_TRUE(pm.Freed.empty());
  EXPECT_EQ(pm.SessionPageNumbers(0), (std::vector<int32_t>{2, 4, 5}));
  pm.FailFrees.insert(4);
  EXPECT_EQ(CodeOf([&] { pm.Commit(0); }), 20299);
  pm.FailFrees.clear();
  pm.RemovePage(0, 5);
  pm.RemovePage(0, 6);
  pm.Commit(0);
  EXPECT_EQ(pm.Freed, (std::vector<int32_t>{2, 4, 5, 6}));
  EXPECT_EQ(pm.SharedPages.Find(2), nullptr);
  EXPECT_FALSE(pm.HasSessionChanges(0));
}

TEST(PageCache, AFailedReadIsNeverCached) {
  StorePageManager pm;
  pm.Put(3, 4);
  pm.FailReads.insert(3);
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.GetPage(0, 3, true, kVLMPageTableRecord); }, &message), 20299);
  EXPECT_EQ(message, "Error reading database file page. Page No: 3, type 10 - Native error: 20299");
  EXPECT_EQ(pm.SharedPages.Find(3), nullptr);
  pm.FailReads.clear();
  EXPECT_EQ(ValueOf(pm, 0, 3), 4);

  // The wrong type is refused the same way, and asked again it is read again.
  pm.Put(6, 1, kVLMPageTableBlob);
  EXPECT_EQ(CodeOf([&] { pm.GetPage(0, 6, true, kVLMPageTableRecord); }, &message), 20153);
  EXPECT_EQ(message,
            "Invalid page type. Possible data corruption. Expecting type 10, but found 11 - Native error: 20153");
  EXPECT_EQ(pm.SharedPages.Find(6), nullptr);
  int32_t reads = pm.Reads;
  EXPECT_EQ(CodeOf([&] { pm.GetPage(0, 6, true, kVLMPageTableRecord); }), 20153);
  EXPECT_EQ(pm.Reads, reads + 1);
  TVLMHeldPage any(&pm, pm.GetPage(0, 6, true, kVLMAnyPageType));
  EXPECT_EQ(any->GetPageType(), kVLMPageTableBlob);
}

TEST(PageCache, EvictionTakesTheLeastRecentlyUsedFreePages) {
  StorePageManager pm;
  pm.CacheLimit = 3;
  for (int32_t i = 1; i <= 6; ++i) pm.Put(i, static_cast<uint8_t>(i));
  TVLMPage* held = pm.GetPage(0, 1, true, kVLMPageTableRecord);
  for (int32_t i = 2; i <= 6; ++i) ValueOf(pm, 0, i);
  EXPECT_EQ(pm.SharedPages.Count(), 3);
  EXPECT_EQ(pm.SharedPages.Find(1), held);  // in use: kept
  EXPECT_NE(pm.SharedPages.Find(6), nullptr);
  EXPECT_NE(pm.SharedPages.Find(5), nullptr);
  EXPECT_EQ(pm.SharedPages.Find(2), nullptr);
  ValueOf(pm, 0, 5);  // touched: 6 is now older
  pm.ReleasePage(held);
  ValueOf(pm, 0, 2);
  EXPECT_EQ(pm.SharedPages.Count(), 3);
  EXPECT_NE(pm.SharedPages.Find(5), nullptr);
  EXPECT_NE(pm.SharedPages.Find(2), nullptr);
}

// A whole pass reads its pages into the cache as scanned ones: they go
// first and never more than ScanLimit of them stay, so the pages look-ups
// reuse stay; a look-up's take keeps a scanned page. Read ahead brings runs
// of near pages in one read, and a page's type is checked when it is first
// taken.
TEST(PageCache, AWholePassNeitherPushesOutLookedUpPagesNorStays) {
  StorePageManager pm;
  pm.CacheLimit = 8;
  pm.ScanLimit = 4;
  for (int32_t i = 1; i <= 60; ++i) pm.Put(i, static_cast<uint8_t>(i), i == 22 ? kVLMPageTableBlob : kVLMPageTableRecord);
  for (int32_t i = 1; i <= 3; ++i) ValueOf(pm, 0, i);
  auto pass = [&](int32_t first, int32_t last) {
    TVLMScanReads scan(&pm);
    for (int32_t i = first; i <= last; ++i)
      if (i != 22) ValueOf(pm, 0, i);
  };
  pass(10, 60);
  EXPECT_EQ(pm.CacheFigures().KeptEvicted, 0);
  EXPECT_EQ(pm.CacheFigures().ScannedEvicted, 50 - 4);
  EXPECT_EQ(pm.SharedPages.ScannedCount(), 4);
  int32_t reads = pm.Reads;
  for (int32_t i = 1; i <= 3; ++i) EXPECT_EQ(ValueOf(pm, 0, i), i);
  EXPECT_EQ(pm.Reads, reads);

  ValueOf(pm, 1, 60);  // a look-up of a scanned page
  EXPECT_EQ(pm.CacheFigures().ScannedKept, 1);
  pass(10, 50);
  reads = pm.Reads;
  for (int32_t i : {1, 2, 3, 60}) ValueOf(pm, 0, i);
  EXPECT_EQ(pm.Reads, reads);
  EXPECT_EQ(pm.CacheFigures().KeptEvicted, 0);

  // Ahead: 20-23 in one read, 30-31 in another (25, cached already, ends
  // the first run); 22 is of another type than its taker expects.
  pm.DropSharedPages();
  EXPECT_EQ(pm.SharedPages.Count(), 0);  // the scanned pages too
  pm.ScanLimit = 8;
  ValueOf(pm, 0, 25);
  const int32_t ahead[] = {20, 21, 22, 23, 25, 30, 31};
  reads = pm.Reads;
  const int32_t runs = pm.RunReads;
  pm.ReadAhead(0, ahead, 7);
  EXPECT_EQ(pm.RunReads - runs, 2);
  EXPECT_EQ(pm.Reads - reads, 6);
  EXPECT_EQ(pm.CacheFigures().PagesRead, pm.Reads);
  reads = pm.Reads;
  EXPECT_EQ(ValueOf(pm, 0, 21), 21);
  EXPECT_EQ(CodeOf([&] { pm.GetPage(0, 22, true, kVLMPageTableRecord); }), 20153);
  EXPECT_EQ(pm.SharedPages.Find(22), nullptr);
  EXPECT_EQ(pm.Reads, reads);
}

TEST(PageCache, ACopyReplacedWhileInUseLivesUntilReleased) {
  StorePageManager pm;
  pm.Put(4, 1);
  SetValue(pm, 0, 4, 2);  // private to session 0
  TVLMPage* old = pm.GetPage(1, 4, true, kVLMPageTableRecord);
  EXPECT_EQ(old->Data()[0], 1);
  pm.Commit(0);  // replaces the cached copy session 1 still holds
  EXPECT_EQ(old->Data()[0], 1);
  EXPECT_EQ(ValueOf(pm, 0, 4), 2);
  EXPECT_EQ(CodeOf([&] { pm.Commit(1); }), 20152);  // session 1 still holds its copy
  pm.ReleasePage(old);
  EXPECT_EQ(ValueOf(pm, 1, 4), 2);

  // A replaced copy that its session changed becomes that session's change.
  SetValue(pm, 0, 4, 3);
  TVLMPage* stale = pm.GetPage(1, 4, true, kVLMPageTableRecord);
  pm.Commit(0);
  stale->Data()[0] = 9;
  stale->Modified = true;
  EXPECT_EQ(CodeOf([&] { pm.Commit(1); }), 20152);
  pm.ReleasePage(stale);
  EXPECT_EQ(pm.PrivatePageCount(1), 1);
  pm.Commit(1);
  EXPECT_EQ(pm.Stored(4), 9);
}

// A pin names its page only while the page stays in the list that held it;
// eviction passes over a pinned page; the view version moves with every
// change a session's reads may see.
TEST(PageCache, PinsNameAPageOnlyWhileItStaysInItsList) {
  StorePageManager pm;
  pm.CacheLimit = 2;
  for (int32_t i = 1; i <= 4; ++i) pm.Put(i, static_cast<uint8_t>(i));
  TVLMPagePin pin, other;
  {
    TVLMHeldPage page(&pm, pm.GetPage(0, 1, true, kVLMPageTableRecord));
    pin.Set(page.Get(), 0);
    other.Set(page.Get(), 0);
  }
  TVLMPage* pinned = pin.Get(0, 1);
  ASSERT_NE(pinned, nullptr);
  EXPECT_EQ(pin.Get(1, 1), nullptr);  // another session's page
  EXPECT_EQ(pin.Get(0, 2), nullptr);
  for (int32_t i = 2; i <= 4; ++i) ValueOf(pm, 0, i);
  EXPECT_EQ(pm.SharedPages.Find(1), pinned);  // the oldest, yet kept
  EXPECT_EQ(pm.SharedPages.Count(), 2);
  other.Reset();
  EXPECT_EQ(pin.Get(0, 1), pinned);

  struct Move {
    const char* what;
    std::function<void()> run;
  };
  const Move moves[] = {
      {"changed by its session", [&] { SetValue(pm, 0, 1, 7); }},
      {"committed", [&] { pm.Commit(0); }},
      {"replaced by another session's commit", [&] {
         SetValue(pm, 1, 1, 8);
         pm.Commit(1);
       }},
      {"dropped", [&] { pm.DropSharedPages(); }},
  };
  for (const Move& move : moves) {
    SCOPED_TRACE(move.what);
    TVLMHeldPage page(&pm, pm.GetPage(0, 1, true, kVLMPageTableRecord));
    pin.Set(page.Get(), 0);
    page.Release();
    const uint64_t view = pm.ViewVersion();
    move.run();
    EXPECT_EQ(pin.Page(), nullptr);
    EXPECT_GT(pm.ViewVersion(), view);
  }
  // A pin outlives nothing: the page it names goes with its manager.
  auto owner = std::make_unique<StorePageManager>();
  owner->Put(1, 1);
  {
    TVLMHeldPage page(owner.get(), owner->GetPage(0, 1, true, kVLMPageTableRecord));
    pin.Set(page.Get(), 0);
  }
  owner.reset();
  EXPECT_EQ(pin.Page(), nullptr);
}

TEST(PageCache, NewPageDropsAStaleCachedCopyOfItsNumber) {
  StorePageManager pm;
  pm.Put(8, 1);
  ValueOf(pm, 0, 8);
  ASSERT_NE(pm.SharedPages.Find(8), nullptr);
  pm.NextAllocation = 8;
  TVLMHeldPage page(&pm, pm.NewPage(1, kVLMPageTableBlob));
  EXPECT_EQ(page->PageNo, 8);
  EXPECT_EQ(page->GetPageType(), kVLMPageTableBlob);
  EXPECT_LT(page->GetWriteCounter(), kVLMNewPageCounterLimit);
  EXPECT_EQ(pm.SharedPages.Find(8), nullptr);
  EXPECT_EQ(page->Data()[0], 0);
}

TEST(PageCache, DestroyingWithUncommittedPagesIsReported) {
  StorePageManager pm;
  { TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord)); }
  EXPECT_EQ(CodeOf([&] { pm.CheckNoUncommittedPages(); }), 20097);
  pm.Commit(0);
  EXPECT_EQ(CodeOf([&] { pm.CheckNoUncommittedPages(); }), 0);
}

TEST(PageCache, PagesResizeAndKeepSessionCounters) {
  StorePageManager pm;
  TVLMPage page(&pm);
  EXPECT_EQ(CodeOf([&] { page.Resize(200); }), 20038);
  page.AllocateBuffer();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(page.Buffer), 4), "VLMP");
  EXPECT_EQ(page.GetNextPage(), -1);
  EXPECT_EQ(page.GetOwnerTableID(), -1);
  page.Data()[0] = 42;
  EXPECT_EQ(CodeOf([&] { page.Resize(100); }), 20039);
  page.Resize(200);
  EXPECT_EQ(page.Data()[0], 42);
  EXPECT_EQ(page.Buffer[199], 0);

  TVLMPageStamp counter;
  EXPECT_FALSE(page.GetSessionCounter(3, counter));
  page.SetSessionCounter(3, {1, 77});
  page.SetSessionCounter(-2, {2, 5});
  EXPECT_TRUE(page.GetSessionCounter(3, counter));
  EXPECT_EQ(counter, (TVLMPageStamp{1, 77}));
  EXPECT_TRUE(page.GetSessionCounter(-2, counter));
  EXPECT_EQ(counter, (TVLMPageStamp{2, 5}));
  EXPECT_FALSE(page.GetSessionCounter(1, counter));
}

TEST(PageTypes, NamesAndChecks) {
  EXPECT_EQ(GetPageTypeName(kVLMPagePFS), "PFS Page");
  EXPECT_EQ(GetPageTypeName(kVLMPageTableIndex), "TableIndex Page");
  std::string message;
  EXPECT_EQ(CodeOf([] { GetPageTypeName(13); }, &message), 30382);
  EXPECT_EQ(message, "Unknown Page Type: (13) - Native error: 30382");
  EXPECT_EQ(CodeOf([] { CheckPageType(2, 2, 1); }), 0);
  EXPECT_EQ(CodeOf([] { CheckPageType(3, 2, 30423); }, &message), 30423);
  EXPECT_EQ(message, "Wrong page type. Found 'PFS Page', but expecting: 'EAM Page' - Native error: 30423");
}

// The page list against a model: a map for lookup, a list for recency.
TEST(SortedPageList, MatchesAModelOfLookupAndRecency) {
  StorePageManager pm;
  TVLMSortedPageList list;
  std::list<int32_t> recency;  // oldest first
  std::mt19937 random(11);
  EXPECT_EQ(CodeOf([&] { list.Extract(1); }), 20165);
  const auto budget = qv::test::TestBudget::Steps(3000, 10);
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    // Runs of neighbours and numbers 4096 apart, which share their slots.
    int32_t no = static_cast<int32_t>(random() % 48) + (random() % 2 == 0 ? 0 : 4096 * static_cast<int32_t>(random() % 4));
    bool present = std::find(recency.begin(), recency.end(), no) != recency.end();
    switch (random() % 3) {
      case 0:
        if (present) {
          EXPECT_EQ(CodeOf([&] {
                      auto page = std::make_unique<TVLMPage>(&pm);
                      page->PageNo = no;
                      list.Insert(std::move(page));
                    }),
                    30378);
        } else {
          auto page = std::make_unique<TVLMPage>(&pm);
          page->PageNo = no;
          list.Insert(std::move(page));
          recency.push_back(no);
        }
        break;
      case 1:
        if (present) {
          EXPECT_EQ(list.Extract(no)->PageNo, no);
          recency.remove(no);
        } else if (!recency.empty()) {
          EXPECT_EQ(CodeOf([&] { list.Extract(no); }), 20166);
        }
        break;
      default:
        if (present) {
          list.Touch(list.Find(no));
          recency.remove(no);
          recency.push_back(no);
        } else {
          EXPECT_EQ(list.Find(no), nullptr);
        }
    }
    ASSERT_EQ(list.Count(), static_cast<int32_t>(recency.size()));
  }
  std::vector<int32_t> order;
  for (TVLMPage* p = list.Oldest(); p; p = TVLMSortedPageList::NextNewer(p)) order.push_back(p->PageNo);
  EXPECT_EQ(order, std::vector<int32_t>(recency.begin(), recency.end()));
  std::vector<int32_t> sorted;
  for (TVLMPage* p : list.PagesInOrder()) sorted.push_back(p->PageNo);
  std::vector<int32_t> expected(recency.begin(), recency.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);
}

// Two sessions change, commit and roll back random pages; every read must
// see the session's own uncommitted value or the last committed one.
TEST(PageCache, MatchesAModelOfCommittedAndPrivateValues) {
  StorePageManager pm;
  pm.CacheLimit = 5;
  std::map<int32_t, uint8_t> committed;
  std::map<int32_t, uint8_t> priv[2];
  for (int32_t i = 0; i < 12; ++i) {
    pm.Put(i, static_cast<uint8_t>(i));
    committed[i] = static_cast<uint8_t>(i);
  }
  std::mt19937 random(5);
  const auto budget = qv::test::TestBudget::Steps(4000, 10);
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    int s = static_cast<int>(random() % 2);
    int32_t no = static_cast<int32_t>(random() % 12);
    uint8_t value = static_cast<uint8_t>(random());
    // A page changed by the other session cannot be changed here as well
    // (the table locks keep sessions apart above this layer).
    bool otherOwns = priv[1 - s].count(no) > 0;
    switch (random() % 6) {
      case 0:
      case 1: {
        uint8_t expected = priv[s].count(no) ? priv[s][no] : committed[no];
        ASSERT_EQ(ValueOf(pm, s, no), expected) << "step " << step;
        break;
      }
      case 2:
      case 3:
        if (otherOwns) break;
        SetValue(pm, s, no, value);
        priv[s][no] = value;
        break;
      case 4:
        pm.Commit(s);
        for (auto& [page, v] : priv[s]) committed[page] = v;
        priv[s].clear();
        break;
      default:
        pm.RollbackSession(s);
        priv[s].clear();
    }
    ASSERT_LE(pm.SharedPages.Count(), pm.CacheLimit + 2);
  }
  pm.Commit(0);
  pm.Commit(1);
  for (auto& [page, v] : priv[0]) committed[page] = v;
  for (auto& [page, v] : priv[1]) committed[page] = v;
  for (auto& [page, v] : committed) EXPECT_EQ(pm.Stored(page), v);
  EXPECT_EQ(pm.PagesInUse(), 0);
}

#ifndef NDEBUG
// Once a database shares its critical section with the manager, a call
// without it stops the process.
TEST(PageManagerDeathTest, AMethodCalledWithoutTheDatabaseSectionStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  qv::RecursiveMutex section;
  StorePageManager pm;
  TVLMHeldPage(&pm, pm.NewPage(0, kVLMPageTableRecord)).Release();  // one user yet: not checked
  pm.UseCriticalSection(section);
  EXPECT_DEATH(pm.NewPage(0, kVLMPageTableRecord), "NewPage called without the database critical section");
  std::lock_guard held(pm.CriticalSection());
  TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
  EXPECT_EQ(pm.PrivatePageCount(0), 2);
}
#endif

}  // namespace
