// VLMTypes, definitions part: a table's schema as three lists of definition
// objects (fields, indexes, constraints), their defaults, copy rules, look-ups,
// the record layout they imply and their stream form. Storage engines store
// the stream form in each table's metadata; stored files depend on it byte for
// byte.
//
// Stream form (little-endian, written field by field). Every field has a code
// of its own for writing and one for reading, so a short stream names the
// exact field that was cut ("write / read" below).
//
//   item head      u8 name length n (10164 / 10166), n name bytes (10165 /
//                  10167), i32 ObjectID (10168 / 10169)
//   field          head, u8 BaseType (10170 / 10187), u8 DataType (10171 /
//                  10188), i32 Size (10172 / 10189); only for a BLOB base type
//                  (18-20): u8 BlobCompressionAlgorithm (10175 / 10192), u8
//                  BlobCompressionMode (10176 / 10193), i32 BlobBlockSize
//                  (10177 / 10194); then i64 Increment (30412 / 30407), i64
//                  InitialValue (30413 / 30408), i64 MinValue (30414 / 30409),
//                  i64 MaxValue (30415 / 30410), u8 Cycled (30416 / 30411),
//                  DefaultValue in the value stream form of TVLMVariant
//   index column   u8 name length n = length mod 256 (10354 / 10358), n bytes
//                  (10355 / 10359), u8 Descending (10356 / 10360), u8
//                  CaseInsensitive (10357 / 10361), i32 LengthLimit (20169 /
//                  20168); true flags are stored as 255
//   index          head, u8 Kind (10344 / 10349), u8 Unique (10345 / 10350),
//                  u8 Primary (10346 / 10351), i32 column count c (10347 /
//                  10352), i32 RootPageNo (10348 / 10353), c columns
//   NOT NULL       head, i32 RefID1, TableID, TargetID (10240-10242 /
//                  10249-10251), then RefName1, TableName, TargetName, each
//                  {u8 n = length + 1; n bytes: the length byte, the
//                  characters} (n and bytes: 10243, 10244 / 10252, 10253;
//                  10245, 10246 / 10254, 10255; 10247, 10248 / 10256, 10257)
//   CHECK          as NOT NULL with the codes 10227-10229 / 10230-10232 and
//                  10221-10226 / 10233-10238, then MinValue and MaxValue in the
//                  value stream form
//   UNIQUE, PK     head, i32 RefID1, TableID, TargetID (30313, 30314, 30318 /
//                  30303, 30304, 30317), names as {i32 n = length + 1; n
//                  bytes: the length byte, the characters} (RefName1 30315,
//                  30316 / 30305, 30306; TableName 30317, 30318 / 30307, 30308;
//                  TargetName 30323, 30324 / 30321, 30322), i32 column count k
//                  (30319 / 30309), k columns {i32 field ID, i32 n, n bytes}
//                  (30320-30322 / 30310-30312)
//   list           i32 count (10158 / 10159; the index list writes 10343 and
//                  counts only definitions that are not Temporary), the items;
//                  the constraint list puts a u8 kind (10219 / 10220) before
//                  each item: 0 PRIMARY KEY, 2 UNIQUE, 3 NOT NULL, 4 CHECK
//
// A damaged stream is refused, never trusted: a negative count, a name count
// of a UNIQUE or PRIMARY KEY definition outside 1..256, a length byte that
// disagrees with its count, or a declared size that no record buffer can hold
// raises the read code of that field. Items are created as they are read, so
// a huge count costs nothing before the stream runs out.
//
// Names hold at most 255 characters (a NOT NULL or CHECK name at most 254 in
// the stream: its count byte holds length + 1; longer names are cut when
// written). Lists compare names after upper-casing them by the 1252 rules.
//
// Record layout (TVLMFieldDefs::CalculateOffsets): a null bitmap of
// ceil(count / 8) bytes, then each field at its offset in list order without
// gaps; DataSize bytes per field in a record buffer, SizeInRecord bytes in a
// stored record (6 for a BLOB base type).
//
// Error codes: the stream codes above; 30007 unsupported type; 10276-10279,
// 10389-10391 index look-up arguments; 10424 duplicate name; 30035 unknown
// constraint kind in Assign; 30316 unknown constraint kind in a stream; 30339
// no item class; 10440 record layout beyond the 32-bit range.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMExpressionLink.h"
#include "engine/core/VLMVariant.h"

