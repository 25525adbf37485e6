#include "korvani/host/reachability.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

#include "reachability_interfaces.hpp"

namespace korvani::host {
namespace {

std::mutex& providerMutex() {
  static std::mutex mutex;
  return mutex;
}

ZRReachability::Provider& installedProvider() {
  static ZRReachability::Provider provider;
  return provider;
}

}  // namespace

std::shared_ptr<ZRReachability> ZRReachability::reachabilityForInternetConnection() {
  Provider provider;
  {
    std::lock_guard lock(providerMutex());
    provider = installedProvider();
  }
  // Called outside the lock, so that a provider may itself install another one.
  if (provider) return provider();
  static const auto defaultObject = std::make_shared<ZRReachability>();
  return defaultObject;
}

void ZRReachability::setProvider(Provider provider) {
  std::lock_guard lock(providerMutex());
  installedProvider() = std::move(provider);
}

ZRNetworkStatus statusForInterfaces(const ifaddrs* interfaces) noexcept {
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if ((entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_LOOPBACK) == 0 &&
        (family == AF_INET || family == AF_INET6)) {
      // The host's library tells Wi-Fi from mobile data; here every route counts as Wi-Fi.
      return ZRNetworkStatus::ReachableViaWiFi;
    }
  }
  return ZRNetworkStatus::NotReachable;
}

ZRNetworkStatus ZRReachability::currentReachabilityStatus() const {
  // Listing the interfaces costs tens of microseconds, more than the rest of a payment's own
  // work; an answer up to a second old is as good for a request that takes far longer.
  constexpr auto kFreshFor = std::chrono::seconds(1);
  static std::mutex cacheMutex;
  static std::optional<std::chrono::steady_clock::time_point> checkedAt;
  static ZRNetworkStatus cached = ZRNetworkStatus::NotReachable;

  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(cacheMutex);
  if (checkedAt && now - *checkedAt < kFreshFor) return cached;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) {
    cached = ZRNetworkStatus::NotReachable;
  } else {
    cached = statusForInterfaces(interfaces);
    freeifaddrs(interfaces);
  }
  checkedAt = now;
  return cached;
}

}  // namespace korvani::host
