// tarn-sim's machine, folder, host and task operations through the generated stubs over
// HTTP, checked against what the query service reads back and what its watchers see.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "SimClient.h"
#include "quill/Faults.h"
#include "tarn/ComputeResourceStub.h"
#include "tarn/HostSystemStub.h"
#include "tarn/TaskFilterSpec.h"
#include "tarn/TaskHistoryCollectorStub.h"
#include "tarn/TaskManagerStub.h"
#include "tarn/TaskReasonUser.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/fault/AlreadyExists.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidDatastore.h"
#include "tarn/fault/InvalidFolder.h"
#include "tarn/fault/InvalidHostConnectionState.h"
#include "tarn/fault/InvalidPowerState.h"
#include "tarn/fault/InvalidState.h"
#include "tarn/fault/NotFound.h"
#include "tarn/fault/TaskInProgress.h"
#include "tarn/fault/ToolsUnavailable.h"
#include "tarn/vm/CloneSpec.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/RelocateSpec.h"

namespace {

using namespace SimTest;
using PowerState = Tarn::VirtualMachine::PowerState;
using VmStub = Tarn::VirtualMachineStub;

Ref<MoRef> PowerOff(Client& c, MoRef* vm) {
  if (c.Field(vm, Tarn::Sim::kFieldPowerState) != "poweredOff") {
    c.Succeed([&](auto& t) { c.Stub<VmStub>(vm)->PowerOff(t); });
  }
  return vm;
}

Ref<MoRef> Reconfigure(Client& c, MoRef* vm, std::function<void(Tarn::Vm::ConfigSpec&)> fill) {
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  fill(*spec);
  Ref<MoRef> task;
  c.Stub<VmStub>(vm)->Reconfigure(spec.get(), task);
  return task;
}

Ref<MoRef> HostOf(Client& c, MoRef* vm) {
  std::string id = c.Field(vm, Tarn::Sim::kFieldHost);
  return Ref<MoRef>(new MoRef("tarn.HostSystem", id));
}

TEST(Templates, RefusePowerAndSnapshotsUntilMarkedAsMachines) {
  Tarn::Sim::Simulator sim(Model(1, 2, 2, 0));
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.FindVm("poweredOn");
  ASSERT_TRUE(vm);
  auto stub = c.Stub<VmStub>(vm.get());
  EXPECT_THROW(stub->MarkAsTemplate(), Tarn::Fault::InvalidPowerState::Exception);
  PowerOff(c, vm.get());
  stub->MarkAsTemplate();
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldTemplate), "true");
  EXPECT_THROW(stub->MarkAsTemplate(), Tarn::Fault::InvalidState::Exception);

  c.Fails<Tarn::Fault::InvalidState>([&](auto& t) { stub->PowerOn(nullptr, t); });
  c.Fails<Tarn::Fault::InvalidState>([&](auto& t) { stub->CreateSnapshot("s1", {}, false, false, t); });
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldPowerState), "poweredOff");

  Ref<MoRef> pool;
  stub->GetResourcePool(pool);
  stub->MarkAsVirtualMachine(pool.get(), nullptr);
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldTemplate), "false");
  EXPECT_THROW(stub->MarkAsVirtualMachine(pool.get(), nullptr), Tarn::Fault::InvalidState::Exception);
  c.Succeed([&](auto& t) { stub->PowerOn(nullptr, t); });
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldPowerState), "poweredOn");
}

