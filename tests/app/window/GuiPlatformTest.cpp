// The Qt stand-ins: text at the widget edge, colours, the error guard and the
// single-instance lock.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/gui/ErrorGuard.h"
#include "platform/gui/QtText.h"
#include "platform/gui/SingleInstance.h"
#include "platform/gui/WinColor.h"
#include "platform/host/Exception.h"
#include "tests/support/ScratchFolder.h"

namespace qv::gui {
namespace {

TEST(GuiText, Cp1252RoundTripsThroughQString) {
  const std::string call = "W\xD8" "ABC \x80\xE9";
  const QString q = FromCp1252(call);
  EXPECT_EQ(q, QString::fromUtf8("W\xC3\x98" "ABC \xE2\x82\xAC\xC3\xA9"));
  EXPECT_EQ(ToCp1252(q), call);
  EXPECT_EQ(ToCp1252(QString::fromUtf8("\xE6\x97\xA5 x")), "? x");
  EXPECT_EQ(CharToCp1252Byte(QChar(0x00D8)), static_cast<char>(0xD8));
  EXPECT_EQ(CharToCp1252Byte(QChar(0x65E5)), '?');
  EXPECT_EQ(Cp1252ByteToChar(static_cast<char>(0x80)), QChar(0x20AC));
}

TEST(GuiColor, WindowsValuesAreBlueGreenRed) {
  EXPECT_EQ(WinColor(255), QColor(255, 0, 0));
  EXPECT_EQ(WinColor(0xFF0000), QColor(0, 0, 255));
  EXPECT_EQ(WinColor(0x808000), QColor(0, 128, 128));
  EXPECT_EQ(WinColor(65535), QColor(255, 255, 0));
}

TEST(GuiErrorGuard, ReportsTheMessageAndEndsOnlyTheHandler) {
  std::vector<std::string> reported;
  SetErrorReporter([&](const std::string& m) { reported.push_back(m); });
  int after = 0;
  EXPECT_FALSE(Guarded([&] {
    throw Exception("Velmoran Engine Error # -8 disk full");
    ++after;
  }));
  EXPECT_TRUE(Guarded([&] { ++after; }));
  EXPECT_FALSE(Guarded([] { throw std::runtime_error("plain"); }));
  EXPECT_FALSE(Guarded([] { throw 42; }));
  SetErrorReporter(nullptr);
  EXPECT_EQ(after, 1);
  EXPECT_EQ(reported, (std::vector<std::string>{"Velmoran Engine Error # -8 disk full", "plain", "Unknown exception"}));
  EXPECT_EQ(ErrorBoxTitle(), "Quorvex");
}

TEST(GuiSingleInstance, OneHolderPerLockFile) {
  const qv::test::ScratchFolder scratch;
  const std::string& dir = scratch.Path();
  const std::string lock = dir + "/" + kInstanceLockName;
  {
    SingleInstance first;
    ASSERT_TRUE(first.Acquire(lock));
    SingleInstance second;
    EXPECT_FALSE(second.Acquire(lock));
    EXPECT_TRUE(second.ErrorText().empty());  // held elsewhere: not an error
    first.Release();
    EXPECT_TRUE(second.Acquire(lock));
  }
  SingleInstance missingFolder;
  EXPECT_FALSE(missingFolder.Acquire(dir + "/no/such/folder/lock"));
  EXPECT_FALSE(missingFolder.ErrorText().empty());
}

}  // namespace
}  // namespace qv::gui
