// Walks of a table that other processes change between the walk's steps
// (helper program engine_tablecrash in its peer mode). Calls are long texts
// sharing a long prefix: the ByCall index keeps 20 characters of them, so its
// entries tie on their keys and compare by their records, and its pages,
// which hold few entries, split and merge as rows come and go.
//
// Every walk returns the rows live throughout it (there before it began,
// untouched until it ended) exactly once, and all of its rows in the
// index's order (strictly ascending: a step goes on from the key of the row
// it returned last, wherever that row went). A restricted walk (a filter, a
// range, one row per key) does the same over the rows it lets through.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/engine/ExpressionBuilders.h"
#include "tests/support/TestBudget.h"

namespace {

using disk_test::DiskCursor;
using disk_test::DiskSession;
using storage_test::Peer;

constexpr int32_t kCallSize = 60;

// A call: the shared prefix, a number of eight digits, a tail of a length
// the number gives.
std::string CallOf(int64_t number) {
  std::string digits = std::to_string(number);
  digits.insert(0, 8 - std::min<size_t>(digits.size(), 8), '0');
  return "QVSHAREDPREFIXLONG" + digits + "T" + std::string(static_cast<size_t>(number % 23), 'X');
}

// One row of a walk.
struct WalkRow {
  int64_t ID = 0;
  std::string Call;
};

// A walk's answer ("ok ID:CALL ..."); false for an error, code then holds it.
bool ParseWalk(const std::string& answer, std::vector<WalkRow>& rows, int32_t& code) {
  std::istringstream in(answer);
  std::string word;
  in >> word;
  if (word != "ok") {
    in >> code;
    return false;
  }
  while (in >> word) {
    const size_t colon = word.find(':');
    rows.push_back({std::stoll(word.substr(0, colon)), word.substr(colon + 1)});
  }
  return true;
}

// What is wrong with a walk in the order of index: a row out of order or
// twice, a row of stable missing or repeated, a row of never there; "" when
// nothing.
std::string WalkFault(const std::vector<WalkRow>& rows, const std::string& index, const std::set<std::string>& stable,
                      const std::set<std::string>& never) {
  std::map<std::string, int> seen;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (never.count(rows[i].Call) != 0) return "a failed post's row " + rows[i].Call + " is there";
    ++seen[rows[i].Call];
    if (i == 0) continue;
    const WalkRow& a = rows[i - 1];
    const WalkRow& b = rows[i];
    // Natural order: the records' addresses, which the walk does not see.
    const bool ascending = index.empty() || (index == "ByID" ? a.ID < b.ID
                                                             : (a.Call < b.Call || (a.Call == b.Call && a.ID < b.ID)));
    if (!ascending)
      return std::to_string(b.ID) + " " + b.Call + " after " + std::to_string(a.ID) + " " + a.Call + " (row " +
             std::to_string(i) + ")";
  }
  int missing = 0;
  for (const std::string& call : stable) missing += seen[call] != 1 ? 1 : 0;
  for (const std::string& call : stable) {
    if (seen[call] == 1) continue;
    // The rows the walk gave around the place of the call.
    std::string around;
    for (const WalkRow& row : rows)
      if ((index == "ByCall" && row.Call.substr(0, 26) == call.substr(0, 26)) || around.size() < 2)
        around += " " + std::to_string(row.ID) + ":" + row.Call;
    return call + " seen " + std::to_string(seen[call]) + " times (" + std::to_string(missing) + " of " +
           std::to_string(stable.size()) + " not once; " + std::to_string(rows.size()) + " rows;" + around + ")";
  }
  return "";
}

// What a walk is restricted to: nothing; a filter whose conjunct on Call an
// index range serves (its 20-character keys leave the conjunct to be tested
// too); a filter callback; a range of the walk's index; one row per key of
// ByID (whose keys all differ: every row).
enum class Limit { None, Filter, Callback, Range, OnePerKey };

constexpr const char* kFilterFrom = "QVSHAREDPREFIXLONG00100300";

