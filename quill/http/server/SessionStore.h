// The server's sessions: a RequestContext kept under a random id that the
// client carries in a cookie, with idle expiry, a bound on how many are kept
// (the least recently used goes first), ids renewed at each login, and the
// count of failed logins per session and per client address.
// Thread-safe. Internal to quill-http-server.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "RequestRules.h"
#include "quill/Stub.h"
#include "quill/Type.h"
#include "quill/Values.h"

namespace Quill::HttpServerParts {

class SessionStore {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    std::string cookieName;
    std::chrono::milliseconds idleTimeout{30 * 60 * 1000};
    std::size_t maxSessions = 10000;
    bool secure = false;                    // cookies only over TLS
    std::vector<std::string> loginMethods;  // full names, "<type>.<method>"
    unsigned maxFailedLoginsPerSession = 5;
    unsigned maxFailedLoginsPerAddress = 20;
    std::chrono::milliseconds failedLoginWindow{60000};
    std::chrono::milliseconds loginBackoff{30000};
  };

  struct Found {
    std::string id;
    Basalt::Ref<RequestContext> context;  // null: no live session
  };

  explicit SessionStore(Options options);

  // The session ids the Cookie headers carry, in the order sent (a client may
  // hold several, for different paths); empty values are left out.
  template <class Fields>
  std::vector<std::string> IdsFrom(Fields const& fields) const {
    namespace http = boost::beast::http;
    std::vector<std::string> ids;
    for (auto it = fields.find(http::field::cookie); it != fields.end() && it->name() == http::field::cookie; ++it) {
      AddIds(HttpServerRules::View(it->value()), ids);
    }
    return ids;
  }

  // The first id that names a live session, which counts as used now. Expired
  // sessions met on the way, and every few idle timeouts all of them, end.
  Found Find(std::vector<std::string> const& ids, Clock::time_point now = Clock::now());

  // What a call did to its session, with the Set-Cookie value to answer (or
  // ""). A session id names one login: a context that comes to hold something
  // (an anonymous caller that logs in) and every successful login get a new
  // id, and the old one is forgotten; a session left empty (logged out) is
  // dropped with its id. So an id known before a login, to whoever planted or
  // saw it, never names the logged-in session. Callers without sessions that
  // leave nothing behind cost nothing.
  // `hadOwn`: the session held, before the call, values of its own besides the
  // runtime's (HoldsOwn). A call that leaves it holding only the runtime's
  // (logout) ends it, so the services that tied state to it let that go too.
  std::string AfterCall(Found const& found, RequestContext* context, bool wasEmpty, bool loggedIn,
                        Clock::time_point now = Clock::now(), bool hadOwn = false);
  // Values under keys that begin with "quill." are what the runtime's own
  // services keep for a session (the query service's tie to it): they keep an
  // anonymous session, but do not count as the session's own.
  static bool HoldsOwn(RequestContext const& context);

  bool IsLogin(ManagedMethod const* method) const;
  // How long logins of this session or address are still refused (zero: not).
  std::chrono::milliseconds LoginRefused(Found const& found, std::string const& address, Clock::time_point now);
  void LoginFailed(Found const& found, std::string const& address, Clock::time_point now);

  std::string Cookie(std::string const& id, bool expired) const;
  std::size_t Size();

 private:
  struct Session {
    Basalt::Ref<RequestContext> context;
    Clock::time_point lastUsed;
  };
  void AddIds(std::string_view cookieHeader, std::vector<std::string>& ids) const;
  std::string Keep(RequestContext* context, Clock::time_point now);
  void Drop(std::string const& id);

  Options _options;
  std::unordered_set<std::string> _loginMethods;
  HttpServerRules::LoginThrottle _sessionLogins, _addressLogins;
  std::mutex _mutex;
  std::unordered_map<std::string, Session> _sessions;
  Clock::time_point _lastSweep;
};

}  // namespace Quill::HttpServerParts
