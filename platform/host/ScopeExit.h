// ScopeExit: runs a cleanup when the enclosing scope ends, on every path
// (normal return, early return or exception), so each cleanup is written
// once instead of "clean up, rethrow" beside "clean up" at the end.
//
//   auto restore = qv::ScopeExit([&] { cursor.Filter = saved; });
//   ...                       // may throw
//   restore.Release();        // optional: keep the new state after all
//
// A cleanup may throw (a dataset's cleanup sends events to its links). On a
// normal exit its exception propagates, as it would from code written at the
// end of the scope. While an exception already unwinds the scope, a second
// one would end the program: the cleanup's exception is then dropped and the
// first one reaches the caller.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

namespace qv {

template <typename F>
class [[nodiscard]] ScopeExit {
public:
  explicit ScopeExit(F f) noexcept(std::is_nothrow_move_constructible_v<F>) : f_(std::move(f)) {}
  ScopeExit(ScopeExit&& other) noexcept(std::is_nothrow_move_constructible_v<F>)
      : f_(std::move(other.f_)), active_(std::exchange(other.active_, false)), unwinding_(other.unwinding_) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ScopeExit& operator=(ScopeExit&&) = delete;
  // The cleanup runs in a function of its own, never inlined here: when gcc
  // 12 (-O2) inlined it into the landing pad of an exception, its dead-store
  // elimination dropped the cleanup's stores on the unwinding path, so an
  // optimized build left restored state unrestored after an exception.
  ~ScopeExit() noexcept(false) {
    if (!active_) return;
    const bool unwinding = std::uncaught_exceptions() > unwinding_;
    try {
      Run();
    } catch (...) {
      if (!unwinding) throw;
    }
  }

  // The cleanup will not run.
  void Release() noexcept { active_ = false; }

private:
  [[gnu::noinline]] void Run() { f_(); }

  F f_;
  bool active_ = true;
  // Exceptions in flight when the guard was made: more at its end means the
  // scope is being left by an exception.
  int unwinding_ = std::uncaught_exceptions();
};

template <typename F>
ScopeExit(F) -> ScopeExit<F>;

}  // namespace qv
