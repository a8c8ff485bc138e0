// Quill::HttpAdapter over loopback: the sample library's objects served by a
// Quill::HttpServer in the same process, and loopback servers that answer
// badly on purpose.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "LoopbackServer.h"
#include "RpcImpl.h"
#include "quill/FaultText.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"

namespace {

using namespace std::chrono_literals;
using Basalt::System::ScheduledItem;
using TestNet::Clock;

using SampleImpl::BindAll;

// The sample's feature version includes every sample method; its wire
// version is unique among the bound tables, so the server reads it back as
// itself (the plain "2.0" of sample.version.v2 is also another table's).
Quill::Version const* V2() { return Quill::FindVersion("sample.version.featA"); }

// The sample's counter served over HTTP on a loopback port.
struct Served {
  explicit Served(Quill::LocalAdapter::Options options = {}, Quill::HttpServer::Options serverOptions = {}) {
    BindAll();
    local = new Quill::LocalAdapter(std::move(options));
    ref = new Quill::MoRef("sample.rpc.Counter", "c-1");
    impl = new SampleImpl::CounterImpl(ref.get());
    local->Register(nullptr, impl.get());
    bigRef = new Quill::MoRef("sample.rpc.BigCounter", "b-1");
    local->Register(nullptr, new SampleImpl::BigCounterImpl(bigRef.get()));
    server = std::make_unique<Quill::HttpServer>(local.get(), std::move(serverOptions));
  }
  ~Served() {
    impl->gate.Open();
    server->Stop(2s);
    local->Shutdown();
  }
  Quill::HttpAdapter::Settings Settings() const {
    Quill::HttpAdapter::Settings s;
    s.url = server->GetUrl();
    s.version = V2();
    s.callTimeout = 10s;
    if (std::getenv("TARN_HTTP_LOG")) s.hook = Quill::Http::StderrCallLogger();
    return s;
  }

