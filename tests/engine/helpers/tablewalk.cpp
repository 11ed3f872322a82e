// Helper program of the shared-table walk tests: one connection to a file in
// multi-user mode through a database and a table component, as a program
// makes it, on table Walk (ID integer, index PK; Name text, index ByName;
// Score integer, index ByScore; Data BLOB). It works on the commands it
// reads, one per line, and answers each with one line.
//
//   engine_tablewalk PATH [N]  prints "ready R MS" once the table is open; R
//                           opens refused with 10741 (another connection's
//                           cut commit) before, MS the time they took. With
//                           N, a data link (a grid's) of N rows follows the
//                           table: the table reads that many rows ahead into
//                           its record buffers
//
//   txn OP;OP;...   the operations as one transaction (StartTransaction,
//                   Commit): "ok" once Commit has returned, else "error
//                   CODE TEXT" after a rollback
//   one OP          one operation posted alone (its own commit)
//     OP: i ID NAME SCORE SIZE SEED   Append, the fields set, Post
//         u ID NAME SCORE SIZE SEED   Locate by ID, Edit, Post (SIZE -1
//                                     keeps Data)
//         d ID                        Locate by ID, Delete
//   walk KIND [blob]  the table walked First to Eof outside a transaction:
//                   KIND pk (index PK), name (ByName), natural (no index),
//                   filtered (ByName with the filter "Score < 40"),
//                   selective (ByName with the filter "Score < 10"); answers
//                   "ok ID:NAME:SCORE ..." (with blob ":SIZE" of Data after),
//                   or "error CODE TEXT"; a walk that returns more than
//                   100,000 rows answers "error -2 no end"
//   exitat K        the process ends with _exit(99) before its K-th
//                   file-changing operation from now on (inside a commit,
//                   mostly)
//   quit            table and database closed, exit 0 (3 when they cannot
//                   be closed)
//
// A failed operation's edit is cancelled before the answer; when it cannot
// be (over another connection's cut commit) for two seconds, the process
// ends with 4.
//
// Data of SIZE bytes made from SEED: WalkBlob below (the tests make the same
// bytes). Exit 2 when the table cannot be opened.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "platform/dataset/DataSource.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "tests/engine/components/TableWalkSupport.h"

namespace {

using walk_test::ErrorCode;

class Connection {
public:
  Connection(std::string path, int32_t rows) : Path_(std::move(path)), Rows_(rows) {}
  ~Connection() { Close(); }

  void Open() {
    Database_ = std::make_unique<TVLMDatabase>();
    Database_->SetDatabaseName("Walk");
    Database_->SetDatabaseFileName(Path_);
    Database_->MultiUser = true;
    Database_->SilentMode = true;
    Table_ = std::make_unique<TVLMTable>();
    Table_->SetDatabaseName("Walk");
    Table_->SetTableName(walk_test::kTable);
    Table_->Open();
    Table_->SetIndexName(walk_test::kPK);
    if (Rows_ > 0) {
      Source_ = std::make_unique<qv::DataSource>();
      Source_->SetDataSet(Table_.get());
      Link_ = std::make_unique<qv::DataLink>();
      Link_->SetDataSource(Source_.get());
      Link_->SetBufferCount(Rows_);
    }
  }
  void Close() {
    Link_.reset();
    Source_.reset();
    Table_.reset();
    if (Database_) Database_->SetConnected(false);
    Database_.reset();
  }

  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    if (command == "txn") return Transaction(rest, true);
    if (command == "one") return Transaction(rest, false);
    if (command == "walk") return Walk(rest);
    if (command == "exitat") {
      qv::SetFileFaultAfter(std::stoll(rest), qv::FileFault::Exit, 99);
      return "ok";
    }
    return "error -1 unknown command";
  }

private:
  void Apply(const std::string& op) {
    std::istringstream in(op);
    std::string kind, name;
    int64_t id = 0, score = 0, size = -1, seed = 0;
    in >> kind >> id;
    if (kind == "i" || kind == "u") in >> name >> score >> size >> seed;
    TVLMTable& t = *Table_;
    if (kind == "i") {
      t.Append();
      t.FieldByName("ID")->SetAsInteger(static_cast<int32_t>(id));
    } else if (!t.Locate("ID", qv::HostVariant(static_cast<int32_t>(id)), 0)) {
      throw qv::Exception("row " + std::to_string(id) + " not found");
    } else if (t.FieldByName("ID")->AsInteger() != id) {
      throw qv::Exception("Locate of row " + std::to_string(id) + " shows row " + t.FieldByName("ID")->AsString());
    } else if (kind == "d") {
      t.Delete();
      return;
    } else {
      t.Edit();
    }
    t.FieldByName("Name")->SetAsString(name);
    t.FieldByName("Score")->SetAsInteger(static_cast<int32_t>(score));
    if (size >= 0) t.FieldByName("Data")->SetAsString(walk_test::WalkBlob(size, seed));
    t.Post();
  }

