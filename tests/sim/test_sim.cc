// tarn-sim through the generated stubs over HTTP: a simulator in process on a
// loopback port, clients each with their own HttpAdapter (and so their own
// session cookie).
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>

#include "SimClient.h"
#include "quill/FaultText.h"
#include "quill/Faults.h"
#include "tarn/AboutInfo.h"
#include "tarn/DatastoreStub.h"
#include "tarn/HostSystemStub.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/fault/CpuHotPlugNotSupported.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidLogin.h"
#include "tarn/fault/InvalidName.h"
#include "tarn/fault/InvalidPowerState.h"
#include "tarn/fault/InvalidState.h"
#include "tarn/fault/NoPermission.h"
#include "tarn/fault/NotAuthenticated.h"
#include "tarn/fault/NotFound.h"
#include "tarn/fault/TaskInProgress.h"
#include "tarn/host/RuntimeInfo.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/FileLayout.h"
#include "tarn/vm/RuntimeInfo.h"
#include "tarn/vm/SnapshotStub.h"

namespace {

using Basalt::Ref;
using Quill::MoRef;
using PowerState = Tarn::VirtualMachine::PowerState;
using TaskState = Tarn::TaskInfo::State;

// One cluster of two hosts with three machines each, no standalone host.
Tarn::Sim::Options SmallModel(std::chrono::milliseconds taskDelay = std::chrono::milliseconds(0)) {
  return SimTest::Model(1, 2, 3, 0, taskDelay);
}

// One caller: its own adapter, so its own session (`user` null: not logged in).
class Client : public SimTest::Client {
 public:
  explicit Client(std::string const& url, char const* user = "admin") : SimTest::Client(url, user) {}

  // A machine's published field (see Tarn::Sim::VmField), found by its name.
  std::string Field(MoRef* vm, char const* name) {
    auto stub = Stub<Tarn::VirtualMachineStub>(vm);
    Ref<Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>> defs;
    stub->GetAvailableField(defs);
    int key = -1;
    for (std::size_t i = 0; i < defs->size(); ++i) {
      if (defs->Get(i)->name == name) key = defs->Get(i)->key;
    }
    Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> values;
    stub->GetCustomValue(values);
    for (std::size_t i = 0; i < values->size(); ++i) {
      if (values->Get(i)->key == key)
        return static_cast<Tarn::CustomFieldsManager::StringValue*>(values->Get(i))->value;
    }
    ADD_FAILURE() << "no field " << name;
    return "";
  }
  std::string Power(MoRef* vm) { return Field(vm, "powerState"); }

  Ref<Tarn::TaskInfo> Run(MoRef* vm, std::string_view op) {
    auto stub = Stub<Tarn::VirtualMachineStub>(vm);
    return Do([&](Ref<MoRef>& task) {
      if (op == "powerOn") stub->PowerOn(nullptr, task);
      if (op == "powerOff") stub->PowerOff(task);
      if (op == "suspend") stub->Suspend(task);
      if (op == "reset") stub->Reset(task);
      if (op == "destroy") stub->Destroy(task);
    });
  }
};

template <class F>
F* ErrorAs(Tarn::TaskInfo const* info) {
  return dynamic_cast<F*>(info->error.get());
}

TEST(Sessions, LoginLogoutAndRefusals) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl(), nullptr);
  ASSERT_TRUE(c.content->rootFolder);
  EXPECT_EQ(c.content->about->name, "tarn-sim");

  // Anonymous: the service content and the current session (none); nothing else.
  Ref<Tarn::UserSession> none;
  c.Sessions()->GetCurrentSession(none);
  EXPECT_FALSE(none);
  auto root = c.Stub<Tarn::FolderStub>(c.content->rootFolder.get());
  EXPECT_THROW(root->GetName(), Tarn::Fault::NotAuthenticated::Exception);
  EXPECT_THROW(c.Login("admin", "wrong"), Tarn::Fault::InvalidLogin::Exception);
  EXPECT_THROW(c.Login("nobody"), Tarn::Fault::InvalidLogin::Exception);
  EXPECT_THROW(root->GetName(), Tarn::Fault::NotAuthenticated::Exception);

  Ref<Tarn::UserSession> session = c.Login("admin");
  EXPECT_EQ(session->userName, "admin");
  EXPECT_EQ(root->GetName(), "Datacenters");
  Ref<Tarn::UserSession> current;
  c.Sessions()->GetCurrentSession(current);
  ASSERT_TRUE(current);
  EXPECT_EQ(current->key, session->key);

  Client viewer(sim.GetUrl(), nullptr);
  Ref<Tarn::UserSession> other = viewer.Login("viewer");
  Ref<Quill::DataArray<Tarn::UserSession>> list;
  c.Sessions()->GetSessionList(list);
  EXPECT_EQ(list->size(), 2u);

  // Terminating another session logs it out; an unknown id and one's own are refused.
  Ref<Quill::Array<std::string>> ids(new Quill::Array<std::string>());
  ids->Append("no-such-session");
  EXPECT_THROW(c.Sessions()->Terminate(ids.get()), Tarn::Fault::NotFound::Exception);
  ids->GetValues() = {session->key};
  EXPECT_THROW(c.Sessions()->Terminate(ids.get()), Quill::Fault::InvalidArgument::Exception);
  ids->GetValues() = {other->key};
  c.Sessions()->Terminate(ids.get());
  auto viewerRoot = viewer.Stub<Tarn::FolderStub>(viewer.content->rootFolder.get());
  EXPECT_THROW(viewerRoot->GetName(), Tarn::Fault::NotAuthenticated::Exception);
  c.Sessions()->GetSessionList(list);
  EXPECT_EQ(list->size(), 1u);

  c.Sessions()->Logout();
  EXPECT_THROW(root->GetName(), Tarn::Fault::NotAuthenticated::Exception);
}

