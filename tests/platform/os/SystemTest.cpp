#include "platform/os/System.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>

#include "platform/os/File.h"
#include "tests/support/Locales.h"

namespace {

// Sets an environment variable for one scope and restores it.
class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : Name_(name) {
    const char* old = getenv(name);
    Had_ = old != nullptr;
    if (Had_) Old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (Had_)
      setenv(Name_, Old_.c_str(), 1);
    else
      unsetenv(Name_);
  }

private:
  const char* Name_;
  bool Had_;
  std::string Old_;
};

}  // namespace

TEST(System, ClockIsUtcDaysSince1899AndReplaceable) {
  time_t before = time(nullptr);
  double now = qv::NowUtc();
  time_t after = time(nullptr);
  // 25569 = 1970-01-01. A few seconds' slack: time sync may step the wall
  // clock between the readings.
  constexpr double kSlackDays = 5.0 / 86400.0;
  EXPECT_GE(now, 25569.0 + static_cast<double>(before) / 86400.0 - kSlackDays);
  EXPECT_LE(now, 25569.0 + static_cast<double>(after + 1) / 86400.0 + kSlackDays);

  qv::SetNowUtcSource([] { return 45292.5; });  // 2024-01-01 12:00
  EXPECT_EQ(qv::NowUtc(), 45292.5);
  qv::SetNowUtcSource(nullptr);
  EXPECT_GT(qv::NowUtc(), 45000.0);
}

TEST(System, MonotonicClockAdvancesWithSleepsAndIsReplaceable) {
  const int64_t first = qv::MonotonicMs();
  qv::SleepMs(5);
  EXPECT_GE(qv::MonotonicMs() - first, 5);

  qv::SetMonotonicMsSource([] { return int64_t{123456}; });
  EXPECT_EQ(qv::MonotonicMs(), 123456);
  qv::SetMonotonicMsSource(nullptr);
  EXPECT_GE(qv::MonotonicMs(), first);
}

TEST(System, LocalClockFollowsTheTimeZoneAndIsReplaceable) {
  struct Case {
    const char* zone;
    double hoursAhead;
  };
  // POSIX zone names count west of Greenwich: "UTC-3" is three hours ahead.
  for (const Case& c : {Case{"UTC0", 0}, Case{"UTC-3", 3}, Case{"UTC+10", -10}, Case{"UTC-5:30", 5.5}}) {
    SCOPED_TRACE(c.zone);
    ScopedEnv zone("TZ", c.zone);
    tzset();
    const double offset = qv::NowLocal() - qv::NowUtc();
    EXPECT_NEAR(offset * 24, c.hoursAhead, 0.01);
  }
  tzset();
  qv::SetNowLocalSource([] { return 45292.75; });
  EXPECT_EQ(qv::NowLocal(), 45292.75);
  qv::SetNowLocalSource(nullptr);
  EXPECT_GT(qv::NowLocal(), 45000.0);
}

TEST(System, SleeperIsReplaceable) {
  std::vector<uint32_t> calls;
  qv::SetSleeper([&](uint32_t ms) { calls.push_back(ms); });
  qv::SleepMs(20);
  qv::SleepMs(40);
  qv::SetSleeper(nullptr);
  EXPECT_EQ(calls, (std::vector<uint32_t>{20, 40}));

  auto start = std::chrono::steady_clock::now();
  qv::SleepMs(5);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
  EXPECT_GE(ms, 5);
  EXPECT_LT(ms, 2000);
}

