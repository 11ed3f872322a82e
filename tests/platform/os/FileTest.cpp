#include "platform/os/File.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "OsTestSupport.h"
#include "tests/support/TestBudget.h"

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
  // One read into several buffers of a size: whole, and short at the end.
  struct Scatter {
    int64_t Offset;
    int32_t Count;
    int64_t Moved;
    const char* Bytes;
  };
  const Scatter scatters[] = {{0, 3, 9, "0123AB678"}, {6, 2, 6, "6789\0\0"}, {12, 3, 3, "\0\0Z"}, {20, 2, 0, ""}};
  for (const Scatter& s : scatters) {
    char pieces[3][3];
    std::memset(pieces, '?', sizeof pieces);
    void* targets[] = {pieces[0], pieces[1], pieces[2]};
    EXPECT_EQ(f.ReadAtScattered(targets, s.Count, 3, s.Offset), s.Moved) << s.Offset;
    EXPECT_EQ(std::string(&pieces[0][0], static_cast<size_t>(s.Moved)), std::string(s.Bytes, static_cast<size_t>(s.Moved)))
        << s.Offset;
  }
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

TEST(File, ReadOnlyHandlesAndLockSharedTakeSharedLocks) {
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
  // A handle that may write takes a shared lock when it asks for one.
  File w2 = OpenRW(path);
  EXPECT_TRUE(w2.LockShared(10, 1));
  EXPECT_FALSE(w2.LockShared(11, 1));
  EXPECT_TRUE(w2.Unlock(10, 1));
  EXPECT_TRUE(r1.Unlock(10, 1));
  EXPECT_TRUE(r2.Unlock(10, 1));
  EXPECT_TRUE(w.Lock(10, 1));
  EXPECT_FALSE(w2.LockShared(10, 1));
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

// Each row arms the hook and runs the same five operations: write, flush,
// truncate, rename, write. A failed operation leaves no trace in the file,
// but a torn write leaves a prefix of its bytes.
TEST(File, FaultHookFailsOnceTwiceOrFromTheKthOperationOn) {
  struct Row {
    qv::FileFault Action;
    int64_t K;
    int Errnos[5];
    std::string_view Content;
  };
  using namespace std::string_view_literals;
  const Row kRows[] = {
      {qv::FileFault::Fail, 2, {0, EIO, 0, 0, 0}, "ab\0\0\0z"sv},
      {qv::FileFault::Fail, 4, {0, 0, 0, EIO, 0}, "ab\0\0\0z"sv},
      {qv::FileFault::FailFrom, 2, {0, ENOSPC, ENOSPC, ENOSPC, ENOSPC}, "abcd"sv},
      {qv::FileFault::FailFrom, 5, {0, 0, 0, 0, ENOSPC}, "ab"sv},
      {qv::FileFault::FailTwice, 2, {0, ENOSPC, ENOSPC, 0, 0}, "abcd\0z"sv},
      {qv::FileFault::TornFrom, 1, {ENOSPC, ENOSPC, ENOSPC, ENOSPC, ENOSPC}, "ab"sv},  // seed 0 keeps 2
      {qv::FileFault::TornFrom, 2, {0, ENOSPC, ENOSPC, ENOSPC, ENOSPC}, "abcd"sv},
      {qv::FileFault::TornFrom, 5, {0, 0, 0, 0, ENOSPC}, "ab"sv},  // one byte: nothing to keep
  };
  ScratchFolder dir;
  for (const Row& row : kRows) {
    const std::string path = dir.File("fail.dat"), renamed = dir.File("renamed.dat");
    File f = OpenRW(path, FileDisposition::CreateAlways);
    const int64_t before = qv::FileWriteCount();
    qv::SetFileFaultAfter(row.K, row.Action);
    const std::function<void()> ops[] = {[&] { f.WriteAt("abcd", 4, 0); }, [&] { f.Sync(); },
                                         [&] { f.Truncate(2); }, [&] { qv::RenameFile(path, renamed); },
                                         [&] { f.WriteAt("z", 1, 5); }};
    for (int i = 0; i < 5; ++i) {
      int errNo = 0;
      try {
        ops[i]();
      } catch (const EOSError& e) {
        errNo = e.Errno;
      }
      EXPECT_EQ(errNo, row.Errnos[i]) << "k=" << row.K << " operation " << i;
    }
    qv::SetFileFaultAfter(0, row.Action);
    EXPECT_EQ(qv::FileWriteCount(), before + 5);  // failed operations count too
    EXPECT_EQ(ReadAll(row.Errnos[3] ? path : renamed), row.Content) << "k=" << row.K;
    qv::DeleteFile(renamed);
  }
}
// The power cut as a model: the file must hold its contents at the last
// flush plus a prefix of the later operations, and perhaps the next write up
// to a 512-byte boundary of the file. The operations are those of
// platform_faultwriter with a seed.
TEST(File, PowerCutKeepsTheFlushedContentsAndAPrefixOfLaterWrites) {
  struct Op {
    char Kind;  // W write, S flush, T truncate
    int64_t Offset, Length;
    char Fill;
  };
  std::vector<Op> script = {{'W', 0, 1024, 'A'}, {'S', 0, 0, 0}, {'W', 100, 1000, 'B'}, {'T', 3000, 0, 0},
                            {'W', 2800, 700, 'C'}};
  for (int i = 0; i < 8; ++i) script.push_back({'W', 4000 + i, 1, 'D'});
  auto apply = [](std::string& s, const Op& op, int64_t keep) {
    if (op.Kind == 'T') s.resize(static_cast<size_t>(op.Offset), '\0');
    if (op.Kind != 'W' || keep == 0) return;
    if (static_cast<int64_t>(s.size()) < op.Offset + keep) s.resize(static_cast<size_t>(op.Offset + keep), '\0');
    s.replace(static_cast<size_t>(op.Offset), static_cast<size_t>(keep), static_cast<size_t>(keep), op.Fill);
  };
  auto allowed = [&](int k) {
    std::string flushed;
    int firstPending = 0;
    for (int i = 0; i < k; ++i)
      if (script[i].Kind == 'S') firstPending = i + 1;
    for (int i = 0; i < firstPending; ++i) apply(flushed, script[i], script[i].Length);
    std::set<std::string> states;
    std::string state = flushed;
    for (int i = firstPending; i <= k; ++i) {
      states.insert(state);
      if (i == k) break;
      const Op& op = script[i];
      for (int64_t b = (op.Offset / 512 + 1) * 512; op.Kind == 'W' && b < op.Offset + op.Length; b += 512) {
        std::string torn = state;
        apply(torn, op, b - op.Offset);
        states.insert(torn);
      }
      apply(state, op, op.Length);
    }
    return states;
  };

  ScratchFolder dir;
  const std::string path = dir.File("cut.dat");
  std::map<int, std::set<std::string>> seen;
  qv::test::TestBudget budget(3, 7 * 10);
  for (uint64_t i = 0; budget.Continue(i); ++i) {
    const int k = 1 + static_cast<int>(i % 7);
    Child writer("platform_faultwriter", {path, std::to_string(k), "42", std::to_string(i / 7)});
    ASSERT_EQ(writer.Wait(), 42) << "k=" << k;
    const std::string content = ReadAll(path);
    ASSERT_EQ(allowed(k).count(content), 1u) << "k=" << k << " seed " << i / 7 << " size " << content.size();
    seen[k].insert(content);
  }
  EXPECT_GE(seen[1].size(), 2u);  // the one write after the empty start: kept, torn or lost
  EXPECT_GE(seen[5].size(), 4u);  // prefixes and tears of three operations
}

// A power cut in any order: every byte holds its flushed value or that of
// one of the later writes over it, and the file is not always a prefix
// state (the same script as above).
TEST(File, PowerCutInAnyOrderKeepsTheFlushedContentsAndAnySubsetOfLaterWrites) {
  ScratchFolder dir;
  const std::string path = dir.File("cut.dat");
  const int k = 5;  // the flushed 'A's, then 'B' over 100-1099, a truncate to 3000, 'C' over 2800-3499
  int notPrefix = 0;
  qv::test::TestBudget budget(3, 40);
  for (uint64_t seed = 0; budget.Continue(seed); ++seed) {
    Child writer("platform_faultwriter", {path, std::to_string(k), "42", std::to_string(seed), "anyorder"});
    ASSERT_EQ(writer.Wait(), 42);
    const std::string content = ReadAll(path);
    ASSERT_LE(content.size(), 3500u);
    for (size_t p = 0; p < content.size(); ++p) {
      std::string allowed(1, '\0');
      if (p < 1024) allowed += 'A';
      if (p >= 100 && p < 1100) allowed += 'B';
      if (p >= 2800) allowed += 'C';
      ASSERT_NE(allowed.find(content[p]), std::string::npos) << "seed " << seed << " byte " << p;
    }
    // A prefix state never holds 'C' without every 'B'.
    if (content.find('C') != std::string::npos && content.substr(100, 1000) != std::string(1000, 'B')) ++notPrefix;
  }
  EXPECT_GT(notPrefix, 0);
}

// Writes held back until a flush that ends the process: the writer reads
// them back meanwhile; then every byte holds its flushed value or that of
// one of the held writes over it (pieces of 512 bytes land or not, in any
// order), and some seeds keep a later write without all of an earlier one.
TEST(File, WritesHeldUntilAFlushThatEndsTheProcessLandInAnySubset) {
  ScratchFolder dir;
  const std::string path = dir.File("held.dat");
  int notPrefix = 0;
  qv::test::TestBudget budget(3, 40);
  for (uint64_t seed = 0; budget.Continue(seed); ++seed) {
    // The 'A's flushed; 'B' over 100-1099 and 'C' over 2800-3499 held.
    Child writer("platform_faultwriter", {path, "3", "42", std::to_string(seed), "lost"});
    ASSERT_EQ(writer.Wait(), 42) << "seed " << seed;
    const std::string content = ReadAll(path);
    ASSERT_GE(content.size(), 1024u);
    ASSERT_LE(content.size(), 3500u);
    for (size_t p = 0; p < content.size(); ++p) {
      std::string allowed = p < 1024 ? "A" : std::string(1, '\0');
      if (p >= 100 && p < 1100) allowed += 'B';
      if (p >= 2800) allowed += 'C';
      ASSERT_NE(allowed.find(content[p]), std::string::npos) << "seed " << seed << " byte " << p;
    }
    if (content.find('C') != std::string::npos && content.substr(100, 1000) != std::string(1000, 'B')) ++notPrefix;
  }
  EXPECT_GT(notPrefix, 0);
}

// A torn write keeps at least one byte and not all, ending inside a 512-byte
// sector of the file wherever the seed cuts it.
TEST(File, ATornWriteKeepsAPrefixThatEndsInsideASector) {
  ScratchFolder dir;
  const std::string path = dir.File("torn.dat"), bytes(4096, 'T');
  for (const auto& [offset, length] : {std::pair<int64_t, int64_t>{0, 2}, {100, 2000}, {511, 3}, {1024, 4096}})
    for (uint64_t seed = 0; seed < 40; ++seed) {
      File f = OpenRW(path, FileDisposition::CreateAlways);
      qv::SetFileFaultAfter(1, qv::FileFault::TornFrom, 99, seed);
      EXPECT_THROW(f.WriteAt(bytes.data(), length, offset), EOSError);
      qv::SetFileFaultAfter(0, qv::FileFault::TornFrom);
      const int64_t keep = f.Size() - offset;
      EXPECT_TRUE(keep >= 1 && keep < length && (offset + keep) % qv::kFileSectorSize != 0)
          << offset << " seed " << seed << " kept " << keep;
    }
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
