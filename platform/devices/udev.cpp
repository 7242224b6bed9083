#include "platform/devices/internal/udev.h"

#include <dlfcn.h>

#include <type_traits>

namespace qv::platform::libudev {

const Api& Bound() {
  static const Api api = [] {
    Api a;
    void* lib = dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);  // kept for the life of the process
    if (!lib) return a;
    auto bind = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(lib, name));
      return slot != nullptr;
    };
    const bool context = bind(a.udev_new, "udev_new") && bind(a.udev_unref, "udev_unref") &&
                         bind(a.device_unref, "udev_device_unref");
    a.database = context && bind(a.device_new_from_syspath, "udev_device_new_from_syspath") &&
                 bind(a.device_get_property_value, "udev_device_get_property_value");
    const bool hwdb = a.database && bind(a.hwdb_new, "udev_hwdb_new") && bind(a.hwdb_unref, "udev_hwdb_unref") &&
                      bind(a.hwdb_get_properties_list_entry, "udev_hwdb_get_properties_list_entry") &&
                      bind(a.list_entry_get_next, "udev_list_entry_get_next") &&
                      bind(a.list_entry_get_name, "udev_list_entry_get_name") &&
                      bind(a.list_entry_get_value, "udev_list_entry_get_value");
    if (!hwdb) a.hwdb_new = nullptr;
    a.monitor = context && bind(a.monitor_new_from_netlink, "udev_monitor_new_from_netlink") &&
                bind(a.monitor_filter_add_match_subsystem_devtype,
                     "udev_monitor_filter_add_match_subsystem_devtype") &&
                bind(a.monitor_enable_receiving, "udev_monitor_enable_receiving") &&
                bind(a.monitor_get_fd, "udev_monitor_get_fd") &&
                bind(a.monitor_receive_device, "udev_monitor_receive_device") &&
                bind(a.monitor_unref, "udev_monitor_unref");
    if (!a.database && !a.monitor) {
      dlclose(lib);
      return Api{};
    }
    return a;
  }();
  return api;
}

}  // namespace qv::platform::libudev
