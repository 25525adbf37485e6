#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "korvani/host/stand_ins.hpp"
#include "korvani/service_config.hpp"

namespace checkout_demo {

// The request as the payment service sends it (method, URL with the token masked, every
// header field, the body indented).
void printRequest(std::ostream& out, const korvani::ServiceConfig& request);

// Whether `call` is one of the two didFinishPayment reports.
bool isReport(const korvani::host::RecordingNavigationHandler::Call& call);

// The handler's calls, numbered, in the order they were made.
void printNavigationCalls(
    std::ostream& out, const std::vector<korvani::host::RecordingNavigationHandler::Call>& calls);

void printTrackingEvents(std::ostream& out,
                         const std::vector<korvani::host::RecordingTrackListener::Event>& events);

// The payment's end as the host sees it: the last report the handler received.
void printOutcome(std::ostream& out,
                  const std::vector<korvani::host::RecordingNavigationHandler::Call>& calls);

// Lines under a heading, indented, or "(none)".
void printLines(std::ostream& out, std::string_view heading, const std::vector<std::string>& lines);

}  // namespace checkout_demo
