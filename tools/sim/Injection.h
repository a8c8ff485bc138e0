// Faults the simulator injects on purpose, so that a client's error paths can be
// tried: a delay before a method is carried out, a fault thrown instead of the
// next N calls of a method, connections dropped, a slow connection.
//
// Delays and faults act on calls (the adapter's privilege checker asks
// Injector::BeforeCall); dropped and slow connections need the connection
// front: a loopback relay that takes the simulator's address and passes the
// bytes to and from the HTTP server behind it, which listens on a free port.
// The front and the control URL run only when Options::injection.enabled.
//
// Control, at run time (JSON bodies; every answer is the rules now in force):
//   GET  <control>                  the rules
//   POST <control>/delay  {"method": M, "ms": N}                 0 ms: none
//   POST <control>/fault  {"method": M, "fault": F, "count": N}  0: none
//   POST <control>/drop   {"count": N, "when": "before"|"after"}
//   POST <control>/slow   {"bytesPerSecond": N, "latencyMs": N}  0, 0: none
//   POST <control>/clear
// M is a method's full name as declared ("tarn.VirtualMachine.powerOn",
// "tarn.ManagedEntity.rename"), its WSDL name ("PowerOnVM_Task"), or "*" for
// every call; F a fault type ("tarn.fault.InvalidState", "InvalidState").
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "quill/LocalAdapter.h"

namespace Tarn::Sim {

class Injector {
 public:
  Injector();
  ~Injector();

  // Each throws Basalt::Exception with a message for a bad value.
  void SetDelay(std::string const& method, std::chrono::milliseconds delay);
  void SetFault(std::string const& method, std::string const& fault, unsigned count);
  // The next `count` requests: "before" closes the connection when a request
  // arrives, without carrying it out; "after" carries it out and closes the
  // connection instead of answering.
  void DropConnections(unsigned count, std::string const& when);
  // Bytes back to clients at most `bytesPerSecond` (0: no limit), each chunk
  // held back `latency` first.
  void SetSlow(std::size_t bytesPerSecond, std::chrono::milliseconds latency);
  void Clear();
  // The rules in force, as JSON.
  std::string Describe() const;
  // One control request (path after the control URL: "", "/delay", ...);
  // answers Describe(), throws Basalt::Exception for a bad request.
  std::string Control(std::string_view method, std::string_view path, std::string_view body);

  // From the privilege checker, after it let the call pass: waits out a
  // delay, then throws an injected fault.
  void BeforeCall(Quill::CallInfo const& call);
  // Wakes delayed calls and stops delaying (the simulator stops).
  void Shutdown();

  // For the connection front.
  enum class Drop { None, Before, After };
  Drop TakeDrop();  // for a request that arrives
  std::size_t GetBytesPerSecond() const;
  std::chrono::milliseconds GetLatency() const;

 private:
  struct FaultRule {
    std::string type;
    unsigned count = 0;
  };
  mutable std::mutex _mutex;
  std::condition_variable _wake;
  bool _stopped = false;
  std::map<std::string, std::chrono::milliseconds> _delays;
  std::map<std::string, FaultRule> _faults;
  unsigned _drops = 0;
  Drop _dropWhen = Drop::Before;
  std::size_t _bytesPerSecond = 0;
  std::chrono::milliseconds _latency{0};
};

// The connection front: listens on `address`:`port` and relays every
// connection to `backendPort` on the same address, applying the injector's
// dropped and slow connections; serves the control URL on
// `controlAddress`:`controlPort`. Throws Basalt::Exception when it cannot listen.
class Front {
 public:
  Front(Injector* injector, std::string const& address, std::uint16_t port, std::uint16_t backendPort,
        std::string const& controlAddress, std::uint16_t controlPort);
  ~Front();  // Stop()
  std::uint16_t GetPort() const;
  std::string GetControlUrl() const;
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> _impl;
};

}  // namespace Tarn::Sim
