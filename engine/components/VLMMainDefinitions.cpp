// The extended definitions and the conversions between the host, extended and
// engine definitions (VLMMain.h).
#include <algorithm>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMConstraintManager.h"
#include "engine/core/VLMExcept.h"
#include "platform/dataset/Defs.h"
#include "platform/host/Format.h"
#include "platform/host/StringList.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace {

void CheckListIndex(int32_t index, size_t count) {
  if (index < 0 || static_cast<size_t>(index) >= count)
    throw qv::EListError(qv::format("List index out of bounds (%d)", {index}));
}

bool SameUpperName(std::string_view a, std::string_view b) {
  return qv::UpperCase1252(a) == qv::UpperCase1252(b);
}

// A field or number list of an extended index: "," counts as ";", each entry
// trimmed; an empty entry between two separators stays in the list.
qv::StringList SplitList(std::string_view text) {
  std::string list(text);
  std::replace(list.begin(), list.end(), ',', ';');
  qv::StringList result;
  size_t pos = 0;
  while (pos < list.size()) result.Add(qv::ExtractFieldName(list, pos));
  return result;
}

bool ListHasName(const qv::StringList& list, std::string_view name) {
  for (const std::string& item : list)
    if (SameUpperName(item, name)) return true;
  return false;
}

std::string JoinNames(const TVLMIndexDef& indexDef, bool (*take)(const TVLMIndexColumn&)) {
  std::string result;
  for (const auto& column : indexDef.Columns) {
    if (!take(*column)) continue;
    if (!result.empty()) result += ';';
    result += column->Name;
  }
  return result;
}

std::string CutName(std::string_view name) {
  return std::string(name.substr(0, static_cast<size_t>(kVLMMaxNameLength)));
}

// The host field type a column of dataType shows as. A TIMESTAMP column has
// no host type of its own in the type table (its row says ftUnknown, and
// callers of the table rely on that): it is a date-time. A type without
// any host type would leave the column out of the dataset; it is refused.
qv::TFieldType HostFieldType(std::string_view name, TVLMDataType dataType) {
  if (dataType == dtTimeStamp) return qv::ftDateTime;
  const auto type = static_cast<qv::TFieldType>(VLMDataTypeToFieldType(dataType));
  if (type == qv::ftUnknown)
    throw EVLMException(10840, "Column '%s' of type %s cannot be shown by a dataset",
                        {std::string(name), VLMGetDataTypeName(dataType)});
  return type;
}

// A session's index: flagged, or named so by the engine ("TEMPORARY_INDEX_"
// followed by a GUID) or by a user in any letter case.
bool IsTemporaryIndex(const TVLMAdvIndexDef& def) {
  return def.Temporary || qv::UpperCase1252(def.Name).find("TEMPORARY") != std::string::npos;
}

// The field an engine constraint names by object ID, and its position.
int32_t ConstraintFieldIndex(const TVLMFieldDefs& fieldDefs, const TVLMConstraintDef& def, int32_t errorCode) {
  const int32_t index = fieldDefs.IndexOfObjectID(def.TargetID);
  if (index < 0) throw EVLMException(errorCode, "Field #%d not found", {def.TargetID});
  return index;
}

}  // namespace

// ---------------------------------------------------------- TVLMAdvFieldDef

void TVLMAdvFieldDef::Assign(const TVLMAdvFieldDef& source) {
  if (&source == this) return;
  Name = source.Name;
  ObjectID = source.ObjectID;
  DataType = source.DataType;
  Required = source.Required;
  Size = source.Size;
  DefaultValue.Assign(source.DefaultValue, true);
  MinValue.Assign(source.MinValue, true);
  MaxValue.Assign(source.MaxValue, true);
  AutoincIncrement = source.AutoincIncrement;
  AutoincInitialValue = source.AutoincInitialValue;
  AutoincMinValue = source.AutoincMinValue;
  AutoincMaxValue = source.AutoincMaxValue;
  Cycled = source.Cycled;
  BlobCompressionAlgorithm = source.BlobCompressionAlgorithm;
  BlobCompressionMode = source.BlobCompressionMode;
  BlobBlockSize = source.BlobBlockSize;
}

