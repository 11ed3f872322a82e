#include <gtest/gtest.h>

#include <string>

#include "engine/core/VLMFieldCopy.h"
#include "platform/dataset/Fields.h"
#include "tests/support/MemDataSet.h"

namespace {

// One row with a field of each kind the copy rules tell apart.
class FieldCopy : public ::testing::Test {
protected:
  void SetUp() override {
    qv::FieldDefs& d = table_.GetFieldDefs();
    d.Add("I", qv::ftInteger);
    d.Add("L", qv::ftLargeint);
    d.Add("L2", qv::ftLargeint);
    d.Add("S", qv::ftString, 20);
    d.Add("W", qv::ftWideString, 20);
    d.Add("B", qv::ftBlob);
    d.Add("B2", qv::ftBlob);
    d.Add("V", qv::ftVarBytes, 8);
    d.Add("V2", qv::ftVarBytes, 8);
    ds_.SetTable(&table_);
    ds_.Open();
    ds_.Append();
  }
  void TearDown() override {
    if (ds_.State() != qv::dsBrowse) ds_.Cancel();
    ds_.Close();
  }
  qv::Field* F(const char* name) { return ds_.FieldByName(name); }
  void SetBlob(const char* name, const std::string& bytes) { F(name)->SetAsString(bytes); }
  std::string Blob(const char* name) { return F(name)->AsString(); }

  qv::MemTable table_;
  qv::MemDataSet ds_;
};

TEST_F(FieldCopy, IntegersWidenAndNullsStayNull) {
  F("I")->SetAsInteger(-7);
  VLMCopyFieldValue(F("I"), F("L"));
  EXPECT_EQ(F("L")->AsLargeInt(), -7);

  F("L")->SetAsLargeInt(int64_t{1} << 40);
  VLMCopyFieldValue(F("L"), F("L2"));
  EXPECT_EQ(F("L2")->AsLargeInt(), int64_t{1} << 40);
  VLMCopyFieldValue(F("L"), F("S"));
  EXPECT_EQ(F("S")->AsString(), "1099511627776");

  F("L")->Clear();
  VLMCopyFieldValue(F("L"), F("L2"));
  EXPECT_TRUE(F("L2")->IsNull());
  F("I")->Clear();
  VLMCopyFieldValue(F("I"), F("L2"));
  EXPECT_TRUE(F("L2")->IsNull());
}

TEST_F(FieldCopy, BlobCopyDropsAMatchingGraphicHeaderOnly) {
  const std::string header("\x01\x00\x00\x01\x03\x00\x00\x00", 8);
  SetBlob("B", header + "abc");
  VLMCopyFieldValue(F("B"), F("B2"));
  EXPECT_EQ(Blob("B2"), "abc");

  // A size field that does not match the stream: copied whole.
  const std::string wrong("\x01\x00\x00\x01\x09\x00\x00\x00", 8);
  SetBlob("B", wrong + "abc");
  VLMCopyFieldValue(F("B"), F("B2"));
  EXPECT_EQ(Blob("B2"), wrong + "abc");
}

TEST_F(FieldCopy, WideTextAndBlobExchangeUtf16Bytes) {
  F("W")->SetAsWideString(u"A\u00D8");
  VLMCopyFieldValue(F("W"), F("B"));
  EXPECT_EQ(Blob("B"), std::string("A\x00\xD8\x00", 4));

  SetBlob("B", std::string("h\x00i\x00!", 5));  // odd byte dropped
  VLMCopyFieldValue(F("B"), F("W"));
  EXPECT_EQ(F("W")->AsWideString(), u"hi");
}

TEST_F(FieldCopy, VarBytesAndPlainAssignment) {
  F("V")->SetAsString("xyz");
  VLMCopyFieldValue(F("V"), F("V2"));
  EXPECT_EQ(F("V2")->AsString(), "xyz");
  F("S")->SetAsString("42");
  VLMCopyFieldValue(F("S"), F("I"));
  EXPECT_EQ(F("I")->AsInteger(), 42);
}

}  // namespace
