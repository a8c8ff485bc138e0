// One server connection on its own: a loopback socket pair, a host that counts what the
// connection asks of it, and a router of a few handlers. What the whole-server tests cannot
// see from outside: that pipelined requests wait for the answer before them (also one
// answered later from another thread), what the connection gives back to its host, and
// how it ends in each way.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <mutex>
#include <thread>
#include <vector>

#include "Connection.h"
#include "RawHttp.h"

namespace {

using namespace std::chrono_literals;
using namespace tarn_http_test;
namespace parts = Quill::HttpServerParts;
using Conn = parts::Connection<parts::PlainStream>;

class Host : public parts::ConnectionHost {
 public:
  explicit Host(std::chrono::milliseconds readTimeout = 5s, std::uint64_t bodyBudget = 1 << 20,
                std::chrono::milliseconds writeTimeout = 5s)
      : limits{4096, 2048, readTimeout, writeTimeout, "conn-test"}, budget(bodyBudget) {
    // Echoes the target and the body.
    router.Add({"/echo", false, {http::verb::get, http::verb::post}, "", [this](parts::Exchange& ex, std::string_view) {
                  ++routed;
                  auto& req = ex.GetRequest();
                  ex.Send(parts::TextResponse(
                      http::status::ok, std::string(req.target()) + ":" + std::string(req.body()), req.version()));
                }});
    // An answer larger than the sockets' buffers on both ends take (the client's is made small).
    router.Add({"/big", false, {http::verb::get}, "", [](parts::Exchange& ex, std::string_view) {
                  ex.Send(parts::TextResponse(http::status::ok, std::string(32u << 20, 'x'), 11));
                }});
    // A call, answered only when the test says so, from the test's thread.
    router.Add({"/call", false, {http::verb::post}, "", [this](parts::Exchange& ex, std::string_view) {
                  ++routed;
                  if (!ex.BeginCall()) {
                    return ex.Send(parts::TextResponse(http::status::service_unavailable, "busy", 11));
                  }
                  std::lock_guard lock(mutex);
                  heldBody = ex.TakeBodyShare();
                  sinks.push_back(ex.CallSink());
                }});
  }

  // A call never answered lets its connection go while the host is whole.
  ~Host() override { std::exchange(sinks, {}).clear(); }

  Limits const& GetLimits() const override { return limits; }
  parts::ServerCounters& GetCounters() override { return counters; }
  parts::BodyBudget& GetBodyBudget() override { return budget; }
  parts::Router const& GetRouter() const override { return router; }
  bool IsStopping() const override { return false; }
  bool EnterCall() override {
    if (inFlight >= roomForCalls) return false;
    ++inFlight;
    return true;
  }
  void LeaveCall() override { --inFlight; }
  void RemoveConnection(std::uint64_t id) override {
    std::lock_guard lock(mutex);
    removed.push_back(id);
  }

  // Answers the oldest held call.
  void Answer(std::string body) {
    parts::AnswerSink sink;
    {
      std::lock_guard lock(mutex);
      ASSERT_FALSE(sinks.empty());
      sink = std::move(sinks.front());
      sinks.erase(sinks.begin());
      heldBody.reset();
    }
    sink(parts::Answer{http::status::ok, std::move(body), {}, {}});
  }
  std::size_t Held() {
    std::lock_guard lock(mutex);
    return sinks.size();
  }
  // The ids the connection said goodbye with, once it has (bounded wait).
  std::vector<std::uint64_t> Removed() {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard lock(mutex);
        if (!removed.empty()) return removed;
      }
      std::this_thread::sleep_for(2ms);
    }
    return {};
  }

  Limits limits;
  parts::ServerCounters counters;
  parts::BodyBudget budget;
  parts::Router router;
  std::atomic<int> routed{0}, inFlight{0};
  int roomForCalls = 1;
  std::mutex mutex;
  std::vector<parts::AnswerSink> sinks;
  std::shared_ptr<void> heldBody;
  std::vector<std::uint64_t> removed;
};

