#include "korvani/payment_configuration_manager.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <utility>

#include "korvani/auth_code.hpp"
#include "korvani/constants.hpp"
#include "korvani/platform/clock.hpp"

namespace korvani {

namespace {

// The payment type identifiers that pay by card token and instalments.
bool isCardPaymentType(const std::optional<std::string>& paymentTypeId) {
  return paymentTypeId == "credit_card" || paymentTypeId == "debit_card";
}

// Members a body can have at most: room for all from the start.
constexpr std::size_t kBodyMembers = 20;

template <typename T>
void putIfSet(JsonObject& object, const char* key, const std::optional<T>& value) {
  if (value) object.set(key, JsonValue(*value));
}

}  // namespace

PaymentConfigurationManager::PaymentConfigurationManager(
    std::shared_ptr<PaymentPluginConfiguration> configuration)
    : pluginConfiguration_(configuration ? std::move(configuration)
                                         : std::make_shared<PaymentPluginConfiguration>()),
      timeStamp_(platform::WallClock::now()) {}

void PaymentConfigurationManager::update(std::shared_ptr<host::PaymentData> newPaymentData) {
  paymentData = std::move(newPaymentData);
}

void PaymentConfigurationManager::update(std::shared_ptr<host::VQCheckoutStore> newStore) {
  store = std::move(newStore);
}

PaymentConfiguration PaymentConfigurationManager::currentConfiguration() const {
  const PaymentPluginConfiguration& config = *pluginConfiguration_;
  PaymentConfiguration result;
  result.accessToken = config.accessToken;
  result.baseUrl = config.baseUrl;
  result.path = config.path;
  result.headers = headers();
  result.body = body();
  return result;
}

StringDictionary PaymentConfigurationManager::headers() const {
  const PaymentPluginConfiguration& config = *pluginConfiguration_;
  StringDictionary fields;
  fields.reserve(6);  // the most a request carries
  if (config.brixSessionId) fields["X-Brix-Session-Id"] = *config.brixSessionId;
  fields["X-Tracking-Id"] = config.xTrackingId();
  fields["X-Idempotency-Key"] = generateIdempotencyKey();
  fields["X-Caller-Scopes"] = "payments";
  // A configured user agent already names the app and platform, so they are not repeated.
  if (config.userAgent) {
    fields["User-Agent"] = *config.userAgent;
  } else {
    if (config.appVersion) fields["X-App-Version"] = *config.appVersion;
    fields["X-Platform"] = config.platform;
  }
  return fields;
}

std::string PaymentConfigurationManager::generateIdempotencyKey() const {
  std::string key;
  key.reserve(96);  // a hex SHA-256 digest, the hyphen and the seconds
  // The fragment is only worth building for a hook to digest.
  if (const auto& sha256 = pluginConfiguration_->sha256) {
    // Nothing may escape to the host through renderDidFinish(): a hook that throws counts as
    // one that answered nothing, and the key keeps its time part.
    try {
      if (std::optional<std::string> digest = sha256(paymentFragment())) key.append(*digest);
    } catch (...) {
    }
  }
  // Whole seconds of the creation time, rounded as printf's "%.0f" does (ties to even). Room
  // for any double: a sign and up to max_exponent10 + 1 digits.
  std::array<char, std::numeric_limits<double>::max_exponent10 + 2> seconds;
  const auto written = std::to_chars(seconds.data(), seconds.data() + seconds.size(), timeStamp_,
                                     std::chars_format::fixed, 0);
  key += '-';
  key.append(seconds.data(), written.ptr);
  return key;
}

std::optional<std::string> PaymentConfigurationManager::storedAuthCode() const {
  if (!store) return std::nullopt;
  std::optional<JsonValue> stored = store->getData(Constants::AuthCode);
  if (!stored) return std::nullopt;
  const JsonObject* object = stored->asObject();
  if (!object) return std::nullopt;
  std::optional<AuthCode> authCode = AuthCode::fromAuthCode(*object);
  if (!authCode) return std::nullopt;
  return authCode->code();
}

JsonObject PaymentConfigurationManager::body() const {
  const PaymentPluginConfiguration& config = *pluginConfiguration_;
  JsonObject body;
  body.reserve(kBodyMembers);

  if (config.internalMetadata) body.set("internal_metadata", *config.internalMetadata);

  if (const auto& preference = config.checkoutPreference) {
    putIfSet(body, "description", preference->title);
    putIfSet(body, "transaction_amount", preference->amount);
    putIfSet(body, "marketplace", preference->marketplace);
    if (preference->marketplaceFee && *preference->marketplaceFee > Decimal()) {
      body.set("application_fee", *preference->marketplaceFee);
    }
    putIfSet(body, "operation_type", preference->operationType);
    // The collector is always named, as null when unknown.
    JsonObject collector;
    collector.reserve(1);
    collector.set(
        "id", preference->collectorId ? JsonValue(*preference->collectorId) : JsonValue(nullptr));
    body.set("collector", std::move(collector));
    putIfSet(body, "differential_pricing_id", preference->differentialPricingId);
    putIfSet(body, "concept_amount", preference->conceptAmount);
    putIfSet(body, "concept_id", preference->conceptId);
  }

  if (const auto& order = config.merchantOrder) {
    body.set("order", JsonObject{{"id", order->id()}, {"type", "korvani"}});
    putIfSet(body, "notification_url", order->notificationUrl());
    putIfSet(body, "external_reference", order->externalReference());
    putIfSet(body, "sponsor_id", order->sponsorId());
  }

  std::shared_ptr<host::PaymentMethod> method =
      paymentData ? paymentData->paymentMethod() : nullptr;
  if (!method) return body;  // without a payment method the discount has nothing to apply to

  std::optional<std::string> methodId = method->id();
  putIfSet(body, "payment_method_id", methodId);
  if (methodId == "account_money") {
    // Account money is confirmed by the second-factor code the checkout stored.
    putIfSet(body, "token", storedAuthCode());
  } else if (isCardPaymentType(method->paymentTypeId())) {
    std::shared_ptr<host::PayerCost> payerCost = paymentData->payerCost();
    body.set("installments", payerCost ? payerCost->installments() : std::int64_t{1});
    if (std::shared_ptr<host::Token> token = paymentData->token()) {
      putIfSet(body, "token", token->id());
    }
    if (std::shared_ptr<host::Issuer> issuer = paymentData->issuer()) {
      putIfSet(body, "issuer_id", issuer->id());
    }
  }

  if (const auto& discount = config.discount) {
    putIfSet(body, "campaign_id", discount->campaignId);
    putIfSet(body, "coupon_amount", discount->couponAmount);
  }
  return body;
}

std::string PaymentConfigurationManager::paymentFragment() const {
  // The pieces are joined without separators; the digest only has to change when the payment
  // attempt changes. A host object without its identifier contributes the empty text.
  std::string fragment;
  fragment.reserve(128);  // ample for the pieces below
  std::shared_ptr<host::Token> token;
  if (paymentData) {
    if (std::shared_ptr<host::PaymentMethod> method = paymentData->paymentMethod()) {
      fragment += method->id().value_or("");
    }
    if (std::shared_ptr<host::Issuer> issuer = paymentData->issuer()) {
      fragment += issuer->id().value_or("");
    }
    token = paymentData->token();
  }
  if (token) {
    fragment += token->id().value_or("");
  } else if (std::optional<std::string> code = storedAuthCode()) {
    fragment += *code;
  }
  if (const auto& preference = pluginConfiguration_->checkoutPreference) {
    if (preference->amount) preference->amount->appendTo(fragment);
    fragment += preference->marketplace.value_or("");
    fragment += preference->operationType.value_or("");
    if (preference->collectorId) fragment += std::to_string(*preference->collectorId);
  }
  if (paymentData) {
    if (std::shared_ptr<host::PayerCost> payerCost = paymentData->payerCost()) {
      fragment += std::to_string(payerCost->installments());
    }
  }
  return fragment;
}

}  // namespace korvani