TEST(Machines, PowerStateMachine) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.FindVm("poweredOff");
  ASSERT_TRUE(vm);

  struct Step {
    char const* op;
    char const* after;  // power state read back
    bool refused;       // with InvalidPowerState naming the state it found
  };
  Step const steps[] = {
      {"powerOff", "poweredOff", true}, {"suspend", "poweredOff", true},   {"reset", "poweredOff", true},
      {"powerOn", "poweredOn", false},  {"powerOn", "poweredOn", true},    {"reset", "poweredOn", false},
      {"suspend", "suspended", false},  {"suspend", "suspended", true},    {"reset", "suspended", true},
      {"powerOn", "poweredOn", false},  {"powerOff", "poweredOff", false},
  };
  for (Step const& s : steps) {
    std::string before = c.Power(vm.get());
    Ref<Tarn::TaskInfo> info = c.Run(vm.get(), s.op);
    EXPECT_EQ(c.Power(vm.get()), s.after) << s.op << " from " << before;
    if (s.refused) {
      ASSERT_EQ(info->state, TaskState::error) << s.op << " from " << before;
      auto* fault = ErrorAs<Tarn::Fault::InvalidPowerState>(info.get());
      ASSERT_NE(fault, nullptr) << s.op << ": " << Quill::DescribeFault(info->error.get());
      EXPECT_EQ(Quill::TagOf(fault->existingState), before);
    } else {
      EXPECT_EQ(info->state, TaskState::success) << s.op << " from " << before;
      EXPECT_FALSE(info->error);
    }
    EXPECT_EQ(info->entity->GetId(), vm->GetId());
  }

  // Boot time and guest data follow the power state.
  EXPECT_EQ(c.Field(vm.get(), "bootTime"), "");
  EXPECT_EQ(c.Field(vm.get(), "guestState"), "notRunning");
  c.Run(vm.get(), "powerOn");
  EXPECT_NE(c.Field(vm.get(), "bootTime"), "");
  EXPECT_EQ(c.Field(vm.get(), "guestState"), "running");
  EXPECT_NE(c.Field(vm.get(), "ipAddress"), "");
}

TEST(Machines, SecondOperationWhileOneRunsIsTaskInProgress) {
  Tarn::Sim::Simulator sim(SmallModel(std::chrono::milliseconds(1500)));
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  auto stub = c.Stub<Tarn::VirtualMachineStub>(vm.get());
  bool on = c.Power(vm.get()) == "poweredOn";
  Ref<MoRef> first, second;
  if (on) {
    stub->PowerOff(first);
  } else {
    stub->PowerOn(nullptr, first);
  }
  stub->Reset(second);
  Ref<Tarn::TaskInfo> info = c.Wait(second.get());
  auto* busy = ErrorAs<Tarn::Fault::TaskInProgress>(info.get());
  ASSERT_NE(busy, nullptr) << Quill::DescribeFault(info->error.get());
  EXPECT_EQ(busy->task->GetId(), first->GetId());
  EXPECT_EQ(c.Wait(first.get())->state, TaskState::success);
  EXPECT_EQ(c.Power(vm.get()), on ? "poweredOff" : "poweredOn");
}

