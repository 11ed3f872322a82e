#include "app/LogGridModel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QTimer>

#include "platform/dataset/DataSet.h"
#include "platform/gui/QtText.h"
#include "platform/gui/WinColor.h"

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

LogGridModel::LogGridModel(QObject* parent) : QAbstractTableModel(parent), Source_(std::make_unique<DataSource>()) {
  SetBufferCount(1);
  SetDataSource(Source_.get());
}

LogGridModel::~LogGridModel() { SetDataSource(nullptr); }

void LogGridModel::SetDataSet(DataSet* dataSet) {
  Source_->SetDataSet(dataSet);
  Reload();
}

void LogGridModel::Schedule(bool full) {
  if (Busy_) return;
  PendingFull_ = PendingFull_ || full;
  if (Pending_) return;
  Pending_ = true;
  QTimer::singleShot(0, this, [this] { Run(); });
}

void LogGridModel::Run() {
  Pending_ = false;
  if (PendingFull_) {
    PendingFull_ = false;
    Reload();
  } else {
    UpdateCurrentRow();
  }
}

void LogGridModel::Reload() {
  DataSet* ds = GetDataSet();
  if (ds != nullptr && ds->Active() && ds->State() != dsBrowse) {
    // Editing or inserting: the walk would post or cancel; the post or
    // cancel that ends it brings another change.
    return;
  }
  Busy_ = true;
  std::vector<QStringList> rows;
  int current = -1;
  if (ds != nullptr && ds->Active()) {
    std::vector<Field*> fields;
    for (const GridColumn& c : kLogGridColumns) fields.push_back(ds->FindField(c.Field));
    const Bookmark mark = ds->GetBookmark();
    ds->DisableControls();
    try {
      ds->First();
      while (!ds->Eof()) {
        QStringList row;
        for (Field* f : fields) row << (f != nullptr ? gui::FromCp1252(f->AsString()) : QString());
        if (!mark.empty() && ds->GetBookmark() == mark) current = static_cast<int>(rows.size());
        rows.push_back(std::move(row));
        ds->Next();
      }
      if (!mark.empty())
        ds->GotoBookmark(mark);
      else
        ds->Last();
    } catch (...) {
      ds->EnableControls();
      Busy_ = false;
      throw;
    }
    ds->EnableControls();
  }
  beginResetModel();
  Rows_ = std::move(rows);
  endResetModel();
  CurrentRow_ = current;
  Busy_ = false;
  emit CurrentRowChanged(CurrentRow_);
}

void LogGridModel::UpdateCurrentRow() {
  DataSet* ds = GetDataSet();
  int row = -1;
  if (ds != nullptr && ds->Active()) {
    const int32_t recNo = ds->RecNo();
    if (recNo >= 1 && recNo <= static_cast<int32_t>(Rows_.size())) row = recNo - 1;
  }
  if (row != CurrentRow_) {
    CurrentRow_ = row;
    emit CurrentRowChanged(row);
  }
}

void LogGridModel::SetCell(int row, int column, const QString& text) {
  if (row < 0 || row >= static_cast<int>(Rows_.size()) || column < 0 || column >= Rows_[static_cast<size_t>(row)].size())
    return;
  Rows_[static_cast<size_t>(row)][column] = text;
  emit dataChanged(index(row, column), index(row, column));
}

int LogGridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(Rows_.size());
}

int LogGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::size(kLogGridColumns));
}

QVariant LogGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  const auto& row = Rows_[static_cast<size_t>(index.row())];
  return index.column() < row.size() ? QVariant(row[index.column()]) : QVariant();
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