// --------------------------------------------------------- TVLMAdvFieldDefs

TVLMAdvFieldDef* TVLMAdvFieldDefs::GetItem(int32_t index) const {
  CheckListIndex(index, Items_.size());
  return Items_[static_cast<size_t>(index)].get();
}

TVLMAdvFieldDef* TVLMAdvFieldDefs::Add() {
  Items_.push_back(std::make_unique<TVLMAdvFieldDef>());
  return Items_.back().get();
}

TVLMAdvFieldDef* TVLMAdvFieldDefs::Find(std::string_view name) const {
  for (const auto& item : Items_)
    if (SameUpperName(item->Name, name)) return item.get();
  return nullptr;
}

void TVLMAdvFieldDefs::DeleteByName(std::string_view name) {
  for (auto it = Items_.begin(); it != Items_.end(); ++it) {
    if (SameUpperName((*it)->Name, name)) {
      Items_.erase(it);
      return;
    }
  }
  throw EVLMException(30349, "Field '%s' not found", {std::string(name)});
}

void TVLMAdvFieldDefs::Assign(const TVLMAdvFieldDefs& source) {
  if (&source == this) return;
  Clear();
  for (const auto& item : source.Items_) Add()->Assign(*item);
}

// --------------------------------------------------------- TVLMAdvIndexDefs

TVLMAdvIndexDef* TVLMAdvIndexDefs::GetItem(int32_t index) const {
  CheckListIndex(index, Items_.size());
  return Items_[static_cast<size_t>(index)].get();
}

TVLMAdvIndexDef* TVLMAdvIndexDefs::Add() {
  Items_.push_back(std::make_unique<TVLMAdvIndexDef>());
  return Items_.back().get();
}

void TVLMAdvIndexDefs::Assign(const TVLMAdvIndexDefs& source, bool skipTemporary) {
  if (&source == this) {
    if (skipTemporary) std::erase_if(Items_, [](const auto& item) { return IsTemporaryIndex(*item); });
    return;
  }
  Clear();
  for (const auto& item : source.Items_)
    if (!skipTemporary || !IsTemporaryIndex(*item)) Add()->Assign(*item);
}

// -------------------------------------------------------- field conversions

bool VLMFieldDefsHasName(const qv::FieldDefs& hostDefs, std::string_view name) {
  for (int32_t i = 0; i < hostDefs.Count(); ++i)
    if (SameUpperName(hostDefs[i]->Name(), name)) return true;
  return false;
}

void VLMFieldDefsToEngine(const qv::FieldDefs& hostDefs, TVLMFieldDefs& fieldDefs) {
  fieldDefs.Clear();
  for (int32_t i = 0; i < hostDefs.Count(); ++i) {
    const qv::FieldDef& host = *hostDefs[i];
    TVLMFieldDef* def = fieldDefs.AddFieldDef();
    def->Name = CutName(host.Name());
    def->SetDataType(VLMFieldTypeToDataType(host.DataType()), host.Size());
  }
}

void VLMAdvFieldDefsToFieldDefs(const TVLMAdvFieldDefs& advDefs, qv::FieldDefs& hostDefs) {
  hostDefs.Clear();
  for (int32_t i = 0; i < advDefs.GetCount(); ++i) {
    const TVLMAdvFieldDef& adv = *advDefs.GetItem(i);
    hostDefs.Add(adv.Name, HostFieldType(adv.Name, adv.DataType), adv.Size, adv.Required);
  }
}

void VLMFieldDefsToAdvFieldDefs(const qv::FieldDefs& hostDefs, TVLMAdvFieldDefs& advDefs) {
  advDefs.Clear();
  for (int32_t i = 0; i < hostDefs.Count(); ++i) {
    const qv::FieldDef& host = *hostDefs[i];
    TVLMAdvFieldDef* adv = advDefs.Add();
    adv->Name = host.Name();
    adv->DataType = VLMFieldTypeToDataType(host.DataType());
    adv->Size = adv->DataType == dtGUID ? 0 : host.Size();
    adv->Required = host.Required();
  }
}