TEST(Machines, DestroyOnlyWhenOffAndEverythingForgetsIt) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  if (c.Power(vm.get()) == "poweredOff") c.Run(vm.get(), "powerOn");
  Ref<Tarn::TaskInfo> refused = c.Run(vm.get(), "destroy");
  EXPECT_NE(ErrorAs<Tarn::Fault::InvalidPowerState>(refused.get()), nullptr);

  Ref<Quill::DataArray<MoRef>> stores;
  c.Stub<Tarn::VirtualMachineStub>(vm.get())->GetDatastore(stores);
  ASSERT_EQ(stores->size(), 1u);
  auto ds = c.Stub<Tarn::DatastoreStub>(stores->Get(0));
  Ref<Tarn::Datastore::Summary> before, after;
  ds->GetSummary(before);
  Ref<MoRef> host(new MoRef("tarn.HostSystem", c.Field(vm.get(), "host")));

  c.Run(vm.get(), "powerOff");
  EXPECT_EQ(c.Run(vm.get(), "destroy")->state, TaskState::success);
  EXPECT_THROW(c.Stub<Tarn::VirtualMachineStub>(vm.get())->GetName(), Quill::Fault::ManagedObjectNotFound::Exception);
  Ref<Quill::DataArray<MoRef>> vms;
  c.Stub<Tarn::HostSystemStub>(host.get())->GetVm(vms);
  EXPECT_FALSE(SimTest::Has(SimTest::Ids(vms.get()), vm.get()));
  ds->GetVm(vms);
  EXPECT_FALSE(SimTest::Has(SimTest::Ids(vms.get()), vm.get()));
  EXPECT_EQ(c.Vms().size(), 5u);
  ds->GetSummary(after);
  EXPECT_GT(after->freeSpace, before->freeSpace);
  EXPECT_EQ(after->capacity, before->capacity);
}

TEST(Machines, ReconfigureCpusAndMemoryWhenOff) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  auto stub = c.Stub<Tarn::VirtualMachineStub>(vm.get());
  auto reconfigure = [&](std::function<void(Tarn::Vm::ConfigSpec&)> fill) {
    Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
    fill(*spec);
    return c.Do([&](auto& task) { stub->Reconfigure(spec.get(), task); });
  };
  if (c.Power(vm.get()) != "poweredOn") c.Run(vm.get(), "powerOn");
  std::string cpus = c.Field(vm.get(), "numCPU");
  Ref<Tarn::TaskInfo> hot = reconfigure([&](Tarn::Vm::ConfigSpec& s) { s.numCPUs = std::stoi(cpus) + 1; });
  EXPECT_NE(ErrorAs<Tarn::Fault::CpuHotPlugNotSupported>(hot.get()), nullptr);
  EXPECT_EQ(c.Field(vm.get(), "numCPU"), cpus);

  c.Run(vm.get(), "powerOff");
  EXPECT_EQ(reconfigure([](Tarn::Vm::ConfigSpec& s) {
              s.numCPUs = 6;
              s.memoryMB = 3072;
              s.guestId = "ubuntu64Guest";
              s.name = "db-1";
            })->state,
            TaskState::success);
  EXPECT_EQ(c.Field(vm.get(), "numCPU"), "6");
  EXPECT_EQ(c.Field(vm.get(), "memoryMB"), "3072");
  EXPECT_EQ(c.Field(vm.get(), "guestId"), "ubuntu64Guest");
  EXPECT_EQ(stub->GetName(), "db-1");
  Ref<Tarn::Vm::RuntimeInfo> runtime;
  stub->GetRuntime(runtime);
  EXPECT_EQ(runtime->maxMemoryUsage, 3072);
  EXPECT_EQ(runtime->maxCpuUsage, 6 * 2400);

  // Out of range: refused, nothing applied.
  for (auto fill : std::vector<std::function<void(Tarn::Vm::ConfigSpec&)>>{
           [](Tarn::Vm::ConfigSpec& s) { s.numCPUs = 0; }, [](Tarn::Vm::ConfigSpec& s) { s.memoryMB = 1023; },
           [](Tarn::Vm::ConfigSpec& s) { s.guestId = "no-such-guest"; }}) {
    EXPECT_NE(ErrorAs<Quill::Fault::InvalidArgument>(reconfigure(fill).get()), nullptr);
  }
  EXPECT_EQ(c.Field(vm.get(), "memoryMB"), "3072");
}

