// tarn-sim's whole state saved and loaded, and inventories described by a model file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "SimClient.h"
#include "basalt/Exception.h"
#include "tarn/HostSystemStub.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/vm/CloneSpec.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/RelocateSpec.h"

namespace {

using namespace SimTest;
using VmStub = Tarn::VirtualMachineStub;

// A file in the test's temporary directory, removed with it.
class TempFile {
 public:
  explicit TempFile(std::string const& name)
      : _path(std::filesystem::temp_directory_path() / ("tarn-sim-" + std::to_string(::getpid()) + "-" + name)) {
    std::filesystem::remove(_path);
  }
  ~TempFile() { std::filesystem::remove(_path); }
  std::string Path() const { return _path.string(); }
  std::string Read() const {
    std::ifstream in(_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::filesystem::path _path;
};

// Both inventories' records pairwise equal, with the first difference named.
void ExpectSameState(Tarn::Sim::Inventory& a, Tarn::Sim::Inventory& b) {
  std::vector<Ref<Quill::Any>> left, right;
  {
    std::lock_guard<std::mutex> lock(a.Mutex());
    left = a.Records();
  }
  {
    std::lock_guard<std::mutex> lock(b.Mutex());
    right = b.Records();
  }
  ASSERT_EQ(left.size(), right.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    auto* record = static_cast<Quill::Query::ObjectResult*>(left[i].get());
    EXPECT_TRUE(left[i]->_IsEqual(right[i].get(), false)) << "record " << i << ": " << record->obj->GetId();
  }
}

// Changes of every kind the state keeps, made through a client.
void Mutate(Client& c) {
  std::vector<Ref<MoRef>> vms = c.Vms();
  auto vm0 = c.Stub<VmStub>(vms[0].get());
  // Powered off, renamed, with a snapshot tree of two, then a template.
  if (c.Field(vms[0].get(), Tarn::Sim::kFieldPowerState) != "poweredOff") {
    c.Succeed([&](auto& t) { vm0->PowerOff(t); });
  }
  c.Succeed([&](auto& t) { vm0->Rename("renamed", t); });
  c.Succeed([&](auto& t) { vm0->CreateSnapshot("first", Basalt::Optional<std::string>("before"), false, false, t); });
  c.Succeed([&](auto& t) { vm0->CreateSnapshot("second", {}, false, false, t); });
  vm0->MarkAsTemplate();
  // A folder holding a clone; a machine unregistered (its files stay).
  Ref<MoRef> folder;
  c.Stub<Tarn::FolderStub>(c.VmFolder().get())->CreateFolder("kept", folder);
  Ref<Tarn::Vm::CloneSpec> spec(new Tarn::Vm::CloneSpec());
  spec->location = new Tarn::Vm::RelocateSpec();
  spec->powerOn = true;
  spec->template_ = false;
  c.Succeed([&](auto& t) { c.Stub<VmStub>(vms[1].get())->Clone(folder.get(), "copy", spec.get(), t); });
  auto vm2 = c.Stub<VmStub>(vms[2].get());
  if (c.Field(vms[2].get(), Tarn::Sim::kFieldPowerState) != "poweredOff") {
    c.Succeed([&](auto& t) { vm2->PowerOff(t); });
  }
  vm2->Unregister();
  // A host disconnected.
  std::string host = c.Field(vms[3].get(), Tarn::Sim::kFieldHost);
  Ref<MoRef> hostRef(new MoRef("tarn.HostSystem", host));
  c.Succeed([&](auto& t) { c.Stub<Tarn::HostSystemStub>(hostRef.get())->Disconnect(t); });
}

TEST(State, SavedStateReloadsEqualWithTheSameIds) {
  TempFile file("state.json");
  Tarn::Sim::Simulator sim(Model(1, 2, 2, 1));
  std::string renamed, clone;
  {
    Client c(sim.GetUrl());
    Mutate(c);
    renamed = c.Vms().front()->GetId();
  }
  sim.SaveState(file.Path());
  std::string text = file.Read();
  ASSERT_FALSE(text.empty());

  Tarn::Sim::Inventory loaded(text);
  ExpectSameState(sim.GetInventory(), loaded);
  EXPECT_EQ(loaded.VmCount(), sim.GetInventory().VmCount());

  // Served again: the state reads back through the query service, and what is made
  // next gets the id it would have got in the first simulator.
  Tarn::Sim::Options options = Model(1, 1, 1, 0);  // ignored: the file wins
  options.stateFile = file.Path();
  Tarn::Sim::Simulator again(options);
  Client a(sim.GetUrl()), b(again.GetUrl());
  Ref<MoRef> vm(new MoRef("tarn.VirtualMachine", renamed));
  EXPECT_EQ(b.ReadString(vm.get(), "name"), "renamed");
  for (int key : {Tarn::Sim::kFieldTemplate, Tarn::Sim::kFieldPowerState, Tarn::Sim::kFieldMemoryMB,
                  Tarn::Sim::kFieldDevices, Tarn::Sim::kFieldPath}) {
    EXPECT_EQ(b.Field(vm.get(), key), a.Field(vm.get(), key)) << key;
  }
  EXPECT_EQ(b.ReadIds(vm.get(), "rootSnapshot"), a.ReadIds(vm.get(), "rootSnapshot"));
  EXPECT_EQ(b.ReadIds(b.VmFolder().get(), "childEntity"), a.ReadIds(a.VmFolder().get(), "childEntity"));
  Ref<MoRef> fa, fb;
  a.Stub<Tarn::FolderStub>(a.VmFolder().get())->CreateFolder("next", fa);
  b.Stub<Tarn::FolderStub>(b.VmFolder().get())->CreateFolder("next", fb);
  EXPECT_EQ(fa->GetId(), fb->GetId());
  ExpectSameState(sim.GetInventory(), again.GetInventory());
}

TEST(State, StopSavesAndTheNextStartLoads) {
  TempFile file("stop.json");
  Tarn::Sim::Options options = Model(1, 1, 3, 1);
  options.stateFile = file.Path();
  std::vector<Ref<Quill::Any>> before;
  {
    Tarn::Sim::Simulator sim(options);
    Client c(sim.GetUrl());
    Mutate(c);
    sim.Stop();
    std::lock_guard<std::mutex> lock(sim.GetInventory().Mutex());
    before = sim.GetInventory().Records();
  }
  ASSERT_TRUE(std::filesystem::exists(file.Path()));
  options.model = {1, 3, 3, 3, 1, 1, 0};  // another size: the saved state wins
  Tarn::Sim::Simulator sim(options);
  std::lock_guard<std::mutex> lock(sim.GetInventory().Mutex());
  std::vector<Ref<Quill::Any>> after = sim.GetInventory().Records();
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(before[i]->_IsEqual(after[i].get(), false)) << i;
}

// A saved state that does not hold together is refused with a reason, not half loaded.
TEST(State, DamagedStatesAreRefused) {
  Tarn::Sim::Inventory inventory(Tarn::Sim::ModelSize{1, 1, 1, 2, 1, 1, 1}, 5);
  std::string good;
  {
    std::lock_guard<std::mutex> lock(inventory.Mutex());
    good = inventory.SaveState();
  }
  ASSERT_NO_THROW(Tarn::Sim::Inventory{good});
  auto replace = [&good](std::string const& from, std::string const& to) {
    std::string text = good;
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  };
  struct Case {
    char const* what;
    std::string text;
  };
  for (Case const& k : std::vector<Case>{
           {"not JSON", "{"},
           {"no records", "[]"},
           {"another format", replace("tarn-sim state 1", "tarn-sim state 9")},
           {"a reference to nothing", replace("\"value\":\"host-", "\"value\":\"nohost-")},
           {"an unknown power state", replace("poweredO", "poweredX")},
           {"an unknown guest", replace("Guest\"", "Gust\"")},
       }) {
    EXPECT_ANY_THROW(Tarn::Sim::Inventory{k.text}) << k.what;
  }
}

TEST(ModelFile, NamesAndCountsMakeTheInventory) {
  Tarn::Sim::Model model = Tarn::Sim::Model::FromJson(R"({
    "datacenters": [
      {"name": "Lab", "networks": ["Front", "Back"],
       "clusters": [{"name": "Gold", "hosts": 2, "vms": 3, "datastores": 2},
                    {"name": "Tin", "hosts": 1}],
       "standalone": [{"name": "edge-1", "vms": 2}]},
      {"name": "Spare"}
    ]})");
  Tarn::Sim::Inventory inventory(model, 9);
  EXPECT_EQ(inventory.VmCount(), 8u);
  std::map<std::string, int> kinds;
  std::set<std::string> names;
  for (auto const& e : inventory.All()) {
    ++kinds[e->ref->GetTypeName()];
    names.insert(e->name);
  }
  EXPECT_EQ(kinds["tarn.Datacenter"], 2);
  EXPECT_EQ(kinds["tarn.ClusterComputeResource"], 2);
  EXPECT_EQ(kinds["tarn.ComputeResource"], 1);
  EXPECT_EQ(kinds["tarn.HostSystem"], 4);
  EXPECT_EQ(kinds["tarn.Network"], 2);
  EXPECT_EQ(kinds["tarn.Datastore"], 4);  // Gold's two, Tin's one, edge-1's own
  for (char const* name : {"Lab", "Spare", "Front", "Back", "Gold", "Gold_H1", "Gold_H1_VM2", "Tin_DS0", "edge-1",
                           "edge-1_VM1", "edge-1_local"}) {
    EXPECT_TRUE(names.count(name)) << name;
  }
  // The same model and seed, the same inventory.
  Tarn::Sim::Inventory twin(model, 9);
  ExpectSameState(inventory, twin);

  for (char const* bad : {
           "[]",
           R"({"datacenters": []})",
           R"({"datacenter": [{"name": "x"}]})",
           R"({"datacenters": [{"name": ""}]})",
           R"({"datacenters": [{"name": "a/b"}]})",
           R"({"datacenters": [{"name": "x", "clusters": [{"name": "c", "hosts": -1}]}]})",
           R"({"datacenters": [{"name": "x", "clusters": [{"name": "c", "vms": 2, "datastores": 0}]}]})",
           R"({"datacenters": [{"name": "x", "clusters": [{"name": "c", "hots": 2}]}]})",
           R"({"datacenters": [{"name": "x", "standalone": [{"name": "h", "vms": "2"}]}]})",
       }) {
    EXPECT_THROW(Tarn::Sim::Model::FromJson(bad), Basalt::Exception) << bad;
  }
}

}  // namespace
