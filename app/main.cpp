// qvbarcode: the barcode demo program. `qvbarcode --port COMn` starts with port n selected.
#include "app/unit1.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

namespace {
// The number of "COMn" (case-insensitive, 1..255), or 0.
int PortNumber(const char* text) {
  if (!text || strncasecmp(text, "COM", 3) != 0) return 0;
  char* end = nullptr;
  const long n = std::strtol(text + 3, &end, 10);
  return end != text + 3 && *end == 0 && n >= 1 && n <= 255 ? int(n) : 0;
}

int Usage(const char* message) {
  std::fprintf(stderr, "qvbarcode: %s\nusage: qvbarcode [--port COMn]\n", message);
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  qv::platform::TGuiApplication gui(argc, argv);  // takes Qt's own options out of argv
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    if (arg == "--port" && i + 1 < argc)
      value = argv[++i];
    else if (arg.rfind("--port=", 0) == 0)
      value = arg.substr(7);
    else if (arg == "--help" || arg == "-h") {
      std::printf("usage: qvbarcode [--port COMn]\nLists the barcodes a scanner sends to a serial port; "
                  "--port selects the port at start (COM1 otherwise).\n");
      return 0;
    }
    else
      return Usage(("unknown argument " + arg).c_str());
    port = PortNumber(value.c_str());
    if (!port) return Usage(("not a port name: " + value + " (expected COM1 to COM255)").c_str());
  }
  gui.CloseOnSignals();
  Application->Initialize();
  Form1 = new TForm1(Application);
  if (port) {
    try {
      Form1->qvBarCodeScan1->SetComPortNo(WORD(port));
    } catch (...) {
      Application->HandleException(Form1);
    }
  }
  const int code = gui.Run(Form1);
  Form1->Free();
  Form1 = nullptr;
  return code;
}
