#include <gtest/gtest.h>

#include <string>

#include "platform/host/Stream.h"

using qv::MemoryStream;
using qv::SeekOrigin;

namespace {

TEST(MemoryStream, PositionsOutsideTheBytesAndGaps) {
  MemoryStream s("abc");
  char buf[8] = {};
  EXPECT_EQ(s.Seek(-2, SeekOrigin::End), 1);
  EXPECT_EQ(s.Read(buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  // Before the start nothing moves; past the end a write fills the gap.
  s.SetPosition(-1);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Write("x", 1), 0);
  s.SetPosition(5);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Write("z", 1), 1);
  EXPECT_EQ(s.DataString(), std::string("abc\0\0z", 6));
  // A shorter size pulls the position back to the new end.
  s.SetSize(2);
  EXPECT_EQ(s.Position(), 2);
  s.SetSize(-4);
  EXPECT_EQ(s.Size(), 0);
  s.WriteBuffer("hello", 5);
  EXPECT_EQ(s.TakeData(), "hello");
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

}  // namespace
