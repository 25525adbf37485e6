#pragma once

#include <optional>
#include <string>
#include <utility>

#include "korvani/export.hpp"
#include "korvani/json.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/url_request.hpp"

namespace korvani {

// The outcome of one HTTP exchange: its classification and the answer bytes. Held by
// std::shared_ptr; the classification is fixed at construction. Made on the session's worker
// thread and handed to the main thread, where the callbacks read it; not locked.
class KORVANI_EXPORT Response {
 public:
  // How an exchange ended.
  enum class Status {
    success,    // an HTTP answer with a status code 200...299
    error,      // an HTTP answer with any other status code
    failed,     // no HTTP answer: transport failure, no network, unusable request description
    cancelled,  // the request was cancelled (error code -999)
  };

  // The classification alone; a value.
  class KORVANI_EXPORT Result {
   public:
    // Classifies an HTTP answer: none is `failed`, 200...299 `success`, anything else `error`.
    explicit Result(const platform::HTTPURLResponse* response) noexcept;
    explicit Result(Status status) noexcept : status_(status) {}  // as given

    Status status() const noexcept { return status_; }

    friend bool operator==(const Result&, const Result&) = default;

   private:
    Status status_;
  };

  // A cancellation error (code -999, any domain) makes it `cancelled`; otherwise the HTTP
  // answer decides, whatever other error came with it. `data` is kept in every case.
  Response(std::optional<std::string> bytes, const platform::HTTPURLResponse* response,
           const platform::ErrorPtr& error);
  // Same, from the arguments of the URL session's completion.
  Response(std::optional<std::string> bytes,
           const std::optional<platform::HTTPURLResponse>& response,
           const platform::ErrorPtr& error)
      : Response(std::move(bytes), response ? &*response : nullptr, error) {}
  // A response without data, for outcomes known before anything was sent.
  explicit Response(Status status) noexcept : result_(status) {}

  // How the exchange ended.
  const Result& result() const noexcept { return result_; }

  // `data` parsed as JSON when it holds an object or an array at the top level; nothing for
  // absent or empty data, malformed text or a bare scalar. Parses afresh on every call.
  std::optional<JsonValue> responseJSON() const;

  // The answer body as delivered (possibly empty); nullopt without an HTTP answer.
  std::optional<std::string> data;

 private:
  Result result_;
};

}  // namespace korvani
