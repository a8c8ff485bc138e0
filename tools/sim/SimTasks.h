// Server tasks of the simulator: a task object per operation, registered with
// the adapter, whose TaskInfo goes queued -> running -> success | error.
//
// Deliberately small and self-contained: the rest of the simulator only calls
// Create, Run and Fail, so that a shared task helper can take its place
// without touching the managed objects.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "quill/LocalAdapter.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskSkeleton.h"

namespace Tarn::Sim {

class SimTask final : public Tarn::TaskSkeleton {
 public:
  SimTask(Quill::MoRef* ref, Basalt::Ref<Tarn::TaskInfo> info);
  // A copy: clients in process must not see it change under them.
  void GetInfo(Basalt::Ref<Tarn::TaskInfo>& result) override;
  Tarn::TaskInfo::State GetState();

 private:
  friend class SimTasks;
  std::mutex _mutex;
  Basalt::Ref<Tarn::TaskInfo> _info;
};

class SimTasks {
 public:
  // Keeps the last `keep` tasks registered (finished ones are forgotten
  // oldest first); a client reads a task's info until then.
  SimTasks(Quill::LocalAdapter* adapter, std::size_t keep);

  // A new task, registered and queued, for `method` ("tarn.VirtualMachine.powerOn")
  // on `entity`, started by `user`.
  Basalt::Ref<SimTask> Create(char const* method, Quill::MoRef* entity, std::string const& entityName,
                              std::string const& user);
  // Runs `work` on the adapter's workers after `delay`; its result (or the
  // fault it throws) ends the task. Whatever else it throws ends it with a
  // SystemError. `cleanup` runs after `work`, also when the adapter shuts
  // down before the work started.
  void Run(SimTask* task, std::chrono::milliseconds delay, std::function<Basalt::Ref<Quill::Any>()> work,
           std::function<void()> cleanup = {});
  // Ends a task that cannot start with `fault`.
  void Fail(SimTask* task, Quill::MethodFault* fault);

 private:
  void Finish(SimTask* task, Basalt::Ref<Quill::Any> result, Quill::MethodFault* fault);
  void Forget();  // under _mutex

  Quill::LocalAdapter* _adapter;
  std::size_t _keep;
  std::mutex _mutex;
  std::deque<Basalt::Ref<SimTask>> _tasks;
  int _nextChain = 1;
};

}  // namespace Tarn::Sim
