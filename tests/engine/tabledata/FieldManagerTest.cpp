// Autoincrement counters, last values per session and defaults of the field
// manager.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "engine/core/VLMFieldManager.h"
#include "engine/core/VLMTypesDefs.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace {

using schema_test::AddField;
using schema_test::RaisedCode;
using schema_test::TestSession;

struct Counter {
  TVLMDataType Type;
  int64_t Increment, Initial, Min, Max;
  bool Cycled;
  // Values handed out, then whether the next one raises 20160.
  std::vector<int64_t> Values;
  bool ThenFails;
};

TEST(FieldManager, CountersCountWrapAndStopAtTheirLimit) {
  const Counter cases[] = {
      {dtAutoinc, 0, 0, 0, INT64_MAX, false, {1, 2, 3}, false},
      {dtAutoinc, 1, 0, 1, 3, true, {1, 2, 3, 1, 2}, false},
      {dtAutoinc, 1, 0, 0, 3, false, {1, 2, 3}, true},
      {dtAutoincLargeInt, 5, 1LL << 40, 0, 0, false, {(1LL << 40) + 5, (1LL << 40) + 10}, false},
      // The field's own width and 64 bits are limits too.
      {dtAutoincByte, 1, 253, 0, INT64_MAX, false, {254, 255}, true},
      {dtAutoincByte, 1, 254, 1, INT64_MAX, true, {255, 1, 2}, false},
      {dtAutoincShortInt, -1, -127, 0, 0, false, {-128}, true},
      {dtAutoincLargeInt, 1, INT64_MAX - 1, 0, 0, false, {INT64_MAX}, true},
  };
  for (const Counter& c : cases) {
    TVLMBaseFieldManager manager(nullptr);
    TVLMFieldDef* f = AddField(*manager.FieldDefs, "N", c.Type);
    f->Increment = c.Increment;
    f->InitialValue = c.Initial;
    f->MinValue = c.Min;
    f->MaxValue = c.Max;
    f->Cycled = c.Cycled;
    manager.CalculateOffsets();
    manager.ResetAutoincValues();
    std::vector<int64_t> got;
    for (size_t i = 0; i < c.Values.size(); ++i) got.push_back(manager.IncrementAutoincValue(0));
    EXPECT_EQ(got, c.Values) << int(c.Type) << " from " << c.Initial;
    EXPECT_EQ(RaisedCode([&] { manager.IncrementAutoincValue(0); }), c.ThenFails ? 20160 : 0)
        << int(c.Type) << " from " << c.Initial;
  }
}

TEST(FieldManager, GivenValuesMoveTheCounterOnlyUpwards) {
  struct Given {
    TVLMDataType Type;
    int64_t Value;
    int64_t CounterAfter;
  };
  // The counter stands at 5 before each value is given.
  const Given cases[] = {
      {dtAutoinc, 100, 100},
      {dtAutoinc, 3, 5},
      {dtAutoincInteger, -5, 5},   // read with its sign, not as 4294967291
      {dtAutoincShortInt, -1, 5},  // not 255
      {dtAutoincByte, 200, 200},
      {dtAutoincCardinal, 4000000000, 4000000000},
  };
  for (const Given& c : cases) {
    TVLMBaseFieldManager manager(nullptr);
    AddField(*manager.FieldDefs, "N", c.Type)->InitialValue = 5;
    manager.CalculateOffsets();
    manager.ResetAutoincValues();
    TestSession session;
    std::vector<uint8_t> record(static_cast<size_t>(manager.FieldDefs->GetRecordBufferSize()), 0);
    const TVLMFieldDef& f = *manager.FieldDefs->GetFieldDef(0);
    std::memcpy(record.data() + f.BufferOffset, &c.Value, static_cast<size_t>(f.DataSize));
    manager.ApplyAutoincValues(&session, record.data());
    EXPECT_EQ(manager.AutoincValues[0], c.CounterAfter) << int(c.Type) << " " << c.Value;
    // The next generated value follows the counter; a null field takes it.
    VLMSetBit(true, 0, record.data());
    manager.ApplyAutoincValues(&session, record.data());
    EXPECT_FALSE(VLMGetBit(0, record.data()));
    EXPECT_EQ(manager.GetSequenceLastValue(&session, 0), c.CounterAfter + 1);
  }
}

