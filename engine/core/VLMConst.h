// Constant name tables of the engine.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Page type codes of the database file; the storage engine names a page in its
// messages by VLMPageTypeNames[type]. A code of VLMPageTypeCount or more has no
// name.
inline constexpr int32_t VLMPageTypeCount = 13;
extern const std::array<std::string_view, VLMPageTypeCount> VLMPageTypeNames;
