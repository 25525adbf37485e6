#include "host_adapters.hpp"

#include <utility>

#include "korvani/json.hpp"

namespace korvani::capi {

namespace {

// Calls one host callback: nothing once shut down (answering `fallback`), inside a callback
// scope, and a non-zero answer reported under `name`.
template <class Callback, class... Arguments>
bool callHost(std::string_view name, Callback callback, Arguments... arguments) {
  if (isShutDown()) return false;
  int code = 0;
  {
    CallbackScope scope;
    code = callback(arguments...);
  }
  if (code == 0) return true;
  reportHostFailure(name, code);
  return false;
}

const char* textOrNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

std::shared_ptr<host::PaymentData> StoreAdapter::currentPaymentData() const {
  const auto keep = shared_from_this();  // the host may hand over another store meanwhile
  korvani_payment_data data;
  if (!callHost("store.current_payment_data", table_.current_payment_data, userData_.get(),
                &data)) {
    return std::make_shared<host::PlainPaymentData>();
  }
  return host::makePaymentData(data.choice);
}

std::optional<JsonValue> StoreAdapter::getData(std::string_view forKey) const {
  if (!table_.get_data) return std::nullopt;
  const auto keep = shared_from_this();
  const std::string key(forKey);
  korvani_text_answer answer;
  if (!callHost("store.get_data", table_.get_data, userData_.get(), key.c_str(), &answer) ||
      !answer.text) {
    return std::nullopt;
  }
  JsonParseOptions options;
  options.allowScalarTopLevel = true;
  std::optional<JsonValue> value = parseJson(*answer.text, nullptr, options);
  if (!value) reportHostFailure("store.get_data (not JSON)", KORVANI_HOST_BAD_ANSWER);
  return value;
}

void NavigationHandlerAdapter::beginPluginWork() {
  const auto keep = shared_from_this();
  callHost("navigation_handler.begin_plugin_work", table_.begin_plugin_work, userData_.get());
}

void NavigationHandlerAdapter::endPluginWork() {
  const auto keep = shared_from_this();
  callHost("navigation_handler.end_plugin_work", table_.end_plugin_work, userData_.get());
}

void NavigationHandlerAdapter::didFinishPayment(const std::string& statusText,
                                                const std::string& statusDetails,
                                                const std::optional<std::string>& receiptId) {
  const auto keep = shared_from_this();
  callHost("navigation_handler.did_finish_payment", table_.did_finish_payment, userData_.get(),
           statusText.c_str(), statusDetails.c_str(), textOrNull(receiptId));
}

void NavigationHandlerAdapter::didFinishPayment(RemotePaymentStatus paymentStatus,
                                                const std::string& statusDetails,
                                                const std::optional<std::string>& receiptId) {
  const auto keep = shared_from_this();
  callHost("navigation_handler.did_finish_remote_payment", table_.did_finish_remote_payment,
           userData_.get(), static_cast<int>(paymentStatus), statusDetails.c_str(),
           textOrNull(receiptId));
}

void TrackListenerAdapter::trackEvent(const std::string& screenName, const std::string& action,
                                      const std::optional<std::string>& result,
                                      const std::optional<JsonObject>& extraParams) {
  std::optional<std::string> extra;
  if (extraParams) {
    std::string text;
    // An object that cannot be written (invalid UTF-8 in the answer) goes as no extra.
    if (appendJson(text, *extraParams)) extra = std::move(text);
  }
  callHost("track_listener.track_event", table_.track_event, userData_.get(), screenName.c_str(),
           action.c_str(), textOrNull(result), textOrNull(extra));
}

host::ZRNetworkStatus ReachabilityAdapter::currentReachabilityStatus() const {
  int status = KORVANI_NOT_REACHABLE;
  // Unsure is offline: nothing is sent.
  if (!callHost("reachability.current_status", table_.current_status, userData_.get(), &status)) {
    return host::ZRNetworkStatus::NotReachable;
  }
  return static_cast<host::ZRNetworkStatus>(status);
}

ExchangeObserver makeExchangeObserver(const korvani_exchange_observer& table) {
  struct Observer {
    korvani_exchange_observer table;
    UserData userData;
  };
  std::shared_ptr<const Observer> observer(
      new Observer{table, {table.user_data, table.free_user_data}});
  return [observer = std::move(observer)](const ExchangeOutcome& outcome) {
    if (isShutDown()) return;
    korvani_error error = KORVANI_ERROR_INIT;
    korvani_exchange exchange{sizeof exchange, outcome.statusCode.value_or(0), nullptr,
                              outcome.sendCount};
    if (outcome.error) {
      // The plug-in's own errors (empty domain) carry URL-loading codes too.
      const std::string& domain = outcome.error->domain();
      const bool url = domain.empty() || domain == platform::kURLErrorDomain;
      setError(&error, url ? KORVANI_DOMAIN_URL : KORVANI_DOMAIN_OTHER, outcome.error->code(),
               outcome.error->localizedDescription());
      exchange.error = &error;
    }
    CallbackScope scope;
    observer->table.exchange_finished(observer->userData.get(), &exchange);
  };
}

PaymentPluginConfiguration::Sha256Hook makeSha256Hook(const korvani_sha256_hook& table) {
  struct Hook {
    korvani_sha256_hook table;
    UserData userData;
  };
  std::shared_ptr<const Hook> hook(new Hook{table, {table.user_data, table.free_user_data}});
  return [hook = std::move(hook)](const std::string& text) -> std::optional<std::string> {
    // The hook may replace itself on the configuration, which destroys this closure.
    const auto keep = hook;
    korvani_text_answer answer;
    if (!callHost("sha256_hook.digest", keep->table.digest, keep->userData.get(), text.c_str(),
                  &answer)) {
      return std::nullopt;
    }
    return std::move(answer.text);
  };
}

}  // namespace korvani::capi
