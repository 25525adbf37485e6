// Parses a payment-like document and writes it back: amounts must come out digit for digit.
#include <iostream>
#include <string>
#include <string_view>

#include "korvani/json.hpp"

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
  return 0;
}
