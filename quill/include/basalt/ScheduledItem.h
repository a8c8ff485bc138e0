// The counted handle of a pending operation. Whoever starts an operation hands
// one out; whoever finishes it calls Complete. Waiting uses atomic wait/notify,
// so the handle costs one word of state and no mutex.
#pragma once

#include <atomic>
#include <cstdint>

#include "basalt/Object.h"

namespace Basalt::System {

class ScheduledItem : public ObjectImpl {
 public:
  enum class State : std::uint32_t { Pending = 0, Completed = 1, Canceled = 2 };

  ScheduledItem() = default;
  ~ScheduledItem() override;

  State GetState() const noexcept { return static_cast<State>(_state.load(std::memory_order_acquire)); }
  bool IsPending() const noexcept { return GetState() == State::Pending; }

  // Moves a pending item to Canceled; false when it had already finished.
  // Subclasses that can abort their work extend this.
  virtual bool Cancel();
  // Moves a pending item to Completed; false when it had already finished
  // (a cancel won the race). Wakes all waiters.
  bool Complete() noexcept;
  // Blocks until the item is no longer pending.
  void Wait() const noexcept;

 protected:
  bool Finish(State to) noexcept;

 private:
  std::atomic<std::uint32_t> _state{0};
};

}  // namespace Basalt::System
