// The toolkit's object model: TObject, TPersistent and TComponent with ownership, free
// notification, the loading/designing state, the Loaded step, published properties looked up
// by name, and the loader that builds a form's components from its definition.
//
// Destruction: prefer c->Free() (or letting the owner do it). Free runs the removal steps
// while the object is still complete, so overridden Notification and the owner's own
// overrides see it; a plain delete runs the same steps from ~TComponent, where overrides of
// the dying object itself are no longer reached. A derived class with members that its
// owned components use in their own destruction should call DestroyComponents() in its
// destructor.
#pragma once

#include "platform/rtl/exceptions.h"
#include "platform/rtl/method.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TObject {
 public:
  virtual ~TObject() = default;
};

class TPersistent : public TObject {};

class TComponent;

enum TOperation { opInsert, opRemove };

// Component-state flags (a set: bit n for value n).
enum TComponentStateFlag : std::uint32_t {
  csLoading = 1u << 0,     // the form definition is being read; cleared by Loaded
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,  // destruction has begun
  csDesigning = 1u << 4,   // inside the form designer
};
using TComponentState = std::uint32_t;

// Event types shared by every component.
using TNotifyEvent = TMethod<void(TObject* Sender)>;

// Kinds of published property.
enum TPropKind { pkNone, pkBoolean, pkInteger, pkString };

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Runs the removal steps (free notifications, owned components, owner) while the object is
  // complete, then deletes it. Null-safe through the free function Free(c).
  void Free();

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  // Owned components, in creation order.
  int ComponentCount() const { return int(components_.size()); }
  TComponent* Components(int index) const;
  // The owned component with the given name (case-insensitive), or null.
  TComponent* FindComponent(const std::string& name) const;
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  // Frees the owned components, last created first.
  void DestroyComponents();

  TComponentState ComponentState() const { return state_; }
  bool IsLoading() const { return state_ & csLoading; }
  bool IsDesigning() const { return state_ & csDesigning; }
  bool IsDestroying() const { return state_ & csDestroying; }
  // For the form loader, the designer and tests. SetDesigning also sets the owned components.
  void SetLoading(bool value);
  void SetDesigning(bool value);

  // component->FreeNotification(this): this is called back through Notification(component,
  // opRemove) when component is destroyed. The link works both ways, so whichever of the two
  // goes first, the other forgets it.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  // Called when a component is inserted into or removed from this one's owner, and on every
  // component that asked for free notification. The base forgets the component in its
  // free-notification list and passes the call on to the owned components.
  virtual void Notification(TComponent* component, TOperation operation);
  // Called once after the form definition has been read; the base clears csLoading.
  virtual void Loaded();

  // ---- published properties --------------------------------------------------------------
  struct PropInfo {
    std::string name;
    TPropKind kind = pkNone;
    std::function<bool()> getBool;
    std::function<void(bool)> setBool;
    std::function<std::int64_t()> getInt;
    std::function<void(std::int64_t)> setInt;
    std::function<std::string()> getString;
    std::function<void(const std::string&)> setString;
  };
  // The property with the name (case-insensitive), or null.
  const PropInfo* FindProp(const std::string& name) const;
  const std::vector<PropInfo>& Props() const { return props_; }

 protected:
  // Publishes a property; a later registration with the same name replaces the earlier one
  // (a descendant republishing with its own accessors).
  void PublishBool(const std::string& name, std::function<bool()> get, std::function<void(bool)> set);
  void PublishInt(const std::string& name, std::function<std::int64_t()> get, std::function<void(std::int64_t)> set);
  void PublishString(const std::string& name, std::function<std::string()> get,
                     std::function<void(const std::string&)> set);

 private:
  void RemovalSteps();
  void AddProp(PropInfo info);

  TComponent* owner_ = nullptr;
  std::string name_;
  TComponentState state_ = 0;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
  std::vector<PropInfo> props_;
  bool removed_ = false;
};

inline void Free(TComponent* component) {
  if (component) component->Free();
}

// Property access by name. IsPublishedProp is false for a null component. The getters and
// setters raise EPropertyError when the property does not exist or has another kind.
bool IsPublishedProp(const TComponent* component, const std::string& name);
TPropKind PropKind(const TComponent* component, const std::string& name);
bool GetBoolProp(const TComponent* component, const std::string& name);
void SetBoolProp(TComponent* component, const std::string& name, bool value);
std::int64_t GetOrdProp(const TComponent* component, const std::string& name);
void SetOrdProp(TComponent* component, const std::string& name, std::int64_t value);
std::string GetStrProp(const TComponent* component, const std::string& name);
void SetStrProp(TComponent* component, const std::string& name, const std::string& value);

// Builds a form from its definition in the toolkit's order: every component is constructed
// and gets csLoading (Add), its properties are set by the caller while loading, references
// between components are resolved (AddFixup, run in order by Finish), then each component,
// in the order added, loses csLoading through its Loaded. The root (the form), when given,
// is treated as the first component.
class TComponentLoader {
 public:
  explicit TComponentLoader(TComponent* root = nullptr);

  template <class T>
  T* Add(T* component) {
    AddComponent(component);
    return component;
  }
  void AddComponent(TComponent* component);
  void AddFixup(std::function<void()> fixup);
  // Resolves references, then calls Loaded on every component in order. An exception from a
  // Loaded passes on after the remaining components have been loaded (the first one wins).
  void Finish();

 private:
  std::vector<TComponent*> loaded_;
  std::vector<std::function<void()>> fixups_;
  bool finished_ = false;
};
