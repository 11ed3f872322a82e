#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "crypto/CryptoTestSupport.h"
#include "crypto/VLMCipherUtil.h"
#include "tests/support/TestBudget.h"

using namespace qv;
using qv::test::Hex;

namespace {

std::string Decode(TStringFormatClass f, std::string_view text) {
  return f->ToStr(text.data(), static_cast<int32_t>(text.size()));
}

std::string Encode(TStringFormatClass f, std::string_view bytes) {
  return f->FromStr(bytes.data(), static_cast<int32_t>(bytes.size()));
}

template <class E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace

TEST(StringFormat, Base64Rfc4648Vectors) {
  // RFC 4648 section 10.
  const std::pair<const char*, const char*> cases[] = {{"f", "Zg=="},         {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (auto [plain, text] : cases) {
    EXPECT_EQ(StrToFormat(plain, fmtMIME64), text);
    EXPECT_EQ(StrToFormat(plain, fmtDEFAULT), text);
    EXPECT_EQ(FormatToStr(text, fmtMIME64), plain);
  }
  EXPECT_EQ(StrToFormat("", fmtMIME64), "");
  EXPECT_EQ(FormatToStr("", fmtMIME64), "");
}

TEST(StringFormat, Base64DecodingIsLenient) {
  const TStringFormatClass m = TStringFormat_MIME64::Class();
  EXPECT_EQ(Decode(m, "Zm9v\r\nYmFy"), "foobar");   // line breaks dropped
  EXPECT_EQ(Decode(m, "Zm9vYg"), "foob");           // missing fill added
  EXPECT_EQ(Decode(m, "Zm9.vYmFy"), "foobar");      // the raw decoder drops any other character
  EXPECT_EQ(Decode(m, "===="), "");                 // never a negative length
  EXPECT_EQ(Decode(m, "========"), "");
  EXPECT_EQ(Decode(m, "Z"), "");
  EXPECT_EQ(Decode(m, "QQ==QQ=="), std::string("A\0", 2));  // each '=' costs a byte
  // Through FormatToStr the text must hold only characters of the alphabet.
  EXPECT_EQ(MessageOf<EStringFormat>([] { FormatToStr("Zm9.v", fmtMIME64); }),
            "Input is not an valid MIME Base 64 Format.");
  // Every byte value survives a round trip.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Decode(m, Encode(m, all)), all);
}

TEST(StringFormat, Hexadecimal) {
  const TStringFormatClass h = TStringFormat_HEX::Class();
  const TStringFormatClass l = TStringFormat_HEXL::Class();
  EXPECT_EQ(Encode(h, "\x01\xAB\xFF"), "01ABFF");
  EXPECT_EQ(Encode(l, "\x01\xAB\xFF"), "01abff");
  const std::pair<const char*, const char*> cases[] = {
      {"01ABff", "01ABFF"},  {"1f 2A-3b", "1F2A3B"}, {"$1F", "1F"},  {"0x1F", "1F"}, {"0X1F", "1F"},
      {"12$34", "34"},       {"ABC", "ABC0"},        {"$1F$2", "1F20"}, {"zz", ""},   {"", ""},
  };
  for (auto [text, bytes] : cases) {
    EXPECT_EQ(Hex(Decode(h, text)), bytes) << text;
    EXPECT_EQ(Hex(Decode(l, text)), bytes) << text;
  }
  EXPECT_EQ(Hex(FormatToStr("0x1F", fmtHEX)), "1F");
  EXPECT_EQ(Hex(FormatToStr("{0a, 0b}", fmtHEXL)), "0A0B");
  EXPECT_EQ(MessageOf<EStringFormat>([] { FormatToStr("12G4", fmtHEX); }), "Input is not an valid Hexadecimal Format.");
  EXPECT_EQ(MessageOf<EStringFormat>([] { FormatToStr("12g4", fmtHEXL); }),
            "Input is not an valid Hexadecimal lowercase Format.");
}

TEST(StringFormat, UUAndXXLineLayout) {
  const TStringFormatClass uu = TStringFormat_UU::Class();
  const TStringFormatClass xx = TStringFormat_XX::Class();
  EXPECT_EQ(Encode(uu, "Cat"), "#0V%T");
  EXPECT_EQ(Encode(xx, "Cat"), "1Eq3o");
  EXPECT_EQ(Encode(uu, std::string(3, '\0')), "#````");
  // 46 bytes: a full line of 45 (count "M", 60 characters) and a line of 1.
  std::string bytes;
  for (int i = 0; i < 46; ++i) bytes += static_cast<char>(i);
  const std::string text = Encode(uu, bytes);
  EXPECT_EQ(text, "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL!+0``");
  EXPECT_EQ(text[61], '!');
  EXPECT_EQ(Decode(uu, text), bytes);
  // Line breaks between lines do no harm.
  EXPECT_EQ(Decode(uu, text.substr(0, 61) + "\r\n" + text.substr(61) + "\r\n"), bytes);

  std::mt19937 rng(5);
  for (size_t n : {0u, 1u, 2u, 44u, 45u, 90u, 91u, 200u}) {
    const std::string b = qv::test::RandomBytes(rng, n);
    EXPECT_EQ(Decode(uu, Encode(uu, b)), b) << n;
    EXPECT_EQ(Decode(xx, Encode(xx, b)), b) << n;
    EXPECT_EQ(FormatToStr(StrToFormat(b, fmtXX), fmtXX), b) << n;
  }
}

TEST(StringFormat, UUDecodingOfBadInput) {
  const TStringFormatClass uu = TStringFormat_UU::Class();
  // A count above 45 is refused.
  EXPECT_EQ(MessageOf<EStringFormat>([&] { Decode(uu, "N````"); }), "Input is not an valid UU Coding Format.");
  EXPECT_EQ(MessageOf<EStringFormat>([] { FormatToStr("z", fmtXX); }), "Input is not an valid XX Coding Format.");
  // A count promising more than the input holds stops at its end.
  EXPECT_EQ(Hex(Decode(uu, "M0V%T0V%T")), Hex("CatCat"));
  EXPECT_EQ(Hex(Decode(uu, "M0V%T0V%")), Hex("Cat"));
  EXPECT_EQ(Hex(Decode(uu, "M0V%T0V")), Hex("Cat"));
  EXPECT_EQ(Decode(uu, "M"), "");
  // A count of zero is an empty line.
  EXPECT_EQ(Decode(uu, "`#0V%T"), "Cat");
}

TEST(StringFormat, XXCountBeyondTheInputStopsAtItsEnd) {
  // "h" is the XX count character for 45 bytes; "1Eq3o" is "Cat".
  const TStringFormatClass xx = TStringFormat_XX::Class();
  auto decode = [&](std::string_view text) { return xx->ToStr(text.data(), static_cast<int32_t>(text.size())); };
  EXPECT_EQ(decode("1Eq3o"), "Cat");
  EXPECT_EQ(decode("hEq3oEq3o"), "CatCat");
  EXPECT_EQ(decode("hEq3oEq3"), "Cat");
  EXPECT_EQ(decode("hEq3oE"), "Cat");
  EXPECT_EQ(decode("h"), "");
}

TEST(StringFormat, RegistryAndErrors) {
  EXPECT_EQ(StringFormat(fmtDEFAULT), TStringFormat_MIME64::Class());
  EXPECT_EQ(StringFormat(fmtUU), TStringFormat_UU::Class());
  EXPECT_EQ(StringFormat(77), nullptr);
  const std::pair<int32_t, const char*> names[] = {{fmtCOPY, "copy Input to Output"}, {fmtHEX, "Hexadecimal"},
                                                    {fmtHEXL, "Hexadecimal lowercase"}, {fmtMIME64, "MIME Base 64"},
                                                    {fmtUU, "UU Coding"},              {fmtXX, "XX Coding"}};
  for (auto [id, name] : names) {
    ASSERT_NE(StringFormat(id), nullptr) << id;
    EXPECT_EQ(StringFormat(id)->Name(), name);
    EXPECT_EQ(StringFormat(id)->Format(), id);
  }
  EXPECT_EQ(StrToFormat("abc", fmtCOPY), "abc");
  EXPECT_EQ(StrToFormat("abc", 0), "");
  EXPECT_EQ(FormatToStr("abc", 0), "");
  EXPECT_EQ(MessageOf<EStringFormat>([] { StrToFormat("abc", 77); }), "String Format \"77\" not exists.");
  EXPECT_EQ(MessageOf<EStringFormat>([] { FormatToStr("abc", -5); }), "String Format \"-5\" not exists.");
  EXPECT_EQ(StrToFormat("abc", -1, fmtHEX), "616263");  // negative size: zero-terminated

  // A format that refuses everything, registered under a new id and then
  // replaced by one of the same id.
  struct Refusing : TStringFormat {
    int32_t Format() const override { return 990; }
    bool IsValid(const char*, int32_t, bool) const override { return false; }
    std::string_view ClassName() const override { return "TStringFormat_Refusing"; }
  };
  struct Accepting : Refusing {
    bool IsValid(const char*, int32_t, bool) const override { return true; }
  };
  static const Refusing refusing;
  static const Accepting accepting;
  RegisterStringFormat(&refusing);
  EXPECT_EQ(StringFormat(990)->Name(), "Refusing");
  EXPECT_EQ(MessageOf<EStringFormat>([] { StrToFormat("abc", 990); }), "Input can not be convert to Refusing Format.");
  EXPECT_EQ(MessageOf<EStringFormat>([] { FormatToStr("abc", 990); }), "Input is not an valid Refusing Format.");
  RegisterStringFormat(&accepting);
  EXPECT_EQ(StringFormat(990), &accepting);
  EXPECT_EQ(StrToFormat("abc", 990), "abc");
}

TEST(StringFormat, DecodersSurviveRandomInput) {
  // Bounded random input, half of it drawn from each format's own alphabet,
  // through every decoder and every validated conversion.
  std::mt19937 rng(1234);
  const TStringFormatClass formats[] = {TStringFormat::Class(), TStringFormat_HEX::Class(), TStringFormat_HEXL::Class(),
                                        TStringFormat_MIME64::Class(), TStringFormat_UU::Class(),
                                        TStringFormat_XX::Class()};
  for (TStringFormatClass f : formats) {
    const std::string_view alphabet = f->CharTable();
    auto budget = qv::test::TestBudget::Steps(1500);
    for (int64_t iter = 0; budget.Continue(iter); ++iter) {
      const size_t n = rng() % 300;
      std::string text(n, '\0');
      const bool fromAlphabet = !alphabet.empty() && (iter % 2 == 0);
      for (auto& c : text)
        c = fromAlphabet ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() & 0xFF);
      try {
        const std::string bytes = Decode(f, text);
        EXPECT_LE(bytes.size(), n);
      } catch (const EStringFormat&) {
      }
      try {
        FormatToStr(text, f->Format());
      } catch (const EStringFormat&) {
      }
      EXPECT_EQ(FormatToStr(StrToFormat(text, f->Format()), f->Format()), text);
    }
  }
}
