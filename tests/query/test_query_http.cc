// The query service through the generated stubs, HttpAdapter and HttpServer over loopback:
// each client is a session of its own with its own collector behind the one root reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "Inventory.h"
#include "quill/Faults.h"
#include "quill/Query.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/UserSession.h"

using namespace tarn_query_test;
using namespace std::chrono_literals;

namespace {

Ref<Quill::HttpAdapter> Client(std::string const& url) {
  Quill::HttpAdapter::Settings s;
  s.url = url;
  s.callTimeout = 20s;
  return new Quill::HttpAdapter(s);
}

}  // namespace

TEST(QueryOverHttp, RetrieveAndWatchThroughTheRootCollector) {
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Quill::Query::QueryService service(adapter.get());
  Inventory inventory(adapter.get());
  inventory.Build(2, 2, 50, 2);
  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";
  Quill::HttpServer server(adapter.get(), options);

  auto client = Client(server.GetUrl());
  auto pc = Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service.GetRootRef(), client.get());
  auto spec =
      TreeSpec(inventory.root->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})}, true);
  Ref<Quill::Query::RetrieveOptions> ro(new Quill::Query::RetrieveOptions());
  ro->maxObjects = 150;
  Ref<Quill::Query::ResultPage> page;
  pc->Retrieve(Specs(spec.get()).get(), ro.get(), page);
  std::map<std::string, std::map<std::string, std::string>> got;
  for (int guard = 0; guard < 10; ++guard) {
    for (std::size_t i = 0; page->objects && i < page->objects->size(); ++i) {
      auto* r = (*page->objects)[i];
      got[Key(r->obj.get())] = Values(r);
    }
    if (!page->token.IsSet()) break;
    std::string token = *page->token;
    pc->ContinueRetrieve(token, page);
  }
  std::map<std::string, std::map<std::string, std::string>> want;
  for (auto const& vm : inventory.vms) {
    want[Key(vm->_GetRef())] = {
        {"name", Ref<Quill::Any>(new Quill::Primitive<std::string>(vm->GetName()))->ToString()},
        {"runtime.maxMemoryUsage", Ref<Quill::Any>(new Quill::Primitive<int>(vm->Memory()))->ToString()}};
  }
  EXPECT_EQ(got, want);

  // a watch of this client's session; another client's session has none
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(spec.get(), true, watch);
  Ref<Quill::Query::UpdateBatch> batch;
  Ref<Quill::Query::WaitOptions> wo(new Quill::Query::WaitOptions());
  wo->maxWaitSeconds = 10;
  pc->WaitForUpdates(Basalt::Optional<std::string>(), wo.get(), batch);
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->watches->size(), 1u);
  EXPECT_EQ((*batch->watches)[0]->objects->size(), inventory.vms.size());

  auto other =
      Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service.GetRootRef(), Client(server.GetUrl()).get());
  Ref<Quill::DataArray<MoRef>> watches;
  other->GetWatches(watches);
  EXPECT_TRUE(!watches || watches->size() == 0u);

  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);
    inventory.vms[7]->SetMemory(99999);
    adapter->NotifyChanged(inventory.vms[7]->_GetRef(), {"runtime"});
  });
  std::string version = batch->version;
  pc->WaitForUpdates(version, wo.get(), batch);
  writer.join();
  ASSERT_TRUE(batch);
  auto* ch = (*(*batch->watches)[0]->objects)[0];
  EXPECT_EQ(ch->kind, Quill::Query::ChangeKind::modify);
  EXPECT_EQ(ch->obj->GetId(), inventory.vms[7]->_GetRef()->GetId());
  ASSERT_EQ(ch->changes->size(), 1u);
  auto* value = dynamic_cast<Quill::Primitive<int>*>((*ch->changes)[0]->value.get());
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->GetValue(), 99999);

  // a fault of the service reaches the client as its own class
  EXPECT_THROW(pc->ContinueRetrieve("nothing", page), Quill::Query::InvalidToken::Exception);
}

// --- waits held over HTTP ------------------------------------------------------------------
// A held wait is a deferred call: it holds a connection and a call in flight but no worker.

namespace {

// One HTTP session watching the memory of one VM, past its first (full) answer.
struct Session {
  Ref<Quill::HttpAdapter> client;
  Ref<Quill::Query::PropertyCollectorStub> pc;
  std::string version;

