// A name server that never answers, put in the place of the C library's
// asynchronous resolver while the object lives: every look-up stays in
// progress until Answered is set, a wait for one takes its whole time, and
// a cancel answers CancelResult.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "net/netresolve.h"

namespace nettest {

class StalledResolver {
public:
  explicit StalledResolver(int cancelResult = EAI_NOTCANCELED) : CancelResult(cancelResult) {
    Resolver.Start = [this](gaicb*) {
      ++Started;
      return 0;
    };
    Resolver.Suspend = [](const gaicb*, const timespec* t) {
      std::this_thread::sleep_for(std::chrono::seconds(t->tv_sec) + std::chrono::nanoseconds(t->tv_nsec));
      return EAI_AGAIN;
    };
    Resolver.Error = [this](gaicb*) { return Answered ? EAI_NONAME : EAI_INPROGRESS; };
    Resolver.Cancel = [this](gaicb*) {
      if (CancelResult == EAI_ALLDONE) Answered = true;  // the answer came at the last moment
      return CancelResult;
    };
    qv::net::SetAsyncResolver(&Resolver);
  }
  ~StalledResolver() {
    qv::net::SetAsyncResolver(nullptr);
    Answered = true;
    qv::net::AbandonedLookups();
  }

  const int CancelResult;
  std::atomic<bool> Answered{false};
  int Started = 0;
  qv::net::TAsyncResolver Resolver;
};

}  // namespace nettest
