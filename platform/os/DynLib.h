// A dynamically loaded library (dlopen/dlsym), for code that uses a library
// only when it is present at run time (the SSL library of the net code).
#pragma once

#include <string>
#include <vector>

namespace qv {

class DynLib {
public:
  DynLib() = default;
  ~DynLib();
  DynLib(DynLib&& other) noexcept;
  DynLib& operator=(DynLib&& other) noexcept;
  DynLib(const DynLib&) = delete;
  DynLib& operator=(const DynLib&) = delete;

  // Loads the first of the names that the dynamic loader can open (a plain
  // file name is searched the loader's way; symbols are bound at once and kept
  // local). A library loaded before is unloaded first. False when none loads;
  // LastError then tells why the last one failed.
  bool Load(const std::vector<std::string>& names);
  bool Load(const std::string& name) { return Load(std::vector<std::string>{name}); }
  void Unload();

  bool IsLoaded() const { return Handle_ != nullptr; }
  const std::string& Name() const { return Name_; }  // the name that loaded
  const std::string& LastError() const { return LastError_; }

  // The address of a symbol, or nullptr when it is missing or nothing is loaded.
  void* Symbol(const std::string& name) const;
  template <class F>
  F SymbolAs(const std::string& name) const {
    return reinterpret_cast<F>(Symbol(name));
  }

private:
  void* Handle_ = nullptr;
  std::string Name_;
  std::string LastError_;
};

}  // namespace qv