  Session(std::string const& url, MoRef* root, MoRef* vm) : client(Client(url)) {
    pc = Quill::CreateStub<Quill::Query::PropertyCollectorStub>(root, client.get());
    Ref<MoRef> watch;
    pc->CreateWatch(TreeSpec(vm, {Select("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})}).get(), true, watch);
    Ref<Quill::Query::UpdateBatch> batch;
    pc->WaitForUpdates(Basalt::Optional<std::string>(), Wait(0).get(), batch);
    version = batch->version;
  }

  static Ref<Quill::Query::WaitOptions> Wait(int seconds) {
    Ref<Quill::Query::WaitOptions> wo(new Quill::Query::WaitOptions());
    wo->maxWaitSeconds = seconds;
    return wo;
  }
};

// Until `n` waits are held by the service (bounded: false after 20 s).
bool AwaitWaiting(Quill::Query::QueryService& service, std::size_t n) {
  for (int i = 0; i < 4000; ++i) {
    if (service.GetStats().waiting == n) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

// The memory value a batch reports for its one changed object, or -1.
int ChangedMemory(Quill::Query::UpdateBatch const* batch) {
  if (!batch || !batch->watches || batch->watches->size() != 1) return -1;
  auto* objects = (*batch->watches)[0]->objects.get();
  if (!objects || objects->size() != 1 || !(*objects)[0]->changes || (*objects)[0]->changes->size() != 1) return -1;
  auto* value = dynamic_cast<Quill::Primitive<int>*>((*(*objects)[0]->changes)[0]->value.get());
  return value ? value->GetValue() : -1;
}

}  // namespace

TEST(QueryOverHttp, MoreHeldWaitsThanWorkersLeaveTheServerAnswering) {
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Quill::Query::QueryService service(adapter.get());
  Inventory inventory(adapter.get());
  inventory.Build(1, 1, 4, 1);
  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";
  options.workers = 2;
  Quill::HttpServer server(adapter.get(), options);

  constexpr std::size_t kWaiters = 64;
  MoRef* vm = inventory.vms[1]->_GetRef();
  std::vector<std::unique_ptr<Session>> sessions;
  for (std::size_t i = 0; i < kWaiters; ++i) {
    sessions.push_back(std::make_unique<Session>(server.GetUrl(), service.GetRootRef(), vm));
  }
  std::vector<int> seen(kWaiters, -1);
  std::vector<std::string> failures(kWaiters);
  std::vector<std::thread> waiters;
  for (std::size_t i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      try {
        Ref<Quill::Query::UpdateBatch> batch;
        sessions[i]->pc->WaitForUpdates(sessions[i]->version, Session::Wait(60).get(), batch);
        seen[i] = ChangedMemory(batch.get());
      } catch (std::exception& e) {
        failures[i] = e.what();
      }
    });
  }
  bool held = AwaitWaiting(service, kWaiters);
  EXPECT_TRUE(held) << service.GetStats().waiting << " waits held";

  // With every worker's worth of waits held, other sessions' calls are still carried out.
  Session other(server.GetUrl(), service.GetRootRef(), inventory.vms[0]->_GetRef());
  Ref<Quill::Query::ResultPage> page;
  Ref<Quill::Query::RetrieveOptions> ro(new Quill::Query::RetrieveOptions());
  other.pc->Retrieve(
      Specs(TreeSpec(inventory.root->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true).get()).get(), ro.get(),
      page);
  ASSERT_TRUE(page && page->objects);
  EXPECT_EQ(page->objects->size(), inventory.vms.size());

  inventory.vms[1]->SetMemory(4242);
  adapter->NotifyChanged(vm, {"runtime"});
  for (auto& t : waiters) t.join();
  for (std::size_t i = 0; i < kWaiters; ++i) {
    EXPECT_EQ(seen[i], 4242) << "waiter " << i << ": " << failures[i];
  }
  // A client may read its answer before the server has counted the call done.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.GetStats().callsInFlight != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server.GetStats().callsInFlight, 0u);
}

// Stop with waits held: stopping the service first answers them (RequestCanceled) within the
// server's grace; stopping the server first closes their connections after the grace, and the
// service's later answers to those calls go nowhere (the server is gone by then).
TEST(QueryOverHttp, StopWithWaitsHeld) {
  for (bool serviceFirst : {true, false}) {
    SCOPED_TRACE(serviceFirst ? "service first" : "server first");
    Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
    auto service = std::make_unique<Quill::Query::QueryService>(adapter.get());
    Inventory inventory(adapter.get());
    inventory.Build(1, 1, 2, 1);
    Quill::HttpServer::Options options;
    options.address = "127.0.0.1";
    options.workers = 1;
    auto server = std::make_unique<Quill::HttpServer>(adapter.get(), options);

    constexpr std::size_t kWaiters = 6;
    std::vector<std::unique_ptr<Session>> sessions;
    for (std::size_t i = 0; i < kWaiters; ++i) {
      sessions.push_back(
          std::make_unique<Session>(server->GetUrl(), service->GetRootRef(), inventory.vms[0]->_GetRef()));
    }
    std::vector<int> outcome(kWaiters, 0);  // 1 RequestCanceled, 2 another failure, 3 an answer
    std::vector<std::thread> waiters;
    for (std::size_t i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&, i] {
        try {
          Ref<Quill::Query::UpdateBatch> batch;
          sessions[i]->pc->WaitForUpdates(sessions[i]->version, Session::Wait(60).get(), batch);
          outcome[i] = 3;
        } catch (Quill::Fault::RequestCanceled::Exception&) {
          outcome[i] = 1;
        } catch (std::exception&) {
          outcome[i] = 2;
        }
      });
    }
    ASSERT_TRUE(AwaitWaiting(*service, kWaiters));
    if (serviceFirst) {
      service->Stop();
      server->Stop(10s);
    } else {
      server->Stop(100ms);
      server.reset();
      service->Stop();
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(std::count(outcome.begin(), outcome.end(), serviceFirst ? 1 : 2), static_cast<long>(kWaiters));
    EXPECT_EQ(service->GetStats().waiting, 0u);
    server.reset();
    service.reset();
  }
}

// A session the server drops while its wait is held (here: idle expiry, seen at another
// session's call) ends, and with it the wait.
TEST(QueryOverHttp, SessionExpiryEndsAHeldWait) {
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Quill::Query::QueryService service(adapter.get());
  Inventory inventory(adapter.get());
  inventory.Build(1, 1, 2, 1);
  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";
  options.sessionIdleTimeout = 200ms;
  Quill::HttpServer server(adapter.get(), options);

  Session waiting(server.GetUrl(), service.GetRootRef(), inventory.vms[0]->_GetRef());
  std::string failure;
  std::thread waiter([&] {
    try {
      Ref<Quill::Query::UpdateBatch> batch;
      waiting.pc->WaitForUpdates(waiting.version, Session::Wait(30).get(), batch);
      failure = "answered";
    } catch (Quill::Fault::RequestCanceled::Exception&) {
    } catch (std::exception& e) {
      failure = e.what();
    }
  });
  ASSERT_TRUE(AwaitWaiting(service, 1));
  std::this_thread::sleep_for(300ms);  // past the idle timeout
  Session other(server.GetUrl(), service.GetRootRef(), inventory.vms[1]->_GetRef());
  waiter.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(service.GetStats().waiting, 0u);
  EXPECT_EQ(service.GetStats().sessions, 1u);  // the other one's
}

namespace {
class Logins : public Tarn::SessionManagerSkeleton {
 public:
  using SessionManagerSkeleton::SessionManagerSkeleton;
  void Login(std::string const& userName, std::string const&, Basalt::Optional<std::string> const&,
             Ref<Tarn::UserSession>& result) override {
    Quill::LocalAdapter::CurrentCall()->context->Set("user", new Quill::Primitive<std::string>(userName));
    result = new Tarn::UserSession();
    result->userName = userName;
  }
  void Logout() override { Quill::LocalAdapter::CurrentCall()->context->Remove("user"); }
};
}  // namespace

// Logging out ends the session, although the query service keeps its own tie in the session:
// the held wait ends with RequestCanceled, the collector and its watch go, and the next call
// of the client starts afresh. An anonymous session, which holds nothing but that tie, stays.
TEST(QueryOverHttp, LogoutEndsTheSessionsCollectorsAndWaits) {
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Quill::Query::QueryService service(adapter.get());
  Inventory inventory(adapter.get());
  inventory.Build(1, 1, 2, 1);
  Ref<MoRef> smRef(new MoRef("tarn.SessionManager", "SessionManager"));
  adapter->Register(smRef.get(), new Logins(smRef.get()));
  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";
  Quill::HttpServer server(adapter.get(), options);

  auto client = Client(server.GetUrl());
  auto sessions = Quill::CreateStub<Tarn::SessionManagerStub>(smRef.get(), client.get());
  Ref<Tarn::UserSession> user;
  sessions->Login("ann", "secret", Basalt::Optional<std::string>(), user);
  auto pc = Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service.GetRootRef(), client.get());
  Ref<MoRef> watch;
  pc->CreateWatch(TreeSpec(inventory.vms[0]->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}).get(), true, watch);
  Ref<Quill::Query::UpdateBatch> batch;
  pc->WaitForUpdates(Basalt::Optional<std::string>(), Session::Wait(0).get(), batch);
  ASSERT_TRUE(batch);
  std::string version = batch->version;

