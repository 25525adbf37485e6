#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani::platform {

// Position and size in points; the origin is the top-left corner of the superview. A value.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  friend bool operator==(const Rect&, const Rect&) = default;
};

// Colour components in [0, 1]; opaque black by default. A value.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  friend bool operator==(const Color&, const Color&) = default;
};

// A keyed archive being read back: the values a view was saved with. Reading a key that is
// missing or holds another type gives nothing. A value; read-only once made.
class KORVANI_EXPORT Coder {
 public:
  Coder() = default;  // an archive with no keys
  explicit Coder(JsonObject values) : values_(std::move(values)) {}

  bool containsValue(std::string_view key) const;  // whatever its type, null included
  // Typed reads; a number of any notation reads as a double. The object pointer lives as long
  // as the coder.
  std::optional<double> decodeDouble(std::string_view key) const;
  std::optional<bool> decodeBool(std::string_view key) const;
  std::optional<std::string> decodeString(std::string_view key) const;
  const JsonObject* decodeObject(std::string_view key) const;

 private:
  JsonObject values_;
};

// The toolkit's view: a frame and a tree of subviews. Views belong to the host's main thread;
// nothing here locks. Subclasses exist (the host tells them apart by type), hence the virtual
// destructor. Held by std::shared_ptr: a view keeps its subviews strongly and its superview
// weakly; the subviews of a view that no shared_ptr owns see no superview.
class KORVANI_EXPORT View : public std::enable_shared_from_this<View> {
 public:
  // A view with a zero or given frame and no subviews.
  View() = default;
  explicit View(Rect frameRect) : frame(frameRect) {}
  virtual ~View();

  // Not copyable: a view has one place in one tree.
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // Rebuilds a view from an archive: the key "frame" must be absent (zero frame) or an object
  // with the numbers "x", "y", "width" and "height"; anything else gives no view.
  static std::shared_ptr<View> fromCoder(const Coder& coder);
  // The frame an archive describes, by the rule of fromCoder(); for subclasses that decode
  // more of their own.
  static std::optional<Rect> decodeFrame(const Coder& coder);

  Rect frame;  // in the superview's coordinates

  // Subviews bottom to top.
  const std::vector<std::shared_ptr<View>>& subviews() const noexcept { return subviews_; }
  // The view this one was added to, or null when none (or it is gone).
  std::shared_ptr<View> superview() const { return superview_.lock(); }

  // Appends `view` on top of the others, taking it from its former superview first. Adding a
  // view to itself or to one of its own subviews is ignored (it would make a cycle), and so is
  // a null view.
  void addSubview(const std::shared_ptr<View>& view);
  // Leaves the superview, if any; a view that only the superview held is then destroyed.
  void removeFromSuperview();

 private:
  bool isDescendantOf(const View& ancestor) const;

  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<View> superview_;
};

}  // namespace korvani::platform