TEST(Machines, ShutdownGuestNeedsItPoweredOnWithToolsRunning) {
  Tarn::Sim::Simulator sim(Model(1, 2, 3, 0));
  Client c(sim.GetUrl());
  std::vector<Ref<MoRef>> vms = c.Vms();
  Ref<MoRef> off = PowerOff(c, vms[0].get());
  // The generic guest stands for a machine without tools.
  Ref<MoRef> bare = PowerOff(c, vms[1].get());
  c.Succeed(Reconfigure(c, bare.get(), [](auto& s) { s.guestId = "otherLinux64Guest"; }).get());
  Ref<MoRef> tooled = PowerOff(c, vms[2].get());
  c.Succeed(Reconfigure(c, tooled.get(), [](auto& s) { s.guestId = "debian12_64Guest"; }).get());
  for (MoRef* vm : {bare.get(), tooled.get()}) {
    c.Succeed([&](auto& t) { c.Stub<VmStub>(vm)->PowerOn(nullptr, t); });
  }
  EXPECT_EQ(c.Field(bare.get(), Tarn::Sim::kFieldToolsStatus), "guestToolsNotRunning");
  EXPECT_EQ(c.Field(tooled.get(), Tarn::Sim::kFieldToolsStatus), "guestToolsRunning");

  try {
    c.Stub<VmStub>(off.get())->ShutdownGuest();
    ADD_FAILURE() << "a powered-off guest shut down";
  } catch (Tarn::Fault::InvalidPowerState::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::InvalidPowerState*>(e.GetFault());
    EXPECT_EQ(fault->existingState, PowerState::poweredOff);
  }
  EXPECT_THROW(c.Stub<VmStub>(bare.get())->ShutdownGuest(), Tarn::Fault::ToolsUnavailable::Exception);

  Watch watch(c, tooled.get(), {"customValue"});
  c.Stub<VmStub>(tooled.get())->ShutdownGuest();
  bool down = watch.Until([](Quill::Query::PropertyChange const& ch) {
    auto* values = dynamic_cast<Quill::DataArray<Tarn::CustomFieldsManager::Value>*>(ch.value.get());
    for (std::size_t i = 0; values && i < values->size(); ++i) {
      auto* text = dynamic_cast<Tarn::CustomFieldsManager::StringValue*>(values->Get(i));
      if (text && text->key == Tarn::Sim::kFieldPowerState && text->value == "poweredOff") return true;
    }
    return false;
  });
  EXPECT_TRUE(down) << "the watcher did not see the guest power off";
  EXPECT_EQ(c.Field(tooled.get(), Tarn::Sim::kFieldBootTime), "");
}

// The same clones in two simulators of the same seed get the same ids; a copy has its
// source's configuration and disk, on the datastore asked for.
TEST(Machines, CloneCopiesTheMachineUnderANewDeterministicId) {
  std::vector<std::string> ids[2];
  for (auto& out : ids) {
    Tarn::Sim::Simulator sim(Model(1, 2, 2, 1));
    Client c(sim.GetUrl());
    Ref<MoRef> source = c.Vms().front();
    auto stub = c.Stub<VmStub>(source.get());
    Ref<Tarn::Vm::CloneSpec> spec(new Tarn::Vm::CloneSpec());
    spec->location = new Tarn::Vm::RelocateSpec();
    spec->powerOn = false;
    spec->template_ = false;
    auto copy = c.SucceedRef([&](auto& t) { stub->Clone(c.VmFolder().get(), "copy", spec.get(), t); });
    ASSERT_TRUE(copy);
    out.push_back(copy->GetId());
    for (int key :
         {Tarn::Sim::kFieldNumCPU, Tarn::Sim::kFieldMemoryMB, Tarn::Sim::kFieldGuestId, Tarn::Sim::kFieldHost}) {
      EXPECT_EQ(c.Field(copy.get(), key), c.Field(source.get(), key)) << key;
    }
    EXPECT_EQ(c.Field(copy.get(), Tarn::Sim::kFieldPowerState), "poweredOff");
    EXPECT_EQ(c.ReadString(copy.get(), "name"), "copy");

    // Again, under the same name: refused; then powered on, as a template, with more memory.
    c.Fails<Tarn::Fault::DuplicateName>([&](auto& t) { stub->Clone(c.VmFolder().get(), "copy", spec.get(), t); });
    spec->powerOn = true;
    spec->config = new Tarn::Vm::ConfigSpec();
    spec->config->memoryMB = 2048;
    auto running = c.SucceedRef([&](auto& t) { stub->Clone(c.VmFolder().get(), "running", spec.get(), t); });
    EXPECT_EQ(c.Field(running.get(), Tarn::Sim::kFieldPowerState), "poweredOn");
    EXPECT_EQ(c.Field(running.get(), Tarn::Sim::kFieldMemoryMB), "2048");
    out.push_back(running->GetId());
    spec->config = nullptr;
    spec->template_ = true;
    auto golden = c.SucceedRef([&](auto& t) { stub->Clone(c.VmFolder().get(), "golden", spec.get(), t); });
    EXPECT_EQ(c.Field(golden.get(), Tarn::Sim::kFieldTemplate), "true");
    EXPECT_EQ(c.Field(golden.get(), Tarn::Sim::kFieldPowerState), "poweredOff") << "a template is not powered on";

    // A datastore its host does not see: the standalone host's own.
    std::vector<Ref<MoRef>> hosts = c.Children(c.HostFolder().get());
    Ref<Quill::DataArray<MoRef>> local;
    c.Stub<Tarn::ComputeResourceStub>(hosts.back().get())->GetDatastore(local);
    ASSERT_EQ(local->size(), 1u);
    spec->template_ = false;
    spec->powerOn = false;
    spec->location->datastore = local->Get(0);
    auto* fault = c.Fails<Tarn::Fault::InvalidDatastore>(
        [&](auto& t) { stub->Clone(c.VmFolder().get(), "elsewhere", spec.get(), t); });
    if (fault) {
      EXPECT_EQ(fault->datastore->GetId(), local->Get(0)->GetId());
    }
  }
  EXPECT_EQ(ids[0], ids[1]);
}

