// The add road stopped by a crash: a helper program adds a contact through
// the main window's controller and is ended (the file layer's Exit fault)
// before each file-changing operation of the log's commit and of the backup
// update in turn. After every stop the log opens as the program opens it,
// without the repair question (a commit cut short is rolled back from its
// journal), and holds every contact acknowledged before the stop; the
// backup copy never has a journal beside it. A start, which says nothing,
// and a close without adds make the backup the log again byte for byte (a
// stop after the commit left it a contact behind), so a restore of it holds
// every contact of the log; and so does the next start's first add. Adds
// to a log of a few contacts and adds that take a page of a log of
// thousands are stopped.
#include <algorithm>
#include <filesystem>
#include <random>
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

  int RunAdder(const std::string& home, int first, int count, int64_t k, std::string settings = "") {
    if (settings.empty()) settings = Store->Path();
    return qv::test::RunHelper("app_addcrash",
                               {home, settings, std::to_string(first), std::to_string(count), std::to_string(k)});
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
  // The file-changing operations of each add of a run of count contacts
  // from K<first>, and whether it took a page.
  std::vector<std::pair<int64_t, bool>> Probe(int first, int count) {
    const std::string probe = FreshCopy("probe");
    EXPECT_EQ(RunAdder(probe, first, count, 0), 0);
    std::vector<std::pair<int64_t, bool>> adds;
    std::ifstream in(probe + "writes.txt");
    for (std::pair<int64_t, bool> add; in >> add.first >> add.second;) adds.push_back(add);
    EXPECT_EQ(adds.size(), static_cast<size_t>(count));
    return adds;
  }
  // One stop: the add of contact K(first + Count - 1), the last of a run of
  // Count from K<first>, ended before its file-changing operation K.
  struct Stop {
    int Count = 0;
    int64_t K = 0;
  };
  // Runs the stops in turn within the budget's seconds (Ran: how many); the
  // number of them that found the new contact committed. changeWhileClosed:
  // the note of K2, far from the added contacts, is also changed in a copy.
  int32_t RunStops(int first, const std::vector<Stop>& stops, double seconds, bool changeWhileClosed = false);
  size_t Ran = 0;
  // Stops whose cut commit was also met by a log changed while closed.
  int32_t Changed = 0;
  YesUi Ui;
  // Contacts of the base log that no run of the helper acknowledged.
  std::set<std::string> Base;
};

int32_t AddCrashTest::RunStops(int first, const std::vector<Stop>& stops, double seconds, bool changeWhileClosed) {
  const size_t ackedBefore = Acked(Home).size();
  int32_t withNew = 0;
  qv::test::TestBudget budget(seconds);
  Ran = 0;
  for (uint64_t i = 0; i < stops.size() && budget.Continue(i); ++i, ++Ran) {
    const Stop& stop = stops[i];
    SCOPED_TRACE("add " + std::to_string(stop.Count) + " stopped before write " + std::to_string(stop.K));
    const std::string work = FreshCopy("stop");
    if (RunAdder(work, first, stop.Count, stop.K) != 99) {
      ADD_FAILURE() << "not stopped";
      continue;
    }
    std::set<std::string> acked = Acked(work);
    EXPECT_EQ(acked.size(), ackedBefore + stop.Count - 1);
    acked.insert(Base.begin(), Base.end());
    // Read from a copy (with the journal): the program's own next start must
    // be the open that meets the stop.
    const std::string log = work + "TEST/V5LogDB.vlm", copy = work + "stopped.vlm";
    std::filesystem::copy_file(log, copy);
    if (std::filesystem::exists(VLMJournalFileName(log)))
      std::filesystem::copy_file(VLMJournalFileName(log), VLMJournalFileName(copy));
    const int32_t questions = Ui.Questions;
    const std::optional<std::set<std::string>> calls = CallsOf(copy);
    EXPECT_EQ(Ui.Questions, questions) << "the log asked for repair";
    EXPECT_TRUE(HoldsAll(calls, acked));
    if (calls) withNew += calls->count("K" + std::to_string(first + stop.Count - 1)) > 0;
    EXPECT_FALSE(std::filesystem::exists(work + "TEST/V5LogDB.vlm.tmp"));
    EXPECT_FALSE(std::filesystem::exists(VLMJournalFileName(work + "TEST/BakV5LogDB.vlm")));
    // A commit cut short (its journal beside the log, the log's count still
    // the backup's) and the log changed while the program was closed as
    // well, on a page the commit did not touch: the start that rolls the
    // commit back says so and keeps the backup, which holds what the log
    // lost.
    if (changeWhileClosed && std::filesystem::exists(VLMJournalFileName(log)) &&
        ReadCommitCount(log) == ReadCommitCount(work + "TEST/BakV5LogDB.vlm")) {
      const std::string changed = Dir_ + "/changed/";
      std::filesystem::remove_all(changed);
      std::filesystem::copy(work, changed, std::filesystem::copy_options::recursive);
      // (Every copy of the contact's note, the one its row reads among them.)
      std::string bytes = ReadFile(changed + "TEST/V5LogDB.vlm");
      for (size_t at = bytes.find("note 1002"); at != std::string::npos; at = bytes.find("note 1002", at))
        bytes[at] = 'N';
      WriteFile(changed + "TEST/V5LogDB.vlm", bytes);
      const std::string backup = ReadFile(changed + "TEST/BakV5LogDB.vlm");
      // (Settings of its own: the start marks the backup kept there.)
      std::filesystem::copy_file(Store->Path(), changed + "settings.ini");
      EXPECT_EQ(RunAdder(changed, 0, 0, 0, changed + "settings.ini"), 3) << "the start followed a changed log";
      EXPECT_TRUE(ReadFile(changed + "TEST/BakV5LogDB.vlm") == backup);
      ++Changed;
    }
    // A clean start, which says nothing (a commit rolled back is no change
    // outside the program), and a close make the backup, whole, cut or
    // behind, the log; restored, it holds what the log holds.
    EXPECT_EQ(RunAdder(work, 0, 0, 0), 0);
    EXPECT_TRUE(ReadFile(work + "TEST/BakV5LogDB.vlm") == ReadFile(work + "TEST/V5LogDB.vlm"));
    std::filesystem::copy_file(work + "TEST/BakV5LogDB.vlm", work + "restored.vlm");
    const std::optional<std::set<std::string>> restored = CallsOf(work + "restored.vlm");
    EXPECT_TRUE(restored && restored == CallsOf(work + "TEST/V5LogDB.vlm"));
    // So does the next start's first add.
    EXPECT_EQ(RunAdder(work, first + 100, 1, 0), 0);
    EXPECT_TRUE(ReadFile(work + "TEST/BakV5LogDB.vlm") == ReadFile(work + "TEST/V5LogDB.vlm"));
  }
  RecordProperty("with_new_contact", withNew);
  RecordProperty("changed_while_closed", Changed);
  RecordProperty("stops_run", std::to_string(Ran) + " of " + std::to_string(stops.size()));
  return withNew;
}

