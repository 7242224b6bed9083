// Prints what a serial port receives: console_reader COM7 (9600 8N1, no flow control; Ctrl+C
// ends it, so does the device going away). A device such as /dev/ttyUSB0 gets its COM number
// first: qvcomm map COM7 /dev/ttyUSB0.
#include <qvcomm/comm/serialcomm.h>
#include <qvcomm/platform/rtl/application.h>
#include <qvcomm/platform/rtl/printable.h>
#include <qvcomm/platform/system/portmap.h>

#include <algorithm>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "COM1";
  const unsigned number = qv::platform::ComPortNumber(name);
  if (number == 0) {
    std::fprintf(stderr, "console_reader: \"%s\" is not a port name: give COM1 to COM255 (qvcomm map COMn %s names a device)\n",
                 qv::platform::Printable(name).c_str(), name[0] == '/' ? qv::platform::Printable(name).c_str() : "PATH");
    return 2;
  }
  TApplication app;  // the main loop: received bytes are handed to it
  TqvCustomSerialComm port(nullptr);
  port.SetComPortNo(WORD(number));
  port.SetBaudRate(9600);
  port.SetStreamProtocol(spNone);
  port.SetEventMask({ceRxChar});
  port.OnRxData = TOnRxDataEvent::FromFunction([](void*, TObject*, const BYTE* data, int count) {
    std::fwrite(data, 1, std::size_t(count), stdout);
    std::fflush(stdout);
  }, nullptr);
  port.OnClose = TNotifyEvent::FromFunction([](void*, TObject*) { Application->Terminate(); }, nullptr);
  try {
    port.Open();
  } catch (const std::exception& e) {
    // The component's message names the port, then gives the reason after a carriage return.
    std::string text = e.what();
    std::replace(text.begin(), text.end(), '\r', '\n');
    std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
  }
  app.Run();
}