namespace qv {
class Stream;
class StringList;
}  // namespace qv

inline constexpr int32_t kVLMMaxNameLength = 255;
// Default block size of a compressed BLOB field.
inline constexpr int32_t kVLMDefaultBlobBlockSize = 102400;
// Bytes a BLOB field takes in a stored record (its BLOB reference).
inline constexpr int32_t kVLMBlobSizeInRecord = 6;
// Value of an index column's LengthLimit set by TVLMIndexDef::SetColumns.
inline constexpr int32_t kVLMDefaultIndexColumnLength = 20;

// Constraint kinds.
inline constexpr uint8_t kVLMConstraintPrimary = 0;
inline constexpr uint8_t kVLMConstraintUnique = 2;
inline constexpr uint8_t kVLMConstraintNotNull = 3;
inline constexpr uint8_t kVLMConstraintCheck = 4;

// Null-bitmap bytes of a record of fieldCount fields.
int32_t VLMNullBitmapSize(int32_t fieldCount);

// ------------------------------------------------------------ definitions

class TVLMMetaObjectDef {
public:
  TVLMMetaObjectDef() = default;
  virtual ~TVLMMetaObjectDef() = default;
  TVLMMetaObjectDef(const TVLMMetaObjectDef&) = delete;
  TVLMMetaObjectDef& operator=(const TVLMMetaObjectDef&) = delete;

  // Copies Name, ObjectID, Description and Tag; descendants then copy their
  // own members.
  virtual void Assign(const TVLMMetaObjectDef& source);
  virtual void LoadFromStream(qv::Stream& stream);
  virtual void SaveToStream(qv::Stream& stream) const;

  std::string Name;
  // Identity inside the table; -1 = not given yet.
  int32_t ObjectID = -1;
  // Copied by Assign, not stored.
  std::string Description;
  int32_t Tag = -1;
};

class TVLMFieldDef : public TVLMMetaObjectDef {
public:
  TVLMFieldDef();
  ~TVLMFieldDef() override;

  // source must be a TVLMFieldDef, else qv::Exception "Invalid class
  // typecast". FieldNo is not copied; DefaultExpression is parsed again.
  void Assign(const TVLMMetaObjectDef& source) override;
  // Also refuses a declared size of a text or byte type that no record
  // buffer can hold (10189).
  void LoadFromStream(qv::Stream& stream) override;
  void SaveToStream(qv::Stream& stream) const override;

  // DataType and its base type (none: 30007 "Unsupported data type '%s'"),
  // Size, then CalculateSizes.
  void SetDataType(TVLMDataType dataType, int32_t size);
  // DataSize from the type table's size rule; SizeInRecord 6 for a BLOB base
  // type, else DataSize.
  void CalculateSizes();
  // Drops DefaultExpression and parses it again when DefaultValue holds an
  // expression default (through the installed expression services).
  void PrepareDefaultExpression();

  TVLMBaseDataType BaseType = 0;
  TVLMDataType DataType = 0;
  int32_t Size = 0;
  int32_t SizeInRecord = 0;
  int32_t DataSize = 0;
  int32_t RecordOffset = 0;
  int32_t BufferOffset = 0;
  // In a cursor's projected list: the field's number in the table's list.
  int32_t FieldNo = 0;
  TVLMVariant DefaultValue;
  TVLMExpressionPtr DefaultExpression;
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionMode = 0;
  int32_t BlobBlockSize = kVLMDefaultBlobBlockSize;
  // Autoincrement: next = last + Increment (0 counts as 1); past a non-zero
  // MaxValue the value becomes MinValue when Cycled, else the insert fails.
  int64_t Increment = 1;
  int64_t InitialValue = 0;
  int64_t MinValue = 0;
  int64_t MaxValue = INT64_MAX;
  bool Cycled = false;
};

