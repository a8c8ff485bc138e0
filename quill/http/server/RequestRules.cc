#include "RequestRules.h"

#include <zlib.h>

#include <algorithm>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <stdexcept>

#include "quill/Text.h"

namespace Quill::HttpServerRules {

namespace http = boost::beast::http;

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return boost::beast::iequals(boost::beast::string_view(a.data(), a.size()),
                               boost::beast::string_view(b.data(), b.size()));
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsPort(std::string_view port) { return port.size() <= 5 && std::all_of(port.begin(), port.end(), IsDigit); }

// One raw deflate stream of `in`, ended with a full flush (so that another
// stream's blocks may follow it) or as the last one.
std::string Deflate(std::string_view in, bool last) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("zlib: cannot start a deflate stream");
  }
  std::string out(deflateBound(&z, in.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
  bool done = last ? rc == Z_STREAM_END : (rc == Z_OK && z.avail_in == 0 && z.avail_out > 0);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (!done) throw std::runtime_error("zlib: deflate failed");
  out.shrink_to_fit();
  return out;
}

std::uint32_t Crc(std::string_view in) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<Bytef const*>(in.data()), static_cast<uInt>(in.size())));
}

void AppendLe32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

}  // namespace

std::vector<std::string_view> CookieValues(std::string_view header, std::string_view name) {
  std::vector<std::string_view> values;
  while (!header.empty()) {
    std::size_t semi = header.find(';');
    std::string_view pair = header.substr(0, semi);
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    if (Trim(pair.substr(0, eq)) == name) values.push_back(Unquote(Trim(pair.substr(eq + 1))));
  }
  return values;
}

std::optional<Target> ParseTarget(std::string_view target) {
  Target t;
  if (!target.empty() && target.front() == '/') {
    t.path = target.substr(0, target.find_first_of("?#"));
    return t;
  }
  std::size_t sep = target.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  std::string_view scheme = target.substr(0, sep);
  if (!iequals(scheme, "http") && !iequals(scheme, "https")) return std::nullopt;
  std::string_view rest = target.substr(sep + 3);
  std::size_t end = rest.find_first_of("/?#");
  t.authority = rest.substr(0, end);
  if (!IsHostValue(t.authority)) return std::nullopt;
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  t.path = rest.substr(0, rest.find_first_of("?#"));
  if (t.path.empty()) t.path = "/";
  return t;
}

bool IsHostValue(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    std::size_t close = host.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    std::string_view inner = host.substr(1, close - 1);
    if (!std::all_of(inner.begin(), inner.end(), [](char c) { return IsHex(c) || c == ':' || c == '.'; })) return false;
    std::string_view after = host.substr(close + 1);
    if (after.empty()) return true;
    if (after.front() != ':') return false;
    return IsPort(after.substr(1));
  }
  std::size_t colon = host.find(':');
  std::string_view name = host.substr(0, colon);
  if (colon != std::string_view::npos && !IsPort(host.substr(colon + 1))) return false;
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
  });
}

template <class Fields>
char const* HeadDefect(http::request_header<Fields> const& head) {
  std::size_t hosts = head.count(http::field::host);
  if (hosts > 1) return "more than one Host header";
  if (hosts == 0 && head.version() >= 11) return "no Host header";
  if (hosts == 1) {
    std::string_view host = Trim(View(head[http::field::host]));
    if (!host.empty() && !IsHostValue(host)) return "a Host header that names no host";
  }
  std::size_t encodings = head.count(http::field::transfer_encoding);
  if (encodings > 1) return "more than one Transfer-Encoding header";
  if (encodings == 1) {
    if (head.version() < 11) return "Transfer-Encoding in an HTTP/1.0 request";
    if (!iequals(Trim(View(head[http::field::transfer_encoding])), "chunked")) {
      return "a Transfer-Encoding other than chunked";
    }
    if (head.count(http::field::content_length) > 0) return "both Transfer-Encoding and Content-Length";
  }
  return nullptr;
}

template char const* HeadDefect(http::request_header<> const& head);
template char const* HeadDefect(http::request_header<ArenaFields> const& head);

std::optional<std::pair<std::string_view, std::string_view>> SoapActionVersion(std::string_view action) {
  std::string_view a = Unquote(Trim(action));
  if (a.substr(0, 4) != "urn:") return std::nullopt;
  a.remove_prefix(4);
  std::size_t slash = a.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == a.size()) return std::nullopt;
  return std::make_pair(a.substr(0, slash), a.substr(slash + 1));
}

