// Page indexes: page numbers with a record count or used bytes, room search
// in the first and last leaf, record numbers in page order, the walks over
// the level chains, and a node that loses its last child beside two exactly
// full neighbours.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "tests/engine/btree/BTreeTestSupport.h"
#include "tests/support/TestBudget.h"

using namespace btree_test;

namespace {

constexpr int32_t S = 0;  // session

// Builds a page index of the given shape directly: the leaves list page
// numbers (value from valueOf), each further level groups the pages of the
// level below, and the last level is one group, the root.
void BuildShape(TVLMBTreePageIndex& index, const std::vector<std::vector<int32_t>>& leaves,
                const std::vector<std::vector<int32_t>>& groups, const std::function<uint16_t(int32_t)>& valueOf) {
  index.CreateTree(S);
  TVLMPageManager* pm = index.PageManager;
  TVLMBTreeKeyRef* keyRef = index.KeyRef.get();
  std::vector<TVLMBTreePagePtr> level;
  std::vector<int32_t> firsts;
  auto page = [&](bool isRoot) {
    return isRoot ? TVLMBTreePage::Load(pm, keyRef, S, index.RootPageNo) : TVLMBTreePage::New(pm, keyRef, S);
  };
  auto link = [](std::vector<TVLMBTreePagePtr>& pages) {
    for (size_t i = 0; i < pages.size(); ++i) {
      pages[i]->SetPrevPageNo(i > 0 ? pages[i - 1]->GetPageNo() : -1);
      pages[i]->SetNextPageNo(i + 1 < pages.size() ? pages[i + 1]->GetPageNo() : -1);
      pages[i]->SetModified(true);
    }
  };
  for (const auto& keys : leaves) {
    TVLMBTreePagePtr p = page(groups.empty());
    p->InitEmptyRoot();
    p->SetIsRoot(groups.empty());
    for (size_t j = 0; j < keys.size(); ++j) {
      uint8_t key[4], value[2];
      VLMPutI32LE(key, keys[j]);
      VLMPutU16LE(value, valueOf(keys[j]));
      p->LeafController.InsertEntryAt(key, value, static_cast<int32_t>(j));
    }
    firsts.push_back(keys.front());
    level.push_back(std::move(p));
  }
  link(level);
  for (size_t l = 0; l < groups.size(); ++l) {
    const bool top = l + 1 == groups.size();
    std::vector<TVLMBTreePagePtr> upper;
    std::vector<int32_t> upperFirsts;
    size_t child = 0;
    for (int32_t count : groups[l]) {
      TVLMBTreePagePtr p = page(top);
      p->InitEmptyRoot();
      p->SetIsLeaf(false);
      p->SetIsRoot(top);
      upperFirsts.push_back(firsts[child]);
      for (int32_t j = 0; j < count; ++j, ++child) {
        uint8_t key[4], value[4];
        VLMPutI32LE(key, firsts[child]);
        VLMPutI32LE(value, level[child]->GetPageNo());
        // The leftmost entry of a level carries a zero key.
        p->NodeController.InsertEntryAt(child == 0 ? nullptr : key, value, j);
      }
      upper.push_back(std::move(p));
    }
    link(upper);
    level = std::move(upper);
    firsts = std::move(upperFirsts);
  }
}

void Check(TVLMBTreePageIndex& index) {
  TVLMKeyPath path;
  TVLMBTreePage::Load(index.PageManager, index.KeyRef.get(), S, index.RootPageNo)->CheckIntegrity(S, path);
}

// Every (page, value) in order through NextEntry, and the reverse through
// PriorEntry.
std::vector<std::pair<int32_t, uint16_t>> Entries(TVLMBTreePageIndex& index, bool backward = false) {
  std::vector<std::pair<int32_t, uint16_t>> out;
  TVLMKeyPath path;
  bool more = backward ? index.GoLast(S, path) : index.GoFirst(S, path);
  while (more) {
    out.emplace_back(static_cast<int32_t>(index.GetPageNoAt(S, path)), index.GetValueAt(S, path));
    more = backward ? index.PriorEntry(S, path) : index.NextEntry(S, path);
  }
  if (backward) std::reverse(out.begin(), out.end());
  return out;
}

TEST(BTreePageIndexTest, ALeafHolds673PagesAtPageSize4096) {
  MemoryPageManager pm(4096);
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 100;
  index.CreateTree(S);
  for (int32_t p = 0; p < 673; ++p) index.AddToPage(S, 1, 10 + p);
  {
    TVLMBTreePagePtr root = TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, index.RootPageNo);
    EXPECT_TRUE(root->GetIsLeaf());
    EXPECT_EQ(root->GetEntryCount(), 673);
    EXPECT_EQ(root->EntrySize(), 6);
  }
  index.AddToPage(S, 1, 2000);
  TVLMBTreePagePtr root = TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, index.RootPageNo);
  ASSERT_FALSE(root->GetIsLeaf());
  EXPECT_EQ(root->GetEntryCount(), 2);
  EXPECT_EQ(TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, root->ChildPageNo(0))->GetEntryCount(), 337);
  EXPECT_EQ(TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, root->ChildPageNo(1))->GetEntryCount(), 337);
  root.reset();
  index.CheckRecordCount(S, 674);
  pm.Commit(S);
}

