#include "support/fakes.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

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

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  std::string hex;
  for (unsigned int i = 0; i < length; ++i)
    hex += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]};
  return hex;
}

}  // namespace korvani::test_support
