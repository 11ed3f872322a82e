#include "engine/core/VLMTypesDefs.h"

#include <algorithm>
#include <utility>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMConverts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/Exception.h"
#include "platform/host/Stream.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

// ------------------------------------------------------ stream primitives

void WriteU8(qv::Stream& stream, uint8_t value, int32_t code) {
  VLMWriteStreamBuffer(&value, 1, stream, code);
}

void WriteI32(qv::Stream& stream, int32_t value, int32_t code) {
  uint8_t b[4];
  VLMPutI32LE(b, value);
  VLMWriteStreamBuffer(b, 4, stream, code);
}

void WriteI64(qv::Stream& stream, int64_t value, int32_t code) {
  uint8_t b[8];
  VLMPutI64LE(b, value);
  VLMWriteStreamBuffer(b, 8, stream, code);
}

uint8_t ReadU8(qv::Stream& stream, int32_t code) {
  uint8_t value = 0;
  VLMReadStreamBuffer(&value, 1, stream, code);
  return value;
}

int32_t ReadI32(qv::Stream& stream, int32_t code) {
  uint8_t b[4];
  VLMReadStreamBuffer(b, 4, stream, code);
  return VLMGetI32LE(b);
}

int64_t ReadI64(qv::Stream& stream, int32_t code) {
  uint8_t b[8];
  VLMReadStreamBuffer(b, 8, stream, code);
  return VLMGetI64LE(b);
}

std::string ReadChars(qv::Stream& stream, int32_t count, int32_t code) {
  std::string s(static_cast<size_t>(count), '\0');
  if (count > 0) VLMReadStreamBuffer(s.data(), count, stream, code);
  return s;
}

// A count that cannot be a number of items (a damaged stream).
[[noreturn]] void BadCount(qv::Stream& stream, int32_t code, int32_t count) {
  throw EVLMException(code, "Invalid item count in stream. Position = %d, Count = %d",
                      {stream.Position(), count});
}

[[noreturn]] void BadName(qv::Stream& stream, int32_t code, int32_t length) {
  throw EVLMException(code, "Invalid name length in stream. Position = %d, Length = %d",
                      {stream.Position(), length});
}

// Item head name: u8 n, n bytes. Longer names are cut to 255 characters.
void WriteShortName(qv::Stream& stream, const std::string& name, int32_t codeLength,
                    int32_t codeChars) {
  const auto n = static_cast<uint8_t>(std::min<size_t>(name.size(), kVLMMaxNameLength));
  WriteU8(stream, n, codeLength);
  if (n > 0) VLMWriteStreamBuffer(name.data(), n, stream, codeChars);
}

std::string ReadShortName(qv::Stream& stream, int32_t codeLength, int32_t codeChars) {
  const uint8_t n = ReadU8(stream, codeLength);
  return ReadChars(stream, n, codeChars);
}

// {u8 n = length + 1; n bytes: the length byte, the characters}. The count
// byte holds at most 255, so at most 254 characters are written.
constexpr size_t kByteCountedNameMax = 254;

// The length byte and the characters of a counted name, cut to maxLength.
std::string CountedNameBytes(const std::string& name, size_t maxLength) {
  const size_t length = std::min(name.size(), maxLength);
  std::string bytes(1, static_cast<char>(length));
  bytes.append(name, 0, length);
  return bytes;
}

// The n bytes of a counted name whose count n has been read: the length byte
// must say n - 1.
std::string ReadCountedNameBytes(qv::Stream& stream, int32_t n, int32_t codeBytes) {
  const std::string bytes = ReadChars(stream, n, codeBytes);
  if (static_cast<uint8_t>(bytes[0]) != n - 1) BadName(stream, codeBytes, static_cast<uint8_t>(bytes[0]));
  return bytes.substr(1);
}

void WriteByteCountedName(qv::Stream& stream, const std::string& name, int32_t codeCount,
                          int32_t codeBytes) {
  const std::string bytes = CountedNameBytes(name, kByteCountedNameMax);
  WriteU8(stream, static_cast<uint8_t>(bytes.size()), codeCount);
  VLMWriteStreamBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), stream, codeBytes);
}

std::string ReadByteCountedName(qv::Stream& stream, int32_t codeCount, int32_t codeBytes) {
  const uint8_t n = ReadU8(stream, codeCount);
  if (n == 0) BadName(stream, codeCount, n);  // not even the length byte
  return ReadCountedNameBytes(stream, n, codeBytes);
}

// {i32 n = length + 1; n bytes: the length byte, the characters}; n must be
// 1..256 when read.
void WriteIntCountedName(qv::Stream& stream, const std::string& name, int32_t codeCount,
                         int32_t codeBytes) {
  const std::string bytes = CountedNameBytes(name, kVLMMaxNameLength);
  WriteI32(stream, static_cast<int32_t>(bytes.size()), codeCount);
  VLMWriteStreamBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), stream, codeBytes);
}

