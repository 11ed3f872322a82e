// Shared helpers of the value tests: the test data folder, literal values of
// any base type as raw bytes, and checks of engine error codes.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypesRoutines.h"

namespace valuetest {

// tests/data, from QV_TEST_DATA (set by ctest) or beside the sources.
inline std::filesystem::path DataDir() {
  if (const char* env = std::getenv("QV_TEST_DATA"); env && *env) return env;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "data";
}

// The lines of a data file without comments and blank lines.
inline std::vector<std::string> DataLines(const std::string& name) {
  std::ifstream in(DataDir() / "values" / name);
  EXPECT_TRUE(in.good()) << "missing data file " << (DataDir() / "values" / name);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    lines.push_back(line);
  }
  return lines;
}

inline std::string Trimmed(std::string s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  const size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

inline std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] == '"') quoted = !quoted;
    if (i == s.size() || (s[i] == sep && !quoted)) {
      out.push_back(Trimmed(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  return out;
}

// "text" with \0 escapes -> bytes.
inline std::string Unquote(const std::string& q) {
  std::string out;
  for (size_t i = 1; i + 1 < q.size(); ++i) {
    if (q[i] == '\\' && i + 2 < q.size() && q[i + 1] == '0') {
      out.push_back('\0');
      ++i;
    } else {
      out.push_back(q[i]);
    }
  }
  return out;
}

inline long double ParseFloat(const std::string& s) {
  long double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  EXPECT_TRUE(r.ec == std::errc() && r.ptr == s.data() + s.size()) << "bad float literal " << s;
  return v;
}

inline int64_t ParseInt(const std::string& s) {
  if (!s.empty() && s[0] != '-') {
    uint64_t u = 0;
    std::from_chars(s.data(), s.data() + s.size(), u);
    return static_cast<int64_t>(u);
  }
  int64_t v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  EXPECT_TRUE(r.ec == std::errc()) << "bad integer literal " << s;
  return v;
}

template <class T>
std::vector<uint8_t> BytesOf(T v, size_t n = sizeof(T)) {
  std::vector<uint8_t> b(n);
  std::memcpy(b.data(), &v, n);
  return b;
}

// A literal of base type t as the bytes of a value block. Text types 1-4 get
// their terminator; memos (19, 20) and byte strings do not.
inline std::vector<uint8_t> ValueBytes(TVLMBaseDataType t, const std::string& lit) {
  auto ansi = [&](bool terminate) {
    std::string s = Unquote(lit);
    std::vector<uint8_t> b(s.begin(), s.end());
    if (terminate) b.push_back(0);
    return b;
  };
  auto wide = [&](bool terminate) {
    std::string s = Unquote(lit);
    std::vector<uint8_t> b;
    for (unsigned char c : s) {
      b.push_back(c);
      b.push_back(0);
    }
    if (terminate) b.insert(b.end(), {0, 0});
    return b;
  };
  switch (t) {
    case 1: case 3: return ansi(true);
    case 2: case 4: return wide(true);
    case 19: case 18: case 23: case 24: return ansi(false);
    case 20: return wide(false);
    case 5: return BytesOf(static_cast<int8_t>(ParseInt(lit)));
    case 6: return BytesOf(static_cast<int16_t>(ParseInt(lit)));
    case 7: case 15: case 16: return BytesOf(static_cast<int32_t>(ParseInt(lit)));
    case 8: return BytesOf(ParseInt(lit));
    case 9: return BytesOf(static_cast<uint8_t>(ParseInt(lit)));
    case 10: return BytesOf(static_cast<uint16_t>(ParseInt(lit)));
    case 11: return BytesOf(static_cast<uint32_t>(ParseInt(lit)));
    case 12: return BytesOf(static_cast<float>(ParseFloat(lit)));
    case 13: case 22: return BytesOf(static_cast<double>(ParseFloat(lit)));
    case 14: return BytesOf(ParseFloat(lit), 10);
    case 17: {
      const auto parts = Split(lit, ',');
      std::vector<uint8_t> b = BytesOf(static_cast<int32_t>(ParseInt(parts.at(0))));
      const auto m = BytesOf(static_cast<int32_t>(ParseInt(parts.at(1))));
      b.insert(b.end(), m.begin(), m.end());
      return b;
    }
    case 21: return BytesOf(static_cast<int16_t>(ParseInt(lit)));
    default: return {};
  }
}

// Runs f and expects an EVLMException with this code; returns its message.
inline std::string ExpectEngineError(int32_t code, const std::function<void()>& f) {
  try {
    f();
  } catch (const EVLMException& e) {
    EXPECT_EQ(e.NativeError, code) << e.what();
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "expected engine error " << code << ", got " << e.what();
    return {};
  }
  ADD_FAILURE() << "expected engine error " << code << ", nothing was raised";
  return {};
}

}  // namespace valuetest
