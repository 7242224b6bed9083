// The desktop path against what a Qt developer would write instead, each reader in its own
// process, offscreen, fed by the same pseudo-terminal writer:
//   form         the demo form: the scanner's OnBarCode appends the barcode to the form's list
//   qserialport  a QSerialPort whose readyRead appends each CR-terminated code to a QListWidget
// A reader writes "<code>\n" to its stdout once the row is in the list; the driver times each
// code from its write into the terminal to that line. Per reader and gap: latency (median, p99),
// CPU per code (all threads, /proc/<pid>/task/*/schedstat), throughput (codes written in one go)
// and, with the port open and nothing sent, idle CPU and wake-ups (voluntary switches).
//
// Usage: gui_path [--codes N] [--reps R] [--idle SECONDS] [--flood N]
//        gui_path --reader form|qserialport SLAVE     (one reader; started by the driver)
#include "app/unit1.h"
#include "platform/system/portmap.h"

#include <QApplication>
#include <QListWidget>
#ifdef QV_HAVE_QTSERIALPORT
#include <QSerialPort>
#endif

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- the readers ----

void Announce(const std::string& code) {
  std::string line = code + "\n";
  if (write(STDOUT_FILENO, line.data(), line.size()) < 0) _exit(1);
}

int RunForm(int argc, char** argv, const std::string& slave) {
  char tmpl[] = "/tmp/qv-gui-path-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // a mapping of this run only
  qv::platform::TGuiApplication gui(argc, argv);
  gui.CloseOnSignals();
  DWORD error = 0;
  if (!qv::platform::AddUserMapping(1, slave, error)) return 1;
  Form1 = new TForm1(nullptr);
  // The form's own handler appends the row; the line to the driver follows it.
  Form1->qvBarCodeScan1->OnBarCode = TOnBarCodeEvent::FromFunction(
      [](void*, TObject* sender, std::string code) {
        Form1->qvBarCodeScan1BarCode(sender, code);
        Announce(code);
      },
      nullptr);
  Form1->CheckBox1->SetChecked(true);
  if (!Form1->qvBarCodeScan1->Active()) return 1;
  Announce("READY");
  const int status = gui.Run(Form1);
  std::filesystem::remove_all(dir);
  return status;
}

int RunQSerialPort(int argc, char** argv, const std::string& slave) {
#ifdef QV_HAVE_QTSERIALPORT
  QApplication app(argc, argv);
  QListWidget list;
  // As the form's list: rows of one height, so an append does not measure every row again.
  list.setUniformItemSizes(true);
  list.resize(303, 278);
  list.show();
  QSerialPort port(QString::fromStdString(slave));
  port.setBaudRate(9600);
  port.setDataBits(QSerialPort::Data8);
  port.setParity(QSerialPort::NoParity);
  port.setStopBits(QSerialPort::OneStop);
  port.setFlowControl(QSerialPort::NoFlowControl);
  if (!port.open(QIODevice::ReadOnly)) return 1;
  QByteArray pending;
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    pending += port.readAll();
    qsizetype end;
    while ((end = pending.indexOf('\r')) >= 0) {
      const QByteArray code = pending.left(end);
      pending.remove(0, end + 1);
      list.addItem(QString::fromLatin1(code));
      Announce(code.toStdString());
    }
  });
  signal(SIGTERM, [](int) { _exit(0); });
  Announce("READY");
  return app.exec();
#else
  (void)argc;
  (void)argv;
  (void)slave;
  return 2;
#endif
}

// ---- the driver ----

long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

struct Usage {
  long long cpuNs = 0;
  long long voluntary = 0;
};

// CPU and voluntary switches of every thread of a process.
Usage UsageOf(pid_t pid) {
  Usage u;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(base.c_str());
  if (!d) return u;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream sched(base + "/" + e->d_name + "/schedstat");
    long long ns = 0;
    if (sched >> ns) u.cpuNs += ns;
    std::ifstream status(base + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) u.voluntary += std::atoll(line.c_str() + 24);
  }
  closedir(d);
  return u;
}

class Reader {
 public:
  Reader(const char* self, const std::string& kind) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) || unlockpt(master_) || ptsname_r(master_, name, sizeof name)) return;
    int out[2];
    if (pipe2(out, O_CLOEXEC)) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      execl(self, self, "--reader", kind.c_str(), name, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    ok_ = pid_ > 0 && NextLine(20000) == "READY";
  }
  ~Reader() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }
  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += std::size_t(n);
    }
    return true;
  }
  // The reader's next line, "" after timeoutMs.
  std::string NextLine(int timeoutMs) {
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return "";
      char chunk[65536];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, std::size_t(n));
    }
  }

 private:
  int master_ = -1;
  int out_ = -1;
  pid_t pid_ = -1;
  bool ok_ = false;
  std::string buffer_;
};

struct Result {
  double medUs = 0, p99Us = 0, cpuUsPerCode = 0, codesPerS = 0, idleCpuMs = 0, idleWakeups = 0;
  bool lost = false;
};

std::string Code(long long i) { return std::to_string(4000000000000LL + i); }

void SleepUs(long us) {
  if (us <= 0) return;
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);
}

