#include "platform/gui/SingleInstance.h"

#include "platform/os/System.h"

namespace qv::gui {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire(const std::string& lockFile) {
  Release();
  ErrorText_.clear();
  int err = 0;
  File file = File::TryOpen(lockFile, FileAccess::ReadWrite, FileDisposition::OpenAlways, &err);
  if (!file.IsOpen()) {
    ErrorText_ = "Cannot open " + lockFile + ": " + qv::SysErrorMessage(err);
    return false;
  }
  try {
    // A lock held by another handle is a plain false: not an error.
    if (!file.Lock(0, 1)) return false;
  } catch (const EOSError& e) {
    ErrorText_ = "Cannot lock " + lockFile + ": " + qv::SysErrorMessage(e.Errno);
    return false;
  }
  File_ = std::move(file);
  return true;
}

// Closing the handle drops its lock.
void SingleInstance::Release() { File_.Close(); }

}  // namespace qv::gui