// A connection to `host` served on its own I/O thread, and the client's end of it.
struct Pair {
  explicit Pair(Host& host) {
    tcp::acceptor acceptor(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    client = std::make_unique<RawConnection>(acceptor.local_endpoint().port(), 5s);
    parts::StrandSocket socket(net::make_strand(io));
    acceptor.accept(socket);
    conn = std::make_shared<Conn>(host, std::move(socket), nullptr, false);
    conn->Run(7);
    thread = std::thread([this] { io.run(); });
  }
  ~Pair() {
    conn->RequestClose();
    conn.reset();
    work.reset();
    thread.join();
  }

  net::io_context io;
  // A held call leaves the connection nothing to wait for; its answer must still find the thread.
  net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
  std::unique_ptr<RawConnection> client;
  std::shared_ptr<Conn> conn;
  std::thread thread;
};

TEST(ServerConnection, PipelinedRequestsAnsweredInOrderUntilOneAsksToClose) {
  Host host;
  Pair p(host);
  ASSERT_TRUE(p.client->SendRaw("GET /echo?a HTTP/1.1\r\nHost: x\r\n\r\n" + Post("/echo?b", "body-b") +
                                "GET /echo?c HTTP/1.1\r\nHost: x\r\n\r\n"));
  for (char const* want : {"/echo?a:", "/echo?b:body-b", "/echo?c:"}) {
    Reply r = p.client->Read();
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, want);
    EXPECT_TRUE(r.keepAlive);
    EXPECT_EQ(r.fields[http::field::server], "conn-test");
  }
  EXPECT_EQ(host.budget.Held(), 0u) << "an answered body still holds its share";

