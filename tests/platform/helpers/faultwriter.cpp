// Helper program for the fault-hook tests: arms the hook in Exit mode and
// writes one byte at a time, so the test can check where the process stopped.
//
//   platform_faultwriter PATH K CODE   creates PATH, arms SetFileFaultAfter(K,
//                                      Exit, CODE) and writes bytes 'a', 'b', ...
//                                      at offsets 0, 1, ... (K + 5 of them);
//                                      exits 0 if it was not stopped
#include <cstdio>
#include <cstdlib>

#include "platform/os/File.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s PATH K CODE\n", argv[0]);
    return 2;
  }
  int64_t k = std::strtoll(argv[2], nullptr, 10);
  int code = std::atoi(argv[3]);
  try {
    qv::File f = qv::File::Open(argv[1], qv::FileAccess::ReadWrite, qv::FileDisposition::CreateAlways);
    qv::SetFileFaultAfter(k, qv::FileFault::Exit, code);
    for (int64_t i = 0; i < k + 5; ++i) {
      char c = static_cast<char>('a' + i);
      f.WriteAt(&c, 1, i);
    }
  } catch (const qv::Exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
