// Fetches 1 KB and 1 MB bodies from a loopback HTTP server with the
// project's HTTP client and with curl, in the same run, and prints the times
// and their ratio (ours / curl; below 1 means faster).
//
// curl is reached through libcurl when its header is there at build time and
// the library loads at run time; otherwise through the curl program (its
// times then include starting a process, so the ratio favours ours).
//
//   bench_net_fetch [iterations for 1 KB] [iterations for 1 MB]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/nethttp.h"
#include "platform/host/StringList.h"
#include "platform/os/DynLib.h"

#if __has_include(<curl/curl.h>)
#include <curl/curl.h>
#define QV_HAVE_CURL_HEADER 1
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Serves every connection with one reply of the body for the path "/1k" or
// "/1m", then closes it.
class LoopbackServer {
public:
  LoopbackServer() : Small_(1024, 'a'), Large_(1024 * 1024, 'b') {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(Fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(Fd_, 64);
    socklen_t len = sizeof(a);
    ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
    Thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackServer() {
    Stop_ = true;
    Thread_.join();
    ::close(Fd_);
  }
  std::string Url(const char* path) const { return "http://127.0.0.1:" + std::to_string(Port_) + path; }

private:
  void Run() {
    while (!Stop_) {
      pollfd p{Fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int c = ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string req;
      char buf[4096];
      while (req.find("\r\n\r\n") == std::string::npos) {
        pollfd q{c, POLLIN, 0};
        if (::poll(&q, 1, 5000) <= 0) break;
        const ssize_t n = ::recv(c, buf, sizeof(buf), 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      const std::string& body = req.find(" /1m ") != std::string::npos ? Large_ : Small_;
      const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
      size_t off = 0;
      while (off < reply.size()) {
        const ssize_t n = ::send(c, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      ::shutdown(c, SHUT_WR);
      pollfd q{c, POLLIN, 0};
      if (::poll(&q, 1, 1000) > 0) ::recv(c, buf, sizeof(buf), 0);
      ::close(c);
    }
  }

  std::string Small_, Large_;
  int Fd_ = -1;
  uint16_t Port_ = 0;
  std::atomic<bool> Stop_{false};
  std::thread Thread_;
};

// Returns the bytes of the body, or -1 on failure.
int64_t FetchOurs(const std::string& url) {
  qv::net::THTTPClient http;
  http.Timeout = 10000;
  if (!http.SendRequest("GET", url) || http.ResultCode() != 200) return -1;
  return http.Document.Size();
}

class CurlFetcher {
public:
  CurlFetcher() {
#ifdef QV_HAVE_CURL_HEADER
    if (Lib_.Load(std::vector<std::string>{"libcurl.so.4", "libcurl.so"})) {
      Init_ = Lib_.SymbolAs<CURL* (*)()>("curl_easy_init");
      Setopt_ = Lib_.SymbolAs<CURLcode (*)(CURL*, CURLoption, ...)>("curl_easy_setopt");
      Perform_ = Lib_.SymbolAs<CURLcode (*)(CURL*)>("curl_easy_perform");
      Cleanup_ = Lib_.SymbolAs<void (*)(CURL*)>("curl_easy_cleanup");
      auto global = Lib_.SymbolAs<CURLcode (*)(long)>("curl_global_init");
      if (Init_ && Setopt_ && Perform_ && Cleanup_ && global && global(CURL_GLOBAL_DEFAULT) == CURLE_OK) {
        Mode_ = "libcurl";
        return;
      }
    }
#endif
    if (std::system("curl --version > /dev/null 2>&1") == 0) Mode_ = "curl program";
  }
  const char* Mode() const { return Mode_; }

  int64_t Fetch(const std::string& url) {
#ifdef QV_HAVE_CURL_HEADER
    if (Init_ != nullptr && std::string(Mode_) == "libcurl") {
      // The body is kept in memory, as the client under test keeps it.
      CURL* c = Init_();
      std::string body;
      Setopt_(c, CURLOPT_URL, url.c_str());
      Setopt_(c, CURLOPT_WRITEFUNCTION, &CurlFetcher::Sink);
      Setopt_(c, CURLOPT_WRITEDATA, &body);
      const CURLcode rc = Perform_(c);
      Cleanup_(c);
      return rc == CURLE_OK ? static_cast<int64_t>(body.size()) : -1;
    }
#endif
    const char* argv[] = {"curl", "-s", "-o", "/dev/null", url.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
  }

private:
#ifdef QV_HAVE_CURL_HEADER
  static size_t Sink(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
  }
  qv::DynLib Lib_;
  CURL* (*Init_)() = nullptr;
  CURLcode (*Setopt_)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*Perform_)(CURL*) = nullptr;
  void (*Cleanup_)(CURL*) = nullptr;
#endif
  const char* Mode_ = nullptr;
};

template <typename F>
double TimeMs(int iterations, F fetch, bool& ok) {
  const auto t0 = Clock::now();
  for (int i = 0; i < iterations; ++i)
    if (fetch() < 0) ok = false;
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / iterations;
}

}  // namespace

int main(int argc, char** argv) {
  const int smallIters = argc > 1 ? std::atoi(argv[1]) : 300;
  const int largeIters = argc > 2 ? std::atoi(argv[2]) : 30;
  LoopbackServer server;
  CurlFetcher curl;
  std::printf("net_fetch: loopback HTTP GET, reference: %s\n", curl.Mode() ? curl.Mode() : "none found");
  struct Size {
    const char* label;
    const char* path;
    int iterations;
  };
  bool allOk = true;
  for (const Size& s : {Size{"1 KB", "/1k", smallIters}, Size{"1 MB", "/1m", largeIters}}) {
    const std::string url = server.Url(s.path);
    bool ok = true;
    FetchOurs(url);  // warm-up
    const double ours = TimeMs(s.iterations, [&] { return FetchOurs(url); }, ok);
    if (curl.Mode() == nullptr) {
      std::printf("%-5s ours %9.3f ms/fetch  (%d fetches)%s\n", s.label, ours, s.iterations, ok ? "" : "  FAILED");
      allOk = allOk && ok;
      continue;
    }
    curl.Fetch(url);
    bool curlOk = true;
    const double ref = TimeMs(s.iterations, [&] { return curl.Fetch(url); }, curlOk);
    std::printf("%-5s ours %9.3f ms/fetch  curl %9.3f ms/fetch  ratio %.2f  (%d fetches)%s\n", s.label, ours, ref,
                ours / ref, s.iterations, ok && curlOk ? "" : "  FAILED");
    allOk = allOk && ok && curlOk;
  }
  return allOk ? 0 : 1;
}
