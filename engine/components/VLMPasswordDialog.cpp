#include "engine/components/VLMPasswordDialog.h"

#include "engine/components/VLMEngineUi.h"

bool VLMPasswordDialog(const std::string& nameText, std::string& password) {
  return VLMEngineUi().AskPassword(nameText, password);
}
