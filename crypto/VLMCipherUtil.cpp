#include "crypto/VLMCipherUtil.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/host/Stream.h"
#include "platform/os/File.h"
#include "platform/os/FileStream.h"

namespace qv {

TProgressEvent ProtectionProgress;

namespace {

constexpr int32_t kStreamChunk = 4096;  // bytes per CodeBuf call in CodeStream

void ReportProgress(TProtection* sender, int64_t current, int64_t maximum) {
  if (ProtectionProgress) ProtectionProgress(sender, current, maximum);
}

std::string_view TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<uint8_t>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<uint8_t>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

int32_t ValueLength(const char* value, int32_t size) {
  if (value == nullptr) return 0;
  return size < 0 ? static_cast<int32_t>(std::strlen(value)) : size;
}

std::string IntText(int32_t v) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Maps each byte to its position in the first `count` characters of an
// alphabet, -1 for characters not among them.
std::array<int8_t, 256> ReverseTable(std::string_view alphabet, size_t count) {
  std::array<int8_t, 256> t;
  t.fill(-1);
  for (size_t i = 0; i < count && i < alphabet.size(); ++i)
    if (t[static_cast<uint8_t>(alphabet[i])] < 0) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}

using namespace std::string_view_literals;

// The alphabets. The first characters of each are the coding characters; the
// rest are separators that the lenient decoders skip and IsValid accepts.
constexpr std::string_view kHexTable = "0123456789ABCDEFX$ abcdefhHx()[]{},;:-_/\\*+\"'\t\n\r"sv;
constexpr std::string_view kHexLTable = "0123456789abcdefX$ ABCDEFhHx()[]{},;:-_/\\*+\"'\t\n\r"sv;
constexpr std::string_view kMime64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/= $()[]{},;:-_\\*\"'\t\n\r"sv;
constexpr std::string_view kUUTable =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_ \t\n\r"sv;
constexpr std::string_view kXXTable =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz \"()[]'\t\n\r"sv;

constexpr int32_t kUULineBytes = 45;  // bytes per UU/XX line

}  // namespace

// ---------------------------------------------------------------------------
// TProtection

TProtection::TProtection(TProtectionPtr protection) { SetProtection(std::move(protection)); }

TProtection::~TProtection() = default;

void TProtection::SetProtection(TProtectionPtr value) {
  if (value == Protection_) return;
  for (const TProtection* p = value.get(); p != nullptr; p = p->Protection_.get())
    if (p == this) throw EProtection("Circular Protection detected, Protection Object is invalid.");
  Protection_ = std::move(value);
}

void TProtection::CodeInit(TPAction action) {
  if (Protection_) Protection_->CodeInit(action);
}

void TProtection::CodeDone(TPAction action) {
  if (Protection_) Protection_->CodeDone(action);
}

void TProtection::CodeBuf(void* buffer, int32_t size, TPAction action) {
  if (Protection_) Protection_->CodeBuf(buffer, size, action);
}

void TProtection::CodeStream(Stream* source, Stream* dest, int64_t dataSize, TPAction action) {
  if (source == nullptr) return;
  if (dest == nullptr) dest = source;
  if (dataSize < 0) {
    source->SetPosition(0);
    dataSize = source->Size();
  }
  // Source and dest keep their own running positions, so one stream can be
  // read and rewritten in place.
  int64_t srcPos = source->Position();
  int64_t dstPos = dest->Position();
  CodeInit(action);
  ReportProgress(this, 0, dataSize);
  std::vector<uint8_t> chunk(kStreamChunk);
  int64_t done = 0;
  while (done < dataSize) {
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(kStreamChunk, dataSize - done));
    source->SetPosition(srcPos);
    const int64_t got = source->Read(chunk.data(), want);
    if (got < 1) break;
    srcPos += got;
    CodeBuf(chunk.data(), static_cast<int32_t>(got), action);
    if (action != paCalc) {
      dest->SetPosition(dstPos);
      dest->WriteBuffer(chunk.data(), got);
      dstPos += got;
    }
    done += got;
    ReportProgress(this, done, dataSize);
  }
  ReportProgress(this, 0, 0);
  CodeDone(action);
}

