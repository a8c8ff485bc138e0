// tarn_http_memory: the resident memory of an HttpServer under the requests
// that would make it grow without bound were it not for its limits. The
// server runs in a child process of its own; this program is its clients, on
// loopback, with raw sockets. For each case a fresh server is started, its
// resident set is read (VmRSS) once it is idle, the clients do their worst for
// a bounded time, and the server's peak (VmHWM) is read before it is stopped.
//
// Cases (N connections each):
//   idle        a header begun and left unfinished
//   headers     a header block just under maxHeaderBytes, unfinished
//   extensions  a chunk header whose extension grows without end
//   trailers    a trailer that grows without end
//   wsdl        GET of the 4.6 MB WSDL, never read (also with gzip)
//   bodies      POSTs of maxBodyBytes each, sent to one byte before the end
//
//   tarn_http_memory --wsdl DIR [--cases idle,headers,...] [--connections N]
//                    [--budget-mib M] [--seconds S]
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quill/Quill.h"
#include "quill/http/HttpServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
  pid_t pid = -1;
  unsigned short port = 0;
  int stop = -1;  // closing it stops the server
};

Server StartServer(Quill::HttpServer::Options options) {
  int toChild[2], fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::exit(1);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(Quill::LocalAdapter::Options()));
    {
      Quill::HttpServer server(adapter.get(), options);
      unsigned short port = server.GetPort();
      if (::write(fromChild[1], &port, sizeof port) != sizeof port) ::_exit(1);
      char byte;
      while (::read(toChild[0], &byte, 1) > 0) {
      }
      server.Stop(std::chrono::milliseconds(0));
    }
    adapter->Shutdown();
    ::_exit(0);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  Server s;
  s.pid = pid;
  s.stop = toChild[1];
  if (::read(fromChild[0], &s.port, sizeof s.port) != sizeof s.port) std::exit(1);
  ::close(fromChild[0]);
  return s;
}

void StopServer(Server& s) {
  ::close(s.stop);
  int status = 0;
  ::waitpid(s.pid, &status, 0);
}

// A line of /proc/<pid>/status, in MiB.
double StatusMiB(pid_t pid, char const* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      std::istringstream fields(line.substr(std::string(key).size() + 1));
      double kb = 0;
      fields >> kb;
      return kb / 1024;
    }
  }
  return -1;
}

