#include "korvani/sandbox/sandbox_server.hpp"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "dashboard.hpp"
#include "journal.hpp"
#include "korvani/devtls/dev_certificates.hpp"
#include "korvani/json.hpp"
#include "listening.hpp"
#include "payment_desk.hpp"
#include "scenarios.hpp"

namespace korvani::sandbox {
namespace {

using Clock = std::chrono::steady_clock;

// One accepted connection, seen from the worker thread that serves it from accept to close.
struct Connection {
  std::uint64_t id = 0;  // 1, 2, 3... in the order accepted
  int socketFd = -1;     // the descriptor the HTTP server reads and writes
  // Our own duplicate of it: stop() may shut the socket down through it without racing the
  // server's close() of socketFd (a closed number can be reused by anything).
  int ownFd = -1;
  bool busy = false;  // between a request's headers and its answer; under connectionsMutex
};

// What the log line of the current request needs beyond the request and response.
struct RequestTrace {
  Clock::time_point start;
  std::optional<std::uint64_t> paymentId;
  std::optional<Scenario> scenario;
  bool replayed = false;
  bool dropped = false;
  std::string amount;
  std::string_view paymentStatus;
};

// The HTTP server serves a connection, every request of it included, on one worker thread,
// so these need no locking.
thread_local Connection* currentConnection = nullptr;
thread_local RequestTrace currentTrace;

bool isLoopback(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

std::string escapeRegex(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) {
      escaped.push_back('\\');
    }
    escaped.push_back(c);
  }
  return escaped;
}

std::string maskToken(std::string_view token) {
  if (token.empty()) return "-";
  // Short tokens show less, so that no token is ever printed whole.
  return std::string(token.substr(0, std::min<std::size_t>(4, token.size() / 2))) + "\xE2\x80\xA6";
}

// The request target with the access token's value masked.
std::string maskedTarget(const std::string& target) {
  const std::size_t query = target.find('?');
  if (query == std::string::npos) return target;
  std::string masked = target.substr(0, query + 1);
  std::string_view rest = std::string_view(target).substr(query + 1);
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('&'), rest.size());
    const std::string_view parameter = rest.substr(0, end);
    constexpr std::string_view kToken = "access_token=";
    if (parameter.starts_with(kToken)) {
      masked.append(kToken).append(maskToken(parameter.substr(kToken.size())));
    } else {
      masked.append(parameter);
    }
    if (end < rest.size()) masked.push_back('&');
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return masked;
}

std::string cut(const std::string& body) {
  return body.substr(0, std::min(body.size(), RequestRecord::kBodyLimit));
}

std::string plainError(int status) {
  const char* error = status == 404 ? "not_found" : status == 413 ? "payload_too_large" : "error";
  const char* message = status == 404 ? "No such resource." : "The request was refused.";
  return serializeJson(
             JsonValue(JsonObject{{"status", status}, {"error", error}, {"message", message}}))
      .value_or("{}");
}

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};

// Runs each accepted connection on one of a fixed set of threads. Our own queue rather than
// the server's default pool, because enqueue() is the one place that sees every accepted TCP
// connection (this library version applies its socket-options hook to the listening socket
// only), and because each worker can tell which connection it serves.
class ConnectionWorkers final : public httplib::TaskQueue {
 public:
  // `accepted` counts connections and numbers them; `opened` runs as each is accepted, on the
  // accepting thread, `finished` after each has been served.
  ConnectionWorkers(std::size_t count, std::atomic<std::uint64_t>& accepted,
                    std::function<void(std::uint64_t)> opened,
                    std::function<void(Connection&)> finished)
      : accepted_(accepted), opened_(std::move(opened)), finished_(std::move(finished)) {
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
      threads_.emplace_back([this] { run(); });
  }
  ~ConnectionWorkers() override { shutdown(); }

