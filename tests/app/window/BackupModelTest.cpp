// A model test of the log and its backup copy under what operators meet:
// seeded sequences of sessions on a log of thousands of contacts, whose adds
// take pages. In each session, while the program is closed, a run of the
// program (a helper process) may be killed at a random file operation of an
// add, an edit or a delete in the log editor, or finish it; then the log, the
// backup or both may be damaged (a page overwritten, bits flipped, the file
// cut, a map or free page overwritten); then the program starts, with the
// repair questions answered yes or no, the log may be damaged under it (its
// end cut, so that the next write's reopen asks for repair), takes adds,
// edits and deletes (now and then one with two of its writes refused), and
// closes or restores the log.
//
// The model holds every contact the log is known to hold (acknowledged, or
// found in the log after a kill or a refused write) with its values, and the
// logs restores kept. A file "reads whole" when the engine's whole-file
// check finds every page whole and every index lists every record, the
// same ones. After every step but a damage:
//   - every contact is held, with its values, by a file that reads whole
//     (the log, the backup or a kept log), or by the log as far as it can be
//     read (a contact logged into a log that does not read whole, or one
//     the backup lacks when the log was damaged: Restore Log carries it),
//     and the kept logs are as kept;
//   - a backup that read whole still does;
//   - a start whose log lacks what the backup holds names "Restore Log", and
//     no start calls the log damaged for a change to the backup or a crash;
//   - a start of a log and backup left equal, with nothing damaged since
//     (a crash included), says nothing, and then and after a close that
//     said nothing but for a refused write the backup is the log byte for
//     byte;
//   - a restore comes only from a backup that reads whole, and keeps the
//     log it replaces.
// The operator keeping the log over a backup that differs (a repair, a
// change outside) chooses what it holds. A damage that would leave some
// contact nowhere is taken back and counted (a backup kept on purpose, or
// one damaged too, meeting damage to the log: two independent events), and
// so are damage to a log that is already the only holder of contacts (a
// second damage may strike the contacts held nowhere else) and damage to a
// log one commit ahead of its backup that every check passes (no start can
// tell it from the log's last change).
#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "WindowTestSupport.h"
#include "engine/components/VLMEngineUi.h"
#include "engine/core/VLMByteOrder.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineJournal.h"
#include "engine/storage/VLMPage.h"
#include "platform/host/HostVariant.h"
#include "tests/support/HelperProgram.h"
#include "tests/support/TestBudget.h"

namespace qv::app::wintest {
namespace {

using Contacts = std::map<std::string, QsoRecord>;

class BackupModelTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }
  void SetUp() override {
    WindowFixture::SetUp();
    VLMSetEngineUi(&Ui_);
  }
  void TearDown() override {
    Controller.reset();
    VLMSetEngineUi(nullptr);
    WindowFixture::TearDown();
  }

  struct AnswerUi : SilentEngineUi {
    bool Confirm(const std::string&) override {
      ++Asked;
      return Repair;
    }
    bool Repair = true;
    int32_t Asked = 0;
  };

  std::string LogFile() const { return Home + "TEST/V5LogDB.vlm"; }
  std::string BackupFile() const { return Home + "TEST/BakV5LogDB.vlm"; }

