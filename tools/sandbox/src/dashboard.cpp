#include "dashboard.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

#include "dashboard_assets.hpp"
#include "korvani/json.hpp"
#include "listening.hpp"
#include "scenarios.hpp"

namespace korvani::sandbox {
namespace {

// Threads that serve the page; live streams may take up to kMaxStreams of them, so that
// a page can always load beside them.
constexpr std::size_t kThreads = 8;
constexpr int kMaxStreams = 4;
// A stream wakes at most this often, whatever the rate of payments.
constexpr std::chrono::milliseconds kStreamSpacing{100};
constexpr int kSendBuffer = 64 * 1024;
// Without changes a stream still sends a comment this often, which finds closed browsers.
constexpr std::chrono::milliseconds kStreamHeartbeat{15'000};

// The page runs nothing but its own script and reaches nothing but this server: a body that
// slipped into the markup would still not run.
const httplib::Headers kSecurityHeaders{
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

// `text` with every byte that is not part of well-formed UTF-8 replaced by U+FFFD: the
// journal holds whatever arrived, and JSON text must be UTF-8.
std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    std::size_t length = 0;
    if (*p < 0x80) {
      length = 1;
    } else if (*p >= 0xC2 && *p <= 0xDF) {
      length = 2;
    } else if (*p >= 0xE0 && *p <= 0xEF) {
      length = 3;
    } else if (*p >= 0xF0 && *p <= 0xF4) {
      length = 4;
    }
    bool valid = length > 0 && static_cast<std::size_t>(end - p) >= length;
    for (std::size_t i = 1; valid && i < length; ++i)
      valid = (p[i] & 0xC0) == 0x80;
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    if (valid && length == 3) {
      valid = !(p[0] == 0xE0 && p[1] < 0xA0) && !(p[0] == 0xED && p[1] >= 0xA0);
    } else if (valid && length == 4) {
      valid = !(p[0] == 0xF0 && p[1] < 0x90) && !(p[0] == 0xF4 && p[1] >= 0x90);
    }
    if (valid) {
      out.append(reinterpret_cast<const char*>(p), length);
      p += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++p;
    }
  }
  return out;
}

JsonValue textOrNull(const std::optional<std::string>& text) {
  return text ? JsonValue(validUtf8(*text)) : JsonValue();
}

JsonValue textOrNull(const std::string& text) {
  return text.empty() ? JsonValue() : JsonValue(validUtf8(text));
}

// What a row of the table shows. Payment ids go as text: they exceed the integers a browser
// holds exactly.
JsonObject summaryOf(const RequestRecord& record) {
  return JsonObject{
      {"seq", record.seq},
      {"connection", record.connectionId},
      {"start", record.start},
      {"end", record.end},
      {"method", validUtf8(record.method)},
      {"target", validUtf8(record.target)},
      {"status", record.status},
      {"dropped", record.dropped},
      {"replayed", record.replayed},
      {"scenario", record.scenario.empty() ? JsonValue() : JsonValue(record.scenario)},
      {"payment", record.paymentId ? JsonValue(std::to_string(*record.paymentId)) : JsonValue()},
      {"amount", textOrNull(record.amount)},
      {"key", textOrNull(record.idempotencyKey)},
      {"paymentStatus", textOrNull(record.paymentStatus)},
  };
}

JsonObject connectionOf(const ConnectionRecord& connection) {
  const auto time = [](const std::optional<JournalTime>& t) {
    return t ? JsonValue(*t) : JsonValue();
  };
  return JsonObject{
      {"id", connection.id},
      {"accepted", connection.accepted},
      {"handshakeStart", time(connection.handshakeStart)},
      {"handshakeDone", time(connection.handshakeDone)},
      {"closed", time(connection.closed)},
      {"requests", connection.requests},
  };
}

std::string errorJson(int status, std::string_view error, std::string_view message) {
  return serializeJson(
             JsonValue(JsonObject{{"status", status}, {"error", error}, {"message", message}}))
      .value_or("{}");
}

void refuse(httplib::Response& response, int status, std::string_view error,
            std::string_view message) {
  response.status = status;
  response.set_content(errorJson(status, error, message), "application/json");
}

bool isLoopbackPeer(std::string_view address) {
  return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.");
}

// A stream's place: "<journal start>:<revision>", so that a browser that reconnects to a
// restarted program is not taken for one that has seen its revisions.
std::string eventId(const Journal& journal, std::uint64_t revision) {
  return std::to_string(journal.startedAtMillis()) + ":" + std::to_string(revision);
}

std::uint64_t revisionOf(const Journal& journal, std::string_view lastEventId) {
  const std::string prefix = std::to_string(journal.startedAtMillis()) + ":";
  if (!lastEventId.starts_with(prefix)) return 0;
  lastEventId.remove_prefix(prefix.size());
  std::uint64_t revision = 0;
  const auto [end, ec] =
      std::from_chars(lastEventId.data(), lastEventId.data() + lastEventId.size(), revision);
  return ec == std::errc() && end == lastEventId.data() + lastEventId.size() ? revision : 0;
}

}  // namespace

Dashboard::Dashboard(Journal& journal, PaymentDesk& desk, std::function<SandboxCounters()> counters)
    : journal_(journal), desk_(desk), counters_(std::move(counters)) {}

Dashboard::~Dashboard() {
  stop();
}

std::string Dashboard::journalJson(std::uint64_t revision, std::uint64_t* reached) const {
  const JournalSnapshot snapshot = journal_.since(revision);
  if (reached != nullptr) *reached = snapshot.revision;
  JsonArray requests;
  requests.reserve(snapshot.requests.size());
  for (const auto& record : snapshot.requests)
    requests.emplace_back(summaryOf(*record));
  JsonArray connections;
  connections.reserve(snapshot.connections.size());
  for (const auto& connection : snapshot.connections)
    connections.emplace_back(connectionOf(connection));
  JsonArray scenarios;
  for (const auto& entry : scenarioTable())
    scenarios.emplace_back(entry.name);
  const std::optional<Scenario> next = desk_.nextScenario();
  const SandboxCounters counters = counters_();
  JsonObject state{
      {"revision", snapshot.revision},
      {"reset", snapshot.reset},
      {"now", snapshot.now},
      {"startedAt", journal_.startedAtMillis()},
      {"capacity", journal_.requestCapacity()},
      {"scenarios", std::move(scenarios)},
      {"nextScenario", next ? JsonValue(scenarioEntry(*next).name) : JsonValue()},
      {"counters", JsonObject{{"connections", counters.connectionsAccepted},
                              {"handshakes", counters.handshakesCompleted},
                              {"requests", counters.requestsServed}}},
      {"requests", std::move(requests)},
      {"connections", std::move(connections)},
  };
  return serializeJson(JsonValue(std::move(state))).value_or("{}");
}

std::string Dashboard::requestJson(std::uint64_t seq) const {
  const std::shared_ptr<const RequestRecord> record = journal_.request(seq);
  if (!record) return {};
  JsonObject detail = summaryOf(*record);
  JsonArray headers;
  for (const auto& [name, value] : record->headers)
    headers.emplace_back(JsonArray{validUtf8(name), validUtf8(value)});
  detail.set("headers", std::move(headers));
  detail.set("body", validUtf8(record->body));
  detail.set("bodyBytes", record->bodyBytes);
  detail.set("contentType", validUtf8(record->contentType));
  detail.set("answerBody", validUtf8(record->answerBody));
  detail.set("answerBytes", record->answerBytes);
  return serializeJson(JsonValue(std::move(detail))).value_or("{}");
}

// Refuses what does not come from this machine, and what a web page elsewhere could send
// through the browser: a foreign Host (DNS rebinding) or a foreign Origin (cross-site posts).
bool Dashboard::admits(const std::string& remoteAddress, const std::string& host,
                       const std::string& origin) const {
  const auto ours = [port = std::to_string(port_)](std::string_view authority) {
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos || authority.substr(colon + 1) != port) return false;
    const std::string_view name = authority.substr(0, colon);
    return name == "127.0.0.1" || name == "localhost" || name == "[::1]";
  };
  constexpr std::string_view kScheme = "http://";
  return isLoopbackPeer(remoteAddress) && ours(host) &&
         (origin.empty() ||
          (origin.starts_with(kScheme) && ours(std::string_view(origin).substr(kScheme.size()))));
}

