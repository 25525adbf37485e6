#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>

#include "korvani/payment_plugin_configuration.hpp"

namespace korvani {

std::optional<std::string> sha256Hex(const std::string& text) {
  // Fetched once and a context kept per thread: EVP_sha256() makes OpenSSL look the digest
  // up at every call, and a fresh context per digest allocates.
  static EVP_MD* const digestType = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(
      EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (digestType == nullptr || !context ||
      EVP_DigestInit_ex(context.get(), digestType, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    return std::nullopt;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(std::size_t{length} * 2, '0');
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace korvani
