// Serving managed objects over HTTP, as docs/remote.md describes it: the server in front of a
// local adapter, sessions and login, limits, the WSDL files, and a graceful stop. The checks
// call the server through an HttpAdapter on a loopback port, as a remote program would.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "check.h"
#include "quill/Quill.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/SimpleCommandSkeleton.h"
#include "tarn/SimpleCommandStub.h"
#include "tarn/UserSession.h"
#include "tarn/fault/InvalidLogin.h"
#include "tarn/fault/NotAuthenticated.h"

namespace {

class Echo : public Tarn::SimpleCommandSkeleton {
 public:
  using SimpleCommandSkeleton::SimpleCommandSkeleton;
  std::string Execute(Quill::Array<std::string>* arguments) override {
    // [who]
    Quill::RequestContext* session = Quill::LocalAdapter::CurrentCall()->context;
    std::string user = Quill::Unbox<std::string>(session->Get("user").get());
    // [who]
    return user + ":" + (arguments && !arguments->empty() ? arguments->GetValues()[0] : "");
  }
};

// [login]
class Sessions : public Tarn::SessionManagerSkeleton {
 public:
  using SessionManagerSkeleton::SessionManagerSkeleton;
  void Login(std::string const& user, std::string const& password, Basalt::Optional<std::string> const&,
             Basalt::Ref<Tarn::UserSession>& result) override {
    if (password != "secret") {
      Basalt::Ref<Tarn::Fault::InvalidLogin> fault(new Tarn::Fault::InvalidLogin());
      fault->Throw();
    }
    // The context of this caller's session: the server keeps it, and issues the session
    // cookie, because the call stored something in it.
    Quill::LocalAdapter::CurrentCall()->context->Set("user", new Quill::Primitive<std::string>(user));
    result = new Tarn::UserSession();
    result->userName = user;
  }
  void Logout() override { Quill::LocalAdapter::CurrentCall()->context->Remove("user"); }
};

// Anonymous operations pass; the others need a session that logged in.
void RequireLogin(Quill::CallInfo const& call) {
  if (!call.privilege || std::string(call.privilege) == "System.Anonymous") return;
  if (call.context && call.context->Contains("user")) return;
  Basalt::Ref<Tarn::Fault::NotAuthenticated> fault(new Tarn::Fault::NotAuthenticated());
  fault->privilegeId = std::string(call.privilege);
  fault->Throw();
}
// [login]

Basalt::Ref<Quill::Array<std::string>> Words(std::initializer_list<std::string> w) {
  return Basalt::Ref<Quill::Array<std::string>>(new Quill::Array<std::string>(w));
}

}  // namespace

int main() {
  auto wsdl = std::filesystem::temp_directory_path() / "tarn-guide-wsdl";
  std::filesystem::create_directories(wsdl);
  std::ofstream(wsdl / "tarn.wsdl") << "<definitions/>";

  // [serve]
  Quill::LocalAdapter::Options adapterOptions;
  adapterOptions.checkPrivilege = RequireLogin;        // sees each call's session context
  Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(adapterOptions));
  adapter->Register(nullptr, new Sessions(new Quill::MoRef("tarn.SessionManager", "SessionManager")));
  adapter->Register(nullptr, new Echo(new Quill::MoRef("tarn.SimpleCommand", "echo")));

  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";                       // "0.0.0.0" or "::" for every interface
  options.port = 0;                                    // a free port; GetPort() tells which
  options.wsdlDirectory = wsdl.string();               // GET /sdk/tarn.wsdl and its .xsd files
  options.sessionIdleTimeout = std::chrono::minutes(30);
  Quill::HttpServer server(adapter.get(), options);    // listening from here on
  std::string url = server.GetUrl();                   // "http://127.0.0.1:<port>/sdk"
  // [serve]
  CHECK(server.GetPort() != 0);
  CHECK(url == "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/sdk");

  Quill::HttpAdapter::Settings settings;
  settings.url = url;
  Basalt::Ref<Quill::HttpAdapter> client(new Quill::HttpAdapter(settings));
  Basalt::Ref<Quill::MoRef> smRef(new Quill::MoRef("tarn.SessionManager", "SessionManager"));
  Basalt::Ref<Quill::MoRef> echoRef(new Quill::MoRef("tarn.SimpleCommand", "echo"));
  auto sessions = Quill::CreateStub<Tarn::SessionManagerStub>(smRef.get(), client.get());
  auto echo = Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), client.get());

  // [session]
  CHECK_THROWS(Tarn::Fault::NotAuthenticated::Exception, echo->Execute(Words({"hi"}).get()));
  Basalt::Ref<Tarn::UserSession> session;
  sessions->Login("ann", "secret", Basalt::Optional<std::string>(), session);  // sets tarn_session
  CHECK(echo->Execute(Words({"hi"}).get()) == "ann:hi");
  CHECK(server.GetStats().sessions == 1);
  sessions->Logout();                                  // the session ends, the cookie expires
  CHECK_THROWS(Tarn::Fault::NotAuthenticated::Exception, echo->Execute(Words({"hi"}).get()));
  // [session]
  CHECK(client->GetSessionCookie().empty());
  CHECK(server.GetStats().sessions == 0);

  // [stop]
  server.Stop();          // no new connections; calls under way are answered; threads joined
  CHECK_THROWS(Quill::Http::ConnectFailed, echo->Execute(Words({"late"}).get()));
  adapter->Shutdown();    // the adapter is the program's: the server never shuts it down
  // [stop]
  std::filesystem::remove_all(wsdl);
  return guide::Finish("remote-server");
}
