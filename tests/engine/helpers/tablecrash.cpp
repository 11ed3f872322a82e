// Helper program of the disk table crash sweep: opens a database prepared by
// the test (table Log of DiskTestSupport.h), arms the file layer's fault hook
// and runs one table operation with its commit.
//
//   engine_tablecrash PATH OP MODE K SEED USERS [CALL]
//
// OP, each one commit:
//   insert        one Log record with Call CALL (no value)
//   blob          one Log record "BLOB" with a 3000-byte value (a chain)
//   update-blob   C1000's small value grows from 40 to 70 bytes
//   delete-blob   C1021 (with a small value) deleted
//   delete-insert one transaction: C1007 deleted, DI1 inserted (same page)
//   grow          one transaction: 80 records with 300-byte values, which
//                 grows the file
//   mixed         one transaction: C1042's value shrinks, C1035 becomes
//                 Z1035, C1063 (with a value) and C1014 deleted, M1 (with a
//                 value) and M2 inserted
//   create        CREATE TABLE Second (A INTEGER, B VARCHAR(30), index on B)
//   copy          one transaction: every Log record again, its Call with
//                 "K" before it, with its value (INSERT ... SELECT)
//   update        one transaction: every Log record's Call gets "U" before it
// MODE exit: the process ends with _exit(99) before the K-th file-changing
//   operation. powercut: the K-th operation happens, then the unflushed
//   writes are partly lost (SEED chooses how) and the process ends with 99.
//   anyorder: the same, but the writes kept are any subset (a disk that
//   reorders its writes).
//   lost: from the K-th operation on, the writes are held back and the
//   first flush ends the process with 99, each 512-byte piece of them landed
//   or lost in an order SEED chooses (a client cache of a shared file).
//   failfrom: the K-th and every later operation fails (a full disk); the
//   disk gets room again, a transaction is rolled back, the session
//   disconnects and the process ends with 3. tornfrom: the same, but a write
//   that meets the fault first puts part of its bytes on disk, cut inside a
//   512-byte piece (SEED chooses where).
// K = 0: no fault; the number of file-changing operations the operation
// made is written to PATH.count.
// USERS single or multi: the session's mode.
//
// Exit 0: the operation completed. 2: any other error.
//
//   engine_tablecrash PATH peer
//
// A connection in multi-user mode that keeps Log open and works on the
// commands it reads, one per line (disk_test::LogCommand, or quit to end at
// once), answering each with "ok" or "error TEXT"; it prints "ready" once the
// table is open. Two more commands:
//   txn CMD;CMD;...  the commands as one transaction (one alone: a single
//                    post); "ok", or "error CODE" after a rollback
//   exitat K         the process ends with _exit(99) before its K-th
//                    file-changing operation from now on (inside a later
//                    commit, say)
//   losehandle K R MS  its K-th file-changing operation from now on fails
//                    and the handle it was made on goes bad; the next R
//                    opens of that file fail too, MS ms apart
//   lostat K SEED    the next txn runs as a transaction, and its commit's
//                    writes from its K-th file-changing operation on are
//                    held back until a flush that ends the process with 99
//                    (mode lost above)
//   walk INDEX       the table walked from the first record to the end in
//                    the order of INDEX ("" natural), as a dataset walks it
//                    (its record buffers taking turns): "ok ID:CALL ...",
//                    or "error CODE"; "walk INDEX callback" lets through
//                    only the calls whose number (the 8 digits after 18
//                    characters) is no multiple of 3 (a filter callback),
//                    "walk INDEX onekey" one row per key (IndexFieldCount 1)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/os/File.h"
#include "tests/engine/storage/DiskTestSupport.h"

