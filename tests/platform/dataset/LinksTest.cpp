// Data sources and links: what reaches a link and when, master/detail
// notifications, DisableControls, circular links, teardown in any order.
#include <gtest/gtest.h>

#include "platform/dataset/DatabaseError.h"
#include "tests/platform/dataset/DataSetTestUtil.h"

namespace {

using qvtest::CurrentId;
using qvtest::ErrorOf;
using qvtest::ProbeLink;

class LinkFixture : public ::testing::Test {
protected:
  void SetUp() override {
    qvtest::DefineLogTable(table_);
    master_.SetName("Master");
    master_.SetTable(&table_);
    master_.Open();
    qvtest::AppendRows(master_, 5);
    master_.First();
    source_.SetDataSet(&master_);
  }

  qv::MemTable table_;
  qv::MemDataSet master_;
  qv::DataSource source_;
};

TEST_F(LinkFixture, AMasterScrollFiresTheDetailLinksHandler) {
  qv::MemTable detailTable;
  qvtest::DefineLogTable(detailTable);
  qv::MemDataSet detail;
  detail.SetTable(&detailTable);
  qv::MasterDataLink link(&detail);
  std::vector<int> changes;
  int disables = 0;
  link.OnMasterChange = [&](qv::MasterDataLink& l) { changes.push_back(l.GetFields()[0]->AsInteger()); };
  link.OnMasterDisable = [&](qv::MasterDataLink&) { ++disables; };
  link.SetFieldNames("ID");
  link.SetDataSource(&source_);
  EXPECT_TRUE(changes.empty());  // the detail is closed: nothing to follow yet
  detail.Open();
  link.SetFieldNames("id;Call");  // names resolve against the master, any case
  ASSERT_EQ(link.GetFields().size(), 2u);
  EXPECT_EQ(link.GetFields()[1], master_.FieldByName("Call"));
  changes.clear();

  master_.Next();
  master_.Next();
  master_.Last();
  EXPECT_EQ(changes, (std::vector<int>{2, 3, 5}));
  EXPECT_EQ(link.DetailDataSet(), &detail);

  // A change of a field the link does not name does not concern the detail.
  changes.clear();
  master_.Edit();  // a new state of the record: the detail hears of it
  EXPECT_EQ(changes, (std::vector<int>{5}));
  changes.clear();
  master_.FieldByName("Points")->SetAsInteger(8);
  EXPECT_TRUE(changes.empty());
  master_.FieldByName("ID")->SetAsInteger(50);
  EXPECT_EQ(changes, (std::vector<int>{50}));
  master_.Post();

  master_.Close();
  EXPECT_EQ(disables, 1);
  EXPECT_TRUE(link.GetFields().empty());
}

TEST_F(LinkFixture, LinksHearStateScrollsAndEdits) {
  ProbeLink link;
  link.SetDataSource(&source_);
  EXPECT_TRUE(link.Active());
  EXPECT_EQ(link.ActiveChanges, 1);
  std::vector<std::string> log;
  source_.OnStateChange = [&](qv::DataSource& s) { log.push_back("state " + std::to_string(s.State())); };
  source_.OnDataChange = [&](qv::DataSource&, qv::Field* f) { log.push_back(f ? "field " + f->FieldName() : "data"); };

  master_.Next();
  EXPECT_EQ(link.Scrolls, 1);
  master_.Edit();
  EXPECT_TRUE(link.Editing());
  master_.FieldByName("Call")->SetAsString("N0NE");
  master_.Post();  // the link is asked for its pending changes first
  EXPECT_EQ(link.Updates, 1);
  EXPECT_FALSE(link.Editing());
  EXPECT_EQ(log, (std::vector<std::string>{"data", "state 2", "data", "field Call", "state 1", "data"}));

  // Through DisableControls nothing arrives; EnableControls sends one change.
  int scrolls = link.Scrolls;
  int changes = link.DataSetChanges;
  master_.DisableControls();
  master_.DisableControls();
  for (master_.First(); !master_.Eof(); master_.Next()) {
  }
  master_.EnableControls();
  EXPECT_EQ(link.DataSetChanges, changes);
  master_.EnableControls();
  EXPECT_EQ(link.Scrolls, scrolls);
  EXPECT_EQ(link.DataSetChanges, changes + 1);
  EXPECT_FALSE(master_.ControlsDisabled());

  source_.SetEnabled(false);
  EXPECT_FALSE(link.Active());
  source_.SetEnabled(true);
  EXPECT_TRUE(link.Active());
  source_.SetAutoEdit(false);
  EXPECT_FALSE(link.Edit());
  source_.SetAutoEdit(true);
  EXPECT_TRUE(link.Edit());
  master_.Cancel();
  link.SetReadOnly(true);
  EXPECT_FALSE(link.Edit());
  EXPECT_EQ(master_.State(), qv::dsBrowse);
}

TEST_F(LinkFixture, CircularLinksAreRefused) {
  // A dataset that follows a data source as its master.
  class Detail : public qv::MemDataSet {
  public:
    qv::DataSource* Master = nullptr;
    qv::DataSource* GetDataSource() override { return Master; }
  };
  Detail a;
  Detail b;
  qv::DataSource sourceA;
  qv::DataSource sourceB;
  sourceA.SetName("SourceA");
  b.Master = &sourceA;  // b follows sourceA
  sourceB.SetDataSet(&b);
  a.Master = &sourceB;  // a follows sourceB, which shows b
  // sourceA showing a would make a follow itself.
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { sourceA.SetDataSet(&a); }), "SourceA: Circular datalinks are not allowed")
      << "a circular link must be refused";
  EXPECT_EQ(sourceA.GetDataSet(), nullptr);
  EXPECT_TRUE(b.IsLinkedTo(&sourceB));
  EXPECT_FALSE(a.IsLinkedTo(&sourceB));
  // Nor can a dataset be shown by the source it follows.
  EXPECT_THROW(sourceA.SetDataSet(&b), qv::EDatabaseError);
}