TEST(Machines, RelocateMovesAmongHostsPoolsAndDatastores) {
  Tarn::Sim::Simulator sim(Model(1, 2, 2, 1));
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  Ref<MoRef> from = HostOf(c, vm.get());
  std::vector<Ref<MoRef>> computes = c.Children(c.HostFolder().get());
  ASSERT_EQ(computes.size(), 2u);
  Ref<Quill::DataArray<MoRef>> clusterHosts, localStores;
  c.Stub<Tarn::ComputeResourceStub>(computes[0].get())->GetHost(clusterHosts);
  c.Stub<Tarn::ComputeResourceStub>(computes[1].get())->GetDatastore(localStores);
  Ref<MoRef> to(clusterHosts->Get(0)->GetId() == from->GetId() ? clusterHosts->Get(1) : clusterHosts->Get(0));

  Watch watch(c, to.get(), {"vm"});
  Ref<Tarn::Vm::RelocateSpec> spec(new Tarn::Vm::RelocateSpec());
  spec->host = to;
  c.Succeed([&](auto& t) {
    c.Stub<VmStub>(vm.get())->Relocate(spec.get(), Basalt::Optional<Tarn::VirtualMachine::MovePriority>(), t);
  });
  EXPECT_TRUE(watch.Until([&](Quill::Query::PropertyChange const& ch) { return ch.path.GetString() == "vm"; }));
  EXPECT_TRUE(Has(c.ReadIds(to.get(), "vm"), vm.get()));
  EXPECT_FALSE(Has(c.ReadIds(from.get(), "vm"), vm.get()));
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldHost), to->GetId());

  // To the standalone host: its pool and its own datastore come with it; the free
  // space moves with the disk.
  Ref<Quill::DataArray<MoRef>> single;
  c.Stub<Tarn::ComputeResourceStub>(computes[1].get())->GetHost(single);
  Ref<MoRef> oldStore(new MoRef("tarn.Datastore", c.ReadIds(vm.get(), "datastore").at(0)));
  auto freeSpace = [&](MoRef* ds) {
    Ref<Quill::Any> v = c.Read(ds, "summary.freeSpace");
    return v ? Quill::Unbox<std::int64_t>(v.get()) : -1;
  };
  std::int64_t oldFree = freeSpace(oldStore.get()), localFree = freeSpace(localStores->Get(0));
  spec = new Tarn::Vm::RelocateSpec();
  spec->host = single->Get(0);
  c.Fails<Tarn::Fault::InvalidDatastore>([&](auto& t) {
    c.Stub<VmStub>(vm.get())->Relocate(spec.get(), Basalt::Optional<Tarn::VirtualMachine::MovePriority>(), t);
  });  // it cannot see the cluster's datastore
  spec->datastore = localStores->Get(0);
  c.Succeed([&](auto& t) {
    c.Stub<VmStub>(vm.get())->Relocate(spec.get(), Basalt::Optional<Tarn::VirtualMachine::MovePriority>(), t);
  });
  EXPECT_EQ(c.ReadIds(vm.get(), "datastore"), std::vector<std::string>{localStores->Get(0)->GetId()});
  Ref<Quill::Any> pool = c.Read(vm.get(), "resourcePool"), standalonePool = c.Read(computes[1].get(), "resourcePool");
  ASSERT_TRUE(pool && standalonePool);
  EXPECT_EQ(static_cast<MoRef*>(pool.get())->GetId(), static_cast<MoRef*>(standalonePool.get())->GetId());
  std::int64_t disk = freeSpace(oldStore.get()) - oldFree;
  EXPECT_GT(disk, 0) << "the old datastore did not get the disk's space back";
  EXPECT_EQ(localFree - freeSpace(localStores->Get(0)), disk);
}

