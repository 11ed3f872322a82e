// Runs a piece of a test on a thread with a small stack, as a worker thread
// of a server may have: what nests without bound must end with its error
// there, not run off the stack.
#pragma once

#include <pthread.h>

#include <exception>
#include <functional>
#include <string>

namespace qv::test {

inline constexpr size_t kSmallStackBytes = 256 * 1024;

// Runs body on a thread with a stack of kSmallStackBytes; answers the
// message of what body raised ("" when nothing, "no thread" when none could
// be made).
inline std::string OnSmallStack(const std::function<void()>& body) {
  struct Call {
    const std::function<void()>* Body;
    std::string Raised;
  } call{&body, {}};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kSmallStackBytes);
  pthread_t thread;
  const int created = pthread_create(
      &thread, &attributes,
      [](void* p) -> void* {
        auto* c = static_cast<Call*>(p);
        try {
          (*c->Body)();
        } catch (const std::exception& e) {
          c->Raised = e.what();
        }
        return nullptr;
      },
      &call);
  pthread_attr_destroy(&attributes);
  if (created != 0) return "no thread";
  pthread_join(thread, nullptr);
  return call.Raised;
}

}  // namespace qv::test
