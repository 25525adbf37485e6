#pragma once

// Which certificate authorities the session trusts: the system store, plus PEM certificates the
// host added. Verification itself is always on; this only says against what.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvani::platform::transport {

// What a transfer hands to libcurl. The system store is its CA directory when there is one,
// else its bundle file: never both, because libcurl keeps no parsed store across connections
// while a directory is set, so a file beside it would be parsed whole for every new connection
// (about 35 ms for the usual 140 certificates, between connecting and the first TLS byte),
// where a hashed directory is read one certificate at a time as a handshake asks. Added
// certificates go in as an in-memory bundle beside the directory; without a directory the
// system bundle file is copied into that bundle.
struct TrustSettings {
  std::string bundle;  // PEM for CURLOPT_CAINFO_BLOB; empty: none
  std::string caPath;  // CURLOPT_CAPATH; empty: none
  std::string caFile;  // CURLOPT_CAINFO when there is no bundle; empty: none
};

// Where the system's CA certificates are: a hashed directory and a bundle file, as libcurl was
// built to use them. Tests point them at their own files. Empty means "none".
struct SystemTrustLocations {
  std::string caPath;
  std::string caFile;
};
SystemTrustLocations systemTrustLocations();
// Applies to data tasks created afterwards. Thread-safe.
void setSystemTrustLocations(SystemTrustLocations locations);

// The session's trust: thread-safe; settings are rebuilt only after a change.
class TrustStore {
 public:
  // Text without a certificate is ignored; the same text twice counts once.
  void addPem(std::string pem);
  // False when the file cannot be read or holds no certificate.
  bool addFile(const std::filesystem::path& path);
  void reset();
  // The settings for a transfer created now (shared, immutable).
  std::shared_ptr<const TrustSettings> current();

 private:
  std::mutex mutex_;
  std::vector<std::string> addedPems_;          // guarded by mutex_
  std::shared_ptr<const TrustSettings> built_;  // guarded by mutex_; null: rebuild
  std::uint64_t builtForSystem_ = 0;            // guarded by mutex_
};

}  // namespace korvani::platform::transport
