// Record-key trees against a sorted model: random inserts and deletes of
// integer, text (short, and longer than the key prefix with long common
// prefixes that differ in case and accents, and texts that all share their
// first 40 characters), wide text, descending, and case-sensitive and
// case-insensitive keys, on small pages so that trees grow several levels
// deep. Every 1,000 operations the tree's integrity is checked, its leaf
// order compared with the model and every search operator asked in both
// directions; at the end the tree is emptied and must shrink back to a
// single empty leaf. Where every key shares a beginning longer than the key
// prefix, each search also reads no more records than a few per level.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <random>
#include <set>

#include "platform/os/Collation.h"
#include "tests/engine/btree/BTreeTestSupport.h"
#include "tests/support/TestBudget.h"

using namespace btree_test;

namespace {

enum class Kind { Int, Text, Wide };

struct ModelColumn {
  Kind Type;
  TVLMDataType DataType;
  int32_t Size;
  bool Descending;
  bool CaseInsensitive;
};

struct ModelValue {
  bool Null = false;
  int32_t Int = 0;
  std::string Text;
  std::u16string Wide;
};

struct Entry {
  std::vector<ModelValue> Values;
  TVLMRecordID Id;
};

int Sign(int r) { return r < 0 ? -1 : (r > 0 ? 1 : 0); }

// The order the index promises: per column nulls first, numbers by value,
// text by the fixed collation over the whole value; descending columns
// reversed; then the record ID (page as signed 32-bit, then slot).
struct ModelOrder {
  const std::vector<ModelColumn>* Columns;