  // The contacts of a file that reads whole, as the next open would find it
  // (read-only: a cut commit read around, a file in need of repair refused):
  // every index listing every record, the same ones. None otherwise.
  std::optional<Contacts> Whole(const std::string& file) {
    if (!std::filesystem::exists(file)) return std::nullopt;
    const std::string key = ReadFile(file) + '\0' + ReadFile(VLMJournalFileName(file));
    const size_t hash = std::hash<std::string>()(key);
    if (auto it = Read_.find(hash); it != Read_.end()) return it->second;
    static const TableSpec spec = [] {
      TableSpec s = LogTableSpec();
      s.DatabaseName = "V5LogModelDB";
      return s;
    }();
    std::optional<Contacts> result;
    try {
      if (!Factory().FileDamage(file, true).empty()) throw Exception("damaged");
      std::unique_ptr<DatabaseTable> t = Factory().Create(spec, file, true);
      t->Connect();
      DataSet& data = t->Data();
      data.Open();
      std::optional<Contacts> first;
      bool whole = true;
      for (const IndexSpec& index : spec.Indexes) {
        t->SetIndexName(index.Name);
        Contacts listed;
        int32_t n = 0;
        QsoReader reader(data);
        for (data.First(); !data.Eof(); data.Next(), ++n) {
          QsoRecord q = reader.Read();
          listed.emplace(q.Call, q);
        }
        whole = whole && n == data.RecordCount() && (!first || listed == *first);
        if (!first) first = std::move(listed);
      }
      if (whole) result = std::move(first);
    } catch (const std::exception&) {
    }
    Read_.emplace(hash, result);
    return result;
  }
  bool Equal(const std::string& a, const std::string& b) { return ReadFile(a) == ReadFile(b); }

  // The contacts of a file as far as they can be read (a damaged one too):
  // read-only and silent, in record order and through each index, from the
  // first record on and from the last back until a read fails.
  Contacts Salvage(const std::string& file) {
    static const TableSpec spec = [] {
      TableSpec s = LogTableSpec();
      s.DatabaseName = "V5LogSalvageDB";
      return s;
    }();
    Contacts found;
    if (!std::filesystem::exists(file)) return found;
    try {
      std::unique_ptr<DatabaseTable> t = Factory().Create(spec, file, true);
      t->SetSilent(true);
      t->Connect();
      DataSet& data = t->Data();
      data.Open();
      std::vector<std::string> orders{""};
      for (const IndexSpec& index : spec.Indexes) orders.emplace_back(index.Name);
      for (const std::string& order : orders) {
        t->SetIndexName(order);
        QsoReader reader(data);
        try {
          for (data.First(); !data.Eof(); data.Next()) found.emplace(reader.Read().Call, reader.Read());
          continue;
        } catch (const std::exception&) {
        }
        try {
          for (data.Last(); !data.Bof(); data.Prior()) found.emplace(reader.Read().Call, reader.Read());
        } catch (const std::exception&) {
        }
      }
    } catch (const std::exception&) {
    }
    return found;
  }

