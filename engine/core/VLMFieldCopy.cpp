#include "engine/core/VLMFieldCopy.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/VLMByteOrder.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/Fields.h"
#include "platform/host/HostVariant.h"
#include "platform/host/Stream.h"

namespace {

// The header a picture BLOB of the host's graphic fields starts with.
constexpr uint16_t kGraphicHeaderCount = 1;
constexpr uint16_t kGraphicHeaderType = 0x0100;
constexpr int64_t kGraphicHeaderSize = 8;

std::vector<uint8_t> ReadAll(qv::Stream& s) {
  s.SetPosition(0);
  std::vector<uint8_t> bytes(static_cast<size_t>(s.Size()));
  s.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

std::unique_ptr<qv::Stream> OpenBlob(qv::Field* field, qv::TBlobStreamMode mode) {
  auto stream = field->GetDataSet()->CreateBlobStream(field, mode);
  if (!stream) throw qv::Exception("Cannot open the BLOB of field '" + field->FieldName() + "'");
  return stream;
}

bool HasGraphicHeader(const std::vector<uint8_t>& b) {
  if (static_cast<int64_t>(b.size()) < kGraphicHeaderSize) return false;
  const uint16_t count = VLMGetU16LE(&b[0]);
  const uint16_t type = VLMGetU16LE(&b[2]);
  const int32_t n = VLMGetI32LE(&b[4]);
  return count == kGraphicHeaderCount && type == kGraphicHeaderType &&
         n == static_cast<int64_t>(b.size()) - kGraphicHeaderSize;
}

}  // namespace

void VLMCopyFieldValue(qv::Field* Source, qv::Field* Dest) {
  using namespace qv;
  const TFieldType srcType = Source->DataType();
  if (srcType == ftVarBytes) {
    const HostVariant v = Source->AsVariant();
    if (!(Dest->AsVariant() == v)) Dest->SetAsVariant(v);
    return;
  }
  if (srcType == ftLargeint) {
    if (Source->IsNull()) Dest->Clear();
    else if (Dest->DataType() == ftLargeint) Dest->SetAsLargeInt(Source->AsLargeInt());
    else Dest->Assign(Source);
    return;
  }
  if (Source->IsBlob() && Dest->IsBlob()) {
    auto in = OpenBlob(Source, bmRead);
    auto out = OpenBlob(Dest, bmWrite);
    const std::vector<uint8_t> bytes = ReadAll(*in);
    const int64_t skip = HasGraphicHeader(bytes) ? kGraphicHeaderSize : 0;
    out->WriteBuffer(bytes.data() + skip, static_cast<int64_t>(bytes.size()) - skip);
    return;
  }
  if (srcType == ftWideString && Dest->IsBlob()) {
    const std::u16string text = Source->AsWideString();
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
      bytes.push_back(static_cast<uint8_t>(c & 0xFF));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    auto out = OpenBlob(Dest, bmWrite);
    out->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    return;
  }
  if (Dest->DataType() == ftWideString && Source->IsBlob()) {
    std::vector<uint8_t> bytes;
    {
      auto in = OpenBlob(Source, bmRead);
      bytes = ReadAll(*in);
    }
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(VLMGetU16LE(&bytes[2 * i]));
    Dest->SetAsWideString(text);
    return;
  }
  if (Dest->DataType() == ftLargeint && srcType != ftLargeint) {
    if (Source->IsNull()) Dest->Clear();
    else Dest->SetAsLargeInt(static_cast<int64_t>(Source->AsInteger()));
    return;
  }
  Dest->Assign(Source);
}
