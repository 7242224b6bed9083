#include "platform/rtl/stringlist.h"

#include <strings.h>

namespace {
bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

// ---- TStrings ------------------------------------------------------------------------------

int TStrings::Add(const std::string& s) {
  int index = Count();
  Insert(index, s);
  return index;
}

int TStrings::AddObject(const std::string& s, void* object) {
  int index = Add(s);
  PutObject(index, object);
  return index;
}

int TStrings::AddObjectInt(const std::string& s, std::intptr_t value) {
  return AddObject(s, reinterpret_cast<void*>(value));
}

void TStrings::InsertObject(int index, const std::string& s, void* object) {
  Insert(index, s);
  PutObject(index, object);
}

void TStrings::AddStrings(const TStrings& other) {
  const int n = other.Count();
  for (int i = 0; i < n; ++i) AddObject(other.Strings(i), other.Objects(i));
}

void TStrings::Assign(const TStrings& other) {
  if (&other == this) return;
  Clear();
  AddStrings(other);
}

int TStrings::IndexOf(const std::string& s) const {
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (SameText(Strings(i), s)) return i;
  return -1;
}

int TStrings::IndexOfObject(const void* object) const {
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (Objects(i) == object) return i;
  return -1;
}

int TStrings::IndexOfName(const std::string& name) const {
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    const std::string& s = Strings(i);
    std::size_t eq = s.find('=');
    if (eq != std::string::npos && eq == name.size() && strncasecmp(s.data(), name.data(), eq) == 0) return i;
  }
  return -1;
}

std::string TStrings::Names(int index) const {
  const std::string& s = Strings(index);
  std::size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStrings::ValueFromIndex(int index) const {
  const std::string& s = Strings(index);
  std::size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

std::string TStrings::Values(const std::string& name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValue(const std::string& name, const std::string& value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  if (i < 0)
    Add(name + "=" + value);
  else
    PutString(i, name + "=" + value);
}

std::string TStrings::Text() const {
  std::string out;
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    out += Strings(i);
    out += '\n';
  }
  return out;
}

void TStrings::SetText(const std::string& text) {
  Clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    std::size_t end = nl == std::string::npos ? text.size() : nl;
    std::size_t len = end - start;
    if (len > 0 && text[end - 1] == '\r') --len;
    Add(text.substr(start, len));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

std::string TStrings::Join(const std::string& delimiter) const {
  std::string out;
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    if (i) out += delimiter;
    out += Strings(i);
  }
  return out;
}

// ---- TStringList ---------------------------------------------------------------------------

void TStringList::Check(int index) const {
  if (index < 0 || index >= int(items_.size())) ListIndexError(index);
}

void TStringList::Changed() {
  if (updating_ > 0) {
    pendingChange_ = true;
    return;
  }
  if (OnChange) OnChange(this);
}

void TStringList::EndUpdate() {
  if (updating_ > 0 && --updating_ == 0 && pendingChange_) {
    pendingChange_ = false;
    Changed();
  }
}

const std::string& TStringList::Strings(int index) const {
  Check(index);
  return items_[std::size_t(index)].s;
}

void TStringList::PutString(int index, const std::string& s) {
  Check(index);
  items_[std::size_t(index)].s = s;
  Changed();
}

void* TStringList::Objects(int index) const {
  Check(index);
  return items_[std::size_t(index)].object;
}

void TStringList::PutObject(int index, void* object) {
  Check(index);
  items_[std::size_t(index)].object = object;
  Changed();
}

void TStringList::Insert(int index, const std::string& s) {
  if (index < 0 || index > int(items_.size())) ListIndexError(index);
  items_.insert(items_.begin() + index, Item{s, nullptr});
  Changed();
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  items_.clear();
  Changed();
}

void TStringList::Exchange(int a, int b) {
  Check(a);
  Check(b);
  std::swap(items_[std::size_t(a)], items_[std::size_t(b)]);
  Changed();
}
