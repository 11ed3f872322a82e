// Helper program of the table component tests: a second process that opens
// the log table of a database file through a database and a table component,
// as the logging program does, and works on the commands it reads, one per
// line, answering each with one line.
//
//   engine_tablepeer PATH single|multi   prints "ready readonly" or "ready
//                                        writable" once the table is open
//   count                 the number of records
//   locate CALL           "found NAME" or "missing"
//   append CALL NAME      one contact: "ok"
//   fill TAG N            N contacts called TAG0 .. TAG<N-1>: "ok N"
//   hold TABLE            opens table TABLE of the database beside the log
//                         and keeps it open: "ok"
//   release               closes the table hold opened: "ok"
//   reconnect             closes table and database, opens them anew: the
//                         "ready" line again
//   quit                  ends at once
//
// A failed command answers "error MESSAGE". Exit 2 when the table cannot be
// opened at the start.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "engine/components/VLMMain.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"

namespace {

class Peer {
public:
  Peer(std::string path, bool multiUser) : Path_(std::move(path)), MultiUser_(multiUser) {}

  // A new database and table component, as a program that starts again.
  std::string Connect() {
    Held_.reset();
    Table_.reset();
    Database_.reset();
    Database_ = std::make_unique<TVLMDatabase>();
    Database_->SetDatabaseName("Log");
    Database_->SetDatabaseFileName(Path_);
    Database_->MultiUser = MultiUser_;
    Database_->SilentMode = true;
    Table_ = std::make_unique<TVLMTable>();
    Table_->SetDatabaseName("Log");
    Table_->SetTableName("V5LogTabl");
    Table_->Open();
    Table_->SetIndexName("CallIndex");
    return Table_->ReadOnly ? "ready readonly" : "ready writable";
  }

  void Append(const std::string& call, const std::string& name) {
    Table_->Append();
    Table_->FieldByName("Call")->SetAsString(call);
    Table_->FieldByName("Name")->SetAsString(name);
    Table_->Post();
  }

  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string command, a, b;
    in >> command >> a >> b;
    if (command == "count") {
      Table_->Refresh();
      return std::to_string(Table_->RecordCount());
    }
    if (command == "locate")
      return Table_->Locate("Call", qv::HostVariant(a), 0) ? "found " + Table_->FieldByName("Name")->AsString()
                                                            : "missing";
    if (command == "append") {
      Append(a, b);
      return "ok";
    }
    if (command == "fill") {
      const int32_t n = std::stoi(b);
      for (int32_t i = 0; i < n; ++i) Append(a + std::to_string(i), "peer");
      return "ok " + std::to_string(n);
    }
    if (command == "hold") {
      Held_ = std::make_unique<TVLMTable>();
      Held_->SetDatabaseName("Log");
      Held_->SetTableName(a);
      Held_->Open();
      return "ok";
    }
    if (command == "release") {
      Held_.reset();
      return "ok";
    }
    if (command == "reconnect") return Connect();
    return "unknown";
  }

private:
  std::string Path_;
  bool MultiUser_;
  std::unique_ptr<TVLMDatabase> Database_;
  std::unique_ptr<TVLMTable> Table_;
  std::unique_ptr<TVLMTable> Held_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH single|multi\n", argv[0]);
    return 2;
  }
  TVLMComponentRuntime::Start();
  auto peer = std::make_unique<Peer>(argv[1], std::string(argv[2]) == "multi");
  try {
    std::cout << peer->Connect() << std::endl;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") std::_Exit(0);
    std::string answer;
    try {
      answer = peer->Run(line);
    } catch (const std::exception& e) {
      answer = std::string("error ") + e.what();
    }
    std::cout << answer << std::endl;
  }
  return 0;
}
