// The counted handle of a pending operation. Whoever starts an operation hands
// one out; whoever finishes it calls Complete (or Finish). The handle costs one
// word of state and no mutex: waiters sleep on that word through the kernel's
// futex, with or without a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "basalt/Object.h"

namespace Basalt::System {

class ScheduledItem : public ObjectImpl {
 public:
  enum class State : std::uint32_t { Pending = 0, Completed = 1, Canceled = 2 };

  ScheduledItem() = default;
  ~ScheduledItem() override;

  State GetState() const noexcept { return static_cast<State>(_state.load(std::memory_order_acquire) & kStateMask); }
  bool IsPending() const noexcept { return GetState() == State::Pending; }
  // Completed or canceled. Everything the finisher wrote before finishing is
  // visible to a thread that has seen IsDone() answer true.
  bool IsDone() const noexcept { return !IsPending(); }

  // Asks for the operation to be abandoned. Here: moves a pending item to
  // Canceled, false when it had already finished. Subclasses that run the
  // operation themselves decide when the item actually finishes.
  virtual bool Cancel();
  // Moves a pending item to Completed; false when it had already finished
  // (a cancel won the race). Wakes all waiters.
  bool Complete() noexcept;
  // Blocks until the item is no longer pending.
  void Wait() const noexcept;
  // Blocks until the item is done or the time is up; true when it is done.
  // A zero or negative timeout only looks; one beyond the clock's range
  // (nanoseconds::max()) waits without a deadline.
  bool WaitFor(std::chrono::nanoseconds timeout) const noexcept;
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) const noexcept;

 protected:
  // Pending -> `to` (Completed or Canceled), waking all waiters; false when
  // the item had already finished.
  bool Finish(State to) noexcept;

 private:
  static constexpr std::uint32_t kStateMask = 0x3;
  static constexpr std::uint32_t kWaiters = 0x80000000u;  // somebody sleeps on the word
  // `deadline` null: no deadline.
  bool Sleep(std::chrono::steady_clock::time_point const* deadline) const noexcept;

  mutable std::atomic<std::uint32_t> _state{0};
};

}  // namespace Basalt::System