  Basalt::Ref<Quill::LocalAdapter> local;
  Basalt::Ref<Quill::MoRef> ref;
  Basalt::Ref<Quill::MoRef> bigRef;
  Basalt::Ref<SampleImpl::CounterImpl> impl;
  std::unique_ptr<Quill::HttpServer> server;
};

struct Delivery {
  std::atomic<int> calls{0};
  std::unique_ptr<Basalt::Exception> exception;
  Basalt::Ref<Quill::Any> result;
  ScheduledItem* item = nullptr;
};

Quill::InvokeCallback Record(Delivery& d) {
  return [&d](ScheduledItem* item, Basalt::Exception* e, Quill::Any* result) {
    d.item = item;
    if (e) d.exception.reset(e->Clone());
    d.result = result;
    d.calls.fetch_add(1);
  };
}

bool WaitDone(ScheduledItem* item, std::chrono::milliseconds limit = 5s) { return item->WaitFor(limit); }

// Until the server holds `n` calls not yet answered, or 5 s pass.
bool AwaitInFlight(Quill::HttpServer const& server, std::size_t n) {
  for (auto deadline = Clock::now() + 5s; Clock::now() < deadline; std::this_thread::sleep_for(2ms)) {
    if (server.GetStats().callsInFlight >= n) return true;
  }
  return false;
}

TEST(HttpAdapter, SyncCallsReachTheServedObjectOverOneConnection) {
  Served served;
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(served.Settings()));
  auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());

  // Scalars, optional arguments left out and given.
  EXPECT_EQ(stub->Add(5, {}), 5);
  EXPECT_EQ(stub->Add(7, std::string("noted")), 12);
  EXPECT_EQ(stub->GetValue(), 12);
  EXPECT_EQ(served.impl->GetValue(), 12);
  EXPECT_EQ(stub->Label("ab", 3, true), "AB#3");
  EXPECT_EQ(stub->Label("ab", 3, {}), "ab#3");
  EXPECT_EQ(served.impl->lastUpper.load(), -1) << "an unset optional arrives unset";

  // A data object in and an array of them out.
  Basalt::Ref<Sample::Shape> shape(new Sample::Shape());
  shape->name = "square";
  shape->weight = 2.5;
  Basalt::Ref<Quill::Array<std::string>> tags(new Quill::Array<std::string>({"a", "b"}));
  Basalt::Ref<Quill::DataArray<Sample::Shape>> painted;
  stub->Paint(shape.get(), Sample::Color::blue, tags.get(), {}, painted);
  ASSERT_TRUE(painted);
  ASSERT_EQ(painted->size(), 1u);
  EXPECT_EQ((*painted)[0]->name, "square");
  EXPECT_EQ((*painted)[0]->color, Sample::Color::blue);
  EXPECT_EQ((*painted)[0]->weight, 2.5);
  ASSERT_TRUE((*painted)[0]->tags);
  EXPECT_EQ((*painted)[0]->tags->size(), 2u);

  Basalt::Ref<Quill::Array<long>> history;
  stub->GetHistory(history);
  ASSERT_TRUE(history);
  EXPECT_EQ(history->size(), 1u);

  // A task method, followed through a stub of the task it returns.
  Basalt::Ref<Quill::MoRef> taskRef;
  stub->Resize(4, taskRef);
  ASSERT_TRUE(taskRef);
  EXPECT_EQ(taskRef->GetTypeName(), "sample.rpc.Task");
  auto task = Quill::CreateStub<Sample::Rpc::TaskStub>(taskRef.get(), http.get());
  std::string state;
  for (auto deadline = Clock::now() + 5s; Clock::now() < deadline; std::this_thread::sleep_for(2ms)) {
    state = task->GetState();
    if (state == "success" || state == "error") break;
  }
  ASSERT_EQ(state, "success");
  Basalt::Ref<Quill::Any> outcome;
  task->GetResult(outcome);
  auto* result = dynamic_cast<Sample::Shape*>(outcome.get());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->name, "size-4");

  // Keep-alive: every call above went over one connection.
  for (int i = 0; i < 20; ++i) stub->GetValue();
  EXPECT_EQ(http->GetConnectCount(), 1u);
  EXPECT_EQ(served.server->GetStats().connectionsAccepted, 1u);
}

TEST(HttpAdapter, FaultsArriveAsTheirOwnClassesSyncAndAsync) {
  Served served;
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(served.Settings()));
  auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());

  try {
    stub->Add(1, std::string("fault"));
    ADD_FAILURE() << "no fault";
  } catch (Sample::BadShapeFault::Exception const& e) {
    auto* fault = static_cast<Sample::BadShapeFault*>(e.GetFault());
    EXPECT_EQ(fault->shapeName, "counter");
  }
  EXPECT_THROW(stub->Add(1, std::string("std")), Quill::Fault::SystemError::Exception);
  // ...and a server-side fault is not mistaken for a transport failure.
  try {
    stub->Add(1, std::string("std"));
  } catch (Quill::Http::TransportError const&) {
    ADD_FAILURE() << "a fault of the method came back as a transport error";
  } catch (Quill::Fault::SystemError::Exception const&) {
  }

  Basalt::Ref<Quill::MoRef> gone(new Quill::MoRef("sample.rpc.Counter", "nobody"));
  auto lost = Quill::CreateStub<Sample::Rpc::CounterStub>(gone.get(), http.get());
  try {
    lost->GetValue();
    ADD_FAILURE() << "no fault";
  } catch (Quill::Fault::ManagedObjectNotFound::Exception const& e) {
    auto* fault = static_cast<Quill::Fault::ManagedObjectNotFound*>(e.GetFault());
    ASSERT_TRUE(fault->obj);
    EXPECT_EQ(fault->obj->GetId(), "nobody");
  }

  Delivery d;
  Basalt::Ref<ScheduledItem> item;
  stub->Add(1, std::string("fault"), Record(d), item);
  ASSERT_TRUE(item);
  ASSERT_TRUE(WaitDone(item.get()));
  EXPECT_EQ(d.calls.load(), 1);
  EXPECT_EQ(d.item, item.get());
  ASSERT_TRUE(d.exception);
  EXPECT_THROW(d.exception->Throw(), Sample::BadShapeFault::Exception);
  auto* pending = dynamic_cast<Quill::HttpPendingCall*>(item.get());
  ASSERT_TRUE(pending);
  EXPECT_TRUE(dynamic_cast<Sample::BadShapeFault::Exception*>(pending->GetException()));
  EXPECT_EQ(item->GetState(), ScheduledItem::State::Completed);
}

