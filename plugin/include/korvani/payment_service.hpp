#pragma once

#include <memory>

#include "korvani/export.hpp"
#include "korvani/korvani_base_service.hpp"
#include "korvani/payment_configuration.hpp"

namespace korvani {

// Posts one payment: a POST of the configuration's body as JSON to base URL + path, with the
// configuration's headers and the access token as query parameter, and a 72-second time-out.
// Create it, set the callbacks, keep it alive and call execute() on the host's main thread;
// outcomes arrive as for any BaseService. There is no form from a bare ServiceConfig.
class KORVANI_EXPORT PaymentService : public KorvaniBaseService {
 public:
  // Takes the parts over (an absent base URL becomes the default origin); sends nothing yet.
  static std::shared_ptr<PaymentService> create(PaymentConfiguration configuration);
  PaymentService(Passkey, PaymentConfiguration configuration);  // for std::make_shared
};

}  // namespace korvani
