// Tasks end to end: implementations start them with Quill::Tasks::Manager, clients follow
// them with Quill::WaitForTask (sync and async), in process and over HTTP on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "quill/FaultText.h"
#include "quill/Quill.h"
#include "quill/tasks/Tasks.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/FolderStub.h"
#include "tarn/TaskFilterSpec.h"
#include "tarn/TaskHistoryCollectorStub.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskManagerStub.h"
#include "tarn/TaskReasonSystem.h"
#include "tarn/TaskReasonUser.h"
#include "tarn/TaskStub.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidState.h"
#include "tarn/vm/ConfigSpec.h"
#ifdef TASKS_OVER_HTTP
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#endif

namespace {

using namespace std::chrono_literals;
using Basalt::Ref;
using Quill::MoRef;

// Holds the "slow" tasks until opened; every wait is bounded.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> waiting{0};
  void Open() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
  bool Wait(Quill::Tasks::Progress& progress) {  // false: cancelled
    ++waiting;
    std::unique_lock lock(mutex);
    for (int i = 0; i < 500 && !open; ++i) {
      if (progress.IsCancelRequested()) return false;
      cv.wait_for(lock, 10ms);
    }
    return true;
  }
};

// createVm as a task: "dup" fails with DuplicateName, "slow" waits at the gate (reporting
// 50 %), anything else answers a new machine's reference.
class Folder : public Tarn::FolderSkeleton {
 public:
  Folder(MoRef* ref, Quill::Tasks::Manager& tasks, Gate& gate) : FolderSkeleton(ref), _tasks(tasks), _gate(gate) {}
  void CreateVm(Tarn::Vm::ConfigSpec* config, MoRef*, MoRef*, Ref<MoRef>& result) override {
    std::string name = config && config->name.IsSet() ? config->name.GetValue() : "";
    Gate* gate = &_gate;
    result = _tasks.Start(_GetRef(), "tarn.Folder.createVm", [name, gate](Quill::Tasks::Progress& progress) {
      if (name == "dup") {
        Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
        fault->name = name;
        fault->Throw();
      }
      if (name == "slow") {
        progress.Report(50);
        if (!gate->Wait(progress)) {
          Ref<Quill::Fault::RequestCanceled> fault(new Quill::Fault::RequestCanceled());
          fault->Throw();
        }
      }
      if (name == "oops") throw std::runtime_error("disk full");
      return Ref<Quill::Any>(new MoRef("tarn.VirtualMachine", "vm-" + name));
    });
  }

 private:
  Quill::Tasks::Manager& _tasks;
  Gate& _gate;
};

struct Inventory {
  explicit Inventory(Quill::Tasks::Manager::Options options = {})
      : adapter(new Quill::LocalAdapter()), tasks(adapter.get(), options) {
    folderRef = new MoRef("tarn.Folder", "group-d1");
    adapter->Register(nullptr, new Folder(folderRef.get(), tasks, gate));
  }
  ~Inventory() {
    gate.Open();
    adapter->Shutdown();
  }
  Ref<MoRef> CreateVm(Quill::StubAdapter* through, std::string const& name) {
    auto folder = Quill::CreateStub<Tarn::FolderStub>(folderRef.get(), through);
    Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
    spec->name = name;
    Ref<MoRef> task;
    Ref<MoRef> pool(new MoRef("tarn.ResourcePool", "resgroup-1"));
    folder->CreateVm(spec.get(), pool.get(), nullptr, task);
    return task;
  }
  Gate gate;
  Ref<Quill::LocalAdapter> adapter;
  Quill::Tasks::Manager tasks;
  Ref<MoRef> folderRef;
};

Ref<Tarn::TaskInfo> Info(Quill::StubAdapter* adapter, MoRef* task) {
  Ref<Tarn::TaskInfo> info;
  Quill::CreateStub<Tarn::TaskStub>(task, adapter)->GetInfo(info);
  return info;
}

