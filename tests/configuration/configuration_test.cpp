// The JSON-built configuration records (preference, merchant order, discount) are checked field
// by field against their reading rules by the records fuzz target, on every seed of its corpus
// (tests/fuzz_regressions); only what no record holds is tested here.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "korvani/payment_plugin_configuration.hpp"

namespace korvani {
namespace {

TEST(PaymentPluginConfiguration, TrackingIdFollowsTheCurrentMembers) {
  const struct {
    std::string platform;
    std::optional<std::string> appVersion;
    std::optional<std::string> source;
    std::string expected;
  } cases[] = {
      {"ios", {}, {}, "platform:APP, so:ios, version:, source:"},
      {"ios", "7.4", "home", "platform:APP, so:ios, version:7.4, source:home"},
      {"android", " 1.0 ", "a, b", "platform:APP, so:android, version: 1.0 , source:a, b"},
  };
  PaymentPluginConfiguration config;
  for (const auto& c : cases) {
    config.platform = c.platform;
    config.appVersion = c.appVersion;
    config.source = c.source;
    EXPECT_EQ(config.xTrackingId(), c.expected);
  }
}

}  // namespace
}  // namespace korvani
