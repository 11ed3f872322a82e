#include "engine/core/VLMLocalBLOBStream.h"

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypesDefs.h"

TVLMLocalBLOBStream::TVLMLocalBLOBStream(std::unique_ptr<TVLMStream> buffer,
                                         std::unique_ptr<TVLMCompressedBLOBStream> value, uint8_t openMode,
                                         int32_t fieldNo)
    : OpenMode(openMode), FieldNo(fieldNo), Buffer_(std::move(buffer)), Value_(std::move(value)) {}

TVLMLocalBLOBStream::~TVLMLocalBLOBStream() {
  // The compressed stream reads its buffer until it goes.
  Value_.reset();
  Buffer_.reset();
}

void TVLMLocalBLOBStream::SetSize(int64_t newSize) {
  if (IsReadOnly()) throw EVLMException(10116, "Cannot write to read only stream");
  Value_->SetSize(newSize);
  Modified = true;
}

int64_t TVLMLocalBLOBStream::Read(void* buffer, int64_t count) { return Value_->Read(buffer, count); }

int64_t TVLMLocalBLOBStream::Write(const void* buffer, int64_t count) {
  if (IsReadOnly()) throw EVLMException(10115, "Cannot write to read only stream");
  const int64_t written = Value_->Write(buffer, count);
  if (written > 0) Modified = true;
  return written;
}

int64_t TVLMLocalBLOBStream::Seek(int64_t offset, qv::SeekOrigin origin) { return Value_->Seek(offset, origin); }

TVLMBLOBDescriptor VLMBlobFieldDescriptor(const TVLMFieldDef& field) {
  TVLMBLOBDescriptor descriptor;
  descriptor.BlockSize = static_cast<uint32_t>(field.BlobBlockSize);
  descriptor.Algorithm = field.BlobCompressionAlgorithm;
  descriptor.Mode = field.BlobCompressionMode;
  return descriptor;
}

std::unique_ptr<TVLMLocalBLOBStream> VLMOpenBlobValue(const TVLMBLOBDescriptor& descriptor,
                                                      const std::function<void(TVLMStream& buffer)>& fill,
                                                      bool memoryOnly, uint8_t openMode, int32_t fieldNo) {
  auto buffer = std::make_unique<TVLMTemporaryStream>(memoryOnly);
  if (fill) {
    fill(*buffer);
    buffer->SetPosition(0);
  }
  // An empty value opens truncated, on a fresh buffer.
  auto value = std::make_unique<TVLMCompressedBLOBStream>(*buffer, false, !fill, descriptor);
  return std::make_unique<TVLMLocalBLOBStream>(std::move(buffer), std::move(value), openMode, fieldNo);
}
