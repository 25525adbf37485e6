#include "korvani/payment.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvani/json.hpp"
#include "support/fakes.hpp"

namespace korvani {
namespace {

JsonObject object(std::string_view text) {
  return test_support::jsonObject(text);
}

TEST(Payment, RefusesAnswersWithoutUsableRawStatus) {
  const char* refused[] = {
      R"({})",
      R"({"status": "approved", "status_detail": "ok", "id": 1})",  // only at the top level
      R"({"raw": "x", "status": "approved", "status_detail": "ok"})",
      R"({"raw": [], "status": "approved", "status_detail": "ok"})",
      R"({"raw": null})",
      R"({"raw": {}})",
      R"({"raw": {"status_detail": "ok"}})",
      R"({"raw": {"status": 1, "status_detail": "ok"}})",
      R"({"raw": {"status": "approved"}})",
      R"({"raw": {"status": "approved", "status_detail": null}})",
      R"({"raw": {"status": "approved"}, "status_detail": "ok"})",
  };
  for (const char* json : refused)
    EXPECT_FALSE(Payment::fromJson(object(json))) << json;
  EXPECT_FALSE(Payment::fromJson(std::optional<JsonObject>()));
}

TEST(Payment, KeepsStatusRawAndFormattedAsSent) {
  auto payment = Payment::fromJson(object(
      R"({"raw": {"id": 123, "status": " Approved", "status_detail": "", "extra": [1]},
          "formatted": {"amount": "$ 10"}, "status": "ignored"})"));
  ASSERT_TRUE(payment);
  EXPECT_EQ(payment->id(), 123u);
  EXPECT_EQ(payment->status(), " Approved");
  EXPECT_EQ(payment->statusDetail(), "");
  EXPECT_EQ(payment->raw(),
            object(R"({"id": 123, "status": " Approved", "status_detail": "", "extra": [1]})"));
  ASSERT_TRUE(payment->formatted());
  EXPECT_EQ(*payment->formatted(), object(R"({"amount": "$ 10"})"));

  for (const char* formatted : {"null", "[]", "\"x\"", "3"}) {
    auto p = Payment::fromJson(
        object(std::string(R"({"raw": {"status": "s", "status_detail": "d"}, "formatted": )") +
               formatted + "}"));
    ASSERT_TRUE(p) << formatted;
    EXPECT_FALSE(p->formatted()) << formatted;
  }
  auto nested = Payment::fromJson(
      object(R"({"raw": {"status": "s", "status_detail": "d", "formatted": {"a": 1}}})"));
  ASSERT_TRUE(nested);
  EXPECT_FALSE(nested->formatted()) << "only the top-level \"formatted\" counts";
}

TEST(Payment, IdAndItsText) {
  struct Case {
    const char* id;
    std::optional<std::uint64_t> value;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {"0", 0, "0"},
      {"42", 42, "42"},
      {"18446744073709551615", UINT64_MAX, "18446744073709551615"},
      {"1e3", 1000, "1000"},
      {"18446744073709551616", std::nullopt, std::nullopt},
      {"-1", std::nullopt, std::nullopt},
      {"1.5", std::nullopt, std::nullopt},
      {R"("42")", std::nullopt, std::nullopt},
      {"null", std::nullopt, std::nullopt},
      {"true", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    auto payment = Payment::fromJson(object(
        std::string(R"({"raw": {"status": "s", "status_detail": "d", "id": )") + c.id + "}}"));
    ASSERT_TRUE(payment) << c.id;
    EXPECT_EQ(payment->id(), c.value) << c.id;
    EXPECT_EQ(payment->idString(), c.text) << c.id;
  }
  auto withoutId = Payment::fromJson(object(R"({"raw": {"status": "s", "status_detail": "d"}})"));
  ASSERT_TRUE(withoutId);
  EXPECT_FALSE(withoutId->idString());
}

TEST(Payment, FromText) {
  JsonError error;
  EXPECT_FALSE(Payment::fromJsonText("{\"raw\": {", &error));
  EXPECT_FALSE(error.reason.empty());
  error = {};
  EXPECT_FALSE(Payment::fromJsonText(R"(["raw"])", &error));
  EXPECT_FALSE(error.reason.empty());
  error = {};
  EXPECT_FALSE(Payment::fromJsonText(R"({"raw": {}})", &error));
  EXPECT_TRUE(error.reason.empty());
  auto payment =
      Payment::fromJsonText(R"({"raw": {"id": 9, "status": "a", "status_detail": "b"}})");
  ASSERT_TRUE(payment);
  EXPECT_EQ(payment->idString(), "9");
}

}  // namespace
}  // namespace korvani
