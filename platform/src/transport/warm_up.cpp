#include "transport/warm_up.hpp"

#include <utility>

#include "transport/connection_policy.hpp"

namespace korvani::platform::transport {
namespace {

// The upload "resumes" at its end, so libcurl seeks (told it worked) and never reads.
int seekSucceeds(void*, curl_off_t, int) {
  return CURL_SEEKFUNC_OK;
}
size_t readNothing(char*, size_t, size_t, void*) {
  return CURL_READFUNC_ABORT;
}
// Whatever might still arrive is dropped, never written to the host's standard output.
size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

}  // namespace

bool WarmUp::provenOn(unsigned int curlVersion) noexcept {
  return curlVersion >= kFirstProvenCurl && curlVersion < kLastProvenCurl;
}

bool WarmUp::available() noexcept {
  static const bool proven = provenOn(curl_version_info(CURLVERSION_NOW)->version_num);
  return proven;
}

WarmUp::WarmUp(std::shared_ptr<const ParsedUrl> url, EasyHandle handle,
               std::shared_ptr<const TrustSettings> trust, std::shared_ptr<const std::string> proxy,
               long maxIdleSeconds)
    : url_(std::move(url)), handle_(std::move(handle)) {
  CURL* easy = handle_.easy.get();
  if (easy == nullptr) return;
  // The same connection settings as a request's, or the request would not reuse the connection.
  applyConnectionSettings(handle_, std::move(trust), std::move(proxy));
  curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, maxIdleSeconds);
  curl_easy_setopt(easy, CURLOPT_CURLU, url_->handle.get());
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t{1});
  curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{1});
  curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekSucceeds);
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readNothing);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &discard);
  // No progress meter: libcurl would print one, and the resume, to the host's standard error.
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(policy::kWarmUpTimeout);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
}

}  // namespace korvani::platform::transport
