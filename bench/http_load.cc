// tarn_http_load: calls per second, latency, CPU and allocations of calls over HTTP on
// loopback. The server (HttpServer in front of a LocalAdapter) runs in a child process of
// its own (this program again, with --serve), listening on 127.0.0.1 on a port of its
// choosing, which it prints to the parent; so the allocation counter of each process counts
// only its own end, and the child reports its CPU time and allocations when the parent asks
// (a byte on its stdin). Each of N client threads has its own HttpAdapter (so its own
// connection) and stub and makes sync calls one after the other, until the point's time or
// call budget is spent.
//
// Shapes: getter (a property read answering a filled TaskInfo), primitives (a method with
// three primitive arguments answering a long), task (a task method answering the task's
// reference), configspec (a task method carrying a filled tarn.vm.ConfigSpec). The server
// checks every argument it receives against what the client sends and answers a fault when
// they differ (a failed call); the client checks each shape's answer once before timing.
//
//   tarn_http_load [--clients 1,8,64] [--shapes getter,primitives,task,configspec]
//                  [--seconds 5] [--max-calls 300000] [--io-threads 1] [--workers 2] [--runs 1]
//                  [--inline-decode-bytes N]  (the server's HttpServer::Options::inlineDecodeBytes)
//   tarn_http_load --grpc-comparable [--seconds 5]
//
// --grpc-comparable measures what the reference figures of a gRPC service on the same kind
// of machine were measured for (getter, three primitives, ConfigSpec argument at 1, 8 and 64
// clients), three runs per point, and prints the median of each figure beside them. CPU per
// call is the process's user + system time over the timed part divided by its calls; the
// allocations are operator new calls (what libcurl and OpenSSL take with malloc is not
// counted).
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "AllocCounter.h"
#include "quill/Quill.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/FolderStub.h"
#include "tarn/HostSystemSkeleton.h"
#include "tarn/HostSystemStub.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskSkeleton.h"
#include "tarn/TaskStub.h"
#include "tarn/host/CacheConfigurationManagerSkeleton.h"
#include "tarn/host/CacheConfigurationManagerStub.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"
#include "tarn/vm/device/VirtualDisk.h"

extern char** environ;

using Basalt::Ref;
using Quill::MoRef;
using Clock = std::chrono::steady_clock;