TEST(Machines, UnregisterLeavesFilesThatRegisterBringsBack) {
  Tarn::Sim::Simulator sim(Model(1, 1, 2, 0));
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.FindVm("poweredOn");
  ASSERT_TRUE(vm);
  std::string path = c.Field(vm.get(), Tarn::Sim::kFieldPath);
  std::string memory = c.Field(vm.get(), Tarn::Sim::kFieldMemoryMB);
  std::string name = c.ReadString(vm.get(), "name");
  EXPECT_THROW(c.Stub<VmStub>(vm.get())->Unregister(), Tarn::Fault::InvalidPowerState::Exception);
  PowerOff(c, vm.get());
  auto folder = c.Stub<Tarn::FolderStub>(c.VmFolder().get());
  Ref<MoRef> pool;
  c.Stub<VmStub>(vm.get())->GetResourcePool(pool);
  Ref<MoRef> task;
  c.Fails<Tarn::Fault::AlreadyExists>([&](auto& t) { folder->RegisterVm(path, {}, false, pool.get(), nullptr, t); });

  c.Stub<VmStub>(vm.get())->Unregister();
  EXPECT_THROW(c.Stub<VmStub>(vm.get())->GetName(), Quill::Fault::ManagedObjectNotFound::Exception);
  EXPECT_EQ(c.Vms().size(), 1u);

  std::string store = path.substr(1, path.find(']') - 1);
  for (auto const& [bad, fails] : std::vector<std::pair<std::string, int>>{
           {"[no such store] x/x.vmx", 0}, {"[" + store + "] nothing/nothing.vmx", 1}}) {
    folder->RegisterVm(bad, Basalt::Optional<std::string>(), false, pool.get(), nullptr, task);
    if (fails == 0) c.Fails<Tarn::Fault::InvalidDatastore>(task.get());
    if (fails == 1) c.Fails<Tarn::Fault::NotFound>(task.get());
  }
  auto back = c.SucceedRef([&](auto& t) { folder->RegisterVm(path, {}, false, pool.get(), nullptr, t); });
  ASSERT_TRUE(back);
  EXPECT_NE(back->GetId(), vm->GetId());
  EXPECT_EQ(c.ReadString(back.get(), "name"), name);
  EXPECT_EQ(c.Field(back.get(), Tarn::Sim::kFieldMemoryMB), memory);
  EXPECT_EQ(c.Field(back.get(), Tarn::Sim::kFieldPath), path);
  EXPECT_EQ(c.Vms().size(), 2u);
}