TEST(Machines, CreateInAFolderOfMachines) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  Ref<MoRef> vmFolder, pool;
  auto dc = c.Stub<Tarn::DatacenterStub>(c.Datacenter().get());
  dc->GetVmFolder(vmFolder);
  Ref<MoRef> existing = c.Vms().front();
  c.Stub<Tarn::VirtualMachineStub>(existing.get())->GetResourcePool(pool);
  auto folder = c.Stub<Tarn::FolderStub>(vmFolder.get());
  auto create = [&](char const* name, int cpus) {
    Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
    spec->name = name;
    spec->numCPUs = cpus;
    spec->memoryMB = 2048L;
    return c.Do([&](auto& task) { folder->CreateVm(spec.get(), pool.get(), nullptr, task); });
  };
  Ref<Tarn::TaskInfo> made = create("web-1", 2);
  ASSERT_EQ(made->state, TaskState::success) << Quill::DescribeFault(made->error.get());
  auto* ref = dynamic_cast<MoRef*>(made->result.get());
  ASSERT_NE(ref, nullptr);
  Ref<MoRef> vm(ref);
  EXPECT_EQ(c.Stub<Tarn::VirtualMachineStub>(vm.get())->GetName(), "web-1");
  EXPECT_EQ(c.Power(vm.get()), "poweredOff");
  EXPECT_EQ(c.Field(vm.get(), "numCPU"), "2");
  EXPECT_EQ(c.Field(vm.get(), "memoryMB"), "2048");
  EXPECT_EQ(c.Vms().size(), 7u);
  Ref<Quill::DataArray<MoRef>> vms;
  Ref<MoRef> host(new MoRef("tarn.HostSystem", c.Field(vm.get(), "host")));
  c.Stub<Tarn::HostSystemStub>(host.get())->GetVm(vms);
  EXPECT_TRUE(SimTest::Has(SimTest::Ids(vms.get()), vm.get()));
  EXPECT_EQ(c.Run(vm.get(), "powerOn")->state, TaskState::success);

  EXPECT_NE(ErrorAs<Tarn::Fault::DuplicateName>(create("web-1", 1).get()), nullptr);
  EXPECT_NE(ErrorAs<Quill::Fault::InvalidArgument>(create("web-2", 0).get()), nullptr);
  EXPECT_EQ(c.Vms().size(), 7u);
  Ref<MoRef> task;
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = "elsewhere";
  auto root = c.Stub<Tarn::FolderStub>(c.content->rootFolder.get());
  EXPECT_THROW(root->CreateVm(spec.get(), pool.get(), nullptr, task), Tarn::Fault::InvalidState::Exception);
}

TEST(Machines, SnapshotTreeRevertAndRemove) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  auto stub = c.Stub<Tarn::VirtualMachineStub>(vm.get());
  if (c.Power(vm.get()) != "poweredOn") c.Run(vm.get(), "powerOn");
  std::string cpus = c.Field(vm.get(), "numCPU");
  auto snapshot = [&](char const* name, bool memory) {
    Ref<Tarn::TaskInfo> info = c.Do([&](auto& task) { stub->CreateSnapshot(name, {}, memory, false, task); });
    return Ref<MoRef>(dynamic_cast<MoRef*>(info->result.get()));
  };
  auto ids = [](Ref<Quill::DataArray<MoRef>> const& list) { return SimTest::Ids(list.get()); };
  auto wait = [&](Ref<MoRef> const& task) { return c.Wait(task.get()); };
  Ref<MoRef> task;
  Ref<Quill::DataArray<MoRef>> list;

  Ref<MoRef> s1 = snapshot("running", true);
  ASSERT_TRUE(s1);
  c.Run(vm.get(), "powerOff");
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->numCPUs = std::stoi(cpus) == 8 ? 4 : 8;
  stub->Reconfigure(spec.get(), task);
  wait(task);
  Ref<MoRef> s2 = snapshot("bigger", false);
  ASSERT_TRUE(s2);
  stub->GetRootSnapshot(list);
  EXPECT_EQ(ids(list), std::vector<std::string>{s1->GetId()});
  c.Stub<Tarn::Vm::SnapshotStub>(s1.get())->GetChildSnapshot(list);
  EXPECT_EQ(ids(list), std::vector<std::string>{s2->GetId()});
  Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> values;
  c.Stub<Tarn::Vm::SnapshotStub>(s2.get())->GetValue(values);
  EXPECT_EQ(static_cast<Tarn::CustomFieldsManager::StringValue*>(values->Get(0))->value, "bigger");
  stub->CreateSnapshot("", Basalt::Optional<std::string>(), true, false, task);
  EXPECT_NE(ErrorAs<Tarn::Fault::InvalidName>(wait(task).get()), nullptr);

  // Reverts put power state and configuration back.
  c.Stub<Tarn::Vm::SnapshotStub>(s1.get())->Revert(nullptr, Basalt::Optional<bool>(), task);
  EXPECT_EQ(wait(task)->state, TaskState::success);
  EXPECT_EQ(c.Power(vm.get()), "poweredOn");
  EXPECT_EQ(c.Field(vm.get(), "numCPU"), cpus);
  c.Stub<Tarn::Vm::SnapshotStub>(s2.get())->Revert(nullptr, Basalt::Optional<bool>(), task);
  wait(task);
  EXPECT_EQ(c.Power(vm.get()), "poweredOff");  // taken without memory
  EXPECT_EQ(c.Field(vm.get(), "numCPU"), std::to_string(*spec->numCPUs));

  // Removing s1 alone lifts s2 to the root; then all go.
  c.Stub<Tarn::Vm::SnapshotStub>(s1.get())->Remove(false, Basalt::Optional<bool>(), task);
  EXPECT_EQ(wait(task)->state, TaskState::success);
  stub->GetRootSnapshot(list);
  EXPECT_EQ(ids(list), std::vector<std::string>{s2->GetId()});
  EXPECT_THROW(c.Stub<Tarn::Vm::SnapshotStub>(s1.get())->GetChildSnapshot(list),
               Quill::Fault::ManagedObjectNotFound::Exception);
  stub->RemoveAllSnapshots(Basalt::Optional<bool>(), task);
  wait(task);
  stub->GetRootSnapshot(list);
  EXPECT_TRUE(ids(list).empty());
  EXPECT_THROW(c.Stub<Tarn::Vm::SnapshotStub>(s2.get())->GetVm(task), Quill::Fault::ManagedObjectNotFound::Exception);
  stub->RevertToCurrentSnapshot(nullptr, Basalt::Optional<bool>(), task);
  EXPECT_NE(ErrorAs<Tarn::Fault::NotFound>(wait(task).get()), nullptr);
}

