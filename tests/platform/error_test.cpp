#include "korvani/platform/error.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "korvani/platform/url_session.hpp"
#include "transport/url_errors.hpp"

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

// Results that the session tests provoke for real (refused, untrusted, timed out, cut short,
// over the size limit) are left to them; here one result for each further code.
TEST(Error, CurlResultsMapToURLLoadingCodes) {
  const struct {
    CURLcode curl;
    std::int64_t expected;
  } rows[] = {
      {CURLE_UNSUPPORTED_PROTOCOL, kURLErrorUnsupportedURL},
      {CURLE_URL_MALFORMAT, kURLErrorBadURL},
      {CURLE_COULDNT_RESOLVE_HOST, kURLErrorCannotFindHost},
      {CURLE_RECV_ERROR, kURLErrorNetworkConnectionLost},
      {CURLE_WEIRD_SERVER_REPLY, kURLErrorBadServerResponse},
      {CURLE_SSL_CONNECT_ERROR, kURLErrorSecureConnectionFailed},
      {CURLE_ABORTED_BY_CALLBACK, kURLErrorUnknown},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(transport::urlErrorCodeForCurl(row.curl), row.expected)
        << curl_easy_strerror(row.curl);
  }
  // An aborted write is no size error unless the session itself stopped an oversized answer.
  EXPECT_EQ(transport::urlErrorCodeForCurl(CURLE_WRITE_ERROR), kURLErrorUnknown);
}

}  // namespace
}  // namespace korvani::platform
