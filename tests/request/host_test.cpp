#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"

namespace korvani {
namespace {

TEST(InMemoryCheckoutStore, KeepsPaymentDataAndValues) {
  host::InMemoryCheckoutStore store;
  ASSERT_NE(store.currentPaymentData(), nullptr);
  EXPECT_EQ(store.currentPaymentData()->paymentMethod(), nullptr);
  store.setPaymentData(host::makePaymentData({"visa", "credit_card", std::nullopt, "tok", 3}));
  const auto data = store.currentPaymentData();
  EXPECT_EQ(data->paymentMethod()->paymentTypeId(), "credit_card");
  EXPECT_EQ(data->issuer(), nullptr);
  EXPECT_EQ(data->token()->id(), "tok");
  EXPECT_EQ(data->payerCost()->installments(), 3);
  store.setPaymentData(nullptr);
  EXPECT_NE(store.currentPaymentData(), nullptr) << "the store never answers without";

  store.setData("auth_code", JsonObject{{"code", "1"}});
  store.setData("auth_code", JsonObject{{"code", "2"}});
  EXPECT_EQ(store.getData("auth_code"), JsonValue(JsonObject{{"code", "2"}}));
  store.removeData("auth_code");
  store.removeData("never there");
  EXPECT_FALSE(store.getData("auth_code"));
}

// Trackers made anywhere, before or after, reach the one listener of the process.
TEST(KVQTracker, EveryTrackerUsesTheProcessListener) {
  EXPECT_EQ(host::KVQTracker().getTrackListener(), nullptr);
  auto listener = std::make_shared<host::RecordingTrackListener>();
  host::KVQTracker::setTrackListener(listener);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([] {
      if (auto l = host::KVQTracker().getTrackListener()) l->trackEvent("/s", "a", {}, {});
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(listener->events().size(), 4u);
  host::KVQTracker::setTrackListener(nullptr);
  EXPECT_EQ(host::KVQTracker().getTrackListener(), nullptr);
}

}  // namespace
}  // namespace korvani
