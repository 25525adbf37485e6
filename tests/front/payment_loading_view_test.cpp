#include "korvani/payment_loading_view.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "korvani/korvani.hpp"  // the umbrella header must compile on its own

namespace korvani {
namespace {

using platform::Coder;
using platform::Rect;
using platform::View;

TEST(View, TreeRefusesCyclesAndMovesSubviews) {
  auto root = std::make_shared<View>(Rect{0, 0, 320, 480});
  auto child = std::make_shared<View>();
  auto grandchild = std::make_shared<PaymentLoadingView>(Rect{1, 2, 3, 4});
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
  EXPECT_EQ(root->subviews(), std::vector<std::shared_ptr<View>>{child});
}

// An archive as the toolkit would have written it decodes to the same frame as a plain view.
TEST(PaymentLoadingView, DecodesItsFrameLikeAPlainView) {
  const struct {
    const char* json;
    std::optional<Rect> frame;
  } cases[] = {
      {"{}", Rect{}},
      {R"({"title": "Paying", "alpha": 0.5})", Rect{}},
      {R"({"frame": {"x": 1, "y": 2.5, "width": 300, "height": 40}})", Rect{1, 2.5, 300, 40}},
      {R"({"frame": "0,0,10,10"})", {}},
      {R"({"frame": null})", {}},
      {R"({"frame": {"x": 1, "y": 2, "width": 3}})", {}},
      {R"({"frame": {"x": 1, "y": 2, "width": "3", "height": 4}})", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Coder coder(*parseJson(c.json)->asObject());
    const std::shared_ptr<View> plain = View::fromCoder(coder);
    const std::shared_ptr<PaymentLoadingView> loading = PaymentLoadingView::fromCoder(coder);
    EXPECT_EQ(plain ? std::optional(plain->frame) : std::nullopt, c.frame);
    EXPECT_EQ(loading ? std::optional(loading->frame) : std::nullopt, c.frame);
    if (loading) {
      EXPECT_TRUE(loading->subviews().empty());
    }
  }
}

}  // namespace
}  // namespace korvani
