#include <gtest/gtest.h>

#include "korvani/json.hpp"

namespace korvani {
namespace {

TEST(JsonSmoke, AmountsSurviveARoundTrip) {
  const char* cases[][2] = {{"0.1", "0.1"},
                            {"10.25", "10.25"},
                            {"1e2", "100"},
                            {"123456789012345678901234567.89", "123456789012345678901234567.89"},
                            {"-0.00", "0"}};
  for (const auto& c : cases) {
    const std::string text = std::string("{\"amount\":") + c[0] + "}";
    JsonError error;
    const auto value = parseJson(text, &error);
    ASSERT_TRUE(value) << text << ": " << error.message();
    const auto amount = value->asObject()->getNumber("amount");
    ASSERT_TRUE(amount) << text;
    EXPECT_EQ(amount->toString(), c[1]);
    EXPECT_EQ(*serializeJson(*value), std::string("{\"amount\":") + c[1] + "}");
  }
}

}  // namespace
}  // namespace korvani
