// Managed objects that the HTTP tests serve: a session manager whose login
// marks the session, a checker that refuses every privileged call of a
// session that has not logged in, a command that echoes, fails or blocks on
// request, and a folder whose createVm is a task method.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quill/Quill.h"
#include "quill/http/HttpServer.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/SimpleCommandSkeleton.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskSkeleton.h"
#include "tarn/UserSession.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidLogin.h"
#include "tarn/fault/NotAuthenticated.h"
#include "tarn/vm/ConfigSpec.h"

namespace tarn_http_test {

// A server on a free loopback port: tests never listen beyond this machine.
inline Quill::HttpServer::Options Loopback() {
  Quill::HttpServer::Options o;
  o.address = "127.0.0.1";
  o.port = 0;
  return o;
}

// Opened once; calls that wait on it before then block, bounded by a timeout.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(_mutex);
    _open = true;
    _cv.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    ++_waiting;
    _cv.notify_all();
    bool ok = _cv.wait_for(lock, timeout, [&] { return _open; });
    --_waiting;
    return ok;
  }
  // Until `n` callers wait at once (or the timeout passes).
  bool WaitForWaiters(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _cv.wait_for(lock, timeout, [&] { return _waiting >= n; });
  }

 private:
  std::mutex _mutex;
  std::condition_variable _cv;
  bool _open = false;
  int _waiting = 0;
};

inline constexpr char kUserKey[] = "user";

// Anonymous operations pass; the rest need a session that logged in.
inline void RequireLogin(Quill::CallInfo const& call) {
  if (!call.privilege || std::string_view(call.privilege) == "System.Anonymous") return;
  if (call.context && call.context->Contains(kUserKey)) return;
  Basalt::Ref<Tarn::Fault::NotAuthenticated> fault(new Tarn::Fault::NotAuthenticated());
  fault->object = call.target;
  fault->privilegeId = std::string(call.privilege);
  fault->Throw();
}

class SessionManagerImpl : public Tarn::SessionManagerSkeleton {
 public:
  using SessionManagerSkeleton::SessionManagerSkeleton;

  void Login(std::string const& userName, std::string const& password, Basalt::Optional<std::string> const&,
             Basalt::Ref<Tarn::UserSession>& result) override {
    if (password != "secret") {
      Basalt::Ref<Tarn::Fault::InvalidLogin> fault(new Tarn::Fault::InvalidLogin());
      fault->Throw();
    }
    Quill::LocalAdapter::CurrentCall()->context->Set(kUserKey, new Quill::Primitive<std::string>(userName));
    result = new Tarn::UserSession();
    result->key = "s-" + std::to_string(++logins);
    result->userName = userName;
  }
  void Logout() override { Quill::LocalAdapter::CurrentCall()->context->Remove(kUserKey); }

  std::atomic<int> logins{0};
};

// Execute joins its arguments with commas; "crash" throws a std::exception,
// "block" waits for the gate, no arguments is an InvalidArgument fault.
class EchoCommand : public Tarn::SimpleCommandSkeleton {
 public:
  using SimpleCommandSkeleton::SimpleCommandSkeleton;

  Tarn::SimpleCommand::Encoding GetEncodingType() override { return Tarn::SimpleCommand::Encoding::CSV; }
  std::string Execute(Quill::Array<std::string>* arguments) override {
    ++executions;
    if (!arguments || arguments->empty()) {
      Basalt::Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
      fault->invalidProperty = Quill::PropertyPath("arguments");
      fault->Throw();
    }
    std::string out;
    for (std::string const& a : arguments->GetValues()) {
      if (a == "crash") throw std::runtime_error("echo: cannot print 'crash'");
      if (a == "block" && !gate.Wait(std::chrono::seconds(20))) throw std::runtime_error("echo: gate never opened");
      out += (out.empty() ? "" : ",") + a;
    }
    return out;
  }

  std::atomic<int> executions{0};
  Gate gate;
};

