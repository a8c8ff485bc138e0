#include "SessionStore.h"

#include <openssl/rand.h>

#include <algorithm>

#include "basalt/Exception.h"

namespace Quill::HttpServerParts {

namespace {

std::string Hex(unsigned char const* p, std::size_t n) {
  static char const digits[] = "0123456789abcdef";
  std::string s(2 * n, '0');
  for (std::size_t i = 0; i < n; ++i) {
    s[2 * i] = digits[p[i] >> 4];
    s[2 * i + 1] = digits[p[i] & 15];
  }
  return s;
}

std::string NewSessionId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Basalt::Exception("HttpServer: no random bytes for a session id");
  return Hex(bytes, sizeof bytes);
}

// A session the server drops ends: what its context holds goes, after the store's lock,
// also while a call of the session (a held wait) still keeps the context, so that the
// services that tied state to it let it go and answer that call.
// (RequestContext::Remove lets a value go outside the context's lock.)
void EndSessions(std::vector<Basalt::Ref<RequestContext>>& ended) {
  for (auto& context : ended) {
    for (std::string const& key : context->GetKeys()) context->Remove(key);
  }
  ended.clear();
}

}  // namespace

SessionStore::SessionStore(Options options)
    : _options(std::move(options)),
      _loginMethods(_options.loginMethods.begin(), _options.loginMethods.end()),
      _sessionLogins({_options.maxFailedLoginsPerSession, _options.failedLoginWindow, _options.loginBackoff,
                      _options.maxSessions}),
      _addressLogins({_options.maxFailedLoginsPerAddress, _options.failedLoginWindow, _options.loginBackoff,
                      _options.maxSessions}),
      _lastSweep(Clock::now()) {}

void SessionStore::AddIds(std::string_view cookieHeader, std::vector<std::string>& ids) const {
  for (std::string_view id : HttpServerRules::CookieValues(cookieHeader, _options.cookieName)) {
    if (!id.empty()) ids.emplace_back(id);
  }
}

SessionStore::Found SessionStore::Find(std::vector<std::string> const& ids, Clock::time_point now) {
  std::vector<Basalt::Ref<RequestContext>> ended;
  Found found;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (now - _lastSweep > _options.idleTimeout / 4) {
      _lastSweep = now;
      for (auto it = _sessions.begin(); it != _sessions.end();) {
        if (now - it->second.lastUsed > _options.idleTimeout) {
          ended.push_back(std::move(it->second.context));
          it = _sessions.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (std::string const& id : ids) {
      auto it = _sessions.find(id);
      if (it == _sessions.end()) continue;
      if (now - it->second.lastUsed > _options.idleTimeout) {
        ended.push_back(std::move(it->second.context));
        _sessions.erase(it);
        continue;
      }
      it->second.lastUsed = now;
      found = Found{id, it->second.context};
      break;
    }
  }
  EndSessions(ended);
  return found;
}

std::string SessionStore::Cookie(std::string const& id, bool expired) const {
  // SameSite=Strict: the session is only ever used by calls from the site's
  // own pages or from programs (which ignore the attribute); no page elsewhere
  // has a reason to make a call with it, be it by a link or a posted form.
  std::string cookie = _options.cookieName + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
  if (expired) cookie += "; Max-Age=0";
  if (_options.secure) cookie += "; Secure";
  return cookie;
}

std::string SessionStore::Keep(RequestContext* context, Clock::time_point now) {
  std::string id = NewSessionId();
  std::vector<Basalt::Ref<RequestContext>> ended;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_sessions.size() >= _options.maxSessions && !_sessions.empty()) {
      auto oldest = std::min_element(_sessions.begin(), _sessions.end(), [](auto const& a, auto const& b) {
        return a.second.lastUsed < b.second.lastUsed;
      });
      // Not the context being kept (a login renaming its own session).
      if (oldest->second.context.get() != context) ended.push_back(std::move(oldest->second.context));
      _sessions.erase(oldest);
    }
    _sessions[id] = Session{Basalt::Ref<RequestContext>(context), now};
  }
  EndSessions(ended);
  return Cookie(id, false);
}

void SessionStore::Drop(std::string const& id) {
  std::lock_guard<std::mutex> lock(_mutex);
  _sessions.erase(id);
}

bool SessionStore::HoldsOwn(RequestContext const& context) {
  for (std::string const& key : context.GetKeys()) {
    if (key.rfind("quill.", 0) != 0) return true;
  }
  return false;
}

std::string SessionStore::AfterCall(Found const& found, RequestContext* context, bool wasEmpty, bool loggedIn,
                                    Clock::time_point now, bool hadOwn) {
  bool holds = !context->GetKeys().empty();
  if (!found.context) return holds ? Keep(context, now) : std::string();
  if (hadOwn && !HoldsOwn(*context)) {
    Drop(found.id);
    std::vector<Basalt::Ref<RequestContext>> ended{Basalt::Ref<RequestContext>(context)};
    EndSessions(ended);
    return Cookie("", true);
  }
  if (!holds) {
    Drop(found.id);
    return Cookie("", true);
  }
  if (wasEmpty || loggedIn) {
    Drop(found.id);
    return Keep(context, now);
  }
  return {};
}

bool SessionStore::IsLogin(ManagedMethod const* method) const {
  if (!method || method->IsProperty() || !method->GetDeclaringType() || _loginMethods.empty()) return false;
  return _loginMethods.count(std::string(method->GetDeclaringType()->GetName()) + "." + method->GetName()) > 0;
}

std::chrono::milliseconds SessionStore::LoginRefused(Found const& found, std::string const& address,
                                                     Clock::time_point now) {
  std::chrono::milliseconds wait(0);
  if (found.context) wait = _sessionLogins.Refused(found.id, now);
  if (!address.empty()) wait = std::max(wait, _addressLogins.Refused(address, now));
  return wait;
}

void SessionStore::LoginFailed(Found const& found, std::string const& address, Clock::time_point now) {
  if (found.context) _sessionLogins.Failed(found.id, now);
  if (!address.empty()) _addressLogins.Failed(address, now);
}

std::size_t SessionStore::Size() {
  std::lock_guard<std::mutex> lock(_mutex);
  return _sessions.size();
}

}  // namespace Quill::HttpServerParts
