// tarn-sim's services beside the inventory, through the generated stubs over
// HTTP: events and their history collectors, container views, injected faults,
// and the NotSupported answer of what the simulator does not implement.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <set>

#include "Events.h"
#include "SimClient.h"
#include "quill/FaultText.h"
#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "tarn/ClusterComputeResourceStub.h"
#include "tarn/DatastoreStub.h"
#include "tarn/HostSystemStub.h"
#include "tarn/NetworkStub.h"
#include "tarn/ResourceConfigSpec.h"
#include "tarn/ResourcePoolStub.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/cluster/ConfigSpec.h"
#include "tarn/event/Event.h"
#include "tarn/event/EventFilterSpec.h"
#include "tarn/event/EventHistoryCollectorStub.h"
#include "tarn/event/GeneralUserEvent.h"
#include "tarn/event/VmFailedToPowerOnEvent.h"
#include "tarn/event/VmPoweredOnEvent.h"
#include "tarn/event/VmRenamedEvent.h"
#include "tarn/fault/InvalidPowerState.h"
#include "tarn/fault/InvalidState.h"
#include "tarn/fault/NoPermission.h"
#include "tarn/fault/NotAuthenticated.h"
#include "tarn/host/ConnectInfo.h"
#include "tarn/view/ContainerViewStub.h"
#include "tarn/view/ViewManagerStub.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/FileLayout.h"

namespace {

using Basalt::Ref;
using Quill::MoRef;
using TaskState = Tarn::TaskInfo::State;
using EventList = Ref<Quill::DataArray<Tarn::Event::Event>>;

Tarn::Sim::Options SmallModel() { return SimTest::Model(1, 2, 3, 0); }  // one cluster of two hosts, six machines

using SimTest::Client;

// Events are made after the change, on a worker: wait (bounded) until there are `atLeast`.
EventList Query(Client& c, std::size_t atLeast) {
  EventList events;
  Ref<Tarn::Event::EventFilterSpec> filter(new Tarn::Event::EventFilterSpec());
  for (int i = 0; i < 2000; ++i) {
    c.Events()->QueryEvent(filter.get(), events);
    if (events && events->size() >= atLeast) return events;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "fewer than " << atLeast << " events";
  return events;
}

// --- events -------------------------------------------------------------------

TEST(Events, TasksAndDirectChangesEachMakeOneEventOfTheirType) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  ASSERT_TRUE(c.content->eventManager);
  Ref<MoRef> vm = c.FindVm("poweredOff");
  ASSERT_TRUE(vm);
  auto stub = c.Stub<Tarn::VirtualMachineStub>(vm.get());
  std::string name = stub->GetName();

  Ref<MoRef> task;
  stub->PowerOn(nullptr, task);
  ASSERT_EQ(c.Wait(task.get())->state, TaskState::success);
  stub->PowerOn(nullptr, task);  // refused: already on
  ASSERT_EQ(c.Wait(task.get())->state, TaskState::error);
  stub->Rename(name + "-b", task);
  ASSERT_EQ(c.Wait(task.get())->state, TaskState::success);
  Ref<MoRef> folder;
  c.Stub<Tarn::FolderStub>(c.VmFolder().get())->CreateFolder("made-by-test", folder);  // not a task

  EventList events = Query(c, 4);
  ASSERT_EQ(events->size(), 4u) << "reads make no events; each change one";
  struct Want {
    Quill::DataObjectType* type;
    std::string text;
  };
  std::vector<Want> want = {
      {Quill::GetDoType<Tarn::Event::VmPoweredOnEvent>(),
       name + " (" + vm->GetId() + "): VirtualMachine.powerOn completed"},
      {Quill::GetDoType<Tarn::Event::VmFailedToPowerOnEvent>(),
       "VirtualMachine.powerOn failed: tarn.fault.InvalidPowerState"},
      {Quill::GetDoType<Tarn::Event::VmRenamedEvent>(), "ManagedEntity.rename completed"},
      {Quill::GetDoType<Tarn::Event::GeneralUserEvent>(), "Folder.createFolder"},
  };
  // A task's event is made when its end is reported, which a client may see
  // a moment before: so the order of neighbours is not checked, only the keys.
  int lastKey = 0;
  std::vector<Tarn::Event::Event*> found(want.size());
  for (std::size_t i = 0; i < events->size(); ++i) {
    auto* e = events->Get(i);
    EXPECT_GT(e->key, lastKey);
    lastKey = e->key;
    EXPECT_EQ(e->userName, "admin");
    for (std::size_t w = 0; w < want.size(); ++w) {
      if (e->_GetDataType() == want[w].type) found[w] = e;
    }
  }
  for (std::size_t w = 0; w < want.size(); ++w) {
    ASSERT_NE(found[w], nullptr) << want[w].type->GetName();
    ASSERT_TRUE(found[w]->fullFormattedMessage.IsSet());
    EXPECT_NE(found[w]->fullFormattedMessage->find(want[w].text), std::string::npos) << *found[w]->fullFormattedMessage;
  }
  EXPECT_TRUE(found[0]->vm) << "a machine's event carries the machine argument";
  EXPECT_TRUE(found[0]->host);
  EXPECT_TRUE(found[0]->datacenter);

  Ref<Tarn::Event::Event> latest;
  c.Events()->GetLatestEvent(latest);
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->key, lastKey);
  EventList byId;
  Ref<Quill::Array<int>> ids(new Quill::Array<int>({events->Get(1)->key, 99999}));
  ids->GetValues()[0] = found[1]->key;
  c.Events()->QueryEventsById(ids.get(), byId);
  ASSERT_EQ(byId->size(), 1u);
  EXPECT_EQ(byId->Get(0)->_GetDataType(), Quill::GetDoType<Tarn::Event::VmFailedToPowerOnEvent>());

