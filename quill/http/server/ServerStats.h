// The server's counters, bumped from any thread without a lock and read
// together into HttpServer::Stats. Internal to quill-http-server.
#pragma once

#include <atomic>
#include <cstdint>

#include "quill/http/HttpServer.h"

namespace Quill::HttpServerParts {

struct ServerCounters {
  std::atomic<std::uint64_t> accepted{0}, answered{0}, faults{0}, r413{0}, r431{0}, r408{0}, r503conn{0}, r503busy{0},
      r400{0}, r503body{0}, r503fd{0}, refusedLogins{0};

  // The counts; the gauges (connections, calls, sessions, bytes) are the caller's.
  void CopyTo(HttpServer::Stats& s) const {
    s.connectionsAccepted = accepted.load();
    s.callsAnswered = answered.load();
    s.faults = faults.load();
    s.rejectedBodyTooLarge = r413.load();
    s.rejectedHeaderTooLarge = r431.load();
    s.rejectedTimeout = r408.load();
    s.rejectedConnections = r503conn.load();
    s.rejectedBusy = r503busy.load();
    s.badRequests = r400.load();
    s.rejectedBodyBudget = r503body.load();
    s.rejectedNoDescriptors = r503fd.load();
    s.refusedLogins = refusedLogins.load();
  }
};

}  // namespace Quill::HttpServerParts
