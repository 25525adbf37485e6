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

// An archive as the toolkit would have written it decodes to the same frame as a plain view.
TEST(PaymentLoadingView, DecodesItsFrameLikeAPlainView) {
  const struct {
    const char* json;
    std::optional<Rect> frame;
  } cases[] = {
      {"{}", Rect{}},
      {R"({"frame": {"x": 1, "y": 2.5, "width": 300, "height": 40}})", Rect{1, 2.5, 300, 40}},
      {R"({"frame": "0,0,10,10"})", {}},
      {R"({"frame": {"x": 1, "y": 2, "width": 3}})", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Coder coder(*parseJson(c.json)->asObject());
    const std::shared_ptr<View> plain = View::fromCoder(coder);
    const std::shared_ptr<PaymentLoadingView> loading = PaymentLoadingView::fromCoder(coder);
    EXPECT_EQ(plain ? std::optional(plain->frame) : std::nullopt, c.frame);
    EXPECT_EQ(loading ? std::optional(loading->frame) : std::nullopt, c.frame);
    EXPECT_TRUE(!loading || loading->subviews().empty());
  }
}

}  // namespace
}  // namespace korvani
