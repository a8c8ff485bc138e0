// Stubs over an in-process adapter: sync calls, a task method followed to its end, async
// calls with a callback and a handle, and an adapter of one's own, as
// docs/stubs-and-async.md describes them.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "check.h"
#include "quill/Async.h"
#include "quill/Quill.h"
#include "quill/tasks/Tasks.h"
#include "tarn/OverheadMemoryManagerStub.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskStub.h"
#include "tarn/fault/InvalidState.h"
#include "tarn/fault/NotFound.h"
#include "tarn/host/MaintenanceManagerStub.h"

namespace {

// --- the server end, kept short: docs/server-side.md explains it ----------------------

class Overhead : public Quill::ServerObject<Tarn::OverheadMemoryManager> {
 public:
  using ServerObject::ServerObject;
  long LookupVmOverheadMemory(Quill::MoRef* vm, Quill::MoRef* host) override {
    if (!vm || vm->GetId() != "vm-1") {
      Basalt::Ref<Tarn::Fault::NotFound> fault(new Tarn::Fault::NotFound());
      fault->Throw();
    }
    return host && host->GetId() == "host-2" ? 2048 : 1024;
  }
};

// A task method: the manager (quill-tasks) registers a tarn.Task, runs the work on a worker
// of the adapter and keeps the task's info for clients; a fault the work throws fails it.
class Maintenance : public Quill::ServerObject<Tarn::Host::MaintenanceManager> {
 public:
  Maintenance(Quill::MoRef* ref, Quill::Tasks::Manager& tasks) : ServerObject(ref), _tasks(tasks) {}
  void EnterPartialMaintenanceMode(std::string const& id, Basalt::Optional<int> const&,
                                   Basalt::Ref<Quill::MoRef>& result) override {
    result = _tasks.Start(_GetRef(), "tarn.host.MaintenanceManager.enterPartialMaintenanceMode",
                          [id](Quill::Tasks::Progress& progress) -> Basalt::Ref<Quill::Any> {
                            if (id.empty()) Basalt::Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState())->Throw();
                            progress.Report(50);  // clients read it in info.progress
                            return nullptr;       // no result; success sets the progress to 100
                          });
  }
  void ExitPartialMaintenanceMode(std::string const& id, Basalt::Optional<int> const& timeout,
                                  Basalt::Ref<Quill::MoRef>& result) override {
    EnterPartialMaintenanceMode(id, timeout, result);
  }

 private:
  Quill::Tasks::Manager& _tasks;
};

// --- the client end --------------------------------------------------------------------

// [adapter]
// A transport in front of another one: notes each call, then passes it on unchanged.
class CountingAdapter : public Quill::StubAdapter {
 public:
  explicit CountingAdapter(Quill::StubAdapter* next) : _next(next) {}
  void Invoke(Quill::MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args,
              Basalt::Ref<Quill::Any>& result, Quill::RequestContext* context) override {
    Note(method, args);
    _next->Invoke(target, method, args, result, context);
  }
  void StartInvoke(Quill::MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args,
                   Quill::InvokeCallback const& callback, Basalt::Ref<Basalt::System::ScheduledItem>& item,
                   Quill::RequestContext* context) override {
    Note(method, args);
    _next->StartInvoke(target, method, args, callback, item, context);
  }
  std::atomic<int> calls{0};
  std::string lastMethod;      // written by the calling thread; read it after the call
  bool lastHadEmptySlot = false;

 private:
  void Note(Quill::ManagedMethod* method, Quill::ArgVector const& args) {
    ++calls;
    lastMethod = method->GetName();
    lastHadEmptySlot = false;
    for (auto const& slot : args) lastHadEmptySlot |= !slot;
  }
  Basalt::Ref<Quill::StubAdapter> _next;
};
// [adapter]