void Dashboard::route(httplib::Server& server) {
  server.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        for (const auto& [name, value] : kSecurityHeaders)
          response.set_header(name, value);
        if (admits(request.remote_addr, request.get_header_value("Host"),
                   request.get_header_value("Origin"))) {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        refuse(response, 403, "forbidden", "The dashboard answers this machine's own pages only.");
        return httplib::Server::HandlerResponse::Handled;
      });

  for (const DashboardAsset& asset : dashboardAssets()) {
    server.Get(asset.path == "/index.html" ? "/" : std::string(asset.path),
               [&asset](const httplib::Request&, httplib::Response& response) {
                 response.set_content(asset.content.data(), asset.content.size(),
                                      std::string(asset.contentType).c_str());
               });
  }

  server.Get("/api/journal", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(journalJson(0), "application/json");
  });

  server.Get(R"(/api/requests/(\d{1,19}))",
             [this](const httplib::Request& request, httplib::Response& response) {
               std::uint64_t seq = 0;
               const std::string digits = request.matches[1];
               std::from_chars(digits.data(), digits.data() + digits.size(), seq);
               std::string detail = requestJson(seq);
               if (detail.empty()) {
                 refuse(response, 404, "not_found", "No such request in the journal.");
               } else {
                 response.set_content(detail, "application/json");
               }
             });

  // Server-sent events rather than polling: the page learns of a request as soon as it is
  // answered, an idle page costs nothing, and the browser reconnects by itself and says with
  // Last-Event-ID where it was. Each stream is a thread of ours that reads snapshots: the
  // journal never waits for it, and one that cannot write in time ends (write time-out).
  server.Get("/api/events", [this](const httplib::Request& request, httplib::Response& response) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
      streams_.fetch_sub(1);
      refuse(response, 503, "too_many_viewers", "Close another dashboard page first.");
      return;
    }
    auto revision = std::make_shared<std::uint64_t>(
        revisionOf(journal_, request.get_header_value("Last-Event-ID")));
    auto first = std::make_shared<bool>(true);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, revision, first](std::size_t, httplib::DataSink& sink) {
          const bool opening = std::exchange(*first, false);
          if (!opening) {
            if (!journal_.pauseViewer(kStreamSpacing)) return false;
            if (!journal_.waitForChange(*revision, kStreamHeartbeat)) return false;
          }
          std::uint64_t reached = 0;
          std::string json = journalJson(*revision, &reached);
          if (reached == *revision && !opening) {
            static constexpr std::string_view kHeartbeat = ": still here\n\n";
            return sink.write(kHeartbeat.data(), kHeartbeat.size());
          }
          *revision = reached;
          std::string event = "id: " + eventId(journal_, reached) + "\nevent: journal\ndata: ";
          event.append(json).append("\n\n");
          return sink.write(event.data(), event.size());
        },
        [this](bool) { streams_.fetch_sub(1); });
  });

  server.Post(
      "/api/next-scenario", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string name = request.get_param_value("scenario");
        const std::optional<Scenario> scenario = scenarioForName(name);
        if (!name.empty() && name != "none" && !scenario) {
          refuse(response, 400, "unknown_scenario",
                 "scenario must be one of the sandbox's scenarios, or empty.");
          return;
        }
        desk_.setNextScenario(scenario);
        journal_.touch();
        response.set_content(
            serializeJson(
                JsonValue(JsonObject{{"nextScenario", scenario ? JsonValue(name) : JsonValue()}}))
                .value_or("{}"),
            "application/json");
      });

  server.Post("/api/clear", [this](const httplib::Request&, httplib::Response& response) {
    journal_.clear();
    response.status = 204;
  });

  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        if (response.status == 404) {
          refuse(response, 404, "not_found", "No such page.");
        } else {
          refuse(response, response.status, "error", "The request was refused.");
        }
        return httplib::Server::HandlerResponse::Handled;
      }));
}

