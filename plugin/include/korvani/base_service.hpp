#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "korvani/exchange_observer.hpp"
#include "korvani/export.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/response.hpp"
#include "korvani/service_config.hpp"

namespace korvani::platform {
class URLSessionDataTask;
}

namespace korvani {

// Sends the request its `config` describes over the shared URL session and reports the outcome
// through at most one callback, always later on the main queue (never inside execute()):
//   success  an HTTP answer 200...299
//   error    any other HTTP answer (the error is null: the session adds none to an answer)
//   failure  no HTTP answer: no network (-1009) or no base or path (-1000), both in the empty
//            domain and reported without sending; a transport failure, in the URL domain
// A cancelled request, an absent callback or a service released before the session's answer
// reports nothing; an outcome already queued for the main thread (the -1009 and -1000 failures
// are queued inside execute()) still arrives. Services are made only by create(): the network
// completion holds the service only weakly, so an in-flight request never keeps it alive, and a
// service that no shared_ptr owned would never report a network answer.
//
// Not locked: set the callbacks before execute() and leave them alone while a request is in
// flight; the completion reads them on the session's thread.
class KORVANI_EXPORT BaseService : public std::enable_shared_from_this<BaseService> {
 protected:
  // Proof that a constructor runs inside a create(). Explicit, so `{}` cannot make one.
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  // Run on the main thread with the outcome (never null) and, for error and failure, the error.
  using SuccessCallback = std::function<void(std::shared_ptr<Response>)>;
  using ErrorCallback = std::function<void(std::shared_ptr<Response>, platform::ErrorPtr)>;
  using FailureCallback = std::function<void(std::shared_ptr<Response>, platform::ErrorPtr)>;

  // Keeps the description; sends nothing yet.
  static std::shared_ptr<BaseService> create(ServiceConfig config);
  // Public for std::make_shared only: without a Passkey, which only this class and its
  // subclasses can make, nobody else can call it.
  BaseService(Passkey, ServiceConfig config);
  // Not copyable: in-flight completions refer to this very object.
  BaseService(const BaseService&) = delete;
  BaseService& operator=(const BaseService&) = delete;

  // Starts one request; every call sends a new one (which the URL session may put on the wire
  // again under its idempotency key after a lost connection). Call it on the host's main thread.
  // Asks the host's reachability first: a null reachability object, one that throws, or
  // NotReachable fails with -1009.
  void execute();
  // Cancels the request most recently started, if the session still holds it; it then
  // reports nothing. An answer already queued for the main thread still arrives.
  void cancel();

  // Has the shared session open a connection to the origin of `base` ahead of a request (see
  // URLSession::warmUp), when `base` is present and the host's reachability says the device is
  // online. Sends no request and reports nothing, whatever happens.
  static void warmUp(const std::optional<std::string>& base);

  // The request description, read by every execute(); change it on the main thread only.
  ServiceConfig config;
  // Outcome callbacks; an absent one drops its outcome. Set them before execute().
  SuccessCallback success;
  ErrorCallback error;
  FailureCallback failure;

 private:
  // Each also hands `outcome` to the exchange observer, when one was installed.
  void triggerSuccess(std::shared_ptr<Response> response,
                      std::optional<ExchangeOutcome> outcome) const;
  void triggerError(std::shared_ptr<Response> response, platform::ErrorPtr err,
                    std::optional<ExchangeOutcome> outcome) const;
  void triggerFailure(std::shared_ptr<Response> response, platform::ErrorPtr err,
                      std::optional<ExchangeOutcome> outcome) const;

  // The session owns the task; this reference empties itself once the task is done.
  std::weak_ptr<platform::URLSessionDataTask> task_;
};

}  // namespace korvani