TEST(Hosts, MaintenanceModeRefusedWhileMachinesRun) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  if (c.Power(vm.get()) != "poweredOn") c.Run(vm.get(), "powerOn");
  Ref<MoRef> hostRef(new MoRef("tarn.HostSystem", c.Field(vm.get(), "host")));
  auto host = c.Stub<Tarn::HostSystemStub>(hostRef.get());
  auto inMaintenance = [&] {
    Ref<Tarn::Host::RuntimeInfo> runtime;
    host->GetRuntime(runtime);
    return runtime->inMaintenanceMode;
  };
  auto enter = [&] { return c.Do([&](auto& task) { host->EnterMaintenanceMode(0, {}, nullptr, task); }); };
  auto exit = [&] { return c.Do([&](auto& task) { host->ExitMaintenanceMode(0, task); }); };

  EXPECT_NE(ErrorAs<Tarn::Fault::InvalidState>(enter().get()), nullptr);
  EXPECT_FALSE(inMaintenance());
  EXPECT_NE(ErrorAs<Tarn::Fault::InvalidState>(exit().get()), nullptr);  // not in maintenance

  Ref<Quill::DataArray<MoRef>> vms;
  host->GetVm(vms);
  for (std::size_t i = 0; i < vms->size(); ++i) {
    if (c.Power(vms->Get(i)) == "poweredOn") c.Run(vms->Get(i), "powerOff");
  }
  EXPECT_EQ(enter()->state, TaskState::success);
  EXPECT_TRUE(inMaintenance());
  // No machine starts on a host in maintenance.
  Ref<Tarn::TaskInfo> start = c.Run(vm.get(), "powerOn");
  EXPECT_NE(ErrorAs<Tarn::Fault::InvalidState>(start.get()), nullptr);
  EXPECT_EQ(c.Power(vm.get()), "poweredOff");
  EXPECT_EQ(exit()->state, TaskState::success);
  EXPECT_FALSE(inMaintenance());
  EXPECT_EQ(c.Run(vm.get(), "powerOn")->state, TaskState::success);
}