void VLMAdvFieldDefsToEngine(const TVLMAdvFieldDefs& advDefs, TVLMFieldDefs& fieldDefs,
                             TVLMConstraintDefs& constraintDefs, const TVLMIndexDefs& indexDefs,
                             bool noConstraints) {
  fieldDefs.Clear();
  constraintDefs.Clear();
  for (int32_t i = 0; i < advDefs.GetCount(); ++i) {
    const TVLMAdvFieldDef& adv = *advDefs.GetItem(i);
    TVLMFieldDef* def = fieldDefs.AddFieldDef();
    def->Name = adv.Name;
    def->SetDataType(adv.DataType, adv.Size);
    def->BlobCompressionAlgorithm = adv.BlobCompressionAlgorithm;
    def->BlobCompressionMode = adv.BlobCompressionMode;
    def->BlobBlockSize = adv.BlobBlockSize >= 1 ? adv.BlobBlockSize : kVLMDefaultBlobBlockSize;
    def->Increment = adv.AutoincIncrement;
    def->InitialValue = adv.AutoincInitialValue;
    def->MinValue = adv.AutoincMinValue;
    def->MaxValue = adv.AutoincMaxValue;
    def->Cycled = adv.Cycled;
    def->DefaultValue.Assign(adv.DefaultValue, true);
    if (noConstraints) continue;
    if (adv.Required) constraintDefs.AddNotNull()->TargetName = adv.Name;
    if (!adv.MinValue.IsNull() || !adv.MaxValue.IsNull()) {
      TVLMConstraintDefCheck* check = constraintDefs.AddCheck();
      check->TargetName = adv.Name;
      check->MinValue.Assign(adv.MinValue, true);
      check->MaxValue.Assign(adv.MaxValue, true);
    }
  }
  for (int32_t i = 0; i < indexDefs.GetCount(); ++i) VLMAddIndexConstraint(*indexDefs.GetIndexDef(i), constraintDefs);
}

void VLMDropConstraintsOfOtherFields(const TVLMFieldDefs& fieldDefs, TVLMConstraintDefs& constraintDefs) {
  for (int32_t i = constraintDefs.GetCount() - 1; i >= 0; --i) {
    const TVLMConstraintDef& constraint = *constraintDefs.GetConstraintDef(i);
    const bool ofField = constraint.Kind == kVLMConstraintNotNull || constraint.Kind == kVLMConstraintCheck;
    if (ofField && fieldDefs.IndexOfObjectID(constraint.TargetID) < 0) constraintDefs.Delete(i);
  }
}

void VLMEngineToAdvFieldDefs(const TVLMFieldDefs& fieldDefs, const TVLMConstraintDefs& constraintDefs,
                             TVLMAdvFieldDefs& advDefs) {
  advDefs.Clear();
  for (int32_t i = 0; i < fieldDefs.GetCount(); ++i) {
    const TVLMFieldDef& def = *fieldDefs.GetFieldDef(i);
    TVLMAdvFieldDef* adv = advDefs.Add();
    adv->Name = def.Name;
    adv->ObjectID = def.ObjectID;
    adv->DataType = def.DataType;
    adv->Size = def.DataType == dtGUID ? 0 : def.Size;
    adv->AutoincIncrement = def.Increment;
    adv->AutoincInitialValue = def.InitialValue;
    adv->AutoincMinValue = def.MinValue;
    adv->AutoincMaxValue = def.MaxValue;
    adv->Cycled = def.Cycled;
    const uint8_t algorithm = def.BlobCompressionAlgorithm;
    adv->BlobCompressionAlgorithm = algorithm >= 1 && algorithm <= 3 ? algorithm : 0;
    adv->BlobCompressionMode = def.BlobCompressionMode;
    adv->BlobBlockSize = def.BlobBlockSize;
    adv->DefaultValue.Assign(def.DefaultValue, true);
  }
  for (int32_t i = 0; i < constraintDefs.GetCount(); ++i) {
    const TVLMConstraintDef& constraint = *constraintDefs.GetConstraintDef(i);
    switch (constraint.Kind) {
      case kVLMConstraintPrimary:
      case kVLMConstraintUnique:
        break;  // the indexes carry them
      case kVLMConstraintNotNull:
        advDefs.GetItem(ConstraintFieldIndex(fieldDefs, constraint, 30032))->Required = true;
        break;
      case kVLMConstraintCheck: {
        TVLMAdvFieldDef* adv = advDefs.GetItem(ConstraintFieldIndex(fieldDefs, constraint, 30031));
        const auto* check = dynamic_cast<const TVLMConstraintDefCheck*>(&constraint);
        if (check == nullptr) throw EVLMException(30039, "Not implemented yet");
        adv->MinValue.Assign(check->MinValue, true);
        adv->MaxValue.Assign(check->MaxValue, true);
        break;
      }
      default:
        throw EVLMException(30039, "Not implemented yet");
    }
  }
}

