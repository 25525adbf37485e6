#include "korvani/platform/error.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "korvani/platform/url_session.hpp"
#include "url_session_detail.hpp"

namespace korvani::platform {
namespace {

TEST(Error, LocalizedDescriptionPrefersUserInfoThenTableThenGenericText) {
  EXPECT_EQ(Error(kURLErrorDomain, kURLErrorTimedOut,
                  JsonObject{{kLocalizedDescriptionKey, "Custom text"}})
                .localizedDescription(),
            "Custom text");
  // A non-text value under the key does not count.
  EXPECT_EQ(Error(kURLErrorDomain, kURLErrorTimedOut, JsonObject{{kLocalizedDescriptionKey, 42}})
                .localizedDescription(),
            "The request timed out.");
  // The library's own errors use the empty domain with URL-loading codes.
  EXPECT_EQ(Error("", kURLErrorNotConnectedToInternet).localizedDescription(),
            "The device is not connected to the internet.");
  EXPECT_EQ(Error("", kURLErrorBadURL).localizedDescription(), "The URL is not valid.");
  EXPECT_EQ(Error("OtherDomain", kURLErrorTimedOut).localizedDescription(),
            "The operation couldn\u2019t be completed. (OtherDomain error -1001.)");
  EXPECT_EQ(Error(kURLErrorDomain, 12345).localizedDescription(),
            "The operation couldn\u2019t be completed. (URLErrorDomain error 12345.)");
  EXPECT_EQ(Error().localizedDescription(),
            "The operation couldn\u2019t be completed. ( error 0.)");

  const Error empty;
  EXPECT_EQ(empty.domain(), "");
  EXPECT_EQ(empty.code(), 0);
  EXPECT_FALSE(empty.userInfo().has_value());
  const ErrorPtr made = makeError("D", 7, JsonObject{});
  ASSERT_TRUE(made);
  EXPECT_EQ(made->domain(), "D");
  EXPECT_EQ(made->code(), 7);
  ASSERT_TRUE(made->userInfo().has_value());
  EXPECT_TRUE(made->userInfo()->empty());
}

TEST(Error, EveryURLErrorCodeHasOneDescribedRow) {
  const std::int64_t codes[] = {
      kURLErrorUnknown,
      kURLErrorCancelled,
      kURLErrorBadURL,
      kURLErrorTimedOut,
      kURLErrorUnsupportedURL,
      kURLErrorCannotFindHost,
      kURLErrorCannotConnectToHost,
      kURLErrorNetworkConnectionLost,
      kURLErrorNotConnectedToInternet,
      kURLErrorBadServerResponse,
      kURLErrorCannotParseResponse,
      kURLErrorRequestHeaderInvalid,
      kURLErrorDataLengthExceedsMaximum,
      kURLErrorSecureConnectionFailed,
      kURLErrorServerCertificateUntrusted,
  };
  std::set<std::string> texts;
  for (std::int64_t code : codes) {
    const URLErrorInfo* row = findURLError(code);
    ASSERT_NE(row, nullptr) << code;
    EXPECT_EQ(row->code, code);
    EXPECT_GT(std::string(row->name).size(), 9u) << code;
    texts.insert(row->localizedDescription);
  }
  EXPECT_EQ(texts.size(), std::size(codes)) << "descriptions must tell the codes apart";
  EXPECT_EQ(std::size(kURLErrorTable), std::size(codes));
  EXPECT_EQ(findURLError(0), nullptr);
  EXPECT_EQ(findURLError(-1010), nullptr);
}

TEST(Error, CurlResultsMapToURLLoadingCodes) {
  struct Row {
    CURLcode curl;
    std::int64_t expected;
  };
  const Row rows[] = {
      {CURLE_UNSUPPORTED_PROTOCOL, kURLErrorUnsupportedURL},
      {CURLE_URL_MALFORMAT, kURLErrorBadURL},
      {CURLE_COULDNT_RESOLVE_HOST, kURLErrorCannotFindHost},
      {CURLE_COULDNT_CONNECT, kURLErrorCannotConnectToHost},
      {CURLE_OPERATION_TIMEDOUT, kURLErrorTimedOut},
      {CURLE_PARTIAL_FILE, kURLErrorNetworkConnectionLost},
      {CURLE_GOT_NOTHING, kURLErrorNetworkConnectionLost},
      {CURLE_SEND_ERROR, kURLErrorNetworkConnectionLost},
      {CURLE_RECV_ERROR, kURLErrorNetworkConnectionLost},
      {CURLE_WEIRD_SERVER_REPLY, kURLErrorBadServerResponse},
      {CURLE_FILESIZE_EXCEEDED, kURLErrorDataLengthExceedsMaximum},
      {CURLE_SSL_CONNECT_ERROR, kURLErrorSecureConnectionFailed},
      {CURLE_SSL_CACERT_BADFILE, kURLErrorSecureConnectionFailed},
      {CURLE_PEER_FAILED_VERIFICATION, kURLErrorServerCertificateUntrusted},
      {CURLE_OUT_OF_MEMORY, kURLErrorUnknown},
      {CURLE_WRITE_ERROR, kURLErrorUnknown},
      {CURLE_ABORTED_BY_CALLBACK, kURLErrorUnknown},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(detail::urlErrorCodeForCurl(row.curl, false), row.expected)
        << curl_easy_strerror(row.curl);
  }
  // The session's own size check wins over whatever libcurl made of the abort.
  EXPECT_EQ(detail::urlErrorCodeForCurl(CURLE_WRITE_ERROR, true),
            kURLErrorDataLengthExceedsMaximum);
}

TEST(RequestChecks, HeaderFieldsAndMethodsThatMayBeSent) {
  using std::string_view_literals::operator""sv;
  for (std::string_view name : {"X-Key"sv, "Content-Type"sv, "a"sv, "X_Under.score~"sv}) {
    EXPECT_TRUE(detail::isValidHeaderName(name)) << name;
  }
  for (std::string_view name :
       {""sv, "X Key"sv, "X\tKey"sv, "X:Key"sv, "X\rKey"sv, "X\nKey"sv, "X\0Key"sv}) {
    EXPECT_FALSE(detail::isValidHeaderName(name)) << name;
  }
  for (std::string_view value : {""sv, " "sv, "a b: c; d"sv, "\xc3\xa9t\xc3\xa9"sv}) {
    EXPECT_TRUE(detail::isValidHeaderValue(value)) << value;
  }
  for (std::string_view value : {"a\r"sv, "a\nInjected: 1"sv, "a\r\nb"sv, "a\0b"sv}) {
    EXPECT_FALSE(detail::isValidHeaderValue(value));
  }
  for (std::string_view method : {"GET"sv, "POST"sv, "PATCH"sv, "M-SEARCH"sv}) {
    EXPECT_TRUE(detail::isValidMethod(method)) << method;
  }
  for (std::string_view method : {""sv, "GET /x"sv, "GET\r\n"sv, "G(E)T"sv}) {
    EXPECT_FALSE(detail::isValidMethod(method)) << method;
  }

  EXPECT_EQ(detail::curlHeaderLine("X-Key", "v 1"), "X-Key: v 1");
  EXPECT_EQ(detail::curlHeaderLine("X-Empty", ""), "X-Empty;");
  EXPECT_EQ(detail::curlHeaderLine("X-Blank", " \t "), "X-Blank;");
}

TEST(HTTPURLResponse, HeaderLookupIgnoresCaseAndTakesTheFirst) {
  HTTPURLResponse response;
  response.allHeaderFields = {
      {"content-type", "application/json"}, {"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}};
  EXPECT_EQ(response.valueForHTTPHeaderField("Content-Type"), "application/json");
  EXPECT_EQ(response.valueForHTTPHeaderField("SET-COOKIE"), "a=1");
  EXPECT_EQ(response.valueForHTTPHeaderField("Content"), std::nullopt);
}

}  // namespace
}  // namespace korvani::platform
