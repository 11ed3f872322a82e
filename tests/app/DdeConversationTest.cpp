// The DDE conversation stand-in: the frame reader (rules, a model run over
// random splits, random bytes) and the conversation against the test peer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <cstdlib>
#include <random>
#include <sys/stat.h>

#include "platform/gui/DdeConversation.h"
#include "support/QtTestApp.h"
#include "support/ScratchFolder.h"
#include "tools/digipeer/FakeDigitalModeProgram.h"
#include "support/TestBudget.h"

namespace qv::gui {
namespace {

using Result = DdeFrameReader::Result;

TEST(DdeFrameReader, FramesAndBrokenRules) {
  struct Case {
    std::string Bytes;
    Result Expect;
  };
  const Case cases[] = {
      {"DATA Call_C 5\nW1ABC", Result::Frame},
      {"ACK - 0\n", Result::Frame},
      {"DATA Name 3\nAn", Result::NeedMore},
      {"DATA Name", Result::NeedMore},
      {"data Name 0\n", Result::Malformed},
      {"DATA  0\n", Result::Malformed},
      {"DATA Name\n", Result::Malformed},
      {"DATA Name 1 2\n", Result::Malformed},
      {"DATA Name -1\n", Result::Malformed},
      {"DATA Name 1x\n", Result::Malformed},
      {"DATA Name 1048577\n", Result::Malformed},
      {"DATA Name 12345678\n", Result::Malformed},
      {"DATA Na\tme 0\n", Result::Malformed},
      {"DATA " + std::string(256, 'I') + " 0\n", Result::Malformed},
      {std::string(kDdeMaxHeader + 1, 'A'), Result::Malformed},
  };
  for (const Case& c : cases) {
    DdeFrameReader reader;
    reader.Feed(c.Bytes);
    DdeFrame f;
    EXPECT_EQ(reader.Next(f), c.Expect) << c.Bytes;
    if (c.Expect == Result::Malformed) {
      reader.Feed("ACK - 0\n");  // broken stays broken
      EXPECT_EQ(reader.Next(f), Result::Malformed);
    }
  }
}

// Model: random frames, encoded, fed in random pieces come out as they went
// in; random bytes and bit flips never crash the reader and end either in
// frames that follow the rules or in Malformed.
TEST(DdeFrameReader, ModelOfRandomFramesAndRandomBytes) {
  std::mt19937_64 rng(20);
  const char* verbs[] = {"INIT", "ADVISE", "POKE", "DATA", "ACK", "NACK", "TERMINATE"};
  qv::test::TestBudget budget(20);
  for (uint64_t i = 0; budget.Continue(i); ++i) {
    std::vector<DdeFrame> sent(1 + rng() % 6);
    std::string bytes;
    for (DdeFrame& f : sent) {
      f.Verb = verbs[rng() % 7];
      f.Item = std::string(1 + rng() % 12, static_cast<char>('!' + rng() % 94));
      f.Payload.resize(rng() % 40);
      for (char& c : f.Payload) c = static_cast<char>(rng());
      bytes += EncodeDdeFrame(f.Verb, f.Item, f.Payload);
    }
    const bool damage = i % 2 == 1;
    if (damage)
      for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    if (i % 16 == 15) {
      bytes.resize(rng() % 600);
      for (char& c : bytes) c = static_cast<char>(rng());
    }

    DdeFrameReader reader;
    std::vector<DdeFrame> got;
    bool malformed = false;
    for (size_t at = 0; at < bytes.size() && !malformed;) {
      const size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 16);
      reader.Feed(std::string_view(bytes).substr(at, n));
      at += n;
      DdeFrame f;
      Result r;
      while ((r = reader.Next(f)) == Result::Frame) got.push_back(f);
      malformed = r == Result::Malformed;
    }
    for (const DdeFrame& f : got) {
      ASSERT_FALSE(f.Verb.empty());
      ASSERT_LE(f.Payload.size(), kDdeMaxPayload);
    }
    if (!damage && i % 16 != 15) {
      ASSERT_FALSE(malformed) << reader.Error();
      ASSERT_EQ(got.size(), sent.size());
      for (size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].Verb, sent[k].Verb);
        ASSERT_EQ(got[k].Item, sent[k].Item);
        ASSERT_EQ(got[k].Payload, sent[k].Payload);
      }
    }
  }
}