TEST(HttpAdapter, AMethodNewerThanTheAdapterVersionIsRefusedBeforeSending) {
  BindAll();
  TestNet::LoopbackServer nobody([](TestNet::Connection&) {});
  Quill::HttpAdapter::Settings s;
  s.url = nobody.Url();
  s.version = Quill::FindVersion("sample.version.v1");
  ASSERT_TRUE(s.version);
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(s));
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("sample.rpc.BigCounter", "b-1"));
  auto big = Quill::CreateStub<Sample::Rpc::BigCounterStub>(ref.get(), http.get());
  EXPECT_THROW(big->Boost(2), Quill::Fault::NotSupported::Exception);
  Delivery d;
  Basalt::Ref<ScheduledItem> item;
  big->Boost(2, Record(d), item);
  ASSERT_TRUE(item && WaitDone(item.get()));
  EXPECT_EQ(d.calls.load(), 1);
  EXPECT_TRUE(dynamic_cast<Quill::Fault::NotSupported::Exception*>(d.exception.get()));
  EXPECT_FALSE(item->Cancel());
  EXPECT_EQ(nobody.Accepted(), 0);
  EXPECT_EQ(http->GetConnectCount(), 0u);
}

TEST(HttpAdapter, AsyncCallsCompleteOnceEachAndTheHandleAfterTheCallback) {
  Served served;
  Quill::HttpAdapter::Settings s = served.Settings();
  std::mutex hookMutex;
  std::vector<Quill::Http::CallOutcome> outcomes;
  s.hook = [&](Quill::Http::CallRecord const& r) {
    std::lock_guard lock(hookMutex);
    outcomes.push_back(r.outcome);
    EXPECT_TRUE(r.async);
    EXPECT_EQ(r.method, "sample.rpc.Counter.add");
    EXPECT_EQ(r.target, "sample.rpc.Counter:c-1");
    EXPECT_GT(r.bytesSent, 0u);
    EXPECT_GT(r.bytesReceived, 0u);
  };
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(s));
  auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());
  constexpr int kCalls = 100;
  std::vector<Basalt::Ref<ScheduledItem>> items(kCalls);
  std::vector<std::atomic<int>> calls(kCalls);
  std::atomic<long> sum{0};
  std::atomic<int> doneTooEarly{0};
  for (int i = 0; i < kCalls; ++i) {
    stub->Add(
        1, {},
        [&, i](ScheduledItem* item, Basalt::Exception* e, Quill::Any* result) {
          calls[i].fetch_add(1);
          if (item->IsDone()) doneTooEarly.fetch_add(1);
          if (!e && result) sum.fetch_add(static_cast<Quill::Primitive<long>*>(result)->GetValue());
        },
        items[i]);
  }
  for (auto& item : items) ASSERT_TRUE(WaitDone(item.get()));
  long expected = 0;
  for (int i = 1; i <= kCalls; ++i) expected += i;  // each call returns the running total
  EXPECT_EQ(sum.load(), expected);
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(calls[i].load(), 1) << i;
  EXPECT_EQ(doneTooEarly.load(), 0);
  EXPECT_EQ(served.impl->GetValue(), kCalls);
  std::lock_guard lock(hookMutex);
  EXPECT_EQ(outcomes.size(), static_cast<std::size_t>(kCalls));
  for (auto o : outcomes) EXPECT_EQ(o, Quill::Http::CallOutcome::Result);
  EXPECT_LE(http->GetConnectCount(), 16u);
}