void SyncCalls(Quill::LocalAdapter* adapter) {
  Basalt::Ref<Quill::MoRef> vm(new Quill::MoRef("tarn.VirtualMachine", "vm-1"));
  Basalt::Ref<Quill::MoRef> host(new Quill::MoRef("tarn.HostSystem", "host-2"));
  // [sync]
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.OverheadMemoryManager", "overhead-1"));
  Basalt::Ref<Tarn::OverheadMemoryManagerStub> overhead =
      Quill::CreateStub<Tarn::OverheadMemoryManagerStub>(ref.get(), adapter);
  long bytes = overhead->LookupVmOverheadMemory(vm.get(), host.get());
  // [sync]
  CHECK(bytes == 2048);

  // [interface]
  Tarn::OverheadMemoryManager* manager = overhead.get();  // sync calls need only the interface
  CHECK(manager->LookupVmOverheadMemory(vm.get(), nullptr) == 1024);
  // [interface]

  // [sync-faults]
  Basalt::Ref<Quill::MoRef> otherVm(new Quill::MoRef("tarn.VirtualMachine", "vm-404"));
  CHECK_THROWS(Tarn::Fault::NotFound::Exception, overhead->LookupVmOverheadMemory(otherVm.get(), host.get()));
  Basalt::Ref<Quill::MoRef> nobody(new Quill::MoRef("tarn.OverheadMemoryManager", "overhead-9"));
  auto lost = Quill::CreateStub<Tarn::OverheadMemoryManagerStub>(nobody.get(), adapter);
  CHECK_THROWS(Quill::Fault::ManagedObjectNotFound::Exception, lost->LookupVmOverheadMemory(vm.get(), host.get()));
  // [sync-faults]

  // [factory]
  Basalt::Ref<Quill::StubImpl> generic = Quill::CreateStub(ref.get(), adapter);  // class from the type name
  CHECK(dynamic_cast<Tarn::OverheadMemoryManagerStub*>(generic.get()) != nullptr);
  CHECK_THROWS(Basalt::TypeMismatchException, Quill::CreateStub<Tarn::TaskStub>(ref.get(), adapter));
  Basalt::Ref<Quill::MoRef> typo(new Quill::MoRef("tarn.OverheadManager", "x"));
  CHECK_THROWS(Quill::Fault::InvalidType::Exception, Quill::CreateStub(typo.get(), adapter));
  // [factory]
  CHECK(generic->_GetRef() == ref.get() && overhead->_GetType() == Quill::GetMoType<Tarn::OverheadMemoryManager>());
}

void TaskCalls(Quill::LocalAdapter* adapter) {
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.host.MaintenanceManager", "maintenance-1"));
  auto maintenance = Quill::CreateStub<Tarn::Host::MaintenanceManagerStub>(ref.get(), adapter);
  // [task]
  Basalt::Ref<Quill::MoRef> taskRef;
  maintenance->EnterPartialMaintenanceMode("nic-firmware", 600, taskRef);  // returns at once
  Quill::WaitForTask(adapter, taskRef.get(), std::chrono::seconds(30));     // until it ends
  auto task = Quill::CreateStub<Tarn::TaskStub>(taskRef.get(), adapter);
  Basalt::Ref<Tarn::TaskInfo> info;
  task->GetInfo(info);  // the whole story: state, progress, times, result or fault
  // [task]
  CHECK(taskRef->GetTypeName() == "tarn.Task");
  CHECK(info->state == Tarn::TaskInfo::State::success && *info->progress == 100);
  CHECK(info->task && *info->task == *taskRef);

  // [task-error]
  maintenance->EnterPartialMaintenanceMode("", {}, taskRef);  // the call succeeds...
  CHECK_THROWS(Tarn::Fault::InvalidState::Exception,         // ...the task fails, and waiting
               Quill::WaitForTask(adapter, taskRef.get(), std::chrono::seconds(30)));  // throws its fault
  // [task-error]
  task = Quill::CreateStub<Tarn::TaskStub>(taskRef.get(), adapter);
  task->GetInfo(info);
  CHECK(info->state == Tarn::TaskInfo::State::error && info->error);
  CHECK(adapter->Unregister(taskRef.get()));
}

