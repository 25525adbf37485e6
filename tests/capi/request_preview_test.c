// korvani_component_copy_request from a C99 host: the request of the last payment as sent (URL
// with its query, every header field, the body's exact money), the same idempotency key at
// every copy, the refusals, and the call after shutdown. Offline, so nothing is sent.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "korvani/korvani.h"

static int failed;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      ++failed;                                                                     \
      fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
    }                                                                               \
  } while (0)

static int hook_calls;

static int digest(void* user_data, const char* text, korvani_text_answer_t* answer) {
  (void)user_data;
  (void)text;
  ++hook_calls;
  return korvani_text_answer_set(answer, "feedc0de", NULL);
}

static int card(void* user_data, korvani_payment_data_t* data) {
  (void)user_data;
  korvani_payment_data_set_text(data, KORVANI_PAYMENT_METHOD_ID, "visa", NULL);
  korvani_payment_data_set_text(data, KORVANI_PAYMENT_TYPE_ID, "credit_card", NULL);
  korvani_payment_data_set_text(data, KORVANI_TOKEN_ID, "card-token", NULL);
  korvani_payment_data_set_installments(data, 3, NULL);
  return 0;
}

static int offline(void* user_data, int* status) {
  (void)user_data;
  *status = KORVANI_NOT_REACHABLE;
  return 0;
}

// The text between `key` and the next comma or brace, e.g. a header's quoted value.
static void value_after(const char* json, const char* key, char* out, size_t size) {
  const char* at = strstr(json, key);
  size_t length = 0;
  out[0] = '\0';
  if (!at) return;
  at += strlen(key);
  while (at[length] && at[length] != ',' && at[length] != '}')
    ++length;
  if (length >= size) length = size - 1;
  memcpy(out, at, length);
  out[length] = '\0';
}

int main(void) {
  korvani_configuration_t* configuration = NULL;
  korvani_component_t* component = NULL;
  korvani_error error = KORVANI_ERROR_INIT;
  korvani_sha256_hook hook = {sizeof(korvani_sha256_hook), NULL, NULL, digest};
  korvani_store_callbacks store = {sizeof(korvani_store_callbacks), NULL, NULL, card, NULL};
  korvani_reachability reachability = {sizeof(korvani_reachability), NULL, NULL, offline};
  char* first = NULL;
  char* second = (char*)"untouched";
  char key[128];
  char again[128];

  CHECK(korvani_set_reachability(&reachability, NULL) == KORVANI_OK);
  CHECK(korvani_configuration_new(&configuration, NULL) == KORVANI_OK);
  korvani_configuration_set_text(configuration, KORVANI_CONFIG_BASE_URL, "https://pay.example",
                                 NULL);
  korvani_configuration_set_text(configuration, KORVANI_CONFIG_PATH, "/v1/payments", NULL);
  korvani_configuration_set_text(configuration, KORVANI_CONFIG_ACCESS_TOKEN, "TEST 1&2", NULL);
  CHECK(korvani_configuration_set_checkout_preference(
            configuration, "{\"amount\": 150.750000000000000001}", NULL, NULL) == KORVANI_OK);
  korvani_configuration_set_sha256_hook(configuration, &hook, NULL);
  CHECK(korvani_component_new(configuration, &component, NULL) == KORVANI_OK);
  korvani_component_set_store(component, &store, NULL);
  CHECK(korvani_component_render_did_finish(component, NULL) == KORVANI_OK);
  CHECK(hook_calls == 1);

  CHECK(korvani_component_copy_request(component, &first, &error) == KORVANI_OK);
  CHECK(first != NULL);
  CHECK(hook_calls == 2);
  if (first) {
    CHECK(strstr(first, "\"method\":\"POST\"") != NULL);
    // The token encoded in the URL, as it is sent, and as given in "query".
    CHECK(strstr(first, "\"url\":\"https://pay.example/v1/payments?access_token=TEST%201%262\"") !=
          NULL);
    CHECK(strstr(first, "\"query\":{\"access_token\":\"TEST 1&2\"}") != NULL);
    CHECK(strstr(first, "\"Content-Type\":\"application/json\"") != NULL);
    CHECK(strstr(first, "\"transaction_amount\":150.750000000000000001") != NULL);
    CHECK(strstr(first, "\"token\":\"card-token\"") != NULL);
    value_after(first, "\"X-Idempotency-Key\":", key, sizeof key);
    CHECK(strncmp(key, "\"feedc0de-", 10) == 0);
  }
  // The copy is rebuilt (the hook asked again) with the same key.
  CHECK(korvani_component_copy_request(component, &second, NULL) == KORVANI_OK);
  CHECK(hook_calls == 3);
  if (second) {
    value_after(second, "\"X-Idempotency-Key\":", again, sizeof again);
    CHECK(strcmp(key, again) == 0);
  }
  korvani_text_free(first);
  korvani_text_free(second);
  korvani_text_free(NULL);

  second = (char*)"untouched";
  CHECK(korvani_component_copy_request(NULL, &second, &error) == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(second == NULL);
  CHECK(error.domain == KORVANI_DOMAIN_API && error.code == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(korvani_component_copy_request(component, NULL, NULL) == KORVANI_ERR_INVALID_ARGUMENT);

  CHECK(korvani_shutdown(5000, NULL) == KORVANI_OK);
  second = (char*)"untouched";
  CHECK(korvani_component_copy_request(component, &second, NULL) == KORVANI_ERR_SHUT_DOWN);
  CHECK(second == NULL);
  CHECK(hook_calls == 3);
  korvani_component_release(component);
  korvani_configuration_release(configuration);

  printf("%d failed\n", failed);
  return failed ? 1 : 0;
}