  // The files that may hold a contact: the log, the backup, the kept logs.
  std::vector<std::string> Holders() {
    std::vector<std::string> files{LogFile(), BackupFile()};
    for (int32_t n = 1; std::filesystem::exists(KeptLogName(LogFile(), n)); ++n)
      files.push_back(KeptLogName(LogFile(), n));
    return files;
  }
  // The contacts held by no file that reads whole, with their values, nor
  // (when a backup that reads whole lacks them, or they were logged into
  // the log while it did not read whole) by the live log as far as it can
  // be read.
  std::vector<std::string> Unheld(bool salvage = true) {
    std::vector<std::optional<Contacts>> read;
    for (const std::string& f : Holders()) read.push_back(Whole(f));
    std::optional<Contacts> salvaged;
    std::vector<std::string> missing;
    for (const auto& [call, q] : Model_) {
      bool held = false;
      for (const std::optional<Contacts>& r : read)
        if (r) {
          auto it = r->find(call);
          held = held || (it != r->end() && it->second == q);
        }
      // Restore Log carries into a backup that reads whole a contact it
      // lacks, not other values of one it holds (which may be the damage).
      if (salvage && !held && !read[0] && ((read[1] && read[1]->count(call) == 0) || LogOnly_.count(call) > 0)) {
        if (!salvaged) salvaged = Salvage(LogFile());
        const auto it = salvaged->find(call);
        held = it != salvaged->end() && it->second == q;
      }
      if (!held) missing.push_back(call);
    }
    return missing;
  }
  // The checks of every step but a damage. A run killed inside the backup's
  // update may leave the backup partly written (the log then holds every
  // contact, and the next start makes the backup anew).
  void CheckStep(const std::string& step, bool killed = false) {
    SCOPED_TRACE(step);
    const std::vector<std::string> missing = Unheld();
    EXPECT_TRUE(missing.empty()) << step << " lost " << missing.size() << " contacts, the first " << missing[0];
    for (const auto& [file, bytes] : Kept_) EXPECT_TRUE(ReadFile(file) == bytes) << file << " changed";
    if (BackupWasWhole_ && !killed) {
      EXPECT_TRUE(Whole(BackupFile())) << step << " spoilt a backup that read whole";
    }
    BackupWasWhole_ = Whole(BackupFile()).has_value();
  }
  // The log and its backup are equal, nothing kept, no commit cut short.
  bool Settled() {
    return Equal(LogFile(), BackupFile()) && !std::filesystem::exists(VLMJournalFileName(LogFile())) &&
           !Store->ReadBool(LogSectionName("TEST"), "BackupKept", false);
  }
  // The state of the contact call in the log as the next open finds it, into
  // the model (the change was acknowledged, or cut short by a kill).
  void TakeFromLog(const std::string& call, const std::string& what) {
    const std::optional<Contacts> log = Whole(LogFile());
    ++Ops_[what];
    Steps_.push_back(what + " " + call);
    if (!log) {
      // A damaged log: an edit or a delete of a contact the backup holds
      // leaves the backup's values the way back; else the contact is as
      // far as the log can be read shows it (an add until Restore Log
      // carries it).
      if (const std::optional<Contacts> backup = Whole(BackupFile()); backup && backup->count(call) > 0) return;
      const Contacts salvaged = Salvage(LogFile());
      if (auto it = salvaged.find(call); it != salvaged.end()) {
        Model_[call] = it->second;
        LogOnly_.insert(call);
      } else {
        Model_.erase(call);
      }
      return;
    }
    if (auto it = log->find(call); it != log->end())
      Model_[call] = it->second;
    else
      Model_.erase(call);
  }

  // One run of the program in a helper, changing the contact call, ended
  // before its k-th file operation (0: not).
  void HelperRun(const std::string& op, const std::string& call, int64_t k, const std::string& notes) {
    std::filesystem::remove(Home + "acked.txt");
    const int rc = qv::test::RunHelper("app_addcrash", {Home, Store->Path(), op, call, std::to_string(k), notes},
                                       Dir_ + "/helper.txt");
    ASSERT_TRUE(rc == 0 || rc == 4 || rc == 99) << op << " " << call << " exit " << rc << ": " << ReadFile(Dir_ + "/helper.txt");
    const bool acked = std::filesystem::exists(Home + "acked.txt");
    if (rc != 99) {
      EXPECT_EQ(acked, rc == 0) << ReadFile(Dir_ + "/helper.txt");
    }
    if (rc == 4) return;  // refused: the log is as it was
    const std::optional<Contacts> log = Whole(LogFile());
    if (acked && log) {
      const auto it = log->find(call);
      EXPECT_EQ(it != log->end(), op != "delete") << "an acknowledged " << op << " of " << call << " is not in the log";
      if (it != log->end() && op != "delete") {
        EXPECT_EQ(it->second.Notes, notes);
      }
    }
    Steps_.push_back("run: " + op + " " + call + " stopped at " + std::to_string(k) + ", exit " + std::to_string(rc));
    Killed_ = rc == 99;
    Kills_ += Killed_;
    TakeFromLog(call, rc == 99 ? "killed " + op : op);
  }

