#pragma once

// Client side of the sandbox tests: an HTTPS client that trusts the sandbox's CA.

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "korvani/json.hpp"
#include "korvani/sandbox/sandbox_server.hpp"

namespace korvani::sandbox::test {

// `port` overrides the server's own (to knock on a port it has left).
inline std::unique_ptr<httplib::SSLClient> clientFor(const SandboxServer& server,
                                                     bool keepAlive = true, int port = 0) {
  auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port != 0 ? port : server.port());
  X509_STORE* store = X509_STORE_new();  // the client takes ownership
  BIO* bio = BIO_new_mem_buf(server.caCertificatePem().data(), -1);
  if (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, cert);
    X509_free(cert);
  }
  BIO_free(bio);
  client->set_ca_cert_store(store);
  client->enable_server_certificate_verification(true);
  client->set_keep_alive(keepAlive);
  // As the plug-in's HTTP stack does; with Nagle each request waits for a delayed ACK.
  client->set_tcp_nodelay(true);
  client->set_connection_timeout(std::chrono::seconds(3));
  client->set_read_timeout(std::chrono::seconds(10));
  return client;
}

inline std::string paymentTarget(const std::string& token = "TEST-8471-secret") {
  return "/v1/payments?access_token=" + token;
}

inline httplib::Result postPayment(httplib::SSLClient& client, const std::string& body,
                                   const std::optional<std::string>& idempotencyKey = {},
                                   const std::string& target = paymentTarget()) {
  httplib::Headers headers;
  if (idempotencyKey) headers.emplace("X-Idempotency-Key", *idempotencyKey);
  return client.Post(target, headers, body, "application/json");
}

// Status and body of an answer; 0 and empty when there was none.
inline int statusOf(const httplib::Result& result) {
  return result ? result->status : 0;
}
inline std::string bodyOf(const httplib::Result& result) {
  return result ? result->body : "";
}

inline std::optional<JsonObject> jsonObjectOf(const std::string& text) {
  auto value = parseJson(text);
  if (!value || !value->isObject()) return std::nullopt;
  return *value->asObject();
}

// Small options for tests: no log, short delays.
inline SandboxOptions quietOptions() {
  SandboxOptions options;
  options.quiet = true;
  options.slowDelay = std::chrono::milliseconds(300);
  options.workerThreads = 4;
  return options;
}

}  // namespace korvani::sandbox::test
