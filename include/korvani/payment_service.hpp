#pragma once

#include "korvani/export.hpp"
#include "korvani/korvani_base_service.hpp"
#include "korvani/payment_configuration.hpp"

namespace korvani {

// Posts one payment: a POST of the configuration's body as JSON to base URL + path, with the
// configuration's headers and the access token as query parameter. Create it with
// std::make_shared, set the callbacks, keep it alive and call execute().
class KORVANI_EXPORT PaymentService : public KorvaniBaseService {
 public:
  explicit PaymentService(const PaymentConfiguration& configuration);
};

}  // namespace korvani
