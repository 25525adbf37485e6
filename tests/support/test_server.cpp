#include "support/test_server.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "korvani/devtls/dev_certificates.hpp"

namespace korvani::test_support {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

constexpr std::size_t kStreamChunk = 64 * 1024;

const std::string& fillerChunk() {
  static const std::string chunk(kStreamChunk, 'x');
  return chunk;
}

}  // namespace

// Made on first use: key generation is slow, and few tests want an untrusted server.
const devtls::DevCertificates& testCertificates(bool trusted) {
  if (trusted) {
    static const auto mine = devtls::makeDevCertificates("Korvani test authority");
    return mine;
  }
  static const auto strangers = devtls::makeDevCertificates("Korvani untrusted authority");
  return strangers;
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

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (equalsIgnoringCase(field, name)) return value;
  }
  return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(headers.begin(), headers.end(), [&](const auto& f) {
    return equalsIgnoringCase(f.first, name);
  }));
}

// One accepted TCP connection, served by its own thread.
struct Connection {
  std::uint64_t ordinal = 0;
  // Our duplicate of the socket, taken at the first request: lets stop() shut the connection
  // down (shutdown acts on the socket, not the descriptor) without racing the server library's
  // close of its own descriptor.
  int socketCopy = -1;
  bool finished = false;
  std::thread thread;
};

struct TestServer::Impl {
  const devtls::DevCertificates* certificates = nullptr;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread listener;
  std::uint16_t port = 0;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  std::vector<RecordedRequest> recorded;
  std::map<std::string, Handler, std::less<>> handlers;
  Handler fallback;
  std::list<Connection> connections;
  std::uint64_t nextOrdinal = 1;

  static thread_local Connection* currentConnection;

  // Runs each accepted connection on a thread of its own, so that stalled handlers never keep
  // other requests waiting, and knows which connection a handler is serving.
  class ConnectionThreads final : public httplib::TaskQueue {
   public:
    explicit ConnectionThreads(Impl& owner) : owner_(owner) {}

    void enqueue(std::function<void()> fn) override {
      std::list<Connection> finished;
      std::lock_guard lock(owner_.mutex);
      // Reap threads of closed connections so that a long-lived server does not pile them up.
      for (auto it = owner_.connections.begin(); it != owner_.connections.end();) {
        auto next = std::next(it);
        if (it->finished) finished.splice(finished.end(), owner_.connections, it);
        it = next;
      }
      Connection& connection = owner_.connections.emplace_back();
      connection.ordinal = owner_.nextOrdinal++;
      owner_.changed.notify_all();
      connection.thread = std::thread([this, &connection, fn = std::move(fn)] {
        currentConnection = &connection;
        fn();
        currentConnection = nullptr;
        std::lock_guard done(owner_.mutex);
        if (connection.socketCopy >= 0) ::close(connection.socketCopy);
        connection.socketCopy = -1;
        connection.finished = true;
      });
      for (auto& old : finished)
        old.thread.join();
    }

    void shutdown() override {
      for (;;) {
        std::list<Connection> all;
        {
          std::lock_guard lock(owner_.mutex);
          all.swap(owner_.connections);
        }
        if (all.empty()) return;
        for (auto& connection : all)
          connection.thread.join();
      }
    }

   private:
    Impl& owner_;
  };

  void serve(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    record.method = request.method;
    const auto mark = request.target.find('?');
    record.path = request.target.substr(0, mark);
    if (mark != std::string::npos) {
      record.hasQuery = true;
      record.query = request.target.substr(mark + 1);
    }
    for (const auto& [name, value] : request.headers) {
      // Not sent by the client: the server library adds these for its own handlers.
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) {
        record.headers.emplace_back(name, value);
      }
    }
    record.body = request.body;

    Handler handler;
    {
      std::lock_guard lock(mutex);
      if (Connection* connection = currentConnection) {
        record.connection = connection->ordinal;
        if (connection->socketCopy < 0 && request.ssl != nullptr) {
          connection->socketCopy = ::dup(SSL_get_fd(request.ssl));
          if (stopping && connection->socketCopy >= 0) {
            ::shutdown(connection->socketCopy, SHUT_RDWR);
          }
        }
      }
      const auto found = handlers.find(record.path);
      handler = found != handlers.end() ? found->second : fallback;
      recorded.push_back(record);
    }
    changed.notify_all();

