#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/json.hpp"

namespace checkout_demo {

// What the demo host pays and where. The defaults make an approved card payment against the
// in-process sandbox; every input can also be left out (an empty value or a --no- flag), and
// the request then goes without what it would have put there.
struct DemoOptions {
  std::optional<std::string> baseUrl;  // not set: the sandbox in this process
  std::optional<std::string> caFile;

  // The configuration's texts.
  std::optional<std::string> path = "/v1/payments";
  std::optional<std::string> accessToken = "TEST-4711-demo-access-token";
  std::optional<std::string> appVersion = "1.0.0";
  std::optional<std::string> sessionId = "demo-session-0001";
  std::optional<std::string> source = "checkout_demo";
  std::optional<std::string> userAgent;

  // The host's JSON records: built-in examples unless a file replaces them.
  std::optional<korvani::JsonObject> preference;
  std::optional<korvani::JsonObject> merchantOrder;
  std::optional<korvani::JsonObject> discount;
  std::optional<korvani::JsonObject> metadata;

  // The payer's choices as the checkout store holds them.
  std::optional<std::string> paymentMethod = "visa";
  std::optional<std::string> paymentType = "credit_card";
  std::optional<std::string> issuer = "310";
  std::optional<std::string> token = "demo-card-token-0001";
  std::optional<std::int64_t> installments = 3;  // not set: no payer cost
  std::optional<std::string> authCode;

  bool sha256 = true;
  bool offline = false;
  bool recover = true;  // the session re-sends a request whose answer was lost
  bool warmUp = true;   // the session opens the connection ahead of the payment
  // A sandbox outcome, already put in place as the token, the stored code or the amount.
  std::optional<std::string> scenario;
};

struct ParsedArguments {
  enum class Kind { run, help, error };
  Kind kind = Kind::run;
  DemoOptions options;
  std::string message;  // why the arguments were refused (Kind::error)
};

// Reads the command line (without the program name). JSON files are read and parsed here, so
// that a bad file is refused like a bad flag, with the line and column of the fault.
ParsedArguments parseArguments(const std::vector<std::string_view>& arguments);

// The --help text.
std::string usage();

}  // namespace checkout_demo
