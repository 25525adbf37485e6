#include "demo_options.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>

#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/sandbox/sandbox_server.hpp"

namespace checkout_demo {
namespace {

using korvani::JsonObject;

// The records a merchant's back end would hand the app for this checkout.
constexpr std::string_view kPreference = R"({
  "id": "pref-demo-150",
  "items": [{"title": "Espresso machine", "quantity": 1, "currency_id": "EUR",
             "picture_url": "https://merchant.example/espresso.png"}],
  "amount": 150.75,
  "collector_id": 5544332211,
  "marketplace": "NONE",
  "marketplace_fee": 0,
  "operation_type": "regular_payment",
  "external_reference": "cart-981"
})";
constexpr std::string_view kMerchantOrder = R"({
  "id": 4242001,
  "preference_id": "pref-demo-150",
  "notification_url": "https://merchant.example/notifications",
  "external_reference": "order-4242",
  "sponsor_id": "sponsor-17"
})";
constexpr std::string_view kDiscount = R"({"campaign_id": 77, "coupon_amount": 10.50})";
constexpr std::string_view kMetadata = R"({"cart_id": "cart-981", "channel": "terminal"})";

constexpr const char* kUsage = R"(usage: checkout_demo [options]

Pays one checkout the way a host app drives the payment plug-in, then prints the request, the
navigation handler's calls and the tracking event. Without --base-url it starts the sandbox in
this process (serving /v1/payments) and trusts its certificate authority.

Where to pay
  --base-url URL        payment API origin; the sandbox is not started
  --path PATH           path below the origin (default /v1/payments)
  --access-token T      merchant access token (shown masked)
  --ca-file PEM         also trust the CA certificates in this PEM file
  --scenario NAME       sandbox outcome: sets the card token (for account money the stored
                        code, for other payment types the amount); NAME is one of
                        {scenarios}
  --offline             the host reports no network connection

What is paid (JSON object files; built-in examples otherwise)
  --preference FILE     checkout preference (amount, title, collector, ...)
  --merchant-order FILE merchant order (needs a whole-number "id")
  --discount FILE       discount (campaign_id, coupon_amount)
  --metadata FILE       internal metadata sent as is

The payer's choices
  --payment-method ID   payment method identifier (default visa)
  --payment-type TYPE   payment type (default credit_card)
  --token ID            card token (default demo-card-token-0001)
  --issuer ID           card issuer (default 310)
  --installments N      number of installments (default 3)
  --auth-code CODE      second-factor code kept by the checkout store under "auth_code"

Who is calling
  --user-agent UA       User-Agent header (replaces X-Platform and X-App-Version)
  --app-version V       host app version (default 1.0.0)
  --session-id S        session identifier (default demo-session-0001)
  --source S            source in the tracking identifier (default checkout_demo)
  --no-sha256           no digest hook: the idempotency key has no hash part

Exit status: 0 when the navigation handler got a report, 1 when the demo could not run,
2 for bad options or files, 3 when no report arrived within 90 seconds.
)";

JsonObject builtIn(std::string_view text) {
  std::string ignored;
  return parseJsonObject(text, ignored).value_or(JsonObject{});
}

std::string lineAndColumn(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const auto line = std::count(before.begin(), before.end(), '\n') + 1;
  const auto lastBreak = before.rfind('\n');
  const auto column = offset - (lastBreak == std::string_view::npos ? 0 : lastBreak + 1) + 1;
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

bool readFile(const std::string& path, std::string& contents) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  contents = buffer.str();
  return !file.bad();
}

// The flags that take a value, each with what it does with it; an empty answer accepts the
// value, any other text is the reason it is refused.
using Setter = std::function<std::string(DemoOptions&, std::string_view)>;

std::string loadJsonFile(std::string_view path, JsonObject& target) {
  std::string text;
  if (!readFile(std::string(path), text)) return "cannot read " + std::string(path);
  std::string error;
  auto object = parseJsonObject(text, error);
  if (!object) return std::string(path) + ": " + error;
  target = std::move(*object);
  return {};
}

Setter text(std::string DemoOptions::*member) {
  return [member](DemoOptions& o, std::string_view value) {
    o.*member = std::string(value);
    return std::string();
  };
}

Setter optionalText(std::optional<std::string> DemoOptions::*member) {
  return [member](DemoOptions& o, std::string_view value) {
    o.*member = std::string(value);
    return std::string();
  };
}

Setter jsonFile(JsonObject DemoOptions::*member) {
  return [member](DemoOptions& o, std::string_view path) { return loadJsonFile(path, o.*member); };
}

// The host app cannot build a merchant order without its identifier, so neither can the demo.
std::string setMerchantOrder(DemoOptions& o, std::string_view path) {
  JsonObject order;
  if (std::string why = loadJsonFile(path, order); !why.empty()) return why;
  if (!korvani::PaymentPluginMerchantOrder::fromJson(order)) {
    return std::string(path) + ": \"id\" must be a whole number from 0 to 2^64-1";
  }
  o.merchantOrder = std::move(order);
  return {};
}

std::string setInstallments(DemoOptions& o, std::string_view value) {
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  if (ec != std::errc() || end != value.data() + value.size() || n < 1) {
    return "expected a positive whole number, got \"" + std::string(value) + "\"";
  }
  o.installments = n;
  return {};
}

