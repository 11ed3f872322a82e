#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/Component.h"

using qv::Component;
using Op = qv::Component::Operation;

namespace {

// Records notifications, keeps a reference it clears when told the referenced
// component goes away, and counts its own destruction.
class Probe : public Component {
public:
  Probe(Component* owner, std::string name, std::vector<std::string>* log)
      : Component(owner), Log_(log) {
    SetName(name);
  }
  ~Probe() override {
    if (Log_) Log_->push_back("destroy " + Name());
  }
  void Notification(Component* c, Op op) override {
    Component::Notification(c, op);
    if (Log_) Log_->push_back(Name() + (op == Op::Insert ? " +" : " -") + (c ? c->Name() : "?"));
    if (op == Op::Remove && c == Ref) Ref = nullptr;
  }
  void SetRef(Component* c) {
    Ref = c;
    if (c) c->FreeNotification(this);
  }
  Component* Ref = nullptr;

private:
  std::vector<std::string>* Log_;
};

bool contains(const std::vector<std::string>& log, const std::string& s) {
  for (const auto& l : log)
    if (l == s) return true;
  return false;
}

}  // namespace

TEST(Component, OwnerDestroysItsComponents) {
  std::vector<std::string> log;
  {
    auto owner = std::make_unique<Probe>(nullptr, "Form", &log);
    auto* a = new Probe(owner.get(), "Table1", &log);
    new Probe(owner.get(), "Query1", &log);
    new Probe(a, "Inner", &log);
    EXPECT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(owner->Components(0), a);
    EXPECT_EQ(a->Owner(), owner.get());
    EXPECT_EQ(a->ComponentIndex(), 0);
    EXPECT_EQ(owner->FindComponent("table1"), a);
    EXPECT_EQ(owner->FindComponent("QUERY1")->Name(), "Query1");
    EXPECT_EQ(owner->FindComponent("Inner"), nullptr);  // only direct components
    EXPECT_EQ(owner->FindComponent(""), nullptr);
    EXPECT_THROW(owner->Components(2), qv::EListError);
    log.clear();
  }
  // Everything destroyed exactly once, children after their owner's own part.
  EXPECT_EQ(log, (std::vector<std::string>{"destroy Form", "destroy Query1", "destroy Table1", "destroy Inner"}));
}

TEST(Component, InsertAndRemoveNotifyTheOwnersComponents) {
  std::vector<std::string> log;
  auto owner = std::make_unique<Probe>(nullptr, "Form", &log);
  auto* a = new Probe(owner.get(), "A", &log);
  log.clear();
  auto* b = new Probe(owner.get(), "", &log);  // named after insertion
  EXPECT_TRUE(contains(log, "Form +"));
  EXPECT_TRUE(contains(log, "A +"));
  log.clear();

  delete b;  // leaves its owner first
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_TRUE(contains(log, "A -"));
  EXPECT_TRUE(contains(log, "Form -"));
  log.clear();

  std::unique_ptr<Component> taken = owner->RemoveComponent(a);
  ASSERT_EQ(taken.get(), a);
  EXPECT_EQ(a->Owner(), nullptr);
  EXPECT_EQ(owner->ComponentCount(), 0);
  EXPECT_TRUE(contains(log, "Form -A"));
  EXPECT_EQ(owner->RemoveComponent(a), nullptr);  // not one of its components

  // Moving to another owner.
  auto other = std::make_unique<Probe>(nullptr, "Other", &log);
  other->InsertComponent(taken.release());
  EXPECT_EQ(a->Owner(), other.get());
  owner->InsertComponent(a);
  EXPECT_EQ(other->ComponentCount(), 0);
  EXPECT_EQ(owner->FindComponent("A"), a);
  EXPECT_THROW(a->InsertComponent(owner.get()), qv::EComponentError);  // would own its owner
  EXPECT_THROW(a->InsertComponent(a), qv::EComponentError);
}

TEST(Component, NamesAreIdentifiersUniqueUnderOneOwner) {
  Component owner;
  auto* a = new Component(&owner);
  auto* b = new Component(&owner);
  a->SetName("Table1");
  try {
    b->SetName("TABLE1");
    FAIL();
  } catch (const qv::EComponentError& e) {
    EXPECT_EQ(e.Message(), "A component named TABLE1 already exists");
  }
  try {
    b->SetName("1abc");
    FAIL();
  } catch (const qv::EComponentError& e) {
    EXPECT_EQ(e.Message(), "'1abc' is not a valid component name");
  }
  EXPECT_THROW(b->SetName("a b"), qv::EComponentError);
  b->SetName("_t2");
  a->SetName("table1");  // a case change of its own name is fine
  a->SetName("");
  b->SetName("");
  EXPECT_EQ(owner.FindComponent("_t2"), nullptr);
  // A component with a taken name cannot join.
  auto stray = std::make_unique<Component>();
  stray->SetName("X");
  a->SetName("x");
  EXPECT_THROW(owner.InsertComponent(stray.get()), qv::EComponentError);
  EXPECT_EQ(stray->Owner(), nullptr);  // still the caller's
}

TEST(Component, FreeNotificationClearsReferencesBothWays) {
  std::vector<std::string> log;
  auto form1 = std::make_unique<Probe>(nullptr, "Form1", &log);
  auto form2 = std::make_unique<Probe>(nullptr, "Form2", &log);
  auto* db = new Probe(form1.get(), "Db", &log);
  auto* table = new Probe(form2.get(), "Table", &log);
  table->SetRef(db);
  db->SetRef(table);
  log.clear();
  delete db;
  EXPECT_EQ(table->Ref, nullptr);
  EXPECT_TRUE(contains(log, "Table -Db"));
  EXPECT_EQ(form1->ComponentCount(), 0);
  // No dangling link is left: destroying the table later tells nobody dead.
  form2.reset();
  form1.reset();

  // A referrer destroyed first unlinks itself, so the target never calls it.
  auto target = std::make_unique<Probe>(nullptr, "Target", &log);
  {
    Probe referrer(nullptr, "Referrer", &log);
    referrer.SetRef(target.get());
  }
  log.clear();
  target.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"destroy Target"}));

  // Siblings referring to each other, destroyed with their owner.
  {
    auto owner = std::make_unique<Probe>(nullptr, "O", nullptr);
    auto* x = new Probe(owner.get(), "X", nullptr);
    auto* y = new Probe(owner.get(), "Y", nullptr);
    x->SetRef(y);
    y->SetRef(x);
    x->RemoveFreeNotification(y);
    y->FreeNotification(x);
  }
}

TEST(Component, ThrowingDerivedConstructorLeavesOwnerConsistent) {
  struct Failing : Component {
    explicit Failing(Component* owner) : Component(owner) { throw std::runtime_error("no"); }
  };
  Component owner;
  EXPECT_THROW(new Failing(&owner), std::runtime_error);
  EXPECT_EQ(owner.ComponentCount(), 0);
}
