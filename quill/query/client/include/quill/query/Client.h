// The client end of the query service (sedge.query.PropertyCollector): short forms of what
// every client does with it, over any adapter (LocalAdapter in process, HttpAdapter).
//
// Reading, every page followed to the end:
//
//   auto spec = Quill::Query::MakeSpec({Quill::Query::MakeStart(root, {"children"})},
//                                      {Quill::Query::MakeHop("children", "tarn.Folder", "childEntity",
//                                                             {"children"})},
//                                      {Quill::Query::MakeSelection("tarn.VirtualMachine", {"name"})});
//   for (auto const& object : Quill::Query::RetrieveAll(adapter, spec.get())) {
//     std::string name = object.Get<std::string>("name");   // a refused path throws its fault
//   }
//
// (quill/query/FolderTree.h has the folder tree's rule set ready made, and Retrieve(adapter,
// type, paths, root) on top of it.)
//
// Waiting for changes:
//
//   Quill::Query::Watcher watcher(adapter, [](Quill::Query::UpdateBatch* batch) { ... });
//   ...
//   watcher.Stop();
//
// The runtime names no catalogue type here; this library needs nothing but libquill.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/Async.h"
#include "quill/MethodFault.h"
#include "quill/Query.h"
#include "quill/Stub.h"

namespace Quill::Query {

// The root collector, "sedge.query.PropertyCollector:propertyCollector": the reference the
// service content names as its `propertyCollector` on servers of this runtime. Acts on the
// calling session's own collector.
Basalt::Ref<MoRef> RootCollector();

// --- building queries --------------------------------------------------------------------

// A starting object; `follow` names the hops applied to it, `skip` leaves it out of the result.
Basalt::Ref<ObjectSelection> MakeStart(MoRef* obj, std::vector<std::string> const& follow = {}, bool skip = false);
// From objects of `type` (and subtypes) to the objects referenced at `path`, then `follow`.
Basalt::Ref<Hop> MakeHop(std::string const& name, std::string const& type, std::string const& path,
                         std::vector<std::string> const& follow = {}, bool skip = false);
// These paths of objects of `type`; MakeSelectionAll: every property.
Basalt::Ref<PropertySelection> MakeSelection(std::string const& type, std::vector<std::string> const& paths);
Basalt::Ref<PropertySelection> MakeSelectionAll(std::string const& type);
Basalt::Ref<QuerySpec> MakeSpec(std::vector<Basalt::Ref<ObjectSelection>> const& starts,
                                std::vector<Basalt::Ref<Hop>> const& hops,
                                std::vector<Basalt::Ref<PropertySelection>> const& selections);

// --- results ------------------------------------------------------------------------------

namespace Detail {
// The value of an integer box of any width; TypeMismatchException (expected `wanted`) else.
long long IntegerOf(Any* raw, std::type_info const& wanted);
}  // namespace Detail

// One object of a result, with its values and faults found by path.
class ObjectProperties {
 public:
  explicit ObjectProperties(ObjectResult* result);

  MoRef* GetRef() const { return _result->obj.get(); }
  ObjectResult* GetResult() const { return _result.get(); }

  // The value at `path`; null when the path is unset, was refused or was not asked for.
  Any* Find(std::string_view path) const;
  // Why `path` could not be read; null when it was.
  MethodFault* FindFault(std::string_view path) const;

  // The value at `path` as T, converted as a stub's result is: a value type (long,
  // std::string, an enumeration), Basalt::Optional<V>, or Basalt::Ref<T> for data objects,
  // references and arrays. A refused path throws its fault as the fault's own class; an
  // unset path is an unset Optional or a null Ref, and for a plain value type throws
  // Quill::Fault::SystemError::Exception; a value of another class throws
  // Basalt::TypeMismatchException. Integers widen: Get<long> reads an int or a short.
  template <class T>
  T Get(std::string_view path) const {
    if (MethodFault* fault = FindFault(path)) fault->Throw();
    Any* raw = Find(path);
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      if (raw) return static_cast<T>(Detail::IntegerOf(raw, typeid(T)));
    }
    return Quill::Detail::AsyncConvert<T>::From(raw);
  }