TEST(Folders, MoveIntoKeepsTheTreeSound) {
  Tarn::Sim::Simulator sim(Model(1, 1, 2, 1));
  Client c(sim.GetUrl());
  Ref<MoRef> vmFolder = c.VmFolder();
  auto folders = c.Stub<Tarn::FolderStub>(vmFolder.get());
  Ref<MoRef> a, b;
  folders->CreateFolder("a", a);
  c.Stub<Tarn::FolderStub>(a.get())->CreateFolder("b", b);
  std::vector<Ref<MoRef>> vms = c.Vms();
  Ref<MoRef> vm = vms.front();

  Watch watch(c, a.get(), {"childEntity"});
  auto move = [&](MoRef* into, std::vector<MoRef*> what) {
    Ref<Quill::DataArray<MoRef>> list(new Quill::DataArray<MoRef>());
    for (MoRef* m : what) list->Append(m);
    Ref<MoRef> task;
    c.Stub<Tarn::FolderStub>(into)->MoveInto(list.get(), task);
    return task;
  };
  c.Succeed(move(a.get(), {vm.get()}).get());
  EXPECT_TRUE(watch.Until([](Quill::Query::PropertyChange const& ch) { return ch.path.GetString() == "childEntity"; }));
  EXPECT_TRUE(Has(c.ReadIds(a.get(), "childEntity"), vm.get()));
  EXPECT_FALSE(Has(c.ReadIds(vmFolder.get(), "childEntity"), vm.get()));
  Ref<Quill::Any> parent = c.Read(vm.get(), "parent");
  ASSERT_TRUE(parent);
  EXPECT_EQ(static_cast<MoRef*>(parent.get())->GetId(), a->GetId());

  // A folder into itself or below it, a machine into a folder of hosts: InvalidFolder
  // naming what was to move; two of the same name, or one a folder has: DuplicateName.
  struct Case {
    MoRef* into;
    std::vector<MoRef*> what;
    char const* fault;
  };
  Ref<MoRef> clash;
  folders->CreateFolder("clash", clash);
  Ref<MoRef> hostFolder = c.HostFolder();
  Ref<MoRef> clash2;
  c.Stub<Tarn::FolderStub>(a.get())->CreateFolder("clash", clash2);
  for (Case const& k : std::vector<Case>{{a.get(), {a.get()}, "InvalidFolder"},
                                         {b.get(), {a.get()}, "InvalidFolder"},
                                         {hostFolder.get(), {vms[1].get()}, "InvalidFolder"},
                                         {a.get(), {clash.get()}, "DuplicateName"},
                                         {b.get(), {vms[1].get(), vm.get()}, "none"}}) {
    Ref<MoRef> task = move(k.into, k.what);
    if (std::string(k.fault) == "InvalidFolder") {
      auto* fault = c.Fails<Tarn::Fault::InvalidFolder>(task.get());
      if (fault) {
        EXPECT_EQ(fault->target->GetId(), k.what.front()->GetId());
      }
    } else if (std::string(k.fault) == "DuplicateName") {
      c.Fails<Tarn::Fault::DuplicateName>(task.get());
    } else {
      c.Succeed(task.get());
    }
  }
  EXPECT_EQ(c.ReadIds(b.get(), "childEntity").size(), 2u);
}

using ConnectionState = Tarn::HostSystem::ConnectionState;

ConnectionState Connection(Client& c, MoRef* host) {
  Ref<Quill::Any> state = c.Read(host, "runtime.connectionState");
  return state ? Quill::Unbox<ConnectionState>(state.get()) : ConnectionState::notResponding;
}

TEST(Hosts, ADisconnectedHostsMachinesRefuseOperations) {
  Tarn::Sim::Simulator sim(Model(1, 2, 2, 0));
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.FindVm("poweredOff");
  ASSERT_TRUE(vm);
  Ref<MoRef> host = HostOf(c, vm.get());
  auto hs = c.Stub<Tarn::HostSystemStub>(host.get());
  Ref<MoRef> task;
  c.Succeed([&](auto& t) { hs->Disconnect(t); });
  EXPECT_EQ(Connection(c, host.get()), ConnectionState::disconnected);
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldConnectionState), "disconnected");

  auto stub = c.Stub<VmStub>(vm.get());
  std::vector<std::pair<char const*, std::function<Ref<MoRef>()>>> const refused = {
      {"powerOn",
       [&] {
         stub->PowerOn(nullptr, task);
         return task;
       }},
      {"destroy",
       [&] {
         stub->Destroy(task);
         return task;
       }},
      {"reconfigure", [&] { return Reconfigure(c, vm.get(), [](auto& s) { s.numCPUs = 2; }); }},
      {"createSnapshot",
       [&] {
         stub->CreateSnapshot("s", Basalt::Optional<std::string>(), false, false, task);
         return task;
       }},
      {"enterMaintenanceMode",
       [&] {
         hs->EnterMaintenanceMode(0, Basalt::Optional<bool>(), nullptr, task);
         return task;
       }},
  };
  for (auto const& [name, call] : refused) {
    SCOPED_TRACE(name);
    auto* fault = c.Fails<Tarn::Fault::InvalidHostConnectionState>(call().get());
    if (fault) {
      EXPECT_EQ(fault->host->GetId(), host->GetId());
    }
  }
  EXPECT_THROW(stub->MarkAsTemplate(), Tarn::Fault::InvalidHostConnectionState::Exception);
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldPowerState), "poweredOff");

  hs->Disconnect(task);  // again: nothing changes, nothing fails
  c.Succeed(task.get());
  c.Succeed([&](auto& t) { hs->Reconnect(nullptr, nullptr, t); });
  EXPECT_EQ(Connection(c, host.get()), ConnectionState::connected);
  EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldConnectionState), "connected");
  c.Succeed([&](auto& t) { stub->PowerOn(nullptr, t); });
}

