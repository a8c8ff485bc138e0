// tarn-sim's server, to be started in process (a test on port 0) or by the
// tarn-sim program: a generated inventory served over HTTP(S) through the
// public server-side API (LocalAdapter, skeletons, HttpServer).
//
//   Tarn::Sim::Simulator sim({});                 // 127.0.0.1, a free port
//   ... clients connect to sim.GetUrl() and log in as admin / tarn-sim ...
//   sim.Stop();                                   // or the destructor
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Injection.h"
#include "Inventory.h"
#include "quill/LocalAdapter.h"

namespace Tarn::Sim {

struct Options {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: a free one
  ModelSize model;
  std::uint64_t seed = 1;
  // A model file (JSON, see docs/simulator.md) instead of `model`.
  std::string modelFile;
  // Where the whole state is kept: loaded at start when the file exists (instead of
  // building a model), saved there by Stop().
  std::string stateFile;
  // The administrator may do everything; the read-only user may read.
  std::string user = "admin";
  std::string password = "tarn-sim";
  std::string readOnlyUser = "viewer";
  std::string readOnlyPassword = "tarn-sim";
  // Both set: HTTPS with these PEM files.
  std::string certificateFile;
  std::string privateKeyFile;
  // Where tarn.wsdl and its .xsd files are, served under <url>/tarn.wsdl; empty: none.
  std::string wsdlDirectory;
  // How long a task (power operation, maintenance mode, rename, destroy) runs.
  std::chrono::milliseconds taskDelay{20};
  unsigned httpWorkers = 8;
  unsigned adapterWorkers = 8;  // run the tasks' work
  std::size_t keepTasks = 2000;
  std::size_t keepEvents = 10000;  // the newest; older ones drop out of queries
  // Injected faults (Injection.h): delays and faults work always; dropped and
  // slow connections and the control URL need the connection front, which
  // takes `address`:`port` and puts the HTTP server behind it on a free port.
  struct {
    bool enabled = false;
    std::string controlAddress = "127.0.0.1";
    std::uint16_t controlPort = 0;  // 0: a free one
  } injection;
};

class Simulator {
 public:
  // Builds the inventory and listens; throws Basalt::Exception when it cannot.
  explicit Simulator(Options options);
  ~Simulator();  // Stop()
  Simulator(Simulator const&) = delete;
  Simulator& operator=(Simulator const&) = delete;

  std::string GetUrl() const;
  // SHA-256 of the certificate, hex bytes joined by colons; "" over plain HTTP.
  std::string GetThumbprint() const;
  Options const& GetOptions() const;
  Inventory& GetInventory();
  Quill::LocalAdapter& GetAdapter();
  // Writes the whole state to `path` (through a temporary file, renamed into place);
  // throws Basalt::Exception when it cannot.
  void SaveState(std::string const& path);
  Injector& GetInjector();
  // "http://127.0.0.1:<port>/control" with the connection front; else "".
  std::string GetControlUrl() const;

  // Stops listening, answers the calls under way (up to `grace`), then shuts
  // the adapter down. Idempotent.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace Tarn::Sim
