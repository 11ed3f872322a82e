// Lock contracts: a re-entrant mutex that knows which thread holds it, and the
// debug-build check that the caller of a method holds the lock the method
// requires.
//
//   // Requires: the database critical section.
//   void TVLMPageManager::ReleasePage(TVLMPage* page) {
//     QV_REQUIRE_LOCK(CriticalSectionHeld(), "the database critical section");
//
// Without NDEBUG a broken contract writes "<method> called without <lock>" to
// stderr and aborts: it is a fault of the calling code, never of the input,
// and aborting keeps a catch block of the engine from swallowing it. With
// NDEBUG the check compiles to nothing (its condition is not evaluated).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qv {

// A re-entrant mutex with a record of the thread that holds it. Meets the
// Lockable requirements, so std::lock_guard and std::unique_lock take it.
// The owner's nested entries only count: the engine enters its locks at
// every level of a call, so a nested entry must cost next to nothing.
class RecursiveMutex {
public:
  void lock() {
    if (HeldByThisThread()) {
      ++Depth_;
      return;
    }
    Mutex_.lock();
    Entered();
  }
  bool try_lock() {
    if (HeldByThisThread()) {
      ++Depth_;
      return true;
    }
    if (!Mutex_.try_lock()) return false;
    Entered();
    return true;
  }
  void unlock() {
    if (--Depth_ > 0) return;
    Owner_.store(std::thread::id(), std::memory_order_relaxed);
    Mutex_.unlock();
  }

  // True when the calling thread holds the mutex. Only the owner writes the
  // record, so a thread always reads its own last write: the answer is exact
  // for the calling thread.
  bool HeldByThisThread() const { return Owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
  void Entered() {
    Depth_ = 1;
    Owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }

  std::mutex Mutex_;
  std::atomic<std::thread::id> Owner_{};
  int32_t Depth_ = 0;  // nesting of the owner; changed only while held
};

// Reports "<function> called without <lockName>" and aborts.
[[noreturn]] void LockContractBroken(const char* function, const char* lockName);

}  // namespace qv

#ifdef NDEBUG
#define QV_REQUIRE_LOCK(held, lockName) static_cast<void>(0)
#else
#define QV_REQUIRE_LOCK(held, lockName) \
  ((held) ? static_cast<void>(0) : ::qv::LockContractBroken(__func__, lockName))
#endif
