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

TEST(PaymentService, BuildsAPostFromThePaymentConfiguration) {
  PaymentConfiguration full;
  full.baseUrl = "https://127.0.0.1:9";
  full.path = "/v1/payments";
  full.accessToken = "APP USR/1";
  full.headers = StringDictionary{{"X-Idempotency-Key", "abc"}, {"Content-Type", "text/plain"}};
  full.body = JsonObject{{"transaction_amount", 100}};
  const auto service = std::make_shared<PaymentService>(full);
  const ServiceConfig& config = service->config;
  EXPECT_EQ(config.base, full.baseUrl);
  EXPECT_EQ(config.path, full.path);
  EXPECT_EQ(config.method, RequestMethod::post);
  EXPECT_EQ(config.params, (StringDictionary{{"access_token", "APP USR/1"}}));
  EXPECT_EQ(config.headers, *full.headers);  // replaced when the request is built, not here
  EXPECT_EQ(config.body, full.body);
  EXPECT_EQ(config.contentType, "application/json");
  EXPECT_DOUBLE_EQ(config.timeoutInterval, 72.0);
  EXPECT_FALSE(service->success || service->error || service->failure);

  const auto bare = std::make_shared<PaymentService>(PaymentConfiguration{});
  EXPECT_EQ(bare->config.base, std::string(KorvaniBaseService::defaultBaseUrl));
  EXPECT_FALSE(bare->config.path.has_value());
  EXPECT_EQ(bare->config.method, RequestMethod::post);
  EXPECT_TRUE(bare->config.params.empty());
  EXPECT_TRUE(bare->config.headers.empty());
  EXPECT_FALSE(bare->config.body.has_value());

  PaymentConfiguration emptyBase;
  emptyBase.baseUrl = "";
  emptyBase.accessToken = "";
  const auto kept = std::make_shared<PaymentService>(emptyBase);
  EXPECT_EQ(kept->config.base, "");
  EXPECT_EQ(kept->config.params, (StringDictionary{{"access_token", ""}}));
}

}  // namespace
}  // namespace korvani