TEST(Model, AStandaloneHostIsItsOwnComputeResource) {
  Tarn::Sim::Simulator sim(Tarn::Sim::Options{});
  Client c(sim.GetUrl());
  std::vector<Ref<MoRef>> computes = c.Children(c.HostFolder().get());
  ASSERT_EQ(computes.size(), 3u);  // two clusters, one standalone host
  EXPECT_EQ(computes[0]->GetTypeName(), "tarn.ClusterComputeResource");
  Ref<MoRef> standalone = computes[2];
  EXPECT_EQ(standalone->GetTypeName(), "tarn.ComputeResource");
  std::vector<std::string> hosts = c.ReadIds(standalone.get(), "host");
  ASSERT_EQ(hosts.size(), 1u);
  Ref<MoRef> host(new MoRef("tarn.HostSystem", hosts[0]));
  Ref<Quill::Any> parent = c.Read(host.get(), "parent");
  ASSERT_TRUE(parent);
  EXPECT_EQ(static_cast<MoRef*>(parent.get())->GetId(), standalone->GetId());
  EXPECT_EQ(c.ReadString(standalone.get(), "name"), c.ReadString(host.get(), "name"));
  EXPECT_EQ(c.ReadIds(host.get(), "vm").size(), 4u);
  EXPECT_EQ(c.ReadIds(host.get(), "datastore"), c.ReadIds(standalone.get(), "datastore"));
}

// --- tasks --------------------------------------------------------------------

TEST(Tasks, InfoNamesUserAndEntityAndWatchersSeeProgress) {
  Tarn::Sim::Simulator sim(Model(1, 1, 2, 0, std::chrono::milliseconds(300)));
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  Ref<MoRef> task = Reconfigure(c, vm.get(), [](auto& s) { s.guestId = "debian12_64Guest"; });
  Watch watch(c, task.get(), {"info"});
  bool halfway = watch.Until([](Quill::Query::PropertyChange const& ch) {
    auto* info = dynamic_cast<Tarn::TaskInfo*>(ch.value.get());
    return info && info->state == TaskState::running && info->progress.IsSet() && *info->progress == 50;
  });
  EXPECT_TRUE(halfway) << "no watcher saw the task at 50 %";
  EXPECT_TRUE(watch.Until([](Quill::Query::PropertyChange const& ch) {
    auto* info = dynamic_cast<Tarn::TaskInfo*>(ch.value.get());
    return info && info->state == TaskState::success;
  })) << "no watcher saw the task end";
  Ref<Tarn::TaskInfo> info = c.Wait(task.get());
  EXPECT_EQ(info->state, TaskState::success);
  EXPECT_EQ(info->entityName.IsSet() ? *info->entityName : "", c.ReadString(vm.get(), "name"));
  auto* reason = dynamic_cast<Tarn::TaskReasonUser*>(info->reason.get());
  ASSERT_NE(reason, nullptr);
  EXPECT_EQ(reason->userName, "admin");
  EXPECT_EQ(info->descriptionId, "VirtualMachine.reconfigure");
}