TEST(HttpAdapter, CancelAndShutdownDeliverRequestCanceledToWhatIsPending) {
  Served served({}, [] {
    Quill::HttpServer::Options o;
    o.workers = 8;
    return o;
  }());
  served.impl->gate.Close();
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(served.Settings()));
  auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());

  // In flight: the server holds the call at the gate.
  Delivery held;
  Basalt::Ref<ScheduledItem> heldItem;
  stub->Add(1, std::string("gate"), Record(held), heldItem);
  ASSERT_TRUE(AwaitInFlight(*served.server, 1));
  EXPECT_TRUE(heldItem->Cancel());
  ASSERT_TRUE(WaitDone(heldItem.get()));
  EXPECT_EQ(held.calls.load(), 1);
  EXPECT_TRUE(dynamic_cast<Quill::Fault::RequestCanceled::Exception*>(held.exception.get()));
  EXPECT_EQ(heldItem->GetState(), ScheduledItem::State::Canceled);
  EXPECT_FALSE(heldItem->Cancel());

  // 100 pending when the adapter shuts down: each delivered once, cancelled.
  constexpr int kCalls = 100;
  std::vector<Basalt::Ref<ScheduledItem>> items(kCalls);
  std::vector<std::atomic<int>> calls(kCalls);
  std::atomic<int> canceled{0};
  for (int i = 0; i < kCalls; ++i) {
    stub->Add(
        1, std::string("gate"),
        [&, i](ScheduledItem*, Basalt::Exception* e, Quill::Any*) {
          calls[i].fetch_add(1);
          if (dynamic_cast<Quill::Fault::RequestCanceled::Exception*>(e)) canceled.fetch_add(1);
        },
        items[i]);
  }
  // The adapter's 16 connections each carry one call to the server.
  ASSERT_TRUE(AwaitInFlight(*served.server, 1 + 16));
  http->Shutdown();  // with the server still holding every call
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_TRUE(items[i]->IsDone()) << i;
    EXPECT_EQ(calls[i].load(), 1) << i;
  }
  EXPECT_EQ(canceled.load(), kCalls);
  EXPECT_TRUE(http->IsShutDown());
  EXPECT_THROW(stub->GetValue(), Quill::Fault::RequestCanceled::Exception);
  Basalt::Ref<ScheduledItem> late;
  EXPECT_THROW(stub->GetValue([](ScheduledItem*, Basalt::Exception*, Quill::Any*) {}, late),
               Quill::Fault::RequestCanceled::Exception);
  http->Shutdown();  // again: nothing happens
}

TEST(HttpAdapter, AnswersThatAreNotResponsesAreTransportFaults) {
  BindAll();
  struct Case {
    char const* name;
    std::string answer;
    long status;  // of the HttpStatusError expected; 0: BadResponse
  };
  std::vector<Case> cases = {
      {"404", TestNet::Response(404, "no such path"), 404},
      {"503", TestNet::Response(503, "busy"), 503},
      {"200 with no SOAP", TestNet::Response(200, "<html>hello</html>"), 0},
      {"500 with no SOAP", TestNet::Response(500, "stack trace"), 500},
  };
  for (Case const& k : cases) {
    SCOPED_TRACE(k.name);
    TestNet::LoopbackServer server([&](TestNet::Connection& c) {
      std::string head;
      // The body is not read: the answer goes out after the head, and the
      // connection closes.
      if (c.ReadHead(head)) c.Write(k.answer);
      c.WaitForClose(200ms);
    });
    Quill::HttpAdapter::Settings s;
    s.url = server.Url();
    s.version = V2();
    s.callTimeout = 3s;
    std::vector<Quill::Http::CallRecord> records;
    std::vector<std::string> errors;
    s.hook = [&](Quill::Http::CallRecord const& r) {
      records.push_back(r);
      errors.emplace_back(r.error);
    };
    Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(s));
    Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("sample.rpc.Counter", "c-1"));
    auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(ref.get(), http.get());
    try {
      stub->GetValue();
      ADD_FAILURE() << "no exception";
    } catch (Quill::Http::HttpStatusError const& e) {
      EXPECT_EQ(e.GetStatus(), k.status) << e.what();
      EXPECT_NE(std::string(e.what()).find(server.Url()), std::string::npos);
    } catch (Quill::Http::BadResponse const& e) {
      EXPECT_EQ(k.status, 0) << e.what();
      EXPECT_NE(std::string(e.what()).find("cannot be decoded"), std::string::npos) << e.what();
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, Quill::Http::CallOutcome::TransportError);
    EXPECT_EQ(records[0].httpStatus, k.status ? k.status : 200);
    EXPECT_FALSE(errors[0].empty());
  }
}