void AsyncCalls(Quill::LocalAdapter* adapter) {
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.OverheadMemoryManager", "overhead-1"));
  auto overhead = Quill::CreateStub<Tarn::OverheadMemoryManagerStub>(ref.get(), adapter);
  Basalt::Ref<Quill::MoRef> vm(new Quill::MoRef("tarn.VirtualMachine", "vm-1"));
  Basalt::Ref<Quill::MoRef> host(new Quill::MoRef("tarn.HostSystem", "host-2"));
  // [async]
  long asyncBytes = 0;
  std::unique_ptr<Basalt::Exception> asyncError;
  Basalt::Ref<Basalt::System::ScheduledItem> item;
  overhead->LookupVmOverheadMemory(
      vm.get(), host.get(),
      [&](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any* raw) {
        if (error) {
          asyncError.reset(error->Clone());      // keep a copy beyond the callback
        } else {
          asyncBytes = Quill::Unbox<long>(raw);  // the raw box: no conversion is done for you
        }
      },
      item);
  bool done = item->WaitFor(std::chrono::seconds(30));  // done only after the callback returned
  // [async]
  CHECK(done && item->GetState() == Basalt::System::ScheduledItem::State::Completed);
  CHECK(asyncBytes == 2048 && !asyncError);

  // [async-fault]
  Basalt::Ref<Quill::MoRef> otherVm(new Quill::MoRef("tarn.VirtualMachine", "vm-404"));
  auto failure = std::make_shared<std::unique_ptr<Basalt::Exception>>();
  overhead->LookupVmOverheadMemory(
      otherVm.get(), host.get(),
      [failure](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any*) {
        if (error) failure->reset(error->Clone());
      },
      item);
  item->Wait();
  CHECK_THROWS(Tarn::Fault::NotFound::Exception, (*failure)->Throw());  // rethrown as its own class
  // [async-fault]

  // [async-task]
  Basalt::Ref<Quill::MoRef> mmRef(new Quill::MoRef("tarn.host.MaintenanceManager", "maintenance-1"));
  auto maintenance = Quill::CreateStub<Tarn::Host::MaintenanceManagerStub>(mmRef.get(), adapter);
  auto delivered = std::make_shared<Basalt::Ref<Quill::Any>>();
  auto keep = [delivered](Basalt::System::ScheduledItem*, Basalt::Exception*, Quill::Any* raw) { *delivered = raw; };
  maintenance->EnterPartialMaintenanceMode("bios", {}, keep, item);
  item->Wait();
  auto* taskRef = dynamic_cast<Quill::MoRef*>(delivered->get());  // the task's reference, not its outcome
  // [async-task]
  CHECK(taskRef != nullptr && taskRef->GetTypeName() == "tarn.Task");
  if (taskRef) {
    Quill::AsyncResult<void> ended;  // the task's end, without blocking a thread on it
    Quill::StartWaitForTask(adapter, taskRef, std::chrono::seconds(30), ended.Callback());
    ended.Get(std::chrono::seconds(30));
  }

  // [pending-call]
  overhead->LookupVmOverheadMemory(vm.get(), nullptr, Quill::InvokeCallback(), item);  // no callback
  item->Wait();
  auto* pending = dynamic_cast<Quill::PendingCall*>(item.get());  // LocalAdapter's handle
  CHECK(pending && !pending->GetException() && Quill::Unbox<long>(pending->GetResult()) == 1024);
  // [pending-call]
}