TEST(BTreePageIndexTest, RecordCountsPerPage) {
  MemoryPageManager pm(4096);
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 3;
  index.CreateTree(S);
  // The first record of a page lists it with 1; its last record unlists it.
  index.AddToPage(S, 1, 77);
  EXPECT_EQ(index.GetPageValue(S, 77), 1);
  index.AddToPage(S, 1, 77);
  index.AddToPage(S, 1, 77);
  EXPECT_EQ(index.GetPageValue(S, 77), 3);
  EXPECT_EQ(RaisedMessage([&] { index.AddToPage(S, 1, 77); }),
            "Cannot add data item to page. Page is full - Native error: 20106");
  EXPECT_EQ(index.GetPageValue(S, 77), 3);
  index.RemoveFromPage(S, 1, -1, 77);
  index.RemoveFromPage(S, 1, -1, 77);
  EXPECT_EQ(index.GetPageValue(S, 77), 1);
  index.RemoveFromPage(S, 1, -1, 77);
  EXPECT_EQ(index.GetPageValue(S, 77), -1);
  EXPECT_EQ(index.GetPageValue(S, 78), -1);
  int32_t page = 0;
  EXPECT_FALSE(index.GetFirstPage(S, page));
  EXPECT_FALSE(index.FindPageWithRoom(S, 1, page));
  // A given new value is stored as it is; 0 unlists the page.
  index.AddToPage(S, 1, 5);
  index.RemoveFromPage(S, 0, 2, 5);
  EXPECT_EQ(index.GetPageValue(S, 5), 2);
  index.RemoveFromPage(S, 0, 0, 5);
  EXPECT_EQ(index.GetPageValue(S, 5), -1);
  pm.Commit(S);
}

TEST(BTreePageIndexTest, RemovingMoreThanAPageHoldsIsRefused) {
  MemoryPageManager pm(4096);
  TVLMBTreeBlobPageIndex index(&pm);
  index.CreateTree(S);
  index.AddToPage(S, 0, 9);  // listed with nothing used
  EXPECT_EQ(RaisedMessage([&] { index.RemoveFromPage(S, 10, -1, 9); }),
            "Index error: page is empty - Native error: 20112");
  index.AddToPage(S, 100, 9);
  // The stored u16 would wrap below zero.
  EXPECT_EQ(RaisedCode([&] { index.RemoveFromPage(S, 101, -1, 9); }), 20112);
  EXPECT_EQ(index.GetPageValue(S, 9), 100);
  index.RemoveFromPage(S, 100, -1, 9);
  EXPECT_EQ(index.GetPageValue(S, 9), -1);
  pm.Commit(S);
}