TEST(HttpAdapter, TheSessionCookieIsSharedByEveryStubOfTheAdapter) {
  // A checker that logs the session in at its first call and counts the
  // calls that arrive already logged in.
  std::atomic<int> loggedInCalls{0};
  Quill::LocalAdapter::Options options;
  options.checkPrivilege = [&](Quill::CallInfo const& call) {
    if (!call.context) return;
    if (call.context->Contains("user")) {
      loggedInCalls.fetch_add(1);
    } else {
      call.context->Set("user", new Quill::Primitive<std::string>("alice"));
    }
  };
  Served served(std::move(options));
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(served.Settings()));
  EXPECT_EQ(http->GetSessionCookie(), "");
  auto first = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());
  auto second = Quill::CreateStub<Sample::Rpc::BigCounterStub>(served.bigRef.get(), http.get());
  first->GetValue();
  EXPECT_EQ(loggedInCalls.load(), 0);
  std::string session = http->GetSessionCookie();
  EXPECT_GE(session.size(), 16u);
  second->GetLimit();
  EXPECT_EQ(loggedInCalls.load(), 1);
  Delivery d;
  Basalt::Ref<ScheduledItem> item;
  second->GetLimit(Record(d), item);
  ASSERT_TRUE(WaitDone(item.get()));
  EXPECT_EQ(loggedInCalls.load(), 2) << "async calls carry the session too";
  EXPECT_EQ(http->GetSessionCookie(), session);

  // Another adapter is another session.
  Basalt::Ref<Quill::HttpAdapter> other(new Quill::HttpAdapter(served.Settings()));
  Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), other.get())->GetValue();
  EXPECT_EQ(loggedInCalls.load(), 2);
  EXPECT_NE(other->GetSessionCookie(), session);

  http->ClearCookies();
  EXPECT_EQ(http->GetSessionCookie(), "");
  first->GetValue();
  EXPECT_EQ(loggedInCalls.load(), 2) << "without the cookie the session is gone";
}

