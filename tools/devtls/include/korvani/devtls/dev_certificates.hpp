#pragma once

#include <filesystem>
#include <string>

namespace korvani::devtls {

// PEM texts of one certificate and its private key.
struct KeyPair {
  std::string certificatePem;
  std::string privateKeyPem;
};

// A certificate authority made on the spot, and a server certificate it issued for the
// loopback names ("localhost", 127.0.0.1, ::1). Callers trust `authority.certificatePem`.
struct DevCertificates {
  KeyPair authority;
  KeyPair server;
};

// Makes a fresh authority and server certificate (P-256 keys, valid for `validDays`). Without
// `subjectAltNames` the server certificate names "localhost" only in its subject CN, as old
// certificates did (for tests that such a certificate is refused).
// Throws std::runtime_error when OpenSSL fails, which only happens when it is out of memory.
DevCertificates makeDevCertificates(const std::string& organization = "Korvani dev",
                                    int validDays = 30, bool subjectAltNames = true);

// Writes `text` to `path` (created or truncated); throws std::runtime_error on failure.
void writeTextFile(const std::filesystem::path& path, const std::string& text);

}  // namespace korvani::devtls
