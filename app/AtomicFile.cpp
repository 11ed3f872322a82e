#include "app/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/os/File.h"
#include "platform/os/System.h"

namespace qv::app {

namespace {

std::atomic<uint32_t> TempCounter_{0};

[[noreturn]] void RaiseOS(const std::string& what, const std::string& path, int err) {
  throw EOSError(what + " '" + path + "': " + qv::SysErrorMessage(err), err);
}

// Makes the rename itself durable; a folder that cannot be synced is no error.
// (File refuses folders, so this one call uses the descriptor directly.)
void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void WriteFileAtomically(const std::string& path, std::string_view data, int32_t mode) {
  File out;
  std::string tmp;
  // A fresh name in the target's folder, so the rename never crosses a file
  // system and never meets another writer's temporary file.
  for (int attempt = 0; attempt < 100 && !out.IsOpen(); ++attempt) {
    tmp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(TempCounter_.fetch_add(1));
    int err = 0;
    out = File::TryOpen(tmp, FileAccess::ReadWrite, FileDisposition::CreateNew, &err);
    if (!out.IsOpen() && err != EEXIST) RaiseOS("Cannot create file", tmp, err);
  }
  if (!out.IsOpen()) RaiseOS("Cannot create file", tmp, EEXIST);
  try {
    if (mode >= 0 && ::fchmod(out.Fd(), static_cast<mode_t>(mode)) != 0) RaiseOS("Cannot set the mode of", tmp, errno);
    int64_t done = 0;
    const int64_t total = static_cast<int64_t>(data.size());
    while (done < total) {
      int64_t n = out.WriteAt(data.data() + done, total - done, done);
      if (n <= 0) RaiseOS("Cannot write file", tmp, EIO);
      done += n;
    }
    out.Sync();
    out.Close();
    if (::rename(tmp.c_str(), path.c_str()) != 0) RaiseOS("Cannot replace file", path, errno);
  } catch (...) {
    out.Close();
    ::unlink(tmp.c_str());
    throw;
  }
  SyncFolder(FolderOf(path));
}

std::string ReadWholeFile(const std::string& path, bool& found) {
  int err = 0;
  File in = File::TryOpen(path, FileAccess::ReadOnly, FileDisposition::OpenExisting, &err);
  if (!in.IsOpen()) {
    if (err == ENOENT) {
      found = false;
      return {};
    }
    RaiseOS("Cannot open file", path, err);
  }
  found = true;
  std::string data;
  char buffer[65536];
  int64_t offset = 0;
  for (;;) {
    int64_t n = in.ReadAt(buffer, sizeof buffer, offset);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return data;
}

}  // namespace qv::app
