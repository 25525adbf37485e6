#include "korvani/response.hpp"

#include <utility>

namespace korvani {

Response::Result::Result(const platform::HTTPURLResponse* response) noexcept
    : status_(response == nullptr                                          ? Status::failed
              : response->statusCode >= 200 && response->statusCode <= 299 ? Status::success
                                                                           : Status::error) {}

Response::Response(std::optional<std::string> bytes, const platform::HTTPURLResponse* response,
                   const platform::ErrorPtr& error)
    : data(std::move(bytes)),
      result_(error && error->code() == platform::kURLErrorCancelled ? Result(Status::cancelled)
                                                                     : Result(response)) {}

std::optional<JsonValue> Response::responseJSON() const {
  if (!data) return std::nullopt;
  // The default options refuse a bare scalar at the top level, as the answer must be a
  // container; the reason of a refusal is of no use to the caller.
  return parseJson(*data);
}

}  // namespace korvani
