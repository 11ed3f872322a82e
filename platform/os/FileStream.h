// A stream over an open file (not owned: the caller keeps the File open while
// the stream is in use), with a running position. Reads and writes go to the
// file at that position; errors of the file layer (EOSError) pass through.
#pragma once

#include <cstdint>

#include "platform/host/Stream.h"
#include "platform/os/File.h"

namespace qv {

class FileStream final : public Stream {
public:
  explicit FileStream(File& file) : File_(file) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // A target before the start moves to 0.
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t newSize) override { File_.Truncate(newSize); }
  int64_t GetSize() override { return File_.Size(); }

private:
  File& File_;
  int64_t Position_ = 0;
};

}  // namespace qv
