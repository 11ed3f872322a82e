// The error through which failed cursor writes reach the application.
#include <gtest/gtest.h>

#include <string>

#include "engine/components/VLMMain.h"

namespace {

TEST(EngineError, CodeTextAndMessageOfEveryResultCode) {
  struct Row {
    int32_t code;
    const char* text;
  };
  const Row rows[] = {
      {-1, "Error adding record"},
      {-2, "Error updating record"},
      {-3, "Error deleting record"},
      {-4, "Error updating record - record was modified by other process"},
      {-5, "Error deleting record - record was modified by other process"},
      {-6, "Error updating record - record was deleted by other process"},
      {-7, "Error deleting record - record was deleted by other process"},
      {-8, "Constraint 'C' violated"},  // the raiser's own text
      {-9, "Cannot update record in temporary mode"},
      {-10, "Cannot delete record in temporary mode"},
      {-11, "Cannot cancel operation in temporary mode"},
      {-12, "Record is locked"},
      {-13, "Table is locked"},
      {-14, ""},
      {-20, ""},
      {7, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    try {
      VLMCheckEngineError(row.code, "Constraint 'C' violated");
      ADD_FAILURE() << "nothing raised";
    } catch (const qv::EDatabaseError& e) {
      const auto* engineError = dynamic_cast<const EVLMEngineError*>(&e);
      ASSERT_NE(engineError, nullptr);
      EXPECT_EQ(engineError->ErrorCode, row.code);
      EXPECT_EQ(engineError->ErrorText, row.text);
      EXPECT_EQ(e.Message(), "Velmoran Engine Error # " + std::to_string(row.code) + " " + row.text);
    }
  }
  EXPECT_EQ(EVLMEngineError(-12, "ignored").Message(), "Velmoran Engine Error # -12 Record is locked");
  EXPECT_EQ(EVLMEngineError(-20, "").Message(), "Velmoran Engine Error # -20 ");
  EXPECT_NO_THROW(VLMCheckEngineError(0, "not an error"));
}

}  // namespace
