#include "korvani/host/reachability.hpp"

#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

#include "korvani/host/stand_ins.hpp"
#include "reachability_interfaces.hpp"
#include "support/process_state.hpp"

namespace korvani::host {
namespace {

TEST(ZRReachability, InterfaceListDecidesTheDefaultStatus) {
  sockaddr_in ipv4{};
  ipv4.sin_family = AF_INET;
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  sockaddr link{};
  link.sa_family = AF_UNSPEC;  // stands for a link-layer entry without an IP address
  auto* v4 = reinterpret_cast<sockaddr*>(&ipv4);
  auto* v6 = reinterpret_cast<sockaddr*>(&ipv6);
  const auto none = ZRNetworkStatus::NotReachable;
  const auto wifi = ZRNetworkStatus::ReachableViaWiFi;
  char name[] = "if0";
  // One list entry; the members not set here (netmask, broadcast address, data) stay null.
  const auto entry = [&](unsigned flags, sockaddr* address, ifaddrs* next = nullptr) {
    ifaddrs e{};
    e.ifa_next = next;
    e.ifa_name = name;
    e.ifa_flags = flags;
    e.ifa_addr = address;
    return e;
  };
  const auto alone = [&](unsigned flags, sockaddr* address) {
    ifaddrs single = entry(flags, address);
    return statusForInterfaces(&single);
  };
  EXPECT_EQ(alone(IFF_UP | IFF_LOOPBACK, v4), none);
  EXPECT_EQ(alone(IFF_UP, nullptr), none);
  EXPECT_EQ(alone(0, v4), none);
  EXPECT_EQ(alone(IFF_UP, &link), none);
  EXPECT_EQ(alone(IFF_UP, v4), wifi);
  EXPECT_EQ(alone(IFF_UP | IFF_RUNNING, v6), wifi);
  EXPECT_EQ(statusForInterfaces(nullptr), none);
  // A usable interface anywhere in the list is enough.
  ifaddrs last = entry(IFF_UP, v6);
  ifaddrs first = entry(IFF_UP | IFF_LOOPBACK, v4, &last);
  EXPECT_EQ(statusForInterfaces(&first), wifi);
  last.ifa_flags = 0;
  EXPECT_EQ(statusForInterfaces(&first), none);
}

TEST(ZRReachability, HostProviderReplacesTheDefaultObject) {
  test_support::ProcessState state;
  const auto defaultObject = ZRReachability::reachabilityForInternetConnection();
  ASSERT_NE(defaultObject, nullptr);
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), defaultObject);
  // A provider may swap itself out while it is being asked (a provider that answers null is
  // the service tests' "no reachability object").
  const auto offline = std::make_shared<FixedReachability>(ZRNetworkStatus::NotReachable);
  ZRReachability::setProvider([offline] {
    ZRReachability::setProvider({});
    return offline;
  });
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), offline);
  EXPECT_EQ(ZRReachability::reachabilityForInternetConnection(), defaultObject);
}

}  // namespace
}  // namespace korvani::host
