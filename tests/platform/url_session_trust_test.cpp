#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "korvani/devtls/dev_certificates.hpp"
#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"
#include "support/platform_state.hpp"
#include "support/test_server.hpp"
#include "transport/trust_store.hpp"

namespace korvani::platform {
namespace {

using test_support::fetch;
using test_support::TestServer;

// The OpenSSL subject-hash file name ("<hash>.0") under which a CA directory holds `pem`.
std::string hashedName(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
  if (!cert) return {};
  char name[32];
  std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert.get()));
  return name;
}

std::int64_t codeFor(const std::string& url) {
  return test_support::outcomeCode(fetch(test_support::request(url)));
}

// A temporary directory to stand in for the system's CA store; the system's own locations come
// back afterwards.
struct SystemStoreStandIn {
  SystemStoreStandIn() { std::filesystem::create_directories(dir); }
  ~SystemStoreStandIn() {
    transport::setSystemTrustLocations(saved);
    std::filesystem::remove_all(dir);
  }
  const transport::SystemTrustLocations saved = transport::systemTrustLocations();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("korvani-trust-" + std::to_string(::getpid()));
};

TEST(SystemTrust, AddedCertificatesWorkBesideTheSystemStore) {
  const test_support::PlatformState state;  // the shared session trusts the system alone again
  const SystemStoreStandIn store;
  const std::filesystem::path& dir = store.dir;
  // The "untrusted" server's authority plays the system store's part here.
  TestServer systemSigned(/*trusted=*/false);
  TestServer added;
  systemSigned.on("/", test_support::Reply::with(200, "{}"));
  added.on("/", test_support::Reply::with(200, "{}"));
  const std::string systemPem = systemSigned.authorityPem();
  const std::string name = hashedName(systemPem);
  ASSERT_FALSE(name.empty());
  devtls::writeTextFile(dir / name, systemPem);
  devtls::writeTextFile(dir / "bundle.pem", systemPem);
  auto session = URLSession::sharedSession();

  // A hashed CA directory, then a bundle file alone.
  for (const transport::SystemTrustLocations& layout :
       {transport::SystemTrustLocations{dir.string(), ""}, {"", (dir / "bundle.pem").string()}}) {
    SCOPED_TRACE(layout.caPath.empty() ? "bundle file" : "hashed directory");
    transport::setSystemTrustLocations(layout);
    session->resetTrustedCertificates();
    EXPECT_EQ(codeFor(systemSigned.url("/")), 0);
    EXPECT_EQ(codeFor(added.url("/")), kURLErrorServerCertificateUntrusted);

    session->addTrustedCertificatesPem(added.authorityPem());
    EXPECT_EQ(codeFor(systemSigned.url("/")), 0) << "the system store still counts";
    EXPECT_EQ(codeFor(added.url("/")), 0);

    session->resetTrustedCertificates();
    EXPECT_EQ(codeFor(added.url("/")), kURLErrorServerCertificateUntrusted)
        << "a connection made under the old trust is not reused";
  }

  // From a file; a file without a certificate, or none at all, is refused.
  devtls::writeTextFile(dir / "added.pem", added.authorityPem());
  devtls::writeTextFile(dir / "junk.pem", "not a certificate");
  EXPECT_FALSE(session->addTrustedCertificatesFile(dir / "missing.pem"));
  EXPECT_FALSE(session->addTrustedCertificatesFile(dir / "junk.pem"));
  EXPECT_EQ(codeFor(added.url("/")), kURLErrorServerCertificateUntrusted);
  EXPECT_TRUE(session->addTrustedCertificatesFile(dir / "added.pem"));
  EXPECT_EQ(codeFor(added.url("/")), 0);

  // Without any trusted authority nothing verifies, and nothing is sent.
  session->resetTrustedCertificates();
  transport::setSystemTrustLocations({"", ""});
  const std::size_t sent = systemSigned.requestCount();
  EXPECT_EQ(codeFor(systemSigned.url("/")), kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(systemSigned.requestCount(), sent);
}

}  // namespace
}  // namespace korvani::platform