class TVLMIndexColumn {
public:
  std::string Name;
  bool Descending = false;
  bool CaseInsensitive = false;
  // Key prefix length of the column in the B-tree index.
  int32_t LengthLimit = 0;
};

class TVLMIndexDef : public TVLMMetaObjectDef {
public:
  TVLMIndexDef() = default;
  ~TVLMIndexDef() override;

  // source must be a TVLMIndexDef, else qv::Exception "Invalid class
  // typecast".
  void Assign(const TVLMMetaObjectDef& source) override;
  // Temporary becomes false; exactly the stored columns are made.
  void LoadFromStream(qv::Stream& stream) override;
  void SaveToStream(qv::Stream& stream) const override;

  // One column per field name: Descending when the direction is exactly
  // "DESC", CaseInsensitive when the option is exactly "NO_CASE",
  // LengthLimit 20. Different counts raise 10278 (names, directions) or
  // 10279 (names, options) "Error - different list lengths. L1 = %d, L2 =
  // %d".
  void SetColumns(const qv::StringList& fieldNames, const qv::StringList& directions,
                  const qv::StringList& caseOptions);
  // Index outside the columns: qv::EListError.
  TVLMIndexColumn& GetColumn(int32_t index) const;
  int32_t GetColumnCount() const { return static_cast<int32_t>(Columns.size()); }
  // Shrinking frees the dropped columns; growing appends empty ones.
  void SetColumnCount(int32_t count);

  uint8_t Kind = 0;
  std::vector<std::unique_ptr<TVLMIndexColumn>> Columns;
  bool Unique = false;
  bool Primary = false;
  // Root page of the index structure; -1 = none.
  int32_t RootPageNo = -1;
  // Not stored: a session's temporary index, left out when the list is saved.
  bool Temporary = false;
  int32_t SessionID = -1;
  int32_t ChangeStamp = 0;
  uint8_t Options = 0;
};

class TVLMConstraintDef : public TVLMMetaObjectDef {
public:
  explicit TVLMConstraintDef(uint8_t kind) : Kind(kind) {}

  // Copies the base part and Kind.
  void Assign(const TVLMMetaObjectDef& source) override;

  uint8_t Kind;
  std::string RefName1;
  int32_t RefID1 = 0;
  // Table the constraint belongs to.
  std::string TableName;
  int32_t TableID = 0;
  // NOT NULL and CHECK: the field; UNIQUE and PRIMARY KEY: the index.
  std::string TargetName;
  int32_t TargetID = 0;

protected:
  void AssignReferences(const TVLMConstraintDef& source);
};

class TVLMConstraintDefNotNull : public TVLMConstraintDef {
public:
  TVLMConstraintDefNotNull() : TVLMConstraintDef(kVLMConstraintNotNull) {}
  void Assign(const TVLMMetaObjectDef& source) override;
  void LoadFromStream(qv::Stream& stream) override;
  void SaveToStream(qv::Stream& stream) const override;
};

class TVLMConstraintDefCheck : public TVLMConstraintDef {
public:
  TVLMConstraintDefCheck() : TVLMConstraintDef(kVLMConstraintCheck) {}
  // Also copies both bounds when source is a CHECK definition.
  void Assign(const TVLMMetaObjectDef& source) override;
  void LoadFromStream(qv::Stream& stream) override;
  void SaveToStream(qv::Stream& stream) const override;

  // Null = no bound.
  TVLMVariant MinValue;
  TVLMVariant MaxValue;
};

struct TVLMConstraintColumn {
  std::string FieldName;
  int32_t FieldID = 0;
};

