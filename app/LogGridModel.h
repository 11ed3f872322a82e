// The read-only grid's model over the log dataset: every record in the
// dataset's current order, with the columns of the main window's grid. It
// follows the dataset through a data link: a change schedules one re-read
// (coalesced, run from the event loop), which walks the dataset with its
// controls disabled and returns to the record that was current. A move of
// the current record only moves the highlighted row.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
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
  explicit LogGridModel(QObject* parent = nullptr);
  ~LogGridModel() override;

  void SetDataSet(DataSet* dataSet);
  // Re-reads at once (tests and the first show).
  void Reload();
  // Row of the dataset's current record; -1 when none.
  int CurrentRow() const { return CurrentRow_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
  void CurrentRowChanged(int row);

protected:
  // For an editing subclass: the dataset shown, and one cached cell.
  DataSet* LinkedDataSet() const { return GetDataSet(); }
  void SetCell(int row, int column, const QString& text);

private:
  void ActiveChanged() override { Schedule(true); }
  void DataSetChanged() override { Schedule(true); }
  void RecordChanged(Field*) override { Schedule(true); }
  void DataSetScrolled(int32_t) override { Schedule(false); }
  void LayoutChanged() override { Schedule(true); }
  void Schedule(bool full);
  void Run();
  void UpdateCurrentRow();

  std::unique_ptr<DataSource> Source_;
  std::vector<QStringList> Rows_;
  int CurrentRow_ = -1;
  bool Busy_ = false;
  bool Pending_ = false;
  bool PendingFull_ = false;
};

}  // namespace qv::app
