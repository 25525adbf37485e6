// The request a component's payment sends, as JSON text, for hosts that show it (the demo hosts
// print it). The component's own request assembler rebuilds it from the state of the last
// payment, so the creation time, and with it the idempotency key, is the one sent.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "edge.hpp"
#include "handles.hpp"
#include "korvani/dictionary_encoding.hpp"
#include "korvani/json.hpp"
#include "korvani/korvani.h"
#include "korvani/payment_configuration_manager.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_service.hpp"

namespace {

using korvani::JsonObject;
using korvani::JsonValue;

JsonValue textOrNull(const std::optional<std::string>& text) {
  return text ? JsonValue(*text) : JsonValue();
}

JsonObject dictionary(const korvani::StringDictionary& entries) {
  JsonObject object;
  for (const auto& [name, value] : entries)
    object.set(name, value);
  return object;
}

// The service's request description as the session sends it: the URL with its encoded query,
// the configured header fields plus the Content-Type the session sets, the body.
JsonObject describe(const korvani::ServiceConfig& request) {
  std::optional<std::string> url;
  if (request.base && request.path) {
    url = *request.base + *request.path + korvani::queryParamString(request.params).value_or("");
  }
  korvani::StringDictionary headers = request.headers;
  headers["Content-Type"] = request.contentType;
  return JsonObject{
      {"method", JsonValue(korvani::rawValue(request.method))},
      {"url", textOrNull(url)},
      {"query", dictionary(request.params)},
      {"headers", dictionary(headers)},
      {"body", request.body ? JsonValue(*request.body) : JsonValue()},
  };
}

}  // namespace

korvani_status korvani_component_copy_request(const korvani_component_t* component, char** json_out,
                                              korvani_error* error) {
  using namespace korvani::capi;
  if (json_out) *json_out = nullptr;
  return entry(error, [&] {
    if (!component || !json_out) {
      return fail(error, KORVANI_ERR_INVALID_ARGUMENT,
                  component ? "json_out is NULL" : "component is NULL");
    }
    const auto service =
        korvani::PaymentService::create(component->value->manager().currentConfiguration());
    const std::optional<std::string> text = korvani::serializeJson(describe(service->config));
    if (!text) {
      return fail(error, KORVANI_ERR_INVALID_ARGUMENT,
                  "the request holds text that is not UTF-8 and cannot be written as JSON");
    }
    auto* copy = static_cast<char*>(std::malloc(text->size() + 1));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, text->c_str(), text->size() + 1);
    *json_out = copy;
    return KORVANI_OK;
  });
}

void korvani_text_free(char* text) {
  std::free(text);
}
