#include "korvani/service_config.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvani/korvani_base_service.hpp"

namespace korvani {
namespace {

TEST(RequestMethod, RawTextsRoundTripAndOnlyExactTextParses) {
  const struct {
    RequestMethod method;
    const char* text;
  } cases[] = {
      {RequestMethod::get, "GET"},        {RequestMethod::post, "POST"},
      {RequestMethod::put, "PUT"},        {RequestMethod::head, "HEAD"},
      {RequestMethod::delete_, "DELETE"}, {RequestMethod::options, "OPTIONS"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rawValue(c.method), c.text);
    EXPECT_EQ(requestMethodFromRawValue(c.text), c.method) << c.text;
  }
  for (const char* text : {"post", " POST", "POST ", "", "PATCH", "GETS", "Get"}) {
    EXPECT_EQ(requestMethodFromRawValue(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(KorvaniBaseService, FillsOnlyAnAbsentBaseAndKeepsTheLastToken) {
  EXPECT_EQ(std::make_shared<KorvaniBaseService>(ServiceConfig{})->config.base,
            "https://api.korvani.com");
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
}

}  // namespace
}  // namespace korvani
