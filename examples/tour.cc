// A tour of libtarn-types against tarn-sim, the simulator, started in this process on a
// loopback port (its library: tools/sim/Simulator.h): a generated inventory of a datacenter,
// a cluster, hosts and virtual machines, served over HTTP. The client half reaches it only
// through generated stubs and a Quill::HttpAdapter, exactly as it would reach a server on
// another machine. Each step prints one line; any surprise ends the program with a non-zero
// status.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Simulator.h"
#include "quill/Array.h"
#include "quill/FaultText.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/http/HttpAdapter.h"
#include "quill/query/FolderTree.h"
#include "quill/tasks/Tasks.h"
#include "tarn/AboutInfo.h"
#include "tarn/DatacenterStub.h"
#include "tarn/FolderStub.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceStub.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/UserSession.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidPowerState.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"
#include "tarn/vm/device/VirtualDisk.h"

using Basalt::Ref;
using Quill::MoRef;

namespace {

void Check(bool ok, char const* what) {
  if (!ok) {
    std::fprintf(stderr, "tour: unexpected: %s\n", what);
    std::exit(1);
  }
}

// ============================ the client end ============================

Ref<Tarn::Vm::ConfigSpec> WebServerSpec() {
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = std::string("web-01");
  spec->numCPUs = 2;
  spec->memoryMB = 4096L;
  spec->guestId = std::string("otherLinux64Guest");
  Ref<Tarn::Vm::Device::VirtualDisk> disk(new Tarn::Vm::Device::VirtualDisk());
  disk->key = -100;
  disk->capacityInKB = 16L * 1024 * 1024;
  Ref<Tarn::Vm::Device::VirtualDeviceSpec> change(new Tarn::Vm::Device::VirtualDeviceSpec());
  change->operation = Tarn::Vm::Device::VirtualDeviceSpec::Operation::add;
  change->fileOperation = Tarn::Vm::Device::VirtualDeviceSpec::FileOperation::create;
  change->device = disk;
  spec->GetDeviceChange()->Append(change.get());
  return spec;
}

}  // namespace