class TVLMConstraintDefUnique : public TVLMConstraintDef {
public:
  TVLMConstraintDefUnique() : TVLMConstraintDef(kVLMConstraintUnique) {}
  // Also copies the columns when source is a UNIQUE or PRIMARY KEY
  // definition.
  void Assign(const TVLMMetaObjectDef& source) override;
  void LoadFromStream(qv::Stream& stream) override;
  void SaveToStream(qv::Stream& stream) const override;

  std::vector<TVLMConstraintColumn> Columns;

protected:
  explicit TVLMConstraintDefUnique(uint8_t kind) : TVLMConstraintDef(kind) {}
};

class TVLMConstraintDefPrimary : public TVLMConstraintDefUnique {
public:
  TVLMConstraintDefPrimary() : TVLMConstraintDefUnique(kVLMConstraintPrimary) {}
};

// ------------------------------------------------------------------ lists

// An ordered list that owns its definitions.
class TVLMMetaObjectDefs {
public:
  TVLMMetaObjectDefs() = default;
  virtual ~TVLMMetaObjectDefs();
  TVLMMetaObjectDefs(const TVLMMetaObjectDefs&) = delete;
  TVLMMetaObjectDefs& operator=(const TVLMMetaObjectDefs&) = delete;

  virtual int32_t GetCount() const;
  // Appends def (of the list's item class, else qv::Exception "Invalid
  // class typecast") and returns its position.
  virtual int32_t Add(std::unique_ptr<TVLMMetaObjectDef> def);
  // A new empty definition of the item class, appended. The base raises 30339
  // "The method '%s' not overrided in class '%s'".
  virtual TVLMMetaObjectDef* InternalAddCreated();
  // Clears the list, then reads the count and the items one by one. On a
  // failure the list holds the items read completely so far.
  virtual void LoadFromStream(qv::Stream& stream);
  virtual void SaveToStream(qv::Stream& stream) const;
  // Clears the list, then copies source item by item; an item whose name is
  // already in the list raises 10424 "Duplicate field name %s".
  virtual void Assign(const TVLMMetaObjectDefs& source);
  // Positions outside the list raise qv::EListError.
  virtual void Delete(int32_t position);
  virtual void Insert(int32_t position, std::unique_ptr<TVLMMetaObjectDef> def);
  virtual void Move(int32_t from, int32_t to);
  virtual void Clear();

  // Inline: the field manager asks for every field of every record.
  TVLMMetaObjectDef* GetItem(int32_t position) const {
    if (position < 0 || position >= static_cast<int32_t>(Items_.size())) CheckPosition(position, GetCount());
    return Items_[static_cast<size_t>(position)].get();
  }
  // Frees the item at position and puts def there.
  void SetItem(int32_t position, std::unique_ptr<TVLMMetaObjectDef> def);
  // First item whose name equals name after upper-casing both; -1 when none.
  int32_t IndexOfName(std::string_view name) const;
  TVLMMetaObjectDef* FindByName(std::string_view name) const;
  int32_t IndexOfObjectID(int32_t objectID) const;
  TVLMMetaObjectDef* FindByObjectID(int32_t objectID) const;

  // The count read by the last LoadFromStream.
  int32_t LoadedCount() const { return LoadedCount_; }

protected:
  // Name of the concrete class, for messages.
  virtual const char* ClassName() const { return "TVLMMetaObjectDefs"; }
  // A new empty definition of the item class; nullptr when the class has
  // none.
  virtual std::unique_ptr<TVLMMetaObjectDef> CreateItem() const { return nullptr; }
  // Whether def may be held by this list.
  virtual bool AcceptsItem(const TVLMMetaObjectDef& def) const { return true; }
  // Reads one item (the constraint list reads its kind byte first).
  virtual std::unique_ptr<TVLMMetaObjectDef> LoadItem(qv::Stream& stream);
  virtual void SaveItem(qv::Stream& stream, const TVLMMetaObjectDef& item) const;
  void CheckPosition(int32_t position, int32_t count) const;
  void CheckItem(const TVLMMetaObjectDef* def) const;

