#include "korvani/platform/error.hpp"

#include <utility>

namespace korvani::platform {

const URLErrorInfo* findURLError(std::int64_t code) noexcept {
  for (const URLErrorInfo& row : kURLErrorTable) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

Error::Error(std::string domain, std::int64_t code, std::optional<JsonObject> userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

std::string Error::localizedDescription() const {
  if (userInfo_) {
    if (const std::string* text = userInfo_->getString(kLocalizedDescriptionKey)) return *text;
  }
  // The library's own errors use the empty domain with URL-loading codes.
  if (domain_ == kURLErrorDomain || domain_.empty()) {
    if (const URLErrorInfo* row = findURLError(code_)) return row->localizedDescription;
  }
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

ErrorPtr makeError(std::string domain, std::int64_t code, std::optional<JsonObject> userInfo) {
  return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
}

}  // namespace korvani::platform
