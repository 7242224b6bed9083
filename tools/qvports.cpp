// qvports: lists the serial ports present and manages the user's port mappings.
//
//   qvports                     lists the ports: COM name, device, description (manufacturer)
//   qvports map COM7 /dev/pts/3  makes COM7 name that device (a terminal device or virtual: end)
//   qvports unmap COM7           removes the mapping
#include "comm/serialcomm.h"
#include "platform/devinfo.h"
#include "platform/exceptions.h"
#include "platform/portmap.h"
#include "platform/winbase.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qvports                      list the serial ports present\n"
               "       qvports map COMn <device>    name a device (e.g. /dev/pts/3) COMn\n"
               "       qvports unmap COMn           remove the mapping of COMn\n");
  return 2;
}

int List() {
  TqvCustomSerialComm comm(nullptr);
  comm.FillDeviceList(nullptr);
  if (comm.DeviceCount() == 0) {
    std::printf("No serial ports found.\n");
    return 0;
  }
  std::size_t nameWidth = 0, deviceWidth = 0;
  for (int i = 0; i < comm.DeviceCount(); ++i) {
    nameWidth = std::max(nameWidth, comm.GetDevice(i)->PortName.size());
    deviceWidth = std::max(deviceWidth, comm.GetDevice(i)->DeviceObjectName.size());
  }
  for (int i = 0; i < comm.DeviceCount(); ++i) {
    const TqvDevice& d = *comm.GetDevice(i);
    std::string description = d.Description;
    if (!d.Manufacturer.empty()) description += (description.empty() ? "(" : " (") + d.Manufacturer + ")";
    if (description.empty())
      std::printf("%-*s  %s\n", int(nameWidth), d.PortName.c_str(), d.DeviceObjectName.c_str());
    else
      std::printf("%-*s  %-*s  %s\n", int(nameWidth), d.PortName.c_str(), int(deviceWidth),
                  d.DeviceObjectName.c_str(), description.c_str());
  }
  if (!qv::platform::UdevAvailable())
    std::printf("(libudev not found: descriptions come from sysfs alone)\n");
  return 0;
}

bool PortNumber(const std::string& name, unsigned& number) {
  number = qv::platform::ComPortNumber(name);
  if (number == 0)
    std::fprintf(stderr, "qvports: \"%s\" is not a port name (COM1 to COM255)\n", name.c_str());
  return number != 0;
}

int Map(const std::string& name, const std::string& device) {
  unsigned number = 0;
  if (!PortNumber(name, number)) return 1;
  DWORD error = 0;
  if (!qv::platform::AddUserMapping(number, device, error)) {
    std::string reason = error == ERROR_BAD_COMMAND ? "it is not a terminal device"
                         : error == ERROR_ALREADY_EXISTS ? "another port is mapped to it"
                                                         : qv::platform::SysErrorMessage(error);
    std::fprintf(stderr, "qvports: cannot map COM%u to %s: %s\n", number, device.c_str(), reason.c_str());
    return 1;
  }
  std::printf("COM%u is now %s\n", number, device.c_str());
  return 0;
}

int Unmap(const std::string& name) {
  unsigned number = 0;
  if (!PortNumber(name, number)) return 1;
  if (!qv::platform::RemoveUserMapping(number)) {
    std::fprintf(stderr, "qvports: COM%u has no mapping\n", number);
    return 1;
  }
  std::printf("COM%u mapping removed\n", number);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.empty() || (args.size() == 1 && args[0] == "list")) return List();
    if (args.size() == 3 && args[0] == "map") return Map(args[1], args[2]);
    if (args.size() == 2 && args[0] == "unmap") return Unmap(args[1]);
    return Usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvports: %s\n", e.what());
    return 1;
  }
}
