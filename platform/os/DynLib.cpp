// dlopen/dlsym wrapper. See DynLib.h.
#include "platform/os/DynLib.h"

#include <dlfcn.h>

#include <mutex>

namespace qv {

namespace {

// dlerror's text is per thread but reset by every dl call; one lock keeps the
// call and the reading of its error together.
std::mutex& DlMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

DynLib::~DynLib() { Unload(); }

DynLib::DynLib(DynLib&& other) noexcept
    : Handle_(other.Handle_), Name_(std::move(other.Name_)),
      LastError_(std::move(other.LastError_)) {
  other.Handle_ = nullptr;
  other.Name_.clear();
}

DynLib& DynLib::operator=(DynLib&& other) noexcept {
  if (this != &other) {
    Unload();
    Handle_ = other.Handle_;
    Name_ = std::move(other.Name_);
    LastError_ = std::move(other.LastError_);
    other.Handle_ = nullptr;
    other.Name_.clear();
  }
  return *this;
}

bool DynLib::Load(const std::vector<std::string>& names) {
  Unload();
  LastError_.clear();
  std::lock_guard<std::mutex> g(DlMutex());
  for (const std::string& name : names) {
    void* h = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h) {
      Handle_ = h;
      Name_ = name;
      return true;
    }
    const char* e = ::dlerror();
    LastError_ = e ? e : name + ": cannot be loaded";
  }
  if (names.empty()) LastError_ = "no library name given";
  return false;
}

void DynLib::Unload() {
  if (Handle_) {
    std::lock_guard<std::mutex> g(DlMutex());
    ::dlclose(Handle_);
    Handle_ = nullptr;
  }
  Name_.clear();
}

void* DynLib::Symbol(const std::string& name) const {
  if (!Handle_) return nullptr;
  std::lock_guard<std::mutex> g(DlMutex());
  return ::dlsym(Handle_, name.c_str());
}

}  // namespace qv
