#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvani/export.hpp"
#include "korvani/platform/error.hpp"

namespace korvani::platform {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One HTTP request as the session sends it. Header fields are sent exactly as given (name and
// value verbatim); a name or value holding CR, LF or NUL, or a name holding ':' or white space,
// is refused: the task completes with kURLErrorRequestHeaderInvalid and nothing is sent.
struct URLRequest {
  std::string url;
  std::string httpMethod = "GET";
  HeaderList allHTTPHeaderFields;
  std::optional<std::string> httpBody;  // bytes; absent: no body
  double timeoutInterval = 60.0;        // seconds without progress before kURLErrorTimedOut
};

// The HTTP part of an answer.
struct KORVANI_EXPORT HTTPURLResponse {
  std::string url;
  long statusCode = 0;
  HeaderList allHeaderFields;  // in arrival order, names as the server wrote them
  // First value of the named field, name compared without regard to letter case.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

class URLSession;

// A data task: created suspended by URLSession::dataTask, started by resume(). Its completion
// runs exactly once per resumed task, on the session's worker thread. The session holds a
// resumed task until its completion has run; whoever else wants it holds a weak reference.
class KORVANI_EXPORT URLSessionDataTask {
 public:
  enum class State { suspended, running, canceling, completed };
  using Completion = std::function<void(std::optional<std::string> data,
                                        std::optional<HTTPURLResponse> response, ErrorPtr error)>;

  URLSessionDataTask(const URLSessionDataTask&) = delete;
  URLSessionDataTask& operator=(const URLSessionDataTask&) = delete;
  ~URLSessionDataTask();

  // Starts a suspended task; no effect otherwise. Thread-safe.
  void resume();
  // Cancels: the completion runs with an error of code kURLErrorCancelled (-999) unless it has
  // already run. A cancelled suspended task completes when cancelled. Thread-safe.
  void cancel();
  State state() const;
  std::uint64_t taskIdentifier() const noexcept;

 private:
  friend class URLSession;
  struct Impl;
  explicit URLSessionDataTask(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Process-wide HTTP(S) client: one libcurl multi handle driven by one worker thread (started on
// first use, joined at process exit; tasks still running then complete with kURLErrorCancelled).
// Connections and TLS sessions are reused across tasks; HTTP/2 is used when the server offers
// it. TLS peer and host verification is always on.
class KORVANI_EXPORT URLSession {
 public:
  static std::shared_ptr<URLSession> sharedSession();

  // Creates a suspended task for `request`. Thread-safe.
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request,
                                               URLSessionDataTask::Completion completion);

  // Host-level settings; they apply to tasks created afterwards. Thread-safe.
  // Adds trusted CA certificates (PEM text, one or more) beside the system store.
  void addTrustedCertificatesPem(std::string pem);
  // Same, read from a PEM file now; returns false when it cannot be read.
  bool addTrustedCertificatesFile(const std::filesystem::path& path);
  // Forgets the added certificates (the system store stays).
  void resetTrustedCertificates();
  // Largest answer body accepted; a larger one aborts with kURLErrorDataLengthExceedsMaximum.
  void setMaximumResponseBytes(std::size_t bytes);
  std::size_t maximumResponseBytes() const;
  static constexpr std::size_t kDefaultMaximumResponseBytes = std::size_t{16} << 20;

  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;
  ~URLSession();

 private:
  friend class URLSessionDataTask;
  struct Impl;
  URLSession();
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvani::platform