TEST(BTreePageIndexTest, BlobPagesHaveRoomBelowTheDataSizeLessTheirCountField) {
  MemoryPageManager pm(4096);  // data size 4056
  TVLMBTreeBlobPageIndex index(&pm);
  index.CreateTree(S);
  index.AddToPage(S, 4000, 3);
  EXPECT_TRUE(index.HasRoom(4000, 53));
  EXPECT_FALSE(index.HasRoom(4000, 54));
  int32_t page = -1;
  EXPECT_TRUE(index.FindPageWithRoom(S, 53, page));
  EXPECT_EQ(page, 3);
  EXPECT_FALSE(index.FindPageWithRoom(S, 54, page));
  EXPECT_EQ(RaisedCode([&] { index.AddToPage(S, 54, 3); }), 20106);
  index.AddToPage(S, 53, 3);
  EXPECT_EQ(index.GetPageValue(S, 3), 4053);
  pm.Commit(S);
}

TEST(BTreePageIndexTest, RoomIsLookedForInTheFirstAndLastLeafOnly) {
  MemoryPageManager pm(512);  // 75 entries per leaf
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 10;
  // Five leaves of 40 full pages each.
  std::vector<std::vector<int32_t>> leaves(5);
  for (int32_t l = 0; l < 5; ++l)
    for (int32_t j = 0; j < 40; ++j) leaves[static_cast<size_t>(l)].push_back(100 * l + j);
  BuildShape(index, leaves, {{5}}, [](int32_t) { return uint16_t{10}; });
  Check(index);
  int32_t page = -1;
  EXPECT_FALSE(index.FindPageWithRoom(S, 1, page));
  // A free slot on a middle leaf is not found.
  index.RemoveFromPage(S, 1, -1, 220);
  EXPECT_FALSE(index.FindPageWithRoom(S, 1, page));
  // On the last leaf (not its first entry) and on the first leaf (not its
  // last entry) it is.
  index.RemoveFromPage(S, 1, -1, 437);
  ASSERT_TRUE(index.FindPageWithRoom(S, 1, page));
  EXPECT_EQ(page, 437);
  index.AddToPage(S, 1, 437);
  index.RemoveFromPage(S, 1, -1, 400);
  EXPECT_FALSE(index.FindPageWithRoom(S, 1, page));
  index.RemoveFromPage(S, 1, -1, 5);
  ASSERT_TRUE(index.FindPageWithRoom(S, 1, page));
  EXPECT_EQ(page, 5);
  pm.Commit(S);
}

TEST(BTreePageIndexTest, RecordNumbersInPageOrder) {
  MemoryPageManager pm(256);  // 33 entries per leaf
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 50;
  index.CreateTree(S);
  std::map<int32_t, int32_t> counts;
  std::mt19937 rng(3);
  for (int i = 0; i < 3000; ++i) {
    const int32_t p = static_cast<int32_t>(rng() % 400) * 3;
    if (counts[p] == 50) continue;
    index.AddToPage(S, 1, p);
    ++counts[p];
  }
  // A page listed with nothing is passed over.
  index.AddToPage(S, 0, -6);
  Check(index);
  int64_t total = 0;
  for (const auto& [p, c] : counts) total += c;
  index.CheckRecordCount(S, total);
  EXPECT_EQ(RaisedMessage([&] { index.CheckRecordCount(S, total + 1); }),
            "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=" + std::to_string(total) +
                ", MostUpdated.RecordCount=" + std::to_string(total + 1) + " - Native error: 20292");
  int32_t page = -1, position = -1;
  index.RecNoToPage(S, page, position, 0);
  EXPECT_EQ(page, counts.begin()->first);
  EXPECT_EQ(position, 0);
  int64_t before = 0;
  for (const auto& [p, c] : counts) {
    index.RecNoToPage(S, page, position, before + c - 1);
    ASSERT_EQ(page, p);
    ASSERT_EQ(position, c - 1);
    int64_t count = -1;
    index.RecordsBefore(S, p, count, 2);
    ASSERT_EQ(count, before + 2);
    before += c;
  }
  EXPECT_EQ(RaisedCode([&] { index.RecNoToPage(S, page, position, total); }), 20113);
  EXPECT_EQ(RaisedCode([&] { int64_t c; index.RecordsBefore(S, 1, c, 0); }), 20114);
  pm.Commit(S);
}

