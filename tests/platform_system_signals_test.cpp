// Termination signals as something a loop waits for: the caught signal, its event, the
// handlers given back.
#include "platform/system/signals.h"
#include "platform/win32/winbase.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

namespace pf = qv::platform;

TEST(SignalWatch, ACaughtSignalSetsTheEventAndEndsTheWaitAndTheHandlerGoesBack) {
  {
    pf::TSignalWatch watch({SIGUSR1});
    const HANDLE event = watch.Event();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(watch.Wait(20), 0);
    // Raised while another thread waits for the event: the wait sees it through the
    // signals' descriptor.
    std::thread raiser([] {
      Sleep(30);
      raise(SIGUSR1);
    });
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    raiser.join();
    EXPECT_EQ(watch.Received(), SIGUSR1);
    EXPECT_EQ(watch.Wait(-1), SIGUSR1);
  }
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);

  // Asked for after the signal came, the event is set already.
  pf::TSignalWatch watch({SIGUSR1});
  raise(SIGUSR1);
  EXPECT_EQ(WaitForSingleObject(watch.Event(), 0), WAIT_OBJECT_0);
}
