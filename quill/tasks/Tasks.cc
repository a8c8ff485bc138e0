#include "quill/tasks/Tasks.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "basalt/DateTime.h"
#include "quill/FaultMessage.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"
#include "tarn/TaskFilterSpec.h"
#include "tarn/TaskHistoryCollectorSkeleton.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskManagerSkeleton.h"
#include "tarn/TaskReasonSystem.h"
#include "tarn/TaskReasonUser.h"
#include "tarn/TaskSkeleton.h"
#include "tarn/TaskStub.h"
#include "tarn/fault/InvalidState.h"

namespace Quill {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kFirstPoll{1};
constexpr std::chrono::milliseconds kLongestPoll{100};

bool Ended(Tarn::TaskInfo const& info) {
  return info.state == Tarn::TaskInfo::State::success || info.state == Tarn::TaskInfo::State::error;
}

Basalt::Ref<MethodFault> SystemError(std::string const& text) {
  return Basalt::Ref<MethodFault>(MakeFault<Fault::SystemError>("quill.tasks.failed", text).get());
}

// The fault a task that ended in error stands for.
Basalt::Ref<MethodFault> FaultOf(Tarn::TaskInfo const& info) {
  if (info.error) return info.error;
  return SystemError("task " + info.key + " ended in error without saying why");
}

std::string TimeoutText(MoRef const* task, std::chrono::milliseconds timeout) {
  return "task " + task->GetId() + " did not end within " + std::to_string(timeout.count()) + " ms";
}

Basalt::Ref<Tarn::TaskStub> TaskStub(StubAdapter* adapter, MoRef* task) {
  if (!adapter || !task) {
    auto fault = MakeFault<Fault::InvalidArgument>("quill.tasks.badArgument", "no adapter or no task reference");
    fault->invalidProperty = PropertyPath(adapter ? "task" : "adapter");
    fault->Throw();
  }
  return CreateStub<Tarn::TaskStub>(task, adapter);
}

// Runs jobs at their times on one thread, started on first use. The async waits hand it
// their next read, so that no completion thread of an adapter ever sleeps.
class Timer {
 public:
  ~Timer() {
    {
      std::lock_guard lock(_mutex);
      _stop = true;
    }
    _ready.notify_all();
    if (_thread.joinable()) _thread.join();
  }

