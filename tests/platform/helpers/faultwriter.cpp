// Helper program for the fault-hook tests, which need a process of their own
// because the hook ends it.
//
//   platform_faultwriter PATH K CODE   creates PATH, arms SetFileFaultAfter(K,
//                                      Exit, CODE) and writes bytes 'a', 'b', ...
//                                      at offsets 0, 1, ... (K + 5 of them);
//                                      exits 0 if it was not stopped
//   platform_faultwriter PATH K CODE SEED
//                                      creates PATH, arms SetFileFaultAfter(K,
//                                      PowerCut, CODE, SEED) and runs the
//                                      operations of PowerCutScript (FileTest):
//                                      1024 x 'A' at 0, Sync, 1000 x 'B' at 100,
//                                      truncate to 3000, 700 x 'C' at 2800, then
//                                      'D' bytes one at a time at 4000, 4001, ...
//   platform_faultwriter PATH K CODE SEED anyorder
//                                      the same with PowerCutAnyOrder
//   platform_faultwriter PATH K CODE SEED lost
//                                      arms SetFileFaultAfter(K, LoseUnflushed,
//                                      CODE, SEED) and writes 1024 x 'A' at 0,
//                                      flushes, writes 1000 x 'B' at 100 and
//                                      700 x 'C' at 2800, reads the file back
//                                      (exits 3 unless it reads those writes and
//                                      its size is 3500), then flushes
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os/File.h"

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) {
    fprintf(stderr, "usage: %s PATH K CODE [SEED [anyorder]]\n", argv[0]);
    return 2;
  }
  int64_t k = std::strtoll(argv[2], nullptr, 10);
  int code = std::atoi(argv[3]);
  try {
    qv::File f = qv::File::Open(argv[1], qv::FileAccess::ReadWrite, qv::FileDisposition::CreateAlways);
    if (argc == 4) {
      qv::SetFileFaultAfter(k, qv::FileFault::Exit, code);
      for (int64_t i = 0; i < k + 5; ++i) {
        char c = static_cast<char>('a' + i);
        f.WriteAt(&c, 1, i);
      }
      return 0;
    }
    const std::string a(1024, 'A'), b(1000, 'B'), c(700, 'C');
    if (argc == 6 && std::string(argv[5]) == "lost") {
      qv::SetFileFaultAfter(k, qv::FileFault::LoseUnflushed, code, std::strtoull(argv[4], nullptr, 10));
      f.WriteAt(a.data(), 1024, 0);
      f.Sync();
      f.WriteAt(b.data(), 1000, 100);
      f.WriteAt(c.data(), 700, 2800);
      std::string back(3500, '?');
      if (f.Size() != 3500 || f.ReadAt(back.data(), 3500, 0) != 3500 ||
          back != a.substr(0, 100) + b + std::string(1700, '\0') + c)
        return 3;
      f.Sync();
      return 0;
    }
    qv::SetFileFaultAfter(k, argc == 6 ? qv::FileFault::PowerCutAnyOrder : qv::FileFault::PowerCut, code,
                          std::strtoull(argv[4], nullptr, 10));
    f.WriteAt(a.data(), 1024, 0);
    f.Sync();
    f.WriteAt(b.data(), 1000, 100);
    f.Truncate(3000);
    f.WriteAt(c.data(), 700, 2800);
    for (int64_t i = 0; i < k + 5; ++i) f.WriteAt("D", 1, 4000 + i);
  } catch (const qv::Exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
