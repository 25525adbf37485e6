#include <memory>
#include <mutex>
#include <utility>

#include "service/exchange_observer_detail.hpp"

namespace korvani {
namespace {

// Held by shared_ptr so that a call in progress keeps the observer it started with while another
// thread replaces it.
struct Installed {
  std::mutex mutex;
  std::shared_ptr<const ExchangeObserver> observer;
};

Installed& installed() {
  static Installed* const value = new Installed;  // never destroyed: read until exit
  return *value;
}

std::shared_ptr<const ExchangeObserver> current() {
  Installed& state = installed();
  const std::lock_guard lock(state.mutex);
  return state.observer;
}

}  // namespace

void setExchangeObserver(ExchangeObserver observer) {
  auto next = observer ? std::make_shared<const ExchangeObserver>(std::move(observer)) : nullptr;
  Installed& state = installed();
  const std::lock_guard lock(state.mutex);
  state.observer.swap(next);
  // The one replaced is destroyed outside the lock, once `next` goes.
}

namespace detail {

bool exchangeObserverInstalled() {
  return current() != nullptr;
}

void notifyExchangeObserver(const ExchangeOutcome& outcome) noexcept {
  const auto observer = current();
  if (!observer) return;
  try {
    (*observer)(outcome);
  } catch (...) {
    // Diagnostics must not change the payment's course.
  }
}

}  // namespace detail
}  // namespace korvani
