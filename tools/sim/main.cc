// tarn-sim: a server with a generated inventory, for trying and testing clients.
//
//   tarn-sim [--listen 127.0.0.1:8989] [--model FILE | --datacenters N --clusters N --hosts N --vms N
//            --standalone N] [--state FILE] [--tls CERT KEY] [--seed N] [--user U --password-env VAR]
//            [--task-delay-ms N] [--wsdl-dir DIR] [--control ADDRESS:PORT] [--delay METHOD=MS]...
//            [--fault METHOD=FAULT[:N]]... [--drop N [--drop-when before|after]]
//            [--slow BYTES_PER_SECOND[:LATENCY_MS]]
//
// Prints its URL, the certificate's thumbprint over TLS and the logins, then
// serves until SIGINT or SIGTERM, answering the calls under way before it exits.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "Simulator.h"
#include "basalt/Exception.h"

namespace {

// "host:port", "[v6]:port" or a bare port.
bool SplitListen(std::string const& text, std::string& address, std::uint16_t& port) {
  std::string host, digits;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    digits = text.substr(close + 2);
  } else if (auto colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    digits = text.substr(colon + 1);
  } else {
    digits = text;
  }
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long value = std::stoul(digits);
  if (value > 65535) return false;
  if (!host.empty()) address = host;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarn-sim: a server with a generated inventory, for trying and testing clients"};
  Tarn::Sim::Options options;
  std::string listen = "127.0.0.1:8989";
  std::vector<std::string> tls;
  std::string passwordEnv;
  long taskDelayMs = options.taskDelay.count();
  app.add_option("--listen", listen, "address:port to listen on ([::1]:port for IPv6; port 0 picks one)")
      ->capture_default_str();
  app.add_option("--datacenters", options.model.datacenters, "datacenters")->capture_default_str();
  app.add_option("--clusters", options.model.clusters, "clusters per datacenter")->capture_default_str();
  app.add_option("--hosts", options.model.hosts, "hosts per cluster")->capture_default_str();
  app.add_option("--vms", options.model.vms, "virtual machines per host")->capture_default_str();
  app.add_option("--standalone", options.model.standalone, "standalone hosts per datacenter")->capture_default_str();
  app.add_option("--model", options.modelFile,
                 "an inventory described in JSON (names and counts) instead of the counts")
      ->check(CLI::ExistingFile);
  app.add_option("--state", options.stateFile, "load the whole state from FILE when it exists, save it there on exit");
  app.add_option("--seed", options.seed, "seed of the generated inventory")->capture_default_str();
  app.add_option("--tls", tls, "serve HTTPS with this PEM certificate and private key")->expected(2);
  app.add_option("--user", options.user, "the administrator's name")->capture_default_str();
  app.add_option("--password-env", passwordEnv, "environment variable holding the administrator's password");
#ifdef TARN_SIM_WSDL_DIR
  // The generator's output in the build tree, when the program runs from there.
  if (std::filesystem::is_directory(TARN_SIM_WSDL_DIR)) options.wsdlDirectory = TARN_SIM_WSDL_DIR;
#endif
  app.add_option("--wsdl-dir", options.wsdlDirectory, "directory of tarn.wsdl and its .xsd files, served under the URL")
      ->capture_default_str();
  app.add_option("--task-delay-ms", taskDelayMs, "how long each task runs")->capture_default_str();
  std::string control;
  std::vector<std::string> delays, faults;
  unsigned drops = 0;
  std::string dropWhen = "before";
  std::string slow;
  app.add_option("--control", control,
                 "serve the fault-injection control URL here (ADDRESS:PORT), with a connection front on --listen");
  app.add_option("--delay", delays, "METHOD=MS: wait this long before carrying out METHOD (\"*\": every call)");
  app.add_option("--fault", faults, "METHOD=FAULT[:N]: throw FAULT instead of the next N calls of METHOD (default 1)");
  app.add_option("--drop", drops, "drop the connection of the next N requests");
  app.add_option("--drop-when", dropWhen, "before (the call is not made) or after (it is, but not answered)")
      ->capture_default_str();
  app.add_option("--slow", slow, "BYTES_PER_SECOND[:LATENCY_MS]: send answers back this slowly");
  CLI11_PARSE(app, argc, argv);

