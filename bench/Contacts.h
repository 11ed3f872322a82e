// Contest contacts the program's benchmarks log: the same rows for the
// same seed, so figures of different benchmarks compare.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "app/QsoRecord.h"
#include "app/Scoring.h"

// Deterministic contest contacts: the usual call shapes, the party's bands,
// a few modes, countries and continents; a third of them members.
inline std::vector<qv::app::QsoRecord> MakeContacts(int32_t count, uint32_t seed) {
  static const char* prefixes[] = {"K", "W", "N", "AA", "KB", "VE", "DL", "G", "JA", "OH", "EA", "PY"};
  static const char* modes[] = {"CW", "SSB", "RTTY", "PSK31"};
  static const char* countries[] = {"USA", "CANADA", "GERMANY", "ENGLAND", "JAPAN", "FINLAND", "SPAIN", "BRAZIL"};
  static const char* continents[] = {"NA", "NA", "EU", "EU", "AS", "EU", "EU", "SA"};
  static const char* points[] = {"1", "2", "5"};
  std::mt19937 random(seed);
  std::vector<qv::app::QsoRecord> contacts(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    qv::app::QsoRecord& q = contacts[static_cast<size_t>(i)];
    q.Call = prefixes[random() % 12];
    q.Call += static_cast<char>('0' + random() % 10);
    for (uint32_t k = 1 + random() % 3; k > 0; --k) q.Call += static_cast<char>('A' + random() % 26);
    q.Freq = std::string(qv::app::kBandNames[random() % 8]);
    q.Mode = modes[random() % 4];
    q.QSODate = "2026-05-04";
    q.TimeStart = "1200";
    q.RSTSent = q.RSTRcvd = "599";
    q.NumSent = std::to_string(i + 1);
    q.NumRcvd = std::to_string(1 + random() % 999);
    const uint32_t c = random() % 8;
    q.Country = countries[c];
    q.Continent = continents[c];
    q.IBM = random() % 3 == 0;
    q.Points = points[random() % 3];
    q.Name = "Op" + std::to_string(random() % 100);
  }
  return contacts;
}

// A row of the eight-column log-shaped table of the table benchmarks (the key
// is the row's position): a call sign of the usual shapes, a contest
// frequency and mode, a name and a value.
struct LogRow {
  std::string Call, Freq, Mode, Name;
  int32_t Val = 0;
};

// Deterministic log rows: the same rows for the same seed in every
// benchmark that reads or writes the log-shaped table.
inline std::vector<LogRow> MakeLogRows(int32_t count, uint32_t seed) {
  static const char* prefixes[] = {"K", "W", "N", "AA", "KB", "VE", "DL", "G", "JA", "OH", "EA", "PY"};
  static const char* freqs[] = {"1825", "3525", "7025", "14025", "21025", "28025", "3750", "7200", "14250", "21300"};
  static const char* modes[] = {"CW", "SSB", "RTTY", "FT8"};
  static const char* names[] = {"Al", "Bob", "Cy", "Dee", "Ed", "Flo", "Gus", "Hal"};
  std::mt19937 random(seed);
  std::vector<LogRow> rows;
  rows.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    std::string call = prefixes[random() % 12];
    call += static_cast<char>('0' + random() % 10);
    for (uint32_t k = 1 + random() % 3; k > 0; --k) call += static_cast<char>('A' + random() % 26);
    rows.push_back({call, freqs[random() % 10], modes[random() % 4], names[random() % 8],
                    static_cast<int32_t>(random() % 1000)});
  }
  return rows;
}
