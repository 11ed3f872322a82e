#include "engine/components/VLMMain.h"

#include <array>

namespace {

constexpr std::string_view kEngineErrorPrefix = "Velmoran Engine Error # ";

// Texts of the cursor result codes -1 .. -13 (index = -code - 1); -8 carries
// the cursor's own text instead.
constexpr std::array<std::string_view, 13> kResultTexts = {
    "Error adding record",
    "Error updating record",
    "Error deleting record",
    "Error updating record - record was modified by other process",
    "Error deleting record - record was modified by other process",
    "Error updating record - record was deleted by other process",
    "Error deleting record - record was deleted by other process",
    "",
    "Cannot update record in temporary mode",
    "Cannot delete record in temporary mode",
    "Cannot cancel operation in temporary mode",
    "Record is locked",
    "Table is locked",
};

}  // namespace

std::string VLMEngineErrorText(int32_t code, std::string_view text) {
  if (code == -8) return std::string(text);
  if (code >= -13 && code <= -1) return std::string(kResultTexts[static_cast<size_t>(-code - 1)]);
  return std::string();
}

EVLMEngineError::EVLMEngineError(int32_t code, std::string_view text)
    : qv::EDatabaseError(std::string()), ErrorCode(code), ErrorText(VLMEngineErrorText(code, text)) {
  SetMessage(std::string(kEngineErrorPrefix) + std::to_string(code) + " " + ErrorText);
}

void VLMRaiseEngineError(int32_t code, std::string_view text) { throw EVLMEngineError(code, text); }

void VLMCheckEngineError(int32_t code, std::string_view text) {
  if (code != 0) VLMRaiseEngineError(code, text);
}
