#include "korvani/platform/view.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace korvani::platform {
namespace {

TEST(View, TreeRefusesCyclesAndMovesSubviews) {
  auto root = std::make_shared<View>(Rect{0, 0, 320, 480});
  auto child = std::make_shared<View>();
  auto grandchild = std::make_shared<View>(Rect{1, 2, 3, 4});
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

}  // namespace
}  // namespace korvani::platform
