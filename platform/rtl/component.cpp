#include "platform/rtl/component.h"

#include <algorithm>
#include <strings.h>

namespace {
bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
void EraseOne(std::vector<TComponent*>& list, TComponent* c) {
  auto it = std::find(list.begin(), list.end(), c);
  if (it != list.end()) list.erase(it);
}
}  // namespace

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() { RemovalSteps(); }

void TComponent::Free() {
  RemovalSteps();
  delete this;
}

void TComponent::RemovalSteps() {
  if (removed_) return;
  removed_ = true;
  state_ |= csDestroying;
  // Everyone linked by free notification forgets this component. The link is dropped on both
  // sides before the call, so an override that does not call the base cannot loop.
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    EraseOne(other->freeNotifies_, this);
    other->Notification(this, opRemove);
  }
  DestroyComponents();
  if (owner_) owner_->RemoveComponent(this);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= int(components_.size())) ListIndexError(index);
  return components_[std::size_t(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameText(c->name_, name)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component || component->owner_ == this) return;
  if (component->owner_) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  if (state_ & csDesigning) component->SetDesigning(true);
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (!component || component->owner_ != this) return;
  EraseOne(components_, component);
  component->owner_ = nullptr;
  Notification(component, opRemove);
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* last = components_.back();
    RemoveComponent(last);
    last->Free();
  }
}

void TComponent::SetLoading(bool value) {
  if (value)
    state_ |= csLoading;
  else
    state_ &= ~TComponentState(csLoading);
}

void TComponent::SetDesigning(bool value) {
  if (value)
    state_ |= csDesigning;
  else
    state_ &= ~TComponentState(csDesigning);
  for (TComponent* c : components_) c->SetDesigning(value);
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
    freeNotifies_.push_back(component);
  if (std::find(component->freeNotifies_.begin(), component->freeNotifies_.end(), this) ==
      component->freeNotifies_.end())
    component->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  EraseOne(freeNotifies_, component);
  EraseOne(component->freeNotifies_, this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component) RemoveFreeNotification(component);
  if (components_.empty()) return;
  // Copy: a notified component may remove itself or others.
  std::vector<TComponent*> owned = components_;
  for (TComponent* c : owned) {
    if (c == component) continue;
    if (std::find(components_.begin(), components_.end(), c) == components_.end()) continue;
    c->Notification(component, operation);
  }
}

void TComponent::Loaded() { SetLoading(false); }

// ---- published properties ------------------------------------------------------------------

const TComponent::PropInfo* TComponent::FindProp(const std::string& name) const {
  for (const PropInfo& p : props_)
    if (SameText(p.name, name)) return &p;
  return nullptr;
}

void TComponent::AddProp(PropInfo info) {
  for (PropInfo& p : props_) {
    if (SameText(p.name, info.name)) {
      p = std::move(info);
      return;
    }
  }
  props_.push_back(std::move(info));
}

void TComponent::PublishBool(const std::string& name, std::function<bool()> get, std::function<void(bool)> set) {
  PropInfo p;
  p.name = name;
  p.kind = pkBoolean;
  p.getBool = std::move(get);
  p.setBool = std::move(set);
  AddProp(std::move(p));
}

void TComponent::PublishInt(const std::string& name, std::function<std::int64_t()> get,
                            std::function<void(std::int64_t)> set) {
  PropInfo p;
  p.name = name;
  p.kind = pkInteger;
  p.getInt = std::move(get);
  p.setInt = std::move(set);
  AddProp(std::move(p));
}

void TComponent::PublishString(const std::string& name, std::function<std::string()> get,
                               std::function<void(const std::string&)> set) {
  PropInfo p;
  p.name = name;
  p.kind = pkString;
  p.getString = std::move(get);
  p.setString = std::move(set);
  AddProp(std::move(p));
}

namespace {
const TComponent::PropInfo& Prop(const TComponent* c, const std::string& name, TPropKind kind) {
  const TComponent::PropInfo* p = c ? c->FindProp(name) : nullptr;
  if (!p) throw EPropertyError("Property " + name + " does not exist");
  if (p->kind != kind) throw EPropertyError("Invalid property type: " + name);
  return *p;
}
[[noreturn]] void ReadOnly(const std::string& name) { throw EPropertyError("Property " + name + " is read-only"); }
[[noreturn]] void WriteOnly(const std::string& name) { throw EPropertyError("Property " + name + " is write-only"); }
}  // namespace

bool IsPublishedProp(const TComponent* component, const std::string& name) {
  return component && component->FindProp(name) != nullptr;
}

TPropKind PropKind(const TComponent* component, const std::string& name) {
  const TComponent::PropInfo* p = component ? component->FindProp(name) : nullptr;
  return p ? p->kind : pkNone;
}

bool GetBoolProp(const TComponent* component, const std::string& name) {
  const auto& p = Prop(component, name, pkBoolean);
  if (!p.getBool) WriteOnly(name);
  return p.getBool();
}

void SetBoolProp(TComponent* component, const std::string& name, bool value) {
  const auto& p = Prop(component, name, pkBoolean);
  if (!p.setBool) ReadOnly(name);
  auto set = p.setBool;  // the setter may republish properties
  set(value);
}

std::int64_t GetOrdProp(const TComponent* component, const std::string& name) {
  const auto& p = Prop(component, name, pkInteger);
  if (!p.getInt) WriteOnly(name);
  return p.getInt();
}

void SetOrdProp(TComponent* component, const std::string& name, std::int64_t value) {
  const auto& p = Prop(component, name, pkInteger);
  if (!p.setInt) ReadOnly(name);
  auto set = p.setInt;
  set(value);
}

std::string GetStrProp(const TComponent* component, const std::string& name) {
  const auto& p = Prop(component, name, pkString);
  if (!p.getString) WriteOnly(name);
  return p.getString();
}

void SetStrProp(TComponent* component, const std::string& name, const std::string& value) {
  const auto& p = Prop(component, name, pkString);
  if (!p.setString) ReadOnly(name);
  auto set = p.setString;
  set(value);
}

// ---- loader --------------------------------------------------------------------------------

TComponentLoader::TComponentLoader(TComponent* root) {
  if (root) AddComponent(root);
}

void TComponentLoader::AddComponent(TComponent* component) {
  if (!component || finished_) return;
  if (std::find(loaded_.begin(), loaded_.end(), component) != loaded_.end()) return;
  component->SetLoading(true);
  loaded_.push_back(component);
}

void TComponentLoader::AddFixup(std::function<void()> fixup) { fixups_.push_back(std::move(fixup)); }

void TComponentLoader::Finish() {
  if (finished_) return;
  finished_ = true;
  std::exception_ptr first;
  for (auto& fixup : fixups_) {
    try {
      fixup();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  fixups_.clear();
  for (TComponent* c : loaded_) {
    try {
      c->Loaded();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  loaded_.clear();
  if (first) std::rethrow_exception(first);
}
