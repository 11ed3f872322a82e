// Builders of small expression trees over a cursor's fields, shared by the
// expression tests and the table-search benchmark.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/core/VLMExpressions.h"

namespace expr_test {

using NodePtr = std::unique_ptr<TVLMExprNode>;

inline NodePtr Field(TVLMCursor* cursor, const char* name) {
  return std::make_unique<TVLMExprNodeField>(cursor, "", name);
}
inline NodePtr Int(std::optional<int32_t> v) {
  TVLMVariant value(bdtInteger);
  if (v) value.SetAsInteger(*v);
  return std::make_unique<TVLMExprNodeConst>(value);
}
inline NodePtr Text(std::optional<std::string> v) {
  TVLMVariant value(bdtString);
  if (v) value.SetAsString(*v);
  return std::make_unique<TVLMExprNodeConst>(value);
}
inline NodePtr Cmp(uint8_t op, NodePtr left, NodePtr right, bool nullStrict = true) {
  return std::make_unique<TVLMExprNodeComparison>(op, false, false, nullStrict, std::move(left), std::move(right));
}
inline NodePtr Bool(uint8_t op, NodePtr a, NodePtr b = nullptr, NodePtr c = nullptr) {
  return std::make_unique<TVLMExprNodeBoolean>(op, std::move(a), std::move(b), std::move(c));
}

}  // namespace expr_test
