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
#include "tarn/TaskInfo.h"
#include "tarn/TaskReasonSystem.h"
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

  void Finished();
};

namespace Detail {

class TaskObject final : public Tarn::TaskSkeleton {
 public:
  TaskObject(MoRef* ref, MoRef* entity, std::string const& descriptionId) : TaskSkeleton(ref) {
    _info = new Tarn::TaskInfo();
    _info->key = ref->GetId();
    _info->task = ref;
    _info->entity = entity;
    _info->descriptionId = descriptionId;
    _info->state = Tarn::TaskInfo::State::queued;
    _info->cancelable = true;
    _info->reason = new Tarn::TaskReasonSystem();
    _info->queueTime = Basalt::System::DateTime::Now();
  }

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

  void Report(int percent) {
    std::lock_guard lock(_mutex);
    if (!Ended(*_info)) _info->progress = std::max(0, std::min(100, percent));
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
  if (!work) {
    auto fault = MakeFault<Fault::InvalidArgument>("quill.tasks.badArgument", "a task needs work to do");
    fault->invalidProperty = PropertyPath("work");
    fault->Throw();
  }
  Basalt::Ref<MoRef> keptEntity(entity);
  LocalAdapter* adapter = _state->adapter.get();
  Basalt::Ref<MoRef> ref = adapter->MakeRef("tarn.Task");
  Basalt::Ref<Detail::TaskObject> task(new Detail::TaskObject(ref.get(), entity, descriptionId));
  adapter->Register(nullptr, task.get());
  {
    std::lock_guard lock(_state->mutex);
    _state->tasks.push_back(task);
  }
  std::weak_ptr<State> state = _state;
  try {
    adapter->Post([task, work = std::move(work), state](bool canceled) {
      task->Run(work, canceled);
      if (std::shared_ptr<State> alive = state.lock()) alive->Finished();
    });
  } catch (...) {
    adapter->Unregister(ref.get());
    std::lock_guard lock(_state->mutex);
    _state->tasks.pop_back();
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

}  // namespace Tasks
}  // namespace Quill
