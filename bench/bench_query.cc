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
//   memory     server memory per waiting session (a session with a watch of one VM and a
//              wait held, made through the LocalAdapter in process) and per tracked (object,
//              path) pair (one watch of every VM, after its first answer), as bytes live on the
//              heap before and after (bench/AllocCounter.h).
//   load       `watchers` HTTP sessions watch all VMs (changed paths only) while `rate`
//              changes per second are made for `seconds`; every session must end with every
//              VM's last value. The server (inventory, query service, HTTP server, and the
//              loop that makes the changes) runs in a child process, so that its CPU time is
//              its own; the clients' is reported beside it.
//
// Medians of `runs` runs. Except for the load part, client and server share this process
// (and the machine's cores).
//
//   bench_query [--vms 10000] [--runs 5] [--sessions 1000] [--changes 200] [--watchers 100]
//               [--rate 1000] [--seconds 5] [--parts retrieve,latency,memory,load]
//               [--no-per-property-http] [--no-http-retrieve]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include <unordered_map>
#include <vector>

#include "AllocCounter.h"
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
int Take(Q::UpdateBatch* batch, std::unordered_map<std::string, int>* last) {
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

// --- memory --------------------------------------------------------------------------------

// Server memory per waiting session and per tracked (object, path) pair, through the
// LocalAdapter in process. What the client side keeps (one pending-call handle per session)
// is counted with it; the batches of the first answers are dropped before counting.
void Memory(Quill::LocalAdapter* adapter, Q::QueryService& service, Inventory const& inv, int sessions) {
  auto waitOptions = [](int seconds) {
    Ref<Q::WaitOptions> o(new Q::WaitOptions());
    o->maxWaitSeconds = seconds;
    return o;
  };
  std::vector<Ref<Quill::RequestContext>> contexts;
  std::vector<Ref<Basalt::System::ScheduledItem>> waits;
  std::vector<Ref<Q::PropertyCollectorStub>> collectors;
  // A few sessions first, uncounted: what the first calls set up once (the adapter's workers
  // and queue, the types' plans) is no session's.
  int const warm = 16;
  auto waiting0 = service.GetStats().waiting + warm;
  std::int64_t before = 0;
  for (int i = 0; i < warm + sessions; ++i) {
    if (i == warm) {
      for (int k = 0; k < 3000 && service.GetStats().waiting < waiting0; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      before = Bench::LiveBytes();
    }
    contexts.push_back(new Quill::RequestContext());
    Ref<Q::PropertyCollectorStub>& pc =
        collectors.emplace_back(new Q::PropertyCollectorStub(Q::RootCollector().get(), adapter, contexts.back().get()));
    Ref<MoRef> watch;
    pc->CreateWatch(OneVm(inv.vms[i % inv.vms.size()]->_GetRef()).get(), true, watch);
    Ref<Q::UpdateBatch> first;
    pc->WaitForUpdates({}, waitOptions(0).get(), first);
    Ref<Basalt::System::ScheduledItem> item;
    pc->WaitForUpdates(
        first->version, waitOptions(600).get(),
        [](Basalt::System::ScheduledItem*, Basalt::Exception*, Quill::Any*) noexcept {}, item);
    waits.push_back(item);
  }
  for (int i = 0; i < 3000 && service.GetStats().waiting < waiting0 + sessions; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::int64_t held = Bench::LiveBytes() - before;
  auto stats = service.GetStats();
  std::printf("memory: %zu sessions waiting, each with a watch of one VM: %.0f bytes per session\n",
              stats.waiting - waiting0, sessions ? double(held) / sessions : 0.0);
  // A held wait keeps its session: cancel them, then end the sessions.
  for (auto const& pc : collectors) pc->CancelWait();
  collectors.clear();
  contexts.clear();
  for (auto const& w : waits) {
    for (int i = 0; i < 1000 && !w->IsDone(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  waits.clear();

  // Watches of the same objects in several sessions share what the service keeps per object.
  for (auto [watches, paths] : {std::pair<int, std::size_t>{1, 1}, {1, kPaths.size()}, {10, 1}}) {
    std::vector<Ref<Quill::RequestContext>> held;
    std::vector<std::string> selected(kPaths.begin(), kPaths.begin() + static_cast<long>(paths));
    auto spec = Q::FolderTreeSpec(inv.root->_GetRef(), {Q::MakeSelection("tarn.VirtualMachine", selected)}, true);
    std::size_t tracked0 = service.GetStats().trackedPaths;
    std::int64_t start = Bench::LiveBytes();
    for (int i = 0; i < watches; ++i) {
      held.push_back(new Quill::RequestContext());
      Ref<Q::PropertyCollectorStub> pc(
          new Q::PropertyCollectorStub(Q::RootCollector().get(), adapter, held.back().get()));
      Ref<MoRef> watch;
      pc->CreateWatch(spec.get(), true, watch);
      Ref<Q::UpdateBatch> first;
      pc->WaitForUpdates({}, waitOptions(0).get(), first);
    }
    std::int64_t used = Bench::LiveBytes() - start;
    std::size_t tracked = service.GetStats().trackedPaths - tracked0;
    std::printf("memory: %d watch(es) of %zu VMs x %zu paths (%zu tracked pairs): %.1f MB, %.1f bytes per pair\n",
                watches, inv.vms.size(), paths, tracked, used / 1e6, tracked ? double(used) / tracked : 0.0);
    held.clear();  // the sessions and their watches go
  }
}

// --- load --------------------------------------------------------------------------------------

// The server of the load part, in a child process: answers its parent's lines on `in` and
// writes its own on `out`.
//   -> "ready <url> <root type> <root id> <vms>"
//   <- "go"      -> makes the changes, then "made <count> <seconds>", "w <id> <value>" per VM
//                   changed (its last value), "end"
//   <- "done"    -> "cpu <seconds since go> <answers> <object changes>"
//   <- "quit"
int ServeLoad(int in, int out, int vmCount, int watchers, int rate, double seconds) {
  FILE* rd = fdopen(in, "r");
  FILE* wr = fdopen(out, "w");
  Quill::LocalAdapter::Options lo;
  lo.workers = 4;
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(lo));
  Q::QueryService service(adapter.get());
  Inventory inv(adapter.get(), vmCount);
  Quill::HttpServer::Options so;
  so.address = "127.0.0.1";
  so.workers = static_cast<unsigned>(watchers + 16);
  so.maxCallsInFlight = so.workers;
  so.maxConnections = static_cast<std::size_t>(watchers) * 2 + 64;
  Quill::HttpServer server(adapter.get(), so);
  MoRef* root = inv.root->_GetRef();
  std::fprintf(wr, "ready %s %s %s %zu\n", server.GetUrl().c_str(), root->GetTypeName().c_str(), root->GetId().c_str(),
               inv.vms.size());
  std::fflush(wr);
  char line[256];
  if (!std::fgets(line, sizeof line, rd) || std::string(line) != "go\n") return 1;
  double cpu0 = CpuSeconds();
  auto t0 = Clock::now();
  long total = static_cast<long>(rate * seconds);
  std::unordered_map<std::string, int> written;
  for (long i = 0; i < total; ++i) {
    std::this_thread::sleep_until(t0 + std::chrono::microseconds(static_cast<long long>(i * 1e6 / rate)));
    auto& vm = inv.vms[(i * 7919) % inv.vms.size()];
    int value = static_cast<int>(200000 + i);
    vm->memory = value;
    adapter->NotifyChanged(vm->_GetRef(), {"runtime"});
    written[vm->_GetRef()->GetId()] = value;
  }
  std::fprintf(wr, "made %ld %.3f\n", total, Ms(Clock::now() - t0) / 1000);
  for (auto const& [id, value] : written) std::fprintf(wr, "w %s %d\n", id.c_str(), value);
  std::fprintf(wr, "end\n");
  std::fflush(wr);
  if (!std::fgets(line, sizeof line, rd) || std::string(line) != "done\n") return 1;
  auto stats = service.GetStats();
  std::fprintf(wr, "cpu %.3f %llu %llu\n", CpuSeconds() - cpu0, static_cast<unsigned long long>(stats.answers),
               static_cast<unsigned long long>(stats.objectChanges));
  std::fflush(wr);
  std::fgets(line, sizeof line, rd);  // "quit", or the parent is gone
  server.Stop(std::chrono::seconds(2));
  service.Stop();
  adapter->Shutdown();
  return 0;
}

struct LoadServer {
  pid_t pid = -1;
  FILE* rd = nullptr;
  FILE* wr = nullptr;
  std::string url;
  Ref<MoRef> root;
  std::size_t vms = 0;
};

// Starts the load part's server; before any thread of this process exists, as fork wants.
std::unique_ptr<LoadServer> StartLoadServer(int vmCount, int watchers, int rate, double seconds) {
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return {};
  pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    close(toChild[1]);
    close(fromChild[0]);
    std::fflush(stdout);
    _exit(ServeLoad(toChild[0], fromChild[1], vmCount, watchers, rate, seconds));
  }
  close(toChild[0]);
  close(fromChild[1]);
  auto s = std::make_unique<LoadServer>();
  s->pid = pid;
  s->rd = fdopen(fromChild[0], "r");
  s->wr = fdopen(toChild[1], "w");
  return s;
}

bool Load(LoadServer& server, int watchers) {
  char line[512], url[256], type[128], id[128];
  if (!std::fgets(line, sizeof line, server.rd) ||
      std::sscanf(line, "ready %255s %127s %127s %zu", url, type, id, &server.vms) != 4) {
    std::fprintf(stderr, "load: the server did not start\n");
    return false;
  }
  server.url = url;
  server.root = new MoRef(type, id);
  auto spec =
      Q::FolderTreeSpec(server.root.get(), {Q::MakeSelection("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})}, true);
  struct Session {
    Ref<Quill::HttpAdapter> client;
    std::unique_ptr<Q::Watcher> watcher;
    std::mutex mu;
    std::unordered_map<std::string, int> last;
    std::atomic<long> modifies{0};
    bool complete = false;
  };
  std::vector<std::unique_ptr<Session>> list;
  for (int i = 0; i < watchers; ++i) {
    auto s = std::make_unique<Session>();
    s->client = Client(server.url);
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
      all = all && s->last.size() == server.vms;
    }
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  double cpu0 = CpuSeconds();
  std::fputs("go\n", server.wr);
  std::fflush(server.wr);
  long total = 0;
  double wall = 0;
  std::vector<std::pair<std::string, int>> written;
  if (!std::fgets(line, sizeof line, server.rd) || std::sscanf(line, "made %ld %lf", &total, &wall) != 2) return false;
  auto madeAt = Clock::now();
  while (std::fgets(line, sizeof line, server.rd) && std::string(line) != "end\n") {
    int value = 0;
    if (std::sscanf(line, "w %127s %d", id, &value) == 2) written.emplace_back(id, value);
  }
  // until every session has every last value (bounded); a session once complete stays so
  int complete = 0;
  for (int i = 0; i < 1200 && complete < watchers; ++i) {
    for (auto& s : list) {
      if (s->complete) continue;
      std::lock_guard lock(s->mu);
      bool all = true;
      for (auto const& [vm, v] : written) {
        auto it = s->last.find(vm);
        if (it == s->last.end() || it->second != v) {
          all = false;
          break;
        }
      }
      s->complete = all;
      complete += all;
    }
    if (complete < watchers) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  double drain = Ms(Clock::now() - madeAt) / 1000;
  double clientCpu = CpuSeconds() - cpu0;
  std::fputs("done\n", server.wr);
  std::fflush(server.wr);
  double serverCpu = 0;
  unsigned long long answers = 0, objects = 0;
  if (!std::fgets(line, sizeof line, server.rd) ||
      std::sscanf(line, "cpu %lf %llu %llu", &serverCpu, &answers, &objects) != 3) {
    return false;
  }
  long modifies = 0;
  for (auto& s : list) modifies += s->modifies.load();
  std::printf(
      "load: %ld changes in %.2f s (%.0f/s) to %zu VMs, %d watching sessions: %d/%d sessions got every last value "
      "(%.2f s after the last change); %ld changes delivered in all (%.1f per session of %ld made); %llu answers of "
      "%.1f object changes each; server CPU %.2f s = %.0f%% of one core, clients' %.2f s = %.0f%%\n",
      total, wall, total / wall, server.vms, watchers, complete, watchers, drain, modifies,
      watchers ? double(modifies) / watchers : 0.0, total, answers, answers ? double(objects) / answers : 0.0,
      serverCpu, 100 * serverCpu / (wall + drain), clientCpu, 100 * clientCpu / (wall + drain));
  std::fflush(stdout);
  for (auto& s : list) s->watcher->Stop();
  list.clear();
  std::fputs("quit\n", server.wr);
  std::fflush(server.wr);
  waitpid(server.pid, nullptr, 0);
  return complete == watchers;
}

}  // namespace

int main(int argc, char** argv) {
  int vmCount = 10000, runs = 5, sessions = 1000, changes = 200, watchers = 100, rate = 1000;
  double seconds = 5;
  std::string parts = "retrieve,latency,memory,load";
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
  if (parts.find("memory") != std::string::npos) Bench::TrackLiveBytes();
  std::unique_ptr<LoadServer> load;
  if (parts.find("load") != std::string::npos) {
    load = StartLoadServer(vmCount, watchers, rate, seconds);
    if (!load) {
      std::fprintf(stderr, "load: no server process\n");
      return 1;
    }
    bool more = false;
    for (char const* p : {"retrieve", "latency", "memory"}) more = more || parts.find(p) != std::string::npos;
    if (!more) return Load(*load, watchers) ? 0 : 1;
  }

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
          std::unordered_map<std::string, int> last;
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

  if (parts.find("memory") != std::string::npos) {
    Memory(adapter.get(), service, inv, sessions);
  }
  if (load) {
    if (!Load(*load, watchers)) return 1;
  }
  server.Stop(std::chrono::seconds(2));
  service.Stop();
  adapter->Shutdown();
  return 0;
}
