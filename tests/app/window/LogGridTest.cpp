// The grid models over a log of a few thousand contacts: the rows they show
// against the stored log, the current row through adds, an edit in the
// editor, a delete and an emptied log, and that they hold a window of rows.
#include "WindowTestSupport.h"

#include <QTableView>

#include "app/LogEditModel.h"
#include "app/LogGridModel.h"
#include "engine/components/VLMMain.h"
#include "support/QtTestApp.h"

namespace qv::app::wintest {
namespace {

using test::Spin;

// The second contact added starts a block of rows of its own.
constexpr int kContacts = 47 * LogGridModel::kBlockRows - 1;

// On the engine's tables: the grid's reads are the engine's record numbers
// and bookmarks.
class LogGridTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }
  void SetUp() override {
    test::QtTestApp();
    WindowFixture::SetUp();
    // In one transaction: a commit for each contact would take half a minute.
    TVLMDatabase database;
    database.SetDatabaseName("GridTestFill");
    database.SetDatabaseFileName(LogStorage().File);
    database.SetConnected(true);
    TVLMTable table;
    table.SetDatabaseName("GridTestFill");
    table.SetTableName(LogTableSpec().TableName);
    table.Open();
    database.StartTransaction();
    QsoRecord q;
    q.Freq = "14";
    q.Mode = "CW";
    for (int i = 0; i < kContacts; ++i) {
      q.Call = "K" + std::to_string(i) + "X";
      q.NumSent = std::to_string(i + 1);
      table.Append();
      WriteQso(table, q);
      table.Post();
    }
    database.Commit(true);
    table.Close();
    database.DoDisconnect();
    Start({});
  }
  // A model on the log in a view that follows the current record, as the
  // windows' grids do.
  template <typename M>
  M& Show() {
    auto& m = static_cast<M&>(*Models.emplace_back(std::make_unique<M>()));
    m.SetDataSet(&Controller->LogData());
    QTableView* v = Views.emplace_back(std::make_unique<QTableView>()).get();
    v->setModel(&m);
    QObject::connect(&m, &LogGridModel::CurrentRowChanged, v, [v, &m](int row) { v->scrollTo(m.index(row, 0)); });
    v->resize(900, 400);
    v->show();
    Spin();
    return m;
  }
  static std::string Cell(const LogGridModel& m, int row, int column) {
    return m.data(m.index(row, column), Qt::DisplayRole).toString().toStdString();
  }
  // The grid against the stored log: rows, cells, the current row.
  void ExpectShowsTheLog(const LogGridModel& m) {
    Stored = LogRecords();
    ASSERT_EQ(m.rowCount(), static_cast<int>(Stored.size()));
    for (int row = 0; row < m.rowCount(); row += row + 37 < m.rowCount() ? 37 : 1) {
      const QsoRecord& q = Stored[static_cast<size_t>(row)];
      ASSERT_EQ(Cell(m, row, 0) + "|" + Cell(m, row, 6) + "|" + Cell(m, row, 9), q.Call + "|" + q.NumSent + "|" + q.Name)
          << row;
    }
    EXPECT_EQ(m.CurrentRow(), Controller->LogData().RecNo() - 1);
    EXPECT_LE(m.CachedRows(), LogGridModel::kBlockRows * static_cast<int>(LogGridModel::kMaxBlocks));
  }

  std::vector<QsoRecord> Stored;
  std::vector<std::unique_ptr<LogGridModel>> Models;
  std::vector<std::unique_ptr<QTableView>> Views;
};

TEST_F(LogGridTest, AddsAreAppendedRowsAndReadingNeverMovesTheLog) {
  LogGridModel& grid = Show<LogGridModel>();
  DataSet& log = Controller->LogData();
  ExpectShowsTheLog(grid);
  EXPECT_EQ(grid.CurrentRow(), kContacts - 1);
  EXPECT_EQ(log.FieldByName("CALL")->AsString(), Stored.back().Call);  // the reads went back to it

  int inserted = 0, reset = 0;
  QObject::connect(&grid, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
  QObject::connect(&grid, &QAbstractItemModel::modelReset, [&] { ++reset; });
  for (const char* call : {"QX1A", "QX1B", "QX1C"}) {
    Set(Ctl::CallEntered, call);
    Set(Ctl::FreqEntered, "7");
    Set(Ctl::Mode, "SSB");
    Set(Ctl::NameFld, "Ann");
    Controller->AddToLogButtonClick();
    Spin();
    EXPECT_EQ(Cell(grid, grid.rowCount() - 1, 0), call);
    EXPECT_EQ(grid.CurrentRow(), grid.rowCount() - 1);
  }
  EXPECT_EQ(inserted, 3);
  EXPECT_EQ(reset, 0);
  ExpectShowsTheLog(grid);

  // A walk with the controls disabled keeps its place: a row never read
  // shows empty until the walk is over.
  log.First();
  Spin();
  log.DisableControls();
  log.Next();
  EXPECT_FALSE(grid.data(grid.index(kContacts / 2, 0), Qt::DisplayRole).isValid());
  EXPECT_EQ(log.RecNo(), 2);
  log.EnableControls();
  Spin();
  EXPECT_EQ(grid.CurrentRow(), 1);
  EXPECT_EQ(Cell(grid, kContacts / 2, 0), Stored[kContacts / 2].Call);

  ASSERT_TRUE(Controller->EmptyLog());
  Spin();
  EXPECT_EQ(grid.rowCount(), 0);
  EXPECT_EQ(grid.CurrentRow(), -1);
}

TEST_F(LogGridTest, AnEditInTheEditorShowsInBothGridsOnceItIsPosted) {
  LogGridModel& grid = Show<LogGridModel>();
  LogEditModel& editor = Show<LogEditModel>();
  DataSet& log = Controller->LogData();
  const int row = kContacts / 2;
  editor.MoveToRow(row);
  Spin();
  EXPECT_EQ(log.RecNo(), row + 1);
  EXPECT_EQ(grid.CurrentRow(), row);
  EXPECT_EQ(Cell(editor, row, 0), "K" + std::to_string(row) + "X");  // the row on show

  ASSERT_TRUE(editor.setData(editor.index(row, 9), QStringLiteral("Zed"), Qt::EditRole));
  Spin();
  EXPECT_EQ(Cell(editor, row, 9), "Zed");
  // While the edit is pending nothing moves the log.
  EXPECT_FALSE(grid.data(grid.index(row + 700, 0), Qt::DisplayRole).isValid());
  EXPECT_EQ(log.State(), dsEdit);

  log.Post();
  Spin();
  ExpectShowsTheLog(grid);
  ExpectShowsTheLog(editor);
  EXPECT_EQ(Stored[static_cast<size_t>(row)].Name, "Zed");
  EXPECT_EQ(grid.CurrentRow(), row);
  EXPECT_EQ(editor.CurrentRow(), row);

  // Two grids on one log come to rest: neither reads again after the other.
  int moves = 0;
  log.AfterScroll = [&](DataSet&) { ++moves; };
  Spin(50);
  const int settled = moves;
  Spin(100);
  EXPECT_EQ(moves, settled);
  log.AfterScroll = nullptr;

  log.Delete();
  Spin();
  ExpectShowsTheLog(grid);
  ExpectShowsTheLog(editor);
  EXPECT_EQ(grid.rowCount(), kContacts - 1);
}

}  // namespace
}  // namespace qv::app::wintest