  std::string Transaction(const std::string& list, bool inTransaction) {
    std::vector<std::string> ops;
    std::stringstream in(list);
    for (std::string op; std::getline(in, op, ';');)
      if (!op.empty()) ops.push_back(op);
    try {
      if (inTransaction) Database_->StartTransaction();
      for (const std::string& op : ops) Apply(op);
      if (inTransaction) Database_->Commit(false);
      return "ok";
    } catch (const std::exception& e) {
      // An edit that cannot be cancelled (its locks cannot be let go over
      // another connection's cut commit) is tried again for a while; then
      // the process gives up (exit 4), as its transaction would be posted
      // by the next move otherwise.
      for (int tries = 0;; ++tries) {
        try {
          Table_->Cancel();
          break;
        } catch (const std::exception& c) {
          if (tries == 100) {
            std::fprintf(stderr, "cannot cancel: %s\n", c.what());
            std::_Exit(4);
          }
          qv::SleepMs(20);
        }
      }
      if (Database_->InTransaction()) {
        try {
          Database_->Rollback();
        } catch (const std::exception&) {
          // The transaction ends with the process at the latest.
        }
      }
      return Error(e);
    }
  }

  static std::string Error(const std::exception& e) {
    std::string text = e.what();
    for (char& c : text)
      if (c == '\n') c = ' ';
    return "error " + std::to_string(ErrorCode(e)) + " " + text;
  }

  std::string Walk(const std::string& spec) {
    std::istringstream in(spec);
    std::string kind, blob;
    in >> kind >> blob;
    TVLMTable& t = *Table_;
    try {
      t.SetIndexName(kind == "pk" ? walk_test::kPK : kind == "natural" ? "" : walk_test::kByName);
      if (kind == "filtered" || kind == "selective") {
        t.SetFilterText(kind == "filtered" ? "Score < 40" : "Score < 10");
        t.SetFiltered(true);
      }
      std::string answer = "ok";
      int64_t rows = 0;
      qv::Field* id = t.FieldByName("ID");
      qv::Field* name = t.FieldByName("Name");
      qv::Field* score = t.FieldByName("Score");
      qv::Field* data = t.FieldByName("Data");
      for (t.First(); !t.Eof(); t.Next()) {
        if (++rows > 100000) throw qv::Exception("no end");
        answer += " " + id->AsString() + ":" + name->AsString() + ":" + score->AsString();
        if (blob == "blob") answer += ":" + std::to_string(data->AsString().size());
      }
      if (t.Filtered()) t.SetFiltered(false);
      return answer;
    } catch (const std::exception& e) {
      try {
        if (t.Filtered()) t.SetFiltered(false);
      } catch (const std::exception&) {
      }
      if (std::string(e.what()) == "no end") return "error -2 no end";
      return Error(e);
    }
  }

  std::string Path_;
  int32_t Rows_;
  std::unique_ptr<TVLMDatabase> Database_;
  std::unique_ptr<TVLMTable> Table_;
  std::unique_ptr<qv::DataSource> Source_;
  std::unique_ptr<qv::DataLink> Link_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s PATH [ROWS]\n", argv[0]);
    return 2;
  }
  TVLMComponentRuntime::Start();
  auto connection = std::make_unique<Connection>(argv[1], argc == 3 ? std::atoi(argv[2]) : 0);
  // An open refused over another connection's cut commit is tried again.
  int64_t refused = 0;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    try {
      connection->Open();
      break;
    } catch (const std::exception& e) {
      connection->Close();
      const auto waited = std::chrono::steady_clock::now() - start;
      if (ErrorCode(e) != 10741 || waited > std::chrono::seconds(120)) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
      }
      ++refused;
      qv::SleepMs(20);
    }
  }
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::cout << "ready " << refused << " " << (refused > 0 ? ms : 0) << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "quit") break;
    std::string answer;
    try {
      answer = connection->Run(line);
    } catch (const std::exception& e) {
      answer = "error " + std::to_string(ErrorCode(e)) + " " + e.what();
    }
    std::cout << answer << std::endl;
  }
  try {
    connection->Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot close: %s\n", e.what());
    return 3;
  }
  TVLMComponentRuntime::Shutdown();
  return 0;
}
