// The simulator's events: what happened in the inventory, kept in order and
// served by the catalogue's event manager ("EventManager") and the history
// collectors it makes.
//
// Events are made in two places only, so that an operation added to the
// simulator gets its events without a line of its own:
//   - a task's end (the task manager reports it as a change of the task's
//     `info`): one event per task, of the type its description id maps to
//     (VirtualMachine.powerOn: VmPoweredOnEvent, or VmFailedToPowerOnEvent
//     when it failed; an unmapped one: TaskEvent), with the user who started it;
//   - a change of the inventory made directly inside a call (not by a task):
//     one GeneralUserEvent per call, naming the method and its target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Inventory.h"
#include "quill/LocalAdapter.h"
#include "tarn/event/Event.h"

namespace Tarn::Sim {

class EventLog {
 public:
  // Keeps the newest `keep` events; older ones drop out of queries and collectors.
  EventLog(Quill::LocalAdapter* adapter, Inventory* inventory, std::size_t keep);
  ~EventLog();
  EventLog(EventLog const&) = delete;
  EventLog& operator=(EventLog const&) = delete;

  // Registers "EventManager" and watches the adapter for tasks ending.
  void Start();
  Basalt::Ref<Quill::MoRef> GetManagerRef() const;

  // Called by the privilege checker before every call: counts calls on this
  // thread, so that several inventory changes of one call make one event.
  static void NoteCall() noexcept;
  // From the inventory's change listener, under the inventory's lock.
  void OnInventoryChange(Quill::MoRef const& ref);

  // Stamps the event (key, time, chain) and keeps it; answers its key.
  int Add(Basalt::Ref<Tarn::Event::Event> event);
  // Events with keys in [from, to), oldest first, at most `max` of them taken
  // from the newer end when `newest`, else from the older end.
  std::vector<Basalt::Ref<Tarn::Event::Event>> Range(int from, int to, std::size_t max, bool newest) const;
  int FirstKey() const;  // the oldest kept
  int NextKey() const;   // the one the next event gets
  Basalt::Ref<Tarn::Event::Event> Latest() const;
  std::size_t GetCount() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> _impl;
};

// The WSDL names of the event types tasks end with (a name the catalogue lacks would
// quietly make a TaskEvent).
std::vector<char const*> TaskEventTypeNames();

}  // namespace Tarn::Sim