// Whether the walk by index lets the row through.
bool Passes(Limit limit, const std::string& index, const WalkRow& row) {
  switch (limit) {
    case Limit::Filter: return row.Call >= kFilterFrom;
    case Limit::Callback: return std::stoll(row.Call.substr(18, 8)) % 3 != 0;
    case Limit::Range: return index != "ByID" || row.ID > 5;
    default: return true;
  }
}

// The cursor restricted as limit says for the walk by index; lifted at the
// end of the object's life.
class Restricted {
public:
  Restricted(DiskCursor& cursor, const std::string& index, Limit limit)
      : Cursor_(cursor),
        Filter_(expr_test::Cmp(kVLMOpGreaterEqual, expr_test::Field(&cursor, "Call"), expr_test::Text(kFilterFrom))) {
    cursor.UseIndex(index);
    switch (limit) {
      case Limit::Filter: cursor.SetFilterExpression(&Filter_); break;
      case Limit::Callback:
        cursor.FilterCallback = [](TVLMCursor& c, uint8_t* buffer) {
          char call[kCallSize * 2] = {};
          c.GetFieldData(disk_test::kLogCall, buffer, call);
          return Passes(Limit::Callback, "", {0, call});
        };
        break;
      case Limit::Range: {
        Low_ = cursor.AllocKeyBuffer();
        High_ = cursor.AllocKeyBuffer();
        cursor.InitKeyBuffer(Low_);
        cursor.InitKeyBuffer(High_);
        // ByID: above 5; ByCall: every call (its keys are the shared prefix).
        const bool byID = index == "ByID";
        TVLMVariant low(byID ? bdtLargeInt : bdtString);
        TVLMVariant high(byID ? bdtLargeInt : bdtString);
        if (byID) {
          low.SetAsLargeInt(5);
          high.SetAsLargeInt(1000000000);
        } else {
          low.SetAsString("QVSHAREDPREFIXLONG00");
          high.SetAsString("QVSHAREDPREFIXLONG01");
        }
        const int32_t field = byID ? disk_test::kLogID : disk_test::kLogCall;
        cursor.SetFieldValue(low, field, true, Low_);
        cursor.SetFieldValue(high, field, true, High_);
        cursor.SetRange(Low_, High_, 1, 1, byID, false);
        break;
      }
      case Limit::OnePerKey: cursor.IndexFieldCount = 1; break;
      case Limit::None: break;
    }
  }
  ~Restricted() {
    Cursor_.LiftRestrictions(Low_, High_);
  }

private:
  DiskCursor& Cursor_;
  TVLMExpression Filter_;
  uint8_t* Low_ = nullptr;
  uint8_t* High_ = nullptr;
};

class Sharing : public ::testing::Test {
protected:
  // The file with Log (Call of kCallSize characters) holding calls, each
  // with a value of up to 600 bytes.
  void MakeFile(const std::vector<std::string>& calls) {
    Path = Dir.File("shared.vlm");
    storage_test::CreateStandardDatabase(Path, 1024, 8, {}, 50);
    auto database = disk_test::NewDiskDatabase(Path);
    DiskSession session(database.get());
    session.Connect();
    DiskCursor log(*database, session, "Log");
    disk_test::CreateLogTable(log, kCallSize);
    log.Open();
    session.StartTransaction();
    for (size_t i = 0; i < calls.size(); ++i)
      ASSERT_TRUE(disk_test::InsertLog(log, calls[i], disk_test::LogNotes(static_cast<int32_t>(i % 4) * 200,
                                                                         static_cast<int32_t>(i))));
    session.Commit(false);
  }

  // Every call of the file with its value, read by a connection of its own
  // once no other is open; the file checker's finding in fault.
  std::map<std::string, std::vector<uint8_t>> FileRows(std::string& fault) {
    auto database = disk_test::NewDiskDatabase(Path);
    DiskSession session(database.get(), true);
    session.Connect();
    DiskCursor log(*database, session, "Log");
    log.Open();
    fault = disk_test::CheckLogFile(*database, log);
    std::map<std::string, std::vector<uint8_t>> rows;
    log.UseIndex("");
    for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;)
      rows[log.Text(disk_test::kLogCall).value_or("null")] = log.ReadBlob(disk_test::kLogNotes);
    return rows;
  }

  storage_test::FastRetries Retries{200};
  qv::test::ScratchFolder Dir;
  std::string Path;
};

