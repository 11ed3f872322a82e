#include "platform/dataset/DataSource.h"

#include <algorithm>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/ScopeExit.h"

namespace qv {

// ---------------------------------------------------------------- DataSource

DataSource::DataSource(Component* owner) : Component(owner) {}

DataSource::~DataSource() {
  // Nobody hears from a source being destroyed.
  OnDataChange = nullptr;
  OnStateChange = nullptr;
  OnUpdateData = nullptr;
  while (!DataLinks_.empty()) DataLinks_.back()->SetDataSource(nullptr);
  if (DataSet_ != nullptr) DataSet_->RemoveDataSource(this);
}

void DataSource::SetDataSet(DataSet* dataSet) {
  if (dataSet == DataSet_) return;
  if (IsLinkedTo(dataSet)) DatabaseError(dbmsg::SCircularDataLink, this);
  if (DataSet_ != nullptr) DataSet_->RemoveDataSource(this);
  if (dataSet != nullptr) dataSet->AddDataSource(this);
}

void DataSource::SetEnabled(bool value) {
  Enabled_ = value;
  UpdateState();
}

void DataSource::Edit() {
  if (AutoEdit_ && State_ == dsBrowse && DataSet_ != nullptr) DataSet_->Edit();
}

bool DataSource::IsLinkedTo(DataSet* dataSet) const {
  std::vector<const DataSet*> seen;
  while (dataSet != nullptr) {
    if (std::find(seen.begin(), seen.end(), dataSet) != seen.end()) return false;  // a loop elsewhere
    seen.push_back(dataSet);
    DataSource* source = dataSet->GetDataSource();
    if (source == nullptr) break;
    if (source == this) return true;
    dataSet = source->GetDataSet();
  }
  return false;
}

void DataSource::SetState(TDataSetState value) {
  if (State_ == value) return;
  TDataSetState prior = State_;
  State_ = value;
  NotifyDataLinks(deUpdateState, 0);
  if (Destroying()) return;
  if (OnStateChange) OnStateChange(*this);
  if (prior == dsInactive && OnDataChange) OnDataChange(*this, nullptr);
}

void DataSource::UpdateState() {
  if (Enabled_ && DataSet_ != nullptr) {
    SetState(DataSet_->State());
  } else {
    SetState(dsInactive);
  }
}

void DataSource::NotifyDataLinks(TDataEvent event, intptr_t info) {
  // Last first, and tolerant of links leaving during the walk.
  std::vector<DataLink*> links = DataLinks_;
  for (auto it = links.rbegin(); it != links.rend(); ++it) {
    if (std::find(DataLinks_.begin(), DataLinks_.end(), *it) != DataLinks_.end()) (*it)->DataEvent(event, info);
  }
}

void DataSource::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (State_ == dsInactive) return;
  NotifyDataLinks(event, info);
  switch (event) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(*this, reinterpret_cast<Field*>(info));
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void DataSource::AddDataLink(DataLink* link) {
  DataLinks_.push_back(link);
  link->DataSource_ = this;
  if (DataSet_ != nullptr) DataSet_->UpdateBufferCount();
  link->UpdateState();
}

void DataSource::RemoveDataLink(DataLink* link) {
  link->DataSource_ = nullptr;
  DataLinks_.erase(std::remove(DataLinks_.begin(), DataLinks_.end(), link), DataLinks_.end());
  link->UpdateState();
  if (DataSet_ != nullptr) DataSet_->UpdateBufferCount();
}

// ---------------------------------------------------------------- DataLink

DataLink::DataLink() = default;

DataLink::~DataLink() {
  if (DataSource_ != nullptr) {
    DataSource* source = DataSource_;
    DataSource_ = nullptr;
    source->DataLinks_.erase(std::remove(source->DataLinks_.begin(), source->DataLinks_.end(), this),
                             source->DataLinks_.end());
    // No virtual calls from here: the derived part is gone.
    if (source->DataSet_ != nullptr) source->DataSet_->UpdateBufferCount();
  }
}

void DataLink::SetDataSource(DataSource* dataSource) {
  if (dataSource == DataSource_) return;
  if (DataSource_ != nullptr) DataSource_->RemoveDataLink(this);
  if (dataSource != nullptr) dataSource->AddDataLink(this);
}

DataSet* DataLink::GetDataSet() const { return DataSource_ != nullptr ? DataSource_->GetDataSet() : nullptr; }

void DataLink::SetReadOnly(bool value) {
  if (ReadOnly_ == value) return;
  ReadOnly_ = value;
  UpdateState();
}

void DataLink::SetBufferCount(int32_t value) {
  if (value < 1) value = 1;
  if (BufferCount_ == value) return;
  BufferCount_ = value;
  if (Active_) {
    UpdateRange();
    GetDataSet()->UpdateBufferCount();
    UpdateRange();
  }
}

void DataLink::UpdateRange() {
  DataSet* dataSet = GetDataSet();
  int32_t active = dataSet->ActiveRecord_;
  int32_t min = std::max(active - BufferCount_ + 1, 0);
  int32_t max = std::min(std::max(dataSet->BufferCount_ - BufferCount_, 0), active);
  if (FirstRecord_ < min) FirstRecord_ = min;
  if (FirstRecord_ > max) FirstRecord_ = max;
}

int32_t DataLink::ActiveRecord() const {
  if (DataSource_ == nullptr || GetDataSet() == nullptr || DataSource_->State() == dsSetKey) return 0;
  return GetDataSet()->ActiveRecord_ - FirstRecord_;
}

void DataLink::SetActiveRecord(int32_t value) {
  if (DataSource_ == nullptr || GetDataSet() == nullptr || DataSource_->State() == dsSetKey) return;
  DataSet* dataSet = GetDataSet();
  // Only rows that hold a record can become active.
  int32_t index = value + FirstRecord_;
  if (index >= 0 && index < dataSet->BufferRecordCount_) dataSet->ActiveRecord_ = index;
}

int32_t DataLink::RecordCount() const {
  if (DataSource_ == nullptr || GetDataSet() == nullptr) return 0;
  if (DataSource_->State() == dsSetKey) return 1;
  return std::min(GetDataSet()->BufferRecordCount_, BufferCount_);
}

bool DataLink::CanModify() const {
  DataSet* dataSet = GetDataSet();
  return !ReadOnly_ && dataSet != nullptr && dataSet->CanModify();
}

bool DataLink::Edit() {
  if (!ReadOnly_ && DataSource_ != nullptr) DataSource_->Edit();
  return Editing_;
}

void DataLink::UpdateRecord() {
  Updating_ = true;
  auto done = ScopeExit([this] { Updating_ = false; });
  UpdateData();
}

void DataLink::SetActive(bool value) {
  if (Active_ == value) return;
  Active_ = value;
  if (value) {
    UpdateRange();
  } else {
    FirstRecord_ = 0;
  }
  ActiveChanged();
}

void DataLink::SetEditing(bool value) {
  if (Editing_ == value) return;
  Editing_ = value;
  EditingChanged();
}

void DataLink::UpdateState() {
  bool active = DataSource_ != nullptr && DataSource_->Enabled() && DataSource_->GetDataSet() != nullptr &&
                DataSource_->State() != dsInactive;
  SetActive(active);
  TDataSetState state = DataSource_ != nullptr ? DataSource_->State() : dsInactive;
  SetEditing((state == dsEdit || state == dsInsert || state == dsSetKey) && CanModify());
}

void DataLink::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!Active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!Updating_) RecordChanged(reinterpret_cast<Field*>(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      int32_t count = 0;
      if (DataSource_->State() != dsSetKey) {
        int32_t active = GetDataSet()->ActiveRecord_;
        int32_t first = FirstRecord_ + static_cast<int32_t>(info);
        int32_t last = first + BufferCount_ - 1;
        if (active > last) {
          count = active - last;
        } else if (active < first) {
          count = active - first;
        }
        FirstRecord_ = first + count;
      }
      if (event == deDataSetChange) {
        DataSetChanged();
      } else if (event == deDataSetScroll) {
        DataSetScrolled(count);
      } else {
        LayoutChanged();
      }
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- MasterDataLink

MasterDataLink::MasterDataLink(DataSet* dataSet) : DataSet_(dataSet) {}

void MasterDataLink::SetFieldNames(std::string_view names) {
  if (FieldNames_ == names) return;
  FieldNames_ = std::string(names);
  ActiveChanged();
}

void MasterDataLink::ActiveChanged() {
  Fields_.clear();
  if (Active()) {
    auto clearOnFailure = ScopeExit([this] { Fields_.clear(); });
    GetDataSet()->GetFieldList(Fields_, FieldNames_);
    clearOnFailure.Release();
  }
  if (DataSet_ != nullptr && DataSet_->Active() && !DataSet_->Destroying()) {
    if (Active() && !Fields_.empty()) {
      if (OnMasterChange) OnMasterChange(*this);
    } else if (OnMasterDisable) {
      OnMasterDisable(*this);
    }
  }
}

void MasterDataLink::CheckBrowseMode() {
  if (DataSet_ != nullptr && DataSet_->Active()) DataSet_->CheckBrowseMode();
}

void MasterDataLink::LayoutChanged() { ActiveChanged(); }

void MasterDataLink::RecordChanged(Field* field) {
  if (GetDataSource()->State() != dsSetKey && DataSet_ != nullptr && DataSet_->Active() && !Fields_.empty() &&
      (field == nullptr || std::find(Fields_.begin(), Fields_.end(), field) != Fields_.end()) && OnMasterChange) {
    OnMasterChange(*this);
  }
}

}  // namespace qv
