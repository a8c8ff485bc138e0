// The server's parts, each on its own: the router, the session store, the
// document store, the SOAP endpoint (against a call target of the test's own)
// and the listener. No part here needs the others.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/thread_pool.hpp>
#include <filesystem>
#include <fstream>
#include <future>

#include "Connection.h"
#include "DocumentStore.h"
#include "Listener.h"
#include "PartsDoubles.h"
#include "RawHttp.h"
#include "Router.h"
#include "SessionStore.h"
#include "SoapEndpoint.h"
#include "tarn/TaskInfo.h"

using namespace tarn_http_test;
using namespace std::chrono_literals;
using boost::beast::http::verb;

namespace {

// A property read, which has no method name of its own.
Quill::ManagedMethod* Getter(char const* type, char const* property) {
  auto* t = static_cast<Quill::ManagedObjectType*>(Quill::FindType(type));
  std::uint32_t slots = t ? t->GetOwnMethodCount() + t->GetOwnPropertyCount() : 0;
  for (std::uint32_t i = t ? t->GetOwnMethodCount() : 0; i < slots; ++i) {
    Quill::ManagedMethod* m = t->GetMethodObject(i);
    if (std::string_view(m->GetName()) == property) return m;
  }
  ADD_FAILURE() << "no property " << type << "." << property;
  return nullptr;
}

// --- router ----------------------------------------------------------------------

TEST(ServerRouter, PicksTheEntryAndAnswersWhatNoEntryTakes) {
  parts::Router router;
  std::string hit;
  auto record = [&](char const* name) {
    return [&hit, name](parts::Exchange&, std::string_view rest) { hit = std::string(name) + ":" + std::string(rest); };
  };
  router.Add({"/sdk", false, {verb::post}, "calls are POST requests\n", record("calls")});
  router.Add({"/sdk/", true, {verb::get, verb::head}, "documents are read with GET\n", record("docs")});
  router.Add({"/sdk/deep/", true, {verb::get}, "deep\n", record("deep")});
  struct Case {
    verb method;
    char const* target;
    char const* hit;  // or empty
    unsigned status;  // when nothing was hit
    char const* allow;
  } const cases[] = {
      {verb::post, "/sdk", "calls:", 0, ""},
      {verb::post, "http://h:1/sdk?x=1", "calls:", 0, ""},
      {verb::get, "/sdk", "", 405, "POST"},
      {verb::get, "/sdk/a.wsdl", "docs:a.wsdl", 0, ""},
      {verb::head, "/sdk/a.wsdl", "docs:a.wsdl", 0, ""},
      {verb::post, "/sdk/a.wsdl", "", 405, "GET, HEAD"},
      {verb::get, "/sdk/deep/x.xsd", "deep:x.xsd", 0, ""},  // the longest prefix
      {verb::get, "/sdk/", "", 404, ""},                    // a prefix alone names nothing
      {verb::get, "/sdkx", "", 404, ""},
      {verb::post, "/", "", 404, ""},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.target);
    hit.clear();
    FakeExchange ex(c.method, c.target);
    router.Route(ex);
    EXPECT_EQ(hit, c.hit);
    if (!*c.hit) {
      EXPECT_EQ(ex.status, c.status);
      EXPECT_EQ(ex.allow, c.allow);
    } else {
      EXPECT_EQ(ex.sent, 0);
    }
  }
}

// --- sessions --------------------------------------------------------------------

parts::SessionStore::Options SessionOptions() {
  parts::SessionStore::Options o;
  o.cookieName = "sid";
  o.idleTimeout = 10min;
  o.maxSessions = 3;
  o.loginMethods = {"tarn.SessionManager.login"};
  o.maxFailedLoginsPerSession = 2;
  o.maxFailedLoginsPerAddress = 3;
  o.failedLoginWindow = 1min;
  o.loginBackoff = 30s;
  return o;
}

Basalt::Ref<Quill::RequestContext> Holding(char const* value) {
  Basalt::Ref<Quill::RequestContext> c(new Quill::RequestContext());
  c->Set("user", new Quill::Primitive<std::string>(value));
  return c;
}

std::string IdOf(std::string const& setCookie) {
  auto eq = setCookie.find('='), semi = setCookie.find(';');
  return setCookie.substr(eq + 1, semi - eq - 1);
}

