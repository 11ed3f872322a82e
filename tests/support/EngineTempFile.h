// A file made by the engine's VLMGetTempFileName (it exists, empty) for one
// test, deleted at the end of it.
#pragma once

#include <string>

#include "engine/core/VLMCompression.h"
#include "platform/os/File.h"

namespace qv::test {

class EngineTempFile {
public:
  EngineTempFile() : Name(VLMGetTempFileName()) {}
  ~EngineTempFile() { qv::DeleteFile(Name); }
  EngineTempFile(const EngineTempFile&) = delete;
  EngineTempFile& operator=(const EngineTempFile&) = delete;

  std::string Name;
};

}  // namespace qv::test
