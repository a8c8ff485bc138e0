// The HTTP exchange under the client adapter, against loopback servers that
// answer well, badly or not at all.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <set>

#include "LoopbackServer.h"
#include "Transport.h"
#include "quill/Faults.h"
#include "quill/http/HttpAdapter.h"

namespace {

using namespace std::chrono_literals;
using Quill::Http::Detail::AsyncTransfer;
using Quill::Http::Detail::Reply;
using Quill::Http::Detail::Transport;
using Quill::Http::Detail::TransportConfig;
using TestNet::Clock;
using TestNet::Connection;
using TestNet::LoopbackServer;

constexpr char kRequest[] = "<Envelope>request</Envelope>";
constexpr std::size_t kRequestSize = sizeof kRequest - 1;

TransportConfig Config(std::string url) {
  TransportConfig c;
  c.url = std::move(url);
  c.soapAction = "\"urn:tarn25/8.0.0.1\"";
  c.connectTimeout = 2000ms;
  c.callTimeout = 3000ms;
  return c;
}

// Answers every request on the connection with 200 and "<ok n=…/>", keeping
// the connection open; records each request's head.
struct GoodServer {
  std::mutex mutex;
  std::vector<std::string> heads;
  std::string extraHeaders;
  std::string padding;  // appended to each answer's body
  std::atomic<int> answered{0};
  std::chrono::milliseconds delay{0};
  LoopbackServer server{[this](Connection& c) {
    std::string head;
    while (c.ReadHead(head) && c.ReadBody(kRequestSize)) {
      {
        std::lock_guard lock(mutex);
        heads.push_back(head);
      }
      if (delay.count() && !c.Sleep(delay)) return;
      int n = answered.fetch_add(1) + 1;
      std::string body;
      {
        std::lock_guard lock(mutex);
        body = "<ok n=\"" + std::to_string(n) + "\"/>" + padding;
      }
      if (!c.Write(TestNet::Response(200, body, extraHeaders))) return;
    }
  }};
};

// Runs `call` and returns what it threw, by value, or null.
template <class F>
std::unique_ptr<Basalt::Exception> Thrown(F&& call) {
  try {
    call();
  } catch (Basalt::Exception const& e) {
    return std::unique_ptr<Basalt::Exception>(e.Clone());
  }
  return nullptr;
}

TEST(HttpTransport, SequentialCallsShareOneConnectionAndSendTheProtocolHeaders) {
  GoodServer good;
  Transport transport(Config(good.server.Url()));
  for (int i = 1; i <= 20; ++i) {
    Reply reply;
    transport.Post(kRequest, reply);
    ASSERT_EQ(reply.status, 200);
    ASSERT_EQ(reply.body, "<ok n=\"" + std::to_string(i) + "\"/>");
  }
  EXPECT_EQ(good.server.Accepted(), 1);
  EXPECT_EQ(transport.GetConnectCount(), 1u);

  std::lock_guard lock(good.mutex);
  ASSERT_EQ(good.heads.size(), 20u);
  std::string const& head = good.heads[0];
  EXPECT_EQ(head.rfind("POST /sdk HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nContent-Type: text/xml; charset=utf-8\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nSOAPAction: \"urn:tarn25/8.0.0.1\"\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(kRequestSize) + "\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Expect:"), std::string::npos) << head;
}

TEST(HttpTransport, AConnectionKeepsItsBuffersFromCallToCallButNotAnOversizedOne) {
  GoodServer good;
  good.padding = std::string(1000, ' ');
  Transport transport(Config(good.server.Url()));
  std::unique_ptr<Quill::Http::Detail::Connection> c = transport.Take();
  c->request = kRequest;
  transport.Perform(*c);
  ASSERT_EQ(c->reply.status, 200);
  char const* room = c->reply.body.data();
  transport.GiveBack(std::move(c));

  c = transport.Take();
  ASSERT_EQ(c->request, kRequest) << "the same connection, its buffers as they were left";
  transport.Perform(*c);
  EXPECT_EQ(c->reply.body.rfind("<ok n=\"2\"/>", 0), 0u);
  EXPECT_EQ(c->reply.body.data(), room) << "an answer of the same size needs no new room";
  EXPECT_EQ(transport.GetConnectCount(), 1u);

  {
    std::lock_guard lock(good.mutex);
    good.padding = std::string(300 << 10, ' ');
  }
  transport.Perform(*c);
  EXPECT_GE(c->reply.body.capacity(), 300u << 10);
  transport.GiveBack(std::move(c));
  c = transport.Take();
  EXPECT_LT(c->reply.body.capacity(), 256u << 10) << "an idle connection does not keep a large answer's room";

  // Once stopped: refused, and nothing of an earlier answer is left to be read as this one's.
  transport.Stop();
  auto e = Thrown([&] { transport.Perform(*c); });
  EXPECT_TRUE(dynamic_cast<Quill::Fault::RequestCanceled::Exception*>(e.get()));
  EXPECT_EQ(c->reply.status, 0);
  EXPECT_TRUE(c->reply.body.empty());
  transport.GiveBack(std::move(c));
}

TEST(HttpTransport, TheSessionCookieIsKeptAndSentBySyncAndAsyncCalls) {
  GoodServer good;
  good.extraHeaders = "Set-Cookie: tarn_session=s-4711; Path=/; HttpOnly\r\n";
  Transport transport(Config(good.server.Url()));
  EXPECT_EQ(transport.GetCookie("tarn_session"), "");
  Reply reply;
  transport.Post(kRequest, reply);
  EXPECT_EQ(transport.GetCookie("tarn_session"), "s-4711");
  good.extraHeaders.clear();  // set once; sent from now on
  transport.Post(kRequest, reply);

  auto t = std::make_shared<AsyncTransfer>();
  t->request = kRequest;
  std::promise<void> done;
  t->done = [&](AsyncTransfer&) { done.set_value(); };
  transport.Start(t);
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  ASSERT_EQ(t->outcome, AsyncTransfer::Outcome::Answered);

  {
    std::lock_guard lock(good.mutex);
    ASSERT_EQ(good.heads.size(), 3u);
    EXPECT_EQ(good.heads[0].find("Cookie:"), std::string::npos);
    EXPECT_NE(good.heads[1].find("\r\nCookie: tarn_session=s-4711\r\n"), std::string::npos) << good.heads[1];
    EXPECT_NE(good.heads[2].find("\r\nCookie: tarn_session=s-4711\r\n"), std::string::npos) << good.heads[2];
  }
  transport.ClearCookies();
  EXPECT_EQ(transport.GetCookie("tarn_session"), "");
  transport.Post(kRequest, reply);
  std::lock_guard lock(good.mutex);
  EXPECT_EQ(good.heads.back().find("Cookie:"), std::string::npos);
}

TEST(HttpTransport, TheConfiguredCookieNameAndUserAgentAreTheOnesSent) {
  GoodServer good;
  TransportConfig config = Config(good.server.Url());
  config.sessionCookieName = "sid";
  config.sessionCookie = "continued-1";
  config.userAgent = "probe/2";
  Transport transport(config);
  EXPECT_EQ(transport.GetCookie("sid"), "continued-1");
  Reply reply;
  transport.Post(kRequest, reply);
  good.extraHeaders = "Set-Cookie: sid=renewed-2; Path=/\r\n";
  transport.Post(kRequest, reply);
  transport.Post(kRequest, reply);
  EXPECT_EQ(transport.GetCookie("sid"), "renewed-2");
  std::lock_guard lock(good.mutex);
  ASSERT_EQ(good.heads.size(), 3u);
  EXPECT_NE(good.heads[0].find("\r\nCookie: sid=continued-1\r\n"), std::string::npos) << good.heads[0];
  EXPECT_NE(good.heads[0].find("\r\nUser-Agent: probe/2\r\n"), std::string::npos) << good.heads[0];
  EXPECT_NE(good.heads[2].find("\r\nCookie: sid=renewed-2\r\n"), std::string::npos) << good.heads[2];
}

// Each misbehaviour: its fault class, a base that catches it too, the URL in
// the message, and no wait longer than the limits allow.
TEST(HttpTransport, NetworkFaultsAreTheirOwnClassesWithUrlAndReason) {
  struct Case {
    char const* name;
    LoopbackServer::Behaviour behaviour;
    bool listen;
    std::size_t maxResponse;
    std::function<bool(Basalt::Exception const*)> isExpected;
    char const* reasonPart;
  };
  auto is = [](auto* sample) {
    using T = std::remove_pointer_t<decltype(sample)>;
    return [](Basalt::Exception const* e) { return dynamic_cast<T const*>(e) != nullptr; };
  };
  std::vector<Case> cases = {
      {"not listening", [](Connection&) {}, false, 1 << 20, is((Quill::Http::ConnectFailed*)nullptr), "cannot connect"},
      {"closes mid-response",
       [](Connection& c) {
         std::string head;
         if (c.ReadHead(head) && c.ReadBody(kRequestSize)) {
           c.Write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<partial");
         }
       },
       true, 1 << 20, is((Quill::Http::BadResponse*)nullptr), "cut short"},
      {"closes without answering",
       [](Connection& c) {
         std::string head;
         c.ReadHead(head);
       },
       true, 1 << 20, is((Quill::Http::BadResponse*)nullptr), "without answering"},
      {"answers garbage",
       [](Connection& c) {
         std::string head;
         if (c.ReadHead(head)) c.Write("\x01\x02 this is not HTTP at all\r\n\r\n");
       },
       true, 1 << 20, is((Quill::Http::BadResponse*)nullptr), "not an HTTP response"},
      {"oversized, announced",
       [](Connection& c) {
         std::string head;
         if (c.ReadHead(head) && c.ReadBody(kRequestSize)) c.Write(TestNet::Response(200, std::string(5000, 'x')));
       },
       true, 1000, is((Quill::Http::BadResponse*)nullptr), "larger than maxResponseBytes (1000)"},
      {"oversized, unannounced",
       [](Connection& c) {
         std::string head;
         if (c.ReadHead(head) && c.ReadBody(kRequestSize)) {
           c.Write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(50000, 'x'));
         }
       },
       true, 1000, is((Quill::Http::BadResponse*)nullptr), "larger than maxResponseBytes (1000)"},
      {"slower than the timeout",
       [](Connection& c) {
         std::string head;
         if (c.ReadHead(head) && c.ReadBody(kRequestSize) && c.Sleep(3000ms)) c.Write(TestNet::Response(200, "late"));
       },
       true, 1 << 20, is((Quill::Http::TimedOut*)nullptr), "timed out"},
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.name);
    LoopbackServer server(k.behaviour, k.listen);
    TransportConfig config = Config(server.Url());
    config.callTimeout = 300ms;
    config.maxResponseBytes = k.maxResponse;
    Transport transport(config);
    Reply reply;
    auto error = Thrown([&] { transport.Post(kRequest, reply); });
    ASSERT_TRUE(error);
    Basalt::Exception const& thrown = *error;
    EXPECT_TRUE(k.isExpected(error.get())) << Basalt::Demangle(typeid(thrown)) << ": " << error->what();
    EXPECT_TRUE(dynamic_cast<Quill::Fault::SystemError::Exception*>(error.get()));
    auto* transportError = dynamic_cast<Quill::Http::TransportError*>(error.get());
    ASSERT_TRUE(transportError);
    EXPECT_EQ(transportError->GetUrl(), server.Url());
    std::string what = error->what();
    EXPECT_EQ(what.rfind(server.Url() + ": ", 0), 0u) << what;
    EXPECT_NE(what.find(k.reasonPart), std::string::npos) << what;
    // The fault object carries the same reason for whoever only sees the fault.
    auto* fault = static_cast<Quill::Fault::SystemError*>(transportError->GetFault());
    EXPECT_EQ(fault->reason, what);
    // Rethrown as its own class, also from a copy.
    std::unique_ptr<Basalt::Exception> copy(error->Clone());
    auto again = Thrown([&] { copy->Throw(); });
    ASSERT_TRUE(again);
    Basalt::Exception const& rethrown = *again;
    EXPECT_EQ(typeid(rethrown), typeid(thrown));

    // The same misbehaviour seen by an async transfer.
    auto t = std::make_shared<AsyncTransfer>();
    t->request = kRequest;
    std::promise<void> done;
    std::atomic<int> calls{0};
    t->done = [&](AsyncTransfer&) {
      if (calls.fetch_add(1) == 0) done.set_value();
    };
    transport.Start(t);
    ASSERT_EQ(done.get_future().wait_for(3s), std::future_status::ready);
    EXPECT_EQ(t->outcome, AsyncTransfer::Outcome::Failed);
    ASSERT_TRUE(t->error);
    Basalt::Exception const& delivered = *t->error;
    EXPECT_EQ(typeid(delivered), typeid(thrown)) << t->error->what();
    transport.Stop();
    EXPECT_EQ(calls.load(), 1);
  }
}

TEST(HttpTransport, AsyncTransfersCompleteOnceEachOverFewConnections) {
  GoodServer good;
  good.delay = 5ms;
  TransportConfig config = Config(good.server.Url());
  config.maxAsyncConnections = 4;
  Transport transport(config);
  constexpr int kCalls = 200;
  std::vector<std::shared_ptr<AsyncTransfer>> transfers;
  std::vector<std::atomic<int>> deliveries(kCalls);
  std::atomic<int> finished{0};
  for (int i = 0; i < kCalls; ++i) {
    auto t = std::make_shared<AsyncTransfer>();
    t->request = kRequest;
    t->done = [&, i](AsyncTransfer&) {
      deliveries[i].fetch_add(1);
      finished.fetch_add(1);
    };
    transfers.push_back(t);
    transport.Start(t);
  }
  auto deadline = Clock::now() + 10s;
  while (finished.load() < kCalls && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(finished.load(), kCalls);
  std::set<std::string> bodies;
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(deliveries[i].load(), 1) << i;
    EXPECT_EQ(transfers[i]->outcome, AsyncTransfer::Outcome::Answered);
    EXPECT_EQ(transfers[i]->reply.status, 200);
    bodies.insert(transfers[i]->reply.body);
    EXPECT_FALSE(transport.Cancel(transfers[i])) << "answered calls cannot be cancelled";
  }
  EXPECT_EQ(bodies.size(), static_cast<std::size_t>(kCalls)) << "each transfer got its own answer";
  EXPECT_LE(good.server.Accepted(), 4);
  EXPECT_EQ(transport.GetConnectCount(), static_cast<std::uint64_t>(good.server.Accepted()));
}

// A server that holds every request until the test lets it go.
struct HoldingServer {
  std::atomic<int> received{0};
  std::atomic<bool> release{false};
  LoopbackServer server{[this](Connection& c) {
    std::string head;
    while (c.ReadHead(head) && c.ReadBody(kRequestSize)) {
      received.fetch_add(1);
      while (!release.load()) {
        if (!c.Sleep(5ms)) return;
      }
      if (!c.Write(TestNet::Response(200, "<late/>"))) return;
    }
  }};
};

TEST(HttpTransport, CancelAbortsQueuedAndInFlightTransfersOnce) {
  HoldingServer holding;
  TransportConfig config = Config(holding.server.Url());
  config.maxAsyncConnections = 2;  // two in flight, the others queued in curl
  Transport transport(config);
  constexpr int kCalls = 10;
  std::vector<std::shared_ptr<AsyncTransfer>> transfers;
  std::vector<std::atomic<int>> deliveries(kCalls);
  for (int i = 0; i < kCalls; ++i) {
    auto t = std::make_shared<AsyncTransfer>();
    t->request = kRequest;
    t->done = [&, i](AsyncTransfer&) { deliveries[i].fetch_add(1); };
    transfers.push_back(t);
    transport.Start(t);
  }
  auto deadline = Clock::now() + 5s;
  while (holding.received.load() < 2 && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(holding.received.load(), 2);
  for (auto& t : transfers) EXPECT_TRUE(transport.Cancel(t));
  for (auto& t : transfers) EXPECT_FALSE(transport.Cancel(t)) << "a second cancel finds it cancelled";
  deadline = Clock::now() + 5s;
  auto allDelivered = [&] {
    for (auto& d : deliveries) {
      if (d.load() == 0) return false;
    }
    return true;
  };
  while (!allDelivered() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(deliveries[i].load(), 1) << i;
    EXPECT_EQ(transfers[i]->outcome, AsyncTransfer::Outcome::Canceled);
    EXPECT_TRUE(dynamic_cast<Quill::Fault::RequestCanceled::Exception*>(transfers[i]->error.get()));
  }
  holding.release.store(true);
  // The adapter goes on working after cancellations.
  Reply reply;
  transport.Post(kRequest, reply);
  EXPECT_EQ(reply.body, "<late/>");
}

TEST(HttpTransport, StopCancelsEveryPendingTransferAndAbortsSyncCalls) {
  HoldingServer holding;
  Transport transport(Config(holding.server.Url()));
  constexpr int kCalls = 100;
  std::vector<std::shared_ptr<AsyncTransfer>> transfers;
  std::vector<std::atomic<int>> deliveries(kCalls);
  for (int i = 0; i < kCalls; ++i) {
    auto t = std::make_shared<AsyncTransfer>();
    t->request = kRequest;
    t->done = [&, i](AsyncTransfer&) { deliveries[i].fetch_add(1); };
    transfers.push_back(t);
    transport.Start(t);
  }
  auto sync = std::async(std::launch::async, [&] {
    Reply reply;
    return Thrown([&] { transport.Post(kRequest, reply); });
  });
  auto deadline = Clock::now() + 5s;
  while (holding.received.load() < 17 && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(holding.received.load(), 17) << "16 async connections and the sync one";
  transport.Stop();
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(deliveries[i].load(), 1) << i;
    EXPECT_EQ(transfers[i]->outcome, AsyncTransfer::Outcome::Canceled);
  }
  ASSERT_EQ(sync.wait_for(3s), std::future_status::ready);
  auto error = sync.get();
  EXPECT_TRUE(dynamic_cast<Quill::Fault::RequestCanceled::Exception*>(error.get()))
      << (error ? error->what() : "no exception");

  auto late = std::make_shared<AsyncTransfer>();
  late->request = kRequest;
  EXPECT_THROW(transport.Start(late), Quill::Fault::RequestCanceled::Exception);
  Reply reply;
  EXPECT_THROW(transport.Post(kRequest, reply), Quill::Fault::RequestCanceled::Exception);
  transport.Stop();  // again: nothing happens
}

// The usual proxy variables are honoured: the request goes to the proxy,
// naming the server's URL in full.
TEST(HttpTransport, TheProxyComesFromTheEnvironment) {
  std::string seen;
  LoopbackServer proxy([&](Connection& c) {
    std::string head;
    if (c.ReadHead(head) && c.ReadBody(kRequestSize)) {
      seen = head;
      c.Write(TestNet::Response(200, "<via-proxy/>"));
    }
  });
  LoopbackServer nobody([](Connection&) {}, false);
  struct Restore {
    std::string name;
    std::optional<std::string> value;
    ~Restore() { value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str()); }
  };
  std::vector<Restore> saved;
  for (char const* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"}) {
    char const* v = std::getenv(name);
    saved.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
    ::unsetenv(name);
  }
  ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
  Transport transport(Config(nobody.Url()));
  Reply reply;
  transport.Post(kRequest, reply);
  EXPECT_EQ(reply.body, "<via-proxy/>");
  EXPECT_EQ(seen.rfind("POST " + nobody.Url() + " HTTP/1.1\r\n", 0), 0u) << seen;
  EXPECT_EQ(proxy.Accepted(), 1);
}

TEST(HttpTransport, UnusableSettingsAreRefusedUpFront) {
  struct Case {
    char const* name;
    std::function<void(TransportConfig&)> change;
    char const* property;
  };
  std::vector<Case> cases = {
      {"no URL", [](TransportConfig& c) { c.url.clear(); }, "url"},
      {"not a URL", [](TransportConfig& c) { c.url = "http://[::1"; }, "url"},
      {"other scheme", [](TransportConfig& c) { c.url = "ftp://127.0.0.1/sdk"; }, "url"},
      {"short thumbprint", [](TransportConfig& c) { c.pinnedCertificateSha256 = "AB:CD"; }, "pinnedCertificateSha256"},
      {"not hex", [](TransportConfig& c) { c.pinnedCertificateSha256 = std::string(64, 'g'); },
       "pinnedCertificateSha256"},
      {"missing CA file", [](TransportConfig& c) { c.caFile = "/nonexistent/ca.pem"; }, "caFile"},
      {"no response room", [](TransportConfig& c) { c.maxResponseBytes = 0; }, "maxResponseBytes"},
      {"no cookie name", [](TransportConfig& c) { c.sessionCookieName.clear(); }, "sessionCookieName"},
      {"cookie name with '='", [](TransportConfig& c) { c.sessionCookieName = "a=b"; }, "sessionCookieName"},
      {"cookie name with a space", [](TransportConfig& c) { c.sessionCookieName = "a b"; }, "sessionCookieName"},
      {"user agent of two lines", [](TransportConfig& c) { c.userAgent = "a\r\nX-Evil: 1"; }, "userAgent"},
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.name);
    TransportConfig config = Config("https://127.0.0.1:1/sdk");
    k.change(config);
    try {
      Transport transport(config);
      ADD_FAILURE() << "accepted";
    } catch (Quill::Fault::InvalidArgument::Exception const& e) {
      auto* fault = static_cast<Quill::Fault::InvalidArgument*>(e.GetFault());
      ASSERT_TRUE(fault->invalidProperty);
      EXPECT_EQ((*fault->invalidProperty).GetString(), k.property);
    }
  }
  // Colons, spaces and either case are fine in a thumbprint.
  TransportConfig config = Config("https://127.0.0.1:1/sdk");
  std::string pin;
  for (int i = 0; i < 32; ++i) pin += (i ? ":" : "") + std::string(i % 2 ? "aB" : "09");
  config.pinnedCertificateSha256 = pin;
  EXPECT_NO_THROW(Transport{config});
}

}  // namespace