  void At(Clock::time_point when, std::function<void()> job) {
    {
      std::lock_guard lock(_mutex);
      if (_stop) return;
      if (!_thread.joinable()) _thread = std::thread([this] { Run(); });
      _jobs.emplace(when, std::move(job));
    }
    _ready.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(_mutex);
    while (!_stop) {
      if (_jobs.empty()) {
        _ready.wait(lock);
        continue;
      }
      auto first = _jobs.begin();
      if (Clock::now() < first->first) {
        _ready.wait_until(lock, first->first);
        continue;
      }
      std::function<void()> job = std::move(first->second);
      _jobs.erase(first);
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex _mutex;
  std::condition_variable _ready;
  std::multimap<Clock::time_point, std::function<void()>> _jobs;
  std::thread _thread;
  bool _stop = false;
};

Timer& TheTimer() {
  static Timer timer;
  return timer;
}

// One async wait: a read of the task's info, then either the end or the next read later.
class AsyncWait : public std::enable_shared_from_this<AsyncWait> {
 public:
  AsyncWait(Basalt::Ref<Tarn::TaskStub> stub, std::chrono::milliseconds timeout, InvokeCallback callback)
      : _stub(std::move(stub)), _timeout(timeout), _deadline(Clock::now() + timeout), _callback(std::move(callback)) {}

  void Read() {
    std::shared_ptr<AsyncWait> self = shared_from_this();
    Basalt::Ref<Basalt::System::ScheduledItem> item;
    try {
      _stub->GetInfo(
          [self](Basalt::System::ScheduledItem*, Basalt::Exception* error, Any* raw) { self->Answer(error, raw); },
          item);
    } catch (Basalt::Exception const& e) {
      Finish(&e, nullptr);
    }
  }

 private:
  void Answer(Basalt::Exception* error, Any* raw) {
    if (error) return Finish(error, nullptr);
    auto* info = dynamic_cast<Tarn::TaskInfo*>(raw);
    if (!info) {
      std::unique_ptr<MethodFault::Exception> e(SystemError("the task's info is not a TaskInfo")->CreateException());
      return Finish(e.get(), nullptr);
    }
    if (info->state == Tarn::TaskInfo::State::success) return Finish(nullptr, info->result.get());
    if (info->state == Tarn::TaskInfo::State::error) {
      std::unique_ptr<MethodFault::Exception> e(FaultOf(*info)->CreateException());
      return Finish(e.get(), nullptr);
    }
    auto now = Clock::now();
    if (now >= _deadline) {
      Basalt::Exception late(TimeoutText(_stub->_GetRef(), _timeout));
      return Finish(&late, nullptr);
    }
    _interval = std::min(_interval * 2, kLongestPoll);
    std::shared_ptr<AsyncWait> self = shared_from_this();
    TheTimer().At(std::min(now + _interval, _deadline), [self] { self->Read(); });
  }

  void Finish(Basalt::Exception const* error, Any* result) {
    InvokeCallback callback = std::move(_callback);
    if (!callback) return;
    try {
      callback(nullptr, const_cast<Basalt::Exception*>(error), result);
    } catch (...) {
      // A callback must not throw; there is nobody to tell.
    }
  }

  Basalt::Ref<Tarn::TaskStub> _stub;
  std::chrono::milliseconds _timeout;
  Clock::time_point _deadline;
  std::chrono::milliseconds _interval = kFirstPoll / 2;
  InvokeCallback _callback;
};

}  // namespace

Basalt::Ref<Any> WaitForTask(StubAdapter* adapter, MoRef* task, std::chrono::milliseconds timeout) {
  Basalt::Ref<Tarn::TaskStub> stub = TaskStub(adapter, task);
  auto deadline = Clock::now() + timeout;
  std::chrono::milliseconds interval = kFirstPoll;
  for (;;) {
    Basalt::Ref<Tarn::TaskInfo> info;
    stub->GetInfo(info);
    if (!info) SystemError("task " + task->GetId() + " has no info")->Throw();
    if (info->state == Tarn::TaskInfo::State::success) return info->result;
    if (info->state == Tarn::TaskInfo::State::error) FaultOf(*info)->Throw();
    auto now = Clock::now();
    if (now >= deadline) throw Basalt::Exception(TimeoutText(task, timeout));
    std::this_thread::sleep_until(std::min(now + interval, deadline));
    interval = std::min(interval * 2, kLongestPoll);
  }
}

Basalt::Ref<Any> WaitForTask(StubImpl* task, std::chrono::milliseconds timeout) {
  if (!task) return WaitForTask(nullptr, nullptr, timeout);
  return WaitForTask(task->_GetStubAdapter(), task->_GetRef(), timeout);
}

void StartWaitForTask(StubAdapter* adapter, MoRef* task, std::chrono::milliseconds timeout, InvokeCallback callback) {
  auto wait = std::make_shared<AsyncWait>(TaskStub(adapter, task), timeout, std::move(callback));
  wait->Read();
}

namespace Tasks {

struct Manager::State {
  Basalt::Ref<LocalAdapter> adapter;
  Options options;
  mutable std::mutex mutex;
  std::deque<Basalt::Ref<Detail::TaskObject>> tasks;  // every task not forgotten, oldest first
  bool closed = false;                                // the manager is gone: forget nothing more
  std::uint64_t nextSequence = 1;                     // the order tasks were started in
  int collectors = 0;                                 // history collectors alive

  void Finished();
};

namespace Detail {

class TaskObject final : public Tarn::TaskSkeleton {
 public:
  TaskObject(LocalAdapter* adapter, MoRef* ref, MoRef* entity, std::string const& descriptionId, Origin const& origin,
             std::uint64_t sequence)
      : TaskSkeleton(ref), _adapter(adapter), _sequence(sequence) {
    _info = new Tarn::TaskInfo();
    _info->key = ref->GetId();
    _info->task = ref;
    _info->entity = entity;
    if (!origin.entityName.empty()) _info->entityName = origin.entityName;
    _info->descriptionId = descriptionId;
    _info->state = Tarn::TaskInfo::State::queued;
    _info->cancelable = true;
    if (origin.userName.empty()) {
      _info->reason = new Tarn::TaskReasonSystem();
    } else {
      Basalt::Ref<Tarn::TaskReasonUser> user(new Tarn::TaskReasonUser());
      user->userName = origin.userName;
      _info->reason = user;
    }
    _info->queueTime = Basalt::System::DateTime::Now();
  }