void TProtection::CodeFile(const std::string& sourceName, const std::string& destName,
                           TPAction action) {
  const bool separate =
      (!SameAsciiText(sourceName, destName) && !TrimBlanks(destName).empty()) || action == paCalc;
  if (separate) {
    File src = File::Open(sourceName, FileAccess::ReadOnly, FileDisposition::OpenExisting);
    FileStream srcStream(src);
    if (action == paCalc) {
      CodeStream(&srcStream, &srcStream, -1, action);
      return;
    }
    File dst = File::Open(destName, FileAccess::ReadWrite, FileDisposition::CreateAlways);
    FileStream dstStream(dst);
    CodeStream(&srcStream, &dstStream, -1, action);
    dstStream.SetSize(dstStream.Position());
  } else {
    File f = File::Open(sourceName, FileAccess::ReadWrite, FileDisposition::OpenExisting);
    FileStream stream(f);
    CodeStream(&stream, &stream, -1, action);
  }
}

std::string TProtection::CodeString(const std::string& source, TPAction action, int32_t format) {
  if (source.empty()) return {};
  MemoryStream stream(action == paDecode ? FormatToStr(source, format) : source);
  CodeStream(&stream, &stream, -1, action);
  if (action == paDecode) return stream.TakeData();
  return StrToFormat(stream.DataString(), format);
}

int32_t TProtection::CodeBuffer(void* buffer, int32_t size, TPAction action) {
  CodeInit(action);
  CodeBuf(buffer, size, action);
  CodeDone(action);
  return size;
}

// ---------------------------------------------------------------------------
// Text formats

TStringFormatClass TStringFormat::Class() {
  static const TStringFormat instance;
  return &instance;
}

std::string TStringFormat::ToStr(const char* value, int32_t size) const {
  return std::string(value == nullptr ? "" : value, static_cast<size_t>(ValueLength(value, size)));
}

std::string TStringFormat::FromStr(const char* value, int32_t size) const {
  return std::string(value == nullptr ? "" : value, static_cast<size_t>(ValueLength(value, size)));
}

std::string TStringFormat::Name() const {
  // A format without a name of its own shows its class name after the first '_'.
  const std::string_view cls = ClassName();
  const size_t us = cls.find('_');
  if (us == std::string_view::npos) return "copy Input to Output";
  return std::string(cls.substr(us + 1));
}

bool TStringFormat::IsValid(const char*, int32_t, bool) const { return true; }

bool TStringFormat::AllInCharTable(const char* value, int32_t size) const {
  const int32_t n = ValueLength(value, size);
  const std::string_view table = CharTable();
  for (int32_t i = 0; i < n; ++i)
    if (table.find(value[i]) == std::string_view::npos) return false;
  return true;
}

// Hexadecimal

TStringFormatClass TStringFormat_HEX::Class() {
  static const TStringFormat_HEX instance;
  return &instance;
}

std::string_view TStringFormat_HEX::CharTable() const { return kHexTable; }

std::string TStringFormat_HEX::FromStr(const char* value, int32_t size) const {
  const int32_t n = ValueLength(value, size);
  const std::string_view digits = CharTable().substr(0, 16);
  std::string out(static_cast<size_t>(n) * 2, '\0');
  for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
    const uint8_t b = static_cast<uint8_t>(value[i]);
    out[2 * i] = digits[b >> 4];
    out[2 * i + 1] = digits[b & 15];
  }
  return out;
}

std::string TStringFormat_HEX::ToStr(const char* value, int32_t size) const {
  const int32_t n = ValueLength(value, size);
  std::string out;
  out.reserve(static_cast<size_t>(n) / 2 + 1);
  bool markerSeen = false;
  bool lowNibble = false;
  for (int32_t i = 0; i < n; ++i) {
    const char c = value[i];
    int32_t v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      // "$1F" and "0x1F" both mean 1F: the first marker drops what came before.
      if ((c == '$' || c == 'X' || c == 'x') && !markerSeen) {
        markerSeen = true;
        out.clear();
        lowNibble = false;
      }
      continue;
    }
    if (lowNibble) {
      out.back() = static_cast<char>(static_cast<uint8_t>(out.back()) | v);
    } else {
      out.push_back(static_cast<char>(v << 4));
    }
    lowNibble = !lowNibble;
  }
  return out;
}

bool TStringFormat_HEX::IsValid(const char* value, int32_t size, bool toStr) const {
  return !toStr || AllInCharTable(value, size);
}

TStringFormatClass TStringFormat_HEXL::Class() {
  static const TStringFormat_HEXL instance;
  return &instance;
}

std::string_view TStringFormat_HEXL::CharTable() const { return kHexLTable; }

// MIME Base64

TStringFormatClass TStringFormat_MIME64::Class() {
  static const TStringFormat_MIME64 instance;
  return &instance;
}

std::string_view TStringFormat_MIME64::CharTable() const { return kMime64Table; }

