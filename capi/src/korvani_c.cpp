// The C API's entry points: each checks its arguments, runs inside the boundary's catch-all and
// answers a korvani_status, filling the host's error record when it fails.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "delivery.hpp"
#include "edge.hpp"
#include "handles.hpp"
#include "host_adapters.hpp"
#include "korvani/exchange_observer.hpp"
#include "korvani/korvani.h"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"
#include "korvani/platform/url_session.hpp"

static_assert(KORVANI_VERSION_MAJOR == KORVANI_BUILD_VERSION_MAJOR &&
                  KORVANI_VERSION_MINOR == KORVANI_BUILD_VERSION_MINOR &&
                  KORVANI_VERSION_PATCH == KORVANI_BUILD_VERSION_PATCH,
              "korvani.h's version macros must follow the project's version");

namespace {

using namespace korvani::capi;
using korvani::PaymentPluginConfiguration;

korvani_status invalid(korvani_error* error, const char* what) {
  return fail(error, KORVANI_ERR_INVALID_ARGUMENT, what);
}

std::optional<std::string> copyText(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

// Runs `body` with the table taken over: on any refusal before `body` accepts it (shut down, bad
// argument), its user data is freed before the call returns. `end` is where the required
// members end; `nullAllowed` says whether NULL (removal) is a valid table.
template <class Table, class Body>
korvani_status withTable(korvani_error* error, const Table* host, std::size_t end, bool nullAllowed,
                         Body&& body) noexcept {
  if (isShutDown()) {
    freeRefused(host);
    return fail(error, KORVANI_ERR_SHUT_DOWN, "the library has been shut down");
  }
  std::optional<Table> table = copyTable(host);
  if (!table && !nullAllowed) return invalid(error, "the callback table is NULL");
  if (table && !fits(table->struct_size, end)) {
    freeRefused(host);
    return invalid(error, "the callback table's struct_size leaves out a required member");
  }
  return guarded(error, [&] { return body(table); });
}

// The member that must be set, by the table type.
template <class Table, class Member>
bool present(const std::optional<Table>& table, Member Table::*member) {
  return !table || table.value().*member;
}

template <class Record>
korvani_status setRecord(korvani_configuration_t* configuration, const char* json, int* built,
                         korvani_error* error,
                         std::shared_ptr<Record> PaymentPluginConfiguration::*member) {
  return entry(error, [&] {
    if (!configuration) return invalid(error, "configuration is NULL");
    if (!json) {
      configuration->value.get()->*member = nullptr;
      if (built) *built = 0;
      return KORVANI_OK;
    }
    korvani::JsonError refused;
    std::shared_ptr<Record> record = Record::fromJsonText(json, &refused);
    if (!record && !refused.reason.empty()) {
      return fail(error, KORVANI_ERR_INVALID_JSON, refused.message());
    }
    configuration->value.get()->*member = std::move(record);
    if (built) *built = configuration->value.get()->*member ? 1 : 0;
    return KORVANI_OK;
  });
}

// The value the host passed for an enumeration, as an int: one from a newer header may lie
// outside the enumeration, and reading it as the enumeration type would be undefined.
template <class Enum>
int rawValue(const Enum& value) {
  static_assert(sizeof(Enum) == sizeof(int));
  int raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

// The text members by their korvani_configuration_text and korvani_payment_text values (the
// platform, never absent, is set apart).
using Text = std::optional<std::string>;
using C = PaymentPluginConfiguration;
constexpr Text C::*kConfigurationTexts[] = {&C::baseUrl,    &C::path,          &C::accessToken,
                                            &C::appVersion, &C::brixSessionId, nullptr,
                                            &C::siteId,     &C::source,        &C::userAgent};
using Choice = korvani::host::PaymentChoice;
constexpr Text Choice::*kPaymentTexts[] = {&Choice::paymentMethodId, &Choice::paymentTypeId,
                                           &Choice::issuerId, &Choice::tokenId};

static_assert(std::size(kConfigurationTexts) == KORVANI_CONFIG_USER_AGENT + 1 &&
              std::size(kPaymentTexts) == KORVANI_TOKEN_ID + 1);

// The member at `index`, or null outside the table.
template <class Member, std::size_t size>
Member memberAt(Member const (&members)[size], int index) {
  return index >= 0 && static_cast<std::size_t>(index) < size ? members[index] : nullptr;
}

}  // namespace

extern "C" {

const char* korvani_version(int* major, int* minor, int* patch) {
  if (major) *major = KORVANI_BUILD_VERSION_MAJOR;
  if (minor) *minor = KORVANI_BUILD_VERSION_MINOR;
  if (patch) *patch = KORVANI_BUILD_VERSION_PATCH;
  return KORVANI_BUILD_VERSION_TEXT;
}

const char* korvani_status_name(korvani_status status) {
  switch (rawValue(status)) {
    case KORVANI_OK:
      return "KORVANI_OK";
    case KORVANI_ERR_INVALID_ARGUMENT:
      return "KORVANI_ERR_INVALID_ARGUMENT";
    case KORVANI_ERR_INVALID_JSON:
      return "KORVANI_ERR_INVALID_JSON";
    case KORVANI_ERR_WRONG_STATE:
      return "KORVANI_ERR_WRONG_STATE";
    case KORVANI_ERR_SHUT_DOWN:
      return "KORVANI_ERR_SHUT_DOWN";
    case KORVANI_ERR_NOT_SUPPORTED:
      return "KORVANI_ERR_NOT_SUPPORTED";
    case KORVANI_ERR_IO:
      return "KORVANI_ERR_IO";
    case KORVANI_ERR_TIMEOUT:
      return "KORVANI_ERR_TIMEOUT";
    case KORVANI_ERR_INTERNAL:
      return "KORVANI_ERR_INTERNAL";
  }
  return "KORVANI_UNKNOWN_STATUS";
}

korvani_status korvani_text_answer_set(korvani_text_answer_t* answer, const char* text,
                                       korvani_error* error) {
  return entry(error, [&] {
    if (!answer) return invalid(error, "answer is NULL");
    answer->text = copyText(text);
    return KORVANI_OK;
  });
}

// Configuration.

korvani_status korvani_configuration_new(korvani_configuration_t** out, korvani_error* error) {
  return entry(error, [&] {
    if (!out) return invalid(error, "out is NULL");
    *out = nullptr;
    installDelivery();
    auto handle = std::make_unique<korvani_configuration>();
    handle->value = std::make_shared<PaymentPluginConfiguration>();
    *out = handle.release();
    countHandle(+1);
    return KORVANI_OK;
  });
}

void korvani_configuration_release(korvani_configuration_t* configuration) {
  if (!configuration) return;
  countHandle(-1);
  delete configuration;
}

korvani_status korvani_configuration_set_text(korvani_configuration_t* configuration,
                                              korvani_configuration_text member, const char* value,
                                              korvani_error* error) {
  return entry(error, [&] {
    if (!configuration) return invalid(error, "configuration is NULL");
    PaymentPluginConfiguration& c = *configuration->value;
    const int index = rawValue(member);
    if (index == KORVANI_CONFIG_PLATFORM) {
      c.platform = value ? value : "";  // never absent
      return KORVANI_OK;
    }
    if (const auto text = memberAt(kConfigurationTexts, index)) {
      c.*text = copyText(value);
      return KORVANI_OK;
    }
    return invalid(error, "unknown configuration member");
  });
}

korvani_status korvani_configuration_set_checkout_preference(korvani_configuration_t* configuration,
                                                             const char* json, int* built,
                                                             korvani_error* error) {
  return setRecord(configuration, json, built, error,
                   &PaymentPluginConfiguration::checkoutPreference);
}

korvani_status korvani_configuration_set_merchant_order(korvani_configuration_t* configuration,
                                                        const char* json, int* built,
                                                        korvani_error* error) {
  return setRecord(configuration, json, built, error, &PaymentPluginConfiguration::merchantOrder);
}

korvani_status korvani_configuration_set_discount(korvani_configuration_t* configuration,
                                                  const char* json, int* built,
                                                  korvani_error* error) {
  return setRecord(configuration, json, built, error, &PaymentPluginConfiguration::discount);
}

korvani_status korvani_configuration_set_internal_metadata(korvani_configuration_t* configuration,
                                                           const char* json, korvani_error* error) {
  return entry(error, [&] {
    if (!configuration) return invalid(error, "configuration is NULL");
    if (!json) {
      configuration->value->internalMetadata.reset();
      return KORVANI_OK;
    }
    korvani::JsonError refused;
    std::optional<korvani::JsonValue> value = korvani::parseJson(json, &refused);
    if (!value) return fail(error, KORVANI_ERR_INVALID_JSON, refused.message());
    korvani::JsonObject* object = value->asObject();
    if (!object) return fail(error, KORVANI_ERR_INVALID_JSON, "not a JSON object at byte 0");
    configuration->value->internalMetadata = std::move(*object);
    return KORVANI_OK;
  });
}

korvani_status korvani_configuration_set_sha256_hook(korvani_configuration_t* configuration,
                                                     const korvani_sha256_hook* hook,
                                                     korvani_error* error) {
  return withTable(
      error, hook, KORVANI_CAPI_END_OF(korvani_sha256_hook, digest), true, [&](auto& table) {
        if (!configuration || !present(table, &korvani_sha256_hook::digest)) {
          freeRefused(hook);
          return invalid(error, configuration ? "digest is NULL" : "configuration is NULL");
        }
        configuration->value->sha256 = table ? makeSha256Hook(*table) : nullptr;
        return KORVANI_OK;
      });
}

int korvani_sha256_digest(void* /*user_data*/, const char* text, korvani_text_answer_t* answer) {
  return guarded(nullptr, [&] {
    if (!text || !answer) return KORVANI_ERR_INVALID_ARGUMENT;
    answer->text = korvani::sha256Hex(text);
    return answer->text ? KORVANI_OK : KORVANI_ERR_INTERNAL;
  });
}

korvani_status korvani_sha256_hex(const char* text, char* hex, korvani_error* error) {
  return guarded(error, [&] {
    if (!text || !hex) return invalid(error, text ? "hex is NULL" : "text is NULL");
    const std::optional<std::string> digest = korvani::sha256Hex(text);
    if (!digest || digest->size() + 1 != KORVANI_SHA256_HEX_SIZE) {
      setError(error, KORVANI_DOMAIN_INTERNAL, 0, "the digest could not be made");
      return KORVANI_ERR_INTERNAL;
    }
    std::memcpy(hex, digest->c_str(), KORVANI_SHA256_HEX_SIZE);
    return KORVANI_OK;
  });
}

// Payment data, inside the store's callback.

korvani_status korvani_payment_data_set_text(korvani_payment_data_t* data,
                                             korvani_payment_text member, const char* value,
                                             korvani_error* error) {
  return entry(error, [&] {
    if (!data) return invalid(error, "data is NULL");
    if (const auto text = memberAt(kPaymentTexts, rawValue(member))) {
      data->choice.*text = copyText(value);
      return KORVANI_OK;
    }
    return invalid(error, "unknown payment data member");
  });
}

korvani_status korvani_payment_data_set_installments(korvani_payment_data_t* data,
                                                     int64_t installments, korvani_error* error) {
  return entry(error, [&] {
    if (!data) return invalid(error, "data is NULL");
    data->choice.installments = installments;
    return KORVANI_OK;
  });
}

// The component.

korvani_status korvani_component_new(korvani_configuration_t* configuration,
                                     korvani_component_t** out, korvani_error* error) {
  return entry(error, [&] {
    if (!out) return invalid(error, "out is NULL");
    *out = nullptr;
    if (!configuration) return invalid(error, "configuration is NULL");
    installDelivery();
    auto handle = std::make_unique<korvani_component>();
    handle->value = korvani::PaymentPluginComponent::create(configuration->value);
    *out = handle.release();
    countHandle(+1);
    return KORVANI_OK;
  });
}

void korvani_component_release(korvani_component_t* component) {
  if (!component) return;
  countHandle(-1);
  delete component;
}

korvani_status korvani_component_set_store(korvani_component_t* component,
                                           const korvani_store_callbacks* store,
                                           korvani_error* error) {
  return withTable(
      error, store, KORVANI_CAPI_END_OF(korvani_store_callbacks, current_payment_data), true,
      [&](auto& table) {
        if (!component || !present(table, &korvani_store_callbacks::current_payment_data)) {
          freeRefused(store);
          return invalid(error, component ? "current_payment_data is NULL" : "component is NULL");
        }
        std::shared_ptr<StoreAdapter> adapter;
        if (table) adapter = std::make_shared<StoreAdapter>(*table);
        component->value->didReceive(std::move(adapter));
        return KORVANI_OK;
      });
}

korvani_status korvani_component_set_navigation_handler(korvani_component_t* component,
                                                        const korvani_navigation_handler* handler,
                                                        korvani_error* error) {
  using Table = korvani_navigation_handler;
  return withTable(error, handler, KORVANI_CAPI_END_OF(Table, did_finish_remote_payment), true,
                   [&](auto& table) {
                     if (!component || !present(table, &Table::begin_plugin_work) ||
                         !present(table, &Table::end_plugin_work) ||
                         !present(table, &Table::did_finish_payment) ||
                         !present(table, &Table::did_finish_remote_payment)) {
                       freeRefused(handler);
                       return invalid(error, component ? "a navigation handler callback is NULL"
                                                       : "component is NULL");
                     }
                     std::shared_ptr<NavigationHandlerAdapter> adapter;
                     if (table) adapter = std::make_shared<NavigationHandlerAdapter>(*table);
                     component->value->navigationHandlerForPlugin(std::move(adapter));
                     return KORVANI_OK;
                   });
}

korvani_status korvani_component_render_did_finish(korvani_component_t* component,
                                                   korvani_error* error) {
  return entry(error, [&] {
    if (!component) return invalid(error, "component is NULL");
    component->value->renderDidFinish();
    return KORVANI_OK;
  });
}

// Host services.

korvani_status korvani_set_reachability(const korvani_reachability* reachability,
                                        korvani_error* error) {
  return withTable(error, reachability, KORVANI_CAPI_END_OF(korvani_reachability, current_status),
                   true, [&](auto& table) {
                     if (!present(table, &korvani_reachability::current_status)) {
                       freeRefused(reachability);
                       return invalid(error, "current_status is NULL");
                     }
                     installDelivery();
                     if (!table) {
                       korvani::host::ZRReachability::setProvider({});
                       return KORVANI_OK;
                     }
                     auto adapter = std::make_shared<ReachabilityAdapter>(*table);
                     korvani::host::ZRReachability::setProvider(
                         [adapter = std::move(adapter)] { return adapter; });
                     return KORVANI_OK;
                   });
}

korvani_status korvani_set_track_listener(const korvani_track_listener* listener,
                                          korvani_error* error) {
  return withTable(error, listener, KORVANI_CAPI_END_OF(korvani_track_listener, track_event), true,
                   [&](auto& table) {
                     if (!present(table, &korvani_track_listener::track_event)) {
                       freeRefused(listener);
                       return invalid(error, "track_event is NULL");
                     }
                     installDelivery();
                     std::shared_ptr<TrackListenerAdapter> adapter;
                     if (table) adapter = std::make_shared<TrackListenerAdapter>(*table);
                     korvani::host::KVQTracker::setTrackListener(std::move(adapter));
                     return KORVANI_OK;
                   });
}

korvani_status korvani_set_host_failure_listener(const korvani_host_failure_listener* listener,
                                                 korvani_error* error) {
  return withTable(error, listener, KORVANI_CAPI_END_OF(korvani_host_failure_listener, host_failed),
                   true, [&](auto& table) {
                     if (!present(table, &korvani_host_failure_listener::host_failed)) {
                       freeRefused(listener);
                       return invalid(error, "host_failed is NULL");
                     }
                     setHostFailureListener(table);
                     return KORVANI_OK;
                   });
}

korvani_status korvani_host_failure_count(uint64_t* count, korvani_error* error) {
  return guarded(error, [&] {
    if (!count) return invalid(error, "count is NULL");
    *count = hostFailureCount();
    return KORVANI_OK;
  });
}

korvani_status korvani_set_exchange_observer(const korvani_exchange_observer* observer,
                                             korvani_error* error) {
  return withTable(error, observer,
                   KORVANI_CAPI_END_OF(korvani_exchange_observer, exchange_finished), true,
                   [&](auto& table) {
                     if (!present(table, &korvani_exchange_observer::exchange_finished)) {
                       freeRefused(observer);
                       return invalid(error, "exchange_finished is NULL");
                     }
                     korvani::setExchangeObserver(table ? makeExchangeObserver(*table) : nullptr);
                     return KORVANI_OK;
                   });
}

// Delivery.

korvani_status korvani_set_scheduler(const korvani_scheduler* scheduler, korvani_error* error) {
  return withTable(error, scheduler, KORVANI_CAPI_END_OF(korvani_scheduler, notify), true,
                   [&](auto& table) {
                     if (!present(table, &korvani_scheduler::notify)) {
                       freeRefused(scheduler);
                       return invalid(error, "notify is NULL");
                     }
                     if (CallbackScope::active()) {
                       freeRefused(scheduler);
                       return fail(error, KORVANI_ERR_WRONG_STATE, "called inside a callback");
                     }
                     installDelivery();
                     setScheduler(table);
                     return KORVANI_OK;
                   });
}

}  // extern "C"

namespace {

// A drain call: refused inside a callback, where it would run work nested in other work.
template <class Body>
korvani_status drain(korvani_error* error, Body&& body) noexcept {
  return entry(error, [&] {
    if (CallbackScope::active()) {
      return fail(error, KORVANI_ERR_WRONG_STATE, "a drain call inside a callback");
    }
    installDelivery();
    body();
    return KORVANI_OK;
  });
}

}  // namespace

extern "C" {

korvani_status korvani_run_pending(size_t* ran, korvani_error* error) {
  return drain(error, [&] {
    const std::size_t count = runPending();
    if (ran) *ran = count;
  });
}

korvani_status korvani_run_once(int* ran, korvani_error* error) {
  return drain(error, [&] {
    const bool one = runOnce();
    if (ran) *ran = one ? 1 : 0;
  });
}

korvani_status korvani_run_until_idle(size_t* ran, korvani_error* error) {
  return drain(error, [&] {
    const std::size_t count = runUntilIdle();
    if (ran) *ran = count;
  });
}

korvani_status korvani_run_for(int64_t timeout_ms, int (*condition)(void* context), void* context,
                               int* condition_met, korvani_error* error) {
  return drain(error, [&] {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
    const bool met = runUntil(condition, context, deadline);
    if (condition_met) *condition_met = met ? 1 : 0;
  });
}

// Session settings.

korvani_status korvani_session_add_trusted_certificates_file(const char* path,
                                                             korvani_error* error) {
  return entry(error, [&] {
    if (!path) return invalid(error, "path is NULL");
    if (!korvani::platform::URLSession::sharedSession()->addTrustedCertificatesFile(path)) {
      return fail(error, KORVANI_ERR_IO, std::string("cannot read ") + path);
    }
    return KORVANI_OK;
  });
}

korvani_status korvani_session_add_trusted_certificates_pem(const char* pem, korvani_error* error) {
  return entry(error, [&] {
    if (!pem) return invalid(error, "pem is NULL");
    korvani::platform::URLSession::sharedSession()->addTrustedCertificatesPem(pem);
    return KORVANI_OK;
  });
}

korvani_status korvani_session_reset_trusted_certificates(korvani_error* error) {
  return entry(error, [&] {
    korvani::platform::URLSession::sharedSession()->resetTrustedCertificates();
    return KORVANI_OK;
  });
}

korvani_status korvani_session_set_proxy(const char* proxy, korvani_error* error) {
  return entry(error, [&] {
    korvani::platform::URLSession::sharedSession()->setProxy(copyText(proxy));
    return KORVANI_OK;
  });
}

korvani_status korvani_session_set_warm_up_enabled(int enabled, korvani_error* error) {
  return entry(error, [&] {
    korvani::platform::URLSession::sharedSession()->setWarmUpEnabled(enabled != 0);
    return KORVANI_OK;
  });
}

korvani_status korvani_session_set_resend_enabled(int enabled, korvani_error* error) {
  return entry(error, [&] {
    korvani::platform::URLSession::sharedSession()->setResendEnabled(enabled != 0);
    return KORVANI_OK;
  });
}

korvani_status korvani_session_set_request_deadline_ms(int64_t deadline_ms, korvani_error* error) {
  return entry(error, [&] {
    if (deadline_ms < 1) return invalid(error, "deadline_ms must be at least 1");
    korvani::platform::URLSession::sharedSession()->setRequestDeadline(
        std::chrono::milliseconds(deadline_ms));
    return KORVANI_OK;
  });
}

korvani_status korvani_session_set_maximum_response_bytes(size_t bytes, korvani_error* error) {
  return entry(error, [&] {
    if (bytes < 1) return invalid(error, "bytes must be at least 1");
    korvani::platform::URLSession::sharedSession()->setMaximumResponseBytes(bytes);
    return KORVANI_OK;
  });
}

// Shutdown and accounting.

korvani_status korvani_shutdown(int64_t timeout_ms, korvani_error* error) {
  return guarded(error, [&] {
    if (CallbackScope::active()) {
      return fail(error, KORVANI_ERR_WRONG_STATE, "korvani_shutdown inside a callback");
    }
    // First no callback, then no queued work, then no thread, then no user data.
    markShutDown();
    shutDownDelivery();
    const bool stopped = korvani::platform::URLSession::sharedSession()->shutdown(
        std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0));
    korvani::host::KVQTracker::setTrackListener(nullptr);
    korvani::host::ZRReachability::setProvider({});
    korvani::setExchangeObserver(nullptr);
    setHostFailureListener(std::nullopt);
    UserData::freeAll();
    if (!stopped) {
      return fail(error, KORVANI_ERR_TIMEOUT, "the network thread had not stopped in time");
    }
    return KORVANI_OK;
  });
}

korvani_status korvani_live_objects(size_t* handles, size_t* user_data, korvani_error* error) {
  return guarded(error, [&] {
    if (handles) *handles = liveHandles();
    if (user_data) *user_data = UserData::liveCount();
    return KORVANI_OK;
  });
}

}  // extern "C"
