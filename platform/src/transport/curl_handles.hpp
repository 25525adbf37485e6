#pragma once

// Owners for libcurl's handles and lists, so that every exit path releases them.

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvani::platform::transport {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct CurlShareDeleter {
  void operator()(CURLSH* handle) const noexcept { curl_share_cleanup(handle); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};
struct CurlTextDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

// A header list for CURLOPT_HTTPHEADER that owns its lines. libcurl only reads the list, so the
// lines live in one buffer and the nodes in one array: two allocations per request instead of
// two per line with curl_slist_append.
class CurlHeaderList {
 public:
  CurlHeaderList() = default;
  // The nodes point into the buffer: neither may move once linked.
  CurlHeaderList(const CurlHeaderList&) = delete;
  CurlHeaderList& operator=(const CurlHeaderList&) = delete;

  // Room for lines of `bytes` characters in all, and `lines` lines.
  void reserve(std::size_t bytes, std::size_t lines);
  // Adds a line that sends the field exactly; call link() once all are added.
  void addField(std::string_view name, std::string_view value);
  // Adds a line that keeps libcurl from sending a field of its own with this name.
  void addRemoval(std::string_view name);
  // Builds the node chain; null when there are no lines.
  curl_slist* link();
  void clear();

 private:
  std::string text_;  // the lines, each ended by a NUL
  std::vector<curl_slist> nodes_;
};

}  // namespace korvani::platform::transport
