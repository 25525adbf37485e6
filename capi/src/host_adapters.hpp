#pragma once

// The host's callback tables as the C++ host objects the plug-in calls: store, navigation
// handler, track listener, reachability, the exchange observer and the digest hook. Each holds its
// table and user data; none calls the host once the library is shut down, and each failure the host
// answers is reported.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "edge.hpp"
#include "korvani/exchange_observer.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/korvani.h"
#include "korvani/payment_plugin_configuration.hpp"

// The opaque answer types of the header.
struct korvani_text_answer {
  std::optional<std::string> text;
};
struct korvani_payment_data {
  korvani::host::PaymentChoice choice;
};

namespace korvani::capi {

class StoreAdapter final : public host::VQCheckoutStore,
                           public std::enable_shared_from_this<StoreAdapter> {
 public:
  explicit StoreAdapter(const korvani_store_callbacks& table)
      : table_(table), userData_(table.user_data, table.free_user_data) {}
  std::shared_ptr<host::PaymentData> currentPaymentData() const override;
  std::optional<JsonValue> getData(std::string_view forKey) const override;

 private:
  korvani_store_callbacks table_;
  UserData userData_;
};

class NavigationHandlerAdapter final
    : public host::VQPluginNavigationHandler,
      public std::enable_shared_from_this<NavigationHandlerAdapter> {
 public:
  explicit NavigationHandlerAdapter(const korvani_navigation_handler& table)
      : table_(table), userData_(table.user_data, table.free_user_data) {}
  using VQPluginNavigationHandler::didFinishPayment;
  void beginPluginWork() override;
  void endPluginWork() override;
  void didFinishPayment(const std::string& statusText, const std::string& statusDetails,
                        const std::optional<std::string>& receiptId) override;
  void didFinishPayment(RemotePaymentStatus paymentStatus, const std::string& statusDetails,
                        const std::optional<std::string>& receiptId) override;

 private:
  korvani_navigation_handler table_;
  UserData userData_;
};

class TrackListenerAdapter final : public host::KVTrackListener {
 public:
  explicit TrackListenerAdapter(const korvani_track_listener& table)
      : table_(table), userData_(table.user_data, table.free_user_data) {}
  void trackEvent(const std::string& screenName, const std::string& action,
                  const std::optional<std::string>& result,
                  const std::optional<JsonObject>& extraParams) override;

 private:
  korvani_track_listener table_;
  UserData userData_;
};

class ReachabilityAdapter final : public host::ZRReachability {
 public:
  explicit ReachabilityAdapter(const korvani_reachability& table)
      : table_(table), userData_(table.user_data, table.free_user_data) {}
  host::ZRNetworkStatus currentReachabilityStatus() const override;

 private:
  korvani_reachability table_;
  UserData userData_;
};

// The process's exchange observer calling the host's.
ExchangeObserver makeExchangeObserver(const korvani_exchange_observer& table);

// The configuration's hook calling the host's digest.
PaymentPluginConfiguration::Sha256Hook makeSha256Hook(const korvani_sha256_hook& table);

}  // namespace korvani::capi
