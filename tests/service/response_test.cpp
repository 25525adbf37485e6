#include "korvani/response.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "korvani/payment.hpp"

namespace korvani {
namespace {

using platform::HTTPURLResponse;
using Status = Response::Status;

std::optional<HTTPURLResponse> answer(long statusCode) {
  HTTPURLResponse response;
  response.statusCode = statusCode;
  return response;
}

TEST(Response, ClassifiesByCancellationThenHttpStatus) {
  const struct {
    std::optional<long> statusCode;
    std::optional<std::int64_t> errorCode;
    Status expected;
  } cases[] = {
      // The fuzz corpus replay covers the status edges, no answer, and cancellation or a
      // transport error beside a 200; these are the combinations its seeds lack.
      {0, {}, Status::error},
      {{}, platform::kURLErrorCancelled, Status::cancelled},
      {404, platform::kURLErrorTimedOut, Status::error},
  };
  for (const auto& c : cases) {
    const auto http = c.statusCode ? answer(*c.statusCode) : std::nullopt;
    // The domain is not consulted: -999 of any domain is a cancellation.
    const auto error =
        c.errorCode ? platform::makeError("SomeOtherDomain", *c.errorCode) : platform::ErrorPtr{};
    const Response response(std::string("payload"), http, error);
    const auto label = std::to_string(c.statusCode.value_or(-1)) + ", error " +
                       std::to_string(c.errorCode.value_or(0));
    EXPECT_EQ(response.result().status(), c.expected) << label;
    EXPECT_EQ(response.data, "payload") << "the bytes are kept whatever the status: " << label;
  }
}

// Which bodies give JSON: the response fuzz target's seeds (objects, arrays, scalars, text,
// truncated, trailing data, nesting limit). Here: no body, and a body changed afterwards.
TEST(Response, ResponseJsonParsesTheCurrentDataAfresh) {
  Response response(std::nullopt, answer(201), nullptr);
  EXPECT_FALSE(response.responseJSON().has_value());
  response.data = R"({"id":12})";
  EXPECT_EQ(response.responseJSON(), JsonValue(JsonObject{{"id", 12}}));
  response.data = "[7]";
  EXPECT_EQ(response.responseJSON(), JsonValue(JsonArray{7}));
}

// A number beyond every type (exponent past the Decimal range or past 32 bits, ten thousand
// digits) is still part of the answer: it makes no payment unreadable, goes back out exactly
// as it came (the "raw" object travels with the tracking event), and only reading that one
// field finds nothing.
TEST(Response, AnswerWithNumbersBeyondEveryTypeIsStillAPayment) {
  const std::string raw = R"({"id":4242,"status":"approved","status_detail":"accredited",)"
                          R"("fee":1e1001,"zero":-0e9999999999,"tiny":1E-2147483649,"long":)" +
                          std::string(10000, '7') + R"(.5,"amount":150.75})";
  const platform::HTTPURLResponse http{"https://127.0.0.1/v1/payments", 201, {}};
  const std::optional<JsonValue> json =
      Response(R"({"raw":)" + raw + "}", &http, nullptr).responseJSON();
  const auto payment =
      json && json->isObject() ? Payment::fromJson(*json->asObject()) : std::nullopt;
  ASSERT_TRUE(payment);
  EXPECT_EQ(payment->idString(), "4242");
  EXPECT_EQ(serializeJson(payment->raw()), raw);
  const JsonObject& fields = payment->raw();
  EXPECT_FALSE(fields.getNumber("fee") || fields.getNumber("tiny") || fields.getNumber("long") ||
               fields.getUInt64("fee") || fields.getInt64("long"));
  EXPECT_EQ(fields.getNumber("zero"), Decimal());
  EXPECT_EQ(fields.getNumber("amount"), Decimal::fromString("150.75"));
}

}  // namespace
}  // namespace korvani
