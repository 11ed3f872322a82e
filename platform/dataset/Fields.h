// Field objects: the typed face of one column of a dataset's current record.
//
// A field reads and writes its value through its dataset (GetData/SetData ->
// DataSet::GetFieldData/SetFieldData) in the record-buffer form of its type
// (FieldTypes.h); the As... accessors convert between that form and the
// caller's type by the host's rules. A null value reads as "", 0, 0.0 or false
// and as a Null variant.
//
// Kinds: a data field lives in the record (FieldNo >= 1); a calculated field
// is computed by the dataset's OnCalcFields; a lookup field fetches
// LookupResultField from LookupDataSet where LookupKeyFields equal this
// dataset's KeyFields. Calculated and lookup fields have FieldNo -1 once bound.
//
// The dataset owns its fields (Fields). A field created from a definition
// while the dataset opens is a "default" field and goes away at close; fields
// added before opening ("persistent" fields) stay, and then only they exist.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/FieldTypes.h"
#include "platform/host/HostVariant.h"

namespace qv {

class DataSet;

class Field {
public:
  using NotifyEvent = std::function<void(Field&)>;

  virtual ~Field();
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  DataSet* GetDataSet() const { return DataSet_; }
  const std::string& FieldName() const { return FieldName_; }
  // Raises "Duplicate field name '%s'" when the dataset has another field of
  // that name.
  void SetFieldName(std::string_view name);
  const std::string& DisplayName() const { return FieldName_; }
  // 1-based record position of a data field; -1 for calculated and lookup
  // fields; 0 while unbound.
  int32_t FieldNo() const { return FieldNo_; }
  TFieldKind FieldKind() const { return FieldKind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return FieldKind_ == fkCalculated; }
  bool Lookup() const { return FieldKind_ == fkLookup; }
  TFieldType DataType() const { return DataType_; }
  // Declared size: characters of a string, bytes of a binary field; 0 for the
  // types that have none (SetSize raises "Invalid field size" for them).
  int32_t Size() const { return Size_; }
  void SetSize(int32_t size);
  bool IsSizedType() const;
  // Bytes of the record-buffer form (FieldTypes.h FieldDataSize).
  int32_t DataSize() const { return GetDataSize(); }
  virtual bool IsBlob() const { return false; }
  bool Required() const { return Required_; }
  void SetRequired(bool required) { Required_ = required; }
  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool readOnly) { ReadOnly_ = readOnly; }
  // Position in the dataset's field list; -1 without dataset.
  int32_t Index() const;
  // Offset of a calculated or lookup field in the calculated-field area of a
  // record buffer: one has-value byte, then DataSize() bytes.
  int32_t Offset() const { return Offset_; }
  // Not read-only, and the dataset can be modified.
  bool CanModify() const;
  bool IsIndexField() const;

  // Lookup fields.
  DataSet* LookupDataSet() const { return LookupDataSet_; }
  void SetLookupDataSet(DataSet* dataSet);
  const std::string& KeyFields() const { return KeyFields_; }
  void SetKeyFields(std::string_view names) { KeyFields_ = std::string(names); }
  const std::string& LookupKeyFields() const { return LookupKeyFields_; }
  void SetLookupKeyFields(std::string_view names) { LookupKeyFields_ = std::string(names); }
  const std::string& LookupResultField() const { return LookupResultField_; }
  void SetLookupResultField(std::string_view name) { LookupResultField_ = std::string(name); }

  // Values. A conversion the type does not support raises EDatabaseError
  // "Cannot access field '%s' as type %s".
  virtual std::string AsString() const;
  virtual void SetAsString(std::string_view value);
  virtual std::u16string AsWideString() const;
  virtual void SetAsWideString(std::u16string_view value);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  // Days since 1899-12-30.
  virtual double AsDateTime() const;
  virtual void SetAsDateTime(double value);
  // Null for a null value; a Null or Empty variant clears the field.
  HostVariant AsVariant() const;
  void SetAsVariant(const HostVariant& value);
  HostVariant Value() const;
  void SetValue(const HostVariant& value);

  bool IsNull() const;
  void Clear();
  // Takes source's value (nullptr clears).
  virtual void Assign(const Field* source);