  // Damage while the program is closed: taken back when some contact would
  // then be in no file that reads whole.
  void Damage(std::mt19937& random) {
    const int target = static_cast<int>(random() % 3);  // log, backup, both
    const std::vector<std::string> files =
        target == 0 ? std::vector{LogFile()} : target == 1 ? std::vector{BackupFile()} : std::vector{LogFile(), BackupFile()};
    // The log committed after the backup's last update (a kill cut that
    // update short; a commit cut short keeps the count before it): no start
    // can tell damage to the log from its last change.
    const std::optional<uint32_t> logCount = ReadCommitCount(LogFile()), backupCount = ReadCommitCount(BackupFile());
    const bool behind = !backupCount || (logCount && *logCount > *backupCount);
    // The log, damaged before, already the only holder of some contact
    // (logged into it since, as far as it can be read).
    const bool onlyHolder = !Unheld(false).empty();
    std::map<std::string, std::string> before;
    std::string kinds;
    for (const std::string& f : files) {
      std::string bytes = before[f] = ReadFile(f);
      if (bytes.size() < 4096) continue;
      const int64_t pageSize = VLMGetU16LE(reinterpret_cast<const uint8_t*>(bytes.data()) + kVLMPageSizeOffset);
      const int64_t pages = (static_cast<int64_t>(bytes.size()) - kVLMFirstPagePosition) / std::max<int64_t>(pageSize, 1);
      int64_t page = kVLMFirstPagePosition + static_cast<int64_t>(random() % std::max<int64_t>(pages, 1)) * pageSize;
      int kind = static_cast<int>(random() % 6);
      if (kind >= 4) {
        // A map page (free-space or allocation), or a free page: pages no
        // read of the records meets.
        std::vector<int64_t> found;
        for (int64_t n = 0; n < pages; ++n) {
          const int64_t at = kVLMFirstPagePosition + n * pageSize;
          const uint16_t type = VLMGetU16LE(reinterpret_cast<const uint8_t*>(bytes.data()) + at + kVLMPageTypeOffset);
          if (kind == 4 ? type == kVLMPagePFS || type == kVLMPageEAM : type == kVLMPageEmpty) found.push_back(at);
        }
        if (!found.empty()) page = found[random() % found.size()];
        kind = 0;
        kinds += found.empty() ? "" : "map or free ";
      }
      kinds += (kind == 0 ? "page " : kind == 1 ? "bits " : kind == 2 ? "cut " : "end cut ") + std::to_string(page) + " ";
      switch (kind) {
        case 0:  // a page overwritten
          for (int64_t i = 0; i < pageSize && page + i < static_cast<int64_t>(bytes.size()); ++i)
            bytes[static_cast<size_t>(page + i)] = static_cast<char>(random());
          break;
        case 1:  // bits flipped in a page
          for (int i = 0; i < 16; ++i)
            bytes[static_cast<size_t>(std::min<int64_t>(page + random() % pageSize, bytes.size() - 1))] ^=
                static_cast<char>(1 << random() % 8);
          break;
        case 2:  // cut
          bytes.resize(bytes.size() * (1 + random() % 9) / 10);
          break;
        default:  // the last pages cut
          bytes.resize(bytes.size() - std::min(bytes.size() / 2, static_cast<size_t>(pageSize * (1 + random() % 4))));
      }
      WriteFile(f, bytes);
    }
    // The journal of a commit a kill cut short lost (as by a power cut
    // before it reached the disk): the log then needs repair.
    const std::string journal = VLMJournalFileName(LogFile());
    const bool dropJournal = target != 1 && std::filesystem::exists(journal) && random() % 2 == 0;
    if (dropJournal) {
      before[journal] = ReadFile(journal);
      std::filesystem::remove(journal);
      kinds += "journal lost";
    }
    const bool toLog = target != 1;
    // Damage to a log one commit ahead of its backup that every check
    // passes (a value changed inside a record): no start can tell it from
    // the log's last change, and the backup follows it.
    const bool unseen = toLog && behind && Whole(LogFile()).has_value();
    if (unseen || (toLog && onlyHolder) || !Unheld().empty()) {
      for (const auto& [f, bytes] : before) WriteFile(f, bytes);
      ++Excepted_[unseen ? "unseen damage to a log ahead of its backup"
                  : toLog && onlyHolder ? "a damaged log, the only holder of contacts, damaged again"
                  : Store->ReadBool(LogSectionName("TEST"), "BackupKept", false) ? "backup kept"
                                                                                 : "both damaged alike"];
      return;
    }
    ++Damages_;
    Steps_.push_back("damage " + std::string(target == 0 ? "log" : target == 1 ? "backup" : "both") + ": " + kinds);
    DamagedLog_ = toLog;
  }

