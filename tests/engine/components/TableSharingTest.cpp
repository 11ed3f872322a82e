// A table shared by several processes, each reaching it through the table
// component as a program does (helper program engine_tablewalk): writers
// post in transactions and are killed at random, readers walk the table over
// and over; every walk is checked against the model of acknowledged commits,
// and the file, once every process has closed it, against the model and the
// file checker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMVariant.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "platform/host/HostVariant.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/components/TableWalkSupport.h"
#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point at) { return std::chrono::duration<double>(Clock::now() - at).count(); }

// An engine_tablewalk process over a socket pair: lines sent, lines read as
// they come without blocking.
class Helper {
public:
  // rows: the rows of a grid's data link on the table (0: none).
  explicit Helper(const std::string& path, int rows = 0) {
    std::vector<std::string> args{path};
    if (rows > 0) args.push_back(std::to_string(rows));
    Fd_ = storage_test::SpawnOverSocket("engine_tablewalk", args, Pid_);
    fcntl(Fd_, F_SETFL, fcntl(Fd_, F_GETFL) | O_NONBLOCK);
  }
  ~Helper() {
    Kill();
    close(Fd_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  void Send(const std::string& text) {
    const std::string line = text + "\n";
    for (size_t sent = 0; sent < line.size();) {
      const ssize_t n = send(Fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{Fd_, POLLOUT, 0};
        poll(&p, 1, 100);
      } else {
        return;  // the process has gone: its end shows when it is read
      }
    }
  }
  // Reads what has come; false once the process has closed its end.
  bool Pump() {
    char chunk[1 << 16];
    for (;;) {
      const ssize_t n = recv(Fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        Buffer_.append(chunk, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        return true;
      } else {
        Ended_ = true;
        return false;
      }
    }
  }
  bool TakeLine(std::string& line) {
    const size_t end = Buffer_.find('\n');
    if (end == std::string::npos) return false;
    line = Buffer_.substr(0, end);
    Buffer_.erase(0, end + 1);
    return true;
  }
  // Waits up to seconds for a line.
  bool WaitLine(std::string& line, double seconds) {
    const auto start = Clock::now();
    while (!TakeLine(line)) {
      if (Ended_ || SecondsSince(start) > seconds) return false;
      pollfd p{Fd_, POLLIN, 0};
      poll(&p, 1, 50);
      Pump();
    }
    return true;
  }
  // Ends the process at once (SIGKILL); what it wrote before stays to be read.
  int Kill() {
    if (Pid_ <= 0) return -1;
    ::kill(Pid_, SIGKILL);
    return Reap();
  }
  // Waits for the process to end by itself; SIGKILL after seconds.
  int Reap(double seconds = 0) {
    if (Pid_ <= 0) return Status_;
    const auto start = Clock::now();
    int status = 0;
    for (;;) {
      const pid_t done = waitpid(Pid_, &status, seconds > 0 ? WNOHANG : 0);
      if (done == Pid_) break;
      if (done < 0 && errno != EINTR) break;
      if (seconds > 0 && SecondsSince(start) > seconds) {
        ::kill(Pid_, SIGKILL);
        seconds = 0;
      } else if (seconds > 0) {
        usleep(5000);
      }
    }
    Pid_ = 0;
    Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    while (Pump()) {
      pollfd p{Fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) break;
    }
    return Status_;
  }
  int Fd() const { return Fd_; }
  bool Ended() const { return Ended_; }
  bool Running() const { return Pid_ > 0; }

private:
  pid_t Pid_ = 0;
  int Fd_ = -1;
  int Status_ = -1;
  bool Ended_ = false;
  std::string Buffer_;
};

// ----------------------------------------------------------------- model

struct Row {
  std::string Name;
  int32_t Score = 0;
  int64_t Size = 0;
  int64_t Seed = 0;
};
using Rows = std::map<int64_t, Row>;

struct Op {
  char Kind = 'i';  // i insert, u update, d delete
  int64_t ID = 0;
  Row Value;  // i and u; Size -1 keeps the Data of the row
};

std::string OpText(const Op& op) {
  if (op.Kind == 'd') return "d " + std::to_string(op.ID);
  return std::string(1, op.Kind) + " " + std::to_string(op.ID) + " " + op.Value.Name + " " +
         std::to_string(op.Value.Score) + " " + std::to_string(op.Value.Size) + " " + std::to_string(op.Value.Seed);
}

void ApplyOp(Rows& rows, const Op& op) {
  if (op.Kind == 'd') {
    rows.erase(op.ID);
    return;
  }
  Row value = op.Value;
  if (value.Size < 0) {
    const Row& old = rows[op.ID];
    value.Size = old.Size;
    value.Seed = old.Seed;
  }
  rows[op.ID] = value;
}

// ops as one transaction of peer (an engine_tablewalk), applied to the
// model rows: the peer's answer ("" when none came in a minute).
std::string CommitOps(Helper& peer, Rows& rows, const std::vector<Op>& ops) {
  std::string txn;
  for (const Op& op : ops) {
    txn += (txn.empty() ? "" : ";") + OpText(op);
    ApplyOp(rows, op);
  }
  peer.Send("txn " + txn);
  std::string line;
  return peer.WaitLine(line, 60) ? line : "";
}

// A transaction sent to a writer: the model's events (sends and answers are
// numbered in one sequence) of its send and of its answer (kUnknown while
// none came, and for good when its writer died with it).
constexpr int64_t kUnknown = INT64_MAX;
struct Txn {
  std::vector<Op> Ops;
  bool Alone = false;
  int64_t Sent = 0;
  int64_t Done = kUnknown;
};

// A row of a walk's answer.
struct WalkRow {
  int64_t ID = 0;
  std::string Name;
  int32_t Score = 0;
  int64_t Size = -1;
};

bool ParseWalk(const std::string& answer, std::vector<WalkRow>& rows) {
  std::istringstream in(answer);
  std::string word;
  in >> word;
  if (word != "ok") return false;
  while (in >> word) {
    WalkRow row;
    const size_t a = word.find(':');
    const size_t b = word.find(':', a + 1);
    const size_t c = word.find(':', b + 1);
    row.ID = std::stoll(word.substr(0, a));
    row.Name = word.substr(a + 1, b - a - 1);
    row.Score = std::stoi(word.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1));
    if (c != std::string::npos) row.Size = std::stoll(word.substr(c + 1));
    rows.push_back(row);
  }
  return true;
}

// What is wrong with a walk of kind (pk, name, natural, filtered: Score < 40,
// selective: Score < 10, both by ByName), each fault
// found with a word of its kind first: "missing" (a row live throughout the
// walk, there in before and touched by no commit that may have come during
// it, not returned once), "twice", "order", "never" (a row that was not
// there and that no such commit touched), "values" (a row live throughout
// with other values than committed), "filter" (a row the filter keeps out).
// "" when nothing.
std::string WalkFault(const std::string& kind, const std::vector<WalkRow>& rows, const Rows& before,
                      const std::set<int64_t>& touched) {
  const int32_t below = kind == "filtered" ? 40 : kind == "selective" ? 10 : 100;
  const bool filtered = below < 100;
  const bool byName = kind == "name" || filtered;
  std::map<int64_t, int> seen;
  std::map<int64_t, std::string> names;
  std::string fault;
  auto note = [&](const std::string& text) {
    if (fault.empty()) fault = text;
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const WalkRow& row = rows[i];
    const auto was = before.find(row.ID);
    const bool stable = was != before.end() && touched.count(row.ID) == 0;
    // A row whose name moved ahead of the walk while it ran may come again
    // under its new name.
    if (++seen[row.ID] >= 2 && (stable || !byName || names[row.ID] == row.Name))
      note("twice: " + std::to_string(row.ID) + " again at row " + std::to_string(i));
    names[row.ID] = row.Name;
    if (was == before.end() && touched.count(row.ID) == 0) note("never: " + std::to_string(row.ID));
    if (stable && (row.Name != was->second.Name || row.Score != was->second.Score ||
                   (row.Size >= 0 && row.Size != was->second.Size)))
      note("values: " + std::to_string(row.ID) + " " + row.Name + " " + std::to_string(row.Score));
    if (filtered && row.Score >= below) note("filter: " + std::to_string(row.ID) + " score " + std::to_string(row.Score));
    if (i == 0) continue;
    const WalkRow& prior = rows[i - 1];
    const bool ascending = kind == "pk" ? prior.ID < row.ID : !byName || prior.Name < row.Name;
    if (!ascending)
      note("order: " + std::to_string(row.ID) + " " + row.Name + " after " + std::to_string(prior.ID) + " " +
           prior.Name + " (row " + std::to_string(i) + ")");
  }
  int64_t missing = 0, stable = 0;
  std::string first;
  for (const auto& [id, row] : before) {
    if (touched.count(id) != 0 || (filtered && row.Score >= below)) continue;
    ++stable;
    if (seen[id] == 1) continue;
    if (seen[id] == 0 && ++missing == 1) first = std::to_string(id) + " " + row.Name;
  }
  if (missing > 0) {
    // The rows the walk returned around the place of the first missing one.
    std::string around;
    const int64_t id = std::stoll(first.substr(0, first.find(' ')));
    const std::string name = before.at(id).Name;
    size_t at = 0;
    while (at < rows.size() && (kind == "pk" ? rows[at].ID < id : byName ? rows[at].Name < name : rows[at].ID != id))
      ++at;
    for (size_t i = at >= 3 ? at - 3 : 0; i < rows.size() && i < at + 3; ++i)
      around += " " + std::to_string(rows[i].ID) + (byName ? ":" + rows[i].Name : "");
    fault = "missing: " + std::to_string(missing) + " of " + std::to_string(stable) + " rows, first " + first + " (" +
            std::to_string(rows.size()) + " rows walked; at row " + std::to_string(at) + ":" + around + ")" +
            (fault.empty() ? "" : "; " + fault);
  }
  return fault;
}

// ---------------------------------------------------------- file checker

struct FileRow {
  std::string Name;
  int32_t Score = 0;
  std::string Data;
};

// Every row of the file, read by a connection of its own once no other is
// open (which rolls back a cut commit), and the file checker's finding in
// fault: the record count is the number of records; each index holds each
// record once, in its order; every index passes its check; the free-space
// maps mark exactly the pages the structures reach.
std::map<int64_t, FileRow> ReadFile(const std::string& path, std::string& fault) {
  std::map<int64_t, FileRow> rows;
  auto database = disk_test::NewDiskDatabase(path);
  disk_test::DiskSession session(database.get(), false);
  session.Connect();
  disk_test::DiskCursor table(*database, session, walk_test::kTable);
  table.Open();
  table.UseIndex("");
  int64_t records = 0;
  for (table.SetToBegin(); table.GetRecord(1) == kVLMNavOK; ++records) {
    const int64_t id = table.Int(walk_test::kID).value_or(-1);
    const std::vector<uint8_t> data = table.ReadBlob(walk_test::kData);
    const bool first = rows.emplace(id, FileRow{table.Text(walk_test::kName).value_or("null"),
                                                static_cast<int32_t>(table.Int(walk_test::kScore).value_or(-1)),
                                                std::string(data.begin(), data.end())})
                           .second;
    if (!first && fault.empty())
      fault = "ID " + std::to_string(id) + " twice in natural order";
  }
  if (table.GetRecordCount() != records && fault.empty())
    fault = "the record count is " + std::to_string(table.GetRecordCount()) + " for " + std::to_string(records);
  for (const char* index : {walk_test::kPK, walk_test::kByName, walk_test::kByScore}) {
    table.UseIndex(index);
    std::set<int64_t> ids;
    std::string lastName;
    int64_t lastID = -1, lastScore = -1;
    for (table.SetToBegin(); table.GetRecord(1) == kVLMNavOK;) {
      const int64_t id = table.Int(walk_test::kID).value_or(-1);
      const std::string name = table.Text(walk_test::kName).value_or("");
      const int64_t score = table.Int(walk_test::kScore).value_or(-1);
      const bool ordered = std::string(index) == walk_test::kPK       ? id > lastID
                           : std::string(index) == walk_test::kByName ? lastID < 0 || name > lastName
                                                                      : score >= lastScore;
      if ((!ids.insert(id).second || !ordered || rows.count(id) == 0) && fault.empty())
        fault = std::string(index) + " holds " + std::to_string(id) + " twice, out of order or without its record";
      lastID = id;
      lastName = name;
      lastScore = score;
    }
    if (ids.size() != rows.size() && fault.empty())
      fault = std::string(index) + " holds " + std::to_string(ids.size()) + " of " + std::to_string(rows.size());
  }
  std::lock_guard guard(database->CriticalSection());
  TVLMBaseIndexManager& indexes = *table.Table().IndexManager;
  for (int32_t i = 0; i < indexes.IndexDefs->GetCount(); ++i) {
    auto& index = static_cast<TVLMBTreeRecordIndex&>(*indexes.GetIndex(indexes.IndexDefs->GetIndexDef(i)->ObjectID));
    try {
      index.CheckIntegrity(table.SessionID());
    } catch (const EVLMException& e) {
      if (fault.empty()) fault = "index " + indexes.IndexDefs->GetIndexDef(i)->Name + " fails its check: " + e.what();
    }
  }
  const std::string space = disk_test::CheckDiskFreeSpace(*database, {&table});
  if (!space.empty() && fault.empty()) fault = space;
  return rows;
}

// ------------------------------------------------------------ the run

constexpr const char* kSharedPrefix = "QVWALKSHAREDNAMEPREFIXTHIRTYCH";  // 30 characters

class TableSharingTest : public ::testing::Test {
protected:
  // The file (named file in the scratch folder) with table Walk holding rows.
  void MakeFile(const Rows& rows, const std::string& file = "walk.vlm") {
    Path = Dir.File(file);
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName("Setup");
    database->SetDatabaseFileName(Path);
    database->SilentMode = true;
    database->CreateDatabase();
    TVLMTable table;
    table.SetDatabaseName("Setup");
    table.SetTableName(walk_test::kTable);
    walk_test::DefineWalk(table);
    table.CreateTable();
    table.Open();
    database->StartTransaction();
    for (const auto& [id, row] : rows) {
      table.Append();
      table.FieldByName("ID")->SetAsInteger(static_cast<int32_t>(id));
      table.FieldByName("Name")->SetAsString(row.Name);
      table.FieldByName("Score")->SetAsInteger(row.Score);
      table.FieldByName("Data")->SetAsString(walk_test::WalkBlob(row.Size, row.Seed));
      table.Post();
    }
    database->Commit(false);
    table.Close();
    database->SetConnected(false);
  }

  // A multi-user database component named name on the file.
  std::unique_ptr<TVLMDatabase> SharedDatabase(const std::string& name) const {
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName(name);
    database->SetDatabaseFileName(Path);
    database->MultiUser = true;
    database->SilentMode = true;
    return database;
  }
  // Table Walk of the database component named name, open in the order of
  // index.
  static void OpenWalk(TVLMTable& table, const std::string& name, const char* index) {
    table.SetDatabaseName(name);
    table.SetTableName(walk_test::kTable);
    table.Open();
    table.SetIndexName(index);
  }

  local_test::RuntimeScope Runtime;
  qv::test::ScratchFolder Dir;
  std::string Path;
};

// The randomized run. Each round starts three or four writer processes and
// one or two readers on the file. A writer posts transactions of 1-120
// inserts, updates (Locate, Edit, Post) and deletes of its own rows (IDs
// from w * 1,000,000), some of them alone, each row with a BLOB of up to
// 20,000 bytes and, in most rounds, a name that begins with the same 30
// characters as every other (the ByName index keeps 20 of them: its keys tie
// and compare by their records). Writers are killed at random moments
// (SIGKILL) or stop at a random file-changing operation from some moment on
// (inside a commit, mostly), and are started again; the transaction a
// writer died with is wholly there or not at all, which the file tells at
// the end of the round. Readers keep the table open and walk it over and
// over outside a transaction, in PK order, ByName, natural order and ByName
// filtered by "Score < 40" and by "Score < 10", reading each row's BLOB in
// every sixth walk;
// in half of the rounds one reader shows the table in a grid of 12 rows
// (its steps read rows ahead into the record buffers); writers now and then
// walk it too. Every walk is
// checked (WalkFault) against the model as acknowledged when it was asked
// for, leaving out the rows of every transaction that may have committed
// while it ran. A round ends with every process closed, the file checked
// and its rows compared with the model. A connection refused with 10741
// (another connection's cut commit) tries again after a short sleep; the
// refusals are counted, and a round whose refusals last more than two
// seconds ends early. The figures of the run are printed; QV_WALK_SEED sets
// another seed for a run by hand.
TEST_F(TableSharingTest, WalksThroughTheComponentSeeEveryLiveRowOnceWhileWritersCommitAndDie) {
  const bool longRun = qv::test::LongRunRequested();
  const int64_t target = longRun ? 500 : 150;  // rows per writer
  const double roundSeconds = longRun ? 20 : 6;
  std::mt19937_64 random(
      std::getenv("QV_WALK_SEED") != nullptr ? std::strtoull(std::getenv("QV_WALK_SEED"), nullptr, 10) : 20260512);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
  auto pick = [&](int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(random); };
  bool heavy = true;
  auto newRow = [&](int64_t id) {
    Row row;
    std::string tail;
    for (int i = 0; i < 6; ++i) tail += static_cast<char>('A' + pick(0, 25));
    std::string digits = std::to_string(id);
    digits.insert(0, 8 - digits.size(), '0');
    row.Name = (heavy ? std::string(kSharedPrefix) : std::string()) + tail + digits;
    row.Score = static_cast<int32_t>(pick(0, 99));
    const int64_t kind = pick(0, 9);
    row.Size = kind < 5 ? pick(0, 500) : kind < 9 ? pick(500, 5000) : pick(5000, 20000);
    row.Seed = pick(0, 1000000);
    return row;
  };
  constexpr int kMaxWriters = 4;
  std::vector<int64_t> serial(kMaxWriters + 1, 0);
  Rows model;
  for (int w = 1; w <= kMaxWriters; ++w)
    for (int64_t i = 0; i < target; ++i) {
      const int64_t id = w * 1000000 + serial[w]++;
      model[id] = newRow(id);
    }
  ASSERT_NO_FATAL_FAILURE(MakeFile(model));

  struct Walk {
    std::string Kind;
    bool Blob = false;
    int64_t Start = 0;
    std::shared_ptr<const Rows> Before;
    Clock::time_point At;
  };
  struct Refusals {
    bool Open = false;
    Clock::time_point Since;
  };
  struct Writer {
    int W = 0;
    std::unique_ptr<Helper> Process;
    bool Ready = false;
    std::shared_ptr<Txn> Pending;
    std::unique_ptr<Walk> Walking;
    int Skip = 0;  // answers of exitat still to come
    Clock::time_point RetryAt;
    bool Retry = false;
    Clock::time_point KillAt;
    bool KillSet = false;
    Refusals Refused;
    Clock::time_point SentAt;
  };
  struct Reader {
    std::unique_ptr<Helper> Process;
    bool Ready = false;
    std::unique_ptr<Walk> Walking;
    int Turn = 0;
    Clock::time_point RetryAt;
    bool Retry = false;
    Refusals Refused;
  };

  // Figures of the run.
  int64_t rounds = 0, kills = 0, exits = 0, gaveUp = 0, unclosed = 0, acknowledged = 0, refusals = 0, landed = 0,
          lost = 0, cutShort = 0;
  double longestRefusal = 0;
  std::map<std::string, int64_t> walks, faultWalks;
  std::vector<std::string> faults;
  auto fault = [&](const std::string& text) {
    const std::string kind = text.substr(0, text.find(':'));
    ++faultWalks[kind];
    if (faults.size() < 12) faults.push_back(text);
  };
  // A helper's first line: "ready REFUSED MS", the refusals its open met.
  auto countGreeting = [&](const std::string& line) {
    std::istringstream in(line);
    std::string word;
    int64_t refused = 0, ms = 0;
    in >> word >> refused >> ms;
    refusals += refused;
    longestRefusal = std::max(longestRefusal, static_cast<double>(ms) / 1000);
  };

  auto budget = qv::test::TestBudget(24);
  while (budget.Continue(static_cast<uint64_t>(rounds)) && budget.Seconds() - budget.Elapsed() > 1) {
    ++rounds;
    const double roundLength = std::min(roundSeconds, budget.Seconds() - budget.Elapsed());
    heavy = rounds % 3 != 0;
    const int writerCount = rounds % 2 == 1 ? 4 : 3;
    const int readerCount = rounds % 2 == 1 ? 2 : 1;
    int64_t now = 0;  // the model's events
    std::deque<std::shared_ptr<Txn>> history;
    std::vector<std::shared_ptr<Txn>> uncertain;
    std::set<int64_t> frozen;  // rows of uncertain transactions
    std::vector<Writer> writers(static_cast<size_t>(writerCount));
    std::vector<Reader> readers(static_cast<size_t>(readerCount));
    const auto roundStart = Clock::now();
    bool stalled = false;

    auto refusedNow = [&](Refusals& r) {
      ++refusals;
      if (!r.Open) {
        r.Open = true;
        r.Since = Clock::now();
      }
    };
    auto answered = [&](Refusals& r) {
      if (r.Open) longestRefusal = std::max(longestRefusal, SecondsSince(r.Since));
      r.Open = false;
    };
    auto touchedDuring = [&](const Walk& walk, int64_t end) {
      std::set<int64_t> touched(frozen);
      for (const auto& txn : history)
        if (txn->Done > walk.Start && txn->Sent < end)
          for (const Op& op : txn->Ops) touched.insert(op.ID);
      return touched;
    };
    auto newWalk = [&](const std::string& kind) {
      auto walk = std::make_unique<Walk>();
      walk->Kind = kind;
      walk->Start = ++now;
      walk->Before = std::make_shared<const Rows>(model);
      walk->At = Clock::now();
      ++walks[kind];
      return walk;
    };
    auto checkWalk = [&](const Walk& walk, const std::string& answer, const std::string& who) {
      const int64_t end = ++now;
      std::vector<WalkRow> rows;
      if (!ParseWalk(answer, rows)) {
        fault("error: " + who + " walk " + walk.Kind + ": " + answer.substr(0, 200));
        return;
      }
      const std::string found = WalkFault(walk.Kind, rows, *walk.Before, touchedDuring(walk, end));
      if (!found.empty())
        fault(found + " [" + who + " walk " + walk.Kind + (walk.Blob ? " blob" : "") + ", round " +
              std::to_string(rounds) + "]");
    };
    // The next transaction of writer w (1-based): 1-120 operations on its
    // own rows that no uncertain transaction touched.
    auto nextTxn = [&](int w) {
      auto txn = std::make_shared<Txn>();
      std::vector<int64_t> own;
      for (auto it = model.lower_bound(w * 1000000LL); it != model.end() && it->first < (w + 1) * 1000000LL; ++it)
        if (frozen.count(it->first) == 0) own.push_back(it->first);
      std::shuffle(own.begin(), own.end(), random);
      const int64_t size = chance(0.25) ? 1 : chance(0.7) ? pick(2, 30) : pick(31, 120);
      int64_t count = static_cast<int64_t>(own.size());
      for (int64_t k = 0; k < size; ++k) {
        const double insert = count < target * 8 / 10 ? 0.6 : count > target * 12 / 10 ? 0.1 : 0.35;
        const double remove = count < target * 8 / 10 ? 0.1 : count > target * 12 / 10 ? 0.6 : 0.3;
        const double r = std::uniform_real_distribution<double>(0, 1)(random);
        Op op;
        if (r < insert || own.empty()) {
          op.Kind = 'i';
          op.ID = w * 1000000LL + serial[static_cast<size_t>(w)]++;
          op.Value = newRow(op.ID);
          ++count;
        } else {
          op.ID = own.back();
          own.pop_back();
          if (r < insert + remove) {
            op.Kind = 'd';
            --count;
          } else {
            op.Kind = 'u';
            op.Value = newRow(op.ID);
            if (chance(0.3)) op.Value.Size = -1;
          }
        }
        txn->Ops.push_back(op);
      }
      txn->Alone = txn->Ops.size() == 1 && chance(0.5);
      return txn;
    };
    auto sendTxn = [&](Writer& writer, std::shared_ptr<Txn> txn) {
      std::string line = txn->Alone ? "one " : "txn ";
      for (size_t i = 0; i < txn->Ops.size(); ++i) line += (i > 0 ? ";" : "") + OpText(txn->Ops[i]);
      txn->Sent = ++now;
      history.push_back(txn);
      writer.Pending = std::move(txn);
      writer.SentAt = Clock::now();
      writer.Process->Send(line);
    };
    auto nextWork = [&](Writer& writer) {
      if (chance(0.05)) {
        writer.Walking = newWalk(chance(0.5) ? "pk" : "name");
        writer.SentAt = Clock::now();
        writer.Process->Send("walk " + writer.Walking->Kind);
        return;
      }
      sendTxn(writer, nextTxn(writer.W));
    };
    auto startWriter = [&](Writer& writer) {
      writer.Process = std::make_unique<Helper>(Path);
      writer.Ready = false;
      writer.Skip = 0;
      writer.Retry = false;
      writer.KillSet = chance(0.35);
      writer.KillAt = Clock::now() + std::chrono::milliseconds(pick(300, static_cast<int64_t>(roundLength * 1000)));
    };
    const char* const kinds[] = {"pk", "name", "natural", "filtered", "selective"};
    auto nextWalk = [&](Reader& reader) {
      reader.Walking = newWalk(kinds[reader.Turn % 5]);
      reader.Walking->Blob = reader.Turn % 6 == 5;
      reader.Process->Send("walk " + reader.Walking->Kind + (reader.Walking->Blob ? " blob" : ""));
      ++reader.Turn;
    };
    // A writer that died: what it had answered is taken, the transaction it
    // died with is left for the file to tell.
    auto writerDied = [&](Writer& writer) {
      std::string line;
      while (writer.Process->TakeLine(line)) {
        if (writer.Skip > 0) {
          --writer.Skip;
          continue;
        }
        if (writer.Pending && line == "ok") {
          writer.Pending->Done = ++now;
          for (const Op& op : writer.Pending->Ops) ApplyOp(model, op);
          ++acknowledged;
          writer.Pending.reset();
        }
      }
      if (writer.Pending) {
        for (const Op& op : writer.Pending->Ops) frozen.insert(op.ID);
        uncertain.push_back(writer.Pending);
        writer.Pending.reset();
      }
      writer.Walking.reset();
      if (writer.Refused.Open) answered(writer.Refused);
      startWriter(writer);
    };

    for (int w = 0; w < writerCount; ++w) {
      writers[static_cast<size_t>(w)].W = w + 1;
      startWriter(writers[static_cast<size_t>(w)]);
    }
    // The last reader shows the table in a grid of 12 rows in every other
    // round: its steps read rows ahead into the table's record buffers.
    for (size_t r = 0; r < readers.size(); ++r)
      readers[r].Process = std::make_unique<Helper>(Path, r + 1 == readers.size() && rounds % 4 < 2 ? 12 : 0);

    while (SecondsSince(roundStart) < roundLength && !stalled) {
      std::vector<pollfd> fds;
      for (Writer& writer : writers) fds.push_back({writer.Process->Fd(), POLLIN, 0});
      for (Reader& reader : readers) fds.push_back({reader.Process->Fd(), POLLIN, 0});
      poll(fds.data(), fds.size(), 5);
      for (Writer& writer : writers) {
        if (writer.KillSet && Clock::now() >= writer.KillAt) {
          writer.Process->Kill();
          ++kills;
          writerDied(writer);
          continue;
        }
        if (!writer.Process->Pump()) {
          const int status = writer.Process->Reap();
          if (!writer.Ready && status != 99) {
            fault("error: writer " + std::to_string(writer.W) + " could not open the table, status " +
                  std::to_string(status));
            stalled = true;
            break;
          }
          ++(status == 4 ? gaveUp : exits);
          writerDied(writer);
          continue;
        }
        std::string line;
        while (writer.Process->TakeLine(line)) {
          if (!writer.Ready) {
            countGreeting(line);
            writer.Ready = true;
            // Some writers stop at a file-changing operation to come (inside
            // a commit, mostly).
            if (chance(0.35)) {
              writer.Process->Send("exitat " + std::to_string(pick(20, 800)));
              ++writer.Skip;
            }
            nextWork(writer);
            continue;
          }
          if (writer.Skip > 0) {
            --writer.Skip;
            continue;
          }
          if (writer.Walking) {
            if (line.rfind("error 10741", 0) == 0) {
              refusedNow(writer.Refused);
              writer.Walking.reset();
              writer.Retry = true;
              writer.RetryAt = Clock::now() + std::chrono::milliseconds(20);
              continue;
            }
            answered(writer.Refused);
            checkWalk(*writer.Walking, line, "writer " + std::to_string(writer.W));
            writer.Walking.reset();
            nextWork(writer);
            continue;
          }
          std::shared_ptr<Txn> txn = std::move(writer.Pending);
          if (!txn) {
            fault("error: writer " + std::to_string(writer.W) + " answered nothing asked: " + line.substr(0, 200));
            continue;
          }
          txn->Done = ++now;
          if (line == "ok") {
            answered(writer.Refused);
            for (const Op& op : txn->Ops) ApplyOp(model, op);
            ++acknowledged;
            nextWork(writer);
          } else if (line.rfind("error 10741", 0) == 0) {
            // Refused over a cut commit: the same operations again soon.
            refusedNow(writer.Refused);
            auto again = std::make_shared<Txn>();
            again->Ops = txn->Ops;
            again->Alone = txn->Alone;
            writer.Pending = again;
            writer.Retry = true;
            writer.RetryAt = Clock::now() + std::chrono::milliseconds(20);
          } else {
            std::string ops;
            for (const Op& op : txn->Ops) ops += std::string(" ") + op.Kind + std::to_string(op.ID);
            fault("error: writer " + std::to_string(writer.W) + ": " + line.substr(0, 300) + " in" +
                  ops.substr(0, 300));
          }
        }
        if (writer.Retry && Clock::now() >= writer.RetryAt) {
          writer.Retry = false;
          if (writer.Pending) {
            auto txn = std::move(writer.Pending);
            sendTxn(writer, txn);
          } else {
            nextWork(writer);
          }
        }
        if (writer.Refused.Open && SecondsSince(writer.Refused.Since) > 2) stalled = true;
        if ((writer.Pending || writer.Walking) && writer.Ready && SecondsSince(writer.SentAt) > 100) {
          fault("noend: writer " + std::to_string(writer.W) + " has not answered for 100 s");
          stalled = true;
        }
      }
      for (size_t r = 0; r < readers.size(); ++r) {
        Reader& reader = readers[r];
        if (!reader.Process->Pump()) {
          fault("error: reader " + std::to_string(r) + " ended, status " + std::to_string(reader.Process->Reap()));
          stalled = true;
          break;
        }
        std::string line;
        while (reader.Process->TakeLine(line)) {
          if (!reader.Ready) {
            countGreeting(line);
            reader.Ready = true;
            nextWalk(reader);
            continue;
          }
          if (line.rfind("error 10741", 0) == 0) {
            refusedNow(reader.Refused);
            reader.Walking.reset();
            reader.Retry = true;
            reader.RetryAt = Clock::now() + std::chrono::milliseconds(20);
            continue;
          }
          answered(reader.Refused);
          checkWalk(*reader.Walking, line, "reader " + std::to_string(r));
          reader.Walking.reset();
          nextWalk(reader);
        }
        if (reader.Retry && Clock::now() >= reader.RetryAt) {
          reader.Retry = false;
          nextWalk(reader);
        }
        if (reader.Refused.Open && SecondsSince(reader.Refused.Since) > 2) stalled = true;
        if (reader.Walking && SecondsSince(reader.Walking->At) > 100) {
          fault("noend: reader " + std::to_string(r) + " walk " + reader.Walking->Kind + " has not ended in 100 s");
          stalled = true;
        }
      }
    }
    if (stalled) ++cutShort;

    // The round's end: every process closes; what they answer before is taken.
    for (Writer& writer : writers) writer.Process->Send("quit");
    for (Reader& reader : readers) reader.Process->Send("quit");
    for (Writer& writer : writers) {
      // 3: the process could not close the file (4: it gave up a failed edit).
      const int status = writer.Process->Reap(120);
      if (status == 3) ++unclosed;
      if (status == 4) ++gaveUp;
      std::string line;
      while (writer.Process->TakeLine(line)) {
        if (writer.Skip > 0) {
          --writer.Skip;
        } else if (!writer.Ready) {
          writer.Ready = true;
        } else if (writer.Walking) {
          if (line.rfind("error 10741", 0) != 0) checkWalk(*writer.Walking, line, "writer " + std::to_string(writer.W));
          writer.Walking.reset();
        } else if (writer.Pending) {
          writer.Pending->Done = ++now;
          if (line == "ok") {
            for (const Op& op : writer.Pending->Ops) ApplyOp(model, op);
            ++acknowledged;
          } else if (line.rfind("error 10741", 0) != 0) {
            fault("error: writer " + std::to_string(writer.W) + ": " + line.substr(0, 300));
          }
          writer.Pending.reset();
        }
      }
      if (writer.Pending) {  // it died before it answered
        for (const Op& op : writer.Pending->Ops) frozen.insert(op.ID);
        uncertain.push_back(writer.Pending);
      }
      if (writer.Refused.Open) answered(writer.Refused);
    }
    for (size_t r = 0; r < readers.size(); ++r) {
      Reader& reader = readers[r];
      if (reader.Process->Reap(120) == 3) ++unclosed;
      std::string line;
      while (reader.Process->TakeLine(line)) {
        if (!reader.Ready) {
          reader.Ready = true;
        } else if (reader.Walking && line.rfind("error 10741", 0) != 0) {
          checkWalk(*reader.Walking, line, "reader " + std::to_string(r));
          reader.Walking.reset();
        }
      }
      if (reader.Refused.Open) answered(reader.Refused);
    }

    // The file: checked, each uncertain transaction wholly there or not at
    // all, then every row as the model has it.
    std::string fileFault;
    const std::map<int64_t, FileRow> file = ReadFile(Path, fileFault);
    if (!fileFault.empty()) fault("file: round " + std::to_string(rounds) + ": " + fileFault);
    auto holds = [&](const Rows& rows, int64_t id) {
      const auto want = rows.find(id);
      const auto got = file.find(id);
      if (want == rows.end() || got == file.end()) return (want == rows.end()) == (got == file.end());
      return got->second.Name == want->second.Name && got->second.Score == want->second.Score &&
             got->second.Data == walk_test::WalkBlob(want->second.Size, want->second.Seed);
    };
    for (const auto& txn : uncertain) {
      Rows after = model;
      for (const Op& op : txn->Ops) ApplyOp(after, op);
      bool isAfter = true, isBefore = true;
      for (const Op& op : txn->Ops) {
        isAfter = isAfter && holds(after, op.ID);
        isBefore = isBefore && holds(model, op.ID);
      }
      if (isAfter) {
        model = std::move(after);
        ++landed;
      } else if (isBefore) {
        ++lost;
      } else {
        fault("file: a transaction of " + std::to_string(txn->Ops.size()) + " operations half there, round " +
              std::to_string(rounds));
      }
    }
    int64_t wrong = 0;
    std::string firstWrong;
    std::set<int64_t> ids;
    for (const auto& [id, row] : model) ids.insert(id);
    for (const auto& [id, row] : file) ids.insert(id);
    for (int64_t id : ids)
      if (!holds(model, id) && ++wrong == 1) firstWrong = std::to_string(id);
    if (wrong > 0)
      fault("file: " + std::to_string(wrong) + " rows lost, extra or wrong, first " + firstWrong + ", round " +
            std::to_string(rounds));
  }

  std::string figures = std::to_string(rounds) + " rounds (" + std::to_string(cutShort) + " cut short by refusals), " +
                        std::to_string(kills) + " kills, " + std::to_string(exits) + " stops at a file operation, " +
                        std::to_string(gaveUp) + " writers that could not cancel a failed edit, " +
                        std::to_string(acknowledged) + " acknowledged commits, " + std::to_string(landed) + " + " +
                        std::to_string(lost) + " unacknowledged landed + not; walks:";
  for (const auto& [kind, n] : walks) figures += " " + kind + " " + std::to_string(n);
  figures += "; refused with 10741: " + std::to_string(refusals) + ", longest refusal " +
             std::to_string(longestRefusal) + " s; processes that could not close: " + std::to_string(unclosed) +
             "; faults:";
  for (const auto& [kind, n] : faultWalks) figures += " " + kind + " " + std::to_string(n);
  std::printf("%s\n", figures.c_str());
  for (const std::string& text : faults) ADD_FAILURE() << text;
  EXPECT_GT(acknowledged, 20);
  EXPECT_GT(walks["pk"] + walks["name"], 8);
}

// A cursor placed on row 1000100 of 300 (PK order) by Locate, LocateNotBelow,
// SetRecNo or steps from the first row; another process then deletes that
// row (alone, with its neighbours, or with 200 rows inserted past the end,
// which may take its slot), or other rows; the cursor steps Next (Prior) to
// the end (the start). It goes on from its row's key: every row beyond it
// in the step's direction, each once, in order. So it does when the program
// also probes bookmarks of two other rows (BookmarkValid, CompareBookmarks)
// before the other process commits and reads its record (GetCurrentRecord)
// and its BLOB after (empty when the row is gone): reads that are no move.
TEST_F(TableSharingTest, ACursorPlacedOnARowAnotherProcessDeletesGoesOnFromItsKey) {
  enum class Place { Locate, NotBelow, RecNo, Steps };
  enum class Change { Row, Neighbours, RowAndInserts, Others };
  const char* const placeNames[] = {"Locate", "LocateNotBelow", "SetRecNo", "steps"};
  const char* const changeNames[] = {"the row deleted", "the row and its neighbours deleted",
                                     "the row deleted, 200 inserted past the end", "other rows deleted"};
  constexpr int64_t kFirst = 1000000, kAt = 1000100;
  int failures = 0, files = 0;
  for (const Place place : {Place::Locate, Place::NotBelow, Place::RecNo, Place::Steps})
    for (const Change change : {Change::Row, Change::Neighbours, Change::RowAndInserts, Change::Others})
      for (const bool forward : {true, false})
        for (const bool probes : {false, true}) {
          const std::string name = std::string(placeNames[static_cast<int>(place)]) + ", " +
                                   changeNames[static_cast<int>(change)] + ", " + (forward ? "Next" : "Prior") +
                                   (probes ? ", probes" : "");
          SCOPED_TRACE(name);
          Rows rows;
          for (int64_t id = kFirst; id < kFirst + 300; ++id) rows[id] = Row{"N" + std::to_string(id), 50, 100, id};
          ASSERT_NO_FATAL_FAILURE(MakeFile(rows, "placed" + std::to_string(++files) + ".vlm"));
          Helper peer(Path);
          std::string line;
          ASSERT_TRUE(peer.WaitLine(line, 60));
          auto database = SharedDatabase("Placed");
          TVLMTable table;
          OpenWalk(table, "Placed", walk_test::kPK);
          qv::Bookmark marks[2];
          for (int m = 0; m < 2 && probes; ++m) {
            ASSERT_TRUE(table.Locate("ID", qv::HostVariant(static_cast<int32_t>(kFirst + 150 + 100 * m)), 0));
            marks[m] = table.GetBookmark();
          }
          switch (place) {
            case Place::Locate:
              ASSERT_TRUE(table.Locate("ID", qv::HostVariant(static_cast<int32_t>(kAt)), 0));
              break;
            case Place::NotBelow: {
              TVLMVariant value;
              value.SetAsInteger(static_cast<int32_t>(kAt));
              ASSERT_TRUE(table.LocateNotBelow("ID", value));
              break;
            }
            case Place::RecNo:
              table.SetRecNo(static_cast<int32_t>(kAt - kFirst + 1));
              break;
            case Place::Steps:
              table.First();
              table.MoveBy(static_cast<int32_t>(kAt - kFirst));
              break;
          }
          ASSERT_EQ(table.FieldByName("ID")->AsInteger(), kAt);
          if (probes) {
            EXPECT_TRUE(table.BookmarkValid(marks[0]));
            EXPECT_TRUE(table.BookmarkValid(marks[1]));
            EXPECT_LT(table.CompareBookmarks(marks[0].data(), marks[1].data()), 0);
          }
          std::vector<Op> ops;
          if (change == Change::Others) {
            for (int64_t id : {kFirst + 10, kFirst + 11, kFirst + 200, kFirst + 201, kFirst + 299})
              ops.push_back({'d', id, {}});
          } else {
            const int64_t around = change == Change::Neighbours ? 2 : 0;
            for (int64_t id = kAt - around; id <= kAt + around; ++id) ops.push_back({'d', id, {}});
          }
          if (change == Change::RowAndInserts)
            for (int64_t id = kFirst + 300; id < kFirst + 500; ++id)
              ops.push_back({'i', id, Row{"N" + std::to_string(id), 50, 100, id}});
          ASSERT_EQ(CommitOps(peer, rows, ops), "ok");
          if (probes) {
            uint8_t* record = table.Handle()->AllocRecordBuffer();
            table.GetCurrentRecord(record);
            table.Handle()->FreeRecordBuffer(record);
            const std::string data = table.FieldByName("Data")->AsString();
            EXPECT_TRUE(data.empty() || data == walk_test::WalkBlob(100, kAt));
            EXPECT_EQ(table.FieldByName("ID")->AsInteger(), kAt);
          }
          std::vector<int64_t> expected, got;
          for (const auto& [id, row] : rows)
            if (forward ? id > kAt : id < kAt) expected.push_back(id);
          if (!forward) std::reverse(expected.begin(), expected.end());
          for (;;) {
            if (forward)
              table.Next();
            else
              table.Prior();
            if (forward ? table.Eof() : table.Bof()) break;
            got.push_back(table.FieldByName("ID")->AsInteger());
            if (got.size() > 1000) break;
          }
          if (got != expected) {
            ++failures;
            ADD_FAILURE() << got.size() << " rows, " << expected.size() << " expected; first "
                          << (got.empty() ? -1 : got.front()) << ", last " << (got.empty() ? -1 : got.back());
          }
          table.Close();
          database->SetConnected(false);
          peer.Send("quit");
          EXPECT_EQ(peer.Reap(60), 0);
        }
  EXPECT_EQ(failures, 0);
}

// A cursor walks with the filter Score < 1, 5, 10, 20 or 40, which a range
// of ByScore answers, in another index's order (ByName, whose keys tie in
// their first 30 characters, forward and back, or PK); ten times in the walk
// another process commits an insert, a delete (of the row the cursor stands
// on, every other time) and an update of rows of the table. The walk
// returns every row no commit touched once, in order, and none the filter
// keeps out. The range of ByScore is walked by the first step and at most
// once per commit (a step fills the record bitmap, which answers the steps
// after it until the next commit), or never where it holds 40% of the rows
// (the steps scan in the walk's order); a step the bitmap answers reads
// hardly more than its own record. From 5% of the rows on, a fill reads
// little more than the range's records (it searches no match's place in
// the walk's index, where ByName's tied keys read a dozen records each).
// Before the walk, a Locate of a name reads a few records: two descents of
// ByName (the start and the end of its range), each bisecting the tied keys
// on its way down.
TEST_F(TableSharingTest, AFilteredWalkInAnotherIndexsOrderWalksItsRangeOncePerCommit) {
  constexpr int64_t kFirst = 1000000, kNew = 2000000, kRows = 2000;
  int files = 0;
  struct Walk {
    const char* Index;
    bool Forward;
    int32_t Below;  // Score < Below
  };
  const Walk walks[] = {{walk_test::kByName, true, 10}, {walk_test::kByName, false, 10},
                        {walk_test::kPK, true, 10},     {walk_test::kByName, true, 40},
                        {walk_test::kByName, true, 5},  {walk_test::kPK, false, 20},
                        {walk_test::kByName, false, 1}};
  for (const auto& [index, forward, below] : walks) {
    SCOPED_TRACE(std::string(index) + (forward ? ", Next, Score < " : ", Prior, Score < ") + std::to_string(below));
    Rows rows;
    for (int64_t id = kFirst; id < kFirst + kRows; ++id)
      rows[id] = Row{kSharedPrefix + std::to_string(id * 7919 % 100003), static_cast<int32_t>(id * 37 % 100), 50, id};
    ASSERT_NO_FATAL_FAILURE(MakeFile(rows, "filtered" + std::to_string(++files) + ".vlm"));
    const Rows before = rows;
    Helper peer(Path);
    std::string line;
    ASSERT_TRUE(peer.WaitLine(line, 60));
    auto database = SharedDatabase("Filtered");
    TVLMTable table;
    OpenWalk(table, "Filtered", index);
    auto& data = *static_cast<TVLMTableData*>(table.Handle()->TableData);
    const int64_t readsBefore = data.GetSearchFigures().RecordsRead;
    for (int64_t id = kFirst + 7; id < kFirst + kRows; id += kRows / 10) {
      ASSERT_TRUE(table.Locate("Name", qv::HostVariant(rows[id].Name), 0));
      ASSERT_EQ(table.FieldByName("ID")->AsInteger(), id);
    }
    // About 26 each by ByName and 51 by PK (whose plan estimates the range
    // with two more descents); 120 and 240 when every tied page is read.
    EXPECT_LE(data.GetSearchFigures().RecordsRead - readsBefore, 10 * 60);
    table.SetFilterText("Score < " + std::to_string(below));
    table.SetFiltered(true);
    const TVLMSearchFigures start = data.GetSearchFigures();
    std::mt19937 random(static_cast<uint32_t>(files));
    std::set<int64_t> touched;
    std::vector<int64_t> walked;
    int commits = 0;
    int64_t added = kNew;
    // The records read by the steps that follow the first one after each
    // commit (which the bitmap answers), and how many they are.
    int64_t quietReads = 0, quietSteps = 0, readsAt = -1, stepsAt = 0;
    const auto quietEnd = [&] {
      if (readsAt < 0) return;
      quietReads += data.GetSearchFigures().RecordsRead - readsAt;
      quietSteps += static_cast<int64_t>(walked.size()) - stepsAt;
    };
    for (forward ? table.First() : table.Last(); !(forward ? table.Eof() : table.Bof());
         forward ? table.Next() : table.Prior()) {
      walked.push_back(table.FieldByName("ID")->AsInteger());
      ASSERT_LT(walked.size(), static_cast<size_t>(kRows));
      if (readsAt < 0) {
        readsAt = data.GetSearchFigures().RecordsRead;
        stepsAt = static_cast<int64_t>(walked.size());
      }
      if (walked.size() % static_cast<size_t>(2 * below) != 0) continue;
      quietEnd();
      readsAt = -1;
      // A row inserted, one deleted and one given another score, from
      // what is left of the table.
      auto pick = [&] {
        auto it = rows.begin();
        std::advance(it, static_cast<long>(random() % rows.size()));
        touched.insert(it->first);
        return it->first;
      };
      // Every other time the row the cursor stands on goes: the next step
      // finds its place by the key it read.
      int64_t gone = walked.back();
      if (commits % 2 == 0 && rows.count(gone) != 0)
        touched.insert(gone);
      else
        gone = pick();
      const int64_t changed = pick();
      std::vector<Op> ops{{'i', added, Row{kSharedPrefix + std::to_string(added % 997), 7, 50, added}},
                          {'d', gone, {}}};
      touched.insert(added++);
      if (changed != gone)
        ops.push_back({'u', changed, Row{rows[changed].Name, 99 - rows[changed].Score, -1, 0}});
      ASSERT_EQ(CommitOps(peer, rows, ops), "ok");
      ++commits;
    }
    quietEnd();
    const TVLMSearchFigures figures = data.GetSearchFigures() - start;
    // The rows no commit touched, in the walk's order.
    std::vector<std::pair<std::string, int64_t>> order;
    for (const auto& [id, row] : before)
      if (row.Score < below && touched.count(id) == 0)
        order.emplace_back(std::string(index) == walk_test::kPK ? "" : row.Name, id);
    std::sort(order.begin(), order.end());
    if (!forward) std::reverse(order.begin(), order.end());
    std::vector<int64_t> expected, got;
    for (const auto& entry : order) expected.push_back(entry.second);
    for (const int64_t id : walked) {
      if (touched.count(id) == 0) got.push_back(id);
      const auto now = rows.find(id);
      if (now != rows.end() && touched.count(id) == 0) {
        EXPECT_LT(now->second.Score, below) << "row " << id;
      }
    }
    EXPECT_EQ(got, expected);
    EXPECT_GT(commits, 5);
    EXPECT_LE(figures.Road(TVLMSearchRoad::WalkIndexRangeByBitmap), below < 25 ? commits + 1 : 0);
    if (below >= 5 && below < 25) {
      const auto inRange = static_cast<int64_t>(
          std::count_if(before.begin(), before.end(), [&](const auto& entry) { return entry.second.Score < below; }));
      EXPECT_LE(figures.RecordsRead,
                (commits + 1) * (inRange + commits + 40) + 2 * static_cast<int64_t>(walked.size()));
    }
    // A step the bitmap answers reads its record, and goes on from the
    // place the last answer gave without looking for the record in the
    // index (which reads 12 records each by ByName).
    if (below < 25) {
      EXPECT_LE(quietReads, quietSteps * 7 / 4);
    }
    table.Close();
    database->SetConnected(false);
    peer.Send("quit");
    EXPECT_EQ(peer.Reap(60), 0);
  }
}

}  // namespace