  // The value in record-buffer form (nativeFormat) or in the field's own form
  // (date/time types: a double date-time; wide strings: a std::u16string).
  // False when null. buffer may be nullptr to ask only for null-ness.
  bool GetData(void* buffer, bool nativeFormat = true) const;
  // nullptr stores null.
  void SetData(void* buffer, bool nativeFormat = true);
  // Runs OnValidate with the proposed record-buffer value; while it runs the
  // field reads as that value. The dataset calls it before storing.
  void Validate(void* buffer);
  // The proposed value while OnValidate runs, else nullptr.
  const void* ValueBuffer() const { return ValueBuffer_; }

  NotifyEvent OnValidate;

protected:
  Field(TFieldType dataType, int32_t defaultSize);
  void SetDataType(TFieldType dataType) { DataType_ = dataType; }
  virtual int32_t GetDataSize() const;
  virtual HostVariant GetAsVariant() const;
  virtual void SetVarValue(const HostVariant& value);
  [[noreturn]] void AccessError(std::string_view typeName) const;
  [[noreturn]] void RangeError(double value, double min, double max) const;
  [[noreturn]] void InvalidValue(std::string_view message, std::string_view text) const;

private:
  friend class DataSet;
  friend class Fields;

  DataSet* DataSet_ = nullptr;
  std::string FieldName_;
  int32_t FieldNo_ = 0;
  TFieldKind FieldKind_ = fkData;
  TFieldType DataType_;
  int32_t Size_;
  bool Required_ = false;
  bool ReadOnly_ = false;
  bool Default_ = false;  // created by the dataset from a definition
  int32_t Offset_ = 0;
  DataSet* LookupDataSet_ = nullptr;
  std::string KeyFields_;
  std::string LookupKeyFields_;
  std::string LookupResultField_;
  void* ValueBuffer_ = nullptr;
  bool Validating_ = false;
};

// ftString (zero-terminated 1252 text, cut to Size bytes) and ftFixedChar.
class StringField : public Field {
public:
  StringField();
  bool FixedChar() const { return DataType() == ftFixedChar; }
  void SetFixedChar(bool fixed) { SetDataType(fixed ? ftFixedChar : ftString); }
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  // Text to number or date by the host's rules; a Boolean is "T"/"F" and reads
  // True for a text starting with T, t, Y or y.
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  double AsDateTime() const override;
  void SetAsDateTime(double value) override;

protected:
  explicit StringField(TFieldType dataType, int32_t defaultSize);
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
};

// ftGuid: the text form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", Size 38.
class GuidField : public StringField {
public:
  GuidField();
};

// ftWideString: UTF-16 text, cut to Size characters. As 8-bit text it is 1252.
class WideStringField : public Field {
public:
  WideStringField();
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  std::u16string AsWideString() const override;
  void SetAsWideString(std::u16string_view value) override;

protected:
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
};

// Integer types: ftInteger (and the classes below for the other widths).
// Values outside the type's range raise "%g is not a valid value for field
// '%s'. The allowed range is %g to %g".
class IntegerField : public Field {
public:
  IntegerField();
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;

protected:
  IntegerField(TFieldType dataType, int64_t minRange, int64_t maxRange);
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
  bool getValue(int64_t& value) const;
  void setValue(int64_t value);

private:
  int64_t MinRange_;
  int64_t MaxRange_;
};

class SmallintField : public IntegerField {
public:
  SmallintField();
};

class WordField : public IntegerField {
public:
  WordField();
};

class AutoIncField : public IntegerField {
public:
  AutoIncField();
};

class LargeintField : public IntegerField {
public:
  LargeintField();
};

// ftFloat; CurrencyField is the same with DataType ftCurrency.
class FloatField : public Field {
public:
  FloatField();
  // 15 significant digits, general format ("0.1", "1E20").
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  // Rounded half to even; out of range raises the range error.
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  bool Currency() const { return DataType() == ftCurrency; }

protected:
  explicit FloatField(TFieldType dataType);
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
};

class CurrencyField : public FloatField {
public:
  CurrencyField();
};

