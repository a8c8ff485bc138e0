// Tasks on both ends: a client waits for a task to end and gets its result (or its fault,
// thrown as its own class); a server starts a unit of work as a task that clients follow.
//
// A task is the catalogue's managed object tarn.Task, whose `info` (tarn.TaskInfo) says
// where the work stands: queued, running (with a progress in per cent), then success with
// a result or error with a fault. The runtime (libquill) names no catalogue type, so this
// part lives in a library of its own, quill-tasks, built on libtarn-types.
//
// Client, with any adapter (in process or over HTTP):
//
//   Basalt::Ref<Quill::MoRef> taskRef;
//   folder->CreateVm(spec.get(), pool.get(), nullptr, taskRef);           // a task method
//   auto vm = Quill::WaitForTask<Basalt::Ref<Quill::MoRef>>(adapter, taskRef.get(), 30s);
//
//   Quill::AsyncResult<Basalt::Ref<Quill::MoRef>> later;                   // or without blocking
//   Quill::StartWaitForTask(adapter, taskRef.get(), 30s, later.Callback());
//
// Server, inside a task method of an implementation:
//
//   Quill::Tasks::Manager tasks(adapter.get());        // one per adapter, kept by the server
//   result = tasks.Start(_GetRef(), "tarn.VirtualMachine.powerOn",
//                        [self](Quill::Tasks::Progress& progress) -> Basalt::Ref<Quill::Any> {
//                          progress.Report(50);
//                          ...                          // throw a fault to fail the task
//                          return nullptr;              // or the task's result
//                        });
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Async.h"
#include "quill/LocalAdapter.h"
#include "quill/Stub.h"

namespace Tarn {
class TaskInfo;
}

namespace Quill {

// --- the client end ----------------------------------------------------------------------

// Follows the task `task` through `adapter` (reading its `info`, first after 1 ms, then at
// doubling intervals up to 100 ms) until it ends, and returns its result (null when the
// task has none). A task that ended in error throws its fault as the fault's own class
// (catch (Tarn::Fault::InvalidPowerState::Exception&)); a task still running after
// `timeout` throws Basalt::Exception ("task <id> did not end within <n> ms"); a failure to
// read the task (transport, session) throws what the read threw. The task goes on running
// on the server in every case.
Basalt::Ref<Any> WaitForTask(StubAdapter* adapter, MoRef* task, std::chrono::milliseconds timeout);
// The same for a stub of the task (its reference and adapter).
Basalt::Ref<Any> WaitForTask(StubImpl* task, std::chrono::milliseconds timeout);

// The result converted to R as Quill::AsyncResult<R>::Get converts it: Basalt::Ref<T> for
// a data object or reference, a value type, or void; another class than R throws
// Basalt::TypeMismatchException.
template <class R>
R WaitForTask(StubAdapter* adapter, MoRef* task, std::chrono::milliseconds timeout) {
  Basalt::Ref<Any> raw = WaitForTask(adapter, task, timeout);
  return Detail::AsyncConvert<R>::From(raw.get());
}
template <class R>
R WaitForTask(StubImpl* task, std::chrono::milliseconds timeout) {
  Basalt::Ref<Any> raw = WaitForTask(task, timeout);
  return Detail::AsyncConvert<R>::From(raw.get());
}

// The async form: returns at once; `callback` is called exactly once, with a null item and
// either the task's result or the exception WaitForTask would have thrown (a fault's own
// exception class). It runs on a completion thread of the adapter or on the thread that
// times the reads (one per process, started on first use); it must be quick. Pass an
// AsyncResult<R>'s Callback() to read the outcome as R on your own thread. A wait still
// pending when the process exits is dropped without a call.
void StartWaitForTask(StubAdapter* adapter, MoRef* task, std::chrono::milliseconds timeout, InvokeCallback callback);

// --- the server end ----------------------------------------------------------------------
namespace Tasks {

namespace Detail {
class TaskObject;
}

// What a task's work sees of its task.
class Progress {
 public:
  // The progress in per cent clients read in info.progress (clamped to 0..100).
  void Report(int percent);
  // True once a client called the task's cancel. The work decides what that means: it
  // may stop and throw Quill::Fault::RequestCanceled, or finish anyway.
  bool IsCancelRequested() const;
  // The task's reference.
  MoRef* GetTask() const;

