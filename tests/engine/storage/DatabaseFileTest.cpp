// TVLMDatabaseFile: the signature search, the closed/opened checks, byte
// locks between handles, locks of an unreachable file, and reopening a
// handle that went bad.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/storage/StorageTestSupport.h"

namespace {

using namespace storage_test;

// A valid block 1 (signature, length 76) followed by filler.
std::vector<uint8_t> Block1() {
  std::vector<uint8_t> b(kVLMBlock1Size, 0);
  std::memcpy(b.data(), kVLMSignature, kVLMSignatureSize);
  b[16] = kVLMBlock1Size;
  return b;
}

std::vector<uint8_t> Junk(size_t n, uint8_t seed) {
  std::vector<uint8_t> j(n);
  for (size_t i = 0; i < n; ++i) j[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
  return j;
}

int64_t Search(const std::string& path, bool& found) {
  TVLMDatabaseFile file;
  file.OpenFile(path, TVLMFileAccessMode::ReadOnly, TVLMFileShareMode::ReadWrite);
  file.Seek(17);
  int64_t offset = -1;
  found = file.FindSignature(offset);
  EXPECT_EQ(file.GetPosition(), 17);  // the position is put back in every case
  return offset;
}

TEST(DatabaseFile, SignatureSearchFindsTheFirstValidHeader) {
  ScratchFolder dir;
  std::string path = dir.File("s.db");
  bool found = false;

  // At the start: no scan needed.
  std::vector<uint8_t> bytes = Block1();
  bytes.resize(500, 1);
  WriteBytes(path, bytes);
  EXPECT_EQ(Search(path, found), 0);
  EXPECT_TRUE(found);

  // After other data, also across the overlap of two read chunks, and with a
  // bare signature text before it that has no valid length field.
  for (size_t prefix : {size_t{12345}, size_t{9990}, size_t{9984}, size_t{20000 - 20}}) {
    std::vector<uint8_t> file = Junk(prefix, 3);
    std::memcpy(file.data() + 100, kVLMSignature, kVLMSignatureSize);  // length field is junk
    file[116] = 75;
    std::vector<uint8_t> header = Block1();
    file.insert(file.end(), header.begin(), header.end());
    file.resize(file.size() + 40, 0);
    WriteBytes(path, file);
    EXPECT_EQ(Search(path, found), static_cast<int64_t>(prefix)) << prefix;
    EXPECT_TRUE(found);
  }

  // A header whose 76 bytes do not fit in the file is no header.
  std::vector<uint8_t> cut = Junk(5000, 9);
  std::vector<uint8_t> header = Block1();
  cut.insert(cut.end(), header.begin(), header.begin() + 40);
  WriteBytes(path, cut);
  EXPECT_EQ(Search(path, found), 0);
  EXPECT_FALSE(found);

  WriteBytes(path, Junk(30000, 5));
  EXPECT_EQ(Search(path, found), 0);
  EXPECT_FALSE(found);
  WriteBytes(path, {});
  Search(path, found);
  EXPECT_FALSE(found);
}

TEST(DatabaseFile, ChecksOpenAndClosedStates) {
  ScratchFolder dir;
  TVLMDatabaseFile file;
  std::string message;
  EXPECT_EQ(CodeOf([&] { file.GetSize(); }, &message), 30376);
  EXPECT_EQ(message, "Cannot perform this operation (GetSize) on a closed file - Native error: 30376");
  EXPECT_EQ(CodeOf([&] { file.LockByte(1, 0); }, &message), 30376);
  EXPECT_EQ(message, "Cannot perform this operation (LockByte) on a closed file - Native error: 30376");
  EXPECT_EQ(CodeOf([&] { file.Flush(); }, &message), 30376);
  EXPECT_NE(message.find("(FlushFileBuffers)"), std::string::npos);
  EXPECT_EQ(CodeOf([&] { file.CreateFile(""); }, &message), 30374);
  const auto rw = TVLMFileAccessMode::ReadWrite;
  const auto none = TVLMFileShareMode::None;
  EXPECT_EQ(CodeOf([&] { file.OpenFile(dir.File("missing"), rw, none); }, &message), 30364);
  EXPECT_EQ(message.rfind("Cannot open file:'" + dir.File("missing") + "' Error code: 2. ErrorMessage: ", 0), 0u);
  EXPECT_EQ(CodeOf([&] { file.OpenFile(dir.File("x"), static_cast<TVLMFileAccessMode>(2), none); }, &message), 30366);
  EXPECT_EQ(message, "Unknown Access mode: '2' - Native error: 30366");
  EXPECT_EQ(CodeOf([&] { file.OpenFile(dir.File("x"), rw, static_cast<TVLMFileShareMode>(3)); }), 30367);

  file.CreateFile(dir.File("a.db"));
  EXPECT_EQ(CodeOf([&] { file.OpenFile(dir.File("a.db"), rw, none); }, &message), 30377);
  EXPECT_EQ(message, "Cannot perform this operation (OpenFile) on a opened file - Native error: 30377");
  uint8_t byte = 0;
  EXPECT_FALSE(file.ReadBuffer(&byte, 0, 1));  // empty file: a short read is a failed read
  EXPECT_EQ(CodeOf([&] { file.ReadBufferEx(&byte, 10464, 5, 1); }, &message), 10464);
  EXPECT_EQ(message.rfind("Cannot Read from file: '" + dir.File("a.db") + "' Position = 5, Count = 1,", 0), 0u);
  file.WriteBuffer("abc", 10469, 10, 3);
  EXPECT_EQ(file.GetSize(), 13);
  file.SetSize(4);
  EXPECT_EQ(file.GetSize(), 4);
  EXPECT_EQ(CodeOf([&] { file.SetPosition(-1); }), 30372);
  file.CloseFile();
  EXPECT_EQ(CodeOf([&] { file.CloseFile(); }), 30376);
}

TEST(DatabaseFile, CreateReplacesAReadOnlyFileOrLeavesAFileThereAlone) {
  ScratchFolder dir;
  std::string path = dir.File("ro.db");
  WriteBytes(path, Junk(100, 1));
  chmod(path.c_str(), 0444);
  TVLMDatabaseFile file;
  file.CreateFile(path);
  EXPECT_EQ(file.GetSize(), 0);
  EXPECT_EQ(file.AccessMode, TVLMFileAccessMode::ReadWrite);
  EXPECT_EQ(file.ShareMode, TVLMFileShareMode::None);
  // Made exclusively, not replacing: a file that is there stays as it is.
  const std::string other = dir.File("other.db");
  WriteBytes(other, Junk(100, 2));
  TVLMDatabaseFile second;
  EXPECT_EQ(CodeOf([&] { second.CreateFile(other, false); }), 10971);
  EXPECT_EQ(ReadBytes(other), Junk(100, 2));
}

TEST(DatabaseFile, ByteLocksConflictBetweenHandles) {
  ScratchFolder dir;
  std::string path = dir.File("l.db");
  WriteBytes(path, Junk(1000, 2));
  TVLMDatabaseFile a, b;
  a.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);
  b.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);