TEST(Privileges, ReadOnlyUserReadsButChangesNothing) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client admin(sim.GetUrl());
  Client viewer(sim.GetUrl(), "viewer");
  Ref<MoRef> vm = viewer.Vms().front();
  std::string power = viewer.Power(vm.get());
  auto stub = viewer.Stub<Tarn::VirtualMachineStub>(vm.get());
  EXPECT_FALSE(stub->GetName().empty());

  auto refused = [&](auto call, char const* privilege) {
    try {
      call();
      ADD_FAILURE() << privilege << ": not refused";
    } catch (Tarn::Fault::NoPermission::Exception& e) {
      auto* fault = static_cast<Tarn::Fault::NoPermission*>(e.GetFault());
      EXPECT_EQ(fault->privilegeId.IsSet() ? *fault->privilegeId : "", privilege);
    }
  };
  Ref<MoRef> task;
  refused([&] { stub->PowerOff(task); }, "VirtualMachine.Interact.PowerOff");
  refused([&] { stub->PowerOn(nullptr, task); }, "VirtualMachine.Interact.PowerOn");
  refused([&] { stub->Rename("x", task); }, "VirtualMachine.Config.Rename");
  refused([&] { stub->Destroy(task); }, "VirtualMachine.Inventory.Delete");
  Ref<MoRef> folder;
  auto root = viewer.Stub<Tarn::FolderStub>(viewer.content->rootFolder.get());
  refused([&] { root->CreateFolder("mine", folder); }, "Folder.Create");
  Ref<Quill::DataArray<Tarn::UserSession>> list;
  refused([&] { viewer.Sessions()->GetSessionList(list); }, "Sessions.TerminateSession");
  EXPECT_EQ(admin.Power(vm.get()), power);
  EXPECT_EQ(admin.Vms().size(), 6u);
}

TEST(Folders, CreateRenameDestroy) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  auto root = c.Stub<Tarn::FolderStub>(c.content->rootFolder.get());
  Ref<MoRef> a, b, inner;
  root->CreateFolder("Lab", a);
  root->CreateFolder("Staging", b);
  c.Stub<Tarn::FolderStub>(a.get())->CreateFolder("Inner", inner);
  try {
    root->CreateFolder("Lab", inner);
    ADD_FAILURE() << "duplicate accepted";
  } catch (Tarn::Fault::DuplicateName::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
    EXPECT_EQ(fault->name, "Lab");
    EXPECT_EQ(fault->object->GetId(), a->GetId());
  }
  for (std::string const& bad : std::vector<std::string>{"", "a/b", std::string(81, 'x')}) {
    Ref<MoRef> none;
    EXPECT_THROW(root->CreateFolder(bad, none), Tarn::Fault::InvalidName::Exception) << '"' << bad << '"';
  }

  auto renamed = [&](MoRef* folder, char const* name) {
    return c.Do([&](auto& task) { c.Stub<Tarn::FolderStub>(folder)->Rename(name, task); });
  };
  EXPECT_NE(ErrorAs<Tarn::Fault::DuplicateName>(renamed(b.get(), "Lab").get()), nullptr);
  EXPECT_EQ(renamed(b.get(), "Production")->state, TaskState::success);
  EXPECT_EQ(c.Stub<Tarn::FolderStub>(b.get())->GetName(), "Production");
  Ref<MoRef> parent;
  c.Stub<Tarn::FolderStub>(inner.get())->GetParent(parent);
  EXPECT_EQ(parent->GetId(), a->GetId());

  // A folder goes with the folders inside it; one holding anything else stays.
  Ref<MoRef> task;
  c.Stub<Tarn::FolderStub>(a.get())->Destroy(task);
  EXPECT_EQ(c.Wait(task.get())->state, TaskState::success);
  EXPECT_THROW(c.Stub<Tarn::FolderStub>(inner.get())->GetName(), Quill::Fault::ManagedObjectNotFound::Exception);
  Ref<Quill::DataArray<MoRef>> children;
  root->GetChildEntity(children);
  EXPECT_EQ(SimTest::Ids(children.get()), (std::vector<std::string>{c.Datacenter()->GetId(), b->GetId()}));
  Ref<MoRef> vmFolder;
  c.Stub<Tarn::DatacenterStub>(c.Datacenter().get())->GetVmFolder(vmFolder);
  c.Stub<Tarn::FolderStub>(vmFolder.get())->Destroy(task);
  EXPECT_NE(ErrorAs<Tarn::Fault::InvalidState>(c.Wait(task.get()).get()), nullptr);
}

// --- the query service ------------------------------------------------------

// Every machine under `root`: folders' children, datacenters' VM folders, the
// root itself left out.
Ref<Quill::Query::QuerySpec> MachinesUnder(MoRef* root, std::initializer_list<std::string> paths) {
  auto hop = [](std::string name, std::string type, std::string path, std::initializer_list<std::string> follow) {
    Ref<Quill::Query::Hop> h(new Quill::Query::Hop());
    h->name = std::move(name);
    h->type = Quill::TypeName(std::move(type));
    h->path = Quill::PropertyPath(std::move(path));
    h->follow = new Quill::Array<std::string>(follow);
    return h;
  };
  Ref<Quill::Query::QuerySpec> spec(new Quill::Query::QuerySpec());
  Ref<Quill::Query::ObjectSelection> start(new Quill::Query::ObjectSelection());
  start->obj = root;
  start->skip = true;
  start->follow = new Quill::Array<std::string>({"children"});
  spec->GetObjects()->Append(start.get());
  spec->GetHops()->Append(hop("children", "tarn.Folder", "childEntity", {"children", "dcVm"}).get());
  spec->GetHops()->Append(hop("dcVm", "tarn.Datacenter", "vmFolder", {"children"}).get());
  Ref<Quill::Query::PropertySelection> select(new Quill::Query::PropertySelection());
  select->type = Quill::TypeName("tarn.VirtualMachine");
  for (auto const& p : paths) select->GetPaths()->Append(Quill::PropertyPath(p));
  spec->GetProperties()->Append(select.get());
  return spec;
}

