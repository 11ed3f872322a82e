#include "platform/os/File.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "OsTestSupport.h"

using qv::EOSError;
using qv::File;
using qv::FileAccess;
using qv::FileDisposition;
using qv_test::Child;
using qv_test::ScratchFolder;

namespace {

File OpenRW(const std::string& path, FileDisposition d = FileDisposition::OpenAlways) {
  return File::Open(path, FileAccess::ReadWrite, d);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(File& f, const std::string& text, int64_t offset) {
  ASSERT_EQ(f.WriteAt(text.data(), static_cast<int64_t>(text.size()), offset),
            static_cast<int64_t>(text.size()));
}

}  // namespace

TEST(File, DispositionsAndErrors) {
  ScratchFolder dir;
  std::string path = dir.File("a.dat");

  int errNo = 0;
  File missing = File::TryOpen(path, FileAccess::ReadWrite, FileDisposition::OpenExisting, &errNo);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(errNo, ENOENT);
  try {
    File::Open(path, FileAccess::ReadOnly, FileDisposition::OpenExisting);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Errno, ENOENT);
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\": No such file or directory");
  }

  {
    File f = File::Open(path, FileAccess::ReadWrite, FileDisposition::CreateNew);
    EXPECT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Path(), path);
    EXPECT_FALSE(f.ReadOnly());
    WriteText(f, "hello", 0);
  }
  File again = File::TryOpen(path, FileAccess::ReadWrite, FileDisposition::CreateNew, &errNo);
  EXPECT_FALSE(again.IsOpen());
  EXPECT_EQ(errNo, EEXIST);

  EXPECT_EQ(File::Open(path, FileAccess::ReadOnly, FileDisposition::OpenAlways).Size(), 5);
  EXPECT_EQ(File::Open(path, FileAccess::ReadWrite, FileDisposition::CreateAlways).Size(), 0);

  // The descriptor does not leak into programs this process starts.
  File f = OpenRW(path);
  EXPECT_TRUE(fcntl(f.Fd(), F_GETFD) & FD_CLOEXEC);

  // A folder is no data file.
  File folder = File::TryOpen(dir.Path(), FileAccess::ReadOnly, FileDisposition::OpenExisting, &errNo);
  EXPECT_FALSE(folder.IsOpen());
  EXPECT_EQ(errNo, EISDIR);
}

TEST(File, PositionedReadWriteSizeTruncate) {
  ScratchFolder dir;
  std::string path = dir.File("io.dat");
  File f = OpenRW(path);
  WriteText(f, "0123456789", 0);
  WriteText(f, "AB", 4);
  WriteText(f, "Z", 14);  // past the end: the gap reads as zero bytes
  EXPECT_EQ(f.Size(), 15);
  char buf[32] = {};
  EXPECT_EQ(f.ReadAt(buf, 6, 2), 6);
  EXPECT_EQ(std::string(buf, 6), "23AB67");
  EXPECT_EQ(f.ReadAt(buf, 32, 8), 7);  // short read at the end
  EXPECT_EQ(std::string(buf, 7), std::string("89\0\0\0\0Z", 7));
  EXPECT_EQ(f.ReadAt(buf, 4, 100), 0);
  f.Truncate(3);
  EXPECT_EQ(f.Size(), 3);
  f.Truncate(8);
  EXPECT_EQ(ReadAll(path), std::string("012\0\0\0\0\0", 8));
  f.Sync();

  File ro = File::Open(path, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  EXPECT_TRUE(ro.ReadOnly());
  try {
    ro.WriteAt("x", 1, 0);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Errno, EBADF);
    EXPECT_NE(e.Message().find(path), std::string::npos);
  }
  EXPECT_THROW(f.ReadAt(buf, -1, 0), EOSError);
  EXPECT_THROW(f.Truncate(-1), EOSError);

  // Moving keeps the descriptor; a closed File refuses I/O.
  File moved = std::move(f);
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(moved.Size(), 8);
  moved.Close();
  moved.Close();
  EXPECT_THROW(moved.ReadAt(buf, 1, 0), EOSError);
  EXPECT_THROW(moved.Size(), EOSError);
}

