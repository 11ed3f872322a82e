#include "engine/core/VLMSettings.h"

namespace {

TVLMRetrySettings& Settings() {
  static TVLMRetrySettings settings;
  return settings;
}

}  // namespace

const TVLMRetrySettings& VLMRetrySettings() { return Settings(); }

TVLMRetrySettings& VLMChangeRetrySettings() { return Settings(); }
