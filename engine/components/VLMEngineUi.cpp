#include "engine/components/VLMEngineUi.h"

#include <atomic>

namespace {

std::atomic<EngineUi*>& InstalledUi() {
  static std::atomic<EngineUi*> ui{nullptr};
  return ui;
}

}  // namespace

EngineUi& VLMSilentEngineUi() {
  static SilentEngineUi silent;
  return silent;
}

EngineUi& VLMEngineUi() {
  EngineUi* ui = InstalledUi().load();
  return ui != nullptr ? *ui : VLMSilentEngineUi();
}

void VLMSetEngineUi(EngineUi* ui) { InstalledUi().store(ui); }