namespace {

// --- what travels ------------------------------------------------------------------

Ref<Tarn::TaskInfo> FilledInfo() {
  Ref<Tarn::TaskInfo> info(new Tarn::TaskInfo());
  info->key = "task-42";
  info->task = new MoRef("tarn.Task", "task-42");
  info->entity = new MoRef("tarn.VirtualMachine", "vm-7");
  info->entityName = std::string("web-01");
  info->name = std::string("tarn.VirtualMachine.powerOn");
  info->descriptionId = "VirtualMachine.powerOn";
  info->state = Tarn::TaskInfo::State::running;
  info->cancelled = false;
  info->cancelable = true;
  info->progress = 40;
  info->queueTime = Basalt::System::DateTime::FromCivil(2026, 12, 6, 12);
  info->eventChainId = 12345;
  return info;
}

Ref<Tarn::Vm::ConfigSpec> FilledSpec() {
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = std::string("web-01");
  spec->version = std::string("vmx-21");
  spec->uuid = std::string("4211c4b6-1a7e-4c0d-9a7e-2f5c8e9d0a11");
  spec->annotation = std::string("front end <web> & cache");
  spec->guestId = std::string("otherLinux64Guest");
  spec->numCPUs = 4;
  spec->numCoresPerSocket = 2;
  spec->memoryMB = 8192L;
  spec->memoryHotAddEnabled = true;
  spec->cpuHotAddEnabled = true;
  spec->firmware = std::string("efi");
  spec->swapPlacement = std::string("inherit");
  for (int i = 0; i < 3; ++i) {
    Ref<Tarn::Vm::Device::VirtualDisk> disk(new Tarn::Vm::Device::VirtualDisk());
    disk->key = -100 - i;
    disk->unitNumber = i;
    disk->controllerKey = 1000;
    disk->capacityInKB = (16L << 20) * (i + 1);
    Ref<Tarn::Vm::Device::VirtualDeviceSpec> change(new Tarn::Vm::Device::VirtualDeviceSpec());
    change->operation = Tarn::Vm::Device::VirtualDeviceSpec::Operation::add;
    change->fileOperation = Tarn::Vm::Device::VirtualDeviceSpec::FileOperation::create;
    change->device = disk;
    spec->GetDeviceChange()->Append(change.get());
  }
  return spec;
}

long Overhead(long memory, int video, int cpus) { return memory / 64 + video + 1024L * cpus; }

[[noreturn]] void Refuse(char const* what) {
  Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
  fault->invalidProperty = Quill::PropertyPath(what);
  fault->Throw();
  std::abort();  // Throw always throws; the compiler cannot see through the virtual call
}

// --- the server end ------------------------------------------------------------------

class TaskImpl : public Tarn::TaskSkeleton {
 public:
  using TaskSkeleton::TaskSkeleton;
  void GetInfo(Ref<Tarn::TaskInfo>& result) override { result = info; }
  Ref<Tarn::TaskInfo> info = FilledInfo();
};

class HostImpl : public Tarn::HostSystemSkeleton {
 public:
  using HostSystemSkeleton::HostSystemSkeleton;
  long QueryOverhead(long memory, Basalt::Optional<int> const& video, int cpus) override {
    if (memory != 4096 || !video.IsSet() || video.GetValue() != 16 || cpus != 2) Refuse("arguments");
    return Overhead(memory, video.GetValue(), cpus);
  }
};

class CacheImpl : public Tarn::Host::CacheConfigurationManagerSkeleton {
 public:
  using CacheConfigurationManagerSkeleton::CacheConfigurationManagerSkeleton;
  void ConfigureCache(Tarn::Host::CacheConfigurationManager::CacheConfigurationSpec* spec,
                      Ref<MoRef>& result) override {
    if (!spec) Refuse("spec");
    result = task;
  }
  Ref<MoRef> task{new MoRef("tarn.Task", "task-42")};
};

class FolderImpl : public Tarn::FolderSkeleton {
 public:
  using FolderSkeleton::FolderSkeleton;
  void CreateVm(Tarn::Vm::ConfigSpec* config, MoRef* pool, MoRef*, Ref<MoRef>& result) override {
    if (!config || !config->_IsEqual(expected.get(), false)) Refuse("config");
    if (!pool || pool->GetId() != "resgroup-8") Refuse("pool");
    result = task;
  }
  Ref<Tarn::Vm::ConfigSpec> expected = FilledSpec();
  Ref<MoRef> task{new MoRef("tarn.Task", "task-43")};
};

// User + system CPU time of this process so far, in microseconds.
std::uint64_t CpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](timeval const& t) { return std::uint64_t(t.tv_sec) * 1000000u + std::uint64_t(t.tv_usec); };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// Serves until stdin closes (the parent died or is done); prints the URL first. Each byte
// the parent sends asks for one line: "<CPU microseconds> <allocations>".
int Serve(unsigned ioThreads, unsigned workers, std::size_t inlineDecodeBytes) {
  Quill::LocalAdapter::Options adapterOptions;
  adapterOptions.workers = 1;
  // Every implementation here answers at once: calls that are not tasks are made where they are read.
  adapterOptions.mayBlock = [](MoRef const*, Quill::ManagedMethod const*) { return false; };
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(adapterOptions));
  adapter->Register(nullptr, new TaskImpl(new MoRef("tarn.Task", "task-42")));
  adapter->Register(nullptr, new HostImpl(new MoRef("tarn.HostSystem", "host-1")));
  adapter->Register(nullptr, new CacheImpl(new MoRef("tarn.host.CacheConfigurationManager", "cache-1")));
  adapter->Register(nullptr, new FolderImpl(new MoRef("tarn.Folder", "group-v3")));
  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";
  options.ioThreads = ioThreads;
  options.workers = workers;
  options.inlineDecodeBytes = inlineDecodeBytes;
  options.maxConnections = 4096;
  options.maxCallsInFlight = 4096;
  Quill::HttpServer server(adapter.get(), options);
  std::printf("%s\n", server.GetUrl().c_str());
  std::fflush(stdout);
  char byte;
  while (::read(0, &byte, 1) > 0) {
    std::printf("%llu %llu\n", static_cast<unsigned long long>(CpuMicros()),
                static_cast<unsigned long long>(Bench::AllocationCount()));
    std::fflush(stdout);
  }
  server.Stop();
  adapter->Shutdown();
  return 0;
}

// --- the client end ------------------------------------------------------------------

