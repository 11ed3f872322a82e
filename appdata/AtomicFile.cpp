#include "appdata/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/os/File.h"
#include "platform/os/System.h"

namespace qv::app {

namespace {

std::atomic<uint32_t> TempCounter_{0};

// What follows the path in a temporary file's name.
constexpr std::string_view kTempInfix = ".tmp";

// The process id of a temporary file's name past "<path>.tmp": "<pid>-<n>",
// both decimal as the writer writes them, perhaps followed by ".<suffix>"
// (a file another writer kept beside the temporary one, such as the
// engine's journal of a copy written through it); -1 when the rest is not
// of that form (no writer made the file).
int64_t TempOwner(std::string_view rest) {
  if (const size_t dot = rest.find('.'); dot != std::string_view::npos && dot + 1 < rest.size())
    rest = rest.substr(0, dot);
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size() || dash > 10 || rest[0] == '0')
    return -1;
  int64_t pid = 0;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (i == dash) continue;
    if (rest[i] < '0' || rest[i] > '9') return -1;
    if (i < dash) pid = pid * 10 + (rest[i] - '0');
  }
  return pid;
}

[[noreturn]] void RaiseOS(const std::string& what, const std::string& path, int err) {
  throw EOSError(what + " '" + path + "': " + qv::SysErrorMessage(err), err);
}

}  // namespace

std::string FolderOf(const std::string& path) { return qv::FolderOf(path); }

void WriteAllAt(File& file, const void* data, int64_t count, int64_t offset) {
  const char* bytes = static_cast<const char*>(data);
  int64_t done = 0;
  while (done < count) {
    int64_t n = file.WriteAt(bytes + done, count - done, offset + done);
    if (n <= 0) RaiseOS("Cannot write file", file.Path(), EIO);
    done += n;
  }
}

void WriteFileAtomically(const std::string& path, std::string_view data, int32_t mode) {
  WriteFileAtomicallyWith(
      path, [&](File& out) { WriteAllAt(out, data.data(), static_cast<int64_t>(data.size()), 0); }, mode);
}

void WriteFileAtomicallyWith(const std::string& path, const std::function<void(File& out)>& fill, int32_t mode) {
  AtomicFileWriter writer(path, mode);
  fill(writer.Out());
  writer.Commit();
}

AtomicFileWriter::AtomicFileWriter(std::string path, int32_t mode) : Path_(std::move(path)) {
  // A fresh name in the target's folder, so the rename never crosses a file
  // system and never meets another writer's temporary file.
  for (int attempt = 0; attempt < 100 && !Out_.IsOpen(); ++attempt) {
    Tmp_ = Path_ + std::string(kTempInfix) + std::to_string(CurrentProcessId()) + "-" +
           std::to_string(TempCounter_.fetch_add(1));
    int err = 0;
    Out_ = File::TryOpen(Tmp_, FileAccess::ReadWrite, FileDisposition::CreateNew, &err);
    if (!Out_.IsOpen() && err != EEXIST) RaiseOS("Cannot create file", Tmp_, err);
  }
  if (!Out_.IsOpen()) RaiseOS("Cannot create file", Tmp_, EEXIST);
  try {
    if (mode >= 0) SetFileMode(Out_, static_cast<uint32_t>(mode));
  } catch (...) {
    Out_.Close();
    DeleteFile(Tmp_);
    throw;
  }
}

AtomicFileWriter::~AtomicFileWriter() {
  if (Committed_) return;
  Out_.Close();
  DeleteFile(Tmp_);
}

void AtomicFileWriter::Commit() {
  Out_.Sync();
  Out_.Close();
  RenameFile(Tmp_, Path_);
  Committed_ = true;
  // Makes the rename itself durable; a folder that cannot be synced is no error.
  SyncFolder(FolderOf(Path_));
}

int32_t RemoveOrphanedTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string prefix = fs::path(path).filename().string() + std::string(kTempInfix);
  int32_t removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(FolderOf(path), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const int64_t pid = TempOwner(std::string_view(name).substr(prefix.size()));
    if (pid < 0 || pid == CurrentProcessId() || ProcessRuns(pid)) continue;
    std::error_code kind;
    if (it->is_regular_file(kind) && DeleteFile(it->path().string())) ++removed;
  }
  return removed;
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
