#pragma once

#include <memory>

#include "korvani/export.hpp"
#include "korvani/platform/view.hpp"

namespace korvani {

// The plug-in's loading view, offered to the host application. It draws nothing and adds
// nothing: it behaves exactly like a plain view. Held by std::shared_ptr and used on the host's
// main thread, like every view; the component itself never shows it.
class KORVANI_EXPORT PaymentLoadingView : public platform::View {
 public:
  // A view with the given frame and no subviews.
  explicit PaymentLoadingView(platform::Rect frameRect) : View(frameRect) {}

  // From an archive, by the base view's rule; null exactly when a plain view would be.
  static std::shared_ptr<PaymentLoadingView> fromCoder(const platform::Coder& coder);
};

}  // namespace korvani
