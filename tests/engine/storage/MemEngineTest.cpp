// The memory engine's page store and record slots: allocation, the stream
// form of the allocation bits, and record numbers, navigation and estimates
// against a model of slots with deleted flags.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMStreams.h"
#include "engine/storage/VLMMemEngine.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

using qv::test::RaisedCode;

// ------------------------------------------------------------ page store

// The B-tree tests run on this store too; here: numbers and refusals.
TEST(MemoryPageManager, FreedNumbersComeBackLowestFirstAndPagesNotAllocatedAreRefused) {
  TVLMMemoryPageManager pm;
  EXPECT_EQ(pm.PageDataSize, 4096);
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(TVLMHeldPage(&pm, pm.NewPage(0, 0))->PageNo, i);
  pm.Commit(0);
  pm.RemovePage(0, 2);
  pm.RemovePage(0, 1);
  pm.Commit(0);
  EXPECT_EQ(pm.GetAllocatedCount(), 2);
  EXPECT_EQ(RaisedCode([&] { pm.GetPage(0, 1, false, kVLMAnyPageType); }), 10392);
  EXPECT_EQ(TVLMHeldPage(&pm, pm.NewPage(0, 0))->PageNo, 1);
  pm.Commit(0);
  TVLMPage stray(&pm);
  stray.PageNo = 2;
  stray.AllocateBuffer();
  EXPECT_EQ(RaisedCode([&] { pm.ReadPage(&stray); }), 10392);
  EXPECT_EQ(RaisedCode([&] { pm.WritePage(&stray); }), 10393);
  for (int32_t pageNo : {2, 900}) EXPECT_EQ(RaisedCode([&] { pm.FreePage(pageNo); }), 10704) << pageNo;
}

TEST(MemoryPageManager, AllocationBitsLoadBackOrRaiseOnlyEngineErrors) {
  TVLMMemoryPageManager pm;
  for (int32_t i = 0; i < 12; ++i) TVLMHeldPage(&pm, pm.NewPage(0, 0));
  pm.Commit(0);
  pm.RemovePage(0, 3);
  pm.Commit(0);
  TVLMMemoryStream saved;
  pm.SaveToStream(saved);

  TVLMMemoryPageManager copy;
  saved.SetPosition(0);
  copy.LoadFromStream(saved);
  EXPECT_EQ(copy.GetAllocatedCount(), 11);
  EXPECT_FALSE(copy.IsAllocated(3));
  EXPECT_TRUE(copy.IsAllocated(11));
  {
    TVLMHeldPage page(&copy, copy.NewPage(0, 0));
    EXPECT_EQ(page->PageNo, 3);
  }
  copy.Commit(0);

  // Damaged forms: a bounded run of random and mutated streams. A load
  // either succeeds and leaves a usable store, or raises an engine error.
  std::vector<uint8_t> valid(static_cast<size_t>(saved.Size()));
  saved.SetPosition(0);
  saved.ReadBuffer(valid.data(), static_cast<int64_t>(valid.size()));
  std::mt19937 random(25);
  auto budget = qv::test::TestBudget::Steps(10000);
  int64_t loaded = 0;
  for (uint64_t i = 0; budget.Continue(i); ++i) {
    std::vector<uint8_t> bytes = valid;
    if (i % 3 == 0) bytes.assign(random() % 24, 0);
    for (uint8_t& b : bytes)
      if (random() % 4 == 0) b = static_cast<uint8_t>(random());
    bytes.resize(bytes.size() - std::min<size_t>(bytes.size(), random() % 3));
    TVLMMemoryStream stream;
    if (!bytes.empty()) stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(0);
    try {
      copy.LoadFromStream(stream);
      ++loaded;
      for (int32_t n = 0; n < std::min(copy.GetPageCount(), 40); ++n)
        if (copy.IsAllocated(n)) {
          EXPECT_EQ(TVLMHeldPage(&copy, copy.GetPage(0, n, false, kVLMAnyPageType))->Buffer[0], 0);
        }
      TVLMHeldPage(&copy, copy.NewPage(0, 0));
      copy.Commit(0);
    } catch (const EVLMException&) {
    }
  }
  EXPECT_GT(loaded, 0);
}