std::string ReadIntCountedName(qv::Stream& stream, int32_t codeCount, int32_t codeBytes) {
  const int32_t n = ReadI32(stream, codeCount);
  if (n < 1 || n > kVLMMaxNameLength + 1) BadName(stream, codeCount, n);
  return ReadCountedNameBytes(stream, n, codeBytes);
}

[[noreturn]] void InvalidCast() { throw qv::Exception("Invalid class typecast"); }

[[noreturn]] void DifferentLengths(int32_t code, int32_t l1, int32_t l2) {
  throw EVLMException(code, "Error - different list lengths. L1 = %d, L2 = %d", {l1, l2});
}

[[noreturn]] void NilPointer(int32_t code) { throw EVLMException(code, "Nil pointer occured"); }

// Declared sizes of the text and byte types whose value length is the size;
// anything larger could not be held in one record buffer.
bool IsSizedBaseType(TVLMBaseDataType t) {
  return VLMIsStringBaseType(t) || t == bdtBytes || t == bdtVarBytes;
}

bool SizeFitsBuffer(TVLMBaseDataType baseType, int32_t size) {
  if (!IsSizedBaseType(baseType)) return true;
  if (size < 0) return false;
  const int64_t bytes = VLMIsWideStringBaseType(baseType) ? 2 * (int64_t{size} + 1) : int64_t{size} + 1;
  return bytes <= kVLMMaxBlockDataSize;
}

std::unique_ptr<TVLMConstraintDef> NewConstraint(uint8_t kind) {
  switch (kind) {
    case kVLMConstraintPrimary: return std::make_unique<TVLMConstraintDefPrimary>();
    case kVLMConstraintUnique: return std::make_unique<TVLMConstraintDefUnique>();
    case kVLMConstraintNotNull: return std::make_unique<TVLMConstraintDefNotNull>();
    case kVLMConstraintCheck: return std::make_unique<TVLMConstraintDefCheck>();
    default: return nullptr;
  }
}

// What a list's CreateItem made; a list class without an item class cannot
// create items.
std::unique_ptr<TVLMMetaObjectDef> Required(std::unique_ptr<TVLMMetaObjectDef> item, const char* className) {
  if (!item)
    throw EVLMException(30339, "The method '%s' not overrided in class '%s'", {"InternalAddCreated", className});
  return item;
}

template <class T>
T* AddNew(std::vector<std::unique_ptr<TVLMMetaObjectDef>>& items) {
  auto def = std::make_unique<T>();
  T* raw = def.get();
  items.push_back(std::move(def));
  return raw;
}

}  // namespace

int32_t VLMNullBitmapSize(int32_t fieldCount) {
  return fieldCount <= 0 ? 0 : fieldCount / 8 + (fieldCount % 8 != 0 ? 1 : 0);
}

// ------------------------------------------------------- TVLMMetaObjectDef

void TVLMMetaObjectDef::Assign(const TVLMMetaObjectDef& source) {
  if (&source == this) return;
  Name = source.Name;
  ObjectID = source.ObjectID;
  Description = source.Description;
  Tag = source.Tag;
}

void TVLMMetaObjectDef::LoadFromStream(qv::Stream& stream) {
  Name = ReadShortName(stream, 10166, 10167);
  ObjectID = ReadI32(stream, 10169);
}

void TVLMMetaObjectDef::SaveToStream(qv::Stream& stream) const {
  WriteShortName(stream, Name, 10164, 10165);
  WriteI32(stream, ObjectID, 10168);
}

// ------------------------------------------------------------ TVLMFieldDef

TVLMFieldDef::TVLMFieldDef() = default;
TVLMFieldDef::~TVLMFieldDef() = default;

void TVLMFieldDef::Assign(const TVLMMetaObjectDef& source) {
  const auto* src = dynamic_cast<const TVLMFieldDef*>(&source);
  if (src == nullptr) InvalidCast();
  if (src == this) return;
  TVLMMetaObjectDef::Assign(source);
  BaseType = src->BaseType;
  DataType = src->DataType;
  Size = src->Size;
  SizeInRecord = src->SizeInRecord;
  DataSize = src->DataSize;
  RecordOffset = src->RecordOffset;
  BufferOffset = src->BufferOffset;
  DefaultValue.Assign(src->DefaultValue, true);
  PrepareDefaultExpression();
  BlobCompressionAlgorithm = src->BlobCompressionAlgorithm;
  BlobCompressionMode = src->BlobCompressionMode;
  BlobBlockSize = src->BlobBlockSize;
  Increment = src->Increment;
  InitialValue = src->InitialValue;
  MinValue = src->MinValue;
  MaxValue = src->MaxValue;
  Cycled = src->Cycled;
}

