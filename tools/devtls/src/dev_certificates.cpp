#include "korvani/devtls/dev_certificates.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace korvani::devtls {
namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("dev certificate: ") + what + " failed");
}

PkeyPtr makeKey() {
  PkeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  check(ext != nullptr, "extension");
  check(X509_add_ext(cert, ext.get(), -1) == 1, "adding extension");
}

X509Ptr makeCertificate(EVP_PKEY* key, const std::string& organization, const char* commonName,
                        int validDays) {
  X509Ptr cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), 2) == 1, "version");
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7f;  // serials are positive
  ASN1_INTEGER* asn1Serial = X509_get_serialNumber(cert.get());
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  check(bn != nullptr && BN_to_ASN1_INTEGER(bn, asn1Serial) != nullptr, "serial");
  BN_free(bn);
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * validDays) != nullptr, "notAfter");
  check(X509_set_pubkey(cert.get(), key) == 1, "public key");
  X509_NAME* name = X509_get_subject_name(cert.get());
  const auto* org = reinterpret_cast<const unsigned char*>(organization.c_str());
  const auto* cn = reinterpret_cast<const unsigned char*>(commonName);
  check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, org, -1, -1, 0) == 1, "O");
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) == 1, "CN");
  return cert;
}

std::string toPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM certificate");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return {data, static_cast<std::size_t>(size)};
}

std::string toPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM key");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

DevCertificates makeDevCertificates(const std::string& organization, int validDays,
                                    bool subjectAltNames) {
  PkeyPtr caKey = makeKey();
  X509Ptr ca = makeCertificate(caKey.get(), organization, "Korvani dev CA", validDays);
  check(X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) == 1, "CA issuer");
  addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "CA signature");

  PkeyPtr serverKey = makeKey();
  X509Ptr server = makeCertificate(serverKey.get(), organization, "localhost", validDays);
  check(X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) == 1, "issuer");
  addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  if (subjectAltNames) {
    addExtension(server.get(), ca.get(), NID_subject_alt_name,
                 "DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1");
  }
  addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  check(X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0, "server signature");

  return {{toPem(ca.get()), toPem(caKey.get())}, {toPem(server.get()), toPem(serverKey.get())}};
}

void writeTextFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace korvani::devtls
