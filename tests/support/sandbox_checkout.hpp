#pragma once
// Header only: tests that include it link the sandbox library themselves.

#include <memory>
#include <string>

#include "korvani/host/tracker.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "support/fakes.hpp"
#include "support/process_state.hpp"

namespace korvani::test_support {

// A quiet in-process sandbox that the shared session trusts, with the network reported up and
// tracking recorded by `listener` (a ProcessState undoes these); null (and `error` set) when the
// server did not start.
inline std::unique_ptr<sandbox::SandboxServer> startCheckoutSandbox(
    sandbox::SandboxOptions options, std::shared_ptr<host::KVTrackListener> listener,
    std::string& error) {
  options.quiet = true;
  auto server = std::make_unique<sandbox::SandboxServer>(options);
  if (!server->start(&error)) return nullptr;
  platform::URLSession::sharedSession()->addTrustedCertificatesPem(server->caCertificatePem());
  setNetworkStatus(host::ZRNetworkStatus::ReachableViaWiFi);
  host::KVQTracker::setTrackListener(std::move(listener));
  return server;
}

// Runs what the main queue still holds, then stops the server.
inline void stopCheckoutSandbox(sandbox::SandboxServer* server) {
  platform::MainQueue::runUntilIdle();
  if (server) server->stop();
}

}  // namespace korvani::test_support
