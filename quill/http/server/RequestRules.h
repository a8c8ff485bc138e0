// The server's rules for what a request may look like and the small pieces of
// state that go with them, apart from the connection machinery so that each
// can be tried on its own. Internal to quill-http-server.
#pragma once

#include <boost/beast/http/message.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Quill::HttpServerRules {

inline std::string_view View(boost::beast::string_view v) { return std::string_view(v.data(), v.size()); }

// The values of the cookies called `name` in one Cookie header, in the order
// sent. Read as RFC 6265 describes the header (pairs separated by ";", the
// value everything after the first "=", optional quotes around it) and
// leniently about spaces: a value holding "=", "/", ":" or "," is one value.
std::vector<std::string_view> CookieValues(std::string_view header, std::string_view name);

// A request target in origin form ("/sdk?x") or absolute form
// ("http://host:8080/sdk"). `authority` is set for the absolute form only.
struct Target {
  std::string_view path;  // without the query; "/" for an absolute form without a path
  std::string_view authority;
};
std::optional<Target> ParseTarget(std::string_view target);

// A Host value (or the authority of an absolute target) that may stand in a
// URL and in an XML attribute as it is: a name or IPv4 address, or an IPv6
// literal in brackets, with an optional port.
bool IsHostValue(std::string_view host);

// Why a request head is refused with 400 and its connection closed (it could
// be read in two ways by two servers: a Transfer-Encoding other than exactly
// "chunked", a Host missing or repeated), or null.
template <class Fields>
char const* HeadDefect(boost::beast::http::request_header<Fields> const& head);

// An allocator drawing on a memory resource (a connection's arena, emptied
// before each request), which unlike std::pmr's moves with its container.
template <class T>
struct ArenaAllocator {
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  ArenaAllocator() noexcept = default;
  explicit ArenaAllocator(std::pmr::memory_resource* r) noexcept : resource(r) {}
  template <class U>
  ArenaAllocator(ArenaAllocator<U> const& other) noexcept : resource(other.resource) {}

  T* allocate(std::size_t n) { return static_cast<T*>(resource->allocate(n * sizeof(T), alignof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { resource->deallocate(p, n * sizeof(T), alignof(T)); }
  template <class U>
  bool operator==(ArenaAllocator<U> const& other) const noexcept {
    return resource == other.resource;
  }
  template <class U>
  bool operator!=(ArenaAllocator<U> const& other) const noexcept {
    return resource != other.resource;
  }

  std::pmr::memory_resource* resource = std::pmr::new_delete_resource();
};

// The fields of a connection's messages.
using ArenaFields = boost::beast::http::basic_fields<ArenaAllocator<char>>;
extern template char const* HeadDefect(boost::beast::http::request_header<> const& head);
extern template char const* HeadDefect(boost::beast::http::request_header<ArenaFields> const& head);

// The namespace and wire version a SOAPAction names ("urn:tarn25/8.0.3.0",
// quotes optional); nullopt when it names none.
std::optional<std::pair<std::string_view, std::string_view>> SoapActionVersion(std::string_view action);

// Whether an Accept-Encoding value accepts gzip (q not zero).
bool AcceptsGzip(std::string_view acceptEncoding);

// Counts failed logins per key (a session id, a client address): a key that
// fails `maxFailures` times within `window` is refused for `backoff`.
// Thread-safe; holds at most `maxKeys` keys, dropping the oldest first.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    unsigned maxFailures = 5;  // 0: never refuse
    std::chrono::milliseconds window{60000};
    std::chrono::milliseconds backoff{30000};
    std::size_t maxKeys = 10000;
  };
  explicit LoginThrottle(Limits limits) : _limits(limits) {}

  // How long `key` must still wait before it may try again; zero when it may now.
  std::chrono::milliseconds Refused(std::string const& key, Clock::time_point now);
  void Failed(std::string const& key, Clock::time_point now);
  std::size_t Size();

 private:
  struct Entry {
    unsigned failures = 0;
    Clock::time_point windowStart, blockedUntil, lastSeen;
  };
  Limits _limits;
  std::mutex _mutex;
  std::unordered_map<std::string, Entry> _entries;
};

// A WSDL or schema file held in memory once and shared by every response
// that serves it. A WSDL's service address (the location of its first
// soap:address) is left out of the held text so that each response can put
// in the address the request came to: the body is then head + address +
// tail. The gzip form is held the same way, as raw deflate streams that may be
// joined: head (with the gzip header) and tail are compressed once, the
// address goes between them as a stored block, and the trailer's CRC is
// combined from the parts'.
class ServedDocument {
 public:
  explicit ServedDocument(std::string text);

  bool HasAddress() const noexcept { return _hasAddress; }
  std::string_view Head() const noexcept { return std::string_view(_text).substr(0, _addressBegin); }
  std::string_view Tail() const noexcept { return std::string_view(_text).substr(_addressEnd); }
  std::size_t Size(std::size_t addressSize) const noexcept {
    return _text.size() - (_addressEnd - _addressBegin) + addressSize;
  }

  // The compressed form: GzHead() + middle + GzTail() + trailer, where middle
  // and trailer come from GzMiddle for the address.
  std::string_view GzHead() const noexcept { return _gzHead; }
  std::string_view GzTail() const noexcept { return _gzTail; }
  void GzMiddle(std::string_view address, std::string& middle, std::string& trailer) const;

 private:
  std::string _text;
  bool _hasAddress = false;
  std::size_t _addressBegin = 0, _addressEnd = 0;
  std::string _gzHead, _gzTail;
  std::uint32_t _crcHead = 0, _crcTail = 0;
};

// `text` escaped for a double-quoted XML attribute value; empty when it holds
// bytes no XML document carries (the Host header's own checks keep them out).
std::string XmlAttribute(std::string_view text);

}  // namespace Quill::HttpServerRules
