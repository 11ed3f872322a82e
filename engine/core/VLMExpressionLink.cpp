#include "engine/core/VLMExpressionLink.h"

#include <atomic>

namespace {

std::atomic<const TVLMExpressionServices*> gServices{nullptr};

}  // namespace

void TVLMExpressionDeleter::operator()(TVLMExpression* expression) const noexcept {
  if (expression == nullptr) return;
  // An expression exists only when the module made it, and the module
  // installs its services before it makes one.
  const TVLMExpressionServices* services = gServices.load(std::memory_order_acquire);
  if (services != nullptr && services->FreeExpression != nullptr) services->FreeExpression(expression);
}

const TVLMExpressionServices* VLMInstallExpressionServices(const TVLMExpressionServices* services) {
  return gServices.exchange(services, std::memory_order_acq_rel);
}

const TVLMExpressionServices* VLMGetExpressionServices() {
  return gServices.load(std::memory_order_acquire);
}
