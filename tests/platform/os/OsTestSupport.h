// Shared pieces of the platform/os tests: the shared scratch folder and a
// child process running one of the helper programs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ScratchFolder.h"

extern char** environ;

namespace qv_test {

using ScratchFolder = qv::test::ScratchFolder;

// A helper program of QV_HELPER_DIR started with posix_spawn (no fork of the
// test process), its standard output read through a pipe.
class Child {
public:
  Child(const std::string& program, const std::vector<std::string>& args) {
    std::string path = std::string(QV_HELPER_DIR) + "/" + program;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int r = posix_spawn(&Pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Out_ = fds[0];
    if (r != 0) {
      close(Out_);
      throw std::runtime_error("cannot start " + path);
    }
  }
  ~Child() {
    if (Pid_ > 0) {
      kill(Pid_, SIGKILL);
      Wait();
    }
    if (Out_ >= 0) close(Out_);
  }

  // One line of the child's output without its line end; "" after timeoutMs
  // or at the end of the output.
  std::string ReadLine(int timeoutMs = 10000) {
    std::string line;
    for (;;) {
      pollfd p{Out_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return line;
      char c;
      ssize_t n = read(Out_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n') return line;
      line += c;
    }
  }

  void Kill() { kill(Pid_, SIGKILL); }

  // Waits for the end; the exit code, or 128 + signal.
  int Wait() {
    int status = 0;
    pid_t pid = Pid_;
    Pid_ = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

private:
  pid_t Pid_ = -1;
  int Out_ = -1;
};

}  // namespace qv_test
