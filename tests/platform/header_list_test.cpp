#include "korvani/platform/header_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvani::platform {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairsOf(const HeaderList& list) {
  Pairs pairs;
  for (const auto& [name, value] : list)
    pairs.emplace_back(name, value);
  return pairs;
}

// Fields past the ones kept inline, a value continued after it was added, and empty names and
// values all read back in order, in the list and in its copies.
TEST(HeaderList, KeepsEveryFieldInOrderAcrossCopiesAndClears) {
  HeaderList list;
  Pairs expected;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "Field-" + std::to_string(i);
    const std::string value = i % 5 == 0 ? "" : std::string(static_cast<std::size_t>(i), 'v');
    list.emplace_back(name, value);
    expected.emplace_back(name, value);
    if (i == 9) {
      list.appendToLastValue(" continued");
      expected.back().second += " continued";
    }
  }
  list.emplace_back("", "no name");
  expected.emplace_back("", "no name");

  EXPECT_EQ(list.size(), expected.size());
  EXPECT_EQ(pairsOf(list), expected);
  EXPECT_EQ(list[9].second, "vvvvvvvvv continued");
  EXPECT_EQ(list[list.size() - 1].first, "");

  const HeaderList copy = list;
  EXPECT_EQ(pairsOf(copy), expected);
  EXPECT_EQ(copy, list);
  HeaderList other = list;
  other.appendToLastValue("!");
  EXPECT_NE(other, list);

  other.clear();
  EXPECT_TRUE(other.empty());
  other.emplace_back("A", "b");
  EXPECT_EQ(pairsOf(other), (Pairs{{"A", "b"}}));
  EXPECT_EQ(other, (HeaderList{{"A", "b"}}));
  // Names match whatever their letter case; the first of a repeated name gives the value.
  list.emplace_back("field-13", "again");
  EXPECT_EQ(list.value("FIELD-13"), "vvvvvvvvvvvvv");
  EXPECT_EQ(list.count("Field-13"), 2u);
  EXPECT_EQ(list.value("Field-99"), std::nullopt);
  // The same text split differently is another list.
  EXPECT_NE((HeaderList{{"AB", "c"}}), (HeaderList{{"A", "Bc"}}));
}

}  // namespace
}  // namespace korvani::platform