  // A request arriving in pieces is read whole.
  for (std::string piece : {"POST /echo?d HTTP/1.1\r\nHo", "st: x\r\nContent-Length: 6\r\n\r\nbod", "y-d"}) {
    ASSERT_TRUE(p.client->SendRaw(piece));
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(p.client->Read().body, "/echo?d:body-d");

  ASSERT_TRUE(p.client->SendRaw(Post("/echo?e", "", "Connection: close\r\n")));
  Reply last = p.client->Read();
  EXPECT_EQ(last.body, "/echo?e:");
  EXPECT_FALSE(last.keepAlive);
  EXPECT_TRUE(p.client->ClosedByServer());
  EXPECT_EQ(host.routed.load(), 5);
  EXPECT_EQ(host.Removed(), std::vector<std::uint64_t>{7});
  EXPECT_EQ(host.counters.r400.load() + host.counters.r408.load(), 0u);
}

TEST(ServerConnection, ACallHoldsBackTheNextRequestUntilItsAnswerLeaves) {
  Host host;
  Pair p(host);
  ASSERT_TRUE(p.client->SendRaw(Post("/call", "first") + Post("/echo?after", "") + Post("/call", "second")));
  for (int i = 0; i < 500 && host.Held() == 0; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(host.Held(), 1u);
  EXPECT_EQ(host.budget.Held(), 5u) << "the call's body keeps its share while the call holds it";
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(host.routed.load(), 1) << "the request behind the call was read before the call was answered";

  host.Answer("<answer/>");  // from this thread, not the connection's
  Reply first = p.client->Read();
  EXPECT_EQ(first.status, 200) << first.error;
  EXPECT_EQ(first.body, "<answer/>");
  EXPECT_EQ(first.fields[http::field::content_type], "text/xml; charset=utf-8");
  EXPECT_TRUE(first.keepAlive);
  EXPECT_EQ(p.client->Read().body, "/echo?after:");
  for (int i = 0; i < 500 && host.Held() == 0; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(host.Held(), 1u);
  EXPECT_EQ(host.inFlight.load(), 1);

  // A stop asked while a call is held: the call is answered, then the connection ends.
  p.conn->RequestClose();
  host.Answer("<last/>");
  Reply last = p.client->Read();
  EXPECT_EQ(last.body, "<last/>");
  EXPECT_FALSE(last.keepAlive);
  EXPECT_TRUE(p.client->ClosedByServer());
  EXPECT_EQ(host.Removed(), std::vector<std::uint64_t>{7});
  EXPECT_EQ(host.inFlight.load(), 0) << "each call's end is given back once";
  EXPECT_EQ(host.budget.Held(), 0u);
}

TEST(ServerConnection, NoRoomForACallIsAnsweredAndTheConnectionStays) {
  Host host;
  host.roomForCalls = 0;
  Pair p(host);
  Reply r = p.client->Request(http::verb::post, "/call", "x");
  EXPECT_EQ(r.status, 503);
  EXPECT_TRUE(r.keepAlive);
  EXPECT_EQ(p.client->Request(http::verb::get, "/echo?next").body, "/echo?next:");
  EXPECT_EQ(host.inFlight.load(), 0);
}

// How a connection ends when its client does not finish: each case on a connection of its
// own, with the status it answers (0: none) and the counter that counts it.
TEST(ServerConnection, EndsWithTheStatusOfWhatWentWrong) {
  struct Ending {
    char const* name;
    std::string send;
    int status;
    std::atomic<std::uint64_t> parts::ServerCounters::*counter;
    std::uint64_t bodyBudget = 1 << 20;
  };
  Ending const endings[] = {
      // Silent after an answer: closed without another.
      {"idle", "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n", 0, nullptr},
      // The next request began in the same packet as the last one: it is under way.
      {"pipelined and cut short", "GET /echo HTTP/1.1\r\nHost: x\r\n\r\nGET /echo HTTP/1.1\r\nHo", 408,
       &parts::ServerCounters::r408},
      {"cut short", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc", 408,
       &parts::ServerCounters::r408},
      {"body over the limit", Post("/echo", std::string(5000, 'b')), 413, &parts::ServerCounters::r413},
      {"header over the limit", "GET /echo HTTP/1.1\r\nX: " + std::string(3000, 'h') + "\r\n\r\n", 431,
       &parts::ServerCounters::r431},
      {"no room in the body budget", Post("/echo", std::string(200, 'b')), 503, &parts::ServerCounters::r503body, 100},
      {"not HTTP", "HELLO\x01 / HTTP/9\r\n\r\n", 400, &parts::ServerCounters::r400},
  };
  for (Ending const& e : endings) {
    SCOPED_TRACE(e.name);
    Host host(300ms, e.bodyBudget);
    Pair p(host);
    ASSERT_TRUE(p.client->SendRaw(e.send));
    Reply r = p.client->Read();
    if (r.status == 200) r = p.client->Read();  // the answer to the complete request before
    EXPECT_EQ(r.status, e.status) << r.error;
    if (e.status == 503) {
      EXPECT_EQ(r.fields[http::field::retry_after], "1");
    }
    if (e.status) {
      EXPECT_TRUE(p.client->ClosedByServer());
      EXPECT_EQ((host.counters.*e.counter).load(), 1u);
    } else {
      EXPECT_EQ(host.counters.r408.load(), 0u);
    }
    EXPECT_EQ(host.Removed(), std::vector<std::uint64_t>{7});
    EXPECT_EQ(host.budget.Held(), 0u);
  }
}

// The read timeout bounds each request, not the connection: requests that each come well
// within it keep a connection open for several times its length.
TEST(ServerConnection, AKeepAliveConnectionOutlivesItsReadTimeoutRequestByRequest) {
  Host host(1s);
  Pair p(host);
  for (int i = 0; i < 10; ++i) {
    Reply r = p.client->Request(http::verb::get, "/echo?" + std::to_string(i));
    ASSERT_EQ(r.status, 200) << "request " << i << ": " << r.error;
    EXPECT_TRUE(r.keepAlive);
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_EQ(host.routed.load(), 10);
}

// A client that asks and then reads nothing: the answer cannot leave, and the connection ends
// at its write timeout, though every request before it was answered in time.
TEST(ServerConnection, AnAnswerTheClientDoesNotReadEndsAtTheWriteTimeout) {
  Host host(5s, 1 << 20, 300ms);
  Pair p(host);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(p.client->Request(http::verb::get, "/echo").status, 200);
  p.client->Stream().socket().set_option(boost::asio::socket_base::receive_buffer_size(64 << 10));
  ASSERT_TRUE(p.client->SendRaw("GET /big HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::vector<std::uint64_t> removed;
  for (int i = 0; i < 20 && removed.empty(); ++i) removed = host.Removed();  // a busy machine is slow to fill buffers
  EXPECT_EQ(removed, std::vector<std::uint64_t>{7});
  EXPECT_EQ(host.counters.r408.load(), 0u) << "a write timeout is not a read timeout";
}

}  // namespace