TEST(BTreePageIndexTest, WalksAndNeighbours) {
  MemoryPageManager pm(256);
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 9;
  index.CreateTree(S);
  std::vector<std::pair<int32_t, uint16_t>> expected;
  for (int32_t p = 0; p < 2000; ++p) {
    const int32_t page = (p * 7919) % 2000;  // scrambled order
    index.AddToPage(S, 1 + page % 5, page);
  }
  for (int32_t page = 0; page < 2000; ++page) expected.emplace_back(page, static_cast<uint16_t>(1 + page % 5));
  Check(index);
  EXPECT_EQ(Entries(index), expected);
  EXPECT_EQ(Entries(index, true), expected);
  int32_t page = -1;
  ASSERT_TRUE(index.GetFirstPage(S, page));
  EXPECT_EQ(page, 0);
  ASSERT_TRUE(index.GetLastPage(S, page));
  EXPECT_EQ(page, 1999);
  int32_t next = -1;
  ASSERT_TRUE(index.GetNextPage(S, 999, next));
  EXPECT_EQ(next, 1000);
  ASSERT_TRUE(index.GetPriorPage(S, 1000, next));
  EXPECT_EQ(next, 999);
  EXPECT_FALSE(index.GetNextPage(S, 1999, next));
  EXPECT_FALSE(index.GetPriorPage(S, 0, next));
  EXPECT_EQ(RaisedCode([&] { index.GetNextPage(S, 5000, next); }), 20104);
  EXPECT_EQ(RaisedCode([&] { index.GetPriorPage(S, 5000, next); }), 20105);
  TVLMKeyPath empty;
  EXPECT_EQ(RaisedCode([&] { index.NextEntry(S, empty); }), 20099);
  EXPECT_EQ(RaisedCode([&] { index.PriorEntry(S, empty); }), 20101);
  EXPECT_EQ(RaisedCode([&] { index.GetValueAt(S, empty); }), 20107);
  EXPECT_EQ(RaisedCode([&] { index.SetValueAt(S, empty, 1); }), 20108);
  EXPECT_EQ(RaisedCode([&] { index.GetPageNoAt(S, empty); }), 20103);
  // A neighbour page missing from the level chain.
  TVLMKeyPath path;
  ASSERT_TRUE(index.FindPage(S, 0, path));
  {
    TVLMBTreePagePtr leaf = TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, path.Levels[path.Depth - 1].PageNo);
    leaf->SetNextPageNo(-1);
    path.Levels[path.Depth - 1].EntryNo = path.Levels[path.Depth - 1].EntryCount - 1;
  }
  EXPECT_EQ(RaisedCode([&] { index.NextEntry(S, path); }), 20100);
  pm.RollbackSession(S);
}

TEST(BTreePageIndexTest, OperationsOnAMissingTree) {
  MemoryPageManager pm(4096);
  TVLMBTreeRecordPageIndex index(&pm);
  TVLMKeyPath path;
  int32_t page = 0;
  EXPECT_EQ(RaisedCode([&] { index.GoFirst(S, path); }), 20115);
  EXPECT_EQ(RaisedCode([&] { index.GoLast(S, path); }), 20116);
  EXPECT_EQ(RaisedCode([&] { index.FindPage(S, 1, path); }), 20117);
  EXPECT_EQ(RaisedMessage([&] { index.AddToPage(S, 1, 1); }), "Index error: invalid page number - Native error: 20118");
  index.RootPageNo = -2;
  EXPECT_EQ(RaisedCode([&] { index.AddToPage(S, 1, 1); }), 20118);
  index.RootPageNo = -1;
  EXPECT_EQ(RaisedCode([&] { index.RemoveFromPage(S, 1, -1, 1); }), 20110);
  EXPECT_EQ(RaisedCode([&] { index.FindPageWithRoom(S, 1, page); }), 20116);
  index.CreateTree(S);
  EXPECT_EQ(RaisedMessage([&] { index.RemoveFromPage(S, 1, -1, 1); }), "Invalid page number - Native error: 20111");
}