TEST(ServerSessions, CookiesNameOneLoginEach) {
  parts::SessionStore store(SessionOptions());
  auto t0 = parts::SessionStore::Clock::now();
  // An anonymous call that leaves nothing is no session.
  Basalt::Ref<Quill::RequestContext> empty(new Quill::RequestContext());
  EXPECT_EQ(store.AfterCall({}, empty.get(), true, false, t0), "");
  EXPECT_EQ(store.Size(), 0u);

  auto context = Holding("a");
  std::string cookie = store.AfterCall({}, context.get(), true, false, t0);
  EXPECT_EQ(cookie.rfind("sid=", 0), 0u) << cookie;
  EXPECT_NE(cookie.find("; Path=/; HttpOnly; SameSite=Strict"), std::string::npos);
  EXPECT_EQ(cookie.find("Secure"), std::string::npos);
  std::string id = IdOf(cookie);
  EXPECT_EQ(id.size(), 32u);

  auto found = store.Find({"unknown", id}, t0);
  ASSERT_EQ(found.context.get(), context.get());
  EXPECT_EQ(found.id, id);
  // A call that changes nothing keeps the id; a login renames it.
  EXPECT_EQ(store.AfterCall(found, context.get(), false, false, t0), "");
  std::string renamed = store.AfterCall(found, context.get(), false, true, t0);
  EXPECT_NE(IdOf(renamed), id);
  EXPECT_FALSE(store.Find({id}, t0).context);
  found = store.Find({IdOf(renamed)}, t0);
  ASSERT_TRUE(found.context);
  // Logout: the context left empty drops the session with an expired cookie.
  context->Remove("user");
  std::string gone = store.AfterCall(found, context.get(), false, false, t0);
  EXPECT_NE(gone.find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(store.Size(), 0u);

  auto o = SessionOptions();
  o.secure = true;
  EXPECT_NE(parts::SessionStore(o).Cookie("x", false).find("; Secure"), std::string::npos);
}

TEST(ServerSessions, IdleAndLeastRecentlyUsedSessionsEndEmptied) {
  parts::SessionStore store(SessionOptions());
  auto t0 = parts::SessionStore::Clock::now();
  auto a = Holding("a"), b = Holding("b"), c = Holding("c"), d = Holding("d");
  std::string ida = IdOf(store.AfterCall({}, a.get(), true, false, t0));
  std::string idb = IdOf(store.AfterCall({}, b.get(), true, false, t0 + 1s));
  std::string idc = IdOf(store.AfterCall({}, c.get(), true, false, t0 + 2s));
  // a is used again, so b is the least recently used when d comes.
  EXPECT_TRUE(store.Find({ida}, t0 + 3s).context);
  store.AfterCall({}, d.get(), true, false, t0 + 4s);
  EXPECT_EQ(store.Size(), 3u);
  EXPECT_FALSE(store.Find({idb}, t0 + 4s).context);
  EXPECT_TRUE(b->GetKeys().empty()) << "a dropped session's context is emptied";
  // Idle a whole timeout: gone on the next look, and emptied.
  EXPECT_TRUE(store.Find({idc}, t0 + 2s + 10min).context) << "exactly the timeout is not over it";
  EXPECT_FALSE(store.Find({ida}, t0 + 3s + 10min + 1ms).context);
  EXPECT_TRUE(a->GetKeys().empty());
}

TEST(ServerSessions, CookieHeadersAndFailedLogins) {
  parts::SessionStore store(SessionOptions());
  boost::beast::http::fields fields;
  fields.insert(boost::beast::http::field::cookie, "other=1; sid=aa; sid=");
  fields.insert(boost::beast::http::field::cookie, "sid=\"bb\"");
  EXPECT_EQ(store.IdsFrom(fields), (std::vector<std::string>{"aa", "bb"}));

  auto t0 = parts::SessionStore::Clock::now();
  auto context = Holding("a");
  parts::SessionStore::Found session{IdOf(store.AfterCall({}, context.get(), true, false, t0)), context};
  EXPECT_EQ(store.LoginRefused(session, "10.0.0.1", t0).count(), 0);
  store.LoginFailed(session, "10.0.0.1", t0);
  EXPECT_EQ(store.LoginRefused(session, "10.0.0.1", t0).count(), 0);
  store.LoginFailed(session, "10.0.0.1", t0);
  EXPECT_GT(store.LoginRefused(session, "10.0.0.2", t0).count(), 0) << "the session's own count";
  EXPECT_EQ(store.LoginRefused({}, "10.0.0.1", t0).count(), 0) << "the address has two of three";
  store.LoginFailed({}, "10.0.0.1", t0);
  EXPECT_GT(store.LoginRefused({}, "10.0.0.1", t0).count(), 0);
  EXPECT_EQ(store.LoginRefused({}, "10.0.0.1", t0 + 31s).count(), 0) << "after the backoff";

  EXPECT_TRUE(store.IsLogin(Method("tarn.SessionManager", "login")));
  EXPECT_FALSE(store.IsLogin(Method("tarn.SessionManager", "logout")));
  EXPECT_FALSE(store.IsLogin(nullptr));
}

// --- documents -------------------------------------------------------------------

std::filesystem::path Scratch(char const* name) {
  auto dir =
      std::filesystem::temp_directory_path() / ("tarn-parts-" + std::string(name) + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(ServerDocuments, ServesNamedFilesOnceWithTheRequestsAddress) {
  auto dir = Scratch("docs");
  std::ofstream(dir / "svc1.wsdl") << "<definitions><service><port><soap:address location=\"http://x/sdk\"/>"
                                      "</port></service></definitions>";
  std::ofstream(dir / "types.xsd") << "<schema/>";
  std::ofstream(dir / "notes.txt") << "not served";
  parts::DocumentStore store(dir.string(), "svc.wsdl");
  struct Name {
    char const* name;
    bool served;
  } const names[] = {{"svc1.wsdl", true},     {"types.xsd", true}, {"notes.txt", false},   {".x.wsdl", false},
                     {"../svc1.wsdl", false}, {"a b.xsd", false},  {"missing.xsd", false}, {".wsdl", false}};
  for (Name const& n : names) EXPECT_EQ(store.Find(n.name) != nullptr, n.served) << n.name;
  EXPECT_EQ(store.Find("types.xsd"), store.Find("types.xsd")) << "read once, shared";
  // The default name stands for the newest release's file, when there is none of its own.
  EXPECT_EQ(store.Find("svc.wsdl"), nullptr);
  std::string ns = Quill::Wire::DefaultVersion()->GetWireNamespace();
  std::ofstream(dir / (ns + ".wsdl")) << "<definitions/>";
  EXPECT_NE(store.Find("svc.wsdl"), nullptr);

  FakeExchange get(verb::get, "/sdk/svc1.wsdl");
  ASSERT_TRUE(store.Serve(get, "svc1.wsdl", "http://10.1.2.3:8/sdk?a&b"));
  EXPECT_EQ(get.status, 200u);
  EXPECT_NE(get.body.find("location=\"http://10.1.2.3:8/sdk?a&amp;b\""), std::string::npos) << get.body;
  FakeExchange head(verb::head, "/sdk/svc1.wsdl");
  ASSERT_TRUE(store.Serve(head, "svc1.wsdl", "http://10.1.2.3:8/sdk?a&b"));
  EXPECT_TRUE(head.headLength);
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.contentLength, std::to_string(get.body.size()));
  FakeExchange gz(verb::get, "/sdk/types.xsd");
  gz.request.set(boost::beast::http::field::accept_encoding, "gzip");
  ASSERT_TRUE(store.Serve(gz, "types.xsd", "http://h/sdk"));
  EXPECT_EQ(gz.contentEncoding, "gzip");
  EXPECT_EQ(gz.body.substr(0, 2), std::string("\x1f\x8b"));
  FakeExchange none(verb::get, "/sdk/notes.txt");
  EXPECT_FALSE(store.Serve(none, "notes.txt", "http://h/sdk"));
  EXPECT_EQ(none.sent, 0);
  EXPECT_EQ(parts::DocumentStore("", "svc.wsdl").Find("types.xsd"), nullptr) << "no directory, no documents";
  std::filesystem::remove_all(dir);
}

// --- the SOAP endpoint -------------------------------------------------------------

struct Received {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<parts::Answer> answers;
  std::vector<std::thread::id> threads;

  parts::AnswerSink Sink() {
    return [this](parts::Answer&& a) {
      std::lock_guard<std::mutex> lock(mutex);
      answers.push_back(std::move(a));
      threads.push_back(std::this_thread::get_id());
      cv.notify_all();
    };
  }
  bool WaitFor(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, 10s, [&] { return answers.size() >= n; });
  }
};

struct EndpointRig {
  EndpointRig() : sessions(SessionOptions()), pool(1) {
    target.info = [] {
      Basalt::Ref<Tarn::TaskInfo> info(new Tarn::TaskInfo());
      info->key = "task-1";
      return info;
    }();
    parts::SoapEndpoint::Options o;
    o.inlineDecodeBytes = 2048;
    endpoint.emplace(&target, sessions, counters, pool, o);
  }
  ~EndpointRig() { pool.join(); }

  std::string Body(char const* method, Quill::ArgVector const& args) {
    char const* type = std::string_view(method) == "info" ? "tarn.Task" : "tarn.SimpleCommand";
    Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef(type, "x-1"));
    bool property = std::string_view(method) == "info" || std::string_view(method) == "encodingType";
    return Quill::Wire::EncodeRequest(ref.get(), property ? Getter(type, method) : Method(type, method), args);
  }

  TableTarget target;
  parts::SessionStore sessions;
  parts::ServerCounters counters;
  boost::asio::thread_pool pool;
  std::optional<parts::SoapEndpoint> endpoint;
};