// One walk in this process, its record buffers taking turns as a dataset's
// do; after each step another process commits one change around the row the
// walk stands on: that row deleted and a row added (which may take its
// address), that row given another call before or after it, rows added just
// after it (its leaf splits), the rows after it deleted (leaves merge). The
// walks go by ByCall, ByID and natural order, with no restriction and with
// each kind of one (Limit).
TEST_F(Sharing, AWalkGoesOnByKeyWhileAnotherProcessSplitsAndMergesItsPages) {
  std::vector<std::string> calls;
  for (int64_t i = 0; i < 150; ++i) calls.push_back(CallOf(100000 + i * 10));
  ASSERT_NO_FATAL_FAILURE(MakeFile(calls));
  Peer other(Path, "peer", "engine_tablecrash");
  ASSERT_EQ(other.Greeting, "ready");
  auto database = disk_test::NewDiskDatabase(Path);
  DiskSession session(database.get(), true);
  session.Connect();
  DiskCursor log(*database, session, "Log");
  log.Open();
  uint8_t* own = log.RecordBuffer;
  uint8_t* second = log.AllocRecordBuffer();
  std::set<int64_t> used;
  for (const std::string& call : calls) used.insert(std::stoll(call.substr(18, 8)));
  int64_t farBefore = 10000, between = 500000, farAfter = 900000, changes = 0;
  // A number no call has had, from next on.
  auto fresh = [&](int64_t& next) {
    while (!used.insert(next).second) ++next;
    return next++;
  };
  const std::vector<std::pair<std::string, Limit>> passes = {
      {"ByCall", Limit::None},     {"ByID", Limit::None},    {"ByCall", Limit::Filter},
      {"ByID", Limit::Filter},     {"ByCall", Limit::Range}, {"ByID", Limit::Range},
      {"ByCall", Limit::Callback}, {"ByID", Limit::OnePerKey}, {"", Limit::None},
      {"", Limit::Callback}};
  const char* const limitNames[] = {"none", "filter", "callback", "range", "one per key"};
  for (const auto& [index, limit] : passes) {
    const std::string pass = "by '" + index + "', " + limitNames[static_cast<int>(limit)];
    // A pass that raises is reported as such; the others still run.
    try {
      // The rows as the walk begins, 200 at least (rows in between added).
      std::set<std::string> touched;
      log.UseIndex("");
      std::string fill;
      for (int64_t n = log.GetRecordCount(); n < 200; ++n) fill += "insert " + CallOf(fresh(between)) + " 50 1;";
      if (!fill.empty()) {
        ASSERT_EQ(other.Ask("txn " + fill), "ok");
      }
      const std::vector<std::string> column = log.Column(disk_test::kLogCall);
      const std::vector<std::string> ids = log.Column(disk_test::kLogID);
      std::set<std::string> live(column.begin(), column.end());
      std::set<std::string> stable;
      for (size_t i = 0; i < column.size(); ++i)
        if (Passes(limit, index, {std::stoll(ids[i]), column[i]})) stable.insert(column[i]);
      Restricted restricted(log, index, limit);
      log.SetToBegin();
      std::vector<WalkRow> walk;
      for (int step = 0;; ++step) {
        log.RecordBuffer = step % 2 == 0 ? own : second;
        const uint8_t got = log.GetRecord(1);
        if (got != kVLMNavOK) {
          EXPECT_EQ(got, kVLMNavEOF) << pass << ", step " << step;
          break;
        }
        const std::string at = log.Text(disk_test::kLogCall).value_or("null");
        walk.push_back({log.Int(disk_test::kLogID).value_or(-1), at});
        ASSERT_TRUE(Passes(limit, index, walk.back())) << pass << ": " << at << " let through";
        ASSERT_LT(walk.size(), 1000u) << "the walk does not end";
        const int64_t number = std::stoll(at.substr(18, 8));
        std::string txn;
        std::vector<std::string> gone, added;
        // In natural order the rows added and moved stay in the walk's way:
        // half of its steps change nothing, so that rows stay untouched.
        if (index.empty() && step % 16 >= 8) continue;
        switch (step % 8) {
          case 0:  // the row deleted, a row before it added
            gone.push_back(at);
            added.push_back(CallOf(fresh(farBefore)));
            txn = "delete " + at + ";insert " + added.back() + " 300 7";
            break;
          case 1:
          case 2: {  // the row's call moves before or after it
            const int64_t moved = fresh(step % 8 == 1 ? farBefore : farAfter);
            gone.push_back(at);
            added.push_back(CallOf(moved));
            txn = "update " + at + " " + added.back() + " 100 3";
            break;
          }
          case 3:  // rows just after it
            for (int64_t n = number + 1; added.size() < 12 && n < number + 10; ++n)
              if (used.insert(n).second) added.push_back(CallOf(n));
            for (const std::string& call : added) txn += "insert " + call + " 50 1;";
            break;
          case 4:  // the rows after it
            for (auto it = live.upper_bound(at); it != live.end() && gone.size() < 4; ++it) gone.push_back(*it);
            for (const std::string& call : gone) txn += "delete " + call + ";";
            break;
          default:
            break;
        }
        if (txn.empty()) continue;
        ASSERT_EQ(other.Ask("txn " + txn), "ok") << txn;
        ++changes;
        for (const std::string& call : gone) {
          live.erase(call);
          touched.insert(call);
        }
        for (const std::string& call : added) {
          live.insert(call);
          touched.insert(call);
        }
      }
      for (const std::string& call : touched) stable.erase(call);
      EXPECT_GT(stable.size(), 20u) << pass;
      EXPECT_EQ(WalkFault(walk, index, stable, {}), "") << pass << ", " << walk.size() << " rows walked";
    } catch (const std::exception& e) {
      ADD_FAILURE() << pass << ": " << e.what();
    }
  }
  log.RecordBuffer = own;
  log.FreeRecordBuffer(second);
  EXPECT_GT(changes, 200);
  // A read of the row the walk stands on, in place (a dataset's refresh),
  // moves the walk on from the row as read then: given the last call since,
  // it is the last row.
  log.UseIndex("ByCall");
  log.SetToBegin();
  ASSERT_EQ(log.GetRecord(1), kVLMNavOK);
  const std::string last = CallOf(fresh(farAfter));
  ASSERT_EQ(other.Ask("txn update " + log.Text(disk_test::kLogCall).value_or("") + " " + last + " 10 1"), "ok");
  ASSERT_EQ(log.GetRecord(0), kVLMNavOK);
  EXPECT_EQ(log.Text(disk_test::kLogCall), last);
  EXPECT_EQ(log.GetRecord(1), kVLMNavEOF);
  other.Quit();
  log.Close();
  session.Disconnect();
  std::string fault;
  FileRows(fault);
  EXPECT_EQ(fault, "");
}

