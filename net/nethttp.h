// HTTP/1.0 client (with optional HTTP/1.1 keep-alive, proxy, cookies, ranges
// and "100-continue") over the blocking TCP socket, and FetchUrlText, the one
// call the program makes: GET a URL and hand back the reply body as lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host/Stream.h"
#include "platform/host/StringList.h"

namespace qv::net {

class TTCPSocket;

class TNetClient {
public:
  virtual ~TNetClient() = default;
  std::string TargetHost = "127.0.0.1";
  std::string TargetPort = "0";
  std::string IPInterface = "0.0.0.0";
  int32_t Timeout = 5000;  // milliseconds, for each read
};

enum class THTTPTransferKind : uint8_t { UntilClose = 0, ByLength = 1, Chunked = 2 };

// Limits of one reply, so that a peer cannot make the client grow memory
// without bound: the longest line of the head (status line, header, chunk
// size and trailer lines), the most bytes of head and trailer lines
// together, and the default of THTTPClient::MaxBodySize.
constexpr int32_t kMaxHttpLine = 64 * 1024;
constexpr int64_t kMaxHttpHead = 1024 * 1024;
constexpr int64_t kDefaultMaxHttpBody = int64_t{256} * 1024 * 1024;

class THTTPClient : public TNetClient {
public:
  THTTPClient();
  ~THTTPClient() override;
  THTTPClient(const THTTPClient&) = delete;
  THTTPClient& operator=(const THTTPClient&) = delete;

  std::unique_ptr<TTCPSocket> Sock;
  // Before a request: extra request headers; after it: the reply's status
  // line and header lines (the empty line that ends them included).
  StringList Headers;
  // Before a request: the body to send; after it: the reply body, at 0.
  MemoryStream Document;
  std::string MimeType = "text/html";
  std::string Protocol = "1.0";
  bool KeepAlive = true;
  bool Status100 = false;
  std::string ProxyHost;
  std::string ProxyPort = "8080";
  std::string ProxyUser;
  std::string ProxyPass;
  std::string UserAgent = "Mozilla/4.0 (compatible; Orsanet)";
  StringList Cookies;  // name=value
  int32_t RangeStart = 0;
  int32_t RangeEnd = 0;
  // The largest reply body accepted; a larger one fails the request.
  int64_t MaxBodySize = kDefaultMaxHttpBody;
  // Milliseconds one whole request may take, from connecting to the end of
  // the reply (0: no limit beyond Timeout for each wait).
  int32_t RequestTimeout = 0;

  void Clear();
  // One request and its reply. True when the reply was read to its end; the
  // status code is then in ResultCode. False when the URL is refused, the
  // connection or the sending fails, no reply arrives, the body is cut
  // short, a limit above is passed or RequestTimeout runs out; Failure()
  // then says why.
  bool SendRequest(const std::string& method, const std::string& url);
  // A short English text of why the last SendRequest returned false (empty
  // after a true result).
  const std::string& Failure() const { return Failure_; }

  // The reply's status code and text: 500 from the start of a request until
  // a reply comes (a failed connection leaves it), 0 when the peer sent no
  // status line.
  int32_t ResultCode() const { return ResultCode_; }
  const std::string& ResultString() const { return ResultString_; }
  // How the body of the last reply was delimited.
  THTTPTransferKind TransferKind() const { return TransferKind_; }
  // The host and port of the connection kept open for the next request
  // (empty when none is).
  const std::string& AliveHost() const { return AliveHost_; }
  const std::string& AlivePort() const { return AlivePort_; }
  // The announced length of the reply body and the bytes of the request
  // body sent.
  int32_t DownloadSize() const { return DownloadSize_; }
  int32_t UploadSize() const { return UploadSize_; }

  void DecodeStatus(const std::string& line);
  bool ReadUntilClose();
  bool ReadByLength(int32_t size);
  bool ReadChunked();
  void ParseCookies();

private:
  bool OpenConnection(bool https);
  void DropConnection();
  // The wait for the next step: Timeout, cut to what is left of
  // RequestTimeout (0 once it has run out).
  int32_t WaitMs() const;
  bool TimeIsUp() const;
  // Records why the request fails; returns false.
  bool Fail(std::string reason);
  // Fail with the socket's last error (and the SSL library's text).
  bool SocketFailed();
  // Counts a line of the head or trailer against kMaxHttpHead.
  bool CountHeadLine(const std::string& line);

  std::string Failure_;
  int32_t ResultCode_ = 0;
  std::string ResultString_;
  THTTPTransferKind TransferKind_ = THTTPTransferKind::UntilClose;
  std::string AliveHost_;
  std::string AlivePort_;
  int32_t DownloadSize_ = 0;
  int32_t UploadSize_ = 0;
  uint32_t RequestStart_ = 0;
  int64_t HeadBytes_ = 0;
};

// GET of the URL (path and query sent as they are); the reply body's lines
// (split at CR LF, LF or CR, bytes unchanged) replace the list's contents.
// Returns the request's result.
bool FetchUrlText(const std::string& url, StringList& lines);
// The same, within requestTimeoutMs for the whole request (0: no such
// limit); when the result is false, failure receives a short reason.
bool FetchUrlText(const std::string& url, StringList& lines, int32_t requestTimeoutMs, std::string& failure);

}  // namespace qv::net
