#include "transport/request_url.hpp"

#include <string_view>

#include "transport/url_errors.hpp"

namespace korvani::platform::transport {

std::shared_ptr<const ParsedUrl> parseRequestUrl(const std::string& url, ErrorPtr& refusal) {
  if (url.find('\0') != std::string::npos) {
    refusal = urlError(kURLErrorBadURL, url);
    return nullptr;
  }
  auto parsed = std::make_shared<ParsedUrl>();
  parsed->text = url;
  parsed->handle.reset(curl_url());
  CURLU* handle = parsed->handle.get();
  if (handle == nullptr) {
    refusal = urlError(kURLErrorUnknown, url);
    return nullptr;
  }
  if (const CURLUcode rc =
          curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
      rc != CURLUE_OK) {
    refusal = urlError(kURLErrorBadURL, url,
                       JsonObject{{"curlUrlCode", static_cast<int>(rc)},
                                  {kCurlMessageKey, curl_url_strerror(rc)}});
    return nullptr;
  }
  const auto part = [&](CURLUPart which) {
    char* value = nullptr;
    const CURLUcode rc = curl_url_get(handle, which, &value, CURLU_DEFAULT_PORT);
    return rc == CURLUE_OK ? CurlText(value) : CurlText();
  };
  const CurlText scheme = part(CURLUPART_SCHEME);
  const std::string_view name = scheme ? std::string_view(scheme.get()) : std::string_view();
  if (name != "https") {
    refusal = urlError(kURLErrorAppTransportSecurityRequiresSecureConnection, url);
    return nullptr;
  }
  // libcurl would send them as an "Authorization" field the host never set.
  if (part(CURLUPART_USER) || part(CURLUPART_PASSWORD)) {
    refusal = urlError(kURLErrorBadURL, url, JsonObject{{"reason", "user information"}});
    return nullptr;
  }
  const CurlText host = part(CURLUPART_HOST);
  const CurlText port = part(CURLUPART_PORT);
  parsed->origin.append(name).append("://").append(host ? host.get() : "");
  parsed->origin.append(":").append(port ? port.get() : "");
  return parsed;
}

}  // namespace korvani::platform::transport