  std::uint64_t GetSequence() const { return _sequence; }

  void GetInfo(Basalt::Ref<Tarn::TaskInfo>& result) override {
    std::lock_guard lock(_mutex);
    result = new Tarn::TaskInfo(*_info);  // a snapshot: the work goes on changing the original
  }

  void Cancel() override {
    std::lock_guard lock(_mutex);
    if (Ended(*_info)) {
      Basalt::Ref<Tarn::Fault::InvalidState> fault(new Tarn::Fault::InvalidState());
      AppendFaultMessage(fault.get(), "quill.tasks.ended", "task " + _info->key + " has already ended");
      fault->Throw();
    }
    _info->cancelled = true;
  }

  // Watchers (a query service) hear of each new value, not of repeats.
  void Report(int percent) {
    int value = std::max(0, std::min(100, percent));
    {
      std::lock_guard lock(_mutex);
      if (Ended(*_info) || (_info->progress.IsSet() && *_info->progress == value)) return;
      _info->progress = value;
    }
    _adapter->NotifyChanged(_GetRef(), {"info"});
  }

  bool IsCancelRequested() {
    std::lock_guard lock(_mutex);
    return _info->cancelled;
  }

  bool IsEnded() {
    std::lock_guard lock(_mutex);
    return Ended(*_info);
  }

  Basalt::Ref<Tarn::TaskInfo> Snapshot() {
    Basalt::Ref<Tarn::TaskInfo> info;
    GetInfo(info);
    return info;
  }

  // On a worker of the adapter (or, cancelled by the adapter's shutdown, wherever that runs).
  void Run(Work const& work, bool canceled) {
    Basalt::Ref<Any> result;
    Basalt::Ref<MethodFault> fault;
    if (canceled) {
      fault = MakeFault<Fault::RequestCanceled>("quill.tasks.shutdown", "the server shut down before the task started")
                  .get();
    } else {
      {
        std::lock_guard lock(_mutex);
        _info->state = Tarn::TaskInfo::State::running;
        _info->startTime = Basalt::System::DateTime::Now();
      }
      _adapter->NotifyChanged(_GetRef(), {"info"});
      Progress progress(this);
      try {
        result = work(progress);
      } catch (MethodFault::Exception const& e) {
        fault = e.GetFault();
        if (!fault) fault = SystemError(e.what());
      } catch (std::exception const& e) {
        fault = SystemError(e.what());
      } catch (...) {
        fault = SystemError("the task's work threw an exception of unknown type");
      }
    }
    std::lock_guard lock(_mutex);
    _info->completeTime = Basalt::System::DateTime::Now();
    if (fault) {
      _info->error = fault;
      _info->state = Tarn::TaskInfo::State::error;
    } else {
      _info->result = result;
      _info->progress = 100;
      _info->state = Tarn::TaskInfo::State::success;
    }
    _ended = Clock::now();
  }

  Clock::time_point EndedAt() {
    std::lock_guard lock(_mutex);
    return _ended;
  }

