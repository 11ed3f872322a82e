#include "platform/gui/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os/File.h"
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
  // Keep a descriptor of our own: the File closes its one when it goes.
  const int fd = ::fcntl(file.Fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    ErrorText_ = std::string("Cannot duplicate the lock file handle: ") + qv::SysErrorMessage(errno);
    return false;
  }
  // flock locks belong to the open file description, which the duplicate
  // shares; closing the File's descriptor afterwards does not drop it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) ErrorText_ = std::string("Cannot lock ") + lockFile + ": " + qv::SysErrorMessage(errno);
    ::close(fd);
    return false;
  }
  Fd_ = fd;
  return true;
}

void SingleInstance::Release() {
  if (Fd_ >= 0) {
    ::flock(Fd_, LOCK_UN);
    ::close(Fd_);
    Fd_ = -1;
  }
}

}  // namespace qv::gui
