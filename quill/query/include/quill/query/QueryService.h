// The query service over the objects of a LocalAdapter: reads many properties of many
// objects in one call (sedge.query.PropertyCollector.retrieve, paged), and stores queries
// (watches) whose changes waitForUpdates reports.
//
// Everything goes through the adapter, as a client's own calls would: each property is read
// through its object's own reader (the method object of the property), with the calling
// session's RequestContext, so the adapter's privilege checker decides per object and per
// property. What cannot be read is reported per path (sedge.query.PathFault) and never fails
// the whole query; objects that are not registered (any more) are left out.
//
// Sessions. Every session (RequestContext; calls without one share one default session) has
// its own collectors; they end when the session's context is destroyed, and their waiting
// calls end with RequestCanceled. The root collector, registered under GetRootRef() and named
// by the service content as `propertyCollector`, acts on the calling session's default
// collector: over HTTP, where each session has its own context, the same reference serves
// every client. createCollector makes more collectors for the session.
//
// Changes. Implementations report changes with LocalAdapter::NotifyChanged(ref, {paths})
// after making them; registration and unregistration are seen by themselves. Only the
// notified (object, path) pairs that some watch reads are read again, and only the waiters
// of those watches are woken. A traversal is run again only when a property that one of its
// hops follows changed, or an object that it starts from or holds comes or goes.
//
// Versions. waitForUpdates without a version answers the full content of every watch (every
// object "enter"); with the version of the last answer it answers what changed since; with
// the version before it, the last answer again (a client whose connection dropped asks
// again); any other version is refused with InvalidToken. An answer holds at most
// maxObjectUpdates object changes and then says `truncated`: the rest waits for the next
// call, nothing is lost. A value that changed several times between two answers is reported
// once, with its latest value.
//
// Waiting holds no thread: when nothing is ready, waitForUpdates defers its call
// (LocalAdapter::DeferCurrentCall) and the service's own thread answers it when a watch of the
// collector changes, or with no answer (an unset result) when the wait times out. A
// synchronous caller's thread waits for that answer; an asynchronous call (StartInvoke) frees
// its worker at once. cancelWait, a newer wait on the same collector, the end of the
// collector or of its session, and Stop answer a waiting call with RequestCanceled.
//
// Paths: "name", "config.hardware.memoryMB" (into data values, through properties of type
// any by the value's own class); a path may not continue through an array. Hops follow a
// reference or an array of references at a path of objects of their type (subtypes
// included), then apply the hops they name; each (object, hop) is applied once, so cyclic
// rule sets end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "basalt/Object.h"
#include "quill/LocalAdapter.h"
#include "quill/Query.h"

namespace Quill::Query {

struct ServiceOptions {
  std::size_t pageObjects = 1000;      // objects per answer: the default, and the most a caller may ask
  std::size_t maxObjects = 1000000;    // objects one retrieve or watch may reach
  std::size_t maxSpecs = 64;           // query specs per retrieve
  std::size_t maxStarts = 10000;       // starting objects per spec
  std::size_t maxHops = 256;           // hops per spec
  std::size_t maxHopDepth = 1024;      // hops applied one after another on one path
  std::size_t maxPaths = 1024;         // property paths per spec (all selections together)
  std::size_t maxPathComponents = 16;  // components of one property path
  std::size_t maxWatchesPerSession = 256;
  std::size_t maxCollectorsPerSession = 16;
  std::size_t maxContinuations = 16;     // open continuation tokens per collector; the oldest goes first
  std::size_t updatesPerAnswer = 10000;  // object changes per answer when the caller names no maximum
  std::chrono::milliseconds maxWait{std::chrono::minutes(10)};  // the longest wait, also when none is named
};

class QueryService {
 public:
  // Registers the root collector on `adapter` and observes it. The adapter must outlive the
  // service.
  explicit QueryService(LocalAdapter* adapter, ServiceOptions options = {});
  ~QueryService();  // Stop()
  QueryService(QueryService const&) = delete;
  QueryService& operator=(QueryService const&) = delete;

  // "sedge.query.PropertyCollector:propertyCollector", what the service content names.
  MoRef* GetRootRef() const;

  // Answers every waiting call with RequestCanceled, refuses new calls the same way and
  // unregisters the collectors and watches; the root collector stays registered (answering
  // RequestCanceled) until the service is destroyed. Also happens when the adapter shuts down.
  void Stop();

  struct Stats {
    std::size_t sessions = 0;
    std::size_t collectors = 0;
    std::size_t watches = 0;
    std::size_t waiting = 0;       // waits held now
    std::size_t trackedPaths = 0;  // (object, path) pairs whose delivered value the watches keep
    // Since the start: answers to waitForUpdates that carried changes, and the object changes
    // in them (their ratio says how well answers gather what streams in).
    std::uint64_t answers = 0;
    std::uint64_t objectChanges = 0;
  };
  Stats GetStats() const;

  class State;

 private:
  std::shared_ptr<State> _state;
};

}  // namespace Quill::Query
