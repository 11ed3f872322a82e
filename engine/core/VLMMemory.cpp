#include "engine/core/VLMMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMExcept.h"
#include "platform/os/System.h"

namespace {

constexpr int64_t kHeaderSize = 16;         // size (8), method (1), zero (3), signature (4)
constexpr int64_t kSizeOffset = 0;          // requested size, i64
constexpr int64_t kMethodOffset = 8;        // allocation method, u8
constexpr int64_t kSignatureOffset = 12;    // header signature, u32
constexpr int64_t kTailSize = 4;            // tail signature, u32
constexpr uint32_t kHeaderSignature = 0xACCACCACu;
constexpr uint32_t kTailSignature = 0xACCEACCEu;

// Allocation methods as stored in the header. Only the process heap is ever
// chosen; the other codes are recognised so that a header carrying one is
// released by nothing rather than by the wrong routine.
constexpr uint8_t kMethodHeap = 0;

// Rows {threshold, method}, tried from the last to the first: the first row
// whose threshold is at least the block size gives the method.
struct MethodRow {
  int32_t Threshold;
  uint8_t Method;
};
constexpr MethodRow kMethodTable[] = {{0x7FFFFFFF, kMethodHeap}};

uint8_t PickMethod(int64_t blockSize) {
  for (size_t i = std::size(kMethodTable); i-- > 0;)
    if (kMethodTable[i].Threshold >= blockSize) return kMethodTable[i].Method;
  return kMethodTable[0].Method;
}

uint8_t* BlockStart(const void* p) {
  return static_cast<uint8_t*>(const_cast<void*>(p)) - kHeaderSize;
}

// True when the header before p carries the signature and a size the manager
// could have written. A nil pointer has no header.
bool HeaderValid(const void* p) {
  if (p == nullptr) return false;
  const uint8_t* block = BlockStart(p);
  if (VLMGetU32LE(block + kSignatureOffset) != kHeaderSignature) return false;
  const int64_t size = VLMGetI64LE(block + kSizeOffset);
  return size >= 1 && size <= kVLMMaxBlockDataSize;
}

// The message of whatever was thrown, for the wrapping codes.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace

TVLMMemoryManager& VLMMemoryManager() {
  static TVLMMemoryManager instance;
  return instance;
}

void* TVLMMemoryManager::GetMem(int64_t size) {
  if (size == 0) throw EVLMException(30286, "Cannot allocate 0 bytes");
  const int64_t limit = MemoryLimit();
  if (limit != 0 && size > 0 && AllocatedMemory() + size > limit)
    throw EVLMException(30004, "Memory limit exceeded (Limit = %d bytes)", {limit});

  uint8_t* block = nullptr;
  try {
    if (size < 0 || size > kVLMMaxBlockDataSize)
      throw qv::Exception("Invalid block size: " + std::to_string(size));
    const int64_t blockSize = size + kHeaderSize + kTailSize;
    const uint8_t method = PickMethod(blockSize);
    switch (method) {
      case kMethodHeap:
        block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(blockSize)));
        if (block == nullptr) throw qv::Exception("Out of memory");
        break;
      default:
        throw EVLMException(30340, "Unknown GetMem method type: %d", {static_cast<int>(method)});
    }
    VLMPutI64LE(block + kSizeOffset, size);
    block[kMethodOffset] = method;
    std::memset(block + kMethodOffset + 1, 0, kSignatureOffset - kMethodOffset - 1);
    VLMPutU32LE(block + kSignatureOffset, kHeaderSignature);
    VLMPutU32LE(block + kHeaderSize + size, kTailSignature);
    AllocatedMemory_.fetch_add(size, std::memory_order_relaxed);
  } catch (...) {
    std::free(block);
    throw EVLMException(30015, "GetMem error: %s", {CurrentMessage()});
  }
  return block + kHeaderSize;
}

void* TVLMMemoryManager::AllocMem(int64_t size) {
  void* p = GetMem(size);
  std::memset(p, 0, static_cast<size_t>(size));
  return p;
}

void TVLMMemoryManager::FreeMem(void*& p) {
  bool overrun = false;
  try {
    if (p == nullptr) throw qv::Exception("Pointer is nil");
    if (!HeaderValid(p)) throw EVLMException(30001, "Invalid pointer");
    uint8_t* block = BlockStart(p);
    const int64_t size = VLMGetI64LE(block + kSizeOffset);
    overrun = VLMGetU32LE(block + kHeaderSize + size) != kTailSignature;
    AllocatedMemory_.fetch_sub(size, std::memory_order_relaxed);
    // Wipe the signature so that a second free of the same pointer, while the
    // heap has not reused the memory, is seen as an invalid pointer.
    VLMPutU32LE(block + kSignatureOffset, 0);
    if (block[kMethodOffset] == kMethodHeap) std::free(block);
    p = nullptr;
  } catch (const EVLMException&) {
    throw;
  } catch (...) {
    throw EVLMException(30138, "FreeAndNillMem error: %s", {CurrentMessage()});
  }
  if (overrun) throw EVLMException(30137, "Memory overrun detected");
}

void TVLMMemoryManager::ReallocMem(void*& p, int64_t newSize, bool clearNewBytes) {
  void* fresh = nullptr;
  try {
    if (!HeaderValid(p)) throw EVLMException(30002, "Invalid pointer");
    const int64_t oldSize = VLMGetI64LE(BlockStart(p) + kSizeOffset);
    fresh = GetMem(newSize);
    std::memcpy(fresh, p, static_cast<size_t>(std::min(oldSize, newSize)));
    if (clearNewBytes && newSize > oldSize)
      std::memset(static_cast<uint8_t*>(fresh) + oldSize, 0, static_cast<size_t>(newSize - oldSize));
    void* old = p;
    // The caller owns the new block from here on, even when freeing the old
    // one reports a damaged tail: the data has already been copied.
    p = fresh;
    fresh = nullptr;
    FreeMem(old);
  } catch (...) {
    throw EVLMException(30014, "ReallocMem error: %s", {CurrentMessage()});
  }
}

int64_t TVLMMemoryManager::GetMemSize(const void* p) const {
  if (p == nullptr) return 0;
  if (!HeaderValid(p)) throw EVLMException(30005, "Invalid pointer");
  return VLMGetI64LE(BlockStart(p) + kSizeOffset);
}

int64_t TVLMMemoryManager::GetFreeMemory() {
  const int64_t available = qv::AvailablePhysicalMemory();
  FreeMemory_.store(available, std::memory_order_relaxed);
  const int64_t limit = MemoryLimit();
  if (limit != 0) return std::min(limit, available);
  return available;
}

void VLMMove(const void* source, void* dest, int64_t count) {
  if (count < 1 || source == dest) return;
  std::memmove(dest, source, static_cast<size_t>(count));
}