struct Client {
  explicit Client(std::string const& url) {
    Quill::HttpAdapter::Settings settings;
    settings.url = url;
    settings.callTimeout = std::chrono::seconds(10);
    adapter = new Quill::HttpAdapter(settings);
    Ref<MoRef> t(new MoRef("tarn.Task", "task-42")), h(new MoRef("tarn.HostSystem", "host-1")),
        c(new MoRef("tarn.host.CacheConfigurationManager", "cache-1")), f(new MoRef("tarn.Folder", "group-v3"));
    task = Quill::CreateStub<Tarn::TaskStub>(t.get(), adapter.get());
    host = Quill::CreateStub<Tarn::HostSystemStub>(h.get(), adapter.get());
    cache = Quill::CreateStub<Tarn::Host::CacheConfigurationManagerStub>(c.get(), adapter.get());
    folder = Quill::CreateStub<Tarn::FolderStub>(f.get(), adapter.get());
  }
  Ref<Quill::HttpAdapter> adapter;
  Ref<Tarn::TaskStub> task;
  Ref<Tarn::HostSystemStub> host;
  Ref<Tarn::Host::CacheConfigurationManagerStub> cache;
  Ref<Tarn::FolderStub> folder;
  Ref<Tarn::Host::CacheConfigurationManager::CacheConfigurationSpec> cacheSpec{
      new Tarn::Host::CacheConfigurationManager::CacheConfigurationSpec()};
  Ref<Tarn::Vm::ConfigSpec> vmSpec = FilledSpec();
  Ref<MoRef> pool{new MoRef("tarn.ResourcePool", "resgroup-8")};

  // One call of the shape; the answer lands in the out-parameters.
  void Call(std::string const& shape, Ref<Tarn::TaskInfo>& info, long& overhead, Ref<MoRef>& ref) {
    if (shape == "getter") {
      task->GetInfo(info);
    } else if (shape == "primitives") {
      overhead = host->QueryOverhead(4096, 16, 2);
    } else if (shape == "task") {
      cache->ConfigureCache(cacheSpec.get(), ref);
    } else {
      folder->CreateVm(vmSpec.get(), pool.get(), nullptr, ref);
    }
  }
};

// The shape's answer, checked once before timing.
bool CheckAnswer(Client& c, std::string const& shape) {
  Ref<Tarn::TaskInfo> info;
  long overhead = 0;
  Ref<MoRef> ref;
  try {
    c.Call(shape, info, overhead, ref);
  } catch (std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", shape.c_str(), e.what());
    return false;
  }
  if (shape == "getter") return info && info->_IsEqual(FilledInfo().get(), false);
  if (shape == "primitives") return overhead == Overhead(4096, 16, 2);
  if (shape == "task") return ref && ref->GetId() == "task-42";
  return ref && ref->GetId() == "task-43";
}

struct Point {
  std::uint64_t calls = 0, failed = 0;
  double seconds = 0, p50 = 0, p99 = 0;
  double clientCpu = 0, serverCpu = 0;                  // microseconds per call
  double clientAllocations = 0, serverAllocations = 0;  // per call
};

// The server's counters, read through the pipe.
struct ServerLink {
  int to = -1, from = -1;
  bool Sample(std::uint64_t& cpu, std::uint64_t& allocations) const {
    char ask = 'r';
    if (::write(to, &ask, 1) != 1) return false;
    std::string line;
    char ch;
    while (line.size() < 100 && ::read(from, &ch, 1) == 1 && ch != '\n') line += ch;
    unsigned long long c = 0, a = 0;
    if (std::sscanf(line.c_str(), "%llu %llu", &c, &a) != 2) return false;
    cpu = c;
    allocations = a;
    return true;
  }
};

