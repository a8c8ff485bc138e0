#include "Injection.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <thread>
#include <vector>

#include "basalt/Exception.h"
#include "quill/MethodFault.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace Tarn::Sim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// A fault type by sedge name (with or without "tarn.fault."), or WSDL name.
Quill::DataObjectType* FindFault(std::string const& name) {
  Quill::Type* t = Quill::FindType(name);
  if (!t) t = Quill::FindType("tarn.fault." + name);
  if (!t) t = Quill::FindTypeByWsdlName(name);
  if (!t || t->GetKind() != Quill::KIND_FAULT) return nullptr;
  return static_cast<Quill::DataObjectType*>(t);
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '"' || ch == '\\') out += '\\';
    if (static_cast<unsigned char>(ch) < 0x20) continue;
    out += ch;
  }
  return out + "\"";
}

}  // namespace

Injector::Injector() = default;
Injector::~Injector() { Shutdown(); }

void Injector::SetDelay(std::string const& method, std::chrono::milliseconds delay) {
  if (method.empty()) throw Basalt::Exception("a delay needs a method (or \"*\")");
  if (delay.count() < 0 || delay > std::chrono::minutes(10)) throw Basalt::Exception("a delay is 0 to 600000 ms");
  std::lock_guard<std::mutex> lock(_mutex);
  if (delay.count() == 0) {
    _delays.erase(method);
    _wake.notify_all();  // calls held by it go on
  } else {
    _delays[method] = delay;
  }
}

void Injector::SetFault(std::string const& method, std::string const& fault, unsigned count) {
  if (method.empty()) throw Basalt::Exception("a fault needs a method (or \"*\")");
  Quill::DataObjectType* type = count ? FindFault(fault) : nullptr;
  if (count && !type) throw Basalt::Exception("no fault type '" + fault + "'");
  std::lock_guard<std::mutex> lock(_mutex);
  if (count == 0) {
    _faults.erase(method);
  } else {
    _faults[method] = FaultRule{type->GetName(), count};
  }
}

void Injector::DropConnections(unsigned count, std::string const& when) {
  if (when != "before" && when != "after") throw Basalt::Exception("drop \"when\" is \"before\" or \"after\"");
  std::lock_guard<std::mutex> lock(_mutex);
  _drops = count;
  _dropWhen = when == "before" ? Drop::Before : Drop::After;
}

void Injector::SetSlow(std::size_t bytesPerSecond, std::chrono::milliseconds latency) {
  if (latency.count() < 0 || latency > std::chrono::minutes(1)) throw Basalt::Exception("latency is 0 to 60000 ms");
  std::lock_guard<std::mutex> lock(_mutex);
  _bytesPerSecond = bytesPerSecond;
  _latency = latency;
}

void Injector::Clear() {
  std::lock_guard<std::mutex> lock(_mutex);
  _delays.clear();
  _faults.clear();
  _drops = 0;
  _bytesPerSecond = 0;
  _latency = std::chrono::milliseconds(0);
  _wake.notify_all();  // delayed calls go on at once
}

std::string Injector::Describe() const {
  std::lock_guard<std::mutex> lock(_mutex);
  std::string out = "{\"delays\": {";
  bool first = true;
  for (auto const& [method, ms] : _delays) {
    out += (first ? "" : ", ") + Quote(method) + ": " + std::to_string(ms.count());
    first = false;
  }
  out += "}, \"faults\": {";
  first = true;
  for (auto const& [method, rule] : _faults) {
    out += (first ? "" : ", ") + Quote(method) + ": {\"fault\": " + Quote(rule.type) +
           ", \"count\": " + std::to_string(rule.count) + "}";
    first = false;
  }
  out += "}, \"drop\": {\"count\": " + std::to_string(_drops) + ", \"when\": \"" +
         (_dropWhen == Drop::Before ? "before" : "after") +
         "\"}, \"slow\": {\"bytesPerSecond\": " + std::to_string(_bytesPerSecond) +
         ", \"latencyMs\": " + std::to_string(_latency.count()) + "}}\n";
  return out;
}

std::string Injector::Control(std::string_view method, std::string_view path, std::string_view body) {
  if (method == "GET" && (path.empty() || path == "/")) return Describe();
  if (method != "POST") throw Basalt::Exception("use GET for the rules, POST to change them");
  if (path == "/clear") {
    Clear();
    return Describe();
  }
  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  if (parser.parse(body.data(), body.size()).get(doc) || !doc.is_object())
    throw Basalt::Exception("the body is not a JSON object");
  auto text = [&doc](char const* key, char const* fallback) -> std::string {
    std::string_view v;
    if (doc[key].get_string().get(v)) {
      if (fallback) return fallback;
      throw Basalt::Exception(std::string("\"") + key + "\" (a string) is missing");
    }
    return std::string(v);
  };
  auto number = [&doc](char const* key, bool required) -> std::uint64_t {
    std::uint64_t v = 0;
    if (doc[key].get_uint64().get(v) && required)
      throw Basalt::Exception(std::string("\"") + key + "\" (a number, 0 or more) is missing");
    return v;
  };
  if (path == "/delay") {
    SetDelay(text("method", nullptr), std::chrono::milliseconds(number("ms", true)));
  } else if (path == "/fault") {
    std::uint64_t count = number("count", false);
    if (doc["count"].error()) count = 1;
    SetFault(text("method", nullptr), text("fault", ""), unsigned(std::min<std::uint64_t>(count, 1u << 30)));
  } else if (path == "/drop") {
    DropConnections(unsigned(std::min<std::uint64_t>(number("count", true), 1u << 30)), text("when", "before"));
  } else if (path == "/slow") {
    SetSlow(std::size_t(number("bytesPerSecond", false)), std::chrono::milliseconds(number("latencyMs", false)));
  } else {
    throw Basalt::Exception("no control " + std::string(path));
  }
  return Describe();
}

