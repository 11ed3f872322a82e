// The abstract byte stream of the host class library, with 64-bit positions,
// and its in-memory descendant. Descendants supply Read, Write, Seek and
// SetSize; the rest is built on them. The stream over an open file is
// platform/os/FileStream.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace qv {

enum class SeekOrigin : uint8_t { Beginning = 0, Current = 1, End = 2 };

class Stream {
public:
  virtual ~Stream() = default;

  // Read/Write move up to count bytes and return how many moved (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual void SetSize(int64_t newSize) = 0;

  virtual int64_t GetSize();
  int64_t Size() { return GetSize(); }
  int64_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(int64_t pos) { Seek(pos, SeekOrigin::Beginning); }

  // Exactly count bytes or EReadError "Stream read error" / EWriteError
  // "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

  // Copies count bytes from source's current position (count 0: the whole
  // source from its start). Returns the bytes copied.
  int64_t CopyFrom(Stream& source, int64_t count);
};

// A growable stream over bytes in memory. The position may be set anywhere:
// a read outside the bytes gives nothing, a write before the start writes
// nothing, and a write past the end first fills the gap with zero bytes.
class MemoryStream : public Stream {
public:
  MemoryStream() = default;
  explicit MemoryStream(std::string data) : Data_(std::move(data)) {}

  int64_t Read(void* buffer, int64_t count) override;
  // Writes nothing (answers 0) when the bytes would grow past the largest
  // size a std::string holds.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  // A negative size counts as 0; a position past the new end moves to it.
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override { return static_cast<int64_t>(Data_.size()); }

  // Empties the stream, releases its memory and moves to 0.
  void Clear();
  const std::string& DataString() const { return Data_; }
  char* Memory() { return Data_.data(); }
  // Hands the bytes out; the stream is empty afterwards, at 0.
  std::string TakeData();

private:
  std::string Data_;
  int64_t Position_ = 0;
};

}  // namespace qv
