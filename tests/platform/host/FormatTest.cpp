#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/Exception.h"
#include "platform/host/Format.h"

using qv::format;

TEST(Format, Integers) {
  EXPECT_EQ(format("%d", {2011}), "2011");
  EXPECT_EQ(format("%.5d", {2011}), "02011");
  EXPECT_EQ(format("%.5d", {30001}), "30001");
  EXPECT_EQ(format("%.5d", {123456}), "123456");
  EXPECT_EQ(format("%5d", {2156}), " 2156");
  EXPECT_EQ(format("%-5d|", {21}), "21   |");
  EXPECT_EQ(format("%4.3d", {7}), " 007");
  EXPECT_EQ(format("%.5d", {-12}), "-00012");
  EXPECT_EQ(format("%6.3d", {-7}), "  -007");
  EXPECT_EQ(format("%d", {INT64_MIN}), "-9223372036854775808");
  EXPECT_EQ(format("%d", {18446744073709551615ull}), "18446744073709551615");
  EXPECT_EQ(format("%u", {-1}), "4294967295");
  EXPECT_EQ(format("%u", {42u}), "42");
  EXPECT_EQ(format("%x", {255}), "FF");
  EXPECT_EQ(format("%.4x", {255}), "00FF");
  EXPECT_EQ(format("%X", {-1}), "FFFFFFFF");
  EXPECT_EQ(format("%x", {static_cast<int64_t>(-5000000000)}), "FFFFFFFED5FA0E00");
  EXPECT_EQ(format("%D", {3}), "3");
}

TEST(Format, WidthPrecisionAndIndexFromArguments) {
  EXPECT_EQ(format("%*d", {5, 42}), "   42");
  EXPECT_EQ(format("%-*d|", {4, 1}), "1   |");
  EXPECT_EQ(format("%*.*d", {6, 4, 9}), "  0009");
  EXPECT_EQ(format("%.*f", {3, 1.5}), "1.500");
  EXPECT_EQ(format("%1:s %0:s", {"a", "b"}), "b a");
  // After an index the next plain directive takes the following argument.
  EXPECT_EQ(format("%1:s %s %0:s", {"a", "b", "c"}), "b c a");
  EXPECT_EQ(format("%0:s-%0:s", {"x"}), "x-x");
  EXPECT_EQ(format("%1:-4s|", {"a", "b"}), "b   |");
  EXPECT_EQ(format("100%% %s", {"done"}), "100% done");
  EXPECT_EQ(format("no directives", {}), "no directives");
}

TEST(Format, Strings) {
  EXPECT_EQ(format("%s", {"abc"}), "abc");
  EXPECT_EQ(format("%.2s", {"abcdef"}), "ab");
  EXPECT_EQ(format("%5s|%-5s|", {"ab", "cd"}), "   ab|cd   |");
  EXPECT_EQ(format("%5.2s", {"abcdef"}), "   ab");
  std::string s = "W1AW";
  EXPECT_EQ(format("Call %s", {s}), "Call W1AW");
  EXPECT_EQ(format("%s", {std::string_view("x\0y", 3)}), std::string("x\0y", 3));
  EXPECT_EQ(format("%s_%d", {"Session", 2}), "Session_2");
}

TEST(Format, Floats) {
  EXPECT_EQ(format("%f", {1.0}), "1.00");
  EXPECT_EQ(format("%.3f", {2.0 / 3.0}), "0.667");
  EXPECT_EQ(format("%.0f", {2.5}), "3");
  EXPECT_EQ(format("%.2f", {0.125}), "0.13");
  EXPECT_EQ(format("%.2f", {-0.125}), "-0.13");
  EXPECT_EQ(format("%.2f", {-0.001}), "0.00");
  EXPECT_EQ(format("%.2f", {9.996}), "10.00");
  EXPECT_EQ(format("%8.2f|", {3.14159}), "    3.14|");
  EXPECT_EQ(format("%e", {1000.0}), "1.00000000000000E+003");
  EXPECT_EQ(format("%.3e", {-0.00012345}), "-1.23E-004");
  EXPECT_EQ(format("%e", {0.0}), "0.00000000000000E+000");
  EXPECT_EQ(format("%g", {0.1}), "0.1");
  EXPECT_EQ(format("%g", {0.1 + 0.2}), "0.3");
  EXPECT_EQ(format("%g", {100.0}), "100");
  EXPECT_EQ(format("%g", {1e20}), "1E20");
  EXPECT_EQ(format("%g", {-2.5}), "-2.5");
  EXPECT_EQ(format("%.3g", {1234.5}), "1.23E3");
  EXPECT_EQ(format("%n", {1234567.891}), "1,234,567.89");
  EXPECT_EQ(format("%.0n", {-999.5}), "-1,000");
  EXPECT_EQ(format("%n", {12.0}), "12.00");
  EXPECT_EQ(format("%m", {1234.5}), "$1,234.50");
  EXPECT_EQ(format("%m", {-2.0}), "($2.00)");
  EXPECT_EQ(format("%f", {1.5L}), "1.50");
  EXPECT_EQ(format("%f", {static_cast<double>(1.0f / 0.0f)}), "INF");
}

TEST(Format, Pointer) {
  EXPECT_EQ(format("%p", {static_cast<const void*>(nullptr)}), "0000000000000000");
  const void* p = reinterpret_cast<const void*>(static_cast<uintptr_t>(0xABCDEF));
  EXPECT_EQ(format("%p", {p}), "0000000000ABCDEF");
}

TEST(Format, MissingOrMismatchedArgumentThrows) {
  EXPECT_THROW(format("%d %s", {1}), qv::EConvertError);
  const std::vector<std::pair<std::string, std::vector<qv::FormatArg>>> bad = {
      {"%d", {"text"}},   {"%d", {1.5}},      {"%s", {1}},       {"%s", {1.5}},
      {"%f", {1}},        {"%g", {"x"}},      {"%x", {2.0}},     {"%p", {1}},
      {"%d", {}},         {"%2:s", {"a"}},    {"%*d", {"a", 1}}, {"%*d", {3}},
      {"%", {1}},         {"%5", {1}},        {"%y", {1}},       {"%-", {1}},
      {"%.*f", {1.0, 1.0}}, {"%:d", {1}},
  };
  for (const auto& [fmt, args] : bad) {
    EXPECT_THROW(format(fmt, std::span<const qv::FormatArg>(args)), qv::EConvertError) << fmt;
  }
  try {
    format("%d %s", {1});
    FAIL();
  } catch (const qv::Exception& e) {
    EXPECT_EQ(e.Message(), "Format '%d %s' invalid or incompatible with argument");
  }
}