void Injector::BeforeCall(Quill::CallInfo const& call) {
  if (!call.method) return;
  std::unique_lock<std::mutex> lock(_mutex);
  if (_delays.empty() && _faults.empty()) return;
  std::string name = std::string(call.method->GetDeclaringType()->GetName()) + "." + call.method->GetName();
  std::string wsdl = call.method->GetWsdlName();
  auto find = [&](auto& rules) {
    auto it = rules.find(name);
    if (it == rules.end()) it = rules.find(wsdl);
    if (it == rules.end()) it = rules.find("*");
    return it;
  };
  if (auto d = find(_delays); d != _delays.end()) {
    auto until = std::chrono::steady_clock::now() + d->second;
    std::size_t rules = _delays.size();
    // Cleared rules or a stop end the wait early.
    _wake.wait_until(lock, until, [&] { return _stopped || _delays.size() < rules; });
  }
  auto f = find(_faults);
  if (f == _faults.end()) return;
  std::string type = f->second.type;
  if (--f->second.count == 0) _faults.erase(f);
  lock.unlock();
  Basalt::Ref<Quill::MethodFault> fault(dynamic_cast<Quill::MethodFault*>(FindFault(type)->Create()));
  fault->Throw();
}

void Injector::Shutdown() {
  std::lock_guard<std::mutex> lock(_mutex);
  _stopped = true;
  _wake.notify_all();
}

Injector::Drop Injector::TakeDrop() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_drops == 0) return Drop::None;
  --_drops;
  return _dropWhen;
}

std::size_t Injector::GetBytesPerSecond() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _bytesPerSecond;
}

std::chrono::milliseconds Injector::GetLatency() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _latency;
}

// --- the connection front ---------------------------------------------------------

struct Front::Impl {
  Injector* injector;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  tcp::acceptor control{io};
  tcp::endpoint backend;
  std::string controlUrl;
  std::uint16_t port = 0;
  std::thread thread;
  bool stopped = false;

  void Accept();
  void AcceptControl();
};

namespace {

// One client connection and its connection to the server behind. Requests are
// told apart without reading HTTP: a client speaks again only after an answer
// (or at the start), so the first bytes it sends after bytes came back begin a
// new request.
class Pipe : public std::enable_shared_from_this<Pipe> {
 public:
  Pipe(tcp::socket client, Injector* injector)
      : _client(std::move(client)),
        _server(_client.get_executor()),
        _timer(_client.get_executor()),
        _injector(injector) {}

  void Start(tcp::endpoint backend) {
    _server.async_connect(backend, [self = shared_from_this()](boost::system::error_code ec) {
      if (ec) return self->Close();
      self->Up();
      self->Down();
    });
  }

 private:
  void Up() {
    _client.async_read_some(asio::buffer(_up), [self = shared_from_this()](boost::system::error_code ec,
                                                                           std::size_t n) {
      if (ec) return self->Close();
      if (self->_newRequest) {
        self->_newRequest = false;
        Injector::Drop drop = self->_injector->TakeDrop();
        if (drop == Injector::Drop::Before) return self->Close();
        if (drop == Injector::Drop::After) self->_dropAnswer = true;
      }
      asio::async_write(self->_server, asio::buffer(self->_up, n), [self](boost::system::error_code ec2, std::size_t) {
        if (ec2) return self->Close();
        self->Up();
      });
    });
  }

  void Down() {
    std::size_t rate = _injector->GetBytesPerSecond();
    std::size_t chunk = rate ? std::clamp<std::size_t>(rate / 20, 1, _down.size()) : _down.size();
    _server.async_read_some(asio::buffer(_down, chunk),
                            [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                              if (ec) return self->Close();
                              if (self->_dropAnswer) return self->Close();
                              std::size_t rate = self->_injector->GetBytesPerSecond();
                              auto hold = self->_injector->GetLatency();
                              if (rate) hold += std::chrono::milliseconds(n * 1000 / rate);
                              if (hold.count() == 0) return self->Write(n);
                              self->_timer.expires_after(hold);
                              self->_timer.async_wait([self, n](boost::system::error_code ec2) {
                                if (ec2) return self->Close();
                                self->Write(n);
                              });
                            });
  }