TEST(BTreePageIndexTest, EmptyAndDropFreeTheTreesPages) {
  MemoryPageManager pm(256);
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 9;
  index.CreateTree(S);
  const int32_t root = index.RootPageNo;
  for (int32_t p = 0; p < 500; ++p) index.AddToPage(S, 1, p);
  pm.Commit(S);
  ASSERT_GT(pm.UsedPages(), 15);
  index.EmptyTree(S);
  pm.Commit(S);
  EXPECT_EQ(pm.UsedPages(), 1);
  EXPECT_EQ(index.RootPageNo, root);
  EXPECT_TRUE(Entries(index).empty());
  index.AddToPage(S, 1, 3);
  index.DropTree(S);
  EXPECT_EQ(index.RootPageNo, -1);
  pm.Commit(S);
  EXPECT_EQ(pm.UsedPages(), 0);
}

// Pages of 106 bytes: leaves hold exactly 8 entries, nodes exactly 6.
constexpr uint16_t kExactPage = 106;

TEST(BTreePageIndexTest, ANodeThatLosesItsOnlyChildBesideFullNeighboursLeavesTheLevel) {
  MemoryPageManager pm(kExactPage);
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 9;
  // Root over three nodes: the outer two exactly full (6 leaves each), the
  // middle one with a single leaf of 3 pages.
  std::vector<std::vector<int32_t>> leaves;
  auto leaf = [&](int32_t base, int32_t n) {
    std::vector<int32_t> keys;
    for (int32_t j = 0; j < n; ++j) keys.push_back(base + 2 * j);
    leaves.push_back(keys);
  };
  for (int32_t i = 0; i < 6; ++i) leaf(1000 + 100 * i, i < 5 ? 8 : 3);
  leaf(2000, 3);
  for (int32_t i = 0; i < 6; ++i) leaf(3000 + 100 * i, 8);
  BuildShape(index, leaves, {{6, 1, 6}, {3}}, [](int32_t) { return uint16_t{1}; });
  ASSERT_NO_THROW(Check(index));
  const auto before = Entries(index);

  // The single leaf drops to 2 pages and merges into its left neighbour;
  // its node is left without entries and no neighbour can take anything.
  index.RemoveFromPage(S, 1, -1, 2000);
  ASSERT_NO_THROW(Check(index));
  {
    TVLMBTreePagePtr root = TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, index.RootPageNo);
    EXPECT_EQ(root->GetEntryCount(), 2);
  }
  auto after = Entries(index);
  auto want = before;
  want.erase(std::find(want.begin(), want.end(), std::make_pair(2000, uint16_t{1})));
  EXPECT_EQ(after, want);
  // The key range of the vanished node is still served.
  index.AddToPage(S, 1, 2001);
  index.AddToPage(S, 1, 2002);
  EXPECT_EQ(index.GetPageValue(S, 2002), 2);
  EXPECT_EQ(index.GetPageValue(S, 2004), 1);
  ASSERT_NO_THROW(Check(index));
  pm.Commit(S);
}