  // A logged user event, with the read-only user refused.
  c.Events()->LogUserEvent(vm.get(), "checked by hand");
  events = Query(c, 5);
  EXPECT_EQ(*events->Get(4)->fullFormattedMessage, "checked by hand");
  Client viewer(sim.GetUrl(), "viewer");
  EXPECT_THROW(viewer.Events()->LogUserEvent(vm.get(), "no"), Tarn::Fault::NoPermission::Exception);
}

TEST(Events, EveryTaskEventTypeIsAnEventOfTheCatalogue) {
  std::vector<char const*> names = Tarn::Sim::TaskEventTypeNames();
  EXPECT_GE(names.size(), 29u);
  names.insert(names.end(), {"TaskEvent", "GeneralUserEvent"});  // what the others fall back to
  for (char const* name : names) {
    auto* t = dynamic_cast<Quill::DataObjectType*>(Quill::FindType(std::string("tarn.event.") + name));
    ASSERT_NE(t, nullptr) << name;
    EXPECT_TRUE(t->IsSubtypeOf(Quill::GetDoType<Tarn::Event::Event>())) << name;
  }
}

TEST(Events, CollectorPagesBackAndForthAndIsDestroyed) {
  auto o = SmallModel();
  o.keepEvents = 8;  // older ones drop out
  Tarn::Sim::Simulator sim(o);
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.Vms().front();
  for (int i = 0; i < 12; ++i) c.Events()->LogUserEvent(vm.get(), "e" + std::to_string(i));
  auto texts = [](EventList const& list) {
    std::vector<std::string> out;
    for (std::size_t i = 0; list && i < list->size(); ++i) out.push_back(*list->Get(i)->fullFormattedMessage);
    return out;
  };
  using V = std::vector<std::string>;

  Ref<Tarn::Event::EventFilterSpec> filter(new Tarn::Event::EventFilterSpec());
  Ref<MoRef> ref;
  c.Events()->CreateCollector(filter.get(), ref);
  auto collector = c.Stub<Tarn::Event::EventHistoryCollectorStub>(ref.get());
  EventList page;
  collector->GetLatestPage(page);
  EXPECT_EQ(texts(page), (V{"e4", "e5", "e6", "e7", "e8", "e9", "e10", "e11"})) << "the newest kept, up to ten";
  collector->SetLatestPageSize(2);
  collector->GetLatestPage(page);
  EXPECT_EQ(texts(page), (V{"e10", "e11"}));

  // From the newest end backwards, then forwards again.
  collector->ReadPrev(3, page);
  EXPECT_EQ(texts(page), (V{"e9", "e10", "e11"}));
  collector->ReadPrev(3, page);
  EXPECT_EQ(texts(page), (V{"e6", "e7", "e8"}));
  collector->ReadPrev(3, page);
  EXPECT_EQ(texts(page), (V{"e4", "e5"})) << "e0 to e3 are no longer kept";
  collector->ReadPrev(3, page);
  EXPECT_EQ(texts(page), V{});
  collector->ReadNext(4, page);
  EXPECT_EQ(texts(page), (V{"e4", "e5", "e6", "e7"}));
  c.Events()->LogUserEvent(vm.get(), "e12");
  collector->ReadNext(10, page);
  EXPECT_EQ(texts(page), (V{"e8", "e9", "e10", "e11", "e12"}));
  collector->Rewind();
  collector->ReadNext(1, page);
  EXPECT_EQ(texts(page), V{"e5"});
  collector->Reset();
  collector->ReadNext(1, page);
  EXPECT_EQ(texts(page), V{});
  EXPECT_THROW(collector->ReadNext(0, page), Quill::Fault::InvalidArgument::Exception);

  collector->Remove();
  EXPECT_THROW(collector->ReadNext(1, page), Quill::Fault::ManagedObjectNotFound::Exception);
}

