#include "korvani/platform/view.hpp"

#include <cstdlib>
#include <vector>

namespace korvani::platform {

bool Coder::containsValue(std::string_view key) const {
  return values_.contains(key);
}

std::optional<double> Coder::decodeDouble(std::string_view key) const {
  const JsonValue* value = values_.find(key);
  const std::optional<Decimal> number = value ? value->asDecimal() : std::nullopt;
  if (!number) return std::nullopt;
  // Frames are toolkit geometry, not money: a double is the toolkit's own type.
  return std::strtod(number->toString().c_str(), nullptr);
}

std::optional<bool> Coder::decodeBool(std::string_view key) const {
  return values_.getBool(key);
}

std::optional<std::string> Coder::decodeString(std::string_view key) const {
  if (const std::string* text = values_.getString(key)) return *text;
  return std::nullopt;
}

const JsonObject* Coder::decodeObject(std::string_view key) const {
  return values_.getObject(key);
}

View::~View() = default;

std::optional<Rect> View::decodeFrame(const Coder& coder) {
  if (!coder.containsValue("frame")) return Rect{};
  const JsonObject* frame = coder.decodeObject("frame");
  if (!frame) return std::nullopt;
  Coder parts(*frame);
  std::optional<double> x = parts.decodeDouble("x");
  std::optional<double> y = parts.decodeDouble("y");
  std::optional<double> width = parts.decodeDouble("width");
  std::optional<double> height = parts.decodeDouble("height");
  if (!x || !y || !width || !height) return std::nullopt;
  return Rect{*x, *y, *width, *height};
}

std::shared_ptr<View> View::fromCoder(const Coder& coder) {
  std::optional<Rect> frame = decodeFrame(coder);
  if (!frame) return nullptr;
  return std::make_shared<View>(*frame);
}

bool View::isDescendantOf(const View& ancestor) const {
  for (std::shared_ptr<View> view = superview(); view; view = view->superview()) {
    if (view.get() == &ancestor) return true;
  }
  return false;
}

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this || isDescendantOf(*view)) return;
  view->removeFromSuperview();
  view->superview_ = weak_from_this();
  subviews_.push_back(view);
}

void View::removeFromSuperview() {
  std::shared_ptr<View> parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  // Keep this view alive while it leaves the list that may hold its last reference.
  std::shared_ptr<View> self = weak_from_this().lock();
  std::erase_if(parent->subviews_,
                [this](const std::shared_ptr<View>& child) { return child.get() == this; });
}

}  // namespace korvani::platform
