#pragma once

// Local HTTPS server for tests: listens on 127.0.0.1 with an ephemeral port, records every
// request exactly as it arrived and answers with per-path behaviours (fixed answers, stalls,
// dropped connections, oversized bodies). Usage:
//
//   korvani::test_support::TestServer server;  // the shared session trusts it from now on
//   server.on("/v1/payments", Reply::with(201, R"({"id":1})"));
//   ... URLSession::sharedSession()->dataTask({.url = server.url("/v1/payments")}, ...)
//   EXPECT_EQ(server.requests().at(0).method, "POST");
//
// HTTP/1.1 (request bodies read by their Content-Length) or HTTP/2 (agreed by ALPN, one stream
// answered at a time).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "support/raw_tls_server.hpp"

namespace korvani::test_support {

// One request as the server received it.
struct RecordedRequest {
  // 1-based ordinal of the TCP connection on this server; equal values mean the same connection.
  std::uint64_t connection = 0;
  std::string protocol;  // "HTTP/1.1" or "HTTP/2"
  std::string method;
  std::string path;   // request target before '?', raw (still percent-encoded)
  std::string query;  // raw text after the first '?', without it; empty when there is none
  platform::HeaderList headers;  // as received, in order, names in the client's spelling
  std::string body;

  // First value of the named field (case-insensitive name), or nullopt when it was not sent.
  std::optional<std::string> header(std::string_view name) const;
};

// How the server answers one request.
struct Reply {
  int status = 200;
  std::optional<std::string> body{};  // absent: no body at all ("Content-Length: 0")
  std::string contentType = "application/json";
  platform::HeaderList headers{};      // extra header fields of the answer
  std::chrono::milliseconds delay{0};  // wait before answering; cut short when the server stops
  // Streams a generated body of this many bytes ('x') instead of `body`.
  std::optional<std::size_t> generatedBytes{};
  bool chunked = false;  // with generatedBytes: no Content-Length, the size is not known up front
  // Drops the connection without a byte of answer, as a server closing an idle connection just
  // as the request arrives does.
  bool dropBeforeAnswer = false;
  // Sends the head (announcing the whole `body`) and this many bytes of the body, then drops the
  // connection.
  std::optional<std::size_t> cutAfterBodyBytes{};

  static Reply with(int status, std::optional<std::string> body = std::nullopt,
                    std::string contentType = "application/json") {
    return {.status = status, .body = std::move(body), .contentType = std::move(contentType)};
  }
};

using Handler = std::function<Reply(const RecordedRequest&)>;

enum class HttpVersion { http1, http2 };

class TestServer {
 public:
  // Starts listening before it returns; throws std::runtime_error when it cannot. A trusted
  // server's certificate comes from an authority that the shared session is made to trust; an
  // untrusted one's from an authority that nobody trusts.
  explicit TestServer(bool trusted = true);
  explicit TestServer(HttpVersion version, TestCertificate certificate = TestCertificate::trusted);
  // Stops: wakes stalled handlers, drops open connections (also idle keep-alive ones) and joins
  // every server thread; returns promptly.
  ~TestServer();

  // PEM of the authority that issued this server's certificate.
  const std::string& authorityPem() const;

  // "https://127.0.0.1:<port>"
  std::string origin() const;
  // origin() followed by `pathAndQuery` (which should start with '/').
  std::string url(std::string_view pathAndQuery) const;

  // Answers requests whose raw path equals `path` (any method). Replaces an earlier handler of
  // the same path. Handlers run on server threads, possibly several at once.
  void on(std::string path, Handler handler);
  void on(std::string path, Reply reply);
  // Answers every path without a handler; initially 404 {"error":"not_found"}.
  void onAnyOtherPath(Handler handler);

  // Requests received so far, in arrival order (recorded before the handler answers).
  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const { return requests().size(); }
  // Waits until at least `count` requests arrived; returns whether they did in time.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  // TCP connections accepted so far, and waiting for them.
  std::size_t connectionCount() const;
  bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// What one data task delivered to its completion.
struct TaskOutcome {
  std::optional<std::string> data;
  std::optional<platform::HTTPURLResponse> response;
  platform::ErrorPtr error;
  int completions = 0;               // how often the completion ran (1 when all is well)
  std::uint32_t sends = 0;           // the task's sendCount() when its completion ran
  std::thread::id completionThread;  // the thread the (first) completion ran on
};

// Runs `request` on the shared session and waits (without the main queue) for its completion;
// nullopt when it did not complete within `timeout`. Waits a little longer after the first
// completion so that a duplicate completion would be counted.
std::optional<TaskOutcome> fetch(platform::URLRequest request,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
// 0 for an answer, else the error code; 1 (never a URL-loading code) when it did not complete.
std::int64_t outcomeCode(const std::optional<TaskOutcome>& outcome);

// A request with ten seconds of patience instead of sixty.
inline platform::URLRequest request(std::string url, std::string method = "GET",
                                    platform::HeaderList headers = {},
                                    std::optional<std::string> body = {}, double timeout = 10) {
  return {std::move(url), std::move(method), std::move(headers), std::move(body), timeout};
}

// A TCP socket listening on 127.0.0.1 that accepts nothing by itself: a plaintext server, a
// proxy, a peer that never answers.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  std::uint16_t port() const { return port_; }
  // Whether a connection is waiting to be accepted.
  bool contacted() const;
  // Takes the next connection (waiting for it); the caller closes it. -1 once stopped.
  int acceptOne() const;
  // Wakes a waiting acceptOne() and fails every later one.
  void stopAccepting() const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// How a program started by runProbe() ended.
struct ProbeRun {
  std::string output;  // its standard output
  int status = -1;     // as pclose() gives it
};
// Runs `program <server's url of path> <file holding the server's authority>` through the
// shell, with `environment` ("NAME=value ") in front and `timeout 20` around it, and waits
// for it to end.
ProbeRun runProbe(const TestServer& server, std::string_view path, std::string_view program,
                  std::string_view environment = "");

// The most memory this process has had resident so far, in KiB.
long peakResidentKiB();

}  // namespace korvani::test_support