// A node whose first entry keeps an old key (lower than keys of the subtree
// before it) loses its only leaf to the next subtree: the separator above
// must drop to the smallest key that moved, not to that old key, or the keys
// between the two are looked for in the wrong subtree (a long random run
// found this).
TEST(BTreePageIndexTest, EntriesMergedIntoTheNextSubtreeTakeTheirRealSmallestKeyAlong) {
  MemoryPageManager pm(kExactPage);
  TVLMBTreeRecordPageIndex index(&pm);
  index.MaxRecordsPerPage = 9;
  std::vector<std::vector<int32_t>> leaves;
  for (const auto& [base, n] : {std::pair{1000, 8}, {1100, 8}, {2000, 3}, {3000, 2}, {3100, 8}}) {
    std::vector<int32_t> keys;
    for (int32_t j = 0; j < n; ++j) keys.push_back(base + 2 * j);
    leaves.push_back(keys);
  }
  BuildShape(index, leaves, {{2, 1, 2}, {3}}, [](int32_t) { return uint16_t{1}; });
  {
    TVLMBTreePagePtr root = TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, index.RootPageNo);
    TVLMBTreePagePtr middle = TVLMBTreePage::Load(&pm, index.KeyRef.get(), S, root->ChildPageNo(1));
    uint8_t old[4];
    VLMPutI32LE(old, 1050);
    middle->SetEntryKey(0, old);
    middle->SetModified(true);
  }
  ASSERT_NO_THROW(Check(index));
  auto want = Entries(index);
  index.RemoveFromPage(S, 1, -1, 2000);
  want.erase(std::find(want.begin(), want.end(), std::make_pair(2000, uint16_t{1})));
  ASSERT_NO_THROW(Check(index));
  EXPECT_EQ(Entries(index), want);
  for (const auto& [page, value] : want) EXPECT_EQ(index.GetPageValue(S, page), value) << page;
  pm.Commit(S);
}

// Random adds and removes against a map, on exactly filled pages.
TEST(BTreePageIndexTest, RandomChangesMatchTheModel) {
  for (uint16_t pageSize : {kExactPage, uint16_t{4096}}) {
    SCOPED_TRACE(pageSize);
    MemoryPageManager pm(pageSize);
    TVLMBTreeRecordPageIndex index(&pm);
    index.MaxRecordsPerPage = 4;
    index.CreateTree(S);
    std::map<int32_t, uint16_t> model;
    std::mt19937 rng(pageSize);
    const int32_t range = pageSize == kExactPage ? 600 : 6000;
    const auto budget = qv::test::TestBudget::Steps(20000, 10);
    for (int op = 1; budget.Continue(static_cast<uint64_t>(op - 1)); ++op) {
      const int32_t page = static_cast<int32_t>(rng() % static_cast<uint32_t>(range)) - 50;
      auto it = model.find(page);
      if (rng() % 2 == 0) {
        if (it != model.end() && it->second == 4) {
          ASSERT_EQ(RaisedCode([&] { index.AddToPage(S, 1, page); }), 20106);
        } else {
          index.AddToPage(S, 1, page);
          ++model[page];
        }
      } else if (it != model.end()) {
        index.RemoveFromPage(S, 1, -1, page);
        if (--it->second == 0) model.erase(it);
      }
      if (op % 1000 == 0) {
        ASSERT_NO_THROW(Check(index));
        std::vector<std::pair<int32_t, uint16_t>> want(model.begin(), model.end());
        ASSERT_EQ(Entries(index), want);
        // A page offered as having room has room.
        int32_t found = -1;
        if (index.FindPageWithRoom(S, 1, found)) {
          ASSERT_EQ(model.count(found), 1u);
          ASSERT_LT(model[found], 4);
        }
      }
      if (op % 4000 == 0) pm.Commit(S);
    }
    // Emptied, the tree is one empty leaf again.
    for (const auto& [page, count] : std::map<int32_t, uint16_t>(model))
      for (uint16_t c = 0; c < count; ++c) index.RemoveFromPage(S, 1, -1, page);
    Check(index);
    pm.Commit(S);
    EXPECT_EQ(pm.UsedPages(), 1);
  }
}

}  // namespace
