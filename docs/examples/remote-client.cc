// Calling a server over HTTP, as docs/remote.md describes it: connecting, sync and async
// calls, TLS verification, the session cookie, timeouts and cancellation, transport faults
// and logging. The server it calls runs in this program on a loopback port.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "check.h"
#include "quill/Quill.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/SimpleCommandSkeleton.h"
#include "tarn/SimpleCommandStub.h"
#include "tarn/UserSession.h"

namespace {

// Echoes its first word; "slow" takes a second.
class Echo : public Tarn::SimpleCommandSkeleton {
 public:
  using SimpleCommandSkeleton::SimpleCommandSkeleton;
  std::string Execute(Quill::Array<std::string>* arguments) override {
    std::string word = arguments && !arguments->empty() ? arguments->GetValues()[0] : "";
    if (word == "slow") std::this_thread::sleep_for(std::chrono::seconds(1));
    return word;
  }
};

class Sessions : public Tarn::SessionManagerSkeleton {
 public:
  using SessionManagerSkeleton::SessionManagerSkeleton;
  void Login(std::string const& user, std::string const&, Basalt::Optional<std::string> const&,
             Basalt::Ref<Tarn::UserSession>& result) override {
    Quill::LocalAdapter::CurrentCall()->context->Set("user", new Quill::Primitive<std::string>(user));
    result = new Tarn::UserSession();
    result->userName = user;
  }
};

Basalt::Ref<Quill::Array<std::string>> Words(std::initializer_list<std::string> w) {
  return Basalt::Ref<Quill::Array<std::string>>(new Quill::Array<std::string>(w));
}

// A certificate for 127.0.0.1 and its SHA-256 thumbprint, made with the openssl tool.
bool MakeCertificate(std::filesystem::path const& dir, std::string& thumbprint) {
  std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
                     "subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
  std::string print = "openssl x509 -in " + cert + " -noout -fingerprint -sha256 > " + (dir / "fp").string();
  if (std::system(make.c_str()) != 0 || std::system(print.c_str()) != 0) return false;
  std::ifstream in(dir / "fp");
  std::string line;
  std::getline(in, line);  // "sha256 Fingerprint=AB:CD:..."
  thumbprint = line.substr(line.find('=') + 1);
  return thumbprint.size() == 95;
}

}  // namespace