 private:
  Basalt::Ref<ObjectResult> _result;
};

struct RetrieveSettings {
  MoRef* collector = nullptr;         // RootCollector() when null
  RequestContext* context = nullptr;  // the session (in process); over HTTP the adapter's own
  int pageObjects = 0;                // objects per answer; 0: the server's default
};

// retrieve, then continueRetrieve until no token is left: every object of every page, in the
// order of the answers. Faults of the calls are thrown as their own classes; a failure
// between pages cancels the continuation on the server (best effort) before it is thrown.
std::vector<ObjectProperties> RetrieveAll(StubAdapter* adapter, DataArray<QuerySpec>* specs,
                                          RetrieveSettings const& settings = {});
std::vector<ObjectProperties> RetrieveAll(StubAdapter* adapter, QuerySpec* spec, RetrieveSettings const& settings = {});

// --- waiting for changes ------------------------------------------------------------------

// Keeps one waitForUpdates of a collector outstanding on the adapter's async machinery and
// hands each answer (UpdateBatch) to `onBatch`, in order, on the watcher's own thread; then
// asks again at once with the answer's version (at once also after a truncated answer). A
// wait that ends without an answer (its longest wait passed) is asked again.
//
// A transport failure (Quill::Fault::SystemError and its subclasses, which include the HTTP
// adapter's TransportError, or an exception that is not a fault) is reported to `onError`
// with `retrying` true, and the same version is asked for again after a pause that doubles
// from `minBackoff` up to `maxBackoff`: the server answers what changed since that version,
// or, if its answer to it was lost on the way, that answer again, so nothing is lost or
// delivered twice. Any other fault (InvalidToken, RequestCanceled because the service
// stopped or the session ended or another wait on the collector replaced this one,
// NotAuthenticated ...) is reported with `retrying` false and ends the watcher's loop.
//
// In process, the outstanding wait holds one of the LocalAdapter's workers (Options::workers)
// for as long as it waits; over HTTP it holds a connection of the HttpAdapter.
//
// The watches themselves are the collector's (createWatch); the watcher only waits. Stop()
// (and the destructor) cancels the outstanding wait (cancelWait), waits for it to end and
// joins the thread; it must not be called from `onBatch`.
class Watcher {
 public:
  using BatchCallback = std::function<void(UpdateBatch* batch)>;
  using ErrorCallback = std::function<void(std::exception const& error, bool retrying)>;

  struct Settings {
    MoRef* collector = nullptr;             // RootCollector() when null
    RequestContext* context = nullptr;      // the session (in process)
    Basalt::Optional<std::string> version;  // start after this version; unset: from the full content
    int maxWaitSeconds = 30;                // per call; keep it below the adapter's call timeout
    int maxObjectUpdates = 0;               // per answer; 0: the server's default
    std::chrono::milliseconds minBackoff{10};
    std::chrono::milliseconds maxBackoff{2000};
    ErrorCallback onError;
  };

  Watcher(StubAdapter* adapter, BatchCallback onBatch);
  Watcher(StubAdapter* adapter, BatchCallback onBatch, Settings settings);
  ~Watcher();
  Watcher(Watcher const&) = delete;
  Watcher& operator=(Watcher const&) = delete;

  void Stop();
  // The version of the last answer handed over ("" before the first).
  std::string GetVersion() const;
  // Calls that failed in transport and were asked again.
  std::size_t GetRetryCount() const { return _retries.load(); }
  // False once the loop has ended (Stop, or a fault that ends it).
  bool IsRunning() const { return _running.load(); }

 private:
  void Loop();

  Basalt::Ref<StubAdapter> _adapter;
  Basalt::Ref<PropertyCollectorStub> _collector;
  BatchCallback _onBatch;
  Settings _settings;
  // Shared with the callbacks of calls in flight, which may end after the watcher.
  struct Shared;
  std::shared_ptr<Shared> _shared;
  std::atomic<std::size_t> _retries{0};
  std::atomic<bool> _running{true};
  std::thread _thread;
};

}  // namespace Quill::Query
