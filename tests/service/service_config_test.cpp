#include "korvani/service_config.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace korvani {
namespace {

TEST(ServiceConfig, DefaultsAndValueSemantics) {
  const ServiceConfig fresh;
  EXPECT_EQ(fresh.method, RequestMethod::get);
  EXPECT_TRUE(fresh.params.empty());
  EXPECT_TRUE(fresh.headers.empty());
  EXPECT_FALSE(fresh.base.has_value());
  EXPECT_FALSE(fresh.path.has_value());
  EXPECT_FALSE(fresh.body.has_value());
  EXPECT_EQ(fresh.contentType, "application/json");
  EXPECT_DOUBLE_EQ(fresh.timeoutInterval, 72.0);

  ServiceConfig original;
  original.params["a"] = "1";
  original.body = JsonObject{{"amount", 10}};
  ServiceConfig copy = original;
  copy.params["a"] = "2";
  copy.params["b"] = "3";
  copy.body->set("amount", 11);
  EXPECT_EQ(original.params, (StringDictionary{{"a", "1"}}));
  EXPECT_EQ(*original.body, (JsonObject{{"amount", 10}}));
}

TEST(RequestMethod, RawTextsRoundTripAndOnlyExactTextParses) {
  const struct {
    RequestMethod method;
    const char* text;
  } cases[] = {
      {RequestMethod::get, "GET"},        {RequestMethod::post, "POST"},
      {RequestMethod::put, "PUT"},        {RequestMethod::head, "HEAD"},
      {RequestMethod::delete_, "DELETE"}, {RequestMethod::options, "OPTIONS"},
  };
  std::unordered_set<RequestMethod> seen;
  for (const auto& c : cases) {
    EXPECT_EQ(rawValue(c.method), c.text);
    EXPECT_EQ(requestMethodFromRawValue(c.text), c.method) << c.text;
    EXPECT_EQ(requestMethodFromRawValue(rawValue(c.method)), c.method) << c.text;
    seen.insert(c.method);
  }
  EXPECT_EQ(seen.size(), 6u);

  for (const char* text : {"post", " POST", "POST ", "", "PATCH", "GETS", "Get"}) {
    EXPECT_EQ(requestMethodFromRawValue(text), std::nullopt) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace korvani
