// The engine's streams: table data, temporary results and BLOB values move
// through these descendants of qv::Stream. Positions and sizes are 64-bit.
//
//   TVLMStream           base: a lock for callers that share a stream, a copy
//                        block size and a progress event, block copies to and
//                        from other streams
//   TVLMMemoryStream     bytes in one block of the engine memory manager
//   TVLMFileStream       a file (opened, or created, optionally deleted on close)
//   TVLMTemporaryStream  in memory while small; moves itself, once and for
//                        good, into a delete-on-close temporary file on the
//                        first Write that would take it past Threshold bytes
//
// Error codes: 10104/10105 file create/open, 10146-10149 short reads and
// writes of the block copies, 10418/10419 block size 0.
//
// No stream operation takes the lock itself; a caller that shares a stream
// between threads brackets its use with Lock/Unlock.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host/Stream.h"
#include "platform/os/File.h"

class TVLMStream : public qv::Stream {
public:
  static constexpr int32_t kDefaultBlockSize = 102400;

  TVLMStream() = default;
  TVLMStream(const TVLMStream&) = delete;
  TVLMStream& operator=(const TVLMStream&) = delete;

  virtual void Lock() { Lock_.lock(); }
  virtual void Unlock() { Lock_.unlock(); }

  // Copies the whole of this stream to dest at dest's position, in BlockSize
  // pieces; both positions are put back afterwards.
  void SaveToStream(qv::Stream& dest);
  // Replaces this stream's contents by the whole of source.
  void LoadFromStream(qv::Stream& source);
  // Replaces this stream's contents by count bytes of source from
  // startPosition; both positions are put back afterwards.
  void LoadFromStreamRange(qv::Stream& source, int64_t startPosition, int64_t count);

  // Bytes per copy step; 0 (or less) makes the block copies fail.
  int32_t BlockSize = kDefaultBlockSize;
  // Called with 0, then the percentage done after each step, then 100.
  std::function<void(TVLMStream* sender, double percent)> OnProgress;

private:
  void Progress(double percent) {
    if (OnProgress) OnProgress(this, percent);
  }
  std::recursive_mutex Lock_;
};

class TVLMMemoryStream : public TVLMStream {
public:
  // With memory (a block of the engine memory manager) the stream adopts it:
  // Size = Capacity = the block's size. Otherwise capacity > 0 allocates that
  // many bytes (Size 0).
  explicit TVLMMemoryStream(void* memory = nullptr, int64_t capacity = 0);
  ~TVLMMemoryStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // The new position is not clamped: a Read beyond Size returns 0, a Write
  // beyond Size extends the stream (the gap reads as zeros).
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override { return Size_; }

  void* Memory() const { return Memory_; }
  int64_t Capacity() const { return Capacity_; }

private:
  void Resize(int64_t newSize);
  void ClearRange(int64_t from, int64_t to);

  void* Memory_ = nullptr;
  int64_t Size_ = 0;
  int64_t Capacity_ = 0;
  int64_t Position_ = 0;
};

class TVLMFileStream : public TVLMStream {
public:
  // Mode 0xFFFF creates (or truncates) the file, unshared; otherwise the
  // existing file is opened with the host open mode (low two bits: 0 read,
  // 1 write, 2 read/write). A delete-on-close file is removed from its folder
  // at once and disappears with the handle.
  static constexpr uint16_t kModeCreate = 0xFFFF;
  static constexpr uint16_t kModeOpenRead = 0x0000;
  static constexpr uint16_t kModeOpenWrite = 0x0001;
  static constexpr uint16_t kModeOpenReadWrite = 0x0002;

  TVLMFileStream(const std::string& fileName, uint16_t mode, bool deleteOnClose = false);
  ~TVLMFileStream() override;

  // A failed call answers 0.
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // A target before the start answers -1 and leaves the position.
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  // Truncates or extends the file; the position stays unless it lay beyond
  // the new end, where it moves to the end. OS failures raise qv::EOSError.
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override;

  // The descriptor, negative when none.
  int Handle() const { return File_.Fd(); }
  const std::string& FileName() const { return FileName_; }
  uint16_t Mode() const { return Mode_; }
  bool DeleteOnClose() const { return DeleteOnClose_; }

private:
  qv::File File_;
  std::string FileName_;
  uint16_t Mode_;
  bool DeleteOnClose_;
  int64_t Position_ = 0;
};

class TVLMTemporaryStream : public TVLMStream {
public:
  static constexpr int64_t kDefaultThreshold = 1048576;

  // memoryOnly: never move to a file, whatever the size.
  explicit TVLMTemporaryStream(bool memoryOnly = false);
  ~TVLMTemporaryStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override;

  bool InMemory() const { return InMemory_; }
  bool MemoryOnly() const { return MemoryOnly_; }
  // The temporary file's name once the stream has moved (empty before).
  const std::string& FileName() const { return FileName_; }

  int64_t Threshold = kDefaultThreshold;

private:
  qv::Stream& Inner();
  void MoveToFile();

  std::unique_ptr<TVLMMemoryStream> MemoryStream_;
  std::unique_ptr<TVLMFileStream> FileStream_;
  std::string FileName_;
  bool InMemory_ = true;
  bool MemoryOnly_;
};