TEST(FieldManager, LastValueBeforeAnyValueDependsOnTheSessionMode) {
  TVLMBaseFieldManager manager(nullptr);
  AddField(*manager.FieldDefs, "ID", dtAutoinc)->InitialValue = 41;
  AddField(*manager.FieldDefs, "Call", dtString, 10);
  manager.CalculateOffsets();
  manager.ResetAutoincValues();
  TestSession single, multi;
  multi.MultiUser = true;
  EXPECT_EQ(manager.GetSequenceLastValue(&single, 0), 41);
  EXPECT_EQ(manager.GetSequenceLastValue(&single, 1), 0);
  EXPECT_EQ(RaisedCode([&] { manager.GetSequenceLastValue(&multi, 0); }), 30012);
  EXPECT_EQ(manager.GetNextAutoincValue(&multi, 0), 42);
  EXPECT_EQ(manager.GetNextAutoincValue(&single, 0), 43);
  EXPECT_EQ(manager.GetSequenceLastValue(&multi, 0), 42);
  EXPECT_EQ(RaisedCode([&] { manager.IncrementAutoincValue(2); }), 30402);

  // The counter block round-trips; a block beyond its buffer is refused.
  std::vector<uint8_t> block(static_cast<size_t>(manager.AutoincValuesSize()));
  int64_t offset = 0;
  manager.SaveAutoincValues(block.data(), static_cast<int64_t>(block.size()), offset);
  manager.ResetAutoincValues();
  offset = 0;
  manager.LoadAutoincValues(block.data(), static_cast<int64_t>(block.size()), offset);
  EXPECT_EQ(manager.AutoincValues, (std::vector<int64_t>{43, 0}));
  offset = 0;
  EXPECT_EQ(RaisedCode([&] { manager.LoadAutoincValues(block.data(), 11, offset); }), 30660);
}

TEST(FieldManager, DefaultsAreCastAndCutToTheirField) {
  TVLMBaseFieldManager manager(nullptr);
  AddField(*manager.FieldDefs, "Mode", dtString, 3)->DefaultValue.SetAsString("PHONE");
  AddField(*manager.FieldDefs, "Points", dtInteger)->DefaultValue.SetAsString("7");
  AddField(*manager.FieldDefs, "Notes", dtString, 8);
  manager.CalculateOffsets();
  std::vector<uint8_t> record(static_cast<size_t>(manager.FieldDefs->GetRecordBufferSize()) + 8, 0xEE);
  record[0] = 0xFF;
  manager.ApplyDefaultValues(nullptr, record.data());
  const TVLMFieldDefs& f = *manager.FieldDefs;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data() + f.GetFieldDef(0)->BufferOffset)), "PHO");
  int32_t points = 0;
  std::memcpy(&points, record.data() + f.GetFieldDef(1)->BufferOffset, 4);
  EXPECT_EQ(points, 7);
  EXPECT_EQ(record[0], 0xFC);  // Notes has no default and stays null
  EXPECT_EQ(record[static_cast<size_t>(f.GetRecordBufferSize())], 0xEE);
}

}  // namespace

