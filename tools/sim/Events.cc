#include "Events.h"

#include <algorithm>
#include <atomic>

#include "Objects.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskSkeleton.h"
#include "tarn/event/ComputeResourceEventArgument.h"
#include "tarn/event/DatacenterEventArgument.h"
#include "tarn/event/DatastoreEventArgument.h"
#include "tarn/event/EventDescription.h"
#include "tarn/event/EventFilterSpec.h"
#include "tarn/event/EventHistoryCollectorSkeleton.h"
#include "tarn/event/EventManagerSkeleton.h"
#include "tarn/event/HostEventArgument.h"
#include "tarn/event/LastEventFilterSpec.h"
#include "tarn/event/NetworkEventArgument.h"
#include "tarn/event/VmEventArgument.h"
#include "tarn/fault/InvalidState.h"

namespace Tarn::Sim {

using Basalt::Ref;
using Quill::MoRef;
using Tarn::Event::Event;

namespace {

thread_local std::uint64_t tCallSeq = 0;       // calls begun on this thread
thread_local std::uint64_t tLastEventSeq = 0;  // the last of them that made an event

constexpr std::size_t kMaxCollectors = 256;
constexpr int kMaxPage = 1000;

// The event type of a task's end, by description id and (when given) the type
// of the task's entity; what is not here is a TaskEvent.
struct TaskEventType {
  char const* descriptionId;
  char const* entityType;  // null: any
  char const* success;
  char const* failure;  // null: TaskEvent
};
TaskEventType const kTaskEvents[] = {
    {"VirtualMachine.powerOn", nullptr, "VmPoweredOnEvent", "VmFailedToPowerOnEvent"},
    {"VirtualMachine.powerOff", nullptr, "VmPoweredOffEvent", "VmFailedToPowerOffEvent"},
    {"VirtualMachine.suspend", nullptr, "VmSuspendedEvent", "VmFailedToSuspendEvent"},
    {"VirtualMachine.reset", nullptr, "VmResettingEvent", "VmFailedToResetEvent"},
    {"VirtualMachine.shutdownGuest", nullptr, "VmGuestShutdownEvent", "VmFailedToShutdownGuestEvent"},
    {"VirtualMachine.rebootGuest", nullptr, "VmGuestRebootEvent", "VmFailedToRebootGuestEvent"},
    {"VirtualMachine.reconfigure", nullptr, "VmReconfiguredEvent", nullptr},
    {"VirtualMachine.clone", nullptr, "VmClonedEvent", "VmCloneFailedEvent"},
    {"VirtualMachine.relocate", nullptr, "VmRelocatedEvent", "VmRelocateFailedEvent"},
    {"Folder.createVm", nullptr, "VmCreatedEvent", nullptr},
    {"Folder.registerVm", nullptr, "VmRegisteredEvent", nullptr},
    {"ManagedEntity.rename", "tarn.VirtualMachine", "VmRenamedEvent", nullptr},
    {"ManagedEntity.rename", "tarn.Datacenter", "DatacenterRenamedEvent", nullptr},
    {"ManagedEntity.rename", "tarn.Datastore", "DatastoreRenamedEvent", nullptr},
    {"ManagedEntity.destroy", "tarn.VirtualMachine", "VmRemovedEvent", nullptr},
    {"ManagedEntity.destroy", "tarn.ResourcePool", "ResourcePoolDestroyedEvent", nullptr},
    {"HostSystem.enterMaintenanceMode", nullptr, "EnteredMaintenanceModeEvent", nullptr},
    {"HostSystem.exitMaintenanceMode", nullptr, "ExitMaintenanceModeEvent", nullptr},
    {"HostSystem.disconnect", nullptr, "HostDisconnectedEvent", nullptr},
    {"HostSystem.reconnect", nullptr, "HostConnectedEvent", "HostReconnectionFailedEvent"},
};

// A new event of the named type (its WSDL name); TaskEvent if the catalogue has no such event.
Ref<Event> MakeEvent(char const* wsdlName) {
  static Quill::DataObjectType* const base = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.event.Event"));
  if (wsdlName) {
    Quill::Type* t = Quill::FindType(std::string("tarn.event.") + wsdlName);
    if (t && (t->GetKind() == Quill::KIND_DATA)) {
      auto* dt = static_cast<Quill::DataObjectType*>(t);
      if (dt->IsSubtypeOf(base)) return Ref<Event>(static_cast<Event*>(dt->Create()));
    }
  }
  return MakeEvent("TaskEvent");
}

std::string UserOf(Quill::RequestContext* context) {
  Ref<Quill::Any> user = context ? context->Get(kUserKey) : nullptr;
  return user ? Quill::Unbox<std::string>(user.get()) : std::string();
}

// Marks which kinds of entity the event is about, as its arguments do: the
// entity, where it lies in the tree and, for a machine, its host and cluster.
void SetArguments(Event* event, Inventory* inventory, std::string const& id) {  // under the inventory's lock
  Entity* e = inventory->Find(id);
  std::vector<Entity*> chain;
  for (Entity* at = e; at; at = at->parent) chain.push_back(at);
  if (e && e->kind == Kind::Vm) {
    for (Entity* at = static_cast<VmEntity*>(e)->host; at; at = at->parent) chain.push_back(at);
  }
  for (Entity* at : chain) {
    switch (at->kind) {
      case Kind::Vm:
        event->vm = new Tarn::Event::VmEventArgument();
        break;
      case Kind::Host:
        event->host = new Tarn::Event::HostEventArgument();
        break;
      case Kind::Cluster:
        event->computeResource = new Tarn::Event::ComputeResourceEventArgument();
        break;
      case Kind::Datacenter:
        event->datacenter = new Tarn::Event::DatacenterEventArgument();
        break;
      case Kind::Datastore:
        event->ds = new Tarn::Event::DatastoreEventArgument();
        break;
      case Kind::Network:
        event->net = new Tarn::Event::NetworkEventArgument();
        break;
      default:
        break;
    }
  }
}

Ref<Quill::DataArray<Event>> ToArray(std::vector<Ref<Event>> const& events) {
  Ref<Quill::DataArray<Event>> out(new Quill::DataArray<Event>());
  for (auto const& e : events) out->Append(Quill::Clone(e.get()).get());
  return out;
}

[[noreturn]] void BadCount(char const* name) {
  Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
  fault->invalidProperty = Quill::PropertyPath(name);
  fault->Throw();
  __builtin_unreachable();
}

}  // namespace

struct EventLog::Impl : std::enable_shared_from_this<EventLog::Impl> {
  // What the drain turns into events, in the order it happened.
  struct Pending {
    bool taskEnd = false;
    Ref<MoRef> ref;  // the task, or the call's target
    std::string method;
    std::string user;
    std::string name;  // the target's name
  };

