#include "quill/query/Client.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"

namespace Quill::Query {

namespace {

Basalt::Ref<Array<std::string>> Names(std::vector<std::string> const& names) {
  return Basalt::Ref<Array<std::string>>(new Array<std::string>(names));
}

Basalt::Ref<PropertyCollectorStub> CollectorStub(StubAdapter* adapter, MoRef* collector, RequestContext* context) {
  Basalt::Ref<MoRef> ref = collector ? Basalt::Ref<MoRef>(collector) : RootCollector();
  return Basalt::Ref<PropertyCollectorStub>(new PropertyCollectorStub(ref.get(), adapter, context));
}

void Append(std::vector<ObjectProperties>& out, ResultPage* page) {
  if (!page || !page->objects) return;
  out.reserve(out.size() + page->objects->size());
  for (std::size_t i = 0; i < page->objects->size(); ++i) out.emplace_back((*page->objects)[i]);
}

}  // namespace

Basalt::Ref<MoRef> RootCollector() {
  return Basalt::Ref<MoRef>(new MoRef("sedge.query.PropertyCollector", "propertyCollector"));
}

Basalt::Ref<ObjectSelection> MakeStart(MoRef* obj, std::vector<std::string> const& follow, bool skip) {
  Basalt::Ref<ObjectSelection> s(new ObjectSelection());
  s->obj = obj;
  if (skip) s->skip = true;
  if (!follow.empty()) s->follow = Names(follow);
  return s;
}

Basalt::Ref<Hop> MakeHop(std::string const& name, std::string const& type, std::string const& path,
                         std::vector<std::string> const& follow, bool skip) {
  Basalt::Ref<Hop> h(new Hop());
  h->name = name;
  h->type = TypeName(type);
  h->path = PropertyPath(path);
  if (skip) h->skip = true;
  if (!follow.empty()) h->follow = Names(follow);
  return h;
}

Basalt::Ref<PropertySelection> MakeSelection(std::string const& type, std::vector<std::string> const& paths) {
  Basalt::Ref<PropertySelection> s(new PropertySelection());
  s->type = TypeName(type);
  for (auto const& p : paths) s->GetPaths()->Append(PropertyPath(p));
  return s;
}

Basalt::Ref<PropertySelection> MakeSelectionAll(std::string const& type) {
  Basalt::Ref<PropertySelection> s(new PropertySelection());
  s->type = TypeName(type);
  s->all = true;
  return s;
}

Basalt::Ref<QuerySpec> MakeSpec(std::vector<Basalt::Ref<ObjectSelection>> const& starts,
                                std::vector<Basalt::Ref<Hop>> const& hops,
                                std::vector<Basalt::Ref<PropertySelection>> const& selections) {
  Basalt::Ref<QuerySpec> spec(new QuerySpec());
  for (auto const& s : starts) spec->GetObjects()->Append(s.get());
  for (auto const& h : hops) spec->GetHops()->Append(h.get());
  for (auto const& s : selections) spec->GetProperties()->Append(s.get());
  return spec;
}

// --- results ------------------------------------------------------------------------------

namespace Detail {
long long IntegerOf(Any* raw, std::type_info const& wanted) {
  if (auto* v = dynamic_cast<Primitive<long>*>(raw)) return v->GetValue();
  if (auto* v = dynamic_cast<Primitive<int>*>(raw)) return v->GetValue();
  if (auto* v = dynamic_cast<Primitive<short>*>(raw)) return v->GetValue();
  if (auto* v = dynamic_cast<Primitive<std::int8_t>*>(raw)) return v->GetValue();
  if (!raw) return Quill::Detail::AsyncConvert<long>::From(raw);  // the empty-result fault
  Basalt::ThrowTypeMismatchException(wanted, typeid(*raw));
}
}  // namespace Detail

ObjectProperties::ObjectProperties(ObjectResult* result) : _result(result) {
  if (!_result) throw Basalt::Exception("ObjectProperties of no result");
}

Any* ObjectProperties::Find(std::string_view path) const {
  if (!_result->values) return nullptr;
  for (std::size_t i = 0; i < _result->values->size(); ++i) {
    DynamicProperty* p = (*_result->values)[i];
    if (p && p->name == path) return p->val.get();
  }
  return nullptr;
}

MethodFault* ObjectProperties::FindFault(std::string_view path) const {
  if (!_result->faults) return nullptr;
  for (std::size_t i = 0; i < _result->faults->size(); ++i) {
    PathFault* f = (*_result->faults)[i];
    if (f && f->path.GetString() == path) return f->fault.get();
  }
  return nullptr;
}

std::vector<ObjectProperties> RetrieveAll(StubAdapter* adapter, DataArray<QuerySpec>* specs,
                                          RetrieveSettings const& settings) {
  auto pc = CollectorStub(adapter, settings.collector, settings.context);
  Basalt::Ref<RetrieveOptions> options;
  if (settings.pageObjects > 0) {
    options = new RetrieveOptions();
    options->maxObjects = settings.pageObjects;
  }
  std::vector<ObjectProperties> out;
  Basalt::Ref<ResultPage> page;
  pc->Retrieve(specs, options.get(), page);
  Append(out, page.get());
  while (page && page->token.IsSet()) {
    std::string token = *page->token;
    try {
      pc->ContinueRetrieve(token, page);
    } catch (...) {
      try {
        pc->CancelRetrieve(token);
      } catch (std::exception const&) {
        // The token may be gone with the failure itself; the first failure is the one to report.
      }
      throw;
    }
    Append(out, page.get());
  }
  return out;
}

std::vector<ObjectProperties> RetrieveAll(StubAdapter* adapter, QuerySpec* spec, RetrieveSettings const& settings) {
  Basalt::Ref<DataArray<QuerySpec>> specs(new DataArray<QuerySpec>());
  specs->Append(spec);
  return RetrieveAll(adapter, specs.get(), settings);
}

struct Watcher::Shared {
  std::mutex mutex;
  std::condition_variable cv;  // an outcome arrived, or Stop
  bool stop = false;
  std::string version;
};

// --- Watcher ------------------------------------------------------------------------------

namespace {

// The outcome of one waitForUpdates, written by the adapter's completion thread under the
// watcher's mutex.
struct Outcome {
  bool done = false;
  Basalt::Ref<Any> result;
  std::unique_ptr<Basalt::Throwable> error;
};

// Faults of the transport (and of a server that failed unexpectedly) are worth asking again.
bool Retryable(Basalt::Throwable const* error) {
  auto const* fault = dynamic_cast<MethodFault::Exception const*>(error);
  if (!fault) return true;
  return dynamic_cast<Fault::SystemError*>(fault->GetFault()) != nullptr;
}

}  // namespace

Watcher::Watcher(StubAdapter* adapter, BatchCallback onBatch, Settings settings)
    : _adapter(adapter),
      _collector(CollectorStub(adapter, settings.collector, settings.context)),
      _onBatch(std::move(onBatch)),
      _settings(std::move(settings)),
      _shared(std::make_shared<Shared>()) {
  if (_settings.version.IsSet()) _shared->version = *_settings.version;
  _thread = std::thread([this] { Loop(); });
}

Watcher::Watcher(StubAdapter* adapter, BatchCallback onBatch) : Watcher(adapter, std::move(onBatch), Settings()) {}

Watcher::~Watcher() { Stop(); }

void Watcher::Stop() {
  {
    std::lock_guard lock(_shared->mutex);
    _shared->stop = true;
  }
  _shared->cv.notify_all();
  if (_thread.joinable()) _thread.join();
}

std::string Watcher::GetVersion() const {
  std::lock_guard lock(_shared->mutex);
  return _shared->version;
}

void Watcher::Loop() {
  Basalt::Ref<WaitOptions> options(new WaitOptions());
  options->maxWaitSeconds = std::max(0, _settings.maxWaitSeconds);
  if (_settings.maxObjectUpdates > 0) options->maxObjectUpdates = _settings.maxObjectUpdates;
  Basalt::Optional<std::string> version = _settings.version;
  std::chrono::milliseconds backoff{0};

  auto report = [&](std::exception const& e, bool retrying) {
    if (!_settings.onError) return;
    try {
      _settings.onError(e, retrying);
    } catch (...) {
      // A failing error handler must not end the loop it reports on.
    }
  };

  while (true) {
    auto outcome = std::make_shared<Outcome>();
    std::shared_ptr<Shared> shared = _shared;
    Basalt::Ref<Basalt::System::ScheduledItem> item;
    std::unique_ptr<Basalt::Throwable> startError;
    try {
      // The callback keeps only what it shares: it may run after the watcher is gone.
      _collector->WaitForUpdates(
          version, options.get(),
          [outcome, shared](Basalt::System::ScheduledItem*, Basalt::Exception* error, Any* raw) noexcept {
            std::unique_ptr<Basalt::Throwable> copy;
            try {
              if (error) copy.reset(error->Clone());
            } catch (...) {
              copy.reset(new Basalt::Exception("waitForUpdates failed (its exception could not be kept)"));
            }
            std::lock_guard lock(shared->mutex);
            outcome->result = raw;
            outcome->error = std::move(copy);
            outcome->done = true;
            shared->cv.notify_all();
          },
          item);
    } catch (Basalt::Throwable const& e) {
      startError.reset(e.Clone());
    } catch (std::exception const& e) {
      startError.reset(new Basalt::Exception(e.what()));
    }

    bool stopping = false;
    if (!startError) {
      std::unique_lock lock(_shared->mutex);
      _shared->cv.wait(lock, [&] { return outcome->done || _shared->stop; });
      stopping = _shared->stop;
      if (stopping && !outcome->done) {
        // Cancel the wait on the server and let it answer; a cancelWait that reached the server
        // before the wait did leaves it waiting, so ask again a few times.
        for (int attempt = 0; attempt < 50 && !outcome->done; ++attempt) {
          lock.unlock();
          try {
            _collector->CancelWait();
          } catch (std::exception const&) {
            // The transport is down: the wait ends with it, or with its own longest wait.
          }
          lock.lock();
          _shared->cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return outcome->done; });
        }
      }
    }
    if (stopping) break;

