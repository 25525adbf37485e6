#include "korvani/host/reachability.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "reachability_interfaces.hpp"
#include "support/fakes.hpp"

namespace korvani::host {
namespace {

using test_support::FixedReachability;

// Restores the default provider even when a check fails.
struct ProviderGuard {
  ~ProviderGuard() { ZRReachability::setProvider({}); }
};

TEST(ZRReachability, InterfaceListDecidesTheDefaultStatus) {
  sockaddr_in ipv4{};
  ipv4.sin_family = AF_INET;
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  sockaddr link{};
  link.sa_family = AF_UNSPEC;  // stands for a link-layer entry without an IP address

  const struct {
    const char* label;
    unsigned flags;
    sockaddr* address;
    ZRNetworkStatus expected;
  } single[] = {
      {"loopback up with IPv4", IFF_UP | IFF_LOOPBACK, reinterpret_cast<sockaddr*>(&ipv4),
       ZRNetworkStatus::NotReachable},
      {"ethernet up, no address", IFF_UP, nullptr, ZRNetworkStatus::NotReachable},
      {"ethernet down with IPv4", 0, reinterpret_cast<sockaddr*>(&ipv4),
       ZRNetworkStatus::NotReachable},
      {"ethernet up, link entry only", IFF_UP, &link, ZRNetworkStatus::NotReachable},
      {"ethernet up with IPv4", IFF_UP, reinterpret_cast<sockaddr*>(&ipv4),
       ZRNetworkStatus::ReachableViaWiFi},
      {"ethernet up with IPv6", IFF_UP | IFF_RUNNING, reinterpret_cast<sockaddr*>(&ipv6),
       ZRNetworkStatus::ReachableViaWiFi},
  };
  char name[] = "if0";
  for (const auto& c : single) {
    ifaddrs entry{};
    entry.ifa_name = name;
    entry.ifa_flags = c.flags;
    entry.ifa_addr = c.address;
    EXPECT_EQ(statusForInterfaces(&entry), c.expected) << c.label;
  }
  EXPECT_EQ(statusForInterfaces(nullptr), ZRNetworkStatus::NotReachable);

  // A usable interface anywhere in the list is enough.
  ifaddrs last{};
  last.ifa_name = name;
  last.ifa_flags = IFF_UP;
  last.ifa_addr = reinterpret_cast<sockaddr*>(&ipv6);
  ifaddrs first{};
  first.ifa_name = name;
  first.ifa_flags = IFF_UP | IFF_LOOPBACK;
  first.ifa_addr = reinterpret_cast<sockaddr*>(&ipv4);
  first.ifa_next = &last;
  EXPECT_EQ(statusForInterfaces(&first), ZRNetworkStatus::ReachableViaWiFi);
  last.ifa_flags = 0;
  EXPECT_EQ(statusForInterfaces(&first), ZRNetworkStatus::NotReachable);
}

TEST(ZRReachability, HostProviderReplacesTheDefaultObject) {
  ProviderGuard guard;
  const auto defaultObject = ZRReachability::reachabilityForInternetConnection();
  ASSERT_NE(defaultObject, nullptr);
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), defaultObject);

  const auto offline = std::make_shared<FixedReachability>(ZRNetworkStatus::NotReachable);
  ZRReachability::setProvider([offline] { return offline; });
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), offline);
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection()->currentReachabilityStatus(),
            ZRNetworkStatus::NotReachable);

  ZRReachability::setProvider([] { return std::shared_ptr<ZRReachability>(); });
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), nullptr);

  // A provider may swap itself out while it is being asked.
  const auto online = std::make_shared<FixedReachability>(ZRNetworkStatus::ReachableViaWWAN);
  ZRReachability::setProvider([online] {
    ZRReachability::setProvider({});
    return online;
  });
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), online);
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), defaultObject);

  ZRReachability::setProvider({});
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), defaultObject);
}

TEST(ZRReachability, ProviderCanBeSwappedWhileOtherThreadsAsk) {
  ProviderGuard guard;
  const auto defaultObject = ZRReachability::reachabilityForInternetConnection();
  const auto online = std::make_shared<FixedReachability>(ZRNetworkStatus::ReachableViaWiFi);
  constexpr int kAsksPerThread = 300;
  std::atomic<int> finished{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> askers;
  for (int t = 0; t < 2; ++t) {
    askers.emplace_back([&] {
      for (int i = 0; i < kAsksPerThread; ++i) {
        const auto object = ZRReachability::reachabilityForInternetConnection();
        if (object != nullptr && object != online && object != defaultObject) ++unexpected;
      }
      ++finished;
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; finished.load() < 2 && std::chrono::steady_clock::now() < deadline; ++i) {
    if (i % 3 == 0) ZRReachability::setProvider([online] { return online; });
    if (i % 3 == 1) ZRReachability::setProvider([] { return std::shared_ptr<ZRReachability>(); });
    if (i % 3 == 2) ZRReachability::setProvider({});
  }
  for (auto& thread : askers)
    thread.join();
  EXPECT_EQ(finished.load(), 2);
  EXPECT_EQ(unexpected.load(), 0);
  ZRReachability::setProvider([online] { return online; });
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), online);
}

}  // namespace
}  // namespace korvani::host
