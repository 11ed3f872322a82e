// Running checks under several C locales, for the tests that show a result
// does not depend on the user's LANG/LC_ALL.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <string>

namespace qv::test {

// Runs check(name) under "C", under German and Swedish (both spellings of
// their UTF-8 names) and under the environment's locale (""), skipping those
// not installed here, then restores the process's locale. Returns how many
// ran.
inline int ForEachLocale(const std::function<void(const char* name)>& check) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  int tried = 0;
  for (const char* name : {"C", "de_DE.UTF-8", "sv_SE.UTF-8", "de_DE.utf8", "sv_SE.utf8", ""}) {
    if (std::setlocale(LC_ALL, name) == nullptr) continue;
    ++tried;
    SCOPED_TRACE(std::string("under locale '") + name + "'");
    check(name);
  }
  std::setlocale(LC_ALL, saved.c_str());
  return tried;
}

// Expects fingerprint() to give the same text under every locale of
// ForEachLocale as under "C"; returns the text under "C".
inline std::string ExpectSameUnderEveryLocale(const std::function<std::string()>& fingerprint) {
  std::string reference;
  const int tried = ForEachLocale([&](const char* name) {
    if (std::string(name) == "C")
      reference = fingerprint();
    else
      EXPECT_EQ(fingerprint(), reference);
  });
  EXPECT_GT(tried, 1) << "no locale but C is installed";
  return reference;
}

}  // namespace qv::test
