// Helpers for the communication engine tests: a minimal communication component that opens a
// path with CreateFileA (a pseudo-terminal slave or a virtual null-modem end), an indicator
// component with a published "Checked", a pseudo-terminal pair, a message pump with a time
// limit and process resource counts for leak checks.
#pragma once

#include "comm/qvcomm.h"
#include "platform/rtl/application.h"
#include "platform/rtl/component.h"
#include "platform/serial/winserial.h"
#include "platform/system/procinfo.h"
#include "platform/win32/winbase.h"
#include "support/app.h"
#include "support/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <functional>
#include <string>

// The smallest communication component: the port is whatever Path names.
class TTestComm : public TqvCustomComm {
 public:
  // Line settings a port accepts, as the serial component takes them from the system.
  explicit TTestComm(TComponent* AOwner = nullptr) : TqvCustomComm(AOwner) {
    DCB& d = PortSettings.dcb;
    d.BaudRate = CBR_9600;
    d.ByteSize = 8;
    d.Flags = DCB_fBinary | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift) |
              (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
  }
  std::string Path;
  HANDLE OpenHandle() override {
    return CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, 0);
  }
};

// A component with a published Boolean "Checked", like a check box.
class TIndicator : public TComponent {
 public:
  explicit TIndicator(TComponent* AOwner = nullptr) : TComponent(AOwner) {
    PublishBool("Checked", [this] { return Checked; }, [this](bool v) {
      Checked = v;
      ++Writes;
    });
  }
  bool Checked = false;
  int Writes = 0;
};

// The engine tests run on the shared application fixture.
using qv::test::PumpFor;
using qv::test::PumpUntil;
using qv::test::TestApplication;

// A pseudo-terminal: the component opens the slave path, the test plays the device on the
// master side.

// Resource counts of the process.
inline int OpenFdCount() { return qv::platform::OwnCounters().descriptors; }
inline int ThreadCount() { return qv::platform::OwnCounters().threads; }
// The thread count to compare against later: a leak shows as more threads, never fewer (a
// thread of an earlier close may still be ending when the count is taken). The first thread a
// process creates can bring a runtime helper thread along (ThreadSanitizer's background
// thread): create one first.
inline int ThreadBaseline() {
  std::thread([] {}).join();
  return ThreadCount();
}
inline long RssKiB() { return qv::platform::OwnCounters().residentKiB; }

