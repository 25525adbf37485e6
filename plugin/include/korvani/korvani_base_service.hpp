#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "korvani/base_service.hpp"
#include "korvani/export.hpp"

namespace korvani {

// A service for the payment platform's API: sends to its default origin unless the
// configuration names a base, and can carry the access token in the query. Held, threaded and
// reported like any BaseService.
class KORVANI_EXPORT KorvaniBaseService : public BaseService {
 public:
  // The API's origin, used when the configuration names no base.
  static constexpr std::string_view defaultBaseUrl = "https://api.korvani.com";

  // An absent `base` becomes defaultBaseUrl; a present one, even empty, is kept.
  static std::shared_ptr<KorvaniBaseService> create(ServiceConfig config);
  KorvaniBaseService(Passkey, ServiceConfig config);  // for std::make_shared, as BaseService's

  // Sets the query parameter "access_token", replacing an earlier token; takes effect at the
  // next execute().
  void setAccessToken(std::string token);
};

}  // namespace korvani
