// The HTTP server seen from a plain HTTP client: calls and faults through the
// codec, sessions, limits, TLS, the served WSDL files, many connections and a
// stop with calls in flight. Every socket is on loopback and every wait has a
// deadline.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "RawHttp.h"
#include "TestObjects.h"
#include "tarn/fault/TarnFault.h"

using namespace tarn_http_test;
using namespace std::chrono_literals;

namespace {

std::filesystem::path ScratchDir(char const* name) {
  auto dir =
      std::filesystem::temp_directory_path() / ("tarn-http-" + std::string(name) + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace

TEST(HttpServer, CallsResultsAndFaults) {
  Objects objects(/*requireLogin=*/false);
  Quill::HttpServer server(objects.adapter.get(), Loopback());
  ASSERT_NE(server.GetPort(), 0);
  EXPECT_EQ(server.GetUrl(), "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/sdk");
  RawConnection conn(server.GetPort());
  ASSERT_TRUE(conn.Connected()) << conn.Error();
  Names n;
  Quill::ManagedMethod* createFolder = Method("tarn.Folder", "createFolder");

  // A result, on one kept-alive connection for several calls.
  for (int i = 0; i < 3; ++i) {
    Reply raw;
    auto result = Call(conn, n.echo.get(), n.execute, Quill::Args(Words({"a", std::to_string(i)}).get()), {}, &raw);
    ASSERT_TRUE(result);
    EXPECT_EQ(Quill::Unbox<std::string>(result.get()), "a," + std::to_string(i));
    EXPECT_TRUE(raw.keepAlive);
    EXPECT_TRUE(raw.setCookie.empty()) << "a call that stores nothing needs no session";
  }
  // A property read.
  Quill::ManagedMethod* encoding = static_cast<Quill::ManagedObjectType*>(Quill::FindType("tarn.SimpleCommand"))
                                       ->FindProperty("encodingType")
                                       ->reader;
  auto enc = Call(conn, n.echo.get(), encoding, {});
  ASSERT_TRUE(enc);
  EXPECT_EQ(Quill::Unbox<Tarn::SimpleCommand::Encoding>(enc.get()), Tarn::SimpleCommand::Encoding::CSV);

  // A declared fault, by its own class, with its properties.
  Basalt::Ref<Quill::Any> first = Call(conn, n.root.get(), createFolder, Quill::Args(std::string("Production")));
  ASSERT_TRUE(first);
  try {
    Call(conn, n.root.get(), createFolder, Quill::Args(std::string("Production")));
    ADD_FAILURE() << "duplicate folder accepted";
  } catch (Tarn::Fault::DuplicateName::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
    EXPECT_EQ(fault->name, "Production");
    ASSERT_TRUE(fault->object);
    EXPECT_EQ(fault->object->GetId(), static_cast<Quill::MoRef*>(first.get())->GetId());
  }

  // The runtime's faults: raised by the implementation, by the adapter, and
  // made of an exception that is no fault.
  try {
    Call(conn, n.echo.get(), n.execute, Quill::Args(static_cast<Quill::Array<std::string>*>(nullptr)));
    ADD_FAILURE() << "no fault";
  } catch (Quill::Fault::InvalidArgument::Exception& e) {
    EXPECT_EQ(static_cast<Quill::Fault::InvalidArgument*>(e.GetFault())->invalidProperty->GetString(), "arguments");
  }
  Basalt::Ref<Quill::MoRef> missing(new Quill::MoRef("tarn.SimpleCommand", "nobody"));
  EXPECT_THROW(Call(conn, missing.get(), n.execute, Quill::Args(Words({"x"}).get())),
               Quill::Fault::ManagedObjectNotFound::Exception);
  try {
    Call(conn, n.echo.get(), n.execute, Quill::Args(Words({"crash"}).get()));
    ADD_FAILURE() << "no fault";
  } catch (Quill::Fault::SystemError::Exception& e) {
    EXPECT_NE(static_cast<Quill::Fault::SystemError*>(e.GetFault())->reason.find("cannot print 'crash'"),
              std::string::npos);
  }

  // A request the server cannot read is the client's fault.
  Reply garbage = conn.Request(http::verb::post, "/sdk", "<not-soap");
  EXPECT_EQ(garbage.status, 500);
  EXPECT_NE(garbage.body.find("soapenv:Client"), std::string::npos) << garbage.body;
  Basalt::Ref<Quill::Any> none;
  EXPECT_THROW(Quill::Wire::DecodeResponse(garbage.body, n.execute, none), Quill::Fault::InvalidRequest::Exception);
  // ...and the connection still serves calls after it.
  EXPECT_TRUE(Call(conn, n.echo.get(), n.execute, Quill::Args(Words({"still"}).get())));

  // Paths and methods that are not calls.
  EXPECT_EQ(conn.Request(http::verb::get, "/sdk").status, 405);
  EXPECT_EQ(conn.Request(http::verb::post, "/other").status, 404);
  EXPECT_EQ(conn.Request(http::verb::get, "/sdk/tarn.wsdl").status, 404) << "no WSDL directory given";

  auto stats = server.GetStats();
  EXPECT_GE(stats.callsAnswered, 11u);
  EXPECT_GE(stats.faults, 5u);
  EXPECT_EQ(stats.callsInFlight, 0u);
}

TEST(HttpServer, SessionsLoginAndExpiry) {
  Objects objects(/*requireLogin=*/true);
  auto options = Loopback();
  options.sessionIdleTimeout = 400ms;
  Quill::HttpServer server(objects.adapter.get(), options);
  RawConnection conn(server.GetPort());
  ASSERT_TRUE(conn.Connected());
  Names n;
  auto args = Quill::Args(Words({"hi"}).get());

  // Before login: refused by the checker, and nothing is kept.
  EXPECT_THROW(Call(conn, n.echo.get(), n.execute, args), Tarn::Fault::NotAuthenticated::Exception);
  EXPECT_THROW(Call(conn, n.echo.get(), n.execute, args, "tarn_session=0123456789abcdef0123456789abcdef"),
               Quill::Fault::SecurityError::Exception)
      << "an invented session id is no session";
  EXPECT_EQ(server.GetStats().sessions, 0u);
  EXPECT_EQ(objects.echo->executions, 0);

  // A failed login leaves no session either.
  Reply raw;
  EXPECT_THROW(Call(conn, n.sm.get(), n.login, Names::LoginAs("ann", "wrong"), {}, &raw),
               Tarn::Fault::InvalidLogin::Exception);
  EXPECT_TRUE(raw.setCookie.empty());

  // Login issues the cookie; with it calls pass, without it they do not.
  auto session = Call(conn, n.sm.get(), n.login, Names::LoginAs("ann"), {}, &raw);
  ASSERT_TRUE(session);
  EXPECT_EQ(static_cast<Tarn::UserSession*>(session.get())->userName, "ann");
  ASSERT_EQ(raw.setCookie.rfind("tarn_session=", 0), 0u) << raw.setCookie;
  EXPECT_NE(raw.setCookie.find("HttpOnly"), std::string::npos);
  EXPECT_EQ(raw.setCookie.find("Secure"), std::string::npos) << "not over plain HTTP";
  std::string cookie = CookieOf(raw.setCookie);
  EXPECT_EQ(cookie.size(), std::string("tarn_session=").size() + 32);
  EXPECT_EQ(server.GetStats().sessions, 1u);
  auto answer = Call(conn, n.echo.get(), n.execute, args, cookie, &raw);
  ASSERT_TRUE(answer);
  EXPECT_EQ(Quill::Unbox<std::string>(answer.get()), "hi");
  EXPECT_TRUE(raw.setCookie.empty()) << "a known session is not issued again";
  // Other cookies beside it do not hide it.
  EXPECT_TRUE(Call(conn, n.echo.get(), n.execute, args, "theme=dark; " + cookie + "; lang=en"));
  EXPECT_THROW(Call(conn, n.echo.get(), n.execute, args), Quill::Fault::SecurityError::Exception);

  // A second caller logs in to a session of its own.
  RawConnection other(server.GetPort());
  Call(other, n.sm.get(), n.login, Names::LoginAs("bob"), {}, &raw);
  std::string cookie2 = CookieOf(raw.setCookie);
  EXPECT_NE(cookie2, cookie);
  EXPECT_EQ(server.GetStats().sessions, 2u);
  // Logout empties the session: the next call is refused.
  Call(other, n.sm.get(), n.logout, {}, cookie2);
  EXPECT_THROW(Call(other, n.echo.get(), n.execute, args, cookie2), Tarn::Fault::NotAuthenticated::Exception);

  // Used within the idle timeout the session lives on; idle longer it is gone.
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(Call(conn, n.echo.get(), n.execute, args, cookie)) << "session dropped while in use";
  }
  std::this_thread::sleep_for(700ms);
  EXPECT_THROW(Call(conn, n.echo.get(), n.execute, args, cookie), Tarn::Fault::NotAuthenticated::Exception);
  EXPECT_EQ(server.GetStats().sessions, 0u);
  EXPECT_EQ(objects.echo->executions, 5);
}

TEST(HttpServer, LimitsAnsweredWithTheirStatus) {
  Objects objects(/*requireLogin=*/false, /*workers=*/2);
  auto options = Loopback();
  options.maxBodyBytes = 4096;
  options.maxHeaderBytes = 2048;
  options.readTimeout = 300ms;
  options.maxCallsInFlight = 1;
  options.maxConnections = 4;
  options.workers = 2;
  Quill::HttpServer server(objects.adapter.get(), options);
  Names n;

  {  // Body over the limit: 413, announced by its length before it is read.
    RawConnection conn(server.GetPort());
    std::string big(8192, 'x');
    Reply r = conn.Request(http::verb::post, "/sdk", n.Echo({big}));
    EXPECT_EQ(r.status, 413) << r.error;
    EXPECT_FALSE(r.keepAlive);
  }
  {  // The same in chunks, whose length nobody announced.
    RawConnection conn(server.GetPort());
    std::string chunk(3000, 'y');
    char size[16];
    std::snprintf(size, sizeof size, "%zx", chunk.size());
    std::string req = "POST /sdk HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 3; ++i) req += std::string(size) + "\r\n" + chunk + "\r\n";
    req += "0\r\n\r\n";
    ASSERT_TRUE(conn.SendRaw(req));
    EXPECT_EQ(conn.Read().status, 413);
  }
  {  // Header block over the limit: 431.
    RawConnection conn(server.GetPort());
    std::string req = "GET /sdk/tarn.wsdl HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(4096, 'h') + "\r\n\r\n";
    ASSERT_TRUE(conn.SendRaw(req));
    EXPECT_EQ(conn.Read().status, 431);
  }
  {  // Malformed: 400.
    RawConnection conn(server.GetPort());
    ASSERT_TRUE(conn.SendRaw("HELLO\x01 / HTTP/9\r\n\r\n"));
    EXPECT_EQ(conn.Read().status, 400);
  }
  {  // A client that stops mid-request: 408 once the read timeout passes.
    RawConnection conn(server.GetPort());
    ASSERT_TRUE(conn.SendRaw("POST /sdk HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n<soapenv:Env"));
    Reply r = conn.Read();
    EXPECT_EQ(r.status, 408) << r.error;
    EXPECT_TRUE(conn.ClosedByServer());
  }
  {  // An idle keep-alive connection is closed without an answer.
    RawConnection conn(server.GetPort());
    EXPECT_TRUE(Call(conn, n.echo.get(), n.execute, Quill::Args(Words({"once"}).get())));
    EXPECT_TRUE(conn.ClosedByServer());
  }
  for (int i = 0; i < 300 && server.GetStats().openConnections > 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server.GetStats().openConnections, 0u);
  {  // Calls in flight: one is running (blocked), the next is refused with 503.
    RawConnection busy(server.GetPort());
    ASSERT_TRUE(busy.SendRaw(Post("/sdk", n.Echo({"block"}))));
    ASSERT_TRUE(objects.echo->gate.WaitForWaiters(1, 5s));
    RawConnection second(server.GetPort());
    Reply r = second.Request(http::verb::post, "/sdk", n.Echo({"b"}));
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(r.keepAlive) << "a busy server keeps the connection";
    EXPECT_EQ(server.GetStats().callsInFlight, 1u);

    // Connections: `busy` and `second` are open, two more fit, the fifth is turned away.
    RawConnection c3(server.GetPort()), c4(server.GetPort());
    ASSERT_TRUE(c3.Connected() && c4.Connected());
    for (int i = 0; i < 100 && server.GetStats().openConnections < 4; ++i) std::this_thread::sleep_for(10ms);
    RawConnection c5(server.GetPort());
    Reply refused = c5.Read();
    EXPECT_EQ(refused.status, 503) << refused.error;
    EXPECT_TRUE(c5.ClosedByServer());

    objects.echo->gate.Open();
    Reply done = busy.Read();
    EXPECT_EQ(done.status, 200);
  }
  for (int i = 0; i < 200 && server.GetStats().openConnections > 0; ++i) std::this_thread::sleep_for(10ms);
  auto stats = server.GetStats();
  EXPECT_EQ(stats.openConnections, 0u) << "connections left open";
  EXPECT_EQ(stats.callsInFlight, 0u);
  EXPECT_EQ(stats.rejectedBodyTooLarge, 2u);
  EXPECT_EQ(stats.rejectedHeaderTooLarge, 1u);
  EXPECT_EQ(stats.rejectedTimeout, 1u);
  EXPECT_EQ(stats.rejectedBusy, 1u);
  EXPECT_EQ(stats.rejectedConnections, 1u);
  EXPECT_EQ(stats.badRequests, 1u);
}

TEST(HttpServer, ThousandConnectionsAtOnce) {
  Objects objects(false, 2);
  Quill::HttpServer server(objects.adapter.get(), Loopback());
  Names n;
  std::string body = n.Echo({"many"});
  std::string request = Post("/sdk", body);

  constexpr int kConnections = 1000;
  auto ioc = std::make_shared<net::io_context>();
  std::vector<std::unique_ptr<RawConnection>> conns;
  for (int i = 0; i < kConnections; ++i) {
    conns.push_back(std::make_unique<RawConnection>(server.GetPort(), 30s, "127.0.0.1", ioc));
    ASSERT_TRUE(conns.back()->Connected()) << i << ": " << conns.back()->Error();
  }
  // All open at once, then every one sends its call before any answer is read. More calls
  // than maxCallsInFlight (256) arrive together: the excess is told to come back (503 on a
  // kept connection), and does.
  for (auto& c : conns) ASSERT_TRUE(c->SendRaw(request));
  int ok = 0, busy = 0;
  std::vector<RawConnection*> retry;
  for (auto& c : conns) {
    Reply r = c->Read();
    if (r.status == 200 && r.body.find("many") != std::string::npos) ++ok;
    if (r.status == 503 && r.keepAlive) {
      ++busy;
      retry.push_back(c.get());
    }
  }
  EXPECT_EQ(ok + busy, kConnections);
  EXPECT_EQ(server.GetStats().rejectedBusy, static_cast<std::uint64_t>(busy));
  for (RawConnection* c : retry) {
    Reply r = c->Request(http::verb::post, "/sdk", body);
    if (r.status == 200 && r.body.find("many") != std::string::npos) ++ok;
  }
  EXPECT_EQ(ok, kConnections);
  EXPECT_EQ(objects.echo->executions, kConnections);
  conns.clear();
  for (int i = 0; i < 500 && server.GetStats().openConnections > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server.GetStats().openConnections, 0u);
  EXPECT_EQ(server.GetStats().connectionsAccepted, static_cast<std::uint64_t>(kConnections));
}

TEST(HttpServer, StopAnswersCallsInFlight) {
  Objects objects(false, 2);
  auto options = Loopback();
  options.workers = 4;
  auto server = std::make_unique<Quill::HttpServer>(objects.adapter.get(), options);
  unsigned short port = server->GetPort();
  Names n;

  constexpr int kCalls = 100;
  auto ioc = std::make_shared<net::io_context>();
  std::vector<std::unique_ptr<RawConnection>> conns;
  for (int i = 0; i < kCalls; ++i) {
    conns.push_back(std::make_unique<RawConnection>(port, 30s, "127.0.0.1", ioc));
    ASSERT_TRUE(conns.back()->SendRaw(Post("/sdk", n.Echo({"block", std::to_string(i)}))));
  }
  // Every call accepted: four block in the implementation, the rest wait for a worker.
  for (int i = 0; i < 500 && server->GetStats().callsInFlight < kCalls; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server->GetStats().callsInFlight, static_cast<std::size_t>(kCalls));
  ASSERT_TRUE(objects.echo->gate.WaitForWaiters(4, 5s));
  RawConnection idle(port);
  ASSERT_TRUE(idle.Connected());

  std::thread stopper([&] { server->Stop(20s); });
  // New connections are refused once the acceptor is closed.
  bool refused = false;
  for (int i = 0; i < 200 && !refused; ++i) {
    RawConnection late(port, 1s);
    refused = !late.Connected() || late.ClosedByServer();
    if (!refused) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(refused);
  EXPECT_TRUE(idle.ClosedByServer()) << "an idle connection outlived the stop";
  objects.echo->gate.Open();
  int answered = 0;
  for (int i = 0; i < kCalls; ++i) {
    Reply r = conns[i]->Read();
    EXPECT_EQ(r.status, 200) << i << " " << r.error;
    if (r.status == 200 && r.body.find("block," + std::to_string(i) + "<") != std::string::npos) ++answered;
    EXPECT_FALSE(r.keepAlive);
    EXPECT_TRUE(conns[i]->ClosedByServer());
  }
  stopper.join();
  EXPECT_EQ(answered, kCalls);
  EXPECT_EQ(objects.echo->executions, kCalls);
  server.reset();  // a second Stop (from the destructor) does nothing
}

TEST(HttpServer, Tls) {
  auto dir = ScratchDir("tls");
  std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
                        " -out " + cert + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  Objects objects(false);
  auto options = Loopback();
  options.certificateFile = cert;
  options.privateKeyFile = key;
  Quill::HttpServer server(objects.adapter.get(), options);
  EXPECT_TRUE(server.IsTls());
  EXPECT_EQ(server.GetUrl().rfind("https://127.0.0.1:", 0), 0u);
  Names n;
  std::string body = Quill::Wire::EncodeRequest(n.sm.get(), n.login, Names::LoginAs("ann"));

  auto tlsCall = [&](bool trustServer, std::string& setCookie) -> int {
    net::io_context ioc;
    net::ssl::context ctx(net::ssl::context::tls_client);
    ctx.set_verify_mode(net::ssl::verify_peer);
    if (trustServer) ctx.load_verify_file(cert);
    beast::ssl_stream<beast::tcp_stream> stream(ioc, ctx);
    beast::get_lowest_layer(stream).expires_after(10s);
    beast::error_code ec;
    beast::get_lowest_layer(stream).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), server.GetPort()), ec);
    if (ec) return -1;
    stream.handshake(net::ssl::stream_base::client, ec);
    if (ec) return -2;
    http::request<http::string_body> req(http::verb::post, "/sdk", 11);
    req.set(http::field::host, "127.0.0.1");
    req.body() = body;
    req.prepare_payload();
    http::write(stream, req, ec);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(stream, buffer, res, ec);
    if (ec) return -3;
    setCookie = std::string(res[http::field::set_cookie]);
    return res.result_int();
  };
  std::string setCookie;
  EXPECT_EQ(tlsCall(true, setCookie), 200);
  EXPECT_NE(setCookie.find("Secure"), std::string::npos) << setCookie;
  EXPECT_EQ(tlsCall(false, setCookie), -2) << "an untrusted certificate passed verification";

