// Bounded random-input runs over the definition loaders: random bytes and
// mutations of valid streams must end in an engine error or a consistent
// list, quickly, without reading out of bounds (run under ASan and UBSan).
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <type_traits>
#include <vector>

#include "engine/core/VLMTypesDefs.h"
#include "tests/support/engine/SchemaTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace schema_test;

std::vector<uint8_t> Mutated(std::mt19937& rng, const std::vector<std::vector<uint8_t>>& seeds) {
  std::vector<uint8_t> input;
  switch (rng() % 4) {
    case 0:
      input.resize(rng() % 96);
      for (auto& b : input) b = static_cast<uint8_t>(rng());
      break;
    default: {
      input = seeds[rng() % seeds.size()];
      const int flips = 1 + static_cast<int>(rng() % 6);
      for (int f = 0; f < flips && !input.empty(); ++f) {
        const size_t at = rng() % input.size();
        // Counts and sizes are the interesting bytes: push some to extremes.
        input[at] = rng() % 3 == 0 ? static_cast<uint8_t>(rng() % 2 ? 0xFF : 0x7F) : static_cast<uint8_t>(rng());
      }
      if (rng() % 5 == 0 && !input.empty()) input.resize(rng() % input.size());
      break;
    }
  }
  return input;
}

template <class List>
void Fuzz(uint32_t seed, const std::vector<std::vector<uint8_t>>& seeds, int rounds) {
  std::mt19937 rng(seed);
  std::chrono::steady_clock::duration slowest{};
  auto budget = qv::test::TestBudget::Steps(rounds);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    const std::vector<uint8_t> input = Mutated(rng, seeds);
    auto stream = StreamOf(input);
    List defs;
    const auto start = std::chrono::steady_clock::now();
    try {
      defs.LoadFromStream(*stream);
      // Whatever loaded saves and loads again to the same bytes.
      const std::vector<uint8_t> saved = Saved(defs);
      List again;
      again.LoadFromStream(*StreamOf(saved));
      ASSERT_EQ(Saved(again), saved) << "round " << round;
    } catch (const EVLMException&) {
      // A refused stream: fine.
    }
    if constexpr (std::is_same_v<List, TVLMFieldDefs>) {
      try {
        defs.CalculateOffsets();
      } catch (const EVLMException& e) {
        ASSERT_EQ(e.NativeError, 10440);
      }
    }
    slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
  }
  // Every input ends within a few milliseconds; the bound leaves room for a
  // loaded machine under the sanitizers.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count(), 250);
}

TEST(DefinitionsFuzz, FieldDefinitions) {
  std::vector<std::vector<uint8_t>> seeds;
  for (TVLMDataType dt : {dtChar, dtWideString, dtInteger, dtBLOB, dtExtended, dtVarBytes}) {
    TVLMFieldDefs defs;
    TVLMFieldDef* f = AddField(defs, "F", dt, 8);
    f->DefaultValue.SetAsString(dt == dtChar ? "abc" : "");
    AddField(defs, "Second", dtDate);
    seeds.push_back(Saved(defs));
  }
  Fuzz<TVLMFieldDefs>(7, seeds, 4000);
}

TEST(DefinitionsFuzz, IndexDefinitions) {
  std::vector<std::vector<uint8_t>> seeds;
  TVLMIndexDefs defs;
  TVLMIndexDef* d = defs.AddIndexDef();
  d->Name = "ByCall";
  d->SetColumns(List({"Call", "Freq"}), List({"DESC", ""}), List({"NO_CASE", ""}));
  seeds.push_back(Saved(defs));
  defs.AddIndexDef()->Name = "Empty";
  seeds.push_back(Saved(defs));
  Fuzz<TVLMIndexDefs>(8, seeds, 4000);
}

TEST(DefinitionsFuzz, ConstraintDefinitions) {
  std::vector<std::vector<uint8_t>> seeds;
  TVLMConstraintDefs defs;
  TVLMConstraintDefNotNull* nn = defs.AddNotNull();
  nn->TableName = "Log";
  nn->TargetName = "Call";
  seeds.push_back(Saved(defs));
  TVLMConstraintDefCheck* ck = defs.AddCheck();
  ck->TargetName = "Points";
  ck->MinValue.SetAsInteger(1);
  ck->MaxValue.SetAsString("99");
  seeds.push_back(Saved(defs));
  TVLMConstraintDefPrimary* pk = defs.AddPrimary();
  pk->TargetName = "PK";
  pk->Columns = {{"ID", 1}, {"Call", 2}};
  seeds.push_back(Saved(defs));
  Fuzz<TVLMConstraintDefs>(9, seeds, 4000);
}

}  // namespace
