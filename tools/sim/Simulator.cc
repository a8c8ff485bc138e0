#include "Simulator.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Events.h"
#include "Objects.h"
#include "Views.h"
#include "basalt/Exception.h"
#include "quill/http/HttpServer.h"
#include "quill/query/QueryService.h"

#ifndef TARN_SIM_VERSION
#define TARN_SIM_VERSION "0"
#endif

namespace Tarn::Sim {

namespace {

std::string Thumbprint(std::string const& certificateFile) {
  std::FILE* f = std::fopen(certificateFile.c_str(), "r");
  if (!f) throw Basalt::Exception("tarn-sim: cannot read certificate file '" + certificateFile + "'");
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (!cert) throw Basalt::Exception("tarn-sim: no PEM certificate in '" + certificateFile + "'");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  bool ok = X509_digest(cert, EVP_sha256(), md, &n) == 1;
  X509_free(cert);
  if (!ok) throw Basalt::Exception("tarn-sim: cannot digest certificate '" + certificateFile + "'");
  std::string out;
  char hex[4];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
    out += hex;
  }
  return out;
}

// Hands the inventory's changes to the adapter's observers (the query service). The
// inventory reports them under its lock, and a query service may read the changed
// properties back through the objects, which take that lock: so they are queued here and
// delivered by posted work on an adapter worker, in order, one drain at a time.
class ChangeRelay : public std::enable_shared_from_this<ChangeRelay> {
 public:
  explicit ChangeRelay(Quill::LocalAdapter* adapter) : _adapter(adapter) {}

  void Add(Quill::MoRef const& ref, std::vector<std::string_view> const& paths) {
    std::lock_guard<std::mutex> lock(_mutex);
    _pending.push_back({Basalt::Ref<Quill::MoRef>(new Quill::MoRef(ref)), {paths.begin(), paths.end()}});
    if (_draining) return;
    _draining = true;
    try {
      _adapter->Post([self = shared_from_this()](bool canceled) { self->Drain(canceled); });
    } catch (...) {  // the adapter shut down: nobody is left to tell
      _pending.clear();
      _draining = false;
    }
  }

 private:
  struct Change {
    Basalt::Ref<Quill::MoRef> ref;
    std::vector<std::string> paths;
  };

  void Drain(bool canceled) {
    for (;;) {
      std::vector<Change> batch;
      {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_pending.empty() || canceled) {
          _pending.clear();
          _draining = false;
          return;
        }
        batch.swap(_pending);
      }
      for (Change const& c : batch) _adapter->NotifyChanged(c.ref.get(), c.paths);
    }
  }

  Quill::LocalAdapter* _adapter;
  std::mutex _mutex;
  std::vector<Change> _pending;
  bool _draining = false;
};

// The inventory the options ask for: a saved state, a model file or a size.
std::unique_ptr<Inventory> MakeInventory(Options const& o) {
  auto read = [](std::string const& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw Basalt::Exception("tarn-sim: cannot read '" + path + "'");
    std::string text(std::size_t(in.tellg()), '\0');
    in.seekg(0);
    if (!in.read(text.data(), std::streamsize(text.size())))
      throw Basalt::Exception("tarn-sim: cannot read '" + path + "'");
    return text;
  };
  if (!o.stateFile.empty() && std::filesystem::exists(o.stateFile))
    return std::make_unique<Inventory>(read(o.stateFile));
  if (!o.modelFile.empty()) return std::make_unique<Inventory>(Model::FromJson(read(o.modelFile)), o.seed);
  return std::make_unique<Inventory>(o.model, o.seed);
}
// An object is registered with the adapter after the inventory reported it (the report is
// made under the inventory's lock, the registration outside it), so a watcher that read
// its parent's children in between could not read the new object yet. Once it is
// registered, the parent is reported again, from a worker, where the lock may be taken.
class LateRegistration final : public Quill::AdapterObserver {
 public:
  LateRegistration(Quill::LocalAdapter* adapter, Inventory* inventory) : _adapter(adapter), _inventory(inventory) {}
  void OnRegistered(Quill::MoRef const& ref) override {
    if (ref.GetTypeName() == "tarn.Task" || !ref.GetTypeName().starts_with("tarn.")) return;
    try {
      _adapter->Post([adapter = _adapter, inventory = _inventory, id = ref.GetId()](bool canceled) {
        if (canceled) return;
        Basalt::Ref<Quill::MoRef> parent;
        {
          std::lock_guard<std::mutex> lock(inventory->Mutex());
          Entity* e = inventory->Find(id);
          if (e && e->parent) parent = e->parent->ref;
        }
        if (parent) adapter->NotifyChanged(parent.get(), {"childEntity"});
      });
    } catch (...) {  // shut down
    }
  }
  void OnUnregistered(Quill::MoRef const&) override {}
  void OnChanged(Quill::MoRef const&, std::vector<std::string> const&) override {}
  void OnShutdown() override {}

 private:
  Quill::LocalAdapter* _adapter;
  Inventory* _inventory;
};

}  // namespace

struct Simulator::Impl {
  Options options;
  std::unique_ptr<Inventory> ownInventory;
  Inventory& inventory;
  Basalt::Ref<Quill::LocalAdapter> adapter;
  std::unique_ptr<Quill::Tasks::Manager> tasks;
  std::unique_ptr<Quill::Query::QueryService> query;
  std::unique_ptr<EventLog> events;
  std::unique_ptr<Views> views;
  Injector injector;
  World world;
  std::unique_ptr<Quill::HttpServer> server;
  std::unique_ptr<Front> front;
  std::string thumbprint;
  std::once_flag stopped;