  std::vector<std::unique_ptr<TVLMMetaObjectDef>> Items_;
  int32_t LoadedCount_ = 0;
};

class TVLMFieldDefs : public TVLMMetaObjectDefs {
public:
  TVLMMetaObjectDef* InternalAddCreated() override;
  // The record layout: RecordOffset and BufferOffset of every field. A
  // layout beyond 2^31 - 1 bytes raises 10440.
  virtual void CalculateOffsets();

  TVLMFieldDef* GetFieldDef(int32_t index) const { return static_cast<TVLMFieldDef*>(GetItem(index)); }
  TVLMFieldDef* AddFieldDef();
  TVLMFieldDef* FindFieldDef(std::string_view name) const;
  // Null bitmap + the sum of DataSize / SizeInRecord; 10440 beyond 2^31 - 1.
  int32_t GetRecordBufferSize() const;
  int32_t GetStoredRecordSize() const;

protected:
  const char* ClassName() const override { return "TVLMFieldDefs"; }
  std::unique_ptr<TVLMMetaObjectDef> CreateItem() const override;
  bool AcceptsItem(const TVLMMetaObjectDef& def) const override;
};

class TVLMIndexDefs : public TVLMMetaObjectDefs {
public:
  TVLMMetaObjectDef* InternalAddCreated() override;
  // Writes only the definitions that are not Temporary.
  void SaveToStream(qv::Stream& stream) const override;
  virtual TVLMIndexDef* GetIndexDef(int32_t index) const;
  // Frees the definition at index and puts def there.
  virtual void SetIndexDef(int32_t index, std::unique_ptr<TVLMIndexDef> def);

  TVLMIndexDef* AddIndexDef();
  TVLMIndexDef* FindIndexDef(std::string_view name) const;
  // The ObjectID of the first index whose leading columns serve the fields
  // in order (names, "ASC"/"DESC" directions and "CASE"/"NO_CASE" options of
  // text fields), skipping shorter indexes and other sessions' temporary
  // ones; -1 when none. Missing lists raise 10389-10391 "Nil pointer
  // occured"; different counts 10276 / 10277.
  int32_t FindIndexForFields(const qv::StringList* fieldNames, const qv::StringList* directions,
                             const TVLMFieldDefs* fieldDefs, int32_t sessionID,
                             const qv::StringList* caseOptions) const;
  bool HasIndexForFields(const qv::StringList* fieldNames, const qv::StringList* directions,
                         const TVLMFieldDefs* fieldDefs, int32_t sessionID,
                         const qv::StringList* caseOptions) const;

protected:
  const char* ClassName() const override { return "TVLMIndexDefs"; }
  std::unique_ptr<TVLMMetaObjectDef> CreateItem() const override;
  bool AcceptsItem(const TVLMMetaObjectDef& def) const override;
};

class TVLMConstraintDefs : public TVLMMetaObjectDefs {
public:
  // Clears, then copies each source item into a new item of its kind (other
  // kinds: 30035 "Not implemented yet"); names are not tested.
  void Assign(const TVLMMetaObjectDefs& source) override;

  TVLMConstraintDef* GetConstraintDef(int32_t index) const;
  TVLMConstraintDefNotNull* AddNotNull();
  TVLMConstraintDefCheck* AddCheck();
  TVLMConstraintDefUnique* AddUnique();
  TVLMConstraintDefPrimary* AddPrimary();

protected:
  const char* ClassName() const override { return "TVLMConstraintDefs"; }
  bool AcceptsItem(const TVLMMetaObjectDef& def) const override;
  std::unique_ptr<TVLMMetaObjectDef> LoadItem(qv::Stream& stream) override;
  void SaveItem(qv::Stream& stream, const TVLMMetaObjectDef& item) const override;
};
