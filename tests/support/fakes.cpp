#include "support/fakes.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "korvani/host/stand_ins.hpp"

namespace korvani::test_support {

void setNetworkStatus(host::ZRNetworkStatus status) {
  auto reachability = std::make_shared<host::FixedReachability>(status);
  host::ZRReachability::setProvider([reachability] { return reachability; });
}

JsonObject jsonObject(std::string_view text) {
  std::optional<JsonValue> value = parseJson(text);
  EXPECT_TRUE(value && value->isObject()) << "test input is not an object: " << text;
  return value && value->isObject() ? *value->asObject() : JsonObject{};
}

}  // namespace korvani::test_support
