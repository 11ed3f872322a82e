#include "app/LogGridModel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QTimer>
#include <algorithm>

#include "platform/dataset/DataSet.h"
#include "platform/gui/QtText.h"
#include "platform/gui/WinColor.h"
#include "platform/host/ScopeExit.h"

namespace qv::app {

const GridColumn kLogGridColumns[42] = {
    {"CALL", "CALL"},          {"FREQ", "Frq"},         {"MODE", "Mode"},         {"QSODATE", "Date"},
    {"TIMESTART", "S Time"},   {"RSTSENT", "RST"},      {"NUMSENT", "S Nr"},      {"RSTRCVD", "RST"},
    {"NUMRCVD", "R Nr"},       {"NAME", "First Name"},  {"LASTNAME", "Last Name"}, {"STATE", "State"},
    {"CITY", "City"},          {"COUNTRY", "Country"},  {"CONTINENT", "Cont"},    {"IBM", "IBM"},
    {"POINTS", "Pts"},         {"TIMEEND", "E Time"},   {"NOTES", "Notes"},       {"COUNTY", "COUNTY"},
    {"CQZ", "CQZ"},            {"GRID", "GRID"},        {"ITUZ", "ITUZ"},         {"FISTS", "FISTS"},
    {"IOTA", "IOTA"},          {"OOTC", "OOTC"},        {"TENTEN", "TENTEN"},     {"QCWA", "QCWA"},
    {"DXCC", "DXCC"},          {"CLASSLIC", "CLASSLIC"}, {"BMCode", "BMCode"},    {"PREFixCountry", "PREFixCountry"},
    {"Street", "Street"},      {"POSTCODE", "POSTCODE"}, {"LAT", "LAT"},          {"LONG", "LONG"},
    {"EMAIL", "EMAIL"},        {"URL", "URL"},          {"QSLMGR", "QSLMGR"},     {"QSLS", "QSLS"},
    {"EQSLSent", "EQSLSent"},  {"LOTWSent", "LOTWSent"}};

namespace {

// Grid models reading at the moment (rule 3).
int gReading = 0;

}  // namespace

LogGridModel::LogGridModel(QObject* parent) : QAbstractTableModel(parent), Source_(std::make_unique<DataSource>()) {
  SetBufferCount(1);
  SetDataSource(Source_.get());
}

LogGridModel::~LogGridModel() { SetDataSource(nullptr); }

void LogGridModel::SetDataSet(DataSet* dataSet) {
  Source_->SetDataSet(dataSet);
  Refresh(true);
}

void LogGridModel::Schedule(bool full) {
  if (Busy_ || gReading > 0) return;
  PendingFull_ = PendingFull_ || full;
  if (Pending_) return;
  Pending_ = true;
  QTimer::singleShot(0, this, [this] { Run(); });
}

void LogGridModel::Run() {
  Pending_ = false;
  if (PendingFull_) {
    PendingFull_ = false;
    Refresh(false);
  } else {
    UpdateCurrentRow();
  }
}

void LogGridModel::Reload() { Refresh(false); }

void LogGridModel::Refresh(bool reset) {
  DataSet* ds = GetDataSet();
  const bool open = ds != nullptr && ds->Active();
  if (!reset && open && ds->State() != dsBrowse) return;  // rule 2
  Busy_ = true;
  auto idle = ScopeExit([this] { Busy_ = false; });
  const int count = open ? std::max(ds->RecordCount(), 0) : 0;
  if (reset) {
    beginResetModel();
    Blocks_.clear();
    RowCount_ = count;
    endResetModel();
  } else {
    for (Block& b : Blocks_) b.Stale = true;
    if (count > RowCount_) {
      beginInsertRows(QModelIndex(), RowCount_, count - 1);
      RowCount_ = count;
      endInsertRows();
    } else if (count < RowCount_) {
      beginRemoveRows(QModelIndex(), count, RowCount_ - 1);
      RowCount_ = count;
      endRemoveRows();
    }
    // The rows on show are read again when the view paints them.
    if (count > 0) emit dataChanged(index(0, 0), index(count - 1, columnCount() - 1));
  }
  CurrentRow_ = RowOfCurrentRecord();
  emit CurrentRowChanged(CurrentRow_);
}

int LogGridModel::RowOfCurrentRecord() const {
  DataSet* ds = GetDataSet();
  if (ds == nullptr || !ds->Active()) return -1;
  const int32_t recNo = ds->RecNo();
  return recNo >= 1 && recNo <= RowCount_ ? recNo - 1 : -1;
}

void LogGridModel::UpdateCurrentRow() {
  const int row = RowOfCurrentRecord();
  if (row != CurrentRow_) {
    CurrentRow_ = row;
    emit CurrentRowChanged(row);
  }
}

bool LogGridModel::CanRead() const {
  const DataSet* ds = GetDataSet();
  return ds != nullptr && ds->Active() && ds->State() == dsBrowse && !ds->ControlsDisabled() && gReading == 0;
}

int LogGridModel::CachedRows() const {
  int rows = 0;
  for (const Block& b : Blocks_) rows += static_cast<int>(b.Rows.size());
  return rows;
}

const QStringList* LogGridModel::Row(int row) const {
  Block* found = nullptr;
  for (Block& b : Blocks_)
    if (row >= b.First && row < b.First + kBlockRows) found = &b;
  const bool canRead = CanRead();
  if (found != nullptr && (!found->Stale || !canRead)) {  // rule 1
    found->LastUse = ++UseClock_;
    return row - found->First < static_cast<int>(found->Rows.size())
               ? &found->Rows[static_cast<size_t>(row - found->First)]
               : nullptr;
  }
  if (!canRead) return nullptr;
  if (found == nullptr) {
    if (Blocks_.size() < kMaxBlocks) {
      found = &Blocks_.emplace_back();
    } else {
      found = &*std::min_element(Blocks_.begin(), Blocks_.end(),
                                 [](const Block& a, const Block& b) { return a.LastUse < b.LastUse; });
    }
  }
  found->First = row / kBlockRows * kBlockRows;
  found->Stale = false;
  found->LastUse = ++UseClock_;
  const int count = std::min(kBlockRows, RowCount_ - found->First);
  try {
    found->Rows = ReadRows(found->First, count);
  } catch (...) {
    found->Rows.clear();  // rule 4
  }
  found->Rows.resize(static_cast<size_t>(count));
  return &found->Rows[static_cast<size_t>(row - found->First)];
}

std::vector<QStringList> LogGridModel::ReadRows(int first, int count) const {
  DataSet* ds = GetDataSet();
  ++gReading;
  auto done = ScopeExit([] { --gReading; });
  std::vector<Field*> fields;
  for (const GridColumn& c : kLogGridColumns) fields.push_back(ds->FindField(c.Field));
  const Bookmark mark = ds->GetBookmark();
  ds->DisableControls();
  auto enable = ScopeExit([ds] { ds->EnableControls(); });
  auto back = ScopeExit([ds, &mark] {
    if (!mark.empty())
      ds->GotoBookmark(mark);
    else
      ds->Last();
  });
  // The first rows from the start, the last ones back from the end (a
  // record number may cost a walk over the index), any others by number.
  // After Last the dataset says Eof, so the rows are counted, not Eof.
  std::vector<QStringList> rows;
  const int32_t total = ds->RecordCount();
  if (first >= total) return rows;
  if (first == 0) {
    ds->First();
  } else if (total - first <= 2 * kBlockRows) {
    ds->Last();
    ds->MoveBy(first - (total - 1));
  } else {
    ds->SetRecNo(first + 1);
  }
  rows.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (i > 0 && ds->MoveBy(1) != 1) break;
    QStringList row;
    row.reserve(static_cast<qsizetype>(fields.size()));
    for (Field* f : fields) row << (f != nullptr ? gui::FromCp1252(f->AsString()) : QString());
    rows.push_back(std::move(row));
  }
  return rows;
}

void LogGridModel::SetCell(int row, int column, const QString& text) {
  for (Block& b : Blocks_) {
    if (row < b.First || row >= b.First + static_cast<int>(b.Rows.size())) continue;
    QStringList& cells = b.Rows[static_cast<size_t>(row - b.First)];
    if (column < 0 || column >= cells.size()) return;
    cells[column] = text;
    emit dataChanged(index(row, column), index(row, column));
    return;
  }
}

int LogGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : RowCount_; }

int LogGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::size(kLogGridColumns));
}

QVariant LogGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole || index.row() >= RowCount_) return {};
  const QStringList* row = Row(index.row());
  return row != nullptr && index.column() < row->size() ? QVariant((*row)[index.column()]) : QVariant();
}

QVariant LogGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  switch (role) {
    case Qt::DisplayRole:
      return gui::FromCp1252(kLogGridColumns[section].Title);
    default:
      return {};
  }
}

}  // namespace qv::app
