#include "korvani/payment_loading_view.hpp"

namespace korvani {

std::shared_ptr<PaymentLoadingView> PaymentLoadingView::fromCoder(const platform::Coder& coder) {
  const std::optional<platform::Rect> frameRect = View::decodeFrame(coder);
  if (!frameRect) return nullptr;
  return std::make_shared<PaymentLoadingView>(*frameRect);
}

}  // namespace korvani
