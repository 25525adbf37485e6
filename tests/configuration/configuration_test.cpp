// The JSON-built configuration records (preference, merchant order, discount) are checked field
// by field against their reading rules by the records fuzz target, on every seed of its corpus
// (tests/fuzz_regressions); only what no record holds is tested here.

#include <gtest/gtest.h>

#include "korvani/payment_plugin_configuration.hpp"

namespace korvani {
namespace {

TEST(PaymentPluginConfiguration, TrackingIdFollowsTheCurrentMembers) {
  PaymentPluginConfiguration config;  // platform "ios", nothing else
  EXPECT_EQ(config.xTrackingId(), "platform:APP, so:ios, version:, source:");
  config.appVersion = "7.4";
  config.source = "home";
  EXPECT_EQ(config.xTrackingId(), "platform:APP, so:ios, version:7.4, source:home");
  config.platform = "android";
  config.appVersion = " 1.0 ";  // written as they are
  config.source = "a, b";
  EXPECT_EQ(config.xTrackingId(), "platform:APP, so:android, version: 1.0 , source:a, b");
}

}  // namespace
}  // namespace korvani
