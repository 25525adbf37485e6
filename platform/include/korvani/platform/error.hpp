#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani::platform {

// Domain of the errors the URL session reports (transport failures).
inline constexpr const char* kURLErrorDomain = "URLErrorDomain";
// userInfo key whose text, when present, is the localized description.
inline constexpr const char* kLocalizedDescriptionKey = "localizedDescription";

// URL-loading error codes. The localized description of each is in Error::localizedDescription.
//   code    name                        what happened
//   -999    kURLErrorCancelled          the task was cancelled
//   -1     kURLErrorUnknown            any curl failure not listed below
//   -1000   kURLErrorBadURL             URL text that cannot be parsed, or an incomplete request
//   -1001   kURLErrorTimedOut           no progress for the request's time-out
//   -1002   kURLErrorUnsupportedURL     a scheme other than http or https
//   -1003   kURLErrorCannotFindHost     host name did not resolve
//   -1004   kURLErrorCannotConnectToHost connection refused or unreachable
//   -1005   kURLErrorNetworkConnectionLost the connection closed before the answer was complete
//   -1009   kURLErrorNotConnectedToInternet no network (reachability gate)
//   -1011   kURLErrorBadServerResponse  the server's answer is not valid HTTP
//   -1103   kURLErrorDataLengthExceedsMaximum answer body above the session's limit
//   -1200   kURLErrorSecureConnectionFailed TLS handshake or TLS transport failure
//   -1202   kURLErrorServerCertificateUntrusted the server certificate is not trusted
//   -1017   kURLErrorCannotParseResponse reserved
//   -1021   kURLErrorRequestHeaderInvalid a header name or value the session refuses to send
enum : std::int64_t {
  kURLErrorUnknown = -1,
  kURLErrorCancelled = -999,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorUnsupportedURL = -1002,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorNotConnectedToInternet = -1009,
  kURLErrorBadServerResponse = -1011,
  kURLErrorCannotParseResponse = -1017,
  kURLErrorRequestHeaderInvalid = -1021,
  kURLErrorDataLengthExceedsMaximum = -1103,
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateUntrusted = -1202,
};

// Platform error record: domain, code, optional user information. Immutable; shared as
// std::shared_ptr<const Error> (an absent error is a null pointer).
class KORVANI_EXPORT Error {
 public:
  // The "empty" error: domain "", code 0, no user information.
  Error() = default;
  Error(std::string domain, std::int64_t code, std::optional<JsonObject> userInfo = std::nullopt);

  const std::string& domain() const noexcept { return domain_; }
  std::int64_t code() const noexcept { return code_; }
  const std::optional<JsonObject>& userInfo() const noexcept { return userInfo_; }

  // userInfo["localizedDescription"] when it is text; otherwise the description of a known
  // URL-loading code; otherwise "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  std::optional<JsonObject> userInfo_;
};

using ErrorPtr = std::shared_ptr<const Error>;

// Convenience for the errors the library makes itself.
KORVANI_EXPORT ErrorPtr makeError(std::string domain, std::int64_t code,
                                  std::optional<JsonObject> userInfo = std::nullopt);

}  // namespace korvani::platform
