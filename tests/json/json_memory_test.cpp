// Peak memory of parseJson(), counted by replacing the global allocation functions of this
// test program.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "korvani/json.hpp"

namespace {

// Usable bytes of the heap blocks allocated while counting: live now and at most.
bool gCounting = false;
std::int64_t gLive = 0;
std::int64_t gPeak = 0;

void* allocate(std::size_t bytes) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (!block) throw std::bad_alloc();
  if (gCounting) {
    gLive += static_cast<std::int64_t>(malloc_usable_size(block));
    gPeak = std::max(gPeak, gLive);
  }
  return block;
}

void release(void* block) noexcept {
  if (block && gCounting) gLive -= static_cast<std::int64_t>(malloc_usable_size(block));
  std::free(block);
}

}  // namespace

void* operator new(std::size_t bytes) {
  return allocate(bytes);
}
void* operator new[](std::size_t bytes) {
  return allocate(bytes);
}
void operator delete(void* block) noexcept {
  release(block);
}
void operator delete[](void* block) noexcept {
  release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  release(block);
}

namespace korvani {
namespace {

// `item` repeated, comma separated, inside `open` and `close`, to about `bytes` of text; "#" in
// `item` becomes the item's number.
std::string repeated(char open, const std::string& item, char close, std::size_t bytes) {
  std::string text(1, open);
  for (std::size_t i = 0; text.size() < bytes; ++i) {
    if (i > 0) text += ',';
    for (const char c : item) {
      if (c == '#') {
        text += std::to_string(i);
      } else {
        text += c;
      }
    }
  }
  return text + close;
}

// The budget holds for the shapes that need the most memory per byte of text: long runs of
// the smallest values are refused before they are built, and realistic answers of the same
// size are accepted.
TEST(JsonParser, PeakMemoryStaysWithinTheBudget) {
  const std::size_t size = std::size_t{256} << 10;
  const struct {
    std::string text;
    bool realistic;
  } cases[] = {
      {repeated('[', "1", ']', size), false},
      {repeated('[', "{}", ']', size), false},
      {repeated('[', "[1]", ']', size), false},
      {repeated('[', "\"\"", ']', size), false},
      {repeated('{', "\"#\":0", '}', size), false},
      {repeated('[', "1e1001", ']', size), false},
      {repeated('[', std::string(1000, '9'), ']', size), true},
      {repeated('[', "\"" + std::string(100, 'x') + "\\n\"", ']', size), true},
      {repeated('{',
                "\"payment_#\":{\"id\":100000#,\"status\":\"approved\",\"amount\":150.75,"
                "\"captured\":true,\"payer\":{\"email\":\"payer#@example.test\"},"
                "\"fees\":[{\"type\":\"fee\",\"amount\":3.25}],\"refunds\":[]}",
                '}', size),
       true},
  };
  for (const auto& c : cases) {
    JsonError error;
    gLive = gPeak = 0;
    gCounting = true;
    std::optional<JsonValue> value = parseJson(c.text, &error);
    gCounting = false;
    const std::size_t budget =
        c.text.size() * JsonParseOptions::kMemoryPerByte + JsonParseOptions::kMemoryAllowance;
    const std::string shape = c.text.substr(0, 40);
    EXPECT_LE(static_cast<std::size_t>(gPeak), budget) << shape;
    if (c.realistic) {
      EXPECT_TRUE(value) << shape << ": " << error.message();
    } else if (!value) {
      EXPECT_EQ(error.reason, "values need more memory than allowed") << shape;
    }
  }
}

}  // namespace
}  // namespace korvani
