// Table search: which road each lookup of the logging program takes and how
// many records and index keys it touches, on the reference engine of the
// tests with 100,000 seeded rows shaped like the log table: QsoID
// autoincrement with "PrimeIndex", Call indexed (20,000 calls with 5 contacts
// each), Freq, Mode and Name unindexed; then the same lookups with a
// composite (Call, Freq, Mode) index beside it. Timings are printed, not
// judged: the reference engine keeps its indexes in sorted vectors, so they
// say little about the disk engine.
//
// What the figures should show:
//   primary-key lookup                 1 record read
//   Call = X                           at most 2 records per match
//   absent Name                        the scan reads every record
//   duplicate check Call;Freq;Mode     at most 5 records with the Call index
//                                      (one call's contacts), 1 with the
//                                      composite index
//   QsoID range with a Name filter     the index road from 1% up, the scan
//                                      at 100%: one switch
//   Next through Call = X              about a record or two per match
//   Next in Call order through QsoID <= 2000, a row added after 50 steps:
//                                      the range walked once before the
//                                      change and once after it, the other
//                                      steps answered by the record bitmap
//
// Usage: bench_table_search
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/engine/ExpressionBuilders.h"
#include "tests/support/engine/ReferenceEngine.h"

using namespace tabledata_test;

namespace {

constexpr int kCalls = 20000;
constexpr int kContactsPerCall = 5;
constexpr int kRows = kCalls * kContactsPerCall;

enum { kQsoID, kQSODate, kTimeStart, kCall, kFreq, kMode, kRSTSent, kRSTRcvd, kName, kCountry };

const char* const kRoadNames[] = {"scan", "own index range", "index range, natural order",
                                  "index range, placed by bitmap", "complete bitmap", "contradiction"};

std::string CallOf(int n) {
  static const char* const prefixes[] = {"W", "K", "N", "DL", "G", "JA", "VE", "EA"};
  std::string call = prefixes[n % 8];
  call += std::to_string(n % 10);
  for (int i = 0, v = n / 10; i < 3; ++i, v /= 26) call += static_cast<char>('A' + v % 26);
  return call;
}

const char* const kFreqs[] = {"1830", "3550", "7025", "14025", "14250", "21050", "28400"};
const char* const kModes[] = {"CW", "SSB", "FT8"};
const char* const kNames[] = {"Alice", "Bob", "Carol", "Dave", "Erin", "Frank", "Grace", "Heidi"};

struct Measure {
  TVLMSearchFigures Figures;
  double Micros = 0;
};

Measure Run(TableCursor& log, const std::function<void()>& lookup) {
  const TVLMSearchFigures before = log.Table().GetSearchFigures();
  const auto start = std::chrono::steady_clock::now();
  lookup();
  Measure m;
  m.Micros = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  m.Figures = log.Table().GetSearchFigures() - before;
  return m;
}

std::string Roads(const TVLMSearchFigures& f) {
  std::string text;
  for (int r = 0; r < kVLMSearchRoadCount; ++r) {
    if (f.Roads[static_cast<size_t>(r)] == 0) continue;
    if (!text.empty()) text += ", ";
    text += kRoadNames[r];
    if (f.Roads[static_cast<size_t>(r)] > 1) text += " x" + std::to_string(f.Roads[static_cast<size_t>(r)]);
  }
  return text.empty() ? "none" : text;
}

void Print(const char* what, const Measure& m, const char* note = "") {
  std::printf("  %-44s %8lld read %8lld steps %10.0f us  %s%s\n", what, static_cast<long long>(m.Figures.RecordsRead),
              static_cast<long long>(m.Figures.IndexSteps), m.Micros, Roads(m.Figures).c_str(), note);
}

// Locate by field values, as the program's call check does: the table
// data's locate, which reads the record it finds.
bool Locate(TableCursor& log, const char* fields, std::vector<std::string> values) {
  TVLMExpression condition;
  condition.NullSemantics = false;
  condition.BuildKeyValuesCondition(&log, fields,
                                    values.size() == 1 ? qv::HostVariant(values[0])
                                                       : qv::VarArrayOf({values[0], values[1], values[2]}),
                                    false, false);
  return log.Table().Locate(&log, &condition);
}

void Lookups(TableCursor& log, const std::vector<int>& callOfRow, const std::vector<int>& freqOfRow,
             const std::vector<int>& modeOfRow, const char* title) {
  std::printf("%s\n", title);
  log.UseIndex("");
  Print("primary-key lookup QsoID = 54321", Run(log, [&] { Locate(log, "QsoID", {"54321"}); }));
  const int call = callOfRow[12345];
  Print("Call = X (5 matches)", Run(log, [&] { Locate(log, "Call", {CallOf(call)}); }));
  Print("absent Name", Run(log, [&] { Locate(log, "Name", {"Nobody"}); }));
  Print("duplicate check, contact logged", Run(log, [&] {
          Locate(log, "Call;Freq;Mode", {CallOf(call), kFreqs[freqOfRow[12345]], kModes[modeOfRow[12345]]});
        }));
  Print("duplicate check, new contact",
        Run(log, [&] { Locate(log, "Call;Freq;Mode", {CallOf(call), "50100", "CW"}); }));

  // Next through the matches of a filtered cursor.
  TVLMExpression filter(expr_test::Cmp(kVLMOpEqual, expr_test::Field(&log, "Call"),
                                       expr_test::Text(CallOf(call)), true));
  log.SetFilterExpression(&filter);
  int matches = 0;
  const Measure next = Run(log, [&] {
    log.SetToBegin();
    while (log.GetRecord(1) == kVLMNavOK) ++matches;
  });
  log.SetFilterExpression(nullptr);
  Print(("Next through Call = X (" + std::to_string(matches) + " matches)").c_str(), next);

  // A QsoID range with an unindexed filter, from 1% to 100% of the rows.
  std::printf("  QsoID <= k AND Name = absent:\n");
  for (int percent : {1, 5, 10, 25, 50, 75, 90, 99, 100}) {
    const int k = kRows / 100 * percent;
    TVLMExpression condition(expr_test::Bool(
        kVLMOpAnd, expr_test::Cmp(kVLMOpLessEqual, expr_test::Field(&log, "QsoID"), expr_test::Int(k), false),
        expr_test::Cmp(kVLMOpEqual, expr_test::Field(&log, "Name"), expr_test::Text("Nobody"), false)));
    const std::string what = "    " + std::to_string(percent) + "% (k = " + std::to_string(k) + ")";
    Print(what.c_str(), Run(log, [&] { log.Table().Locate(&log, &condition); }));
  }
}

// A filtered walk in another index's order (Call) through a range of the
// primary index: 50 steps, a row added by a second cursor (which outdates
// the walk's record bitmap), then the rest, each part with its roads.
void WalkAcrossAChange(TableCursor& log, TableCursor& writer) {
  std::printf("Next in Call order through QsoID <= 2000, a row added after 50 steps:\n");
  log.UseIndex("CallIndex");
  TVLMExpression filter(
      expr_test::Cmp(kVLMOpLessEqual, expr_test::Field(&log, "QsoID"), expr_test::Int(2000), true));
  log.SetFilterExpression(&filter);
  int head = 0, rest = 0;
  const Measure first = Run(log, [&] {
    log.SetToBegin();
    while (head < 50 && log.GetRecord(1) == kVLMNavOK) ++head;
  });
  writer.Append({std::nullopt, "2024-06-12", "1200", "ZZ9ZZZ", "7025", "CW", "599", "599", "Nemo", "Nowhere"});
  const Measure after = Run(log, [&] {
    while (log.GetRecord(1) == kVLMNavOK) ++rest;
  });
  log.SetFilterExpression(nullptr);
  log.UseIndex("");
  Print(("first " + std::to_string(head) + " steps").c_str(), first);
  Print(("the other " + std::to_string(rest) + " steps").c_str(), after);
}

}  // namespace

