// The application object: the main thread's loop, the one-shot pump and the default
// exception display.
//
// The main thread is the thread that creates the TApplication. Its loop runs hand-overs from
// other threads (TThread::Synchronize), the messages posted to the main thread and its due
// timers. WakeFd() becomes readable whenever any of these is waiting, so a foreign event loop
// (Qt) can host the application with a socket notifier and call ProcessMessages when it fires;
// an idle loop sleeps in the kernel.
#pragma once

#include "platform/rtl/component.h"
#include "platform/win32/winuser.h"

#include <atomic>
#include <exception>
#include <string>

using TExceptionEvent = TMethod<void(TObject* Sender, const std::exception& E)>;

// Main thread only, except Terminate, Terminated, MainThreadId and WakeFd (any thread).
class TApplication : public TComponent {
 public:
  // Becomes the global Application (when there is none yet) and makes the calling thread the
  // main thread.
  explicit TApplication(TComponent* AOwner = nullptr);
  ~TApplication() override;

  void Initialize() {}
  // Runs the loop until Terminate (or WM_QUIT on the main thread).
  void Run();
  // Serves everything pending (hand-overs, posted messages, due timers), never waits. Does
  // nothing on another thread.
  void ProcessMessages();
  // Waits until something is pending (sleeping in the kernel), then handles one message
  // together with the pending hand-overs.
  void HandleMessage();
  // Waits up to timeoutMs (INFINITE: no limit) for work, then serves everything pending.
  // True when anything was waiting. Returns early when Terminate is called.
  bool WaitAndProcess(DWORD timeoutMs);

  // Any thread: ends Run and an ongoing WaitAndProcess.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }

  // Any thread.
  DWORD MainThreadId() const { return mainThreadId_; }
  int WakeFd() const;

  // Call from a catch block: passes the current exception to OnException when assigned, else
  // to ShowException. Non-standard exceptions are shown as "Unknown exception".
  void HandleException(TObject* Sender);
  // The standard exception box: the message (with a final '.' added unless it ends with one
  // or another punctuation mark), the Title as caption, a stop icon and an OK button.
  void ShowException(const std::exception& E);
  void ShowException(const std::string& message);
  TExceptionEvent OnException;

  // Caption of the exception box; the program's name by default.
  std::string Title;
  // The main form's window (also what GetForegroundWindow reports).
  HWND MainFormHandle() const { return mainForm_; }
  void SetMainFormHandle(HWND hwnd);

 private:
  // ProcessMessages once the loop has polled what it watches; true when anything was served.
  bool ServePending();
  DWORD mainThreadId_;
  std::atomic<bool> terminated_{false};
  HWND mainForm_ = 0;
};

// The application object, or null when the program has none (console programs and tests
// without one: the dispatch threads then run their handlers themselves). Set by the first
// TApplication before other threads look at it; cleared by its destructor.
extern TApplication* Application;