  void StartProgram(bool repair, bool keepRepaired) {
    Controller.reset();
    View = FakeMainView();
    View.ConfirmAnswer = keepRepaired;
    Ui_.Repair = repair;
    Configure({});
    Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
    Handle([&] { Controller->FormCreate(); });
    Handle([&] { Controller->FormActivate(); });
    Handle([&] { Controller->Timer1Timer(); });
    while (Controller->BackupCatchingUp()) Handle([&] { Controller->BackupTimer(); });
    ++Starts_;
    Steps_.push_back("start (repair " + std::string(repair ? "yes" : "no") + ", keep repaired " +
                     (keepRepaired ? "yes" : "no") + "): " + ::testing::PrintToString(View.MessageTexts()));
  }

  // The operator's change: an add, edit or delete; with refused > 0, two of
  // its file writes from the refused-th on fail (then the file says whether
  // it was stored).
  void Change(const std::string& call, int op, const std::string& notes, int64_t refused) {
    const std::string what = op == 0 ? "add" : op == 1 ? "edit" : "delete";
    if (refused > 0) SetFileFaultAfter(refused, FileFault::FailTwice);
    const bool acked =
        OperatorChange(*Controller, View, what, call, notes, [this](const std::function<void()>& h) { Handle(h); });
    if (refused > 0) SetFileFaultAfter(0, FileFault::FailTwice);
    if (refused > 0) Steps_.push_back(what + " " + call + ": writes " + std::to_string(refused) + " and after refused");
    if (acked || refused > 0) TakeFromLog(call, refused > 0 ? what + " with two writes refused" : what);
  }
  bool BackupKeptMark() { return Store->ReadBool(LogSectionName("TEST"), "BackupKept", false); }

  AnswerUi Ui_;
  Contacts Model_;
  // Contacts logged into a log that did not read whole: there only (as far
  // as it can be read) until Restore Log carries them.
  std::set<std::string> LogOnly_;
  std::map<size_t, std::optional<Contacts>> Read_;
  std::map<std::string, std::string> Kept_;  // kept logs as kept
  bool BackupWasWhole_ = true;
  bool DamagedLog_ = false;
  bool Killed_ = false;
  int32_t Starts_ = 0, Kills_ = 0, Damages_ = 0, Restores_ = 0, RestoresRefused_ = 0;
  std::map<std::string, int32_t> Ops_, Excepted_;
  std::vector<std::string> Steps_;  // of the seed, told when it fails
};

