#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/json.hpp"

namespace checkout_demo {

// What the demo host pays and where. The defaults make an approved card payment against the
// in-process sandbox.
struct DemoOptions {
  // Absent: start the sandbox in this process and pay there.
  std::optional<std::string> baseUrl;
  std::string path = "/v1/payments";
  std::string accessToken = "TEST-4711-demo-access-token";
  std::optional<std::string> caFile;

  // The host's JSON records; files given on the command line replace the built-in examples.
  korvani::JsonObject preference;
  korvani::JsonObject merchantOrder;
  korvani::JsonObject discount;
  korvani::JsonObject metadata;

  // The payer's choices as the checkout store holds them.
  std::string paymentMethod = "visa";
  std::string paymentType = "credit_card";
  std::optional<std::string> token;
  std::string issuer = "310";
  std::int64_t installments = 3;
  std::optional<std::string> authCode;

  std::optional<std::string> userAgent;
  std::string appVersion = "1.0.0";
  std::string sessionId = "demo-session-0001";
  std::string source = "checkout_demo";

  bool sha256 = true;
  bool offline = false;
  // A sandbox outcome; parseArguments() has already put its token (or amount) in place.
  std::optional<std::string> scenario;
};

struct ParsedArguments {
  enum class Kind { run, help, error };
  Kind kind = Kind::run;
  DemoOptions options;
  std::string message;  // why the arguments were refused (Kind::error)
};

// Reads the command line (without the program name). JSON files are read and parsed here, so
// that a bad file is reported like a bad flag, with its position.
ParsedArguments parseArguments(const std::vector<std::string_view>& arguments);

// The --help text.
std::string usage();

// A JSON object from `text`; otherwise nothing and, in `error`, what is wrong and where
// ("line L, column C: reason").
std::optional<korvani::JsonObject> parseJsonObject(std::string_view text, std::string& error);

}  // namespace checkout_demo