  explicit Impl(Options o) : options(std::move(o)), ownInventory(MakeInventory(options)), inventory(*ownInventory) {}
};

Simulator::Simulator(Options options) : _impl(std::make_unique<Impl>(std::move(options))) {
  Impl& s = *_impl;
  Quill::LocalAdapter::Options adapterOptions;
  adapterOptions.workers = s.options.adapterWorkers;
  adapterOptions.checkPrivilege = [injector = &s.injector](Quill::CallInfo const& call) {
    CheckPrivilege(call);
    EventLog::NoteCall();
    injector->BeforeCall(call);
  };
  s.adapter = new Quill::LocalAdapter(adapterOptions);
  Quill::Tasks::Manager::Options taskOptions;
  taskOptions.maxFinished = s.options.keepTasks;
  s.tasks = std::make_unique<Quill::Tasks::Manager>(s.adapter.get(), taskOptions);
  s.query = std::make_unique<Quill::Query::QueryService>(s.adapter.get());
  s.world.propertyCollector = s.query->GetRootRef();
  Inventory* inventory = &s.inventory;
  s.world.taskManager = s.tasks->ServeTaskManager(
      "TaskManager", [inventory](Quill::MoRef const& root, Quill::MoRef const& entity, bool recursive) {
        return Contains(*inventory, root, entity, recursive);
      });
  s.events = std::make_unique<EventLog>(s.adapter.get(), &s.inventory, s.options.keepEvents);
  s.events->Start();
  s.world.eventManager = s.events->GetManagerRef();
  s.views = std::make_unique<Views>(s.adapter.get(), &s.inventory);
  s.views->Start();
  s.world.viewManager = s.views->GetManagerRef();
  auto relay = std::make_shared<ChangeRelay>(s.adapter.get());
  s.inventory.SetChangeListener(
      [relay, events = s.events.get()](Quill::MoRef const& ref, std::vector<std::string_view> const& paths) {
        events->OnInventoryChange(ref);
        relay->Add(ref, paths);
      });
  s.world.inventory = &s.inventory;
  s.world.adapter = s.adapter.get();
  s.world.tasks = s.tasks.get();
  s.world.taskDelay = s.options.taskDelay;
  s.world.users = {{s.options.user, s.options.password, "Administrator", false},
                   {s.options.readOnlyUser, s.options.readOnlyPassword, "Read-only user", true}};
  s.world.aboutVersion = TARN_SIM_VERSION;
  RegisterAll(s.world);
  s.adapter->AddObserver(std::make_shared<LateRegistration>(s.adapter.get(), &s.inventory));  // after the model's

  Quill::HttpServer::Options http;
  http.address = s.options.address;
  http.port = s.options.injection.enabled ? 0 : s.options.port;  // behind the front: a free one
  http.workers = s.options.httpWorkers;
  http.certificateFile = s.options.certificateFile;
  http.privateKeyFile = s.options.privateKeyFile;
  http.wsdlDirectory = s.options.wsdlDirectory;
  if (!s.options.certificateFile.empty()) s.thumbprint = Thumbprint(s.options.certificateFile);
  try {
    s.server = std::make_unique<Quill::HttpServer>(s.adapter.get(), http);
    if (s.options.injection.enabled) {
      s.front = std::make_unique<Front>(&s.injector, s.options.address, s.options.port, s.server->GetPort(),
                                        s.options.injection.controlAddress, s.options.injection.controlPort);
    }
  } catch (...) {
    if (s.server) s.server->Stop();
    s.adapter->Shutdown();
    throw;
  }
}

Simulator::~Simulator() { Stop(); }

std::string Simulator::GetUrl() const {
  std::string url = _impl->server->GetUrl();
  if (!_impl->front) return url;
  std::string behind = ":" + std::to_string(_impl->server->GetPort()) + "/";
  auto at = url.find(behind, url.find("//") + 2);
  if (at != std::string::npos) url.replace(at, behind.size(), ":" + std::to_string(_impl->front->GetPort()) + "/");
  return url;
}
std::string Simulator::GetThumbprint() const { return _impl->thumbprint; }
Options const& Simulator::GetOptions() const { return _impl->options; }
Inventory& Simulator::GetInventory() { return _impl->inventory; }
Quill::LocalAdapter& Simulator::GetAdapter() { return *_impl->adapter; }
Injector& Simulator::GetInjector() { return _impl->injector; }
std::string Simulator::GetControlUrl() const { return _impl->front ? _impl->front->GetControlUrl() : std::string(); }

void Simulator::Stop(std::chrono::milliseconds grace) {
  std::call_once(_impl->stopped, [&] {
    _impl->injector.Shutdown();  // delayed calls go on at once
    _impl->query->Stop();        // waiting watchers are answered RequestCanceled, not waited for
    _impl->server->Stop(grace);  // calls under way are answered first
    if (_impl->front) _impl->front->Stop();
    _impl->adapter->Shutdown();  // then the tasks' work still queued is cancelled
    if (_impl->options.stateFile.empty()) return;
    try {  // Stop runs in the destructor too, which must not throw
      SaveState(_impl->options.stateFile);
    } catch (std::exception const& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
  });
}

void Simulator::SaveState(std::string const& path) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(_impl->inventory.Mutex());
    text = _impl->inventory.SaveState();
  }
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw Basalt::Exception("tarn-sim: cannot write '" + temporary + "'");
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) throw Basalt::Exception("tarn-sim: cannot write '" + path + "': " + error.message());
}

}  // namespace Tarn::Sim
