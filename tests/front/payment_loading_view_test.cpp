#include "korvani/payment_loading_view.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvani/korvani.hpp"  // the umbrella header must compile on its own

namespace korvani {
namespace {

using platform::Coder;
using platform::Rect;
using platform::View;

TEST(PaymentLoadingViewTest, FrameConstructionGivesAPlainViewWithThatFrame) {
  const Rect frames[] = {{0, 0, 0, 0}, {10, 20, 320, 480}, {-5.5, 0.25, 1e6, 0.5}};
  for (const Rect& frame : frames) {
    const auto view = std::make_shared<PaymentLoadingView>(frame);
    EXPECT_EQ(view->frame, frame);
    EXPECT_TRUE(view->subviews().empty());
    EXPECT_EQ(view->superview(), nullptr);
  }

  // It takes part in a view tree like any other view.
  const auto parent = std::make_shared<View>(Rect{0, 0, 100, 100});
  const auto loading = std::make_shared<PaymentLoadingView>(Rect{1, 2, 3, 4});
  parent->addSubview(loading);
  ASSERT_EQ(parent->subviews().size(), 1u);
  EXPECT_EQ(parent->subviews()[0], loading);
  EXPECT_EQ(loading->superview(), parent);
}

// An archive as the toolkit would have written it.
Coder archive(const char* json) {
  return Coder(*parseJson(json)->asObject());
}

TEST(PaymentLoadingViewTest, DecodingMatchesAPlainViewDecodedFromTheSameArchive) {
  const struct {
    const char* name;
    const char* json;
  } cases[] = {
      {"empty archive", "{}"},
      {"other keys only", R"({"title": "Paying", "alpha": 0.5})"},
      {"valid frame", R"({"frame": {"x": 1, "y": 2.5, "width": 300, "height": 40}})"},
      {"frame not an object", R"({"frame": "0,0,10,10"})"},
      {"null frame", R"({"frame": null})"},
      {"frame missing height", R"({"frame": {"x": 1, "y": 2, "width": 3}})"},
      {"frame with text part", R"({"frame": {"x": 1, "y": 2, "width": "3", "height": 4}})"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const Coder coder = archive(testCase.json);
    const std::shared_ptr<View> plain = View::fromCoder(coder);
    const std::shared_ptr<PaymentLoadingView> loading = PaymentLoadingView::fromCoder(coder);
    ASSERT_EQ(loading == nullptr, plain == nullptr);
    if (!plain) continue;
    EXPECT_EQ(loading->frame, plain->frame);
    EXPECT_TRUE(loading->subviews().empty());
  }
  const auto decoded = PaymentLoadingView::fromCoder(archive(cases[2].json));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->frame, (Rect{1, 2.5, 300, 40}));
  EXPECT_EQ(PaymentLoadingView::fromCoder(archive(cases[3].json)), nullptr);
}

}  // namespace
}  // namespace korvani
