#include "SimTasks.h"

#include <exception>
#include <thread>

#include "quill/Faults.h"
#include "tarn/TaskReasonUser.h"

namespace Tarn::Sim {

SimTask::SimTask(Quill::MoRef* ref, Basalt::Ref<Tarn::TaskInfo> info) : TaskSkeleton(ref), _info(std::move(info)) {}

void SimTask::GetInfo(Basalt::Ref<Tarn::TaskInfo>& result) {
  std::lock_guard<std::mutex> lock(_mutex);
  result = Quill::Clone(_info.get());
}

Tarn::TaskInfo::State SimTask::GetState() {
  std::lock_guard<std::mutex> lock(_mutex);
  return _info->state;
}

SimTasks::SimTasks(Quill::LocalAdapter* adapter, std::size_t keep) : _adapter(adapter), _keep(keep ? keep : 1) {}

Basalt::Ref<SimTask> SimTasks::Create(char const* method, Quill::MoRef* entity, std::string const& entityName,
                                      std::string const& user) {
  Basalt::Ref<Quill::MoRef> ref = _adapter->MakeRef("tarn.Task");
  Basalt::Ref<Tarn::TaskInfo> info(new Tarn::TaskInfo());
  info->key = ref->GetId();
  info->task = ref;
  info->name = Quill::MethodName(method);
  // "tarn.VirtualMachine.powerOn" is described as "VirtualMachine.powerOn".
  std::string_view id(method);
  if (id.starts_with("tarn.")) id.remove_prefix(5);
  info->descriptionId = std::string(id);
  info->entity = entity;
  info->entityName = entityName;
  info->state = Tarn::TaskInfo::State::queued;
  info->cancelled = false;
  info->cancelable = false;
  Basalt::Ref<Tarn::TaskReasonUser> reason(new Tarn::TaskReasonUser());
  reason->userName = user;
  info->reason = reason;
  info->queueTime = Basalt::System::DateTime::Now();
  Basalt::Ref<SimTask> task(new SimTask(ref.get(), info));
  {
    std::lock_guard<std::mutex> lock(_mutex);
    info->eventChainId = _nextChain++;
    _tasks.push_back(task);
    Forget();
  }
  _adapter->Register(nullptr, task.get());
  return task;
}

void SimTasks::Run(SimTask* task, std::chrono::milliseconds delay, std::function<Basalt::Ref<Quill::Any>()> work,
                   std::function<void()> cleanup) {
  Basalt::Ref<SimTask> keep(task);
  {
    std::lock_guard<std::mutex> lock(task->_mutex);
    task->_info->state = Tarn::TaskInfo::State::running;
    task->_info->startTime = Basalt::System::DateTime::Now();
    task->_info->progress = 0;
  }
  _adapter->Post([this, keep, delay, work = std::move(work), cleanup = std::move(cleanup)](bool canceled) {
    if (canceled) {
      Basalt::Ref<Quill::Fault::RequestCanceled> fault(new Quill::Fault::RequestCanceled());
      Finish(keep.get(), nullptr, fault.get());
      if (cleanup) cleanup();
      return;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    Basalt::Ref<Quill::Any> result;
    Basalt::Ref<Quill::MethodFault> fault;
    try {
      result = work();
    } catch (Quill::MethodFault::Exception& e) {
      fault = e.GetFault();
    } catch (std::exception& e) {
      Basalt::Ref<Quill::Fault::SystemError> error(new Quill::Fault::SystemError());
      error->reason = e.what();
      fault = error;
    }
    if (cleanup) cleanup();
    Finish(keep.get(), result, fault.get());
  });
}

void SimTasks::Fail(SimTask* task, Quill::MethodFault* fault) {
  {
    std::lock_guard<std::mutex> lock(task->_mutex);
    task->_info->startTime = Basalt::System::DateTime::Now();
  }
  Finish(task, nullptr, fault);
}

void SimTasks::Finish(SimTask* task, Basalt::Ref<Quill::Any> result, Quill::MethodFault* fault) {
  std::lock_guard<std::mutex> lock(task->_mutex);
  Tarn::TaskInfo& info = *task->_info;
  info.result = result;
  info.error = fault;
  info.state = fault ? Tarn::TaskInfo::State::error : Tarn::TaskInfo::State::success;
  if (!fault) info.progress = 100;
  info.completeTime = Basalt::System::DateTime::Now();
}

void SimTasks::Forget() {
  // Oldest first; a task still running stays, and with it those after it.
  while (_tasks.size() > _keep) {
    Basalt::Ref<SimTask> oldest = _tasks.front();
    Tarn::TaskInfo::State state = oldest->GetState();
    if (state != Tarn::TaskInfo::State::success && state != Tarn::TaskInfo::State::error) break;
    _tasks.pop_front();
    _adapter->Unregister(oldest->_GetRef());
  }
}

}  // namespace Tarn::Sim