void VLMEngineToFieldDefs(const TVLMFieldDefs& fieldDefs, const TVLMConstraintDefs& constraintDefs,
                          qv::FieldDefs& hostDefs) {
  hostDefs.Clear();
  for (int32_t i = 0; i < fieldDefs.GetCount(); ++i) {
    const TVLMFieldDef& def = *fieldDefs.GetFieldDef(i);
    const qv::TFieldType hostType = HostFieldType(def.Name, def.DataType);
    const bool sized = VLMIsSizedDataType(def.DataType) && hostType != qv::ftGuid;
    hostDefs.Add(def.Name, hostType, sized ? def.Size : 0, false);
  }
  for (int32_t i = 0; i < constraintDefs.GetCount(); ++i) {
    const TVLMConstraintDef& constraint = *constraintDefs.GetConstraintDef(i);
    if (constraint.Kind != kVLMConstraintNotNull) continue;
    const int32_t index = fieldDefs.IndexOfObjectID(constraint.TargetID);
    if (index < 0) continue;
    // The host list was built from the engine list, position for position.
    qv::FieldDef* host = hostDefs[index];
    if (host->DataType() != qv::ftAutoInc) host->SetRequired(true);
  }
}

// -------------------------------------------------------- index conversions

void VLMIndexDefsToAdvIndexDefs(const qv::IndexDefs& hostDefs, TVLMAdvIndexDefs& advDefs) {
  advDefs.Clear();
  for (int32_t i = 0; i < hostDefs.Count(); ++i) {
    const qv::IndexDef& host = *hostDefs[i];
    TVLMAdvIndexDef* adv = advDefs.Add();
    adv->Name = host.Name();
    adv->Fields = host.Fields();
    adv->DescFields = host.DescFields();
    adv->CaseInsFields = host.CaseInsFields();
    adv->Options = static_cast<uint8_t>(host.Options());
  }
}

void VLMAdvIndexDefsToIndexDefs(const TVLMAdvIndexDefs& advDefs, qv::IndexDefs& hostDefs) {
  hostDefs.Clear();
  for (int32_t i = 0; i < advDefs.GetCount(); ++i) {
    const TVLMAdvIndexDef& adv = *advDefs.GetItem(i);
    qv::TIndexOptions options = adv.Options;
    const std::string fields = qv::UpperCase1252(qv::Trim(adv.Fields));
    if (fields == qv::UpperCase1252(qv::Trim(adv.DescFields))) options |= qv::ixDescending;
    if (fields == qv::UpperCase1252(qv::Trim(adv.CaseInsFields))) options |= qv::ixCaseInsensitive;
    qv::IndexDef* host = hostDefs.Add(adv.Name, adv.Fields, options);
    host->SetDescFields(adv.DescFields);
    host->SetCaseInsFields(adv.CaseInsFields);
  }
}

