// Linux implementation of the small OS services of System.h. The replaceable
// sources are process-wide and guarded by one mutex, so a test may swap them
// while other code runs.
#include "platform/os/System.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/os/File.h"

namespace qv {

namespace {

std::mutex& SourcesMutex() {
  static std::mutex m;
  return m;
}

std::function<double()>& NowSource() {
  static std::function<double()> f;
  return f;
}

std::function<int64_t()>& MonotonicSource() {
  static std::function<int64_t()> f;
  return f;
}

std::function<double()>& NowLocalSource() {
  static std::function<double()> f;
  return f;
}

std::function<void(uint32_t)>& Sleeper() {
  static std::function<void(uint32_t)> f;
  return f;
}

std::function<std::string()>& GuidSource() {
  static std::function<std::string()> f;
  return f;
}

// The replaceable sources are read and written under the one mutex; a read
// takes a copy, so the source runs outside the lock.
template <class F>
F CurrentSource(const F& source) {
  std::lock_guard<std::mutex> g(SourcesMutex());
  return source;
}

template <class F>
void ReplaceSource(F& slot, F source) {
  std::lock_guard<std::mutex> g(SourcesMutex());
  slot = std::move(source);
}

int64_t MemoryOverride_ = -1;
// The last figure sysinfo gave and when (steady clock, not the replaceable
// MonotonicMs a test may stop). Page managers and temporary tables check the
// free memory several times per statement; free memory does not move enough
// within a tenth of a second to make each check a system call.
constexpr std::chrono::milliseconds kMemoryCacheAge{100};
int64_t MemoryCache_ = 0;
std::chrono::steady_clock::time_point MemoryCacheTime_;
bool MemoryCacheValid_ = false;
int64_t DiskSpaceOverride_ = -1;

// 1970-01-01 as a host date-time (days since 1899-12-30).
constexpr int64_t kUnixEpochDays = 25569;
constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kMemoryCap = 2147483647;

std::string ErrorText(int errNo) { return qv::SysErrorMessage(errNo); }

// Fills buffer with random bytes from the kernel.
void RandomBytes(uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::getrandom(buffer + done, count - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) break;  // very old kernel: fall back to the device
      int e = errno;
      throw EOSError("Cannot get random bytes: " + ErrorText(e), e);
    }
    done += static_cast<size_t>(n);
  }
  if (done == count) return;
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    throw EOSError("Cannot get random bytes: " + ErrorText(e), e);
  }
  while (done < count) {
    ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n < 0 ? errno : EIO;
      ::close(fd);
      throw EOSError("Cannot get random bytes: " + ErrorText(e), e);
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

std::string SystemGuid() {
  uint8_t b[16];
  RandomBytes(b, sizeof b);
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // variant 10xx: RFC 4122
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += kHex[b[i] >> 4];
    s += kHex[b[i] & 0x0F];
  }
  s += '}';
  return s;
}

}  // namespace

double NowUtc() {
  const std::function<double()> source = CurrentSource(NowSource());
  if (source) return source();
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  // Whole milliseconds, as the system time the design read had them.
  int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  int64_t days = ms / kMsPerDay;
  int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --days;
  }
  return static_cast<double>(kUnixEpochDays + days) + static_cast<double>(rest) / kMsPerDay;
}

void SetNowUtcSource(std::function<double()> source) {
  ReplaceSource(NowSource(), std::move(source));
}