  void Write(std::size_t n) {
    _newRequest = true;
    asio::async_write(_client, asio::buffer(_down, n),
                      [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                        if (ec) return self->Close();
                        self->Down();
                      });
  }

  void Close() {
    boost::system::error_code ignored;
    _client.close(ignored);
    _server.close(ignored);
    _timer.cancel();
  }

  tcp::socket _client;
  tcp::socket _server;
  asio::steady_timer _timer;
  Injector* _injector;
  std::array<char, 16384> _up;
  std::array<char, 16384> _down;
  bool _newRequest = true;
  bool _dropAnswer = false;
};

// One control request per connection.
class ControlSession : public std::enable_shared_from_this<ControlSession> {
 public:
  ControlSession(tcp::socket socket, Injector* injector) : _stream(std::move(socket)), _injector(injector) {}

  void Start() {
    _stream.expires_after(std::chrono::seconds(10));
    _parser.body_limit(64 * 1024);
    http::async_read(_stream, _buffer, _parser, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      self->Answer();
    });
  }

 private:
  void Answer() {
    auto const& request = _parser.get();
    std::string_view target(request.target().data(), request.target().size());
    _response.version(request.version());
    _response.keep_alive(false);
    _response.set(http::field::server, "tarn-sim control");
    constexpr std::string_view kPrefix = "/control";
    try {
      if (!target.starts_with(kPrefix)) {
        _response.result(http::status::not_found);
        _response.set(http::field::content_type, "text/plain");
        _response.body() = "not found: the control URL is /control\n";
      } else {
        std::string_view method(request.method_string().data(), request.method_string().size());
        _response.body() = _injector->Control(method, target.substr(kPrefix.size()), request.body());
        _response.result(http::status::ok);
        _response.set(http::field::content_type, "application/json");
      }
    } catch (Basalt::Exception const& e) {
      _response.result(http::status::bad_request);
      _response.set(http::field::content_type, "text/plain");
      _response.body() = std::string(e.what()) + "\n";
    }
    _response.prepare_payload();
    http::async_write(_stream, _response, [self = shared_from_this()](beast::error_code, std::size_t) {
      beast::error_code ignored;
      self->_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    });
  }

  beast::tcp_stream _stream;
  Injector* _injector;
  beast::flat_buffer _buffer;
  http::request_parser<http::string_body> _parser;
  http::response<http::string_body> _response;
};

void Listen(tcp::acceptor& acceptor, std::string const& address, std::uint16_t port, char const* what) {
  boost::system::error_code ec;
  auto ip = asio::ip::make_address(address, ec);
  if (ec) throw Basalt::Exception(std::string("tarn-sim: ") + what + ": bad address '" + address + "'");
  tcp::endpoint at(ip, port);
  acceptor.open(at.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(at, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw Basalt::Exception(std::string("tarn-sim: ") + what + ": cannot listen on " + address + ":" +
                            std::to_string(port) + ": " + ec.message());
  }
}

}  // namespace

void Front::Impl::Accept() {
  acceptor.async_accept([self = this](boost::system::error_code ec, tcp::socket socket) {
    if (self->stopped || !self->acceptor.is_open()) return;
    if (!ec) std::make_shared<Pipe>(std::move(socket), self->injector)->Start(self->backend);
    self->Accept();
  });
}

void Front::Impl::AcceptControl() {
  control.async_accept([self = this](boost::system::error_code ec, tcp::socket socket) {
    if (self->stopped || !self->control.is_open()) return;
    if (!ec) std::make_shared<ControlSession>(std::move(socket), self->injector)->Start();
    self->AcceptControl();
  });
}

Front::Front(Injector* injector, std::string const& address, std::uint16_t port, std::uint16_t backendPort,
             std::string const& controlAddress, std::uint16_t controlPort)
    : _impl(std::make_unique<Impl>()) {
  _impl->injector = injector;
  Listen(_impl->acceptor, address, port, "connection front");
  Listen(_impl->control, controlAddress, controlPort, "control URL");
  _impl->backend = tcp::endpoint(asio::ip::make_address(address), backendPort);
  auto local = _impl->control.local_endpoint();
  std::string host = local.address().is_v6() ? "[" + local.address().to_string() + "]" : local.address().to_string();
  _impl->controlUrl = "http://" + host + ":" + std::to_string(local.port()) + "/control";
  _impl->Accept();
  _impl->AcceptControl();
  _impl->port = _impl->acceptor.local_endpoint().port();
  _impl->thread = std::thread([impl = _impl.get()] { impl->io.run(); });
}

Front::~Front() { Stop(); }

std::uint16_t Front::GetPort() const { return _impl->port; }
std::string Front::GetControlUrl() const { return _impl->controlUrl; }

void Front::Stop() {
  if (!_impl->thread.joinable()) return;
  _impl->io.stop();
  _impl->thread.join();
  _impl->stopped = true;
  boost::system::error_code ignored;
  _impl->acceptor.close(ignored);
  _impl->control.close(ignored);
  // The open pipes end with the context, which destroys their handlers.
}

}  // namespace Tarn::Sim