TEST(HttpAdapter, TheHookSeesEveryOutcomeAndTheStderrLoggerWritesALine) {
  Served served;
  Quill::HttpAdapter::Settings s = served.Settings();
  std::vector<Quill::Http::CallRecord> records;
  std::vector<std::string> errors, methods;
  s.hook = [&](Quill::Http::CallRecord const& r) {
    records.push_back(r);
    errors.emplace_back(r.error);
    methods.emplace_back(r.method);
  };
  Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(s));
  auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());
  stub->Add(3, {});
  EXPECT_THROW(stub->Add(1, std::string("fault")), Sample::BadShapeFault::Exception);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].outcome, Quill::Http::CallOutcome::Result);
  EXPECT_EQ(records[0].httpStatus, 200);
  EXPECT_FALSE(records[0].async);
  EXPECT_EQ(methods[0], "sample.rpc.Counter.add");
  EXPECT_EQ(records[1].outcome, Quill::Http::CallOutcome::Fault);
  EXPECT_EQ(records[1].httpStatus, 500);
  EXPECT_EQ(errors[1].rfind("sample.BadShapeFault", 0), 0u) << errors[1];
  EXPECT_EQ(errors[1].find("sample.BadShapeFault", 1), std::string::npos) << "the name once: " << errors[1];
  EXPECT_GT(records[1].duration.count(), 0);

  Quill::HttpAdapter::Settings logged = served.Settings();
  logged.hook = Quill::Http::StderrCallLogger();
  Basalt::Ref<Quill::HttpAdapter> loud(new Quill::HttpAdapter(logged));
  auto loudStub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), loud.get());
  testing::internal::CaptureStderr();
  loudStub->GetValue();
  std::string line = testing::internal::GetCapturedStderr();
  // The sample registers no identity: the runtime speaks for itself and names no library.
  EXPECT_EQ(line.rfind("quill-http ", 0), 0u) << line;
  EXPECT_NE(line.find(" sync sample.rpc.Counter.value sample.rpc.Counter:c-1 -> result (200, "), std::string::npos)
      << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  testing::internal::CaptureStderr();
  EXPECT_THROW(loudStub->Add(1, std::string("fault")), Sample::BadShapeFault::Exception);
  line = testing::internal::GetCapturedStderr();
  EXPECT_NE(line.find(" -> fault (500, "), std::string::npos) << line;
  EXPECT_EQ(line.find("sample.BadShapeFault"), line.rfind("sample.BadShapeFault")) << "the name once: " << line;
}

TEST(HttpAdapter, UnusableSettingsThrowInvalidArgumentNamingTheSetting) {
  BindAll();
  std::string const unreadable = (std::filesystem::temp_directory_path() / "tarn-no-such-dir/ca.pem").string();
  struct Case {
    char const* name;
    std::function<void(Quill::HttpAdapter::Settings&)> change;
    char const* setting;
  };
  std::vector<Case> cases = {
      {"no URL", [](auto& s) { s.url.clear(); }, "url"},
      {"not a URL", [](auto& s) { s.url = "not a url"; }, "url"},
      {"unbalanced bracket", [](auto& s) { s.url = "https://[::1/sdk"; }, "url"},
      {"other scheme", [](auto& s) { s.url = "ftp://127.0.0.1/sdk"; }, "url"},
      {"short thumbprint", [](auto& s) { s.pinnedCertificateSha256 = "AB"; }, "pinnedCertificateSha256"},
      {"not hex", [](auto& s) { s.pinnedCertificateSha256 = std::string(64, 'g'); }, "pinnedCertificateSha256"},
      {"odd digit count", [](auto& s) { s.pinnedCertificateSha256 = std::string(63, 'a'); }, "pinnedCertificateSha256"},
      {"other digest's label", [](auto& s) { s.pinnedCertificateSha256 = "sha1 Fingerprint=" + std::string(64, 'a'); },
       "pinnedCertificateSha256"},
      {"unreadable CA file", [&](auto& s) { s.caFile = unreadable; }, "caFile"},
      {"no pending calls", [](auto& s) { s.maxPendingCalls = 0; }, "maxPendingCalls"},
  };
  for (Case const& k : cases) {
    SCOPED_TRACE(k.name);
    Quill::HttpAdapter::Settings s;
    s.url = "https://127.0.0.1:1/sdk";
    s.version = V2();
    k.change(s);
    try {
      Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(s));
      ADD_FAILURE() << "accepted";
    } catch (Quill::Fault::InvalidArgument::Exception const& e) {
      auto* fault = static_cast<Quill::Fault::InvalidArgument*>(e.GetFault());
      ASSERT_TRUE(fault->invalidProperty);
      EXPECT_EQ((*fault->invalidProperty).GetString(), k.setting);
    }
  }
}

// --- TLS ---------------------------------------------------------------------------------