// ---------------------------------------------------------- record slots

constexpr int32_t kRecordSize = 12;

std::vector<uint8_t> RecordOf(uint32_t value) {
  std::vector<uint8_t> record(kRecordSize, 0);
  VLMPutU32LE(record.data(), value);
  return record;
}

// One request of the record manager from a position.
TVLMNavigationRequest Step(TVLMMemoryRecordManager& records, uint8_t mode, std::optional<int64_t> slot,
                           bool atEnd, uint8_t* buffer) {
  TVLMNavigationRequest request;
  request.Mode = mode;
  request.RecordBuffer = buffer;
  if (slot)
    request.RecordID = TVLMMemoryRecordManager::RecordIDOf(*slot);
  else
    (atEnd ? request.Eof : request.Bof) = true;
  records.GetRecord(0, request);
  return request;
}

TEST(MemoryRecordManager, RecordNumbersAreSlotsUntilTheFirstDeleteAndTheTopSlotIsReused) {
  TVLMMemoryRecordManager records(kRecordSize, 4);
  TVLMRecordID id;
  for (uint32_t v = 0; v < 6; ++v) {
    ASSERT_TRUE(records.InsertRecord(0, RecordOf(v).data(), id));
    EXPECT_EQ(TVLMMemoryRecordManager::SlotOf(id), v);
  }
  for (int64_t slot = 0; slot < 6; ++slot) EXPECT_EQ(records.RecordNoOfSlot(slot), slot + 1);
  EXPECT_TRUE(records.GetNoDeletions());

  struct Delete {
    int64_t Slot;
    bool Done;
    int32_t First, Last;
    std::vector<int64_t> RecordNos;  // of slots 0..5
  };
  const Delete deletes[] = {
      {5, true, 0, 4, {1, 2, 3, 4, 5, 5}},
      {5, false, 0, 4, {1, 2, 3, 4, 5, 5}},   // already gone
      {0, true, 1, 4, {0, 1, 2, 3, 4, 4}},
      {2, true, 1, 4, {0, 1, 1, 2, 3, 3}},
      {4, true, 1, 3, {0, 1, 1, 2, 2, 2}},
  };
  for (const Delete& d : deletes) {
    EXPECT_EQ(records.DeleteRecord(0, TVLMMemoryRecordManager::RecordIDOf(d.Slot)), d.Done) << d.Slot;
    EXPECT_EQ(records.GetFirstSlot(), d.First) << d.Slot;
    EXPECT_EQ(records.GetLastSlot(), d.Last) << d.Slot;
    for (int64_t slot = 0; slot < 6; ++slot)
      EXPECT_EQ(records.RecordNoOfSlot(slot), d.RecordNos[static_cast<size_t>(slot)]) << d.Slot << "/" << slot;
  }
  // The next insert takes the slot above the new LastSlot.
  ASSERT_TRUE(records.InsertRecord(0, RecordOf(40).data(), id));
  EXPECT_EQ(TVLMMemoryRecordManager::SlotOf(id), 4);
  // Updates of a deleted slot or one outside the live range change nothing.
  for (int64_t slot : {0, 2, 5})
    EXPECT_FALSE(records.UpdateRecord(0, RecordOf(9).data(), TVLMMemoryRecordManager::RecordIDOf(slot))) << slot;
  EXPECT_EQ(records.GetRecordNo(0, TVLMMemoryRecordManager::RecordIDOf(0)), -1);
}

