#include "appdata/AtomicFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/os/File.h"
#include "platform/os/System.h"

namespace qv::app {

namespace {

std::atomic<uint32_t> TempCounter_{0};

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
    Tmp_ = Path_ + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(TempCounter_.fetch_add(1));
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