 private:
  LocalAdapter* _adapter;  // the manager's, which outlives its tasks' work
  std::uint64_t const _sequence;
  std::mutex _mutex;
  Basalt::Ref<Tarn::TaskInfo> _info;
  Clock::time_point _ended;
};

}  // namespace Detail

void Progress::Report(int percent) { _task->Report(percent); }
bool Progress::IsCancelRequested() const { return _task->IsCancelRequested(); }
MoRef* Progress::GetTask() const { return _task->_GetRef(); }

// Forgets what the policy lets go: finished tasks beyond the newest maxFinished, and those
// that ended longer than keepFinished ago.
void Manager::State::Finished() {
  std::vector<Basalt::Ref<Detail::TaskObject>> forget;
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    auto now = Clock::now();
    std::size_t finished = 0;
    for (auto it = tasks.rbegin(); it != tasks.rend(); ++it) {
      if (!(*it)->IsEnded()) continue;
      if (++finished > options.maxFinished || now - (*it)->EndedAt() >= options.keepFinished) forget.push_back(*it);
    }
    for (auto const& task : forget) {
      for (auto it = tasks.begin(); it != tasks.end(); ++it) {
        if (it->get() == task.get()) {
          tasks.erase(it);
          break;
        }
      }
    }
  }
  for (auto const& task : forget) adapter->Unregister(task->_GetRef());
}

Manager::Manager(LocalAdapter* adapter) : Manager(adapter, Options{}) {}

Manager::Manager(LocalAdapter* adapter, Options options) : _state(std::make_shared<State>()) {
  if (!adapter) {
    auto fault = MakeFault<Fault::InvalidArgument>("quill.tasks.badArgument", "no adapter");
    fault->invalidProperty = PropertyPath("adapter");
    fault->Throw();
  }
  _state->adapter = adapter;
  _state->options = options;
}

Manager::~Manager() {
  std::lock_guard lock(_state->mutex);
  _state->closed = true;
}

Basalt::Ref<MoRef> Manager::Start(MoRef* entity, std::string const& descriptionId, Work work) {
  return Start(entity, descriptionId, std::move(work), Origin{});
}

Basalt::Ref<MoRef> Manager::Start(MoRef* entity, std::string const& descriptionId, Work work, Origin const& origin) {
  if (!work) {
    auto fault = MakeFault<Fault::InvalidArgument>("quill.tasks.badArgument", "a task needs work to do");
    fault->invalidProperty = PropertyPath("work");
    fault->Throw();
  }
  Basalt::Ref<MoRef> keptEntity(entity);
  LocalAdapter* adapter = _state->adapter.get();
  Basalt::Ref<MoRef> ref = adapter->MakeRef("tarn.Task");
  Basalt::Ref<Detail::TaskObject> task;
  {
    // Numbered and queued under one lock, so that the queue stays in sequence order.
    std::lock_guard lock(_state->mutex);
    task = new Detail::TaskObject(adapter, ref.get(), entity, descriptionId, origin, _state->nextSequence++);
    _state->tasks.push_back(task);
  }
  adapter->Register(nullptr, task.get());
  std::weak_ptr<State> state = _state;
  try {
    // The adapter runs the work, so it outlives it.
    adapter->Post([task, work = std::move(work), state, adapter](bool canceled) {
      task->Run(work, canceled);
      // Watchers of the task (a query service) read its info again.
      adapter->NotifyChanged(task->_GetRef(), {"info"});
      if (std::shared_ptr<State> alive = state.lock()) alive->Finished();
    });
  } catch (...) {
    adapter->Unregister(ref.get());
    std::lock_guard lock(_state->mutex);
    for (auto it = _state->tasks.begin(); it != _state->tasks.end(); ++it) {
      if (it->get() == task.get()) {
        _state->tasks.erase(it);
        break;
      }
    }
    throw;
  }
  _state->Finished();
  return ref;
}

std::vector<Basalt::Ref<Tarn::TaskInfo>> Manager::Recent(std::size_t count) const {
  std::vector<Basalt::Ref<Detail::TaskObject>> tasks;
  {
    std::lock_guard lock(_state->mutex);
    std::size_t first = count && count < _state->tasks.size() ? _state->tasks.size() - count : 0;
    tasks.assign(_state->tasks.begin() + static_cast<std::ptrdiff_t>(first), _state->tasks.end());
  }
  std::vector<Basalt::Ref<Tarn::TaskInfo>> infos;
  infos.reserve(tasks.size());
  for (auto const& task : tasks) infos.push_back(task->Snapshot());
  return infos;
}

std::size_t Manager::GetTaskCount() const {
  std::lock_guard lock(_state->mutex);
  return _state->tasks.size();
}

namespace {

using TaskList = std::vector<Basalt::Ref<Detail::TaskObject>>;

TaskList Alive(std::weak_ptr<Manager::State> const& weak) {
  TaskList out;
  if (std::shared_ptr<Manager::State> state = weak.lock()) {
    std::lock_guard lock(state->mutex);
    out.assign(state->tasks.begin(), state->tasks.end());
  }
  return out;
}

bool Contains(Array<std::string> const* list, std::string const& item) {
  if (!list) return false;
  for (std::string const& x : list->GetValues()) {
    if (x == item) return true;
  }
  return false;
}

// What a collector's filter lets through. Unset parts match everything.
bool Matches(Tarn::TaskFilterSpec const& filter, Tarn::TaskInfo const& info, Manager::Contains const& contains) {
  if (filter.state && filter.state->size() > 0) {
    bool any = false;
    for (std::size_t i = 0; i < filter.state->size(); ++i) any = any || filter.state->Get(i) == info.state;
    if (!any) return false;
  }
  if (filter.entity && filter.entity->entity) {
    MoRef const& root = *filter.entity->entity;
    if (!info.entity) return false;
    bool self = *info.entity == root;
    using Recursion = Tarn::TaskFilterSpec::RecursionOption;
    switch (filter.entity->recursion) {
      case Recursion::self:
        if (!self) return false;
        break;
      case Recursion::children:
        if (!contains || !contains(root, *info.entity, false)) return false;
        break;
      case Recursion::all:
        if (!self && (!contains || !contains(root, *info.entity, true))) return false;
        break;
    }
  }
  if (filter.userName) {
    auto const* user = dynamic_cast<Tarn::TaskReasonUser const*>(info.reason.get());
    bool pass = user ? Contains(filter.userName->userList.get(), user->userName) : filter.userName->systemUser;
    if (!pass) return false;
  }
  if (filter.time) {
    using TimeOption = Tarn::TaskFilterSpec::TimeOption;
    Basalt::Optional<Basalt::System::DateTime> when;
    switch (filter.time->timeType) {
      case TimeOption::queuedTime:
        when = info.queueTime;
        break;
      case TimeOption::startedTime:
        when = info.startTime;
        break;
      case TimeOption::completedTime:
        when = info.completeTime;
        break;
    }
    if (!when.IsSet()) return false;
    if (filter.time->beginTime.IsSet() && when->GetUtcTime() < filter.time->beginTime->GetUtcTime()) return false;
    if (filter.time->endTime.IsSet() && when->GetUtcTime() > filter.time->endTime->GetUtcTime()) return false;
  }
  return true;
}

// A window on the task history its filter selects, in the order the tasks started. Its
// cursor is a sequence number, so tasks that start or are forgotten meanwhile do not move
// it: readNext reads from it towards the newest, readPrev from it towards the oldest.
// It starts past the newest task (readPrev reads the latest first); rewind puts it before
// the oldest, reset past the newest again.
class HistoryCollector final : public Tarn::TaskHistoryCollectorSkeleton {
 public:
  HistoryCollector(MoRef* ref, std::weak_ptr<Manager::State> state, Basalt::Ref<Tarn::TaskFilterSpec> filter,
                   Manager::Contains contains)
      : TaskHistoryCollectorSkeleton(ref),
        _state(std::move(state)),
        _filter(std::move(filter)),
        _contains(std::move(contains)) {
    _cursor = End();
  }

