// Data sources and data links: how data-aware controls, and detail datasets,
// follow a dataset.
//
//   DataSet 1 --- n DataSource 1 --- n DataLink
//
// A DataSet tells each of its DataSources every DataEvent (unless its controls
// are disabled); a DataSource passes it on to each of its DataLinks, which
// turns it into one of its virtual notifications (ActiveChanged,
// RecordChanged, DataSetChanged, DataSetScrolled, ...). A link also keeps its
// own window of BufferCount records (a grid's rows) over the dataset's buffers:
// ActiveRecord is the current record's row in that window.
//
// Pointers between the three are plain and cleared on both sides when any of
// them goes away (a destroyed dataset detaches its sources, a destroyed source
// detaches its links and leaves its dataset, a destroyed link leaves its
// source).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/FieldTypes.h"
#include "platform/host/Component.h"

namespace qv {

class DataLink;
class DataSet;
class Field;

class DataSource : public Component {
public:
  using DataChangeEvent = std::function<void(DataSource&, Field*)>;
  using NotifyEvent = std::function<void(DataSource&)>;

  explicit DataSource(Component* owner = nullptr);
  ~DataSource() override;

  DataSet* GetDataSet() const { return DataSet_; }
  // "Circular datalinks are not allowed" when dataSet follows this source.
  void SetDataSet(DataSet* dataSet);
  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool value);
  // Edit() puts the dataset in edit state only when AutoEdit is set.
  bool AutoEdit() const { return AutoEdit_; }
  void SetAutoEdit(bool value) { AutoEdit_ = value; }
  // The dataset's state as the links see it (dsInactive while disabled).
  TDataSetState State() const { return State_; }
  void Edit();
  // True when dataSet's chain of masters leads to this source.
  bool IsLinkedTo(DataSet* dataSet) const;
  int32_t DataLinkCount() const { return static_cast<int32_t>(DataLinks_.size()); }

  // The record or a field changed (field nullptr: the whole record), the state
  // changed, the links are asked to write their pending changes.
  DataChangeEvent OnDataChange;
  NotifyEvent OnStateChange;
  NotifyEvent OnUpdateData;

private:
  friend class DataSet;
  friend class DataLink;

  void DataEvent(TDataEvent event, intptr_t info);
  void NotifyDataLinks(TDataEvent event, intptr_t info);
  void SetState(TDataSetState value);
  void UpdateState();
  void AddDataLink(DataLink* link);
  void RemoveDataLink(DataLink* link);

  DataSet* DataSet_ = nullptr;
  bool Enabled_ = true;
  bool AutoEdit_ = true;
  TDataSetState State_ = dsInactive;
  std::vector<DataLink*> DataLinks_;
};

class DataLink {
public:
  DataLink();
  virtual ~DataLink();
  DataLink(const DataLink&) = delete;
  DataLink& operator=(const DataLink&) = delete;

  DataSource* GetDataSource() const { return DataSource_; }
  void SetDataSource(DataSource* dataSource);
  // The dataset of the data source; nullptr when there is none.
  DataSet* GetDataSet() const;
  // The source is enabled and its dataset open.
  bool Active() const { return Active_; }
  // The dataset is in edit, insert or set-key state and may be modified.
  bool Editing() const { return Editing_; }
  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool value);
  // Rows of this link's window (the dataset keeps at least the largest of its
  // links' counts); 1 unless set.
  int32_t BufferCount() const { return BufferCount_; }
  void SetBufferCount(int32_t value);
  // Row of the current record in the window; RecordCount rows are filled.
  int32_t ActiveRecord() const;
  void SetActiveRecord(int32_t value);
  int32_t RecordCount() const;
  // Asks the source to put the dataset in edit state; true when it is.
  bool Edit();
  // Calls UpdateData, during which RecordChanged is not called.
  void UpdateRecord();

protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int32_t distance) { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void LayoutChanged() { DataSetChanged(); }
  // field nullptr: the whole record.
  virtual void RecordChanged(Field* field) {}
  virtual void UpdateData() {}
  // The dataset this link feeds (a detail), for the circular-link check.
  virtual DataSet* GetDetailDataSet() { return nullptr; }

private:
  friend class DataSource;
  friend class DataSet;

  void DataEvent(TDataEvent event, intptr_t info);
  void UpdateState();
  void SetActive(bool value);
  void SetEditing(bool value);
  void UpdateRange();
  bool CanModify() const;

  DataSource* DataSource_ = nullptr;
  int32_t FirstRecord_ = 0;
  int32_t BufferCount_ = 1;
  bool Active_ = false;
  bool Editing_ = false;
  bool ReadOnly_ = false;
  bool Updating_ = false;
};

// A link that feeds a dependent dataset.
class DetailDataLink : public DataLink {};

// The link of a detail dataset to its master: FieldNames names master fields
// (";"-separated); when the master's record (or one of those fields) changes,
// OnMasterChange runs; when the link loses its master or fields,
// OnMasterDisable runs. Both only while the detail dataset is open.
class MasterDataLink : public DetailDataLink {
public:
  using Event = std::function<void(MasterDataLink&)>;

  explicit MasterDataLink(DataSet* dataSet);

  // The detail dataset.
  DataSet* DetailDataSet() const { return DataSet_; }
  const std::string& FieldNames() const { return FieldNames_; }
  void SetFieldNames(std::string_view names);
  // The master's fields named by FieldNames while the link is active.
  const std::vector<Field*>& GetFields() const { return Fields_; }

  Event OnMasterChange;
  Event OnMasterDisable;

protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override;
  void RecordChanged(Field* field) override;
  DataSet* GetDetailDataSet() override { return DataSet_; }

private:
  DataSet* DataSet_;
  std::string FieldNames_;
  std::vector<Field*> Fields_;
};

}  // namespace qv
