#include "support/test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "korvani/devtls/dev_certificates.hpp"
#include "support/raw_tls_server.hpp"

namespace korvani::test_support {

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  const auto value = headers.value(name);
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

// Serves each connection of the raw server: reads requests until the client or the server ends
// the connection, records each and answers it as its handler says.
struct TestServer::Impl {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<RecordedRequest> recorded;                 // guarded by mutex
  std::map<std::string, Handler, std::less<>> handlers;  // guarded by mutex
  Handler fallback;                                      // guarded by mutex
  std::unique_ptr<RawTlsServer> raw;  // last: stops (and joins its threads) first

  void serve(RawTlsConnection& connection) {
    if (connection.protocol() == "h2") return serveHttp2(connection);
    while (const std::optional<std::string> text = connection.readRequest()) {
      RecordedRequest record = parse(*text);
      record.connection = connection.ordinal();
      record.protocol = "HTTP/1.1";
      const bool headOnly = record.method == "HEAD";
      const Reply reply = take(std::move(record));
      if (reply.delay.count() > 0 && !connection.pause(reply.delay)) return;
      if (reply.dropBeforeAnswer) return connection.cut();
      if (!answer(connection, headOnly, reply)) return;
      if (reply.cutAfterBodyBytes) return connection.cut();
    }
  }

  // Records the request and asks its handler for the reply.
  Reply take(RecordedRequest record) {
    Handler handler;
    {
      std::lock_guard lock(mutex);
      const auto found = handlers.find(record.path);
      handler = found != handlers.end() ? found->second : fallback;
      recorded.push_back(record);
    }
    changed.notify_all();
    return handler(record);
  }

  // HTTP/2: the requests whose streams ended, answered one after another.
  struct Http2Connection {
    std::map<std::int32_t, RecordedRequest> open;  // streams whose request is still arriving
    std::vector<std::pair<std::int32_t, RecordedRequest>> complete;
  };
  // A reply's body as nghttp2 reads it; stops (without ending the stream) at `limit`.
  struct Http2Body {
    std::string bytes;
    std::size_t sent = 0;
    std::size_t limit = 0;
  };