int64_t MonotonicMs() {
  const std::function<int64_t()> source = CurrentSource(MonotonicSource());
  if (source) return source();
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SetMonotonicMsSource(std::function<int64_t()> source) {
  ReplaceSource(MonotonicSource(), std::move(source));
}

double NowLocal() {
  const std::function<double()> source = CurrentSource(NowLocalSource());
  if (source) return source();
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm local;
  const time_t seconds = ts.tv_sec;
  ::localtime_r(&seconds, &local);
  const int64_t year = local.tm_year + 1900;
  const int64_t month = local.tm_mon + 1;
  // Days from 1970-01-01 to the local date (civil calendar, proleptic
  // Gregorian), so the time zone's offset is in the date and the time alike.
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + local.tm_mday - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  const int64_t ms = ((static_cast<int64_t>(local.tm_hour) * 60 + local.tm_min) * 60 + std::min(local.tm_sec, 59)) *
                         1000 +
                     ts.tv_nsec / 1000000;
  return static_cast<double>(kUnixEpochDays + days) + static_cast<double>(ms) / kMsPerDay;
}

void SetNowLocalSource(std::function<double()> source) {
  ReplaceSource(NowLocalSource(), std::move(source));
}

void SleepMs(uint32_t ms) {
  const std::function<void(uint32_t)> sleeper = CurrentSource(Sleeper());
  if (sleeper) {
    sleeper(ms);
    return;
  }
  struct timespec req;
  req.tv_sec = static_cast<time_t>(ms / 1000);
  req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  struct timespec rem;
  while (::nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

void SetSleeper(std::function<void(uint32_t)> sleeper) {
  ReplaceSource(Sleeper(), std::move(sleeper));
}

std::string TempPath() {
  const char* env = ::getenv("TMPDIR");
  std::string path = env && *env ? env : "/tmp";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") path.clear();  // "<TempPath>/name" is then "/name"
  return path;
}

std::string CreateTempFile(const std::string& prefix) {
  std::string folder = TempPath();
  std::string tmpl = folder + "/" + prefix + "XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    throw EOSError("Cannot create a temporary file in \"" + (folder.empty() ? "/" : folder) +
                       "\": " + ErrorText(e),
                   e);
  }
  ::close(fd);
  return std::string(name.data());
}

std::string NewGuidString() {
  const std::function<std::string()> source = CurrentSource(GuidSource());
  return source ? source() : SystemGuid();
}

void SetGuidSource(std::function<std::string()> source) {
  ReplaceSource(GuidSource(), std::move(source));
}

int64_t AvailablePhysicalMemory() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> g(SourcesMutex());
    if (MemoryOverride_ >= 0) return MemoryOverride_ > kMemoryCap ? kMemoryCap : MemoryOverride_;
    if (MemoryCacheValid_ && now - MemoryCacheTime_ < kMemoryCacheAge) return MemoryCache_;
  }
  int64_t bytes = kMemoryCap;
  struct sysinfo si;
  if (::sysinfo(&si) == 0) {  // cannot fail on Linux; be generous if it does
    // Free plus buffer memory: what the kernel can hand out without swapping.
    unsigned __int128 total =
        (static_cast<unsigned __int128>(si.freeram) + si.bufferram) * si.mem_unit;
    bytes = total > static_cast<unsigned __int128>(kMemoryCap) ? kMemoryCap : static_cast<int64_t>(total);
  }
  std::lock_guard<std::mutex> g(SourcesMutex());
  MemoryCache_ = bytes;
  MemoryCacheTime_ = now;
  MemoryCacheValid_ = true;
  return bytes;
}

void SetAvailablePhysicalMemoryOverride(int64_t bytes) {
  std::lock_guard<std::mutex> g(SourcesMutex());
  MemoryOverride_ = bytes < 0 ? -1 : bytes;
  // The next unoverridden reading asks the kernel afresh.
  MemoryCacheValid_ = false;
}

int64_t FreeDiskSpace(const std::string& fileName) {
  {
    std::lock_guard<std::mutex> g(SourcesMutex());
    if (DiskSpaceOverride_ >= 0) return DiskSpaceOverride_;
  }
  const std::string folder = FolderOf(fileName);
  struct statvfs st;
  if (::statvfs(folder.c_str(), &st) != 0) {
    const int err = errno;
    throw EOSError("Cannot read the free space of " + folder + ": " + ErrorText(err), err);
  }
  // Blocks free to unprivileged users, in fragment-size units.
  const unsigned __int128 bytes = static_cast<unsigned __int128>(st.f_bavail) * st.f_frsize;
  return bytes > static_cast<unsigned __int128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

void SetFreeDiskSpaceOverride(int64_t bytes) {
  std::lock_guard<std::mutex> g(SourcesMutex());
  DiskSpaceOverride_ = bytes < 0 ? -1 : bytes;
}

std::string SysErrorMessage(int errNo) {
  // strerrordesc_np gives the untranslated text and is thread-safe.
  if (const char* text = strerrordesc_np(errNo)) return text;
  return "Unknown error " + std::to_string(errNo);
}

int64_t StackBytesLeft() {
  // The lowest address of this thread's stack; 0 when it is not known.
  static thread_local uintptr_t low = [] {
    uintptr_t bottom = 0;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bottom;
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0) bottom = reinterpret_cast<uintptr_t>(address);
    pthread_attr_destroy(&attributes);
    return bottom;
  }();
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (low == 0 || here <= low) return low == 0 ? INT64_MAX : 0;
  return static_cast<int64_t>(here - low);
}

int64_t CurrentProcessId() { return ::getpid(); }

bool ProcessRuns(int64_t pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
  // Signal 0 checks without sending: EPERM is a process of another user.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace qv
