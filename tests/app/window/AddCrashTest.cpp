// The add road stopped by a crash: a helper program adds a contact through
// the main window's controller and is ended (the file layer's Exit fault)
// before each file-changing operation of the log's commit and of the backup
// update in turn. After every stop the log opens as the program opens it,
// without the repair question (a commit cut short is rolled back from its
// journal), and holds every contact acknowledged before the stop; the
// backup copy never has a journal beside it. A start and a close without
// adds make the backup the log again byte for byte (a stop after the commit
// left it a contact behind), so a restore of it holds every contact of the
// log; and so does the next start's first add.
#include <filesystem>
#include <set>

#include "WindowTestSupport.h"
#include "engine/components/VLMEngineUi.h"
#include "engine/storage/VLMDiskEngineJournal.h"
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
  // Stops the add of contact K(3 + count), the last of a run of count, at
  // each of its file-changing operations in turn.
  void StopEachWrite(int count);
  YesUi Ui;
};

void AddCrashTest::StopEachWrite(int count) {
  // How many file-changing operations the stopped add makes.
  const std::string probe = FreshCopy("probe");
  ASSERT_EQ(RunAdder(probe, 4, count, 0), 0);
  int64_t writes = 0;
  std::ifstream(probe + "writes.txt") >> writes;
  ASSERT_GT(writes, 2);

  int32_t withNew = 0;
  qv::test::TestBudget budget(12);
  uint64_t i = 0;
  for (; i < static_cast<uint64_t>(writes) && budget.Continue(i); ++i) {
    const int64_t k = static_cast<int64_t>(i) + 1;
    SCOPED_TRACE("stop before write " + std::to_string(k) + " of " + std::to_string(writes));
    const std::string work = FreshCopy("stop" + std::to_string(k));
    ASSERT_EQ(RunAdder(work, 4, count, k), 99);
    const std::set<std::string> acked = Acked(work);
    ASSERT_EQ(acked.size(), 2u + count);
    const int32_t questions = Ui.Questions;
    const std::optional<std::set<std::string>> calls = CallsOf(work + "TEST/V5LogDB.vlm");
    EXPECT_EQ(Ui.Questions, questions) << "the log asked for repair";
    EXPECT_TRUE(HoldsAll(calls, acked));
    if (calls) withNew += calls->count("K" + std::to_string(3 + count)) > 0;
    EXPECT_FALSE(std::filesystem::exists(work + "TEST/V5LogDB.vlm.tmp"));
    EXPECT_FALSE(std::filesystem::exists(VLMJournalFileName(work + "TEST/BakV5LogDB.vlm")));
    // A clean start and close make the backup, whole, cut or behind, the log;
    // restored, it holds what the log holds.
    ASSERT_EQ(RunAdder(work, 0, 0, 0), 0);
    EXPECT_EQ(ReadFile(work + "TEST/BakV5LogDB.vlm"), ReadFile(work + "TEST/V5LogDB.vlm"));
    std::filesystem::copy_file(work + "TEST/BakV5LogDB.vlm", work + "restored.vlm");
    const std::optional<std::set<std::string>> restored = CallsOf(work + "restored.vlm");
    EXPECT_TRUE(restored && restored == CallsOf(work + "TEST/V5LogDB.vlm"));
    // So does the next start's first add.
    ASSERT_EQ(RunAdder(work, 10, 1, 0), 0);
    EXPECT_EQ(ReadFile(work + "TEST/BakV5LogDB.vlm"), ReadFile(work + "TEST/V5LogDB.vlm"));
  }
  // Stops in the backup update find the new contact committed.
  if (i == static_cast<uint64_t>(writes)) {
    EXPECT_GT(withNew, 0);
  }
  RecordProperty("with_new_contact", withNew);
}

TEST_F(AddCrashTest, EveryStopOpensTheLogWithoutAQuestionAndWithEveryAcknowledgedContact) {
  Configure({});
  // The base: three contacts added and backed up.
  ASSERT_EQ(RunAdder(Home, 1, 3, 0), 0);
  ASSERT_EQ(Acked(Home).size(), 3u);
  StopEachWrite(1);  // the first add of a start
  StopEachWrite(2);  // an add after an add
}

}  // namespace
}  // namespace qv::app::wintest