  void enqueue(std::function<void()> job) override {
    const std::uint64_t id = accepted_.fetch_add(1, std::memory_order_relaxed) + 1;
    opened_(id);
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back({id, std::move(job)});
    }
    ready_.notify_one();
  }

  // Queued connections are still served (each job owns and closes its socket); stop() has
  // already made them end quickly.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      shuttingDown_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return shuttingDown_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      Connection connection;
      connection.id = job.connectionId;
      currentConnection = &connection;
      job.serve();
      currentConnection = nullptr;
      finished_(connection);
    }
  }

  struct Job {
    std::uint64_t connectionId = 0;
    std::function<void()> serve;
  };

  std::atomic<std::uint64_t>& accepted_;
  const std::function<void(std::uint64_t)> opened_;
  const std::function<void(Connection&)> finished_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  bool shuttingDown_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

struct SandboxServer::Impl {
  explicit Impl(SandboxOptions opts)
      : options(std::move(opts)),
        certificates(devtls::makeDevCertificates("Korvani sandbox")),
        desk(options.firstPaymentId, options.idempotencyCapacity,
             std::clamp(options.slowDelay, std::chrono::milliseconds(0), kMaxSlowDelay)) {
    if (options.dashboard) {
      // Room for the lanes of the connections behind the journal's requests, and then some.
      journal = std::make_unique<Journal>(options.journalCapacity, 256);
      dashboard = std::make_unique<Dashboard>(*journal, desk, [this] { return counters(); });
    }
  }

  bool start(std::string* error);
  void stop();
  void shutDown();  // stop() with lifecycleMutex held

  bool configure(SSL_CTX& context);
  void attach(Connection& connection, int fd);
  void detach(Connection& connection);
  void markBusy(bool busy);
  void waitUnlessStopping(std::chrono::milliseconds delay);
  bool dropCurrentConnection();
  void handlePayment(const httplib::Request& request, httplib::Response& response);
  void log(const httplib::Request& request, const httplib::Response& response);
  void record(const httplib::Request& request, const httplib::Response& response);
  SandboxCounters counters() const;
  static void onTlsEvent(const SSL* ssl, int where, int ret);

  const SandboxOptions options;
  const devtls::DevCertificates certificates;
  PaymentDesk desk;

  std::atomic<std::uint64_t> connectionsAccepted{0};
  std::atomic<std::uint64_t> handshakesCompleted{0};
  std::atomic<std::uint64_t> requestsServed{0};

  // Both null without the dashboard. The journal outlives restarts, like the desk.
  std::unique_ptr<Journal> journal;
  std::unique_ptr<Dashboard> dashboard;

  // start() and stop() run one at a time.
  std::mutex lifecycleMutex;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread listener;

  mutable std::mutex addressMutex;
  std::string urlHost;
  int boundPort = 0;
  int dashboardPort = 0;

  // Open connections and the stop signal, for waking idle keep-alive connections and
  // delayed answers when stopping.
  std::mutex connectionsMutex;
  std::condition_variable stopSignal;
  bool stopping = false;
  std::vector<Connection*> live;

  std::mutex logMutex;
};

void SandboxServer::Impl::onTlsEvent(const SSL* ssl, int where, int /*ret*/) {
  auto* self = static_cast<Impl*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  Connection* connection = currentConnection;
  if (self == nullptr || connection == nullptr) return;
  if ((where & SSL_CB_HANDSHAKE_START) != 0 && connection->socketFd < 0) {
    self->attach(*connection, SSL_get_fd(ssl));
    if (self->journal) self->journal->handshakeStarted(connection->id);
  }
  if ((where & SSL_CB_HANDSHAKE_DONE) != 0) {
    self->handshakesCompleted.fetch_add(1, std::memory_order_relaxed);
    if (self->journal) self->journal->handshakeDone(connection->id);
  }
}

