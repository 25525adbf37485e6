#include "demo_options.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <utility>

#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/sandbox/sandbox_server.hpp"

namespace checkout_demo {
namespace {

using korvani::JsonObject;
using Text = std::optional<std::string> DemoOptions::*;
using Record = std::optional<JsonObject> DemoOptions::*;

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

constexpr struct {
  std::string_view name;
  Text member;
} kTextFlags[] = {
    {"--base-url", &DemoOptions::baseUrl},
    {"--ca-file", &DemoOptions::caFile},
    {"--path", &DemoOptions::path},
    {"--access-token", &DemoOptions::accessToken},
    {"--app-version", &DemoOptions::appVersion},
    {"--session-id", &DemoOptions::sessionId},
    {"--source", &DemoOptions::source},
    {"--user-agent", &DemoOptions::userAgent},
    {"--payment-method", &DemoOptions::paymentMethod},
    {"--payment-type", &DemoOptions::paymentType},
    {"--issuer", &DemoOptions::issuer},
    {"--token", &DemoOptions::token},
    {"--auth-code", &DemoOptions::authCode},
};

// Each record is replaced by --NAME FILE and left out by --no-NAME.
constexpr struct {
  std::string_view name;
  Record member;
} kRecords[] = {
    {"preference", &DemoOptions::preference},
    {"merchant-order", &DemoOptions::merchantOrder},
    {"discount", &DemoOptions::discount},
    {"metadata", &DemoOptions::metadata},
};

constexpr const char* kUsage = R"(usage: checkout_demo [options]

Pays one checkout the way a host app drives the payment plug-in, then prints the request, the
navigation handler's calls and the tracking event. Without --base-url it starts the sandbox in
this process (serving /v1/payments) and trusts its certificate authority. An empty value
(--session-id '') leaves that input out, as does each --no- flag.

Where to pay
  --base-url URL        payment API origin; the sandbox is not started
  --path PATH           path below the origin (default /v1/payments)
  --access-token T      merchant access token (shown masked)
  --ca-file PEM         also trust the CA certificates in this PEM file
  --scenario NAME       sandbox outcome: sets the card token (for account money the stored
                        code, for other payment types the amount); NAME is one of
                        {scenarios}
  --offline             the host reports no network connection
  --no-recover          a payment whose answer is lost is not sent again under its key
  --no-warm-up          no connection is opened ahead of the payment

What is paid (JSON object files; built-in examples otherwise)
  --preference FILE     checkout preference (amount, title, collector, ...)
  --merchant-order FILE merchant order (needs a whole-number "id")
  --discount FILE       discount (campaign_id, coupon_amount)
  --metadata FILE       internal metadata sent as is
  --no-preference, --no-merchant-order, --no-discount, --no-metadata
                        leave that record out

The payer's choices
  --payment-method ID   payment method identifier (default visa)
  --payment-type TYPE   payment type (default credit_card)
  --token ID            card token (default demo-card-token-0001)
  --issuer ID           card issuer (default 310)
  --installments N      number of installments (default 3)
  --no-installments     no payer cost: a card payment then sends 1
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

// The JSON object in `text`, or nothing and, in `error`, what is wrong and where.
std::optional<JsonObject> parseJsonObject(std::string_view text, std::string& error) {
  korvani::JsonError parseError;
  std::optional<korvani::JsonValue> value = korvani::parseJson(text, &parseError);
  if (value && value->isObject()) return std::move(*value->asObject());
  const std::string_view before =
      text.substr(0, value ? 0 : std::min(parseError.offset, text.size()));
  const auto line = std::count(before.begin(), before.end(), '\n') + 1;
  const auto column = before.size() - (before.rfind('\n') + 1) + 1;  // npos + 1 is 0
  error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
          (value ? "expected a JSON object" : parseError.reason);
  return std::nullopt;
}

// Reads `path` into `target`; otherwise says why not.
std::string loadJsonFile(const std::string& path, std::optional<JsonObject>& target) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "cannot read " + path;
  std::ostringstream text;
  text << file.rdbuf();
  std::string error;
  target = parseJsonObject(text.str(), error);
  return target ? std::string() : path + ": " + error;
}

std::string scenarioNames() {
  std::string names;
  for (std::string_view name : korvani::sandbox::sandboxScenarioNames()) {
    names.append(names.empty() ? "" : ", ").append(name);
  }
  return names;
}

template <typename Entry, std::size_t N>
const Entry* entryFor(const Entry (&table)[N], std::string_view name) {
  const auto found =
      std::find_if(table, table + N, [name](const Entry& e) { return e.name == name; });
  return found == table + N ? nullptr : found;
}

// The record that --NAME FILE replaces (`prefix` "--") or --no-NAME leaves out ("--no-").
const auto* recordFor(std::string_view flag, std::string_view prefix) {
  return flag.starts_with(prefix) ? entryFor(kRecords, flag.substr(prefix.size())) : nullptr;
}

bool takesValue(std::string_view flag) {
  return entryFor(kTextFlags, flag) || recordFor(flag, "--") || flag == "--installments" ||
         flag == "--scenario";
}

// What `flag` (one that takes a value) does with `value`; the empty text means "not set". An
// empty answer accepts the value, any other text says why not.
std::string apply(DemoOptions& o, std::string_view flag, const std::string& value) {
  const auto text = value.empty() ? std::nullopt : std::optional<std::string>(value);
  if (const auto* entry = entryFor(kTextFlags, flag)) {
    o.*entry->member = text;
  } else if (const auto* record = recordFor(flag, "--")) {
    std::optional<JsonObject>& json = o.*record->member;
    json.reset();
    if (!text) return {};
    if (std::string why = loadJsonFile(value, json); !why.empty()) return why;
    // The host app cannot build a merchant order without its identifier, so neither can the
    // demo.
    if (flag == "--merchant-order" && !korvani::PaymentPluginMerchantOrder::fromJson(json)) {
      return value + ": \"id\" must be a whole number from 0 to 2^64-1";
    }
  } else if (flag == "--installments") {
    std::int64_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (text && (ec != std::errc() || end != value.data() + value.size() || n < 1)) {
      return "expected a positive whole number, got \"" + value + "\"";
    }
    o.installments = text ? std::optional(n) : std::nullopt;
  } else if (flag == "--scenario") {
    if (text && !korvani::sandbox::sandboxTokenForScenario(value)) {
      return "unknown scenario \"" + value + "\" (known: " + scenarioNames() + ")";
    }
    o.scenario = text;
  }
  return {};
}

// The sandbox picks its outcome from the "token" member (a card's token, or the stored code
// for account money) and, for payments that carry no token, from the amount.
std::string applyScenario(DemoOptions& o, std::string_view scenario) {
  const std::string token = korvani::sandbox::sandboxTokenForScenario(scenario).value_or("");
  if (o.paymentMethod == "account_money") {
    o.authCode = token;
  } else if (o.paymentType == "credit_card" || o.paymentType == "debit_card") {
    o.token = token;
  } else if (!o.preference) {
    return "--scenario sets the preference's amount for this payment type; drop --no-preference";
  } else if (auto amount = korvani::sandbox::sandboxAmountForScenario(scenario)) {
    o.preference->set("amount", korvani::Decimal::fromString(*amount).value_or(korvani::Decimal()));
  }
  return {};
}

}  // namespace