Point Run(std::vector<std::unique_ptr<Client>>& clients, std::string const& shape, double seconds,
          std::uint64_t maxCalls, ServerLink const& server) {
  std::size_t n = clients.size();
  std::uint64_t perThread = std::max<std::uint64_t>(1, maxCalls / n);
  std::vector<std::vector<float>> latencies(n);
  for (auto& l : latencies) l.reserve(perThread);
  std::vector<std::uint64_t> failed(n, 0);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point deadline;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      Ref<Tarn::TaskInfo> info;
      long overhead = 0;
      Ref<MoRef> ref;
      ++ready;
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (std::uint64_t k = 0; k < perThread; ++k) {
        Clock::time_point t0 = Clock::now();
        if (t0 >= deadline) break;
        try {
          clients[i]->Call(shape, info, overhead, ref);
        } catch (std::exception&) {
          ++failed[i];
        }
        latencies[i].push_back(std::chrono::duration<float, std::micro>(Clock::now() - t0).count());
      }
    });
  }
  while (ready.load() < static_cast<int>(n)) std::this_thread::yield();
  std::uint64_t serverCpu0 = 0, serverAllocations0 = 0, serverCpu1 = 0, serverAllocations1 = 0;
  bool sampled = server.Sample(serverCpu0, serverAllocations0);
  Bench::AllocationMeter meter;
  std::uint64_t clientCpu0 = CpuMicros();
  Clock::time_point start = Clock::now();
  deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go.store(true, std::memory_order_release);
  for (auto& t : threads) t.join();
  Point p;
  p.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::uint64_t clientAllocations = meter.Elapsed();
  std::uint64_t clientCpu = CpuMicros() - clientCpu0;
  sampled = server.Sample(serverCpu1, serverAllocations1) && sampled;
  std::vector<float> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  for (auto f : failed) p.failed += f;
  p.calls = all.size();
  if (p.calls) {
    double calls = double(p.calls);
    p.clientCpu = clientCpu / calls;
    p.clientAllocations = clientAllocations / calls;
    // The server's counters are read before the clients start and after they have all
    // finished; a failed read shows as a negative figure rather than a wrong one.
    p.serverCpu = sampled ? (serverCpu1 - serverCpu0) / calls : -1;
    p.serverAllocations = sampled ? (serverAllocations1 - serverAllocations0) / calls : -1;
  }
  if (!all.empty()) {
    std::sort(all.begin(), all.end());
    p.p50 = all[all.size() / 2];
    p.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return p;
}

std::vector<std::string> Split(std::string const& list) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (comma > start) out.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Each figure's median over the runs (not the figures of the median run).
Point MedianPoint(std::vector<Point> const& runs) {
  auto of = [&](auto field) {
    std::vector<double> v;
    for (Point const& p : runs) v.push_back(field(p));
    return Median(v);
  };
  Point m;
  m.seconds = 1;
  m.calls = static_cast<std::uint64_t>(of([](Point const& p) { return p.calls / p.seconds; }));
  m.p50 = of([](Point const& p) { return p.p50; });
  m.p99 = of([](Point const& p) { return p.p99; });
  m.clientCpu = of([](Point const& p) { return p.clientCpu; });
  m.serverCpu = of([](Point const& p) { return p.serverCpu; });
  m.clientAllocations = of([](Point const& p) { return p.clientAllocations; });
  m.serverAllocations = of([](Point const& p) { return p.serverAllocations; });
  for (Point const& p : runs) m.failed += p.failed;
  return m;
}

// The reference figures of a gRPC 1.51 / protobuf 3.21 service measured for the same shapes
// (2-core EPYC, Release): calls/s, and p50 / p99 in microseconds where they were taken.
struct Reference {
  char const* shape;
  int clients;
  double callsPerSecond, p50, p99;
};
constexpr Reference kReferences[] = {
    {"getter", 1, 16504, 53, 117},     {"getter", 8, 18650, 0, 0},     {"getter", 64, 13814, 0, 0},
    {"primitives", 1, 16777, 54, 113}, {"configspec", 1, 10851, 0, 0}, {"configspec", 8, 13376, 0, 0},
    {"configspec", 64, 11606, 0, 0},
};

