// The kernel's futex, used directly where a thread sleeps on one 32-bit word.
// Not for use outside platform/.
//
// std::atomic::wait would do, but libstdc++ spins first with sched_yield, a dozen calls per
// wait: on a hand-over that sleeps once per barcode that is most of the waiter's CPU time,
// and on one CPU the yields hand the processor around before the waker has finished.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform::internal {

// Sleeps while word holds expected (returns at once when it does not, or on a spurious
// wake-up: callers look again).
// With a timeout, at most that long (relative; null for none).
inline void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                      const struct timespec* timeout = nullptr) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout,
          nullptr, 0);
}

// Wakes up to count sleepers of word.
inline void FutexWake(std::atomic<std::uint32_t>& word, int count = 1) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
}

}  // namespace qv::platform::internal

#pragma GCC visibility pop