struct Certificate {
  std::filesystem::path dir;
  std::string cert, key, thumbprint;
  Certificate() {
    dir = std::filesystem::temp_directory_path() / ("tarn-http-client-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    cert = (dir / "cert.pem").string();
    key = (dir / "key.pem").string();
    std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return;
    FILE* f = std::fopen(cert.c_str(), "r");
    if (!f) return;
    X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (x && X509_digest(x, EVP_sha256(), md, &n)) {
      char hex[4];
      for (unsigned i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
        thumbprint += hex;
      }
    }
    X509_free(x);
  }
  ~Certificate() { std::filesystem::remove_all(dir); }
};

std::string Bare(std::string thumbprint) {
  std::string out;
  for (char c : thumbprint) {
    if (c != ':') out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

TEST(HttpAdapter, TlsVerificationByCaFileOrThumbprintAndNothingElse) {
  Certificate certificate;
  ASSERT_EQ(certificate.thumbprint.size(), 32u * 3 - 1) << "openssl could not make a certificate";
  Quill::HttpServer::Options tls;
  tls.certificateFile = certificate.cert;
  tls.privateKeyFile = certificate.key;
  Served served({}, tls);
  ASSERT_EQ(served.server->GetUrl().rfind("https://", 0), 0u);

  std::string wrong = certificate.thumbprint;
  wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
  struct Case {
    char const* name;
    std::function<void(Quill::HttpAdapter::Settings&)> change;
    bool passes;
  };
  std::vector<Case> cases = {
      {"system CA store", [](auto&) {}, false},
      {"CA file", [&](auto& s) { s.caFile = certificate.cert; }, true},
      {"right thumbprint", [&](auto& s) { s.pinnedCertificateSha256 = certificate.thumbprint; }, true},
      {"wrong thumbprint", [&](auto& s) { s.pinnedCertificateSha256 = wrong; }, false},
      // As `openssl x509 -fingerprint -sha256 -noout` prints it, by version, and bare lower case.
      {"openssl 3 output", [&](auto& s) { s.pinnedCertificateSha256 = "sha256 Fingerprint=" + certificate.thumbprint; },
       true},
      {"openssl 1 output",
       [&](auto& s) { s.pinnedCertificateSha256 = "SHA256 Fingerprint=" + certificate.thumbprint + "\n"; }, true},
      {"lower case, no colons", [&](auto& s) { s.pinnedCertificateSha256 = Bare(certificate.thumbprint); }, true},
      {"verification off", [](auto& s) { s.insecureSkipTlsVerification = true; }, true},
  };
  for (Case const& k : cases) {
    SCOPED_TRACE(k.name);
    Quill::HttpAdapter::Settings s = served.Settings();
    k.change(s);
    Basalt::Ref<Quill::HttpAdapter> http(new Quill::HttpAdapter(s));
    auto stub = Quill::CreateStub<Sample::Rpc::CounterStub>(served.ref.get(), http.get());
    if (k.passes) {
      long before = served.impl->GetValue();
      EXPECT_EQ(stub->Add(1, {}), before + 1);
      EXPECT_EQ(stub->GetValue(), served.impl->GetValue());
      EXPECT_EQ(http->GetConnectCount(), 1u) << "one handshake for both calls";
    } else {
      try {
        stub->GetValue();
        ADD_FAILURE() << "the certificate was accepted";
      } catch (Quill::Http::TlsFailure const& e) {
        EXPECT_NE(std::string(e.what()).find(served.server->GetUrl()), std::string::npos) << e.what();
        std::string story = Quill::FaultText(e);
        EXPECT_EQ(story.rfind("Quill::Http::TlsFailure (sedge.fault.SystemError)\n", 0), 0u) << story;
        EXPECT_NE(story.find(served.server->GetUrl()), std::string::npos) << story;
      }
      Delivery d;
      Basalt::Ref<ScheduledItem> item;
      stub->GetValue(Record(d), item);
      ASSERT_TRUE(WaitDone(item.get()));
      EXPECT_TRUE(dynamic_cast<Quill::Http::TlsFailure*>(d.exception.get()));
    }
  }
}

}  // namespace
