#include "app/LogEditModel.h"

#include "platform/dataset/DataSet.h"
#include "platform/gui/QtText.h"

namespace qv::app {

Qt::ItemFlags LogEditModel::flags(const QModelIndex& index) const {
  return LogGridModel::flags(index) | Qt::ItemIsEditable;
}

QVariant LogEditModel::data(const QModelIndex& index, int role) const {
  return LogGridModel::data(index, role == Qt::EditRole ? Qt::DisplayRole : role);
}

bool LogEditModel::MoveToRow(int row) {
  DataSet* ds = LinkedDataSet();
  // While the model inserts or removes rows the view's current index may
  // move on its own: that is no move of the operator.
  if (Refreshing() || ds == nullptr || !ds->Active() || row < 0 || row >= rowCount() || ds->RecNo() == row + 1)
    return true;
  const auto move = [&] { ds->SetRecNo(row + 1); };
  if (!Road_) {
    move();
    return true;
  }
  return Road_(move);
}

bool LogEditModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  DataSet* ds = LinkedDataSet();
  if (role != Qt::EditRole || !index.isValid() || ds == nullptr || !ds->Active()) return false;
  if (!MoveToRow(index.row()) || !ds->Active()) return false;
  Field* field = ds->FindField(kLogGridColumns[index.column()].Field);
  if (field == nullptr) return false;
  const std::string text = gui::ToCp1252(value.toString());
  if (field->AsString() == text) return false;  // unchanged: no edit state
  if (ds->State() == dsBrowse) ds->Edit();
  field->SetAsString(text);
  SetCell(index.row(), index.column(), gui::FromCp1252(field->AsString()));
  return true;
}

}  // namespace qv::app
