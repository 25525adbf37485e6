#include "transport/curl_handles.hpp"

#include <cstring>
#include <new>

#include "transport/request_checks.hpp"

namespace korvani::platform::transport {

CurlHeaderList::CurlHeaderList(std::size_t bytes, std::size_t lines)
    : capacity_(lines), block_(new unsigned char[lines * sizeof(curl_slist) + bytes]) {
  text_ = reinterpret_cast<char*>(block_.get() + lines * sizeof(curl_slist));
  line_ = text_;
  end_ = text_ + bytes;
}

void CurlHeaderList::append(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(end_ - text_)) throw std::bad_alloc();
  std::memcpy(text_, text.data(), text.size());
  text_ += text.size();
}

void CurlHeaderList::endLine() {
  if (count_ == capacity_ || text_ == end_) throw std::bad_alloc();
  *text_++ = '\0';
  curl_slist* node = ::new (nodes() + count_) curl_slist{line_, nullptr};
  line_ = text_;
  if (count_ > 0) nodes()[count_ - 1].next = node;
  ++count_;
}

void CurlHeaderList::addField(std::string_view name, std::string_view value) {
  // "Name: value", or "Name;" when the value is empty or blank (libcurl would drop "Name:" with
  // nothing after the colon).
  const bool blank = value.find_first_not_of(" \t") == std::string_view::npos;
  append(name);
  if (blank) {
    append(";");
  } else {
    append(": ");
    append(value);
  }
  endLine();
}

void CurlHeaderList::addRemoval(std::string_view name) {
  append(name);
  append(":");
  endLine();
}

}  // namespace korvani::platform::transport
