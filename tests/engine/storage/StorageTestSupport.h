// Shared pieces of the storage tests: file bytes, fast retries, a database
// laid out the way the disk database data creates one, and helper processes
// started without forking the test (scratch folders: tests/support).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMBTree.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineLocks.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/os/System.h"
#include "tests/support/HelperProgram.h"
#include "tests/support/ScratchFolder.h"

extern char** environ;

namespace storage_test {

using qv::test::ScratchFolder;

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void PatchBytes(const std::string& path, int64_t offset, const void* bytes, size_t count) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset);
  f.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
}

// Waits take no time and few tries while a test runs.
class FastRetries {
public:
  FastRetries(int32_t tries = 3) : Saved_(VLMRetrySettings()) {
    VLMChangeRetrySettings().DatabaseLockTries = tries;
    VLMChangeRetrySettings().NextObjectIDTries = tries;
    VLMChangeRetrySettings().ReopenDelayMs = 0;
    VLMChangeRetrySettings().WholeFileLockTries = tries;
    VLMChangeRetrySettings().TableOpenTries = tries;
    VLMChangeRetrySettings().TableOperationTries = tries;
    VLMChangeRetrySettings().TableCommitTries = tries;
    VLMChangeRetrySettings().RecordLockTries = tries;
    qv::SetSleeper([this](uint32_t ms) {
      ++Sleeps;
      SleptMs += ms;
    });
  }
  ~FastRetries() {
    VLMChangeRetrySettings() = Saved_;
    qv::SetSleeper(nullptr);
  }
  int64_t Sleeps = 0;
  int64_t SleptMs = 0;

private:
  TVLMRetrySettings Saved_;
};

// Runs body and returns the native code of the EVLMException it raised (0
// when it raised none); the message goes to *message when asked.
inline int32_t CodeOf(const std::function<void()>& body, std::string* message = nullptr) {
  try {
    body();
  } catch (const EVLMException& e) {
    if (message) *message = e.what();
    return e.NativeError;
  }
  return 0;
}

// The codes (0: none) of every operation of a page index: walks both ways,
// the record count (expected), the integrity check, record numbers, the room
// search, an insertion and a removal. Other exceptions pass.
inline std::vector<int32_t> PageIndexOperationCodes(TVLMPageManager& pm, TVLMBTreePageIndex& index,
                                                    int64_t expected) {
  TVLMKeyPath path;
  int32_t pageNo = 0, position = 0;
  int64_t count = 0;
  const std::function<void()> operations[] = {
      [&] {
        for (bool more = index.GoFirst(0, path); more && ++count < 5000; more = index.NextEntry(0, path))
          index.GetValueAt(0, path);
      },
      [&] {
        for (bool more = index.GoLast(0, path); more && ++count < 10000; more = index.PriorEntry(0, path))
          index.GetPageNoAt(0, path);
      },
      [&] { index.CheckRecordCount(0, expected); },
      [&] {
        path.Clear();
        TVLMBTreePage::Load(&pm, index.KeyRef.get(), 0, index.RootPageNo, TVLMBTreePlace::Root())
            ->CheckIntegrity(0, path);
      },
      [&] {
        if (index.GetLastPage(0, pageNo)) index.RecordsBefore(0, pageNo, count, 0);
        index.RecNoToPage(0, pageNo, position, expected - 1);
      },
      [&] {
        if (index.FindPageWithRoom(0, 1, pageNo)) index.FindPage(0, pageNo, path);
      },
      [&] { index.AddToPage(0, 1, 5555); },
      [&] {
        if (index.GetFirstPage(0, pageNo)) index.RemoveFromPage(0, 1, -1, pageNo);
      },
  };
  std::vector<int32_t> codes;
  for (const auto& operation : operations) codes.push_back(CodeOf(operation));
  return codes;
}

