#include "transport/curl_handles.hpp"

#include <algorithm>

#include "transport/request_checks.hpp"

namespace korvani::platform::transport {

void CurlHeaderList::reserve(std::size_t bytes, std::size_t lines) {
  text_.reserve(bytes);
  nodes_.reserve(lines);
}

void CurlHeaderList::addField(std::string_view name, std::string_view value) {
  appendCurlHeaderLine(text_, name, value);
  text_.push_back('\0');
}

void CurlHeaderList::addRemoval(std::string_view name) {
  text_.append(name).append(":", 2);  // the colon and the line's NUL
}

curl_slist* CurlHeaderList::link() {
  // Linked only now: adding lines may have moved the buffer.
  nodes_.resize(static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\0')));
  char* line = text_.data();
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    nodes_[i].data = line;
    nodes_[i].next = i + 1 < nodes_.size() ? &nodes_[i + 1] : nullptr;
    line += std::char_traits<char>::length(line) + 1;
  }
  return nodes_.empty() ? nullptr : nodes_.data();
}

void CurlHeaderList::clear() {
  text_.clear();
  nodes_.clear();
}

}  // namespace korvani::platform::transport