bool SandboxServer::Impl::configure(SSL_CTX& context) {
  using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
  BioPtr certBio(BIO_new_mem_buf(certificates.server.certificatePem.data(),
                                 static_cast<int>(certificates.server.certificatePem.size())));
  BioPtr keyBio(BIO_new_mem_buf(certificates.server.privateKeyPem.data(),
                                static_cast<int>(certificates.server.privateKeyPem.size())));
  if (!certBio || !keyBio) return false;
  std::unique_ptr<X509, Deleter<X509_free>> cert(
      PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>> key(
      PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  if (!cert || !key) return false;
  SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
  SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION);
  if (SSL_CTX_use_certificate(&context, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(&context, key.get()) != 1 ||
      SSL_CTX_check_private_key(&context) != 1) {
    return false;
  }
  SSL_CTX_set_app_data(&context, this);
  SSL_CTX_set_info_callback(&context, &Impl::onTlsEvent);
  return true;
}

void SandboxServer::Impl::attach(Connection& connection, int fd) {
  connection.socketFd = fd;
  connection.ownFd = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  std::lock_guard lock(connectionsMutex);
  live.push_back(&connection);
  if (stopping && connection.ownFd >= 0) ::shutdown(connection.ownFd, SHUT_RD);
}

void SandboxServer::Impl::detach(Connection& connection) {
  if (journal) journal->connectionClosed(connection.id);
  std::lock_guard lock(connectionsMutex);
  std::erase(live, &connection);
  if (connection.ownFd >= 0) ::close(connection.ownFd);
  connection.ownFd = -1;
}

// Stopping ends idle connections at once and busy ones as soon as their answer is out, so
// that requests already being handled still get their answer.
void SandboxServer::Impl::markBusy(bool busy) {
  Connection* connection = currentConnection;
  if (connection == nullptr) return;
  std::lock_guard lock(connectionsMutex);
  connection->busy = busy;
  if (!busy && stopping && connection->ownFd >= 0) ::shutdown(connection->ownFd, SHUT_RD);
}

void SandboxServer::Impl::waitUnlessStopping(std::chrono::milliseconds delay) {
  std::unique_lock lock(connectionsMutex);
  stopSignal.wait_for(lock, delay, [this] { return stopping; });
}

bool SandboxServer::Impl::dropCurrentConnection() {
  Connection* connection = currentConnection;
  if (connection == nullptr || connection->ownFd < 0) return false;
  // The HTTP server carries on with this connection; its descriptor now leads to /dev/null,
  // where its last reads and writes end quietly, while the peer sees the connection close
  // with nothing sent (the socket lives on only in ownFd, shut down here).
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0) return false;
  const bool replaced = ::dup3(devNull, connection->socketFd, O_CLOEXEC) >= 0;
  ::close(devNull);
  if (!replaced) return false;
  ::shutdown(connection->ownFd, SHUT_RDWR);
  return true;
}

void SandboxServer::Impl::handlePayment(const httplib::Request& request,
                                        httplib::Response& response) {
  std::string token;
  std::string key;
  PaymentRequest incoming;
  if (request.has_param("access_token")) {
    token = request.get_param_value("access_token");
    incoming.accessToken = token;
  }
  if (request.has_header("X-Idempotency-Key")) {
    key = request.get_header_value("X-Idempotency-Key");
    incoming.idempotencyKey = key;
  }
  incoming.body = request.body;

  DeskAnswer answer = desk.receive(incoming);
  RequestTrace& trace = currentTrace;
  trace.paymentId = answer.paymentId;
  trace.scenario = answer.scenario;
  trace.replayed = answer.replayed;
  trace.amount = std::move(answer.amount);
  trace.paymentStatus = answer.paymentStatus;

  if (answer.delay.count() > 0) {
    waitUnlessStopping(answer.delay);
    if (incoming.idempotencyKey) desk.settle(key);
  }
  if (answer.dropConnection && dropCurrentConnection()) {
    trace.dropped = true;
    response.set_header("Connection", "close");
  }
  response.status = answer.status;
  response.set_content(answer.body, answer.contentType.c_str());
}

void SandboxServer::Impl::log(const httplib::Request& request, const httplib::Response& response) {
  const RequestTrace& trace = currentTrace;
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - trace.start);
  std::string line;
  line.reserve(128);
  line.append(request.method).append(" ").append(request.path).append(" ");
  line.append(trace.dropped ? std::string("dropped") : std::to_string(response.status));
  line.append(" payment=");
  line.append(trace.paymentId ? std::to_string(*trace.paymentId) : std::string("-"));
  if (trace.scenario) line.append(" scenario=").append(scenarioEntry(*trace.scenario).name);
  line.append(" token=").append(maskToken(
      request.has_param("access_token") ? request.get_param_value("access_token") : std::string()));
  if (trace.replayed) line.append(" replayed");
  line.append(" ").append(std::to_string(elapsed.count())).append(" ms");

  std::lock_guard lock(logMutex);
  if (options.logSink) {
    options.logSink(line);
  } else {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
}

// Runs on the worker that answered, after the answer is out: what the journal keeps is copied
// here, and the dashboard's threads make their views of it.
void SandboxServer::Impl::record(const httplib::Request& request,
                                 const httplib::Response& response) {
  const RequestTrace& trace = currentTrace;
  RequestRecord entry;
  entry.connectionId = currentConnection != nullptr ? currentConnection->id : 0;
  entry.start = journal->at(trace.start);
  entry.end = journal->now();
  entry.method = request.method;
  entry.target = maskedTarget(request.target);
  for (const auto& [name, value] : request.headers) {
    // The server's own notes about the peer, not fields that were sent.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    const bool secret =
        strcasecmp(name.c_str(), "Authorization") == 0 || strcasecmp(name.c_str(), "Cookie") == 0;
    entry.headers.emplace_back(name, secret ? maskToken(value) : value);
  }
  entry.body = cut(request.body);
  entry.bodyBytes = request.body.size();
  entry.status = response.status;
  entry.contentType = response.get_header_value("Content-Type");
  entry.answerBody = cut(response.body);
  entry.answerBytes = response.body.size();
  entry.paymentId = trace.paymentId;
  if (trace.scenario) entry.scenario = scenarioEntry(*trace.scenario).name;
  entry.amount = trace.amount;
  entry.paymentStatus = trace.paymentStatus;
  entry.replayed = trace.replayed;
  entry.dropped = trace.dropped;
  if (request.has_header("X-Idempotency-Key")) {
    entry.idempotencyKey = request.get_header_value("X-Idempotency-Key");
  }
  journal->add(std::move(entry));
}

SandboxCounters SandboxServer::Impl::counters() const {
  return {connectionsAccepted.load(std::memory_order_relaxed),
          handshakesCompleted.load(std::memory_order_relaxed),
          requestsServed.load(std::memory_order_acquire)};
}

bool SandboxServer::Impl::start(std::string* error) {
  auto fail = [error](std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return false;
  };
  std::lock_guard lifecycle(lifecycleMutex);
  if (server) return true;
  if (!isLoopback(options.host)) return fail("host must be a loopback address: " + options.host);
  if (options.paymentsPath.empty() || options.paymentsPath.front() != '/') {
    return fail("payments path must start with '/': " + options.paymentsPath);
  }

  auto candidate =
      std::make_unique<httplib::SSLServer>([this](SSL_CTX& context) { return configure(context); });
  if (!candidate->is_valid()) return fail("TLS setup failed");
  const std::size_t workers = std::max<std::size_t>(options.workerThreads, 1);
  candidate->new_task_queue = [this, workers]() -> httplib::TaskQueue* {
    return new ConnectionWorkers(
        workers, connectionsAccepted,
        [this](std::uint64_t id) {
          if (journal) journal->connectionAccepted(id, journal->now());
        },
        [this](Connection& connection) { detach(connection); });
  };
  candidate->set_keep_alive_max_count(std::max<std::size_t>(options.keepAliveMaxCount, 1));
  const time_t keepAliveSeconds = std::max<time_t>(options.keepAliveTimeout.count(), 1);
  candidate->set_keep_alive_timeout(keepAliveSeconds);
  // Tells clients how long an idle connection stays open, so that they stop reusing it in time.
  candidate->set_post_routing_handler([keepAlive = "timeout=" + std::to_string(keepAliveSeconds)](
                                          const httplib::Request&, httplib::Response& response) {
    response.set_header("Keep-Alive", keepAlive);
  });
  candidate->set_payload_max_length(std::size_t{1} << 20);
  candidate->set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
    markBusy(true);
    // Released after markBusy: whoever sees the count and then stops finds the request busy.
    requestsServed.fetch_add(1, std::memory_order_release);
    currentTrace = RequestTrace();
    currentTrace.start = Clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  candidate->Post(escapeRegex(options.paymentsPath),
                  [this](const httplib::Request& request, httplib::Response& response) {
                    handlePayment(request, response);
                  });
  candidate->set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        response.set_content(plainError(response.status), "application/json");
        return httplib::Server::HandlerResponse::Handled;
      }));
  // Called once the answer has been written.
  candidate->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    markBusy(false);
    // A request refused before routing (a bad request line, a body too large) has no trace.
    if (currentTrace.start == Clock::time_point()) currentTrace.start = Clock::now();
    if (!options.quiet) log(request, response);
    if (journal) record(request, response);
    currentTrace = RequestTrace();
  });
  // Replaces the library's default, which also sets SO_REUSEPORT and so would let a second
  // sandbox share a busy port and take half of its connections.
  candidate->set_socket_options([](int socket) {
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  // Small request and answer writes must not wait for delayed acknowledgements.
  candidate->set_tcp_nodelay(true);

  int port = options.port;
  if (port == 0) {
    port = candidate->bind_to_any_port(options.host);
  } else if (!candidate->bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    return fail("cannot listen on " + options.host + " port " + std::to_string(options.port));
  }

  {
    std::lock_guard lock(connectionsMutex);
    stopping = false;
  }
  server = std::move(candidate);
  if (!listenInBackground(*server, listener)) {
    shutDown();
    return fail("the server did not start");
  }
  int pagePort = 0;
  if (dashboard) {
    std::string reason;
    pagePort = dashboard->start(options.host, options.dashboardPort, &reason);
    if (pagePort == 0) {
      shutDown();
      return fail(reason);
    }
  }

  std::lock_guard address(addressMutex);
  urlHost = options.host == "::1" ? "[::1]" : options.host;
  boundPort = port;
  dashboardPort = pagePort;
  return true;
}

void SandboxServer::Impl::stop() {
  std::lock_guard lifecycle(lifecycleMutex);
  shutDown();
}

void SandboxServer::Impl::shutDown() {
  if (!server) return;
  if (dashboard) dashboard->stop();
  {
    std::lock_guard lock(connectionsMutex);
    stopping = true;
    // Wakes connections idling between keep-alive requests: their next read sees the end.
    // Busy ones are left alone, since the HTTP library writes no answer on a socket whose
    // reading side has ended; markBusy() shuts them once their answer is out.
    for (Connection* connection : live) {
      if (!connection->busy && connection->ownFd >= 0) ::shutdown(connection->ownFd, SHUT_RD);
    }
  }
  stopSignal.notify_all();
  server->stop();
  if (listener.joinable()) listener.join();
  server.reset();

  std::lock_guard address(addressMutex);
  urlHost.clear();
  boundPort = 0;
  dashboardPort = 0;
}

SandboxServer::SandboxServer(SandboxOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

SandboxServer::~SandboxServer() {
  impl_->stop();
}

bool SandboxServer::start(std::string* error) {
  return impl_->start(error);
}

void SandboxServer::stop() {
  impl_->stop();
}

bool SandboxServer::isRunning() const {
  return port() != 0;
}

int SandboxServer::port() const {
  std::lock_guard lock(impl_->addressMutex);
  return impl_->boundPort;
}

std::string SandboxServer::baseUrl() const {
  std::lock_guard lock(impl_->addressMutex);
  if (impl_->boundPort == 0) return {};
  return "https://" + impl_->urlHost + ":" + std::to_string(impl_->boundPort);
}

std::string SandboxServer::paymentsUrl() const {
  std::string base = baseUrl();
  return base.empty() ? base : base + impl_->options.paymentsPath;
}

std::string SandboxServer::dashboardUrl() const {
  std::lock_guard lock(impl_->addressMutex);
  if (impl_->dashboardPort == 0) return {};
  return "http://" + impl_->urlHost + ":" + std::to_string(impl_->dashboardPort) + "/";
}

const std::string& SandboxServer::caCertificatePem() const {
  return impl_->certificates.authority.certificatePem;
}

bool SandboxServer::writeCaCertificate(const std::filesystem::path& path) const {
  try {
    devtls::writeTextFile(path, caCertificatePem());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

SandboxCounters SandboxServer::counters() const {
  return impl_->counters();
}

std::uint64_t SandboxServer::nextPaymentId() const {
  return impl_->desk.nextPaymentId();
}

}  // namespace korvani::sandbox