  void GetFilter(Basalt::Ref<Any>& result) override { result = Clone(_filter.get()); }

  void GetLatestPage(Basalt::Ref<DataArray<Tarn::TaskInfo>>& result) override {
    std::vector<Item> items = Select();
    std::size_t size = PageSize();
    std::size_t first = items.size() > size ? items.size() - size : 0;
    result = new DataArray<Tarn::TaskInfo>();
    for (std::size_t i = first; i < items.size(); ++i) result->Append(items[i].info.get());
  }

  void SetLatestPageSize(int maxCount) override {
    CheckCount(maxCount, "maxCount");
    std::lock_guard lock(_mutex);
    _pageSize = std::size_t(maxCount);
  }

  void ReadNext(int maxCount, Basalt::Ref<DataArray<Tarn::TaskInfo>>& result) override {
    CheckCount(maxCount, "maxCount");
    std::vector<Item> items = Select();
    std::lock_guard lock(_mutex);
    result = new DataArray<Tarn::TaskInfo>();
    for (Item const& item : items) {
      if (result->size() >= std::size_t(maxCount)) break;
      if (item.sequence < _cursor) continue;
      result->Append(item.info.get());
      _cursor = item.sequence + 1;
    }
  }

  void ReadPrev(int maxCount, Basalt::Ref<DataArray<Tarn::TaskInfo>>& result) override {
    CheckCount(maxCount, "maxCount");
    std::vector<Item> items = Select();
    std::lock_guard lock(_mutex);
    std::vector<Item const*> page;
    for (auto it = items.rbegin(); it != items.rend() && page.size() < std::size_t(maxCount); ++it) {
      if (it->sequence >= _cursor) continue;
      page.push_back(&*it);
      _cursor = it->sequence;
    }
    result = new DataArray<Tarn::TaskInfo>();
    for (auto it = page.rbegin(); it != page.rend(); ++it) result->Append((*it)->info.get());  // oldest first
  }

  void Rewind() override {
    std::lock_guard lock(_mutex);
    _cursor = 0;
  }

