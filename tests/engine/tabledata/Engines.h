// The storage engines whose table data the shared table-data tests run on:
// the reference engine of the tests and the engine's memory and temporary
// engines.
#pragma once

#include <memory>
#include <string>

#include "engine/storage/VLMMemEngine.h"
#include "engine/storage/VLMTempEngine.h"
#include "tests/engine/tabledata/ReferenceEngine.h"

namespace tabledata_test {

enum class EngineKind { Reference, Memory, Temporary };

inline std::unique_ptr<TVLMDatabaseData> NewDatabase(EngineKind kind) {
  switch (kind) {
    case EngineKind::Memory: return std::make_unique<TVLMMemoryDatabaseData>();
    case EngineKind::Temporary: return std::make_unique<TVLMTemporaryDatabaseData>();
    default: return std::make_unique<RefDatabaseData>();
  }
}

inline std::string EngineName(EngineKind kind) {
  return kind == EngineKind::Memory ? "Memory" : kind == EngineKind::Temporary ? "Temporary" : "Reference";
}

}  // namespace tabledata_test
