#include "engine/core/VLMNesting.h"

#include "platform/os/System.h"

namespace {

thread_local int32_t gActiveLevels = 0;

}  // namespace

bool VLMStackIsLow() { return qv::StackBytesLeft() < kVLMStackReserveBytes; }

TVLMNestingLevels::~TVLMNestingLevels() { gActiveLevels -= Held_; }

bool TVLMNestingLevels::Enter() {
  if (gActiveLevels >= kVLMMaxNestingLevels || VLMStackIsLow()) return false;
  ++gActiveLevels;
  ++Held_;
  return true;
}

int32_t TVLMNestingLevels::Active() { return gActiveLevels; }