// Two handles of one process conflict like two Windows handles; a handle
// cannot lock a range twice; closing some other handle keeps the lock.
TEST(File, LocksBetweenHandlesOfOneProcess) {
  ScratchFolder dir;
  std::string path = dir.File("lock.dat");
  File a = OpenRW(path);
  File b = OpenRW(path);

  EXPECT_TRUE(a.Lock(360, 1));
  EXPECT_FALSE(b.Lock(360, 1));
  EXPECT_FALSE(a.Lock(360, 1));
  EXPECT_TRUE(a.IsByteLocked(360));
  EXPECT_FALSE(a.IsByteLocked(361));
  EXPECT_FALSE(b.IsByteLocked(360));
  EXPECT_TRUE(b.IsLockedByOther(360, 1));
  EXPECT_FALSE(a.IsLockedByOther(360, 1));  // its own lock is no other's

  {
    File c = OpenRW(path);
    EXPECT_FALSE(c.Lock(360, 1));
  }  // c closes
  EXPECT_TRUE(a.IsByteLocked(360));
  EXPECT_FALSE(b.Lock(360, 1));
  EXPECT_TRUE(b.IsLockedByOther(360, 1));

  // Unlock needs exactly a held range.
  EXPECT_FALSE(b.Unlock(360, 1));
  EXPECT_FALSE(a.Unlock(360, 2));
  EXPECT_TRUE(a.Unlock(360, 1));
  EXPECT_FALSE(a.Unlock(360, 1));
  EXPECT_FALSE(a.IsByteLocked(360));
  EXPECT_TRUE(b.Lock(360, 1));
  EXPECT_TRUE(a.IsLockedByOther(360, 1));

  // Overlap inside one handle is refused, adjacent ranges are not; a range
  // beyond the end of the file locks too.
  EXPECT_TRUE(a.Lock(100, 10));
  EXPECT_FALSE(a.Lock(109, 5));
  EXPECT_FALSE(a.Lock(95, 6));
  EXPECT_TRUE(a.Lock(110, 1));
  EXPECT_TRUE(a.Lock(int64_t{1} << 40, 4));
  EXPECT_TRUE(a.IsByteLocked((int64_t{1} << 40) + 3));
  EXPECT_FALSE(b.Lock(105, 1));
  EXPECT_FALSE(a.Lock(-1, 1));
  EXPECT_FALSE(a.Lock(5, 0));

  // Unlocking one range leaves the neighbour locked.
  EXPECT_TRUE(a.Unlock(110, 1));
  EXPECT_TRUE(b.IsLockedByOther(100, 10));
  EXPECT_FALSE(b.IsLockedByOther(110, 1));

  // A moved handle keeps its locks; closing drops them.
  File moved = std::move(a);
  EXPECT_TRUE(moved.IsByteLocked(100));
  EXPECT_FALSE(b.Lock(100, 1));
  moved.Close();
  EXPECT_FALSE(moved.IsByteLocked(100));
  EXPECT_FALSE(moved.Lock(1, 1));
  EXPECT_TRUE(moved.Unlock(1, 1));
  EXPECT_TRUE(b.Lock(100, 1));
}