int main() {
  Basalt::Ref<Quill::LocalAdapter> local(new Quill::LocalAdapter());
  local->Register(nullptr, new Sessions(new Quill::MoRef("tarn.SessionManager", "SessionManager")));
  local->Register(nullptr, new Echo(new Quill::MoRef("tarn.SimpleCommand", "echo")));
  auto server = std::make_unique<Quill::HttpServer>(local.get(), Quill::HttpServer::Options{});
  std::string url = server->GetUrl();

  // [connect]
  Quill::HttpAdapter::Settings settings;
  settings.url = url;                                  // "http://127.0.0.1:<port>/sdk"
  Basalt::Ref<Quill::HttpAdapter> adapter(new Quill::HttpAdapter(settings));
  Basalt::Ref<Quill::MoRef> echoRef(new Quill::MoRef("tarn.SimpleCommand", "echo"));
  auto echo = Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), adapter.get());
  std::string answer = echo->Execute(Words({"hello"}).get());   // one POST, one answer
  // [connect]
  CHECK(answer == "hello");
  CHECK(adapter->GetVersion() == Quill::Wire::DefaultVersion());

  // [async]
  Basalt::Ref<Basalt::System::ScheduledItem> item;
  std::string heard;
  echo->Execute(Words({"later"}).get(),
                [&](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any* result) {
                  if (!error) heard = Quill::Unbox<std::string>(result);
                },
                item);
  item->WaitFor(std::chrono::seconds(5));              // done once the callback has returned
  // [async]
  CHECK(heard == "later");
  for (int i = 0; i < 5; ++i) echo->Execute(Words({"again"}).get());
  CHECK(adapter->GetConnectCount() <= 2);              // kept alive: one for sync, one for async

  // [session]
  Basalt::Ref<Quill::MoRef> smRef(new Quill::MoRef("tarn.SessionManager", "SessionManager"));
  auto sessions = Quill::CreateStub<Tarn::SessionManagerStub>(smRef.get(), adapter.get());
  Basalt::Ref<Tarn::UserSession> session;
  sessions->Login("ann", "secret", Basalt::Optional<std::string>(), session);
  std::string cookie = adapter->GetSessionCookie();    // the server's tarn_session
  // every stub on `adapter` now calls as ann; another adapter is another session
  adapter->ClearCookies();                             // forget it: the next call starts afresh
  // [session]
  CHECK(!cookie.empty());
  CHECK(adapter->GetSessionCookie().empty());

  // [timeouts]
  Quill::HttpAdapter::Settings hurried = settings;
  hurried.connectTimeout = std::chrono::milliseconds(500);
  hurried.callTimeout = std::chrono::milliseconds(200); // the whole call, connect included
  Basalt::Ref<Quill::HttpAdapter> impatient(new Quill::HttpAdapter(hurried));
  auto quick = Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), impatient.get());
  try {
    quick->Execute(Words({"slow"}).get());
  } catch (Quill::Http::TimedOut const& e) {
    std::printf("%s\n", e.what());                     // "<url>: timed out (...)"
  }
  // [timeouts]
  CHECK_THROWS(Quill::Http::TimedOut, quick->Execute(Words({"slow"}).get()));

  // [cancel]
  Basalt::Ref<Basalt::System::ScheduledItem> pending;
  bool canceled = false;
  echo->Execute(Words({"slow"}).get(),
                [&](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any*) {
                  canceled = dynamic_cast<Quill::Fault::RequestCanceled::Exception*>(error) != nullptr;
                },
                pending);
  pending->Cancel();                                   // true: the callback sees RequestCanceled
  pending->WaitFor(std::chrono::seconds(5));
  // [cancel]
  CHECK(canceled);
  CHECK(pending->GetState() == Basalt::System::ScheduledItem::State::Canceled);

  // [logging]
  std::atomic<int> calls{0}, failures{0};
  Quill::HttpAdapter::Settings watched = settings;
  watched.hook = [&](Quill::Http::CallRecord const& call) {
    ++calls;                                           // call.method, .target, .duration, .bytesSent...
    if (call.outcome != Quill::Http::CallOutcome::Result) ++failures;
  };
  // or: watched.hook = Quill::Http::StderrCallLogger();  one line per call on stderr
  // [logging]
  Basalt::Ref<Quill::HttpAdapter> observed(new Quill::HttpAdapter(watched));
  Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), observed.get())->Execute(Words({"x"}).get());
  CHECK(calls == 1 && failures == 0);

  // TLS: the same server behind a certificate made here.
  auto dir = std::filesystem::temp_directory_path() / ("tarn-guide-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string thumbprint;
  CHECK(MakeCertificate(dir, thumbprint));
  Quill::HttpServer::Options tlsOptions;
  tlsOptions.certificateFile = (dir / "cert.pem").string();
  tlsOptions.privateKeyFile = (dir / "key.pem").string();
  Quill::HttpServer tlsServer(local.get(), tlsOptions);

  // [tls]
  Quill::HttpAdapter::Settings tls;
  tls.url = tlsServer.GetUrl();                        // "https://127.0.0.1:<port>/sdk"
  // verified against the system's CA store by default; or trust one CA file:
  //   tls.caFile = "/etc/tarn/ca.pem";
  // or accept exactly one certificate, by its SHA-256 thumbprint:
  tls.pinnedCertificateSha256 = thumbprint;            // "AB:CD:...", as openssl prints it
  // tls.insecureSkipTlsVerification = true;           // tests only: anyone could answer
  // [tls]
  Basalt::Ref<Quill::HttpAdapter> secure(new Quill::HttpAdapter(tls));
  auto secureEcho = Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), secure.get());
  CHECK(secureEcho->Execute(Words({"sealed"}).get()) == "sealed");

  // [transport-faults]
  Quill::HttpAdapter::Settings unverified = tls;
  unverified.pinnedCertificateSha256.clear();          // the test certificate is in no CA store
  Basalt::Ref<Quill::HttpAdapter> strict(new Quill::HttpAdapter(unverified));
  try {
    Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), strict.get())->Execute(Words({"x"}).get());
  } catch (Quill::Http::TlsFailure const& e) {         // or ConnectFailed, TimedOut,
    std::printf("refused: %s\n", e.what());            // HttpStatusError, BadResponse; all are
  } catch (Quill::Http::TransportError const& e) {     // TransportError, itself a
    std::printf("transport: %s\n", e.what());          // Quill::Fault::SystemError
  }
  // [transport-faults]
  CHECK_THROWS(Quill::Http::TlsFailure,
               Quill::CreateStub<Tarn::SimpleCommandStub>(echoRef.get(), strict.get())->Execute(Words({"x"}).get()));

  tlsServer.Stop();
  server->Stop();
  adapter->Shutdown();                                 // pending async calls get RequestCanceled
  local->Shutdown();
  std::filesystem::remove_all(dir);
  return guide::Finish("remote-client");
}