TEST_F(BackupModelTest, OperatorSequencesKeepEveryContactAndTheWayBack) {
  const int contacts = std::getenv("QV_MODEL_CONTACTS") ? std::atoi(std::getenv("QV_MODEL_CONTACTS")) : 2000;
  Configure({});
  qv::test::TestBudget budget(25);
  uint64_t sessions = 0;
  // QV_MODEL_SEED: the first seed (to go through a failing one again).
  const uint64_t firstSeed = std::getenv("QV_MODEL_SEED") ? std::strtoull(std::getenv("QV_MODEL_SEED"), nullptr, 10) : 1;
  for (uint64_t seed = firstSeed; budget.Continue(sessions); ++seed) {
    Steps_.clear();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(static_cast<uint32_t>(seed));
    UseBuiltLog(contacts);
    for (const std::string& f : Holders())
      if (f != LogFile() && f != BackupFile()) std::filesystem::remove(f);
    std::filesystem::remove(VLMJournalFileName(LogFile()));
    Store->WriteBool(LogSectionName("TEST"), "BackupKept", false);
    Model_ = *Whole(LogFile());
    LogOnly_.clear();
    Kept_.clear();
    BackupWasWhole_ = true;
    int serial = 0;
    const auto anyCall = [&] {
      auto it = Model_.begin();
      std::advance(it, random() % std::max<size_t>(Model_.size(), 1));
      return it == Model_.end() ? std::string("K1") : it->first;
    };
    for (int session = 0; session < 6 && budget.Continue(sessions); ++session, ++sessions) {
      SCOPED_TRACE("session " + std::to_string(session));
      const bool settled = Settled();
      DamagedLog_ = false;
      bool damaged = false;
      // While the program is closed: a run of it, killed or not.
      if (random() % 3 != 0) {
        const int op = static_cast<int>(random() % 3);
        const std::string call = op == 0 ? "M" + std::to_string(seed) + "X" + std::to_string(++serial) : anyCall();
        const std::string notes = "run " + std::to_string(++serial);
        HelperRun(op == 0 ? "add" : op == 1 ? "edit" : "delete", call, static_cast<int64_t>(random() % 40), notes);
        if (HasFatalFailure()) return;
        CheckStep("a run of the program", Killed_);
      }
      // ... then damage.
      if (random() % 2 == 0) {
        const int32_t before = Damages_;
        Damage(random);
        damaged = Damages_ != before;
        BackupWasWhole_ = Whole(BackupFile()).has_value();
      }
      const bool logWhole = Whole(LogFile()).has_value();
      StartProgram(random() % 4 != 0, random() % 3 == 0);
      const std::vector<std::string> said = View.MessageTexts();
      const std::string all = ::testing::PrintToString(said);
      // The operator keeping a repaired log, or one that differs from its
      // backup, chose what it holds.
      const bool keptLog = View.ConfirmAnswer && !said.empty() && View.Messages[0].Kind == "confirm";
      if (keptLog) {
        if (const std::optional<Contacts> log = Whole(LogFile())) Model_ = *log;
      }
      CheckStep("the start");
      if (settled && !damaged) {
        EXPECT_TRUE(said.empty()) << "a start after a crash alone said " << all;
        EXPECT_TRUE(Equal(LogFile(), BackupFile()));
      }
      if (said.empty()) {
        EXPECT_TRUE(Equal(LogFile(), BackupFile())) << "a silent start left the backup behind";
      }
      if (settled && !DamagedLog_ && logWhole) {
        for (const std::string& s : said) {
          EXPECT_FALSE(s.starts_with("The Log could not be read") || s.starts_with("The Log needed repair"))
              << "the log blamed for a change to the backup: " << s;
        }
      }
      {
        const std::optional<Contacts> log = Whole(LogFile()), backup = Whole(BackupFile());
        bool lacks = false;
        for (const auto& [call, q] : Model_) {
          const bool inBackup = backup && backup->count(call) && backup->at(call) == q;
          const bool inLog = log && log->count(call) && log->at(call) == q;
          lacks = lacks || (inBackup && !inLog);
        }
        if (lacks && !keptLog) {
          EXPECT_NE(all.find("Restore Log"), std::string::npos) << all;
        }
      }
      // The log's end cut under the running program now and then (over a
      // backup that is the log): the next write fails, and its reopen asks
      // for repair.
      const bool cutUnder = random() % 8 == 0 && Equal(LogFile(), BackupFile()) && !BackupKeptMark();
      if (cutUnder) {
        std::string bytes = ReadFile(LogFile());
        bytes.resize(bytes.size() - 1000);
        WriteFile(LogFile(), bytes);
        Ui_.Repair = random() % 2 == 0;
        View.ConfirmAnswer = random() % 2 == 0;
        Steps_.push_back("the log's end cut under the program (repair " + std::string(Ui_.Repair ? "yes" : "no") +
                         ", keep repaired " + (View.ConfirmAnswer ? "yes" : "no") + ")");
      }
      // The operator's changes, now and then one with two of its writes
      // refused (a full disk that frees up again).
      const size_t toldBefore = View.Messages.size();
      for (int change = static_cast<int>(random() % 4); change > 0; --change) {
        const int op = static_cast<int>(random() % 3);
        const std::string call = op == 0 ? "M" + std::to_string(seed) + "X" + std::to_string(++serial) : anyCall();
        Change(call, op, "note " + std::to_string(++serial), random() % 5 == 0 ? 1 + random() % 24 : 0);
      }
      // A repaired log kept at a write's reopen: the operator's choice. A
      // backup update refused is told: the backup may be partly written
      // until the next tick or the close makes it anew.
      bool backupFailed = false;
      for (size_t i = toldBefore; i < View.Messages.size(); ++i) {
        if (View.ConfirmAnswer && View.Messages[i].Kind == "confirm")
          if (const std::optional<Contacts> log = Whole(LogFile())) Model_ = *log;
        backupFailed = backupFailed ||
                       View.Messages[i].Text.find(", but its backup copy could not be brought up to date!") !=
                           std::string::npos;
      }
      CheckStep("the changes", backupFailed);
      // Nothing said but that a write was refused (or its backup update).
      bool quiet = !cutUnder;
      for (const Message& m : View.Messages)
        quiet = quiet && (m.Text.starts_with("The contact could not be written to the Log!") ||
                          m.Text.starts_with("The change could not be written to the Log!") ||
                          m.Text.starts_with("The record could not be deleted from the Log!") ||
                          m.Text.find(", but its backup copy could not be brought up to date!") != std::string::npos);
      // Restore Log, more often when a start named it; else a close.
      const bool restore = random() % (all.find("Restore Log") != std::string::npos ? 2 : 8) == 0;
      if (restore) {
        const bool backupWhole = Whole(BackupFile()).has_value();
        const std::string replaced = ReadFile(LogFile());
        const std::string kept = FreeKeptLogName(LogFile());
        FakePrefsView prefs;
        View.SettingsDialog = [&] {
          PrefsController dialog(prefs, *Controller);
          dialog.FormCreate();
          dialog.FormActivate();
          dialog.RestoreButtonClick();
          if (!prefs.Ended) dialog.SaveButtonClick();
        };
        Handle([&] { Controller->SettingsButtonClick(); });
        Steps_.push_back("restore: " + prefs.LastMessage());
        if (prefs.Ended) {
          ++Restores_;
          EXPECT_TRUE(backupWhole) << "restored from a backup that does not read whole";
          EXPECT_TRUE(ReadFile(kept) == replaced);
          Kept_[kept] = replaced;
        } else {
          ++RestoresRefused_;
          EXPECT_FALSE(backupWhole) << prefs.LastMessage();
        }
      }
      Handle([&] { Controller->FormClose(); });
      Controller.reset();
      CheckStep(restore ? "a restore" : "a close");
      if (!restore && quiet) {
        EXPECT_TRUE(Equal(LogFile(), BackupFile())) << "a quiet close left the backup behind";
      }
      if (HasFailure()) {
        for (const std::string& step : Steps_) ADD_FAILURE() << step;
        return;
      }
    }
  }
  std::string ops;
  for (const auto& [what, n] : Ops_) ops += what + " " + std::to_string(n) + ", ";
  std::string excepted;
  for (const auto& [what, n] : Excepted_) excepted += what + " " + std::to_string(n) + ", ";
  RecordProperty("sessions", std::to_string(sessions));
  RecordProperty("figures", "starts " + std::to_string(Starts_) + " (repairs asked " + std::to_string(Ui_.Asked) + "), kills " + std::to_string(Kills_) + ", damages " +
                                std::to_string(Damages_) + ", restores " + std::to_string(Restores_) +
                                " (refused " + std::to_string(RestoresRefused_) + "), " + ops +
                                "damages taken back: " + excepted);
}

}  // namespace
}  // namespace qv::app::wintest