  EXPECT_FALSE(a.IsByteLocked(360));
  EXPECT_TRUE(b.LockByte(1, 360));  // the probe left the byte unlocked
  EXPECT_TRUE(a.IsByteLocked(360));
  EXPECT_FALSE(a.LockByte(1, 360));
  EXPECT_TRUE(b.IsByteLocked(360));  // also the holder cannot lock it again
  EXPECT_TRUE(a.IsRegionLocked(10, 355));
  EXPECT_FALSE(a.IsRegionLocked(10, 361));
  EXPECT_FALSE(a.IsRegionLocked(0, 360));
  EXPECT_FALSE(a.UnlockByte(1, 360));  // not a's lock
  EXPECT_TRUE(b.UnlockByte(1, 360));
  EXPECT_TRUE(a.LockByte(1, 360));
}

TEST(DatabaseFile, AnUnreachableFileFailsLocksAndReleasesUnlocks) {
  ScratchFolder dir;
  std::string path = dir.File("u.db");
  WriteBytes(path, Junk(1000, 2));
  TVLMDatabaseFile file;
  file.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);
  ASSERT_TRUE(file.LockByte(1, 360));
  file.Handle().Close();  // the handle is gone under the wrapper
  EXPECT_FALSE(file.LockByte(1, 361));
  EXPECT_TRUE(file.UnlockByte(1, 360));
}

TEST(DatabaseFile, AHandleThatWentBadIsReopenedOnce) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("r.db");
  WriteBytes(path, Junk(1000, 4));
  TVLMDatabaseFile file;
  file.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);
  file.Handle().Close();
  uint8_t bytes[4];
  ASSERT_TRUE(file.ReadBuffer(bytes, 10, 4));
  EXPECT_EQ(bytes[0], Junk(1000, 4)[10]);
  EXPECT_TRUE(file.Handle().IsOpen());
  EXPECT_EQ(fast.Sleeps, 0);

  // A file that cannot be opened again: three attempts, then a failure.
  file.Handle().Close();
  std::filesystem::remove(path);
  EXPECT_FALSE(file.ReadBuffer(bytes, 10, 4));
  EXPECT_EQ(fast.Sleeps, 2);
  EXPECT_EQ(CodeOf([&] { file.WriteBuffer(bytes, 10475, 0, 4); }), 10475);
}

}  // namespace
