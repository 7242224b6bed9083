// The demo form under load, offscreen: appending barcodes to its list (through the scanner's
// OnBarCode handler, and end to end from a pseudo-terminal), and how long the window then takes
// to answer. Usage: gui_form [count]   (default 100000)
#include "app/unit1.h"
#include "platform/system/portmap.h"
#include "tests/support/pty.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace {

double Ms(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e6; }

// Time until a posted event is served: what a click waits for.
double ResponseMs() {
  QElapsedTimer t;
  t.start();
  bool served = false;
  QTimer::singleShot(0, [&] { served = true; });
  while (!served) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  return Ms(t);
}

// Lets the window lay out and paint what was added.
double SettleMs() {
  QElapsedTimer t;
  t.start();
  QCoreApplication::processEvents();
  return Ms(t);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char tmpl[] = "/tmp/qv-gui-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // a mapping of this run only
  qv::platform::TGuiApplication gui(argc, argv);
  std::printf("%d barcodes\n", count);

  {
    Form1 = new TForm1(nullptr);
    Form1->Show();
    SettleMs();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) Form1->qvBarCodeScan1BarCode(Form1->qvBarCodeScan1, std::to_string(4000000000000LL + i));
    const double append = Ms(t);
    const double settle = SettleMs();
    std::printf("handler: append %.1f ms (%.2f us each), first paint after %.1f ms, response %.2f ms\n", append,
                append * 1000 / count, settle, ResponseMs());
    Form1->Free();
  }

  {
    qv::test::PtyPair pty;
    DWORD error = 0;
    if (!qv::platform::AddUserMapping(1, pty.slave(), error)) return 1;
    Form1 = new TForm1(nullptr);
    Form1->Show();
    Form1->CheckBox1->SetChecked(true);
    if (!Form1->qvBarCodeScan1->Active()) return 1;
    std::thread scanner([&] {
      std::string block;
      for (int i = 0; i < count; ++i) block += std::to_string(4000000000000LL + i) + "\r";
      pty.Write(block.data(), block.size(), 60000);
    });
    QElapsedTimer t;
    t.start();
    double worst = 0;
    while (Form1->ListBox1->Items().Count() < count && t.elapsed() < 60000) worst = std::max(worst, ResponseMs());
    const double total = Ms(t);
    scanner.join();
    std::printf("pty: %d of %d listed in %.1f ms (%.0f barcodes/s), worst response while receiving %.1f ms\n",
                Form1->ListBox1->Items().Count(), count, total, Form1->ListBox1->Items().Count() * 1000 / total, worst);
    Form1->Close();
    Form1->Free();
  }
  std::filesystem::remove_all(dir);
  return 0;
}