int Dashboard::start(const std::string& host, int port, std::string* error) {
  auto fail = [error](std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return 0;
  };
  if (server_) return port_;
  auto server = std::make_unique<httplib::Server>();
  server->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  // One request per connection and a short wait for the first: browsers keep idle and
  // speculative connections open, and the server's stop() waits for each of them.
  server->set_keep_alive_max_count(1);
  server->set_keep_alive_timeout(1);
  server->set_read_timeout(2, 0);
  server->set_write_timeout(2, 0);
  server->set_payload_max_length(4096);
  server->set_socket_options([](int socket) {
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Inherited by every accepted connection: a viewer that stops reading holds at most this
    // much in the kernel before its stream blocks and, after the write time-out, ends.
    int sendBuffer = kSendBuffer;
    ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  });
  route(*server);

  port_ =
      port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
  if (port_ <= 0) {
    port_ = 0;
    return fail("cannot listen on " + host + " port " + std::to_string(port) + " (dashboard)");
  }
  journal_.openViewers();
  server_ = std::move(server);
  if (!listenInBackground(*server_, listener_)) {
    stop();
    return fail("the dashboard did not start");
  }
  return port_;
}

void Dashboard::stop() {
  if (!server_) return;
  journal_.closeViewers();
  server_->stop();
  if (listener_.joinable()) listener_.join();
  server_.reset();
  port_ = 0;
}

}  // namespace korvani::sandbox
