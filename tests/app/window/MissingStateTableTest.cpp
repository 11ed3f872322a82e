// A state database whose file is there but holds no state table: the window
// names the missing table and goes on without state look-ups.
#include "WindowTestSupport.h"

#include "platform/host/Exception.h"

namespace qv::app::wintest {
namespace {

// A database/table pair whose database exists but whose table does not.
class TableMissing final : public DatabaseTable {
public:
  explicit TableMissing(std::unique_ptr<DatabaseTable> inner) : Inner_(std::move(inner)) {}
  DataSet& Data() override { return Inner_->Data(); }
  void SetIndexName(std::string_view name) override { Inner_->SetIndexName(name); }
  bool DatabaseExists() override { return Inner_->DatabaseExists(); }
  bool TableExists() override { return false; }
  const std::string& DatabaseFileName() const override { return Inner_->DatabaseFileName(); }
  void SetDatabaseFileName(const std::string& fileName) override { Inner_->SetDatabaseFileName(fileName); }
  void Connect() override { Inner_->Connect(); }
  void Disconnect() override { Inner_->Disconnect(); }
  void EmptyTable() override { throw Exception("Table does not exist"); }

private:
  std::unique_ptr<DatabaseTable> Inner_;
};

class WithoutStateTable final : public TableFactory {
public:
  explicit WithoutStateTable(TableFactory& inner) : Inner_(inner) {}
  std::unique_ptr<DatabaseTable> Create(const TableSpec& spec, const std::string& fileName, bool readOnly) override {
    std::unique_ptr<DatabaseTable> table = Inner_.Create(spec, fileName, readOnly);
    if (spec.TableName == StateTableSpec().TableName) return std::make_unique<TableMissing>(std::move(table));
    return table;
  }

private:
  TableFactory& Inner_;
};

TEST_P(WindowTest, MissingStateTableIsReportedAndTheProgramGoesOn) {
  AddRow(StateStorage(), {{"State", "TX"}, {"USCountry", "USA"}, {"Continent", "NA"}});
  Configure({});
  WithoutStateTable tables(Factory());
  Controller = std::make_unique<MainController>(View, tables, *Store, Home);
  Controller->FormCreate();
  Controller->FormActivate();
  Controller->Timer1Timer();

  ASSERT_EQ(View.Messages.size(), 1u);
  EXPECT_EQ(View.Messages[0].Kind, "error");
  EXPECT_EQ(View.Messages[0].Text, "-- Output Table \"USCountryTabl\" does not exist");
  EXPECT_FALSE(Controller->StateTableOpen());
  EXPECT_TRUE(View.C(Ctl::StateFLD).Items.empty());
  EXPECT_EQ(View.Title, "Quorvex - v" QV_VERSION_STRING " W1AW  TEST");  // the start went on
  EXPECT_EQ(Text(Ctl::ClockPanel), "1234");

  Set(Ctl::StateFLD, "tx");
  Leave(Ctl::StateFLD, Ctl::CountryFLD);
  EXPECT_EQ(Text(Ctl::StateFLD), "TX");
  EXPECT_EQ(Text(Ctl::CountryFLD), "");  // no look-up in a table that is not open
  Set(Ctl::CallEntered, "K1XX");
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "CW");
  Controller->AddToLogButtonClick();
  ASSERT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(LogRecords()[0].State, "TX");
  EXPECT_EQ(View.Messages.size(), 1u);
  Controller.reset();
}

}  // namespace
}  // namespace qv::app::wintest
