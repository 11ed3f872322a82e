// The add road stopped by a crash: a helper program adds a contact through
// the main window's controller and is ended (the file layer's Exit fault)
// before each file-changing operation of the log's commit and of the backup
// update in turn. After every stop, the log or else its backup holds every
// contact acknowledged before the stop, so nothing the operator saw added is
// lost.
//
// The log is opened as the program opens it, with the repair question
// answered yes: a log whose commit was cut is rebuilt from what it holds, and
// where that lacks an acknowledged contact the backup must hold them all.
#include <filesystem>
#include <set>

#include "WindowTestSupport.h"
#include "engine/components/VLMEngineUi.h"
#include "platform/host/ScopeExit.h"
#include "tests/support/HelperProgram.h"
#include "tests/support/TestBudget.h"

namespace qv::app::wintest {
namespace {

class AddCrashTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }

  int RunAdder(const std::string& home, int first, int count, int64_t k) {
    return qv::test::RunHelper("app_addcrash",
                               {home, Store->Path(), std::to_string(first), std::to_string(count), std::to_string(k)});
  }
  // A copy of the base program folder to run one stop in.
  std::string FreshCopy(const std::string& name) {
    const std::string work = Dir_ + "/" + name + "/";
    std::filesystem::remove_all(work);
    std::filesystem::copy(Home, work, std::filesystem::copy_options::recursive);
    return work;
  }
  static std::set<std::string> Acked(const std::string& home) {
    std::set<std::string> calls;
    std::ifstream in(home + "acked.txt");
    for (std::string line; std::getline(in, line);) calls.insert(line);
    return calls;
  }
  // Answers every question yes (the repair question) and counts them.
  struct YesUi : SilentEngineUi {
    bool Confirm(const std::string&) override {
      ++Questions;
      return true;
    }
    int32_t Questions = 0;
  };
  // The calls of a log file opened as the program opens it (the repair
  // question answered yes), or nothing when it does not open.
  std::optional<std::set<std::string>> CallsOf(const std::string& file) {
    VLMSetEngineUi(&Ui);
    auto uninstall = qv::ScopeExit([] { VLMSetEngineUi(nullptr); });
    try {
      std::unique_ptr<DatabaseTable> log = TablesUnderTest->Factory().Create(LogTableSpec(), file, false);
      log->Connect();
      log->Data().Open();
      std::set<std::string> calls;
      QsoReader reader(log->Data());
      for (log->Data().First(); !log->Data().Eof(); log->Data().Next()) calls.insert(reader.Read().Call);
      return calls;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  static bool HoldsAll(const std::optional<std::set<std::string>>& calls, const std::set<std::string>& acked) {
    if (!calls) return false;
    for (const std::string& call : acked)
      if (calls->count(call) == 0) return false;
    return true;
  }
  YesUi Ui;
};

TEST_F(AddCrashTest, EveryStopLeavesTheAcknowledgedContactsInTheLogOrTheBackup) {
  Configure({});
  // The base: three contacts added and backed up.
  ASSERT_EQ(RunAdder(Home, 1, 3, 0), 0);
  ASSERT_EQ(Acked(Home).size(), 3u);
  // How many file-changing operations the fourth contact's add makes.
  const std::string probe = FreshCopy("probe");
  ASSERT_EQ(RunAdder(probe, 4, 1, 0), 0);
  int64_t writes = 0;
  std::ifstream(probe + "writes.txt") >> writes;
  ASSERT_GT(writes, 2);

  int32_t inLog = 0, inBackup = 0, repaired = 0;
  qv::test::TestBudget budget(25);
  uint64_t i = 0;
  for (; i < static_cast<uint64_t>(writes) && budget.Continue(i); ++i) {
    const int64_t k = static_cast<int64_t>(i) + 1;
    SCOPED_TRACE("stop before write " + std::to_string(k) + " of " + std::to_string(writes));
    const std::string work = FreshCopy("stop" + std::to_string(k));
    ASSERT_EQ(RunAdder(work, 4, 1, k), 99);
    const std::set<std::string> acked = Acked(work);
    ASSERT_EQ(acked.size(), 3u);
    const int32_t questions = Ui.Questions;
    const bool logHoldsAll = HoldsAll(CallsOf(work + "TEST/V5LogDB.vlm"), acked);
    if (Ui.Questions > questions) {
      ++repaired;
      EXPECT_FALSE(std::filesystem::exists(work + "TEST/V5LogDB.vlm.tmp"));
    }
    if (logHoldsAll) {
      ++inLog;
    } else {
      EXPECT_TRUE(HoldsAll(CallsOf(work + "TEST/BakV5LogDB.vlm"), acked));
      ++inBackup;
    }
  }
  // Stops in the backup update find the log committed; a stop inside the
  // commit leaves the log to be repaired, which keeps every committed contact.
  if (i == static_cast<uint64_t>(writes)) {
    EXPECT_GT(inLog, 0);
    EXPECT_GT(repaired, 0);
  }
  RecordProperty("in_log", inLog);
  RecordProperty("in_backup", inBackup);
}

}  // namespace
}  // namespace qv::app::wintest
