// ScopeExit: runs a cleanup when the enclosing scope ends, on every path
// (normal return, early return or exception), so each cleanup is written
// once instead of "clean up, rethrow" beside "clean up" at the end.
//
//   auto restore = qv::ScopeExit([&] { cursor.Filter = saved; });
//   ...                       // may throw
//   restore.Release();        // optional: keep the new state after all
//
// The cleanup must not throw: it runs during stack unwinding, where a second
// exception ends the program.
#pragma once

#include <type_traits>
#include <utility>

namespace qv {

template <typename F>
class [[nodiscard]] ScopeExit {
public:
  explicit ScopeExit(F f) noexcept(std::is_nothrow_move_constructible_v<F>) : f_(std::move(f)) {}
  ScopeExit(ScopeExit&& other) noexcept(std::is_nothrow_move_constructible_v<F>)
      : f_(std::move(other.f_)), active_(std::exchange(other.active_, false)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ScopeExit& operator=(ScopeExit&&) = delete;
  ~ScopeExit() {
    if (active_) f_();
  }

  // The cleanup will not run.
  void Release() noexcept { active_ = false; }

private:
  F f_;
  bool active_ = true;
};

template <typename F>
ScopeExit(F) -> ScopeExit<F>;

}  // namespace qv
