// The log editor's grid model: the read-only grid model of the main window
// with editable cells. An edited cell puts the dataset into edit state on
// its row and sets the field; the change reaches the log when the operator
// posts it (the navigator) or moves to another record (which posts, as every
// move of a dataset does), and is dropped by Cancel. A move runs through
// the editor's write road (SetWriteRoad), which recovers from a post that
// fails.
#pragma once

#include <functional>

#include "app/LogGridModel.h"

namespace qv::app {

class LogEditModel : public LogGridModel {
  Q_OBJECT
public:
  using LogGridModel::LogGridModel;

  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  // Makes the record on row the dataset's current record; false when the
  // move did not complete (the post of an edit was refused or failed).
  bool MoveToRow(int row);
  // Runs an action that may write the log; false when it did not complete.
  using WriteRoad = std::function<bool(const std::function<void()>& action)>;
  void SetWriteRoad(WriteRoad road) { Road_ = std::move(road); }

private:
  WriteRoad Road_;
};

}  // namespace qv::app
