#include "korvani/auth_code.hpp"

#include "korvani/constants.hpp"

namespace korvani {

std::optional<AuthCode> AuthCode::fromDictionary(const JsonObject& dictionary) {
  const std::string* code = dictionary.getString(Constants::AuthCode);
  if (!code) return std::nullopt;
  const std::string* secondFactor = dictionary.getString("second_auth_factor");
  if (!secondFactor) return std::nullopt;
  return AuthCode(*code, *secondFactor != "required");
}

std::optional<AuthCode> AuthCode::fromAuthCode(const JsonObject& authCode) {
  const std::string* code = authCode.getString("code");
  if (!code) return std::nullopt;
  std::optional<bool> validated = authCode.getBool("validated");
  if (!validated) return std::nullopt;
  return AuthCode(*code, *validated);
}

JsonObject AuthCode::toDictionary() const {
  return JsonObject{{"code", code_}, {"validated", validated_}};
}

}  // namespace korvani
