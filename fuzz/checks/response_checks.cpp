#include "checks/response_checks.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "checks/json_checks.hpp"
#include "checks/record_checks.hpp"
#include "korvani/json.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/response.hpp"

namespace korvani::fuzz {
namespace {

// -1 stands for "no HTTP answer".
constexpr std::array<long, 16> kStatusCodes = {-1,  200, 201, 204, 299,  199, 300, 304,
                                               404, 500, 100, 0,   -200, 600, 999, 250};
// 0 stands for "no error".
constexpr std::array<std::int64_t, 8> kErrorCodes = {0,
                                                     platform::kURLErrorCancelled,
                                                     platform::kURLErrorTimedOut,
                                                     platform::kURLErrorNotConnectedToInternet,
                                                     platform::kURLErrorUnknown,
                                                     platform::kURLErrorBadServerResponse,
                                                     999,
                                                     -998};

Response::Status expectedStatus(long statusCode, std::int64_t errorCode) {
  if (errorCode == platform::kURLErrorCancelled) return Response::Status::cancelled;
  if (statusCode < 0) return Response::Status::failed;
  if (statusCode >= 200 && statusCode <= 299) return Response::Status::success;
  return Response::Status::error;
}

}  // namespace

Violation checkResponseBytes(std::string_view input) {
  if (input.size() < 2) return std::nullopt;
  const long statusCode = kStatusCodes[static_cast<unsigned char>(input[0]) % kStatusCodes.size()];
  const std::int64_t errorCode =
      kErrorCodes[static_cast<unsigned char>(input[1]) % kErrorCodes.size()];
  const std::string body(input.substr(2));

  std::optional<platform::HTTPURLResponse> answer;
  if (statusCode >= 0) {
    answer.emplace();
    answer->url = "https://127.0.0.1/v1/payments";
    answer->statusCode = statusCode;
  }
  const platform::ErrorPtr error =
      errorCode != 0 ? platform::makeError(platform::kURLErrorDomain, errorCode) : nullptr;
  const auto response = std::make_shared<Response>(body, answer, error);

  KORVANI_FUZZ_REQUIRE(response->result().status() == expectedStatus(statusCode, errorCode));
  KORVANI_FUZZ_REQUIRE(response->data == body);

  // The reference: the body parsed with nothing refused but malformed text.
  JsonParseOptions lenient;
  lenient.allowScalarTopLevel = true;
  lenient.maxDepth = JsonParseOptions::kDepthCeiling;
  const std::optional<JsonValue> reference = parseJson(body, nullptr, lenient);
  const bool container = reference && (reference->isObject() || reference->isArray());

  const std::optional<JsonValue> json = response->responseJSON();
  if (json) {
    KORVANI_FUZZ_REQUIRE(container);
    KORVANI_FUZZ_REQUIRE(*json == *reference);
  } else {
    // Beyond malformed text and scalars, only nesting past the default limit is refused.
    KORVANI_FUZZ_REQUIRE(!container || nestingDepth(*reference) > JsonParseOptions().maxDepth);
  }
  KORVANI_FUZZ_REQUIRE(response->responseJSON() == json);

  // Without data there is nothing to parse.
  Response empty(response->result().status());
  KORVANI_FUZZ_REQUIRE(!empty.data.has_value() && !empty.responseJSON().has_value());
  KORVANI_FUZZ_REQUIRE(empty.result() == response->result());
  Response absent(std::nullopt, answer, error);
  KORVANI_FUZZ_REQUIRE(!absent.responseJSON().has_value());

  if (json && json->isObject()) KORVANI_FUZZ_PROPAGATE(checkRecordsOn(*json->asObject()));
  return std::nullopt;
}

}  // namespace korvani::fuzz
