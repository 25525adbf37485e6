#include "payment_desk.hpp"

#include <algorithm>
#include <utility>

#include "korvani/decimal.hpp"

namespace korvani::sandbox {
namespace {

std::string errorBody(int status, std::string_view error, std::string_view message) {
  JsonObject object{{"status", status}, {"error", error}, {"message", message}};
  // Our own texts are ASCII, so serialization cannot fail.
  return serializeJson(JsonValue(std::move(object))).value_or("{}");
}

DeskAnswer refuse(int status, std::string_view error, std::string_view message) {
  DeskAnswer answer;
  answer.status = status;
  answer.body = errorBody(status, error, message);
  return answer;
}

struct Outcome {
  std::string_view status;
  std::string_view statusDetail;
  std::string_view statusText;
  std::string_view detailText;
};

Outcome outcomeOf(Scenario scenario) {
  switch (scenario) {
    case Scenario::rejected:
      return {"rejected", "cc_rejected_other_reason", "Rejected",
              "The card was rejected. Please use another payment method."};
    case Scenario::inProcess:
      return {"in_process", "pending_contingency", "In process",
              "The payment is being processed. The result will follow shortly."};
    default:
      return {"approved", "accredited", "Approved", "The payment was approved."};
  }
}

Scenario chooseScenario(const JsonObject& body) {
  if (const std::string* token = body.getString("token")) {
    if (auto scenario = scenarioForToken(*token)) return *scenario;
  }
  if (auto amount = body.getNumber("transaction_amount")) {
    for (const auto& entry : scenarioTable()) {
      if (entry.scenario != Scenario::approved && Decimal::fromString(entry.amount) == amount) {
        return entry.scenario;
      }
    }
  }
  return Scenario::approved;
}

// The answer object of a created payment: "raw" as the platform stores it, "formatted" as
// texts a checkout could show.
JsonObject paymentAnswer(const JsonObject& request, std::uint64_t id, Scenario scenario) {
  const Outcome outcome = outcomeOf(scenario);
  const bool withStatus = scenario != Scenario::missingStatus;

  JsonObject raw;
  raw.set("id", id);
  if (withStatus) raw.set("status", outcome.status);
  raw.set("status_detail", outcome.statusDetail);
  // Echoed as parsed, so a decimal amount comes back with exactly its value.
  for (std::string_view key :
       {"transaction_amount", "payment_method_id", "installments", "external_reference"}) {
    if (const JsonValue* value = request.find(key)) raw.set(std::string(key), *value);
  }

  JsonObject formatted;
  if (auto amount = request.getNumber("transaction_amount")) {
    formatted.set("amount", amount->toString());
  }
  if (const std::string* method = request.getString("payment_method_id")) {
    formatted.set("payment_method", *method);
  }
  if (auto installments = request.getInt64("installments")) {
    formatted.set("installments", std::to_string(*installments) +
                                      (*installments == 1 ? " installment" : " installments"));
  }
  if (withStatus) formatted.set("status", outcome.statusText);
  formatted.set("status_detail", outcome.detailText);

  return JsonObject{{"raw", std::move(raw)}, {"formatted", std::move(formatted)}};
}

}  // namespace

PaymentDesk::PaymentDesk(std::uint64_t firstPaymentId, std::size_t idempotencyCapacity,
                         std::chrono::milliseconds slowDelay)
    : slowDelay_(slowDelay),
      capacity_(std::max<std::size_t>(idempotencyCapacity, 1)),
      nextId_(firstPaymentId) {}

std::uint64_t PaymentDesk::nextPaymentId() const {
  std::lock_guard lock(mutex_);
  return nextId_;
}

DeskAnswer PaymentDesk::receive(const PaymentRequest& request) {
  if (!request.accessToken || request.accessToken->empty()) {
    return refuse(401, "unauthorized", "The access_token query parameter is missing or empty.");
  }
  JsonError parseError;
  std::optional<JsonValue> parsed = parseJson(request.body, &parseError);
  if (!parsed || !parsed->isObject()) {
    return refuse(400, "bad_request",
                  parsed ? std::string("The body must be a JSON object.")
                         : "The body is not valid JSON: " + parseError.message());
  }
  const JsonObject& body = *parsed->asObject();
  if (body.getString("payment_method_id") == nullptr) {
    return refuse(400, "bad_request", "payment_method_id is required and must be a string.");
  }
  if (const JsonValue* amount = body.find("transaction_amount"); amount && !amount->isNumber()) {
    return refuse(400, "bad_request", "transaction_amount must be a number.");
  }

  std::string amount;
  if (const JsonValue* value = body.find("transaction_amount")) {
    amount = serializeJson(*value).value_or("");
  }
  DeskAnswer answer = answerValid(request, std::move(*parsed));
  answer.amount = std::move(amount);
  return answer;
}

DeskAnswer PaymentDesk::answerValid(const PaymentRequest& request, JsonValue parsed) {
  const JsonObject& body = *parsed.asObject();
  // One lock around lookup, decision and memory, so that two concurrent first requests with
  // one key cannot both create a payment.
  std::lock_guard lock(mutex_);
  if (!request.idempotencyKey) return decide(body);

  std::string key(*request.idempotencyKey);
  if (auto found = remembered_.find(key); found != remembered_.end()) {
    const Remembered& earlier = found->second;
    if (earlier.requestBody != parsed) {
      return refuse(409, "idempotency_key_reused",
                    "The X-Idempotency-Key was already used with a different body.");
    }
    if (earlier.inProgress) {
      return refuse(409, "idempotency_key_in_progress",
                    "A request with this X-Idempotency-Key is still being processed.");
    }
    DeskAnswer replay = earlier.answer;
    replay.replayed = true;
    return replay;
  }
  DeskAnswer answer = decide(body);
  remember(std::move(key), std::move(parsed), answer);
  return answer;
}

DeskAnswer PaymentDesk::decide(const JsonObject& body) {
  const Scenario scenario = nextScenario_.value_or(chooseScenario(body));
  nextScenario_.reset();
  DeskAnswer answer;
  answer.scenario = scenario;
  if (scenario == Scenario::serverError || scenario == Scenario::unavailable) {
    DeskAnswer failure =
        scenario == Scenario::serverError
            ? refuse(500, "internal_error", "The payment platform failed (sandbox scenario).")
            : refuse(503, "service_unavailable",
                     "The payment platform is unavailable (sandbox scenario).");
    failure.scenario = scenario;
    return failure;
  }
  if (scenario == Scenario::invalidJson) {
    answer.status = 201;
    answer.contentType = "text/html";
    answer.body = "<html><body>Payment created</body></html>";
    return answer;
  }

  answer.paymentId = nextId_++;
  if (scenario != Scenario::missingStatus) answer.paymentStatus = outcomeOf(scenario).status;
  JsonObject object = paymentAnswer(body, *answer.paymentId, scenario);
  std::optional<std::string> text = scenario == Scenario::jsonArray
                                        ? serializeJson(JsonValue(JsonArray{JsonValue(object)}))
                                        : serializeJson(JsonValue(std::move(object)));
  if (!text) {
    return refuse(500, "internal_error", "The answer could not be written as JSON.");
  }
  answer.status = 201;
  answer.body = std::move(*text);
  answer.delay = scenario == Scenario::slow ? slowDelay_ : std::chrono::milliseconds(0);
  answer.dropConnection = scenario == Scenario::dropConnection;
  return answer;
}

void PaymentDesk::remember(std::string key, JsonValue requestBody, const DeskAnswer& answer) {
  Remembered entry;
  entry.requestBody = std::move(requestBody);
  entry.answer = answer;
  // A retry after a dropped connection gets the payment that was created: that is what
  // idempotency keys are for.
  entry.answer.dropConnection = false;
  entry.answer.delay = std::chrono::milliseconds(0);
  entry.inProgress = answer.delay.count() > 0;

  remembered_.emplace(key, std::move(entry));
  arrival_.push_back(std::move(key));
  while (remembered_.size() > capacity_) {
    remembered_.erase(arrival_.front());
    arrival_.pop_front();
  }
}

void PaymentDesk::setNextScenario(std::optional<Scenario> scenario) {
  std::lock_guard lock(mutex_);
  nextScenario_ = scenario;
}

std::optional<Scenario> PaymentDesk::nextScenario() const {
  std::lock_guard lock(mutex_);
  return nextScenario_;
}

void PaymentDesk::settle(std::string_view idempotencyKey) {
  std::lock_guard lock(mutex_);
  if (auto found = remembered_.find(std::string(idempotencyKey)); found != remembered_.end()) {
    found->second.inProgress = false;
  }
}

}  // namespace korvani::sandbox
