// Small OS services: clocks, sleeper, temporary files, GUIDs, free memory.
// Each one that tests need to control can be replaced by a test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qv {

// The English text of an errno value, whatever the environment's locale
// (messages of the system are English; strerror follows LC_MESSAGES).
std::string SysErrorMessage(int errNo);

// UTC wall clock as the host's date-time (days since 1899-12-30, fraction = time).
double NowUtc();
// Replaces NowUtc's source (nullptr restores the system clock).
void SetNowUtcSource(std::function<double()> source);
// Local wall clock (the machine's time zone) as the host's date-time, whole
// milliseconds; the SQL functions NOW, SYSDATE and CURRENT_... read it.
double NowLocal();
// Replaces NowLocal's source (nullptr restores the system clock).
void SetNowLocalSource(std::function<double()> source);

// Milliseconds of a monotonic clock (it never goes back, whatever happens to
// the wall clock); only differences between two readings mean anything. Waits
// and delays measure with it.
int64_t MonotonicMs();
// Replaces MonotonicMs's source (nullptr restores the system clock).
void SetMonotonicMsSource(std::function<int64_t()> source);

// Sleeps for the given milliseconds; retry loops sleep through this so tests
// can replace it with a no-op or a counter.
void SleepMs(uint32_t ms);
void SetSleeper(std::function<void(uint32_t)> sleeper);  // nullptr restores

// Folder for temporary files: $TMPDIR when set, else /tmp; ends without '/'.
std::string TempPath();
// Creates a new, empty, uniquely named file "<TempPath>/<prefix>XXXXXX" with
// mkstemp and returns its path (the prefix is "VLM" for the engine). Throws
// EOSError on failure.
std::string CreateTempFile(const std::string& prefix = "VLM");

// A new GUID as text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case,
// version 4 from getrandom. Tests may replace the generator.
std::string NewGuidString();
void SetGuidSource(std::function<std::string()> source);  // nullptr restores

// Available physical memory in bytes (sysinfo), capped at 2^31-1 as the old
// 32-bit status call reported it. The kernel's figure is kept for 100 ms, as
// callers ask for it many times a second. Tests may override the figure (-1
// restores; the next reading then asks the kernel again).
int64_t AvailablePhysicalMemory();
void SetAvailablePhysicalMemoryOverride(int64_t bytes);

// Bytes an unprivileged process may still write on the file system that
// holds fileName (statvfs of the file's folder; the file itself need not
// exist). Throws EOSError when the folder cannot be examined. Tests may
// override the figure (-1 restores).
int64_t FreeDiskSpace(const std::string& fileName);
void SetFreeDiskSpaceOverride(int64_t bytes);

// Bytes of the calling thread's stack left below the caller's frame (the
// stack grows down). The thread's stack bounds are read once per thread;
// when they cannot be read the answer is INT64_MAX.
int64_t StackBytesLeft();

// This process's id, and whether a process of that id runs now (one of
// another user counts; an id the system never gives, such as 0, or above
// the largest, does not). An id may be given again after its process ended.
int64_t CurrentProcessId();
bool ProcessRuns(int64_t pid);

}  // namespace qv
