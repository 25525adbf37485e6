// The network benchmark compares the C++ host with a C host through libkorvani_c: the comparison
// only means something when both put together the same payment from the same texts.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bare_client.hpp"
#include "card_payment_c.h"
#include "korvani/json.hpp"
#include "korvani/payment_service.hpp"
#include "payment_fixture.hpp"

namespace korvani::bench {
namespace {

// The idempotency key without its creation second, which two components need not share.
std::string keyDigest(const std::string& key) {
  return key.substr(0, key.rfind('-'));
}

// A string member of `object`; "(none)" when it is missing or not a string.
std::string textOf(const JsonObject& object, std::string_view key) {
  const JsonValue* value = object.find(key);
  return value && value->asString() ? *value->asString() : "(none)";
}

int offline(void*, int* status) {
  *status = KORVANI_NOT_REACHABLE;  // the C component's payment is put together, never sent
  return 0;
}

TEST(CApiPayment, IsTheCppFixturesRequestToTheByte) {
  const std::string base = "https://127.0.0.1:8443";
  const auto payment = makeCardPayment(base, "/v1/payments");
  const auto expected =
      requestFor(PaymentService::create(payment.manager->currentConfiguration())->config);

  const korvani_reachability reachability = {sizeof reachability, nullptr, nullptr, offline};
  ASSERT_EQ(korvani_set_reachability(&reachability, nullptr), KORVANI_OK);
  korvani_configuration_t* configuration = korvani_bench_configuration(base.c_str());
  ASSERT_NE(configuration, nullptr);
  korvani_component_t* component = nullptr;
  ASSERT_EQ(korvani_component_new(configuration, &component, nullptr), KORVANI_OK);
  const korvani_store_callbacks store = korvani_bench_store();
  ASSERT_EQ(korvani_component_set_store(component, &store, nullptr), KORVANI_OK);
  ASSERT_EQ(korvani_component_render_did_finish(component, nullptr), KORVANI_OK);
  char* text = nullptr;
  ASSERT_EQ(korvani_component_copy_request(component, &text, nullptr), KORVANI_OK);
  const auto copied = parseJson(text);
  korvani_text_free(text);
  korvani_component_release(component);
  korvani_configuration_release(configuration);
  korvani_run_until_idle(nullptr, nullptr);  // the offline outcome, which nobody hears
  korvani_set_reachability(nullptr, nullptr);

  ASSERT_TRUE(copied && copied->asObject());
  const JsonObject& request = *copied->asObject();
  EXPECT_EQ(textOf(request, "method"), expected.httpMethod);
  EXPECT_EQ(textOf(request, "url"), expected.url);
  const JsonValue* headerValue = request.find("headers");
  const JsonObject* headers = headerValue ? headerValue->asObject() : nullptr;
  ASSERT_NE(headers, nullptr);
  EXPECT_EQ(headers->size(), expected.allHTTPHeaderFields.size());
  for (const auto& [name, value] : expected.allHTTPHeaderFields) {
    const std::string field = textOf(*headers, name);
    if (name == "X-Idempotency-Key") {
      EXPECT_EQ(keyDigest(field), keyDigest(std::string(value)));
      EXPECT_EQ(keyDigest(std::string(value)).size(), 64u);  // the hook's digest is in it
    } else {
      EXPECT_EQ(field, value) << name;
    }
  }
  ASSERT_TRUE(request.find("body") && expected.httpBody);
  EXPECT_EQ(serializeJson(*request.find("body")), *expected.httpBody);
}

}  // namespace
}  // namespace korvani::bench