Reference const* FindReference(std::string const& shape, int clients) {
  for (Reference const& r : kReferences) {
    if (shape == r.shape && clients == r.clients) return &r;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Calls over HTTP on loopback: calls/s, p50/p99 latency, CPU and allocations per call"};
  std::vector<int> clientCounts{1, 8, 64};
  std::string shapes = "getter,primitives,task,configspec";
  double seconds = 5;
  std::uint64_t maxCalls = 300000;
  unsigned ioThreads = 1, workers = 2, runs = 1;
  std::size_t inlineDecodeBytes = Quill::HttpServer::Options().inlineDecodeBytes;
  bool serve = false, comparable = false;
  app.add_option("--clients", clientCounts, "client thread counts")->delimiter(',');
  app.add_option("--shapes", shapes, "comma-separated shapes");
  app.add_option("--seconds", seconds, "time per point")->check(CLI::Range(0.1, 60.0));
  app.add_option("--max-calls", maxCalls, "calls per point at most");
  app.add_option("--io-threads", ioThreads, "server I/O threads");
  app.add_option("--workers", workers, "server worker threads");
  app.add_option("--inline-decode-bytes", inlineDecodeBytes,
                 "request bodies up to this size are decoded on the I/O thread");
  app.add_option("--runs", runs, "runs per point; each figure is the median over them")->check(CLI::Range(1, 9));
  app.add_flag("--grpc-comparable", comparable,
               "the reference's shapes and client counts, 3 runs per point, printed beside its figures");
  app.add_flag("--serve", serve, "be the server (the driver starts itself this way)");
  CLI11_PARSE(app, argc, argv);
  if (serve) return Serve(ioThreads, workers, inlineDecodeBytes);
  if (comparable) {
    shapes = "getter,primitives,configspec";
    clientCounts = {1, 8, 64};
    runs = std::max(runs, 3u);
  }

  // The server: this program again, talking through a pipe on its stdin/stdout.
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  std::string io = std::to_string(ioThreads), w = std::to_string(workers), inlined = std::to_string(inlineDecodeBytes);
  char const* childArgs[] = {argv[0],     "--serve", "--io-threads",          io.c_str(),
                             "--workers", w.c_str(), "--inline-decode-bytes", inlined.c_str(),
                             nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, "/proc/self/exe", &actions, nullptr, const_cast<char* const*>(childArgs), environ) != 0) {
    std::fprintf(stderr, "cannot start the server process\n");
    return 2;
  }
  close(toChild[0]);
  close(fromChild[1]);
  std::string url;
  char ch;
  while (url.size() < 200 && ::read(fromChild[0], &ch, 1) == 1 && ch != '\n') url += ch;
  auto stopChild = [&] {
    close(toChild[1]);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(child, nullptr, WNOHANG) == child) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  };
  if (url.rfind("http://127.0.0.1:", 0) != 0) {
    std::fprintf(stderr, "the server did not start on loopback\n");
    stopChild();
    return 2;
  }
  ServerLink server{toChild[1], fromChild[0]};

  int status = 0;
  std::printf("server %s (%u I/O thread(s), %u workers), %.1f s or %llu calls per point, median of %u run(s)\n",
              url.c_str(), ioThreads, workers, seconds, static_cast<unsigned long long>(maxCalls), runs);
  std::printf("%-11s %7s %9s %8s %8s %9s %9s %9s %9s %7s  %s\n", "shape", "clients", "calls/s", "p50 us", "p99 us",
              "srv us/c", "cli us/c", "srv al/c", "cli al/c", "failed", comparable ? "reference calls/s p50 p99" : "");
  for (std::string const& shape : Split(shapes)) {
    for (int n : clientCounts) {
      std::vector<std::unique_ptr<Client>> clients;
      for (int i = 0; i < n; ++i) clients.push_back(std::make_unique<Client>(url));
      // Warm up: each client connects and its answer is checked, outside the timing.
      bool ok = true;
      for (auto& c : clients) ok = CheckAnswer(*c, shape) && ok;
      if (!ok) {
        std::printf("%-11s %7d  wrong answer before timing\n", shape.c_str(), n);
        status = 1;
        continue;
      }
      Run(clients, shape, std::min(0.5, seconds / 4), maxCalls / 10, server);
      std::vector<Point> points;
      for (unsigned r = 0; r < runs; ++r) points.push_back(Run(clients, shape, seconds, maxCalls, server));
      Point p = MedianPoint(points);
      std::string reference;
      if (Reference const* ref = comparable ? FindReference(shape, n) : nullptr) {
        char text[80];
        if (ref->p50 > 0) {
          std::snprintf(text, sizeof text, "%.0f %.0f %.0f", ref->callsPerSecond, ref->p50, ref->p99);
        } else {
          std::snprintf(text, sizeof text, "%.0f", ref->callsPerSecond);
        }
        reference = text;
      }
      std::printf("%-11s %7d %9llu %8.0f %8.0f %9.1f %9.1f %9.1f %9.1f %7llu  %s\n", shape.c_str(), n,
                  static_cast<unsigned long long>(p.calls), p.p50, p.p99, p.serverCpu, p.clientCpu, p.serverAllocations,
                  p.clientAllocations, static_cast<unsigned long long>(p.failed), reference.c_str());
      std::fflush(stdout);
      if (p.failed) status = 1;
    }
  }
  stopChild();
  return status;
}
