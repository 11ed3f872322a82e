#include "engine/core/VLMConstraintManager.h"

#include <random>
#include <string>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"

namespace {

// Largest number drawn behind a name that is already taken.
constexpr uint32_t kNameNumberMax = 65534;

uint32_t RandomNameNumber() {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, kNameNumberMax)(generator);
}

TVLMFieldDefs& TableFields(TVLMTableData* tableData) { return *tableData->FieldManager->FieldDefs; }

// The field with that object ID, and its number (its null bit); nullptr when
// none.
const TVLMFieldDef* FieldByID(TVLMTableData* tableData, int32_t objectID, int32_t& fieldNo) {
  fieldNo = TableFields(tableData).IndexOfObjectID(objectID);
  return fieldNo < 0 ? nullptr : TableFields(tableData).GetFieldDef(fieldNo);
}

// The value of a field in a record buffer, borrowing its bytes.
void FieldValue(const TVLMFieldDef& field, const uint8_t* recordBuffer, TVLMVariant& value) {
  value.SetBuffer(recordBuffer + field.BufferOffset, field.DataSize, field.BaseType, false);
}

}  // namespace

TVLMConstraintDef* VLMAddIndexConstraint(const TVLMIndexDef& indexDef, TVLMConstraintDefs& constraintDefs) {
  TVLMConstraintDefUnique* def = nullptr;
  std::string name;
  if (indexDef.Primary) {
    def = constraintDefs.AddPrimary();
    name = "C_PK";
  } else if (indexDef.Unique) {
    def = constraintDefs.AddUnique();
    name = "C_Unique";
  } else {
    return nullptr;
  }
  def->TargetName = indexDef.Name;
  def->TargetID = indexDef.ObjectID;
  for (int32_t i = 0; i < indexDef.GetColumnCount(); ++i) {
    def->Columns.push_back(TVLMConstraintColumn{indexDef.GetColumn(i).Name, 0});
    name += "$" + indexDef.GetColumn(i).Name;
  }
  def->Name = name.substr(0, kVLMMaxNameLength);
  return def;
}

TVLMBaseConstraintManager::TVLMBaseConstraintManager(TVLMTableData* tableData)
    : ConstraintDefs(std::make_unique<TVLMConstraintDefs>()), TableData(tableData) {}

TVLMBaseConstraintManager::~TVLMBaseConstraintManager() = default;

void TVLMBaseConstraintManager::LoadFromStream(qv::Stream& stream) { ConstraintDefs->LoadFromStream(stream); }

void TVLMBaseConstraintManager::SaveToStream(qv::Stream& stream) const { ConstraintDefs->SaveToStream(stream); }

void TVLMBaseConstraintManager::PrepareConstraint(TVLMConstraintDef& def) {
  const TVLMFieldDefs& fields = TableFields(TableData);
  switch (def.Kind) {
    case kVLMConstraintPrimary:
    case kVLMConstraintUnique: {
      const bool primary = def.Kind == kVLMConstraintPrimary;
      const TVLMIndexDef* index = TableData->IndexManager->IndexDefs->FindIndexDef(def.TargetName);
      if (index == nullptr) throw EVLMException(primary ? 30325 : 30326, "Index '%s' not found", {def.TargetName});
      def.TargetID = index->ObjectID;
      for (TVLMConstraintColumn& column : static_cast<TVLMConstraintDefUnique&>(def).Columns) {
        const TVLMFieldDef* field = fields.FindFieldDef(column.FieldName);
        if (field == nullptr)
          throw EVLMException(primary ? 30331 : 30332, "Field '%s' not found", {column.FieldName});
        column.FieldID = field->ObjectID;
      }
      return;
    }
    case kVLMConstraintNotNull:
    case kVLMConstraintCheck: {
      const TVLMFieldDef* field = fields.FindFieldDef(def.TargetName);
      if (field == nullptr) throw EVLMException(30027, "Field '%s' not found", {def.TargetName});
      def.TargetID = field->ObjectID;
      return;
    }
    default:
      throw EVLMException(30037, "Not implemented yet");
  }
}

void TVLMBaseConstraintManager::PrepareConstraints() {
  for (int32_t i = 0; i < ConstraintDefs->GetCount(); ++i) PrepareConstraint(*ConstraintDefs->GetConstraintDef(i));
}

void TVLMBaseConstraintManager::NameUnnamedConstraints() {
  for (int32_t i = 0; i < ConstraintDefs->GetCount(); ++i) {
    TVLMConstraintDef& def = *ConstraintDefs->GetConstraintDef(i);
    if (!def.Name.empty()) continue;
    std::string base;
    if (def.Kind == kVLMConstraintNotNull)
      base = "$C_NotNull$";
    else if (def.Kind == kVLMConstraintCheck)
      base = "$C_Check$";
    else
      throw EVLMException(30038, "Not implemented yet");
    base += def.TableName + "$" + def.TargetName;
    // The name is cut before it is tested, so the name kept is the one
    // tested; a number drawn for a taken name keeps its place inside the
    // limit instead of being cut off.
    std::string candidate = base.substr(0, kVLMMaxNameLength);
    while (ConstraintDefs->IndexOfName(candidate) >= 0) {
      const std::string number = std::to_string(RandomNameNumber());
      candidate = base.substr(0, kVLMMaxNameLength - number.size()) + number;
    }
    def.Name = candidate;
  }
}

