#include "korvani/service_config.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvani/korvani_base_service.hpp"

namespace korvani {
namespace {

// Both directions read one table: a round trip over every method finds a missing or doubled
// text (the request-shape tests see some of the texts on the wire).
TEST(RequestMethod, RawTextsRoundTripAndOnlyExactTextParses) {
  using enum RequestMethod;
  for (const RequestMethod method : {get, post, put, head, delete_, options})
    EXPECT_EQ(requestMethodFromRawValue(rawValue(method)), method) << rawValue(method);
  EXPECT_EQ(rawValue(delete_), "DELETE");
  for (const char* text : {"post", " POST", "POST ", "", "PATCH", "GETS", "Get"})
    EXPECT_EQ(requestMethodFromRawValue(text), std::nullopt) << '"' << text << '"';
}

TEST(KorvaniBaseService, FillsOnlyAnAbsentBaseAndKeepsTheLastToken) {
  EXPECT_EQ(KorvaniBaseService::create(ServiceConfig{})->config.base, "https://api.korvani.com");
  ServiceConfig emptyBase;
  emptyBase.base = "";
  EXPECT_EQ(KorvaniBaseService::create(emptyBase)->config.base, "");

  ServiceConfig withParams;
  withParams.params = {{"other", "kept"}};
  const auto service = KorvaniBaseService::create(withParams);
  service->setAccessToken("first");
  service->setAccessToken("second");
  EXPECT_EQ(service->config.params,
            (StringDictionary{{"access_token", "second"}, {"other", "kept"}}));
}

}  // namespace
}  // namespace korvani
