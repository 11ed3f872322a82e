#include <gtest/gtest.h>

#include "net/netcode.h"
#include "net/netutil.h"

using namespace qv::net;

TEST(NetUtil, SeparateAndFetchTrimAndCutAtFirstDelimiter) {
  EXPECT_EQ(SeparateLeft(" a : b : c ", ":"), "a");
  EXPECT_EQ(SeparateRight(" a : b : c ", ":"), "b : c");
  EXPECT_EQ(SeparateLeft("abc", ":"), "abc");
  EXPECT_EQ(SeparateRight("abc", ":"), "abc");
  EXPECT_EQ(SeparateRight("\tx\r\n", "?"), "x");

  std::string v = "1.2.3";
  EXPECT_EQ(Fetch(v, "."), "1");
  EXPECT_EQ(v, "2.3");
  EXPECT_EQ(Fetch(v, "."), "2");
  EXPECT_EQ(Fetch(v, "."), "3");
  EXPECT_EQ(v, "");
}

TEST(NetUtil, SplitUrlParts) {
  TUrlParts u = SplitUrl("lookup.example/call?a=1&b=2");
  EXPECT_EQ(u.Prot, "http");
  EXPECT_EQ(u.Host, "lookup.example");
  EXPECT_EQ(u.Port, "80");
  EXPECT_EQ(u.Path, "/call");
  EXPECT_EQ(u.Para, "a=1&b=2");
  EXPECT_EQ(u.URI, "/call?a=1&b=2");

  u = SplitUrl("http://user:pw@host:8080/p/q?x=@y");
  EXPECT_EQ(u.User, "user");
  EXPECT_EQ(u.Pass, "pw");
  EXPECT_EQ(u.Host, "host");
  EXPECT_EQ(u.Port, "8080");
  EXPECT_EQ(u.URI, "/p/q?x=@y");

  // An "@" behind the first "/" belongs to the path.
  u = SplitUrl("http://host/a@b");
  EXPECT_EQ(u.User, "");
  EXPECT_EQ(u.Host, "host");
  EXPECT_EQ(u.URI, "/a@b");

  u = SplitUrl("http://[fe80::1]:8443/x");
  EXPECT_EQ(u.Host, "fe80::1");
  EXPECT_EQ(u.Port, "8443");

  EXPECT_EQ(SplitUrl("HTTPS://h/").Port, "443");
  EXPECT_EQ(SplitUrl("https://h").Port, "443");
  EXPECT_EQ(SplitUrl("ftp://h/").Port, "21");
  EXPECT_EQ(SplitUrl("http://h").URI, "/");
  EXPECT_EQ(SplitUrl("http:///x").Host, "localhost");
  EXPECT_EQ(SplitUrl("http://u@h/").User, "u");
  // Nothing is decoded or escaped.
  EXPECT_EQ(SplitUrl("http://h/a%20b c?q=1 2").URI, "/a%20b c?q=1 2");
  // 8-bit bytes pass unchanged.
  EXPECT_EQ(SplitUrl("http://h/call?c=\xD8").URI, "/call?c=\xD8");
}

TEST(NetUtil, AddressTexts) {
  EXPECT_TRUE(IsIP("127.0.0.1"));
  EXPECT_TRUE(IsIP("255.255.255.255"));
  EXPECT_FALSE(IsIP("1.2.3"));
  EXPECT_FALSE(IsIP("1.2.3.256"));
  EXPECT_FALSE(IsIP("1.2.3.4.5"));
  EXPECT_FALSE(IsIP("1.2.3.+4"));
  EXPECT_FALSE(IsIP("1.2. 3.4"));
  EXPECT_FALSE(IsIP("a.b.c.d"));

  EXPECT_TRUE(IsIP6("::1"));
  EXPECT_TRUE(IsIP6("fe80::1%3"));
  EXPECT_TRUE(IsIP6("2001:db8:0:0:0:0:0:1"));
  EXPECT_FALSE(IsIP6("1:2:3:4:5:6:7:8:9"));
  EXPECT_FALSE(IsIP6("1::2::3"));
  EXPECT_FALSE(IsIP6("1:2:"));
  EXPECT_FALSE(IsIP6("12345::1"));
  EXPECT_FALSE(IsIP6("fe80::1%xyz"));
  EXPECT_FALSE(IsIP6("127.0.0.1"));
  // A host name of hexadecimal letters is no address.
  EXPECT_FALSE(IsIP6("cafe"));
}

TEST(NetUtil, PosCRLFFindsEarliestLineEnd) {
  struct Case {
    const char* text;
    int32_t pos;
    const char* term;
  };
  const Case cases[] = {
      {"ab\r\ncd", 3, "\r\n"}, {"ab\n\rcd", 3, "\n\r"}, {"ab\rcd\n", 3, "\r"},
      {"ab\ncd\r", 3, "\n"},   {"abc", 0, ""},         {"\r", 1, "\r"},
  };
  for (const auto& c : cases) {
    std::string t = "x";
    EXPECT_EQ(PosCRLF(c.text, t), c.pos) << c.text;
    EXPECT_EQ(t, c.term) << c.text;
  }
}

TEST(NetUtil, BinaryHelpers) {
  EXPECT_EQ(IPToBin("10.1.2.255"), std::string("\x0A\x01\x02\xFF", 4));
  EXPECT_EQ(IPToBin("1.x.3.4"), std::string("\x01\x00\x03\x04", 4));
  EXPECT_EQ(CodeInt(0x1F90), std::string("\x1F\x90", 2));
  EXPECT_EQ(DecodeInt(std::string("\x00\x1F\x90", 3), 2), 0x1F90);
  EXPECT_EQ(DecodeInt("\x05", 1), 0x0500);
  EXPECT_EQ(DecodeInt("", 1), 0);
}

TEST(NetUtil, TickDeltaAcrossTheWrap) {
  EXPECT_EQ(TickDelta(100, 100), 0u);
  EXPECT_EQ(TickDelta(100, 350), 250u);
  EXPECT_EQ(TickDelta(0xFFFFFF00u, 0x00000010u), 0x110u);
  const uint32_t a = GetTick();
  const uint32_t b = GetTick();
  EXPECT_LT(TickDelta(a, b), 1000u);
}

TEST(NetUtil, Base64FollowsRfc4648) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
  EXPECT_EQ(Base64Encode("user:pass"), "dXNlcjpwYXNz");
}

TEST(NetUtil, ParseHexDigitsOnlyUpToTheLimit) {
  int32_t v = -1;
  EXPECT_TRUE(ParseHex("fF", 0xFFFF, v));
  EXPECT_EQ(v, 255);
  EXPECT_TRUE(ParseHex("7FFFFFFF", 0x7FFFFFFF, v));
  EXPECT_EQ(v, 0x7FFFFFFF);
  EXPECT_FALSE(ParseHex("80000000", 0x7FFFFFFF, v));
  EXPECT_FALSE(ParseHex("10000", 0xFFFF, v));
  EXPECT_FALSE(ParseHex("", 0xFFFF, v));
  EXPECT_FALSE(ParseHex("1g", 0xFFFF, v));
  EXPECT_FALSE(ParseHex(" 1", 0xFFFF, v));
  EXPECT_EQ(v, 0x7FFFFFFF);  // unchanged on failure
}
