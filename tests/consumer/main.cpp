// Parses a payment-like document and writes it back: amounts must come out digit for digit.
// Then hands a component a navigation handler, which takes the plug-in, the host interface,
// the stand-ins and the platform together into the link.
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/host/stand_ins.hpp"
#include "korvani/json.hpp"
#include "korvani/korvani.hpp"

namespace {

// 29 significant digits: more than a double holds, so any detour through floating point shows.
constexpr std::string_view kDocument =
    R"({"transaction_amount":1234.5678901234567890123456789,"installments":3,)"
    R"("description":"Caf\u00e9 \"No. 5\"","coupon_amount":0.1})";
// The same document as the serializer writes it (UTF-8 instead of the \u escape).
constexpr std::string_view kExpected =
    "{\"transaction_amount\":1234.5678901234567890123456789,\"installments\":3,"
    "\"description\":\"Caf\xc3\xa9 \\\"No. 5\\\"\",\"coupon_amount\":0.1}";

int fail(std::string_view what) {
  std::cerr << "korvani_consumer: " << what << '\n';
  return 1;
}

}  // namespace

int main() {
  korvani::JsonError error;
  const auto document = korvani::parseJson(kDocument, &error);
  if (!document) return fail("parse failed: " + error.message());
  // The amount, digit for digit, and 0.1 exactly are checked through the text written back.
  const auto text = korvani::serializeJson(*document, &error);
  if (!text) return fail("serialize failed: " + error.message());
  std::cout << *text << '\n';
  if (*text != kExpected) return fail("round trip changed the document");

  // No base URL: no connection is opened, nothing leaves the process.
  const auto component = korvani::PaymentPluginComponent::create(
      std::make_shared<korvani::PaymentPluginConfiguration>());
  const auto handler = std::make_shared<korvani::host::RecordingNavigationHandler>();
  component->navigationHandlerForPlugin(handler);
  using Kind = korvani::host::RecordingNavigationHandler::CallKind;
  if (handler->callKinds() != std::vector{Kind::beginPluginWork}) {
    return fail("the navigation handler did not hear beginPluginWork alone");
  }
  return 0;
}
