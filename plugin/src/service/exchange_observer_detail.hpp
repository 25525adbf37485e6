#pragma once

#include "korvani/exchange_observer.hpp"

namespace korvani::detail {

// Whether an observer is installed now; any thread. The service asks before it queues work only
// the observer would see.
bool exchangeObserverInstalled();
// Calls the observer installed now, if any, swallowing what it throws. Main thread.
void notifyExchangeObserver(const ExchangeOutcome& outcome) noexcept;

}  // namespace korvani::detail