TEST(ServerEndpoint, CallsThatCannotBlockStayOnTheReadingThread) {
  EndpointRig rig;
  rig.target.blocking = {"Execute"};
  Received got;
  rig.endpoint->Accept(rig.Body("info", {}), {}, nullptr, got.Sink());
  ASSERT_EQ(got.answers.size(), 1u) << "answered before Accept returned";
  EXPECT_EQ(got.threads[0], std::this_thread::get_id());
  EXPECT_EQ(got.answers[0].status, boost::beast::http::status::ok);
  Basalt::Ref<Quill::Any> result;
  Quill::Wire::DecodeResponse(got.answers[0].body, Getter("tarn.Task", "info"), result);
  ASSERT_TRUE(result);
  EXPECT_EQ(static_cast<Tarn::TaskInfo*>(result.get())->key, "task-1");

  // One that may block is made on a worker; so is the decoding of a large body.
  rig.endpoint->Accept(rig.Body("Execute", {Words({"a", "b"})}), {}, nullptr, got.Sink());
  rig.target.blocking.clear();
  auto released = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<void> share(nullptr, [released](void*) { *released = true; });
  rig.endpoint->Accept(rig.Body("Execute", {Words({std::string(4000, 'w')})}), {}, std::move(share), got.Sink());
  ASSERT_TRUE(got.WaitFor(3));
  EXPECT_NE(rig.target.threads["Execute"], std::this_thread::get_id());
  EXPECT_NE(got.threads[1], std::this_thread::get_id());
  EXPECT_NE(got.threads[2], std::this_thread::get_id());
  EXPECT_TRUE(*released) << "the body's share goes back once it is decoded";
  Quill::Wire::DecodeResponse(got.answers[1].body, Method("tarn.SimpleCommand", "Execute"), result);
  EXPECT_EQ(static_cast<Quill::Primitive<std::string>*>(result.get())->GetValue(), "a,b");
  EXPECT_EQ(rig.counters.answered.load(), 3u);
  EXPECT_EQ(rig.counters.faults.load(), 0u);
}