TEST_F(AddCrashTest, EveryStopOpensTheLogWithoutAQuestionAndWithEveryAcknowledgedContact) {
  Configure({});
  // The base: three contacts added and backed up.
  ASSERT_EQ(RunAdder(Home, 1, 3, 0), 0);
  ASSERT_EQ(Acked(Home).size(), 3u);
  // The first add of a start, and an add after an add, stopped at each of
  // their operations; stops in the backup update find the new contact
  // committed.
  const std::vector<std::pair<int64_t, bool>> adds = Probe(4, 2);
  ASSERT_EQ(adds.size(), 2u);
  for (int count : {1, 2}) {
    ASSERT_GT(adds[count - 1].first, 2);
    std::vector<Stop> stops;
    for (int64_t k = 1; k <= adds[count - 1].first; ++k) stops.push_back({count, k});
    const int32_t withNew = RunStops(4, stops, 12);
    if (Ran == stops.size()) {
      EXPECT_GT(withNew, 0);
    }
  }
}

// On a log of thousands of contacts some adds take a page; a stop inside
// one leaves, once the next open rolled it back, the taken page's bytes
// (and the file's length) as the cut commit wrote them at the commit count
// the backup holds: the next start still says nothing. QV_CRASH_CONTACTS
// sets the log's size (by hand: 10,000 or 100,000, with a budget to match).
TEST_F(AddCrashTest, StopsInsideAddsThatTakeAPageOfALargeLogStartSilently) {
  Configure({});
  const int contacts = std::getenv("QV_CRASH_CONTACTS") ? std::atoi(std::getenv("QV_CRASH_CONTACTS")) : 2000;
  std::filesystem::copy_file(LogOfContacts(contacts), Home + "TEST/V5LogDB.vlm",
                             std::filesystem::copy_options::overwrite_existing);
  for (int i = 1; i <= contacts; ++i) Base.insert("K" + std::to_string(i));
  ASSERT_EQ(RunAdder(Home, 0, 0, 0), 0);
  // Calls the base log lacks, so that a lost add shows.
  const int first = contacts + 1001;
  const std::vector<std::pair<int64_t, bool>> adds = Probe(first, 12);
  std::vector<Stop> stops;
  for (size_t a = 0; a < adds.size(); ++a)
    if (adds[a].second)
      for (int64_t k = 1; k <= adds[a].first; ++k) stops.push_back({static_cast<int>(a) + 1, k});
  ASSERT_FALSE(stops.empty()) << "no add took a page";
  std::shuffle(stops.begin(), stops.end(), std::mt19937(73));
  RunStops(first, stops, 25, true);
}

}  // namespace
}  // namespace qv::app::wintest