void TVLMFieldDef::SaveToStream(qv::Stream& stream) const {
  TVLMMetaObjectDef::SaveToStream(stream);
  WriteU8(stream, BaseType, 10170);
  WriteU8(stream, DataType, 10171);
  WriteI32(stream, Size, 10172);
  if (VLMIsBLOBBaseType(BaseType)) {
    WriteU8(stream, BlobCompressionAlgorithm, 10175);
    WriteU8(stream, BlobCompressionMode, 10176);
    WriteI32(stream, BlobBlockSize, 10177);
  }
  WriteI64(stream, Increment, 30412);
  WriteI64(stream, InitialValue, 30413);
  WriteI64(stream, MinValue, 30414);
  WriteI64(stream, MaxValue, 30415);
  WriteU8(stream, Cycled ? 1 : 0, 30416);
  DefaultValue.SaveToStream(stream);
}

void TVLMFieldDef::LoadFromStream(qv::Stream& stream) {
  TVLMMetaObjectDef::LoadFromStream(stream);
  BaseType = ReadU8(stream, 10187);
  DataType = ReadU8(stream, 10188);
  Size = ReadI32(stream, 10189);
  if (!SizeFitsBuffer(BaseType, Size))
    throw EVLMException(10189, "Invalid field size in stream. Position = %d, Size = %d",
                        {stream.Position(), Size});
  if (VLMIsBLOBBaseType(BaseType)) {
    BlobCompressionAlgorithm = ReadU8(stream, 10192);
    BlobCompressionMode = ReadU8(stream, 10193);
    BlobBlockSize = ReadI32(stream, 10194);
  }
  Increment = ReadI64(stream, 30407);
  InitialValue = ReadI64(stream, 30408);
  MinValue = ReadI64(stream, 30409);
  MaxValue = ReadI64(stream, 30410);
  Cycled = ReadU8(stream, 30411) != 0;
  DefaultExpression.reset();
  DefaultValue.SetNull();
  DefaultValue.LoadFromStream(stream);
  PrepareDefaultExpression();
  CalculateSizes();
}

void TVLMFieldDef::SetDataType(TVLMDataType dataType, int32_t size) {
  const TVLMBaseDataType baseType = VLMDataTypeToBaseType(dataType);
  if (baseType == 0)
    throw EVLMException(30007, "Unsupported data type '%s'", {VLMGetDataTypeName(dataType)});
  DataType = dataType;
  BaseType = baseType;
  Size = size;
  CalculateSizes();
}

void TVLMFieldDef::CalculateSizes() {
  DataSize = VLMGetDataSize(BaseType, Size);
  SizeInRecord = VLMIsBLOBBaseType(BaseType) ? kVLMBlobSizeInRecord : DataSize;
}

void TVLMFieldDef::PrepareDefaultExpression() {
  DefaultExpression.reset();
  const TVLMExpressionServices* services = VLMGetExpressionServices();
  if (services == nullptr || services->ParseDefaultExpression == nullptr || DefaultValue.IsNull()) return;
  DefaultExpression.reset(services->ParseDefaultExpression(DefaultValue));
}

// ------------------------------------------------------------ TVLMIndexDef

TVLMIndexDef::~TVLMIndexDef() = default;

void TVLMIndexDef::Assign(const TVLMMetaObjectDef& source) {
  const auto* src = dynamic_cast<const TVLMIndexDef*>(&source);
  if (src == nullptr) InvalidCast();
  if (src == this) return;
  TVLMMetaObjectDef::Assign(source);
  Kind = src->Kind;
  Unique = src->Unique;
  Primary = src->Primary;
  RootPageNo = src->RootPageNo;
  SetColumnCount(src->GetColumnCount());
  for (int32_t i = 0; i < GetColumnCount(); ++i) *Columns[static_cast<size_t>(i)] = *src->Columns[static_cast<size_t>(i)];
  Temporary = src->Temporary;
  SessionID = src->SessionID;
  ChangeStamp = src->ChangeStamp;
  Options = src->Options;
}

void TVLMIndexDef::SaveToStream(qv::Stream& stream) const {
  TVLMMetaObjectDef::SaveToStream(stream);
  WriteU8(stream, Kind, 10344);
  WriteU8(stream, Unique ? 1 : 0, 10345);
  WriteU8(stream, Primary ? 1 : 0, 10346);
  WriteI32(stream, GetColumnCount(), 10347);
  WriteI32(stream, RootPageNo, 10348);
  for (const auto& column : Columns) {
    // The count byte holds the length modulo 256, and that many bytes follow.
    const auto n = static_cast<uint8_t>(column->Name.size() % 256);
    WriteU8(stream, n, 10354);
    if (n > 0) VLMWriteStreamBuffer(column->Name.data(), n, stream, 10355);
    WriteU8(stream, column->Descending ? 255 : 0, 10356);
    WriteU8(stream, column->CaseInsensitive ? 255 : 0, 10357);
    WriteI32(stream, column->LengthLimit, 20169);
  }
}

