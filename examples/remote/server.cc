// tarn-example-server: a small inventory served over HTTP. A service instance, a session
// manager (user "admin", password "secret"), a root folder whose createVm is a task method,
// the tasks it starts, and a task history collector ("collector-1") that lists them for
// clients that cannot read a task's properties (a generic SOAP client through the WSDL).
// Every call but the anonymous ones needs a session that logged in.
//
//   tarn-example-server [--address 127.0.0.1] [--port 0] [--wsdl-dir DIR]
//                       [--certificate cert.pem --private-key key.pem] [--seconds N]
//
// Prints "listening on <url>" once it accepts calls, and stops (answering the calls already
// under way) on SIGINT or SIGTERM, or after --seconds.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quill/Quill.h"
#include "quill/http/HttpServer.h"
#include "quill/query/QueryService.h"
#include "quill/tasks/Tasks.h"
#include "tarn/AboutInfo.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceSkeleton.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/TaskHistoryCollectorSkeleton.h"
#include "tarn/TaskInfo.h"
#include "tarn/UserSession.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidLogin.h"
#include "tarn/fault/NotAuthenticated.h"
#include "tarn/vm/ConfigSpec.h"

using Basalt::Ref;
using Quill::MoRef;

namespace {

// [checker]
// Anonymous operations (login, the service content) pass; anything else needs a session in
// which login stored the user's name.
void RequireLogin(Quill::CallInfo const& call) {
  if (!call.privilege || std::string(call.privilege) == "System.Anonymous") return;
  if (call.context && call.context->Contains("user")) return;
  Ref<Tarn::Fault::NotAuthenticated> fault(new Tarn::Fault::NotAuthenticated());
  fault->object = call.target;
  fault->privilegeId = std::string(call.privilege);
  fault->Throw();
}

class SessionManagerImpl : public Tarn::SessionManagerSkeleton {
 public:
  using SessionManagerSkeleton::SessionManagerSkeleton;

  void Login(std::string const& user, std::string const& password, Basalt::Optional<std::string> const&,
             Ref<Tarn::UserSession>& result) override {
    if (user != "admin" || password != "secret") {
      Ref<Tarn::Fault::InvalidLogin> fault(new Tarn::Fault::InvalidLogin());
      fault->Throw();
    }
    // The server keeps this context for the caller's session (its cookie) from now on.
    Quill::LocalAdapter::CurrentCall()->context->Set("user", new Quill::Primitive<std::string>(user));
    result = new Tarn::UserSession();
    result->key = "session-of-" + user;
    result->userName = user;
    result->fullName = "Administrator";
  }
  void Logout() override { Quill::LocalAdapter::CurrentCall()->context->Remove("user"); }
};
// [checker]

// The task history collector lists the tasks the manager has not forgotten yet.
class TaskCollectorImpl : public Tarn::TaskHistoryCollectorSkeleton {
 public:
  TaskCollectorImpl(MoRef* ref, Quill::Tasks::Manager& tasks) : TaskHistoryCollectorSkeleton(ref), _tasks(tasks) {}
  void ReadNext(int maxCount, Ref<Quill::DataArray<Tarn::TaskInfo>>& result) override {
    result = new Quill::DataArray<Tarn::TaskInfo>();
    for (Ref<Tarn::TaskInfo> const& info : _tasks.Recent(maxCount > 0 ? static_cast<std::size_t>(maxCount) : 0)) {
      result->Append(info.get());
    }
  }

 private:
  Quill::Tasks::Manager& _tasks;
};

class FolderImpl : public Tarn::FolderSkeleton {
 public:
  FolderImpl(MoRef* ref, std::string name, Quill::Tasks::Manager& tasks)
      : FolderSkeleton(ref), _name(std::move(name)), _tasks(tasks) {}

  std::string GetName() override { return _name; }

  void GetChildEntity(Ref<Quill::DataArray<MoRef>>& result) override {
    std::lock_guard<std::mutex> lock(_mutex);
    result = new Quill::DataArray<MoRef>();
    for (auto const& child : _children) result->Append(child.second.get());
  }

  void CreateFolder(std::string const& name, Ref<MoRef>& result) override {
    Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      result = Add(adapter, "tarn.Folder", name);
    }
    adapter->NotifyChanged(_GetRef(), {"childEntity"});  // after the change, outside the lock
  }

  // A task method: answers the task's reference at once; the work runs on the adapter.
  void CreateVm(Tarn::Vm::ConfigSpec* config, MoRef*, MoRef*, Ref<MoRef>& result) override {
    if (!config || !config->name.IsSet()) {
      Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
      fault->invalidProperty = Quill::PropertyPath("config.name");
      fault->Throw();
    }
    Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
    Ref<FolderImpl> self(this);
    std::string name = config->name.GetValue();
    result = _tasks.Start(_GetRef(), "tarn.Folder.createVm",
                          [self, adapter, name](Quill::Tasks::Progress&) -> Ref<Quill::Any> {
                            Ref<MoRef> vm;
                            {
                              std::lock_guard<std::mutex> lock(self->_mutex);
                              vm = self->Add(adapter, "tarn.VirtualMachine", name);
                            }
                            adapter->NotifyChanged(self->_GetRef(), {"childEntity"});
                            return vm;
                          });
  }

