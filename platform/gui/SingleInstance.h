// Only one copy of the program runs per program folder: the first takes an
// exclusive, non-blocking lock on the first byte of a lock file in that folder
// (a lock of the file layer, platform/os/File) and holds it until it ends; a
// later copy fails to take it and ends at once. The lock belongs to the open
// file, so it goes away with the process however the process ends, and two
// locks in one process conflict too (tests).
#pragma once

#include <string>

#include "platform/os/File.h"

namespace qv::gui {

class SingleInstance {
public:
  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock on lockFile (created when missing). True when this object
  // now holds it; false when another holder has it, or the file cannot be
  // opened (then errorText says why).
  bool Acquire(const std::string& lockFile);
  void Release();
  bool Held() const { return File_.IsOpen(); }
  const std::string& ErrorText() const { return ErrorText_; }

private:
  File File_;
  std::string ErrorText_;
};

// Name of the lock file in the program folder.
inline constexpr const char* kInstanceLockName = "Quorvex.lock";

}  // namespace qv::gui
