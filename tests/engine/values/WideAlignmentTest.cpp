#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/core/VLMCasts.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/core/VLMVariant.h"

namespace {

// Wide fields of record buffers and index keys often start at odd offsets.
// Puts UTF-16LE text (with its terminator) one byte past an even address.
const uint8_t* OddCopy(std::vector<uint8_t>& store, const char16_t* text) {
  const size_t units = std::char_traits<char16_t>::length(text) + 1;
  store.assign(units * 2 + 2, 0);
  uint8_t* p = store.data() + 1;
  for (size_t i = 0; i < units; ++i) {
    p[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    p[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return p;
}

TEST(WideAlignment, ValuesAtOddOffsetsCompareAndConvert) {
  std::vector<uint8_t> a, b;
  const uint8_t* pa = OddCopy(a, u"abc");
  const uint8_t* pb = OddCopy(b, u"ABD");
  EXPECT_EQ(VLMCompareValues(pa, pb, bdtWideString, bdtWideString, false, false, -1, true), 1);
  EXPECT_EQ(VLMCompareValues(pb, pa, bdtWideString, bdtWideString, false, false, -1, true), 2);
  EXPECT_EQ(VLMCompareValues(pa, pa, bdtWideString, bdtWideString, false, false, -1, false), 0);

  TVLMVariant v;
  v.SetData(pa, bdtWideString);
  EXPECT_EQ(v.GetAsWideString(), u"abc");
  EXPECT_EQ(v.GetAsString(), "abc");
}

}  // namespace