TEST(Query, RetrieveNamesEveryMachineOfTheModel) {
  auto o = SmallModel();
  o.model = {1, 2, 2, 4, 1, 1, 0};  // two clusters, so machines in more than one place
  Tarn::Sim::Simulator sim(o);
  Client c(sim.GetUrl(), "viewer");
  ASSERT_TRUE(c.content->propertyCollector);
  auto pc = c.Stub<Quill::Query::PropertyCollectorStub>(c.content->propertyCollector.get());
  Ref<Quill::DataArray<Quill::Query::QuerySpec>> specs(new Quill::DataArray<Quill::Query::QuerySpec>());
  specs->Append(MachinesUnder(c.content->rootFolder.get(), {"name"}).get());
  Ref<Quill::Query::RetrieveOptions> ro(new Quill::Query::RetrieveOptions());
  ro->maxObjects = 5;  // several pages
  std::multiset<std::string> got;
  Ref<Quill::Query::ResultPage> page;
  pc->Retrieve(specs.get(), ro.get(), page);
  for (int pages = 0; page && pages < 100; ++pages) {
    for (std::size_t i = 0; page->objects && i < page->objects->size(); ++i) {
      auto* r = (*page->objects)[i];
      EXPECT_EQ(r->obj->GetTypeName(), "tarn.VirtualMachine");
      ASSERT_TRUE(r->values && r->values->size() == 1u);
      auto* name = dynamic_cast<Quill::Primitive<std::string>*>((*r->values)[0]->val.get());
      ASSERT_NE(name, nullptr);
      got.insert(name->GetValue());
    }
    if (!page->token.IsSet()) break;
    std::string token = *page->token;
    pc->ContinueRetrieve(token, page);
  }
  std::multiset<std::string> want;
  {
    std::lock_guard<std::mutex> lock(sim.GetInventory().Mutex());
    for (auto const& e : sim.GetInventory().All()) {
      if (e->kind == Tarn::Sim::Kind::Vm && !e->destroyed) want.insert(e->name);
    }
  }
  EXPECT_EQ(want.size(), 16u);
  EXPECT_EQ(got, want);
}

TEST(Query, WatcherSeesAPowerOnMadeThroughTheStub) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  SimTest::Watch watch(c, MachinesUnder(c.content->rootFolder.get(), {"customValue", "guestHeartbeatStatus"}));
  ASSERT_TRUE(watch.first && watch.first->watches && watch.first->watches->size() == 1u);
  EXPECT_EQ((*watch.first->watches)[0]->objects->size(), 6u);

  Ref<MoRef> vm = c.FindVm("poweredOff");
  ASSERT_TRUE(vm);
  ASSERT_EQ(c.Run(vm.get(), "powerOn")->state, TaskState::success);

  // The change may come in more than one answer.
  bool heartbeat = false, power = false;
  watch.Until([&](Quill::Query::ObjectChange const& ch, Quill::Query::PropertyChange const& pch) {
    EXPECT_EQ(ch.obj->GetId(), vm->GetId()) << "only the powered machine changed";
    EXPECT_EQ(ch.kind, Quill::Query::ChangeKind::modify);
    if (pch.path.GetString() == "guestHeartbeatStatus") heartbeat = true;
    auto* values = dynamic_cast<Quill::DataArray<Tarn::CustomFieldsManager::Value>*>(pch.value.get());
    for (std::size_t v = 0; values && v < values->size(); ++v) {
      auto* text = dynamic_cast<Tarn::CustomFieldsManager::StringValue*>(values->Get(v));
      if (text && text->key == Tarn::Sim::kFieldPowerState) power = text->value == "poweredOn";
    }
    return heartbeat && power;
  });
  EXPECT_TRUE(power) << "the power state change did not reach the watcher";
  EXPECT_TRUE(heartbeat);
}

