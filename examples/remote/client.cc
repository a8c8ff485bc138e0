// tarn-example-client: calls tarn-example-server through the same generated stubs a program
// uses in process, with Quill::HttpAdapter underneath: the service content, a login, a new
// folder, a fault, a task method followed to its end, and an asynchronous call.
//
//   tarn-example-client URL [--thumbprint SHA256] [--user admin --password secret]
//
// Exits non-zero on anything unexpected.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>

#include "quill/Quill.h"
#include "quill/http/HttpAdapter.h"
#include "quill/tasks/Tasks.h"
#include "tarn/AboutInfo.h"
#include "tarn/FolderStub.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceStub.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/UserSession.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/NotAuthenticated.h"
#include "tarn/vm/ConfigSpec.h"

using Basalt::Ref;
using Quill::MoRef;

int main(int argc, char** argv) {
  CLI::App app{"Calls tarn-example-server over HTTP"};
  std::string url, thumbprint, user = "admin", password = "secret";
  app.add_option("url", url, "the server's URL, e.g. http://127.0.0.1:8080/sdk")->required();
  app.add_option("--thumbprint", thumbprint, "SHA-256 thumbprint of the server's certificate (https)");
  app.add_option("--user", user);
  app.add_option("--password", password);
  CLI11_PARSE(app, argc, argv);

  try {
    // [connect]
    Quill::HttpAdapter::Settings settings;
    settings.url = url;
    settings.callTimeout = std::chrono::seconds(10);
    settings.pinnedCertificateSha256 = thumbprint;  // empty: the system's CA store for https
    Ref<Quill::HttpAdapter> adapter(new Quill::HttpAdapter(settings));

    Ref<MoRef> siRef(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
    auto si = Quill::CreateStub<Tarn::ServiceInstanceStub>(siRef.get(), adapter.get());
    Ref<Tarn::ServiceInstanceContent> content;
    si->RetrieveContent(content);  // one POST to the server; anonymous
    // [connect]
    std::printf("connected to \"%s\"\n", content->about->fullName.c_str());

    auto root = Quill::CreateStub<Tarn::FolderStub>(content->rootFolder.get(), adapter.get());
    Ref<MoRef> folder;
    try {
      root->CreateFolder("Production", folder);
      std::printf("unexpected: a call before login passed\n");
      return 1;
    } catch (Tarn::Fault::NotAuthenticated::Exception&) {
      std::printf("before login: refused\n");
    }

    // [login]
    auto sessions = Quill::CreateStub<Tarn::SessionManagerStub>(content->sessionManager.get(), adapter.get());
    Ref<Tarn::UserSession> session;
    sessions->Login(user, password, Basalt::Optional<std::string>(), session);
    // The server set its session cookie; the adapter sends it with every later call.
    // [login]
    std::printf("logged in as %s\n", session->userName.c_str());

    root->CreateFolder("Production", folder);
    std::printf("new folder %s\n", folder->GetId().c_str());
    try {
      root->CreateFolder("Production", folder);
      return 1;
    } catch (Tarn::Fault::DuplicateName::Exception& e) {
      auto* fault = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
      std::printf("caught DuplicateName: \"%s\" is taken by %s\n", fault->name.c_str(), fault->object->GetId().c_str());
    }

    Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
    spec->name = std::string("web-01");
    spec->numCPUs = 2;
    spec->memoryMB = 4096L;
    Ref<MoRef> pool(new MoRef("tarn.ResourcePool", "resgroup-8")), taskRef;
    root->CreateVm(spec.get(), pool.get(), nullptr, taskRef);
    // Follows the task to its end: its result, or its fault thrown as its own class.
    Ref<MoRef> vm = Quill::WaitForTask<Ref<MoRef>>(adapter.get(), taskRef.get(), std::chrono::seconds(10));
    if (!vm) {
      std::printf("unexpected: task %s has no result\n", taskRef->GetId().c_str());
      return 1;
    }
    std::printf("task %s: success, created %s\n", taskRef->GetId().c_str(), vm->GetId().c_str());

    Ref<Basalt::System::ScheduledItem> pending;
    std::string now;
    si->CurrentTime(
        [&now](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any* result) {
          now = error ? std::string("failed: ") + error->what()
                      : Quill::Unbox<Basalt::System::DateTime>(result).ToIso8601();
        },
        pending);
    if (!pending->WaitFor(std::chrono::seconds(10))) return 1;
    std::printf("async CurrentTime: %s\n", now.c_str());
    sessions->Logout();
  } catch (std::exception& e) {
    std::fprintf(stderr, "tarn-example-client: %s\n", e.what());
    return 1;
  }
  return 0;
}
