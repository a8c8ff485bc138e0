// The query service through the generated stubs, HttpAdapter and HttpServer over loopback:
// each client is a session of its own with its own collector behind the one root reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "OverHttp.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/UserSession.h"

using namespace tarn_query_test;
using namespace std::chrono_literals;

namespace {

// One HTTP session watching the memory of one VM, past its first (full) answer.
struct Session {
  Session(std::string const& url, MoRef* root, MoRef* vm)
      : pc(Quill::CreateStub<Quill::Query::PropertyCollectorStub>(root, HttpClient(url).get())) {
    Ref<MoRef> watch;
    pc->CreateWatch(TreeSpec(vm, {Select("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})}).get(), true, watch);
    version = Wait(pc.get(), "", 0, 0)->version;
  }
  Ref<Quill::Query::PropertyCollectorStub> pc;
  std::string version;
};

}  // namespace

TEST(QueryOverHttp, RetrieveAndWatchThroughTheRootCollector) {
  ServedOverHttp f;
  auto& inventory = *f.inventory;
  inventory.Build(2, 2, 50, 2);
  auto pc = f.HttpCollector();
  auto spec =
      TreeSpec(inventory.root->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})}, true);
  EXPECT_EQ(RetrieveAll(pc.get(), spec.get(), 150), VmValues(inventory));

  // a watch of this client's session; another client's session has none
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(spec.get(), true, watch);
  auto batch = Wait(pc.get(), "");
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->watches->size(), 1u);
  EXPECT_EQ((*batch->watches)[0]->objects->size(), inventory.vms.size());
  Ref<Quill::DataArray<MoRef>> watches;
  f.HttpCollector()->GetWatches(watches);
  EXPECT_TRUE(!watches || watches->size() == 0u);

  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);
    inventory.vms[7]->SetMemory(99999);
    f.adapter->NotifyChanged(inventory.vms[7]->_GetRef(), {"runtime"});
  });
  batch = Wait(pc.get(), batch->version);
  writer.join();
  EXPECT_EQ(ChangedMemory(batch.get()), 99999);
  EXPECT_EQ((*(*batch->watches)[0]->objects)[0]->obj->GetId(), inventory.vms[7]->_GetRef()->GetId());

  // a fault of the service reaches the client as its own class
  Ref<Quill::Query::ResultPage> page;
  EXPECT_THROW(pc->ContinueRetrieve("nothing", page), Quill::Query::InvalidToken::Exception);
}

TEST(QueryOverHttp, MoreHeldWaitsThanWorkersLeaveTheServerAnswering) {
  ServedOverHttp f([](auto& options) { options.workers = 2; });
  auto& inventory = *f.inventory;
  auto& service = *f.service;
  inventory.Build(1, 1, 4, 1);

  constexpr std::size_t kWaiters = 64;
  MoRef* vm = inventory.vms[1]->_GetRef();
  std::vector<std::unique_ptr<Session>> sessions;
  for (std::size_t i = 0; i < kWaiters; ++i) {
    sessions.push_back(std::make_unique<Session>(f.Url(), service.GetRootRef(), vm));
  }
  std::vector<std::string> outcome(kWaiters);
  std::vector<std::thread> waiters;
  for (std::size_t i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] { outcome[i] = WaitEnd(sessions[i]->pc.get(), sessions[i]->version); });
  }
  bool held = AwaitWaiting(service, kWaiters);
  EXPECT_TRUE(held) << service.GetStats().waiting << " waits held";

  // With every worker's worth of waits held, other sessions' calls are still carried out.
  Session other(f.Url(), service.GetRootRef(), inventory.vms[0]->_GetRef());
  auto spec = TreeSpec(inventory.root->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true);
  EXPECT_EQ(RetrieveAll(other.pc.get(), spec.get(), 100).size(), inventory.vms.size());

  inventory.vms[1]->SetMemory(4242);
  f.adapter->NotifyChanged(vm, {"runtime"});
  for (auto& t : waiters) t.join();
  for (std::size_t i = 0; i < kWaiters; ++i) EXPECT_EQ(outcome[i], "answered 4242") << "waiter " << i;
  // A client may read its answer before the server has counted the call done.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (f.server->GetStats().callsInFlight != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(f.server->GetStats().callsInFlight, 0u);
}