TEST(File, ReadOnlyHandlesTakeSharedLocks) {
  ScratchFolder dir;
  std::string path = dir.File("shared.dat");
  OpenRW(path).Close();
  File r1 = File::Open(path, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  File r2 = File::Open(path, FileAccess::ReadOnly, FileDisposition::OpenExisting);
  File w = OpenRW(path);
  EXPECT_TRUE(r1.Lock(10, 1));
  EXPECT_TRUE(r2.Lock(10, 1));
  EXPECT_FALSE(r1.Lock(10, 1));  // still not twice by one handle
  EXPECT_FALSE(w.Lock(10, 1));
  EXPECT_TRUE(w.IsLockedByOther(10, 1));
  EXPECT_TRUE(r1.IsLockedByOther(10, 1));  // r2's read lock
  EXPECT_TRUE(w.Lock(11, 1));
  EXPECT_FALSE(r1.Lock(11, 1));
}

TEST(File, LocksAcrossProcesses) {
  ScratchFolder dir;
  std::string path = dir.File("proc.dat");
  File a = OpenRW(path);

  // A child process sees this process's lock, and its end.
  ASSERT_TRUE(a.Lock(360, 1));
  {
    Child probe("platform_lockholder", {path, "360", "probe"});
    EXPECT_EQ(probe.ReadLine(), "locked");
    EXPECT_EQ(probe.Wait(), 1);
  }
  ASSERT_TRUE(a.Unlock(360, 1));
  {
    Child probe("platform_lockholder", {path, "360", "probe"});
    EXPECT_EQ(probe.ReadLine(), "free");
    EXPECT_EQ(probe.Wait(), 0);
  }

  // A lock held by another process blocks this one until that process dies.
  Child holder("platform_lockholder", {path, "360", "hold"});
  ASSERT_EQ(holder.ReadLine(), "locked");
  EXPECT_FALSE(a.Lock(360, 1));
  EXPECT_TRUE(a.IsLockedByOther(360, 1));
  EXPECT_TRUE(a.Lock(361, 1));
  holder.Kill();
  EXPECT_EQ(holder.Wait(), 128 + SIGKILL);
  EXPECT_FALSE(a.IsLockedByOther(360, 1));
  EXPECT_TRUE(a.Lock(360, 1));
}

TEST(File, FaultHookFailsTheKthWrite) {
  ScratchFolder dir;
  std::string path = dir.File("fault.dat");
  File f = OpenRW(path);
  int64_t before = qv::FileWriteCount();
  qv::SetFileFaultAfter(3, qv::FileFault::Fail);
  WriteText(f, "a", 0);
  f.Truncate(1);  // truncates count as writes
  try {
    f.WriteAt("c", 1, 1);
    FAIL() << "no injected failure";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Errno, EIO);
    EXPECT_EQ(e.Message(), "Injected write failure");
  }
  EXPECT_EQ(ReadAll(path), "a");  // the failed write did not happen
  WriteText(f, "d", 1);           // the hook fired once and is off again
  EXPECT_EQ(ReadAll(path), "ad");
  EXPECT_EQ(qv::FileWriteCount(), before + 4);

  qv::SetFileFaultAfter(1, qv::FileFault::Fail);
  EXPECT_THROW(f.Truncate(0), EOSError);
  EXPECT_EQ(f.Size(), 2);

  qv::SetFileFaultAfter(2, qv::FileFault::Fail);
  qv::SetFileFaultAfter(0, qv::FileFault::Fail);  // off
  WriteText(f, "xyz", 0);
  WriteText(f, "xyz", 0);
}

TEST(File, FaultHookExitStopsTheProcessBeforeTheKthWrite) {
  ScratchFolder dir;
  std::string path = dir.File("exit.dat");
  Child writer("platform_faultwriter", {path, "3", "42"});
  EXPECT_EQ(writer.Wait(), 42);
  EXPECT_EQ(ReadAll(path), "ab");
}

TEST(File, ExistsDeleteCopy) {
  ScratchFolder dir;
  std::string src = dir.File("src.dat"), dest = dir.File("dest.dat");
  EXPECT_FALSE(qv::FileExists(src));
  EXPECT_FALSE(qv::FileExists(dir.Path()));  // a folder is not a file
  {
    File f = OpenRW(src);
    std::string big(200000, 'q');
    big[123456] = 'X';
    WriteText(f, big, 0);
  }
  chmod(src.c_str(), 0640);
  EXPECT_TRUE(qv::FileExists(src));

  ASSERT_TRUE(qv::CopyFile(src, dest, true));
  EXPECT_EQ(ReadAll(dest), ReadAll(src));
  struct stat st;
  ASSERT_EQ(stat(dest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // failIfExists keeps the existing file; otherwise it is replaced whole.
  {
    File f = OpenRW(dest, FileDisposition::CreateAlways);
    WriteText(f, "old", 0);
  }
  errno = 0;
  EXPECT_FALSE(qv::CopyFile(src, dest, true));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadAll(dest), "old");
  EXPECT_TRUE(qv::CopyFile(src, dest, false));
  EXPECT_EQ(ReadAll(dest).size(), 200000u);

  EXPECT_FALSE(qv::CopyFile(dir.File("none.dat"), dir.File("x.dat"), false));
  EXPECT_FALSE(qv::CopyFile(src, dir.File("no/such/folder.dat"), false));
  // No temporary file is left behind.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 2);

  EXPECT_TRUE(qv::DeleteFile(dest));
  EXPECT_FALSE(qv::DeleteFile(dest));
  EXPECT_FALSE(qv::FileExists(dest));
}
