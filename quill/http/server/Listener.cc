#include "Listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <cerrno>
#include <fstream>

#include "basalt/Exception.h"

namespace Quill::HttpServerParts {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

void Listener::RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0 || limit.rlim_max != RLIM_INFINITY) return;
  std::ifstream nrOpen("/proc/sys/fs/nr_open");
  rlim_t most = 0;
  if (nrOpen >> most && most > limit.rlim_cur) {
    raised.rlim_cur = most;
    ::setrlimit(RLIMIT_NOFILE, &raised);
  }
}

Listener::Listener(net::io_context& ioc, std::string const& address, std::uint16_t port, bool tls,
                   std::string const& serverName, ServerCounters& counters, OnAccept onAccept)
    : _ioc(ioc), _tls(tls), _counters(counters), _onAccept(std::move(onAccept)) {
  // What a client gets when the server is out of file descriptors; written on
  // the raw socket, since nothing else can be afforded then.
  _noDescriptors = "HTTP/1.1 503 Service Unavailable\r\nServer: " + serverName +
                   "\r\nContent-Type: text/plain; charset=utf-8\r\nRetry-After: 1\r\nConnection: close\r\n"
                   "Content-Length: 31\r\n\r\nserver out of file descriptors\n";
  error_code ec;
  auto ip = net::ip::make_address(address, ec);
  if (ec) throw Basalt::Exception("HttpServer: address '" + address + "': " + ec.message());
  _host = ip.is_v6() ? "[" + address + "]" : address;
  std::string where = _host + ":" + std::to_string(port);
  tcp::endpoint endpoint(ip, port);
  // The acceptor and its retry timer live on one strand: Close comes from another thread.
  auto strand = net::make_strand(_ioc);
  _acceptor.emplace(strand);
  _retry.emplace(strand);
  _acceptor->open(endpoint.protocol(), ec);
  if (!ec) _acceptor->set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) _acceptor->bind(endpoint, ec);
  if (!ec) _acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw Basalt::Exception("HttpServer: cannot listen on " + where + ": " + ec.message());
  _port = _acceptor->local_endpoint().port();
  _reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Listener::~Listener() {
  if (_reserveFd >= 0) ::close(_reserveFd);
}

void Listener::Start() { Accept(); }

void Listener::Close() {
  net::post(_acceptor->get_executor(), [this] {
    _closed = true;
    error_code ignored;
    _acceptor->close(ignored);
    _retry->cancel();
  });
}

void Listener::Accept() {
  _acceptor->async_accept(net::make_strand(_ioc), [this](error_code ec, Socket socket) {
    if (ec == net::error::operation_aborted || _closed) return;
    if (ec) {
      // Out of descriptors: the clients waiting are told so with the reserve
      // descriptor. For this and the like, try again shortly rather than spin
      // on the same error.
      if (ec == net::error::no_descriptors ||
          (ec.category() == boost::system::system_category() && ec.value() == ENFILE)) {
        ShedWithReserve();
      }
      _retry->expires_after(std::chrono::milliseconds(50));
      _retry->async_wait([this](error_code timerError) {
        if (!timerError && !_closed) Accept();
      });
      return;
    }
    _counters.accepted++;
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    _onAccept(std::move(socket));
    Accept();
  });
}

// Lets the reserve descriptor go, answers the connections waiting in the
// backlog 503 one at a time on the descriptor so freed (over TLS, closes them:
// a plain answer means nothing there), and takes the reserve back. Runs on
// the acceptor's strand, between two accepts.
void Listener::ShedWithReserve() {
  int listener = _acceptor->native_handle();
  for (int i = 0; i < 64; ++i) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, 0) <= 0) break;
    if (_reserveFd >= 0) ::close(_reserveFd);
    _reserveFd = -1;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    _counters.accepted++;
    _counters.r503fd++;
    if (!_tls) {
      [[maybe_unused]] auto sent = ::send(fd, _noDescriptors.data(), _noDescriptors.size(), MSG_NOSIGNAL);
      ::shutdown(fd, SHUT_WR);
      // What the client sent already is read, so that closing does not reset
      // the connection under the answer.
      char drain[4096];
      for (int j = 0; j < 16 && ::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0; ++j) {
      }
    }
    ::close(fd);
  }
  if (_reserveFd < 0) _reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace Quill::HttpServerParts
