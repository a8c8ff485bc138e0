// Starts tarn-sim's server in process with a given number of machines and
// reports how long it takes until it listens and the heap it holds per
// machine (objects, registrations and records), against the same model
// without machines.
//
//   tarn_sim_start [MACHINES]     (default 10000: 2 datacenters x 5 clusters x 10 hosts)
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "Simulator.h"

namespace {

struct Sample {
  double seconds;
  std::size_t heapBytes;
};

Sample Start(unsigned vmsPerHost) {
  Tarn::Sim::Options options;
  options.model = {2, 5, 10, vmsPerHost, 2, 2, 0};  // clusters only: exactly 100 hosts
  std::size_t heapBefore = mallinfo2().uordblks;
  auto t0 = std::chrono::steady_clock::now();
  Tarn::Sim::Simulator sim(options);
  auto t1 = std::chrono::steady_clock::now();
  Sample s{std::chrono::duration<double>(t1 - t0).count(), mallinfo2().uordblks - heapBefore};
  sim.Stop();
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned machines = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 10000;
  unsigned perHost = machines / 100 ? machines / 100 : 1;
  Sample empty = Start(0);
  Sample full = Start(perHost);
  unsigned n = perHost * 100;
  std::printf("%u machines: start %.3f s (%.3f s without machines); heap %.1f MB, %.0f bytes per machine\n", n,
              full.seconds, empty.seconds, full.heapBytes / 1e6, double(full.heapBytes - empty.heapBytes) / n);
  return 0;
}