Result Measure(const char* self, const std::string& kind, int codes, long gapUs, int idleS, int flood) {
  Result r;
  Reader reader(self, kind);
  if (!reader.ok()) {
    r.lost = true;
    return r;
  }
  // Idle: the port open, nothing sent.
  SleepUs(500000);
  const Usage idle0 = UsageOf(reader.pid());
  SleepUs(long(idleS) * 1000000);
  const Usage idle1 = UsageOf(reader.pid());
  r.idleCpuMs = double(idle1.cpuNs - idle0.cpuNs) / 1e6;
  r.idleWakeups = double(idle1.voluntary - idle0.voluntary);
  // Latency: one code at a time, the next after the previous one is listed (and the gap).
  long long n = 0;
  for (int i = 0; i < 100; ++i, ++n) {
    if (!reader.Send(Code(n) + "\r") || reader.NextLine(5000) != Code(n)) r.lost = true;
  }
  std::vector<double> lat;
  const Usage busy0 = UsageOf(reader.pid());
  for (int i = 0; i < codes && !r.lost; ++i, ++n) {
    SleepUs(gapUs);
    const long long t0 = NowNs();
    if (!reader.Send(Code(n) + "\r") || reader.NextLine(5000) != Code(n)) r.lost = true;
    lat.push_back(double(NowNs() - t0) / 1e3);
  }
  const Usage busy1 = UsageOf(reader.pid());
  r.cpuUsPerCode = double(busy1.cpuNs - busy0.cpuNs) / 1e3 / codes;
  std::sort(lat.begin(), lat.end());
  if (!lat.empty()) {
    r.medUs = lat[lat.size() / 2];
    r.p99Us = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
  }
  // Throughput: a flood written in one go.
  std::string block;
  for (int i = 0; i < flood; ++i) block += Code(n + i) + "\r";
  const long long t0 = NowNs();
  std::thread writer([&] { reader.Send(block); });
  for (int i = 0; i < flood && !r.lost; ++i)
    if (reader.NextLine(10000) != Code(n + i)) r.lost = true;
  r.codesPerS = flood / (double(NowNs() - t0) / 1e9);
  writer.join();
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Drive(const char* self, int codes, int reps, int idleS, int flood) {
  const std::vector<std::string> kinds = {"qserialport", "form"};
  std::printf("gui_path: %d codes per rep, %d reps (medians), flood %d, idle %d s; reader processes offscreen\n", codes,
              reps, flood, idleS);
  int status = 0;
  for (long gap : {1000L, 0L}) {
    std::map<std::string, std::vector<Result>> all;
    for (int rep = 0; rep < reps; ++rep)
      for (const auto& k : kinds) all[k].push_back(Measure(self, k, codes, gap, idleS, flood));
    std::printf("\ncodes %s\n", gap ? "1 ms apart" : "back to back");
    std::printf("| reader | lat med us | lat p99 us | CPU us/code | codes/s (flood) | idle CPU ms | idle wake-ups |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::map<std::string, Result> med;
    for (const auto& k : kinds) {
      auto pick = [&](double Result::*f) {
        std::vector<double> v;
        for (const auto& r : all[k]) v.push_back(r.*f);
        return Median(v);
      };
      Result m{pick(&Result::medUs), pick(&Result::p99Us), pick(&Result::cpuUsPerCode), pick(&Result::codesPerS),
               pick(&Result::idleCpuMs), pick(&Result::idleWakeups), false};
      for (const auto& r : all[k]) m.lost = m.lost || r.lost;
      med[k] = m;
      std::printf("| %s | %.1f | %.1f | %.1f | %.0f | %.1f | %.0f |%s\n", k.c_str(), m.medUs, m.p99Us,
                  m.cpuUsPerCode, m.codesPerS, m.idleCpuMs, m.idleWakeups, m.lost ? " LOST CODES" : "");
      if (m.lost) status = 1;
    }
    const Result& f = med["form"];
    const Result& q = med["qserialport"];
    if (q.medUs > 0 && q.cpuUsPerCode > 0 && q.codesPerS > 0)
      std::printf("form / qserialport: median %.2fx, p99 %.2fx, CPU %.2fx, throughput %.2fx\n", f.medUs / q.medUs,
                  f.p99Us / q.p99Us, f.cpuUsPerCode / q.cpuUsPerCode, f.codesPerS / q.codesPerS);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--reader") == 0) {
    int qtArgc = 1;
    return std::strcmp(argv[2], "form") == 0 ? RunForm(qtArgc, argv, argv[3]) : RunQSerialPort(qtArgc, argv, argv[3]);
  }
#ifndef QV_HAVE_QTSERIALPORT
  std::fprintf(stderr, "gui_path: built without Qt's serial port module (qt6-serialport-dev)\n");
  return 2;
#endif
  int codes = 2000, reps = 3, idleS = 5, flood = 20000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (opt == "--codes") codes = v;
    else if (opt == "--reps") reps = v;
    else if (opt == "--idle") idleS = v;
    else if (opt == "--flood") flood = v;
  }
  return Drive(argv[0], codes, reps, idleS, flood);
}