    std::unique_ptr<Basalt::Throwable> error;
    Basalt::Ref<Any> raw;
    if (startError) {
      error = std::move(startError);
    } else {
      std::lock_guard lock(_shared->mutex);
      error = std::move(outcome->error);
      raw = outcome->result;
    }
    if (error) {
      bool retry = Retryable(error.get());
      report(*error, retry);
      if (!retry) break;
      _retries.fetch_add(1);
      backoff = backoff.count() == 0 ? _settings.minBackoff : std::min(backoff * 2, _settings.maxBackoff);
      std::unique_lock lock(_shared->mutex);
      if (_shared->cv.wait_for(lock, backoff, [&] { return _shared->stop; })) break;
      continue;
    }
    backoff = std::chrono::milliseconds{0};
    auto* batch = dynamic_cast<UpdateBatch*>(raw.get());
    if (!batch) continue;  // the longest wait passed without a change: ask again
    version = batch->version;
    {
      std::lock_guard lock(_shared->mutex);
      _shared->version = batch->version;
    }
    try {
      _onBatch(batch);
    } catch (std::exception const& e) {
      report(e, true);  // the batch counts as delivered: the next one follows it
    }
    std::lock_guard lock(_shared->mutex);
    if (_shared->stop) break;
  }
  _running.store(false);
}

}  // namespace Quill::Query