// Until the condition holds or 5 s pass.
template <class F>
bool Eventually(F condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

// The same checks through an in-process adapter and through HTTP.
void ResultsFaultsAndProgress(Inventory& inv, Quill::StubAdapter* client) {
  Ref<MoRef> task = inv.CreateVm(client, "web");
  Ref<MoRef> vm = Quill::WaitForTask<Ref<MoRef>>(client, task.get(), 10s);
  ASSERT_TRUE(vm);
  EXPECT_EQ(vm->GetId(), "vm-web");
  Ref<Tarn::TaskInfo> info = Info(client, task.get());
  EXPECT_EQ(info->state, Tarn::TaskInfo::State::success);
  EXPECT_EQ(info->descriptionId, "tarn.Folder.createVm");
  EXPECT_EQ(info->entity->GetId(), "group-d1");
  EXPECT_EQ(info->progress.GetValue(), 100);
  auto stub = Quill::CreateStub<Tarn::TaskStub>(task.get(), client);
  EXPECT_EQ(Quill::WaitForTask<Ref<MoRef>>(stub.get(), 1s)->GetId(), "vm-web") << "an ended task answers at once";
  EXPECT_THROW(stub->Cancel(), Tarn::Fault::InvalidState::Exception) << "an ended task cannot be cancelled";

  // A fault the work throws reaches the waiter as its own class; anything else as SystemError.
  task = inv.CreateVm(client, "dup");
  try {
    Quill::WaitForTask(client, task.get(), 10s);
    ADD_FAILURE() << "no fault";
  } catch (Tarn::Fault::DuplicateName::Exception const& e) {
    EXPECT_EQ(static_cast<Tarn::Fault::DuplicateName*>(e.GetFault())->name, "dup");
  }
  task = inv.CreateVm(client, "oops");
  try {
    Quill::WaitForTask(client, task.get(), 10s);
    ADD_FAILURE() << "no fault";
  } catch (Quill::Fault::SystemError::Exception const& e) {
    EXPECT_NE(Quill::FaultText(e).find("disk full"), std::string::npos) << Quill::FaultText(e);
  }

  // Running: progress is visible, a short wait gives up (the task goes on), cancel reaches the work.
  int waitingBefore = inv.gate.waiting.load();
  task = inv.CreateVm(client, "slow");
  ASSERT_TRUE(Eventually([&] { return inv.gate.waiting.load() > waitingBefore; }));
  info = Info(client, task.get());
  EXPECT_EQ(info->state, Tarn::TaskInfo::State::running);
  EXPECT_EQ(info->progress.GetValue(), 50);
  EXPECT_THROW(Quill::WaitForTask(client, task.get(), 20ms), Basalt::Exception);
  Quill::CreateStub<Tarn::TaskStub>(task.get(), client)->Cancel();
  EXPECT_THROW(Quill::WaitForTask(client, task.get(), 10s), Quill::Fault::RequestCanceled::Exception);

  // The async form, read through an AsyncResult of the result's type.
  Quill::AsyncResult<Ref<MoRef>> later, failed;
  Quill::StartWaitForTask(client, inv.CreateVm(client, "db").get(), 10s, later.Callback());
  Quill::StartWaitForTask(client, inv.CreateVm(client, "dup").get(), 10s, failed.Callback());
  EXPECT_EQ(later.Get(10s)->GetId(), "vm-db");
  EXPECT_THROW(failed.Get(10s), Tarn::Fault::DuplicateName::Exception);
  Quill::AsyncResult<Ref<MoRef>> late;
  task = inv.CreateVm(client, "slow");
  Quill::StartWaitForTask(client, task.get(), 20ms, late.Callback());
  EXPECT_THROW(late.Get(10s), Basalt::Exception);
  inv.gate.Open();
  EXPECT_EQ(Quill::WaitForTask<Ref<MoRef>>(client, task.get(), 10s)->GetId(), "vm-slow");
}

TEST(Tasks, InProcess) {
  Inventory inv;
  ResultsFaultsAndProgress(inv, inv.adapter.get());
}

#ifdef TASKS_OVER_HTTP
TEST(Tasks, OverHttp) {
  Inventory inv;
  Quill::HttpServer server(inv.adapter.get(), Quill::HttpServer::Options{});
  Quill::HttpAdapter::Settings settings;
  settings.url = server.GetUrl();
  settings.callTimeout = 10s;
  Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(settings));
  try {
    ResultsFaultsAndProgress(inv, http.get());
  } catch (std::exception const& e) {
    ADD_FAILURE() << Quill::FaultText(e);
  }
  http->Shutdown();
  server.Stop(2s);
}
#endif

TEST(Tasks, FinishedTasksAreForgottenByCountAndByAge) {
  Quill::Tasks::Manager::Options few;
  few.maxFinished = 2;
  Inventory inv(few);
  Quill::StubAdapter* client = inv.adapter.get();
  std::vector<Ref<MoRef>> started;
  for (int i = 0; i < 5; ++i) started.push_back(inv.CreateVm(client, "vm" + std::to_string(i)));
  ASSERT_TRUE(Eventually([&] { return inv.tasks.GetTaskCount() == 2; })) << inv.tasks.GetTaskCount();
  std::size_t found = 0;
  for (auto const& task : started) found += inv.adapter->Find(task.get()) ? 1 : 0;
  EXPECT_EQ(found, 2u) << "the forgotten ones are unregistered";
  EXPECT_THROW(Info(client, started[0].get()), Quill::Fault::ManagedObjectNotFound::Exception);
  std::vector<Ref<Tarn::TaskInfo>> recent = inv.tasks.Recent();
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(inv.tasks.Recent(1).size(), 1u);
  for (auto const& info : recent) EXPECT_EQ(info->state, Tarn::TaskInfo::State::success);

  // A running task is never forgotten; with no time to keep them, finished ones go at once.
  Quill::Tasks::Manager::Options none;
  none.keepFinished = 0ms;
  Inventory brief(none);
  Ref<MoRef> slow = brief.CreateVm(brief.adapter.get(), "slow");
  for (int i = 0; i < 3; ++i) brief.CreateVm(brief.adapter.get(), "x" + std::to_string(i));
  ASSERT_TRUE(Eventually([&] { return brief.tasks.GetTaskCount() == 1; })) << brief.tasks.GetTaskCount();
  EXPECT_EQ(Info(brief.adapter.get(), slow.get())->state, Tarn::TaskInfo::State::running);
  brief.gate.Open();
  ASSERT_TRUE(Eventually([&] { return brief.tasks.GetTaskCount() == 0; }));
  EXPECT_FALSE(brief.adapter->Find(slow.get()));
}