TEST(ServerEndpoint, RefusalsAreFaultsThroughTheCodec) {
  EndpointRig rig;
  Received got;
  struct Case {
    std::string body;
    std::string soapAction;
    char const* faultCode;  // soapenv:Client or soapenv:Server
    bool reachesTarget;
  } const cases[] = {
      {"<not soap", "", "Client", false},
      {rig.Body("info", {}), "\"urn:other/1.0\"", "Client", false},  // names another version
      {rig.Body("Execute", {nullptr}), "", "Server", true},          // the target's own fault
      {rig.Body("encodingType", {}), "", "Server", true},            // refused before it started
  };
  int before = 0;
  std::size_t n = 0;
  for (Case const& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40) + " " + c.soapAction);
    before = rig.target.calls;
    parts::Caller caller;
    caller.soapAction = c.soapAction;
    rig.endpoint->Accept(c.body, caller, nullptr, got.Sink());
    ASSERT_TRUE(got.WaitFor(++n));
    parts::Answer const& a = got.answers.back();
    EXPECT_EQ(a.status, boost::beast::http::status::internal_server_error);
    EXPECT_NE(a.body.find(std::string(":") + c.faultCode + "</faultcode>"), std::string::npos) << a.body;
    EXPECT_EQ(rig.target.calls - before, c.reachesTarget ? 1 : 0);
  }
  EXPECT_EQ(rig.counters.faults.load(), n);
}