  Quill::LocalAdapter* adapter;
  Inventory* inventory;
  std::size_t keep;
  Ref<MoRef> managerRef{new MoRef("tarn.event.EventManager", "EventManager")};

  mutable std::mutex mutex;
  std::deque<Ref<Event>> events;
  int firstKey = 1;
  std::vector<Ref<MoRef>> collectors;

  std::mutex pendingMutex;
  std::vector<Pending> pending;
  bool draining = false;
  std::unordered_map<std::string, std::string> taskUsers;  // task id: who started it
  std::atomic<bool> stopped{false};

  Impl(Quill::LocalAdapter* a, Inventory* i, std::size_t k)
      : adapter(a), inventory(i), keep(std::max<std::size_t>(k, 1)) {}

  int Add(Ref<Event> event) {
    std::vector<Ref<MoRef>> toTell;
    int key;
    {
      std::lock_guard<std::mutex> lock(mutex);
      key = firstKey + int(events.size());
      event->key = key;
      if (event->chainId == 0) event->chainId = key;
      if (event->createdTime.GetUtcTime() == 0) event->createdTime = Basalt::System::DateTime::Now();
      events.push_back(std::move(event));
      while (events.size() > keep) {
        events.pop_front();
        ++firstKey;
      }
      toTell = collectors;
    }
    adapter->NotifyChanged(managerRef.get(), {"latestEvent"});
    for (auto const& c : toTell) adapter->NotifyChanged(c.get(), {"latestPage"});
    return key;
  }

