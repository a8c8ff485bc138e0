#include "basalt/ScheduledItem.h"

namespace Basalt::System {

ScheduledItem::~ScheduledItem() = default;

bool ScheduledItem::Finish(State to) noexcept {
  std::uint32_t expected = static_cast<std::uint32_t>(State::Pending);
  if (!_state.compare_exchange_strong(expected, static_cast<std::uint32_t>(to),
                                      std::memory_order_acq_rel)) {
    return false;
  }
  _state.notify_all();
  return true;
}

bool ScheduledItem::Cancel() { return Finish(State::Canceled); }
bool ScheduledItem::Complete() noexcept { return Finish(State::Completed); }

void ScheduledItem::Wait() const noexcept {
  _state.wait(static_cast<std::uint32_t>(State::Pending), std::memory_order_acquire);
}

}  // namespace Basalt::System