bool TVLMBaseConstraintManager::CheckConstraints(int32_t sessionID, const uint8_t* recordBuffer, bool checkKeys,
                                                 bool raiseErrors, const TVLMRecordID& recordID, bool isInsert,
                                                 const uint8_t* updateContext) {
  // A violation: raised or answered as false. The message is made only to
  // be raised: a caller that asks (a DISTINCT fill, say) may ask for every
  // row.
  auto violated = [&](auto makeError) {
    if (raiseErrors) throw makeError();
    return false;
  };
  for (int32_t i = 0; i < ConstraintDefs->GetCount(); ++i) {
    const TVLMConstraintDef& def = *ConstraintDefs->GetConstraintDef(i);
    int32_t fieldNo = 0;
    switch (def.Kind) {
      case kVLMConstraintNotNull: {
        const TVLMFieldDef* field = FieldByID(TableData, def.TargetID, fieldNo);
        if (field == nullptr) throw EVLMException(30024, "Field #%d not found", {def.TargetID});
        if (VLMGetBit(fieldNo, recordBuffer))
          return violated([&] { return EVLMException(30026, "Constraint '%s' violated. Value in field '%s' cannot be null",
                                        {def.Name, field->Name}); });
        break;
      }
      case kVLMConstraintCheck: {
        const TVLMFieldDef* field = FieldByID(TableData, def.TargetID, fieldNo);
        if (field == nullptr) throw EVLMException(30028, "Field #%d not found", {def.TargetID});
        if (VLMGetBit(fieldNo, recordBuffer)) break;
        const auto& check = static_cast<const TVLMConstraintDefCheck&>(def);
        TVLMVariant value;
        FieldValue(*field, recordBuffer, value);
        if (!check.MinValue.IsNull() && check.MinValue.Compare(value) == 2)
          return violated([&] { return EVLMException(30029, "Constraint '%s' violated. Value in field '%s' cannot be lower than '%s'",
                            {def.Name, field->Name, check.MinValue.GetAsString()}); });
        if (!check.MaxValue.IsNull() && check.MaxValue.Compare(value) == 1)
          return violated([&] { return EVLMException(30030, "Constraint '%s' violated. Value in field '%s' cannot be greater than '%s'",
                            {def.Name, field->Name, check.MaxValue.GetAsString()}); });
        break;
      }
      case kVLMConstraintUnique:
        if (checkKeys &&
            TableData->HasDuplicateKey(sessionID, def.TargetID, recordID, isInsert, updateContext, recordBuffer))
          return violated([&] { return EVLMException(30320, "Constraint unique '%s' violated. Duplicate found.", {def.Name}); });
        break;
      case kVLMConstraintPrimary: {
        if (!checkKeys) break;
        std::string names;
        bool allNull = true;
        for (const TVLMConstraintColumn& column : static_cast<const TVLMConstraintDefUnique&>(def).Columns) {
          const TVLMFieldDef* field = FieldByID(TableData, column.FieldID, fieldNo);
          if (field == nullptr) throw EVLMException(30329, "Field #%d not found", {column.FieldID});
          if (!names.empty()) names += ",";
          names += field->Name;
          if (!VLMGetBit(fieldNo, recordBuffer)) {
            allNull = false;
            break;
          }
        }
        if (allNull)
          return violated([&] { return EVLMException(30330, "Constraint '%s' violated. Value in field '%s' cannot be null",
                                        {def.Name, names}); });
        if (TableData->HasDuplicateKey(sessionID, def.TargetID, recordID, isInsert, updateContext, recordBuffer))
          return violated([&] { return EVLMException(30319, "Primary Key constraint '%s' violated. Duplicate found.", {def.Name}); });
        break;
      }
      default:
        throw EVLMException(30036, "Not implemented yet");
    }
  }
  return true;
}

void TVLMBaseConstraintManager::AddIndexConstraint(const TVLMIndexDef& indexDef) {
  TVLMConstraintDef* def = VLMAddIndexConstraint(indexDef, *ConstraintDefs);
  if (def == nullptr) return;
  def->ObjectID = TableData->DatabaseData->NextObjectID();
  PrepareConstraint(*def);
}

void TVLMBaseConstraintManager::DeleteIndexConstraint(int32_t indexID) {
  for (int32_t i = 0; i < ConstraintDefs->GetCount(); ++i) {
    const TVLMConstraintDef& def = *ConstraintDefs->GetConstraintDef(i);
    if ((def.Kind == kVLMConstraintPrimary || def.Kind == kVLMConstraintUnique) && def.TargetID == indexID) {
      ConstraintDefs->Delete(i);
      return;
    }
  }
}
