// The one depth count of nested SQL on a thread, and the stack it leaves.
//
// Every construct of a statement that nests takes a level while it is read:
// a recursive production of the expression parser (a parenthesis, a CASE
// inside a CASE, a function's argument), a query expression (a statement's,
// a derived table's, a subquery's), a query in parentheses, and each
// operand of a chain of set operations (n operations make a tree n deep).
// All of them count on one thread-local count, since a subquery's parse
// runs inside the parse of the condition that holds it, on the same stack.
//
// A level is refused when kVLMMaxNestingLevels are taken or when less than
// kVLMStackReserveBytes of the thread's stack are left; the construct then
// raises its error (30693 in expressions, 20842 in queries) and the
// statement ends before the stack would, on any stack the engine runs on
// (the tests run statements on threads of 256 KB). The phases that walk
// what was read, when the count is back at 0 (building and opening the
// operators, running a subquery for a row), check the stack alone
// (VLMStackIsLow) at each level they enter.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

// Levels one thread may hold at once.
inline constexpr int32_t kVLMMaxNestingLevels = 1024;

// Stack a level must leave free: room for the work between two checks (the
// deepest level's own parse, build and open, down to the storage engine).
// Frames are larger under the address sanitizer.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int64_t kVLMStackReserveBytes = 160 * 1024;
#else
inline constexpr int64_t kVLMStackReserveBytes = 64 * 1024;
#endif

// Less than kVLMStackReserveBytes of the calling thread's stack left.
bool VLMStackIsLow();

// Levels of the count, held until destruction.
class TVLMNestingLevels {
public:
  TVLMNestingLevels() = default;
  ~TVLMNestingLevels();
  TVLMNestingLevels(const TVLMNestingLevels&) = delete;
  TVLMNestingLevels& operator=(const TVLMNestingLevels&) = delete;

  // Takes one more level; false (nothing taken) when the count is at its
  // limit or the stack is low.
  [[nodiscard]] bool Enter();

  // The levels taken on this thread.
  static int32_t Active();

private:
  int32_t Held_ = 0;
};
