#include "platform/rtl/application.h"

#include "platform/rtl/internal/handover.h"
#include "platform/rtl/threads.h"
#include "platform/win32/internal/queues.h"
#include "platform/win32/winbase.h"

#include <cerrno>

TApplication* Application = nullptr;

namespace {
std::string ProgramName() {
  const char* name = program_invocation_short_name;
  return name && *name ? name : "Application";
}
}  // namespace

TApplication::TApplication(TComponent* AOwner)
    : TComponent(AOwner), mainThreadId_(GetCurrentThreadId()) {
  // The queue exists from now on, so posts to the main thread have somewhere to go; its
  // descriptor is made only when a foreign loop asks for it (WakeFd).
  qv::platform::internal::CreateQueue();
  qv::platform::internal::SetMainThreadId(mainThreadId_);
  Title = ProgramName();
  if (!Application) Application = this;
}

TApplication::~TApplication() {
  DestroyComponents();
  // Nobody runs this loop any more: what it watched goes back to the threads that asked.
  if (GetCurrentThreadId() == mainThreadId_) qv::platform::internal::DropWatches();
  if (Application == this) Application = nullptr;
}

int TApplication::WakeFd() const { return qv::platform::ThreadWakeFd(mainThreadId_); }

void TApplication::ProcessMessages() {
  if (GetCurrentThreadId() != mainThreadId_) return;
  // A caller that only pumps never sleeps in the loop, where the watched objects' sources are
  // polled.
  qv::platform::internal::PollWatchesNow();
  ServePending();
}

bool TApplication::ServePending() {
  qv::platform::DrainThisThreadWake();
  bool served = CheckSynchronize();
  // PeekMessage serves the hand-overs again before it looks; with nothing in the queue that
  // second round is skipped.
  MSG msg;
  while (qv::platform::internal::QueueHasWork() && PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
    served = true;
    if (msg.message == WM_QUIT) {
      Terminate();
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return served;
}

void TApplication::HandleMessage() {
  if (GetCurrentThreadId() != mainThreadId_) return;
  for (;;) {
    qv::platform::DrainThisThreadWake();
    const bool ran = CheckSynchronize();
    MSG msg;
    if (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        Terminate();
      } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      return;
    }
    if (ran || Terminated()) return;
    qv::platform::internal::WaitForQueue(-1);
  }
}

bool TApplication::WaitAndProcess(DWORD timeoutMs) {
  if (GetCurrentThreadId() != mainThreadId_) return false;
  qv::platform::Deadline deadline(timeoutMs);
  for (;;) {
    // Serving consumes the wake-up before it looks, so work that arrives afterwards wakes the
    // wait; it looks at everything pending, so a wake-up with work costs no separate look.
    if (ServePending()) return true;
    if (Terminated()) return false;
    const int ms = deadline.RemainingMs();
    if (ms == 0) return false;
    qv::platform::internal::WaitForQueue(ms);
  }
}

void TApplication::Run() {
  if (GetCurrentThreadId() != mainThreadId_) return;
  while (!Terminated()) WaitAndProcess(INFINITE);
}

void TApplication::Terminate() {
  terminated_.store(true);
  qv::platform::WakeThreadQueue(mainThreadId_);
}

void TApplication::HandleException(TObject* Sender) {
  std::exception_ptr current = std::current_exception();
  if (!current) return;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    if (OnException)
      OnException(Sender, e);
    else
      ShowException(e);
  } catch (...) {
    Exception e("Unknown exception");
    if (OnException)
      OnException(Sender, e);
    else
      ShowException(e);
  }
}

void TApplication::ShowException(const std::exception& E) {
  if (auto* ex = dynamic_cast<const Exception*>(&E))
    ShowException(ex->Message());
  else
    ShowException(std::string(E.what()));
}

void TApplication::ShowException(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  MessageBoxA(mainForm_, text.c_str(), Title.c_str(), MB_OK | MB_ICONSTOP);
}

void TApplication::SetMainFormHandle(HWND hwnd) {
  mainForm_ = hwnd;
  SetForegroundWindow(hwnd);
}
