#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvani/korvani_base_service.hpp"
#include "korvani/payment_service.hpp"

namespace korvani {
namespace {

TEST(KorvaniBaseService, FillsOnlyAnAbsentBaseAndKeepsTheLastToken) {
  const auto defaulted = std::make_shared<KorvaniBaseService>(ServiceConfig{});
  EXPECT_EQ(defaulted->config.base, std::string(KorvaniBaseService::defaultBaseUrl));
  EXPECT_TRUE(defaulted->config.base->starts_with("https://"));

  ServiceConfig emptyBase;
  emptyBase.base = "";
  EXPECT_EQ(std::make_shared<KorvaniBaseService>(emptyBase)->config.base, "");

  ServiceConfig withParams;
  withParams.base = "https://127.0.0.1:1";
  withParams.params = {{"other", "kept"}};
  const auto service = std::make_shared<KorvaniBaseService>(withParams);
  EXPECT_EQ(service->config.base, "https://127.0.0.1:1");
  service->setAccessToken("first");
  service->setAccessToken("second");
  EXPECT_EQ(service->config.params,
            (StringDictionary{{"access_token", "second"}, {"other", "kept"}}));
  service->setAccessToken("");
  EXPECT_EQ(service->config.params.at("access_token"), "");
}

// What goes on the wire is checked in request_shape_test.cpp; this is what stays unsent.
TEST(PaymentService, EmptyConfigurationGivesAPostToTheDefaultOriginWithoutPath) {
  const auto bare = std::make_shared<PaymentService>(PaymentConfiguration{});
  EXPECT_EQ(bare->config.base, std::string(KorvaniBaseService::defaultBaseUrl));
  EXPECT_FALSE(bare->config.path.has_value());
  EXPECT_EQ(bare->config.method, RequestMethod::post);
  EXPECT_TRUE(bare->config.params.empty());
  EXPECT_TRUE(bare->config.headers.empty());
  EXPECT_FALSE(bare->config.body.has_value());
  EXPECT_DOUBLE_EQ(bare->config.timeoutInterval, 72.0);
  EXPECT_FALSE(bare->success || bare->error || bare->failure);
}

}  // namespace
}  // namespace korvani
