// libudev, bound once at run time by name (the program needs neither its headers nor the
// library to start): the device and hardware databases for the device information, the
// monitor for the hot-plug watcher. Each group is there only when all its entries are.
// Not for use outside platform/. Any thread.
#pragma once

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform::libudev {

struct udev;
struct udev_device;
struct udev_hwdb;
struct udev_list_entry;
struct udev_monitor;

struct Api {
  // The device database: a device's properties, as udevd filled them in.
  bool database = false;
  udev* (*udev_new)() = nullptr;
  udev* (*udev_unref)(udev*) = nullptr;
  udev_device* (*device_new_from_syspath)(udev*, const char*) = nullptr;
  const char* (*device_get_property_value)(udev_device*, const char*) = nullptr;
  udev_device* (*device_unref)(udev_device*) = nullptr;
  // The hardware database (null hwdb_new when missing): names by modalias.
  udev_hwdb* (*hwdb_new)(udev*) = nullptr;
  udev_hwdb* (*hwdb_unref)(udev_hwdb*) = nullptr;
  udev_list_entry* (*hwdb_get_properties_list_entry)(udev_hwdb*, const char*, unsigned) = nullptr;
  udev_list_entry* (*list_entry_get_next)(udev_list_entry*) = nullptr;
  const char* (*list_entry_get_name)(udev_list_entry*) = nullptr;
  const char* (*list_entry_get_value)(udev_list_entry*) = nullptr;
  // The monitor: devices as udevd has processed them (uses udev_new, udev_unref, device_unref).
  bool monitor = false;
  udev_monitor* (*monitor_new_from_netlink)(udev*, const char*) = nullptr;
  int (*monitor_filter_add_match_subsystem_devtype)(udev_monitor*, const char*, const char*) = nullptr;
  int (*monitor_enable_receiving)(udev_monitor*) = nullptr;
  int (*monitor_get_fd)(udev_monitor*) = nullptr;
  udev_device* (*monitor_receive_device)(udev_monitor*) = nullptr;
  udev_monitor* (*monitor_unref)(udev_monitor*) = nullptr;
};

// Bound on first use; all false when libudev.so.1 cannot be loaded.
const Api& Bound();

}  // namespace qv::platform::libudev

#pragma GCC visibility pop
