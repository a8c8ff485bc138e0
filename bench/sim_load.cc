// tarn_sim_load: many clients against tarn-sim over loopback, each with its own
// HttpAdapter and session, doing a mix of power operations and reads on machines of
// their own; and, for comparison, the same clients making the plainest call
// (ServiceInstance.currentTime) against the same server.
//
// A power operation is powerOn or powerOff (whichever applies) and the reads of the
// task's info until it ends: timed from the call to the end. A read is one property
// read of a machine (its custom values, where the power state shows). After each run
// every client reads its machines' power state back and checks it against the
// operations it made (outside the timed loop); a difference fails the benchmark.
//
//   tarn_sim_load [--clients 64] [--seconds 3] [--runs 5] [--power-percent 20]
//                 [--http-workers 8] [--adapter-workers 8]
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Simulator.h"
#include "quill/http/HttpAdapter.h"
#include "tarn/CustomFieldsManager.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceStub.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskStub.h"
#include "tarn/UserSession.h"
#include "tarn/VirtualMachineStub.h"

using Basalt::Ref;
using Quill::MoRef;
using Clock = std::chrono::steady_clock;

namespace {

struct Latencies {
  std::vector<double> reads, powers, plain;  // microseconds
  std::uint64_t calls = 0;                   // HTTP calls, task polls included
  std::uint64_t failures = 0;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

double Median(std::vector<double> v) { return Percentile(std::move(v), 0.5); }

class Caller {
 public:
  Caller(std::string const& url, std::vector<Ref<MoRef>> vms) : _vms(std::move(vms)) {
    Quill::HttpAdapter::Settings settings;
    settings.url = url;
    settings.callTimeout = std::chrono::seconds(30);
    _adapter = new Quill::HttpAdapter(settings);
    Ref<MoRef> si(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
    _service = Quill::CreateStub<Tarn::ServiceInstanceStub>(si.get(), _adapter.get());
    Ref<Tarn::ServiceInstanceContent> content;
    _service->RetrieveContent(content);
    Ref<Tarn::UserSession> session;
    Quill::CreateStub<Tarn::SessionManagerStub>(content->sessionManager.get(), _adapter.get())
        ->Login("admin", "tarn-sim", Basalt::Optional<std::string>(), session);
    for (auto& vm : _vms) {
      _stubs.push_back(Quill::CreateStub<Tarn::VirtualMachineStub>(vm.get(), _adapter.get()));
      _on.push_back(ReadPower(_stubs.back().get()) == "poweredOn");
    }
  }

  // One run of the mix until `until`; `powerPercent` of the operations are power operations.
  void Mix(Clock::time_point until, unsigned powerPercent, std::uint64_t seed, Latencies& out) {
    std::mt19937_64 rng(seed);
    while (Clock::now() < until) {
      std::size_t i = rng() % _stubs.size();
      auto t0 = Clock::now();
      if (rng() % 100 < powerPercent) {
        Ref<MoRef> task;
        if (_on[i]) {
          _stubs[i]->PowerOff(task);
        } else {
          _stubs[i]->PowerOn(nullptr, task);
        }
        ++out.calls;
        auto taskStub = Quill::CreateStub<Tarn::TaskStub>(task.get(), _adapter.get());
        Ref<Tarn::TaskInfo> info;
        for (int polls = 0; polls < 100000; ++polls) {  // ends long before: the tasks take no time
          taskStub->GetInfo(info);
          ++out.calls;
          if (info->state == Tarn::TaskInfo::State::success || info->state == Tarn::TaskInfo::State::error) break;
        }
        if (info->state == Tarn::TaskInfo::State::success) {
          _on[i] = !_on[i];
        } else {
          ++out.failures;
        }
        out.powers.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      } else {
        Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> values;
        _stubs[i]->GetCustomValue(values);
        ++out.calls;
        out.reads.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    }
  }

  void Plain(Clock::time_point until, Latencies& out) {
    while (Clock::now() < until) {
      auto t0 = Clock::now();
      _service->CurrentTime();
      ++out.calls;
      out.plain.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
  }

  // Machines whose state read back is not what this client's operations left.
  int Mismatches() {
    int bad = 0;
    for (std::size_t i = 0; i < _stubs.size(); ++i) bad += (ReadPower(_stubs[i].get()) == "poweredOn") != _on[i];
    return bad;
  }

 private:
  static std::string ReadPower(Tarn::VirtualMachineStub* vm) {
    Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> values;
    vm->GetCustomValue(values);
    for (std::size_t i = 0; i < values->size(); ++i) {
      if (values->Get(i)->key == 1) return static_cast<Tarn::CustomFieldsManager::StringValue*>(values->Get(i))->value;
    }
    return "";
  }

  Ref<Quill::HttpAdapter> _adapter;
  Ref<Tarn::ServiceInstanceStub> _service;
  std::vector<Ref<MoRef>> _vms;
  std::vector<Ref<Tarn::VirtualMachineStub>> _stubs;
  std::vector<bool> _on;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarn_sim_load: clients doing power operations and reads against tarn-sim over loopback"};
  unsigned clients = 64, runs = 5, powerPercent = 20, httpWorkers = 8, adapterWorkers = 8;
  double seconds = 3;
  app.add_option("--clients", clients)->capture_default_str()->check(CLI::Range(1u, 1024u));
  app.add_option("--seconds", seconds, "length of each run")->capture_default_str()->check(CLI::Range(0.1, 60.0));
  app.add_option("--runs", runs)->capture_default_str()->check(CLI::Range(1u, 20u));
  app.add_option("--power-percent", powerPercent)->capture_default_str()->check(CLI::Range(0u, 100u));
  app.add_option("--http-workers", httpWorkers)->capture_default_str();
  app.add_option("--adapter-workers", adapterWorkers)->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  Tarn::Sim::Options options;
  options.model = {1, 2, 4, (clients * 2 + 7) / 8, 2, 2};  // two machines per client at least
  options.taskDelay = std::chrono::milliseconds(0);
  options.httpWorkers = httpWorkers;
  options.adapterWorkers = adapterWorkers;
  Tarn::Sim::Simulator sim(options);
  std::vector<Ref<MoRef>> vms;
  {
    std::lock_guard<std::mutex> lock(sim.GetInventory().Mutex());
    for (auto const& e : sim.GetInventory().All()) {
      if (e->kind == Tarn::Sim::Kind::Vm && !e->destroyed) vms.push_back(e->ref);
    }
  }
  std::vector<std::unique_ptr<Caller>> callers;
  for (unsigned c = 0; c < clients; ++c) {
    callers.push_back(std::make_unique<Caller>(
        sim.GetUrl(), std::vector<Ref<MoRef>>{vms[2 * c % vms.size()], vms[(2 * c + 1) % vms.size()]}));
  }
  std::printf("tarn_sim_load: %u clients, %zu machines, %u runs of %.1f s, %u%% power operations\n", clients,
              vms.size(), runs, seconds, powerPercent);
  std::printf("%-6s %4s %10s %10s %10s %10s %10s %10s\n", "mode", "run", "calls/s", "ops/s", "read p50", "read p99",
              "power p50", "power p99");

  std::vector<double> mixCalls, mixOps, readP99, powerP99, plainCalls, plainP99, readP50, powerP50, plainP50;
  int failed = 0;
  for (unsigned r = 0; r < runs; ++r) {
    for (bool plain : {false, true}) {
      std::vector<Latencies> results(clients);
      std::vector<std::thread> threads;
      auto start = Clock::now();
      auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
      for (unsigned c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
          try {
            if (plain) {
              callers[c]->Plain(until, results[c]);
            } else {
              callers[c]->Mix(until, powerPercent, r * 1000003ull + c, results[c]);
            }
          } catch (std::exception& e) {
            std::fprintf(stderr, "client %u: %s\n", c, e.what());
            ++results[c].failures;
          }
        });
      }
      for (auto& t : threads) t.join();
      double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      Latencies all;
      for (auto& l : results) {
        all.calls += l.calls;
        all.failures += l.failures;
        all.reads.insert(all.reads.end(), l.reads.begin(), l.reads.end());
        all.powers.insert(all.powers.end(), l.powers.begin(), l.powers.end());
        all.plain.insert(all.plain.end(), l.plain.begin(), l.plain.end());
      }
      failed += int(all.failures);
      if (plain) {
        plainCalls.push_back(double(all.calls) / elapsed);
        plainP50.push_back(Percentile(all.plain, 0.5));
        plainP99.push_back(Percentile(all.plain, 0.99));
        std::printf("%-6s %4u %10.0f %10.0f %10.0f %10.0f %10s %10s\n", "plain", r + 1, plainCalls.back(),
                    plainCalls.back(), plainP50.back(), plainP99.back(), "-", "-");
      } else {
        mixCalls.push_back(double(all.calls) / elapsed);
        mixOps.push_back(double(all.reads.size() + all.powers.size()) / elapsed);
        readP50.push_back(Percentile(all.reads, 0.5));
        readP99.push_back(Percentile(all.reads, 0.99));
        powerP50.push_back(Percentile(all.powers, 0.5));
        powerP99.push_back(Percentile(all.powers, 0.99));
        std::printf("%-6s %4u %10.0f %10.0f %10.0f %10.0f %10.0f %10.0f\n", "mix", r + 1, mixCalls.back(),
                    mixOps.back(), readP50.back(), readP99.back(), powerP50.back(), powerP99.back());
        // The check, outside the timed loop: every operation's effect is there once.
        int bad = 0;
        for (auto& c : callers) bad += c->Mismatches();
        if (bad) {
          std::fprintf(stderr, "run %u: %d machines not in the state their operations left\n", r + 1, bad);
          failed += bad;
        }
      }
      std::fflush(stdout);
    }
  }
  std::printf("median of %u runs (latencies in microseconds):\n", runs);
  std::printf("  mix:   %.0f calls/s, %.0f operations/s; read p50 %.0f p99 %.0f; power operation p50 %.0f p99 %.0f\n",
              Median(mixCalls), Median(mixOps), Median(readP50), Median(readP99), Median(powerP50), Median(powerP99));
  std::printf("  plain: %.0f calls/s; p50 %.0f p99 %.0f\n", Median(plainCalls), Median(plainP50), Median(plainP99));
  sim.Stop();
  if (failed) {
    std::fprintf(stderr, "tarn_sim_load: %d failures\n", failed);
    return 1;
  }
  return 0;
}