TEST(Model, ChangesReachTheListener) {
  Tarn::Sim::Simulator sim(SmallModel());
  std::mutex mutex;
  std::set<std::string> seen;
  sim.GetInventory().SetChangeListener([&](MoRef const& ref, std::vector<std::string_view> const& paths) {
    std::lock_guard<std::mutex> lock(mutex);
    if (paths.empty()) seen.insert(ref.GetId() + ":*");
    for (auto path : paths) seen.insert(ref.GetId() + ":" + std::string(path));
  });
  auto saw = [&](std::string const& id, char const* path) {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.count(id + ":" + path) == 1;
  };
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  std::string host = c.Field(vm.get(), "host");
  Ref<Quill::DataArray<MoRef>> stores;
  c.Stub<Tarn::VirtualMachineStub>(vm.get())->GetDatastore(stores);
  std::string datastore = stores->Get(0)->GetId();
  Ref<MoRef> vmFolder;
  c.Stub<Tarn::DatacenterStub>(c.Datacenter().get())->GetVmFolder(vmFolder);

  c.Run(vm.get(), c.Power(vm.get()) == "poweredOn" ? "powerOff" : "powerOn");
  EXPECT_TRUE(saw(vm->GetId(), "customValue"));
  Ref<MoRef> task;
  c.Stub<Tarn::VirtualMachineStub>(vm.get())->Rename("renamed", task);
  c.Wait(task.get());
  EXPECT_TRUE(saw(vm->GetId(), "name"));
  if (c.Power(vm.get()) != "poweredOff") c.Run(vm.get(), "powerOff");
  c.Run(vm.get(), "destroy");
  for (auto [id, path] : std::vector<std::pair<std::string, char const*>>{
           {vm->GetId(), "*"}, {host, "vm"}, {datastore, "summary.freeSpace"}, {vmFolder->GetId(), "childEntity"}}) {
    EXPECT_TRUE(saw(id, path)) << id << ":" << path;
  }
  Ref<MoRef> folder;
  c.Stub<Tarn::FolderStub>(c.content->rootFolder.get())->CreateFolder("new", folder);
  EXPECT_TRUE(saw(folder->GetId(), "*"));
  EXPECT_TRUE(saw(c.content->rootFolder->GetId(), "childEntity"));
}

TEST(Model, SeedDecidesTheInventory) {
  auto fingerprint = [](std::uint64_t seed) {
    Tarn::Sim::Inventory inv({2, 2, 2, 5, 2, 2}, seed);
    std::string out;
    for (auto const& e : inv.All()) {
      out += e->ref->GetId() + "=" + e->name;
      if (e->kind == Tarn::Sim::Kind::Vm) {
        auto* vm = static_cast<Tarn::Sim::VmEntity*>(e.get());
        out += ":" + std::to_string(vm->memoryMB) + "/" + std::to_string(vm->numCPU) + "/" +
               std::to_string(int(vm->power)) + "/" + vm->host->ref->GetId();
      }
      out += ";";
    }
    return out;
  };
  EXPECT_EQ(fingerprint(7), fingerprint(7));
  EXPECT_NE(fingerprint(7), fingerprint(8));

  // The ids docs/simulator.md shows for the default model.
  Tarn::Sim::Inventory standard(Tarn::Sim::ModelSize{}, 1);
  for (auto [id, name] : std::vector<std::pair<char const*, char const*>>{{"group-d-1", "Datacenters"},
                                                                          {"datacenter-2", "DC0"},
                                                                          {"group-3", "vm"},
                                                                          {"domain-c-9", "DC0_C0"},
                                                                          {"host-13", "DC0_C0_H0"},
                                                                          {"vm-14", "DC0_C0_H0_VM0"}}) {
    Tarn::Sim::Entity* e = standard.Find(id);
    ASSERT_NE(e, nullptr) << id;
    EXPECT_EQ(e->name, name) << id;
  }
  EXPECT_EQ(standard.VmCount(), 28u);  // and a standalone host's four

  // Every datastore's free space is its capacity less the disks of its machines.
  Tarn::Sim::Inventory inv({1, 2, 3, 4, 2, 2}, 3);
  EXPECT_EQ(inv.VmCount(), 28u);
  for (auto const& e : inv.All()) {
    if (e->kind != Tarn::Sim::Kind::Datastore) continue;
    auto* ds = static_cast<Tarn::Sim::DatastoreEntity*>(e.get());
    std::int64_t disks = 0;
    for (auto* vm : ds->vms) {
      EXPECT_EQ(vm->datastore, ds);
      for (auto const& d : vm->devices) disks += d.capacityKB * 1024;
    }
    EXPECT_EQ(ds->used, disks);
    EXPECT_LT(ds->used, ds->capacity);
  }
}

}  // namespace
