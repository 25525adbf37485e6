#pragma once

#include <optional>
#include <string>
#include <utility>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani {

// A second-factor authorisation code. The host checkout store keeps it under "auth_code" in
// the stored form {"code": text, "validated": boolean} that toDictionary() makes. A value
// record: copied on assignment, usable on any thread.
class KORVANI_EXPORT AuthCode {
 public:
  // Takes both parts as given; nothing is checked.
  AuthCode(std::string code, bool validated) : code_(std::move(code)), validated_(validated) {}

  // From the source form {"auth_code": text, "second_auth_factor": text}; the code counts as
  // validated unless the factor is exactly "required". Nothing when either is not a string.
  static std::optional<AuthCode> fromDictionary(const JsonObject& dictionary);
  // From the stored form; nothing unless "code" is a string and "validated" a boolean.
  static std::optional<AuthCode> fromAuthCode(const JsonObject& authCode);

  // The stored form: exactly "code" and "validated".
  JsonObject toDictionary() const;

  // The code; a stored code is sent as the "token" of an account-money payment, validated
  // or not.
  const std::string& code() const noexcept { return code_; }
  bool validated() const noexcept { return validated_; }  // the plug-in itself ignores it

  friend bool operator==(const AuthCode&, const AuthCode&) = default;

 private:
  std::string code_;
  bool validated_;
};

}  // namespace korvani