// --- views --------------------------------------------------------------------

std::set<std::string> Ids(Ref<Quill::DataArray<MoRef>> const& refs) {
  std::set<std::string> out;
  for (std::size_t i = 0; refs && i < refs->size(); ++i) out.insert(refs->Get(i)->GetId());
  return out;
}

TEST(Views, ContainerViewsByTypeRecursiveOrNot) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl(), "viewer");  // creating views is reading
  ASSERT_TRUE(c.content->viewManager);
  auto manager = c.Stub<Tarn::View::ViewManagerStub>(c.content->viewManager.get());
  std::set<std::string> vms;
  for (auto& v : c.Vms()) vms.insert(v->GetId());

  struct Case {
    char const* what;
    std::vector<std::string> types;
    bool recursive;
    std::size_t count;  // 0: the machines exactly
  };
  Case const cases[] = {
      {"machines by sedge name", {"tarn.VirtualMachine"}, true, 0},
      {"machines by catalogue name", {"VirtualMachine"}, true, 0},
      {"hosts and clusters (a base type)", {"ComputeResource", "HostSystem"}, true, 3},
      {"everything", {}, true, 1 + 4 + 1 + 1 + 2 + 1 + 1 + 6},  // dc, its folders, cluster, pool, hosts, ds, net, vms
      {"the root's direct contents", {}, false, 1},
      {"machines directly in the root", {"VirtualMachine"}, false, 0xffff},
  };
  for (Case const& k : cases) {
    Ref<Quill::Array<Quill::TypeName>> types(new Quill::Array<Quill::TypeName>());
    for (auto const& t : k.types) types->Append(Quill::TypeName(t));
    Ref<MoRef> ref;
    manager->CreateContainerView(c.content->rootFolder.get(), types.get(), k.recursive, ref);
    auto view = c.Stub<Tarn::View::ContainerViewStub>(ref.get());
    Ref<Quill::DataArray<MoRef>> members;
    view->GetView(members);
    if (k.count == 0) {
      EXPECT_EQ(Ids(members), vms) << k.what;
    } else if (k.count == 0xffff) {
      EXPECT_EQ(members->size(), 0u) << k.what;
    } else {
      EXPECT_EQ(members->size(), k.count) << k.what;
      EXPECT_EQ(Ids(members).size(), members->size()) << k.what << ": each once";
    }
    EXPECT_EQ(view->IsRecursive(), k.recursive);
  }
  Ref<Quill::DataArray<MoRef>> list;
  manager->GetViewList(list);
  EXPECT_EQ(list->size(), std::size(cases));

  Ref<Quill::Array<Quill::TypeName>> bad(new Quill::Array<Quill::TypeName>({Quill::TypeName("NoSuchType")}));
  Ref<MoRef> ref;
  EXPECT_THROW(manager->CreateContainerView(c.content->rootFolder.get(), bad.get(), true, ref),
               Quill::Fault::InvalidArgument::Exception);
  Ref<MoRef> gone(new MoRef("tarn.Folder", "group-9999"));
  EXPECT_THROW(manager->CreateContainerView(gone.get(), nullptr, true, ref),
               Quill::Fault::ManagedObjectNotFound::Exception);

  auto first = c.Stub<Tarn::View::ContainerViewStub>(list->Get(0));
  first->Destroy();
  manager->GetViewList(list);
  EXPECT_EQ(list->size(), std::size(cases) - 1);
  Ref<Quill::DataArray<MoRef>> members;
  EXPECT_THROW(first->GetView(members), Quill::Fault::ManagedObjectNotFound::Exception);
}