  std::vector<Ref<Event>> Range(int from, int to, std::size_t max, bool newest) const {
    std::lock_guard<std::mutex> lock(mutex);
    from = std::max(from, firstKey);
    to = std::min(to, firstKey + int(events.size()));
    std::vector<Ref<Event>> out;
    if (from >= to || max == 0) return out;
    std::size_t n = std::min<std::size_t>(max, std::size_t(to - from));
    int start = newest ? to - int(n) : from;
    for (int k = start; k < start + int(n); ++k) out.push_back(events[std::size_t(k - firstKey)]);
    return out;
  }

  void Queue(Pending p) {
    std::lock_guard<std::mutex> lock(pendingMutex);
    if (stopped.load()) return;
    pending.push_back(std::move(p));
    if (draining) return;
    draining = true;
    try {
      adapter->Post([self = shared_from_this()](bool canceled) { self->Drain(canceled); });
    } catch (...) {  // shut down: nobody reads events any more
      pending.clear();
      draining = false;
    }
  }

  void Drain(bool canceled) {
    for (;;) {
      std::vector<Pending> batch;
      {
        std::lock_guard<std::mutex> lock(pendingMutex);
        if (pending.empty() || canceled) {
          pending.clear();
          draining = false;
          return;
        }
        batch.swap(pending);
      }
      for (Pending& p : batch) {
        Ref<Event> e = p.taskEnd ? FromTask(p) : FromCall(p);
        if (e) Add(e);
      }
    }
  }

  Ref<Event> FromTask(Pending& p) {
    Ref<Quill::ManagedObject> object = adapter->Find(p.ref.get());
    auto* task = dynamic_cast<Tarn::TaskSkeleton*>(object.get());
    if (!task) return nullptr;
    Ref<Tarn::TaskInfo> info;
    task->GetInfo(info);
    bool ok = info->state == Tarn::TaskInfo::State::success;
    if (!ok && info->state != Tarn::TaskInfo::State::error) return nullptr;
    {
      std::lock_guard<std::mutex> lock(pendingMutex);
      auto it = taskUsers.find(p.ref->GetId());
      if (it == taskUsers.end()) return nullptr;  // already reported
      p.user = it->second;
      taskUsers.erase(it);
    }
    std::string entityType = info->entity ? info->entity->GetTypeName() : std::string();
    char const* type = nullptr;
    for (TaskEventType const& t : kTaskEvents) {
      if (info->descriptionId == t.descriptionId && (!t.entityType || entityType == t.entityType)) {
        type = ok ? t.success : t.failure;
        break;
      }
    }
    Ref<Event> e = MakeEvent(type);
    e->userName = p.user;
    std::string what = info->descriptionId + (ok ? " completed" : " failed");
    if (!ok && info->error) what += std::string(": ") + info->error->_GetType()->GetName();
    std::string subject;
    if (info->entity) {
      std::lock_guard<std::mutex> lock(inventory->Mutex());
      Entity* entity = inventory->Find(info->entity->GetId());
      subject = (entity ? entity->name : std::string()) + " (" + info->entity->GetId() + ")";
      SetArguments(e.get(), inventory, info->entity->GetId());
    }
    e->fullFormattedMessage = subject.empty() ? what : subject + ": " + what;
    return e;
  }