ParsedArguments parseArguments(const std::vector<std::string_view>& arguments) {
  ParsedArguments parsed;
  DemoOptions& options = parsed.options;
  std::string ignored;
  options.preference = parseJsonObject(kPreference, ignored);
  options.merchantOrder = parseJsonObject(kMerchantOrder, ignored);
  options.discount = parseJsonObject(kDiscount, ignored);
  options.metadata = parseJsonObject(kMetadata, ignored);

  auto refuse = [&parsed](std::string message) {
    parsed.kind = ParsedArguments::Kind::error;
    parsed.message = std::move(message);
    return parsed;
  };
  bool tokenGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view flag = arguments[i];
    std::optional<std::string> value;  // --flag=value
    if (const auto equals = flag.find('='); flag.starts_with("--") && equals != flag.npos) {
      value = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
    }
    if (flag == "--help" || flag == "-h") {
      parsed.kind = ParsedArguments::Kind::help;
      return parsed;
    }
    const auto* leftOut = recordFor(flag, "--no-");
    if (leftOut || flag == "--no-installments" || flag == "--no-sha256" || flag == "--offline" ||
        flag == "--no-recover" || flag == "--no-warm-up") {
      if (value) return refuse(std::string(flag) + " takes no value");
      if (leftOut) (options.*leftOut->member).reset();
      if (flag == "--no-installments") options.installments.reset();
      if (flag == "--no-sha256") options.sha256 = false;
      if (flag == "--offline") options.offline = true;
      if (flag == "--no-recover") options.recover = false;
      if (flag == "--no-warm-up") options.warmUp = false;
      continue;
    }
    if (!takesValue(flag)) return refuse("unknown option " + std::string(arguments[i]));
    if (!value && i + 1 == arguments.size()) return refuse(std::string(flag) + " needs a value");
    if (!value) value = arguments[++i];
    if (std::string why = apply(options, flag, *value); !why.empty()) {
      return refuse(std::string(flag) + ": " + why);
    }
    tokenGiven = tokenGiven || flag == "--token" || flag == "--auth-code";
  }
  if (options.scenario) {
    if (tokenGiven) {
      return refuse("--scenario chooses the token itself; leave out --token and --auth-code");
    }
    if (std::string why = applyScenario(options, *options.scenario); !why.empty()) {
      return refuse(why);
    }
  }
  return parsed;
}

std::string usage() {
  std::string text = kUsage;
  constexpr std::string_view kPlaceholder = "{scenarios}";
  text.replace(text.find(kPlaceholder), kPlaceholder.size(), scenarioNames());
  return text;
}

}  // namespace checkout_demo
