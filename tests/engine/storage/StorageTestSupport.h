// Shared pieces of the storage tests: file bytes, fast retries, a database
// laid out the way the disk database data creates one, and helper processes
// started without forking the test (scratch folders: tests/support).
#pragma once

#include <fcntl.h>
#include <spawn.h>
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
#include "platform/os/System.h"
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
    VLMRetrySettings().DatabaseLockTries = tries;
    VLMRetrySettings().NextObjectIDTries = tries;
    VLMRetrySettings().ReopenDelayMs = 0;
    VLMRetrySettings().WholeFileLockTries = tries;
    VLMRetrySettings().TableOpenTries = tries;
    VLMRetrySettings().TableOperationTries = tries;
    VLMRetrySettings().TableCommitTries = tries;
    qv::SetSleeper([this](uint32_t ms) {
      ++Sleeps;
      SleptMs += ms;
    });
  }
  ~FastRetries() {
    VLMRetrySettings() = Saved_;
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

// The creation order of the disk database data: system directory (page 2),
// sessions file, table list, directory written, one commit of session -2.
inline void CreateStandardDatabase(const std::string& path, uint16_t pageSize = 4096, uint16_t extentSize = 8,
                                   const TVLMPasswordRecord& password = {}, int32_t maxConnections = 500) {
  TVLMDiskPageManager pm;
  pm.CreateDatabase(path, password, pageSize, extentSize);
  TVLMSystemDirectory directory(&pm);
  directory.CreateFile();
  TVLMActiveSessionsFile sessions(&pm);
  directory.Add(TVLMDirectoryKind::ActiveSessions, static_cast<uint32_t>(sessions.CreateFile(maxConnections)));
  TVLMTableListFile tables(&pm);
  directory.Add(TVLMDirectoryKind::TableList, static_cast<uint32_t>(tables.CreateFile()));
  directory.Save();
  pm.Commit(kVLMSystemSessionID);
  pm.CloseDatabase();
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

// A helper program of QV_HELPER_DIR run to its end (posix_spawn, no fork of
// the test process); the exit code, or 128 + signal.
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

}  // namespace storage_test
