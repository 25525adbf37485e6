#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "journal.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "payment_desk.hpp"

namespace httplib {
class Server;
}

namespace korvani::sandbox {

// The sandbox's page for people: the journal's requests, payments and connections, followed
// live, and the controls (next scenario, clear). Plain HTTP on loopback: a browser would refuse
// the sandbox's own certificate authority, and nothing leaves the machine. Its own threads and
// port, so that nothing a viewer does reaches the payments' workers.
class Dashboard {
 public:
  Dashboard(Journal& journal, PaymentDesk& desk, std::function<SandboxCounters()> counters);
  ~Dashboard();  // stops
  Dashboard(const Dashboard&) = delete;
  Dashboard& operator=(const Dashboard&) = delete;

  // Binds `host` (loopback) and `port` (0: a free one) and serves on a background thread;
  // returns the port, or 0 with a reason in `error`.
  int start(const std::string& host, int port, std::string* error);
  // Ends every live stream and waits for the server's threads.
  void stop();

 private:
  void route(httplib::Server& server);
  bool admits(const std::string& remoteAddress, const std::string& host,
              const std::string& origin) const;
  // What changed after `revision`, as the page reads it; `reached` gets the revision it is at.
  std::string journalJson(std::uint64_t revision, std::uint64_t* reached = nullptr) const;
  // One request whole (headers, bodies); "" when the journal no longer has it.
  std::string requestJson(std::uint64_t seq) const;

  Journal& journal_;
  PaymentDesk& desk_;
  const std::function<SandboxCounters()> counters_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  int port_ = 0;
  std::atomic<int> streams_{0};
};

}  // namespace korvani::sandbox
