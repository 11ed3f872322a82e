// TVLMMemoryManager: the engine's allocator.
//
// Record buffers, key buffers, page images, value data and stream buffers all
// come from here. The manager keeps a running total of the bytes handed out,
// can refuse allocations above a limit, and guards both ends of every block so
// that a block written past its end, or a pointer that never came from the
// manager, is reported as an engine error instead of corrupting the heap.
//
// Block layout (the caller's pointer is the block start + 16, so the data keeps
// the 16-byte alignment of the underlying allocation):
//
//   offset      size  content
//   0           8     requested size (signed 64-bit, little-endian)
//   8           1     allocation method (0 = process heap; the only one chosen)
//   9           3     zero
//   12          4     header signature 0xACCACCAC (just before the data)
//   16          size  the caller's data
//   16 + size   4     tail signature 0xACCEACCE (just after the data)
//
// Invariants:
//   1. AllocatedMemory() is the sum of the requested sizes of all live blocks.
//   2. A block's requested size is 1 .. kVLMMaxBlockDataSize; a larger request
//      (whose block could not be described by the original 32-bit header) is
//      refused with 30015 and allocates nothing.
//   3. FreeMem releases the block before it reports a damaged tail (30137), so
//      an overrun never leaks the block.
//
// Error codes: 30001/30002/30005 "Invalid pointer" (FreeMem/ReallocMem/
// GetMemSize), 30004 limit, 30014 ReallocMem wrapper, 30015 GetMem wrapper,
// 30137 overrun, 30138 FreeMem wrapper (also for a nil pointer), 30286 zero
// size, 30340 unknown method.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <atomic>
#include <cstdint>
#include <type_traits>

// The largest data size of one block: the whole block as the original header
// described it (data + 13 bytes of guards) had to fit a signed 32-bit count.
inline constexpr int64_t kVLMMaxBlockDataSize = INT32_MAX - 13;

class TVLMMemoryManager {
public:
  TVLMMemoryManager() = default;
  TVLMMemoryManager(const TVLMMemoryManager&) = delete;
  TVLMMemoryManager& operator=(const TVLMMemoryManager&) = delete;

  // A block of size bytes, not cleared.
  void* GetMem(int64_t size);
  // GetMem with the size data bytes set to zero.
  void* AllocMem(int64_t size);
  // Checks and frees the block and sets p to nullptr (also when it then
  // reports a damaged tail with 30137).
  void FreeMem(void*& p);
  // Moves the data into a new block of newSize bytes; p then points at it.
  void ReallocMem(void*& p, int64_t newSize, bool clearNewBytes = false);
  void ReallocMemAndClear(void*& p, int64_t newSize) { ReallocMem(p, newSize, true); }
  // The block's stored size; 0 for nullptr.
  int64_t GetMemSize(const void* p) const;
  // Available physical memory, capped by the limit when one is set.
  int64_t GetFreeMemory();

  // Typed forms, so callers keep their pointer types.
  template <class T>
    requires(!std::is_void_v<T>)
  void FreeMem(T*& p) {
    void* raw = const_cast<void*>(static_cast<const void*>(p));
    Sync<T> sync{p, raw};
    FreeMem(raw);
  }
  template <class T>
    requires(!std::is_void_v<T>)
  void ReallocMem(T*& p, int64_t newSize, bool clearNewBytes = false) {
    void* raw = const_cast<void*>(static_cast<const void*>(p));
    Sync<T> sync{p, raw};
    ReallocMem(raw, newSize, clearNewBytes);
  }
  template <class T>
    requires(!std::is_void_v<T>)
  void ReallocMemAndClear(T*& p, int64_t newSize) {
    ReallocMem(p, newSize, true);
  }

  // 0 = no limit.
  int64_t MemoryLimit() const { return MemoryLimit_.load(std::memory_order_relaxed); }
  void SetMemoryLimit(int64_t limit) { MemoryLimit_.store(limit, std::memory_order_relaxed); }
  // Sum of the requested sizes of all live blocks.
  int64_t AllocatedMemory() const { return AllocatedMemory_.load(std::memory_order_relaxed); }
  // The figure seen by the last GetFreeMemory.
  int64_t FreeMemory() const { return FreeMemory_.load(std::memory_order_relaxed); }

private:
  template <class T>
  struct Sync {
    T*& typed;
    void*& raw;
    ~Sync() { typed = static_cast<T*>(raw); }
  };

  std::atomic<int64_t> MemoryLimit_{0};
  std::atomic<int64_t> AllocatedMemory_{0};
  std::atomic<int64_t> FreeMemory_{0};
};

// The one instance every engine layer uses.
TVLMMemoryManager& VLMMemoryManager();

// Copies count bytes between regions that may overlap; the source is read
// before it is overwritten. count < 1 copies nothing.
void VLMMove(const void* source, void* dest, int64_t count);
