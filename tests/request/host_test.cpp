#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "korvani/host/plugin.hpp"
#include "korvani/host/stand_ins.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/platform/view.hpp"

namespace korvani {
namespace {

using host::RecordingNavigationHandler;
using Status = host::VQPaymentMethodPlugin::RemotePaymentStatus;

TEST(InMemoryCheckoutStore, KeepsPaymentDataAndValues) {
  host::InMemoryCheckoutStore store;
  ASSERT_NE(store.currentPaymentData(), nullptr);
  EXPECT_EQ(store.currentPaymentData()->paymentMethod(), nullptr);

  store.setPaymentData(host::makePaymentData({"visa", "credit_card", std::nullopt, "tok", 3}));
  auto data = store.currentPaymentData();
  ASSERT_NE(data->paymentMethod(), nullptr);
  EXPECT_EQ(data->paymentMethod()->paymentTypeId(), "credit_card");
  EXPECT_EQ(data->issuer(), nullptr);
  EXPECT_EQ(data->token()->id(), "tok");
  EXPECT_EQ(data->payerCost()->installments(), 3);
  store.setPaymentData(nullptr);
  EXPECT_NE(store.currentPaymentData(), nullptr) << "the store never answers without";

  EXPECT_FALSE(store.getData("auth_code"));
  store.setData("auth_code", JsonObject{{"code", "1"}});
  store.setData("auth_code", JsonObject{{"code", "2"}});
  ASSERT_TRUE(store.getData("auth_code"));
  EXPECT_EQ(*store.getData("auth_code"), JsonValue(JsonObject{{"code", "2"}}));
  store.removeData("auth_code");
  store.removeData("never there");
  EXPECT_FALSE(store.getData("auth_code"));
}

TEST(RecordingNavigationHandler, RecordsCallsInOrderWithHostDefaults) {
  auto handler = std::make_shared<RecordingNavigationHandler>();
  std::shared_ptr<host::VQPluginNavigationHandler> asHost = handler;
  asHost->beginPluginWork();
  asHost->endPluginWork();
  asHost->didFinishPayment("approved", "accredited", std::optional<std::string>("123"));
  asHost->didFinishPayment(Status::Rejected);
  using Kind = RecordingNavigationHandler::CallKind;
  EXPECT_EQ(handler->callKinds(),
            (std::vector<Kind>{Kind::beginPluginWork, Kind::endPluginWork,
                               Kind::finishWithStatusText, Kind::finishWithStatus}));
  const auto calls = handler->calls();
  EXPECT_EQ(calls[2].statusText, "approved");
  EXPECT_EQ(calls[2].statusDetails, "accredited");
  EXPECT_EQ(calls[2].receiptId, "123");
  EXPECT_EQ(calls[3].paymentStatus, Status::Rejected);
  EXPECT_EQ(static_cast<int>(*calls[3].paymentStatus), 1);
  EXPECT_EQ(calls[3].statusDetails, "");
  EXPECT_EQ(calls[3].receiptId, std::nullopt);
  handler->clear();
  EXPECT_TRUE(handler->calls().empty());
}

TEST(KVQTracker, EveryTrackerUsesTheProcessListener) {
  EXPECT_EQ(host::KVQTracker().getTrackListener(), nullptr);
  auto listener = std::make_shared<host::RecordingTrackListener>();
  host::KVQTracker::setTrackListener(listener);

  // Trackers made anywhere, before or after, reach the same listener.
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i] {
      if (auto l = host::KVQTracker().getTrackListener()) {
        l->trackEvent("/screen", "action", std::to_string(i), std::nullopt);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(listener->events().size(), 4u);

  host::KVQTracker::setTrackListener(nullptr);
  EXPECT_EQ(host::KVQTracker().getTrackListener(), nullptr);
}

TEST(View, TreeAndArchive) {
  using platform::Coder;
  using platform::Rect;
  using platform::View;
  auto root = std::make_shared<View>(Rect{0, 0, 320, 480});
  auto child = std::make_shared<View>();
  auto grandchild = std::make_shared<View>();
  root->addSubview(child);
  child->addSubview(grandchild);
  EXPECT_EQ(child->superview(), root);
  grandchild->addSubview(root);  // would be a cycle
  root->addSubview(root);
  EXPECT_EQ(root->superview(), nullptr);
  EXPECT_TRUE(grandchild->subviews().empty());

  root->addSubview(grandchild);  // moves it
  EXPECT_TRUE(child->subviews().empty());
  EXPECT_EQ(root->subviews().size(), 2u);
  std::weak_ptr<View> weakGrandchild = grandchild;
  grandchild.reset();
  weakGrandchild.lock()->removeFromSuperview();
  EXPECT_TRUE(weakGrandchild.expired()) << "the superview held the last reference";
  EXPECT_EQ(root->subviews().size(), 1u);

  auto fromEmpty = View::fromCoder(Coder());
  ASSERT_NE(fromEmpty, nullptr);
  EXPECT_EQ(fromEmpty->frame, Rect{});
  JsonObject frame{{"x", 1}, {"y", *Decimal::fromString("2.5")}, {"width", 10}, {"height", 20}};
  auto archived = View::fromCoder(Coder(JsonObject{{"frame", frame}}));
  ASSERT_NE(archived, nullptr);
  EXPECT_EQ(archived->frame, (Rect{1, 2.5, 10, 20}));
  frame.set("height", "20");
  EXPECT_EQ(View::fromCoder(Coder(JsonObject{{"frame", frame}})), nullptr);
  EXPECT_EQ(View::fromCoder(Coder(JsonObject{{"frame", nullptr}})), nullptr);
}

// A plug-in that implements only the required operation still answers every query, with
// "not provided".
TEST(PluginProtocol, OptionalOperationsDefaultToNotProvided) {
  struct Minimal final : host::VQPaymentPluginComponent {
    std::shared_ptr<platform::View> render(std::shared_ptr<host::VQCheckoutStore>,
                                           std::shared_ptr<host::VQTheme>) override {
      return nullptr;
    }
  } minimal;
  host::VQPaymentPluginComponent& component = minimal;
  EXPECT_FALSE(component.titleForNavigationBar() || component.colorForNavigationBar() ||
               component.shouldShowNavigationBar() ||
               component.support(std::make_shared<host::InMemoryCheckoutStore>()));
}

}  // namespace
}  // namespace korvani
