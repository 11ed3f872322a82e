// The read-only grid's model over the log dataset: every record in the
// dataset's current order, with the columns of the main window's grid.
//
// Rows are read as the view asks for them. The model holds the record count
// and the last few blocks of kBlockRows consecutive rows it was asked for
// (at most kMaxBlocks, the least recently used going first), never the whole
// log. A block is read by moving the dataset to the block's first row with
// its controls disabled, reading the rows and going back to the record that
// was current (by its bookmark).
//
// The model follows the dataset through a data link: a change schedules one
// refresh (coalesced, run from the event loop) that takes the new record
// count, inserting the rows past the old end or removing those past the new
// end (an added contact is one inserted row), marks the cached blocks stale,
// has the view read again what it shows and finds the current row. A move
// of the current record only moves the highlighted row.
//
// Rules:
//   1. Rows are read only while the dataset is open, in browse state and
//      with its controls enabled: a move would post or cancel a pending edit
//      or insert, and a walk that disabled the controls must keep its place.
//      Until then a row shows what was read last, a row never read shows
//      empty; the post, cancel or EnableControls that ends the state brings
//      a refresh.
//   2. A refresh in edit or insert state is put off the same way: the rows
//      and the current row stay as they were.
//   3. Reading brings the dataset's EnableControls event, which is no
//      change: every grid model ignores the events that come while one of
//      them reads, so two grids on one log never read in turn for ever.
//   4. A block that cannot be read (the storage raises) is cached with
//      empty rows until the next refresh, so each paint does not try again.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/dataset/DataSource.h"

namespace qv {
class DataSet;
}

namespace qv::app {

struct GridColumn {
  std::string_view Field;
  std::string_view Title;
};
// The 42 columns, numbered from 0 as the layouts name them.
extern const GridColumn kLogGridColumns[42];

class LogGridModel : public QAbstractTableModel, private DataLink {
  Q_OBJECT
public:
  static constexpr int kBlockRows = 64;
  static constexpr size_t kMaxBlocks = 8;

  explicit LogGridModel(QObject* parent = nullptr);
  ~LogGridModel() override;

  void SetDataSet(DataSet* dataSet);
  // Refreshes at once (tests and the first show).
  void Reload();
  // Row of the dataset's current record; -1 when none.
  int CurrentRow() const { return CurrentRow_; }
  // Rows held in memory: at most kBlockRows * kMaxBlocks.
  int CachedRows() const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
  void CurrentRowChanged(int row);

protected:
  // For an editing subclass: the dataset shown, one cached cell, and
  // whether the model is changing its rows (the view's current index may
  // move then without the operator).
  DataSet* LinkedDataSet() const { return GetDataSet(); }
  void SetCell(int row, int column, const QString& text);
  bool Refreshing() const { return Busy_; }

private:
  struct Block {
    int First = 0;
    std::vector<QStringList> Rows;
    uint64_t LastUse = 0;
    // Read before the last change: read again when the view asks.
    bool Stale = false;
  };

  void ActiveChanged() override { Schedule(true); }
  void DataSetChanged() override { Schedule(true); }
  void RecordChanged(Field*) override { Schedule(true); }
  void DataSetScrolled(int32_t) override { Schedule(false); }
  void LayoutChanged() override { Schedule(true); }
  void Schedule(bool full);
  void Run();
  void Refresh(bool reset);
  void UpdateCurrentRow();
  int RowOfCurrentRecord() const;
  bool CanRead() const;
  // The cached row, reading its block when it can; nullptr when it cannot.
  const QStringList* Row(int row) const;
  std::vector<QStringList> ReadRows(int first, int count) const;

  std::unique_ptr<DataSource> Source_;
  int RowCount_ = 0;
  mutable std::vector<Block> Blocks_;
  mutable uint64_t UseClock_ = 0;
  int CurrentRow_ = -1;
  bool Busy_ = false;
  bool Pending_ = false;
  bool PendingFull_ = false;
};

}  // namespace qv::app
