#include "platform/system/internal/device_kinds.h"

#include "platform/system/ttydevices.h"

#include <algorithm>
#include <atomic>
#include <cctype>

namespace qv::platform {

namespace {

struct Table {
  const DeviceKind* const* kinds;
  std::size_t count;
};
std::atomic<const Table*> gTable{nullptr};

}  // namespace

bool HasScheme(std::string_view name, std::string_view scheme) {
  return name.size() >= scheme.size() &&
         std::equal(scheme.begin(), scheme.end(), name.begin(), [](char s, char c) {
           return std::tolower(static_cast<unsigned char>(c)) == s;
         });
}

void InstallDeviceKinds(std::span<const DeviceKind* const> kinds) {
  gTable.store(new Table{kinds.data(), kinds.size()}, std::memory_order_release);
}

std::span<const DeviceKind* const> DeviceKinds() {
  const Table* t = gTable.load(std::memory_order_acquire);
  if (!t) return {};
  return {t->kinds, t->count};
}

const DeviceKind* KindOf(std::string_view name) {
  for (const DeviceKind* kind : DeviceKinds())
    for (std::string_view scheme : kind->schemes)
      if (HasScheme(name, scheme)) return kind;
  return nullptr;
}

std::vector<sysfs::TtyDevice> ListKindDevices() {
  std::vector<sysfs::TtyDevice> out;
  for (const DeviceKind* kind : DeviceKinds()) {
    if (!kind->List) continue;
    std::vector<sysfs::TtyDevice> found = kind->List();
    if (out.empty()) out = std::move(found);
    else out.insert(out.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  }
  return out;
}

}  // namespace qv::platform
