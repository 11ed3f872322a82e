#include "net/nethttp.h"

#include <algorithm>
#include <cstring>

#include "net/netcode.h"
#include "net/netsocket.h"
#include "net/netutil.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"

namespace qv::net {

namespace {

constexpr int32_t kDefaultHttpTimeout = 90000;
constexpr int32_t kSocketBufferSize = 65536;
constexpr int32_t kBodyPiece = 65536;

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Text that goes into the request head must not hold control bytes: the URL
// of the lookup carries text the user typed, and a CR or LF in it would add
// lines to the request.
bool IsHeadSafe(std::string_view s) {
  for (char c : s) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

// "10 s", "300 ms".
std::string DurationText(int32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

// ---- THTTPClient ------------------------------------------------------------

THTTPClient::THTTPClient() : Sock(std::make_unique<TTCPSocket>()) {
  Timeout = kDefaultHttpTimeout;
  Sock->ConvertLineEnd = true;
  Sock->MaxLineLength = kMaxHttpLine;
  Sock->SetSizeRecvBuffer(kSocketBufferSize);
  Sock->SetSizeSendBuffer(kSocketBufferSize);
  Clear();
}

THTTPClient::~THTTPClient() = default;

void THTTPClient::Clear() {
  RangeStart = 0;
  RangeEnd = 0;
  Document.Clear();
  Headers.Clear();
  MimeType = "text/html";
}

void THTTPClient::DecodeStatus(const std::string& line) {
  const std::string s = SeparateRight(line, " ");
  int32_t code = 0;
  if (!ParseInt32(SeparateLeft(s, " "), code)) code = 0;
  ResultCode_ = code;
  ResultString_ = s.find(' ') != std::string::npos ? SeparateRight(s, " ") : std::string();
}

int32_t THTTPClient::WaitMs() const {
  if (RequestTimeout <= 0) return Timeout;
  const int64_t left = int64_t{RequestTimeout} - TickDelta(RequestStart_, GetTick());
  return static_cast<int32_t>(std::clamp<int64_t>(left, 0, std::max(Timeout, 0)));
}

bool THTTPClient::TimeIsUp() const {
  return RequestTimeout > 0 && TickDelta(RequestStart_, GetTick()) >= static_cast<uint32_t>(RequestTimeout);
}

bool THTTPClient::Fail(std::string reason) {
  if (Failure_.empty()) Failure_ = std::move(reason);
  return false;
}

bool THTTPClient::SocketFailed() {
  const int32_t err = Sock->LastError;
  // A wait that ran out while cut short by RequestTimeout is that limit.
  if (TimeIsUp() || (RequestTimeout > 0 && err == WSAETIMEDOUT && WaitMs() < Timeout))
    return Fail("No answer within " + DurationText(RequestTimeout));
  std::string reason = err == WSAENOBUFS ? "Reply line longer than " + std::to_string(Sock->MaxLineLength) + " bytes"
                       : err == 0        ? std::string("Connection closed")
                                         : TBaseSocket::GetErrorDesc(err);
  if (!Sock->SSLLastErrorDesc.empty()) reason += ": " + Sock->SSLLastErrorDesc;
  return Fail(std::move(reason));
}

bool THTTPClient::CountHeadLine(const std::string& line) {
  HeadBytes_ += static_cast<int64_t>(line.size()) + 2;
  if (HeadBytes_ <= kMaxHttpHead) return true;
  return Fail("Reply head longer than " + std::to_string(kMaxHttpHead) + " bytes");
}

bool THTTPClient::OpenConnection(bool https) {
  Sock->CloseSocket();
  // Bounds the waits inside library calls (connect, send, SSL handshake).
  const int32_t wait = WaitMs();
  if (RequestTimeout > 0 && wait < 1) {
    Sock->LastError = WSAETIMEDOUT;
    return false;
  }
  Sock->SetTimeout(wait);
  Sock->Bind(IPInterface, "0");
  if (Sock->LastError != 0) return false;
  Sock->SetSslEnabled(https);
  if (Sock->LastError != 0) return false;
  Sock->Connect(TargetHost, TargetPort);
  // A time-out before any socket was made is the name's look-up; a wait cut
  // short by RequestTimeout ran out at that limit.
  if (Sock->LastError == WSAETIMEDOUT && Sock->Socket == INVALID_SOCKET)
    Fail("Host name not resolved within " + DurationText(RequestTimeout > 0 && wait < Timeout ? RequestTimeout : wait));
  return Sock->LastError == 0;
}

void THTTPClient::DropConnection() {
  // Closing resets the socket's error; the caller still wants to see why
  // the request failed.
  const int32_t err = Sock->LastError;
  Sock->CloseSocket();
  Sock->LastError = err;
  Sock->LastErrorDesc = TBaseSocket::GetErrorDesc(err);
  AliveHost_.clear();
  AlivePort_.clear();
}

bool THTTPClient::SendRequest(const std::string& method, const std::string& url) {
  ResultCode_ = 500;
  ResultString_.clear();
  DownloadSize_ = 0;
  UploadSize_ = 0;
  Failure_.clear();
  HeadBytes_ = 0;
  RequestStart_ = GetTick();
  Sock->SSLLastError = 0;
  Sock->SSLLastErrorDesc.clear();
  // Under an overall limit every read is bounded as a whole, not per packet,
  // so a peer that trickles bytes cannot stretch it.
  const bool interPacket = Sock->InterPacketTimeout;
  if (RequestTimeout > 0) Sock->InterPacketTimeout = false;
  auto restore = ScopeExit([&] { Sock->InterPacketTimeout = interPacket; });

  const TUrlParts u = SplitUrl(url);
  if (!IsHeadSafe(u.Prot) || !IsHeadSafe(u.Host) || !IsHeadSafe(u.Port) || !IsHeadSafe(u.URI))
    return Fail("Invalid URL");
  const bool https = UpperCase(u.Prot) == "HTTPS";

  bool tunnel = false;
  if (https) {
    Sock->HTTPTunnelIP = ProxyHost;
    Sock->HTTPTunnelPort = ProxyPort;
    Sock->HTTPTunnelUser = ProxyUser;
    Sock->HTTPTunnelPass = ProxyPass;
    tunnel = !ProxyHost.empty();
  } else {
    Sock->HTTPTunnelIP.clear();
    Sock->HTTPTunnelPort.clear();
    Sock->HTTPTunnelUser.clear();
    Sock->HTTPTunnelPass.clear();
  }
  const bool proxied = !ProxyHost.empty() && !tunnel;

  bool sending = Document.Size() > 0;
  const bool expect = Status100 && sending && Protocol == "1.1";

  // Each line goes on top, so the head reads in the reverse order of these
  // steps, ahead of the caller's own lines.
  auto top = [this](std::string line) { Headers.Insert(0, std::move(line)); };
  if (expect) top("Expect: 100-continue");
  if (sending) {
    top("Content-Length: " + std::to_string(Document.Size()));
    if (!MimeType.empty()) top("Content-Type: " + MimeType);
  }
  if (!UserAgent.empty()) top("User-Agent: " + UserAgent);
  if (RangeEnd > 0) top("Range: bytes=" + std::to_string(RangeStart) + "-" + std::to_string(RangeEnd));
  for (const std::string& cookie : Cookies) top("Cookie: " + cookie);
  if (!KeepAlive) top("Connection: close");
  if (!u.User.empty()) top("Authorization: Basic " + Base64Encode(u.User + ":" + u.Pass));
  if (proxied && !ProxyUser.empty()) top("Proxy-Authorization: Basic " + Base64Encode(ProxyUser + ":" + ProxyPass));
  const std::string host = IsIP6(u.Host) ? "[" + u.Host + "]" : u.Host;
  top(u.Port == "80" ? "Host: " + host : "Host: " + host + ":" + u.Port);
  std::string uri = u.URI;
  if (proxied) uri = u.Prot + "://" + host + ":" + u.Port + uri;
  if (uri == "/*") uri = "*";
  const std::string um = UpperCase(method);
  top(Protocol == "0.9" ? um + " " + uri : um + " " + uri + " HTTP/" + Protocol);

  if (proxied) {
    TargetHost = ProxyHost;
    TargetPort = ProxyPort;
  } else {
    TargetHost = u.Host;
    TargetPort = u.Port;
  }
  if (Headers.Count() == 0 || !Headers[Headers.Count() - 1].empty()) Headers.Add("");

  // Connection: a new one unless the last reply left one open to this target
  // and the server has neither closed it nor sent anything unasked (bytes
  // already received but not read out count as unasked too: they would be
  // taken for the next reply).
  if (AliveHost_ != TargetHost || AlivePort_ != TargetPort) {
    if (!OpenConnection(https)) {
      SocketFailed();
      DropConnection();
      return false;
    }
    AliveHost_ = TargetHost;
    AlivePort_ = TargetPort;
  } else if (!Sock->Buffer.empty() || Sock->WaitingData() > 0 || Sock->CanRead(0)) {
    if (!OpenConnection(https)) {
      SocketFailed();
      DropConnection();
      return false;
    }
  }

  std::string head;
  if (Protocol == "0.9") {
    head = Headers[0] + "\r\n";
  } else {
    for (const std::string& line : Headers) head += line + "\r\n";
  }
  Sock->SendString(head);
  if (Sock->LastError != 0) {
    SocketFailed();
    DropConnection();
    return false;
  }

  std::string statusLine;
  bool haveStatus = false;
  if (expect) {
    std::string s;
    do s = Sock->RecvString(WaitMs());
    while (s.empty() && Sock->LastError == 0 && !TimeIsUp());
    DecodeStatus(s);
    if (ResultCode_ >= 100 && ResultCode_ <= 199) {
      do s = Sock->RecvString(WaitMs());
      while (!s.empty() && Sock->LastError == 0 && !TimeIsUp());
    } else {
      sending = false;
      statusLine = s;
      haveStatus = true;
    }
  }

  if (sending) {
    UploadSize_ = static_cast<int32_t>(std::min<int64_t>(Document.Size(), 0x7FFFFFFF));
    const std::string& body = Document.DataString();
    Sock->SendBuffer(body.data(), static_cast<int32_t>(std::min<size_t>(body.size(), 0x7FFFFFFF)));
    if (Sock->LastError != 0) {
      SocketFailed();
      DropConnection();
      return false;
    }
  }

  Clear();
  int32_t size = -1;
  TransferKind_ = THTTPTransferKind::UntilClose;

  std::string s;
  if (haveStatus) {
    s = statusLine;
  } else {
    do s = Sock->RecvString(WaitMs());
    while (s.empty() && Sock->LastError == 0 && !TimeIsUp());
  }
  if (s.empty() && (Sock->LastError != 0 || TimeIsUp())) {
    // The server closed or stayed silent without one byte of reply: that is
    // a failed request, not an empty document.
    Document.Write("\r\n", 2);
    Document.SetPosition(0);
    ResultCode_ = 0;
    if (Sock->LastError == WSAECONNRESET && !TimeIsUp())
      Fail("No answer: the server closed the connection");
    else
      SocketFailed();
    DropConnection();
    return false;
  }
  bool haveHead = false;
  if (!StartsWith(UpperCase(s), "HTTP/")) {
    // HTTP/0.9: no head, the first line already belongs to the body.
    const std::string line = s + "\r\n";
    Document.Write(line.data(), static_cast<int64_t>(line.size()));
    ResultCode_ = 0;
  } else {
    Headers.Add(s);
    DecodeStatus(s);
    haveHead = true;
  }

  bool closeAfter = Protocol != "1.1";
  bool ok = CountHeadLine(s);
  if (haveHead && ok) {
    for (;;) {
      s = Sock->RecvString(WaitMs());
      Headers.Add(s);
      if (Sock->LastError != 0) {
        ok = SocketFailed();  // the head was cut off before its empty line
        break;
      }
      if (!CountHeadLine(s)) {
        ok = false;
        break;
      }
      if (s.empty()) break;
      const std::string su = UpperCase(s);
      if (StartsWith(su, "CONTENT-LENGTH:")) {
        int32_t v = -1;
        // A negative or overflowing length is no number: the body is then
        // read until the server closes.
        size = ParseInt32(SeparateRight(s, " "), v) && v >= 0 ? v : -1;
        if (size != -1) TransferKind_ = THTTPTransferKind::ByLength;
      }
      if (StartsWith(su, "CONTENT-TYPE:")) MimeType = SeparateRight(s, " ");
      if (StartsWith(su, "TRANSFER-ENCODING:") && UpperCase(SeparateRight(s, " ")).find("CHUNKED") != std::string::npos)
        TransferKind_ = THTTPTransferKind::Chunked;
      if (StartsWith(su, "CONNECTION: CLOSE")) closeAfter = true;
    }
  }

  if (ok && um != "HEAD" && ResultCode_ != 204 && ResultCode_ != 304) {
    switch (TransferKind_) {
      case THTTPTransferKind::UntilClose: ok = ReadUntilClose(); break;
      case THTTPTransferKind::ByLength: ok = ReadByLength(size); break;
      case THTTPTransferKind::Chunked: ok = ReadChunked(); break;
    }
  }
  Document.SetPosition(0);

  // A connection whose reply was not read to its end is out of step, and so
  // is one that holds bytes beyond the reply (or lost its trailer): the next
  // request would take them for its own reply.
  if (!ok) {
    DropConnection();
  } else if (closeAfter || Sock->LastError != 0 || !Sock->Buffer.empty() || Sock->WaitingData() > 0) {
    Sock->CloseSocket();
    AliveHost_.clear();
    AlivePort_.clear();
  }
  ParseCookies();
  return ok;
}

bool THTTPClient::ReadUntilClose() {
  for (;;) {
    const std::string s = Sock->RecvPacket(WaitMs());
    if (Sock->LastError != 0) break;
    if (Document.Size() + static_cast<int64_t>(s.size()) > MaxBodySize)
      return Fail("Reply body longer than " + std::to_string(MaxBodySize) + " bytes");
    Document.Seek(0, SeekOrigin::End);
    Document.Write(s.data(), static_cast<int64_t>(s.size()));
    if (TimeIsUp()) break;
  }
  // The close (or the silence of Timeout) is the end of such a body; the
  // end of RequestTimeout is not.
  return !TimeIsUp() || SocketFailed();
}

bool THTTPClient::ReadByLength(int32_t size) {
  DownloadSize_ = size;
  if (Document.Size() + std::max(size, 0) > MaxBodySize)
    return Fail("Reply body longer than " + std::to_string(MaxBodySize) + " bytes");
  // Received piece by piece straight into the document, which grows only by
  // what arrives: the announced size decides no allocation.
  int32_t left = std::max(size, 0);
  while (left > 0) {
    const int32_t want = std::min(left, kBodyPiece);
    const int64_t end = Document.Size();
    Document.SetSize(end + want);
    const int32_t got = Sock->RecvBufferEx(Document.Memory() + end, want, WaitMs());
    Document.SetSize(end + got);
    left -= got;
    if (Sock->LastError != 0) break;
    if (left > 0 && TimeIsUp()) break;
  }
  Document.Seek(0, SeekOrigin::End);
  return left == 0 || SocketFailed();
}

bool THTTPClient::ReadChunked() {
  for (;;) {
    std::string s;
    do s = Sock->RecvString(WaitMs());
    while (s.empty() && Sock->LastError == 0 && !TimeIsUp());
    if (Sock->LastError != 0 || s.empty()) return SocketFailed();  // ended before the last chunk
    int32_t n = 0;
    if (!ParseHex(SeparateLeft(s, " "), 0x7FFFFFFF, n)) return Fail("Invalid chunk size in the reply");
    if (n == 0) break;
    if (!ReadByLength(n)) return false;
  }
  // The trailer: header lines up to the empty line that ends the reply. A
  // connection that ends inside it has still delivered the whole body; the
  // error it leaves keeps the connection from being used again.
  for (;;) {
    const std::string s = Sock->RecvString(WaitMs());
    if (Sock->LastError == WSAENOBUFS) return SocketFailed();
    if (Sock->LastError != 0 || s.empty()) break;
    if (!CountHeadLine(s)) return false;
  }
  return true;
}

void THTTPClient::ParseCookies() {
  for (const std::string& line : Headers) {
    if (!StartsWith(LowerCase(line), "set-cookie:")) continue;
    std::string s = SeparateRight(line, ":");
    s = SeparateLeft(s, ";");
    const std::string name = SeparateLeft(s, "=");
    const std::string value = SeparateRight(s, "=");
    const std::string entry = name + "=" + value;
    const int32_t i = Cookies.IndexOfName(name);
    if (i >= 0)
      Cookies[i] = entry;
    else
      Cookies.Add(entry);
  }
}

bool FetchUrlText(const std::string& url, StringList& lines) {
  std::string failure;
  return FetchUrlText(url, lines, 0, failure);
}

bool FetchUrlText(const std::string& url, StringList& lines, int32_t requestTimeoutMs, std::string& failure) {
  THTTPClient http;
  http.RequestTimeout = requestTimeoutMs;
  const bool result = http.SendRequest("GET", url);
  lines.SetText(http.Document.DataString());
  failure = result ? std::string() : http.Failure();
  return result;
}

}  // namespace qv::net