void TVLMIndexDef::LoadFromStream(qv::Stream& stream) {
  Temporary = false;
  TVLMMetaObjectDef::LoadFromStream(stream);
  Kind = ReadU8(stream, 10349);
  Unique = ReadU8(stream, 10350) != 0;
  Primary = ReadU8(stream, 10351) != 0;
  const int32_t count = ReadI32(stream, 10352);
  if (count < 0) BadCount(stream, 10352, count);
  RootPageNo = ReadI32(stream, 10353);
  Columns.clear();
  for (int32_t i = 0; i < count; ++i) {
    auto column = std::make_unique<TVLMIndexColumn>();
    column->Name = ReadShortName(stream, 10358, 10359);
    column->Descending = ReadU8(stream, 10360) != 0;
    column->CaseInsensitive = ReadU8(stream, 10361) != 0;
    column->LengthLimit = ReadI32(stream, 20168);
    Columns.push_back(std::move(column));
  }
}

void TVLMIndexDef::SetColumns(const qv::StringList& fieldNames, const qv::StringList& directions,
                              const qv::StringList& caseOptions) {
  if (fieldNames.Count() != directions.Count()) DifferentLengths(10278, fieldNames.Count(), directions.Count());
  if (fieldNames.Count() != caseOptions.Count()) DifferentLengths(10279, fieldNames.Count(), caseOptions.Count());
  SetColumnCount(fieldNames.Count());
  for (int32_t i = 0; i < fieldNames.Count(); ++i) {
    TVLMIndexColumn& column = *Columns[static_cast<size_t>(i)];
    column.Name = fieldNames[i];
    column.Descending = directions[i] == "DESC";
    column.CaseInsensitive = caseOptions[i] == "NO_CASE";
    column.LengthLimit = kVLMDefaultIndexColumnLength;
  }
}

TVLMIndexColumn& TVLMIndexDef::GetColumn(int32_t index) const {
  if (index < 0 || index >= GetColumnCount())
    throw qv::EListError(qv::format("List index out of bounds (%d)", {index}));
  return *Columns[static_cast<size_t>(index)];
}

void TVLMIndexDef::SetColumnCount(int32_t count) {
  if (count < 0) throw qv::EListError(qv::format("List count out of bounds (%d)", {count}));
  const auto n = static_cast<size_t>(count);
  if (n < Columns.size()) Columns.resize(n);
  while (Columns.size() < n) Columns.push_back(std::make_unique<TVLMIndexColumn>());
}

// ------------------------------------------------------- TVLMConstraintDef

void TVLMConstraintDef::Assign(const TVLMMetaObjectDef& source) {
  const auto* src = dynamic_cast<const TVLMConstraintDef*>(&source);
  if (src == nullptr) InvalidCast();
  if (src == this) return;
  TVLMMetaObjectDef::Assign(source);
  Kind = src->Kind;
}

void TVLMConstraintDef::AssignReferences(const TVLMConstraintDef& source) {
  RefName1 = source.RefName1;
  RefID1 = source.RefID1;
  TableName = source.TableName;
  TableID = source.TableID;
  TargetName = source.TargetName;
  TargetID = source.TargetID;
}

void TVLMConstraintDefNotNull::Assign(const TVLMMetaObjectDef& source) {
  if (&source == this) return;
  TVLMConstraintDef::Assign(source);
  AssignReferences(static_cast<const TVLMConstraintDef&>(source));
}

void TVLMConstraintDefNotNull::SaveToStream(qv::Stream& stream) const {
  TVLMMetaObjectDef::SaveToStream(stream);
  WriteI32(stream, RefID1, 10240);
  WriteI32(stream, TableID, 10241);
  WriteI32(stream, TargetID, 10242);
  WriteByteCountedName(stream, RefName1, 10243, 10244);
  WriteByteCountedName(stream, TableName, 10245, 10246);
  WriteByteCountedName(stream, TargetName, 10247, 10248);
}

void TVLMConstraintDefNotNull::LoadFromStream(qv::Stream& stream) {
  TVLMMetaObjectDef::LoadFromStream(stream);
  RefID1 = ReadI32(stream, 10249);
  TableID = ReadI32(stream, 10250);
  TargetID = ReadI32(stream, 10251);
  RefName1 = ReadByteCountedName(stream, 10252, 10253);
  TableName = ReadByteCountedName(stream, 10254, 10255);
  TargetName = ReadByteCountedName(stream, 10256, 10257);
}

