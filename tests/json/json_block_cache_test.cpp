#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "korvani/json.hpp"
#include "support/json_printing.hpp"

namespace korvani {
namespace {

using detail::cachedJsonBlockBytes;

// Network completions parse on background threads and hand the values to other threads, which
// destroy them: the blocks travel, join the destroying thread's cache and serve its next trees.
TEST(JsonBlockCache, ValuesBuiltOnOneThreadAreFreedAndReusedOnAnother) {
  const std::string text =
      R"({"raw":{"id":123,"status":"approved","amount":10.25,"tags":["a","b"]},"list":[{},[]]})";
  std::vector<JsonValue> values(200);
  auto produce = [&](std::size_t first) {
    for (std::size_t i = first; i < first + 100; ++i)
      values[i] = parseJson(text).value_or(JsonValue());
  };
  std::thread one(produce, 0);
  std::thread two(produce, 100);
  one.join();
  two.join();
  std::thread([&] {
    EXPECT_EQ(serializeJson(*parseJson(text)), text);  // this thread builds values too
    for (const auto& value : values)
      EXPECT_EQ(serializeJson(value), text);
    const std::size_t ownBlocks = cachedJsonBlockBytes();
    values.clear();
    const std::size_t withForeignBlocks = cachedJsonBlockBytes();
    EXPECT_GT(withForeignBlocks, ownBlocks);
    for (int i = 0; i < 100; ++i)
      values.push_back(*parseJson(text));  // built in the foreign blocks
    EXPECT_LT(cachedJsonBlockBytes(), withForeignBlocks);
    for (const auto& value : values)
      EXPECT_EQ(serializeJson(value), text);
  }).join();
  // A thread that only destroys values keeps nothing.
  std::size_t kept = 1;
  std::thread([&] {
    values.clear();
    kept = cachedJsonBlockBytes();
  }).join();
  EXPECT_EQ(kept, 0u);
}

TEST(JsonBlockCache, KeepsAtMostItsLimitAndReleasesOnRequest) {
  std::thread([] {
    {
      JsonArray tree;  // blocks of 40 KB, twice the limit in all
      for (std::size_t i = 0; i < 2 * detail::kJsonBlockCacheLimit / 40000; ++i)
        tree.emplace_back(JsonArray(1000, JsonValue(i)));
    }
    const std::size_t full = cachedJsonBlockBytes();
    EXPECT_LE(full, detail::kJsonBlockCacheLimit);
    EXPECT_GT(full, detail::kJsonBlockCacheLimit - 100000);
    {
      JsonArray again(1000);  // served from the cache
      EXPECT_LT(cachedJsonBlockBytes(), full);
      JsonArray huge(100000);  // 4 MB: a block this large bypasses the cache
    }
    EXPECT_EQ(cachedJsonBlockBytes(), full);
    releaseJsonCache();
    EXPECT_EQ(cachedJsonBlockBytes(), 0u);
  }).join();
}

#if defined(__SANITIZE_ADDRESS__)
void readAfterFree() {
  releaseJsonCache();  // room for the block below
  auto* array = new JsonArray(3);
  const JsonValue* element = array->data();
  delete array;
  std::printf("%d\n", static_cast<int>(element->type()));
}

// Cached blocks stay poisoned, so a use after free is still caught.
TEST(JsonBlockCacheDeathTest, UseOfAFreedBlockIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(readAfterFree(), "use-after-poison");
}
#endif

}  // namespace
}  // namespace korvani