// A fault nobody expected ends the tour with its whole story (class, messages, causes,
// fields) instead of what() alone, which names only the fault's class.
int main() try {
  // --- a server: tarn-sim's, in this process ---------------------------------------
  Tarn::Sim::Options options;          // 127.0.0.1, a free port, seed 1: the same ids every time
  options.model = {1, 1, 2, 2, 1, 1};  // a datacenter, a cluster of two hosts with two machines each
  options.taskDelay = std::chrono::milliseconds(10);
  Tarn::Sim::Simulator sim(options);

  // --- the client: every call below is an HTTP POST to that server -----------------
  Quill::HttpAdapter::Settings settings;
  settings.url = sim.GetUrl();  // "http://127.0.0.1:<port>/sdk"
  Ref<Quill::HttpAdapter> adapter(new Quill::HttpAdapter(settings));

  // --- service content, a session and the inventory ------------------------------
  Ref<MoRef> siRef(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
  Ref<Tarn::ServiceInstanceStub> si = Quill::CreateStub<Tarn::ServiceInstanceStub>(siRef.get(), adapter.get());
  Ref<Tarn::ServiceInstanceContent> content;
  si->RetrieveContent(content);
  std::printf("connected to \"%s\", api %s\n", content->about->name.c_str(), content->about->apiVersion.c_str());
  Ref<Tarn::UserSession> session;
  Quill::CreateStub<Tarn::SessionManagerStub>(content->sessionManager.get(), adapter.get())
      ->Login("admin", "tarn-sim", Basalt::Optional<std::string>(), session);  // the cookie keeps the session
  std::printf("logged in as %s (%s)\n", session->userName.c_str(), session->fullName.c_str());

  Ref<Tarn::FolderStub> root = Quill::CreateStub<Tarn::FolderStub>(content->rootFolder.get(), adapter.get());
  Ref<Quill::DataArray<MoRef>> children;
  root->GetChildEntity(children);
  Check(children->size() == 1, "the model has not one datacenter");
  Ref<Tarn::DatacenterStub> dc = Quill::CreateStub<Tarn::DatacenterStub>(children->Get(0), adapter.get());
  Ref<MoRef> vmFolderRef;
  dc->GetVmFolder(vmFolderRef);
  Ref<Tarn::FolderStub> machines = Quill::CreateStub<Tarn::FolderStub>(vmFolderRef.get(), adapter.get());
  Ref<MoRef> prodRef;
  machines->CreateFolder("Production", prodRef);
  Ref<Tarn::FolderStub> production = Quill::CreateStub<Tarn::FolderStub>(prodRef.get(), adapter.get());
  std::printf("root folder \"%s\" (%s), datacenter \"%s\", new folder \"%s\" (%s) in \"%s\"\n", root->GetName().c_str(),
              root->_GetRef()->GetId().c_str(), dc->GetName().c_str(), production->GetName().c_str(),
              prodRef->GetId().c_str(), machines->GetName().c_str());

  // --- a virtual machine, created and powered on through task methods -----------
  Ref<Tarn::Vm::ConfigSpec> spec = WebServerSpec();
  machines->GetChildEntity(children);  // the new machine goes where the others are: their pool
  Ref<MoRef> pool;
  Quill::CreateStub<Tarn::VirtualMachineStub>(children->Get(0), adapter.get())->GetResourcePool(pool);
  Ref<Tarn::Vm::ConfigSpec> create(new Tarn::Vm::ConfigSpec(*spec));
  create->deviceChange = nullptr;  // the simulator gives every new machine a disk of its own
  Ref<MoRef> taskRef;
  production->CreateVm(create.get(), pool.get(), nullptr, taskRef);
  // Follows the task to its end and answers its result as the type asked for.
  Ref<MoRef> vmRef = Quill::WaitForTask<Ref<MoRef>>(adapter.get(), taskRef.get(), std::chrono::seconds(10));
  Check(vmRef != nullptr, "CreateVm's task has no VirtualMachine as its result");
  std::printf("task %s: success, created %s\n", taskRef->GetId().c_str(), vmRef->GetId().c_str());

  Ref<Tarn::VirtualMachineStub> vm = Quill::CreateStub<Tarn::VirtualMachineStub>(vmRef.get(), adapter.get());
  vm->PowerOn(nullptr, taskRef);
  Quill::WaitForTask(adapter.get(), taskRef.get(), std::chrono::seconds(10));
  std::printf("power on \"%s\": success\n", vm->GetName().c_str());
  vm->PowerOn(nullptr, taskRef);
  try {
    // A task that ends in error throws its fault as the fault's own class.
    Quill::WaitForTask(adapter.get(), taskRef.get(), std::chrono::seconds(10));
    Check(false, "a second power-on did not fail with InvalidPowerState");
  } catch (Tarn::Fault::InvalidPowerState::Exception& e) {
    auto* already = static_cast<Tarn::Fault::InvalidPowerState*>(e.GetFault());
    std::printf("power on again: error, %s (the machine is %s)\n", already->_GetType()->GetName(),
                Quill::TagOf(already->existingState));
  }

  // --- the inventory in one call, and a change arriving -----------------------------
  Quill::Query::RetrieveSettings through;
  through.collector = content->propertyCollector.get();
  auto vms = Quill::Query::Retrieve(adapter.get(), "tarn.VirtualMachine", {"name"}, root->_GetRef(), through);
  std::map<std::string, std::string> names;  // by name, for a stable order
  for (auto const& e : vms) names[e.Get<std::string>("name")] = e.GetRef()->GetId();
  std::printf("query: %zu machines under %s:", names.size(), root->_GetRef()->GetId().c_str());
  for (auto const& [name, id] : names) std::printf(" %s", name.c_str());
  std::printf("\n");

  namespace Q = Quill::Query;
  Ref<Q::PropertyCollectorStub> collector =
      Quill::CreateStub<Q::PropertyCollectorStub>(content->propertyCollector.get(), adapter.get());
  Ref<MoRef> watch;
  collector->CreateWatch(Q::FolderTreeSpec(root->_GetRef(), {Q::MakeSelection("tarn.Folder", {"name"})}).get(),
                         /*partialUpdates=*/true, watch);
  std::mutex seenMutex;
  std::condition_variable seenChanged;
  std::vector<std::string> seen;  // one line per object change
  int batches = 0;
  Q::Watcher::Settings watching;
  watching.collector = content->propertyCollector.get();
  Q::Watcher watcher(
      adapter.get(),
      [&](Q::UpdateBatch* batch) {
        std::lock_guard<std::mutex> lock(seenMutex);
        for (std::size_t i = 0; i < (*batch->watches)[0]->objects->size(); ++i) {
          Q::ObjectChange* change = (*(*batch->watches)[0]->objects)[i];
          std::string line = std::string(Quill::TagOf(change->kind)) + " " + change->obj->GetId();
          for (std::size_t c = 0; change->changes && c < change->changes->size(); ++c) {
            Q::PropertyChange* value = (*change->changes)[c];
            line += " " + value->path.GetString() + "=" + Quill::Unbox<std::string>(value->value.get());
          }
          seen.push_back(line);
        }
        ++batches;
        seenChanged.notify_all();
      },
      watching);
  std::size_t folders;
  {
    std::unique_lock<std::mutex> lock(seenMutex);
    seenChanged.wait_for(lock, std::chrono::seconds(10), [&] { return batches > 0; });  // every folder, entering
    Check(batches > 0, "the watch's first answer did not come");
    folders = seen.size();
  }
  machines->CreateFolder("Staging", prodRef);
  {
    std::unique_lock<std::mutex> lock(seenMutex);
    seenChanged.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() > folders; });
    Check(seen.size() == folders + 1, "the new folder did not reach the watcher");
    std::printf("watch: %zu folders, then %s\n", folders, seen.back().c_str());
  }
  watcher.Stop();

  // --- copy, compare, diff --------------------------------------------------------
  Ref<Tarn::Vm::ConfigSpec> bigger(new Tarn::Vm::ConfigSpec(*spec));  // a deep copy
  bigger->memoryMB = 8192L;
  // A copy shares the elements of object arrays: replace an element before changing it.
  Basalt::Ref<Quill::Any>& first = bigger->deviceChange->GetItems()[0];
  first = first->_Clone();
  auto* disk = static_cast<Tarn::Vm::Device::VirtualDisk*>(bigger->deviceChange->Get(0)->device.get());
  disk->capacityInKB *= 2;
  bigger->guestId.Unset();
  Quill::PropertyDiffSet diffs;
  spec->_DiffProperties(bigger.get(), "", diffs);
  std::printf("copy equal: strict %s, lenient %s; differs at", spec->_IsEqual(bigger.get(), false) ? "yes" : "no",
              spec->_IsEqual(bigger.get(), true) ? "yes" : "no");
  for (auto const& path : diffs.GetPaths()) std::printf(" %s", path.c_str());
  std::printf("\n");
  Ref<Tarn::Vm::ConfigSpec> same(new Tarn::Vm::ConfigSpec(*spec));
  same->guestId.Unset();  // unset on one side: a lenient comparison lets it pass
  std::printf("with guestId unset in the copy: strict %s, lenient %s\n",
              spec->_IsEqual(same.get(), false) ? "yes" : "no", spec->_IsEqual(same.get(), true) ? "yes" : "no");

  // --- enumerations ---------------------------------------------------------------
  using PowerState = Tarn::VirtualMachine::PowerState;
  PowerState parsed{};
  bool known = Quill::FindEnumValue("hibernated", parsed);
  std::printf("enum: %d is \"%s\", \"suspended\" is %d, \"hibernated\" %s\n", static_cast<int>(PowerState::poweredOn),
              Quill::TagOf(PowerState::poweredOn), static_cast<int>(Quill::EnumValueOf<PowerState>("suspended")),
              known ? "is known" : "is not a tag");

  // --- a fault, caught as its own class and as its base ---------------------------
  try {
    machines->CreateFolder("Production", prodRef);
    Check(false, "a duplicate folder was created");
  } catch (Tarn::Fault::DuplicateName::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
    std::printf("caught Tarn::Fault::DuplicateName: \"%s\" is taken by %s\n", fault->name.c_str(),
                fault->object->GetId().c_str());
  }
  try {
    machines->CreateFolder("Production", prodRef);
  } catch (Tarn::Fault::TarnFault::Exception& e) {
    std::printf("caught again as Tarn::Fault::TarnFault (%s)\n", e.GetFault()->_GetType()->GetName());
  }

  // --- an asynchronous call -------------------------------------------------------
  Ref<Basalt::System::ScheduledItem> pending;
  std::string answer;
  si->CurrentTime(
      [&answer](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any* result) {
        if (error) {
          answer = "failed";
          return;
        }
        auto skew =
            Quill::Unbox<Basalt::System::DateTime>(result).GetUtcTime() - Basalt::System::DateTime::Now().GetUtcTime();
        answer = std::abs(skew) < 60'000'000 ? "the server's clock agrees with ours" : "the clocks differ";
      },
      pending);
  pending->Wait();  // the callback has returned once the handle is done
  std::printf("async CurrentTime: %s\n", answer.c_str());

  // --- lookups by name and version --------------------------------------------------
  Quill::Type* byName = Quill::FindType("tarn.vm.ConfigSpec");
  Quill::Type* byWsdl = Quill::FindTypeByWsdlName("VirtualMachineConfigSpec");
  Check(byName != nullptr && byName == byWsdl, "ConfigSpec not found by both names");
  auto* specType = static_cast<Quill::DataObjectType*>(byName);
  Quill::DataProperty const* memory = specType->FindProperty("memoryMB");
  Check(memory != nullptr, "no property memoryMB");
  Quill::Type* delta = Quill::FindType("tarn.DeltaMigrationManager");
  Quill::Version const* older = Quill::FindVersion("tarn.version.version5");
  Quill::Version const* newer = Quill::FindVersion("tarn.version.v8_0_0_1");
  Check(delta && older && newer, "a type or version is missing");
  std::printf("lookup: %s is WSDL %s with %u properties; memoryMB since %s\n", byName->GetName(), byName->GetWsdlName(),
              specType->GetPropertyCount(), memory->info->version);
  std::printf("lookup: %s (since %s) is %s version5 and %s v8_0_0_1\n", delta->GetName(), delta->GetVersionName(),
              Quill::ExistsInVersion(delta, older) ? "in" : "not in",
              Quill::ExistsInVersion(delta, newer) ? "in" : "not in");

  adapter->Shutdown();
  sim.Stop();
  std::printf("done\n");
  return 0;
} catch (std::exception& e) {
  std::fprintf(stderr, "tour: %s", Quill::FaultText(e).c_str());
  return 1;
}