void TVLMConstraintDefCheck::Assign(const TVLMMetaObjectDef& source) {
  if (&source == this) return;
  TVLMConstraintDef::Assign(source);
  AssignReferences(static_cast<const TVLMConstraintDef&>(source));
  if (const auto* src = dynamic_cast<const TVLMConstraintDefCheck*>(&source)) {
    MinValue.Assign(src->MinValue, true);
    MaxValue.Assign(src->MaxValue, true);
  }
}

void TVLMConstraintDefCheck::SaveToStream(qv::Stream& stream) const {
  TVLMMetaObjectDef::SaveToStream(stream);
  WriteI32(stream, RefID1, 10227);
  WriteI32(stream, TableID, 10228);
  WriteI32(stream, TargetID, 10229);
  WriteByteCountedName(stream, RefName1, 10221, 10222);
  WriteByteCountedName(stream, TableName, 10223, 10224);
  WriteByteCountedName(stream, TargetName, 10225, 10226);
  MinValue.SaveToStream(stream);
  MaxValue.SaveToStream(stream);
}

void TVLMConstraintDefCheck::LoadFromStream(qv::Stream& stream) {
  TVLMMetaObjectDef::LoadFromStream(stream);
  RefID1 = ReadI32(stream, 10230);
  TableID = ReadI32(stream, 10231);
  TargetID = ReadI32(stream, 10232);
  RefName1 = ReadByteCountedName(stream, 10233, 10234);
  TableName = ReadByteCountedName(stream, 10235, 10236);
  TargetName = ReadByteCountedName(stream, 10237, 10238);
  MinValue.LoadFromStream(stream);
  MaxValue.LoadFromStream(stream);
}

void TVLMConstraintDefUnique::Assign(const TVLMMetaObjectDef& source) {
  if (&source == this) return;
  TVLMConstraintDef::Assign(source);
  if (const auto* src = dynamic_cast<const TVLMConstraintDefUnique*>(&source)) Columns = src->Columns;
  AssignReferences(static_cast<const TVLMConstraintDef&>(source));
}

void TVLMConstraintDefUnique::SaveToStream(qv::Stream& stream) const {
  TVLMMetaObjectDef::SaveToStream(stream);
  WriteI32(stream, RefID1, 30313);
  WriteI32(stream, TableID, 30314);
  WriteI32(stream, TargetID, 30318);
  WriteIntCountedName(stream, RefName1, 30315, 30316);
  WriteIntCountedName(stream, TableName, 30317, 30318);
  WriteIntCountedName(stream, TargetName, 30323, 30324);
  WriteI32(stream, static_cast<int32_t>(Columns.size()), 30319);
  for (const auto& column : Columns) {
    WriteI32(stream, column.FieldID, 30320);
    WriteIntCountedName(stream, column.FieldName, 30321, 30322);
  }
}

void TVLMConstraintDefUnique::LoadFromStream(qv::Stream& stream) {
  TVLMMetaObjectDef::LoadFromStream(stream);
  RefID1 = ReadI32(stream, 30303);
  TableID = ReadI32(stream, 30304);
  TargetID = ReadI32(stream, 30317);
  RefName1 = ReadIntCountedName(stream, 30305, 30306);
  TableName = ReadIntCountedName(stream, 30307, 30308);
  TargetName = ReadIntCountedName(stream, 30321, 30322);
  const int32_t count = ReadI32(stream, 30309);
  if (count < 0) BadCount(stream, 30309, count);
  Columns.clear();
  for (int32_t i = 0; i < count; ++i) {
    TVLMConstraintColumn column;
    column.FieldID = ReadI32(stream, 30310);
    column.FieldName = ReadIntCountedName(stream, 30311, 30312);
    Columns.push_back(std::move(column));
  }
}

// ------------------------------------------------------ TVLMMetaObjectDefs

TVLMMetaObjectDefs::~TVLMMetaObjectDefs() {
  // Front to back, as Clear frees them.
  for (auto& item : Items_) item.reset();
}

int32_t TVLMMetaObjectDefs::GetCount() const { return static_cast<int32_t>(Items_.size()); }

void TVLMMetaObjectDefs::CheckPosition(int32_t position, int32_t count) const {
  if (position < 0 || position >= count)
    throw qv::EListError(qv::format("List index out of bounds (%d)", {position}));
}

void TVLMMetaObjectDefs::CheckItem(const TVLMMetaObjectDef* def) const {
  if (def == nullptr) throw qv::EListError("A list item cannot be nil");
  if (!AcceptsItem(*def)) InvalidCast();
}

int32_t TVLMMetaObjectDefs::Add(std::unique_ptr<TVLMMetaObjectDef> def) {
  CheckItem(def.get());
  Items_.push_back(std::move(def));
  return GetCount() - 1;
}

