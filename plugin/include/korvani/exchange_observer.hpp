#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "korvani/export.hpp"
#include "korvani/platform/error.hpp"

namespace korvani {

// How one exchange with the payment platform ended, for diagnostics: why a report said "no
// payment" (a 409, a 500, no answer at all, or a 2xx answer that held no payment) without the
// platform's own log. A value; lent to the observer for the call.
struct ExchangeOutcome {
  // The answer's HTTP status; nullopt when no answer came.
  std::optional<long> statusCode;
  // Why no answer came: the transport's error (URL domain), or the plug-in's own for a request
  // stopped before sending (empty domain: -1009 no network, -1000 incomplete request). Null when
  // an answer came. A cancelled request has -999.
  platform::ErrorPtr error;
  // How many times the request went out: 0 when it was stopped before sending, 1 normally, more
  // when the URL session sent it again under the same idempotency key after a lost connection.
  std::uint32_t sendCount = 0;
};

// Hears every exchange's outcome once it is known, on the host's main thread, before the
// outcome's callback; also when that callback is absent or the service that sent the request is
// gone (a component released mid-payment shows here and nowhere else). Off by default; it
// changes neither the reports nor the tracking event, and nothing is logged. An exception it
// throws is swallowed.
using ExchangeObserver = std::function<void(const ExchangeOutcome&)>;

// Installs the process's observer (an empty function removes it). Exchanges whose outcome
// arrives afterwards are observed. Thread-safe.
KORVANI_EXPORT void setExchangeObserver(ExchangeObserver observer);

}  // namespace korvani
