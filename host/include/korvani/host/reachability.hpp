#pragma once

#include <functional>
#include <memory>

#include "korvani/export.hpp"

namespace korvani::host {

// Network status as the host's reachability library reports it; raw value 0 means no route.
// Other raw values are possible and all count as reachable.
enum class ZRNetworkStatus : int { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

// Host reachability service. The default object reports a connection when a non-loopback
// network interface is up with an address. A host (or a test) installs its own provider.
class KORVANI_EXPORT ZRReachability {
 public:
  using Provider = std::function<std::shared_ptr<ZRReachability>()>;

  virtual ~ZRReachability() = default;

  // The object for the general internet route, or null when the host has none.
  static std::shared_ptr<ZRReachability> reachabilityForInternetConnection();
  // Installs the provider asked by reachabilityForInternetConnection(); an empty function
  // restores the default. Thread-safe.
  static void setProvider(Provider provider);

  virtual ZRNetworkStatus currentReachabilityStatus() const;
};

}  // namespace korvani::host
