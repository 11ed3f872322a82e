// Field and index definitions of a dataset: what the underlying table holds
// (FieldDefs) and which indexes it has (IndexDefs), independent of the field
// objects that read and write the values (Fields.h).
//
// Both lists belong to a dataset (or to nobody, for a free-standing list). A
// list is "up to date" once its dataset has filled it (Update); a dataset marks
// it out of date when the table may have changed. Names are unique in a list
// and compared without regard to case.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/FieldTypes.h"

namespace qv {

class DataSet;
class Field;
class FieldDefs;
class IndexDefs;

class FieldDef {
public:
  FieldDef(FieldDefs* collection, std::string name, TFieldType dataType, int32_t size, bool required,
           int32_t fieldNo);

  FieldDefs* Collection() const { return Collection_; }
  // Position in the list, from 0.
  int32_t Index() const;

  const std::string& Name() const { return Name_; }
  // EDatabaseError "Duplicate field name '%s'" when another definition of the
  // list has that name.
  void SetName(std::string_view name);
  TFieldType DataType() const { return DataType_; }
  void SetDataType(TFieldType dataType) { DataType_ = dataType; }
  int32_t Size() const { return Size_; }
  void SetSize(int32_t size) { Size_ = size; }
  bool Required() const { return Required_; }
  void SetRequired(bool required) { Required_ = required; }
  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool readOnly) { ReadOnly_ = readOnly; }
  // 1-based number of the field in the record; the dataset passes it back to
  // the subclass through Field::FieldNo.
  int32_t FieldNo() const { return FieldNo_; }
  void SetFieldNo(int32_t fieldNo) { FieldNo_ = fieldNo; }

  // Copies name, type, size, required and read-only (not the number).
  void Assign(const FieldDef& source);

  // Creates the field object of this definition's type for `owner` (added to
  // its Fields). nullptr, and nothing created, for a type without a field
  // class (ftUnknown, ftADT, ...).
  Field* CreateField(DataSet* owner) const;

private:
  FieldDefs* Collection_;
  std::string Name_;
  TFieldType DataType_;
  int32_t Size_;
  bool Required_;
  bool ReadOnly_ = false;
  int32_t FieldNo_;
};

class FieldDefs {
public:
  explicit FieldDefs(DataSet* dataSet = nullptr);
  ~FieldDefs();
  FieldDefs(const FieldDefs&) = delete;
  FieldDefs& operator=(const FieldDefs&) = delete;

  DataSet* GetDataSet() const { return DataSet_; }
  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  // EDatabaseError "Field index out of range" outside 0 .. Count()-1.
  FieldDef* Items(int32_t index) const;
  FieldDef* operator[](int32_t index) const { return Items(index); }

  // Appends a definition with FieldNo = its position + 1. Empty name:
  // "Field name missing"; a name already present: "Duplicate field name '%s'".
  FieldDef* Add(std::string_view name, TFieldType dataType, int32_t size = 0, bool required = false);
  // Appends a definition without a name yet.
  FieldDef* AddFieldDef();
  // -1 when no definition has that name.
  int32_t IndexOf(std::string_view name) const;
  // EDatabaseError "Field '%s' not found" when none has that name.
  FieldDef* Find(std::string_view name) const;
  void Delete(int32_t index);
  void Clear();
  // Replaces the list with copies of source's definitions (numbers included).
  void Assign(const FieldDefs& source);

  // Fills the list from the dataset unless it is up to date.
  void Update();
  bool Updated() const { return Updated_; }
  void SetUpdated(bool updated) { Updated_ = updated; }

private:
  friend class FieldDef;
  void changed();

  DataSet* DataSet_;
  std::vector<std::unique_ptr<FieldDef>> Items_;
  bool Updated_ = false;
  int32_t InternalUpdate_ = 0;
};

class IndexDef {
public:
  IndexDef(IndexDefs* collection, std::string name, std::string fields, TIndexOptions options);

  IndexDefs* Collection() const { return Collection_; }
  int32_t Index() const;

  const std::string& Name() const { return Name_; }
  // EDatabaseError "Duplicate index name '%s'" when another index of the list
  // has that name.
  void SetName(std::string_view name);
  // The indexed fields, separated by ";".
  const std::string& Fields() const { return Fields_; }
  void SetFields(std::string_view fields) { Fields_ = std::string(fields); }
  // The fields (of Fields) sorted descending / compared without case.
  const std::string& DescFields() const { return DescFields_; }
  void SetDescFields(std::string_view fields) { DescFields_ = std::string(fields); }
  const std::string& CaseInsFields() const { return CaseInsFields_; }
  void SetCaseInsFields(std::string_view fields) { CaseInsFields_ = std::string(fields); }
  TIndexOptions Options() const { return Options_; }
  void SetOptions(TIndexOptions options) { Options_ = options; }

  void Assign(const IndexDef& source);

private:
  IndexDefs* Collection_;
  std::string Name_;
  std::string Fields_;
  std::string DescFields_;
  std::string CaseInsFields_;
  TIndexOptions Options_;
};

class IndexDefs {
public:
  explicit IndexDefs(DataSet* dataSet = nullptr);
  ~IndexDefs();
  IndexDefs(const IndexDefs&) = delete;
  IndexDefs& operator=(const IndexDefs&) = delete;

  DataSet* GetDataSet() const { return DataSet_; }
  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  IndexDef* Items(int32_t index) const;
  IndexDef* operator[](int32_t index) const { return Items(index); }

  // A name already present: "Duplicate index name '%s'". An index may be
  // unnamed (a table's primary index often is).
  IndexDef* Add(std::string_view name, std::string_view fields, TIndexOptions options);
  IndexDef* AddIndexDef();
  int32_t IndexOf(std::string_view name) const;
  // EDatabaseError "Index '%s' not found" when none has that name.
  IndexDef* Find(std::string_view name) const;
  void Delete(int32_t index);
  void Clear();
  void Assign(const IndexDefs& source);

  // The index whose field list is `fields` (ignoring case), else the first
  // whose field list begins with them (whole names: "Call" finds
  // "Call;Freq", not "Callsign"). Descending indexes do not count; with
  // caseInsensitive only case-insensitive indexes do. nullptr when none.
  // Brings the list up to date first.
  IndexDef* GetIndexForFields(std::string_view fields, bool caseInsensitive);
  // The same; EDatabaseError "No index for fields '%s'" when none.
  IndexDef* FindIndexForFields(std::string_view fields);

  // Fills the list from the dataset unless it is up to date.
  void Update();
  bool Updated() const { return Updated_; }
  void SetUpdated(bool updated) { Updated_ = updated; }

private:
  friend class IndexDef;
  void changed();

  DataSet* DataSet_;
  std::vector<std::unique_ptr<IndexDef>> Items_;
  bool Updated_ = false;
  int32_t InternalUpdate_ = 0;
};

}  // namespace qv
