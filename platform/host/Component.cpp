#include "platform/host/Component.h"

#include <algorithm>

#include "platform/host/SysUtils.h"

namespace qv {

namespace {

bool isIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isIdentChar(char c) { return isIdentStart(c) || (c >= '0' && c <= '9'); }

bool isValidIdent(std::string_view s) {
  if (s.empty() || !isIdentStart(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), isIdentChar);
}

}  // namespace

Component::Component(Component* owner) {
  if (owner) owner->InsertComponent(this);
}

Component::~Component() {
  Destroying_ = true;
  // Tell everyone who asked; each link is dropped on both sides first so a
  // handler never sees this component in its list again.
  while (!FreeNotifies_.empty()) {
    Component* other = FreeNotifies_.back();
    FreeNotifies_.pop_back();
    auto& theirs = other->FreeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    other->Notification(this, Operation::Remove);
  }
  // Owned components go last first, without notifications: their owner is going.
  while (!Components_.empty()) {
    std::unique_ptr<Component> c = std::move(Components_.back());
    Components_.pop_back();
    c->Owner_ = nullptr;
    c.reset();
  }
  if (Owner_) {
    // The owner does not delete what it hands back: this object is already
    // being destroyed by whoever called delete.
    std::unique_ptr<Component> self = Owner_->RemoveComponent(this);
    (void)self.release();
  }
}

void Component::checkName(std::string_view name, const Component* except) const {
  if (name.empty()) return;
  for (const auto& c : Components_)
    if (c.get() != except && SameText(c->Name_, name))
      throw EComponentError("A component named " + std::string(name) + " already exists");
}

void Component::SetName(std::string_view newName) {
  if (newName == Name_) return;
  if (!newName.empty() && !isValidIdent(newName))
    throw EComponentError("'" + std::string(newName) + "' is not a valid component name");
  if (Owner_) Owner_->checkName(newName, this);
  Name_ = std::string(newName);
}

Component* Component::Components(int32_t index) const {
  if (index < 0 || index >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return Components_[static_cast<size_t>(index)].get();
}

int32_t Component::ComponentIndex() const {
  if (!Owner_) return -1;
  const auto& list = Owner_->Components_;
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i].get() == this) return static_cast<int32_t>(i);
  return -1;
}

Component* Component::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (const auto& c : Components_)
    if (SameText(c->Name_, name)) return c.get();
  return nullptr;
}

void Component::InsertComponent(Component* component) {
  if (!component) throw EComponentError("Cannot insert a nil component");
  if (component->Owner_ == this) return;
  for (const Component* o = this; o; o = o->Owner_)
    if (o == component) throw EComponentError("A component cannot own itself or its owner");
  checkName(component->Name_, nullptr);
  std::unique_ptr<Component> owned;
  if (component->Owner_)
    owned = component->Owner_->RemoveComponent(component);
  else
    owned.reset(component);
  Components_.push_back(std::move(owned));
  component->Owner_ = this;
  Notification(component, Operation::Insert);
}

std::unique_ptr<Component> Component::RemoveComponent(Component* component) {
  auto find = [&] {
    return std::find_if(Components_.begin(), Components_.end(),
                        [&](const std::unique_ptr<Component>& p) { return p.get() == component; });
  };
  if (!component || find() == Components_.end()) return nullptr;
  Notification(component, Operation::Remove);
  auto it = find();  // a handler may have moved things around
  if (it == Components_.end()) return nullptr;
  std::unique_ptr<Component> owned = std::move(*it);
  Components_.erase(it);
  component->Owner_ = nullptr;
  return owned;
}

void Component::FreeNotification(Component* component) {
  if (!component || component == this) return;
  if (std::find(FreeNotifies_.begin(), FreeNotifies_.end(), component) == FreeNotifies_.end())
    FreeNotifies_.push_back(component);
  auto& theirs = component->FreeNotifies_;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void Component::RemoveFreeNotification(Component* component) {
  if (!component) return;
  FreeNotifies_.erase(std::remove(FreeNotifies_.begin(), FreeNotifies_.end(), component), FreeNotifies_.end());
  auto& theirs = component->FreeNotifies_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void Component::Notification(Component* component, Operation operation) {
  if (operation == Operation::Remove && component) RemoveFreeNotification(component);
  // Last first, re-checking the size: a handler may remove components.
  for (size_t i = Components_.size(); i-- > 0;) {
    if (i >= Components_.size()) continue;
    Components_[i]->Notification(component, operation);
  }
}

}  // namespace qv
