#pragma once

// A TLS server on 127.0.0.1 whose every byte the test writes: for answers that no well-behaved
// server library would send (trickles, endless header or trailer fields, interim-answer floods,
// answers ended by a cut connection); TestServer speaks HTTP on top of it. Each accepted
// connection runs the test's script on a thread of its own.

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace korvani::test_support {

// Tells connection scripts that the server stops.
struct StopSignal {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;  // guarded by mutex
};

// One accepted connection, TLS already established.
class RawTlsConnection {
 public:
  RawTlsConnection(SSL* ssl, int socket, std::uint64_t ordinal, StopSignal& stop) noexcept
      : ssl_(ssl), socket_(socket), ordinal_(ordinal), stop_(stop) {}
  RawTlsConnection(const RawTlsConnection&) = delete;
  RawTlsConnection& operator=(const RawTlsConnection&) = delete;

  // Reads one request: its head and a body of the announced Content-Length. Nullopt when the
  // client closed or the server is stopping.
  std::optional<std::string> readRequest();
  // Reads whatever arrives next (bytes left over by readRequest() first); nullopt as above.
  std::optional<std::string> readSome();
  // The protocol the client and server agreed on by ALPN ("h2", "http/1.1"), empty for none.
  std::string protocol() const;
  // Writes all of `bytes`; false once the client is gone.
  bool send(std::string_view bytes);
  // Ends the TLS session properly (close_notify), then the connection.
  void closeNotify();
  // Ends the connection without close_notify, as a cut would.
  void cut();
  // Waits, cut short when the server stops; false then.
  bool pause(std::chrono::milliseconds duration) const;
  // 1-based, in the order the server accepted its connections.
  std::uint64_t ordinal() const { return ordinal_; }

 private:
  SSL* ssl_;
  int socket_;
  std::uint64_t ordinal_;
  StopSignal& stop_;
  std::string pending_;  // bytes read past the last request
};

// The server's certificate: from an authority that the shared session is made to trust, from one
// that nobody trusts, or from a trusted one but naming the host in its subject CN only.
enum class TestCertificate { trusted, untrusted, commonNameOnly };

class RawTlsServer {
 public:
  using Script = std::function<void(RawTlsConnection&)>;

  // Listens at once; throws std::runtime_error when it cannot. With `offerHttp2` the server
  // agrees to HTTP/2 ("h2") when the client offers it, else to nothing (HTTP/1.1).
  explicit RawTlsServer(Script script, bool trusted = true);
  RawTlsServer(Script script, TestCertificate certificate, bool offerHttp2);
  // Stops: wakes pauses, cuts open connections, joins every thread.
  ~RawTlsServer();
  RawTlsServer(const RawTlsServer&) = delete;
  RawTlsServer& operator=(const RawTlsServer&) = delete;

  // PEM of the authority that issued this server's certificate.
  const std::string& authorityPem() const;
  // "https://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path) const;
  std::uint16_t port() const;
  // TCP connections accepted so far, and waiting for them.
  std::size_t connectionCount() const;
  bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvani::test_support
