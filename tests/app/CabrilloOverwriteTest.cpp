// The Cabrillo export beside an earlier file of the same name: the overwrite
// question, "No" leaving the old file as it was, and an export that fails
// after "Yes" leaving the old file and no temporary behind.
#include "AppTestSupport.h"
#include "app/Exports.h"
#include "platform/host/Exception.h"

namespace qv::app::test {
namespace {

class CabrilloOverwriteTest : public ::testing::Test {
protected:
  CabrilloOverwriteTest() {
    Ctx.ExeDir = Dir.Path() + "/";
    Ctx.LogName = "FD24";
    Ctx.Station.TypeLog = false;
    Ctx.Station.TypeContest = "GP";
    Ctx.Kind = ContestKindOf(false, "GP");
    Ctx.ProgramVersion = "5.0.0.0";
    Ctx.Station.MyCall = "W1AW/\xD8";
    std::filesystem::create_directories(Dir / "FD24");
    Log.Add(Contact("K1ABC", "14", false));
  }
  std::string File() { return Dir / ("FD24/" + std::string(kName)); }

  static constexpr const char* kName = "W1AW-0 FD24 CS.TXT";
  // Bytes no export would write: a NUL, a lone CR, no final line end.
  const std::string Old = std::string("earlier\0export\rkept", 19);
  TempDir Dir;
  MemLog Log;
  FakeUi Ui;
  OutputContext Ctx;
};

TEST_F(CabrilloOverwriteTest, AnsweringNoLeavesTheOldFileByteForByte) {
  WriteFile(File(), Old);
  Ui.Answers = {false};
  EXPECT_FALSE(ExportCabrillo(Log.Table(), Ctx, Ui));
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Kind, 'C');
  EXPECT_EQ(Ui.Messages[0].Text, "Export File:\rW1AW-0 FD24 CS.TXT already exists,\rDo you wish to overwrite it?");
  EXPECT_EQ(ReadFile(File()), Old);
  EXPECT_EQ(FolderEntries(Dir / "FD24"), std::vector<std::string>{kName});

  Ui.Answers = {true};
  EXPECT_TRUE(ExportCabrillo(Log.Table(), Ctx, Ui));
  const std::string text = ReadFile(File());
  EXPECT_EQ(text.rfind("START-OF-LOG: 2.0\r\n", 0), 0u);
  EXPECT_NE(text.find("\r\nQSO: 14000 CW 2024-03-09 1400 W1AW/0        "), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 13), "END-OF-LOG:\r\n");
}

TEST_F(CabrilloOverwriteTest, AFailedExportKeepsTheEarlierFile) {
  WriteFile(File(), Old);
  Log.Add(Contact("K1B", "10.1", false));
  Log.Add(Contact("K1C", "ten", false));  // no number: the export stops here
  Ui.Answers = {true};
  EXPECT_THROW(ExportCabrillo(Log.Table(), Ctx, Ui), EConvertError);
  EXPECT_EQ(ReadFile(File()), Old);
  EXPECT_EQ(FolderEntries(Dir / "FD24"), std::vector<std::string>{kName});  // no temporary left
}

}  // namespace
}  // namespace qv::app::test
