// Reader for the peer comparison on a pseudo-terminal pair, built on the communication engine:
//
//   peer_reader throughput <port> <nbytes>   count received bytes, print "DONE <n>" at nbytes
//   peer_reader barcode <port>               print "<digits>\n" for every CR-terminated barcode
//
// The path is mapped as a COM port in a private configuration folder and opened by number with
// the serial component, raw 9600 8N1 without flow control. Bytes reach OnRxData on the main thread through the engine's port-event and dispatch
// threads; the application's own loop runs until the job is done (or SIGTERM ends the process).
// "READY" is printed from inside the loop; every output line is one write(2).
#include "comm/serialcomm.h"
#include "platform/rtl/application.h"
#include "platform/rtl/wndmethod.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "platform/win32/winuser.h"
#include "ports/qvwin32.h"

#include <ftw.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr unsigned kPortNumber = 200;

void WriteAll(const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(1, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      std::_Exit(2);
    }
    p += w;
    n -= std::size_t(w);
  }
}

void Say(const char* s) { WriteAll(s, std::strlen(s)); }

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "peer_reader: %s\n", what.c_str());
  std::exit(2);
}

// The driver ends a barcode reader with SIGTERM; nothing is left to flush.
void OnTerm(int) { _exit(0); }

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

struct TReader {
  bool throughput = false;
  long long want = 0;
  long long got = 0;
  char line[80];
  std::size_t len = 0;
  bool overflow = false;
  bool done = false;

  void RxData(TObject*, const BYTE* data, int count) {
    if (throughput) {
      got += count;
      if (got >= want && !done) {
        done = true;
        Application->Terminate();
      }
      return;
    }
    // Bytes up to CR form one barcode; LF is ignored; an overlong one is dropped.
    for (int i = 0; i < count; ++i) {
      const char c = char(data[i]);
      if (c == '\r') {
        if (len > 0 && !overflow) {
          line[len] = '\n';
          WriteAll(line, len + 1);
        }
        len = 0;
        overflow = false;
      } else if (c != '\n') {
        if (len < sizeof line - 1)
          line[len++] = c;
        else
          overflow = true;
      }
    }
  }

  // The first message the loop takes: the reader is about to wait.
  void Ready(TMessage& m) {
    if (m.Msg == WM_USER) Say("READY\n");
  }
};

}  // namespace

int main(int argc, char** argv) {
  TReader reader;
  std::string port;
  if (argc >= 3 && std::strcmp(argv[1], "barcode") == 0) {
    port = argv[2];
  } else if (argc >= 4 && std::strcmp(argv[1], "throughput") == 0) {
    port = argv[2];
    reader.throughput = true;
    reader.want = std::atoll(argv[3]);
  } else {
    std::fprintf(stderr, "usage: %s throughput <port> <nbytes> | barcode <port>\n", argv[0]);
    return 64;
  }
  signal(SIGTERM, OnTerm);
  signal(SIGPIPE, SIG_IGN);

  // A private configuration folder holds the mapping COM200 -> the given path.
  char dir[] = "/tmp/peer_reader.XXXXXX";
  if (!mkdtemp(dir)) Die("mkdtemp: " + std::string(std::strerror(errno)));
  setenv("XDG_CONFIG_HOME", dir, 1);
  DWORD error = 0;
  if (!qv::platform::AddUserMapping(kPortNumber, port, error))
    Die("cannot map " + port + ": " + qv::platform::SysErrorMessage(error));

  TApplication app;
  TqvCustomSerialComm comm(nullptr);
  comm.SetComPortNo(kPortNumber);
  comm.SetBaudRate(CBR_9600);
  comm.SetByteSize(8);
  comm.SetParity(pNone);
  comm.SetStopBits(sbOne);
  comm.SetStreamProtocol(spNone);
  comm.OnRxData = TOnRxDataEvent(&reader, &TReader::RxData);
  comm.SetEventMask({ceRxChar});
  // The receive queue (and with it the receive buffer) in bytes; a larger queue lets one
  // notification carry more of a bulk transfer.
  if (const char* q = std::getenv("PEER_READER_QUEUE")) comm.SetInQueueSize(WORD(std::atoi(q)));
  comm.OnFatalError = TOnFatalErrorEvent::FromFunction(
      [](void*, TObject*, DWORD, DWORD, std::string msg, bool& raise) {
        raise = false;
        for (char& c : msg)
          if (c == '\r') c = ' ';
        Die(msg);
      },
      nullptr);
  // A port that goes away (the master side closed) ends the reader.
  comm.OnClose = TNotifyEvent::FromFunction([](void*, TObject*) { Application->Terminate(); }, nullptr);
  comm.Open();
  // The mapping was needed to find the port; the folder goes now, so no exit path leaves it.
  nftw(dir, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);

  comm.ClearInput();

  const HWND window = AllocateHWnd(TWndMethod(&reader, &TReader::Ready));
  PostMessageA(window, WM_USER, 0, 0);
  app.Run();
  if (reader.throughput) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "DONE %lld\n", reader.got);
    WriteAll(line, std::size_t(n));
  }
  DeallocateHWnd(window);
  comm.Close();
  return 0;
}