TVLMMetaObjectDef* TVLMMetaObjectDefs::InternalAddCreated() {
  std::unique_ptr<TVLMMetaObjectDef> item = Required(CreateItem(), ClassName());
  TVLMMetaObjectDef* raw = item.get();
  Add(std::move(item));
  return raw;
}

std::unique_ptr<TVLMMetaObjectDef> TVLMMetaObjectDefs::LoadItem(qv::Stream& stream) {
  std::unique_ptr<TVLMMetaObjectDef> item = Required(CreateItem(), ClassName());
  item->LoadFromStream(stream);
  return item;
}

void TVLMMetaObjectDefs::SaveItem(qv::Stream& stream, const TVLMMetaObjectDef& item) const {
  item.SaveToStream(stream);
}

void TVLMMetaObjectDefs::LoadFromStream(qv::Stream& stream) {
  Clear();
  const int32_t count = ReadI32(stream, 10159);
  if (count < 0) BadCount(stream, 10159, count);
  LoadedCount_ = count;
  // Created as read: a damaged count runs into the end of the stream instead
  // of into memory.
  for (int32_t i = 0; i < count; ++i) Items_.push_back(LoadItem(stream));
}

void TVLMMetaObjectDefs::SaveToStream(qv::Stream& stream) const {
  WriteI32(stream, GetCount(), 10158);
  for (const auto& item : Items_) SaveItem(stream, *item);
}

void TVLMMetaObjectDefs::Assign(const TVLMMetaObjectDefs& source) {
  if (&source == this) return;
  Clear();
  for (const auto& item : source.Items_) {
    if (IndexOfName(item->Name) >= 0) throw EVLMException(10424, "Duplicate field name %s", {item->Name});
    InternalAddCreated()->Assign(*item);
  }
}

void TVLMMetaObjectDefs::Delete(int32_t position) {
  CheckPosition(position, GetCount());
  Items_.erase(Items_.begin() + position);
}

void TVLMMetaObjectDefs::Insert(int32_t position, std::unique_ptr<TVLMMetaObjectDef> def) {
  CheckPosition(position, GetCount() + 1);
  CheckItem(def.get());
  Items_.insert(Items_.begin() + position, std::move(def));
}

void TVLMMetaObjectDefs::Move(int32_t from, int32_t to) {
  CheckPosition(from, GetCount());
  CheckPosition(to, GetCount());
  if (from == to) return;
  std::unique_ptr<TVLMMetaObjectDef> item = std::move(Items_[static_cast<size_t>(from)]);
  Items_.erase(Items_.begin() + from);
  Items_.insert(Items_.begin() + to, std::move(item));
}

void TVLMMetaObjectDefs::Clear() {
  for (auto& item : Items_) item.reset();
  Items_.clear();
}

void TVLMMetaObjectDefs::SetItem(int32_t position, std::unique_ptr<TVLMMetaObjectDef> def) {
  CheckPosition(position, GetCount());
  CheckItem(def.get());
  Items_[static_cast<size_t>(position)] = std::move(def);
}

int32_t TVLMMetaObjectDefs::IndexOfName(std::string_view name) const {
  // Upper-cased character by character, as UpperCase1252 does, without a
  // copy of every name compared.
  auto same = [&](std::string_view other) {
    if (other.size() != name.size()) return false;
    for (size_t k = 0; k < name.size(); ++k)
      if (qv::UpperChar1252(other[k]) != qv::UpperChar1252(name[k])) return false;
    return true;
  };
  for (size_t i = 0; i < Items_.size(); ++i)
    if (same(Items_[i]->Name)) return static_cast<int32_t>(i);
  return -1;
}

TVLMMetaObjectDef* TVLMMetaObjectDefs::FindByName(std::string_view name) const {
  const int32_t i = IndexOfName(name);
  return i < 0 ? nullptr : Items_[static_cast<size_t>(i)].get();
}

int32_t TVLMMetaObjectDefs::IndexOfObjectID(int32_t objectID) const {
  for (size_t i = 0; i < Items_.size(); ++i)
    if (Items_[i]->ObjectID == objectID) return static_cast<int32_t>(i);
  return -1;
}

TVLMMetaObjectDef* TVLMMetaObjectDefs::FindByObjectID(int32_t objectID) const {
  const int32_t i = IndexOfObjectID(objectID);
  return i < 0 ? nullptr : Items_[static_cast<size_t>(i)].get();
}

// ----------------------------------------------------------- TVLMFieldDefs

std::unique_ptr<TVLMMetaObjectDef> TVLMFieldDefs::CreateItem() const {
  return std::make_unique<TVLMFieldDef>();
}

bool TVLMFieldDefs::AcceptsItem(const TVLMMetaObjectDef& def) const {
  return dynamic_cast<const TVLMFieldDef*>(&def) != nullptr;
}