std::string TStringFormat_MIME64::FromStr(const char* value, int32_t size) const {
  const int32_t n = ValueLength(value, size);
  const std::string_view t = kMime64Table;
  const auto* p = reinterpret_cast<const uint8_t*>(value);
  std::string out;
  out.reserve((static_cast<size_t>(n) + 2) / 3 * 4);
  int32_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    out += t[v >> 18];
    out += t[(v >> 12) & 63];
    out += t[(v >> 6) & 63];
    out += t[v & 63];
  }
  if (n - i == 1) {
    const uint32_t v = uint32_t{p[i]} << 16;
    out += t[v >> 18];
    out += t[(v >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
    out += t[v >> 18];
    out += t[(v >> 12) & 63];
    out += t[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string TStringFormat_MIME64::ToStr(const char* value, int32_t size) const {
  static const std::array<int8_t, 256> rev = ReverseTable(kMime64Table, 65);  // 64 digits and '='
  const int32_t n = ValueLength(value, size);
  // Keep the 64 digits and '='; '=' stands for six zero bits.
  std::vector<int8_t> digits;
  digits.reserve(static_cast<size_t>(n) + 3);
  int64_t fills = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int8_t d = rev[static_cast<uint8_t>(value[i])];
    if (d < 0) continue;
    if (d == 64) ++fills;
    digits.push_back(d);
  }
  while (digits.size() % 4 != 0) {
    digits.push_back(64);
    ++fills;
  }
  // Three bytes per group less one per '=', never below zero ("====" gives nothing).
  const int64_t length = std::max<int64_t>(0, static_cast<int64_t>(digits.size()) / 4 * 3 - fills);
  std::string out;
  out.reserve(digits.size() / 4 * 3);
  for (size_t g = 0; g < digits.size(); g += 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = (v << 6) | static_cast<uint32_t>(digits[g + k] == 64 ? 0 : digits[g + k]);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
  }
  out.resize(static_cast<size_t>(length));
  return out;
}

bool TStringFormat_MIME64::IsValid(const char* value, int32_t size, bool toStr) const {
  return !toStr || AllInCharTable(value, size);
}

// UU and XX

TStringFormatClass TStringFormat_UU::Class() {
  static const TStringFormat_UU instance;
  return &instance;
}

std::string_view TStringFormat_UU::CharTable() const { return kUUTable; }

std::string TStringFormat_UU::FromStr(const char* value, int32_t size) const {
  const int32_t n = ValueLength(value, size);
  const std::string_view t = CharTable();
  const auto* p = reinterpret_cast<const uint8_t*>(value);
  std::string out;
  out.reserve(static_cast<size_t>(n) / 3 * 4 + static_cast<size_t>(n) / kUULineBytes * 2 + 8);
  for (int32_t pos = 0; pos < n; pos += kUULineBytes) {
    const int32_t lineBytes = std::min(kUULineBytes, n - pos);
    out += t[static_cast<size_t>(lineBytes)];
    for (int32_t g = 0; g < lineBytes; g += 3) {
      uint8_t b[3] = {0, 0, 0};
      for (int32_t k = 0; k < 3 && g + k < lineBytes; ++k) b[k] = p[pos + g + k];
      out += t[b[0] >> 2];
      out += t[((b[0] & 3) << 4) | (b[1] >> 4)];
      out += t[((b[1] & 15) << 2) | (b[2] >> 6)];
      out += t[b[2] & 63];
    }
  }
  return out;
}

std::string TStringFormat_UU::ToStr(const char* value, int32_t size) const {
  const std::array<int8_t, 256> rev = ReverseTable(CharTable(), 64);
  const int32_t n = ValueLength(value, size);
  std::string out;
  int32_t i = 0;
  // Next coding character, or -1 at the end of the input.
  auto next = [&]() -> int32_t {
    while (i < n) {
      const int8_t d = rev[static_cast<uint8_t>(value[i++])];
      if (d >= 0) return d;
    }
    return -1;
  };
  for (;;) {
    const int32_t count = next();
    if (count < 0) break;
    if (count > kUULineBytes) throw EStringFormat("Input is not an valid " + Name() + " Format.");
    int32_t due = count;
    while (due > 0) {
      int32_t d[4];
      for (int32_t k = 0; k < 4; ++k) {
        d[k] = next();
        // A line that promises more groups than the input holds ends with it.
        if (d[k] < 0) return out;
      }
      const uint32_t v = (static_cast<uint32_t>(d[0]) << 18) | (static_cast<uint32_t>(d[1]) << 12) |
                         (static_cast<uint32_t>(d[2]) << 6) | static_cast<uint32_t>(d[3]);
      const char bytes[3] = {static_cast<char>(v >> 16), static_cast<char>((v >> 8) & 0xFF),
                             static_cast<char>(v & 0xFF)};
      const int32_t take = std::min(due, 3);
      out.append(bytes, static_cast<size_t>(take));
      due -= take;
    }
  }
  return out;
}

bool TStringFormat_UU::IsValid(const char* value, int32_t size, bool toStr) const {
  return !toStr || AllInCharTable(value, size);
}

TStringFormatClass TStringFormat_XX::Class() {
  static const TStringFormat_XX instance;
  return &instance;
}

std::string_view TStringFormat_XX::CharTable() const { return kXXTable; }

// Registry

namespace {

std::vector<TStringFormatClass>& FormatRegistry() {
  static std::vector<TStringFormatClass> list = {
      TStringFormat::Class(),        TStringFormat_HEX::Class(), TStringFormat_HEXL::Class(),
      TStringFormat_MIME64::Class(), TStringFormat_UU::Class(),  TStringFormat_XX::Class()};
  return list;
}

TStringFormatClass RequireFormat(int32_t id) {
  TStringFormatClass fmt = StringFormat(id);
  if (fmt == nullptr) throw EStringFormat("String Format \"" + IntText(id) + "\" not exists.");
  return fmt;
}

}  // namespace

TStringFormatClass StringFormat(int32_t id) {
  if (id == fmtDEFAULT) id = kDefaultStringFormat;
  for (TStringFormatClass f : FormatRegistry())
    if (f->Format() == id) return f;
  return nullptr;
}

void RegisterStringFormat(TStringFormatClass format) {
  if (format == nullptr) return;
  auto& list = FormatRegistry();
  for (auto& f : list)
    if (f->Format() == format->Format()) {
      f = format;
      return;
    }
  list.push_back(format);
}

std::string StrToFormat(const char* value, int32_t size, int32_t format) {
  const int32_t n = ValueLength(value, size);
  if (n == 0 || format == 0) return {};
  TStringFormatClass fmt = RequireFormat(format);
  if (!fmt->IsValid(value, n, false))
    throw EStringFormat("Input can not be convert to " + fmt->Name() + " Format.");
  return fmt->FromStr(value, n);
}

std::string StrToFormat(std::string_view value, int32_t format) {
  return StrToFormat(value.data(), static_cast<int32_t>(value.size()), format);
}

std::string FormatToStr(const char* value, int32_t size, int32_t format) {
  const int32_t n = ValueLength(value, size);
  if (n == 0 || format == 0) return {};
  TStringFormatClass fmt = RequireFormat(format);
  if (!fmt->IsValid(value, n, true))
    throw EStringFormat("Input is not an valid " + fmt->Name() + " Format.");
  return fmt->ToStr(value, n);
}

std::string FormatToStr(std::string_view value, int32_t format) {
  return FormatToStr(value.data(), static_cast<int32_t>(value.size()), format);
}

// ---------------------------------------------------------------------------
// Small operations

void XORBuffers(const void* i1, const void* i2, int32_t size, void* dest) {
  const auto* a = static_cast<const uint8_t*>(i1);
  const auto* b = static_cast<const uint8_t*>(i2);
  auto* d = static_cast<uint8_t*>(dest);
  for (int32_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

void RndXORBuffer(uint32_t seed, void* buffer, int32_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  for (int32_t i = 0; i < size; ++i) {
    seed = ((seed & 0xFFFFFF00u) | ((seed ^ p[i]) & 0xFFu)) * 134775813u + 1u;
    p[i] = static_cast<uint8_t>(seed >> 24);
  }
}

uint32_t RndTimeSeed() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t secOfDay = now.tv_sec % 86400;
  const uint16_t hourMinute = static_cast<uint16_t>((secOfDay / 3600) * 60 + (secOfDay / 60) % 60);
  const uint32_t ms = (static_cast<uint32_t>(hourMinute) * 60u + static_cast<uint32_t>(secOfDay % 60)) * 1000u +
                      static_cast<uint32_t>(now.tv_nsec / 1000000);
  timespec mono{};
  clock_gettime(CLOCK_MONOTONIC, &mono);
  const uint64_t counter = static_cast<uint64_t>(mono.tv_sec) * 1000000000ull + static_cast<uint64_t>(mono.tv_nsec);
  return ms ^ static_cast<uint32_t>(counter) ^ static_cast<uint32_t>(counter >> 32);
}

}  // namespace qv
