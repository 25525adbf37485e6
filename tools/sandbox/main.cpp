// korvani-sandbox: serves the sandbox payment platform on loopback until SIGINT or SIGTERM.
// The first line on stdout is the base URL, so scripts can read where it listens; the second
// is the dashboard's address, unless it is turned off.

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "korvani/sandbox/sandbox_server.hpp"

namespace {

using korvani::sandbox::SandboxOptions;

constexpr const char* kUsage =
    "usage: korvani-sandbox [options]\n"
    "  --host HOST            loopback address to listen on (127.0.0.1, localhost, ::1)\n"
    "  --port N               port; 0 or absent picks a free one\n"
    "  --path PATH            payments path (default /v1/payments)\n"
    "  --ca-out FILE          write the CA certificate (PEM) that clients must trust\n"
    "  --first-id N           identifier of the first payment (default 1000000001)\n"
    "  --slow-ms N            delay of the 'slow' scenario in ms (default 3000, max 60000)\n"
    "  --keep-alive-seconds N idle time before a kept-alive connection is closed (default 5)\n"
    "  --threads N            connections served at once (default 8)\n"
    "  --quiet                no request log on standard error\n"
    "  --dashboard-port N     port of the dashboard page; 0 or absent picks a free one\n"
    "  --no-dashboard         no dashboard page\n"
    "  --journal N            requests the dashboard keeps (default 500)\n"
    "  --scenarios            print the scenario table and exit\n";

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

void printScenarios() {
  std::printf("%-16s %-22s %s\n", "scenario", "token", "amount (no token)");
  for (std::string_view name : korvani::sandbox::sandboxScenarioNames()) {
    std::string n(name);
    std::printf("%-16s %-22s %s\n", n.c_str(),
                korvani::sandbox::sandboxTokenForScenario(name).value_or("").c_str(),
                korvani::sandbox::sandboxAmountForScenario(name).value_or("").c_str());
  }
}

// 0: parsed; 1: error; 2: done (help or table printed).
int parseArguments(int argc, char** argv, SandboxOptions& options, std::string& caOut) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string_view text;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 2;
    } else if (arg == "--scenarios") {
      printScenarios();
      return 2;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--no-dashboard") {
      options.dashboard = false;
    } else if (arg == "--dashboard-port") {
      ok = value(text) && parseNumber(text, options.dashboardPort) && options.dashboardPort >= 0 &&
           options.dashboardPort <= 65535;
    } else if (arg == "--journal") {
      ok = value(text) && parseNumber(text, options.journalCapacity) &&
           options.journalCapacity > 0 && options.journalCapacity <= 10'000;
    } else if (arg == "--host") {
      ok = value(text) && (options.host = std::string(text), true);
    } else if (arg == "--port") {
      ok = value(text) && parseNumber(text, options.port) && options.port >= 0 &&
           options.port <= 65535;
    } else if (arg == "--path") {
      ok = value(text) && (options.paymentsPath = std::string(text), true);
    } else if (arg == "--ca-out") {
      ok = value(text) && (caOut = std::string(text), true);
    } else if (arg == "--first-id") {
      ok = value(text) && parseNumber(text, options.firstPaymentId);
    } else if (arg == "--slow-ms") {
      long long ms = 0;
      ok = value(text) && parseNumber(text, ms) && ms >= 0 &&
           ms <= korvani::sandbox::kMaxSlowDelay.count();
      options.slowDelay = std::chrono::milliseconds(ms);
    } else if (arg == "--keep-alive-seconds") {
      long long seconds = 0;
      ok = value(text) && parseNumber(text, seconds) && seconds > 0 && seconds <= 3600;
      options.keepAliveTimeout = std::chrono::seconds(seconds);
    } else if (arg == "--threads") {
      ok = value(text) && parseNumber(text, options.workerThreads) && options.workerThreads > 0 &&
           options.workerThreads <= 256;
    } else {
      std::cerr << "korvani-sandbox: unknown option " << arg << "\n" << kUsage;
      return 1;
    }
    if (!ok) {
      std::cerr << "korvani-sandbox: missing or bad value for " << arg << "\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SandboxOptions options;
  options.dashboard = true;
  std::string caOut;
  if (int parsed = parseArguments(argc, argv, options, caOut); parsed != 0) {
    return parsed == 2 ? 0 : 2;
  }

  // Blocked before any thread starts, so that only sigwait() below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  korvani::sandbox::SandboxServer server(options);
  std::string error;
  if (!server.start(&error)) {
    std::cerr << "korvani-sandbox: " << error << "\n";
    return 1;
  }
  // The CA file exists before the URL is announced: whoever reads the URL may connect at once.
  if (!caOut.empty() && !server.writeCaCertificate(caOut)) {
    std::cerr << "korvani-sandbox: cannot write " << caOut << "\n";
    return 1;
  }
  std::printf("%s\n", server.baseUrl().c_str());
  if (options.dashboard) std::printf("%s\n", server.dashboardUrl().c_str());
  std::fflush(stdout);
  if (!options.quiet) {
    std::cerr << "korvani-sandbox: payments at " << server.paymentsUrl()
              << " (--scenarios lists the test inputs)\n";
    if (options.dashboard) {
      std::cerr << "korvani-sandbox: dashboard at " << server.dashboardUrl() << "\n";
    }
  }

  int received = 0;
  sigwait(&stopSignals, &received);
  server.stop();
  const auto counters = server.counters();
  std::cerr << "korvani-sandbox: stopped; connections=" << counters.connectionsAccepted
            << " handshakes=" << counters.handshakesCompleted
            << " requests=" << counters.requestsServed << "\n";
  return 0;
}
