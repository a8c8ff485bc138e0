// The server's request rules on their own: cookie headers, request targets,
// heads that must be refused, SOAPAction versions, Accept-Encoding, the
// failed-login throttle and the served documents with their address.
#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <string>
#include <vector>

#include "RequestRules.h"

using namespace Quill::HttpServerRules;
using namespace std::chrono_literals;
namespace http = boost::beast::http;

TEST(RequestRules, CookieValues) {
  struct Case {
    std::string header;
    std::vector<std::string> values;
  } cases[] = {
      {"tarn_session=abc", {"abc"}},
      {"lb=a=b/c:d,e; tarn_session=abc", {"abc"}},
      {"route=/x/y; sticky=k:v,w; tarn_session=abc; lang=en", {"abc"}},
      {"tarn_session=\"abc\"", {"abc"}},
      {"  tarn_session = abc ;x=y", {"abc"}},
      {"x=1;tarn_session=abc;tarn_session=def", {"abc", "def"}},
      {"tarn_sessionx=1; xtarn_session=2; tarn_session", {}},
      {"flag; tarn_session=abc", {"abc"}},
      {"", {}},
  };
  for (auto const& c : cases) {
    std::vector<std::string> got;
    for (auto v : CookieValues(c.header, "tarn_session")) got.emplace_back(v);
    EXPECT_EQ(got, c.values) << c.header;
  }
}

TEST(RequestRules, TargetsAndHosts) {
  struct Case {
    std::string target;
    std::optional<std::pair<std::string, std::string>> parsed;  // path, authority
  } cases[] = {
      {"/sdk", {{"/sdk", ""}}},
      {"/sdk?x=1", {{"/sdk", ""}}},
      {"http://h:80/sdk", {{"/sdk", "h:80"}}},
      {"HTTPS://[::1]:8443/sdk/tarn.wsdl?q", {{"/sdk/tarn.wsdl", "[::1]:8443"}}},
      {"http://host.example", {{"/", "host.example"}}},
      {"ftp://h/sdk", std::nullopt},
      {"http://user@h/sdk", std::nullopt},
      {"http://h\"x/sdk", std::nullopt},
      {"http:///sdk", std::nullopt},
      {"*", std::nullopt},
      {"sdk", std::nullopt},
  };
  for (auto const& c : cases) {
    auto t = ParseTarget(c.target);
    ASSERT_EQ(t.has_value(), c.parsed.has_value()) << c.target;
    if (t) {
      EXPECT_EQ(std::string(t->path), c.parsed->first) << c.target;
      EXPECT_EQ(std::string(t->authority), c.parsed->second) << c.target;
    }
  }
  for (char const* good : {"a", "127.0.0.1", "127.0.0.1:8080", "[::1]", "[::1]:1", "x-y.z_w~:"}) {
    EXPECT_TRUE(IsHostValue(good)) << good;
  }
  for (char const* bad :
       {"", ":80", "a:b", "a b", "a\"b", "a<b", "a&b", "[::1", "[]", "[::1]x", "a:123456", "[g::1]"}) {
    EXPECT_FALSE(IsHostValue(bad)) << bad;
  }
}

TEST(RequestRules, HeadsThatAreRefused) {
  struct Case {
    unsigned version;
    std::vector<std::pair<std::string, std::string>> fields;
    char const* defect;  // a part of the reason, or null
  } cases[] = {
      {11, {{"Host", "x"}}, nullptr},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "chunked"}}, nullptr},
      {11, {{"Host", "x"}, {"Transfer-Encoding", " Chunked "}}, nullptr},
      {10, {}, nullptr},
      {11, {{"Host", ""}}, nullptr},
      {11, {}, "no Host"},
      {11, {{"Host", "x"}, {"Host", "x"}}, "more than one Host"},
      {10, {{"Host", "a"}, {"Host", "b"}}, "more than one Host"},
      {11, {{"Host", "a b"}}, "names no host"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "gzip"}}, "other than chunked"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "chunked, gzip"}}, "other than chunked"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "gzip, chunked"}}, "other than chunked"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "identity"}}, "other than chunked"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "xchunked"}}, "other than chunked"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}}, "more than one"},
      {11, {{"Host", "x"}, {"Transfer-Encoding", "chunked"}, {"Content-Length", "5"}}, "both"},
      {10, {{"Transfer-Encoding", "chunked"}}, "HTTP/1.0"},
  };
  for (auto const& c : cases) {
    http::request_header<> head;
    head.version(c.version);
    std::string text;
    for (auto const& [name, value] : c.fields) {
      head.insert(name, value);
      text += name + ": " + value + "; ";
    }
    char const* defect = HeadDefect(head);
    if (!c.defect) {
      EXPECT_EQ(defect, nullptr) << text << defect;
    } else {
      ASSERT_NE(defect, nullptr) << text;
      EXPECT_NE(std::string(defect).find(c.defect), std::string::npos) << text << defect;
    }
  }
}

