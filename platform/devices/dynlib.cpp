#include "platform/devices/dynlib.h"

#include "platform/devices/devinfo.h"
#include "platform/serial/winserial.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct HINSTANCE__ {
  struct Entry {
    const char* name;
    FARPROC proc;
  };
  std::string name;        // canonical name of a built-in module, or the name it was loaded by
  const Entry* entries = nullptr;  // built-in table, null for a shared library
  std::size_t entryCount = 0;
  void* dl = nullptr;      // dlopen handle of a shared library
  unsigned loads = 0;      // LoadLibraryA calls not yet freed (shared libraries)
};

namespace {

NTSTATUS BuiltinZwQueryKey(HANDLE key, ULONG infoClass, void* info, ULONG length,
                           ULONG* resultLength) {
  if (infoClass != KeyNameInformation || resultLength == nullptr) return STATUS_INVALID_PARAMETER;
  const std::u16string name = qv::platform::RegKeyKernelName(key);
  if (name.empty()) return STATUS_INVALID_HANDLE;
  const std::size_t bytes = name.size() * sizeof(char16_t);
  const std::size_t need = offsetof(KEY_NAME_INFORMATION, Name) + bytes;
  *resultLength = static_cast<ULONG>(need);
  if (info == nullptr || length < need) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<unsigned char*>(info);
  const ULONG nameLength = static_cast<ULONG>(bytes);
  std::memcpy(out + offsetof(KEY_NAME_INFORMATION, NameLength), &nameLength, sizeof nameLength);
  std::memcpy(out + offsetof(KEY_NAME_INFORMATION, Name), name.data(), bytes);
  return STATUS_SUCCESS;
}

BOOL BuiltinCancelIo(HANDLE file) { return ::CancelIo(file); }

const HINSTANCE__::Entry kKernel32[] = {
    {"CancelIo", reinterpret_cast<FARPROC>(&BuiltinCancelIo)},
};
const HINSTANCE__::Entry kNtdll[] = {
    {"NtQueryKey", reinterpret_cast<FARPROC>(&BuiltinZwQueryKey)},
    {"ZwQueryKey", reinterpret_cast<FARPROC>(&BuiltinZwQueryKey)},
};

// The device-information layer's entry points (platform/devices/devinfo.h).
std::vector<HINSTANCE__::Entry> SetupApiTable() {
  std::size_t count = 0;
  const qv::platform::DevInfoExport* exports = qv::platform::SetupApiExports(count);
  std::vector<HINSTANCE__::Entry> table;
  for (std::size_t i = 0; i < count; ++i) table.push_back({exports[i].name, exports[i].proc});
  return table;
}

struct Registry {
  std::mutex mutex;
  HINSTANCE__ kernel32{"kernel32", kKernel32, std::size(kKernel32)};
  HINSTANCE__ ntdll{"ntdll", kNtdll, std::size(kNtdll)};
  std::vector<HINSTANCE__::Entry> setupapiTable = SetupApiTable();
  HINSTANCE__ setupapi{"setupapi", setupapiTable.data(), setupapiTable.size()};
  // One record per shared library ever seen; kept for the life of the process so a handle
  // from GetModuleHandleA never dangles.
  std::map<void*, std::unique_ptr<HINSTANCE__>> shared;
  std::set<std::string> hidden;  // "module" or "module!entry"
  std::map<std::string, FARPROC> replaced;  // "module!entry"
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::string Lower(const char* text) {
  std::string s(text);
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// "KERNEL32.DLL", "kernel32" -> "kernel32"; other names unchanged (lower case).
std::string BuiltinKey(const char* name) {
  std::string s = Lower(name);
  if (s.size() > 4 && s.compare(s.size() - 4, 4, ".dll") == 0) s.resize(s.size() - 4);
  return s;
}

// The built-in module of that name; null when there is none or it is hidden. Caller locks.
HINSTANCE__* FindBuiltin(Registry& r, const char* name, bool& isBuiltinName) {
  const std::string key = BuiltinKey(name);
  HINSTANCE__* module = nullptr;
  if (key == r.kernel32.name) module = &r.kernel32;
  if (key == r.ntdll.name) module = &r.ntdll;
  if (key == r.setupapi.name) module = &r.setupapi;
  isBuiltinName = module != nullptr;
  if (module != nullptr && r.hidden.count(key) != 0) return nullptr;
  return module;
}

bool IsKnown(Registry& r, HMODULE module) {
  if (module == &r.kernel32 || module == &r.ntdll || module == &r.setupapi) return true;
  for (const auto& [dl, record] : r.shared)
    if (record.get() == module) return true;
  return false;
}

HINSTANCE__* SharedRecord(Registry& r, void* dl, const char* name) {
  auto& slot = r.shared[dl];
  if (!slot) {
    slot = std::make_unique<HINSTANCE__>();
    slot->name = name != nullptr ? name : "";
    slot->dl = dl;
  }
  return slot.get();
}

}  // namespace

// The dynamic loader runs library constructors and destructors, which may bind entries
// themselves: it is never called with the registry locked.

HMODULE GetModuleHandleA(const char* moduleName) {
  Registry& r = TheRegistry();
  if (moduleName != nullptr) {
    std::lock_guard lock(r.mutex);
    bool builtinName = false;
    HINSTANCE__* module = FindBuiltin(r, moduleName, builtinName);
    if (builtinName) {
      if (module == nullptr) ::SetLastError(ERROR_MOD_NOT_FOUND);
      return module;
    }
  }
  void* dl = dlopen(moduleName, RTLD_NOW | RTLD_NOLOAD);
  if (dl == nullptr) {
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  HINSTANCE__* module;
  {
    std::lock_guard lock(r.mutex);
    module = SharedRecord(r, dl, moduleName);
  }
  dlclose(dl);  // the probe's own reference: this handle is not counted
  return module;
}

HMODULE LoadLibraryA(const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') {
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Registry& r = TheRegistry();
  {
    std::lock_guard lock(r.mutex);
    bool builtinName = false;
    HINSTANCE__* module = FindBuiltin(r, fileName, builtinName);
    if (builtinName) {
      if (module == nullptr) ::SetLastError(ERROR_MOD_NOT_FOUND);
      return module;
    }
  }
  void* dl = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) {
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard lock(r.mutex);
  HINSTANCE__* module = SharedRecord(r, dl, fileName);
  ++module->loads;
  return module;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  if (module == nullptr || !IsKnown(r, module)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (procName == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (module->entries != nullptr) {
    const std::string key = module->name + "!" + procName;
    if (r.hidden.count(module->name) == 0 && r.hidden.count(key) == 0) {
      if (auto it = r.replaced.find(key); it != r.replaced.end()) return it->second;
      for (std::size_t i = 0; i < module->entryCount; ++i)
        if (std::strcmp(module->entries[i].name, procName) == 0) return module->entries[i].proc;
    }
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(module->dl, procName);
  if (symbol == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  Registry& r = TheRegistry();
  void* dl = nullptr;
  {
    std::lock_guard lock(r.mutex);
    if (module == nullptr || !IsKnown(r, module)) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (module->entries != nullptr) return TRUE;  // built-in modules are never unloaded
    if (module->loads == 0) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    --module->loads;
    dl = module->dl;
  }
  dlclose(dl);
  return TRUE;
}

namespace qv::platform {

void HideBuiltinEntry(const char* moduleName, const char* procName, bool hidden) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::string key = BuiltinKey(moduleName);
  if (procName != nullptr) key += std::string("!") + procName;
  if (hidden) {
    r.hidden.insert(key);
  } else {
    r.hidden.erase(key);
  }
}

void ReplaceBuiltinEntry(const char* moduleName, const char* procName, FARPROC replacement) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const std::string key = BuiltinKey(moduleName) + "!" + procName;
  if (replacement != nullptr) {
    r.replaced[key] = replacement;
  } else {
    r.replaced.erase(key);
  }
}

}  // namespace qv::platform