// ftBoolean: a 16-bit value, 0 false and -1 (FF FF) true. As text it reads and
// writes DisplayValues ("True;False" unless set); a text is taken when it is
// the start of the true or the false text (ignoring case).
class BooleanField : public Field {
public:
  BooleanField();
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  const std::string& DisplayValues() const { return DisplayValues_; }
  void SetDisplayValues(std::string_view values);

protected:
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;

private:
  std::string DisplayValues_;
  std::string TrueText_;
  std::string FalseText_;
};

// ftDateTime (and DateField/TimeField): the value is a date-time double; the
// record-buffer forms are those of FieldTypes.h. As text: yyyy-mm-dd,
// hh:nn:ss, or both.
class DateTimeField : public Field {
public:
  DateTimeField();
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  double AsDateTime() const override;
  void SetAsDateTime(double value) override;

protected:
  explicit DateTimeField(TFieldType dataType);
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
};

class DateField : public DateTimeField {
public:
  DateField();
};

class TimeField : public DateTimeField {
public:
  TimeField();
};

// ftBytes (Size bytes) and ftVarBytes (a uint16_t length and up to Size
// bytes). As text the bytes themselves; a longer value is cut to Size.
class BinaryField : public Field {
public:
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;

protected:
  BinaryField(TFieldType dataType, int32_t defaultSize);
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
};

class BytesField : public BinaryField {
public:
  BytesField();
};

class VarBytesField : public BinaryField {
public:
  VarBytesField();
};

// BLOB types: the value is read and written whole through the dataset's BLOB
// stream (DataSet::CreateBlobStream). ftBlob, ftFmtMemo and the other binary
// kinds use this class; MemoField and GraphicField name the common ones.
class BlobField : public Field {
public:
  explicit BlobField(TFieldType dataType = ftBlob);
  bool IsBlob() const override { return true; }
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  std::u16string AsWideString() const override;
  void SetAsWideString(std::u16string_view value) override;
  void Assign(const Field* source) override;
  TFieldType BlobType() const { return DataType(); }

protected:
  int32_t GetDataSize() const override { return 0; }
  HostVariant GetAsVariant() const override;
  void SetVarValue(const HostVariant& value) override;
};

class MemoField : public BlobField {
public:
  MemoField();
};

class GraphicField : public BlobField {
public:
  GraphicField();
};

// The host's name of a field type ("String", "Integer", "DateTime", ...).
std::string FieldTypeName(TFieldType type);

// The field class of a type; nullptr for a type without one (ftUnknown,
// ftBCD, ftCursor, ftADT, ftArray, ftReference, ftDataSet, ftVariant,
// ftInterface, ftIDispatch, ftTimeStamp, ftFMTBcd).
std::unique_ptr<Field> CreateFieldObject(TFieldType type);

// The fields of a dataset, in order. Owns them.
class Fields {
public:
  explicit Fields(DataSet* dataSet);
  ~Fields();
  Fields(const Fields&) = delete;
  Fields& operator=(const Fields&) = delete;

  int32_t Count() const { return static_cast<int32_t>(List_.size()); }
  // EDatabaseError "Field index out of range" outside 0 .. Count()-1.
  Field* Items(int32_t index) const;
  Field* operator[](int32_t index) const { return Items(index); }
  // Adopts a field (the dataset must be closed). Raises "Duplicate field name
  // '%s'" when the name is taken; returns the field.
  Field* Add(std::unique_ptr<Field> field);
  // Hands a field back (the dataset must be closed); nullptr when not here.
  std::unique_ptr<Field> Remove(Field* field);
  void Clear();
  int32_t IndexOf(const Field* field) const;
  Field* FindField(std::string_view name) const;
  // EDatabaseError "Field '%s' not found" (named after the dataset).
  Field* FieldByName(std::string_view name) const;
  // The data field with that FieldNo; nullptr when none.
  Field* FieldByNumber(int32_t fieldNo) const;

  auto begin() const { return List_.begin(); }
  auto end() const { return List_.end(); }

private:
  friend class DataSet;
  DataSet* DataSet_;
  std::vector<std::unique_ptr<Field>> List_;
};

}  // namespace qv