int Connect(unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  // A small receive buffer: a client that does not read holds little of the answer.
  int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

struct Client {
  int fd = -1;
  std::string pending;  // what is still to be sent now
  std::uint64_t sent = 0;
  bool done = false;  // answered, closed, or nothing more to send
  std::string answer;
};

// Sends each client's first bytes, then keeps feeding `more` (which may
// append to `pending`) until every client is done or the time is up.
template <class More>
void Drive(std::vector<Client>& clients, std::chrono::seconds seconds, More more) {
  Clock::time_point end = Clock::now() + seconds;
  for (int round = 0; round < 1000000 && Clock::now() < end; ++round) {
    bool anyActive = false;
    for (Client& c : clients) {
      if (c.done || c.fd < 0) continue;
      char buf[512];
      ssize_t got = ::recv(c.fd, buf, sizeof buf, 0);
      if (got > 0) c.answer.append(buf, static_cast<std::size_t>(got));
      if (got == 0 || (got < 0 && errno != EAGAIN) || !c.answer.empty()) {
        c.done = true;
        continue;
      }
      if (c.pending.empty()) more(c);
      if (c.pending.empty()) continue;
      anyActive = true;
      ssize_t n = ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
      if (n > 0) {
        c.sent += static_cast<std::uint64_t>(n);
        c.pending.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EAGAIN) {
        c.done = true;
      }
    }
    if (!anyActive) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::map<std::string, int> Answers(std::vector<Client>& clients) {
  std::map<std::string, int> counts;
  for (Client& c : clients) {
    if (c.answer.empty() && c.fd >= 0) {
      char buf[512];
      ssize_t got = ::recv(c.fd, buf, sizeof buf, 0);
      if (got > 0) c.answer.assign(buf, static_cast<std::size_t>(got));
    }
    std::string status = c.answer.size() >= 12 ? c.answer.substr(9, 3) : c.fd < 0 ? "refused" : "none";
    ++counts[status];
  }
  return counts;
}

struct Options {
  std::string wsdl;
  std::vector<std::string> cases{"idle", "headers", "extensions", "trailers", "wsdl", "wsdl-gzip", "bodies"};
  unsigned connections = 0;  // 0: each case's own
  unsigned budgetMiB = 256;
  unsigned seconds = 20;
};

void RunCase(std::string const& name, Options const& o) {
  Quill::HttpServer::Options server;
  server.wsdlDirectory = o.wsdl;
  server.readTimeout = std::chrono::seconds(o.seconds + 30);
  server.writeTimeout = std::chrono::seconds(o.seconds + 30);
  server.maxBodyBytesInFlight = static_cast<std::size_t>(o.budgetMiB) << 20;
  unsigned n = o.connections;
  if (!n) n = name == "idle" || name == "headers" ? 1000 : name == "bodies" ? 64 : 100;
  Server s = StartServer(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double before = StatusMiB(s.pid, "VmRSS:");
  if (name == "wsdl" || name == "wsdl-gzip") {
    // The document is read and compressed once, by the first request: not the clients' cost.
    int fd = Connect(s.port);
    std::string get = "HEAD /sdk/tarn.wsdl HTTP/1.1\r\nHost: x\r\n\r\n";
    [[maybe_unused]] auto sent = ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ::close(fd);
    double loaded = StatusMiB(s.pid, "VmRSS:");
    std::printf("%-11s document loaded once: +%.1f MiB\n", name.c_str(), loaded - before);
    before = loaded;
  }

  std::vector<Client> clients(n);
  std::size_t maxBody = server.maxBodyBytes;
  std::string filler(64 << 10, 'e');
  std::string chunk(256 << 10, 'b');
  std::string head = "POST /sdk HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(maxBody) + "\r\n\r\n";
  for (Client& c : clients) {
    c.fd = Connect(s.port);
    if (name == "idle") {
      c.pending = "POST /sdk HTTP/1.1\r\nHost: x\r\n";
    } else if (name == "headers") {
      c.pending =
          "POST /sdk HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(server.maxHeaderBytes - 200, 'h') + "\r\n";
    } else if (name == "extensions") {
      c.pending = "POST /sdk HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n10;e=";
    } else if (name == "trailers") {
      c.pending = "POST /sdk HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX-T: ";
    } else if (name == "wsdl") {
      c.pending = "GET /sdk/tarn.wsdl HTTP/1.1\r\nHost: x\r\n\r\n";
    } else if (name == "wsdl-gzip") {
      c.pending = "GET /sdk/tarn.wsdl HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n";
    } else if (name == "bodies") {
      c.pending = head;
    }
  }
  std::uint64_t growUpTo = 8u << 20;  // per connection, for the growing cases
  Drive(clients, std::chrono::seconds(o.seconds), [&](Client& c) {
    if (name == "extensions" || name == "trailers") {
      if (c.sent < growUpTo) c.pending = filler;
    } else if (name == "bodies") {
      // Up to one byte before the end of the body (the head is sent first).
      std::uint64_t target = head.size() + maxBody - 1;
      if (c.sent < target) c.pending = chunk.substr(0, std::min<std::uint64_t>(chunk.size(), target - c.sent));
    }
  });
  if (name == "wsdl" || name == "wsdl-gzip" || name == "idle" || name == "headers") {
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  double now = StatusMiB(s.pid, "VmRSS:");
  double peak = StatusMiB(s.pid, "VmHWM:");
  auto answers = Answers(clients);
  std::uint64_t sent = 0;
  for (Client const& c : clients) sent += c.sent;
  std::string summary;
  for (auto const& [status, count] : answers) summary += " " + status + ":" + std::to_string(count);
  std::printf(
      "%-11s %5u connections  RSS idle %7.1f MiB  peak %7.1f MiB (+%.1f, %.1f KiB per connection)  "
      "at end %7.1f MiB  sent %.1f MiB  answers%s\n",
      name.c_str(), n, before, peak, peak - before, (peak - before) * 1024 / n, now, sent / 1048576.0, summary.c_str());
  std::fflush(stdout);
  for (Client& c : clients) {
    if (c.fd >= 0) ::close(c.fd);
  }
  StopServer(s);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app("the resident memory of an HttpServer under its limits, on loopback");
  app.add_option("--wsdl", o.wsdl, "directory of tarn.wsdl (build/<preset>/generated/wsdl)")->required();
  app.add_option("--cases", o.cases, "cases to run")->delimiter(',');
  app.add_option("--connections", o.connections, "connections per case (default: the case's own)");
  app.add_option("--budget-mib", o.budgetMiB, "maxBodyBytesInFlight in MiB");
  app.add_option("--seconds", o.seconds, "time for each case's clients");
  CLI11_PARSE(app, argc, argv);
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  for (std::string const& name : o.cases) RunCase(name, o);
  return 0;
}