 private:
  Ref<MoRef> Add(Quill::LocalAdapter* adapter, char const* type, std::string const& name) {  // under _mutex
    auto found = _children.find(name);
    if (found != _children.end()) {
      Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
      fault->name = name;
      fault->object = found->second;
      fault->Throw();
    }
    Ref<MoRef> ref = adapter->MakeRef(type);
    // Machines are only names here; folders can be called.
    if (std::string(type) == "tarn.Folder") adapter->Register(nullptr, new FolderImpl(ref.get(), name, _tasks));
    _children[name] = ref;
    return ref;
  }

  std::mutex _mutex;
  std::string _name;
  Quill::Tasks::Manager& _tasks;
  std::map<std::string, Ref<MoRef>> _children;
};

class ServiceInstanceImpl : public Tarn::ServiceInstanceSkeleton {
 public:
  ServiceInstanceImpl(MoRef* ref, MoRef* root, MoRef* sessions, MoRef* propertyCollector)
      : ServiceInstanceSkeleton(ref), _content(new Tarn::ServiceInstanceContent()) {
    _content->rootFolder = root;
    _content->sessionManager = sessions;
    _content->propertyCollector = propertyCollector;
    _content->about = new Tarn::AboutInfo();
    _content->about->name = "Example server";
    _content->about->fullName = "Example server 1.0 (over HTTP)";
    _content->about->apiVersion = "8.0.3.0";
  }
  Basalt::System::DateTime CurrentTime() override { return Basalt::System::DateTime::FromCivil(2026, 12, 6, 12); }
  void RetrieveContent(Ref<Tarn::ServiceInstanceContent>& result) override { result = _content; }

 private:
  Ref<Tarn::ServiceInstanceContent> _content;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A small inventory served over HTTP"};
  Quill::HttpServer::Options options;
  int seconds = 0;
  app.add_option("--address", options.address, "address to listen on (a loopback one for tests)");
  app.add_option("--port", options.port, "port; 0 picks a free one");
  app.add_option("--wsdl-dir", options.wsdlDirectory, "directory holding tarn.wsdl and its schemas");
  app.add_option("--certificate", options.certificateFile, "PEM certificate: serve HTTPS");
  app.add_option("--private-key", options.privateKeyFile, "PEM private key of the certificate");
  app.add_option("--seconds", seconds, "stop after this many seconds (0: on a signal only)");
  CLI11_PARSE(app, argc, argv);

  // Signals are taken by sigtimedwait below, not by a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    // [serve]
    Quill::LocalAdapter::Options adapterOptions;
    adapterOptions.checkPrivilege = RequireLogin;
    Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(adapterOptions));
    Ref<MoRef> root(new MoRef("tarn.Folder", "group-d1"));
    Ref<MoRef> sessions(new MoRef("tarn.SessionManager", "SessionManager"));
    // Tasks the server started; finished ones are forgotten after ten minutes.
    Quill::Tasks::Manager tasks(adapter.get());
    Quill::Query::QueryService query(adapter.get());  // the property collector clients read through
    adapter->Register(nullptr, new FolderImpl(root.get(), "Datacenters", tasks));
    adapter->Register(nullptr, new SessionManagerImpl(sessions.get()));
    adapter->Register(nullptr, new TaskCollectorImpl(new MoRef("tarn.TaskHistoryCollector", "collector-1"), tasks));
    adapter->Register(nullptr, new ServiceInstanceImpl(new MoRef("tarn.ServiceInstance", "ServiceInstance"), root.get(),
                                                       sessions.get(), query.GetRootRef()));

    Quill::HttpServer server(adapter.get(), options);  // listening from here on
    std::printf("listening on %s\n", server.GetUrl().c_str());
    std::fflush(stdout);
    // [serve]

    timespec wait{seconds > 0 ? seconds : 3600, 0};
    while (sigtimedwait(&stopSignals, nullptr, &wait) < 0 && seconds <= 0) {
    }
    // [stop]
    query.Stop();   // waiting calls are answered (RequestCanceled) instead of holding the stop up
    server.Stop();  // no new connections; calls under way are answered first
    adapter->Shutdown();
    // [stop]
    std::printf("stopped after %llu calls\n", static_cast<unsigned long long>(server.GetStats().callsAnswered));
  } catch (std::exception& e) {
    std::fprintf(stderr, "tarn-example-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
