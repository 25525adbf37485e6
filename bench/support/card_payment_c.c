#include "card_payment_c.h"

#include <string.h>

#include "card_payment_texts.h"

static int current_payment_data(void* user_data, korvani_payment_data_t* data) {
  (void)user_data;
  return korvani_payment_data_set_text(data, KORVANI_PAYMENT_METHOD_ID,
                                       KORVANI_BENCH_PAYMENT_METHOD_ID, NULL) ||
         korvani_payment_data_set_text(data, KORVANI_PAYMENT_TYPE_ID, KORVANI_BENCH_PAYMENT_TYPE_ID,
                                       NULL) ||
         korvani_payment_data_set_text(data, KORVANI_ISSUER_ID, KORVANI_BENCH_ISSUER_ID, NULL) ||
         korvani_payment_data_set_text(data, KORVANI_TOKEN_ID, KORVANI_BENCH_TOKEN_ID, NULL) ||
         korvani_payment_data_set_installments(data, KORVANI_BENCH_INSTALLMENTS, NULL);
}

korvani_store_callbacks korvani_bench_store(void) {
  korvani_store_callbacks store;
  memset(&store, 0, sizeof store);
  store.struct_size = sizeof store;
  store.current_payment_data = current_payment_data;
  return store;
}

// Sets the records and the metadata; whether every one was taken and built.
static int set_records(korvani_configuration_t* configuration) {
  int preference = 0;
  int order = 0;
  int discount = 0;
  return korvani_configuration_set_checkout_preference(configuration, KORVANI_BENCH_PREFERENCE,
                                                       &preference, NULL) == KORVANI_OK &&
         korvani_configuration_set_merchant_order(configuration, KORVANI_BENCH_MERCHANT_ORDER,
                                                  &order, NULL) == KORVANI_OK &&
         korvani_configuration_set_discount(configuration, KORVANI_BENCH_DISCOUNT, &discount,
                                            NULL) == KORVANI_OK &&
         preference && order && discount &&
         korvani_configuration_set_internal_metadata(configuration, KORVANI_BENCH_INTERNAL_METADATA,
                                                     NULL) == KORVANI_OK;
}

korvani_configuration_t* korvani_bench_configuration(const char* base_url) {
  static const struct {
    korvani_configuration_text member;
    const char* value;
  } texts[] = {{KORVANI_CONFIG_PATH, KORVANI_BENCH_PATH},
               {KORVANI_CONFIG_ACCESS_TOKEN, KORVANI_BENCH_ACCESS_TOKEN},
               {KORVANI_CONFIG_APP_VERSION, KORVANI_BENCH_APP_VERSION},
               {KORVANI_CONFIG_SESSION_ID, KORVANI_BENCH_SESSION_ID},
               {KORVANI_CONFIG_PLATFORM, KORVANI_BENCH_PLATFORM},
               {KORVANI_CONFIG_SITE_ID, KORVANI_BENCH_SITE_ID},
               {KORVANI_CONFIG_SOURCE, KORVANI_BENCH_SOURCE},
               {KORVANI_CONFIG_USER_AGENT, KORVANI_BENCH_USER_AGENT}};
  korvani_configuration_t* configuration = NULL;
  korvani_sha256_hook hook;
  int taken = 1;
  size_t i;
  if (korvani_configuration_new(&configuration, NULL) != KORVANI_OK) return NULL;
  taken = korvani_configuration_set_text(configuration, KORVANI_CONFIG_BASE_URL, base_url, NULL) ==
          KORVANI_OK;
  for (i = 0; taken && i < sizeof texts / sizeof texts[0]; ++i) {
    taken = korvani_configuration_set_text(configuration, texts[i].member, texts[i].value, NULL) ==
            KORVANI_OK;
  }
  memset(&hook, 0, sizeof hook);
  hook.struct_size = sizeof hook;
  hook.digest = korvani_sha256_digest;
  if (!taken || !set_records(configuration) ||
      korvani_configuration_set_sha256_hook(configuration, &hook, NULL) != KORVANI_OK) {
    korvani_configuration_release(configuration);
    return NULL;
  }
  return configuration;
}
