#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "korvani/json.hpp"
#include "scenarios.hpp"

namespace korvani::sandbox {

// What the transport hands over from one POST to the payments path.
struct PaymentRequest {
  std::optional<std::string_view> accessToken;
  std::optional<std::string_view> idempotencyKey;
  std::string_view body;
};

// What to send back, and how.
struct DeskAnswer {
  int status = 0;
  std::string body;
  std::string contentType = "application/json";
  std::optional<std::uint64_t> paymentId;
  std::optional<Scenario> scenario;  // empty for refused requests
  std::chrono::milliseconds delay{0};
  bool dropConnection = false;
  bool replayed = false;
  // For the journal, found while deciding: transaction_amount as the request wrote it, and the
  // status of the payment answered ("approved"); empty when there is none.
  std::string amount;
  std::string_view paymentStatus;
};

// The payment platform's decisions, apart from any transport: authentication, validation,
// scenario choice, identifiers and idempotency. Safe to call from several threads.
class PaymentDesk {
 public:
  PaymentDesk(std::uint64_t firstPaymentId, std::size_t idempotencyCapacity,
              std::chrono::milliseconds slowDelay);

  DeskAnswer receive(const PaymentRequest& request);
  // Called once a delayed answer has been sent: further requests with `key` replay it
  // instead of being told that it is still in progress.
  void settle(std::string_view idempotencyKey);

  std::uint64_t nextPaymentId() const;

  // The scenario of the next request that would create a payment (not a replay, not a refused
  // one), whatever its token or amount; used once. nullopt cancels a pending one.
  void setNextScenario(std::optional<Scenario> scenario);
  std::optional<Scenario> nextScenario() const;

 private:
  struct Remembered {
    JsonValue requestBody;
    DeskAnswer answer;
    bool inProgress = false;
  };

  // After the checks: the idempotency rules, then the decision.
  DeskAnswer answerValid(const PaymentRequest& request, JsonValue parsed);
  // Both run with mutex_ held.
  DeskAnswer decide(const JsonObject& body);
  void remember(std::string key, JsonValue requestBody, const DeskAnswer& answer);

  const std::chrono::milliseconds slowDelay_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::uint64_t nextId_;
  std::optional<Scenario> nextScenario_;
  std::unordered_map<std::string, Remembered> remembered_;
  std::deque<std::string> arrival_;  // keys, oldest first, for eviction
};

}  // namespace korvani::sandbox
