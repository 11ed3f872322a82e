// TVLMLocalBLOBStream: the stream a table data hands out for one BLOB field
// of a cursor's record (TVLMTableData::OpenBlob), and takes back to store the
// value (TVLMTableData::SaveBlobStream).
//
// It reads and writes the plain value through a compressed BLOB stream (the
// field's algorithm, mode and block size) that sits on a buffer stream of
// its own holding the stored bytes, so a table data stores the value by
// copying the buffer's bytes and the compressed stream's descriptor:
//
//   TVLMLocalBLOBStream --Read/Write/Seek/SetSize--> TVLMCompressedBLOBStream
//                                                      --> Buffer (stored bytes)
//
// Opened read only (OpenMode 1) it refuses SetSize (10116) and Write (10115)
// "Cannot write to read only stream". Modified is set by a Write of at least
// one byte and by SetSize; a table data stores only a modified value.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>

#include "engine/core/VLMBLOBStream.h"

class TVLMFieldDef;

class TVLMLocalBLOBStream : public TVLMStream {
public:
  // Open modes of a BLOB stream.
  static constexpr uint8_t kOpenWrite = 0;
  static constexpr uint8_t kOpenRead = 1;
  static constexpr uint8_t kOpenReadWrite = 2;

  // Takes both streams; value must sit on buffer.
  TVLMLocalBLOBStream(std::unique_ptr<TVLMStream> buffer, std::unique_ptr<TVLMCompressedBLOBStream> value,
                      uint8_t openMode, int32_t fieldNo);
  ~TVLMLocalBLOBStream() override;

  void SetSize(int64_t newSize) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  int64_t GetSize() override { return Value_->Size(); }

  // The descriptor as written so far (block count and plain size).
  const TVLMBLOBDescriptor& Descriptor() const { return Value_->Descriptor(); }
  // The stored (compressed) bytes of the value.
  TVLMStream& StoredBytes() { return *Buffer_; }
  bool IsReadOnly() const { return OpenMode == kOpenRead; }

  bool Modified = false;
  uint8_t OpenMode;
  // The table field the stream belongs to.
  int32_t FieldNo;

private:
  std::unique_ptr<TVLMStream> Buffer_;
  std::unique_ptr<TVLMCompressedBLOBStream> Value_;
};

// The descriptor of field's values: its block size, algorithm and mode, no
// blocks, size 0.
TVLMBLOBDescriptor VLMBlobFieldDescriptor(const TVLMFieldDef& field);

// A stream over one value of BLOB field fieldNo. The buffer is a temporary
// stream (memoryOnly: never a file). fill (when given) writes the value's
// stored bytes into it, described by descriptor's BlockCount and
// UncompressedSize; without fill the value is empty and written anew.
std::unique_ptr<TVLMLocalBLOBStream> VLMOpenBlobValue(const TVLMBLOBDescriptor& descriptor,
                                                      const std::function<void(TVLMStream& buffer)>& fill,
                                                      bool memoryOnly, uint8_t openMode, int32_t fieldNo);
