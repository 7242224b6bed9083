#include "platform/system/portnames.h"

#include "platform/system/internal/device_kinds.h"

namespace qv::platform {

bool IsDeviceName(std::string_view name) { return KindOf(name) != nullptr; }

bool IsWellFormedDeviceName(std::string_view name) {
  const DeviceKind* kind = KindOf(name);
  return kind && kind->WellFormed(name);
}

std::string CanonicalDeviceName(const std::string& name) {
  const DeviceKind* kind = KindOf(name);
  return kind ? kind->Canonical(name) : name;
}

std::string DescribeDevice(std::string_view name) {
  const DeviceKind* kind = KindOf(name);
  return kind && kind->Describe ? kind->Describe(std::string(name)) : std::string();
}

}  // namespace qv::platform
