#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvani::sandbox {

// A local HTTPS stand-in for the payment platform: app teams and our own tests post payments
// to it offline. Outcomes are chosen by documented test inputs (see the scenario table in
// tools/sandbox/README.md).
struct SandboxOptions {
  // Loopback only: "127.0.0.1", "localhost" or "::1". Anything else is refused by start().
  std::string host = "127.0.0.1";
  // 0 picks a free port at every start.
  int port = 0;
  std::string paymentsPath = "/v1/payments";
  // Identifier of the first payment created; later ones count up from it.
  std::uint64_t firstPaymentId = 1'000'000'001;
  // How long the "slow" scenario holds its answer; clamped to kMaxSlowDelay. stop() cuts a
  // pending delay short.
  std::chrono::milliseconds slowDelay{3000};
  // Keep-alive limits per connection: generous, so that a benchmark's thousands of sequential
  // payments travel over one connection and one TLS handshake.
  std::size_t keepAliveMaxCount = 100'000;
  std::chrono::seconds keepAliveTimeout{5};
  // Connections served at once; further ones wait for a free worker.
  std::size_t workerThreads = 8;
  // Idempotency keys remembered; the oldest are forgotten beyond this.
  std::size_t idempotencyCapacity = 100'000;
  // No request log at all (benchmarks, tests).
  bool quiet = false;
  // The dashboard: a page on its own loopback port (plain HTTP, same host) that shows the
  // requests, payments and connections live and sets the next payment's scenario
  // (tools/sandbox/README.md). Off unless asked for: without it nothing is journaled.
  bool dashboard = false;
  // 0 picks a free port at every start.
  int dashboardPort = 0;
  // Requests the dashboard's journal keeps; the oldest are forgotten beyond this.
  std::size_t journalCapacity = 500;
  // Receives each log line (without newline); standard error when empty. Called on server
  // threads, one line at a time; it must not call stop().
  std::function<void(const std::string&)> logSink;
};

struct SandboxCounters {
  std::uint64_t connectionsAccepted = 0;
  std::uint64_t handshakesCompleted = 0;
  std::uint64_t requestsServed = 0;
};

// Longest delay the "slow" scenario may be given.
inline constexpr std::chrono::milliseconds kMaxSlowDelay{60'000};

class SandboxServer {
 public:
  // Makes the certificate authority and the localhost certificate; they stay the same across
  // restarts, so a client that trusts caCertificatePem() keeps trusting the server.
  explicit SandboxServer(SandboxOptions options = {});
  ~SandboxServer();  // stops
  SandboxServer(const SandboxServer&) = delete;
  SandboxServer& operator=(const SandboxServer&) = delete;

  // Binds and starts serving on a background thread; returns once connections are accepted.
  // Returns false, with a reason in `error`, when the host is not loopback or the port cannot
  // be bound. Starting a running server does nothing and returns true. Any thread may call it.
  bool start(std::string* error = nullptr);
  // Stops accepting, ends open connections and waits for every server thread. Idempotent.
  void stop();
  bool isRunning() const;

  // Port and base URL ("https://127.0.0.1:PORT") of the running server; 0 / "" when stopped.
  int port() const;
  std::string baseUrl() const;
  // Base URL plus the payments path, e.g. "https://127.0.0.1:PORT/v1/payments".
  std::string paymentsUrl() const;

  // The dashboard's page ("http://127.0.0.1:PORT/"); "" when it is off or the server stopped.
  std::string dashboardUrl() const;

  const std::string& caCertificatePem() const;
  // Writes caCertificatePem() to `path`; false when the file cannot be written.
  bool writeCaCertificate(const std::filesystem::path& path) const;

  SandboxCounters counters() const;
  // Identifier the next created payment will get.
  std::uint64_t nextPaymentId() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Names of the scenarios ("approved", "rejected", ...), in the order of the README table.
std::vector<std::string_view> sandboxScenarioNames();
// Card token that selects scenario `name`; nullopt for an unknown name.
std::optional<std::string> sandboxTokenForScenario(std::string_view name);
// Transaction amount (decimal text) that selects scenario `name` for payments without a
// token; nullopt for an unknown name. "approved" has no special amount: any other amount
// approves, and its entry gives an ordinary one.
std::optional<std::string> sandboxAmountForScenario(std::string_view name);

}  // namespace korvani::sandbox