// Model: one entry per slot ever used, with its value or nothing when the
// slot is deleted.
TEST(MemoryRecordManager, SlotsNumbersAndNavigationAgreeWithAModelOfDeletedFlags) {
  TVLMMemoryRecordManager records(kRecordSize, 7);
  std::vector<std::optional<uint32_t>> model;
  std::mt19937 random(26);
  std::vector<uint8_t> buffer(kRecordSize);
  auto budget = qv::test::TestBudget::Steps(10000);
  uint32_t next = 0;
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    std::vector<int64_t> live;
    for (size_t s = 0; s < model.size(); ++s)
      if (model[s]) live.push_back(static_cast<int64_t>(s));
    const uint32_t choice = random() % 10;
    // Deletes outweigh inserts now and then, so the table also runs empty.
    const bool shrinking = (step / 400) % 3 == 2;
    if (live.empty() || choice < (shrinking ? 2u : 6u)) {
      TVLMRecordID id;
      ASSERT_TRUE(records.InsertRecord(0, RecordOf(++next).data(), id));
      const int64_t slot = TVLMMemoryRecordManager::SlotOf(id);
      ASSERT_EQ(slot, live.empty() ? 0 : live.back() + 1);
      if (static_cast<size_t>(slot) >= model.size()) model.resize(static_cast<size_t>(slot) + 1);
      model[static_cast<size_t>(slot)] = next;
    } else if (choice < 7) {
      const int64_t slot = live[random() % live.size()];
      ASSERT_TRUE(records.UpdateRecord(0, RecordOf(++next).data(), TVLMMemoryRecordManager::RecordIDOf(slot)));
      model[static_cast<size_t>(slot)] = next;
    } else {
      const int64_t slot = live[random() % live.size()];
      ASSERT_TRUE(records.DeleteRecord(0, TVLMMemoryRecordManager::RecordIDOf(slot)));
      model[static_cast<size_t>(slot)].reset();
    }
    if (step % 50 != 49) continue;

    live.clear();
    for (size_t s = 0; s < model.size(); ++s)
      if (model[s]) live.push_back(static_cast<int64_t>(s));
    const auto count = static_cast<int64_t>(live.size());
    ASSERT_EQ(records.RecordCount, count);
    for (int64_t i = 0; i < count; ++i) {
      const int64_t slot = live[static_cast<size_t>(i)];
      ASSERT_EQ(records.SlotOfRecordIndex(i), slot) << "step " << step;
      ASSERT_EQ(records.RecordNoOfSlot(slot), i + 1) << "step " << step;
      const int64_t estimate = records.GetRecordNo(0, TVLMMemoryRecordManager::RecordIDOf(slot));
      ASSERT_TRUE(estimate >= 1 && estimate <= count) << estimate << " of " << count;
    }
    EXPECT_EQ(records.SlotOfRecordIndex(count), -1);
    // Both directions, from the ends and from every record.
    std::vector<int64_t> forward, backward;
    std::optional<int64_t> at;
    for (TVLMNavigationRequest r; (r = Step(records, 1, at, false, buffer.data())).Result == kVLMNavOK;) {
      at = TVLMMemoryRecordManager::SlotOf(r.RecordID);
      ASSERT_EQ(VLMGetU32LE(buffer.data()), *model[static_cast<size_t>(*at)]);
      forward.push_back(*at);
    }
    at.reset();
    for (TVLMNavigationRequest r; (r = Step(records, 2, at, true, buffer.data())).Result == kVLMNavOK;) {
      at = TVLMMemoryRecordManager::SlotOf(r.RecordID);
      backward.insert(backward.begin(), *at);
    }
    ASSERT_EQ(forward, live);
    ASSERT_EQ(backward, live);
    // From a deleted slot the walk goes on to the live neighbours.
    for (size_t s = 0; s < model.size(); ++s) {
      if (model[s]) continue;
      const auto slot = static_cast<int64_t>(s);
      auto after = std::upper_bound(live.begin(), live.end(), slot);
      const TVLMNavigationRequest next = Step(records, 1, slot, false, buffer.data());
      EXPECT_EQ(next.Result == kVLMNavOK, after != live.end());
      if (after != live.end()) {
        EXPECT_EQ(TVLMMemoryRecordManager::SlotOf(next.RecordID), *after);
      }
      EXPECT_EQ(Step(records, 0, slot, false, buffer.data()).Result, kVLMNavError);
    }
  }
}

}  // namespace
