#include <gtest/gtest.h>

#include "platform/host/Exception.h"
#include "platform/host/StringList.h"

using qv::StringList;

TEST(StringList, TextSplitsAtEveryLineEnd) {
  StringList l;
  l.SetText("a\r\nb\nc\rd\r\n");
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l[0], "a");
  EXPECT_EQ(l[1], "b");
  EXPECT_EQ(l[2], "c");
  EXPECT_EQ(l[3], "d");
  EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\nd\r\n");
  l.SetText("x\n\ny");
  ASSERT_EQ(l.Count(), 3);
  EXPECT_EQ(l[1], "");
}

TEST(StringList, ValuesAndLookupsIgnoreCase) {
  StringList l;
  l.Add("Call=W1AW");
  l.Add("Name=Hiram");
  EXPECT_EQ(l.Values("CALL"), "W1AW");
  EXPECT_EQ(l.IndexOf("name=hiram"), 1);
  l.SetValue("name", "Bob");
  EXPECT_EQ(l[1], "name=Bob");
  l.SetValue("Call", "");
  EXPECT_EQ(l.Count(), 1);
  EXPECT_THROW(l[5], qv::EListError);
}

TEST(StringList, CommaTextQuotesAndSplits) {
  StringList l;
  l.SetCommaText("a, \"b c\",\"d\"\"e\",");
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l[1], "b c");
  EXPECT_EQ(l[2], "d\"e");
  EXPECT_EQ(l[3], "");
  EXPECT_EQ(l.CommaText(), "a,\"b c\",\"d\"\"e\",");
}