  int CompareKeys(const Entry& a, const Entry& b) const {
    for (size_t i = 0; i < Columns->size(); ++i) {
      const ModelColumn& c = (*Columns)[i];
      const ModelValue& x = a.Values[i];
      const ModelValue& y = b.Values[i];
      int r;
      if (x.Null || y.Null) r = x.Null == y.Null ? 0 : (x.Null ? -1 : 1);
      else if (c.Type == Kind::Int) r = x.Int < y.Int ? -1 : (x.Int > y.Int ? 1 : 0);
      else if (c.Type == Kind::Text) r = Sign(qv::CompareText1252(x.Text, y.Text, c.CaseInsensitive));
      else r = Sign(qv::CompareTextWide(x.Wide, y.Wide, c.CaseInsensitive));
      if (c.Descending) r = -r;
      if (r != 0) return r;
    }
    return 0;
  }
  bool operator()(const Entry& a, const Entry& b) const {
    const int r = CompareKeys(a, b);
    if (r != 0) return r < 0;
    const auto pa = static_cast<int32_t>(a.Id.Page);
    const auto pb = static_cast<int32_t>(b.Id.Page);
    if (pa != pb) return pa < pb;
    return a.Id.Row < b.Id.Row;
  }
};

using Model = std::set<Entry, ModelOrder>;

struct Config {
  const char* Name;
  uint16_t PageSize;
  std::vector<ModelColumn> Columns;
  // Draws a value for column i.
  std::function<ModelValue(std::mt19937&, size_t)> Draw;
  // Every search reads O(log n) records, however many keys tie in their
  // prefixes.
  bool FewReads = false;
};

std::string RandomText(std::mt19937& rng, const std::string& alphabet, int minLen, int maxLen) {
  std::string s;
  const int n = minLen + static_cast<int>(rng() % static_cast<uint32_t>(maxLen - minLen + 1));
  for (int i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
  return s;
}

// Gives a character of text another case or accent (grave on a vowel) now
// and then: the fixed collation ranks these below a difference in letters.
template <class Char>
Char Vary(std::mt19937& rng, Char ch) {
  static const std::string kVowels = "aeiou";
  const auto vowel = kVowels.find(static_cast<char>(ch));
  switch (rng() % 6) {
    case 0: return static_cast<Char>(ch - 'a' + 'A');
    case 1:
      if (vowel != std::string::npos) return static_cast<Char>(uint8_t("\xE0\xE8\xEC\xF2\xF9"[vowel]));
      return ch;
    case 2:
      if (vowel != std::string::npos) return static_cast<Char>(uint8_t("\xC0\xC8\xCC\xD2\xD9"[vowel]));
      return ch;
    default: return ch;
  }
}

// Texts that often agree in their first 20 characters up to case and
// accents and differ in letters after them; now and then the last
// character of the key prefix is a sharp s (two base letters, like "ss")
// or an 'l' before a middle dot (the two collate together).
std::string PrefixedText(std::mt19937& rng) {
  static const char* const kStems[] = {"abcdefghijklmnopqrstuvwx", "abcdefghijklmnopqrst", "abcdefghijklmnopq",
                                       "zzzzzzzzzzzzzzzzzzzzzz"};
  std::string s = kStems[rng() % 4];
  s.resize(std::min<size_t>(s.size(), 16 + rng() % 9));
  s += RandomText(rng, "abc", 0, 14);
  for (char& ch : s) ch = Vary(rng, ch);
  if (s.size() > 21) {
    switch (rng() % 8) {
      case 0: s.replace(18, 2, rng() % 2 ? "s\xDF" : "ss"); break;
      case 1: s.replace(19, 2, "l\xB7"); break;
      default: break;
    }
  }
  return s;
}

// Wide texts of up to 16 characters, often agreeing in the 10 characters of
// their key prefix up to case and accents (also as combining marks); now
// and then a character that combines with the next one (a Cyrillic letter
// before a combining breve, a surrogate pair) is cut apart by the prefix.
std::u16string PrefixedWideText(std::mt19937& rng) {
  if (rng() % 2) {
    const std::string t = RandomText(rng, "abcd", 0, 16);
    return std::u16string(t.begin(), t.end());
  }
  std::u16string s = u"abcdefghij";
  for (char16_t& ch : s) ch = Vary(rng, ch);
  switch (rng() % 8) {
    case 0: s[9] = u'\u0438'; s += u'\u0306'; break;
    case 1: s[9] = u'\u0439'; break;
    case 2: s[9] = 0xD83D; s += char16_t{0xDE00}; break;
    case 3: s = u"a\u0300e\u0300i\u0300o\u0300\u0438\u0306"; break;
    case 4: s = u"\u00E0\u00E8\u00EC\u00F2\u0439"; break;
    default: break;
  }
  const std::string t = RandomText(rng, "ab", 0, 5);
  return s + std::u16string(t.begin(), t.end());
}

std::vector<Config> Configs() {
  std::vector<Config> out;
  // Page sizes chosen so that leaf and node entries fill pages exactly where
  // that is possible: a page left empty beside two exactly full neighbours
  // is the case merging alone cannot handle.
  out.push_back({"integer", 553, {{Kind::Int, dtInteger, 0, false, false}}, [](std::mt19937& rng, size_t) {
                   ModelValue v;
                   v.Null = rng() % 33 == 0;
                   v.Int = static_cast<int32_t>(rng() % 4001) - 2000;
                   return v;
                 }});
  out.push_back({"integer descending", 553, {{Kind::Int, dtInteger, 0, true, false}},
                 [](std::mt19937& rng, size_t) {
                   ModelValue v;
                   v.Null = rng() % 33 == 0;
                   v.Int = static_cast<int32_t>(rng() % 1001) - 500;
                   return v;
                 }});
  out.push_back({"short text", 598, {{Kind::Text, dtString, 12, false, false}}, [](std::mt19937& rng, size_t) {
                   ModelValue v;
                   v.Null = rng() % 33 == 0;
                   v.Text = RandomText(rng, "abcdef0123", 0, 12);
                   return v;
                 }});
  out.push_back({"long text with common prefixes", 517, {{Kind::Text, dtString, 40, false, false}},
                 [](std::mt19937& rng, size_t) {
                   ModelValue v;
                   v.Null = rng() % 33 == 0;
                   v.Text = PrefixedText(rng);
                   return v;
                 }});
  out.push_back({"case-insensitive long text", 1024, {{Kind::Text, dtString, 40, false, true}},
                 [](std::mt19937& rng, size_t) {
                   ModelValue v;
                   v.Text = PrefixedText(rng);
                   return v;
                 }});
  out.push_back({"text with a 40-character common beginning",
                 517,
                 {{Kind::Text, dtString, 60, false, false}},
                 [](std::mt19937& rng, size_t) {
                   ModelValue v;
                   v.Null = rng() % 50 == 0;
                   v.Text = "https://contest.example.org/logs/2024/qso" + RandomText(rng, "abcde01", 0, 12);
                   return v;
                 },
                 true});
  out.push_back({"wide text and descending integer",
                 700,
                 {{Kind::Wide, dtWideString, 16, false, false}, {Kind::Int, dtInteger, 0, true, false}},
                 [](std::mt19937& rng, size_t column) {
                   ModelValue v;
                   if (column == 1) {
                     v.Null = rng() % 20 == 0;
                     v.Int = static_cast<int32_t>(rng() % 7);
                     return v;
                   }
                   v.Wide = PrefixedWideText(rng);
                   return v;
                 }});
  return out;
}

class ModelRun {
public:
  ModelRun(const Config& config, uint32_t seed)
      : Config_(config), Rng_(seed), PM_(config.PageSize), Model_(ModelOrder{&config.Columns}) {
    std::vector<KeyColumn> keyColumns;
    for (size_t i = 0; i < config.Columns.size(); ++i) {
      const ModelColumn& c = config.Columns[i];
      const std::string name = "F" + std::to_string(i);
      Table_.AddField(name, c.DataType, c.Size);
      keyColumns.push_back({name, c.Descending, c.CaseInsensitive});
    }
    Def_ = MakeIndexDef(keyColumns);
    Tree_ = std::make_unique<RecordTree>(PM_, Table_, *Def_);
  }

  void Run(const qv::test::TestBudget& budget) {
    for (uint64_t op = 1; budget.Continue(op - 1); ++op) {
      const bool insert = Model_.empty() || Rng_() % 100 < (Model_.size() < 3000 ? 62u : 48u);
      if (insert) Insert();
      else DeleteRandom();
      if (op % 1000 == 0) Verify();
      if (op % 5000 == 0) PM_.Commit(0);
      if (HasFatalFailure()) return;
    }
    // Empty the tree in random order.
    std::vector<Entry> rest(Model_.begin(), Model_.end());
    std::shuffle(rest.begin(), rest.end(), Rng_);
    int n = 0;
    for (const Entry& e : rest) {
      ASSERT_TRUE(Tree_->Delete(Record(e), e.Id));
      Model_.erase(e);
      Table_.Remove(e.Id);
      if (++n % 1000 == 0) Verify();
      if (HasFatalFailure()) return;
    }
    Verify();
    PM_.Commit(0);
    TVLMBTreePagePtr root = Tree_->Root();
    EXPECT_TRUE(root->GetIsRoot());
    EXPECT_TRUE(root->GetIsLeaf());
    EXPECT_EQ(root->GetEntryCount(), 0);
    EXPECT_EQ(PM_.UsedPages(), 1);
    EXPECT_GE(MaxDepth_, 3) << "the run never grew a tree of three levels";
  }

private:
  static bool HasFatalFailure() { return ::testing::Test::HasFatalFailure(); }

  std::vector<uint8_t> Record(const Entry& e) {
    std::vector<uint8_t> rec = Table_.NewRecord();
    for (size_t i = 0; i < e.Values.size(); ++i) {
      const ModelValue& v = e.Values[i];
      const auto field = static_cast<int32_t>(i);
      if (v.Null) Table_.SetNull(rec, field);
      else if (Config_.Columns[i].Type == Kind::Int) Table_.SetInt(rec, field, v.Int);
      else if (Config_.Columns[i].Type == Kind::Text) Table_.SetString(rec, field, v.Text);
      else Table_.SetWide(rec, field, v.Wide);
    }
    return rec;
  }

  Entry Draw() {
    Entry e;
    for (size_t i = 0; i < Config_.Columns.size(); ++i) e.Values.push_back(Config_.Draw(Rng_, i));
    return e;
  }

  void Insert() {
    Entry e = Draw();
    // Mostly small record pages; now and then one above 2^31, which sorts
    // first as a signed page number.
    const uint32_t n = NextId_++;
    e.Id.Page = (n % 97 == 0 ? 0x80000000u : 0u) + n / 40 + 1;
    e.Id.Row = static_cast<uint16_t>(n % 40);
    const std::vector<uint8_t> rec = Record(e);
    Table_.Store(e.Id, rec);
    Tree_->Insert(rec, e.Id);
    Model_.insert(e);
  }

  void DeleteRandom() {
    auto it = Model_.begin();
    std::advance(it, static_cast<long>(Rng_() % Model_.size()));
    const Entry e = *it;
    if (Rng_() % 20 == 0) {
      // The same key for a stored record that is not in the tree.
      const TVLMRecordID stray{0x7FFFFFF0u, 7};
      Table_.Store(stray, Record(e));
      ASSERT_FALSE(Tree_->Delete(Record(e), stray));
      Table_.Remove(stray);
    }
    ASSERT_TRUE(Tree_->Delete(Record(e), e.Id)) << "entry of record " << e.Id.Page << ":" << e.Id.Row;
    Model_.erase(it);
    Table_.Remove(e.Id);
  }

  // The model's answer for "first / last entry whose key op probe".
  bool Expected(const Entry& probe, uint8_t op, bool forward, TVLMRecordID& id) {
    if (Model_.empty()) return false;
    ModelOrder order{&Config_.Columns};
    const auto qualifies = [&](const Entry& e) {
      const int r = order.CompareKeys(e, probe);
      switch (op) {
        case kVLMSearchEqual: return r == 0;
        case kVLMSearchLess: return r < 0;
        case kVLMSearchGreater: return r > 0;
        case kVLMSearchLessOrEqual: return r <= 0;
        case kVLMSearchGreaterOrEqual: return r >= 0;
        default: return true;
      }
    };
    // Qualifying entries are contiguous in key order: a bisection for the
    // boundary, then a look at the entry there.
    Entry low = probe;
    low.Id = {0x80000000u, 0};
    Entry high = probe;
    high.Id = {0x7FFFFFFFu, 0xFFFF};
    const auto lb = Model_.lower_bound(low);
    const auto ub = Model_.upper_bound(high);
    // The first qualifying entry starts the model, or follows the last entry
    // below the probe or the last one equal to it; the last is the mirror.
    std::vector<Model::const_iterator> candidates;
    if (forward) {
      candidates = {Model_.begin(), lb, ub};
    } else {
      candidates = {std::prev(Model_.end())};
      if (lb != Model_.begin()) candidates.push_back(std::prev(lb));
      if (ub != Model_.begin()) candidates.push_back(std::prev(ub));
    }
    for (auto c : candidates) {
      if (c == Model_.end() || !qualifies(*c)) continue;
      if (forward && c != Model_.begin() && qualifies(*std::prev(c))) continue;
      if (!forward && std::next(c) != Model_.end() && qualifies(*std::next(c))) continue;
      id = c->Id;
      return true;
    }
    return false;
  }

  void Verify() {
    SCOPED_TRACE(::testing::Message() << Config_.Name << " with " << Model_.size() << " entries");
    ASSERT_NO_THROW(Tree_->Check());
    std::vector<TVLMRecordID> walked;
    ASSERT_NO_THROW(walked = Tree_->Walk());
    ASSERT_EQ(walked.size(), Model_.size());
    size_t i = 0;
    for (const Entry& e : Model_) {
      ASSERT_EQ(RecordKey(walked[i]), RecordKey(e.Id)) << "position " << i;
      ++i;
    }
    MaxDepth_ = std::max(MaxDepth_, Tree_->Depth());
    // Every operator in both directions, for keys in the tree and keys not
    // in it.
    for (int probeNo = 0; probeNo < 4; ++probeNo) {
      Entry probe;
      if (probeNo < 2 && !Model_.empty()) {
        auto it = Model_.begin();
        std::advance(it, static_cast<long>(Rng_() % Model_.size()));
        probe = *it;
      } else {
        probe = Draw();
      }
      const std::vector<uint8_t> rec = Record(probe);
      // A bisection over each page's entries on the way down (and one more
      // leaf for the first equal key), not the pages of the tied keys.
      const int64_t mostReads = 2 * (std::bit_width(Model_.size()) + 2 * Tree_->Depth());
      for (uint8_t op = kVLMSearchNone; op <= kVLMSearchGreaterOrEqual; ++op) {
        for (bool forward : {true, false}) {
          TVLMRecordID want{}, got{};
          const bool expected = Expected(probe, op, forward, want);
          const int64_t readsBefore = Table_.RecordReads;
          const bool found = Tree_->FindByCondition(rec, op, forward, got);
          if (Config_.FewReads) {
            ASSERT_LE(Table_.RecordReads - readsBefore, mostReads)
                << "operator " << int(op) << (forward ? " forward" : " backward");
          }
          ASSERT_EQ(found, expected) << "operator " << int(op) << (forward ? " forward" : " backward");
          if (found) {
            ASSERT_EQ(RecordKey(got), RecordKey(want))
                << "operator " << int(op) << (forward ? " forward" : " backward");
          }
        }
      }
      if (probeNo < 2 && !Model_.empty()) {
        TVLMKeyPath path;
        const int64_t readsBefore = Table_.RecordReads;
        ASSERT_TRUE(Tree_->FindEntry(rec, probe.Id, path));
        if (Config_.FewReads) {
          ASSERT_LE(Table_.RecordReads - readsBefore, mostReads);
        }
        ASSERT_EQ(RecordKey(Tree_->RecordAt(path)), RecordKey(probe.Id));
      }
    }
  }

  const Config& Config_;
  std::mt19937 Rng_;
  MemoryPageManager PM_;
  TestTable Table_;
  std::unique_ptr<TVLMIndexDef> Def_;
  std::unique_ptr<RecordTree> Tree_;
  Model Model_;
  uint32_t NextId_ = 0;
  int32_t MaxDepth_ = 0;
};

class BTreeModelTest : public ::testing::TestWithParam<size_t> {};

TEST_P(BTreeModelTest, RandomInsertsAndDeletesMatchTheModel) {
  const std::vector<Config> configs = Configs();
  const Config& config = configs[GetParam()];
  // 7 kinds of key x 34,000 operations: some 240,000 in all. A kind
  // stops after 10 s on a slow machine (a tree has three levels after about
  // 8,000 operations).
  ModelRun run(config, 1234 + static_cast<uint32_t>(GetParam()));
  run.Run(qv::test::TestBudget::Steps(34000, 10));
}

INSTANTIATE_TEST_SUITE_P(BTreeKeyKinds, BTreeModelTest, ::testing::Range<size_t>(0, 7));

}  // namespace