  if (!SplitListen(listen, options.address, options.port)) {
    std::fprintf(stderr, "tarn-sim: --listen wants address:port, not '%s'\n", listen.c_str());
    return 2;
  }
  if (!passwordEnv.empty()) {
    char const* value = std::getenv(passwordEnv.c_str());
    if (!value || !*value) {
      std::fprintf(stderr, "tarn-sim: environment variable %s is not set\n", passwordEnv.c_str());
      return 2;
    }
    options.password = value;
  }
  if (tls.size() == 2) {
    options.certificateFile = tls[0];
    options.privateKeyFile = tls[1];
  }
  options.taskDelay = std::chrono::milliseconds(taskDelayMs < 0 ? 0 : taskDelayMs);
  // Connection faults need the front; so does the control URL (a free port unless given).
  options.injection.enabled = !control.empty() || drops > 0 || !slow.empty();
  if (!control.empty() && !SplitListen(control, options.injection.controlAddress, options.injection.controlPort)) {
    std::fprintf(stderr, "tarn-sim: --control wants address:port, not '%s'\n", control.c_str());
    return 2;
  }

  // Signals are taken by sigwait below, not by a handler; block them before
  // any thread starts so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    Tarn::Sim::Simulator sim(options);
    Tarn::Sim::Injector& injector = sim.GetInjector();
    auto split = [](std::string const& text, char sep) {
      auto at = text.find(sep);
      return at == std::string::npos ? std::pair(text, std::string())
                                     : std::pair(text.substr(0, at), text.substr(at + 1));
    };
    auto count = [](std::string const& digits, char const* what) -> unsigned long {
      if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        throw Basalt::Exception(std::string(what) + " wants a number, not '" + digits + "'");
      return std::stoul(digits);
    };
    for (std::string const& d : delays) {
      auto [method, ms] = split(d, '=');
      injector.SetDelay(method, std::chrono::milliseconds(count(ms, "--delay")));
    }
    for (std::string const& f : faults) {
      auto [method, rest] = split(f, '=');
      auto [fault, n] = split(rest, ':');
      injector.SetFault(method, fault, n.empty() ? 1 : unsigned(count(n, "--fault")));
    }
    if (drops) injector.DropConnections(drops, dropWhen);
    if (!slow.empty()) {
      auto [rate, latency] = split(slow, ':');
      injector.SetSlow(count(rate, "--slow"),
                       std::chrono::milliseconds(latency.empty() ? 0 : count(latency, "--slow")));
    }
    std::printf("tarn-sim serving %zu virtual machines at %s\n", sim.GetInventory().VmCount(), sim.GetUrl().c_str());
    if (!options.wsdlDirectory.empty()) std::printf("WSDL: %s/tarn.wsdl\n", sim.GetUrl().c_str());
    if (!sim.GetControlUrl().empty()) std::printf("fault injection: %s\n", sim.GetControlUrl().c_str());
    if (!sim.GetThumbprint().empty()) std::printf("thumbprint (SHA-256): %s\n", sim.GetThumbprint().c_str());
    std::printf("login: %s / %s (administrator), %s / %s (read-only)\n", options.user.c_str(),
                passwordEnv.empty() ? options.password.c_str() : ("$" + passwordEnv).c_str(),
                options.readOnlyUser.c_str(), options.readOnlyPassword.c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::printf("tarn-sim: stopping\n");
    std::fflush(stdout);
    sim.Stop();
  } catch (std::exception& e) {
    std::fprintf(stderr, "tarn-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