  Session anonymous(server.GetUrl(), service.GetRootRef(), inventory.vms[1]->_GetRef());
  ASSERT_EQ(server.GetStats().sessions, 2u);
  ASSERT_EQ(service.GetStats().watches, 2u);

  std::string failure = "not answered";
  std::thread waiter([&] {
    try {
      Ref<Quill::Query::UpdateBatch> b;
      pc->WaitForUpdates(version, Session::Wait(30).get(), b);
      failure = "answered";
    } catch (Quill::Fault::RequestCanceled::Exception&) {
      failure = "";
    } catch (std::exception& e) {
      failure = e.what();
    }
  });
  ASSERT_TRUE(AwaitWaiting(service, 1));
  sessions->Logout();
  waiter.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(server.GetStats().sessions, 1u) << "the anonymous session stays";
  EXPECT_EQ(service.GetStats().watches, 1u);
  EXPECT_EQ(service.GetStats().sessions, 1u);
  EXPECT_FALSE(adapter->Find(watch.get())) << "the logged-out session's watch is unregistered";

  // The same client, logged out, is a new session: no watch of the old one.
  Ref<Quill::DataArray<MoRef>> watches;
  pc->GetWatches(watches);
  EXPECT_TRUE(!watches || watches->size() == 0u);
  // The anonymous session's watch still answers.
  Ref<Quill::Query::UpdateBatch> again;
  anonymous.pc->WaitForUpdates(anonymous.version, Session::Wait(0).get(), again);
  EXPECT_EQ(service.GetStats().watches, 1u);
}
