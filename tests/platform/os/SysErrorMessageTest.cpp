#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <string>

#include "platform/os/System.h"

// Error texts of the system are English whatever locale the user runs in.
TEST(SysErrorMessage, EnglishUnderEveryLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* loc : {"C", "de_DE.UTF-8", "sv_SE.UTF-8"}) {
    if (!std::setlocale(LC_ALL, loc)) continue;
    SCOPED_TRACE(loc);
    EXPECT_EQ(qv::SysErrorMessage(ENOENT), "No such file or directory");
    EXPECT_EQ(qv::SysErrorMessage(EACCES), "Permission denied");
  }
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(qv::SysErrorMessage(123456), "Unknown error 123456");
}
