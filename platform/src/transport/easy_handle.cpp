#include "transport/easy_handle.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <utility>

namespace korvani::platform::transport {
namespace {

// Whether the server's certificate names anything in subjectAltName. libcurl matches the host
// against those names, and falls back to the subject's CN only when there are none: a
// certificate without them is refused, as browsers have refused them for years.
bool namesItsHosts(X509* certificate) {
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  bool named = false;
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    const int type = sk_GENERAL_NAME_value(names, i)->type;
    named = named || type == GEN_DNS || type == GEN_IPADD;
  }
  GENERAL_NAMES_free(names);
  return named;
}

// OpenSSL's chain verification, plus the subjectAltName rule for the server's own certificate.
int verifyPeer(int preverified, X509_STORE_CTX* store) {
  if (preverified == 0) return 0;
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
  if (namesItsHosts(X509_STORE_CTX_get_current_cert(store))) return 1;
  X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
  return 0;
}

// Called for every new TLS connection, after libcurl's own set-up of the context.
CURLcode onSslContext(CURL*, void* context, void*) {
  auto* tls = static_cast<SSL_CTX*>(context);
  SSL_CTX_set_verify(tls, SSL_VERIFY_PEER, &verifyPeer);
  // libcurl would log the connection's secrets to the file SSLKEYLOGFILE names.
  SSL_CTX_set_keylog_callback(tls, nullptr);
  // libcurl has OpenSSL free a connection's record buffers whenever it goes idle, so every
  // request on a kept connection allocates them again; keeping them (about 34 KiB per open
  // connection) saves a few allocations per request (see bench/README.md).
  SSL_CTX_clear_mode(tls, SSL_MODE_RELEASE_BUFFERS);
  return CURLE_OK;
}

// The trust for a TLS proxy: libcurl's system defaults while a proxy is set. Without one nothing
// reads them, and libcurl would copy both paths into every transfer.
void setProxyTrust(CURL* easy, bool proxied) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  curl_easy_setopt(easy, CURLOPT_PROXY_CAINFO, proxied ? info->cainfo : nullptr);
  curl_easy_setopt(easy, CURLOPT_PROXY_CAPATH, proxied ? info->capath : nullptr);
}

}  // namespace

EasyHandle makeEasyHandle(CURLSH* share) {
  EasyHandle handle{CurlEasy(curl_easy_init()), nullptr, nullptr};
  CURL* easy = handle.easy.get();
  if (easy == nullptr) return handle;
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_SHARE, share);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &onSslContext);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);  // the progress callback tracks stalls
  // Every host an exception to proxying: libcurl then reads no proxy variable of the
  // environment (a configured proxy lifts the exception, see applyConnectionSettings).
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  setProxyTrust(easy, false);
  return handle;
}

void applyConnectionSettings(EasyHandle& handle, std::shared_ptr<const TrustSettings> trust,
                             std::shared_ptr<const std::string> proxy) {
  CURL* easy = handle.easy.get();
  if (handle.trust != trust) {
    if (!trust->bundle.empty()) {
      // The handle keeps `trust` alive while it may read the bundle.
      curl_blob blob{const_cast<char*>(trust->bundle.data()), trust->bundle.size(),
                     CURL_BLOB_NOCOPY};
      curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
      // The bundle replaces the file; a path left set would only be copied into every transfer.
      curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    } else {
      curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, nullptr);
      curl_easy_setopt(easy, CURLOPT_CAINFO,
                       trust->caFile.empty() ? nullptr : trust->caFile.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_CAPATH, trust->caPath.empty() ? nullptr : trust->caPath.c_str());
    handle.trust = std::move(trust);
  }
  if (handle.proxy != proxy) {
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy ? proxy->c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, proxy ? "" : "*");
    setProxyTrust(easy, proxy != nullptr);
    handle.proxy = std::move(proxy);
  }
}

}  // namespace korvani::platform::transport
