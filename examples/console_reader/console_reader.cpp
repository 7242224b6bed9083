// Prints what a serial port receives: console_reader COM7 (9600 8N1, no flow control; Ctrl+C
// ends it, so does the device going away).
#include <qvcomm/comm/serialcomm.h>
#include <qvcomm/platform/rtl/application.h>
#include <qvcomm/platform/system/portmap.h>

#include <cstdio>

int main(int argc, char** argv) {
  TApplication app;  // the main loop: received bytes are handed to it
  TqvCustomSerialComm port(nullptr);
  port.SetComPortNo(WORD(qv::platform::ComPortNumber(argc > 1 ? argv[1] : "COM1")));
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
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  app.Run();
}