// The randomized run: three long-lived writer processes post singly and in
// transactions of 2-40 inserts, updates (a new call or not, a new value)
// and deletes of their own rows; a reader process walks the table over and
// over, by ByCall and by ByID, plain, through a filter callback (ByCall)
// or one row per key (ByID); at a random moment of every round a writer
// is killed, wherever it is, or made to stop at a random file write from
// then on (inside a commit, mostly: the others are then refused with 10741
// until every process has closed), or to hold back the writes of its next
// commit from a random one on until a flush that ends it, landing in any
// subset and order (a client cache of a shared file). A round ends with
// every process closed, the file checked (CheckLogFile) and its rows
// compared with the model of acknowledged commits (the killed writer's last
// transaction wholly there or not at all). Each walk is checked against the
// model: rows live throughout once each, every row in order, no row of a
// failed post; no read fails with 20236.
TEST_F(Sharing, WritersKilledAtRandomLeaveEveryWalkAndTheFileAsAcknowledged) {
  constexpr int kWriters = 3;
  using Rows = std::map<std::string, std::pair<int32_t, int32_t>>;  // call: value size, seed
  struct Writer {
    std::unique_ptr<Peer> Process;
    Rows Model, After;
    std::vector<std::string> Touched;
    bool Busy = false;
    bool Killed = false;
    bool Doomed = false;  // stops at a file write to come
    int64_t Serial = 0;
  };
  std::mt19937_64 random(20261208);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
  auto pick = [&](int64_t n) { return std::uniform_int_distribution<int64_t>(0, n - 1)(random); };
  std::vector<Writer> writers(kWriters);
  auto newCall = [&](int w) { return CallOf((w + 1) * 10000000 + writers[w].Serial++); };
  std::vector<std::string> initial;
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < 40; ++i) {
      initial.push_back(newCall(w));
      writers[w].Model[initial.back()] = {(static_cast<int32_t>(initial.size()) - 1) % 4 * 200,
                                          static_cast<int32_t>(initial.size()) - 1};
    }
  ASSERT_NO_FATAL_FAILURE(MakeFile(initial));

  std::set<std::string> never;  // calls of failed posts
  // refused: posts and walks refused with 10741 over a cut commit.
  int64_t rounds = 0, acknowledged = 0, failed = 0, walks = 0, refused = 0, kills = 0, checked = 0;
  std::vector<std::string> anomalies;
  auto budget = qv::test::TestBudget(25);
  while (budget.Continue(static_cast<uint64_t>(rounds)) && anomalies.empty()) {
    ++rounds;
    for (Writer& writer : writers) {
      writer.Process = std::make_unique<Peer>(Path, "peer", "engine_tablecrash");
      ASSERT_EQ(writer.Process->Greeting, "ready");
      writer.Busy = writer.Killed = writer.Doomed = false;
    }
    Peer reader(Path, "peer", "engine_tablecrash");
    ASSERT_EQ(reader.Greeting, "ready");
    struct Walking {
      bool Busy = false;
      std::string Index;
      Limit Restriction = Limit::None;
      std::set<std::string> Stable;
    } walking;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    const double length = 1.0 + 1.5 * std::uniform_real_distribution<double>(0, 1)(random);
    const double killAt = 0.3 + (length - 0.3) * std::uniform_real_distribution<double>(0, 1)(random);
    bool killed = false;
    bool cut = false;  // a refusal showed a commit cut: the round ends
    // The next transaction of writer w, on its own rows.
    auto send = [&](int w) {
      Writer& writer = writers[w];
      writer.After = writer.Model;
      writer.Touched.clear();
      const int64_t ops = chance(0.4) ? 1 : 2 + pick(39);
      std::set<std::string> done;
      std::string txn;
      for (int64_t i = 0; i < ops; ++i) {
        std::vector<std::string> open;
        for (const auto& [call, value] : writer.After)
          if (done.count(call) == 0) open.push_back(call);
        const double kind = std::uniform_real_distribution<double>(0, 1)(random);
        const auto size = static_cast<int32_t>(pick(5) * 150);
        const auto seed = static_cast<int32_t>(pick(200));
        if (open.size() < 15 || kind < (writer.After.size() < 120 ? 0.45 : 0.25)) {
          const std::string call = newCall(w);
          txn += "insert " + call + " " + std::to_string(size) + " " + std::to_string(seed) + ";";
          writer.After[call] = {size, seed};
          done.insert(call);
        } else if (kind < 0.75) {
          const std::string call = open[static_cast<size_t>(pick(static_cast<int64_t>(open.size())))];
          const std::string moved = chance(0.5) ? newCall(w) : call;
          txn += "update " + call + " " + (moved == call ? "-" : moved) + " " + std::to_string(size) + " " +
                 std::to_string(seed) + ";";
          writer.After.erase(call);
          writer.After[moved] = {size, seed};
          done.insert(call);
          done.insert(moved);
        } else {
          const std::string call = open[static_cast<size_t>(pick(static_cast<int64_t>(open.size())))];
          txn += "delete " + call + ";";
          writer.After.erase(call);
          done.insert(call);
        }
      }
      writer.Touched.assign(done.begin(), done.end());
      for (const std::string& call : done) walking.Stable.erase(call);
      writer.Process->Send("txn " + txn);
      writer.Busy = true;
    };
    auto answered = [&](int w, const std::string& answer) {
      Writer& writer = writers[w];
      if (answer.empty()) {
        // It stopped: its transaction is wholly there or not at all.
        writer.Killed = true;
        return;
      }
      writer.Busy = false;
      if (answer == "ok") {
        writer.Model = writer.After;
        ++acknowledged;
        return;
      }
      ++failed;
      for (const std::string& call : writer.Touched)
        if (writer.Model.count(call) == 0) never.insert(call);
      if (answer == "error 20236") anomalies.push_back("a post failed with 20236");
      // Over a cut commit every write is refused until all have closed.
      if (answer == "error 10741") {
        ++refused;
        cut = true;
        if (!killed) anomalies.push_back("a post was refused with no commit cut");
      }
    };
    auto walked = [&](const std::string& answer) {
      walking.Busy = false;
      std::vector<WalkRow> rows;
      int32_t code = 0;
      if (!ParseWalk(answer, rows, code)) {
        ++refused;
        cut = true;
        if (code != 10741 || !killed) anomalies.push_back("a walk failed with " + std::to_string(code));
        return;
      }
      ++walks;
      checked += static_cast<int64_t>(walking.Stable.size());
      const std::string fault = WalkFault(rows, walking.Index, walking.Stable, never);
      if (!fault.empty())
        anomalies.push_back("walk by " + walking.Index + " (limit " +
                            std::to_string(static_cast<int>(walking.Restriction)) + "): " + fault);
    };
    bool stopping = false;
    while (true) {
      stopping = elapsed() > length || cut;
      if (!killed && elapsed() > killAt) {
        // A busy writer when there is one: it may be inside its commit.
        int w = static_cast<int>(pick(kWriters));
        for (int i = 0; i < kWriters; ++i)
          if (writers[(w + i) % kWriters].Busy) {
            w = (w + i) % kWriters;
            break;
          }
        if (chance(0.5)) {
          writers[w].Process->Kill();
          writers[w].Killed = true;
        } else {
          writers[w].Doomed = true;
        }
        killed = true;
        ++kills;
      }
      for (Writer& writer : writers)
        if (writer.Doomed && !writer.Busy && !writer.Killed) {
          const std::string lostAt = "lostat " + std::to_string(1 + pick(14)) + " " + std::to_string(pick(1000));
          writer.Process->Send(chance(0.5) ? "exitat " + std::to_string(1 + pick(24)) : lostAt);
          if (writer.Process->Receive() != "ok") anomalies.push_back("exitat or lostat was not taken");
          writer.Doomed = false;
        }
      for (int w = 0; w < kWriters; ++w)
        if (!stopping && !writers[w].Busy && !writers[w].Killed) send(w);
      if (!stopping && !walking.Busy) {
        // By ByCall, by ByID, by ByCall through a filter callback, by ByID
        // one row per key.
        walking.Index = walks % 2 == 0 ? "ByCall" : "ByID";
        walking.Restriction = walks % 4 < 2 ? Limit::None : walks % 4 == 2 ? Limit::Callback : Limit::OnePerKey;
        walking.Stable.clear();
        for (const Writer& writer : writers) {
          std::set<std::string> unsure(writer.Touched.begin(), writer.Touched.end());
          for (const auto& [call, value] : writer.Model)
            if ((!writer.Busy || unsure.count(call) == 0) && Passes(walking.Restriction, walking.Index, {0, call}))
              walking.Stable.insert(call);
        }
        const char* const limits[] = {"", "", " callback", "", " onekey"};
        reader.Send("walk " + walking.Index + limits[static_cast<int>(walking.Restriction)]);
        walking.Busy = true;
      }
      std::vector<pollfd> fds;
      std::vector<int> owners;
      for (int w = 0; w < kWriters; ++w)
        if (writers[w].Busy && !writers[w].Killed) {
          fds.push_back({writers[w].Process->Fd(), POLLIN, 0});
          owners.push_back(w);
        }
      if (walking.Busy) {
        fds.push_back({reader.Fd(), POLLIN, 0});
        owners.push_back(-1);
      }
      if (fds.empty()) break;
      ASSERT_LT(elapsed(), length + 120) << "a process does not answer";
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        if (owners[i] < 0) walked(reader.Receive());
        else answered(owners[i], writers[static_cast<size_t>(owners[i])].Process->Receive());
      }
    }
    reader.Quit();
    for (Writer& writer : writers) writer.Process->Quit();

    // The file as the model says, the killed writer's last transaction
    // wholly there or not at all.
    std::string fault;
    const auto file = FileRows(fault);
    if (!fault.empty()) anomalies.push_back("round " + std::to_string(rounds) + ": " + fault);
    for (int w = 0; w < kWriters; ++w) {
      Writer& writer = writers[w];
      const std::string own = CallOf((w + 1) * 10000000).substr(0, 20);
      std::map<std::string, std::vector<uint8_t>> rows;
      for (const auto& [call, notes] : file)
        if (call.compare(0, 20, own) == 0) rows[call] = notes;
      auto holds = [&](const Rows& model) {
        if (rows.size() != model.size()) return false;
        for (const auto& [call, value] : model) {
          const auto it = rows.find(call);
          if (it == rows.end() || it->second != disk_test::LogNotes(value.first, value.second)) return false;
        }
        return true;
      };
      if (holds(writer.Model)) continue;
      if (writer.Killed && writer.Busy && holds(writer.After)) {
        writer.Model = writer.After;
        continue;
      }
      anomalies.push_back("round " + std::to_string(rounds) + ": writer " + std::to_string(w) + " has " +
                          std::to_string(rows.size()) + " rows, the model " + std::to_string(writer.Model.size()));
      writer.Model.clear();
      for (const auto& [call, notes] : rows) writer.Model[call] = {-1, 0};
    }
    for (const std::string& call : never)
      if (file.count(call) != 0) anomalies.push_back("a failed post's row " + call + " is in the file");
  }
  std::printf("[ figures  ] rounds %lld, commits acknowledged %lld, posts failed %lld, walks %lld, refused %lld, "
              "kills %lld, rows checked %lld, anomalies %zu\n",
              static_cast<long long>(rounds), static_cast<long long>(acknowledged), static_cast<long long>(failed),
              static_cast<long long>(walks), static_cast<long long>(refused), static_cast<long long>(kills),
              static_cast<long long>(checked), anomalies.size());
  EXPECT_TRUE(anomalies.empty()) << anomalies.front();
  EXPECT_GT(walks, rounds);
  EXPECT_GT(acknowledged, 10 * rounds);
}

