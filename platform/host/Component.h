// The host's component: a named object with an owner. The owner holds its
// components and destroys them when it is destroyed; components hear about
// insertions into and removals from their owner, and about the destruction of
// components they asked to be told about (FreeNotification).
//
// Ownership: a component created with an owner must be allocated with `new`
// (or released from a unique_ptr); the owner adopts it and deletes it. A
// component without an owner belongs to whoever created it. Deleting an owned
// component directly is allowed: it leaves its owner's list first.
//
// Notifications:
//   InsertComponent(c)  -> owner.Notification(c, Insert)
//   RemoveComponent(c)  -> owner.Notification(c, Remove), then c is detached
//   destruction of c    -> Notification(c, Remove) to every component in c's
//                          free-notification list, then c's own components are
//                          destroyed, then c leaves its owner (RemoveComponent).
// The default Notification passes the message on to every owned component and,
// for Remove, forgets the component in its free-notification list, so no
// component keeps a pointer to a destroyed one. A handler gets a pointer that
// may be in the middle of destruction: compare it, do not call it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/Exception.h"

namespace qv {

// "A component named <name> already exists", "'<name>' is not a valid component name".
class EComponentError : public Exception {
public:
  using Exception::Exception;
};

class Component {
public:
  enum class Operation : uint8_t { Insert, Remove };

  // With an owner, the owner adopts this heap-allocated object.
  explicit Component(Component* owner = nullptr);
  virtual ~Component();
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  const std::string& Name() const { return Name_; }
  // An identifier (letter or '_', then letters, digits, '_') or empty; unique
  // among the owner's components, ignoring ASCII case.
  virtual void SetName(std::string_view newName);

  Component* Owner() const { return Owner_; }
  int32_t ComponentCount() const { return static_cast<int32_t>(Components_.size()); }
  // EListError for an index outside 0 .. ComponentCount()-1.
  Component* Components(int32_t index) const;
  // Position in the owner's list, -1 without an owner.
  int32_t ComponentIndex() const;
  // A direct component by name, ignoring ASCII case; nullptr when none.
  Component* FindComponent(std::string_view name) const;

  // Takes ownership of a heap-allocated component (moving it from its
  // previous owner). Raises EComponentError when its name is taken here.
  void InsertComponent(Component* component);
  // Detaches one of this component's components and hands it to the caller.
  [[nodiscard]] std::unique_ptr<Component> RemoveComponent(Component* component);

  // Asks that `component` be told (Notification(this, Remove)) when this one
  // is destroyed, and the other way round.
  void FreeNotification(Component* component);
  void RemoveFreeNotification(Component* component);

  bool Destroying() const { return Destroying_; }

  // Called by whoever finishes setting the component's properties (a form
  // that has built its components, a factory), so that a component can act on
  // its settings as a whole, for example connect when asked to be connected.
  // Overrides should call the base version.
  virtual void Loaded() {}

  // Called on insertion into and removal from the owner, and for free
  // notifications. Overrides should call the base version.
  virtual void Notification(Component* component, Operation operation);

private:
  void checkName(std::string_view name, const Component* except) const;

  std::string Name_;
  Component* Owner_ = nullptr;
  std::vector<std::unique_ptr<Component>> Components_;
  std::vector<Component*> FreeNotifies_;
  bool Destroying_ = false;
};

}  // namespace qv