TEST(ServerEndpoint, SessionsHeldCallsAndLettingGo) {
  EndpointRig rig;
  Received got;
  // The first call stores a user: the answer names a new session, which the next call gets.
  rig.endpoint->Accept(rig.Body("Execute", {Words({"x"})}), {}, nullptr, got.Sink());
  ASSERT_EQ(got.answers.size(), 1u);
  std::string cookie = got.answers[0].setCookie;
  ASSERT_EQ(cookie.rfind("sid=", 0), 0u) << cookie;
  parts::Caller caller;
  caller.sessionIds = {IdOf(cookie)};
  rig.endpoint->Accept(rig.Body("Execute", {Words({"y"})}), caller, nullptr, got.Sink());
  ASSERT_EQ(got.answers.size(), 2u);
  EXPECT_EQ(rig.target.contexts[0], rig.target.contexts[1]);
  EXPECT_EQ(got.answers[1].setCookie, "");

  // A held call is answered when the target completes it, from that thread.
  rig.target.held = {"Execute"};
  rig.endpoint->Accept(rig.Body("Execute", {Words({"z"})}), {}, nullptr, got.Sink());
  EXPECT_EQ(got.answers.size(), 2u);
  EXPECT_EQ(rig.endpoint->PendingCount(), 1u);
  std::thread([&] { rig.target.Release(); }).join();
  ASSERT_EQ(got.answers.size(), 3u);
  EXPECT_NE(got.threads[2], std::this_thread::get_id());
  EXPECT_EQ(rig.endpoint->PendingCount(), 0u);

  // Let go, a held call is never answered, not even when completed later.
  rig.endpoint->Accept(rig.Body("Execute", {Words({"w"})}), {}, nullptr, got.Sink());
  rig.endpoint->LetGo();
  EXPECT_EQ(rig.endpoint->PendingCount(), 0u);
  rig.target.Release();
  EXPECT_EQ(got.answers.size(), 3u);
}

TEST(ServerEndpoint, NoRoomForACallIsAnswered503) {
  EndpointRig rig;
  FakeExchange ex(verb::post, "/sdk", rig.Body("info", {}));
  ex.roomForCalls = false;
  rig.endpoint->Serve(ex);
  EXPECT_EQ(ex.status, 503u);
  EXPECT_EQ(rig.target.calls, 0);
  EXPECT_EQ(rig.counters.r503busy.load(), 1u);
  ex.roomForCalls = true;
  rig.endpoint->Serve(ex);
  EXPECT_EQ(ex.status, 200u);
}

// --- body budget and listener ----------------------------------------------------------

TEST(ServerBodies, SharesTakeFromOneBudgetAndGiveBackWhenGone) {
  parts::BodyBudget budget(100);
  {
    parts::BodyShare a(budget), b(budget);
    EXPECT_TRUE(a.Take(60));
    EXPECT_FALSE(b.Take(41));
    EXPECT_TRUE(b.Take(40));
    EXPECT_EQ(budget.Held(), 100u);
    a.Release();
    EXPECT_EQ(budget.Held(), 40u);
    EXPECT_FALSE(b.Take(UINT64_MAX)) << "no wrap-around";
  }
  EXPECT_EQ(budget.Held(), 0u);
}

TEST(ServerListener, AcceptsOnLoopbackAndNamesWhatFails) {
  boost::asio::io_context ioc;
  parts::ServerCounters counters;
  int accepted = 0;
  parts::Listener listener(ioc, "127.0.0.1", 0, false, "test", counters, [&](parts::Listener::Socket) { ++accepted; });
  ASSERT_NE(listener.GetPort(), 0);
  listener.Start();
  boost::asio::ip::tcp::socket client(ioc);
  client.connect({boost::asio::ip::make_address("127.0.0.1"), listener.GetPort()});
  for (int i = 0; i < 100 && accepted == 0; ++i) ioc.run_one_for(100ms);
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(counters.accepted.load(), 1u);

  auto message = [&](std::string const& address, std::uint16_t port) -> std::string {
    try {
      parts::Listener other(ioc, address, port, false, "test", counters, [](parts::Listener::Socket) {});
      return "";
    } catch (Basalt::Exception const& e) {
      return e.what();
    }
  };
  EXPECT_NE(message("nowhere", 0).find("address 'nowhere'"), std::string::npos);
  EXPECT_NE(message("127.0.0.1", listener.GetPort()).find("cannot listen on 127.0.0.1:"), std::string::npos);
  listener.Close();
  ioc.run_for(100ms);
}

TEST(ServerListener, RaisesTheSoftFileLimitToTheHardOne) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max < 64) GTEST_SKIP() << "no finite hard limit to reach";
  rlimit lowered = limit;
  lowered.rlim_cur = std::min<rlim_t>(limit.rlim_max, std::max<rlim_t>(limit.rlim_cur, 64)) - 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  parts::Listener::RaiseFileLimit();
  rlimit now{};
  ::getrlimit(RLIMIT_NOFILE, &now);
  EXPECT_EQ(now.rlim_cur, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