namespace {

using disk_test::DiskCursor;
using disk_test::kLogCall;
using disk_test::kLogNotes;

void Require(bool ok, const std::string& what) {
  if (!ok) throw qv::Exception("cannot " + what);
}

void Update(DiskCursor& log, const std::string& call, const std::string* newCall, const std::vector<uint8_t>* notes) {
  Require(disk_test::UpdateLog(log, call, newCall, notes), "update " + call);
}

void Delete(DiskCursor& log, const std::string& call) { Require(disk_test::DeleteLog(log, call), "delete " + call); }

void Insert(DiskCursor& log, const std::string& call, const std::vector<uint8_t>& notes = {}) {
  Require(disk_test::InsertLog(log, call, notes), "insert " + call);
}

void Run(const std::string& op, disk_test::DiskSession& session, DiskCursor& log, DiskCursor& second,
         const std::string& call) {
  if (op == "insert") {
    Insert(log, call);
  } else if (op == "blob") {
    Insert(log, "BLOB", std::vector<uint8_t>(3000, 0x5A));
  } else if (op == "update-blob") {
    const std::vector<uint8_t> notes(70, 0x77);
    Update(log, "C1000", nullptr, &notes);
  } else if (op == "delete-blob") {
    Delete(log, "C1021");
  } else if (op == "delete-insert") {
    session.StartTransaction();
    Delete(log, "C1007");
    Insert(log, "DI1");
    session.Commit(false);
  } else if (op == "grow") {
    session.StartTransaction();
    for (int i = 0; i < 80; ++i) Insert(log, "G" + std::to_string(i), std::vector<uint8_t>(300, static_cast<uint8_t>(i)));
    session.Commit(false);
  } else if (op == "mixed") {
    session.StartTransaction();
    const std::vector<uint8_t> shorter(10, 0x11);
    const std::string renamed = "Z1035";
    Update(log, "C1042", nullptr, &shorter);
    Update(log, "C1035", &renamed, nullptr);
    Delete(log, "C1063");
    Delete(log, "C1014");
    Insert(log, "M1", std::vector<uint8_t>(50, 0x33));
    Insert(log, "M2");
    session.Commit(false);
  } else if (op == "copy") {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> rows;
    for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;)
      rows.emplace_back(log.Text(kLogCall).value_or(""), log.ReadBlob(kLogNotes));
    session.StartTransaction();
    for (const auto& [copied, notes] : rows) Insert(log, "K" + copied, notes);
    session.Commit(false);
  } else if (op == "update") {
    session.StartTransaction();
    for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;) {
      log.SetText(kLogCall, "U" + log.Text(kLogCall).value_or(""));
      log.Post(false);
      Require(log.ResultCode == 0, "update");
    }
    session.Commit(false);
  } else if (op == "create") {
    second.Create({{"A", dtInteger}, {"B", dtString, 30}}, {{"ByB", "B"}});
  } else {
    throw qv::Exception("unknown operation " + op);
  }
}

// The code of an engine error, else -1.
int32_t ErrorCode(const std::exception& e) {
  const auto* engine = dynamic_cast<const EVLMException*>(&e);
  return engine != nullptr ? engine->NativeError : -1;
}

// A fault armed at the next transaction's commit (lostat): K, SEED.
struct CommitFault {
  int64_t K = 0;
  uint64_t Seed = 0;
};

std::string Transaction(disk_test::DiskSession& session, DiskCursor& log, const std::string& list,
                        CommitFault& fault) {
  std::vector<std::string> commands;
  std::stringstream in(list);
  for (std::string command; std::getline(in, command, ';');)
    if (!command.empty()) commands.push_back(command);
  const bool alone = commands.size() == 1 && fault.K == 0;
  try {
    if (!alone) session.StartTransaction();
    for (const std::string& command : commands)
      if (!disk_test::LogCommand(session, log, command)) throw EVLMException(-log.ResultCode, "cannot %s", {command});
    const bool armed = fault.K > 0;
    if (armed) qv::SetFileFaultAfter(std::exchange(fault.K, 0), qv::FileFault::LoseUnflushed, 99, fault.Seed);
    auto disarm = qv::ScopeExit([armed] {
      if (armed) qv::SetFileFaultAfter(0, qv::FileFault::LoseUnflushed);
    });
    if (!alone) session.Commit(false);
    return "ok";
  } catch (const std::exception& e) {
    if (session.InTransaction) {
      try {
        session.Rollback();
      } catch (const std::exception&) {
      }
    }
    return "error " + std::to_string(ErrorCode(e));
  }
}

std::string Walk(DiskCursor& log, const std::string& spec) {
  const size_t space = spec.find(' ');
  const std::string index = spec.substr(0, space);
  const std::string limit = space == std::string::npos ? "" : spec.substr(space + 1);
  std::string answer = "ok";
  uint8_t* own = log.RecordBuffer;
  uint8_t* other = log.AllocRecordBuffer();
  auto restore = qv::ScopeExit([&] {
    log.RecordBuffer = own;
    log.FreeRecordBuffer(other);
    log.FilterCallback = nullptr;
    log.IndexFieldCount = 0;
  });
  try {
    log.UseIndex(index);
    if (limit == "callback")
      log.FilterCallback = [](TVLMCursor& c, uint8_t* buffer) {
        char call[256] = {};
        c.GetFieldData(kLogCall, buffer, call);
        const std::string text = call;
        return text.size() < 26 || std::stoll(text.substr(18, 8)) % 3 != 0;
      };
    if (limit == "onekey") log.IndexFieldCount = 1;
    log.SetToBegin();
    for (bool turn = false; (log.RecordBuffer = turn ? other : own, log.GetRecord(1) == kVLMNavOK); turn = !turn)
      answer += " " + std::to_string(log.Int(disk_test::kLogID).value_or(-1)) + ":" +
                log.Text(kLogCall).value_or("null");
  } catch (const std::exception& e) {
    return "error " + std::to_string(ErrorCode(e));
  }
  return answer;
}