// Who started a task and on what it ran, as its info tells.
TEST(Tasks, OriginNamesTheUserAndTheEntity) {
  Inventory inv;
  Quill::Tasks::Origin origin{"web-1", "alice"};
  Ref<MoRef> mine = inv.tasks.Start(
      inv.folderRef.get(), "x", [](auto&) { return Ref<Quill::Any>(); }, origin);
  Ref<MoRef> system = inv.tasks.Start(inv.folderRef.get(), "x", [](auto&) { return Ref<Quill::Any>(); });
  Ref<Tarn::TaskInfo> info = Info(inv.adapter.get(), mine.get());
  auto* user = dynamic_cast<Tarn::TaskReasonUser*>(info->reason.get());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->userName, "alice");
  EXPECT_EQ(info->entityName.GetValue(), "web-1");
  info = Info(inv.adapter.get(), system.get());
  EXPECT_NE(dynamic_cast<Tarn::TaskReasonSystem*>(info->reason.get()), nullptr);
  EXPECT_FALSE(info->entityName.IsSet());
}

// A collector's place in the history is a task's, not a count: tasks that are forgotten
// or start meanwhile do not move it. Collectors are limited in number.
TEST(Tasks, HistoryCollectorKeepsItsPlaceWhileTasksComeAndGo) {
  Quill::Tasks::Manager::Options few;
  few.maxFinished = 3;
  Inventory inv(few);
  Quill::StubAdapter* client = inv.adapter.get();
  Ref<MoRef> managerRef = inv.tasks.ServeTaskManager("TaskManager", {}, 50, 1);
  auto manager = Quill::CreateStub<Tarn::TaskManagerStub>(managerRef.get(), client);
  std::vector<std::string> keys;
  auto run = [&](int n) {
    for (int i = 0; i < n; ++i) {
      Ref<MoRef> task = inv.CreateVm(client, "vm" + std::to_string(keys.size()));
      Quill::WaitForTask(client, task.get(), 10s);
      keys.push_back(task->GetId());
    }
  };
  auto ids = [](Quill::DataArray<Tarn::TaskInfo>* page) {
    std::vector<std::string> out;
    for (std::size_t i = 0; page && i < page->size(); ++i) out.push_back(page->Get(i)->key);
    return out;
  };
  run(3);
  Ref<MoRef> ref;
  manager->CreateCollector(nullptr, ref);
  EXPECT_THROW(manager->CreateCollector(nullptr, ref), Tarn::Fault::InvalidState::Exception) << "one at most";
  auto collector = Quill::CreateStub<Tarn::TaskHistoryCollectorStub>(ref.get(), client);
  Ref<Quill::DataArray<Tarn::TaskInfo>> page;
  collector->ReadPrev(1, page);
  EXPECT_EQ(ids(page.get()), std::vector<std::string>{keys[2]});
  run(3);  // the first three are forgotten
  ASSERT_TRUE(Eventually([&] { return inv.tasks.GetTaskCount() == 3; }));
  collector->ReadPrev(5, page);
  EXPECT_TRUE(ids(page.get()).empty());
  collector->ReadNext(5, page);
  EXPECT_EQ(ids(page.get()), std::vector<std::string>(keys.begin() + 3, keys.end()));
  Ref<Quill::DataArray<MoRef>> recent;
  manager->GetRecentTask(recent);
  EXPECT_EQ(recent->size(), 3u);
  EXPECT_THROW(collector->ReadNext(-1, page), Quill::Fault::InvalidArgument::Exception);

  collector->Remove();
  EXPECT_THROW(collector->Rewind(), Quill::Fault::ManagedObjectNotFound::Exception);
  manager->CreateCollector(nullptr, ref);  // room for one again
}

TEST(Tasks, BadArgumentsAreRefused) {
  Inventory inv;
  EXPECT_THROW(inv.tasks.Start(nullptr, "x", nullptr), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(Quill::WaitForTask(nullptr, inv.folderRef.get(), 1s), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(Quill::WaitForTask(inv.adapter.get(), nullptr, 1s), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(Quill::Tasks::Manager(nullptr), Quill::Fault::InvalidArgument::Exception);
  Ref<MoRef> nobody(new MoRef("tarn.Task", "task-404"));
  EXPECT_THROW(Quill::WaitForTask(inv.adapter.get(), nobody.get(), 1s), Quill::Fault::ManagedObjectNotFound::Exception);
}

}  // namespace