TEST(RequestRules, SoapActionAndAcceptEncoding) {
  auto named = SoapActionVersion("\"urn:tarn25/8.0.3.0\"");
  ASSERT_TRUE(named);
  EXPECT_EQ(named->first, "tarn25");
  EXPECT_EQ(named->second, "8.0.3.0");
  EXPECT_TRUE(SoapActionVersion("urn:tarn2/2.5"));
  for (char const* none : {"", "\"\"", "Login", "urn:tarn25", "urn:tarn25/", "urn:/8.0", "\"urn:x\""}) {
    EXPECT_FALSE(SoapActionVersion(none)) << none;
  }
  struct Case {
    char const* header;
    bool gzip;
  } cases[] = {{"gzip", true},      {"deflate, gzip", true},     {"GZIP;q=0.5", true}, {"x-gzip", true},
               {"gzip;q=0", false}, {"br, gzip;q=0.000", false}, {"br", false},        {"", false},
               {"identity", false}, {"gzip;q=0.001", true}};
  for (auto const& c : cases) EXPECT_EQ(AcceptsGzip(c.header), c.gzip) << c.header;
}

TEST(RequestRules, LoginThrottle) {
  LoginThrottle throttle({3, 10s, 30s, 2});
  auto t0 = LoginThrottle::Clock::time_point() + 1h;
  throttle.Failed("a", t0);
  throttle.Failed("a", t0 + 1s);
  EXPECT_EQ(throttle.Refused("a", t0 + 2s), 0ms);
  throttle.Failed("a", t0 + 2s);
  EXPECT_EQ(throttle.Refused("a", t0 + 2s), 30000ms);
  EXPECT_EQ(throttle.Refused("a", t0 + 31s), 1000ms);
  EXPECT_EQ(throttle.Refused("b", t0 + 2s), 0ms) << "another key is not held back";
  EXPECT_EQ(throttle.Refused("a", t0 + 32s), 0ms) << "the backoff is over";
  // Failures spread wider than the window never add up.
  for (int i = 0; i < 10; ++i) throttle.Failed("b", t0 + i * 11s);
  EXPECT_EQ(throttle.Refused("b", t0 + 100s), 0ms);
  // At most maxKeys keys are held.
  throttle.Failed("c", t0 + 200s);
  throttle.Failed("d", t0 + 201s);
  EXPECT_LE(throttle.Size(), 2u);
  LoginThrottle off({0, 10s, 30s, 10});
  for (int i = 0; i < 10; ++i) off.Failed("a", t0);
  EXPECT_EQ(off.Refused("a", t0), 0ms);
}

namespace {

std::string Gunzip(std::string const& in, std::size_t most) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
  std::string out(most + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  bool whole = z.avail_in == 0;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || !whole) return "<gzip error " + std::to_string(rc) + ">";
  return out;
}

}  // namespace

TEST(RequestRules, ServedDocuments) {
  std::string filler(100000, 'x');
  for (std::size_t i = 0; i < filler.size(); i += 7) filler[i] = static_cast<char>('a' + i % 26);
  std::string head = "<definitions>" + filler + "<service><port><soap:address location=\"";
  std::string tail = "\"/></port></service>" + filler + "</definitions>";
  ServedDocument wsdl(head + "https://localhost/sdk" + tail);
  ASSERT_TRUE(wsdl.HasAddress());
  EXPECT_TRUE(wsdl.Head() == head);
  EXPECT_TRUE(wsdl.Tail() == tail);
  for (std::string address : {std::string("http://h:1/sdk"), std::string(70000, 'a'), std::string()}) {
    std::string middle, trailer;
    wsdl.GzMiddle(address, middle, trailer);
    std::string gz = std::string(wsdl.GzHead()) + middle + std::string(wsdl.GzTail()) + trailer;
    EXPECT_TRUE(Gunzip(gz, 400000) == head + address + tail) << address.size();
    EXPECT_LT(gz.size(), (head.size() + tail.size()) / 2 + address.size() + 64);
    EXPECT_EQ(wsdl.Size(address.size()), head.size() + address.size() + tail.size());
  }
  ServedDocument schema("<schema>" + filler + "</schema>");
  EXPECT_FALSE(schema.HasAddress());
  EXPECT_TRUE(schema.Head() == "<schema>" + filler + "</schema>");
  EXPECT_EQ(schema.Tail(), "");
  std::string middle, trailer;
  schema.GzMiddle("ignored", middle, trailer);
  EXPECT_EQ(middle, "");
  EXPECT_TRUE(Gunzip(std::string(schema.GzHead()) + std::string(schema.GzTail()) + trailer, 400000) == schema.Head());
  EXPECT_EQ(XmlAttribute("http://a/b?x=1&y=\"<'>"), "http://a/b?x=1&amp;y=&quot;&lt;'&gt;");
  EXPECT_EQ(XmlAttribute("http://h\x01/"), "");
  EXPECT_EQ(XmlAttribute("http://h\xff/"), "");
  EXPECT_EQ(XmlAttribute("http://h\xc3\xa9/\t"), "http://h\xc3\xa9/&#9;");
}
