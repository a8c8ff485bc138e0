// bench_query: the query service against the one-call-per-property path, in process and over
// loopback HTTP, and the time a change takes to reach waiting clients.
//
//   retrieve   4 properties (name, runtime.maxMemoryUsage, runtime.maxCpuUsage, overallStatus)
//              of every VM in a folder tree (datacenters, VM folders, hosts that hold the VMs
//              again) through quill-query-tree's Retrieve; beside it the same values read with
//              one call per property (3 calls per VM: name, runtime, overallStatus), the
//              references handed over for free.
//   latency    `sessions` HTTP sessions each hold a wait on a watch of one VM of its own; one
//              more session watches the measured VM; a change is made on the server and the
//              time until the watcher's callback sees it is taken (`changes` times).
//   load       `watchers` HTTP sessions watch all VMs (changed paths only) while `rate`
//              changes per second are made for `seconds`; every session must end with every
//              VM's last value. Process CPU (client and server together) is reported.
//
// Medians of `runs` runs. Client and server share this process (and the machine's cores).
//
//   bench_query [--vms 10000] [--runs 5] [--sessions 1000] [--changes 200] [--watchers 100]
//               [--rate 1000] [--seconds 5] [--parts retrieve,latency,load] [--no-per-property-http]
//               [--no-http-retrieve]
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quill/Quill.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#include "quill/query/Client.h"
#include "quill/query/FolderTree.h"
#include "quill/query/QueryService.h"
#include "tarn/DatacenterSkeleton.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/HostSystemSkeleton.h"
#include "tarn/VirtualMachineSkeleton.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/vm/RuntimeInfo.h"

using Basalt::Ref;
using Quill::MoRef;
using Clock = std::chrono::steady_clock;
namespace Q = Quill::Query;

namespace {

Ref<Quill::DataArray<MoRef>> RefArray(std::vector<Ref<MoRef>> const& refs) {
  Ref<Quill::DataArray<MoRef>> out(new Quill::DataArray<MoRef>());
  for (auto const& r : refs) out->Append(r.get());
  return out;
}

class FolderImpl : public Tarn::FolderSkeleton {
 public:
  FolderImpl(MoRef* ref, std::string name) : FolderSkeleton(ref), _name(std::move(name)) {}
  std::string GetName() override { return _name; }
  void GetChildEntity(Ref<Quill::DataArray<MoRef>>& result) override { result = RefArray(children); }
  std::vector<Ref<MoRef>> children;

 private:
  std::string _name;
};

class DatacenterImpl : public Tarn::DatacenterSkeleton {
 public:
  DatacenterImpl(MoRef* ref, MoRef* vmFolder, MoRef* hostFolder)
      : DatacenterSkeleton(ref), _vmFolder(vmFolder), _hostFolder(hostFolder) {}
  std::string GetName() override { return "dc"; }
  void GetVmFolder(Ref<MoRef>& result) override { result = _vmFolder; }
  void GetHostFolder(Ref<MoRef>& result) override { result = _hostFolder; }

 private:
  Ref<MoRef> _vmFolder, _hostFolder;
};

class HostImpl : public Tarn::HostSystemSkeleton {
 public:
  using HostSystemSkeleton::HostSystemSkeleton;
  std::string GetName() override { return "host"; }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override { result = RefArray(vms); }
  std::vector<Ref<MoRef>> vms;
};

class VmImpl : public Tarn::VirtualMachineSkeleton {
 public:
  VmImpl(MoRef* ref, std::string name) : VirtualMachineSkeleton(ref), _name(std::move(name)) {}
  std::string GetName() override { return _name; }
  void GetRuntime(Ref<Tarn::Vm::RuntimeInfo>& result) override {
    result = new Tarn::Vm::RuntimeInfo();
    result->maxMemoryUsage = memory.load();
    result->maxCpuUsage = 2000;
  }
  Tarn::ManagedEntity::Status GetOverallStatus() override { return Tarn::ManagedEntity::Status::green; }
  std::atomic<int> memory{1024};