  Ref<Event> FromCall(Pending& p) {
    Ref<Event> e = MakeEvent("GeneralUserEvent");
    e->userName = p.user;
    if (p.ref) {
      std::lock_guard<std::mutex> lock(inventory->Mutex());
      SetArguments(e.get(), inventory, p.ref->GetId());
      e->fullFormattedMessage = p.name + " (" + p.ref->GetId() + "): " + p.method;
    } else {
      e->fullFormattedMessage = p.method;
    }
    return e;
  }
};

namespace {

// Tasks: who started each one (its registration happens inside the call that
// starts it), and their end.
class TaskWatcher final : public Quill::AdapterObserver {
 public:
  explicit TaskWatcher(std::weak_ptr<EventLog::Impl> log) : _log(std::move(log)) {}

  void OnRegistered(MoRef const& ref) override {
    if (ref.GetTypeName() != "tarn.Task") return;
    auto log = _log.lock();
    if (!log) return;
    Quill::CallInfo const* call = Quill::LocalAdapter::CurrentCall();
    std::lock_guard<std::mutex> lock(log->pendingMutex);
    log->taskUsers[ref.GetId()] = call ? UserOf(call->context) : std::string();
  }
  void OnUnregistered(MoRef const& ref) override {
    if (ref.GetTypeName() != "tarn.Task") return;
    if (auto log = _log.lock()) {
      std::lock_guard<std::mutex> lock(log->pendingMutex);
      log->taskUsers.erase(ref.GetId());
    }
  }
  void OnChanged(MoRef const& ref, std::vector<std::string> const& paths) override {
    if (ref.GetTypeName() != "tarn.Task") return;
    if (!paths.empty() && std::find(paths.begin(), paths.end(), "info") == paths.end()) return;
    if (auto log = _log.lock()) {
      EventLog::Impl::Pending p;
      p.taskEnd = true;
      p.ref = new MoRef(ref);
      log->Queue(std::move(p));
    }
  }
  void OnShutdown() override {
    if (auto log = _log.lock()) log->stopped = true;
  }

 private:
  std::weak_ptr<EventLog::Impl> _log;
};

class CollectorImpl final : public Tarn::Event::EventHistoryCollectorSkeleton {
 public:
  CollectorImpl(MoRef* ref, std::shared_ptr<EventLog::Impl> log, Ref<Quill::Any> filter)
      : EventHistoryCollectorSkeleton(ref), _log(std::move(log)), _filter(std::move(filter)) {
    std::lock_guard<std::mutex> lock(_log->mutex);
    _position = _log->firstKey + int(_log->events.size());
  }

  void GetFilter(Ref<Quill::Any>& result) override {
    if (_filter) result = Quill::Clone(_filter.get());
  }
  void SetLatestPageSize(int maxCount) override {
    if (maxCount < 0 || maxCount > kMaxPage) BadCount("maxCount");
    {
      std::lock_guard<std::mutex> lock(_mutex);
      _pageSize = maxCount;
    }
    _log->adapter->NotifyChanged(_GetRef(), {"latestPage"});
  }
  void Rewind() override {
    std::lock_guard<std::mutex> lock(_mutex);
    _position = 0;  // before the oldest kept, whichever that is when read
  }
  void Reset() override {
    int next;
    {
      std::lock_guard<std::mutex> lock(_log->mutex);
      next = _log->firstKey + int(_log->events.size());
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _position = next;
  }
  void Remove() override {
    {
      std::lock_guard<std::mutex> lock(_log->mutex);
      auto& list = _log->collectors;
      list.erase(std::remove_if(list.begin(), list.end(), [this](Ref<MoRef> const& r) { return *r == *_GetRef(); }),
                 list.end());
    }
    _log->adapter->Unregister(_GetRef());
  }
  void GetLatestPage(Ref<Quill::DataArray<Event>>& result) override {
    std::size_t n;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      n = std::size_t(_pageSize);
    }
    result = ToArray(_log->Range(0, INT32_MAX, n, true));
  }
  // Newer events than the position, oldest first; the position moves past them.
  void ReadNext(int maxCount, Ref<Quill::DataArray<Event>>& result) override {
    if (maxCount <= 0 || maxCount > kMaxPage) BadCount("maxCount");
    std::lock_guard<std::mutex> lock(_mutex);
    auto events = _log->Range(_position, INT32_MAX, std::size_t(maxCount), false);
    if (!events.empty()) _position = events.back()->key + 1;
    result = ToArray(events);
  }
  // Older events than the position, oldest first; the position moves before them.
  void ReadPrev(int maxCount, Ref<Quill::DataArray<Event>>& result) override {
    if (maxCount <= 0 || maxCount > kMaxPage) BadCount("maxCount");
    std::lock_guard<std::mutex> lock(_mutex);
    auto events = _log->Range(0, _position, std::size_t(maxCount), true);
    if (!events.empty()) _position = events.front()->key;
    result = ToArray(events);
  }

