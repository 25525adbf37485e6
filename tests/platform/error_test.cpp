#include "korvani/platform/error.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace korvani::platform {
namespace {

TEST(Error, LocalizedDescriptionPrefersUserInfoThenTableThenGenericText) {
  const struct {
    Error error;
    std::string text;
  } cases[] = {
      {Error(kURLErrorDomain, kURLErrorTimedOut, JsonObject{{kLocalizedDescriptionKey, "Custom"}}),
       "Custom"},
      // A non-text value under the key does not count.
      {Error(kURLErrorDomain, kURLErrorTimedOut, JsonObject{{kLocalizedDescriptionKey, 42}}),
       "The request timed out."},
      // The library's own errors use the empty domain with URL-loading codes.
      {Error("", kURLErrorNotConnectedToInternet), "The device is not connected to the internet."},
      {Error("OtherDomain", kURLErrorTimedOut),
       "The operation couldn\u2019t be completed. (OtherDomain error -1001.)"},
      {Error(kURLErrorDomain, 12345),
       "The operation couldn\u2019t be completed. (URLErrorDomain error 12345.)"},
      {Error(), "The operation couldn\u2019t be completed. ( error 0.)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.error.localizedDescription(), c.text);
}

TEST(Error, EveryURLErrorCodeHasOneDescribedRow) {
  std::set<std::string> texts;
  for (const URLErrorInfo& row : kURLErrorTable) {
    EXPECT_EQ(findURLError(row.code), &row) << "a second row for " << row.code;
    texts.insert(row.localizedDescription);
  }
  // Each code told apart from the others.
  EXPECT_EQ(texts.size(), std::size(kURLErrorTable));
  EXPECT_TRUE(findURLError(kURLErrorCancelled) && findURLError(kURLErrorRequestHeaderInvalid));
  EXPECT_EQ(findURLError(0), nullptr);
}

}  // namespace
}  // namespace korvani::platform
