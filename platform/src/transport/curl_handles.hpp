#pragma once

// Owners for libcurl's handles and lists, so that every exit path releases them.

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

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
// nodes and the lines share one block: one allocation per request instead of two per line with
// curl_slist_append.
class CurlHeaderList {
 public:
  // Room for `lines` lines of `bytes` characters in all (line ends included); adding more throws
  // std::bad_alloc.
  CurlHeaderList(std::size_t bytes, std::size_t lines);
  // The nodes point into the block: it may not move.
  CurlHeaderList(const CurlHeaderList&) = delete;
  CurlHeaderList& operator=(const CurlHeaderList&) = delete;

  // Adds a line that sends the field exactly (the room given covers name, value and 3).
  void addField(std::string_view name, std::string_view value);
  // Adds a line that keeps libcurl from sending a field of its own with this name (name and 2).
  void addRemoval(std::string_view name);
  // The list; null when it has no lines.
  curl_slist* list() noexcept { return count_ == 0 ? nullptr : nodes(); }

 private:
  curl_slist* nodes() noexcept { return reinterpret_cast<curl_slist*>(block_.get()); }
  void append(std::string_view text);
  void endLine();

  std::size_t capacity_;  // lines the block has nodes for
  std::size_t count_ = 0;
  std::unique_ptr<unsigned char[]> block_;  // nodes, then the lines, each ended by a NUL
  char* line_;                              // where the line being added starts
  char* text_;                              // where its next character goes
  char* end_;                               // one past the block
};

}  // namespace korvani::platform::transport