 private:
  std::shared_ptr<EventLog::Impl> _log;
  Ref<Quill::Any> _filter;
  std::mutex _mutex;
  int _position;
  int _pageSize = 10;
};

class EventManagerImpl final : public Tarn::Event::EventManagerSkeleton {
 public:
  explicit EventManagerImpl(std::shared_ptr<EventLog::Impl> log)
      : EventManagerSkeleton(log->managerRef.get()), _log(std::move(log)) {}

  void GetDescription(Ref<Tarn::Event::EventDescription>& result) override {
    result = new Tarn::Event::EventDescription();
  }
  void GetLatestEvent(Ref<Event>& result) override {
    auto last = _log->Range(0, INT32_MAX, 1, true);
    if (!last.empty()) result = Quill::Clone(last.front().get());
  }
  int GetMaxCollector() override { return int(kMaxCollectors); }
  void RetrieveArgumentDescription(
      std::string const&, Ref<Quill::DataArray<Tarn::Event::EventDescription::EventArgDesc>>& result) override {
    result = new Quill::DataArray<Tarn::Event::EventDescription::EventArgDesc>();
  }

  // The catalogue's filter spec carries no criteria: every filter selects all kept events.
  void CreateCollector(Tarn::Event::EventFilterSpec* filter, Ref<MoRef>& result) override {
    Ref<MoRef> ref = _log->adapter->MakeRef("tarn.event.EventHistoryCollector");
    {
      std::lock_guard<std::mutex> lock(_log->mutex);
      if (_log->collectors.size() >= kMaxCollectors) {
        Ref<Tarn::Fault::InvalidState> fault(new Tarn::Fault::InvalidState());
        fault->Throw();
      }
      _log->collectors.push_back(ref);
    }
    Ref<Quill::Any> kept;
    if (filter) kept = Quill::Clone(filter);
    _log->adapter->Register(nullptr, new CollectorImpl(ref.get(), _log, kept));
    result = ref;
  }
  void QueryEvent(Tarn::Event::EventFilterSpec*, Ref<Quill::DataArray<Event>>& result) override {
    result = ToArray(_log->Range(0, INT32_MAX, std::size_t(kMaxPage), true));
  }
  void QueryEventsById(Quill::Array<int>* ids, Ref<Quill::DataArray<Event>>& result) override {
    result = new Quill::DataArray<Event>();
    if (!ids) return;
    for (int id : ids->GetValues()) {
      auto one = _log->Range(id, id + 1, 1, false);
      if (!one.empty()) result->Append(Quill::Clone(one.front().get()).get());
    }
  }
  void QueryLastEvent(Tarn::Event::LastEventFilterSpec*, Ref<Quill::DataArray<Event>>& result) override {
    result = ToArray(_log->Range(0, INT32_MAX, 1, true));
  }

