#include "platform/dataset/Defs.h"

#include <algorithm>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "platform/host/ScopeExit.h"

namespace qv {

namespace {

// The component to name in an error raised by a list.
const Component* errorOwner(DataSet* dataSet) { return dataSet; }

template <class Item>
int32_t positionOf(const std::vector<std::unique_ptr<Item>>& items, const Item* item) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].get() == item) return static_cast<int32_t>(i);
  }
  return -1;
}

}  // namespace

// ---------------------------------------------------------------- FieldDef

FieldDef::FieldDef(FieldDefs* collection, std::string name, TFieldType dataType, int32_t size,
                   bool required, int32_t fieldNo)
    : Collection_(collection),
      Name_(std::move(name)),
      DataType_(dataType),
      Size_(size),
      Required_(required),
      FieldNo_(fieldNo) {}

int32_t FieldDef::Index() const {
  return Collection_ != nullptr ? positionOf(Collection_->Items_, this) : -1;
}

void FieldDef::SetName(std::string_view name) {
  if (name == Name_) return;
  if (Collection_ != nullptr && !name.empty()) {
    int32_t other = Collection_->IndexOf(name);
    if (other >= 0 && Collection_->Items(other) != this) {
      DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {std::string(name)}, errorOwner(Collection_->DataSet_));
    }
  }
  Name_ = std::string(name);
  if (Collection_ != nullptr) Collection_->changed();
}

void FieldDef::Assign(const FieldDef& source) {
  SetName(source.Name_);
  DataType_ = source.DataType_;
  Size_ = source.Size_;
  Required_ = source.Required_;
  ReadOnly_ = source.ReadOnly_;
  if (Collection_ != nullptr) Collection_->changed();
}

Field* FieldDef::CreateField(DataSet* owner) const {
  if (owner == nullptr) return nullptr;  // nothing would own the field
  std::unique_ptr<Field> field = CreateFieldObject(DataType_);
  if (!field) return nullptr;
  field->SetFieldName(Name_);
  if (field->IsSizedType()) field->SetSize(Size_);
  field->SetRequired(Required_);
  field->SetReadOnly(ReadOnly_);
  return owner->GetFields().Add(std::move(field));
}

// ---------------------------------------------------------------- FieldDefs

FieldDefs::FieldDefs(DataSet* dataSet) : DataSet_(dataSet) {}
FieldDefs::~FieldDefs() = default;

FieldDef* FieldDefs::Items(int32_t index) const {
  if (index < 0 || index >= Count()) DatabaseError(dbmsg::SFieldIndexError, errorOwner(DataSet_));
  return Items_[static_cast<size_t>(index)].get();
}

FieldDef* FieldDefs::AddFieldDef() {
  Items_.push_back(std::make_unique<FieldDef>(this, std::string(), ftUnknown, 0, false, Count() + 1));
  changed();
  return Items_.back().get();
}

FieldDef* FieldDefs::Add(std::string_view name, TFieldType dataType, int32_t size, bool required) {
  if (name.empty()) DatabaseError(dbmsg::SFieldNameMissing, errorOwner(DataSet_));
  if (IndexOf(name) >= 0) DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {std::string(name)}, errorOwner(DataSet_));
  Items_.push_back(
      std::make_unique<FieldDef>(this, std::string(name), dataType, size, required, Count() + 1));
  changed();
  return Items_.back().get();
}

int32_t FieldDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < Items_.size(); ++i) {
    if (SameName(Items_[i]->Name(), name)) return static_cast<int32_t>(i);
  }
  return -1;
}

FieldDef* FieldDefs::Find(std::string_view name) const {
  int32_t i = IndexOf(name);
  if (i < 0) DatabaseErrorFmt(dbmsg::SFieldNotFound, {std::string(name)}, errorOwner(DataSet_));
  return Items_[static_cast<size_t>(i)].get();
}

void FieldDefs::Delete(int32_t index) {
  Items(index);  // range check
  Items_.erase(Items_.begin() + index);
  changed();
}

void FieldDefs::Clear() {
  Items_.clear();
  changed();
}

void FieldDefs::Assign(const FieldDefs& source) {
  if (&source == this) return;
  Items_.clear();
  for (const auto& def : source.Items_) {
    auto copy = std::make_unique<FieldDef>(this, def->Name(), def->DataType(), def->Size(),
                                           def->Required(), def->FieldNo());
    copy->SetReadOnly(def->ReadOnly());
    Items_.push_back(std::move(copy));
  }
  changed();
}

void FieldDefs::Update() {
  if (Updated_ || DataSet_ == nullptr) return;
  {
    ++InternalUpdate_;
    auto done = ScopeExit([this] { --InternalUpdate_; });
    DataSet_->InitFieldDefs();
  }
  Updated_ = true;
}

void FieldDefs::changed() {
  if (InternalUpdate_ == 0 && DataSet_ != nullptr) DataSet_->DefChanged(this);
}

// ---------------------------------------------------------------- IndexDef