// The record layouts work out once into runs of bytes; reading and writing a
// record through them gives what a walk over the fields gives: null bitmap
// and each field's stored bytes, a BLOB reference narrower in the record
// than in the buffer with the rest of the buffer field zeroed.
TEST(FieldManager, RecordLayoutRunsGiveWhatAFieldByFieldCopyGives) {
  const std::vector<std::vector<TVLMDataType>> tables = {
      {dtInteger, dtString, dtLogical},
      {dtBLOB, dtInteger, dtMemo, dtMemo, dtString},
      {dtString, dtBLOB},
      {dtBLOB},
  };
  for (const auto& types : tables) {
    TVLMBaseFieldManager manager(nullptr);
    for (size_t i = 0; i < types.size(); ++i) AddField(*manager.FieldDefs, "F" + std::to_string(i), types[i], 12);
    manager.CalculateOffsets();
    const TVLMFieldDefs& defs = *manager.FieldDefs;
    const TVLMRecordLayout& layout = manager.Layout();
    ASSERT_EQ(layout.BufferSize, defs.GetRecordBufferSize());
    ASSERT_EQ(layout.StoredSize, defs.GetStoredRecordSize());
    bool blobs = false;
    for (TVLMDataType t : types) blobs = blobs || t == dtBLOB || t == dtMemo;
    // Without BLOB fields the layouts agree: one run, nothing to zero.
    EXPECT_EQ(layout.Runs.size() == 1 && layout.Zeros.empty(), !blobs) << types.size() << " fields";

    std::vector<uint8_t> stored(static_cast<size_t>(layout.StoredSize));
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<uint8_t>(i * 7 + 1);
    // Whatever the buffer held before.
    std::vector<uint8_t> buffer(static_cast<size_t>(layout.BufferSize), 0xEE);
    manager.StoredRecordToBuffer(stored.data(), buffer.data());
    std::vector<uint8_t> expected(buffer.size(), 0);
    const int32_t bitmap = VLMNullBitmapSize(defs.GetCount());
    std::memcpy(expected.data(), stored.data(), static_cast<size_t>(bitmap));
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
      const TVLMFieldDef& f = *defs.GetFieldDef(i);
      std::memcpy(expected.data() + f.BufferOffset, stored.data() + f.RecordOffset, static_cast<size_t>(f.SizeInRecord));
    }
    EXPECT_EQ(buffer, expected) << types.size() << " fields";

    std::vector<uint8_t> back(stored.size(), 0xEE);
    manager.BufferToStoredRecord(buffer.data(), back.data());
    EXPECT_EQ(back, stored) << types.size() << " fields";
  }
}

// The record check against a byte-by-byte model: text fields of every size
// up to 24 bytes, holding no 0 byte, or one at any place; null fields pass.
TEST(FieldManager, StoredTextsEndFindsTheEndOfEveryTextAsAByteByByteSearchDoes) {
  TVLMBaseFieldManager manager(nullptr);
  for (int32_t size = 1; size <= 24; ++size) AddField(*manager.FieldDefs, "T" + std::to_string(size), dtString, size);
  manager.CalculateOffsets();
  const TVLMFieldDefs& defs = *manager.FieldDefs;
  std::vector<uint8_t> stored(static_cast<size_t>(defs.GetStoredRecordSize()));
  std::mt19937 random(7);
  for (int round = 0; round < 4000; ++round) {
    for (uint8_t& b : stored) b = static_cast<uint8_t>(1 + random() % 255);
    std::memset(stored.data(), 0, static_cast<size_t>(VLMNullBitmapSize(defs.GetCount())));
    bool model = true;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
      const TVLMFieldDef& f = *defs.GetFieldDef(i);
      // Every other round ends most texts at their first byte, so that a
      // byte read outside a field would often be a 0 of the next one.
      uint32_t pick = random() % static_cast<uint32_t>(f.SizeInRecord + 2);
      if (round % 2 == 0 && pick < static_cast<uint32_t>(f.SizeInRecord)) pick = 0;
      if (pick == static_cast<uint32_t>(f.SizeInRecord) + 1) {
        VLMSetBit(true, i, stored.data());  // null: no end needed
      } else if (pick < static_cast<uint32_t>(f.SizeInRecord)) {
        stored[static_cast<size_t>(f.RecordOffset) + pick] = 0;
      } else {
        model = false;  // no end anywhere in the field
      }
    }
    ASSERT_EQ(manager.StoredTextsEnd(stored.data()), model) << "round " << round;
  }
}