  void LogUserEvent(MoRef* entity, std::string const& msg) override {
    Ref<Event> e = MakeEvent("GeneralUserEvent");
    e->userName = UserOf(Quill::LocalAdapter::CurrentCall()->context);
    {
      std::lock_guard<std::mutex> lock(_log->inventory->Mutex());
      Entity* found = entity ? _log->inventory->Find(entity->GetId()) : nullptr;
      if (!found || found->ref->GetTypeName() != entity->GetTypeName()) {
        Ref<Quill::Fault::ManagedObjectNotFound> fault(new Quill::Fault::ManagedObjectNotFound());
        fault->obj = entity;
        fault->Throw();
      }
      SetArguments(e.get(), _log->inventory, entity->GetId());
    }
    e->fullFormattedMessage = msg;
    _log->Add(e);
  }

  void PostEvent(Event* event, Tarn::TaskInfo*) override {
    Ref<Event> e = Quill::Clone(event);
    e->key = 0;
    e->chainId = 0;
    e->createdTime = Basalt::System::DateTime();
    if (e->userName.empty()) e->userName = UserOf(Quill::LocalAdapter::CurrentCall()->context);
    _log->Add(e);
  }

 private:
  std::shared_ptr<EventLog::Impl> _log;
};

}  // namespace

std::vector<char const*> TaskEventTypeNames() {
  std::vector<char const*> names;
  for (TaskEventType const& t : kTaskEvents) {
    names.push_back(t.success);
    if (t.failure) names.push_back(t.failure);
  }
  return names;
}

EventLog::EventLog(Quill::LocalAdapter* adapter, Inventory* inventory, std::size_t keep)
    : _impl(std::make_shared<Impl>(adapter, inventory, keep)) {}

EventLog::~EventLog() { _impl->stopped = true; }

void EventLog::Start() {
  _impl->adapter->AddObserver(std::make_shared<TaskWatcher>(_impl));
  _impl->adapter->Register(nullptr, new EventManagerImpl(_impl));
}

Ref<MoRef> EventLog::GetManagerRef() const { return _impl->managerRef; }

void EventLog::NoteCall() noexcept { ++tCallSeq; }

void EventLog::OnInventoryChange(MoRef const&) {
  Quill::CallInfo const* call = Quill::LocalAdapter::CurrentCall();
  if (!call || !call->method || call->method->IsProperty()) return;  // a task's work: its end reports it
  if (tLastEventSeq == tCallSeq) return;                             // this call has its event
  tLastEventSeq = tCallSeq;
  Impl::Pending p;
  p.method = std::string(call->method->GetDeclaringType()->GetName()) + "." + call->method->GetName();
  if (p.method.starts_with("tarn.")) p.method.erase(0, 5);
  p.user = UserOf(call->context);
  if (call->target) {
    p.ref = new MoRef(*call->target);
    Entity* e = _impl->inventory->Find(call->target->GetId());  // the caller holds the lock
    if (e) p.name = e->name;
  }
  _impl->Queue(std::move(p));
}

int EventLog::Add(Ref<Event> event) { return _impl->Add(std::move(event)); }

std::vector<Ref<Event>> EventLog::Range(int from, int to, std::size_t max, bool newest) const {
  return _impl->Range(from, to, max, newest);
}

int EventLog::FirstKey() const {
  std::lock_guard<std::mutex> lock(_impl->mutex);
  return _impl->firstKey;
}

int EventLog::NextKey() const {
  std::lock_guard<std::mutex> lock(_impl->mutex);
  return _impl->firstKey + int(_impl->events.size());
}

Ref<Event> EventLog::Latest() const {
  auto last = _impl->Range(0, INT32_MAX, 1, true);
  return last.empty() ? nullptr : last.front();
}

std::size_t EventLog::GetCount() const {
  std::lock_guard<std::mutex> lock(_impl->mutex);
  return _impl->events.size();
}

}  // namespace Tarn::Sim
