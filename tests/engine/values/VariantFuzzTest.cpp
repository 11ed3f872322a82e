// Bounded random-input run over TVLMVariant::LoadFromStream: random bytes and
// mutated valid stream forms must load or raise an engine error, never read
// or allocate out of bounds (run under ASan and UBSan). Whatever loads must
// survive the value's other operations and stream back to the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMVariant.h"
#include "platform/host/HostVariant.h"
#include "tests/support/TestBudget.h"

namespace {

std::vector<uint8_t> FormOf(const TVLMVariant& v) {
  TVLMMemoryStream s;
  v.SaveToStream(s);
  std::vector<uint8_t> out(static_cast<size_t>(s.Size()));
  s.SetPosition(0);
  s.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

// Runs op and accepts only engine errors and the host's arithmetic and
// conversion errors as failures.
template <class Op>
void Tolerant(Op op) {
  try {
    op();
  } catch (const qv::Exception&) {
  }
}

}  // namespace

TEST(VariantFuzz, LoadFromStreamSurvivesRandomInput) {
  std::mt19937 rng(20240305);
  std::vector<std::vector<uint8_t>> seeds;
  {
    TVLMVariant v;
    v.SetAsString("call sign");
    seeds.push_back(FormOf(v));
    v.Clear(0);
    v.SetAsWideString(u"wide text");
    seeds.push_back(FormOf(v));
    v.Clear(0);
    v.SetAsTimeStamp({738950, 25689000});
    seeds.push_back(FormOf(v));
    v.Clear(0);
    v.SetAsExtended(1.25L);
    seeds.push_back(FormOf(v));
    v.Clear(0);
    v.SetBuffer("memo text", 9, bdtMemo, true);
    seeds.push_back(FormOf(v));
    TVLMVariant n(bdtInteger);
    seeds.push_back(FormOf(n));
  }
  int loaded = 0;
  auto budget = qv::test::TestBudget::Steps(4000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    std::vector<uint8_t> input;
    if (round % 3 == 0) {
      input.resize(rng() % 24);
      for (auto& b : input) b = static_cast<uint8_t>(rng());
      // Mostly known types, so that loads get past the header.
      if (!input.empty()) input[0] = static_cast<uint8_t>(rng() % 27);
      if (input.size() > 1 && rng() % 2) input[1] = 0;
    } else {
      input = seeds[rng() % seeds.size()];
      const int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits; ++e) {
        switch (rng() % 4) {
          case 0:
            if (!input.empty()) input[rng() % input.size()] = static_cast<uint8_t>(rng());
            break;
          case 1:
            if (!input.empty()) input.resize(rng() % input.size());
            break;
          case 2: input.push_back(static_cast<uint8_t>(rng())); break;
          case 3:
            if (input.size() > 2) input[0] = static_cast<uint8_t>(rng() % 26);
            break;
        }
      }
    }
    TVLMMemoryStream s;
    if (!input.empty()) s.WriteBuffer(input.data(), static_cast<int64_t>(input.size()));
    s.SetPosition(0);
    TVLMVariant v;
    try {
      v.LoadFromStream(s);
    } catch (const EVLMException& e) {
      EXPECT_TRUE(e.NativeError >= 10183 && e.NativeError <= 10186) << e.what();
      EXPECT_TRUE(v.IsNull());
      continue;
    }
    ++loaded;
    // The form read back is the form written.
    const std::vector<uint8_t> again = FormOf(v);
    ASSERT_LE(again.size(), input.size());
    EXPECT_TRUE(std::equal(again.begin(), again.end(), input.begin()));
    Tolerant([&] { (void)v.GetAsString(); });
    Tolerant([&] { (void)v.GetAsWideString(); });
    Tolerant([&] { (void)v.GetAsInteger(); });
    Tolerant([&] { (void)v.Compare(v); });
    Tolerant([&] {
      qv::HostVariant h;
      v.GetAsVariant(h);
    });
    TVLMVariant w;
    w.Assign(v, true);
    Tolerant([&] { w.Add(v); });
    const auto target = static_cast<TVLMBaseDataType>(rng() % 26);
    w.TryCastTo(target);
    Tolerant([&] { v.CastTo(target); });
  }
  EXPECT_GT(loaded, 100);
}
