// Peak memory of parseJson(), counted by replacing the global allocation functions of this
// test program.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "json/json_detail.hpp"
#include "korvani/json.hpp"

namespace {

// Usable bytes of the heap blocks taken while counting: live, and the most at any time.
bool gCounting = false;
long long gLive = 0;
long long gPeak = 0;

void* allocate(std::size_t bytes) {
  void* block = std::malloc(std::max<std::size_t>(bytes, 1));
  if (!block) throw std::bad_alloc();
  gLive += gCounting ? static_cast<long long>(malloc_usable_size(block)) : 0;
  gPeak = std::max(gPeak, gLive);
  return block;
}

void release(void* block) noexcept {
  gLive -= gCounting && block ? static_cast<long long>(malloc_usable_size(block)) : 0;
  std::free(block);
}

}  // namespace

void* operator new(std::size_t bytes) {
  return allocate(bytes);
}
void operator delete(void* block) noexcept {
  release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  release(block);
}

namespace korvani {
namespace {

// `item` repeated to about `bytes` of text, comma separated, between `open` and `close`; "#"
// in `item` becomes the item's number.
std::string repeated(char open, const std::string& item, char close, std::size_t bytes) {
  std::string text(1, open);
  for (std::size_t i = 0; text.size() < bytes; ++i) {
    if (i > 0) text += ',';
    for (const char c : item)
      text += c == '#' ? std::to_string(i) : std::string(1, c);
  }
  return text + close;
}

// The shapes that need the most memory per byte of text: long runs of the smallest values
// are refused before they are built, within the bound; realistic texts are accepted, within
// it too, and come back as they were.
TEST(JsonParser, PeakMemoryStaysWithinTheBound) {
  const std::size_t size = std::size_t{256} << 10;
  const struct {
    std::string text;
    bool realistic;
  } cases[] = {
      {repeated('[', "1", ']', size), false},
      {repeated('[', "{}", ']', size), false},
      {repeated('[', "[1]", ']', size), false},
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
    const std::optional<JsonValue> value = parseJson(c.text, &error);
    gCounting = false;
    const std::string shape = c.text.substr(0, 40);
    EXPECT_LE(static_cast<std::size_t>(gPeak),
              c.text.size() * detail::kJsonMemoryPerByte + detail::kJsonMemoryAllowance)
        << shape;
    if (c.realistic) {
      EXPECT_TRUE(value && serializeJson(*value) == c.text) << shape << ": " << error.message();
    } else if (!value) {
      EXPECT_EQ(error.reason, "values need more memory than allowed") << shape;
    }
  }
}

}  // namespace
}  // namespace korvani