TEST(System, TempPathAndTempFiles) {
  {
    ScopedEnv env("TMPDIR", "/var/tmp//");
    EXPECT_EQ(qv::TempPath(), "/var/tmp");
  }
  {
    ScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(qv::TempPath(), "/tmp");
    ScopedEnv empty("TMPDIR", "");
    EXPECT_EQ(qv::TempPath(), "/tmp");
  }
  std::string a = qv::CreateTempFile();
  std::string b = qv::CreateTempFile();
  EXPECT_NE(a, b);
  std::string prefix = qv::TempPath() + "/VLM";
  EXPECT_EQ(a.substr(0, prefix.size()), prefix);
  EXPECT_EQ(a.size(), prefix.size() + 6);
  struct stat st;
  ASSERT_EQ(stat(a.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string c = qv::CreateTempFile("QSO");
  EXPECT_EQ(c.substr(0, qv::TempPath().size() + 4), qv::TempPath() + "/QSO");
  unlink(c.c_str());
  unlink(a.c_str());
  unlink(b.c_str());

  ScopedEnv env("TMPDIR", "/no/such/folder");
  try {
    qv::CreateTempFile();
    FAIL() << "no exception";
  } catch (const qv::EOSError& e) {
    EXPECT_EQ(e.Errno, ENOENT);
    EXPECT_EQ(e.Message(),
              "Cannot create a temporary file in \"/no/such/folder\": No such file or directory");
  }
}

TEST(System, GuidsAreVersion4UpperCaseTextAndReplaceable) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string g = qv::NewGuidString();
    ASSERT_EQ(g.size(), 38u) << g;
    EXPECT_EQ(g[0], '{');
    EXPECT_EQ(g[37], '}');
    for (size_t p : {9u, 14u, 19u, 24u}) EXPECT_EQ(g[p], '-') << g;
    for (size_t p = 1; p < 37; ++p) {
      if (p == 9 || p == 14 || p == 19 || p == 24) continue;
      EXPECT_TRUE((g[p] >= '0' && g[p] <= '9') || (g[p] >= 'A' && g[p] <= 'F')) << g;
    }
    EXPECT_EQ(g[15], '4') << g;                                   // version
    EXPECT_NE(std::string("89AB").find(g[20]), std::string::npos) << g;  // variant
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 200u);

  qv::SetGuidSource([] { return std::string("{00000000-0000-0000-0000-000000000001}"); });
  EXPECT_EQ(qv::NewGuidString(), "{00000000-0000-0000-0000-000000000001}");
  qv::SetGuidSource(nullptr);
  EXPECT_NE(qv::NewGuidString(), "{00000000-0000-0000-0000-000000000001}");
}

TEST(System, AvailableMemoryIsCappedAndOverridable) {
  int64_t m = qv::AvailablePhysicalMemory();
  EXPECT_GT(m, 0);
  EXPECT_LE(m, 2147483647);
  qv::SetAvailablePhysicalMemoryOverride(1000);
  EXPECT_EQ(qv::AvailablePhysicalMemory(), 1000);
  qv::SetAvailablePhysicalMemoryOverride(0);
  EXPECT_EQ(qv::AvailablePhysicalMemory(), 0);
  qv::SetAvailablePhysicalMemoryOverride(int64_t{1} << 40);
  EXPECT_EQ(qv::AvailablePhysicalMemory(), 2147483647);
  qv::SetAvailablePhysicalMemoryOverride(-1);
  EXPECT_GT(qv::AvailablePhysicalMemory(), 0);
  // The kernel's figure is kept a moment; an override set or lifted within
  // that moment still counts at once.
  qv::SetAvailablePhysicalMemoryOverride(7);
  EXPECT_EQ(qv::AvailablePhysicalMemory(), 7);
  qv::SetAvailablePhysicalMemoryOverride(-1);
  EXPECT_GT(qv::AvailablePhysicalMemory(), 7);
}

TEST(System, FreeDiskSpaceOfAFilesFolderIsOverridable) {
  // The file need not exist; its folder must.
  const std::string file = qv::TempPath() + "/no-such-file.vlm";
  EXPECT_GT(qv::FreeDiskSpace(file), 0);
  EXPECT_THROW(qv::FreeDiskSpace(qv::TempPath() + "/no-such-folder/x.vlm"), qv::EOSError);
  qv::SetFreeDiskSpaceOverride(4096);
  EXPECT_EQ(qv::FreeDiskSpace(file), 4096);
  EXPECT_EQ(qv::FreeDiskSpace("/no-such-folder/x.vlm"), 4096);
  qv::SetFreeDiskSpaceOverride(-1);
  EXPECT_GT(qv::FreeDiskSpace(file), 0);
}

// Error texts of the system are English whatever locale the user runs in.
TEST(SysErrorMessage, EnglishUnderEveryLocale) {
  qv::test::ForEachLocale([](const char*) {
    EXPECT_EQ(qv::SysErrorMessage(ENOENT), "No such file or directory");
    EXPECT_EQ(qv::SysErrorMessage(EACCES), "Permission denied");
  });
  EXPECT_EQ(qv::SysErrorMessage(123456), "Unknown error 123456");
}