void TypedAsyncCalls(Quill::LocalAdapter* adapter) {
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.OverheadMemoryManager", "overhead-1"));
  auto overhead = Quill::CreateStub<Tarn::OverheadMemoryManagerStub>(ref.get(), adapter);
  auto vm = Basalt::MakeRef<Quill::MoRef>("tarn.VirtualMachine", "vm-1");
  auto host = Basalt::MakeRef<Quill::MoRef>("tarn.HostSystem", "host-2");
  Basalt::Ref<Basalt::System::ScheduledItem> item;

  // [async-typed]
  Quill::AsyncResult<long> bytes;                        // what the sync form returns
  overhead->LookupVmOverheadMemory(vm.get(), host.get(), bytes.Callback(), item);
  long n = bytes.Get(std::chrono::seconds(30));          // waits; converts on this thread
  // [async-typed]
  CHECK(n == 2048 && bytes.IsDone());
  CHECK(bytes.Get() == 2048);  // may be read again

  // [async-typed-fault]
  Quill::AsyncResult<long> missing;
  auto otherVm = Basalt::MakeRef<Quill::MoRef>("tarn.VirtualMachine", "vm-404");
  overhead->LookupVmOverheadMemory(otherVm.get(), host.get(), missing.Callback(), item);
  CHECK_THROWS(Tarn::Fault::NotFound::Exception, missing.Get(std::chrono::seconds(30)));  // its own class
  // [async-typed-fault]

  // [async-typed-mismatch]
  Quill::AsyncResult<std::string> wrong;                 // the method returns a long
  overhead->LookupVmOverheadMemory(vm.get(), host.get(), wrong.Callback(), item);
  CHECK_THROWS(Basalt::TypeMismatchException, wrong.Get(std::chrono::seconds(30)));  // to the caller
  // [async-typed-mismatch]
  CHECK(adapter->GetCallbackFailureCount() == 0);  // nothing was swallowed in the callback

  // An object result arrives as the Ref the sync form fills, the wrong class as a mismatch.
  Basalt::Ref<Quill::MoRef> mmRef(new Quill::MoRef("tarn.host.MaintenanceManager", "maintenance-1"));
  auto maintenance = Quill::CreateStub<Tarn::Host::MaintenanceManagerStub>(mmRef.get(), adapter);
  Quill::AsyncResult<Basalt::Ref<Quill::MoRef>> task;
  maintenance->EnterPartialMaintenanceMode("bios", {}, task.Callback(), item);
  Basalt::Ref<Quill::MoRef> taskRef = task.Get(std::chrono::seconds(30));
  CHECK(taskRef && taskRef->GetTypeName() == "tarn.Task");
  Quill::AsyncResult<Basalt::Ref<Tarn::TaskInfo>> notAnInfo;
  maintenance->EnterPartialMaintenanceMode("bios", {}, notAnInfo.Callback(), item);
  CHECK_THROWS(Basalt::TypeMismatchException, notAnInfo.Get(std::chrono::seconds(30)));

  // A call whose callback is never run does not hang a bounded Get.
  Quill::AsyncResult<void> never;
  CHECK(!never.WaitFor(std::chrono::milliseconds(1)) && !never.IsDone());
  CHECK_THROWS(Basalt::Exception, never.Get(std::chrono::milliseconds(1)));
  // Only the first completion counts.
  Quill::InvokeCallback twice = never.Callback();
  twice(nullptr, nullptr, nullptr);
  Basalt::Ref<Tarn::Fault::NotFound> late(new Tarn::Fault::NotFound());
  std::unique_ptr<Quill::MethodFault::Exception> lateError(late->CreateException());
  twice(nullptr, lateError.get(), nullptr);
  never.Get(std::chrono::seconds(1));  // no throw: the first completion succeeded
}

void OwnAdapter(Quill::LocalAdapter* local) {
  Basalt::Ref<CountingAdapter> counting(new CountingAdapter(local));
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.host.MaintenanceManager", "maintenance-1"));
  auto maintenance = Quill::CreateStub<Tarn::Host::MaintenanceManagerStub>(ref.get(), counting.get());
  Basalt::Ref<Quill::MoRef> taskRef;
  maintenance->ExitPartialMaintenanceMode("bios", {}, taskRef);
  CHECK(counting->calls == 1 && counting->lastMethod == "exitPartialMaintenanceMode");
  CHECK(counting->lastHadEmptySlot);  // the unset timeout travels as an empty slot
  maintenance->ExitPartialMaintenanceMode("bios", 30, taskRef);
  CHECK(counting->calls == 2 && !counting->lastHadEmptySlot);
  CHECK(taskRef && taskRef->GetTypeName() == "tarn.Task");
}

}  // namespace

int main() {
  // [setup]
  Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  adapter->Register(nullptr, new Overhead(new Quill::MoRef("tarn.OverheadMemoryManager", "overhead-1")));
  Quill::Tasks::Manager tasks(adapter.get());
  adapter->Register(nullptr,
                    new Maintenance(new Quill::MoRef("tarn.host.MaintenanceManager", "maintenance-1"), tasks));
  // [setup]
  SyncCalls(adapter.get());
  TaskCalls(adapter.get());
  AsyncCalls(adapter.get());
  TypedAsyncCalls(adapter.get());
  OwnAdapter(adapter.get());

  // [shutdown]
  adapter->Shutdown();
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.OverheadMemoryManager", "overhead-1"));
  auto overhead = Quill::CreateStub<Tarn::OverheadMemoryManagerStub>(ref.get(), adapter.get());
  CHECK_THROWS(Quill::Fault::RequestCanceled::Exception, overhead->LookupVmOverheadMemory(nullptr, nullptr));
  // [shutdown]
  return guide::Finish("stubs-and-async");
}