std::string scenarioNames() {
  std::string names;
  for (std::string_view name : korvani::sandbox::sandboxScenarioNames()) {
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return names;
}

std::string setScenario(DemoOptions& o, std::string_view value) {
  if (!korvani::sandbox::sandboxTokenForScenario(value)) {
    return "unknown scenario \"" + std::string(value) + "\" (known: " + scenarioNames() + ")";
  }
  o.scenario = std::string(value);
  return {};
}

// The sandbox picks its outcome from the "token" member (a card's token, or the stored code
// for account money) and, for payments that carry no token, from the amount.
void applyScenario(DemoOptions& o, std::string_view scenario) {
  const std::string token = korvani::sandbox::sandboxTokenForScenario(scenario).value_or("");
  if (o.paymentMethod == "account_money") {
    o.authCode = token;
  } else if (o.paymentType == "credit_card" || o.paymentType == "debit_card") {
    o.token = token;
  } else if (auto amount = korvani::sandbox::sandboxAmountForScenario(scenario)) {
    if (auto decimal = korvani::Decimal::fromString(*amount)) o.preference.set("amount", *decimal);
  }
}

const std::vector<std::pair<std::string_view, Setter>>& valueFlags() {
  static const std::vector<std::pair<std::string_view, Setter>> flags{
      {"--base-url", optionalText(&DemoOptions::baseUrl)},
      {"--path", text(&DemoOptions::path)},
      {"--access-token", text(&DemoOptions::accessToken)},
      {"--ca-file", optionalText(&DemoOptions::caFile)},
      {"--preference", jsonFile(&DemoOptions::preference)},
      {"--merchant-order", setMerchantOrder},
      {"--discount", jsonFile(&DemoOptions::discount)},
      {"--metadata", jsonFile(&DemoOptions::metadata)},
      {"--payment-method", text(&DemoOptions::paymentMethod)},
      {"--payment-type", text(&DemoOptions::paymentType)},
      {"--token", optionalText(&DemoOptions::token)},
      {"--issuer", text(&DemoOptions::issuer)},
      {"--installments", setInstallments},
      {"--auth-code", optionalText(&DemoOptions::authCode)},
      {"--user-agent", optionalText(&DemoOptions::userAgent)},
      {"--app-version", text(&DemoOptions::appVersion)},
      {"--session-id", text(&DemoOptions::sessionId)},
      {"--source", text(&DemoOptions::source)},
      {"--scenario", setScenario},
  };
  return flags;
}

}  // namespace

std::optional<JsonObject> parseJsonObject(std::string_view text, std::string& error) {
  korvani::JsonError parseError;
  std::optional<korvani::JsonValue> value = korvani::parseJson(text, &parseError);
  if (!value) {
    error = lineAndColumn(text, parseError.offset) + ": " + parseError.reason;
    return std::nullopt;
  }
  if (!value->isObject()) {
    error = "line 1, column 1: expected a JSON object";
    return std::nullopt;
  }
  return std::move(*value->asObject());
}

ParsedArguments parseArguments(const std::vector<std::string_view>& arguments) {
  ParsedArguments parsed;
  DemoOptions& options = parsed.options;
  options.preference = builtIn(kPreference);
  options.merchantOrder = builtIn(kMerchantOrder);
  options.discount = builtIn(kDiscount);
  options.metadata = builtIn(kMetadata);

  auto refuse = [&parsed](std::string message) {
    parsed.kind = ParsedArguments::Kind::error;
    parsed.message = std::move(message);
    return parsed;
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view flag = arguments[i];
    std::optional<std::string_view> inlineValue;
    if (const auto equals = flag.find('='); flag.starts_with("--") && equals != flag.npos) {
      inlineValue = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
    }

    if (flag == "--help" || flag == "-h") {
      parsed.kind = ParsedArguments::Kind::help;
      return parsed;
    }
    if (flag == "--no-sha256" || flag == "--offline") {
      if (inlineValue) return refuse(std::string(flag) + " takes no value");
      if (flag == "--offline") {
        options.offline = true;
      } else {
        options.sha256 = false;
      }
      continue;
    }

    const auto& flags = valueFlags();
    const auto known = std::find_if(flags.begin(), flags.end(),
                                    [flag](const auto& entry) { return entry.first == flag; });
    if (known == flags.end()) return refuse("unknown option " + std::string(arguments[i]));
    if (!inlineValue) {
      if (i + 1 >= arguments.size()) return refuse(std::string(flag) + " needs a value");
      inlineValue = arguments[++i];
    }
    if (std::string why = known->second(options, *inlineValue); !why.empty()) {
      return refuse(std::string(flag) + ": " + why);
    }
  }
  if (options.scenario) {
    if (options.token || options.authCode) {
      return refuse("--scenario chooses the token itself; leave out --token and --auth-code");
    }
    applyScenario(options, *options.scenario);
  }
  if (!options.token) options.token = "demo-card-token-0001";
  return parsed;
}

std::string usage() {
  std::string text = kUsage;
  constexpr std::string_view kPlaceholder = "{scenarios}";
  text.replace(text.find(kPlaceholder), kPlaceholder.size(), scenarioNames());
  return text;
}

}  // namespace checkout_demo
