// A tiny loopback TCP server for the client's tests: it accepts connections
// on 127.0.0.1 and hands each to a behaviour, on a thread of its own. It
// reads no further into HTTP than the blank line that ends a request's head;
// the behaviours answer well or badly as each test needs. Every wait is
// bounded, and the destructor stops and joins everything.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace TestNet {

using Clock = std::chrono::steady_clock;

class Connection {
 public:
  Connection(int fd, std::atomic<bool> const& stop) : _fd(fd), _stop(stop) {}

  // Reads up to and including the blank line after the head, or returns
  // false (peer closed, server stopping, 5 s passed). Bytes read past the
  // blank line are kept for ReadBody.
  bool ReadHead(std::string& head) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      std::size_t end = _buffer.find("\r\n\r\n");
      if (end != std::string::npos) {
        head = _buffer.substr(0, end + 4);
        _buffer.erase(0, end + 4);
        return true;
      }
      if (!Fill(deadline)) return false;
    }
  }
  // Reads exactly `n` body bytes (the test knows how many it sent).
  bool ReadBody(std::size_t n, std::string* body = nullptr) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (_buffer.size() < n) {
      if (!Fill(deadline)) return false;
    }
    if (body) *body = _buffer.substr(0, n);
    _buffer.erase(0, n);
    return true;
  }
  bool Write(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(_fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // Sleeps in small steps; false when the server stops first.
  bool Sleep(std::chrono::milliseconds total) {
    auto until = Clock::now() + total;
    while (Clock::now() < until) {
      if (_stop.load()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Waits (bounded) until the peer closes; for behaviours that never answer.
  void WaitForClose(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Fill(deadline)) {
    }
  }
  int Fd() const noexcept { return _fd; }

 private:
  bool Fill(Clock::time_point deadline) {
    char chunk[4096];
    while (!_stop.load() && Clock::now() < deadline) {
      pollfd p{_fd, POLLIN, 0};
      int r = ::poll(&p, 1, 20);
      if (r < 0) return false;
      if (r == 0) continue;
      ssize_t n = ::recv(_fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      _buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    return false;
  }

  int _fd;
  std::atomic<bool> const& _stop;
  std::string _buffer;
};

class LoopbackServer {
 public:
  using Behaviour = std::function<void(Connection&)>;

  // Listens on 127.0.0.1, a free port; `listen` false binds a port and closes
  // it again, for a URL that nobody serves.
  explicit LoopbackServer(Behaviour behaviour, bool listen = true) : _behaviour(std::move(behaviour)) {
    _fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (_fd < 0) throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
    socklen_t len = sizeof addr;
    ::getsockname(_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    if (!listen) {
      ::close(_fd);
      _fd = -1;
      return;
    }
    if (::listen(_fd, 1024) != 0) throw std::runtime_error("listen");
    _acceptor = std::thread([this] { Accept(); });
  }

  ~LoopbackServer() { Stop(); }

  void Stop() {
    _stop.store(true);
    if (_acceptor.joinable()) _acceptor.join();
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(_mutex);
      threads.swap(_threads);
    }
    for (auto& t : threads) t.join();
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }

  int Port() const noexcept { return _port; }
  std::string Url(std::string const& path = "/sdk") const { return "http://127.0.0.1:" + std::to_string(_port) + path; }
  int Accepted() const noexcept { return _accepted.load(); }
  std::atomic<bool> const& Stopping() const noexcept { return _stop; }

 private:
  void Accept() {
    while (!_stop.load()) {
      pollfd p{_fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(_fd, nullptr, nullptr);
      if (c < 0) continue;
      int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      _accepted.fetch_add(1);
      std::lock_guard lock(_mutex);
      _threads.emplace_back([this, c] {
        Connection conn(c, _stop);
        _behaviour(conn);
        ::close(c);
      });
    }
  }

  Behaviour _behaviour;
  int _fd = -1;
  int _port = 0;
  std::atomic<bool> _stop{false};
  std::atomic<int> _accepted{0};
  std::thread _acceptor;
  std::mutex _mutex;
  std::vector<std::thread> _threads;
};

// "HTTP/1.1 <status>" with a Content-Length and the given extra header lines.
inline std::string Response(int status, std::string const& body, std::string const& extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
         "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         extraHeaders + "\r\n" + body;
}

}  // namespace TestNet
