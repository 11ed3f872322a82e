#include "net/netresolve.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qv::net {

namespace {

using Clock = std::chrono::steady_clock;

struct Request {
  std::string Node;
  std::string Service;
  addrinfo Hints{};
  gaicb Block{};
  TAsyncResolver Resolver;
};

struct ResolverState {
  std::mutex Lock;
  const TAsyncResolver* Hook = nullptr;
  std::vector<std::unique_ptr<Request>> Abandoned;
};

ResolverState& State() {
  // Lives until the process ends: a look-up left behind may still finish
  // after static destruction has begun (invariant 1).
  static ResolverState* state = new ResolverState();
  return *state;
}

TAsyncResolver CurrentResolver() {
  ResolverState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  return s.Hook != nullptr ? *s.Hook : SystemAsyncResolver();
}

// Frees the requests left behind that are done; returns how many are not.
int32_t ReapAbandoned() {
  ResolverState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  auto running = std::remove_if(s.Abandoned.begin(), s.Abandoned.end(), [](std::unique_ptr<Request>& r) {
    if (r->Resolver.Error(&r->Block) == EAI_INPROGRESS) return false;
    if (r->Block.ar_result != nullptr) ::freeaddrinfo(r->Block.ar_result);
    r.reset();
    return true;
  });
  s.Abandoned.erase(running, s.Abandoned.end());
  return static_cast<int32_t>(s.Abandoned.size());
}

void Abandon(std::unique_ptr<Request> request) {
  ResolverState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Abandoned.push_back(std::move(request));
}

timespec TimespecOf(Clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  return t;
}

}  // namespace

const TAsyncResolver& SystemAsyncResolver() {
  static const TAsyncResolver resolver = {
      [](gaicb* request) {
        gaicb* list[1] = {request};
        return ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
      },
      [](const gaicb* request, const timespec* timeout) {
        const gaicb* list[1] = {request};
        return ::gai_suspend(list, 1, timeout);
      },
      [](gaicb* request) { return ::gai_error(request); },
      [](gaicb* request) { return ::gai_cancel(request); },
  };
  return resolver;
}

void SetAsyncResolver(const TAsyncResolver* resolver) {
  ResolverState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Hook = resolver;
}

int32_t AbandonedLookups() { return ReapAbandoned(); }

int ResolveWithin(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                  int32_t timeoutMs) {
  *res = nullptr;
  ReapAbandoned();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 1));
  auto request = std::make_unique<Request>();
  Request& r = *request;
  r.Resolver = CurrentResolver();
  if (node != nullptr) r.Node = node;
  if (service != nullptr) r.Service = service;
  if (hints != nullptr) {
    r.Hints.ai_flags = hints->ai_flags;
    r.Hints.ai_family = hints->ai_family;
    r.Hints.ai_socktype = hints->ai_socktype;
    r.Hints.ai_protocol = hints->ai_protocol;
  }
  r.Block.ar_name = node != nullptr ? r.Node.c_str() : nullptr;
  r.Block.ar_service = service != nullptr ? r.Service.c_str() : nullptr;
  r.Block.ar_request = hints != nullptr ? &r.Hints : nullptr;

  int rc = r.Resolver.Start(&r.Block);
  if (rc != 0) return rc;  // nothing was started
  for (;;) {
    rc = r.Resolver.Error(&r.Block);
    const Clock::duration left = deadline - Clock::now();
    if (rc != EAI_INPROGRESS || left <= Clock::duration::zero()) break;
    // Ends at the answer, at the time limit or at a signal (EAI_INTR):
    // the state is asked again in each case.
    const timespec wait = TimespecOf(left);
    r.Resolver.Suspend(&r.Block, &wait);
  }
  if (rc == EAI_INPROGRESS) {
    if (r.Resolver.Cancel(&r.Block) == EAI_CANCELED) return EAI_INPROGRESS;
    // Done after all (EAI_ALLDONE: the answer came at the last moment), or
    // running on (EAI_NOTCANCELED): then it is left behind (invariant 2).
    rc = r.Resolver.Error(&r.Block);
    if (rc == EAI_INPROGRESS) {
      Abandon(std::move(request));
      return EAI_INPROGRESS;
    }
  }
  if (rc == 0) {
    *res = r.Block.ar_result;
  } else if (r.Block.ar_result != nullptr) {
    ::freeaddrinfo(r.Block.ar_result);
  }
  return rc;
}

}  // namespace qv::net
