// Only one copy of the program runs per program folder: the first takes an
// exclusive, non-blocking lock (flock) on a lock file in that folder and
// holds it until it ends; a later copy fails to take it and ends at once.
// The lock belongs to the open file, so it goes away with the process however
// the process ends, and two locks in one process conflict too (tests).
#pragma once

#include <string>

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
  bool Held() const { return Fd_ >= 0; }
  const std::string& ErrorText() const { return ErrorText_; }

private:
  int Fd_ = -1;
  std::string ErrorText_;
};

// Name of the lock file in the program folder.
inline constexpr const char* kInstanceLockName = "Quorvex.lock";

}  // namespace qv::gui
