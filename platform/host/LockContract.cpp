#include "platform/host/LockContract.h"

#include <cstdio>
#include <cstdlib>

namespace qv {

void LockContractBroken(const char* function, const char* lockName) {
  std::fprintf(stderr, "Lock contract broken: %s called without %s\n", function, lockName);
  std::fflush(stderr);
  std::abort();
}

}  // namespace qv