// A watcher of a view's `view` through the query service sees machines come and go.
TEST(Views, WatcherSeesMachinesCreatedAndDestroyed) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  auto manager = c.Stub<Tarn::View::ViewManagerStub>(c.content->viewManager.get());
  Ref<Quill::Array<Quill::TypeName>> types(new Quill::Array<Quill::TypeName>({Quill::TypeName("VirtualMachine")}));
  Ref<MoRef> viewRef;
  manager->CreateContainerView(c.content->rootFolder.get(), types.get(), true, viewRef);

  SimTest::Watch watch(c, viewRef.get(), {"view"});
  ASSERT_TRUE(watch.first);

  // The members as the watcher knows them: the first answer assigns them, later
  // ones add and remove references.
  std::set<std::string> seen;
  auto apply = [&](Quill::Query::PropertyChange const& change) {
    auto* refs = dynamic_cast<Quill::DataArray<MoRef>*>(change.value.get());
    EXPECT_NE(refs, nullptr);
    if (change.op == Quill::Query::ChangeOp::assign) seen.clear();
    for (auto const& id : Ids(Ref<Quill::DataArray<MoRef>>(refs))) {
      if (change.op == Quill::Query::ChangeOp::remove) {
        seen.erase(id);
      } else {
        seen.insert(id);
      }
    }
  };
  for (std::size_t k = 0; watch.first->watches && k < (*watch.first->watches)[0]->objects->size(); ++k) {
    auto* ch = (*(*watch.first->watches)[0]->objects)[k];
    for (std::size_t j = 0; ch->changes && j < ch->changes->size(); ++j) apply(*(*ch->changes)[j]);
  }
  EXPECT_EQ(seen.size(), 6u);
  auto next = [&](std::size_t want) {
    watch.Until([&](Quill::Query::PropertyChange const& change) {
      apply(change);
      return seen.size() == want;
    });
  };

  Ref<Tarn::Vm::ConfigSpec> config(new Tarn::Vm::ConfigSpec());
  config->name = std::string("watched");
  Ref<MoRef> pool;
  c.Stub<Tarn::VirtualMachineStub>(c.Vms().front().get())->GetResourcePool(pool);
  Ref<MoRef> task;
  c.Stub<Tarn::FolderStub>(c.VmFolder().get())->CreateVm(config.get(), pool.get(), nullptr, task);
  Ref<Tarn::TaskInfo> info = c.Wait(task.get());
  ASSERT_EQ(info->state, TaskState::success);
  auto* made = dynamic_cast<MoRef*>(info->result.get());
  ASSERT_NE(made, nullptr);
  next(7);
  EXPECT_EQ(seen.size(), 7u);
  EXPECT_TRUE(seen.count(made->GetId()));

  c.Stub<Tarn::VirtualMachineStub>(made)->Destroy(task);
  ASSERT_EQ(c.Wait(task.get())->state, TaskState::success);
  next(6);
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_FALSE(seen.count(made->GetId()));
}

// --- injected faults ----------------------------------------------------------

// One request to the control URL; answers the status and the body.
std::pair<int, std::string> Control(std::string const& url, std::string const& method, std::string const& path,
                                    std::string const& body = "") {
  namespace beast = boost::beast;
  namespace http = beast::http;
  auto hostStart = url.find("//") + 2;
  auto colon = url.find(':', hostStart);
  auto slash = url.find('/', colon);
  std::string host = url.substr(hostStart, colon - hostStart);
  std::string port = url.substr(colon + 1, slash - colon - 1);
  boost::asio::io_context io;
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(10));
  stream.connect(boost::asio::ip::tcp::resolver(io).resolve(host, port));
  http::request<http::string_body> request(method == "GET" ? http::verb::get : http::verb::post,
                                           url.substr(slash) + path, 11);
  request.set(http::field::host, host);
  request.body() = body;
  request.prepare_payload();
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return {int(response.result_int()), response.body()};
}

