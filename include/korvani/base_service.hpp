#pragma once

#include <functional>
#include <memory>

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
//   error    any other HTTP answer (with the session's error, usually none)
//   failure  no HTTP answer: no network (-1009), no base or path (-1000), transport failure
// A cancelled request, an absent callback or a service released before the answer reports
// nothing. Create services with std::make_shared: the network completion holds the service
// only weakly, so an in-flight request never keeps it alive.
//
// Not locked: set the callbacks before execute() and leave them alone while a request is in
// flight; the completion reads them on the session's thread.
class KORVANI_EXPORT BaseService : public std::enable_shared_from_this<BaseService> {
 public:
  using SuccessCallback = std::function<void(std::shared_ptr<Response>)>;
  using ErrorCallback = std::function<void(std::shared_ptr<Response>, platform::ErrorPtr)>;
  using FailureCallback = std::function<void(std::shared_ptr<Response>, platform::ErrorPtr)>;

  explicit BaseService(ServiceConfig config);
  BaseService(const BaseService&) = delete;
  BaseService& operator=(const BaseService&) = delete;

  // Starts one request; every call sends a new one. Call it on the host's main thread.
  void execute();
  // Cancels the request most recently started, if the session still holds it; it then
  // reports nothing.
  void cancel();

  ServiceConfig config;
  SuccessCallback success;
  ErrorCallback error;
  FailureCallback failure;

 private:
  void triggerSuccess(std::shared_ptr<Response> response) const;
  void triggerError(std::shared_ptr<Response> response, platform::ErrorPtr err) const;
  void triggerFailure(std::shared_ptr<Response> response, platform::ErrorPtr err) const;

  // The session owns the task; this reference empties itself once the task is done.
  std::weak_ptr<platform::URLSessionDataTask> task_;
};

}  // namespace korvani
