// The registry API over the store of platform/system/regstore.h and the views built on open.
#include "platform/system/winreg.h"

#include "platform/system/portmap.h"
#include "platform/system/regstore.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

namespace qv::platform {

std::vector<RegValue> SerialCommValues() {
  std::vector<RegValue> values;
  for (const PortEntry& port : ListPorts()) {
    RegValue v;
    v.name = port.device;
    v.type = REG_SZ;
    std::string text = "COM" + std::to_string(port.number);
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    values.push_back(std::move(v));
  }
  return values;
}

namespace {

constexpr DWORD kMaxValueName = 16383;
constexpr DWORD kMaxValueData = 1u << 20;

struct ViewEntry {
  RegRoot root;
  std::string path;  // spelling used in kernel names
  RegViewBuilder build;
  std::string folded;  // path folded, as compared (one view per device: folded once)
};

struct Views {
  std::mutex mutex;
  std::vector<ViewEntry> entries{
      {RegRoot::Machine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", SerialCommValues, "hardware\\devicemap\\serialcomm"}};
};

Views& AllViews() {
  static Views* views = new Views;  // never destroyed: keys may be used until the very end
  return *views;
}

enum class ViewMatch { None, View, Parent, Below };

// How a path relates to the registered views; view receives the matching entry.
ViewMatch MatchView(RegRoot root, const std::string& path, ViewEntry* view) {
  Views& v = AllViews();
  std::lock_guard lock(v.mutex);
  std::string folded = RegFold(path);
  ViewMatch best = ViewMatch::None;
  for (const ViewEntry& e : v.entries) {
    if (e.root != root) continue;
    const std::string& ef = e.folded;
    if (folded == ef) {
      if (view) *view = e;
      return ViewMatch::View;
    }
    if (folded.size() > ef.size() && folded.compare(0, ef.size(), ef) == 0 &&
        folded[ef.size()] == '\\')
      best = ViewMatch::Below;
    else if (best == ViewMatch::None &&
             (folded.empty() || (ef.size() > folded.size() && ef.compare(0, folded.size(), folded) == 0 &&
                                 ef[folded.size()] == '\\'))) {
      if (!folded.empty()) {
        best = ViewMatch::Parent;
        if (view) *view = ViewEntry{root, e.path.substr(0, folded.size()), nullptr, {}};
      }
    }
  }
  return best;
}

class RegKeyObject : public KernelObject {
 public:
  RegRoot root;
  std::string path;  // original spelling
  DWORD access = 0;
  bool readOnly = false;          // a view or the parent of one
  std::vector<RegValue> values;   // a view's values, built on open
};

bool IsRoot(HKEY key) { return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER; }

RegRoot RootOf(HKEY key) { return key == HKEY_LOCAL_MACHINE ? RegRoot::Machine : RegRoot::User; }

// The root and full path that (key, subKey) name.
LONG Resolve(HKEY key, const char* subKey, RegRoot& root, std::string& path,
             std::shared_ptr<RegKeyObject>* parent = nullptr) {
  std::string base;
  if (IsRoot(key)) {
    root = RootOf(key);
  } else {
    auto obj = LookupHandleAs<RegKeyObject>(key);
    if (!obj) return ERROR_INVALID_HANDLE;
    root = obj->root;
    base = obj->path;
    if (parent) *parent = obj;
  }
  std::string sub = subKey ? subKey : "";
  if (!sub.empty() && sub.back() == '\\') sub.pop_back();
  std::vector<std::string> parts;
  if (!RegSplitPath(sub, parts)) return ERROR_INVALID_NAME;
  path = base;
  if (!sub.empty()) path = base.empty() ? sub : base + "\\" + sub;
  return ERROR_SUCCESS;
}

HKEY NewHandle(RegRoot root, std::string path, DWORD access, bool readOnly,
               std::vector<RegValue> values = {}) {
  auto obj = std::make_shared<RegKeyObject>();
  obj->root = root;
  obj->path = std::move(path);
  obj->access = access;
  obj->readOnly = readOnly;
  obj->values = std::move(values);
  return RegisterHandle(std::move(obj));
}

// Opens an existing key (store or view).
LONG OpenExisting(RegRoot root, const std::string& path, DWORD access, HKEY* result) {
  ViewEntry view;
  ViewMatch match = MatchView(root, path, &view);
  if (match == ViewMatch::View) {
    if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    *result = NewHandle(root, view.path, access, true, view.build());
    return ERROR_SUCCESS;
  }
  if (match == ViewMatch::Below) return ERROR_FILE_NOT_FOUND;
  std::shared_ptr<const RegHive> hive;
  if (LONG r = RegStoreRead(root, hive); r != ERROR_SUCCESS) return r;
  if (const RegKeyNode* node = hive->Find(path)) {
    *result = NewHandle(root, node->path, access, false);
    return ERROR_SUCCESS;
  }
  if (match == ViewMatch::Parent) {
    if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    *result = NewHandle(root, view.path, access, true);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

// Copies one value out the way the query and enumeration functions do.
LONG CopyData(const RegValue& v, DWORD* type, BYTE* data, DWORD* dataLength) {
  if (data && !dataLength) return ERROR_INVALID_PARAMETER;
  if (type) *type = v.type;
  if (!dataLength) return ERROR_SUCCESS;
  DWORD size = DWORD(v.data.size());
  if (data) {
    if (*dataLength < size) {
      *dataLength = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(data, v.data.data(), size);
  }
  *dataLength = size;
  return ERROR_SUCCESS;
}

// The values of an open key: the view's snapshot or the store's current contents.
LONG ValuesOf(const RegKeyObject& key, std::shared_ptr<const RegHive>& hive,
              const std::vector<RegValue>*& values) {
  if (key.readOnly) {
    values = &key.values;
    return ERROR_SUCCESS;
  }
  if (LONG r = RegStoreRead(key.root, hive); r != ERROR_SUCCESS) return r;
  const RegKeyNode* node = hive->Find(key.path);
  if (!node) return ERROR_KEY_DELETED;
  values = &node->values;
  return ERROR_SUCCESS;
}

const RegValue* FindIn(const std::vector<RegValue>& values, const char* name) {
  std::string_view wanted = name ? name : "";
  for (const RegValue& v : values)
    if (RegNamesEqual(v.name, wanted)) return &v;
  return nullptr;
}

void AppendUtf16(std::u16string& out, std::string_view s) {
  // UTF-8 where it is valid; any other byte stands for itself (Latin-1).
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    char32_t cp = 0;
    bool ok = len > 0 && i + len <= s.size();
    if (ok) {
      cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
      for (std::size_t k = 1; k < len && ok; ++k) {
        unsigned char cc = s[i + k];
        ok = (cc & 0xC0) == 0x80;
        cp = cp << 6 | (cc & 0x3F);
      }
    }
    if (!ok) {
      out += char16_t(c);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    i += len;
  }
}

}  // namespace

void RegisterRegView(RegRoot root, const std::string& path, RegViewBuilder build) {
  Views& v = AllViews();
  std::lock_guard lock(v.mutex);
  std::string folded = RegFold(path);
  for (ViewEntry& e : v.entries) {
    if (e.root == root && e.folded == folded) {
      e.build = std::move(build);
      return;
    }
  }
  v.entries.push_back({root, path, std::move(build), std::move(folded)});
}

std::string RegUserId() { return "S-1-5-21-" + std::to_string(getuid()); }

std::u16string RegKeyKernelName(HKEY key) {
  std::string name;
  if (IsRoot(key)) {
    name = key == HKEY_LOCAL_MACHINE ? "\\REGISTRY\\MACHINE" : "\\REGISTRY\\USER\\" + RegUserId();
  } else {
    auto obj = LookupHandleAs<RegKeyObject>(key);
    if (!obj) return {};
    name = obj->root == RegRoot::Machine ? "\\REGISTRY\\MACHINE" : "\\REGISTRY\\USER\\" + RegUserId();
    if (!obj->path.empty()) name += "\\" + obj->path;
  }
  std::u16string out;
  AppendUtf16(out, name);
  return out;
}

}  // namespace qv::platform

using namespace qv::platform;

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD samDesired, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  RegRoot r;
  std::string path;
  if (LONG e = Resolve(root, subKey, r, path); e != ERROR_SUCCESS) return e;
  return OpenExisting(r, path, samDesired, result);
}

LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD, char*, DWORD, DWORD samDesired,
                     const void*, HKEY* result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  RegRoot r;
  std::string path;
  if (LONG e = Resolve(root, subKey, r, path); e != ERROR_SUCCESS) return e;
  ViewMatch match = MatchView(r, path, nullptr);
  if (match == ViewMatch::View || match == ViewMatch::Below) return ERROR_ACCESS_DENIED;
  if (match == ViewMatch::Parent) {
    // An existing read-only parent unless the store has a key of that name.
    LONG e = OpenExisting(r, path, samDesired, result);
    if (e == ERROR_SUCCESS && disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return e;
  }
  std::string spelled;
  bool created = false;
  LONG e = RegStoreModify(r, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode& node = hive.Create(path, &created);
    spelled = node.path;
    changed = created;
    return ERROR_SUCCESS;
  });
  if (e != ERROR_SUCCESS) return e;
  *result = NewHandle(r, spelled, samDesired, false);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (IsRoot(key)) return ERROR_SUCCESS;
  if (!LookupHandleAs<RegKeyObject>(key)) return ERROR_INVALID_HANDLE;
  return CloseHandle(key) ? LONG(ERROR_SUCCESS) : LONG(ERROR_INVALID_HANDLE);
}

namespace {
// The open key behind a handle; a predefined root opens on the fly.
LONG KeyFor(HKEY key, std::shared_ptr<RegKeyObject>& obj) {
  if (IsRoot(key)) {
    obj = std::make_shared<RegKeyObject>();
    obj->root = RootOf(key);
    obj->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  obj = LookupHandleAs<RegKeyObject>(key);
  return obj ? LONG(ERROR_SUCCESS) : LONG(ERROR_INVALID_HANDLE);
}
}  // namespace

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameLength, DWORD*,
                   DWORD* type, BYTE* data, DWORD* dataLength) {
  std::shared_ptr<RegKeyObject> obj;
  if (LONG e = KeyFor(key, obj); e != ERROR_SUCCESS) return e;
  if (!(obj->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (!valueName || !valueNameLength) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<const RegHive> hive;
  const std::vector<RegValue>* values = nullptr;
  if (LONG e = ValuesOf(*obj, hive, values); e != ERROR_SUCCESS) return e;
  if (index >= values->size()) return ERROR_NO_MORE_ITEMS;
  const RegValue& v = (*values)[index];
  if (v.name.size() + 1 > *valueNameLength) return ERROR_MORE_DATA;
  if (LONG e = CopyData(v, type, data, dataLength); e != ERROR_SUCCESS) return e;
  std::memcpy(valueName, v.name.c_str(), v.name.size() + 1);
  *valueNameLength = DWORD(v.name.size());
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data,
                      DWORD* dataLength) {
  std::shared_ptr<RegKeyObject> obj;
  if (LONG e = KeyFor(key, obj); e != ERROR_SUCCESS) return e;
  if (!(obj->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::shared_ptr<const RegHive> hive;
  const std::vector<RegValue>* values = nullptr;
  if (LONG e = ValuesOf(*obj, hive, values); e != ERROR_SUCCESS) return e;
  const RegValue* v = FindIn(*values, valueName);
  if (!v) return ERROR_FILE_NOT_FOUND;
  return CopyData(*v, type, data, dataLength);
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD dataLength) {
  std::shared_ptr<RegKeyObject> obj;
  if (LONG e = KeyFor(key, obj); e != ERROR_SUCCESS) return e;
  if (obj->readOnly || !(obj->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string name = valueName ? valueName : "";
  if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  if (!data && dataLength) return ERROR_INVALID_PARAMETER;
  if (dataLength > kMaxValueData) return ERROR_INVALID_PARAMETER;
  if (type == REG_DWORD && dataLength != 4) return ERROR_INVALID_PARAMETER;
  std::vector<BYTE> bytes(data, data + dataLength);
  return RegStoreModify(obj->root, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode* node = hive.Find(obj->path);
    if (!node) return ERROR_KEY_DELETED;
    if (RegValue* v = node->FindValue(name)) {
      v->type = type;
      v->data = std::move(bytes);
    } else {
      node->values.push_back(RegValue{name, type, std::move(bytes)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
  std::shared_ptr<RegKeyObject> obj;
  if (LONG e = KeyFor(key, obj); e != ERROR_SUCCESS) return e;
  if (obj->readOnly || !(obj->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string_view wanted = valueName ? valueName : "";
  return RegStoreModify(obj->root, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode* node = hive.Find(obj->path);
    if (!node) return ERROR_KEY_DELETED;
    for (auto it = node->values.begin(); it != node->values.end(); ++it) {
      if (RegNamesEqual(it->name, wanted)) {
        node->values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LONG RegDeleteKeyA(HKEY root, const char* subKey) {
  RegRoot r;
  std::string path;
  if (LONG e = Resolve(root, subKey, r, path); e != ERROR_SUCCESS) return e;
  if (path.empty()) return ERROR_ACCESS_DENIED;  // a root cannot be deleted
  if (MatchView(r, path, nullptr) != ViewMatch::None) {
    std::shared_ptr<const RegHive> hive;
    if (LONG e = RegStoreRead(r, hive); e != ERROR_SUCCESS) return e;
    if (!hive->Find(path) || MatchView(r, path, nullptr) != ViewMatch::Parent)
      return ERROR_ACCESS_DENIED;
  }
  return RegStoreModify(r, [&](RegHive& hive, bool& changed) -> LONG {
    if (!hive.Find(path)) return ERROR_FILE_NOT_FOUND;
    if (hive.HasSubKeys(path)) return ERROR_ACCESS_DENIED;  // as Windows: subkeys first
    changed = hive.Erase(path);
    return ERROR_SUCCESS;
  });
}

LONG RegFlushKey(HKEY key) {
  std::shared_ptr<RegKeyObject> obj;
  // Every change is already on disk when the call that made it returns.
  return KeyFor(key, obj);
}