Tarn::Sim::Options WithFront() {
  auto o = SmallModel();
  o.injection.enabled = true;
  return o;
}

TEST(Injection, FaultsReplaceTheNextCallsOfAMethodByAnyOfItsNames) {
  Tarn::Sim::Simulator sim(WithFront());
  ASSERT_NE(sim.GetControlUrl(), "");
  Client c(sim.GetUrl());
  Ref<MoRef> vm = c.FindVm("poweredOff");
  auto stub = c.Stub<Tarn::VirtualMachineStub>(vm.get());
  Ref<MoRef> task;

  struct Case {
    char const* method;
    char const* fault;
    int count;
  };
  Case const cases[] = {
      {"tarn.VirtualMachine.powerOn", "InvalidState", 2},
      {"PowerOnVM_Task", "tarn.fault.InvalidState", 1},
      {"*", "InvalidState", 1},
  };
  for (Case const& k : cases) {
    auto [status, rules] = Control(sim.GetControlUrl(), "POST", "/fault",
                                   std::string("{\"method\": \"") + k.method + "\", \"fault\": \"" + k.fault +
                                       "\", \"count\": " + std::to_string(k.count) + "}");
    ASSERT_EQ(status, 200) << rules;
    EXPECT_NE(rules.find(k.method), std::string::npos) << rules;
    for (int i = 0; i < k.count; ++i) {
      EXPECT_THROW(stub->PowerOn(nullptr, task), Tarn::Fault::InvalidState::Exception) << k.method << " " << i;
    }
    EXPECT_EQ(c.Field(vm.get(), Tarn::Sim::kFieldPowerState), "poweredOff") << "no call was carried out";
  }
  stub->PowerOn(nullptr, task);  // the rules are used up
  EXPECT_EQ(c.Wait(task.get())->state, TaskState::success);

  // Bad control requests are refused and change nothing.
  for (auto const& [path, body] :
       std::vector<std::pair<std::string, std::string>>{{"/fault", "{\"method\": \"x\", \"fault\": \"NoSuchFault\"}"},
                                                        {"/fault", "not json"},
                                                        {"/delay", "{\"method\": \"x\"}"},
                                                        {"/drop", "{\"count\": 1, \"when\": \"sometimes\"}"},
                                                        {"/nothing", "{}"}}) {
    EXPECT_EQ(Control(sim.GetControlUrl(), "POST", path, body).first, 400) << path << " " << body;
  }
  auto [status, rules] = Control(sim.GetControlUrl(), "GET", "");
  EXPECT_EQ(status, 200);
  EXPECT_NE(rules.find("\"faults\": {}"), std::string::npos) << rules;
  EXPECT_NE(rules.find("\"drop\": {\"count\": 0"), std::string::npos) << rules;

  // An injected fault comes after the privilege check: a caller without a
  // session still learns that first.
  Client anonymous(sim.GetUrl(), nullptr);
  sim.GetInjector().SetFault("*", "InvalidState", 1);
  EXPECT_THROW(anonymous.Stub<Tarn::VirtualMachineStub>(vm.get())->GetName(), Tarn::Fault::NotAuthenticated::Exception);
}

// A delayed method makes a client with a short timeout give up; other methods
// are answered; clearing the rules lets the held call go on.
TEST(Injection, DelayedMethodTimesTheClientOut) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl(), "admin", std::chrono::milliseconds(300));
  Ref<MoRef> si(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
  auto service = c.Stub<Tarn::ServiceInstanceStub>(si.get());
  sim.GetInjector().SetDelay("tarn.ServiceInstance.currentTime", std::chrono::seconds(30));
  EXPECT_ANY_THROW(service->CurrentTime());
  EXPECT_EQ(c.Stub<Tarn::FolderStub>(c.content->rootFolder.get())->GetName(), "Datacenters");
  sim.GetInjector().Clear();
  EXPECT_NO_THROW(service->CurrentTime());
}

