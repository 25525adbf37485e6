#include "support/raw_tls_server.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <list>
#include <stdexcept>
#include <thread>
#include <utility>

#include "korvani/devtls/dev_certificates.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "support/test_server.hpp"

namespace korvani::test_support {
namespace {

// The Content-Length of a request head, 0 when there is none.
std::size_t announcedLength(std::string_view head) {
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
       at = head.find("\r\n", at + 2)) {
    const std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
    if (line.size() > 15 && strncasecmp(line.data(), "Content-Length:", 15) == 0) {
      return std::strtoull(std::string(line.substr(15)).c_str(), nullptr, 10);
    }
  }
  return 0;
}

// Made on first use: key generation is slow, and few tests want the odd ones.
const devtls::DevCertificates& testCertificates(TestCertificate kind) {
  switch (kind) {
    case TestCertificate::untrusted: {
      static const auto strangers = devtls::makeDevCertificates("Korvani untrusted authority");
      return strangers;
    }
    case TestCertificate::commonNameOnly: {
      static const auto old =
          devtls::makeDevCertificates("Korvani CN-only authority", 30, /*subjectAltNames=*/false);
      return old;
    }
    case TestCertificate::trusted:
      break;
  }
  static const auto mine = devtls::makeDevCertificates("Korvani test authority");
  return mine;
}

// Picks "h2" when the client offers it.
int selectHttp2(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                unsigned int inLength, void*) {
  for (unsigned int at = 0; at < inLength; at += 1u + in[at]) {
    if (in[at] == 2 && at + 2 < inLength && in[at + 1] == 'h' && in[at + 2] == '2') {
      *out = in + at + 1;
      *outLength = 2;
      return SSL_TLSEXT_ERR_OK;
    }
  }
  return SSL_TLSEXT_ERR_NOACK;
}

// Installs a PEM certificate and key into the server's TLS context.
bool useKeyPair(SSL_CTX& context, const devtls::KeyPair& pair) {
  const auto bio = [](const std::string& pem) {
    return std::unique_ptr<BIO, decltype(&BIO_free)>(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  };
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      PEM_read_bio_X509(bio(pair.certificatePem).get(), nullptr, nullptr, nullptr), &X509_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PrivateKey(bio(pair.privateKeyPem).get(), nullptr, nullptr, nullptr),
      &EVP_PKEY_free);
  return cert && key && SSL_CTX_use_certificate(&context, cert.get()) == 1 &&
         SSL_CTX_use_PrivateKey(&context, key.get()) == 1 &&
         SSL_CTX_check_private_key(&context) == 1;
}

}  // namespace

std::optional<std::string> RawTlsConnection::readRequest() {
  char buffer[16 * 1024];
  for (;;) {
    const auto headEnd = pending_.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      const std::size_t total = headEnd + 4 + announcedLength(pending_.substr(0, headEnd + 2));
      if (pending_.size() >= total) {
        std::string request = pending_.substr(0, total);
        pending_.erase(0, total);
        return request;
      }
    }
    const int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> RawTlsConnection::readSome() {
  if (!pending_.empty()) return std::exchange(pending_, std::string());
  char buffer[16 * 1024];
  const int n = SSL_read(ssl_, buffer, sizeof buffer);
  if (n <= 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string RawTlsConnection::protocol() const {
  const unsigned char* name = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl_, &name, &length);
  return std::string(reinterpret_cast<const char*>(name), length);
}

bool RawTlsConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const int n = SSL_write(ssl_, bytes.data(),
                            static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void RawTlsConnection::closeNotify() {
  SSL_shutdown(ssl_);
  ::shutdown(socket_, SHUT_RDWR);
}

void RawTlsConnection::cut() {
  ::shutdown(socket_, SHUT_RDWR);
}

bool RawTlsConnection::pause(std::chrono::milliseconds duration) const {
  std::unique_lock lock(stop_.mutex);
  return !stop_.changed.wait_for(lock, duration, [&] { return stop_.stopping; });
}

struct RawTlsServer::Impl {
  struct Accepted {
    int socket = -1;
    std::thread thread;
  };

  Script script;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{SSL_CTX_new(TLS_server_method()),
                                                            &SSL_CTX_free};
  const devtls::DevCertificates* certificates = nullptr;
  LoopbackListener listener;
  std::thread acceptor;
  StopSignal stop;
  std::list<Accepted> accepted;  // guarded by stop.mutex

  void serve(int socket, std::uint64_t ordinal) {
    int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), &SSL_free);
    SSL_set_fd(ssl.get(), socket);
    if (SSL_accept(ssl.get()) == 1) {
      RawTlsConnection connection(ssl.get(), socket, ordinal, stop);
      script(connection);
    }
    ::shutdown(socket, SHUT_RDWR);
  }

  void acceptLoop() {
    for (;;) {
      const int socket = listener.acceptOne();
      std::lock_guard lock(stop.mutex);
      if (socket < 0 || stop.stopping) {
        if (socket >= 0) ::close(socket);
        return;
      }
      Accepted& entry = accepted.emplace_back();
      entry.socket = socket;
      entry.thread =
          std::thread([this, socket, ordinal = accepted.size()] { serve(socket, ordinal); });
      stop.changed.notify_all();
    }
  }
};

RawTlsServer::RawTlsServer(Script script, bool trusted)
    : RawTlsServer(std::move(script),
                   trusted ? TestCertificate::trusted : TestCertificate::untrusted, false) {}

RawTlsServer::RawTlsServer(Script script, TestCertificate certificate, bool offerHttp2)
    : impl_(std::make_unique<Impl>()) {
  // Scripts write to clients that may have gone: a failed write, not the end of the test.
  ::signal(SIGPIPE, SIG_IGN);
  impl_->script = std::move(script);
  impl_->certificates = &testCertificates(certificate);
  const auto& certificates = *impl_->certificates;
  if (!impl_->context || !useKeyPair(*impl_->context, certificates.server)) {
    throw std::runtime_error("raw TLS server: TLS set-up failed");
  }
  if (offerHttp2) SSL_CTX_set_alpn_select_cb(impl_->context.get(), &selectHttp2, nullptr);
  impl_->acceptor = std::thread([this] { impl_->acceptLoop(); });
  if (certificate != TestCertificate::untrusted) {
    platform::URLSession::sharedSession()->addTrustedCertificatesPem(
        certificates.authority.certificatePem);
  }
}

RawTlsServer::~RawTlsServer() {
  {
    std::lock_guard lock(impl_->stop.mutex);
    impl_->stop.stopping = true;
    for (auto& entry : impl_->accepted)
      ::shutdown(entry.socket, SHUT_RDWR);
  }
  impl_->stop.changed.notify_all();
  impl_->listener.stopAccepting();
  impl_->acceptor.join();
  for (auto& entry : impl_->accepted) {
    entry.thread.join();
    ::close(entry.socket);
  }
}

std::string RawTlsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port()) + std::string(path);
}

const std::string& RawTlsServer::authorityPem() const {
  return impl_->certificates->authority.certificatePem;
}

std::uint16_t RawTlsServer::port() const {
  return impl_->listener.port();
}

std::size_t RawTlsServer::connectionCount() const {
  std::lock_guard lock(impl_->stop.mutex);
  return impl_->accepted.size();
}

bool RawTlsServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->stop.mutex);
  return impl_->stop.changed.wait_for(lock, timeout,
                                      [&] { return impl_->accepted.size() >= count; });
}

}  // namespace korvani::test_support
