// VLM_INVARIANT: checks one numbered invariant of a module's header where it
// can break.
//
// The check is compiled into the Debug and sanitizer builds (QV_DEBUG_CHECKS,
// set by the build) and gone from the optimized ones, where the condition is
// not evaluated (sizeof keeps the names it reads in use, so a variable read
// only by a check draws no warning). A violated invariant is a fault of the
// engine, not of its input: the check writes the invariant's name (the
// module and its number, "VLMPage 2"), its condition and its place to
// standard error and aborts, so a test run stops at the first broken rule
// with its name rather than writing a damaged file later. Input that may be
// wrong (a damaged file, a bad statement) is refused with an engine code,
// never checked here.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdio>
#include <cstdlib>

#if defined(QV_DEBUG_CHECKS)

[[noreturn]] inline void VLMInvariantFailed(const char* name, const char* condition, const char* file,
                                            int line) {
  std::fprintf(stderr, "Invariant %s violated: %s (%s:%d)\n", name, condition, file, line);
  std::fflush(stderr);
  std::abort();
}

#define VLM_INVARIANT(name, condition) \
  ((condition) ? static_cast<void>(0) : ::VLMInvariantFailed(name, #condition, __FILE__, __LINE__))
#define VLM_DEBUG_CHECKS 1

#else

#define VLM_INVARIANT(name, condition) static_cast<void>(sizeof(!(condition)))
#define VLM_DEBUG_CHECKS 0

#endif