TEST(Injection, DroppedAndSlowConnections) {
  Tarn::Sim::Simulator sim(WithFront());
  struct Case {
    char const* what;
    std::function<void(Tarn::Sim::Injector&)> inject;
  };
  Case const cases[] = {
      {"dropped before the call", [](Tarn::Sim::Injector& i) { i.DropConnections(1, "before"); }},
      {"dropped after the call", [](Tarn::Sim::Injector& i) { i.DropConnections(1, "after"); }},
      // The service content is over 1 KB: at 100 B/s it takes longer than the client waits.
      {"slow", [](Tarn::Sim::Injector& i) { i.SetSlow(100, std::chrono::milliseconds(0)); }},
  };
  for (Case const& k : cases) {
    k.inject(sim.GetInjector());
    EXPECT_ANY_THROW(Client(sim.GetUrl(), nullptr, std::chrono::milliseconds(500))) << k.what;
    sim.GetInjector().SetSlow(0, std::chrono::milliseconds(0));
    Client c(sim.GetUrl(), nullptr, std::chrono::milliseconds(5000));  // a fresh connection works again
    EXPECT_TRUE(c.content->rootFolder) << k.what;
  }
}

// --- what the simulator does not implement ------------------------------------

TEST(Dispatch, ASampleOfOtherMethodsAnswersNotSupportedNamingItself) {
  Tarn::Sim::Simulator sim(SmallModel());
  Client c(sim.GetUrl());
  std::vector<Ref<MoRef>> hosts, stores, nets, pools;
  {
    std::lock_guard<std::mutex> lock(sim.GetInventory().Mutex());
    for (auto const& e : sim.GetInventory().All()) {
      if (e->kind == Tarn::Sim::Kind::Host) hosts.push_back(e->ref);
      if (e->kind == Tarn::Sim::Kind::Datastore) stores.push_back(e->ref);
      if (e->kind == Tarn::Sim::Kind::Network) nets.push_back(e->ref);
      if (e->kind == Tarn::Sim::Kind::ResourcePool) pools.push_back(e->ref);
    }
  }
  auto views = c.Stub<Tarn::View::ViewManagerStub>(c.content->viewManager.get());
  Ref<MoRef> result;
  Ref<Tarn::Host::ConnectInfo> info;
  Ref<Tarn::ResourceConfigSpec> poolSpec(new Tarn::ResourceConfigSpec());
  Ref<Tarn::Cluster::ConfigSpec> clusterSpec(new Tarn::Cluster::ConfigSpec());
  auto vm = c.Stub<Tarn::VirtualMachineStub>(c.Vms().front().get());
  Ref<Tarn::Vm::FileLayout> layout;
  std::pair<char const*, std::function<void()>> const calls[] = {
      {"tarn.Datastore.refresh", [&] { c.Stub<Tarn::DatastoreStub>(stores[0].get())->Refresh(); }},
      {"tarn.Network.destroyNetwork", [&] { c.Stub<Tarn::NetworkStub>(nets[0].get())->DestroyNetwork(); }},
      {"tarn.HostSystem.queryConnectionInfo",
       [&] { c.Stub<Tarn::HostSystemStub>(hosts[0].get())->QueryConnectionInfo(info); }},
      {"tarn.ResourcePool.createResourcePool",
       [&] { c.Stub<Tarn::ResourcePoolStub>(pools[0].get())->CreateResourcePool("p", poolSpec.get(), result); }},
      {"tarn.Folder.createCluster",
       [&] { c.Stub<Tarn::FolderStub>(c.content->rootFolder.get())->CreateCluster("c", clusterSpec.get(), result); }},
      {"tarn.view.ViewManager.createInventoryView", [&] { views->CreateInventoryView(result); }},
      {"tarn.view.ViewManager.createListView", [&] { views->CreateListView(nullptr, result); }},
      {"tarn.VirtualMachine.upgradeTools", [&] { vm->UpgradeTools(Basalt::Optional<std::string>(), result); }},
      {"tarn.VirtualMachine.layout", [&] { vm->GetLayout(layout); }},
      {"tarn.ManagedEntity.destroy", [&] { c.Stub<Tarn::DatacenterStub>(c.Datacenter().get())->Destroy(result); }},
  };
  for (auto const& [name, call] : calls) {
    try {
      call();
      ADD_FAILURE() << name << " answered";
    } catch (Quill::Fault::NotSupported::Exception& e) {
      EXPECT_NE(Quill::DescribeFault(e.GetFault()).find(std::string(name) + " is not implemented"), std::string::npos)
          << Quill::DescribeFault(e.GetFault());
    } catch (std::exception& e) {
      ADD_FAILURE() << name << ": " << e.what();
    }
  }
}

}  // namespace
