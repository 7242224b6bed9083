// The application object hosted by Qt's event loop, and the Qt message box behind MessageBoxA.
#include "platform/qt/forms.h"

#include "platform/serial/winserial.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace qv::platform {
namespace {

bool OnGuiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

int ShowBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
  QMessageBox box(WidgetOfWindow(owner));
  box.setWindowTitle(QString::fromUtf8(caption.c_str()));
  box.setText(QString::fromUtf8(text.c_str()));
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONASTERISK: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  struct Choice {
    QMessageBox::StandardButton button;
    int id;
  };
  std::vector<Choice> choices;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case MB_ABORTRETRYIGNORE:
      choices = {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
      break;
    case MB_YESNOCANCEL:
      choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    case MB_YESNO: choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
    case MB_RETRYCANCEL: choices = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; break;
    default: choices = {{QMessageBox::Ok, IDOK}}; break;
  }
  QMessageBox::StandardButtons buttons;
  for (const Choice& c : choices) buttons |= c.button;
  box.setStandardButtons(buttons);
  box.setDefaultButton(choices.front().button);
  const int pressed = box.exec();
  for (const Choice& c : choices)
    if (pressed == c.button) return c.id;
  // Closed with the window's close button: the cancel choice when there is one.
  for (const Choice& c : choices)
    if (c.id == IDCANCEL) return IDCANCEL;
  return choices.front().id;
}

// A box asked for from another thread is shown by the GUI thread when it gets to it; the asking
// thread does not wait for the user (it may be a port thread the GUI thread is about to stop).
int MessageBoxHookFn(HWND owner, const std::string& text, const std::string& caption, UINT type) {
  if (OnGuiThread()) return ShowBox(owner, text, caption, type);
  if (qApp)
    QMetaObject::invokeMethod(qApp, [=] { ShowBox(owner, text, caption, type); }, Qt::QueuedConnection);
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
    case MB_RETRYCANCEL:
    case MB_YESNOCANCEL: return IDCANCEL;
    case MB_YESNO: return IDNO;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    default: return IDOK;
  }
}

BOOL DialogHookFn(const char* name, HWND owner, COMMCONFIG* config) {
  if (!OnGuiThread()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return PortSettingsDialog(name, owner, config);
}

// Serves the application's loop; an exception leaving it is shown, and the descriptor is woken
// again so that what was still queued behind the failing message is served too.
void Serve() {
  if (!Application) return;
  try {
    Application->ProcessMessages();
  } catch (...) {
    Application->HandleException(Application);
    WakeThreadQueue(Application->MainThreadId());
  }
  if (Application->Terminated()) QCoreApplication::quit();
}

// SIGTERM, SIGINT and SIGHUP arrive through a pipe, so the windows close on the GUI thread.
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char c = 1;
  (void)!write(gSignalPipe[1], &c, 1);
  errno = saved;
}

}  // namespace

struct TGuiApplication::Impl {
  std::unique_ptr<QApplication> qt;
  std::unique_ptr<TApplication> app;
  std::unique_ptr<QSocketNotifier> notifier;
  std::unique_ptr<QSocketNotifier> signalNotifier;
  MessageBoxHook previousBox;
};

TGuiApplication::TGuiApplication(int& argc, char** argv) : impl_(new Impl) {
  if (!QApplication::instance()) impl_->qt = std::make_unique<QApplication>(argc, argv);
  if (!Application) impl_->app = std::make_unique<TApplication>();
  impl_->notifier = std::make_unique<QSocketNotifier>(Application->WakeFd(), QSocketNotifier::Read);
  QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [] { Serve(); });
  impl_->previousBox = SetMessageBoxHook(MessageBoxHookFn);
  SetCommConfigDialogHook(DialogHookFn);
  // Whatever is already waiting is served on the first turn of the loop.
  WakeThreadQueue(Application->MainThreadId());
}

void TGuiApplication::CloseOnSignals() {
  if (impl_->signalNotifier || pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  impl_->signalNotifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
  QObject::connect(impl_->signalNotifier.get(), &QSocketNotifier::activated, [] {
    char buf[16];
    while (read(gSignalPipe[0], buf, sizeof buf) > 0) {
    }
    // As if the user closed the windows: the form's close handling runs.
    QApplication::closeAllWindows();
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

TGuiApplication::~TGuiApplication() {
  if (impl_->signalNotifier) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) std::signal(sig, SIG_DFL);
    impl_->signalNotifier.reset();
    close(gSignalPipe[0]);
    close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
  }
  impl_->notifier.reset();
  SetCommConfigDialogHook({});
  SetMessageBoxHook(impl_->previousBox);
  impl_->app.reset();
  impl_->qt.reset();
}

int TGuiApplication::Run(TForm* mainForm) {
  if (Application->Terminated()) return 0;
  if (mainForm) mainForm->Show();
  return QApplication::exec();
}

}  // namespace qv::platform
