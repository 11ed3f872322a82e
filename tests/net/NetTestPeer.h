// Scripted peers for the net tests: a listening socket on 127.0.0.1 with an
// ephemeral port, served by one thread that accepts a given number of
// connections and runs a script on each. Every wait is bounded, so a test
// whose client misbehaves fails instead of hanging.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace nettest {

constexpr int kPeerWaitMs = 5000;

inline bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

// Reads while room(text so far) allows more bytes (it returns how many may
// still come, 0 to stop), until the peer closes or ms pass.
template <typename Room>
inline std::string ReadWhile(int fd, int ms, Room room) {
  std::string r;
  char buf[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (size_t want = room(r); want > 0; want = room(r)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) break;
    const ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), want), 0);
    if (n <= 0) break;
    r.append(buf, static_cast<size_t>(n));
  }
  return r;
}

// Reads until the text holds `until` (or the peer closes / the wait ends).
inline std::string ReadUntil(int fd, const std::string& until, int ms = kPeerWaitMs) {
  return ReadWhile(fd, ms,
                   [&](const std::string& r) { return r.find(until) == std::string::npos ? size_t{4096} : size_t{0}; });
}

inline std::string ReadExact(int fd, size_t count, int ms = kPeerWaitMs) {
  return ReadWhile(fd, ms, [&](const std::string& r) { return count - r.size(); });
}

// Reads everything until the client closes (or the wait ends).
inline std::string ReadToClose(int fd, int ms = kPeerWaitMs) {
  return ReadWhile(fd, ms, [](const std::string&) { return size_t{4096}; });
}

inline void WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until the client closes its end (bounded).
inline void WaitForClose(int fd, int ms = kPeerWaitMs) { ReadToClose(fd, ms); }

class Peer {
public:
  using Script = std::function<void(int fd, int index)>;

  // acceptWaitMs bounds the wait for each connection (a test that expects
  // none uses a short one).
  explicit Peer(Script script, int connections = 1, int acceptWaitMs = kPeerWaitMs)
      : Script_(std::move(script)), Connections_(connections), AcceptWaitMs_(acceptWaitMs) {
    Listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(Listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(Listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(Listen_, 16);
    socklen_t len = sizeof(a);
    ::getsockname(Listen_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
    Thread_ = std::thread([this] { Run(); });
  }

  ~Peer() { Join(); }

  void Join() {
    if (Thread_.joinable()) Thread_.join();
    if (Listen_ >= 0) {
      ::close(Listen_);
      Listen_ = -1;
    }
  }

  std::string Port() const { return std::to_string(Port_); }
  int Accepted() const { return Accepted_.load(); }

private:
  void Run() {
    for (int i = 0; i < Connections_; ++i) {
      if (!WaitReadable(Listen_, AcceptWaitMs_)) return;
      const int fd = ::accept4(Listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      ++Accepted_;
      Script_(fd, i);
      ::close(fd);
    }
  }

  Script Script_;
  int Connections_;
  int AcceptWaitMs_;
  int Listen_ = -1;
  uint16_t Port_ = 0;
  std::atomic<int> Accepted_{0};
  std::thread Thread_;
};

// A port on 127.0.0.1 that refuses connections (bound, never listening).
class ClosedPort {
public:
  ClosedPort() {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
  }
  ~ClosedPort() { ::close(Fd_); }
  std::string Port() const { return std::to_string(Port_); }

private:
  int Fd_ = -1;
  uint16_t Port_ = 0;
};

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace nettest
