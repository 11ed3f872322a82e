// Compression ratio and speed of the engine's three algorithms on one text:
// PPMd (modes 1-9), zlib (levels 1-9) and bzip2 (block sizes 1-9), each
// checked by a round trip. zlib and bzip2 are called directly.
//
// Usage: bench_compression [file]
//   With a file, its first 1.5 MB are used (repeated when it is shorter);
//   without one, 1.5 MB of generated log-like English text.
#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMPPMd.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kInputSize = 1500000;

Bytes GeneratedText(size_t size) {
  static const char* const kWords[] = {
      "the",     "of",       "and",      "contest",  "station", "call",       "band",
      "mode",    "signal",   "report",   "serial",   "number",  "exchange",   "operator",
      "logged",  "frequency", "zone",    "country",  "state",   "multiplier", "points",
      "score",   "duplicate", "member",  "lookup",   "was",     "with",       "for",
      "on",      "at",       "from",     "this",     "that",    "is",         "in",
      "a",       "to",       "QSO",      "CW",       "SSB",     "worked",     "heard",
      "propagation", "evening", "morning", "antenna", "power",  "noise",      "pileup"};
  constexpr uint32_t kCount = sizeof(kWords) / sizeof(kWords[0]);
  std::mt19937 rng(1);
  std::string t;
  while (t.size() < size) {
    const uint32_t n = 4 + rng() % 14;
    for (uint32_t i = 0; i < n; ++i) {
      // Zipf-like: low word numbers are far more frequent.
      const uint32_t w = static_cast<uint32_t>(kCount * std::pow(rng() / 4294967296.0, 2.0));
      t += kWords[std::min(w, kCount - 1)];
      t += i + 1 < n ? ' ' : '.';
    }
    if (rng() % 3 == 0) {
      // One draw per statement, so that every compiler builds the same text.
      const uint32_t digit = rng() % 10;
      const char first = static_cast<char>('A' + rng() % 26);
      const char second = static_cast<char>('A' + rng() % 26);
      const uint32_t khz = 100 + rng() % 250;
      const uint32_t serial = 1 + rng() % 1500;
      t += " Worked K" + std::to_string(digit) + first + second + " on 14." +
           std::to_string(khz) + " MHz, 599 " + std::to_string(serial) + ".";
    }
    t += '\n';
  }
  t.resize(size);
  return Bytes(t.begin(), t.end());
}

Bytes FileText(const char* path, size_t size) {
  std::ifstream f(path, std::ios::binary);
  Bytes data((std::istreambuf_iterator<char>(f)), {});
  if (data.empty()) return data;
  Bytes out;
  while (out.size() < size) out.insert(out.end(), data.begin(), data.end());
  out.resize(size);
  return out;
}

// Best time of a few runs, in seconds.
double Time(const std::function<void()>& run) {
  double best = 1e9, spent = 0;
  for (int i = 0; i < 5 && (i == 0 || spent < 0.5); ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = std::min(best, s);
    spent += s;
  }
  return best;
}

struct Result {
  std::string name;
  int mode;
  size_t packed;
  double compressSeconds;
  double decompressSeconds;
  bool ok;
};

Result RunPPMd(const Bytes& in, int mode) {
  Bytes packed, back(in.size());
  const double tc = Time([&] {
    void* out = nullptr;
    int64_t size = 0;
    if (PPMCompressBuffer(static_cast<uint8_t>(mode), in.data(), static_cast<int64_t>(in.size()),
                          out, size))
      packed.assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size);
    std::free(out);
  });
  int64_t produced = 0;
  const double td = Time([&] {
    std::lock_guard<std::recursive_mutex> guard(PPMLock());
    produced = PPMDecompress(packed.data(), static_cast<int64_t>(packed.size()), back.data(),
                             static_cast<int64_t>(back.size()));
  });
  return {"PPMd", mode, packed.size(), tc, td,
          !packed.empty() && produced == static_cast<int64_t>(in.size()) && back == in};
}

Result RunZlib(const Bytes& in, int level) {
  Bytes packed(compressBound(in.size())), back(in.size());
  uLongf packedSize = 0;
  const double tc = Time([&] {
    packedSize = packed.size();
    compress2(packed.data(), &packedSize, in.data(), in.size(), level);
  });
  uLongf backSize = 0;
  const double td = Time([&] {
    backSize = back.size();
    uncompress(back.data(), &backSize, packed.data(), packedSize);
  });
  return {"zlib", level, packedSize, tc, td, backSize == in.size() && back == in};
}

Result RunBzip2(const Bytes& in, int blockSize) {
  Bytes packed(in.size() + in.size() / 100 + 600), back(in.size());
  unsigned int packedSize = 0;
  auto* src = reinterpret_cast<char*>(const_cast<uint8_t*>(in.data()));
  const double tc = Time([&] {
    packedSize = static_cast<unsigned int>(packed.size());
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &packedSize, src,
                             static_cast<unsigned int>(in.size()), blockSize, 0, 0);
  });
  unsigned int backSize = 0;
  const double td = Time([&] {
    backSize = static_cast<unsigned int>(back.size());
    BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(back.data()), &backSize,
                               reinterpret_cast<char*>(packed.data()), packedSize, 0, 0);
  });
  return {"bzip2", blockSize, packedSize, tc, td, backSize == in.size() && back == in};
}

}  // namespace

int main(int argc, char** argv) {
  const Bytes in = argc > 1 ? FileText(argv[1], kInputSize) : GeneratedText(kInputSize);
  if (in.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::printf("input: %s, %zu bytes\n\n", argc > 1 ? argv[1] : "generated text", in.size());

  std::vector<Result> results;
  for (int mode = 1; mode <= 9; ++mode) results.push_back(RunZlib(in, mode));
  for (int mode = 1; mode <= 9; ++mode) results.push_back(RunBzip2(in, mode));
  for (int mode = 1; mode <= 9; ++mode) results.push_back(RunPPMd(in, mode));

  const double zlib6 = static_cast<double>(results[5].packed);
  const double mb = static_cast<double>(in.size()) / 1e6;
  std::printf("%-6s %4s %10s %7s %8s %11s %13s %5s\n", "algo", "mode", "packed", "ratio",
              "bits/B", "comp MB/s", "decomp MB/s", "ok");
  for (const Result& r : results) {
    std::printf("%-6s %4d %10zu %6.2f%% %8.3f %11.2f %13.2f %5s   size vs zlib-6: %.3f\n",
                r.name.c_str(), r.mode, r.packed, 100.0 * r.packed / in.size(),
                8.0 * r.packed / in.size(), mb / r.compressSeconds, mb / r.decompressSeconds,
                r.ok ? "yes" : "NO", r.packed / zlib6);
  }
  const bool allOk = std::all_of(results.begin(), results.end(), [](const Result& r) { return r.ok; });
  return allOk ? 0 : 1;
}
