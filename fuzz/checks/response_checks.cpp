#include <initializer_list>

#include "checks/checks.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "korvani/response.hpp"

namespace korvani::fuzz {

Violation checkResponseBytes(std::string_view input) {
  if (input.size() < 2) return std::nullopt;
  using namespace platform;
  // Byte `i` of the input picks one of `choices`.
  const auto pick = [&](std::size_t i, std::initializer_list<long> choices) {
    return choices.begin()[static_cast<unsigned char>(input[i]) % choices.size()];
  };
  // -1: no HTTP answer; 0: no transport error.
  const long status =
      pick(0, {-1, 200, 201, 204, 299, 199, 300, 304, 404, 500, 100, 0, -200, 600, 999, 250});
  const std::int64_t errorCode =
      pick(1, {0, kURLErrorCancelled, kURLErrorTimedOut, kURLErrorNotConnectedToInternet,
               kURLErrorUnknown, kURLErrorBadServerResponse, 999, -998});
  const std::string body(input.substr(2));
  std::optional<HTTPURLResponse> answer;
  if (status >= 0) answer = HTTPURLResponse{"https://127.0.0.1/v1/payments", status, {}};
  const Response response(body, answer,
                          errorCode != 0 ? makeError(kURLErrorDomain, errorCode) : nullptr);

  // Cancellation first, then the HTTP status; no answer at all is a failure.
  const Response::Status expected = errorCode == kURLErrorCancelled ? Response::Status::cancelled
                                    : status < 0                    ? Response::Status::failed
                                    : status >= 200 && status < 300 ? Response::Status::success
                                                                    : Response::Status::error;
  KORVANI_FUZZ_REQUIRE(response.result().status() == expected);
  KORVANI_FUZZ_REQUIRE(response.data == body);

  // The reference: the body parsed with nothing refused but malformed text. Beyond that, only
  // scalars and nesting past the default limit give no JSON.
  const std::optional<JsonValue> reference = parseJson(body, nullptr, kLenient);
  const bool container = reference && (reference->isObject() || reference->isArray());
  const std::optional<JsonValue> json = response.responseJSON();
  KORVANI_FUZZ_REQUIRE(json ? container && *json == *reference
                            : !container || nestingDepth(*reference) > JsonParseOptions().maxDepth);
  KORVANI_FUZZ_REQUIRE(response.responseJSON() == json);
  // An object answer is then read as a payment, as the view model does.
  return json && json->isObject() ? checkRecordsOn(*json->asObject()) : std::nullopt;
}

}  // namespace korvani::fuzz