TEST(Tasks, ManagerListsRecentTasksAndCollectorsReadHistoryPages) {
  Tarn::Sim::Simulator sim(Model(1, 1, 2, 0));
  Client admin(sim.GetUrl());
  ASSERT_TRUE(admin.content->taskManager);
  std::vector<Ref<MoRef>> vms = admin.Vms();
  std::vector<std::string> mine;  // the tasks of vms[0], oldest first
  for (int i = 0; i < 7; ++i) {
    Ref<MoRef> task = Reconfigure(admin, vms[i % 2 ? 1 : 0].get(), [i](auto& s) { s.name = "n" + std::to_string(i); });
    admin.Succeed(task.get());
    if (i % 2 == 0) mine.push_back(task->GetId());
  }
  Ref<MoRef> failed = Reconfigure(admin, vms[0].get(), [](auto& s) { s.numCPUs = 0; });
  admin.Fails<Quill::Fault::InvalidArgument>(failed.get());
  mine.push_back(failed->GetId());

  // The read-only user may follow the history too.
  Client viewer(sim.GetUrl(), "viewer");
  auto manager = viewer.Stub<Tarn::TaskManagerStub>(viewer.content->taskManager.get());
  Ref<Quill::DataArray<MoRef>> recent;
  manager->GetRecentTask(recent);
  ASSERT_EQ(recent->size(), 8u);
  EXPECT_EQ(recent->Get(7)->GetId(), failed->GetId());

  auto keys = [](Quill::DataArray<Tarn::TaskInfo>* page) {
    std::vector<std::string> out;
    for (std::size_t i = 0; page && i < page->size(); ++i) out.push_back(page->Get(i)->key);
    return out;
  };
  Ref<Tarn::TaskFilterSpec> filter(new Tarn::TaskFilterSpec());
  filter->entity = new Tarn::TaskFilterSpec::ByEntity();
  filter->entity->entity = vms[0];
  filter->entity->recursion = Tarn::TaskFilterSpec::RecursionOption::self;
  Ref<MoRef> collectorRef;
  manager->CreateCollector(filter.get(), collectorRef);
  auto collector = viewer.Stub<Tarn::TaskHistoryCollectorStub>(collectorRef.get());
  Ref<Quill::DataArray<Tarn::TaskInfo>> page;
  collector->SetLatestPageSize(3);
  collector->GetLatestPage(page);
  EXPECT_EQ(keys(page.get()), std::vector<std::string>(mine.end() - 3, mine.end()));
  collector->ReadPrev(3, page);  // backwards from the newest, each page oldest first
  EXPECT_EQ(keys(page.get()), std::vector<std::string>(mine.end() - 3, mine.end()));
  collector->ReadPrev(3, page);
  EXPECT_EQ(keys(page.get()), std::vector<std::string>(mine.begin(), mine.begin() + 2));
  collector->ReadPrev(3, page);
  EXPECT_TRUE(keys(page.get()).empty());
  collector->ReadNext(4, page);
  EXPECT_EQ(keys(page.get()), std::vector<std::string>(mine.begin(), mine.begin() + 4));
  collector->ReadNext(4, page);
  EXPECT_EQ(keys(page.get()), std::vector<std::string>(mine.begin() + 4, mine.end()));
  collector->Rewind();
  collector->ReadNext(1, page);
  EXPECT_EQ(keys(page.get()), std::vector<std::string>{mine.front()});
  collector->Reset();
  collector->ReadNext(1, page);
  EXPECT_TRUE(keys(page.get()).empty());

  // By state, by user, under the vm folder at any depth.
  struct Case {
    std::function<void(Tarn::TaskFilterSpec&)> fill;
    std::size_t count;
  };
  for (Case const& k : std::vector<Case>{{[](auto& f) { f.GetState()->Append(TaskState::error); }, 1},
                                         {[](auto& f) {
                                            f.userName = new Tarn::TaskFilterSpec::ByUsername();
                                            f.userName->GetUserList()->Append("viewer");
                                          },
                                          0},
                                         {[](auto& f) {
                                            f.userName = new Tarn::TaskFilterSpec::ByUsername();
                                            f.userName->GetUserList()->Append("admin");
                                          },
                                          8},
                                         {[&](auto& f) {
                                            f.entity = new Tarn::TaskFilterSpec::ByEntity();
                                            f.entity->entity = viewer.VmFolder();
                                            f.entity->recursion = Tarn::TaskFilterSpec::RecursionOption::all;
                                          },
                                          8},
                                         {[&](auto& f) {
                                            f.entity = new Tarn::TaskFilterSpec::ByEntity();
                                            f.entity->entity = viewer.content->rootFolder;
                                            f.entity->recursion = Tarn::TaskFilterSpec::RecursionOption::children;
                                          },
                                          0}}) {
    Ref<Tarn::TaskFilterSpec> f(new Tarn::TaskFilterSpec());
    k.fill(*f);
    Ref<MoRef> ref;
    manager->CreateCollector(f.get(), ref);
    auto other = viewer.Stub<Tarn::TaskHistoryCollectorStub>(ref.get());
    other->SetLatestPageSize(100);
    other->GetLatestPage(page);
    EXPECT_EQ(page->size(), k.count);
    other->Remove();
  }

  collector->Remove();
  EXPECT_THROW(collector->ReadNext(1, page), Quill::Fault::ManagedObjectNotFound::Exception);
  EXPECT_THROW(collector->SetLatestPageSize(-1), Quill::Fault::ManagedObjectNotFound::Exception);
}

