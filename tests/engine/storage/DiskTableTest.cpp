// The disk table data: a table created, filled, reopened and deleted on disk,
// cursors positioned by deletes, exclusive opens and the locks of a second
// process, repair mode.
#include <gtest/gtest.h>

#include "engine/storage/StorageTestSupport.h"
#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using namespace storage_test;
using disk_test::DiskCursor;
using disk_test::DiskSession;
using qv::test::RaisedCode;

class DiskTable : public ::testing::Test {
protected:
  void SetUp() override {
    Path = Dir.File("t.vlm");
    disk_test::CreateDiskDatabase(Path, 1024, 20);
    Connect();
  }
  void Connect() {
    Database = disk_test::NewDiskDatabase(Path);
    Session = std::make_unique<DiskSession>(Database.get());
    Session->Connect();
  }
  void Reconnect() {
    Session.reset();
    Connect();
  }
  ScratchFolder Dir;
  std::string Path;
  std::unique_ptr<TVLMDiskDatabaseData> Database;
  std::unique_ptr<DiskSession> Session;
};

TEST_F(DiskTable, Smoke) {
  {
    DiskCursor c(*Database, *Session, "Log");
    c.Create({{"ID", dtAutoinc}, {"Call", dtString, 20}, {"Notes", dtBLOB}}, {{"ByID", "ID", true}, {"ByCall", "Call"}});
    c.Open();
    for (int i = 0; i < 50; ++i) {
      c.PrepareInsert();
      c.SetText(1, "K" + std::to_string(i));
      c.WriteBlob(2, std::vector<uint8_t>(static_cast<size_t>(i * 40), static_cast<uint8_t>(i)));
      c.Post(true);
      ASSERT_EQ(c.ResultCode, 0);
    }
  }
  Reconnect();
  DiskCursor c(*Database, *Session, "Log");
  c.Open();
  EXPECT_EQ(c.GetRecordCount(), 50);
  c.UseIndex("ByCall");
  c.SetToBegin();
  int n = 0;
  while (c.GetRecord(1) == kVLMNavOK) {
    ++n;
    const int i = std::stoi(c.Text(1)->substr(1));
    EXPECT_EQ(c.ReadBlob(2), std::vector<uint8_t>(static_cast<size_t>(i * 40), static_cast<uint8_t>(i)));
    EXPECT_EQ(c.Int(0), i + 1);
  }
  EXPECT_EQ(n, 50);
}

}  // namespace