bool AcceptsGzip(std::string_view acceptEncoding) {
  for (auto const& coding : http::ext_list(boost::beast::string_view(acceptEncoding.data(), acceptEncoding.size()))) {
    if (!iequals(View(coding.first), "gzip") && !iequals(View(coding.first), "x-gzip")) continue;
    bool refused = false;
    for (auto const& param : coding.second) {
      if (!iequals(View(param.first), "q")) continue;
      std::string_view q = View(param.second);
      refused = !q.empty() && q.front() == '0' &&
                std::all_of(q.begin() + 1, q.end(), [](char c) { return c == '.' || c == '0'; });
    }
    if (!refused) return true;
  }
  return false;
}

std::chrono::milliseconds LoginThrottle::Refused(std::string const& key, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _entries.find(key);
  if (it == _entries.end() || now >= it->second.blockedUntil) return std::chrono::milliseconds(0);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(it->second.blockedUntil - now);
  return std::max(left, std::chrono::milliseconds(1));
}

void LoginThrottle::Failed(std::string const& key, Clock::time_point now) {
  if (_limits.maxFailures == 0) return;
  std::lock_guard<std::mutex> lock(_mutex);
  if (_entries.size() >= _limits.maxKeys && _entries.find(key) == _entries.end()) {
    // Forget what no longer matters, or else the key seen longest ago.
    auto stale = std::max(_limits.window, _limits.backoff);
    for (auto it = _entries.begin(); it != _entries.end();) {
      it = now - it->second.lastSeen > stale && now >= it->second.blockedUntil ? _entries.erase(it) : std::next(it);
    }
    if (_entries.size() >= _limits.maxKeys) {
      _entries.erase(std::min_element(_entries.begin(), _entries.end(), [](auto const& a, auto const& b) {
        return a.second.lastSeen < b.second.lastSeen;
      }));
    }
  }
  Entry& e = _entries[key];
  e.lastSeen = now;
  if (e.failures == 0 || now - e.windowStart > _limits.window) {
    e.failures = 0;
    e.windowStart = now;
  }
  if (++e.failures >= _limits.maxFailures) {
    e.blockedUntil = now + _limits.backoff;
    e.failures = 0;
  }
}

std::size_t LoginThrottle::Size() {
  std::lock_guard<std::mutex> lock(_mutex);
  return _entries.size();
}

ServedDocument::ServedDocument(std::string text) : _text(std::move(text)) {
  _addressBegin = _addressEnd = _text.size();
  std::size_t tag = _text.find("<soap:address");
  std::size_t close = tag == std::string::npos ? tag : _text.find('>', tag);
  std::size_t location = tag == std::string::npos ? tag : _text.find("location=", tag);
  if (location != std::string::npos && location < close && location + 10 < _text.size()) {
    char quote = _text[location + 9];
    std::size_t end = _text.find(quote, location + 10);
    if ((quote == '"' || quote == '\'') && end != std::string::npos && end < close) {
      _hasAddress = true;
      _addressBegin = location + 10;
      _addressEnd = end;
    }
  }
  // gzip member header: deflate, no name, no time, Unix.
  static char const header[] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, 3};
  _gzHead.assign(header, sizeof header);
  _gzHead += Deflate(Head(), !_hasAddress);
  _gzHead.shrink_to_fit();
  _crcHead = Crc(Head());
  if (_hasAddress) {
    _gzTail = Deflate(Tail(), true);
    _crcTail = Crc(Tail());
  }
}

void ServedDocument::GzMiddle(std::string_view address, std::string& middle, std::string& trailer) const {
  std::uint32_t crc = _crcHead;
  std::size_t size = Head().size();
  middle.clear();
  if (_hasAddress) {
    // Stored blocks (the head ended on a byte boundary): a zero header byte,
    // the length and its complement, the bytes as they are.
    for (std::size_t at = 0; at < address.size(); at += 65535) {
      std::string_view piece = address.substr(at, 65535);
      auto n = static_cast<std::uint16_t>(piece.size());
      middle += '\0';
      middle += static_cast<char>(n & 0xff);
      middle += static_cast<char>(n >> 8);
      middle += static_cast<char>(~n & 0xff);
      middle += static_cast<char>((~n >> 8) & 0xff);
      middle += piece;
    }
    crc = static_cast<std::uint32_t>(crc32_combine(crc, Crc(address), static_cast<z_off_t>(address.size())));
    crc = static_cast<std::uint32_t>(crc32_combine(crc, _crcTail, static_cast<z_off_t>(Tail().size())));
    size += address.size() + Tail().size();
  }
  trailer.clear();
  AppendLe32(trailer, crc);
  AppendLe32(trailer, static_cast<std::uint32_t>(size));
}

std::string XmlAttribute(std::string_view text) {
  std::string out;
  Quill::XmlTextResult r = Quill::AppendXmlText(out, text);
  // A client's Host header may carry bytes no XML document holds.
  if (r.control != std::string_view::npos || (r.nonAscii && Quill::InvalidUtf8At(text) != std::string_view::npos))
    return {};
  return out;
}

}  // namespace Quill::HttpServerRules
