// A fresh folder under the system temp folder for one test, removed with its
// contents when the test is done.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qv::test {

class ScratchFolder {
public:
  ScratchFolder() {
    std::string name = (std::filesystem::temp_directory_path() / "qvtest_XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Path_ = name;
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(Path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return Path_; }
  // The path of a file in the folder.
  std::string File(const std::string& name) const { return Path_ + "/" + name; }

private:
  std::string Path_;
};

}  // namespace qv::test
