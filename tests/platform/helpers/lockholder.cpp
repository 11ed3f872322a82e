// Helper program for the lock tests: a second process that holds or probes a
// byte lock of a file through qv::File.
//
//   platform_lockholder PATH OFFSET hold    locks byte OFFSET; prints "locked" and
//                                           waits until killed, or prints "busy"
//                                           and exits 1
//   platform_lockholder PATH OFFSET probe   prints "free" (exit 0) when the byte
//                                           can be locked, else "locked" (exit 1)
// Exit 2 on a usage or file error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os/File.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s PATH OFFSET hold|probe\n", argv[0]);
    return 2;
  }
  std::string mode = argv[3];
  int64_t offset = std::strtoll(argv[2], nullptr, 10);
  try {
    qv::File f = qv::File::Open(argv[1], qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
    bool locked = f.Lock(offset, 1);
    if (mode == "hold") {
      printf("%s\n", locked ? "locked" : "busy");
      fflush(stdout);
      if (!locked) return 1;
      for (;;) pause();
    }
    if (mode == "probe") {
      bool other = f.IsLockedByOther(offset, 1);
      printf("%s\n", locked && !other ? "free" : "locked");
      return locked && !other ? 0 : 1;
    }
  } catch (const qv::Exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