  void serveHttp2(RawTlsConnection& connection) {
    Http2Connection state;
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_headers_callback(
        callbacks, [](nghttp2_session*, const nghttp2_frame* frame, void* user) {
          static_cast<Http2Connection*>(user)->open[frame->hd.stream_id];
          return 0;
        });
    nghttp2_session_callbacks_set_on_header_callback(
        callbacks, [](nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                      std::size_t nameLength, const std::uint8_t* value, std::size_t valueLength,
                      std::uint8_t, void* user) {
          RecordedRequest& record = static_cast<Http2Connection*>(user)->open[frame->hd.stream_id];
          const std::string_view field(reinterpret_cast<const char*>(name), nameLength);
          const std::string_view text(reinterpret_cast<const char*>(value), valueLength);
          if (field == ":method") {
            record.method = text;
          } else if (field == ":path") {
            const std::size_t mark = text.find('?');
            record.path = text.substr(0, mark);
            if (mark != std::string_view::npos) record.query = text.substr(mark + 1);
          } else if (!field.starts_with(":")) {
            record.headers.emplace_back(field, text);
          }
          return 0;
        });
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
        callbacks, [](nghttp2_session*, std::uint8_t, std::int32_t stream, const std::uint8_t* data,
                      std::size_t length, void* user) {
          static_cast<Http2Connection*>(user)->open[stream].body.append(
              reinterpret_cast<const char*>(data), length);
          return 0;
        });
    nghttp2_session_callbacks_set_on_frame_recv_callback(
        callbacks, [](nghttp2_session*, const nghttp2_frame* frame, void* user) {
          auto& streams = *static_cast<Http2Connection*>(user);
          const bool request = frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA;
          if (request && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
            const auto found = streams.open.find(frame->hd.stream_id);
            if (found != streams.open.end()) {
              streams.complete.emplace_back(found->first, std::move(found->second));
              streams.open.erase(found);
            }
          }
          return 0;
        });
    nghttp2_session* session = nullptr;
    nghttp2_session_server_new(&session, callbacks, &state);
    nghttp2_session_callbacks_del(callbacks);
    const std::unique_ptr<nghttp2_session, decltype(&nghttp2_session_del)> owner(
        session, &nghttp2_session_del);
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    const auto flush = [&] {
      const std::uint8_t* data = nullptr;
      while (const auto length = nghttp2_session_mem_send(session, &data)) {
        if (length < 0 || !connection.send({reinterpret_cast<const char*>(data),
                                            static_cast<std::size_t>(length)})) {
          return false;
        }
      }
      return true;
    };
    if (!flush()) return;
    while (const std::optional<std::string> bytes = connection.readSome()) {
      if (nghttp2_session_mem_recv(session, reinterpret_cast<const std::uint8_t*>(bytes->data()),
                                   bytes->size()) < 0) {
        return;
      }
      auto ready = std::move(state.complete);
      state.complete.clear();
      for (auto& [stream, record] : ready) {
        record.connection = connection.ordinal();
        record.protocol = "HTTP/2";
        const bool headOnly = record.method == "HEAD";
        const Reply reply = take(std::move(record));
        if (reply.delay.count() > 0 && !connection.pause(reply.delay)) return;
        if (reply.dropBeforeAnswer) return connection.cut();
        Http2Body body{headOnly ? std::string() : reply.body.value_or(""), 0, 0};
        if (reply.generatedBytes) body.bytes.assign(*reply.generatedBytes, 'x');
        body.limit = reply.cutAfterBodyBytes.value_or(body.bytes.size());
        const std::string status = std::to_string(reply.status);
        const std::string length = std::to_string(body.bytes.size());
        std::vector<nghttp2_nv> fields;
        const auto add = [&](std::string_view name, std::string_view value) {
          fields.push_back(
              {const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(name.data())),
               const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(value.data())),
               name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
        };
        std::vector<std::string> lowerNames;
        for (const auto& [name, value] : reply.headers) {
          std::string lower(name);
          std::transform(lower.begin(), lower.end(), lower.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
          lowerNames.push_back(std::move(lower));
        }
        add(":status", status);
        add("content-type", reply.contentType);
        if (!reply.chunked) add("content-length", length);
        std::size_t index = 0;
        for (const auto& [name, value] : reply.headers)
          add(lowerNames[index++], value);
        nghttp2_data_provider provider{};
        provider.source.ptr = &body;
        provider.read_callback = [](nghttp2_session*, std::int32_t, std::uint8_t* buffer,
                                    std::size_t room, std::uint32_t* flags,
                                    nghttp2_data_source* source, void*) -> ssize_t {
          auto& from = *static_cast<Http2Body*>(source->ptr);
          const std::size_t end = std::min(from.limit, from.bytes.size());
          if (from.sent == end && end < from.bytes.size()) return NGHTTP2_ERR_DEFERRED;
          const std::size_t count = std::min(room, end - from.sent);
          std::memcpy(buffer, from.bytes.data() + from.sent, count);
          from.sent += count;
          if (from.sent == from.bytes.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
          return static_cast<ssize_t>(count);
        };
        nghttp2_submit_response(session, stream, fields.data(), fields.size(), &provider);
        if (!flush()) return;
        if (reply.cutAfterBodyBytes) return connection.cut();
      }
      if (!flush()) return;
    }
  }

  // A request as readRequest() gives it: head, then the body.
  static RecordedRequest parse(const std::string& text) {
    RecordedRequest record;
    const std::size_t headEnd = text.find("\r\n\r\n");
    const std::string_view head(text.data(), headEnd + 2);
    record.body = text.substr(headEnd + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const std::size_t space = line.find(' ');
    record.method = line.substr(0, space);
    const std::string_view target = line.substr(space + 1, line.rfind(' ') - space - 1);
    const std::size_t mark = target.find('?');
    record.path = target.substr(0, mark);
    if (mark != std::string_view::npos) record.query = target.substr(mark + 1);
    for (std::size_t at = lineEnd + 2; at < head.size(); at = lineEnd + 2) {
      lineEnd = head.find("\r\n", at);
      const std::string_view field = head.substr(at, lineEnd - at);
      const std::size_t colon = field.find(':');
      std::string_view value = field.substr(colon + 1);
      value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
      value.remove_suffix(value.size() - (value.find_last_not_of(" \t") + 1));
      record.headers.emplace_back(field.substr(0, colon), value);
    }
    return record;
  }

  // Writes the answer; false when the connection is to end.
  static bool answer(RawTlsConnection& connection, bool headOnly, const Reply& reply) {
    const bool generated = reply.generatedBytes.has_value();
    const std::size_t length = generated ? *reply.generatedBytes : reply.body.value_or("").size();
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n";
    for (const auto& [name, value] : reply.headers)
      head.append(name).append(": ").append(value).append("\r\n");
    if (generated || reply.body) head += "Content-Type: " + reply.contentType + "\r\n";
    head += generated && reply.chunked ? std::string("Transfer-Encoding: chunked\r\n")
                                       : "Content-Length: " + std::to_string(length) + "\r\n";
    head += "\r\n";
    if (headOnly) return connection.send(head);
    if (!generated) {
      const std::string body = reply.body.value_or("");
      return connection.send(head + body.substr(0, reply.cutAfterBodyBytes.value_or(body.size())));
    }
    if (!connection.send(head)) return false;
    constexpr std::size_t kChunk = 64 * 1024;
    static const std::string filler(kChunk, 'x');
    for (std::size_t sent = 0; sent < length; sent += kChunk) {
      const std::string piece = filler.substr(0, std::min(kChunk, length - sent));
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
      if (!connection.send(reply.chunked ? std::string(size) + piece + "\r\n" : piece))
        return false;
    }
    return !reply.chunked || connection.send("0\r\n\r\n");
  }
};

TestServer::TestServer(bool trusted)
    : TestServer(HttpVersion::http1,
                 trusted ? TestCertificate::trusted : TestCertificate::untrusted) {}

TestServer::TestServer(HttpVersion version, TestCertificate certificate)
    : impl_(std::make_unique<Impl>()) {
  impl_->fallback = [](const RecordedRequest&) {
    return Reply::with(404, R"({"error":"not_found"})");
  };
  impl_->raw = std::make_unique<RawTlsServer>(
      [impl = impl_.get()](RawTlsConnection& connection) { impl->serve(connection); }, certificate,
      version == HttpVersion::http2);
}

TestServer::~TestServer() {
  impl_->raw.reset();
}

const std::string& TestServer::authorityPem() const {
  return impl_->raw->authorityPem();
}

std::string TestServer::origin() const {
  return impl_->raw->url("");
}

std::string TestServer::url(std::string_view pathAndQuery) const {
  return impl_->raw->url(pathAndQuery);
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
  return impl_->raw->connectionCount();
}

bool TestServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->raw->waitForConnections(count, timeout);
}

std::optional<TaskOutcome> fetch(platform::URLRequest request, std::chrono::milliseconds timeout) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    TaskOutcome outcome;
    std::weak_ptr<platform::URLSessionDataTask> task;
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
          if (const auto held = shared->task.lock()) shared->outcome.sends = held->sendCount();
        }
        shared->done.notify_all();
      });
  {
    std::lock_guard lock(shared->mutex);
    shared->task = task;
  }
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

ProbeRun runProbe(const TestServer& server, std::string_view path, std::string_view program,
                  std::string_view environment) {
  const auto caFile = std::filesystem::temp_directory_path() /
                      ("korvani-probe-ca-" + std::to_string(::getpid()) + ".pem");
  devtls::writeTextFile(caFile, server.authorityPem());
  const std::string command = std::string(environment) + "timeout 20 " + std::string(program) +
                              " " + server.url(path) + " " + caFile.string();
  ProbeRun run;
  if (FILE* probe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, probe) != nullptr)
      run.output += buffer;
    run.status = ::pclose(probe);
  }
  std::filesystem::remove(caFile);
  return run;
}

long peakResidentKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace korvani::test_support
