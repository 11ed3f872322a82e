// Runs a helper program of the test build (QV_HELPER_DIR, the build folder)
// to its end: posix_spawn, never a fork of the test process, which may hold
// open databases.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv::test {

// The helper's exit code, or 128 + the signal that ended it.
inline int RunHelper(const std::string& program, const std::vector<std::string>& args) {
  std::string path = std::string(QV_HELPER_DIR) + "/" + program;
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + path);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace qv::test