// --- concurrency --------------------------------------------------------------

// Sessions powering and reconfiguring the same machines at once: every effect lands
// exactly once. The operations on one machine never overlap, so the successes' start
// times order them: each machine ends with the name of its last successful
// reconfigure, and its power-ons and power-offs alternate.
TEST(Concurrency, ClientsReconfiguringAndPoweringTheSameMachines) {
  Tarn::Sim::Simulator sim(Model(1, 1, 2, 0, std::chrono::milliseconds(1)));
  Client setup(sim.GetUrl());
  std::vector<Ref<MoRef>> vms = setup.Vms();
  for (auto& vm : vms) PowerOff(setup, vm.get());

  constexpr int kClients = 4;
  constexpr int kRounds = 10;
  std::mutex mutex;
  std::map<std::string, std::vector<std::pair<std::int64_t, std::string>>> names;  // vm -> (started, name)
  std::map<std::string, int> ons, offs;
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      Client c(sim.GetUrl());
      for (int r = 0; r < kRounds; ++r) {
        for (std::size_t i = 0; i < vms.size(); ++i) {
          MoRef* vm = vms[i].get();
          int op = (t + r) % 3;
          std::string name = "m" + std::to_string(i) + "-" + std::to_string(t) + "-" + std::to_string(r);
          Ref<MoRef> task;
          auto stub = c.Stub<VmStub>(vm);
          if (op == 0) task = Reconfigure(c, vm, [&name](auto& s) { s.name = name; });
          if (op == 1) stub->PowerOn(nullptr, task);
          if (op == 2) stub->PowerOff(task);
          Ref<Tarn::TaskInfo> info = c.Wait(task.get());
          std::lock_guard<std::mutex> lock(mutex);
          if (info->state == TaskState::success) {
            if (op == 0) names[vm->GetId()].emplace_back(info->startTime->GetUtcTime(), name);
            if (op == 1) ++ons[vm->GetId()];
            if (op == 2) ++offs[vm->GetId()];
          } else if (!dynamic_cast<Tarn::Fault::TaskInProgress*>(info->error.get()) &&
                     !dynamic_cast<Tarn::Fault::InvalidPowerState*>(info->error.get())) {
            ++unexpected;
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(unexpected.load(), 0);
  for (auto& vm : vms) {
    std::string id = vm->GetId();
    int diff = ons[id] - offs[id];
    EXPECT_TRUE(diff == 0 || diff == 1) << id << ": " << ons[id] << " on, " << offs[id] << " off";
    EXPECT_EQ(setup.Field(vm.get(), Tarn::Sim::kFieldPowerState), diff ? "poweredOn" : "poweredOff");
    auto& changes = names[id];
    ASSERT_FALSE(changes.empty()) << id << " was never reconfigured";
    std::sort(changes.begin(), changes.end());
    EXPECT_EQ(setup.ReadString(vm.get(), "name"), changes.back().second) << id;
  }
}

}  // namespace