void VLMAdvIndexDefToEngine(const TVLMAdvIndexDef& advDef, TVLMIndexDef& indexDef,
                            const qv::FieldDefs& hostFieldDefs) {
  if (advDef.Name.empty()) throw EVLMException(20048, "Invalid index name '%s'", {advDef.Name});
  if (advDef.Fields.empty()) throw EVLMException(20049, "Cannot find index field '%s'", {std::string()});
  indexDef.Name = advDef.Name;
  indexDef.Unique = (advDef.Options & qv::ixUnique) != 0;
  indexDef.Primary = (advDef.Options & qv::ixPrimary) != 0;
  indexDef.Temporary = advDef.Temporary;

  const qv::StringList names = SplitList(advDef.Fields);
  const qv::StringList descNames = SplitList(advDef.DescFields);
  const qv::StringList caseInsNames = SplitList(advDef.CaseInsFields);
  const qv::StringList lengths = SplitList(advDef.ColumnLengths);
  const bool allDescending = (advDef.Options & qv::ixDescending) != 0 && descNames.Count() == 0;
  const bool allCaseIns = (advDef.Options & qv::ixCaseInsensitive) != 0 && caseInsNames.Count() == 0;

  qv::StringList directions;
  qv::StringList caseOptions;
  for (const std::string& name : names) {
    if (!VLMFieldDefsHasName(hostFieldDefs, name))
      throw EVLMException(20050, "Cannot find index field '%s'", {name});
    directions.Add(allDescending || ListHasName(descNames, name) ? "DESC" : "ASC");
    caseOptions.Add(allCaseIns || ListHasName(caseInsNames, name) ? "NO_CASE" : "CASE");
  }
  // The lengths are read before the columns change, so a bad one leaves
  // the columns as they were.
  std::vector<int32_t> limits(static_cast<size_t>(names.Count()), kVLMDefaultIndexColumnLength);
  for (int32_t i = 0; i < names.Count() && i < lengths.Count(); ++i) {
    if (lengths[i].empty()) continue;
    if (!qv::TryStrToInt(lengths[i], limits[static_cast<size_t>(i)]))
      throw EVLMException(20430, "Invalid index column length '%s'", {lengths[i]});
  }
  indexDef.SetColumns(names, directions, caseOptions);
  for (int32_t i = 0; i < indexDef.GetColumnCount(); ++i)
    indexDef.GetColumn(i).LengthLimit = limits[static_cast<size_t>(i)];
}

void VLMEngineIndexDefToAdv(const TVLMIndexDef& indexDef, TVLMAdvIndexDef& advDef) {
  advDef.Fields = JoinNames(indexDef, [](const TVLMIndexColumn&) { return true; });
  advDef.DescFields = JoinNames(indexDef, [](const TVLMIndexColumn& c) { return c.Descending; });
  advDef.CaseInsFields = JoinNames(indexDef, [](const TVLMIndexColumn& c) { return c.CaseInsensitive; });
  std::string lengths;
  for (int32_t i = 0; i < indexDef.GetColumnCount(); ++i) {
    if (i > 0) lengths += ';';
    lengths += std::to_string(indexDef.GetColumn(i).LengthLimit);
  }
  advDef.ColumnLengths = lengths;
  advDef.Options = static_cast<uint8_t>((indexDef.Unique ? qv::ixUnique : 0) | (indexDef.Primary ? qv::ixPrimary : 0));
  advDef.Name = indexDef.Name;
  advDef.Temporary = indexDef.Temporary;
}

void VLMAdvIndexDefsToEngine(const TVLMAdvIndexDefs& advDefs, const qv::FieldDefs& hostFieldDefs,
                             TVLMIndexDefs& indexDefs) {
  indexDefs.Clear();
  for (int32_t i = 0; i < advDefs.GetCount(); ++i)
    VLMAdvIndexDefToEngine(*advDefs.GetItem(i), *indexDefs.AddIndexDef(), hostFieldDefs);
}

void VLMEngineToAdvIndexDefs(const TVLMIndexDefs& indexDefs, TVLMAdvIndexDefs& advDefs) {
  advDefs.Clear();
  for (int32_t i = 0; i < indexDefs.GetCount(); ++i) VLMEngineIndexDefToAdv(*indexDefs.GetIndexDef(i), *advDefs.Add());
}