    Reply reply = handler(record);  // an exception becomes a 500 answer of the server library
    if (reply.delay.count() > 0) {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, reply.delay, [&] { return stopping; });
    }
    if (reply.dropBeforeAnswer) {
      std::lock_guard lock(mutex);
      if (Connection* connection = currentConnection; connection && connection->socketCopy >= 0) {
        ::shutdown(connection->socketCopy, SHUT_RDWR);  // the library's answer goes nowhere
      }
    }
    apply(std::move(reply), response);
    if (bodyLeftUnread(request)) {
      // The server library reads bodies of POST, PUT, PATCH and DELETE only; any other body is
      // still in the stream and would be taken for the next request.
      response.set_header("Connection", "close");
    }
  }

  static bool bodyLeftUnread(const httplib::Request& request) {
    const std::string& m = request.method;
    if (m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE") return false;
    const std::string length = request.get_header_value("Content-Length", 0);
    return request.has_header("Transfer-Encoding") || (!length.empty() && length != "0");
  }

  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void apply(Reply reply, httplib::Response& response) {
    response.status = reply.status;
    for (auto& [name, value] : reply.headers)
      response.set_header(name, value);
    if (!reply.generatedBytes) {
      if (reply.body) response.set_content(*reply.body, reply.contentType);
      return;
    }
    const std::size_t total = *reply.generatedBytes;
    const std::size_t cut = reply.closeAfterBytes.value_or(total);
    // Writes the next piece; false (after `cut` bytes, or when stopping) drops the connection.
    const auto write = [this, total, cut](std::size_t offset, httplib::DataSink& sink) {
      if (offset >= total && cut == total) {
        sink.done();
        return true;
      }
      const std::size_t n = std::min(kStreamChunk, cut - std::min(offset, cut));
      return n > 0 && sink.write(fillerChunk().data(), n) && !isStopping();
    };
    if (reply.chunked) {
      response.set_chunked_content_provider(reply.contentType, write);
    } else {
      response.set_content_provider(
          total, reply.contentType,
          [write](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            return write(offset, sink);
          });
    }
  }

  void start() {
    const devtls::KeyPair& pair = certificates->server;
    server = std::make_unique<httplib::SSLServer>(
        [&pair](SSL_CTX& context) { return useKeyPair(context, pair); });
    if (!server->is_valid()) throw std::runtime_error("test server: TLS set-up failed");
    server->new_task_queue = [this] { return new ConnectionThreads(*this); };
    // Without it, a small answer written in two parts waits for the delayed ACK (~40 ms).
    server->set_tcp_nodelay(true);
    server->set_keep_alive_max_count(10000);
    server->set_keep_alive_timeout(30);
    server->set_read_timeout(30);
    server->set_write_timeout(30);
    const httplib::Server::Handler route = [this](const httplib::Request& request,
                                                  httplib::Response& response) {
      serve(request, response);
    };
    server->Get(".*", route);
    server->Post(".*", route);
    server->Put(".*", route);
    server->Patch(".*", route);
    server->Delete(".*", route);
    server->Options(".*", route);
    const int bound = server->bind_to_any_port("127.0.0.1");
    if (bound <= 0) throw std::runtime_error("test server: cannot bind 127.0.0.1");
    port = static_cast<std::uint16_t>(bound);
    listener = std::thread([this] { server->listen_after_bind(); });
    // Connections made before the accept loop runs wait in the backlog, so there is no need to
    // wait for it; but stop() must not run before it started, so wait briefly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server->is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
      for (auto& connection : connections) {
        if (connection.socketCopy >= 0) ::shutdown(connection.socketCopy, SHUT_RDWR);
      }
    }
    changed.notify_all();
    if (server) server->stop();
    if (listener.joinable()) listener.join();
  }
};

thread_local Connection* TestServer::Impl::currentConnection = nullptr;

TestServer::TestServer(bool trusted) : impl_(std::make_unique<Impl>()) {
  impl_->certificates = &testCertificates(trusted);
  impl_->fallback = [](const RecordedRequest&) {
    return Reply::with(404, R"({"error":"not_found"})");
  };
  impl_->start();
  if (trusted) platform::URLSession::sharedSession()->addTrustedCertificatesPem(authorityPem());
}

TestServer::~TestServer() {
  impl_->stop();
}

const std::string& TestServer::authorityPem() const {
  return impl_->certificates->authority.certificatePem;
}

std::string TestServer::origin() const {
  return "https://127.0.0.1:" + std::to_string(impl_->port);
}

std::string TestServer::url(std::string_view pathAndQuery) const {
  return origin().append(pathAndQuery);
}

void TestServer::on(std::string path, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handlers.insert_or_assign(std::move(path), std::move(handler));
}

void TestServer::on(std::string path, Reply reply) {
  on(std::move(path), [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void TestServer::onAnyOtherPath(Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->fallback = std::move(handler);
}

std::vector<RecordedRequest> TestServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recorded;
}

bool TestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->recorded.size() >= count; });
}

std::size_t TestServer::connectionCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->nextOrdinal - 1;
}

bool TestServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->nextOrdinal - 1 >= count; });
}

std::optional<TaskOutcome> fetch(platform::URLRequest request, std::chrono::milliseconds timeout) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    TaskOutcome outcome;
  };
  auto shared = std::make_shared<Shared>();
  auto task = platform::URLSession::sharedSession()->dataTask(
      std::move(request),
      [shared](std::optional<std::string> data, std::optional<platform::HTTPURLResponse> response,
               platform::ErrorPtr error) {
        std::lock_guard lock(shared->mutex);
        if (++shared->outcome.completions == 1) {
          shared->outcome.data = std::move(data);
          shared->outcome.response = std::move(response);
          shared->outcome.error = std::move(error);
          shared->outcome.completionThread = std::this_thread::get_id();
        }
        shared->done.notify_all();
      });
  task->resume();
  task.reset();
  std::unique_lock lock(shared->mutex);
  if (!shared->done.wait_for(lock, timeout, [&] { return shared->outcome.completions > 0; })) {
    return std::nullopt;
  }
  // A second completion would be a fault; give it a moment to show up.
  shared->done.wait_for(lock, std::chrono::milliseconds(20),
                        [&] { return shared->outcome.completions > 1; });
  return shared->outcome;
}

std::int64_t outcomeCode(const std::optional<TaskOutcome>& outcome) {
  if (!outcome) return 1;
  return outcome->error ? outcome->error->code() : 0;
}

LoopbackListener::LoopbackListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd_, 8) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("loopback listener: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  ::close(fd_);
}

bool LoopbackListener::contacted() const {
  pollfd ready{fd_, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

int LoopbackListener::acceptOne() const {
  return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

void LoopbackListener::stopAccepting() const {
  ::shutdown(fd_, SHUT_RDWR);
}

long peakResidentKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace korvani::test_support