  // Plain HTTP to the TLS port gets no answer, and the server goes on.
  RawConnection plain(server.GetPort(), 3s);
  Reply r = plain.Request(http::verb::post, "/sdk", body);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(tlsCall(true, setCookie), 200);
  std::filesystem::remove_all(dir);
}

TEST(HttpServer, ConstructionErrorsNameTheCause) {
  Objects objects(false);
  auto expectError = [&](Quill::HttpServer::Options options, std::string const& part) {
    try {
      Quill::HttpServer server(objects.adapter.get(), options);
      ADD_FAILURE() << "no error, expected one about " << part;
    } catch (Basalt::Exception& e) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
  };
  auto o = Loopback();
  o.address = "not-an-address";
  expectError(o, "address 'not-an-address'");
  Quill::HttpServer taken(objects.adapter.get(), Loopback());
  o = Loopback();
  o.port = taken.GetPort();
  expectError(o, "cannot listen on 127.0.0.1:" + std::to_string(taken.GetPort()));
  o = Loopback();
  o.certificateFile = "/nonexistent/cert.pem";
  expectError(o, "both a certificate file and a private key file");
  o.privateKeyFile = "/nonexistent/key.pem";
  expectError(o, "certificate file '/nonexistent/cert.pem'");
  try {
    Quill::HttpServer server(nullptr, Loopback());
    ADD_FAILURE() << "a server without an adapter";
  } catch (Basalt::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("no adapter"), std::string::npos);
  }

  // IPv6 loopback, where the machine has it.
  o = Loopback();
  o.address = "::1";
  try {
    Quill::HttpServer v6(objects.adapter.get(), o);
    EXPECT_EQ(v6.GetUrl(), "http://[::1]:" + std::to_string(v6.GetPort()) + "/sdk");
    RawConnection conn(v6.GetPort(), 5s, "::1");
    EXPECT_EQ(conn.Request(http::verb::get, "/sdk").status, 405);
  } catch (Basalt::Exception& e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
}
