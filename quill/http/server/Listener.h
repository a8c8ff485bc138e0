// Accepts connections on one address and hands each socket on. Holds one
// file descriptor in reserve: when accepting fails for want of descriptors,
// the reserve is let go to accept the waiting clients one at a time, answer
// each 503 (over TLS: close it) and take the reserve back; the listener then
// waits 50 ms before it tries again, so it never spins on the error.
// Internal to quill-http-server.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ServerStats.h"

namespace Quill::HttpServerParts {

// A connection's socket runs on a strand of its own, named by its concrete type:
// a socket of the type-erased default executor copies that executor to the
// heap with every operation started on it, some twenty times a call.
using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
using StrandSocket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, Strand>;

class Listener {
 public:
  using Socket = StrandSocket;
  using OnAccept = std::function<void(Socket socket)>;

  // Listens at once; throws Basalt::Exception naming the address and the
  // reason. `tls`: a client shed for want of descriptors is closed, not answered.
  Listener(boost::asio::io_context& ioc, std::string const& address, std::uint16_t port, bool tls,
           std::string const& serverName, ServerCounters& counters, OnAccept onAccept);
  ~Listener();
  Listener(Listener const&) = delete;
  Listener& operator=(Listener const&) = delete;

  void Start();
  // From any thread: no more accepts. Safe to destroy once the context has stopped.
  void Close();

  std::uint16_t GetPort() const noexcept { return _port; }
  // The address as it stands in a URL (IPv6 in brackets).
  std::string const& GetHost() const noexcept { return _host; }

  // Raises the process's soft limit of open files to its hard one (or to what
  // the kernel allows when the hard one is unlimited).
  static void RaiseFileLimit();

 private:
  void Accept();
  void ShedWithReserve();

  boost::asio::io_context& _ioc;
  bool _tls;
  ServerCounters& _counters;
  OnAccept _onAccept;
  std::optional<boost::asio::ip::tcp::acceptor> _acceptor;
  std::optional<boost::asio::steady_timer> _retry;
  bool _closed = false;  // on the acceptor's strand
  std::uint16_t _port = 0;
  std::string _host;
  int _reserveFd = -1;         // on the acceptor's strand
  std::string _noDescriptors;  // the answer then, made beforehand
};

}  // namespace Quill::HttpServerParts
