#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "korvani/export.hpp"
#include "korvani/platform/header_list.hpp"

namespace korvani::platform {

// One HTTP request as the session sends it (a plain value, copied into the task). Header fields
// are sent exactly as given, in order (an empty value is sent as an empty value); libcurl adds
// only Host and Content-Length. A name or value holding CR, LF or NUL, or an empty name or one
// holding ':' or white space, is refused: the task completes with kURLErrorRequestHeaderInvalid
// and nothing is sent. Redirects are not followed.
struct URLRequest {
  // https only: another scheme fails with kURLErrorAppTransportSecurityRequiresSecureConnection,
  // unparseable text or user information ("user:password@") with kURLErrorBadURL; nothing is
  // sent then.
  std::string url;
  std::string httpMethod = "GET";  // sent as given; HEAD asks for no body; not a token: -1000
  HeaderList allHTTPHeaderFields;
  std::optional<std::string> httpBody;  // bytes, sent whatever the method; absent: no body
  double timeoutInterval = 60.0;        // seconds without progress (set-up included) before
                                        // kURLErrorTimedOut; 0, negative or not finite: 60. The
                                        // whole exchange is bounded too (see URLSession).
};

// The HTTP part of an answer (a plain value).
struct KORVANI_EXPORT HTTPURLResponse {
  std::string url;             // the request's URL (redirects are not followed)
  long statusCode = 0;         // the final status (interim 1xx answers are skipped)
  HeaderList allHeaderFields;  // in arrival order, names as the server wrote them
  // First value of the named field, name compared without regard to letter case; nullopt when
  // the answer has no such field. Any thread.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

}  // namespace korvani::platform