IndexDef::IndexDef(IndexDefs* collection, std::string name, std::string fields, TIndexOptions options)
    : Collection_(collection), Name_(std::move(name)), Fields_(std::move(fields)), Options_(options) {}

int32_t IndexDef::Index() const {
  return Collection_ != nullptr ? positionOf(Collection_->Items_, this) : -1;
}

void IndexDef::SetName(std::string_view name) {
  if (Collection_ != nullptr && !name.empty()) {
    int32_t other = Collection_->IndexOf(name);
    if (other >= 0 && Collection_->Items(other) != this) {
      DatabaseErrorFmt(dbmsg::SDuplicateIndexName, {std::string(name)}, errorOwner(Collection_->DataSet_));
    }
  }
  Name_ = std::string(name);
  if (Collection_ != nullptr) Collection_->changed();
}

void IndexDef::Assign(const IndexDef& source) {
  SetName(source.Name_);
  Fields_ = source.Fields_;
  DescFields_ = source.DescFields_;
  CaseInsFields_ = source.CaseInsFields_;
  Options_ = source.Options_;
  if (Collection_ != nullptr) Collection_->changed();
}

// ---------------------------------------------------------------- IndexDefs

IndexDefs::IndexDefs(DataSet* dataSet) : DataSet_(dataSet) {}
IndexDefs::~IndexDefs() = default;

IndexDef* IndexDefs::Items(int32_t index) const {
  if (index < 0 || index >= Count()) DatabaseError(dbmsg::SFieldIndexError, errorOwner(DataSet_));
  return Items_[static_cast<size_t>(index)].get();
}

IndexDef* IndexDefs::AddIndexDef() {
  Items_.push_back(std::make_unique<IndexDef>(this, std::string(), std::string(), 0));
  changed();
  return Items_.back().get();
}

IndexDef* IndexDefs::Add(std::string_view name, std::string_view fields, TIndexOptions options) {
  if (!name.empty() && IndexOf(name) >= 0) {
    DatabaseErrorFmt(dbmsg::SDuplicateIndexName, {std::string(name)}, errorOwner(DataSet_));
  }
  Items_.push_back(std::make_unique<IndexDef>(this, std::string(name), std::string(fields), options));
  changed();
  return Items_.back().get();
}

int32_t IndexDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < Items_.size(); ++i) {
    if (SameName(Items_[i]->Name(), name)) return static_cast<int32_t>(i);
  }
  return -1;
}

IndexDef* IndexDefs::Find(std::string_view name) const {
  int32_t i = IndexOf(name);
  if (i < 0) DatabaseErrorFmt(dbmsg::SIndexNotFound, {std::string(name)}, errorOwner(DataSet_));
  return Items_[static_cast<size_t>(i)].get();
}

void IndexDefs::Delete(int32_t index) {
  Items(index);
  Items_.erase(Items_.begin() + index);
  changed();
}

void IndexDefs::Clear() {
  Items_.clear();
  changed();
}

void IndexDefs::Assign(const IndexDefs& source) {
  if (&source == this) return;
  Items_.clear();
  for (const auto& def : source.Items_) {
    auto copy = std::make_unique<IndexDef>(this, def->Name(), def->Fields(), def->Options());
    copy->SetDescFields(def->DescFields());
    copy->SetCaseInsFields(def->CaseInsFields());
    Items_.push_back(std::move(copy));
  }
  changed();
}

IndexDef* IndexDefs::GetIndexForFields(std::string_view fields, bool caseInsensitive) {
  Update();
  auto usable = [&](const IndexDef& def) {
    if ((def.Options() & (ixDescending | ixExpression)) != 0) return false;
    return !caseInsensitive || (def.Options() & ixCaseInsensitive) != 0;
  };
  // An exact match wins over a longer index that starts with the fields.
  for (const auto& def : Items_) {
    if (usable(*def) && SameName(def->Fields(), fields)) return def.get();
  }
  const size_t n = fields.size();
  if (n == 0) return nullptr;
  for (const auto& def : Items_) {
    const std::string& f = def->Fields();
    if (usable(*def) && f.size() > n && f[n] == ';' && SameName(std::string_view(f).substr(0, n), fields)) {
      return def.get();
    }
  }
  return nullptr;
}

IndexDef* IndexDefs::FindIndexForFields(std::string_view fields) {
  IndexDef* def = GetIndexForFields(fields, false);
  if (def == nullptr) DatabaseErrorFmt(dbmsg::SNoIndexForFields, {std::string(fields)}, errorOwner(DataSet_));
  return def;
}

void IndexDefs::Update() {
  if (Updated_ || DataSet_ == nullptr) return;
  {
    ++InternalUpdate_;
    auto done = ScopeExit([this] { --InternalUpdate_; });
    DataSet_->UpdateIndexDefs();
  }
  Updated_ = true;
}

void IndexDefs::changed() {
  if (InternalUpdate_ == 0 && DataSet_ != nullptr) DataSet_->DefChanged(this);
}

}  // namespace qv
