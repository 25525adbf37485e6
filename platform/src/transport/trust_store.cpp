#include "transport/trust_store.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

namespace korvani::platform::transport {
namespace {

struct SystemTrust {
  std::mutex mutex;
  SystemTrustLocations locations;
  std::uint64_t generation = 1;
};

SystemTrust& systemTrust() {
  // Never destroyed: a transfer may ask during exit.
  static SystemTrust* const state = [] {
    auto* s = new SystemTrust;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info->capath != nullptr) s->locations.caPath = info->capath;
    if (info->cainfo != nullptr) s->locations.caFile = info->cainfo;
    return s;
  }();
  return *state;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

bool holdsCertificate(std::string_view pem) noexcept {
  return pem.find("-----BEGIN CERTIFICATE-----") != std::string_view::npos;
}

}  // namespace

SystemTrustLocations systemTrustLocations() {
  SystemTrust& s = systemTrust();
  std::lock_guard lock(s.mutex);
  return s.locations;
}

void setSystemTrustLocations(SystemTrustLocations locations) {
  SystemTrust& s = systemTrust();
  std::lock_guard lock(s.mutex);
  s.locations = std::move(locations);
  ++s.generation;
}

void TrustStore::addPem(std::string pem) {
  if (!holdsCertificate(pem)) return;
  std::lock_guard lock(mutex_);
  if (std::find(addedPems_.begin(), addedPems_.end(), pem) != addedPems_.end()) return;
  addedPems_.push_back(std::move(pem));
  built_.reset();
}

bool TrustStore::addFile(const std::filesystem::path& path) {
  std::optional<std::string> pem = readFile(path);
  if (!pem || !holdsCertificate(*pem)) return false;
  addPem(std::move(*pem));
  return true;
}

void TrustStore::reset() {
  std::lock_guard lock(mutex_);
  addedPems_.clear();
  built_.reset();
}

std::shared_ptr<const TrustSettings> TrustStore::current() {
  SystemTrust& s = systemTrust();
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(s.mutex);
    generation = s.generation;
  }
  std::lock_guard lock(mutex_);
  if (built_ && builtForSystem_ == generation) return built_;
  const SystemTrustLocations system = systemTrustLocations();
  auto settings = std::make_shared<TrustSettings>();
  settings->caPath = system.caPath;
  if (addedPems_.empty()) {
    if (system.caPath.empty()) settings->caFile = system.caFile;
  } else {
    if (system.caPath.empty() && !system.caFile.empty()) {
      if (auto bundle = readFile(system.caFile)) settings->bundle = std::move(*bundle);
    }
    for (const std::string& pem : addedPems_) {
      if (!settings->bundle.empty() && settings->bundle.back() != '\n') {
        settings->bundle.push_back('\n');
      }
      settings->bundle.append(pem);
    }
  }
  built_ = std::move(settings);
  builtForSystem_ = generation;
  return built_;
}

}  // namespace korvani::platform::transport
