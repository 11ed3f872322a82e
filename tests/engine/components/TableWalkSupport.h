// What the shared-table walk tests and their helper program engine_tablewalk
// share (nothing here links GoogleTest): table Walk and its indexes, the
// bytes of a Data value, an engine error's code.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "engine/components/VLMMain.h"

namespace walk_test {

inline constexpr const char* kTable = "Walk";
inline constexpr const char* kPK = "PK";
inline constexpr const char* kByName = "ByName";
inline constexpr const char* kByScore = "ByScore";
// Field numbers of the table (as a cursor of the table numbers them).
inline constexpr int32_t kID = 0, kName = 1, kScore = 2, kData = 3;
inline constexpr int32_t kNameSize = 60;

// Table Walk's structure on a closed table component.
inline void DefineWalk(TVLMTable& table) {
  qv::FieldDefs& fields = table.GetFieldDefs();
  fields.Clear();
  fields.Add("ID", qv::ftInteger, 0, true);
  fields.Add("Name", qv::ftString, kNameSize);
  fields.Add("Score", qv::ftInteger);
  fields.Add("Data", qv::ftBlob);
  qv::IndexDefs& indexes = table.GetIndexDefs();
  indexes.Clear();
  indexes.Add(kPK, "ID", qv::ixPrimary | qv::ixUnique);
  indexes.Add(kByName, "Name", 0);
  indexes.Add(kByScore, "Score", 0);
}

// A Data value of size bytes made from seed.
inline std::string WalkBlob(int64_t size, int64_t seed) {
  std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>((seed * 131 + static_cast<int64_t>(i) * 7 + static_cast<int64_t>(i >> 8)) & 0xFF);
  return bytes;
}

// The code of an engine error (its native error), else -1.
inline int32_t ErrorCode(const std::exception& e) {
  if (const auto* engine = dynamic_cast<const EVLMException*>(&e)) return engine->NativeError;
  const std::string text = e.what();
  const size_t at = text.rfind("Native error: ");
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 14);
}

}  // namespace walk_test