TVLMMetaObjectDef* TVLMFieldDefs::InternalAddCreated() { return AddFieldDef(); }

TVLMFieldDef* TVLMFieldDefs::AddFieldDef() { return AddNew<TVLMFieldDef>(Items_); }

TVLMFieldDef* TVLMFieldDefs::FindFieldDef(std::string_view name) const {
  return static_cast<TVLMFieldDef*>(FindByName(name));
}

namespace {

// Walks the layout of fields in list order: null bitmap first, then each
// field's bytes. Sizes that are negative or a total beyond the 32-bit range
// cannot be laid out.
struct Layout {
  int64_t Buffer;
  int64_t Stored;
};

template <class OnField>
Layout WalkLayout(const TVLMFieldDefs& defs, OnField onField) {
  const int32_t count = defs.GetCount();
  Layout l{VLMNullBitmapSize(count), VLMNullBitmapSize(count)};
  for (int32_t i = 0; i < count; ++i) {
    const TVLMFieldDef& f = *defs.GetFieldDef(i);
    onField(f, l);
    if (f.DataSize < 0 || f.SizeInRecord < 0 || l.Buffer + f.DataSize > INT32_MAX ||
        l.Stored + f.SizeInRecord > INT32_MAX)
      throw EVLMException(10440, "Record layout exceeds the limit at field '%s'. Data size = %d",
                          {f.Name, f.DataSize});
    l.Buffer += f.DataSize;
    l.Stored += f.SizeInRecord;
  }
  return l;
}

}  // namespace

void TVLMFieldDefs::CalculateOffsets() {
  // Checked first, so a layout that cannot be held leaves the offsets alone.
  WalkLayout(*this, [](const TVLMFieldDef&, const Layout&) {});
  WalkLayout(*this, [](const TVLMFieldDef& f, const Layout& l) {
    auto& def = const_cast<TVLMFieldDef&>(f);
    def.RecordOffset = static_cast<int32_t>(l.Stored);
    def.BufferOffset = static_cast<int32_t>(l.Buffer);
  });
}

int32_t TVLMFieldDefs::GetRecordBufferSize() const {
  return static_cast<int32_t>(WalkLayout(*this, [](const TVLMFieldDef&, const Layout&) {}).Buffer);
}

int32_t TVLMFieldDefs::GetStoredRecordSize() const {
  return static_cast<int32_t>(WalkLayout(*this, [](const TVLMFieldDef&, const Layout&) {}).Stored);
}

// ----------------------------------------------------------- TVLMIndexDefs

std::unique_ptr<TVLMMetaObjectDef> TVLMIndexDefs::CreateItem() const {
  return std::make_unique<TVLMIndexDef>();
}

bool TVLMIndexDefs::AcceptsItem(const TVLMMetaObjectDef& def) const {
  return dynamic_cast<const TVLMIndexDef*>(&def) != nullptr;
}

TVLMMetaObjectDef* TVLMIndexDefs::InternalAddCreated() { return AddIndexDef(); }

void TVLMIndexDefs::SaveToStream(qv::Stream& stream) const {
  int32_t stored = 0;
  for (int32_t i = 0; i < GetCount(); ++i)
    if (!GetIndexDef(i)->Temporary) ++stored;
  WriteI32(stream, stored, 10343);
  for (int32_t i = 0; i < GetCount(); ++i)
    if (!GetIndexDef(i)->Temporary) SaveItem(stream, *GetIndexDef(i));
}

TVLMIndexDef* TVLMIndexDefs::GetIndexDef(int32_t index) const {
  return static_cast<TVLMIndexDef*>(GetItem(index));
}

void TVLMIndexDefs::SetIndexDef(int32_t index, std::unique_ptr<TVLMIndexDef> def) {
  SetItem(index, std::move(def));
}

TVLMIndexDef* TVLMIndexDefs::AddIndexDef() { return AddNew<TVLMIndexDef>(Items_); }

TVLMIndexDef* TVLMIndexDefs::FindIndexDef(std::string_view name) const {
  return static_cast<TVLMIndexDef*>(FindByName(name));
}

