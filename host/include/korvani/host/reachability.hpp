#pragma once

#include <functional>
#include <memory>

#include "korvani/export.hpp"

namespace korvani::host {

// Network status as the host's reachability library reports it; raw value 0 means no route.
// Other raw values are possible and all count as reachable.
enum class ZRNetworkStatus : int { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

// Host reachability service, asked once by every request before anything is sent. The default
// object reports a connection when a non-loopback network interface is up with an IPv4 or IPv6
// address. A host (or a test) installs its own provider.
class KORVANI_EXPORT ZRReachability {
 public:
  // Answers the object to ask; called on the thread that sends the request (the host's main
  // thread), outside any lock, so it may install another provider.
  using Provider = std::function<std::shared_ptr<ZRReachability>()>;

  virtual ~ZRReachability() = default;

  // The installed provider's answer, else the process-wide default object (never null). A null
  // answer counts as no network: the request fails with -1009.
  static std::shared_ptr<ZRReachability> reachabilityForInternetConnection();
  // Installs the provider asked by reachabilityForInternetConnection(); an empty function
  // restores the default. Thread-safe.
  static void setProvider(Provider provider);

  // NotReachable stops the request; the default object answers ReachableViaWiFi for any route.
  virtual ZRNetworkStatus currentReachabilityStatus() const;
};

}  // namespace korvani::host
