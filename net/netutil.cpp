#include "net/netutil.h"

#include <ctime>
#include <vector>

#include "platform/host/SysUtils.h"

namespace qv::net {

namespace {

// A hexadecimal part of an IPv6 text: 1 to 4 digits.
bool IsHexWord(std::string_view s) {
  int32_t v;
  return s.size() <= 4 && ParseHex(s, 0xFFFF, v);
}

std::vector<std::string_view> SplitAll(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t p = s.find(sep, start);
    if (p == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, p - start));
    start = p + 1;
  }
}

}  // namespace

bool ParseHex(std::string_view text, int32_t maxValue, int32_t& value) {
  if (text.empty()) return false;
  int64_t v = 0;
  for (char c : text) {
    int32_t d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * 16 + d;
    if (v > maxValue) return false;
  }
  value = static_cast<int32_t>(v);
  return true;
}

bool ParseInt32(std::string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int32_t>(v);
  return true;
}

std::string SeparateLeft(std::string_view value, std::string_view delimiter) {
  const size_t p = delimiter.empty() ? std::string_view::npos : value.find(delimiter);
  return Trim(p == std::string_view::npos ? value : value.substr(0, p));
}

std::string SeparateRight(std::string_view value, std::string_view delimiter) {
  const size_t p = delimiter.empty() ? std::string_view::npos : value.find(delimiter);
  return Trim(p == std::string_view::npos ? value : value.substr(p + delimiter.size()));
}

std::string Fetch(std::string& value, std::string_view delimiter) {
  std::string result = SeparateLeft(value, delimiter);
  if (delimiter.empty() || value.find(delimiter) == std::string::npos)
    value.clear();
  else
    value = SeparateRight(value, delimiter);
  return result;
}

TUrlParts SplitUrl(std::string_view url) {
  TUrlParts r;
  std::string rest;
  if (url.find("://") != std::string_view::npos) {
    r.Prot = SeparateLeft(url, "://");
    rest = SeparateRight(url, "://");
  } else {
    rest = Trim(url);
  }
  const std::string prot = UpperCase(r.Prot);
  if (prot == "HTTPS") r.Port = "443";
  if (prot == "FTP") r.Port = "21";

  const size_t at = rest.find('@');
  const size_t slash = rest.find('/');
  if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
    const std::string credentials = SeparateLeft(rest, "@");
    rest = SeparateRight(rest, "@");
    if (credentials.find(':') == std::string::npos) {
      r.User = credentials;
    } else {
      r.User = SeparateLeft(credentials, ":");
      r.Pass = SeparateRight(credentials, ":");
    }
  }

  std::string hostPart, remainder;
  const size_t s = rest.find('/');
  if (s == std::string::npos) {
    hostPart = Trim(rest);
  } else {
    hostPart = Trim(std::string_view(rest).substr(0, s));
    remainder = Trim(std::string_view(rest).substr(s + 1));
  }

  std::string port;
  if (!hostPart.empty() && hostPart[0] == '[') {
    const size_t close = hostPart.find(']');
    if (close == std::string::npos) {
      r.Host = Trim(std::string_view(hostPart).substr(1));
    } else {
      r.Host = Trim(std::string_view(hostPart).substr(1, close - 1));
      if (close + 1 < hostPart.size() && hostPart[close + 1] == ':')
        port = Trim(std::string_view(hostPart).substr(close + 2));
    }
  } else if (hostPart.find(':') != std::string::npos) {
    r.Host = SeparateLeft(hostPart, ":");
    port = SeparateRight(hostPart, ":");
  } else {
    r.Host = hostPart;
  }
  // "host:" with nothing after the colon keeps the scheme's port.
  if (!port.empty()) r.Port = port;

  r.URI = std::string(1, '/').append(remainder);
  const size_t q = remainder.find('?');
  if (q == std::string::npos) {
    r.Path = r.URI;
  } else {
    r.Path = std::string(1, '/').append(Trim(std::string_view(remainder).substr(0, q)));
    r.Para = Trim(std::string_view(remainder).substr(q + 1));
  }
  if (r.Host.empty()) r.Host = "localhost";
  return r;
}

bool IsIP(std::string_view value) {
  const auto parts = SplitAll(value, '.');
  if (parts.size() != 4) return false;
  for (std::string_view p : parts) {
    if (p.empty() || p.size() > 3) return false;
    int32_t v = 0;
    for (char c : p) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    if (v > 255) return false;
  }
  return true;
}

bool IsIP6(std::string_view value) {
  // An address text always holds at least one colon: without it a host name
  // made only of hexadecimal letters ("cafe") would pass for an address.
  if (value.find(':') == std::string_view::npos) return false;
  const auto parts = SplitAll(value, ':');
  if (parts.size() > 8) return false;
  int32_t emptyAfterFirst = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string_view p = parts[i];
    const bool last = i + 1 == parts.size();
    if (p.empty()) {
      if (last) return false;
      if (i > 0 && ++emptyAfterFirst > 1) return false;
      continue;
    }
    if (last) {
      const size_t pct = p.find('%');
      if (pct != std::string_view::npos) {
        if (!IsHexWord(p.substr(pct + 1))) return false;
        p = p.substr(0, pct);
      }
    }
    if (!IsHexWord(p)) return false;
  }
  return true;
}

int32_t PosCRLF(std::string_view value, std::string& terminator) {
  terminator.clear();
  const size_t p = value.find_first_of("\r\n");
  if (p == std::string_view::npos) return 0;
  const bool hasNext = p + 1 < value.size();
  if (value[p] == '\r')
    terminator = (hasNext && value[p + 1] == '\n') ? "\r\n" : "\r";
  else
    terminator = (hasNext && value[p + 1] == '\r') ? "\n\r" : "\n";
  return static_cast<int32_t>(p + 1);
}

std::string IPToBin(std::string_view value) {
  std::string r;
  std::string rest(value);
  for (int32_t i = 0; i < 4; ++i) {
    int32_t v = 0;
    if (!ParseInt32(Fetch(rest, "."), v)) v = 0;
    r.push_back(static_cast<char>(static_cast<uint8_t>(v)));
  }
  return r;
}

std::string CodeInt(uint16_t value) {
  std::string r(2, '\0');
  r[0] = static_cast<char>(value >> 8);
  r[1] = static_cast<char>(value & 0xFF);
  return r;
}

uint16_t DecodeInt(std::string_view value, int32_t index) {
  auto byteAt = [&](int32_t i) -> uint32_t {
    return (i >= 1 && static_cast<size_t>(i) <= value.size()) ? static_cast<uint8_t>(value[i - 1]) : 0u;
  };
  return static_cast<uint16_t>(byteAt(index) * 256 + byteAt(index + 1));
}

uint32_t GetTick() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t TickDelta(uint32_t oldTick, uint32_t newTick) {
  if (oldTick == newTick) return 0;
  if (newTick < oldTick) {
    oldTick += 0x80000000u;
    newTick += 0x80000000u;
  }
  return oldTick <= newTick ? newTick - oldTick : oldTick - newTick;
}

}  // namespace qv::net
