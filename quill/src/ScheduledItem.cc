#include "basalt/ScheduledItem.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace Basalt::System {

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
                  sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the state word doubles as a futex word");

std::uint32_t* Word(std::atomic<std::uint32_t>& a) noexcept { return reinterpret_cast<std::uint32_t*>(&a); }

// Sleeps while *word == expected, until woken or the absolute monotonic
// deadline passes. Spurious returns are fine: the caller loops.
void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, timespec const* deadline) noexcept {
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, so a loop that
  // wakes spuriously does not stretch the deadline.
  syscall(SYS_futex, Word(word), FUTEX_WAIT_BITSET_PRIVATE, expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void FutexWakeAll(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, Word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

ScheduledItem::~ScheduledItem() = default;

bool ScheduledItem::Finish(State to) noexcept {
  std::uint32_t cur = _state.load(std::memory_order_relaxed);
  do {
    if ((cur & kStateMask) != static_cast<std::uint32_t>(State::Pending)) return false;
  } while (!_state.compare_exchange_weak(cur, static_cast<std::uint32_t>(to), std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  // Only pay for the system call when a waiter announced itself.
  if (cur & kWaiters) FutexWakeAll(_state);
  return true;
}

bool ScheduledItem::Cancel() { return Finish(State::Canceled); }
bool ScheduledItem::Complete() noexcept { return Finish(State::Completed); }

bool ScheduledItem::Sleep(std::chrono::steady_clock::time_point const* deadline) const noexcept {
  timespec abs{};
  if (deadline) {
    // steady_clock is CLOCK_MONOTONIC on Linux.
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
    if (ns < 0) ns = 0;
    abs.tv_sec = static_cast<time_t>(ns / 1000000000);
    abs.tv_nsec = static_cast<long>(ns % 1000000000);
  }
  std::uint32_t cur = _state.load(std::memory_order_acquire);
  while ((cur & kStateMask) == static_cast<std::uint32_t>(State::Pending)) {
    if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
    if (!(cur & kWaiters)) {
      if (!_state.compare_exchange_weak(cur, cur | kWaiters, std::memory_order_acquire)) continue;
      cur |= kWaiters;
    }
    FutexWait(_state, cur, deadline ? &abs : nullptr);
    cur = _state.load(std::memory_order_acquire);
  }
  return true;
}

void ScheduledItem::Wait() const noexcept { Sleep(nullptr); }

bool ScheduledItem::WaitUntil(std::chrono::steady_clock::time_point deadline) const noexcept {
  return Sleep(&deadline);
}

bool ScheduledItem::WaitFor(std::chrono::nanoseconds timeout) const noexcept {
  if (timeout <= std::chrono::nanoseconds::zero()) return IsDone();
  auto now = std::chrono::steady_clock::now();
  // A timeout past the clock's range (nanoseconds::max(), say) means no deadline:
  // adding it would overflow.
  if (timeout > std::chrono::steady_clock::time_point::max() - now) {
    Wait();
    return true;
  }
  return WaitUntil(now + timeout);
}

}  // namespace Basalt::System
