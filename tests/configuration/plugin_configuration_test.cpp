#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "korvani/json.hpp"
#include "korvani/payment_plugin_configuration.hpp"

namespace korvani {
namespace {

TEST(PaymentPluginConfiguration, Defaults) {
  PaymentPluginConfiguration config;
  EXPECT_FALSE(config.baseUrl || config.path || config.accessToken || config.appVersion ||
               config.brixSessionId || config.siteId || config.source || config.userAgent);
  EXPECT_EQ(config.platform, "ios");
  EXPECT_EQ(config.checkoutPreference, nullptr);
  EXPECT_EQ(config.merchantOrder, nullptr);
  EXPECT_EQ(config.discount, nullptr);
  ASSERT_TRUE(config.internalMetadata.has_value());
  EXPECT_TRUE(config.internalMetadata->empty());
  EXPECT_FALSE(config.sha256);
}

TEST(PaymentPluginConfiguration, TrackingIdFollowsTheCurrentMembers) {
  struct Case {
    std::string platform;
    std::optional<std::string> appVersion;
    std::optional<std::string> source;
    std::string expected;
  };
  const Case cases[] = {
      {"ios", std::nullopt, std::nullopt, "platform:APP, so:ios, version:, source:"},
      {"ios", "7.4", std::nullopt, "platform:APP, so:ios, version:7.4, source:"},
      {"ios", std::nullopt, "home", "platform:APP, so:ios, version:, source:home"},
      {"", std::nullopt, std::nullopt, "platform:APP, so:, version:, source:"},
      {"android", " 1.0 ", "a, b", "platform:APP, so:android, version: 1.0 , source:a, b"},
  };
  for (const Case& c : cases) {
    PaymentPluginConfiguration config;
    config.platform = c.platform;
    config.appVersion = c.appVersion;
    config.source = c.source;
    EXPECT_EQ(config.xTrackingId(), c.expected);
  }

  // Read, change, read again: nothing is kept from the first read.
  PaymentPluginConfiguration config;
  EXPECT_EQ(config.xTrackingId(), "platform:APP, so:ios, version:, source:");
  config.appVersion = "2";
  config.source = "s";
  EXPECT_EQ(config.xTrackingId(), "platform:APP, so:ios, version:2, source:s");
}

TEST(PaymentPluginConfiguration, RecordsAreSharedWithTheHost) {
  PaymentPluginConfiguration config;
  auto preference = PaymentPluginPreference::fromJson(JsonObject{});
  config.checkoutPreference = preference;
  preference->title = "changed later";
  EXPECT_EQ(config.checkoutPreference->title, "changed later");
}

}  // namespace
}  // namespace korvani