// Stop with waits held: stopping the service first answers them (RequestCanceled) within the
// server's grace; stopping the server first closes their connections after the grace, and the
// service's later answers to those calls go nowhere (the server is gone by then).
TEST(QueryOverHttp, StopWithWaitsHeld) {
  for (bool serviceFirst : {true, false}) {
    SCOPED_TRACE(serviceFirst ? "service first" : "server first");
    ServedOverHttp f([](auto& options) { options.workers = 1; });
    auto [inventory, service, server] = std::tie(*f.inventory, f.service, f.server);
    inventory.Build(1, 1, 2, 1);

    constexpr std::size_t kWaiters = 6;
    std::vector<std::unique_ptr<Session>> sessions;
    for (std::size_t i = 0; i < kWaiters; ++i) {
      sessions.push_back(std::make_unique<Session>(f.Url(), service->GetRootRef(), inventory.vms[0]->_GetRef()));
    }
    std::vector<std::string> outcome(kWaiters);
    std::vector<std::thread> waiters;
    for (std::size_t i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&, i] { outcome[i] = WaitEnd(sessions[i]->pc.get(), sessions[i]->version); });
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
    for (auto const& o : outcome) {
      EXPECT_EQ(o == "canceled", serviceFirst) << o;
      EXPECT_NE(o.rfind("answered", 0), 0u) << o;
    }
    EXPECT_EQ(service->GetStats().waiting, 0u);
    server.reset();
    service.reset();
  }
}

// A session the server drops while its wait is held (here: idle expiry, seen at another
// session's call) ends, and with it the wait.
TEST(QueryOverHttp, SessionExpiryEndsAHeldWait) {
  ServedOverHttp f([](auto& options) { options.sessionIdleTimeout = 200ms; });
  auto [inventory, service] = std::tie(*f.inventory, *f.service);
  inventory.Build(1, 1, 2, 1);

  Session waiting(f.Url(), service.GetRootRef(), inventory.vms[0]->_GetRef());
  std::string outcome;
  std::thread waiter([&] { outcome = WaitEnd(waiting.pc.get(), waiting.version); });
  ASSERT_TRUE(AwaitWaiting(service, 1));
  std::this_thread::sleep_for(300ms);  // past the idle timeout
  Session other(f.Url(), service.GetRootRef(), inventory.vms[1]->_GetRef());
  waiter.join();
  EXPECT_EQ(outcome, "canceled");
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
  ServedOverHttp f;
  auto [inventory, service, adapter] = std::tie(*f.inventory, *f.service, f.adapter);
  inventory.Build(1, 1, 2, 1);
  Ref<MoRef> smRef(new MoRef("tarn.SessionManager", "SessionManager"));
  adapter->Register(smRef.get(), new Logins(smRef.get()));

  auto client = HttpClient(f.Url());
  auto sessions = Quill::CreateStub<Tarn::SessionManagerStub>(smRef.get(), client.get());
  Ref<Tarn::UserSession> user;
  sessions->Login("ann", "secret", Basalt::Optional<std::string>(), user);
  auto pc = Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service.GetRootRef(), client.get());
  Ref<MoRef> watch;
  pc->CreateWatch(TreeSpec(inventory.vms[0]->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}).get(), true, watch);
  auto batch = Wait(pc.get(), "", 0, 0);
  ASSERT_TRUE(batch);

  Session anonymous(f.Url(), service.GetRootRef(), inventory.vms[1]->_GetRef());
  ASSERT_EQ(f.server->GetStats().sessions, 2u);
  ASSERT_EQ(service.GetStats().watches, 2u);

  std::string outcome;
  std::thread waiter([&] { outcome = WaitEnd(pc.get(), batch->version); });
  ASSERT_TRUE(AwaitWaiting(service, 1));
  sessions->Logout();
  waiter.join();
  EXPECT_EQ(outcome, "canceled");
  EXPECT_EQ(f.server->GetStats().sessions, 1u) << "the anonymous session stays";
  EXPECT_EQ(service.GetStats().watches, 1u);
  EXPECT_EQ(service.GetStats().sessions, 1u);
  EXPECT_FALSE(adapter->Find(watch.get())) << "the logged-out session's watch is unregistered";

  // The same client, logged out, is a new session: no watch of the old one.
  Ref<Quill::DataArray<MoRef>> watches;
  pc->GetWatches(watches);
  EXPECT_TRUE(!watches || watches->size() == 0u);
  // The anonymous session's watch still answers.
  Wait(anonymous.pc.get(), anonymous.version, 0, 0);
  EXPECT_EQ(service.GetStats().watches, 1u);
}