int RunPeer(const std::string& path) {
  auto database = disk_test::NewDiskDatabase(path);
  disk_test::DiskSession session(database.get(), true);
  session.Connect();
  DiskCursor log(*database, session, "Log");
  log.Open();
  std::cout << "ready" << std::endl;
  CommitFault fault;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "quit") std::_Exit(0);
    std::string answer = "ok";
    if (line.rfind("txn ", 0) == 0) answer = Transaction(session, log, line.substr(4), fault);
    else if (line.rfind("lostat ", 0) == 0) std::istringstream(line.substr(7)) >> fault.K >> fault.Seed;
    else if (line.rfind("walk", 0) == 0) answer = Walk(log, line.size() > 5 ? line.substr(5) : "");
    else if (line.rfind("exitat ", 0) == 0) qv::SetFileFaultAfter(std::stoll(line.substr(7)), qv::FileFault::Exit, 99);
    else if (line.rfind("losehandle ", 0) == 0) {
      std::istringstream in(line.substr(11));
      int64_t k = 0;
      uint64_t reopens = 0;
      uint32_t delayMs = 0;
      in >> k >> reopens >> delayMs;
      VLMChangeRetrySettings().ReopenDelayMs = delayMs;
      qv::SetFileFaultAfter(k, qv::FileFault::LoseHandle, 99, reopens);
    }
    else {
      try {
        if (!disk_test::LogCommand(session, log, line))
          answer = "error cannot " + line + ", result " + std::to_string(log.ResultCode);
      } catch (const qv::Exception& e) {
        answer = std::string("error ") + e.what();
      }
    }
    std::cout << answer << std::endl;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[2]) == "peer") {
    try {
      return RunPeer(argv[1]);
    } catch (const qv::Exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 2;
    }
  }
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr, "usage: %s PATH OP exit|powercut|anyorder|lost|failfrom|tornfrom K SEED single|multi [CALL]\n",
                 argv[0]);
    return 2;
  }
  const std::string path = argv[1], op = argv[2], mode = argv[3];
  const int64_t k = std::strtoll(argv[4], nullptr, 10);
  const uint64_t seed = std::strtoull(argv[5], nullptr, 10);
  const bool multiUser = std::string(argv[6]) == "multi";
  const std::string call = argc == 8 ? argv[7] : "NEW";
  try {
    auto database = disk_test::NewDiskDatabase(path);
    disk_test::DiskSession session(database.get(), multiUser);
    session.Connect();
    if (session.NeedsRepair) throw qv::Exception("the file asks for repair");
    DiskCursor log(*database, session, "Log");
    DiskCursor second(*database, session, "Second");
    if (op != "create") log.Open();
    const int64_t before = qv::FileWriteCount();
    if (k > 0) {
      if (mode == "exit") qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
      else if (mode == "powercut") qv::SetFileFaultAfter(k, qv::FileFault::PowerCut, 99, seed);
      else if (mode == "anyorder") qv::SetFileFaultAfter(k, qv::FileFault::PowerCutAnyOrder, 99, seed);
      else if (mode == "failfrom") qv::SetFileFaultAfter(k, qv::FileFault::FailFrom);
      else if (mode == "tornfrom") qv::SetFileFaultAfter(k, qv::FileFault::TornFrom, 99, seed);
      else if (mode == "lost") qv::SetFileFaultAfter(k, qv::FileFault::LoseUnflushed, 99, seed);
      else return 2;
    }
    try {
      Run(op, session, log, second, call);
    } catch (const qv::Exception&) {
      if ((mode != "failfrom" && mode != "tornfrom") || k == 0) throw;
      qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);
      // After a failed commit the database refuses more than closing
      // (10600); what it refuses is no matter here.
      for (auto step : std::initializer_list<std::function<void()>>{
               [&] { if (session.InTransaction) session.Rollback(); }, [&] { log.Close(); }, [&] { second.Close(); },
               [&] { session.Disconnect(); }}) {
        try {
          step();
        } catch (const qv::Exception&) {
        }
      }
      return 3;
    }
    if (k == 0) std::ofstream(path + ".count") << qv::FileWriteCount() - before;
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