class DdeLinkTest : public ::testing::Test {
protected:
  void SetUp() override {
    ::setenv("QUORVEX_DDE_DIR", (Dir_ + "/sockets").c_str(), 1);
    Conv.onItemChange = [this](const std::string& item, const std::string& text) { Changes.push_back(item + "=" + text); };
    Conv.onClose = [this] { ++Closes; };
  }
  void TearDown() override {
    ::unsetenv("QUORVEX_DDE_DIR");
  }
  // Links to a listening peer and advises Call_C.
  void Link(qv::test::FakeDigitalModeProgram& peer) {
    ASSERT_TRUE(peer.Listen());
    ASSERT_TRUE(Conv.setLink("HamScope", "LogData"));
    Conv.startAdvise("Call_C");
    ASSERT_TRUE(peer.WaitForTranscript(2));
  }
  void WaitForClose() {
    for (int i = 0; i < 500 && Closes == 0; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      QThread::msleep(1);
    }
  }

  bool AppReady_ = (qv::test::QtTestApp(), true);
  qv::test::ScratchFolder Scratch_;
  std::string Dir_ = Scratch_.Path();
  DdeConversation Conv;
  std::vector<std::string> Changes;
  int Closes = 0;
};

TEST_F(DdeLinkTest, NoLinkWithoutThePeerOrForAnotherTopic) {
  EXPECT_FALSE(Conv.setLink("HamScope", "LogData"));
  EXPECT_FALSE(Conv.setLink("../x", "LogData"));
  qv::test::FakeDigitalModeProgram other("HamScope", "Other");
  ASSERT_TRUE(other.Listen());
  ::rename(other.SocketPath().c_str(), (Dir_ + "/sockets/hamscope.logdata").c_str());
  EXPECT_FALSE(Conv.setLink("HamScope", "LogData"));  // answered NACK
  EXPECT_EQ(other.Transcript(), std::vector<std::string>{"INIT - HamScope\tLogData"});
  EXPECT_FALSE(Conv.isLinked());
  EXPECT_EQ(Closes, 0);
}

TEST_F(DdeLinkTest, TextLosesItsLineEndAndOnlyAdvisedItemsArrive) {
  qv::test::FakeDigitalModeProgram peer;
  Link(peer);
  peer.SendRaw(EncodeDdeFrame("DATA", "Name_C", "Ann"));
  peer.Set("Call_C", std::string("W1ABC\r\n\0", 8));
  peer.Set("Call_C", "");
  for (int i = 0; i < 500 && Changes.size() < 2; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(Changes, (std::vector<std::string>{"Call_C=W1ABC", "Call_C="}));
  Conv.poke("Call_C", "K2XY");
  ASSERT_TRUE(peer.WaitForTranscript(3));
  EXPECT_EQ(peer.Transcript().back(), "POKE Call_C K2XY");
  EXPECT_EQ(peer.Value("Call_C"), "K2XY");
}

TEST_F(DdeLinkTest, MalformedFramesDropTheLink) {
  const std::string frames[] = {"DATA Call_C x\n", "HELLO - 0\n", "ACK Call_C 2\nOK", "DATA Call_C 9999999\n",
                                std::string(400, 'D')};
  for (const std::string& bad : frames) {
    Closes = 0;
    Changes.clear();
    qv::test::FakeDigitalModeProgram peer;
    Link(peer);
    peer.SendRaw(EncodeDdeFrame("DATA", "Call_C", "W1ABC") + bad + EncodeDdeFrame("DATA", "Call_C", "K2XY"));
    WaitForClose();
    EXPECT_EQ(Closes, 1) << bad;
    EXPECT_EQ(Changes, std::vector<std::string>{"Call_C=W1ABC"}) << bad;
    EXPECT_TRUE(peer.WaitForClients(0));
  }
}

TEST_F(DdeLinkTest, FallbackFolderIsPrivateToTheUser) {
  ::unsetenv("QUORVEX_DDE_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedRuntime = runtime != nullptr ? runtime : "";
  const char* tmp = std::getenv("TMPDIR");
  const std::string savedTmp = tmp != nullptr ? tmp : "";
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", Dir_.c_str(), 1);
  const std::string folder = Dir_ + "/quorvex-dde-" + std::to_string(::geteuid());
  {
    qv::test::FakeDigitalModeProgram peer;
    Link(peer);
    EXPECT_EQ(peer.SocketPath(), folder + "/hamscope.logdata");
    struct stat st;
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    Conv.closeLink();
  }
  ::chmod(folder.c_str(), 0755);  // opened to others: refused
  EXPECT_EQ(DdeSocketPath("HamScope", "LogData"), "");
  if (!savedRuntime.empty()) ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
  if (!savedTmp.empty())
    ::setenv("TMPDIR", savedTmp.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace qv::gui