 private:
  std::string _name;
};

struct Inventory {
  explicit Inventory(Quill::LocalAdapter* adapter, int vmCount) {
    auto make = [&](auto* obj) {
      adapter->Register(nullptr, obj);
      return obj;
    };
    root = make(new FolderImpl(adapter->MakeRef("tarn.Folder").get(), "root"));
    int const dcs = 4, foldersPerDc = 10, hostsPerDc = 5;
    int perFolder = std::max(1, vmCount / (dcs * foldersPerDc));
    for (int d = 0; d < dcs && static_cast<int>(vms.size()) < vmCount; ++d) {
      auto* vmFolder = make(new FolderImpl(adapter->MakeRef("tarn.Folder").get(), "vm"));
      auto* hostFolder = make(new FolderImpl(adapter->MakeRef("tarn.Folder").get(), "host"));
      auto* dc = make(
          new DatacenterImpl(adapter->MakeRef("tarn.Datacenter").get(), vmFolder->_GetRef(), hostFolder->_GetRef()));
      root->children.push_back(dc->_GetRef());
      std::vector<HostImpl*> hosts;
      for (int h = 0; h < hostsPerDc; ++h) {
        hosts.push_back(make(new HostImpl(adapter->MakeRef("tarn.HostSystem").get())));
        hostFolder->children.push_back(hosts.back()->_GetRef());
      }
      for (int f = 0; f < foldersPerDc; ++f) {
        auto* folder = make(new FolderImpl(adapter->MakeRef("tarn.Folder").get(), "f"));
        vmFolder->children.push_back(folder->_GetRef());
        for (int i = 0; i < perFolder && static_cast<int>(vms.size()) < vmCount; ++i) {
          Ref<VmImpl> vm(new VmImpl(adapter->MakeRef("tarn.VirtualMachine").get(), "vm-" + std::to_string(vms.size())));
          adapter->Register(nullptr, vm.get());
          folder->children.push_back(vm->_GetRef());
          hosts[vms.size() % hosts.size()]->vms.push_back(vm->_GetRef());
          vms.push_back(vm);
        }
      }
    }
  }
  Ref<FolderImpl> root;
  std::vector<Ref<VmImpl>> vms;
};

std::vector<std::string> const kPaths = {"name", "runtime.maxMemoryUsage", "runtime.maxCpuUsage", "overallStatus"};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
  return v[i];
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long RssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Checks the answer once: every VM, every value right.
void Check(std::vector<Q::ObjectProperties> const& objects, Inventory const& inv) {
  std::size_t ok = 0;
  for (auto const& o : objects) {
    ok += o.Get<long>("runtime.maxMemoryUsage") == 1024 && o.Get<long>("runtime.maxCpuUsage") == 2000 &&
          o.Get<Tarn::ManagedEntity::Status>("overallStatus") == Tarn::ManagedEntity::Status::green &&
          o.Get<std::string>("name").rfind("vm-", 0) == 0;
  }
  if (objects.size() != inv.vms.size() || ok != inv.vms.size()) {
    std::fprintf(stderr, "wrong answer: %zu objects, %zu right, %zu VMs\n", objects.size(), ok, inv.vms.size());
    std::exit(1);
  }
}

// Wall time and the process's CPU time (every thread: client, server and codec) of each run:
// on a machine that others share the CPU time is the steadier of the two.
struct Runs {
  std::vector<double> ms;
  std::vector<double> cpuMs;
};

template <class F>
Runs Repeat(int runs, F&& f) {
  Runs out;
  for (int r = 0; r < runs; ++r) {
    double cpu0 = CpuSeconds();
    auto t0 = Clock::now();
    f();
    out.ms.push_back(Ms(Clock::now() - t0));
    out.cpuMs.push_back((CpuSeconds() - cpu0) * 1000);
  }
  return out;
}

void Report(char const* what, Runs const& runs) {
  auto const& ms = runs.ms;
  std::printf("%-44s median %9.2f ms  min %9.2f  max %9.2f  CPU median %9.2f ms  (%zu runs)\n", what,
              Percentile(ms, 0.5), *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
              Percentile(runs.cpuMs, 0.5), ms.size());
  std::fflush(stdout);
}

void PerProperty(Quill::StubAdapter* adapter, Inventory const& inv) {
  std::size_t ok = 0;
  for (auto const& vm : inv.vms) {
    Ref<Tarn::VirtualMachineStub> stub(new Tarn::VirtualMachineStub(vm->_GetRef(), adapter, nullptr));
    std::string name = stub->GetName();
    Ref<Tarn::Vm::RuntimeInfo> runtime;
    stub->GetRuntime(runtime);
    ok += !name.empty() && runtime->maxMemoryUsage == 1024 &&
          stub->GetOverallStatus() == Tarn::ManagedEntity::Status::green;
  }
  if (ok != inv.vms.size()) std::exit(1);
}

Ref<Quill::HttpAdapter> Client(std::string const& url, unsigned completionThreads = 1) {
  Quill::HttpAdapter::Settings s;
  s.url = url;
  s.callTimeout = std::chrono::seconds(120);
  s.completionThreads = completionThreads;
  return new Quill::HttpAdapter(s);
}

Ref<MoRef> Watch(Quill::StubAdapter* adapter, Ref<Q::QuerySpec> const& spec, bool partial = true) {
  Ref<Q::PropertyCollectorStub> pc(new Q::PropertyCollectorStub(Q::RootCollector().get(), adapter, nullptr));
  Ref<MoRef> watch;
  pc->CreateWatch(spec.get(), partial, watch);
  return watch;
}

Ref<Q::QuerySpec> OneVm(MoRef* vm) {
  return Q::MakeSpec({Q::MakeStart(vm)}, {}, {Q::MakeSelection("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})});
}

// How many modify changes of runtime.maxMemoryUsage a batch holds, and the last value per VM.
int Take(Q::UpdateBatch* batch, std::map<std::string, int>* last) {
  int n = 0;
  for (std::size_t w = 0; batch->watches && w < batch->watches->size(); ++w) {
    auto* update = (*batch->watches)[w];
    for (std::size_t i = 0; update->objects && i < update->objects->size(); ++i) {
      auto* change = (*update->objects)[i];
      for (std::size_t c = 0; change->changes && c < change->changes->size(); ++c) {
        auto* pc = (*change->changes)[c];
        if (!pc->value) continue;
        if (change->kind == Q::ChangeKind::modify) ++n;
        if (last) (*last)[change->obj->GetId()] = Quill::Unbox<int>(pc->value.get());
      }
    }
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  int vmCount = 10000, runs = 5, sessions = 1000, changes = 200, watchers = 100, rate = 1000;
  double seconds = 5;
  std::string parts = "retrieve,latency,load";
  bool perPropertyHttp = true, retrieveHttp = true;
  CLI::App app{"The query service: retrieve against one call per property, and changes reaching waiters."};
  app.add_option("--vms", vmCount);
  app.add_option("--runs", runs);
  app.add_option("--sessions", sessions, "latency: HTTP sessions holding a wait");
  app.add_option("--changes", changes, "latency: changes measured");
  app.add_option("--watchers", watchers, "load: HTTP sessions watching every VM");
  app.add_option("--rate", rate, "load: changes per second");
  app.add_option("--seconds", seconds, "load: how long");
  app.add_option("--parts", parts);
  app.add_flag("!--no-per-property-http", perPropertyHttp);
  app.add_flag("!--no-http-retrieve", retrieveHttp, "retrieve: in process only");
  CLI11_PARSE(app, argc, argv);

  Quill::LocalAdapter::Options lo;
  lo.workers = 4;
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(lo));
  Q::QueryService service(adapter.get());
  Inventory inv(adapter.get(), vmCount);
  std::printf("inventory: %zu VMs in a folder tree (also held by hosts)\n", inv.vms.size());

  Quill::HttpServer::Options so;
  so.address = "127.0.0.1";
  // Every waiting call holds a server worker until it is answered.
  so.workers = static_cast<unsigned>(std::max(sessions, watchers) + 16);
  so.maxCallsInFlight = so.workers;
  so.maxConnections = static_cast<std::size_t>(std::max(sessions, watchers)) * 2 + 64;
  Quill::HttpServer server(adapter.get(), so);
  MoRef* root = inv.root->_GetRef();

  if (parts.find("retrieve") != std::string::npos) {
    Check(Q::Retrieve(adapter.get(), "tarn.VirtualMachine", kPaths, root), inv);
    Report("retrieve 4 props x VMs, in process",
           Repeat(runs, [&] { Q::Retrieve(adapter.get(), "tarn.VirtualMachine", kPaths, root); }));
    {
      // The same objects through only the hops this tree needs, against the whole folder-tree set.
      auto narrow = Q::MakeSpec({Q::MakeStart(root, {"children"}, true)},
                                {Q::MakeHop("children", "tarn.Folder", "childEntity", {"children", "vms", "hosts"}),
                                 Q::MakeHop("vms", "tarn.Datacenter", "vmFolder", {"children"}),
                                 Q::MakeHop("hosts", "tarn.Datacenter", "hostFolder", {"children"})},
                                {Q::MakeSelection("tarn.VirtualMachine", kPaths)});
      Check(Q::RetrieveAll(adapter.get(), narrow.get()), inv);
      Report("retrieve, 3 hops instead of the tree's 11",
             Repeat(runs, [&] { Q::RetrieveAll(adapter.get(), narrow.get()); }));
    }
    Report("one call per property (3/VM), in process", Repeat(runs, [&] { PerProperty(adapter.get(), inv); }));
  }
  if (parts.find("retrieve") != std::string::npos && retrieveHttp) {
    auto http = Client(server.GetUrl());
    Check(Q::Retrieve(http.get(), "tarn.VirtualMachine", kPaths, root), inv);
    Report("retrieve 4 props x VMs, loopback HTTP",
           Repeat(runs, [&] { Q::Retrieve(http.get(), "tarn.VirtualMachine", kPaths, root); }));
    if (perPropertyHttp) {
      Report("one call per property (3/VM), loopback HTTP",
             Repeat(std::min(runs, 3), [&] { PerProperty(http.get(), inv); }));
    }
  }

  if (parts.find("latency") != std::string::npos) {
    // Idle sessions, each waiting on a watch of a VM that does not change.
    long rss0 = RssKb();
    std::vector<Ref<Quill::HttpAdapter>> idleClients;
    std::vector<std::unique_ptr<Q::Watcher>> idle;
    for (int i = 0; i < sessions; ++i) {
      idleClients.push_back(Client(server.GetUrl()));
      Watch(idleClients.back().get(), OneVm(inv.vms[1 + i % (inv.vms.size() - 1)]->_GetRef()));
      Q::Watcher::Settings ws;
      ws.maxWaitSeconds = 600;
      idle.push_back(std::make_unique<Q::Watcher>(
          idleClients.back().get(), [](Q::UpdateBatch*) {}, ws));
    }
    for (int i = 0; i < 3000 && service.GetStats().waiting < static_cast<std::size_t>(sessions); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto stats = service.GetStats();
    long rss1 = RssKb();
    std::printf(
        "waiting sessions: %zu (watches %zu, tracked paths %zu); process RSS +%ld KB = %.1f KB per session "
        "(client and server)\n",
        stats.waiting, stats.watches, stats.trackedPaths, rss1 - rss0, sessions ? double(rss1 - rss0) / sessions : 0.0);

    auto measured = Client(server.GetUrl());
    Watch(measured.get(), OneVm(inv.vms[0]->_GetRef()));
    std::mutex mu;
    std::condition_variable cv;
    int seenValue = 0;
    Clock::time_point seenAt;
    Q::Watcher::Settings ws;
    ws.maxWaitSeconds = 600;
    Q::Watcher watcher(
        measured.get(),
        [&](Q::UpdateBatch* b) {
          std::map<std::string, int> last;
          Take(b, &last);
          auto at = Clock::now();
          std::lock_guard lock(mu);
          for (auto const& [id, v] : last) seenValue = v, seenAt = at;
          cv.notify_all();
        },
        ws);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> latency;
    for (int i = 1; i <= changes; ++i) {
      int value = 100000 + i;
      auto t0 = Clock::now();
      inv.vms[0]->memory = value;
      adapter->NotifyChanged(inv.vms[0]->_GetRef(), {"runtime"});
      std::unique_lock lock(mu);
      if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return seenValue == value; })) {
        std::fprintf(stderr, "change %d not delivered\n", i);
        return 1;
      }
      latency.push_back(Ms(seenAt - t0));
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::printf(
        "change -> waiting client over loopback, %d other sessions waiting: median %.3f ms, p99 %.3f ms "
        "(%d changes)\n",
        sessions, Percentile(latency, 0.5), Percentile(latency, 0.99), changes);
    watcher.Stop();
    idle.clear();
  }

  if (parts.find("load") != std::string::npos) {
    auto spec = Q::FolderTreeSpec(root, {Q::MakeSelection("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})}, true);
    struct Session {
      Ref<Quill::HttpAdapter> client;
      std::unique_ptr<Q::Watcher> watcher;
      std::mutex mu;
      std::map<std::string, int> last;
      std::atomic<long> modifies{0};
    };
    std::vector<std::unique_ptr<Session>> list;
    for (int i = 0; i < watchers; ++i) {
      auto s = std::make_unique<Session>();
      s->client = Client(server.GetUrl());
      Watch(s->client.get(), spec);
      Session* raw = s.get();
      Q::Watcher::Settings ws;
      ws.maxWaitSeconds = 600;
      s->watcher = std::make_unique<Q::Watcher>(
          s->client.get(),
          [raw](Q::UpdateBatch* b) {
            std::lock_guard lock(raw->mu);
            raw->modifies += Take(b, &raw->last);
          },
          ws);
      list.push_back(std::move(s));
    }
    // until every session has had its first (full) answer
    for (int i = 0; i < 6000; ++i) {
      bool all = true;
      for (auto& s : list) {
        std::lock_guard lock(s->mu);
        all = all && s->last.size() == inv.vms.size();
      }
      if (all) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double cpu0 = CpuSeconds();
    auto t0 = Clock::now();
    long total = static_cast<long>(rate * seconds);
    std::map<std::string, int> written;
    for (long i = 0; i < total; ++i) {
      auto due = t0 + std::chrono::microseconds(static_cast<long long>(i * 1e6 / rate));
      std::this_thread::sleep_until(due);
      auto& vm = inv.vms[(i * 7919) % inv.vms.size()];
      int value = static_cast<int>(200000 + i);
      vm->memory = value;
      adapter->NotifyChanged(vm->_GetRef(), {"runtime"});
      written[vm->_GetRef()->GetId()] = value;
    }
    double wall = Ms(Clock::now() - t0) / 1000;
    // until every session has every last value (bounded)
    int complete = 0;
    for (int i = 0; i < 3000; ++i) {
      complete = 0;
      for (auto& s : list) {
        std::lock_guard lock(s->mu);
        bool all = true;
        for (auto const& [id, v] : written) all = all && s->last[id] == v;
        complete += all;
      }
      if (complete == watchers) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double drain = Ms(Clock::now() - t0) / 1000 - wall;
    double cpu = CpuSeconds() - cpu0;
    long modifies = 0;
    for (auto& s : list) modifies += s->modifies.load();
    std::printf(
        "load: %ld changes in %.2f s (%.0f/s) to %zu VMs, %d watching sessions: %d/%d sessions got every "
        "last value (%.2f s after the last change); %ld changes delivered in all (coalesced: %.1f per "
        "session of %ld made); process CPU %.2f s = %.0f%% of one core (client and server)\n",
        total, wall, total / wall, inv.vms.size(), watchers, complete, watchers, drain, modifies,
        watchers ? double(modifies) / watchers : 0.0, total, cpu, 100 * cpu / (wall + drain));
    for (auto& s : list) s->watcher->Stop();
  }
  server.Stop(std::chrono::seconds(2));
  service.Stop();
  adapter->Shutdown();
  return 0;
}