// A writer whose handle goes bad at each file operation of its commit (the
// write fails, and so does the size query: the engine opens the file anew,
// its first 0-2 opens failing 100 ms apart) while another writer process
// commits and a reader process walks. The locks of the bad handle went with
// it, so the other processes may roll the cut commit back and commit over
// it meanwhile: no walk errs or misses a row, and the file passes the
// checker, holds every acknowledged row and none of a commit reported
// failed. The operations run past the commit's last flush (15 of the two
// inserts': 4 in place, the flush before the journal, the journal and its
// flush, CommitState 1, a flush, 3 writes of pages, a flush, block 1 after,
// the last flush), whose failure takes the commit back.
TEST_F(Sharing, AWriterWhoseHandleGoesBadInItsCommitLeavesNothingBehind) {
  using Rows = std::map<std::string, std::pair<int32_t, int32_t>>;  // call: value size, seed
  std::vector<std::string> initial;
  Rows model;
  for (int i = 0; i < 30; ++i) {
    initial.push_back(CallOf(i));
    model[initial.back()] = {i % 4 * 200, i};
  }
  ASSERT_NO_FATAL_FAILURE(MakeFile(initial));
  std::set<std::string> never;
  Peer other(Path, "peer", "engine_tablecrash");
  Peer reader(Path, "peer", "engine_tablecrash");
  ASSERT_EQ(other.Greeting, "ready");
  ASSERT_EQ(reader.Greeting, "ready");
  int64_t serial = 0, cases = 0, landed = 0, failed = 0, commits = 0, walks = 0;
  std::vector<std::string> anomalies;
  auto budget = qv::test::TestBudget(25);
  for (int64_t k = 1; k <= 16 && anomalies.empty(); ++k)
    for (int reopens = 0; reopens <= 2 && budget.Continue(static_cast<uint64_t>(cases)) && anomalies.empty();
         ++reopens, ++cases) {
      Peer writer(Path, "peer", "engine_tablecrash");
      ASSERT_EQ(writer.Greeting, "ready");
      ASSERT_EQ(writer.Ask("losehandle " + std::to_string(k) + " " + std::to_string(reopens) + " 100"), "ok");
      const Rows mine{{CallOf(10000000 + serial), {300, 1}}, {CallOf(10000001 + serial), {0, 2}}};
      serial += 2;
      std::string txn;
      for (const auto& [call, value] : mine)
        txn += "insert " + call + " " + std::to_string(value.first) + " " + std::to_string(value.second) + ";";
      writer.Send("txn " + txn);
      bool answered = false, otherBusy = false, walking = false;
      std::string pending;
      std::set<std::string> stable;
      const auto start = std::chrono::steady_clock::now();
      while (!answered || otherBusy || walking) {
        ASSERT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 60)
            << "a process does not answer";
        if (!answered && !otherBusy) {
          pending = CallOf(20000000 + serial++);
          other.Send("txn insert " + pending + " 150 3");
          otherBusy = true;
        }
        if (!answered && !walking) {
          stable.clear();
          for (const auto& [call, value] : model) stable.insert(call);
          reader.Send("walk ByCall");
          walking = true;
        }
        std::vector<pollfd> fds{{answered ? -1 : writer.Fd(), POLLIN, 0},
                                {otherBusy ? other.Fd() : -1, POLLIN, 0},
                                {walking ? reader.Fd() : -1, POLLIN, 0}};
        if (poll(fds.data(), fds.size(), 20) <= 0) continue;
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
          answered = true;
          const std::string answer = writer.Receive();
          if (answer == "ok") {
            ++landed;
            model.insert(mine.begin(), mine.end());
          } else {
            ++failed;
            for (const auto& [call, value] : mine) never.insert(call);
          }
          // Its locks go with it: the others wait for none of them.
          writer.Quit();
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
          otherBusy = false;
          const std::string answer = other.Receive();
          if (answer == "ok") {
            ++commits;
            model[pending] = {150, 3};
          } else {
            anomalies.push_back("the other writer's commit: " + answer);
          }
        }
        if ((fds[2].revents & (POLLIN | POLLHUP)) != 0) {
          walking = false;
          std::vector<WalkRow> rows;
          int32_t code = 0;
          if (!ParseWalk(reader.Receive(), rows, code)) {
            anomalies.push_back("a walk failed with " + std::to_string(code));
            continue;
          }
          ++walks;
          const std::string fault = WalkFault(rows, "ByCall", stable, never);
          if (!fault.empty()) anomalies.push_back("walk: " + fault);
        }
      }
      if (!anomalies.empty())
        anomalies.back() += " (fault at operation " + std::to_string(k) + ", " + std::to_string(reopens) +
                            " failed opens)";
    }
  other.Quit();
  reader.Quit();
  std::string fault;
  const auto file = FileRows(fault);
  if (!fault.empty()) anomalies.push_back("the file: " + fault);
  for (const auto& [call, value] : model) {
    const auto it = file.find(call);
    if (it == file.end() || it->second != disk_test::LogNotes(value.first, value.second))
      anomalies.push_back("acknowledged row " + call + " is lost or changed");
  }
  for (const std::string& call : never)
    if (file.count(call) != 0) anomalies.push_back("a commit reported failed left its row " + call);
  std::printf("[ figures  ] cases %lld, bad handles' commits landed %lld, failed %lld, other commits %lld, walks "
              "%lld, rows %zu, anomalies %zu\n",
              static_cast<long long>(cases), static_cast<long long>(landed), static_cast<long long>(failed),
              static_cast<long long>(commits), static_cast<long long>(walks), file.size(), anomalies.size());
  EXPECT_TRUE(anomalies.empty()) << anomalies.front();
  EXPECT_GT(failed, 0);
  EXPECT_EQ(file.size(), model.size());
}

}  // namespace
