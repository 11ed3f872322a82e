// B-tree pages and controllers: the page head and its size rules, splits of
// the root and of other pages, merges into either neighbour, the root
// collapsing back into a leaf, runs of equal keys across leaves, the
// integrity check finding damaged pages.
#include <gtest/gtest.h>

#include "engine/core/VLMMemory.h"
#include "tests/engine/btree/BTreeTestSupport.h"

using namespace btree_test;

namespace {

class BTreeIntegerTree : public ::testing::Test {
protected:
  void Make(uint16_t pageSize, bool descending = false) {
    PM = std::make_unique<MemoryPageManager>(pageSize);
    Table = std::make_unique<TestTable>();
    Table->AddField("N", dtInteger);
    Def = MakeIndexDef({{"N", descending}});
    Tree = std::make_unique<RecordTree>(*PM, *Table, *Def);
  }
  void TearDown() override {
    Tree.reset();
    PM.reset();
  }
  std::vector<uint8_t> Rec(int32_t n) {
    auto r = Table->NewRecord();
    Table->SetInt(r, 0, n);
    return r;
  }
  void Insert(int32_t n, TVLMRecordID id) { Tree->Insert(Rec(n), id); }
  static TVLMRecordID Id(uint32_t i) { return {i + 1, static_cast<uint16_t>(i % 3)}; }
  int32_t KeyAt(TVLMBTreePage& page, int32_t i) { return VLMGetI32LE(page.EntryKey(i) + 1); }

