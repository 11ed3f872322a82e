// Whole-file writes that never leave a half-written file behind: the data goes
// to a new temporary file in the target's folder, is synced, and replaces the
// target by a rename. A failure at any step removes the temporary file and
// leaves an existing target byte-identical.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/os/File.h"

namespace qv::app {

// Writes data as the whole content of path. mode >= 0 sets the file's
// permission bits (set before any byte is written, so a 0600 file is never
// readable by others); mode < 0 leaves the default (0666 less the umask).
// Throws EOSError on failure.
void WriteFileAtomically(const std::string& path, std::string_view data, int32_t mode = -1);

// The same with the content written by fill into the new, empty file (for
// content too large to hold in memory); fill's exceptions pass through, with
// the temporary file removed.
void WriteFileAtomicallyWith(const std::string& path, const std::function<void(File& out)>& fill,
                             int32_t mode = -1);

// The same in steps, for content written over a while (between other
// work): the temporary file is made at once and filled through Out();
// Commit syncs it and puts it in place of the target. Destroyed without a
// Commit that succeeded, it removes the temporary file and leaves the
// target as it was. Throws EOSError on failure.
class AtomicFileWriter {
public:
  explicit AtomicFileWriter(std::string path, int32_t mode = -1);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  File& Out() { return Out_; }
  // The temporary file's name (for a caller that writes it through another
  // handle before the Commit).
  const std::string& TempPath() const { return Tmp_; }
  void Commit();

private:
  std::string Path_;
  std::string Tmp_;
  File Out_;
  bool Committed_ = false;
};

// The temporary files AtomicFileWriter left for path ("<path>.tmp<pid>-<n>",
// and "<path>.tmp<pid>-<n>.<suffix>" beside one) when its process ended
// before a Commit or a clean-up (killed, a power cut): each one whose
// process no longer runs is removed. Those of a
// running process, this one included, stay, and so does any other file.
// Returns how many were removed; a folder or file that cannot be read or
// removed is left as it is.
int32_t RemoveOrphanedTemporaries(const std::string& path);

// Writes count bytes at offset, however many calls the file takes. Throws
// EOSError on failure.
void WriteAllAt(File& file, const void* data, int64_t count, int64_t offset);

// The whole content of a file. Sets found to false (and returns "") when the
// file does not exist; throws EOSError on any other failure.
std::string ReadWholeFile(const std::string& path, bool& found);

// The folder part of a path, without the trailing '/': "." for a bare name,
// "/" for a name in the root.
std::string FolderOf(const std::string& path);

}  // namespace qv::app