// A task whose info is a snapshot taken under its lock.
class TaskImpl : public Tarn::TaskSkeleton {
 public:
  TaskImpl(Quill::MoRef* ref, Quill::MoRef* entity) : TaskSkeleton(ref), _info(new Tarn::TaskInfo()) {
    _info->key = ref->GetId();
    _info->task = ref;
    _info->entity = entity;
    _info->state = Tarn::TaskInfo::State::queued;
  }
  void GetInfo(Basalt::Ref<Tarn::TaskInfo>& result) override {
    std::lock_guard<std::mutex> lock(_mutex);
    result = new Tarn::TaskInfo(*_info);
  }
  void Run(std::function<Basalt::Ref<Quill::Any>()> const& work) {
    Basalt::Ref<Quill::Any> result;
    Basalt::Ref<Quill::MethodFault> fault;
    try {
      result = work();
    } catch (Quill::MethodFault::Exception& e) {
      fault = e.GetFault();
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _info->result = result;
    _info->error = fault;
    _info->state = fault ? Tarn::TaskInfo::State::error : Tarn::TaskInfo::State::success;
  }

 private:
  std::mutex _mutex;
  Basalt::Ref<Tarn::TaskInfo> _info;
};

// createFolder refuses a name already taken (DuplicateName); createVm starts
// a task that registers a folder named after the config spec (standing in for the
// machine) and answers its reference, or fails with DuplicateName.
class FolderImpl : public Tarn::FolderSkeleton {
 public:
  using FolderSkeleton::FolderSkeleton;

  void CreateFolder(std::string const& name, Basalt::Ref<Quill::MoRef>& result) override {
    std::lock_guard<std::mutex> lock(_mutex);
    result = Add(Quill::LocalAdapter::CurrentCall()->adapter, name);
  }

  void CreateVm(Tarn::Vm::ConfigSpec* config, Quill::MoRef*, Quill::MoRef*,
                Basalt::Ref<Quill::MoRef>& result) override {
    if (!config || !config->name.IsSet()) {
      Basalt::Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
      fault->invalidProperty = Quill::PropertyPath("config.name");
      fault->Throw();
    }
    lastSpec = static_cast<Tarn::Vm::ConfigSpec*>(config->_Clone());
    Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
    Basalt::Ref<Quill::MoRef> ref = adapter->MakeRef("tarn.Task");
    Basalt::Ref<TaskImpl> task(new TaskImpl(ref.get(), _GetRef()));
    adapter->Register(nullptr, task.get());
    Basalt::Ref<FolderImpl> self(this);
    std::string name = config->name.GetValue();
    adapter->Post([task, self, adapter, name](bool canceled) {
      if (canceled) return;
      task->Run([&]() -> Basalt::Ref<Quill::Any> {
        std::lock_guard<std::mutex> lock(self->_mutex);
        return self->Add(adapter, name);
      });
    });
    result = ref;
  }

  Basalt::Ref<Tarn::Vm::ConfigSpec> lastSpec;

 private:
  Basalt::Ref<Quill::MoRef> Add(Quill::LocalAdapter* adapter, std::string const& name) {  // under _mutex
    auto found = _children.find(name);
    if (found != _children.end()) {
      Basalt::Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
      fault->name = name;
      fault->object = found->second;
      fault->Throw();
    }
    Basalt::Ref<Quill::MoRef> ref = adapter->MakeRef("tarn.Folder");
    adapter->Register(nullptr, new FolderImpl(ref.get()));
    _children[name] = ref;
    return ref;
  }

  std::mutex _mutex;
  std::map<std::string, Basalt::Ref<Quill::MoRef>> _children;
};

// One adapter with a session manager ("SessionManager"), an echo command
// ("echo") and a root folder ("group-d1"), optionally behind RequireLogin.
struct Objects {
  explicit Objects(bool requireLogin, unsigned workers = 2) {
    Quill::LocalAdapter::Options options;
    options.workers = workers;
    if (requireLogin) options.checkPrivilege = RequireLogin;
    adapter = new Quill::LocalAdapter(options);
    sessions = new SessionManagerImpl(new Quill::MoRef("tarn.SessionManager", "SessionManager"));
    echo = new EchoCommand(new Quill::MoRef("tarn.SimpleCommand", "echo"));
    root = new FolderImpl(new Quill::MoRef("tarn.Folder", "group-d1"));
    adapter->Register(nullptr, sessions.get());
    adapter->Register(nullptr, echo.get());
    adapter->Register(nullptr, root.get());
  }
  ~Objects() { adapter->Shutdown(); }

  Basalt::Ref<Quill::LocalAdapter> adapter;
  Basalt::Ref<SessionManagerImpl> sessions;
  Basalt::Ref<EchoCommand> echo;
  Basalt::Ref<FolderImpl> root;
};

}  // namespace tarn_http_test