TEST_F(LinkFixture, ABufferCountOfTenShowsTenRecordsAroundTheCurrentOne) {
  ProbeLink grid;
  grid.SetBufferCount(10);
  grid.SetDataSource(&source_);
  EXPECT_EQ(master_.BufferCount(), 10);
  EXPECT_EQ(grid.WindowIds(), (std::vector<int>{1, 2, 3, 4, 5}));
  qvtest::AppendRows(master_, 10, 6);
  master_.First();
  EXPECT_EQ(grid.WindowIds(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  master_.MoveBy(12);
  EXPECT_EQ(grid.WindowIds(), (std::vector<int>{4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
  EXPECT_EQ(grid.ActiveRecord(), 9);
  ASSERT_TRUE(master_.Locate("ID", qv::HostVariant(int32_t{8}), 0));
  EXPECT_EQ(grid.WindowIds()[static_cast<size_t>(grid.ActiveRecord())], 8);

  // A second, smaller link does not shrink the dataset's window.
  ProbeLink edit;
  edit.SetDataSource(&source_);
  EXPECT_EQ(master_.BufferCount(), 10);
  EXPECT_EQ(edit.RecordCount(), 1);
  EXPECT_EQ(edit.WindowIds(), (std::vector<int>{8}));
  grid.SetDataSource(nullptr);
  EXPECT_EQ(master_.BufferCount(), 1);
  EXPECT_EQ(CurrentId(master_), 8);
}

TEST(LinkTeardown, AnyOrderLeavesNoDanglingPointers) {
  qv::MemTable table;
  qvtest::DefineLogTable(table);
  {
    auto ds = std::make_unique<qv::MemDataSet>();
    ds->SetTable(&table);
    ds->Open();
    qv::DataSource source;
    ProbeLink link;
    source.SetDataSet(ds.get());
    link.SetDataSource(&source);
    ds.reset();  // the dataset goes first
    EXPECT_EQ(source.GetDataSet(), nullptr);
    EXPECT_FALSE(link.Active());
  }
  {
    qv::MemDataSet ds;
    ds.SetTable(&table);
    ds.Open();
    auto source = std::make_unique<qv::DataSource>();
    ProbeLink link;
    source->SetDataSet(&ds);
    link.SetDataSource(source.get());
    source.reset();  // the source goes first
    EXPECT_EQ(link.GetDataSource(), nullptr);
    ds.Next();
  }
  {
    qv::Component form;
    auto* ds = new qv::MemDataSet(&form);
    auto* source = new qv::DataSource(&form);
    ds->SetTable(&table);
    source->SetDataSet(ds);
    auto link = std::make_unique<ProbeLink>();
    link->SetDataSource(source);
    ds->Open();
    link.reset();  // the link goes first; the owner frees the rest
  }
}

}  // namespace