  std::unique_ptr<MemoryPageManager> PM;
  std::unique_ptr<TestTable> Table;
  std::unique_ptr<TVLMIndexDef> Def;
  std::unique_ptr<RecordTree> Tree;
};

TEST_F(BTreeIntegerTree, HeadLayoutOfAnEmptyRoot) {
  Make(4096);
  TVLMBTreePagePtr root = Tree->Root();
  const uint8_t* d = root->Data();
  const std::vector<uint8_t> head(d, d + kVLMBTreeHeadSize);
  // IsRoot, IsLeaf, Prev -1, Next -1, InitMark, HasExtra, KeySize 5,
  // EntryCount 0, VarAreaSize 0.
  EXPECT_EQ(head, (std::vector<uint8_t>{1, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 5, 0, 0, 0, 0, 0}));
  EXPECT_EQ(root->EntriesOffset(), 18);
  EXPECT_EQ(root->ValueSize(), 6);
  EXPECT_EQ(root->EntrySize(), 11);
  EXPECT_EQ(root->Page->GetPageType(), kVLMPageTableIndex);
  root->ClearHead();
  EXPECT_EQ(std::vector<uint8_t>(d, d + kVLMBTreeHeadSize),
            (std::vector<uint8_t>{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  root->InitEmptyRoot();
  // A reader honours a variable area and extra bytes it never writes.
  root->SetVarAreaSize(4);
  root->SetHasExtra(1);
  EXPECT_EQ(root->EntriesOffset(), 22);
  EXPECT_EQ(root->EntrySize(), 17);
  EXPECT_EQ(root->EntryKey(2) - d, 22 + 2 * 17);
  EXPECT_EQ(root->EntryValue(2) - root->EntryKey(2), 5);
  root->SetIsLeaf(false);
  EXPECT_EQ(root->EntrySize(), 15);
  root->InitEmptyRoot();
}

TEST_F(BTreeIntegerTree, TheRootLeafHolds367AndSplitsInHalvesKeepingItsNumber) {
  Make(4096);
  const int32_t rootNo = Tree->RootPageNo;
  for (uint32_t i = 0; i < 367; ++i) Insert(static_cast<int32_t>(i * 2), Id(i));
  {
    TVLMBTreePagePtr root = Tree->Root();
    EXPECT_TRUE(root->GetIsLeaf());
    EXPECT_EQ(root->GetEntryCount(), 367);
    // 367 entries of 11 bytes and the head fill 4055 of 4056 bytes.
    EXPECT_FALSE(root->LeafController.IsOverfull());
    EXPECT_FALSE(root->LeafController.HasRoomForOne());
    // One more entry goes into a buffer grown by one entry, then the page
    // splits.
    uint8_t key[5] = {}, value[6] = {};
    root->LeafController.InsertEntryAt(key, value, 0);
    EXPECT_TRUE(root->LeafController.IsOverfull());
    EXPECT_GE(VLMMemoryManager().GetMemSize(root->Page->Buffer), 4096 + 11);
    root->LeafController.DeleteEntryAt(0);
  }
  Insert(1000, Id(367));
  TVLMBTreePagePtr root = Tree->Root();
  EXPECT_EQ(root->GetPageNo(), rootNo);
  EXPECT_TRUE(root->GetIsRoot());
  EXPECT_FALSE(root->GetIsLeaf());
  ASSERT_EQ(root->GetEntryCount(), 2);
  // Entry 0 has a zero key; entry 1 carries the right half's first key.
  EXPECT_EQ(std::vector<uint8_t>(root->EntryKey(0), root->EntryKey(0) + 5), std::vector<uint8_t>(5, 0));
  TVLMBTreePagePtr left = Tree->Load(root->ChildPageNo(0));
  TVLMBTreePagePtr right = Tree->Load(root->ChildPageNo(1));
  EXPECT_EQ(left->GetEntryCount(), 184);
  EXPECT_EQ(right->GetEntryCount(), 184);
  EXPECT_EQ(std::memcmp(root->EntryKey(1), right->EntryKey(0), 5), 0);
  EXPECT_EQ(KeyAt(*right, 0), 184 * 2);
  EXPECT_FALSE(left->GetIsRoot());
  EXPECT_TRUE(left->GetIsLeaf());
  EXPECT_EQ(left->GetPrevPageNo(), -1);
  EXPECT_EQ(left->GetNextPageNo(), right->GetPageNo());
  EXPECT_EQ(right->GetPrevPageNo(), left->GetPageNo());
  EXPECT_EQ(right->GetNextPageNo(), -1);
  root.reset();
  left.reset();
  right.reset();
  EXPECT_NO_THROW(Tree->Check());
  EXPECT_EQ(Tree->Walk().size(), 368u);
}

TEST_F(BTreeIntegerTree, NodeOperationsOnALeafAndDeletesFromAnEmptyPageFail) {
  Make(4096);
  TVLMBTreePagePtr root = Tree->Root();
  EXPECT_EQ(RaisedMessage([&] { root->LeafController.DeleteEntryAt(0); }),
            "Index error: page is empty - Native error: 20025");
  TVLMKeyPath path;
  uint8_t key[5] = {};
  EXPECT_EQ(RaisedMessage([&] { root->InsertEntryForChild(0, key, 5, path); }),
            "Internal index error - Native error: 20020");
  EXPECT_EQ(RaisedCode([&] { root->DeleteEntryForChild(0, true, path); }), 20024);
}

TEST_F(BTreeIntegerTree, EqualKeysSortByRecordIDAcrossLeaves) {
  Make(300);  // leaves of 22 entries
  // 200 records with one key, inserted in a scrambled record order, among
  // smaller and greater keys.
  for (uint32_t i = 0; i < 50; ++i) Insert(1, Id(1000 + i));
  for (uint32_t i = 0; i < 200; ++i) Insert(7, Id((i * 37) % 200));
  for (uint32_t i = 0; i < 50; ++i) Insert(9, Id(2000 + i));
  ASSERT_NO_THROW(Tree->Check());
  const auto all = Tree->Walk();
  ASSERT_EQ(all.size(), 300u);
  for (uint32_t i = 0; i < 200; ++i) EXPECT_EQ(all[50 + i], Id(i)) << i;
  // Every one of them is found, wherever its leaf is.
  for (uint32_t i = 0; i < 200; ++i) {
    TVLMKeyPath path;
    ASSERT_TRUE(Tree->FindEntry(Rec(7), Id(i), path)) << i;
    EXPECT_EQ(Tree->RecordAt(path), Id(i));
  }
  TVLMKeyPath path;
  EXPECT_FALSE(Tree->FindEntry(Rec(7), Id(500), path));
  EXPECT_FALSE(Tree->FindEntry(Rec(8), Id(5), path));
  // A delete removes exactly the given record's entry.
  EXPECT_TRUE(Tree->Delete(Rec(7), Id(77)));
  EXPECT_FALSE(Tree->Delete(Rec(7), Id(77)));
  EXPECT_FALSE(Tree->Delete(Rec(9), Id(78)));
  const auto after = Tree->Walk();
  ASSERT_EQ(after.size(), 299u);
  EXPECT_EQ(after[50 + 76], Id(76));
  EXPECT_EQ(after[50 + 77], Id(78));
  // First and last of the run, from either side.
  TVLMRecordID found{};
  ASSERT_TRUE(Tree->FindByCondition(Rec(7), kVLMSearchEqual, true, found));
  EXPECT_EQ(found, Id(0));
  ASSERT_TRUE(Tree->FindByCondition(Rec(7), kVLMSearchEqual, false, found));
  EXPECT_EQ(found, Id(199));
  ASSERT_TRUE(Tree->FindByCondition(Rec(7), kVLMSearchGreater, true, found));
  EXPECT_EQ(found, Id(2000));
  ASSERT_TRUE(Tree->FindByCondition(Rec(7), kVLMSearchLess, false, found));
  EXPECT_EQ(found, Id(1049));
  EXPECT_NO_THROW(Tree->Check());
}

TEST_F(BTreeIntegerTree, GreaterBackwardGivesTheLastEntryOfTheTree) {
  Make(300);
  for (uint32_t i = 0; i < 100; ++i) Insert(static_cast<int32_t>(i * 10), Id(i));
  TVLMRecordID found{};
  ASSERT_TRUE(Tree->FindByCondition(Rec(-5), kVLMSearchGreater, false, found));
  EXPECT_EQ(found, Id(99));
  EXPECT_FALSE(Tree->FindByCondition(Rec(990), kVLMSearchGreater, false, found));
  // The mirror: less, forward, gives the first entry.
  ASSERT_TRUE(Tree->FindByCondition(Rec(995), kVLMSearchLess, true, found));
  EXPECT_EQ(found, Id(0));
  EXPECT_FALSE(Tree->FindByCondition(Rec(0), kVLMSearchLess, true, found));
}

class BTreeMergeTest : public BTreeIntegerTree {
protected:
  // Three leaves of keys 0.., 100.., 200.. under the root, holding the
  // given counts. On pages of 300 bytes a leaf holds exactly 22 entries and
  // is underfull below 11; two leaves merge when they hold 21 or fewer.
  void Build(int32_t a, int32_t b, int32_t c) {
    Make(300);
    TVLMBTreePagePtr root = Tree->Root();
    std::vector<TVLMBTreePagePtr> pages;
    const int32_t counts[3] = {a, b, c};
    for (int leaf = 0; leaf < 3; ++leaf) {
      TVLMBTreePagePtr page = root->NewPage(0);
      page->InitEmptyRoot();
      page->SetIsRoot(false);
      for (int32_t i = 0; i < counts[leaf]; ++i) {
        const int32_t key = 100 * leaf + i;
        std::vector<uint8_t> k(5);
        auto rec = Rec(key);
        Tree->KeyRef.MakeKey(rec.data(), k.data());
        uint8_t value[6];
        VLMPutRecordID(value, Id(static_cast<uint32_t>(key)));
        page->LeafController.InsertEntryAt(k.data(), value, i);
      }
      Leaves[leaf] = page->GetPageNo();
      pages.push_back(std::move(page));
    }
    for (int leaf = 0; leaf < 3; ++leaf) {
      pages[leaf]->SetPrevPageNo(leaf > 0 ? Leaves[leaf - 1] : -1);
      pages[leaf]->SetNextPageNo(leaf < 2 ? Leaves[leaf + 1] : -1);
    }
    root->SetIsLeaf(false);
    root->SetEntryCount(0);
    for (int leaf = 0; leaf < 3; ++leaf) {
      uint8_t value[4];
      VLMPutI32LE(value, Leaves[leaf]);
      root->NodeController.InsertEntryAt(leaf == 0 ? nullptr : pages[leaf]->EntryKey(0), value, leaf);
    }
    root->SetModified(true);
    pages.clear();
    root.reset();
    ASSERT_NO_THROW(Tree->Check());
  }
  // Deletes the first entry of leaf i through the tree.
  void DeleteFirstOf(int leaf) {
    TVLMBTreePagePtr page = Tree->Load(Leaves[leaf]);
    const int32_t key = KeyAt(*page, 0);
    const TVLMRecordID id = VLMGetRecordID(page->EntryValue(0));
    page.reset();
    ASSERT_TRUE(Tree->Delete(Rec(key), id));
  }
  int32_t Count(int leaf) { return Tree->Load(Leaves[leaf])->GetEntryCount(); }
  int32_t Sum() { return static_cast<int32_t>(Tree->Walk().size()); }

  int32_t Leaves[3] = {-1, -1, -1};
};

TEST_F(BTreeMergeTest, AnUnderfullLeafMergesIntoItsLeftNeighbourWhenTheUnionFits) {
  Build(10, 11, 20);
  DeleteFirstOf(1);  // 10 left: underfull, and 10 + 10 fit the left leaf
  TVLMBTreePagePtr root = Tree->Root();
  ASSERT_EQ(root->GetEntryCount(), 2);
  EXPECT_EQ(root->ChildPageNo(0), Leaves[0]);
  EXPECT_EQ(root->ChildPageNo(1), Leaves[2]);
  EXPECT_EQ(Count(0), 20);
  EXPECT_EQ(Tree->Load(Leaves[2])->GetPrevPageNo(), Leaves[0]);
  root.reset();
  EXPECT_NO_THROW(Tree->Check());
  EXPECT_EQ(Sum(), 40);
  PM->Commit(0);
  EXPECT_EQ(RaisedCode([&] { Tree->Load(Leaves[1]); }), 10392);  // freed at commit
}

TEST_F(BTreeMergeTest, OtherwiseIntoItsRightNeighbour) {
  Build(20, 11, 9);
  DeleteFirstOf(1);
  TVLMBTreePagePtr root = Tree->Root();
  ASSERT_EQ(root->GetEntryCount(), 2);
  EXPECT_EQ(root->ChildPageNo(1), Leaves[2]);
  EXPECT_EQ(Count(2), 19);
  // The right leaf's separator dropped to that of the keys it took over.
  TVLMBTreePagePtr right = Tree->Load(Leaves[2]);
  EXPECT_EQ(KeyAt(*root, 1), 100);
  EXPECT_EQ(KeyAt(*right, 0), 101);
  EXPECT_EQ(right->GetPrevPageNo(), Leaves[0]);
  EXPECT_EQ(Tree->Load(Leaves[0])->GetNextPageNo(), Leaves[2]);
  root.reset();
  right.reset();
  EXPECT_NO_THROW(Tree->Check());
}

TEST_F(BTreeMergeTest, OtherwiseItStaysUnderfull) {
  Build(20, 11, 20);
  DeleteFirstOf(1);
  EXPECT_EQ(Tree->Root()->GetEntryCount(), 3);
  EXPECT_EQ(Count(1), 10);
  EXPECT_NO_THROW(Tree->Check());
}

TEST_F(BTreeMergeTest, ALeafThatWouldBeEmptyAlwaysLeavesTheLevel) {
  // Both neighbours exactly full: no entry of the middle leaf could move,
  // but an empty leaf has none to move.
  Build(22, 3, 22);
  DeleteFirstOf(1);
  DeleteFirstOf(1);
  EXPECT_EQ(Tree->Root()->GetEntryCount(), 3);
  DeleteFirstOf(1);
  TVLMBTreePagePtr root = Tree->Root();
  ASSERT_EQ(root->GetEntryCount(), 2);
  EXPECT_EQ(root->ChildPageNo(0), Leaves[0]);
  EXPECT_EQ(root->ChildPageNo(1), Leaves[2]);
  root.reset();
  EXPECT_NO_THROW(Tree->Check());
  EXPECT_EQ(Sum(), 44);
}

TEST_F(BTreeIntegerTree, TwoLeavesMergeAndTheRootBecomesALeafAgain) {
  Make(300);
  const int32_t rootNo = Tree->RootPageNo;
  for (uint32_t i = 0; i < 23; ++i) Insert(static_cast<int32_t>(i), Id(i));
  ASSERT_FALSE(Tree->Root()->GetIsLeaf());
  for (uint32_t i = 22; i >= 4; --i) ASSERT_TRUE(Tree->Delete(Rec(static_cast<int32_t>(i)), Id(i)));
  TVLMBTreePagePtr root = Tree->Root();
  EXPECT_EQ(root->GetPageNo(), rootNo);
  EXPECT_TRUE(root->GetIsRoot());
  EXPECT_TRUE(root->GetIsLeaf());
  EXPECT_EQ(root->GetEntryCount(), 4);
  EXPECT_EQ(root->GetPrevPageNo(), -1);
  EXPECT_EQ(root->GetNextPageNo(), -1);
  root.reset();
  PM->Commit(0);
  EXPECT_EQ(PM->UsedPages(), 1);
}

TEST_F(BTreeIntegerTree, FreePagesKeepsTheRootWhenAsked) {
  Make(300);
  for (uint32_t i = 0; i < 500; ++i) Insert(static_cast<int32_t>(i), Id(i));
  PM->Commit(0);
  ASSERT_GT(PM->UsedPages(), 20);
  {
    TVLMBTreePagePtr root = Tree->Root();
    root->FreePages(0, true);
    root->InitEmptyRoot();
    root->SetModified(true);
  }
  PM->Commit(0);
  EXPECT_EQ(PM->UsedPages(), 1);
  EXPECT_TRUE(Tree->Walk().empty());
  Tree->Root()->FreePages(0, false);
  PM->Commit(0);
  EXPECT_EQ(PM->UsedPages(), 0);
}

TEST_F(BTreeIntegerTree, IntegrityCheckFindsDamage) {
  Make(300);
  for (uint32_t i = 0; i < 100; ++i) Insert(static_cast<int32_t>(i), Id(i));
  ASSERT_NO_THROW(Tree->Check());
  TVLMBTreePagePtr root = Tree->Root();
  TVLMBTreePagePtr leaf = Tree->Load(root->ChildPageNo(1));
  auto check = [&] { return RaisedCode([&] { Tree->Check(); }); };
  std::vector<uint8_t> saved(leaf->Data(), leaf->Data() + leaf->DataSize());
  auto restore = [&] { std::memcpy(leaf->Data(), saved.data(), saved.size()); };

  // Two entries out of order inside a leaf.
  std::swap_ranges(leaf->EntryKey(2), leaf->EntryKey(2) + 5, leaf->EntryKey(3));
  EXPECT_EQ(RaisedMessage([&] { Tree->Check(); }),
            "Index integrity error. PageNo=" + std::to_string(leaf->GetPageNo()) + " EntryNo=2 - Native error: 20028");
  restore();
  // Equal keys whose record IDs are out of order.
  std::memcpy(leaf->EntryKey(3), leaf->EntryKey(2), 5);
  std::swap_ranges(leaf->EntryValue(2), leaf->EntryValue(2) + 6, leaf->EntryValue(3));
  EXPECT_EQ(check(), 20028);
  restore();
  // Broken neighbour links.
  leaf->SetPrevPageNo(12345);
  EXPECT_EQ(check(), 20033);
  restore();
  leaf->SetNextPageNo(-1);
  EXPECT_EQ(check(), 20034);
  restore();
  // A first key below its separator, a last key above the next one.
  VLMPutI32LE(leaf->EntryKey(0) + 1, -100);
  EXPECT_EQ(check(), 20031);
  restore();
  VLMPutI32LE(leaf->EntryKey(leaf->GetEntryCount() - 1) + 1, 100000);
  EXPECT_EQ(check(), 20030);
  restore();
  // Separators out of order.
  std::vector<uint8_t> rootSaved(root->Data(), root->Data() + root->DataSize());
  VLMPutI32LE(root->EntryKey(2) + 1, -7);
  EXPECT_EQ(check(), 20030);  // the child's keys now exceed it first
  std::memcpy(root->Data(), rootSaved.data(), rootSaved.size());
  // A child that leads back to the root.
  root->SetEntryCount(1);
  VLMPutI32LE(root->EntryValue(0), root->GetPageNo());
  EXPECT_EQ(check(), 20032);
  std::memcpy(root->Data(), rootSaved.data(), rootSaved.size());
  EXPECT_EQ(check(), 0);
}

TEST_F(BTreeIntegerTree, KeysTooLargeForThePageAreRefused) {
  PM = std::make_unique<MemoryPageManager>(256);
  Table = std::make_unique<TestTable>();
  Table->AddField("T", dtString, 200);
  Def = MakeIndexDef({{"T", false, false, 150}});
  Tree = std::make_unique<RecordTree>(*PM, *Table, *Def);
  auto r = Table->NewRecord();
  Table->SetString(r, 0, "x");
  EXPECT_EQ(RaisedCode([&] { Tree->Insert(r, {1, 0}); }), 20344);
}

}  // namespace
