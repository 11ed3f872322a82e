// Name resolution within a time limit, for the socket's address look-ups.
//
// The C library's asynchronous resolver (getaddrinfo_a) does each look-up on
// a thread of the C library's own; the caller waits for the answer at most
// a given time (gai_suspend). When the time runs out the look-up is
// cancelled or, when the C library is already working on it, left behind,
// so a name server that never answers holds no caller past its limit. The
// project itself starts no thread for this.
//
// A request owns its copies of the name, the service and the hints, since
// the C library reads them while it works.
//
// Invariants:
//   1. A request is freed only when the C library is done with it: its
//      look-up answered (its error is no longer EAI_INPROGRESS) or was
//      cancelled before it started (the cancel said EAI_CANCELED).
//   2. A request left behind stays in one process-wide list (under that
//      list's lock) with the resolver that started it, until a later
//      look-up (or AbandonedLookups) finds it done; its result is then
//      released unread.
//
// States of a request:
//   started --answered in time--------------------------> its result to the caller; freed
//   started --time out, cancel EAI_CANCELED--------------> freed
//   started --time out, cancel EAI_ALLDONE---------------> answered at the last moment: as answered
//   started --time out, cancel EAI_NOTCANCELED-----------> left behind --done--> freed by a later look-up
#pragma once

#include <netdb.h>
#include <time.h>

#include <cstdint>
#include <functional>

namespace qv::net {

// An asynchronous resolver in the C library's terms: Start begins the
// look-up of one request (as getaddrinfo_a with GAI_NOWAIT; 0 or an EAI_
// code), Suspend waits for its answer at most the time given (gai_suspend),
// Error tells its state (gai_error: EAI_INPROGRESS while it runs, else its
// result) and Cancel stops it (gai_cancel).
struct TAsyncResolver {
  std::function<int(gaicb* request)> Start;
  std::function<int(const gaicb* request, const timespec* timeout)> Suspend;
  std::function<int(gaicb* request)> Error;
  std::function<int(gaicb* request)> Cancel;
};

// The C library's resolver.
const TAsyncResolver& SystemAsyncResolver();
// Test hook: the resolver later look-ups use (nullptr: the C library's).
// The resolver must outlive the look-ups it starts.
void SetAsyncResolver(const TAsyncResolver* resolver);

// getaddrinfo(node, service, hints, res) that waits at most timeoutMs (at
// least 1). 0 with the list in *res (released with freeaddrinfo), an EAI_
// code of the look-up, or EAI_INPROGRESS when no answer came in time.
int ResolveWithin(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                  int32_t timeoutMs);

// Releases the requests left behind that are done; returns how many are
// still running.
int32_t AbandonedLookups();

}  // namespace qv::net
