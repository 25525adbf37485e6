#include "demo_printer.hpp"

#include <algorithm>
#include <optional>
#include <sstream>

#include "korvani/dictionary_encoding.hpp"
#include "korvani/json.hpp"

namespace checkout_demo {
namespace {

using korvani::host::RecordingNavigationHandler;
using Call = RecordingNavigationHandler::Call;
using CallKind = RecordingNavigationHandler::CallKind;

// JSON text indented under a label; text that cannot be written (invalid UTF-8) says so.
void printJson(std::ostream& out, const korvani::JsonValue& value, std::string_view indent) {
  const std::optional<std::string> text = korvani::serializeJsonPretty(value);
  if (!text) {
    out << indent << "(not printable: holds text that is not UTF-8)\n";
    return;
  }
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    out << indent << line << '\n';
  }
}

// Appended piece by piece: GCC 12 at -O2 warns falsely (-Wrestrict) on "literal" + string.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '"').append(text).append(1, '"');
  return out;
}

std::string quotedOrNone(const std::optional<std::string>& text) {
  return text ? quoted(*text) : "none";
}

std::string remoteStatus(const std::optional<RecordingNavigationHandler::RemotePaymentStatus>& s) {
  if (!s) return "none";
  const int value = static_cast<int>(*s);
  return std::to_string(value) + (value == 0 ? " (approved)" : value == 1 ? " (rejected)" : "");
}

std::string describe(const Call& call) {
  switch (call.kind) {
    case CallKind::beginPluginWork:
      return "beginPluginWork()";
    case CallKind::endPluginWork:
      return "endPluginWork()";
    case CallKind::finishWithStatusText:
      return "didFinishPayment(statusText: " + quoted(call.statusText) +
             ", statusDetails: " + quoted(call.statusDetails) +
             ", receiptId: " + quotedOrNone(call.receiptId) + ")";
    case CallKind::finishWithStatus:
      return "didFinishPayment(paymentStatus: " + remoteStatus(call.paymentStatus) +
             ", statusDetails: " + quoted(call.statusDetails) +
             ", receiptId: " + quotedOrNone(call.receiptId) + ")";
  }
  return "unknown call";
}

// Enough of a token to recognise it, never the whole of it: at most four leading characters
// and never more than a quarter of it, then "****". An empty token prints as "(empty)".
std::string maskToken(std::string_view token) {
  if (token.empty()) return "(empty)";
  return std::string(token.substr(0, std::min<std::size_t>(4, token.size() / 4))) + "****";
}

}  // namespace

bool isReport(const Call& call) {
  return call.kind == CallKind::finishWithStatusText || call.kind == CallKind::finishWithStatus;
}

void printRequest(std::ostream& out, const korvani::ServiceConfig& request) {
  // The query is encoded with a stand-in of unreserved characters, which encoding leaves as
  // is, so that the mask reads "TEST****" rather than its percent-encoded form.
  constexpr std::string_view kStandIn = "ACCESS_TOKEN_STAND_IN";
  korvani::StringDictionary params = request.params;
  std::string mask;
  if (auto token = params.find("access_token"); token != params.end()) {
    mask = maskToken(token->second);
    token->second = kStandIn;
  }
  std::string query = korvani::queryParamString(params).value_or("");
  if (const auto at = query.find(kStandIn); at != std::string::npos) {
    query.replace(at, kStandIn.size(), mask);
  }
  // The session sends the configured fields with Content-Type set from the content type.
  korvani::StringDictionary headers = request.headers;
  headers["Content-Type"] = request.contentType;

  out << "Request\n  " << korvani::rawValue(request.method) << ' '
      << request.base.value_or("(no base URL)") << request.path.value_or("(no path)") << query
      << "\n  headers:\n";
  for (const auto& [name, value] : headers) {
    out << "    " << name << ": " << value << '\n';
  }
  out << "  body:\n";
  if (request.body) {
    printJson(out, korvani::JsonValue(*request.body), "    ");
  } else {
    out << "    (none)\n";
  }
}

void printNavigationCalls(std::ostream& out, const std::vector<Call>& calls) {
  out << "Navigation handler\n";
  if (calls.empty()) out << "  (no calls)\n";
  for (std::size_t i = 0; i < calls.size(); ++i) {
    out << "  " << i + 1 << ". " << describe(calls[i]) << '\n';
  }
}

void printTrackingEvents(std::ostream& out,
                         const std::vector<korvani::host::RecordingTrackListener::Event>& events) {
  out << "Tracking\n";
  if (events.empty()) out << "  (no event)\n";
  for (const auto& event : events) {
    out << "  event: screen " << event.screenName << ", action " << event.action << ", result "
        << event.result.value_or("(none)") << '\n';
    if (event.extraParams) printJson(out, korvani::JsonValue(*event.extraParams), "    ");
  }
}

void printOutcome(std::ostream& out, const std::vector<Call>& calls) {
  const auto report = std::find_if(calls.rbegin(), calls.rend(), isReport);
  out << "Outcome\n";
  if (report == calls.rend()) {
    out << "  no report\n";
  } else if (report->kind == CallKind::finishWithStatusText) {
    out << "  status: " << report->statusText << "\n  status detail: " << report->statusDetails
        << "\n  receipt id: " << report->receiptId.value_or("(none)") << '\n';
  } else {
    out << "  no payment: remote payment status " << remoteStatus(report->paymentStatus) << '\n';
  }
}

void printLines(std::ostream& out, std::string_view heading,
                const std::vector<std::string>& lines) {
  out << heading << '\n';
  if (lines.empty()) out << "  (none)\n";
  for (const auto& line : lines) {
    out << "  " << line << '\n';
  }
}

}  // namespace checkout_demo
