#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "korvani/export.hpp"
#include "korvani/json.hpp"

namespace korvani::platform {

// Domain of the errors the URL session reports (transport failures).
inline constexpr const char* kURLErrorDomain = "URLErrorDomain";
// userInfo key whose text, when present, is the localized description.
inline constexpr const char* kLocalizedDescriptionKey = "localizedDescription";

// URL-loading error codes and what makes the URL session answer them.
enum : std::int64_t {
  kURLErrorUnknown = -1,            // any other failure
  kURLErrorCancelled = -999,        // cancel(), shutdown(), or the process exits with the task in
                                    // flight
  kURLErrorBadURL = -1000,          // URL text that does not parse, one with user information
                                    // (user:password@), or a method that is not an HTTP token;
                                    // also an incomplete request description made by the library
  kURLErrorTimedOut = -1001,        // no progress for the request's time-out, or the exchange
                                    // outlasted its deadline
  kURLErrorUnsupportedURL = -1002,  // a scheme the transport does not speak
  kURLErrorCannotFindHost = -1003,  // the host or proxy name did not resolve
  kURLErrorCannotConnectToHost = -1004,     // connection refused or unreachable
  kURLErrorNetworkConnectionLost = -1005,   // closed before the answer was complete (a length or
                                            // chunk cut short, a stream reset), and not, or no
                                            // longer, recovered by sending the request again
  kURLErrorNotConnectedToInternet = -1009,  // no network (the reachability gate)
  kURLErrorBadServerResponse = -1011,       // the answer is not valid HTTP
  kURLErrorCannotParseResponse = -1017,     // reserved
  kURLErrorRequestHeaderInvalid = -1021,    // a header field the session refuses to send
  // a URL whose scheme is not https: nothing is sent
  kURLErrorAppTransportSecurityRequiresSecureConnection = -1022,
  kURLErrorDataLengthExceedsMaximum = -1103,  // answer body above the session's limit, or header
                                              // and trailer fields above 64 KiB
  kURLErrorSecureConnectionFailed = -1200,    // TLS handshake or transport failure
  // the server certificate is not trusted, or does not name the host in its subjectAltName
  kURLErrorServerCertificateUntrusted = -1202,
};

// One row of the URL-loading code table: the code, its constant's name and the text that
// Error::localizedDescription gives for it.
struct URLErrorInfo {
  std::int64_t code;
  const char* name;
  const char* localizedDescription;
};

// Every code above, in the order listed.
inline constexpr URLErrorInfo kURLErrorTable[] = {
    {kURLErrorUnknown, "kURLErrorUnknown", "An unknown error occurred."},
    {kURLErrorCancelled, "kURLErrorCancelled", "The request was cancelled."},
    {kURLErrorBadURL, "kURLErrorBadURL", "The URL is not valid."},
    {kURLErrorTimedOut, "kURLErrorTimedOut", "The request timed out."},
    {kURLErrorUnsupportedURL, "kURLErrorUnsupportedURL", "The URL scheme is not supported."},
    {kURLErrorCannotFindHost, "kURLErrorCannotFindHost",
     "No server with the specified host name could be found."},
    {kURLErrorCannotConnectToHost, "kURLErrorCannotConnectToHost",
     "Could not connect to the server."},
    {kURLErrorNetworkConnectionLost, "kURLErrorNetworkConnectionLost",
     "The network connection was lost."},
    {kURLErrorNotConnectedToInternet, "kURLErrorNotConnectedToInternet",
     "The device is not connected to the internet."},
    {kURLErrorBadServerResponse, "kURLErrorBadServerResponse",
     "The server sent an answer that is not valid."},
    {kURLErrorCannotParseResponse, "kURLErrorCannotParseResponse",
     "The server's answer could not be read."},
    {kURLErrorRequestHeaderInvalid, "kURLErrorRequestHeaderInvalid",
     "A header field of the request is not valid."},
    {kURLErrorAppTransportSecurityRequiresSecureConnection,
     "kURLErrorAppTransportSecurityRequiresSecureConnection",
     "A secure connection is required: the URL does not use HTTPS."},
    {kURLErrorDataLengthExceedsMaximum, "kURLErrorDataLengthExceedsMaximum",
     "The answer is larger than the allowed maximum."},
    {kURLErrorSecureConnectionFailed, "kURLErrorSecureConnectionFailed",
     "A secure connection to the server could not be made."},
    {kURLErrorServerCertificateUntrusted, "kURLErrorServerCertificateUntrusted",
     "The server's certificate is not trusted."},
};

// The table row of `code`, or nullptr when the code is not a URL-loading code.
KORVANI_EXPORT const URLErrorInfo* findURLError(std::int64_t code) noexcept;

// userInfo key the URL session fills in: the request's URL (text). Beside it, a transport failure
// carries the transport's own code and message, for diagnostics only (never shown to people).
inline constexpr const char* kFailingURLKey = "failingURL";

// Platform error record: domain, code, optional user information. Immutable once made; shared
// as std::shared_ptr<const Error> (an absent error is a null pointer). Any thread.
class KORVANI_EXPORT Error {
 public:
  // The "empty" error: domain "", code 0, no user information.
  Error() = default;
  // An error with the given parts; absent userInfo and an empty object are different.
  Error(std::string domain, std::int64_t code, std::optional<JsonObject> userInfo = std::nullopt);

  // kURLErrorDomain for transport failures, "" for errors the library makes itself.
  const std::string& domain() const noexcept { return domain_; }
  // A kURLError* value for the library's errors; 0 in the empty error.
  std::int64_t code() const noexcept { return code_; }
  // nullopt when the error was made without user information.
  const std::optional<JsonObject>& userInfo() const noexcept { return userInfo_; }

  // userInfo["localizedDescription"] when it is text; otherwise, for the URL-loading domain
  // and the library's own empty domain, the table text of a known code; otherwise
  // "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  std::optional<JsonObject> userInfo_;
};

// How errors travel: null means no error.
using ErrorPtr = std::shared_ptr<const Error>;

// Makes a shared error record (the form every callback carries).
KORVANI_EXPORT ErrorPtr makeError(std::string domain, std::int64_t code,
                                  std::optional<JsonObject> userInfo = std::nullopt);

}  // namespace korvani::platform
