#include "bare_client.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "korvani/dictionary_encoding.hpp"

namespace korvani::bench {

platform::URLRequest requestFor(const ServiceConfig& config) {
  platform::URLRequest request;
  request.url = config.base.value_or("") + config.path.value_or("");
  if (const auto query = queryParamString(config.params)) request.url += *query;
  request.httpMethod = std::string(rawValue(config.method));
  if (config.body) request.httpBody = JSONString(*config.body);
  StringDictionary fields = config.headers;
  fields["Content-Type"] = config.contentType;
  for (const auto& [name, value] : fields)
    request.allHTTPHeaderFields.emplace_back(name, value);
  request.timeoutInterval = config.timeoutInterval;
  return request;
}

namespace {

size_t appendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

struct BareClient::Handles {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Handles() {
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

BareClient::BareClient(const platform::URLRequest& request, const std::string& trustedPem)
    : handles_(std::make_unique<Handles>()), request_(request), trustedPem_(trustedPem) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = handles_->easy = curl_easy_init();
  if (easy == nullptr) throw std::runtime_error("curl_easy_init failed");

  // Header lines as the URL session writes them: "Name: value", "Name;" for an empty value,
  // and libcurl's own Accept / Content-Type / Expect / Transfer-Encoding switched off.
  auto append = [this](const std::string& line) {
    curl_slist* extended = curl_slist_append(handles_->headers, line.c_str());
    if (extended == nullptr) throw std::runtime_error("curl_slist_append failed");
    handles_->headers = extended;
  };
  for (const auto& [name, value] : request_.allHTTPHeaderFields) {
    const bool blank = value.find_first_not_of(" \t") == std::string::npos;
    append(blank ? std::string(name) + ";" : std::string(name).append(": ").append(value));
  }
  for (const char* suppressed : {"Accept", "Content-Type", "Expect", "Transfer-Encoding"}) {
    const bool given =
        std::any_of(request_.allHTTPHeaderFields.begin(), request_.allHTTPHeaderFields.end(),
                    [&](const auto& field) { return sameName(field.first, suppressed); });
    if (!given) append(std::string(suppressed) + ":");
  }

  curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_blob blob{trustedPem_.data(), trustedPem_.size(), CURL_BLOB_NOCOPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  curl_easy_setopt(easy, CURLOPT_CAPATH, info->capath);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, handles_->headers);
  // Method and body as the URL session sets them.
  const std::string& method = request_.httpMethod;
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request_.httpBody) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request_.httpBody->data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request_.httpBody->size()));
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    if (method == "POST" || method == "PUT" || method == "PATCH") {
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
    }
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body_);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles_->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                   static_cast<long>(std::max(request_.timeoutInterval, 1.0) * 1000));
}

BareClient::~BareClient() = default;

bool BareClient::perform() {
  body_.clear();
  status_ = 0;
  handles_->errorBuffer[0] = '\0';
  const CURLcode result = curl_easy_perform(handles_->easy);
  if (result != CURLE_OK) {
    error_ = handles_->errorBuffer[0] != '\0' ? handles_->errorBuffer : curl_easy_strerror(result);
    return false;
  }
  curl_easy_getinfo(handles_->easy, CURLINFO_RESPONSE_CODE, &status_);
  return true;
}

}  // namespace korvani::bench