  void Reset() override {
    std::uint64_t end = End();
    std::lock_guard lock(_mutex);
    _cursor = end;
  }

  void Remove() override {
    if (std::shared_ptr<Manager::State> state = _state.lock()) {
      std::lock_guard lock(state->mutex);
      --state->collectors;
    }
    LocalAdapter::CurrentCall()->adapter->Unregister(_GetRef());
  }

 private:
  struct Item {
    std::uint64_t sequence;
    Basalt::Ref<Tarn::TaskInfo> info;
  };

  static void CheckCount(int count, char const* name) {
    if (count >= 0) return;
    auto fault = MakeFault<Fault::InvalidArgument>("quill.tasks.badCount", "a count must not be negative");
    fault->invalidProperty = PropertyPath(name);
    fault->Throw();
  }

  std::size_t PageSize() {
    std::lock_guard lock(_mutex);
    return _pageSize;
  }

  std::uint64_t End() {
    std::shared_ptr<Manager::State> state = _state.lock();
    if (!state) return 0;
    std::lock_guard lock(state->mutex);
    return state->nextSequence;
  }

  std::vector<Item> Select() {
    std::vector<Item> out;
    for (auto const& task : Alive(_state)) {
      Basalt::Ref<Tarn::TaskInfo> info = task->Snapshot();
      if (Matches(*_filter, *info, _contains)) out.push_back({task->GetSequence(), info});
    }
    return out;
  }

  std::weak_ptr<Manager::State> _state;
  Basalt::Ref<Tarn::TaskFilterSpec> _filter;
  Manager::Contains _contains;
  std::mutex _mutex;
  std::size_t _pageSize = 10;
  std::uint64_t _cursor = 0;
};

class TaskManagerObject final : public Tarn::TaskManagerSkeleton {
 public:
  TaskManagerObject(MoRef* ref, std::weak_ptr<Manager::State> state, Manager::Contains contains, std::size_t recent,
                    int maxCollector)
      : TaskManagerSkeleton(ref),
        _state(std::move(state)),
        _contains(std::move(contains)),
        _recent(recent),
        _maxCollector(maxCollector) {}

  void GetRecentTask(Basalt::Ref<DataArray<MoRef>>& result) override {
    TaskList tasks = Alive(_state);
    std::size_t first = tasks.size() > _recent ? tasks.size() - _recent : 0;
    result = new DataArray<MoRef>();
    for (std::size_t i = first; i < tasks.size(); ++i) result->Append(tasks[i]->_GetRef());
  }

  int GetMaxCollector() override { return _maxCollector; }

  void CreateCollector(Tarn::TaskFilterSpec* filter, Basalt::Ref<MoRef>& result) override {
    std::shared_ptr<Manager::State> state = _state.lock();
    if (!state) {
      MakeFault<Fault::RequestCanceled>("quill.tasks.shutdown", "the task manager is gone")->Throw();
    }
    {
      std::lock_guard lock(state->mutex);
      if (state->collectors >= _maxCollector) {
        Basalt::Ref<Tarn::Fault::InvalidState> fault(new Tarn::Fault::InvalidState());
        AppendFaultMessage(fault.get(), "quill.tasks.tooManyCollectors",
                           "at most " + std::to_string(_maxCollector) + " task history collectors");
        fault->Throw();
      }
      ++state->collectors;
    }
    Basalt::Ref<Tarn::TaskFilterSpec> kept =
        filter ? Clone(filter) : Basalt::Ref<Tarn::TaskFilterSpec>(new Tarn::TaskFilterSpec());
    LocalAdapter* adapter = state->adapter.get();
    result = adapter->MakeRef("tarn.TaskHistoryCollector");
    adapter->Register(nullptr, new HistoryCollector(result.get(), _state, kept, _contains));
  }

 private:
  std::weak_ptr<Manager::State> _state;
  Manager::Contains _contains;
  std::size_t _recent;
  int _maxCollector;
};

}  // namespace

Basalt::Ref<MoRef> Manager::ServeTaskManager(std::string const& id, Contains contains, std::size_t recent,
                                             int maxCollector) {
  Basalt::Ref<MoRef> ref(new MoRef("tarn.TaskManager", id));
  _state->adapter->Register(nullptr,
                            new TaskManagerObject(ref.get(), _state, std::move(contains), recent, maxCollector));
  return ref;
}

}  // namespace Tasks
}  // namespace Quill