 private:
  friend class Detail::TaskObject;
  explicit Progress(Detail::TaskObject* task) : _task(task) {}
  Detail::TaskObject* _task;
};

// Who a task runs for and on what, as its info reports them.
struct Origin {
  std::string entityName;  // info.entityName; empty: left unset
  std::string userName;    // info.reason: TaskReasonUser with this name; empty: TaskReasonSystem
};

// The work: runs on a worker of the adapter, answers the task's result (null for none) or
// throws. A fault's exception ends the task in error with that fault; anything else
// thrown ends it with a Quill::Fault::SystemError that carries its text.
using Work = std::function<Basalt::Ref<Any>(Progress&)>;

// Starts tasks on one LocalAdapter and forgets finished ones, so that a long-running server
// does not pile them up. A finished task stays readable for `keepFinished` after it ended,
// and of the finished tasks at most `maxFinished` (the newest) are kept; the older ones are
// unregistered, after which a client reading one gets ManagedObjectNotFound. The policy is
// applied whenever a task starts or ends, so it needs no timer of its own. Thread-safe.
class Manager {
 public:
  struct Options {
    std::chrono::milliseconds keepFinished{10 * 60 * 1000};
    std::size_t maxFinished = 1000;
  };

  // `adapter` must not be null; the manager holds a reference to it.
  explicit Manager(LocalAdapter* adapter);
  Manager(LocalAdapter* adapter, Options options);
  // Tasks already started run to their end; they are no longer forgotten by this manager.
  ~Manager();
  Manager(Manager const&) = delete;
  Manager& operator=(Manager const&) = delete;

  // Registers a new tarn.Task (info: queued, `entity` and `descriptionId` as given,
  // cancelable) and queues `work` on the adapter; answers the task's reference at once,
  // as a task method does. When the adapter shuts down before the work starts, the task
  // ends in error with RequestCanceled. Throws RequestCanceled after the adapter's
  // shutdown, InvalidArgument for empty work.
  Basalt::Ref<MoRef> Start(MoRef* entity, std::string const& descriptionId, Work work);
  Basalt::Ref<MoRef> Start(MoRef* entity, std::string const& descriptionId, Work work, Origin const& origin);

  // Whether `entity` lies under `root`: directly (`recursive` false) or at any depth. The
  // history collectors' entity filter asks it for "children" and "all"; without it they
  // match the entity itself only.
  using Contains = std::function<bool(MoRef const& root, MoRef const& entity, bool recursive)>;

  // Registers the catalogue's tarn.TaskManager with id `id` on the adapter: recentTask (the
  // newest `recent` tasks not forgotten), maxCollector, and createCollector, which makes a
  // tarn.TaskHistoryCollector over the tasks not forgotten that its filter matches (state,
  // entity, user names, time); at most `maxCollector` live at once, one more is refused
  // with InvalidState. Answers the manager's reference; call once.
  Basalt::Ref<MoRef> ServeTaskManager(std::string const& id = "TaskManager", Contains contains = {},
                                      std::size_t recent = 50, int maxCollector = 32);

  // Snapshots of the tasks not forgotten yet, oldest first; the newest `count` (0: all).
  std::vector<Basalt::Ref<Tarn::TaskInfo>> Recent(std::size_t count = 0) const;
  // Tasks not forgotten yet, running or finished.
  std::size_t GetTaskCount() const;

  struct State;

 private:
  std::shared_ptr<State> _state;
};

}  // namespace Tasks
}  // namespace Quill