int main() {
  RefDatabaseData db;
  schema_test::TestSession session;
  db.ConnectSession(&session);
  TableCursor log(db, session, "V5LogTabl");
  log.Create({{"QsoID", dtAutoinc},
              {"QSODate", dtString, 10},
              {"TimeStart", dtString, 4},
              {"Call", dtString, 10},
              {"Freq", dtString, 12},
              {"Mode", dtString, 10},
              {"RSTSent", dtString, 5},
              {"RSTRcvd", dtString, 5},
              {"Name", dtString, 30},
              {"Country", dtString, 40}},
             {{"PrimeIndex", "QsoID", true, true}});

  // The contacts of every call, in a seeded random order.
  std::mt19937 random(7);
  std::vector<int> callOfRow;
  for (int c = 0; c < kCalls; ++c)
    for (int i = 0; i < kContactsPerCall; ++i) callOfRow.push_back(c);
  std::shuffle(callOfRow.begin(), callOfRow.end(), random);
  std::vector<int> freqOfRow(kRows), modeOfRow(kRows);
  const auto loadStart = std::chrono::steady_clock::now();
  for (int r = 0; r < kRows; ++r) {
    freqOfRow[static_cast<size_t>(r)] = static_cast<int>(random() % 7);
    modeOfRow[static_cast<size_t>(r)] = static_cast<int>(random() % 3);
    const int c = callOfRow[static_cast<size_t>(r)];
    log.Append({std::nullopt, "2024-06-" + std::to_string(10 + r % 2), std::to_string(1000 + r % 1400 / 60 * 100),
                CallOf(c), kFreqs[freqOfRow[static_cast<size_t>(r)]], kModes[modeOfRow[static_cast<size_t>(r)]], "599",
                "599", kNames[c % 8], "United States"});
  }
  // Built after the load: the reference index sorts once instead of
  // inserting into the middle of a vector 100,000 times.
  auto callIndex = IndexOn("CallIndex", "Call");
  log.CreateIndex(*callIndex);
  const double load =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
  std::printf("table search on the reference engine: %d rows loaded in %.1f s\n\n", kRows, load);

  Lookups(log, callOfRow, freqOfRow, modeOfRow, "With PrimeIndex and the Call index:");
  auto composite = IndexOn("CallFreqMode", "Call;Freq;Mode");
  log.CreateIndex(*composite);
  std::printf("\n");
  Lookups(log, callOfRow, freqOfRow, modeOfRow, "With the composite (Call, Freq, Mode) index as well:");
  std::printf("\n");
  TableCursor writer(db, session, "V5LogTabl");
  writer.Open();
  WalkAcrossAChange(log, writer);
  return 0;
}