int32_t TVLMIndexDefs::FindIndexForFields(const qv::StringList* fieldNames, const qv::StringList* directions,
                                          const TVLMFieldDefs* fieldDefs, int32_t sessionID,
                                          const qv::StringList* caseOptions) const {
  if (fieldNames == nullptr) NilPointer(10389);
  if (directions == nullptr) NilPointer(10390);
  if (caseOptions == nullptr) NilPointer(10391);
  const int32_t n = fieldNames->Count();
  if (n != directions->Count()) DifferentLengths(10276, n, directions->Count());
  if (n != caseOptions->Count()) DifferentLengths(10277, n, caseOptions->Count());

  std::vector<std::string> upperNames;
  upperNames.reserve(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) upperNames.push_back(qv::UpperCase1252((*fieldNames)[i]));

  for (int32_t d = 0; d < GetCount(); ++d) {
    const TVLMIndexDef& index = *GetIndexDef(d);
    if (index.GetColumnCount() < n) continue;
    if (index.Temporary && index.SessionID != sessionID) continue;
    bool serves = true;
    for (int32_t i = 0; i < n && serves; ++i) {
      const TVLMIndexColumn& column = *index.Columns[static_cast<size_t>(i)];
      if (qv::UpperCase1252(column.Name) != upperNames[static_cast<size_t>(i)]) {
        serves = false;
        break;
      }
      const std::string& direction = (*directions)[i];
      if ((direction == "ASC" && column.Descending) || (direction == "DESC" && !column.Descending)) {
        serves = false;
        break;
      }
      // A name that is no field of the table imposes no case rule.
      const TVLMFieldDef* field = fieldDefs ? fieldDefs->FindFieldDef((*fieldNames)[i]) : nullptr;
      if (field != nullptr && VLMIsStringBaseType(field->BaseType)) {
        const std::string& option = (*caseOptions)[i];
        if ((option == "CASE" && column.CaseInsensitive) || (option == "NO_CASE" && !column.CaseInsensitive))
          serves = false;
      }
    }
    if (serves) return index.ObjectID;
  }
  return -1;
}

bool TVLMIndexDefs::HasIndexForFields(const qv::StringList* fieldNames, const qv::StringList* directions,
                                      const TVLMFieldDefs* fieldDefs, int32_t sessionID,
                                      const qv::StringList* caseOptions) const {
  return FindIndexForFields(fieldNames, directions, fieldDefs, sessionID, caseOptions) != -1;
}

// ------------------------------------------------------ TVLMConstraintDefs

namespace {

// The kind byte that goes with a definition's class: the stream form that
// follows it is the class's. -1 for a class without a stream form.
int32_t StreamKind(const TVLMMetaObjectDef& def) {
  if (dynamic_cast<const TVLMConstraintDefPrimary*>(&def)) return kVLMConstraintPrimary;
  if (dynamic_cast<const TVLMConstraintDefUnique*>(&def)) return kVLMConstraintUnique;
  if (dynamic_cast<const TVLMConstraintDefNotNull*>(&def)) return kVLMConstraintNotNull;
  if (dynamic_cast<const TVLMConstraintDefCheck*>(&def)) return kVLMConstraintCheck;
  return -1;
}

}  // namespace

bool TVLMConstraintDefs::AcceptsItem(const TVLMMetaObjectDef& def) const { return StreamKind(def) >= 0; }

void TVLMConstraintDefs::Assign(const TVLMMetaObjectDefs& source) {
  if (&source == this) return;
  Clear();
  for (int32_t i = 0; i < source.GetCount(); ++i) {
    const auto* item = dynamic_cast<const TVLMConstraintDef*>(source.GetItem(i));
    if (item == nullptr) InvalidCast();
    std::unique_ptr<TVLMConstraintDef> copy = NewConstraint(item->Kind);
    if (!copy) throw EVLMException(30035, "Not implemented yet");
    copy->Assign(*item);
    Items_.push_back(std::move(copy));
  }
}

TVLMConstraintDef* TVLMConstraintDefs::GetConstraintDef(int32_t index) const {
  return static_cast<TVLMConstraintDef*>(GetItem(index));
}

TVLMConstraintDefNotNull* TVLMConstraintDefs::AddNotNull() { return AddNew<TVLMConstraintDefNotNull>(Items_); }
TVLMConstraintDefCheck* TVLMConstraintDefs::AddCheck() { return AddNew<TVLMConstraintDefCheck>(Items_); }
TVLMConstraintDefUnique* TVLMConstraintDefs::AddUnique() { return AddNew<TVLMConstraintDefUnique>(Items_); }
TVLMConstraintDefPrimary* TVLMConstraintDefs::AddPrimary() { return AddNew<TVLMConstraintDefPrimary>(Items_); }

std::unique_ptr<TVLMMetaObjectDef> TVLMConstraintDefs::LoadItem(qv::Stream& stream) {
  const uint8_t kind = ReadU8(stream, 10220);
  std::unique_ptr<TVLMConstraintDef> item = NewConstraint(kind);
  if (!item) throw EVLMException(30316, "Unknown Constraint Type: '%d'", {static_cast<int32_t>(kind)});
  item->LoadFromStream(stream);
  return item;
}

void TVLMConstraintDefs::SaveItem(qv::Stream& stream, const TVLMMetaObjectDef& item) const {
  WriteU8(stream, static_cast<uint8_t>(StreamKind(item)), 10219);
  item.SaveToStream(stream);
}