// A new database file as the disk database data creates one: system
// directory (page 2), sessions file, table list, one commit of session -2.
inline void CreateStandardDatabase(const std::string& path, uint16_t pageSize = 4096, uint16_t extentSize = 8,
                                   const TVLMPasswordRecord& password = {}, int32_t maxConnections = 500) {
  TVLMDiskDatabaseData database;
  database.DatabaseFileName = path;
  database.PageSize = pageSize;
  database.ExtentSize = extentSize;
  database.PasswordRecord = password;
  database.MaxSessions = maxConnections;
  database.CreateDatabase();
}

struct OpenResult {
  bool MultiUser = false;
  bool NeedsRepair = false;
  bool ReadOnly = false;
};

inline OpenResult OpenDatabase(TVLMDiskPageManager& pm, const std::string& path, const std::string& password = "",
                               bool readOnly = false, bool multiUser = false) {
  OpenResult r;
  r.MultiUser = multiUser;
  r.ReadOnly = readOnly;
  TVLMPasswordRecord record;
  record.Password = password;
  pm.OpenDatabase(path, record, r.MultiUser, false, r.NeedsRepair, r.ReadOnly);
  return r;
}

// Fills a page's data area with a pattern of seed.
inline void FillData(TVLMPage* page, uint8_t seed) {
  for (int32_t i = 0; i < page->DataSize(); ++i) page->Data()[i] = static_cast<uint8_t>(seed + i * 7);
}
inline bool DataIs(const TVLMPage* page, uint8_t seed) {
  for (int32_t i = 0; i < page->DataSize(); ++i)
    if (page->Data()[i] != static_cast<uint8_t>(seed + i * 7)) return false;
  return true;
}

using qv::test::RunHelper;

// The helper program engine_lockpeer connected to the database at path
// (multi-user, or single-user with "single"), talked to over a socket pair.
// Starts the helper program of the test build with args, its standard
// input and output one end of a socket pair: the other end, and its pid.
inline int SpawnOverSocket(const std::string& helper, std::vector<std::string> args, pid_t& pid) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::string program = std::string(QV_HELPER_DIR) + "/" + helper;
  std::vector<char*> argv{program.data()};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + program);
  }
  return fds[0];
}

// Greeting is its first line: "session N" (with " readonly" when the
// database is read-only for it) or "error CODE". Another helper program of
// the same kind is named by program, mode being its second argument.
class Peer {
public:
  explicit Peer(std::string path, std::string mode = "", const std::string& helper = "engine_lockpeer")
      : Peer(mode.empty() ? std::vector<std::string>{path} : std::vector<std::string>{path, mode}, helper) {}
  // The helper with its arguments as given.
  Peer(const std::vector<std::string>& args, const std::string& helper) {
    Fd_ = SpawnOverSocket(helper, args, Pid_);
    Greeting = Ask("");  // the empty line is not sent
    if (Greeting.rfind("session ", 0) == 0) Session = std::stoi(Greeting.substr(8));
  }
  ~Peer() { Quit(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  std::string Ask(const std::string& line) {
    if (!line.empty()) Send(line);
    return Receive();
  }
  // A command whose answer is read later (the peer works meanwhile).
  void Send(const std::string& line) { send(Fd_, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL); }
  std::string Receive() {
    std::string answer;
    for (char c = 0; recv(Fd_, &c, 1, 0) == 1 && c != '\n';) answer += c;
    return answer;
  }
  // Ends the peer at once, its locks still held; its exit code.
  int Quit() {
    if (Pid_ <= 0) return -1;
    send(Fd_, "quit\n", 5, MSG_NOSIGNAL);
    close(Fd_);
    int status = 0;
    while (waitpid(Pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Ends the peer at once, wherever it is (SIGKILL); its exit code.
  int Kill() {
    if (Pid_ <= 0) return -1;
    ::kill(Pid_, SIGKILL);
    return Quit();
  }
  // The socket its answers come on (to wait for several peers at once).
  int Fd() const { return Fd_; }
  std::string Greeting;
  int32_t Session = -1;

private:
  pid_t Pid_ = 0;
  int Fd_ = -1;
};

}  // namespace storage_test
